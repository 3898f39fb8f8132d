// Files inside a folder held open by a handle (the pin), reached through that handle alone. A
// name is looked up inside the held folder, never from a path's root: nothing above the folder,
// a junction re-pointed or a drive letter mapped anew, can send the call elsewhere.
#pragma once

#include <windows.h>

// What names one file on one volume for as long as it exists.
struct FileIdentity {
    DWORD volume;
    DWORD indexHigh;
    DWORD indexLow;
};

// Opens name (a plain file name) inside folder, never following a link at that name; a folder of
// that name is not opened. disposition is FILE_OPEN or FILE_CREATE. INVALID_HANDLE_VALUE with the
// Win32 error in the last error when it fails (ERROR_FILE_NOT_FOUND when nothing has that name).
HANDLE OpenInFolder(HANDLE folder, const WCHAR *name, DWORD access, DWORD share, DWORD disposition);

// Renames the file held by file (opened with DELETE access) to name inside folder; a name that is
// taken is not replaced (ERROR_ALREADY_EXISTS).
BOOL RenameInFolder(HANDLE file, HANDLE folder, const WCHAR *name);

// Marks what handle holds (opened with DELETE access) for deletion; it goes when the last handle
// to it is closed.
BOOL DeleteThroughHandle(HANDLE handle);

BOOL ReadFileIdentity(HANDLE handle, FileIdentity *identity);
BOOL SameFile(const FileIdentity *a, const FileIdentity *b);

// Deletes name inside folder when it is still the file known as identity (or any file, when
// identity is null): opened relative to the folder, checked, deleted through that handle.
BOOL DeleteInFolder(HANDLE folder, const WCHAR *name, const FileIdentity *identity);

// Offers the name of every entry of folder that is not a folder to visit, through the folder's
// handle; FALSE when the folder can't be read.
typedef void (*FolderEntryVisitor)(const WCHAR *name, void *context);
BOOL VisitFolderFiles(HANDLE folder, FolderEntryVisitor visit, void *context);

// The path that the handle's file has from its volume's GUID name ("\\?\Volume{...}\..."), which
// no drive letter, mount point or junction of the path it was opened by takes part in, checked to
// lead back to the same file; where the system does not resolve that name (a network share,
// Wine), the file's final path in the drive-letter form ("\\?\C:\...").
BOOL GetVolumePath(HANDLE handle, WCHAR *buffer, DWORD size);
