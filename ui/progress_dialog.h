// The modal progress window that drives an extraction job in batches of steps, between which the
// window paints, moves and answers its messages.
#pragma once

#include <windows.h>

#include "payload/package_directory.h"

// 1 when every file was written, 2 when the user cancelled (or, for an unattended job, at the first
// failure, with no box shown), 3 when the job could not be
// stored in the window, -1 when the template or the dialog could not be made.
INT_PTR RunProgressDialog(ExtractionJob *job, const char *className, const char *caption, const char *faceName);

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// The in-memory dialog template (global heap, fixed, zero-filled); *size receives its length
// in bytes. Null when the block could not be allocated. Free it with GlobalFree.
HGLOBAL BuildProgressDialogTemplate(const char *className, const char *caption, const char *faceName, SIZE_T *size);
