// The launcher's own executable: its path, and reading it whole to find the payload.
#pragma once

#include <windows.h>

#include "launcher/error_value.h"

// The full ANSI path of the own executable in a LocalAlloc block, or null.
char *GetOwnPath(void);

// Reads the file at path whole and has its payload containers located; when the locator finds
// none, the whole image is taken as the one container, which then keeps the file's buffer (the
// file is held once). Every container found is appended to launcherState.payloads. Otherwise
// the file's buffer is freed before returning.
ErrorValue ReadOwnFile(const char *path);
