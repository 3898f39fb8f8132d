#include "launcher/error_value.h"

#include "launcher/format_text.h"

ErrorValue MakeErrorValue(LastErrorGetter getter, DWORD defaultCode, DWORD line)
{
    DWORD code = getter();
    if (code == 0)
        code = defaultCode;
    return MakeFixedErrorValue(code, line);
}

static int IsTrimmedCharacter(char c)
{
    return c == '.' || c == ' ' || c == '\r' || c == '\n';
}

void FormatErrorText(DWORD code, char *buffer, DWORD size, const char *detail)
{
    if (buffer == NULL || size == 0)
        return;
    buffer[0] = '\0';

    // Inserts are left as they stand: some system texts hold "%1", and there are no arguments.
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, NULL, code, 0x400, buffer,
                                  size, NULL);
    if (length >= size)
        length = size - 1;
    buffer[length] = '\0';
    while (length > 0 && IsTrimmedCharacter(buffer[length - 1]))
        length--;

    if (detail != NULL && detail[0] != '\0') {
        if (length > 0)
            FormatText(buffer + length, size - length, " (%s).", detail);
        else
            FormatText(buffer, size, "%s %u (%s).", "Error", (unsigned)code, detail);
    } else {
        if (length > 0)
            FormatText(buffer + length, size - length, ".");
        else
            FormatText(buffer, size, "%s %u", "Error", (unsigned)code);
    }
}
