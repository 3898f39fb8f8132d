#include "tests/tools/process_tools.h"

#include "tests/tools/wide_text.h"

#include <utility>

namespace testtools {

ChildProcess::ChildProcess(ChildProcess &&other) noexcept
    : process_(std::exchange(other.process_, nullptr)), id_(other.id_), lastError_(other.lastError_)
{
}

ChildProcess &ChildProcess::operator=(ChildProcess &&other) noexcept
{
    if (this != &other) {
        Terminate();
        process_ = std::exchange(other.process_, nullptr);
        id_ = other.id_;
        lastError_ = other.lastError_;
    }
    return *this;
}

ChildProcess::~ChildProcess()
{
    Terminate();
}

ChildProcess ChildProcess::Start(const std::string &program, const std::string &commandTail,
                                 const std::string &currentDirectory, int showCommand)
{
    ChildProcess child;
    std::wstring commandLine = Wide(QuoteArgument(program) + commandTail);
    std::wstring application = Wide(program);
    std::wstring directory = Wide(currentDirectory);
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    if (showCommand != -1) {
        startup.dwFlags = STARTF_USESHOWWINDOW;
        startup.wShowWindow = static_cast<WORD>(showCommand);
    }
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(application.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        directory.empty() ? nullptr : directory.c_str(), &startup, &info)) {
        child.lastError_ = GetLastError();
        return child;
    }
    CloseHandle(info.hThread);
    child.process_ = info.hProcess;
    child.id_ = info.dwProcessId;
    return child;
}

std::optional<DWORD> ChildProcess::Wait(DWORD timeoutMs)
{
    if (process_ == nullptr || WaitForSingleObject(process_, timeoutMs) != WAIT_OBJECT_0)
        return std::nullopt;
    DWORD code = 0;
    if (!GetExitCodeProcess(process_, &code))
        return std::nullopt;
    return code;
}

void ChildProcess::Terminate()
{
    if (process_ == nullptr)
        return;
    if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT) {
        TerminateProcess(process_, 0xDEAD);
        WaitForSingleObject(process_, 5000);
    }
    CloseHandle(process_);
    process_ = nullptr;
}

std::optional<DWORD> RunProgram(const std::string &program, const std::string &commandTail, DWORD timeoutMs)
{
    ChildProcess child = ChildProcess::Start(program, commandTail);
    return child.Wait(timeoutMs);
}

std::string QuoteArgument(const std::string &argument)
{
    if (!argument.empty() && argument.find_first_of(" \t") == std::string::npos)
        return argument;
    return "\"" + argument + "\"";
}

std::string JoinArguments(const std::vector<std::string> &arguments)
{
    std::string joined;
    for (const std::string &argument : arguments)
        joined += " " + QuoteArgument(argument);
    return joined;
}

std::optional<std::string> EnvironmentVariable(const std::string &name)
{
    std::wstring wideName = Wide(name);
    DWORD size = GetEnvironmentVariableW(wideName.c_str(), nullptr, 0);
    if (size == 0)
        return std::nullopt;
    std::wstring value(size, L'\0');
    value.resize(GetEnvironmentVariableW(wideName.c_str(), value.data(), size));
    return Utf8(value);
}

std::string WindowsPathOfUnixPath(const std::string &unixPath)
{
    std::string path = "Z:" + unixPath;
    for (char &c : path) {
        if (c == '/')
            c = '\\';
    }
    return path;
}

} // namespace testtools
