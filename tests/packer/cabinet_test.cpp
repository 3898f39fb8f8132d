// pack checks each external cabinet against its package before it packs anything: every compressed
// file of the cabinet's Media rows is a member named by its File key, with its FileSize, in
// Sequence order. The product has three files in two cabinets (Sequence 1 and 2 in one.cab, 3 in
// two.cab), built with wixl, msibuild and gcab.
#include "tests/packer/packer_test_support.h"

#include "tests/fixtures/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stdexcept>

namespace packer_test {
namespace {

namespace fs = std::filesystem;

struct Member {
    std::string name;
    std::string content;
};

const Member Readme{"ReadmeFile", "readme\n"};
const Member App{"AppFile", std::string(3000, 'a')};
const Member Extra{"ExtraFile", "extra\n"};

void Require(const RunResult &result, const std::string &what)
{
    if (result.exitCode != 0)
        throw std::runtime_error(what + " failed: " + result.err + result.out);
}

// folder/product.msi from cabinet_case.wxs, with the msibuild queries run on it.
std::string BuildProduct(const std::string &folder, bool embed, const std::vector<std::string> &queries)
{
    const std::string sources = folder + "/sources";
    fs::create_directories(sources);
    for (const Member &file : {Readme, App, Extra})
        fixtures::WriteFileBytes(sources + "/" + file.name, Bytes(file.content.begin(), file.content.end()));
    const std::string package = folder + "/product.msi";
    Require(RunCommand("cd " + Quote(sources) + " && wixl -a x64 -D Embed=" + (embed ? "yes" : "no") + " -o " +
                       Quote(package) + " " + Quote(TEST_SOURCE_DIR "/tests/packer/cabinet_case.wxs")),
            "wixl");
    std::string command = std::string(PACKER_TEST_MSIBUILD) + " " + Quote(package);
    for (const std::string &query : queries)
        command += " -q " + Quote(query);
    if (!queries.empty())
        Require(RunCommand(command), "msibuild");
    return package;
}

// folder/name, made by gcab from the members in order (stored, as gcab -c makes it).
Bytes MakeCabinet(const std::string &folder, const std::string &name, const std::vector<Member> &members)
{
    const std::string staging = folder + "/" + name + ".members";
    fs::create_directories(staging);
    std::string command = "cd " + Quote(staging) + " && gcab -c -n " + Quote(folder + "/" + name);
    for (const Member &member : members) {
        fixtures::WriteFileBytes(staging + "/" + member.name, Bytes(member.content.begin(), member.content.end()));
        command += " " + Quote(member.name);
    }
    Require(RunCommand(command), "gcab");
    fs::remove_all(staging);
    return fixtures::ReadFileBytes(folder + "/" + name);
}

// Puts bytes between the cabinet's fixed header and its folder table under a header flag, and
// moves the offsets that point past them.
void InsertAfterHeader(Bytes &cabinet, const Bytes &inserted, std::uint16_t flag)
{
    const auto grown = static_cast<std::uint32_t>(inserted.size());
    const std::size_t folders = cabinet[26] | cabinet[27] << 8;
    fixtures::WriteU32(cabinet, 8, fixtures::ReadU32(cabinet, 8) + grown);   // the cabinet's size
    fixtures::WriteU32(cabinet, 16, fixtures::ReadU32(cabinet, 16) + grown); // its file table
    for (std::size_t folder = 0; folder < folders; ++folder)
        fixtures::WriteU32(cabinet, 36 + 8 * folder, fixtures::ReadU32(cabinet, 36 + 8 * folder) + grown);
    fixtures::WriteU16(cabinet, 30, static_cast<std::uint16_t>((cabinet[30] | cabinet[31] << 8) | flag));
    cabinet.insert(cabinet.begin() + 36, inserted.begin(), inserted.end());
}

Bytes Text(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

const std::vector<std::string> TwoCabinets = {
    "UPDATE `Media` SET `LastSequence` = 2",
    "INSERT INTO `Media` (`DiskId`, `LastSequence`, `Cabinet`) VALUES (2, 3, 'two.cab')"};

struct CabinetCase {
    const char *name;
    bool embed;                   // wixl puts the cabinet into the package
    std::vector<std::string> sql; // run on the package as wixl built it
    std::vector<Member> one, two; // the members of one.cab and two.cab (none: not made)
    std::function<void(Bytes &)> alterOne;
    const char *options;
    int exitCode;
    // Refused: parts of the one error line. Packed: the start of each warning, in order.
    std::vector<std::string> said;
    std::vector<std::string> extracted; // what extract writes, when packed
};

const std::vector<std::string> AllThree = {"main.msi", "one.cab", "two.cab"};

const CabinetCase cabinetCases[] = {
    {"members_by_key_in_sequence_order", false, TwoCabinets, {Readme, App}, {Extra}, nullptr, "", 0, {}, AllThree},
    // What a new user makes first: gcab given the files under the names they install as.
    {"members_named_by_file_name",
     false,
     TwoCabinets,
     {{"readme-en.txt", Readme.content}, {"app.bin", App.content}},
     {Extra},
     nullptr,
     "",
     1,
     {"cabinet one.cab has no member ReadmeFile, the File table's key of readme-en.txt; it holds readme-en.txt, the "
      "file's name"},
     {}},
    {"member_named_by_long_file_name",
     false,
     {TwoCabinets[0], TwoCabinets[1],
      "UPDATE `File` SET `FileName` = 'README~1.TXT|readme-en.txt' WHERE `File` = "
      "'ReadmeFile'"},
     {{"readme-en.txt", Readme.content}, App},
     {Extra},
     nullptr,
     "",
     1,
     {"has no member ReadmeFile, the File table's key of readme-en.txt; it holds readme-en.txt, the file's name"},
     {}},
    {"member_named_by_short_file_name",
     false,
     {TwoCabinets[0], TwoCabinets[1],
      "UPDATE `File` SET `FileName` = 'README~1.TXT|readme-en.txt' WHERE `File` = "
      "'ReadmeFile'"},
     {{"README~1.TXT", Readme.content}, App},
     {Extra},
     nullptr,
     "",
     1,
     {"it holds README~1.TXT, the file's name"},
     {}},
    {"member_missing",
     false,
     TwoCabinets,
     {Readme},
     {Extra},
     nullptr,
     "",
     1,
     {"cabinet one.cab has no member AppFile, the File table's key of app.bin"},
     {}},
    {"size_differs",
     false,
     TwoCabinets,
     {Readme, {"AppFile", std::string(2999, 'a')}},
     {Extra},
     nullptr,
     "",
     1,
     {"cabinet one.cab holds AppFile with 2999 bytes, where the File table's FileSize says 3000"},
     {}},
    {"members_out_of_sequence_order",
     false,
     TwoCabinets,
     {App, Readme},
     {Extra},
     nullptr,
     "",
     1,
     {"cabinet one.cab holds AppFile (Sequence 2) before ReadmeFile (Sequence 1)"},
     {}},
    // Each cabinet holds the files of its own Media row's Sequence range.
    {"file_in_the_other_cabinet",
     false,
     TwoCabinets,
     {Readme, App, Extra},
     {Readme},
     nullptr,
     "",
     1,
     {"cabinet two.cab has no member ExtraFile"},
     {}},
    {"sequence_beyond_every_media_row",
     false,
     {TwoCabinets[0], "INSERT INTO `Media` (`DiskId`, `LastSequence`, `Cabinet`) VALUES (2, 2, 'two.cab')"},
     {Readme, App},
     {Extra},
     nullptr,
     "",
     1,
     {"file ExtraFile has Sequence 3, above every Media row's LastSequence, so no cabinet holds it"},
     {}},
    {"no_media_row",
     false,
     {"DELETE FROM `Media`"},
     {Readme, App, Extra},
     {},
     nullptr,
     "",
     1,
     {"file ReadmeFile has Sequence 1, but the package has no Media row, so no cabinet holds it"},
     {}},
    {"extra_member",
     false,
     TwoCabinets,
     {Readme, App, {"notes.txt", "notes\n"}},
     {Extra},
     nullptr,
     "",
     0,
     {"cabinet one.cab holds notes.txt, which is no file the package takes from it: it is never installed"},
     AllThree},
    // A file stored uncompressed is looked for beside the package, never in a cabinet.
    {"uncompressed_file",
     false,
     {TwoCabinets[0], TwoCabinets[1], "UPDATE `File` SET `Attributes` = 8704 WHERE `File` = 'AppFile'"},
     {Readme},
     {Extra},
     nullptr,
     " --allow-uncompressed",
     0,
     {},
     AllThree},
    {"uncompressed_file_in_the_cabinet_too",
     false,
     {TwoCabinets[0], TwoCabinets[1], "UPDATE `File` SET `Attributes` = 8704 WHERE `File` = 'AppFile'"},
     {Readme, App},
     {Extra},
     nullptr,
     " --allow-uncompressed",
     0,
     {"cabinet one.cab holds AppFile, which is no file the package takes from it"},
     AllThree},
    // One cabinet for both Media rows: it holds the files of both, in Sequence order.
    {"one_cabinet_for_two_media_rows",
     false,
     {TwoCabinets[0], "INSERT INTO `Media` (`DiskId`, `LastSequence`, `Cabinet`) VALUES (2, 3, 'one.cab')"},
     {Readme, App, Extra},
     {},
     nullptr,
     "",
     0,
     {},
     {"main.msi", "one.cab"}},
    {"embedded_cabinet", true, {}, {}, {}, nullptr, "", 0, {}, {"main.msi"}},
    {"spanned_by_its_header",
     false,
     TwoCabinets,
     {Readme, App},
     {Extra},
     [](Bytes &cabinet) { InsertAfterHeader(cabinet, Text(std::string("two.cab\0Disk 2\0", 15)), 0x0002); },
     "",
     1,
     {"one.cab: one of a set of cabinets that spans several (its header names the next one)"},
     {}},
    {"spanned_by_a_folder_index",
     false,
     TwoCabinets,
     {Readme, App},
     {Extra},
     [](Bytes &cabinet) { fixtures::WriteU16(cabinet, fixtures::ReadU32(cabinet, 16) + 8, 0xFFFE); },
     "",
     1,
     {"one.cab: member 1 of 2 continues from or into another cabinet (folder index 0xFFFE)"},
     {}},
    // Reserved areas in the header (as signed cabinets have) move the folders, not the file table's offset.
    {"reserved_fields",
     false,
     TwoCabinets,
     {Readme, App},
     {Extra},
     [](Bytes &cabinet) {
         InsertAfterHeader(cabinet, Bytes{8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}, 0x0004);
     },
     "",
     0,
     {},
     AllThree},
    // A header whose reserved area would run past the file table is damaged.
    {"file_table_inside_the_reserved_area",
     false,
     TwoCabinets,
     {Readme, App},
     {Extra},
     [](Bytes &cabinet) {
         InsertAfterHeader(cabinet, Bytes{0x60, 0xEA, 0, 0, 1, 2, 3, 4}, 0x0004);
     },
     "",
     1,
     {"one.cab: a damaged cabinet: its file table at byte 52 lies inside its header and folder table, which end at "
      "byte 60048"},
     {}},
    {"utf8_member_name",
     false,
     TwoCabinets,
     {Readme,
      App,
      {"\xc3\x9c"
       "bersicht.txt",
       "x"}},
     {Extra},
     nullptr,
     "",
     0,
     {"cabinet one.cab holds \xc3\x9c"
      "bersicht.txt, which is no file"},
     AllThree},
    // A name not marked UTF-8 is in its maker's code page: shown byte for byte.
    {"code_page_member_name",
     false,
     TwoCabinets,
     {Readme, App, {"Xbersicht.txt", "x"}},
     {Extra},
     [](Bytes &cabinet) {
         const std::string name = "Xbersicht.txt";
         auto at = std::search(cabinet.begin(), cabinet.end(), name.begin(), name.end());
         *at = 0xDC;
     },
     "",
     0,
     {"cabinet one.cab holds \\xDCbersicht.txt, which is no file"},
     AllThree},
    {"not_a_cabinet",
     false,
     TwoCabinets,
     {Readme, App},
     {Extra},
     [](Bytes &cabinet) { std::fill(cabinet.begin(), cabinet.begin() + 4, 'Z'); },
     "",
     1,
     {"one.cab: not a cabinet"},
     {}},
    {"cut_short",
     false,
     TwoCabinets,
     {Readme, App},
     {Extra},
     [](Bytes &cabinet) { cabinet.resize(cabinet.size() - 1); },
     "",
     1,
     {"one.cab: a cabinet cut short: its header says"},
     {}},
};

class Cabinets : public testing::TestWithParam<CabinetCase> {};

TEST_P(Cabinets, MatchTheirPackageOrPackSaysWhichFileDoesNot)
{
    const World &world = TheWorld();
    const CabinetCase &param = GetParam();
    const std::string folder = FreshFolder(std::string("cabinets-") + param.name);
    const std::string package = BuildProduct(folder, param.embed, param.sql);
    if (!param.one.empty()) {
        Bytes one = MakeCabinet(folder, "one.cab", param.one);
        if (param.alterOne) {
            param.alterOne(one);
            fixtures::WriteFileBytes(folder + "/one.cab", one);
        }
    }
    if (!param.two.empty())
        MakeCabinet(folder, "two.cab", param.two);
    const std::vector<std::string> before = ListFolder(folder);

    const std::string output = folder + "/setup.exe";
    RunResult packed = Pack("pack --stub " + Quote(world.signedStub) + " --key " + Quote(world.key) + " --msi " +
                            Quote(package) + " -o " + Quote(output) + param.options);
    if (param.exitCode != 0) {
        ExpectRefusal(packed, param.said.front(), param.exitCode);
        for (const std::string &part : param.said)
            EXPECT_NE(packed.err.find(part), std::string::npos) << part;
        EXPECT_EQ(ListFolder(folder), before);
        return;
    }
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    const std::string warnings = WarningLines(packed.err);
    EXPECT_EQ(static_cast<std::size_t>(std::count(warnings.begin(), warnings.end(), '\n')), param.said.size())
        << warnings;
    std::size_t at = 0;
    for (const std::string &warning : param.said) {
        at = warnings.find(warning, at);
        EXPECT_NE(at, std::string::npos) << warning << " in\n" << warnings;
    }

    RunResult verified = Pack("verify --key " + Quote(world.publicKey) + " " + Quote(output));
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
    RunResult extracted = Pack("extract " + Quote(output) + " -o " + Quote(folder + "/out"));
    ASSERT_EQ(extracted.exitCode, 0) << extracted.err;
    EXPECT_EQ(ListFolder(folder + "/out"), param.extracted);
}

INSTANTIATE_TEST_SUITE_P(Pack, Cabinets, testing::ValuesIn(cabinetCases),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace packer_test
