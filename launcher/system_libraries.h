// Loading DLLs from the system folder only. The launcher runs elevated from a download folder,
// where anyone may have placed a DLL of the same name as one the system loads by name.
#pragma once

#include <windows.h>

// Called first thing in WinMain, before anything that can load a DLL: limits the search for
// DLLs loaded by name to the system folder (where the system cannot, at least the current
// folder is dropped), then loads from there the DLLs that system components load by name later,
// so that no other copy can take their place.
void RestrictLibrarySearch(void);

// The DLL of that name from the system folder, or NULL (GetLastError tells why).
HMODULE LoadSystemLibrary(LPCWSTR name);
