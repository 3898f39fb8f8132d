// The packer's host calls on Linux.
#include "packer/host/host.h"

#include "packer/pack_error.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#ifdef __GLIBC__
#endif

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>
#include <vector>

extern char **environ;

namespace packer::host {

const char *const CommandRunner = "run by /bin/sh -c";

std::string ShellWord(const std::string &text)
{
    const bool plain = !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) {
        return std::isalnum(c) || c >= 0x80 || std::strchr("_-./:,+=@%", c) != nullptr;
    });
    if (plain)
        return text;
    // Inside single quotes only a single quote is special: close, escape it, reopen.
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

std::string ExecutablePath()
{
    std::error_code error;
    std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
    return error ? std::string() : self.string();
}

unsigned CoreCount()
{
    return std::thread::hardware_concurrency();
}

bool ErrorIsTerminal()
{
    return ::isatty(STDERR_FILENO) == 1;
}

std::optional<FileIdentity> IdentifyFile(const std::string &path)
{
    struct stat status;
    if (::stat(path.c_str(), &status) != 0)
        return std::nullopt;
    return FileIdentity{static_cast<std::uint64_t>(status.st_dev), static_cast<std::uint64_t>(status.st_ino),
                        S_ISDIR(status.st_mode)};
}

std::filesystem::path NativePath(const std::string &path)
{
    return std::filesystem::u8path(path);
}

bool PathExists(const std::string &path)
{
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
}

bool MakeFolder(const std::string &path)
{
    return ::mkdir(path.c_str(), 0777) == 0;
}

void RemoveFile(const std::string &path)
{
    ::unlink(path.c_str());
}

namespace {

std::string SystemText(int error)
{
    return std::strerror(error);
}

} // namespace

WritableFile WritableFile::CreateBeside(const std::string &target, std::string &path)
{
    std::vector<char> pattern(target.begin(), target.end());
    const char suffix[] = ".partial-XXXXXX";
    pattern.insert(pattern.end(), suffix, suffix + sizeof suffix);
    int descriptor = ::mkstemp(pattern.data());
    if (descriptor < 0)
        throw ReadError(target + ": cannot create a file beside it (" + SystemText(errno) + ")");
    ::fcntl(descriptor, F_SETFD, FD_CLOEXEC);
    path = pattern.data();
    // mkstemp makes 0600; give the output the mode a plain new file would get.
    mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(descriptor, 0666 & ~mask);
    return WritableFile(descriptor);
}

WritableFile WritableFile::CreateNew(const std::string &path, bool privateKey)
{
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, privateKey ? 0600 : 0644);
    if (descriptor < 0)
        throw PackError(path + ": " + SystemText(errno) + (errno == EEXIST ? " (not replaced)" : ""));
    return WritableFile(descriptor);
}

WritableFile::~WritableFile()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

void WritableFile::Write(const void *data, std::size_t size, const std::string &what)
{
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    std::size_t written = 0;
    while (written < size) {
        ssize_t count = ::write(static_cast<int>(handle_), bytes + written, size - written);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            throw PackError(what + ": write failed (" + SystemText(count < 0 ? errno : ENOSPC) + ")");
        written += static_cast<std::size_t>(count);
    }
}

void WritableFile::FlushToDisk(const std::string &what)
{
    if (::fsync(static_cast<int>(handle_)) != 0)
        throw PackError(what + ": write failed (" + SystemText(errno) + ")");
}

void WritableFile::Close(const std::string &what)
{
    int descriptor = static_cast<int>(handle_);
    handle_ = -1;
    if (descriptor >= 0 && ::close(descriptor) != 0)
        throw PackError(what + ": write failed (" + SystemText(errno) + ")");
}

ReadableFile ReadableFile::Open(const std::string &path, std::uint64_t &size)
{
    int descriptor = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat status;
    if (descriptor < 0 || ::fstat(descriptor, &status) != 0) {
        int error = errno;
        if (descriptor >= 0)
            ::close(descriptor);
        throw ReadError(path + ": " + (error == ENOENT ? std::string("no such file") : SystemText(error)));
    }
    ReadableFile file(descriptor);
    if (S_ISDIR(status.st_mode))
        throw ReadError(path + ": is a folder, not a file");
    if (!S_ISREG(status.st_mode))
        throw ReadError(path + ": not a regular file");
    size = static_cast<std::uint64_t>(status.st_size);
    // Read once, front to back: the kernel may read ahead and drop pages behind.
    ::posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
    return file;
}

ReadableFile::~ReadableFile()
{
    if (handle_ >= 0)
        ::close(static_cast<int>(handle_));
}

std::size_t ReadableFile::Read(void *data, std::size_t size, const std::string &what)
{
    for (;;) {
        ssize_t count = ::read(static_cast<int>(handle_), data, size);
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            throw ReadError(what + ": " + SystemText(errno));
        return static_cast<std::size_t>(count);
    }
}

std::size_t ReadableFile::ReadAt(std::uint64_t offset, void *data, std::size_t size, const std::string &what) const
{
    for (;;) {
        ssize_t count = ::pread(static_cast<int>(handle_), data, size, static_cast<off_t>(offset));
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0)
            throw ReadError(what + ": " + SystemText(errno));
        return static_cast<std::size_t>(count);
    }
}

void MoveIntoPlace(const std::string &source, const std::string &target)
{
    if (::rename(source.c_str(), target.c_str()) != 0)
        throw PackError(target + ": cannot be replaced (" + SystemText(errno) + ")");
}

namespace {

// The temporary files that exist now, in fixed storage that a signal handler may read.
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

} // namespace

int RegisterPendingFile(const std::string &path)
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

void UnregisterPendingFile(int slot)
{
    if (slot >= 0)
        pendingUsed[slot] = 0;
}

namespace {

class Descriptor {
  public:
    Descriptor() = default;
    explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
    ~Descriptor() { Close(); }
    Descriptor(Descriptor &&other) noexcept : descriptor_(other.descriptor_) { other.descriptor_ = -1; }
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        std::swap(descriptor_, other.descriptor_);
        return *this;
    }
    int Get() const { return descriptor_; }
    void Close()
    {
        if (descriptor_ >= 0)
            ::close(descriptor_);
        descriptor_ = -1;
    }

  private:
    int descriptor_ = -1;
};

// Both ends close on exec, so that a command started by another thread does not keep them open.
void MakePipe(Descriptor &read, Descriptor &write)
{
    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw PackError(std::string("could not make a pipe: ") + std::strerror(errno));
    read = Descriptor(ends[0]);
    write = Descriptor(ends[1]);
}

std::string Describe(int status)
{
    if (WIFEXITED(status))
        return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

} // namespace

CommandOutcome RunCommand(const std::string &command, const Bytes &input, const std::string &variable,
                          const std::string &value, const std::vector<std::string> &withheld, std::size_t outputLimit)
{
    // A command that exits before reading its input must not end the packer.
    static const bool pipeSignalIgnored = ::signal(SIGPIPE, SIG_IGN) != SIG_ERR;
    (void)pipeSignalIgnored;

    Descriptor inRead, inWrite, outRead, outWrite, errRead, errWrite;
    MakePipe(inRead, inWrite);
    MakePipe(outRead, outWrite);
    MakePipe(errRead, errWrite);

    auto named = [](const char *entry, const std::string &name) {
        return std::strncmp(entry, name.c_str(), name.size()) == 0 && entry[name.size()] == '=';
    };
    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry)
        if (!named(*entry, variable) && std::none_of(withheld.begin(), withheld.end(),
                                                     [&](const std::string &name) { return named(*entry, name); }))
            environment.emplace_back(*entry);
    environment.push_back(variable + "=" + value);
    std::vector<char *> environmentPointers;
    for (auto &entry : environment)
        environmentPointers.push_back(entry.data());
    environmentPointers.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.Get(), 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.Get(), 1);
    posix_spawn_file_actions_adddup2(&actions, errWrite.Get(), 2);
    // The packer ignores SIGPIPE; the command gets the usual default.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
    std::string shell = "/bin/sh", dashC = "-c", line = command;
    char *arguments[] = {shell.data(), dashC.data(), line.data(), nullptr};
    pid_t child = -1;
    int spawned = ::posix_spawn(&child, "/bin/sh", &actions, &attributes, arguments, environmentPointers.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (spawned != 0)
        throw UnusableKey("--sign-command: /bin/sh could not be started: " + std::string(std::strerror(spawned)));
    inRead.Close();
    outWrite.Close();
    errWrite.Close();

    CommandOutcome result;
    std::size_t written = 0;
    bool outOpen = true, errOpen = true;
    ::fcntl(inWrite.Get(), F_SETFL, O_NONBLOCK);
    while (outOpen || errOpen) {
        pollfd watched[3];
        nfds_t count = 0;
        if (outOpen)
            watched[count++] = {outRead.Get(), POLLIN, 0};
        if (errOpen)
            watched[count++] = {errRead.Get(), POLLIN, 0};
        if (inWrite.Get() >= 0)
            watched[count++] = {inWrite.Get(), POLLOUT, 0};
        if (::poll(watched, count, -1) < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        for (nfds_t i = 0; i < count; ++i) {
            if (watched[i].revents == 0)
                continue;
            int descriptor = watched[i].fd;
            if (descriptor == inWrite.Get()) {
                ssize_t sent = ::write(descriptor, input.data() + written, input.size() - written);
                if (sent > 0)
                    written += static_cast<std::size_t>(sent);
                if ((sent < 0 && errno != EAGAIN && errno != EINTR) || written == input.size())
                    inWrite.Close(); // a command that does not read its input is not held up
                continue;
            }
            std::uint8_t buffer[4096];
            ssize_t got = ::read(descriptor, buffer, sizeof buffer);
            if (got < 0 && (errno == EAGAIN || errno == EINTR))
                continue;
            if (got <= 0) {
                (descriptor == outRead.Get() ? outOpen : errOpen) = false;
                continue;
            }
            if (descriptor == outRead.Get()) {
                result.outLength += static_cast<std::size_t>(got);
                if (result.out.size() < outputLimit)
                    result.out.insert(result.out.end(), buffer, buffer + got);
            } else if (result.err.size() < outputLimit) {
                result.err.append(reinterpret_cast<const char *>(buffer), static_cast<std::size_t>(got));
            }
        }
    }
    inWrite.Close();
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    result.succeeded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    result.status = Describe(status);
    return result;
}

} // namespace packer::host
