#include "packer/keys/command_signer.h"

#include "packer/pack_error.h"
#include "packer/payload_key.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>

extern char **environ;

namespace packer {

namespace {

constexpr const char *DigestVariable = "LAUNCHER_PACK_DIGEST_HEX";
// More than a signature, to tell "too long" from "cut"; standard error is kept for its first line.
constexpr std::size_t OutputLimit = 4096;

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

struct CommandResult {
    int status = 0;
    Bytes out;
    std::size_t outLength = 0; // all it printed, kept or not
    std::string err;
};

std::string Hex(const Sha256Digest &digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 15];
    }
    return text;
}

// Runs command with input on standard input, collecting both outputs (up to the limit each).
CommandResult Run(const std::string &command, const Sha256Digest &input)
{
    Descriptor inRead, inWrite, outRead, outWrite, errRead, errWrite;
    MakePipe(inRead, inWrite);
    MakePipe(outRead, outWrite);
    MakePipe(errRead, errWrite);

    std::vector<std::string> environment;
    for (char **entry = environ; *entry != nullptr; ++entry)
        if (std::strncmp(*entry, DigestVariable, std::strlen(DigestVariable)) != 0 ||
            (*entry)[std::strlen(DigestVariable)] != '=')
            environment.emplace_back(*entry);
    environment.push_back(std::string(DigestVariable) + "=" + Hex(input));
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

    CommandResult result;
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
                if (result.out.size() < OutputLimit)
                    result.out.insert(result.out.end(), buffer, buffer + got);
            } else if (result.err.size() < OutputLimit) {
                result.err.append(reinterpret_cast<const char *>(buffer), static_cast<std::size_t>(got));
            }
        }
    }
    inWrite.Close();
    while (::waitpid(child, &result.status, 0) < 0 && errno == EINTR) {
    }
    return result;
}

std::string FirstLine(const std::string &text)
{
    std::string line = text.substr(0, text.find('\n'));
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return line;
}

std::string Describe(int status)
{
    if (WIFEXITED(status))
        return "exit code " + std::to_string(WEXITSTATUS(status));
    if (WIFSIGNALED(status))
        return "killed by signal " + std::to_string(WTERMSIG(status));
    return "status " + std::to_string(status);
}

class CommandSigner : public PayloadSigner {
  public:
    CommandSigner(const std::string &command, EvpKeyHandle publicKey, const std::string &keyName, unsigned atOnce)
        : command_(command), publicKey_(std::move(publicKey)), keyName_(keyName), free_(atOnce == 0 ? 1 : atOnce),
          name_("--sign-command " + command)
    {
        PublicKeyBlob(publicKey_.get(), keyName_);
        // A command that exits before reading its input must not end the packer.
        ::signal(SIGPIPE, SIG_IGN);
    }

    Bytes SignDigest(const Sha256Digest &digest, const std::string &item) const override
    {
        CommandResult result;
        {
            std::unique_lock<std::mutex> lock(lock_);
            freed_.wait(lock, [&] { return free_ > 0; });
            --free_;
        }
        try {
            result = Run(command_, digest);
        } catch (...) {
            Release();
            throw;
        }
        Release();

        const std::string stderrLine = FirstLine(result.err);
        auto fail = [&](const std::string &what) {
            throw UnusableKey("--sign-command for " + item + ": " + what + " (" + Describe(result.status) +
                              (stderrLine.empty() ? "" : "; stderr: " + stderrLine) + ")");
        };
        if (!WIFEXITED(result.status) || WEXITSTATUS(result.status) != 0)
            fail("the command failed");
        if (result.outLength != 256)
            fail("printed " + std::to_string(result.outLength) + " bytes, not a 256-byte signature");
        if (!SignatureMatches(publicKey_.get(), digest, result.out))
            fail("the signature does not verify with " + keyName_ + " (signed with another key?)");
        return result.out;
    }

    EVP_PKEY *PublicKey() const override { return publicKey_.get(); }
    const std::string &Name() const override { return name_; }

  private:
    void Release() const
    {
        {
            std::lock_guard<std::mutex> lock(lock_);
            ++free_;
        }
        freed_.notify_one();
    }

    std::string command_;
    EvpKeyHandle publicKey_;
    std::string keyName_;
    mutable std::mutex lock_;
    mutable std::condition_variable freed_;
    mutable unsigned free_;
    std::string name_;
};

} // namespace

std::unique_ptr<PayloadSigner> OpenCommandSigner(const std::string &command, EvpKeyHandle publicKey,
                                                 const std::string &keyName, unsigned atOnce)
{
    return std::make_unique<CommandSigner>(command, std::move(publicKey), keyName, atOnce);
}

} // namespace packer
