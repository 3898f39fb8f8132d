#include "payload/pinned_folder.h"

#include <stddef.h>
#include <string.h>
#include <winternl.h>

enum {
    NameUnits = 261, // the longest plain file name, with its terminator
    ListingBytes = 16384,
};

// The file calls of ntdll report NTSTATUS values; callers here see Win32 errors.
static BOOL FailWithStatus(NTSTATUS status)
{
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
}

HANDLE OpenInFolder(HANDLE folder, const WCHAR *name, DWORD access, DWORD share, DWORD disposition)
{
    int units = lstrlenW(name);
    if (units == 0 || units >= NameUnits) {
        SetLastError(ERROR_INVALID_NAME);
        return INVALID_HANDLE_VALUE;
    }
    UNICODE_STRING objectName;
    objectName.Length = (USHORT)(units * sizeof(WCHAR));
    objectName.MaximumLength = objectName.Length;
    objectName.Buffer = (PWSTR)name;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, folder, NULL);
    IO_STATUS_BLOCK io;
    HANDLE file = NULL;
    NTSTATUS status =
        NtCreateFile(&file, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, share, disposition,
                     FILE_NON_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        FailWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    return file;
}

BOOL RenameInFolder(HANDLE file, HANDLE folder, const WCHAR *name)
{
    int units = lstrlenW(name);
    if (units == 0 || units >= NameUnits) {
        SetLastError(ERROR_INVALID_NAME);
        return FALSE;
    }
    union {
        FILE_RENAME_INFORMATION info;
        BYTE bytes[sizeof(FILE_RENAME_INFORMATION) + NameUnits * sizeof(WCHAR)];
    } rename;
    memset(&rename, 0, sizeof rename);
    rename.info.ReplaceIfExists = FALSE;
    rename.info.RootDirectory = folder;
    rename.info.FileNameLength = (ULONG)(units * sizeof(WCHAR));
    memcpy(rename.info.FileName, name, units * sizeof(WCHAR));
    IO_STATUS_BLOCK io;
    NTSTATUS status = NtSetInformationFile(file, &io, &rename.info,
                                           (ULONG)(offsetof(FILE_RENAME_INFORMATION, FileName) + units * sizeof(WCHAR)),
                                           FileRenameInformation);
    return NT_SUCCESS(status) ? TRUE : FailWithStatus(status);
}

BOOL DeleteThroughHandle(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

BOOL ReadFileIdentity(HANDLE handle, FileIdentity *identity)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(handle, &info))
        return FALSE;
    identity->volume = info.dwVolumeSerialNumber;
    identity->indexHigh = info.nFileIndexHigh;
    identity->indexLow = info.nFileIndexLow;
    return TRUE;
}

BOOL SameFile(const FileIdentity *a, const FileIdentity *b)
{
    return a->volume == b->volume && a->indexHigh == b->indexHigh && a->indexLow == b->indexLow;
}

BOOL DeleteInFolder(HANDLE folder, const WCHAR *name, const FileIdentity *identity)
{
    HANDLE file = OpenInFolder(folder, name, DELETE | FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    FileIdentity found;
    BOOL deleted = FALSE;
    if (identity == NULL || (ReadFileIdentity(file, &found) && SameFile(&found, identity)))
        deleted = DeleteThroughHandle(file);
    else if (identity != NULL)
        SetLastError(ERROR_FILE_INVALID);
    DWORD error = GetLastError();
    CloseHandle(file);
    SetLastError(error);
    return deleted;
}

BOOL VisitFolderFiles(HANDLE folder, FolderEntryVisitor visit, void *context)
{
    union {
        FILE_ID_BOTH_DIR_INFO first;
        BYTE bytes[ListingBytes];
    } listing;
    FILE_INFO_BY_HANDLE_CLASS infoClass = FileIdBothDirectoryRestartInfo;
    for (;;) {
        if (!GetFileInformationByHandleEx(folder, infoClass, &listing, sizeof listing))
            return GetLastError() == ERROR_NO_MORE_FILES;
        infoClass = FileIdBothDirectoryInfo;
        const BYTE *entryAt = listing.bytes;
        for (;;) {
            const FILE_ID_BOTH_DIR_INFO *entry = (const FILE_ID_BOTH_DIR_INFO *)entryAt;
            DWORD units = entry->FileNameLength / sizeof(WCHAR);
            if ((entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && units > 0 && units < NameUnits) {
                WCHAR name[NameUnits];
                memcpy(name, entry->FileName, units * sizeof(WCHAR));
                name[units] = L'\0';
                visit(name, context);
            }
            if (entry->NextEntryOffset == 0)
                break;
            entryAt += entry->NextEntryOffset;
        }
    }
}

// 1 when path leads to the file that handle holds, 0 when it leads elsewhere or nowhere.
static int PathLeadsToFile(const WCHAR *path, HANDLE handle)
{
    HANDLE found = CreateFileW(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
    if (found == INVALID_HANDLE_VALUE)
        return 0;
    FileIdentity expected;
    FileIdentity actual;
    int same = ReadFileIdentity(handle, &expected) && ReadFileIdentity(found, &actual) && SameFile(&expected, &actual);
    CloseHandle(found);
    return same;
}

BOOL GetVolumePath(HANDLE handle, WCHAR *buffer, DWORD size)
{
    // The volume's GUID name where the system resolves it back to this very file (Wine names
    // volumes so but does not resolve the names), else the final path with its drive letter.
    DWORD length = GetFinalPathNameByHandleW(handle, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_GUID);
    if (length > 0 && length < size && PathLeadsToFile(buffer, handle))
        return TRUE;
    length = GetFinalPathNameByHandleW(handle, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return length > 0;
}
