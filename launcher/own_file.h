// The launcher's own executable: its path, and reading it whole to find the payload.
#pragma once

#include <windows.h>

#include "launcher/error_value.h"

// The full path of the own executable, UTF-16 as the system holds it (an ANSI form may name a
// look-alike file), in a LocalAlloc block, or null.
WCHAR *GetOwnPath(void);

// Reads the file at path whole and has its payload containers located (LocatePayload). A
// container in the file keeps the file's buffer (the file is held once); otherwise the buffer is
// freed before returning. Every container found is appended to launcherState.payloads.
ErrorValue ReadOwnFile(const WCHAR *path);
