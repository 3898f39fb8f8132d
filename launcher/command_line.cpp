#include "launcher/command_line.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

static int IsSeparator(WCHAR c)
{
    return c == L' ' || c == L'\t' || c == L'\n' || c == L'\r';
}

WCHAR **SplitCommandLine(const WCHAR *commandLine, int *count)
{
    SIZE_T length = lstrlenW(commandLine);
    // Every argument but the last takes at least two characters (itself and a separator, or
    // two quotes), so (n + 2) / 2 pointers and the terminating null are always enough.
    SIZE_T pointerCount = (length + 2) / 2 + 1;
    WCHAR **arguments = (WCHAR **)LocalAlloc(LMEM_FIXED, pointerCount * sizeof(WCHAR *) + (length + 2) * sizeof(WCHAR));
    if (arguments == NULL)
        return NULL;

    WCHAR *out = (WCHAR *)(arguments + pointerCount);
    int found = 0;
    int inQuotes = 0, inArgument = 0, atStart = 1;
    for (const WCHAR *in = commandLine; *in != L'\0'; in++) {
        WCHAR c = *in;
        if (inQuotes) {
            if (c == L'"')
                inQuotes = 0;
            else
                *out++ = c;
        } else if (IsSeparator(c)) {
            if (inArgument) {
                *out++ = L'\0';
                inArgument = 0;
            }
            atStart = 1;
        } else {
            if (atStart) {
                arguments[found++] = out;
                inArgument = 1;
                atStart = 0;
            }
            if (c == L'"')
                inQuotes = 1;
            else
                *out++ = c;
        }
    }
    *out = L'\0';
    arguments[found] = NULL;
    *count = found;
    return arguments;
}

static int EqualsIgnoringAsciiCase(const WCHAR *text, const char *lowerCase)
{
    for (; *lowerCase != '\0'; text++, lowerCase++) {
        WCHAR c = *text;
        if (c >= L'A' && c <= L'Z')
            c = (WCHAR)(c - L'A' + L'a');
        if (c != (WCHAR)*lowerCase)
            return 0;
    }
    return *text == L'\0';
}

int HasQuietSwitch(int count, WCHAR **arguments)
{
    for (int i = 1; i < count; i++) {
        if (EqualsIgnoringAsciiCase(arguments[i], "/q") || EqualsIgnoringAsciiCase(arguments[i], "/qn") ||
            EqualsIgnoringAsciiCase(arguments[i], "/quiet"))
            return 1;
    }
    return 0;
}

// Formats at *length with the room that is left; FALSE when the piece does not fit whole.
BOOL AppendFormatted(char *buffer, DWORD size, DWORD *length, const char *format, ...)
{
    if (*length >= size)
        return FALSE;
    va_list arguments;
    va_start(arguments, format);
    int written = vsnprintf(buffer + *length, size - *length, format, arguments);
    va_end(arguments);
    if (written < 0 || (DWORD)written >= size - *length) {
        buffer[*length] = '\0';
        return FALSE;
    }
    *length += (DWORD)written;
    return TRUE;
}

// Looks for the space character only; a trail byte of a double-byte character never counts.
static BOOL HasSpace(const char *text)
{
    for (const char *p = text; *p != '\0'; p = CharNextA(p)) {
        if (*p == ' ')
            return TRUE;
    }
    return FALSE;
}

ErrorValue BuildInstallerCommandLine(char *commandLine, DWORD size, const char *installerPath, const char *packagePath,
                                     int argumentCount, WCHAR *const *arguments)
{
    // Cutting the line would drop or change an argument meant for the installer: refuse instead.
    const ErrorValue tooLong = MakeFixedErrorValue(ERROR_FILENAME_EXCED_RANGE, 2343);
    DWORD length = 0;
    memset(commandLine, 0, size);

    if (!AppendFormatted(commandLine, size, &length, HasSpace(installerPath) ? "\"%s\"" : "%s", installerPath))
        return tooLong;
    if (!AppendFormatted(commandLine, size, &length, HasSpace(packagePath) ? " /i \"%s\"" : " /i %s", packagePath))
        return tooLong;

    for (int i = 1; i < argumentCount; i++) {
        int bytes = WideCharToMultiByte(CP_ACP, 0, arguments[i], -1, NULL, 0, NULL, NULL);
        char *argument = (char *)LocalAlloc(LMEM_ZEROINIT, (SIZE_T)bytes + 1);
        if (argument == NULL)
            return MakeErrorValue(GetLastError, ERROR_NOT_ENOUGH_MEMORY, 2338);
        WideCharToMultiByte(CP_ACP, 0, arguments[i], -1, argument, bytes, NULL, NULL);
        BOOL appended = AppendFormatted(commandLine, size, &length, HasSpace(argument) ? " \"%s\"" : " %s", argument);
        LocalFree(argument);
        if (!appended)
            return tooLong;
    }
    return 0;
}
