#include "launcher/command_line.h"

#include <stdarg.h>
#include <string.h>

#include "launcher/format_text.h"

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
    int written = FormatTextList(buffer + *length, size - *length, format, arguments);
    va_end(arguments);
    if (written < 0) {
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

static BOOL HasWideSpace(const WCHAR *text)
{
    for (const WCHAR *p = text; *p != 0; p++) {
        if (*p == ' ')
            return TRUE;
    }
    return FALSE;
}

// Appends the ASCII text at *length; FALSE when it does not fit with a terminator behind it.
static BOOL AppendAscii(WCHAR *line, DWORD size, DWORD *length, const char *text)
{
    for (; *text != '\0'; text++) {
        if (*length + 1 >= size)
            return FALSE;
        line[(*length)++] = (WCHAR)*text;
    }
    line[*length] = 0;
    return TRUE;
}

// Appends prefix, then the argument as it is, in double quotes when it holds a space.
static BOOL AppendArgument(WCHAR *line, DWORD size, DWORD *length, const char *prefix, const WCHAR *argument)
{
    BOOL quoted = HasWideSpace(argument);
    if (!AppendAscii(line, size, length, prefix) || (quoted && !AppendAscii(line, size, length, "\"")))
        return FALSE;
    for (const WCHAR *p = argument; *p != 0; p++) {
        if (*length + 1 >= size)
            return FALSE;
        line[(*length)++] = *p;
    }
    line[*length] = 0;
    return !quoted || AppendAscii(line, size, length, "\"");
}

// Appends prefix, then the ANSI path converted, in double quotes when it holds a space. FALSE with
// *failed set when the path does not convert.
static BOOL AppendPath(WCHAR *line, DWORD size, DWORD *length, const char *prefix, const char *path, BOOL *failed)
{
    BOOL quoted = HasSpace(path);
    if (!AppendAscii(line, size, length, prefix) || (quoted && !AppendAscii(line, size, length, "\"")))
        return FALSE;
    if (path[0] != '\0') {
        int units = MultiByteToWideChar(CP_ACP, 0, path, -1, NULL, 0);
        if (units <= 0) {
            *failed = TRUE;
            return FALSE;
        }
        // units counts the terminator, which takes the place that must stay free.
        if (*length + (DWORD)units > size)
            return FALSE;
        MultiByteToWideChar(CP_ACP, 0, path, -1, line + *length, units);
        *length += (DWORD)units - 1;
    }
    return !quoted || AppendAscii(line, size, length, "\"");
}

ErrorValue BuildInstallerCommandLine(WCHAR *commandLine, DWORD size, const char *installerPath,
                                     const WCHAR *packagePath, int argumentCount, WCHAR *const *arguments)
{
    // Cutting the line would drop or change an argument meant for the installer: refuse instead.
    const ErrorValue tooLong = MakeFixedErrorValue(ERROR_FILENAME_EXCED_RANGE, 2343);
    DWORD length = 0;
    memset(commandLine, 0, size * sizeof(WCHAR));

    BOOL failed = FALSE;
    if (!AppendPath(commandLine, size, &length, "", installerPath, &failed) ||
        !AppendArgument(commandLine, size, &length, " /i ", packagePath)) {
        if (size > 0)
            commandLine[length < size ? length : size - 1] = 0;
        return failed ? MakeErrorValue(GetLastError, ERROR_NO_UNICODE_TRANSLATION, 2338) : tooLong;
    }
    // The arguments go on as the launcher got them, unconverted: no character can turn into a
    // quote or a separator on the way.
    for (int i = 1; i < argumentCount; i++) {
        if (!AppendArgument(commandLine, size, &length, " ", arguments[i])) {
            commandLine[length < size ? length : size - 1] = 0;
            return tooLong;
        }
    }
    return 0;
}
