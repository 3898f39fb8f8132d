#include "launcher/format_text.h"

#include <string.h>

enum {
    DecimalDigits = 20, // enough for any 64-bit value
};

// Appends count bytes of text at *length, as many as fit in front of the terminator's byte;
// FALSE when not all of them did.
static BOOL AppendBytes(char *buffer, DWORD size, DWORD *length, const char *text, DWORD count)
{
    DWORD room = size - 1 - *length;
    DWORD taken = count < room ? count : room;
    memcpy(buffer + *length, text, taken);
    *length += taken;
    return taken == count;
}

// Writes value's decimal digits at the end of digits[DecimalDigits] and returns where they start.
static const char *DecimalText(unsigned long value, char *digits, DWORD *count)
{
    char *start = digits + DecimalDigits;
    do {
        *--start = (char)('0' + value % 10);
        value /= 10;
    } while (value != 0);
    *count = (DWORD)(digits + DecimalDigits - start);
    return start;
}

int FormatTextList(char *buffer, DWORD size, const char *format, va_list arguments)
{
    if (size == 0)
        return -1;
    DWORD length = 0;
    BOOL fits = TRUE;
    for (const char *p = format; *p != '\0' && fits; p++) {
        char digits[DecimalDigits];
        const char *piece = p;
        DWORD count = 1;
        if (p[0] == '%' && p[1] == 's') {
            piece = va_arg(arguments, const char *);
            if (piece == NULL)
                piece = "";
            count = (DWORD)strlen(piece);
            p++;
        } else if (p[0] == '%' && p[1] == 'u') {
            piece = DecimalText(va_arg(arguments, unsigned int), digits, &count);
            p++;
        } else if (p[0] == '%' && p[1] == 'l' && p[2] == 'u') {
            piece = DecimalText(va_arg(arguments, unsigned long), digits, &count);
            p += 2;
        } else if (p[0] == '%' && p[1] == '%') {
            p++;
        }
        fits = AppendBytes(buffer, size, &length, piece, count);
    }
    buffer[length] = '\0';
    return fits ? (int)length : -1;
}

int FormatText(char *buffer, DWORD size, const char *format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    int length = FormatTextList(buffer, size, format, arguments);
    va_end(arguments);
    return length;
}
