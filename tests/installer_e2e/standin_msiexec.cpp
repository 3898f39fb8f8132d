// A stand-in for the Windows Installer: records how it was started and exits with a chosen code.
// The first line of the record is its own path, the second its command line as received.
// STANDIN_RECORD names the record file; STANDIN_EXIT_CODE the exit code (0 when unset).
// STANDIN_PARENT_MEMORY, when set, names a file that receives what the process that started it
// (the launcher, waiting for it) holds: "private bytes N, working set M".
#include <windows.h>

#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

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

} // namespace

// A GUI program, so that starting it opens no console.
int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    char record[MAX_PATH];
    if (GetEnvironmentVariableA("STANDIN_RECORD", record, sizeof record) - 1u >= sizeof record - 1)
        return 1;
    char ownPath[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, ownPath, sizeof ownPath);

    // Appended, so that a second start shows as a second pair of lines.
    HANDLE file =
        CreateFileA(record, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    const char *commandLine = GetCommandLineA();
    DWORD written;
    WriteFile(file, ownPath, (DWORD)strlen(ownPath), &written, nullptr);
    WriteFile(file, "\n", 1, &written, nullptr);
    WriteFile(file, commandLine, (DWORD)strlen(commandLine), &written, nullptr);
    WriteFile(file, "\n", 1, &written, nullptr);
    CloseHandle(file);

    char memoryRecord[MAX_PATH];
    if (GetEnvironmentVariableA("STANDIN_PARENT_MEMORY", memoryRecord, sizeof memoryRecord) - 1u <
        sizeof memoryRecord - 1)
        RecordParentMemory(memoryRecord);

    char exitCode[32] = {};
    GetEnvironmentVariableA("STANDIN_EXIT_CODE", exitCode, sizeof exitCode);
    return (int)strtoul(exitCode, nullptr, 10);
}
