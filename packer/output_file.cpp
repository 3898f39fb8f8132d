#include "packer/output_file.h"

#include "packer/pack_error.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <vector>

namespace packer {

namespace {

// The temporary files that exist now, so that an interrupt removes them as well.
constexpr int PendingSlots = 32;
char pendingPaths[PendingSlots][4096];
volatile std::sig_atomic_t pendingUsed[PendingSlots];

extern "C" void RemovePendingFilesAndStop(int signalNumber)
{
    for (int slot = 0; slot < PendingSlots; ++slot)
        if (pendingUsed[slot])
            ::unlink(pendingPaths[slot]);
    std::signal(signalNumber, SIG_DFL);
    std::raise(signalNumber);
}

int RegisterPending(const std::string &path)
{
    static bool handlersInstalled = false;
    if (!handlersInstalled) {
        for (int signalNumber : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action {};
            if (::sigaction(signalNumber, nullptr, &action) == 0 && action.sa_handler != SIG_IGN) {
                action.sa_handler = RemovePendingFilesAndStop;
                ::sigemptyset(&action.sa_mask);
                action.sa_flags = 0;
                ::sigaction(signalNumber, &action, nullptr);
            }
        }
        handlersInstalled = true;
    }
    if (path.size() >= sizeof pendingPaths[0])
        return -1;
    for (int slot = 0; slot < PendingSlots; ++slot) {
        if (!pendingUsed[slot]) {
            std::memcpy(pendingPaths[slot], path.c_str(), path.size() + 1);
            pendingUsed[slot] = 1;
            return slot;
        }
    }
    return -1;
}

void UnregisterPending(int slot)
{
    if (slot >= 0)
        pendingUsed[slot] = 0;
}

} // namespace

TemporaryFile::TemporaryFile(const std::string &target) : target_(target)
{
    std::vector<char> pattern(target.begin(), target.end());
    const char suffix[] = ".partial-XXXXXX";
    pattern.insert(pattern.end(), suffix, suffix + sizeof suffix);
    descriptor_ = ::mkstemp(pattern.data());
    if (descriptor_ < 0)
        throw PackError(target + ": cannot create a file beside it (" + std::strerror(errno) + ")");
    path_ = pattern.data();
    pendingSlot_ = RegisterPending(path_);
    // mkstemp makes 0600; give the output the mode a plain new file would get.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(descriptor_, 0666 & ~mask);
}

TemporaryFile::~TemporaryFile()
{
    if (descriptor_ >= 0)
        ::close(descriptor_);
    if (!committed_)
        ::unlink(path_.c_str());
    UnregisterPending(pendingSlot_);
}

void TemporaryFile::Write(const Bytes &bytes)
{
    Append(bytes.data(), bytes.size());
    Flush();
}

void TemporaryFile::Append(const std::uint8_t *data, std::size_t length)
{
    std::size_t written = 0;
    while (written < length) {
        ssize_t count = ::write(descriptor_, data + written, length - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            throw PackError(target_ + ": write failed (" + std::strerror(count < 0 ? errno : ENOSPC) + ")");
        written += static_cast<std::size_t>(count);
    }
}

void TemporaryFile::Flush()
{
    if (::fsync(descriptor_) != 0)
        throw PackError(target_ + ": write failed (" + std::strerror(errno) + ")");
}

void TemporaryFile::Commit()
{
    if (::close(descriptor_) != 0) {
        descriptor_ = -1;
        throw PackError(target_ + ": write failed (" + std::strerror(errno) + ")");
    }
    descriptor_ = -1;
    if (::rename(path_.c_str(), target_.c_str()) != 0)
        throw PackError(target_ + ": cannot be replaced (" + std::strerror(errno) + ")");
    committed_ = true;
    UnregisterPending(pendingSlot_);
    pendingSlot_ = -1;
}

void CheckOutputPath(const std::string &output, const std::vector<std::string> &inputs, bool force)
{
    struct stat target;
    if (::stat(output.c_str(), &target) != 0) {
        // A dangling link would be replaced by the rename, and with it whatever it was meant for.
        if (!force && PathExists(output))
            throw UsageError(output + ": exists (give --force to replace it)");
        return;
    }
    for (const std::string &input : inputs) {
        struct stat status;
        if (::stat(input.c_str(), &status) == 0 && status.st_dev == target.st_dev && status.st_ino == target.st_ino)
            throw UsageError(output + ": is the input " + input +
                             ", which is never overwritten: choose another output");
    }
    if (S_ISDIR(target.st_mode))
        throw UsageError(output + ": is a folder; give the file to write");
    if (!force)
        throw UsageError(output + ": exists (give --force to replace it)");
}

bool PathExists(const std::string &path)
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

} // namespace packer
