// A stand-in for the Windows Installer: records how it was started and exits with a chosen code.
// The first line of the record is its own path, the second its command line as received.
// STANDIN_RECORD names the record file; STANDIN_EXIT_CODE the exit code (0 when unset).
// STANDIN_PARENT_MEMORY, when set, names a file that receives what the process that started it
// (the launcher, waiting for it) holds: "private bytes N, working set M".
// STANDIN_PROBE names a second file that gets what the stand-in found while it ran: its start-up
// flags and show value, the error of another process's open of the package for writing and for
// deleting, of a rename of the package's folder and of its open for deleting, and of a rename
// and a delete of each file in the folder (0 when the call went through; what was renamed is
// renamed back).
// STANDIN_ARGUMENTS names a file that gets its arguments as the system splits its UTF-16 command
// line, one UTF-8 line each, the program name first.
// STANDIN_DIRECTORY names a file that gets its current directory.
// STANDIN_SLEEP_MS, when set, keeps it running that many milliseconds before it exits, as a long
// installation would.
// STANDIN_START_MARK names a file that gets the line "installer-started T" first thing, T the
// precise system time in 100 ns units, for the installer-start benchmark's profile.
#include <windows.h>

#include <shellapi.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

DWORD ParentProcessId()
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return 0;
    PROCESSENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    DWORD parent = 0;
    for (BOOL more = Process32First(snapshot, &entry); more; more = Process32Next(snapshot, &entry)) {
        if (entry.th32ProcessID == GetCurrentProcessId()) {
            parent = entry.th32ParentProcessID;
            break;
        }
    }
    CloseHandle(snapshot);
    return parent;
}

void RecordParentMemory(const char *path)
{
    HANDLE parent = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, ParentProcessId());
    // PagefileUsage is the process's commit charge, its private bytes (Wine fills no PrivateUsage).
    PROCESS_MEMORY_COUNTERS counters = {};
    counters.cb = sizeof counters;
    char line[128] = "unknown\n";
    if (parent != nullptr && GetProcessMemoryInfo(parent, &counters, sizeof counters))
        std::snprintf(line, sizeof line, "private bytes %llu, working set %llu\n",
                      (unsigned long long)counters.PagefileUsage, (unsigned long long)counters.WorkingSetSize);
    if (parent != nullptr)
        CloseHandle(parent);
    HANDLE file = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line, (DWORD)strlen(line), &written, nullptr);
    CloseHandle(file);
}

void AppendLine(const char *path, const std::string &line)
{
    // Appended, so that a second start shows as more lines.
    HANDLE file =
        CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written;
    WriteFile(file, line.data(), (DWORD)line.size(), &written, nullptr);
    WriteFile(file, "\n", 1, &written, nullptr);
    CloseHandle(file);
}

// The argument after "/i", without its quotes.
std::string PackagePath(const char *commandLine)
{
    const char *switchAt = strstr(commandLine, " /i ");
    if (switchAt == nullptr)
        return "";
    const char *start = switchAt + 4;
    if (*start == '"') {
        const char *end = strchr(start + 1, '"');
        return end != nullptr ? std::string(start + 1, end) : std::string(start + 1);
    }
    const char *end = strchr(start, ' ');
    return end != nullptr ? std::string(start, end) : std::string(start);
}

DWORD OpenError(const std::string &path, DWORD access)
{
    HANDLE file = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(file);
    return 0;
}

DWORD RenameError(const std::string &path)
{
    std::string moved = path + ".moved";
    if (!MoveFileExA(path.c_str(), moved.c_str(), 0))
        return GetLastError();
    MoveFileExA(moved.c_str(), path.c_str(), 0);
    return 0;
}

// What another process can do to the package's folder and to every file in it.
void ProbeFolder(const char *probe, const std::string &package)
{
    std::string folder = package.substr(0, package.find_last_of('\\'));
    char line[512];
    snprintf(line, sizeof line, "folder rename %lu delete %lu", RenameError(folder), OpenError(folder, DELETE));
    AppendLine(probe, line);
    std::vector<std::string> lines; // in name order
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
            continue;
        std::string file = folder + "\\" + found.cFileName;
        DWORD deleteError = DeleteFileA(file.c_str()) ? 0 : GetLastError();
        snprintf(line, sizeof line, "%s rename %lu delete %lu", found.cFileName, RenameError(file), deleteError);
        lines.push_back(line);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    std::sort(lines.begin(), lines.end());
    for (const std::string &fileLine : lines)
        AppendLine(probe, fileLine);
}

void RecordArguments(const char *path)
{
    int count = 0;
    LPWSTR *arguments = CommandLineToArgvW(GetCommandLineW(), &count);
    if (arguments == nullptr)
        return;
    for (int i = 0; i < count; i++) {
        char line[4096] = {};
        WideCharToMultiByte(CP_UTF8, 0, arguments[i], -1, line, sizeof line - 1, nullptr, nullptr);
        AppendLine(path, line);
    }
    LocalFree(arguments);
}

} // namespace

// A GUI program, so that starting it opens no console.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char startMark[MAX_PATH];
    if (GetEnvironmentVariableA("STANDIN_START_MARK", startMark, sizeof startMark) - 1u < sizeof startMark - 1) {
        FILETIME now;
        GetSystemTimePreciseAsFileTime(&now);
        AppendLine(startMark,
                   "installer-started " + std::to_string((ULONGLONG)now.dwHighDateTime << 32 | now.dwLowDateTime));
    }
    char record[MAX_PATH];
    if (GetEnvironmentVariableA("STANDIN_RECORD", record, sizeof record) - 1u >= sizeof record - 1)
        return 1;
    char ownPath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, ownPath, sizeof ownPath);
    const char *commandLine = GetCommandLineA();
    AppendLine(record, ownPath);
    AppendLine(record, commandLine);

    char probe[MAX_PATH];
    if (GetEnvironmentVariableA("STANDIN_PROBE", probe, sizeof probe) - 1u < sizeof probe - 1) {
        STARTUPINFOA startup;
        GetStartupInfoA(&startup);
        std::string package = PackagePath(commandLine);
        char line[128];
        snprintf(line, sizeof line, "flags %lu show %u", startup.dwFlags, startup.wShowWindow);
        AppendLine(probe, line);
        snprintf(line, sizeof line, "write %lu", OpenError(package, GENERIC_WRITE));
        AppendLine(probe, line);
        snprintf(line, sizeof line, "delete %lu", OpenError(package, DELETE));
        AppendLine(probe, line);
        ProbeFolder(probe, package);
    }

    char argumentRecord[MAX_PATH];
    if (GetEnvironmentVariableA("STANDIN_ARGUMENTS", argumentRecord, sizeof argumentRecord) - 1u <
        sizeof argumentRecord - 1)
        RecordArguments(argumentRecord);

    char directoryRecord[MAX_PATH];
    if (GetEnvironmentVariableA("STANDIN_DIRECTORY", directoryRecord, sizeof directoryRecord) - 1u <
        sizeof directoryRecord - 1) {
        char directory[MAX_PATH] = {};
        GetCurrentDirectoryA(sizeof directory, directory);
        AppendLine(directoryRecord, directory);
    }

    char memoryRecord[MAX_PATH];
    if (GetEnvironmentVariableA("STANDIN_PARENT_MEMORY", memoryRecord, sizeof memoryRecord) - 1u <
        sizeof memoryRecord - 1)
        RecordParentMemory(memoryRecord);

    char sleepText[32] = {};
    if (GetEnvironmentVariableA("STANDIN_SLEEP_MS", sleepText, sizeof sleepText) > 0)
        Sleep((DWORD)strtoul(sleepText, nullptr, 10));

    char exitCode[32] = {};
    GetEnvironmentVariableA("STANDIN_EXIT_CODE", exitCode, sizeof exitCode);
    return (int)strtoul(exitCode, nullptr, 10);
}
