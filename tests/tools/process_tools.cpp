#include "tests/tools/process_tools.h"

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

namespace {

std::wstring WideOf(UINT codePage, const std::string &text)
{
    std::wstring wide(text.size() + 1, L'\0');
    int units = MultiByteToWideChar(codePage, 0, text.c_str(), -1, wide.data(), static_cast<int>(wide.size()));
    wide.resize(units > 0 ? static_cast<std::size_t>(units - 1) : 0);
    return wide;
}

} // namespace

ChildProcess ChildProcess::Start(const std::string &program, const std::string &commandTail,
                                 const std::string &currentDirectory, int showCommand)
{
    ChildProcess child;
    std::wstring commandLine = WideOf(CP_ACP, QuoteArgument(program)) + WideOf(CP_UTF8, commandTail);
    std::wstring application = WideOf(CP_ACP, program);
    std::wstring directory = WideOf(CP_ACP, currentDirectory);
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
