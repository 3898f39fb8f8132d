#include "payload/pinned_folder.h"

#include <stddef.h>
#include <string.h>
#include <winternl.h>

#include <aclapi.h>

enum {
    NameUnits = 261, // the longest plain file name, with its terminator
    ListingBytes = 16384,
    // FILE_DISPOSITION_INFO_EX's flags (Windows 10 1607 and later).
    DispositionDelete = 1,
    DispositionPosixSemantics = 2,
};

static const FILE_INFO_BY_HANDLE_CLASS DispositionInfoEx = (FILE_INFO_BY_HANDLE_CLASS)21;

// The file calls of ntdll report NTSTATUS values; callers here see Win32 errors.
static BOOL FailWithStatus(NTSTATUS status)
{
    SetLastError(RtlNtStatusToDosError(status));
    return FALSE;
}

HANDLE OpenRelative(HANDLE folder, const WCHAR *name, DWORD access, DWORD share, DWORD disposition, DWORD options,
                    PSECURITY_DESCRIPTOR security, BOOL *created)
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
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, folder, security);
    IO_STATUS_BLOCK io;
    HANDLE file = NULL;
    NTSTATUS status =
        NtCreateFile(&file, access | SYNCHRONIZE, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL, share, disposition,
                     options | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, NULL, 0);
    if (!NT_SUCCESS(status)) {
        FailWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    if (created != NULL)
        *created = io.Information == FILE_CREATED;
    return file;
}

HANDLE OpenInFolder(HANDLE folder, const WCHAR *name, DWORD access, DWORD share, DWORD disposition)
{
    return OpenRelative(folder, name, access, share, disposition, FILE_NON_DIRECTORY_FILE, NULL, NULL);
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
    // Where the system knows it, the name goes at once: a handle that someone else holds (one that
    // reads attributes alone needs no sharing) can't keep the name taken for the next run.
    DWORD flags = DispositionDelete | DispositionPosixSemantics;
    if (SetFileInformationByHandle(handle, DispositionInfoEx, &flags, sizeof flags))
        return TRUE;
    FILE_DISPOSITION_INFO disposition = {TRUE};
    return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition);
}

BOOL ReadFileIdentity(HANDLE handle, FileIdentity *identity)
{
    memset(identity, 0, sizeof *identity);
    FILE_ID_INFO info;
    if (GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof info)) {
        identity->volume = info.VolumeSerialNumber;
        memcpy(identity->id, &info.FileId, sizeof identity->id);
        return TRUE;
    }
    // Systems before Windows 8 know no 128-bit id; there the 64-bit index is unique.
    BY_HANDLE_FILE_INFORMATION byHandle;
    if (!GetFileInformationByHandle(handle, &byHandle))
        return FALSE;
    identity->volume = byHandle.dwVolumeSerialNumber;
    ULONGLONG index = ((ULONGLONG)byHandle.nFileIndexHigh << 32) | byHandle.nFileIndexLow;
    memcpy(identity->id, &index, sizeof index);
    return TRUE;
}

BOOL SameFile(const FileIdentity *a, const FileIdentity *b)
{
    return memcmp(a, b, sizeof *a) == 0;
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

BOOL GetDrivePath(HANDLE handle, WCHAR *buffer, DWORD size)
{
    DWORD length = GetFinalPathNameByHandleW(handle, buffer, size, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length == 0)
        return FALSE;
    if (length >= size) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    // "\\?\C:\..." alone: a share ("\\?\UNC\...") or a volume without a letter has no drive path.
    if (length < 7 || memcmp(buffer, L"\\\\?\\", 4 * sizeof(WCHAR)) != 0 ||
        (unsigned)((buffer[4] | 0x20) - L'a') > 25u || buffer[5] != L':' || buffer[6] != L'\\') {
        SetLastError(ERROR_BAD_PATHNAME);
        return FALSE;
    }
    length -= 4;
    if (length >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    memmove(buffer, buffer + 4, (length + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL HasExactSecurity(HANDLE handle, PSECURITY_DESCRIPTOR expected)
{
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR actual = NULL;
    DWORD status = GetSecurityInfo(handle, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                                   &owner, NULL, &dacl, NULL, &actual);
    if (status != ERROR_SUCCESS) {
        SetLastError(status);
        return FALSE;
    }
    PSID expectedOwner = NULL;
    PACL expectedDacl = NULL;
    BOOL defaulted = FALSE, present = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    BOOL same = GetSecurityDescriptorOwner(expected, &expectedOwner, &defaulted) &&
                GetSecurityDescriptorDacl(expected, &present, &expectedDacl, &defaulted) &&
                GetSecurityDescriptorControl(actual, &control, &revision) && (control & SE_DACL_PROTECTED) != 0 &&
                owner != NULL && dacl != NULL && expectedDacl != NULL && EqualSid(owner, expectedOwner) &&
                dacl->AceCount == expectedDacl->AceCount;
    for (WORD i = 0; same && i < dacl->AceCount; i++) {
        ACE_HEADER *ace = NULL;
        ACE_HEADER *expectedAce = NULL;
        same = GetAce(dacl, i, (void **)&ace) && GetAce(expectedDacl, i, (void **)&expectedAce) &&
               ace->AceSize == expectedAce->AceSize && memcmp(ace, expectedAce, ace->AceSize) == 0;
    }
    LocalFree(actual);
    if (!same)
        SetLastError(ERROR_ALREADY_EXISTS);
    return same;
}
