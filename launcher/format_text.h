// Bounded formatting of the launcher's texts, with the conversions they use: %s (a terminated
// ANSI string), %u (unsigned int), %lu (unsigned long) and %%. Any other character after a % is
// written as it stands and takes no argument. The C library's formatter is not used: it would
// bring MinGW's own, larger than the rest of the launcher's code put together.
#pragma once

#include <stdarg.h>
#include <windows.h>

// Writes the text into buffer (size bytes; terminated whenever size is not 0) and returns its
// length, or -1 when it did not fit whole: the buffer then holds as much of it as fit.
int FormatText(char *buffer, DWORD size, const char *format, ...) __attribute__((format(printf, 3, 4)));
int FormatTextList(char *buffer, DWORD size, const char *format, va_list arguments);
