// Finding the payload containers in the executable's own file image.
#pragma once

#include <windows.h>

#include "launcher/error_value.h"

// Walks the attribute certificate table's signature object and appends a descriptor (with its
// package directory) to launcherState.payloads for every carrier extension. Finding nothing is
// a success (line 789) with nothing appended.
ErrorValue LocatePayload(const BYTE *image, DWORD imageSize);

// The whole-image step: takes a private copy of the whole file image as one container, reads
// its package directory and appends the descriptor.
ErrorValue LoadWholeImagePayload(const BYTE *image, DWORD imageSize);
