#include "launcher/format_text.h"

#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <string>

namespace {

struct FormatCase {
    const char *name;
    DWORD size;
    std::function<int(char *, DWORD)> format;
    const char *text; // what the buffer holds after
    int result;
};

// Formats of the launcher's texts, bounded: what fits is written and terminated, a text that
// does not fit whole gives -1.
TEST(FormatText, WritesWhatFitsAndSaysWhetherAllDid)
{
    // Not a literal: the compiler would check these as printf formats.
    const char *other = "%d%s and 50%";
    const char *bracketed = "[%s]";
    const std::string longest = std::to_string(ULONG_MAX);
    const FormatCase cases[] = {
        {"plain text", 64, [](char *b, DWORD n) { return FormatText(b, n, "plain"); }, "plain", 5},
        {"a string inserted", 64, [](char *b, DWORD n) { return FormatText(b, n, "a%sb", "XY"); }, "aXYb", 4},
        {"an empty string", 64, [](char *b, DWORD n) { return FormatText(b, n, "[%s]", ""); }, "[]", 2},
        {"no string", 64, [bracketed](char *b, DWORD n) { return FormatText(b, n, bracketed, nullptr); }, "[]", 2},
        {"zero", 64, [](char *b, DWORD n) { return FormatText(b, n, "%u", 0u); }, "0", 1},
        {"the largest unsigned", 64, [](char *b, DWORD n) { return FormatText(b, n, "%u,%u", 4294967295u, 7u); },
         "4294967295,7", 12},
        {"the largest unsigned long", 64, [](char *b, DWORD n) { return FormatText(b, n, "<%lu>", ULONG_MAX); },
         nullptr, // "<" longest ">"
         static_cast<int>(longest.size()) + 2},
        {"a percent sign", 64, [](char *b, DWORD n) { return FormatText(b, n, "100%%"); }, "100%", 4},
        {"other conversions as they stand, taking no argument", 64,
         [other](char *b, DWORD n) { return FormatText(b, n, other, "x"); }, "%dx and 50%", 11},
        {"an exact fit", 4, [](char *b, DWORD n) { return FormatText(b, n, "abc"); }, "abc", 3},
        {"one byte short", 4, [](char *b, DWORD n) { return FormatText(b, n, "abcd"); }, "abc", -1},
        {"cut inside a string", 5, [](char *b, DWORD n) { return FormatText(b, n, "ab%s", "cdef"); }, "abcd", -1},
        {"cut inside a number", 3, [](char *b, DWORD n) { return FormatText(b, n, "%u", 12345u); }, "12", -1},
        {"room for the terminator only", 1, [](char *b, DWORD n) { return FormatText(b, n, "x"); }, "", -1},
        {"nothing in no room", 1, [](char *b, DWORD n) { return FormatText(b, n, "%s", ""); }, "", 0},
    };
    for (const FormatCase &c : cases) {
        SCOPED_TRACE(c.name);
        char buffer[80];
        memset(buffer, '#', sizeof buffer);
        EXPECT_EQ(c.format(buffer, c.size), c.result);
        std::string expected = c.text != nullptr ? c.text : "<" + longest + ">";
        EXPECT_EQ(std::string(buffer), expected);
        EXPECT_EQ(buffer[c.size], '#') << "nothing written past the buffer";
    }
}

TEST(FormatText, NoBufferGetsNothing)
{
    char buffer[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(FormatText(buffer, 0, "x"), -1);
    EXPECT_EQ(buffer[0], '#');
}

} // namespace
