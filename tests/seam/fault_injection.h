// Forced into the test copies of the launcher libraries (the *_seamed targets): routes a few
// platform calls through counters that tests/seam/fault_control.h can make fail. The product
// build never sees this header.
#pragma once

#include <windows.h>

HLOCAL SeamLocalAlloc(UINT flags, SIZE_T bytes);
HLOCAL SeamLocalReAlloc(HLOCAL memory, SIZE_T bytes, UINT flags);
LPVOID SeamVirtualAlloc(LPVOID address, SIZE_T bytes, DWORD type, DWORD protection);
#define LocalAlloc SeamLocalAlloc
#define LocalReAlloc SeamLocalReAlloc
#define VirtualAlloc SeamVirtualAlloc

#ifdef _WIN32
HGLOBAL SeamGlobalAlloc(UINT flags, SIZE_T bytes);
DWORD SeamGetModuleFileNameA(HMODULE module, LPSTR buffer, DWORD size);
BOOL SeamReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped);
BOOL SeamWriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED overlapped);
#define GlobalAlloc SeamGlobalAlloc
#define WriteFile SeamWriteFile
#define GetModuleFileNameA SeamGetModuleFileNameA
#define ReadFile SeamReadFile
#endif
