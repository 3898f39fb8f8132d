#include "ui/folder_prompt.h"

#include <shlobj.h>
#include <stdio.h>
#include <string.h>

#include "launcher/file_exists.h"

enum { FolderBufferSize = 1024 };

typedef BOOL(WINAPI *SpecialFolderPathFunction)(HWND, LPSTR, int, BOOL);

BOOL GetShellSpecialFolderPath(HWND owner, char *path, int csidl, BOOL create)
{
    HMODULE shell = GetModuleHandleA("Shell32.dll");
    if (shell == NULL)
        shell = LoadLibraryA("Shell32.dll");
    if (shell == NULL)
        return FALSE;
    SetErrorMode(SEM_NOOPENFILEERRORBOX);
    SpecialFolderPathFunction function =
        (SpecialFolderPathFunction)(void (*)(void))GetProcAddress(shell, "SHGetSpecialFolderPathA");
    if (function == NULL)
        return FALSE;
    return function(owner, path, csidl, create);
}

// The "Personal" shell folder as written in the user's registry, usually with environment
// variables in it. Empty when it is missing or does not fit with its terminator.
static void ReadPersonalShellFolder(char *path)
{
    path[0] = '\0';
    HKEY key;
    if (RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders",
                      0, KEY_READ, &key) != ERROR_SUCCESS)
        return;
    DWORD bytes = FolderBufferSize;
    LONG status = RegQueryValueExA(key, "Personal", NULL, NULL, (BYTE *)path, &bytes);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || bytes == 0 || memchr(path, '\0', bytes) == NULL)
        path[0] = '\0';
}

void GetDefaultExtractionFolder(char *output, DWORD size)
{
    char unexpanded[FolderBufferSize];
    char prefix[FolderBufferSize];

    unexpanded[0] = '\0';
    if (!GetShellSpecialFolderPath(NULL, unexpanded, CSIDL_PERSONAL | CSIDL_FLAG_CREATE, TRUE)) {
        ReadPersonalShellFolder(unexpanded);
    }
    if (unexpanded[0] == '\0')
        GetCurrentDirectoryA(FolderBufferSize, unexpanded);

    memset(output, 0, size);
    ExpandEnvironmentStringsA(unexpanded, output, size);
    if (FileExists(output))
        return;

    // Create it level by level; levels that exist, a bare drive and the empty prefix just fail.
    for (const char *p = output;; p = CharNextA(p)) {
        if (*p == '\\' || *p == '\0') {
            size_t length = (size_t)(p - output);
            if (length < sizeof prefix) {
                memcpy(prefix, output, length);
                prefix[length] = '\0';
                CreateDirectoryA(prefix, NULL);
            }
        }
        if (*p == '\0')
            break;
    }
}

int CALLBACK BrowseFolderCallback(HWND window, UINT message, LPARAM lParam, LPARAM data)
{
    (void)lParam;
    if (message == BFFM_INITIALIZED)
        SendMessageA(window, BFFM_SETSELECTIONA, TRUE, data);
    return 0;
}

BOOL PromptExtractionFolder(const char *promptText, char *folder)
{
    char defaultFolder[FolderBufferSize];
    char title[FolderBufferSize];

    GetDefaultExtractionFolder(defaultFolder, sizeof defaultFolder);
    snprintf(title, sizeof title, "%s", promptText);

    BROWSEINFOA browse;
    memset(&browse, 0, sizeof browse);
    browse.hwndOwner = NULL;
    browse.pidlRoot = NULL;
    browse.pszDisplayName = NULL;
    browse.lpszTitle = title;
    browse.ulFlags = 0;
    browse.lpfn = BrowseFolderCallback;
    browse.lParam = (LPARAM)defaultFolder;
    browse.iImage = 0;

    IMalloc *allocator = NULL;
    SHGetMalloc(&allocator);

    // An item without a file-system path (the computer, a network node) is no place for the
    // files: the browser comes back, as after any folder that cannot be used.
    for (;;) {
        PIDLIST_ABSOLUTE chosen = SHBrowseForFolderA(&browse);
        if (chosen == NULL) {
            if (allocator != NULL)
                allocator->Release();
            return FALSE;
        }
        char path[MAX_PATH];
        path[0] = '\0';
        BOOL hasPath = SHGetPathFromIDListA(chosen, path);
        if (allocator != NULL)
            allocator->Free(chosen);
        else
            CoTaskMemFree(chosen);
        if (hasPath && path[0] != '\0') {
            snprintf(folder, FolderBufferSize, "%s", path);
            break;
        }
    }
    if (allocator != NULL)
        allocator->Release();

    for (int i = (int)strlen(folder) - 1; i >= 0 && folder[i] == '\\'; i--)
        folder[i] = '\0';
    return TRUE;
}
