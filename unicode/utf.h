// UTF-8 and UTF-16 in one place: the packer, the container writer and the Linux stand-ins for the
// Win32 text calls decode and encode through these, each with the policy it needs.
#pragma once

#include <cstddef>
#include <string>

namespace unicode {

// What a decoder does with bytes that are not well-formed UTF-8 (malformed, overlong, a
// surrogate, beyond U+10FFFF, cut short).
enum class Utf8Policy {
    Strict,    // refuses them
    Replacing, // reads each such byte as U+FFFD
};

constexpr char32_t ReplacementCharacter = 0xFFFD;

// One code point of UTF-8 at text[at] (at < length). On success at moves past it and true is
// returned. A sequence that is not well-formed: Strict returns false with at unchanged,
// Replacing gives U+FFFD for its first byte and moves past that byte.
bool DecodeUtf8(const char *text, std::size_t length, std::size_t &at, char32_t &code, Utf8Policy policy);

// Appends a code point (at most U+10FFFF, no surrogate) as one UTF-16 unit or a surrogate pair.
void AppendUtf16(std::u16string &wide, char32_t code);

// Appends the UTF-16 form of UTF-8 text; false (with wide holding what came before the fault)
// when Strict meets bytes that are not well-formed.
bool AppendUtf16FromUtf8(std::u16string &wide, const char *text, std::size_t length, Utf8Policy policy);

// Appends a code point as UTF-8.
void AppendUtf8(std::string &text, char32_t code);

} // namespace unicode
