#include <gtest/gtest.h>

#include <string>

#include "payload/file_name_rule.h"

namespace {

// WCHAR is wchar_t on Windows and char16_t natively; the cases are written once as UTF-16.
std::basic_string<WCHAR> Wide(const char16_t *text)
{
    std::basic_string<WCHAR> name;
    for (const char16_t *p = text; *p != 0; p++)
        name.push_back((WCHAR)*p);
    return name;
}

bool IsPlain(const char16_t *text)
{
    return IsPlainFileName(Wide(text).c_str()) != FALSE;
}

struct NameCase {
    const char16_t *name;
    bool plain;
};

TEST(FileNameRule, DecidesEachName)
{
    const NameCase cases[] = {
        {u"main.msi", true},
        {u"disk1.cab", true},
        {u"{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}", true},
        {u"con.cab.x", false},
        {u"console.cab", true},
        {u"COM10.cab", true},
        {u"LPT0", false},
        {u"auxiliary", true},
        {u"\u00e9t\u00e9.cab", true},
        {u"", false},
        {u".", false},
        {u"..", false},
        {u"...", false},
        {u"data.cab.", false},
        {u"data.cab ", false},
        {u" data.cab", true},
        {u"a/b", false},
        {u"a\\b", false},
        {u"c:x", false},
        {u"a\"b", false},
        {u"a*b", false},
        {u"a?b", false},
        {u"a<b", false},
        {u"a>b", false},
        {u"a|b", false},
        {u"a\tb", false},
        {u"a\x1f", false},
        {u"CON", false},
        {u"prn.txt", false},
        {u"aux.cab", false},
        {u"Nul .cab", false},
        {u"com1", false},
        {u"lpt9.msi", false},
        {u"COM\u00b9", false},
        {u"lpt\u00b2.cab", false},
        {u"COM\u00b3", false},
        {u"COM\u2074", true},
        {u"CONIN$", false},
        {u"conout$.log", false},
        {u"CONIN$X", true},
        // The launcher's own names in the extraction folder.
        {u"disk1.cab.partial", false},
        {u"main.msi.0.aside", false},
        {u"X.ASIDE", false},
        {u"launcher.lock", false},
        {u"extraction.lock", false}, // the lock of earlier releases
        {u"a.Lock", false},
        {u"aside", true},
        {u"disk1.partial.cab", true},
        {u"main.msi.asid", true},
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(IsPlain(c.name), c.plain);
    }
}

struct SameNameCase {
    const char16_t *first;
    const char16_t *second;
    bool same;
};

// The same answer on Windows and natively: letters of any script fold, nothing else does.
TEST(FileNameRule, NamesThatDifferOnlyInLetterCaseAreOneFile)
{
    const SameNameCase cases[] = {
        {u"disk1.cab", u"DISK1.CAB", true},
        {u"Main.Msi", u"main.msi", true},
        {u"\u00e4.cab", u"\u00c4.cab", true},
        {u"\u0434\u0438\u0441\u043a.cab", u"\u0414\u0418\u0421\u041a.cab", true},
        {u"disk1.cab", u"disk1.cab ", false},
        {u"disk1.cab", u"disk2.cab", false},
        {u"a.cab", u"a.cab.cab", false},
        {u"\u00e4.cab", u"a.cab", false},
        {u"stra\u00dfe.cab", u"STRASSE.CAB", false},
    };
    for (const SameNameCase &c : cases) {
        SCOPED_TRACE(::testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(IsSameFileName(Wide(c.first).c_str(), Wide(c.second).c_str()) != FALSE, c.same);
        EXPECT_EQ(IsSameFileName(Wide(c.second).c_str(), Wide(c.first).c_str()) != FALSE, c.same);
    }
}

} // namespace
