// The one message box that a failed run shows at its end.
#pragma once

#include <windows.h>

#include "launcher/run_state.h"

// The caption for the box: the file name part of ownPath (after its last backslash, scanned
// character by character in codePage so that a double-byte character's trail byte never counts),
// the whole path when it has no backslash, "Loader" when there is no path.
const char *GetMessageCaption(const char *ownPath, UINT codePage);

// Shows run->messageText, or the standard text for run->outcome when that is empty (it is
// written into messageText then), under the caption for run->ownPath.
void ShowFailureMessage(RunState *run);
