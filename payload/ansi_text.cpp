#include "payload/ansi_text.h"

#include <string.h>

DWORD AnsiConversionFlags(void)
{
    return GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
}

// The bytes written before the terminator, or -1 when the text does not fit.
static int ConvertToAnsi(const WCHAR *wide, int units, char *text, int size)
{
    if (size <= 0 || units < 0)
        return -1;
    int bytes = 0;
    if (units > 0) {
        bytes = WideCharToMultiByte(CP_ACP, AnsiConversionFlags(), wide, units, text, size - 1, NULL, NULL);
        if (bytes <= 0) {
            text[0] = '\0';
            return -1;
        }
    }
    text[bytes] = '\0';
    return bytes;
}

BOOL ConvertToAnsiForDisplay(const WCHAR *wide, int units, char *text, int size)
{
    return ConvertToAnsi(wide, units, text, size) >= 0;
}

BOOL ConvertToAnsiExactly(const WCHAR *wide, int units, char *text, int size)
{
    if (units > AnsiRoundTripUnits)
        return FALSE;
    int bytes = ConvertToAnsi(wide, units, text, size);
    if (bytes <= 0)
        return bytes == 0;
    WCHAR back[AnsiRoundTripUnits];
    int backUnits = MultiByteToWideChar(CP_ACP, 0, text, bytes, back, AnsiRoundTripUnits);
    if (backUnits != units || memcmp(back, wide, (size_t)units * sizeof(WCHAR)) != 0) {
        text[0] = '\0';
        return FALSE;
    }
    return TRUE;
}
