#include "launcher/command_line.h"

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
