// UTF-16 text into the ANSI code page without best-fit mapping: a character the code page
// lacks never turns into a look-alike ("＂" into a quote, "Ā" into "A").
#pragma once

#include <windows.h>

enum { AnsiRoundTripUnits = 1024 }; // the longest text ConvertToAnsiExactly checks

// The WideCharToMultiByte flags for CP_ACP: WC_NO_BEST_FIT_CHARS, except where the ANSI code page
// is UTF-8, which refuses the flag and converts without loss anyway.
DWORD AnsiConversionFlags(void);

// Converts units UTF-16 units of wide (no terminator among them) into text, size bytes with the
// terminator. FALSE when it does not fit whole or does not convert back to the same units: such a
// text would name something else in the ANSI calls. Text longer than AnsiRoundTripUnits fails.
BOOL ConvertToAnsiExactly(const WCHAR *wide, int units, char *text, int size);

// As ConvertToAnsiExactly, but a character the code page lacks becomes its default character;
// FALSE only when the text does not fit. For text that is shown, never used as a name.
BOOL ConvertToAnsiForDisplay(const WCHAR *wide, int units, char *text, int size);
