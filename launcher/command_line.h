// The launcher's own command line: splitting it into arguments, and the quiet switches.
#pragma once

#include <windows.h>

// Splits a wide command line into arguments: double quotes group and are dropped, space, tab,
// line feed and carriage return separate, and nothing escapes. Returns a null-terminated vector
// of the arguments in one LocalAlloc block (free it with one LocalFree) and stores the count,
// or returns null when the block can't be allocated (the count is then not written).
WCHAR **SplitCommandLine(const WCHAR *commandLine, int *count);

// 1 when an argument after the program name is "/q", "/qn" or "/quiet" in any letter case.
int HasQuietSwitch(int count, WCHAR **arguments);
