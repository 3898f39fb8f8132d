// Text conversion on Linux: the ANSI code page is UTF-8, wide text is UTF-16.
#include <windows.h>

#include <clocale>
#include <cstring>
#include <cwctype>
#include <string>

#include "unicode/utf.h"

namespace {

constexpr DWORD ErrorInsufficientBuffer = 122;

// Wide text may sit at any byte offset (package directory records are not aligned), as the
// platform allows on x86-64.
char32_t UnitAt(LPCWSTR wide, size_t index)
{
    char16_t unit;
    std::memcpy(&unit, reinterpret_cast<const char *>(wide) + index * sizeof unit, sizeof unit);
    return unit;
}

} // namespace

int MultiByteToWideChar(UINT, DWORD, LPCSTR text, int textLength, LPWSTR wide, int wideLength)
{
    if (text == nullptr || textLength == 0 || textLength < -1 || wideLength < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = textLength == -1 ? std::char_traits<char>::length(text) + 1 : static_cast<size_t>(textLength);
    std::u16string converted;
    unicode::AppendUtf16FromUtf8(converted, text, length, unicode::Utf8Policy::Replacing);
    if (wideLength == 0)
        return static_cast<int>(converted.size());
    if (converted.size() > static_cast<size_t>(wideLength)) {
        SetLastError(ErrorInsufficientBuffer);
        return 0;
    }
    converted.copy(reinterpret_cast<char16_t *>(wide), converted.size());
    return static_cast<int>(converted.size());
}

int WideCharToMultiByte(UINT, DWORD, LPCWSTR wide, int wideLength, LPSTR text, int textLength, LPCSTR, LPBOOL)
{
    if (wide == nullptr || wideLength == 0 || wideLength < -1 || textLength < 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t length = static_cast<size_t>(wideLength);
    if (wideLength == -1) {
        for (length = 0; UnitAt(wide, length) != 0; ++length) {
        }
        ++length;
    }
    std::string converted;
    for (size_t i = 0; i < length; ++i) {
        char32_t unit = UnitAt(wide, i);
        char32_t following = i + 1 < length ? UnitAt(wide, i + 1) : 0;
        if (unit >= 0xD800 && unit <= 0xDBFF && following >= 0xDC00 && following <= 0xDFFF) {
            unicode::AppendUtf8(converted, 0x10000 + ((unit - 0xD800) << 10) + (following - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            unicode::AppendUtf8(converted, unicode::ReplacementCharacter);
        } else {
            unicode::AppendUtf8(converted, unit);
        }
    }
    if (textLength == 0)
        return static_cast<int>(converted.size());
    if (converted.size() > static_cast<size_t>(textLength)) {
        SetLastError(ErrorInsufficientBuffer);
        return 0;
    }
    converted.copy(text, converted.size());
    return static_cast<int>(converted.size());
}

UINT GetACP(void)
{
    return CP_UTF8;
}

int lstrcmpiA(LPCSTR first, LPCSTR second)
{
    for (;; ++first, ++second) {
        int a = static_cast<unsigned char>(*first);
        int b = static_cast<unsigned char>(*second);
        if (a >= 'A' && a <= 'Z')
            a += 'a' - 'A';
        if (b >= 'A' && b <= 'Z')
            b += 'a' - 'A';
        if (a != b)
            return a < b ? -1 : 1;
        if (a == 0)
            return 0;
    }
}

LPSTR CharNextA(LPCSTR text)
{
    if (*text == '\0')
        return const_cast<LPSTR>(text);
    ++text;
    while ((static_cast<unsigned char>(*text) & 0xC0) == 0x80)
        ++text;
    return const_cast<LPSTR>(text);
}

int lstrlenW(LPCWSTR text)
{
    int length = 0;
    while (text[length] != u'\0')
        ++length;
    return length;
}

int CompareStringOrdinal(LPCWSTR first, int firstLength, LPCWSTR second, int secondLength, BOOL ignoreCase)
{
    // The C.UTF-8 locale carries the Unicode case mappings whatever the process's locale is.
    static const locale_t unicode = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    size_t lengths[2] = {firstLength < 0 ? static_cast<size_t>(lstrlenW(first)) : static_cast<size_t>(firstLength),
                         secondLength < 0 ? static_cast<size_t>(lstrlenW(second)) : static_cast<size_t>(secondLength)};
    for (size_t i = 0; i < lengths[0] && i < lengths[1]; ++i) {
        wint_t a = UnitAt(first, i);
        wint_t b = UnitAt(second, i);
        if (ignoreCase && unicode != static_cast<locale_t>(0)) {
            if (a < 0xD800 || a > 0xDFFF)
                a = towupper_l(a, unicode);
            if (b < 0xD800 || b > 0xDFFF)
                b = towupper_l(b, unicode);
        }
        if (a != b)
            return a < b ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
    }
    if (lengths[0] == lengths[1])
        return CSTR_EQUAL;
    return lengths[0] < lengths[1] ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}
