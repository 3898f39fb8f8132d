// ErrorValue: the result of every fallible operation of the launcher. The Win32 error code
// (0 for success) sits in the low 32 bits, the fixed line number of the site that made the
// value in the high 32 bits; the line reaches the user in the standard message text.
#pragma once

#include <windows.h>

typedef unsigned long long ErrorValue;

// Returns the thread's last error; every site passes GetLastError.
typedef DWORD(WINAPI *LastErrorGetter)(void);

inline ErrorValue MakeFixedErrorValue(DWORD code, DWORD line)
{
    return ((ErrorValue)line << 32) | code;
}

inline DWORD ErrorValueCode(ErrorValue value)
{
    return (DWORD)(value & 0xFFFFFFFFu);
}

inline DWORD ErrorValueLine(ErrorValue value)
{
    return (DWORD)(value >> 32);
}

// The last error from getter, or defaultCode where that is 0, at the given site.
ErrorValue MakeErrorValue(LastErrorGetter getter, DWORD defaultCode, DWORD line);

// Writes the system's text for code into buffer (size bytes, always terminated): trailing full
// stops, spaces and line breaks trimmed, then " (detail)." or "."; without a system text
// "Error <code> (detail)." or "Error <code>". An empty detail counts as none.
void FormatErrorText(DWORD code, char *buffer, DWORD size, const char *detail);
