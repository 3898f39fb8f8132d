#include "payload/file_name_rule.h"

#include <string.h>

const char PartialNameSuffix[] = ".partial";
const char AsideNameSuffix[] = ".aside";
const char RunLockFileName[] = "launcher.lock";

// The forms that the launcher's own names end in; the lock's name ends in the last.
static const char *const reservedEndings[] = {PartialNameSuffix, AsideNameSuffix, ".lock"};

static WCHAR UpperAscii(WCHAR c)
{
    return c >= 'a' && c <= 'z' ? (WCHAR)(c - 'a' + 'A') : c;
}

// ASCII letters compared without case; anything else exactly.
static BOOL MatchesWord(const WCHAR *name, const char *word, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        if (UpperAscii(name[i]) != UpperAscii((WCHAR)word[i]))
            return FALSE;
    }
    return TRUE;
}

// Digits Windows takes after COM and LPT: 0 to 9 and the superscripts one, two and three.
static BOOL IsPortDigit(WCHAR c)
{
    return (c >= '0' && c <= '9') || c == 0x00B9 || c == 0x00B2 || c == 0x00B3;
}

// The base name (up to the first dot, trailing spaces dropped) is what Windows matches against
// its device names: "nul.txt" and "aux .cab" open devices too.
static BOOL IsDeviceName(const WCHAR *name)
{
    size_t length = 0;
    while (name[length] != 0 && name[length] != '.')
        length++;
    while (length > 0 && name[length - 1] == ' ')
        length--;
    if (length == 3)
        return MatchesWord(name, "CON", 3) || MatchesWord(name, "PRN", 3) || MatchesWord(name, "AUX", 3) ||
               MatchesWord(name, "NUL", 3);
    if (length == 4)
        return (MatchesWord(name, "COM", 3) || MatchesWord(name, "LPT", 3)) && IsPortDigit(name[3]);
    if (length == 6)
        return MatchesWord(name, "CONIN$", 6);
    if (length == 7)
        return MatchesWord(name, "CONOUT$", 7);
    return FALSE;
}

static BOOL EndsWithReservedForm(const WCHAR *name, size_t length)
{
    for (size_t i = 0; i < sizeof reservedEndings / sizeof reservedEndings[0]; i++) {
        const char *ending = reservedEndings[i];
        size_t endingLength = strlen(ending);
        if (endingLength > length)
            continue;
        if (MatchesWord(name + length - endingLength, ending, endingLength))
            return TRUE;
    }
    return FALSE;
}

static BOOL IsRefusedCharacter(WCHAR c)
{
    if (c < 0x20)
        return TRUE;
    switch (c) {
    case '/':
    case '\\':
    case ':':
    case '"':
    case '*':
    case '?':
    case '<':
    case '>':
    case '|':
        return TRUE;
    default:
        return FALSE;
    }
}

BOOL IsPlainFileName(const WCHAR *name)
{
    if (name == NULL || name[0] == 0)
        return FALSE;
    size_t length = 0;
    for (; name[length] != 0; length++) {
        if (IsRefusedCharacter(name[length]))
            return FALSE;
    }
    if (name[length - 1] == '.' || name[length - 1] == ' ')
        return FALSE; // also "." and ".."
    return !IsDeviceName(name) && !EndsWithReservedForm(name, length);
}

BOOL IsSameFileName(const WCHAR *first, const WCHAR *second)
{
    return CompareStringOrdinal(first, -1, second, -1, TRUE) == CSTR_EQUAL;
}
