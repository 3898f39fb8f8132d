// Finding the payload containers in the executable's own file image.
#pragma once

#include <windows.h>

#include "launcher/error_value.h"

struct LauncherState;

// Walks the attribute certificate table's signature object and appends a descriptor (with its
// package directory) to state->payloads for every carrier extension. Finding nothing is a
// success (line 789) with nothing appended.
ErrorValue LocatePayload(LauncherState *state, const BYTE *image, DWORD imageSize);

// The whole-image step: takes a private copy of the whole file image as one container, reads
// its package directory and appends the descriptor to state->payloads. When no head item ends
// the file (code 1168, line 509) and the image has a certificate table, a file signed after
// packing, the container that ends where the table begins (over up to 7 zero bytes in front of
// it) is read instead, and its result is the step's.
ErrorValue LoadWholeImagePayload(LauncherState *state, const BYTE *image, DWORD imageSize);

// The whole-image step without a copy: the descriptor takes image (a local-heap block) over,
// so the file is held once (also for the container in front of the table, its front part). On failure image is freed; either way the caller no longer owns it.
ErrorValue AdoptWholeImagePayload(LauncherState *state, BYTE *image, DWORD imageSize);
