// The launcher's own command line: splitting it into arguments, and the quiet switches; the
// installer's command line built from it.
#pragma once

#include <windows.h>

#include "launcher/error_value.h"

// Splits a wide command line into arguments: double quotes group and are dropped, space, tab,
// line feed and carriage return separate, and nothing escapes. Returns a null-terminated vector
// of the arguments in one LocalAlloc block (free it with one LocalFree) and stores the count,
// or returns null when the block can't be allocated (the count is then not written).
WCHAR **SplitCommandLine(const WCHAR *commandLine, int *count);

// 1 when an argument after the program name is "/q", "/qn" or "/quiet" in any letter case. Asked
// once, by CaptureCommandLine: the run reads its answer from RunState.quiet.
int HasQuietSwitch(int count, WCHAR **arguments);

// Writes the installer's command line into commandLine (size UTF-16 units with the terminator):
// the installer path (ANSI, converted), "/i" and the package path, then arguments[1] to
// arguments[argumentCount - 1] exactly as given, each piece after one space and in double quotes
// when it holds a space. A line that does not fit is refused (206) rather than cut; a path that
// does not convert fails (its last error, else 1113). The buffer is always terminated.
ErrorValue BuildInstallerCommandLine(WCHAR *commandLine, DWORD size, const char *installerPath,
                                     const WCHAR *packagePath, int argumentCount, WCHAR *const *arguments);

// Formats at *length in buffer (size bytes) with the room that is left and advances *length;
// FALSE, with the buffer cut back to *length, when the piece does not fit whole.
BOOL AppendFormatted(char *buffer, DWORD size, DWORD *length, const char *format, ...);
