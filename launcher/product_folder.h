// The product's folder {ProductCode} in its root: the system's Installer folder, or a folder that
// the user picked. It is made or opened relative to a handle on the root and held by the handle
// returned; the extraction folder's pin is taken from that handle, never from a path.
//
// A picked folder is the user's: any of the user's processes can add, rename and replace what
// lies in it. So the launcher makes {ProductCode} there itself, owned by the Administrators with
// a protected DACL, and uses a folder of that name that it finds only when it was made that way.
#pragma once

#include <windows.h>

// A picked product folder's security descriptor: owner Administrators; SYSTEM and Administrators
// full control, Users read and execute, for the folder and everything made in it; nothing
// inherited from the picked folder.
extern const WCHAR ProductFolderSecurity[];

// Opens root\name (name ANSI; a drive root given as "C:"), making the folder when there is none;
// *made tells whether this call made it. In a picked root the volume must keep permissions (no
// FAT or exFAT) and lie on this machine, the folder is made with ProductFolderSecurity, and one
// found in place must be a directory with exactly that owner and DACL; in the system's Installer
// folder it inherits what Installer gives. The handle shares everything and may not delete.
// INVALID_HANDLE_VALUE with the last error otherwise: ERROR_NOT_SUPPORTED for the volume,
// ERROR_ALREADY_EXISTS for a folder of another owner or DACL, else the failed call's error.
HANDLE OpenProductFolder(const WCHAR *root, const char *name, BOOL picked, BOOL *made);
