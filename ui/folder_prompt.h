// Asking the user for another extraction folder with the shell's folder browser.
#pragma once

#include <windows.h>

// TRUE with the chosen folder (no trailing backslashes) in folder (1024 bytes); FALSE when the
// user cancelled. A choice without a file-system path, or whose path does not survive the trip
// to ANSI and back, brings the browser back.
BOOL PromptExtractionFolder(const char *promptText, char *folder);

// The user's documents folder (or the "Personal" shell folder, or the current directory); empty
// when that folder does not exist. Nothing is created.
void GetDefaultExtractionFolder(char *output, DWORD size);

BOOL GetShellSpecialFolderPath(HWND owner, char *path, int csidl, BOOL create);

int CALLBACK BrowseFolderCallback(HWND window, UINT message, LPARAM lParam, LPARAM data);
