#include "launcher/product_folder.h"

#include <winternl.h>

#include <sddl.h>

#include "payload/pinned_folder.h"

#ifndef FILE_REMOTE_DEVICE
#define FILE_REMOTE_DEVICE 0x00000010
#endif

enum { WidePathSize = 1024 };

// 0x1200A9: FILE_GENERIC_READ | FILE_GENERIC_EXECUTE.
const WCHAR ProductFolderSecurity[] = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

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

HANDLE OpenProductFolder(const WCHAR *root, const char *name, BOOL picked, BOOL *made)
{
    WCHAR rootPath[WidePathSize];
    WCHAR childName[MAX_PATH];
    int units = lstrlenW(root);
    *made = FALSE;
    if (units >= WidePathSize - 1 ||
        MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, name, -1, childName, MAX_PATH) <= 0)
        return INVALID_HANDLE_VALUE;
    lstrcpyW(rootPath, root);
    // "C:" alone is the drive's current directory: its root is "C:\".
    if (units == 2 && rootPath[1] == L':')
        lstrcpyW(rootPath + 2, L"\\");

    PSECURITY_DESCRIPTOR security = NULL;
    if (picked &&
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(ProductFolderSecurity, SDDL_REVISION_1, &security, NULL))
        return INVALID_HANDLE_VALUE;
    HANDLE folder = INVALID_HANDLE_VALUE;
    // Held only while the product folder is made or opened in it; checked before anything is made.
    HANDLE parent = CreateFileW(rootPath, FILE_LIST_DIRECTORY | FILE_ADD_SUBDIRECTORY | FILE_TRAVERSE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, NULL);
    if (parent != INVALID_HANDLE_VALUE && (!picked || IsLocalVolumeWithPermissions(parent))) {
        // FILE_READ_ATTRIBUTES, which CreateFileW adds by itself, for the file identity and the volume.
        const DWORD access = FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL;
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        HANDLE child = OpenRelative(parent, childName, access, share, FILE_CREATE, FILE_DIRECTORY_FILE, security, made);
        if (child == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ALREADY_EXISTS)
            child = OpenRelative(parent, childName, access, share, FILE_OPEN, FILE_DIRECTORY_FILE, NULL, NULL);
        if (child != INVALID_HANDLE_VALUE) {
            if (!picked || (IsLocalVolumeWithPermissions(child) && (*made || HasExactSecurity(child, security)))) {
                folder = child;
            } else {
                DWORD error = GetLastError();
                CloseHandle(child);
                SetLastError(error);
            }
        }
    }
    DWORD error = GetLastError();
    if (parent != INVALID_HANDLE_VALUE)
        CloseHandle(parent);
    LocalFree(security);
    SetLastError(error);
    return folder;
}
