#include "launcher/error_value.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/unit/system_text.h"

namespace {

DWORD WINAPI NoLastError()
{
    return 0;
}

DWORD WINAPI AccessDenied()
{
    return 5;
}

TEST(MakeErrorValue, TakesTheLastErrorOrElseTheDefault)
{
    ErrorValue fallback = MakeErrorValue(NoLastError, 8, 2030);
    EXPECT_EQ(ErrorValueCode(fallback), 8u);
    EXPECT_EQ(ErrorValueLine(fallback), 2030u);

    ErrorValue fromSystem = MakeErrorValue(AccessDenied, 110, 2042);
    EXPECT_EQ(ErrorValueCode(fromSystem), 5u);
    EXPECT_EQ(ErrorValueLine(fromSystem), 2042u);
    EXPECT_EQ(fromSystem, (2042ull << 32) | 5u);
}

std::string Format(DWORD code, const char *detail, DWORD size = 2048)
{
    std::string buffer(size, '\x7f');
    FormatErrorText(code, buffer.data(), size, detail);
    return std::string(buffer.c_str());
}

struct FormCase {
    const char *name;
    DWORD code;
    const char *detail;
};

class FormatErrorTextForms : public testing::TestWithParam<FormCase> {};

TEST_P(FormatErrorTextForms, EndsWithOneFullStopOrTheBareCode)
{
    const FormCase &c = GetParam();
    std::string system = TrimmedSystemText(c.code);
    bool hasDetail = c.detail != nullptr && c.detail[0] != '\0';
    std::string expected;
    if (!system.empty())
        expected = hasDetail ? system + " (" + c.detail + ")." : system + ".";
    else
        expected =
            hasDetail ? "Error " + std::to_string(c.code) + " (" + c.detail + ")." : "Error " + std::to_string(c.code);
    EXPECT_EQ(Format(c.code, c.detail), expected);
}

INSTANTIATE_TEST_SUITE_P(Codes, FormatErrorTextForms,
                         testing::Values(FormCase{"SystemTextWithDetail", 30, "1, 30, 2023"},
                                         FormCase{"SystemTextAlone", 13, nullptr},
                                         FormCase{"EmptyDetailIsNone", 29, ""},
                                         FormCase{"NoTextWithDetail", 0xE0000001u, "1, 2, 3"},
                                         FormCase{"NoTextAlone", 0xE0000001u, nullptr}),
                         [](const testing::TestParamInfo<FormCase> &info) { return std::string(info.param.name); });

TEST(FormatErrorText, SystemTextLosesItsFullStopAndLineBreak)
{
    std::string raw(512, '\0');
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, 13, 0x400, raw.data(), 512, nullptr);
    ASSERT_GT(length, 0u) << "the system has a text for ERROR_INVALID_DATA";

    std::string text = Format(13, "detail");
    EXPECT_EQ(text.find('\r'), std::string::npos);
    EXPECT_EQ(text.find('\n'), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 10), " (detail).");
    EXPECT_NE(text[text.size() - 11], '.');
}

TEST(FormatErrorText, PrintsTheCodeUnsigned)
{
    EXPECT_EQ(Format(0xE0000001u, nullptr), "Error 3758096385");
}

TEST(FormatErrorText, CutsEveryPieceAtTheEndOfTheBuffer)
{
    const std::string longDetail(300, 'x');
    for (DWORD size : {1u, 2u, 7u, 12u, 40u}) {
        for (DWORD code : {13u, 0xE0000001u}) {
            SCOPED_TRACE(testing::Message() << "size " << size << ", code " << code);
            std::string buffer(size + 16, '#');
            FormatErrorText(code, buffer.data(), size, longDetail.c_str());
            size_t length = buffer.find('\0');
            ASSERT_LT(length, size) << "terminated inside the buffer";
            EXPECT_EQ(buffer.substr(size, 16), std::string(16, '#')) << "nothing written past the buffer";
        }
    }
}

} // namespace
