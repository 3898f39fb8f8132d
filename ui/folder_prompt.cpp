#include "ui/folder_prompt.h"

#include <shlobj.h>
#include <string.h>

#include "launcher/file_exists.h"
#include "payload/ansi_text.h"

enum { FolderBufferSize = 1024 };

typedef BOOL(WINAPI *SpecialFolderPathFunction)(HWND, LPSTR, int, BOOL);

BOOL GetShellSpecialFolderPath(HWND owner, char *path, int csidl, BOOL create)
{
    // Shell32 is a static import, so it is always loaded: never look it up by a bare name.
    HMODULE shell = GetModuleHandleA("Shell32.dll");
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

    // The launcher runs elevated, and the "Personal" value is the user's to set: it never creates
    // the folder, or the user could have folders made anywhere with administrator rights.
    unexpanded[0] = '\0';
    if (!GetShellSpecialFolderPath(NULL, unexpanded, CSIDL_PERSONAL, FALSE)) {
        ReadPersonalShellFolder(unexpanded);
    }
    if (unexpanded[0] == '\0')
        GetCurrentDirectoryA(FolderBufferSize, unexpanded);

    memset(output, 0, size);
    ExpandEnvironmentStringsA(unexpanded, output, size);
    // A missing folder is no selection at all.
    if (!FileExists(output))
        memset(output, 0, size);
}

int CALLBACK BrowseFolderCallback(HWND window, UINT message, LPARAM lParam, LPARAM data)
{
    (void)lParam;
    if (message == BFFM_INITIALIZED && ((const char *)data)[0] != '\0')
        SendMessageA(window, BFFM_SETSELECTIONA, TRUE, data);
    return 0;
}

BOOL PromptExtractionFolder(const char *promptText, char *folder)
{
    char defaultFolder[FolderBufferSize];
    char title[FolderBufferSize];

    GetDefaultExtractionFolder(defaultFolder, sizeof defaultFolder);
    lstrcpynA(title, promptText, sizeof title);

    BROWSEINFOA browse;
    memset(&browse, 0, sizeof browse);
    browse.hwndOwner = NULL;
    browse.pidlRoot = NULL;
    browse.pszDisplayName = NULL;
    browse.lpszTitle = title;
    // File-system folders only, and no computers of the network: a network folder belongs to
    // whoever runs its server. A mapped drive still passes here; the extraction folder's volume
    // is checked once it is open.
    browse.ulFlags = BIF_RETURNONLYFSDIRS | BIF_DONTGOBELOWDOMAIN;
    browse.lpfn = BrowseFolderCallback;
    browse.lParam = (LPARAM)defaultFolder;
    browse.iImage = 0;

    IMalloc *allocator = NULL;
    SHGetMalloc(&allocator);

    // An item without a file-system path (the computer, a network node) is no place for the
    // files: the browser comes back, as after any folder that cannot be used. So is a folder
    // whose path does not convert to ANSI and back unchanged: the ANSI calls would write into
    // a look-alike folder.
    for (;;) {
        PIDLIST_ABSOLUTE chosen = SHBrowseForFolderA(&browse);
        if (chosen == NULL) {
            if (allocator != NULL)
                allocator->Release();
            return FALSE;
        }
        WCHAR widePath[MAX_PATH];
        char path[FolderBufferSize];
        widePath[0] = 0;
        BOOL hasPath = SHGetPathFromIDListW(chosen, widePath);
        if (allocator != NULL)
            allocator->Free(chosen);
        else
            CoTaskMemFree(chosen);
        // Trailing separators go while the path is UTF-16: in the ANSI form a double-byte
        // character may end in the byte of a backslash. A drive root keeps its letter and colon.
        int length = hasPath ? lstrlenW(widePath) : 0;
        while (length > 0 && (widePath[length - 1] == L'\\' || widePath[length - 1] == L'/'))
            widePath[--length] = 0;
        if (length > 0 && ConvertToAnsiExactly(widePath, length, path, sizeof path)) {
            lstrcpynA(folder, path, FolderBufferSize);
            break;
        }
    }
    if (allocator != NULL)
        allocator->Release();
    return TRUE;
}
