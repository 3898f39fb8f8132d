/* holder.exe PATH MILLISECONDS: holds PATH open without sharing it, as a virus scanner does for a
 * moment, writes PATH.held once it holds it, and lets go after that many milliseconds. */
#include <stdio.h>
#include <stdlib.h>
#include <wchar.h>
#include <windows.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3)
        return 2;
    HANDLE file = CreateFileW(argv[1], GENERIC_READ, 0, NULL, OPEN_EXISTING, 0, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 1;
    wchar_t marker[1024];
    swprintf(marker, 1024, L"%ls.held", argv[1]);
    CloseHandle(CreateFileW(marker, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS, 0, NULL));
    Sleep((DWORD)wcstoul(argv[2], NULL, 10));
    CloseHandle(file);
    return 0;
}
