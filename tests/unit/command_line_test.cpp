#include "launcher/command_line.h"
#include "launcher/failure_message.h"
#include "launcher/main_flow.h"
#include "tests/seam/fault_control.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::string Narrow(const std::wstring &wide)
{
    std::string text;
    for (wchar_t c : wide)
        text += c < 0x80 ? static_cast<char>(c) : '?';
    return text;
}

struct SplitCase {
    const wchar_t *commandLine;
    std::vector<std::wstring> arguments;
};

TEST(SplitCommandLine, SplitsAsTheLauncherReadsItsArguments)
{
    const SplitCase cases[] = {
        {L"setup.exe", {L"setup.exe"}},
        {L"setup.exe a\"b c\"d", {L"setup.exe", L"ab cd"}},
        {L"setup.exe \"\" x", {L"setup.exe", L"", L"x"}},
        {L"setup.exe a\"\"b", {L"setup.exe", L"ab"}},
        {L"setup.exe\ta\nb\rc  d ", {L"setup.exe", L"a", L"b", L"c", L"d"}},
        {L"setup.exe a\\\"b c\"", {L"setup.exe", L"a\\b c"}},
        {L"setup.exe C:\\dir\\ x", {L"setup.exe", L"C:\\dir\\", L"x"}},
        {L"\"C:\\Program Files\\setup.exe\" /qn", {L"C:\\Program Files\\setup.exe", L"/qn"}},
        {L"setup.exe \"open to the end", {L"setup.exe", L"open to the end"}},
        {L"setup.exe \"tab\tand\nbreak\"", {L"setup.exe", L"tab\tand\nbreak"}},
        {L"setup.exe \x01\x0b\x0c", {L"setup.exe", L"\x01\x0b\x0c"}},
        {L"a b c d e f", {L"a", L"b", L"c", L"d", L"e", L"f"}},
        {L"\"\" \"\" \"\"", {L"", L"", L""}},
        {L"", {}},
        {L" \t\r\n ", {}},
    };
    for (const SplitCase &c : cases) {
        SCOPED_TRACE(Narrow(c.commandLine));
        int count = -1;
        WCHAR **arguments = SplitCommandLine(c.commandLine, &count);
        ASSERT_NE(arguments, nullptr);
        std::vector<std::wstring> found;
        for (int i = 0; i < count; i++)
            found.push_back(arguments[i]);
        EXPECT_EQ(found, c.arguments);
        EXPECT_EQ(arguments[count], nullptr);

        // Everything, the densest command lines included, lies inside the one block.
        const BYTE *begin = reinterpret_cast<const BYTE *>(arguments);
        const BYTE *end = begin + LocalSize(arguments);
        EXPECT_LE(reinterpret_cast<const BYTE *>(&arguments[count + 1]), end);
        for (int i = 0; i < count; i++) {
            EXPECT_GT(reinterpret_cast<const BYTE *>(arguments[i]), reinterpret_cast<const BYTE *>(&arguments[count]));
            EXPECT_LE(reinterpret_cast<const BYTE *>(arguments[i] + lstrlenW(arguments[i]) + 1), end);
        }
        LocalFree(arguments);
    }
}

TEST(SplitCommandLine, ReportsAFailedAllocation)
{
    SeamScope seams;
    FailCall(SeamCall::LocalAlloc, 0, 1, ERROR_NOT_ENOUGH_MEMORY);
    int count = 7;
    EXPECT_EQ(SplitCommandLine(L"setup.exe /qn", &count), nullptr);
    EXPECT_EQ(count, 7);
}

TEST(CaptureCommandLine, FailsAtItsOwnSiteWithTheLastErrorOrEight)
{
    struct {
        DWORD lastError;
        DWORD code;
    } const cases[] = {{ERROR_OUTOFMEMORY, ERROR_OUTOFMEMORY}, {0, ERROR_NOT_ENOUGH_MEMORY}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.lastError);
        SeamScope seams;
        static RunState run;
        ZeroMemory(&run, sizeof run);
        FailCall(SeamCall::LocalAlloc, 0, 1, c.lastError);
        EXPECT_FALSE(CaptureCommandLine(&run));
        EXPECT_EQ(run.outcome, MakeFixedErrorValue(c.code, 2411));
        EXPECT_EQ(run.arguments, nullptr);
    }
}

struct QuietCase {
    std::vector<const wchar_t *> arguments;
    int quiet;
};

TEST(HasQuietSwitch, TakesOnlyTheThreeSwitchesAfterTheProgramName)
{
    const QuietCase cases[] = {
        {{L"setup.exe", L"/q"}, 1},
        {{L"setup.exe", L"/qn"}, 1},
        {{L"setup.exe", L"/quiet"}, 1},
        {{L"setup.exe", L"/QN"}, 1},
        {{L"setup.exe", L"/Quiet"}, 1},
        {{L"setup.exe", L"TRANSFORMS=a.mst", L"/qN", L"/qb"}, 1},
        {{L"setup.exe", L"/qb"}, 0},
        {{L"setup.exe", L"/passive"}, 0},
        {{L"setup.exe", L"-q"}, 0},
        {{L"setup.exe", L"/quiet2"}, 0},
        {{L"setup.exe", L"q"}, 0},
        {{L"setup.exe", L""}, 0},
        {{L"setup.exe", L"/Q\x039D"}, 0}, // a Greek capital nu is not an N
        {{L"/q"}, 0},
        {{}, 0},
    };
    for (const QuietCase &c : cases) {
        std::vector<WCHAR *> arguments;
        std::string trace;
        for (const wchar_t *argument : c.arguments) {
            arguments.push_back(const_cast<WCHAR *>(argument));
            trace += Narrow(argument) + " ";
        }
        SCOPED_TRACE(trace);
        arguments.push_back(nullptr);
        EXPECT_EQ(HasQuietSwitch(static_cast<int>(c.arguments.size()), arguments.data()), c.quiet);
    }
}

struct CaptionCase {
    const char *ownPath;
    UINT codePage;
    const char *caption;
};

TEST(GetMessageCaption, TakesTheFileNameBehindTheLastBackslash)
{
    const CaptionCase cases[] = {
        {nullptr, CP_ACP, "Loader"},
        {"setup.exe", CP_ACP, "setup.exe"},
        {"C:\\Downloads\\setup.exe", CP_ACP, "setup.exe"},
        {"\\\\server\\share\\setup.exe", CP_ACP, "setup.exe"},
        // Shift-JIS: 0x95 0x5C is one character whose trail byte is a backslash's value.
        {"C:\\Downloads\\\x95\x5C.exe", 932, "\x95\x5C.exe"},
        {"C:\\\x95\x5C\\\x95\x5C\x95\x5C", 932, "\x95\x5C\x95\x5C"},
        // A single-byte katakana is no lead byte: the backslash after it counts.
        {"C:\\\xB1\\setup.exe", 932, "setup.exe"},
    };
    for (const CaptionCase &c : cases) {
        SCOPED_TRACE(c.ownPath != nullptr ? c.ownPath : "(none)");
        EXPECT_STREQ(GetMessageCaption(c.ownPath, c.codePage), c.caption);
    }
}

} // namespace
