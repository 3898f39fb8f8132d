// The product's folder in a folder that the user picked. The picked folder is the user's: any of
// the user's processes can add, rename and replace what lies in it. So the launcher makes
// {ProductCode} there itself, owned by the Administrators with a protected DACL, and uses a folder
// of that name that it finds only when it was made that way.
#pragma once

#include <windows.h>

// The product folder's security descriptor: owner Administrators; SYSTEM and Administrators full
// control, Users read and execute, for the folder and everything made in it; nothing inherited
// from the picked folder.
extern const WCHAR ProductFolderSecurity[];

// Opens parent\name (ANSI; a drive root given as "C:"), making the folder with
// ProductFolderSecurity when there is none. The handle shares everything and may not delete: the
// extraction folder's pin, opened by path after it, must be this folder (IsSameFile). Every check
// goes through the handle: the volume must keep permissions (no FAT or exFAT) and lie on this
// machine, and a folder found in place must be a directory with exactly that owner and DACL.
// INVALID_HANDLE_VALUE with the last error otherwise: ERROR_NOT_SUPPORTED for the volume,
// ERROR_ALREADY_EXISTS for a folder of another owner or DACL, else the failed call's error.
HANDLE OpenPickedProductFolder(const char *parent, const char *name);

// TRUE when the two handles are open on one file or folder (same volume and file index).
BOOL IsSameFile(HANDLE first, HANDLE second);
