// Starting Windows programs from tests and reading their full 32-bit exit codes (a Linux shell
// sees only the low 8 bits of a Wine process's exit code).
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace testtools {

// A started child process; the handles are closed and a still-running child is terminated when
// the object goes away, so that a failed test leaves nothing behind.
class ChildProcess {
  public:
    ChildProcess() = default;
    ChildProcess(ChildProcess &&other) noexcept;
    ChildProcess &operator=(ChildProcess &&other) noexcept;
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;
    ~ChildProcess();

    // Starts program with the command line "program" commandTail: commandTail is passed as it
    // stands (it is the text after the program name, usually beginning with a space). All three
    // strings are UTF-8, handed on as UTF-16, so that any character can reach the program. An empty
    // object (started() false) when CreateProcess failed; lastError() tells why. showCommand,
    // when not -1, is the child's start-up show value (STARTF_USESHOWWINDOW).
    static ChildProcess Start(const std::string &program, const std::string &commandTail,
                              const std::string &currentDirectory = std::string(), int showCommand = -1);

    bool started() const { return process_ != nullptr; }
    DWORD lastError() const { return lastError_; }
    DWORD id() const { return id_; }
    HANDLE handle() const { return process_; }

    // The exit code once the process has ended within timeoutMs, else nothing.
    std::optional<DWORD> Wait(DWORD timeoutMs);
    void Terminate();

  private:
    HANDLE process_ = nullptr;
    DWORD id_ = 0;
    DWORD lastError_ = 0;
};

// Starts the program and waits for it; the exit code, or nothing when it could not be started or
// did not end within timeoutMs (it is then terminated).
std::optional<DWORD> RunProgram(const std::string &program, const std::string &commandTail, DWORD timeoutMs = 60000);

// One argument in double quotes when it holds a space or a tab (or is empty), as it stands
// otherwise. Enough for paths; arguments with double quotes are passed in commandTail raw.
std::string QuoteArgument(const std::string &argument);

// " a1 a2 ..." with each argument quoted as needed.
std::string JoinArguments(const std::vector<std::string> &arguments);

// The value of an environment variable (UTF-8), or nothing when it is not set. The C library's
// getenv gives it in the ANSI code page.
std::optional<std::string> EnvironmentVariable(const std::string &name);

// Windows path of a Unix path (Z: drive), for paths that the build hands to the tests; UTF-8 in
// and out, as the build writes them.
std::string WindowsPathOfUnixPath(const std::string &unixPath);

} // namespace testtools
