/* A DLL that someone placed beside a program under a system DLL's name: each time it is loaded
   it adds one byte to <its own path>.loaded. It exports nothing. */
#include <windows.h>

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved)
{
    (void)reserved;
    if (reason == DLL_PROCESS_ATTACH) {
        char path[MAX_PATH + 8];
        DWORD length = GetModuleFileNameA(instance, path, MAX_PATH);
        if (length > 0 && length < MAX_PATH) {
            lstrcpyA(path + length, ".loaded");
            HANDLE marker = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, 0, NULL);
            if (marker != INVALID_HANDLE_VALUE) {
                DWORD written;
                WriteFile(marker, "L", 1, &written, NULL);
                CloseHandle(marker);
            }
        }
    }
    return TRUE;
}
