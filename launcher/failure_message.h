// The one message box that a failed run shows at its end.
#pragma once

#include <windows.h>

#include "launcher/run_state.h"

// Writes the caption for the box into caption (size bytes): the file name part of ownPath (after
// its last backslash), the whole path when it has no backslash, "Loader" when there is no path. A
// character the ANSI code page lacks shows as its default character, never as a look-alike.
void GetMessageCaption(const WCHAR *ownPath, char *caption, int size);

// Shows run->messageText, or the standard text for run->outcome when that is empty (it is
// written into messageText then), under the caption for run->ownPath.
void ShowFailureMessage(RunState *run);
