// Files inside a folder held open by a handle (the pin), reached through that handle alone. A
// name is looked up inside the held folder, never from a path's root: nothing above the folder,
// a junction re-pointed or a drive letter mapped anew, can send the call elsewhere.
#pragma once

#include <windows.h>

// What names one file on one volume for as long as it exists: the 128-bit file id where the
// system gives one (a 64-bit index is not unique on every file system), else the 64-bit index.
struct FileIdentity {
    ULONGLONG volume;
    BYTE id[16];
};

// Opens name (a plain file name) inside folder, never following a link at that name. options
// is FILE_NON_DIRECTORY_FILE or FILE_DIRECTORY_FILE; disposition FILE_OPEN, FILE_CREATE or
// FILE_OPEN_IF. A file made by the call gets security (null: what it inherits), and *created (may
// be null) tells whether it was made. INVALID_HANDLE_VALUE with the Win32 error in the last error
// when it fails (ERROR_FILE_NOT_FOUND when nothing has that name).
HANDLE OpenRelative(HANDLE folder, const WCHAR *name, DWORD access, DWORD share, DWORD disposition, DWORD options,
                    PSECURITY_DESCRIPTOR security, BOOL *created);

// OpenRelative for a file that is not a folder, made with what it inherits.
HANDLE OpenInFolder(HANDLE folder, const WCHAR *name, DWORD access, DWORD share, DWORD disposition);

// Renames the file held by file (opened with DELETE access) to name inside folder; a name that is
// taken is not replaced (ERROR_ALREADY_EXISTS).
BOOL RenameInFolder(HANDLE file, HANDLE folder, const WCHAR *name);

// Deletes what handle holds (opened with DELETE access). Where the system can, its name goes at
// once, even while others hold it open; elsewhere it goes when the last handle to it is closed.
BOOL DeleteThroughHandle(HANDLE handle);

// The one comparison of files for the whole launcher: two identities read from handles.
BOOL ReadFileIdentity(HANDLE handle, FileIdentity *identity);
BOOL SameFile(const FileIdentity *a, const FileIdentity *b);

// Deletes name inside folder when it is still the file known as identity (or any file, when
// identity is null): opened relative to the folder, checked, deleted through that handle.
BOOL DeleteInFolder(HANDLE folder, const WCHAR *name, const FileIdentity *identity);

// Offers the name of every entry of folder that is not a folder to visit, through the folder's
// handle; FALSE when the folder can't be read.
typedef void (*FolderEntryVisitor)(const WCHAR *name, void *context);
BOOL VisitFolderFiles(HANDLE folder, FolderEntryVisitor visit, void *context);

// The final path of what handle holds, with its drive letter and without the "\\?\" prefix
// ("C:\..."), in buffer (size units). FALSE with ERROR_BAD_PATHNAME when the system names it
// otherwise (a share's "\\?\UNC\...", a volume's GUID name), with ERROR_FILENAME_EXCED_RANGE when
// it has MAX_PATH units or more: what the Windows Installer keeps as a product's source must be
// a plain drive path.
BOOL GetDrivePath(HANDLE handle, WCHAR *buffer, DWORD size);

// TRUE when what handle holds (opened with READ_CONTROL) has exactly the owner and the protected
// DACL of expected, ACE for ACE; otherwise FALSE with ERROR_ALREADY_EXISTS, or with the error of
// a call that failed.
BOOL HasExactSecurity(HANDLE handle, PSECURITY_DESCRIPTOR expected);
