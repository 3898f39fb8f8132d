#include "unicode/utf.h"

namespace unicode {

namespace {

// Continuation bytes that follow a lead byte; 4 for a byte that never leads.
std::size_t ContinuationCount(unsigned char lead)
{
    if (lead < 0x80)
        return 0;
    if (lead < 0xc2) // a continuation byte, or the lead of an overlong two-byte form
        return 4;
    if (lead < 0xe0)
        return 1;
    if (lead < 0xf0)
        return 2;
    if (lead < 0xf5)
        return 3;
    return 4; // beyond U+10FFFF
}

bool DecodeWellFormed(const char *text, std::size_t length, std::size_t &at, char32_t &code)
{
    auto lead = static_cast<unsigned char>(text[at]);
    std::size_t extra = ContinuationCount(lead);
    if (extra == 4 || length - at <= extra)
        return false;
    char32_t value = extra == 0 ? lead : lead & (0x3f >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
        auto next = static_cast<unsigned char>(text[at + k]);
        if ((next & 0xc0) != 0x80)
            return false;
        value = (value << 6) | (next & 0x3f);
    }
    static constexpr char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (value < smallest[extra] || value > 0x10ffff || (value >= 0xd800 && value < 0xe000))
        return false;
    code = value;
    at += 1 + extra;
    return true;
}

} // namespace

bool DecodeUtf8(const char *text, std::size_t length, std::size_t &at, char32_t &code, Utf8Policy policy)
{
    if (DecodeWellFormed(text, length, at, code))
        return true;
    if (policy == Utf8Policy::Strict)
        return false;
    code = ReplacementCharacter;
    ++at;
    return true;
}

void AppendUtf16(std::u16string &wide, char32_t code)
{
    if (code >= 0x10000) {
        code -= 0x10000;
        wide += static_cast<char16_t>(0xd800 + (code >> 10));
        wide += static_cast<char16_t>(0xdc00 + (code & 0x3ff));
    } else {
        wide += static_cast<char16_t>(code);
    }
}

bool AppendUtf16FromUtf8(std::u16string &wide, const char *text, std::size_t length, Utf8Policy policy)
{
    for (std::size_t at = 0; at < length;) {
        char32_t code;
        if (!DecodeUtf8(text, length, at, code, policy))
            return false;
        AppendUtf16(wide, code);
    }
    return true;
}

void AppendUtf8(std::string &text, char32_t code)
{
    if (code < 0x80) {
        text += static_cast<char>(code);
    } else if (code < 0x800) {
        text += static_cast<char>(0xc0 | (code >> 6));
        text += static_cast<char>(0x80 | (code & 0x3f));
    } else if (code < 0x10000) {
        text += static_cast<char>(0xe0 | (code >> 12));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        text += static_cast<char>(0x80 | (code & 0x3f));
    } else {
        text += static_cast<char>(0xf0 | (code >> 18));
        text += static_cast<char>(0x80 | ((code >> 12) & 0x3f));
        text += static_cast<char>(0x80 | ((code >> 6) & 0x3f));
        text += static_cast<char>(0x80 | (code & 0x3f));
    }
}

} // namespace unicode
