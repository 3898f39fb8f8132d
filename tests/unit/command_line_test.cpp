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
    const WCHAR *ownPath;
    const char *caption;
};

TEST(GetMessageCaption, TakesTheFileNameBehindTheLastBackslash)
{
    const CaptionCase cases[] = {
        {nullptr, "Loader"},
        {L"setup.exe", "setup.exe"},
        {L"C:\\Downloads\\setup.exe", "setup.exe"},
        {L"\\\\server\\share\\setup.exe", "setup.exe"},
        // U+8868 is 0x95 0x5C in Shift-JIS, a trail byte of a backslash's value: UTF-16 has none.
        {L"C:\\\x8868\\\x8868"
         L"a.exe",
         nullptr},
    };
    for (const CaptionCase &c : cases) {
        SCOPED_TRACE(c.caption != nullptr ? c.caption : "(converted)");
        char caption[MAX_PATH];
        GetMessageCaption(c.ownPath, caption, sizeof caption);
        if (c.caption != nullptr) {
            EXPECT_STREQ(caption, c.caption);
        } else {
            WCHAR back[MAX_PATH] = {};
            MultiByteToWideChar(CP_ACP, 0, caption, -1, back, MAX_PATH);
            std::wstring name = back;
            EXPECT_EQ(name.substr(name.size() - 5), L"a.exe");
            EXPECT_EQ(name.find(L'\\'), std::wstring::npos);
        }
    }
}

// A character outside the ANSI code page never shows as a look-alike ("＿" as "_").
TEST(GetMessageCaption, ShowsNoLookAlike)
{
    char caption[MAX_PATH];
    GetMessageCaption(L"C:\\Downloads\\setup\xFF3F"
                      L"1.exe",
                      caption, sizeof caption);
    EXPECT_STRNE(caption, "setup_1.exe");
    if (GetACP() != CP_UTF8) {
        EXPECT_STREQ(caption, "setup?1.exe");
    }
}

} // namespace
