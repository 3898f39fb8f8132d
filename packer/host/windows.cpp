// The packer's host calls on Windows: UTF-16 paths, the console's Ctrl+C, MoveFileExW,
// CreateProcessW.
#include "packer/host/host.h"

#include "packer/host/windows_text.h"
#include "packer/pack_error.h"

#include <algorithm>
#include <sddl.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace packer::host {

const char *const CommandRunner = "started by CreateProcess with the command line as given";

std::string ShellWord(const std::string &text)
{
    // cmd splits at spaces and these, and runs &, |, <, > and ^ outside double quotes; a Windows
    // file name holds no double quote, so quotes around it are enough.
    const bool plain = !text.empty() && text.find_first_of(" \t&|<>^()%!,;=\"'`") == std::string::npos;
    return plain ? text : "\"" + text + "\"";
}

namespace {

struct HandleCloser {
    HANDLE handle = INVALID_HANDLE_VALUE;
    ~HandleCloser() { Close(); }
    void Close()
    {
        if (handle != INVALID_HANDLE_VALUE && handle != nullptr)
            CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
};

HANDLE AsHandle(std::intptr_t value)
{
    return reinterpret_cast<HANDLE>(value);
}

} // namespace

std::string ExecutablePath()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            return {};
        if (length < path.size())
            return Utf8(path.data(), length);
        path.resize(path.size() * 2);
    }
}

unsigned CoreCount()
{
    // Every processor group: a machine with more than 64 logical processors has several.
    return static_cast<unsigned>(GetActiveProcessorCount(ALL_PROCESSOR_GROUPS));
}

bool ErrorIsTerminal()
{
    // The escape sequences are understood once the console was asked for them (at start-up).
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) && (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

std::optional<FileIdentity> IdentifyFile(const std::string &path)
{
    HandleCloser file{CreateFileW(WidePath(path).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr)};
    BY_HANDLE_FILE_INFORMATION information;
    if (file.handle == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(file.handle, &information))
        return std::nullopt;
    return FileIdentity{information.dwVolumeSerialNumber,
                        (static_cast<std::uint64_t>(information.nFileIndexHigh) << 32) | information.nFileIndexLow,
                        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0};
}

std::filesystem::path NativePath(const std::string &path)
{
    return std::filesystem::path(WidePath(path));
}

bool PathExists(const std::string &path)
{
    return GetFileAttributesW(WidePath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool MakeFolder(const std::string &path)
{
    return CreateDirectoryW(WidePath(path).c_str(), nullptr) != 0;
}

void RemoveFile(const std::string &path)
{
    DeleteFileW(WidePath(path).c_str());
}

WritableFile WritableFile::CreateBeside(const std::string &target, std::string &path)
{
    // Shared for reading (pack reads its output back before it takes its name) and for deletion
    // (the Ctrl+C handler removes it while it is open).
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char suffix[64];
        std::snprintf(suffix, sizeof suffix, ".partial-%lx-%x-%llx", GetCurrentProcessId(), ++counter,
                      static_cast<unsigned long long>(GetTickCount64()));
        std::string candidate = target + suffix;
        HANDLE file = CreateFileW(WidePath(candidate).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE,
                                  nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file != INVALID_HANDLE_VALUE) {
            path = candidate;
            return WritableFile(reinterpret_cast<std::intptr_t>(file));
        }
        if (GetLastError() != ERROR_FILE_EXISTS)
            throw ReadError(target + ": cannot create a file beside it (" + SystemMessage(GetLastError()) + ")");
    }
    throw ReadError(target + ": cannot create a file beside it");
}

WritableFile WritableFile::CreateNew(const std::string &path, bool privateKey)
{
    // A private key is for its owner only: a protected ACL with one entry, the current user.
    SECURITY_ATTRIBUTES security{sizeof security, nullptr, FALSE};
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (privateKey) {
        HandleCloser token;
        std::vector<std::uint8_t> user(256);
        DWORD needed = 0;
        wchar_t *sid = nullptr;
        if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token.handle) ||
            !GetTokenInformation(token.handle, TokenUser, user.data(), static_cast<DWORD>(user.size()), &needed) ||
            !ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER *>(user.data())->User.Sid, &sid))
            throw PackError(path + ": the current user is unknown (" + SystemMessage(GetLastError()) + ")");
        std::wstring sddl = L"D:P(A;;FA;;;" + std::wstring(sid) + L")";
        LocalFree(sid);
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
            throw PackError(path + ": " + SystemMessage(GetLastError()));
        security.lpSecurityDescriptor = descriptor;
    }
    HANDLE file = CreateFileW(WidePath(path).c_str(), GENERIC_WRITE, 0, privateKey ? &security : nullptr, CREATE_NEW,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    LocalFree(descriptor);
    if (file == INVALID_HANDLE_VALUE)
        throw PackError(path + ": " + SystemMessage(error) +
                        (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS ? " (not replaced)" : ""));
    return WritableFile(reinterpret_cast<std::intptr_t>(file));
}

WritableFile::~WritableFile()
{
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
}

void WritableFile::Write(const void *data, std::size_t size, const std::string &what)
{
    const auto *bytes = static_cast<const std::uint8_t *>(data);
    while (size > 0) {
        DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(AsHandle(handle_), bytes, chunk, &written, nullptr) || written == 0)
            throw PackError(what + ": write failed (" + SystemMessage(GetLastError()) + ")");
        bytes += written;
        size -= written;
    }
}

void WritableFile::FlushToDisk(const std::string &what)
{
    if (!FlushFileBuffers(AsHandle(handle_)))
        throw PackError(what + ": write failed (" + SystemMessage(GetLastError()) + ")");
}

void WritableFile::Close(const std::string &what)
{
    HANDLE handle = AsHandle(handle_);
    handle_ = -1;
    if (handle != AsHandle(-1) && !CloseHandle(handle))
        throw PackError(what + ": write failed (" + SystemMessage(GetLastError()) + ")");
}

ReadableFile ReadableFile::Open(const std::string &path, std::uint64_t &size)
{
    // Shared as the C runtime shares the files it opens; pack also reads back its own output, which it
    // holds open for writing.
    HANDLE handle =
        CreateFileW(WidePath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        // A folder does not open without backup semantics: say what it is, not "access denied".
        const DWORD error = GetLastError();
        const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            throw ReadError(path + ": is a folder, not a file");
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            throw ReadError(path + ": no such file");
        throw ReadError(path + ": " + SystemMessage(error));
    }
    ReadableFile file(reinterpret_cast<std::intptr_t>(handle));
    LARGE_INTEGER length;
    if (GetFileType(handle) != FILE_TYPE_DISK || !GetFileSizeEx(handle, &length))
        throw ReadError(path + ": not a regular file");
    size = static_cast<std::uint64_t>(length.QuadPart);
    return file;
}

ReadableFile::~ReadableFile()
{
    if (handle_ != -1)
        CloseHandle(AsHandle(handle_));
}

std::size_t ReadableFile::Read(void *data, std::size_t size, const std::string &what)
{
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size), got = 0;
    if (!ReadFile(AsHandle(handle_), data, chunk, &got, nullptr))
        throw ReadError(what + ": " + SystemMessage(GetLastError()));
    return got;
}

std::size_t ReadableFile::ReadAt(std::uint64_t offset, void *data, std::size_t size, const std::string &what) const
{
    // The offset goes with the call; a handle opened for synchronous reading still reads here.
    DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size), got = 0;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    if (!ReadFile(AsHandle(handle_), data, chunk, &got, &at)) {
        DWORD error = GetLastError();
        if (error == ERROR_HANDLE_EOF)
            return 0;
        throw ReadError(what + ": " + SystemMessage(error));
    }
    return got;
}

void MoveIntoPlace(const std::string &source, const std::string &target)
{
    // A virus scanner or an indexer may hold the new file (or the old target) for a moment.
    constexpr int Attempts = 10;
    constexpr DWORD Pause = 200; // milliseconds
    const std::wstring from = WidePath(source), to = WidePath(target);
    for (int attempt = 1;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return;
        DWORD error = GetLastError();
        if (attempt == Attempts || (error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION))
            throw PackError(target + ": cannot be replaced (" + SystemMessage(error) + ")");
        Sleep(Pause);
    }
}

namespace {

std::mutex pendingLock;
std::map<int, std::wstring> pendingFiles;
int nextPendingSlot = 0;

// Runs on a thread of its own when Ctrl+C, Ctrl+Break or the console's close button arrives;
// the system's default handler then ends the process.
BOOL WINAPI RemovePendingFiles(DWORD)
{
    std::lock_guard<std::mutex> lock(pendingLock);
    for (const auto &pending : pendingFiles)
        DeleteFileW(pending.second.c_str());
    pendingFiles.clear();
    return FALSE;
}

} // namespace

int RegisterPendingFile(const std::string &path)
{
    static const bool handlerInstalled = SetConsoleCtrlHandler(RemovePendingFiles, TRUE) != 0;
    (void)handlerInstalled;
    std::lock_guard<std::mutex> lock(pendingLock);
    pendingFiles[nextPendingSlot] = WidePath(path);
    return nextPendingSlot++;
}

void UnregisterPendingFile(int slot)
{
    std::lock_guard<std::mutex> lock(pendingLock);
    pendingFiles.erase(slot);
}

namespace {

// Reads a pipe to its end, keeping up to limit bytes.
void ReadAll(HANDLE pipe, std::string &kept, std::size_t &total, std::size_t limit)
{
    char buffer[4096];
    DWORD got = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        total += got;
        if (kept.size() < limit)
            kept.append(buffer, got);
    }
}

// A pipe whose child end is inherited and whose own end is not.
void MakePipe(HandleCloser &read, HandleCloser &write, bool childReads)
{
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    if (!CreatePipe(&read.handle, &write.handle, &inherit, 0))
        throw PackError("could not make a pipe: " + SystemMessage(GetLastError()));
    SetHandleInformation(childReads ? write.handle : read.handle, HANDLE_FLAG_INHERIT, 0);
}

bool IsVariable(const wchar_t *entry, const std::wstring &name)
{
    return CompareStringOrdinal(entry, static_cast<int>(name.size()), name.c_str(), static_cast<int>(name.size()),
                                TRUE) == CSTR_EQUAL &&
           entry[name.size()] == L'=';
}

} // namespace

CommandOutcome RunCommand(const std::string &command, const Bytes &input, const std::string &variable,
                          const std::string &value, const std::vector<std::string> &withheld, std::size_t outputLimit)
{
    HandleCloser inRead, inWrite, outRead, outWrite, errRead, errWrite;
    MakePipe(inRead, inWrite, true);
    MakePipe(outRead, outWrite, false);
    MakePipe(errRead, errWrite, false);

    // The packer's environment without the withheld variables, with variable set: an explicit
    // block for this child only.
    const std::wstring name = Wide(variable);
    std::vector<std::wstring> withheldNames;
    for (const std::string &secret : withheld)
        withheldNames.push_back(Wide(secret));
    std::wstring environment;
    if (wchar_t *block = GetEnvironmentStringsW()) {
        for (const wchar_t *entry = block; *entry; entry += wcslen(entry) + 1)
            if (!IsVariable(entry, name) &&
                std::none_of(withheldNames.begin(), withheldNames.end(),
                             [&](const std::wstring &secret) { return IsVariable(entry, secret); }))
                environment.append(entry).push_back(L'\0');
        FreeEnvironmentStringsW(block);
    }
    environment.append(name + L"=" + Wide(value)).push_back(L'\0');
    environment.push_back(L'\0');

    // Only this command's pipe ends are inherited, even while other threads start commands.
    HANDLE inherited[] = {inRead.handle, outWrite.handle, errWrite.handle};
    SIZE_T listSize = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &listSize);
    std::vector<std::uint8_t> list(listSize);
    auto *attributes = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list.data());
    if (!InitializeProcThreadAttributeList(attributes, 1, 0, &listSize) ||
        !UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                   nullptr, nullptr))
        throw PackError("could not prepare a command: " + SystemMessage(GetLastError()));
    STARTUPINFOEXW startup{};
    startup.StartupInfo.cb = sizeof startup;
    startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
    startup.StartupInfo.hStdInput = inRead.handle;
    startup.StartupInfo.hStdOutput = outWrite.handle;
    startup.StartupInfo.hStdError = errWrite.handle;
    startup.lpAttributeList = attributes;

    std::wstring line = Wide(command);
    PROCESS_INFORMATION process{};
    BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE,
                                  CREATE_UNICODE_ENVIRONMENT | EXTENDED_STARTUPINFO_PRESENT, environment.data(),
                                  nullptr, &startup.StartupInfo, &process);
    DWORD startError = GetLastError();
    DeleteProcThreadAttributeList(attributes);
    if (!started)
        throw UnusableKey("--sign-command: " + command + " could not be started: " + SystemMessage(startError));
    HandleCloser processHandle{process.hProcess}, threadHandle{process.hThread};
    inRead.Close();
    outWrite.Close();
    errWrite.Close();

    CommandOutcome result;
    std::string err;
    std::size_t errLength = 0;
    std::thread errReader([&] { ReadAll(errRead.handle, err, errLength, outputLimit); });
    // Far less than a pipe's buffer: written at once, and a command that does not read it is not held up.
    DWORD sent = 0;
    WriteFile(inWrite.handle, input.data(), static_cast<DWORD>(input.size()), &sent, nullptr);
    inWrite.Close();
    std::string out;
    ReadAll(outRead.handle, out, result.outLength, outputLimit);
    errReader.join();
    result.out.assign(out.begin(), out.end());
    result.err = err;

    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD exitCode = 1;
    GetExitCodeProcess(process.hProcess, &exitCode);
    result.succeeded = exitCode == 0;
    char status[48];
    std::snprintf(status, sizeof status, exitCode >= 0xC0000000u ? "exit code 0x%lX" : "exit code %lu", exitCode);
    result.status = status;
    return result;
}

} // namespace packer::host
