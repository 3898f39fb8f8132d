#include "launcher/picked_folder.h"

#include <winternl.h>

#include <aclapi.h>
#include <sddl.h>
#include <string.h>

#ifndef FILE_REMOTE_DEVICE
#define FILE_REMOTE_DEVICE 0x00000010
#endif

enum { WidePathSize = 1024 };

static const NTSTATUS StatusNameCollision = (NTSTATUS)0xC0000035;

// 0x1200A9: FILE_GENERIC_READ | FILE_GENERIC_EXECUTE.
const WCHAR ProductFolderSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

BOOL IsSameFile(HANDLE first, HANDLE second)
{
    BY_HANDLE_FILE_INFORMATION a, b;
    return GetFileInformationByHandle(first, &a) && GetFileInformationByHandle(second, &b) &&
           a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
           a.nFileIndexLow == b.nFileIndexLow;
}

// A volume whose files have no permissions can't keep the product folder to the administrators,
// and one on another machine belongs to whoever runs that machine.
static BOOL IsLocalVolumeWithPermissions(HANDLE folder)
{
    DWORD flags = 0;
    if (!GetVolumeInformationByHandleW(folder, NULL, 0, NULL, NULL, &flags, NULL, 0))
        return FALSE;
    IO_STATUS_BLOCK io;
    FILE_FS_DEVICE_INFORMATION device;
    NTSTATUS status = NtQueryVolumeInformationFile(folder, &io, &device, sizeof device, FileFsDeviceInformation);
    if (!NT_SUCCESS(status)) {
        SetLastError(RtlNtStatusToDosError(status));
        return FALSE;
    }
    if ((flags & FILE_PERSISTENT_ACLS) == 0 || (device.Characteristics & FILE_REMOTE_DEVICE) != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return TRUE;
}

// Opens (or, with FILE_CREATE, makes with security) the folder name inside parent, relative to
// the parent's handle: a name joined to a path again could lead elsewhere.
static NTSTATUS OpenChildFolder(HANDLE parent, const WCHAR *name, ULONG disposition, PSECURITY_DESCRIPTOR security,
                                HANDLE *folder)
{
    UNICODE_STRING objectName;
    objectName.Buffer = (PWSTR)name;
    objectName.Length = (USHORT)(lstrlenW(name) * sizeof(WCHAR));
    objectName.MaximumLength = objectName.Length;
    OBJECT_ATTRIBUTES attributes;
    InitializeObjectAttributes(&attributes, &objectName, OBJ_CASE_INSENSITIVE, parent, security);
    IO_STATUS_BLOCK io;
    // FILE_READ_ATTRIBUTES, which CreateFileW adds by itself, for the file index and the volume.
    const ACCESS_MASK access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL | SYNCHRONIZE;
    return NtCreateFile(folder, access, &attributes, &io, NULL, FILE_ATTRIBUTE_NORMAL,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, disposition,
                        FILE_DIRECTORY_FILE | FILE_SYNCHRONOUS_IO_NONALERT | FILE_OPEN_REPARSE_POINT, NULL, 0);
}

// TRUE when the folder has the owner and the protected DACL of expected, ACE for ACE.
static BOOL HasProductFolderSecurity(HANDLE folder, PSECURITY_DESCRIPTOR expected)
{
    PSID owner = NULL;
    PACL dacl = NULL;
    PSECURITY_DESCRIPTOR actual = NULL;
    DWORD status = GetSecurityInfo(folder, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
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

HANDLE OpenPickedProductFolder(const char *parent, const char *name)
{
    WCHAR parentPath[WidePathSize];
    WCHAR childName[MAX_PATH];
    int units = MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, parent, -1, parentPath, WidePathSize - 1);
    if (units <= 0 || MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, childName, MAX_PATH) <= 0)
        return INVALID_HANDLE_VALUE;
    // "C:" alone is the drive's current directory: its root is "C:\".
    if (units >= 2 && parentPath[units - 2] == L':') {
        parentPath[units - 1] = L'\\';
        parentPath[units] = 0;
    }

    PSECURITY_DESCRIPTOR security = NULL;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(ProductFolderSecurity, SDDL_REVISION_1, &security, NULL))
        return INVALID_HANDLE_VALUE;
    HANDLE folder = INVALID_HANDLE_VALUE;
    // Held only while the product folder is made or opened in it; checked before anything is made.
    HANDLE parentFolder = CreateFileW(parentPath, FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (parentFolder != INVALID_HANDLE_VALUE && IsLocalVolumeWithPermissions(parentFolder)) {
        HANDLE child = NULL;
        NTSTATUS status = OpenChildFolder(parentFolder, childName, FILE_CREATE, security, &child);
        BOOL made = NT_SUCCESS(status);
        if (status == StatusNameCollision)
            status = OpenChildFolder(parentFolder, childName, FILE_OPEN, NULL, &child);
        if (!NT_SUCCESS(status)) {
            SetLastError(RtlNtStatusToDosError(status));
        } else if (IsLocalVolumeWithPermissions(child) && (made || HasProductFolderSecurity(child, security))) {
            folder = child;
        } else {
            DWORD error = GetLastError();
            CloseHandle(child);
            SetLastError(error);
        }
    }
    DWORD error = GetLastError();
    if (parentFolder != INVALID_HANDLE_VALUE)
        CloseHandle(parentFolder);
    LocalFree(security);
    SetLastError(error);
    return folder;
}
