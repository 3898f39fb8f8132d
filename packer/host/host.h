// What differs between the hosts the packer runs on. Each host has one file of its own that CMake
// chooses (posix.cpp on Linux, windows.cpp on Windows); everything else is the same code. Paths
// are UTF-8 on both hosts; Windows opens them as UTF-16.
#pragma once

#include "writer/container_writer.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <utility>

namespace packer::host {

using writer::Bytes;

// How --sign-command is run, for the help text.
extern const char *const CommandRunner;

// text as a word the host's shell takes as it is (a POSIX shell on Linux, cmd on Windows):
// unchanged when nothing in it needs quoting, else quoted, so that a hint can be pasted.
std::string ShellWord(const std::string &text);

// The packer's own program file.
std::string ExecutablePath();

// The processors this process may use: --threads 0.
unsigned CoreCount();

// Standard error is a terminal that understands the progress line's escape sequences.
bool ErrorIsTerminal();

// A file's identity, the same for every name and link of it.
struct FileIdentity {
    std::uint64_t volume;
    std::uint64_t index;
    bool isFolder;
    bool operator==(const FileIdentity &other) const { return volume == other.volume && index == other.index; }
};
// Follows links; nothing when the path can't be reached.
std::optional<FileIdentity> IdentifyFile(const std::string &path);

// The path as the standard library's streams open it: UTF-8 on Linux; on Windows UTF-16, in the
// \\?\ form when it is too long for the plain one.
std::filesystem::path NativePath(const std::string &path);

// Something exists at path (a file, a folder, a dangling link).
bool PathExists(const std::string &path);
// Creates one folder; false when that failed.
bool MakeFolder(const std::string &path);
// Removes a file, quietly.
void RemoveFile(const std::string &path);

// A file open for writing, closed when it goes.
class WritableFile {
  public:
    // A new file named after target (target + ".partial-" + something unique); its path in path.
    static WritableFile CreateBeside(const std::string &target, std::string &path);
    // A new file at path; an existing one is never replaced (PackError, "exists"). privateKey: only
    // the user may read it.
    static WritableFile CreateNew(const std::string &path, bool privateKey);

    // Both hosts mark a closed file -1 (on Windows, INVALID_HANDLE_VALUE).
    WritableFile(WritableFile &&other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    WritableFile &operator=(WritableFile &&other) noexcept
    {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~WritableFile();

    // All of the bytes, or PackError naming what.
    void Write(const void *data, std::size_t size, const std::string &what);
    // Through the system's caches to the disk.
    void FlushToDisk(const std::string &what);
    void Close(const std::string &what);

  private:
    explicit WritableFile(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_;
};

// A file open for reading from the start, closed when it goes.
class ReadableFile {
  public:
    // A regular file and its size; throws ReadError naming the reason.
    static ReadableFile Open(const std::string &path, std::uint64_t &size);
    // Both hosts mark a closed file -1 (on Windows, INVALID_HANDLE_VALUE).
    ReadableFile(ReadableFile &&other) noexcept : handle_(other.handle_) { other.handle_ = -1; }
    ReadableFile &operator=(ReadableFile &&other) noexcept
    {
        std::swap(handle_, other.handle_);
        return *this;
    }
    ~ReadableFile();
    // Up to size bytes; 0 at the end. Throws ReadError naming what.
    std::size_t Read(void *data, std::size_t size, const std::string &what);
    // Up to size bytes from offset on, without moving the position Read reads from; 0 at the end.
    // Safe from several threads at once. Throws ReadError naming what.
    std::size_t ReadAt(std::uint64_t offset, void *data, std::size_t size, const std::string &what) const;

  private:
    explicit ReadableFile(std::intptr_t handle) : handle_(handle) {}
    std::intptr_t handle_;
};

// Puts source in target's place at once, replacing target. Throws PackError.
void MoveIntoPlace(const std::string &source, const std::string &target);

// Temporary files that an interrupt (Ctrl+C, SIGINT, SIGTERM, SIGHUP) removes before the packer
// stops. Register returns a slot for Unregister (-1 when it could not be kept).
int RegisterPendingFile(const std::string &path);
void UnregisterPendingFile(int slot);

// What a command run by RunCommand did.
struct CommandOutcome {
    bool succeeded = false;    // ended with exit code 0
    std::string status;        // "exit code 3", "killed by signal 9"
    Bytes out;                 // standard output, up to the limit
    std::size_t outLength = 0; // all it printed, kept or not
    std::string err;           // standard error, up to the limit
};
// Runs command (see CommandRunner) with input on its standard input, in an environment built for
// it: the packer's own, without the variables named in withheld (secrets such as a --pass
// env:VAR), and with variable=value. The process's own environment is never changed. Both
// outputs are binary. Throws UnusableKey when it can't be started.
CommandOutcome RunCommand(const std::string &command, const Bytes &input, const std::string &variable,
                          const std::string &value, const std::vector<std::string> &withheld, std::size_t outputLimit);

} // namespace packer::host
