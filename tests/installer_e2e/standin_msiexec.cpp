// A stand-in for the Windows Installer: records how it was started and exits with a chosen code.
// The first line of the record is its own path, the second its command line as received.
// STANDIN_RECORD names the record file; STANDIN_EXIT_CODE the exit code (0 when unset).
#include <windows.h>

#include <cstring>
#include <cstdlib>

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

    char exitCode[32] = {};
    GetEnvironmentVariableA("STANDIN_EXIT_CODE", exitCode, sizeof exitCode);
    return (int)strtoul(exitCode, nullptr, 10);
}
