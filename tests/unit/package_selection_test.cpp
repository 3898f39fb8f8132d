// Walking the package directories, choosing the package for x64 and the user's language, and
// building the list of files to write, over containers written by the payload writer.
#include "payload/package_directory.h"

#include "launcher/launcher_state.h"
#include "payload/locator.h"
#include "tests/seam/fault_control.h"
#include "tests/unit/payload_fixtures.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

namespace {

using writer::Bytes;

struct Entry {
    DWORD id;
    std::string path;
    bool hasItem = true; // the container holds a file item with this id
};

// What the file item of id holds in the container at index.
Bytes Content(DWORD container, DWORD id)
{
    std::string text = "container " + std::to_string(container) + ", item " + std::to_string(id);
    return Bytes(text.begin(), text.end());
}

Bytes ContainerOf(const Bytes &directory, const std::vector<writer::ContainerItem> &files = {})
{
    std::vector<writer::ContainerItem> items = {{writer::ItemKind::Head, 0, directory}};
    items.insert(items.end(), files.begin(), files.end());
    return writer::WriteContainer(items, {}, fixtures::TestKey());
}

// A container whose directory lists entries (then the raw bytes tail), with their file items.
Bytes ContainerFor(DWORD index, const std::vector<Entry> &entries, const Bytes &tail = {})
{
    std::vector<writer::DirectoryEntry> listed;
    std::vector<writer::ContainerItem> files;
    for (const Entry &entry : entries) {
        listed.push_back({entry.id, entry.path});
        if (entry.hasItem)
            files.push_back({writer::ItemKind::File, entry.id, Content(index, entry.id)});
    }
    Bytes directory = writer::WriteDirectory(listed);
    directory.insert(directory.end(), tail.begin(), tail.end());
    return ContainerOf(directory, files);
}

// A raw directory record; length overrides the path's byte length when given.
Bytes Record(DWORD id, const std::u16string &path, long length = -1)
{
    Bytes record;
    DWORD byteLength = length >= 0 ? static_cast<DWORD>(length) : static_cast<DWORD>(path.size() * 2);
    for (DWORD value : {id, byteLength})
        for (int shift = 0; shift < 32; shift += 8)
            record.push_back(static_cast<std::uint8_t>(value >> shift));
    for (char16_t unit : path) {
        record.push_back(static_cast<std::uint8_t>(unit));
        record.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    return record;
}

Bytes operator+(Bytes first, const Bytes &second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

void AddContainer(const Bytes &container)
{
    ErrorValue value = fixtures::LocateInCopy(&launcherState, container);
    ASSERT_EQ(ErrorValueCode(value), 0u);
}

void FreeJob(ExtractionJob &job)
{
    for (int i = 0; i < job.count; i++)
        FreeItemOutput(job.items[i].data);
    LocalFree(job.items);
    job = ExtractionJob{};
}

class PackageDirectory : public testing::Test {
  protected:
    void SetUp() override
    {
        FreePayloadDescriptors(&launcherState);
        launcherState.is64Bit = 1;
        job.current = -1;
        job.chunkSize = 0x80000;
    }
    void TearDown() override
    {
        FreeJob(job);
        FreePayloadDescriptors(&launcherState);
    }

    ExtractionJob job = {};
    PackageSelection selection = {};
};

struct Offered {
    DWORD container;
    DWORD id;
    std::string path;
    bool operator==(const Offered &other) const
    {
        return container == other.container && id == other.id && path == other.path;
    }
};

struct Recorder {
    std::vector<Offered> offered;
    DWORD stopAt = 0xFFFFFFFFu;
};

int Remember(DWORD container, DWORD id, const WCHAR *path, void *context)
{
    auto *recorder = static_cast<Recorder *>(context);
    std::string text;
    for (const WCHAR *p = path; *p != 0; p++)
        text.push_back(*p < 0x80 ? static_cast<char>(*p) : '#');
    recorder->offered.push_back({container, id, text});
    return id != recorder->stopAt;
}

struct WalkCase {
    const char *name;
    std::vector<Bytes> directories;
    DWORD stopAt;
    int result;
    std::vector<Offered> offered;
};

TEST_F(PackageDirectory, WalkOffersEveryRecordUntilItStopsOrBreaks)
{
    const WalkCase cases[] = {
        {"containers in order, empty ones skipped",
         {Record(1, u"one"), {}, Record(2, u"two") + Record(3, u"x\\y")},
         0xFFFFFFFFu,
         1,
         {{0, 1, "one"}, {2, 2, "two"}, {2, 3, "x\\y"}}},
        // An odd byte is dropped and leaves the next record at an odd offset.
        {"odd path length, no terminating NUL",
         {Record(1, u"ab", 5) + Bytes{'x'} + Record(2, u"cd")},
         0xFFFFFFFFu,
         1,
         {{0, 1, "ab"}, {0, 2, "cd"}}},
        {"the callback stops the walk", {Record(1, u"a"), Record(2, u"b")}, 1, 1, {{0, 1, "a"}}},
        {"record past the end",
         {Record(1, u"a") + Record(2, u"bb", 6), Record(3, u"c")},
         0xFFFFFFFFu,
         0,
         {{0, 1, "a"}}},
        // Offered as stored: nothing is converted on the way.
        {"characters outside ASCII", {Record(1, u"a\uFF02\u0100")}, 0xFFFFFFFFu, 1, {{0, 1, "a##"}}},
        {"header cut short", {Record(1, u"a") + Bytes{7, 0, 0, 0, 1}, Record(3, u"c")}, 0xFFFFFFFFu, 0, {{0, 1, "a"}}},
    };
    for (const WalkCase &c : cases) {
        SCOPED_TRACE(c.name);
        FreePayloadDescriptors(&launcherState);
        for (const Bytes &directory : c.directories)
            AddContainer(ContainerOf(directory));
        Recorder recorder;
        recorder.stopAt = c.stopAt;
        EXPECT_EQ(EnumeratePackageDirectory(&launcherState, Remember, &recorder), c.result);
        EXPECT_EQ(recorder.offered, c.offered);
    }
}

TEST_F(PackageDirectory, WalkEndsWhenAPathCannotBeAllocated)
{
    AddContainer(ContainerOf(Record(1, u"a")));
    SeamScope seams;
    FailCall(SeamCall::LocalAlloc, 0, 1, 14);
    Recorder recorder;
    // Told apart from a malformed record: the caller must not take a partial walk as complete.
    EXPECT_EQ(EnumeratePackageDirectory(&launcherState, Remember, &recorder), -1);
    EXPECT_TRUE(recorder.offered.empty());
}

struct FileExpectation {
    std::string name;
    DWORD container;
    DWORD id;
    bool hasData = true;
};

// What SelectPackage returns and leaves behind.
struct Choice {
    bool selected;
    DWORD lcidAfter;
    DWORD passModeAfter;
    DWORD containerIndex;
    DWORD packageId; // 0: none chosen
    const char *productCode;
};

struct SelectionCase {
    const char *name;
    DWORD lcid;
    std::vector<std::vector<Entry>> containers;
    Choice expected;
    std::vector<FileExpectation> files;
    Bytes lastDirectoryTail = {};
};

const std::string Long255(255, 'N');
const std::string Long256(256, 'N');
const std::string Name260 = std::string(256, 'f') + ".cab";
const std::string Name261 = std::string(257, 'f') + ".cab";

TEST_F(PackageDirectory, SelectsByLanguageInUpToThreePassesAndCollectsTheCabinets)
{
    const SelectionCase cases[] = {
        {"0x0C07: the second pass takes 1031",
         0x0C07,
         {{{1000, "x64\\1031\\{DE}\\Produkt"}, {1001, "x64\\1033\\{EN}\\Product"}}},
         {true, 0x0C07, 1, 0, 1000, "{DE}"},
         {{"main.msi", 0, 1000}}},
        {"0x0809: the second pass takes the only 1033",
         0x0809,
         {{{1000, "x64\\1033\\{EN}\\Product"}}},
         {true, 0x0809, 1, 0, 1000, "{EN}"},
         {{"main.msi", 0, 1000}}},
        {"1036: the third pass takes 1033 and keeps that locale",
         1036,
         {{{1000, "x64\\1031\\{DE}\\Produkt"}, {1001, "x64\\1033\\{EN}\\Product"}}},
         {true, 1033, 0, 0, 1001, "{EN}"},
         {{"main.msi", 0, 1001}}},
        {"1033 with only 1031: two passes, then failure",
         1033,
         {{{1000, "x64\\1031\\{DE}\\Produkt"}}},
         {false, 1033, 1, 0, 0, ""},
         {}},
        {"Intel listed first, letter case ignored",
         1033,
         {{{1000, "Intel\\1033\\{X86}\\Product"},
           {1001, "X64\\1033\\{X64}\\Product"},
           {1002, "CAB\\1001\\x.cab"},
           {1003, "cab\\1000\\i.cab"}}},
         {true, 1033, 0, 0, 1001, "{X64}"},
         {{"main.msi", 0, 1001}, {"x.cab", 0, 1002}}},
        {"language lists: empty and non-numeric tokens skipped",
         1033,
         {{{1000, "x64\\abc;;1031\\{DE}\\Produkt"}, {1001, "x64\\;x;1031;1033\\{MULTI}\\Product"}}},
         {true, 1033, 0, 0, 1001, "{MULTI}"},
         {{"main.msi", 0, 1001}}},
        {"an entry with id 0 ends its pass unchosen; the third pass takes 1033",
         0x0C07,
         {{{0, "x64\\3079\\{ZERO}\\Product"}, {1000, "x64\\1031\\{DE}\\Produkt"}, {1001, "x64\\1033\\{EN}\\Product"}}},
         {true, 1033, 0, 0, 1001, "{EN}"},
         {{"main.msi", 0, 1001}}},
        {"an entry with id 0 alone is never chosen",
         1031,
         {{{0, "x64\\1031\\{ZERO}\\Product"}}},
         {false, 1033, 0, 0, 0, ""},
         {}},
        {"cabinets of the chosen package only, twice when named twice",
         1033,
         {{{1000, "x64\\1033\\{EN}\\Product"},
           {1001, "cab\\1000\\a.cab"},
           {1002, "cab\\999;1000;;1000\\b.cab"},
           {1003, "cab\\999\\c.cab"},
           {1004, "box\\1000\\d.cab"},
           {1005, "cab\\\\e.cab"},
           {1006, "cab\\1000"}},
          {{1000, "cab\\1000\\f.cab"}, {2000, "x64\\1031\\{DE}\\Produkt"}}},
         {true, 1033, 0, 0, 1000, "{EN}"},
         {{"main.msi", 0, 1000}, {"a.cab", 0, 1001}, {"b.cab", 0, 1002}, {"b.cab", 0, 1002}}},
        // Windows ignores letter case in names: two items under one name would be one file.
        {"two items whose names differ in letter case fail, also a cabinet named like the package",
         1033,
         {{{1000, "x64\\1033\\{EN}\\Product"},
           {1001, "cab\\1000\\a.cab"},
           {1002, "cab\\1000\\A.CAB"},
           {1003, "cab\\1000\\Main.Msi"}}},
         {false, 1033, 0, 0, 1000, "{EN}"},
         {{"main.msi", 0, 1000}, {"a.cab", 0, 1001}, {"A.CAB", 0, 1002}, {"Main.Msi", 0, 1003}}},
        {"one item under names that differ in letter case is one file",
         1033,
         {{{1000, "x64\\1033\\{EN}\\Product"}, {1001, "cab\\1000\\a.cab"}, {1001, "cab\\1000\\A.cab", false}}},
         {true, 1033, 0, 0, 1000, "{EN}"},
         {{"main.msi", 0, 1000}, {"a.cab", 0, 1001}, {"A.cab", 0, 1001}}},
        {"a package in the second container",
         1033,
         {{{1000, "x64\\1031\\{DE}\\Produkt"}, {1001, "cab\\1000\\de.cab"}},
          {{1000, "x64\\1033\\{EN}\\Product"}, {1001, "cab\\1000\\en.cab"}}},
         {true, 1033, 0, 1, 1000, "{EN}"},
         {{"main.msi", 1, 1000}, {"en.cab", 1, 1001}}},
        {"records before one that runs past the end still count",
         1033,
         {{{1000, "x64\\1033\\{EN}\\Product"}}},
         {true, 1033, 0, 0, 1000, "{EN}"},
         {{"main.msi", 0, 1000}},
         Record(1001, u"cab\\1000\\late.cab", 200)},
        {"overlong components and names take no part",
         1033,
         {{{1000, "x64\\1033\\{" + Long256 + "}\\Product"},
           {1001, "x64\\1033\\{A}\\" + Long256},
           {1002, "x64\\1033\\{B}\\" + Long255},
           {1003, "cab\\1002\\" + Name261},
           {1004, "cab\\1002\\" + Name260}}},
         {true, 1033, 0, 0, 1002, "{B}"},
         {{"main.msi", 0, 1002}, {Name260, 0, 1004}}},
        // Names become path components: none may lead out of the extraction folder.
        {"ProductCodes that would lead elsewhere take no part",
         1033,
         {{{1000, "x64\\1033\\.\\Product"},
           {1001, "x64\\1033\\..\\Product"},
           {1002, "x64\\1033\\C:{P}\\Product"},
           {1003, "x64\\1033\\{P}/..\\Product"},
           {1004, "x64\\1033\\{P\x01}\\Product"},
           {1005, "x64\\1033\\{P\x1f}\\Product"},
           {1006, "x64\\1033\\..{P}\\Product"}}},
         {true, 1033, 0, 0, 1006, "..{P}"},
         {{"main.msi", 0, 1006}}},
        {"cabinet names that would lead elsewhere, or name a device, fail like missing files",
         1033,
         {{{1000, "x64\\1033\\{EN}\\Product"},
           {1001, "cab\\1000\\."},
           {1002, "cab\\1000\\.."},
           {1003, "cab\\1000\\../a.cab"},
           {1004, "cab\\1000\\C:a.cab"},
           {1005, "cab\\1000\\a.cab:stream"},
           {1006, "cab\\1000\\a\tb.cab"},
           {1007, "cab\\1000\\...cab"},
           {1008, "cab\\1000\\nul.cab"},
           {1009, "cab\\1000\\COM1"},
           {1010, "cab\\1000\\Lpt9 .cab"},
           {1011, "cab\\1000\\main.msi."},
           {1012, "cab\\1000\\a.cab "},
           {1013, "cab\\1000\\NULL.cab"},
           {1014, "cab\\1000\\COM0.cab"}}},
         {false, 1033, 0, 0, 1000, "{EN}"},
         {{"main.msi", 0, 1000},
          {"", 0, 1001, false},
          {"", 0, 1002, false},
          {"", 0, 1003, false},
          {"", 0, 1004, false},
          {"", 0, 1005, false},
          {"", 0, 1006, false},
          {"...cab", 0, 1007},
          {"", 0, 1008, false},
          {"", 0, 1009, false},
          {"", 0, 1010, false},
          {"", 0, 1011, false},
          {"", 0, 1012, false},
          {"NULL.cab", 0, 1013},
          {"", 0, 1014, false}}},
        {"a missing cabinet item fails, the walk goes on",
         1033,
         {{{1000, "x64\\1033\\{EN}\\Product"}, {1001, "cab\\1000\\a.cab", false}, {1002, "cab\\1000\\b.cab"}}},
         {false, 1033, 0, 0, 1000, "{EN}"},
         {{"main.msi", 0, 1000}, {"a.cab", 0, 1001, false}, {"b.cab", 0, 1002}}},
        {"a missing package item fails",
         1033,
         {{{1000, "x64\\1033\\{EN}\\Product", false}, {1001, "cab\\1000\\a.cab"}}},
         {false, 1033, 0, 0, 1000, "{EN}"},
         {}},
    };
    for (const SelectionCase &c : cases) {
        SCOPED_TRACE(c.name);
        FreeJob(job);
        FreePayloadDescriptors(&launcherState);
        for (DWORD i = 0; i < c.containers.size(); i++)
            AddContainer(
                ContainerFor(i, c.containers[i], i + 1 == c.containers.size() ? c.lastDirectoryTail : Bytes{}));
        launcherState.lcid = c.lcid;
        std::memset(&selection, 0x5A, sizeof selection);

        const Choice &expected = c.expected;
        EXPECT_EQ(SelectPackage(&launcherState, &job, &selection), expected.selected ? TRUE : FALSE);
        EXPECT_EQ(launcherState.lcid, expected.lcidAfter);
        EXPECT_EQ(selection.passMode, expected.passModeAfter);
        EXPECT_EQ(selection.packageId, expected.packageId);
        if (expected.packageId != 0) {
            EXPECT_EQ(selection.containerIndex, expected.containerIndex);
            EXPECT_EQ(std::string(selection.productCode), expected.productCode);
        }
        ASSERT_EQ(job.count, static_cast<int>(c.files.size()));
        for (size_t i = 0; i < c.files.size(); i++) {
            const FileRecord &record = job.items[i];
            const FileExpectation &file = c.files[i];
            EXPECT_EQ(std::string(record.name), file.name);
            Bytes content = file.hasData ? Content(file.container, file.id) : Bytes{};
            EXPECT_EQ(Bytes(record.data, record.data + record.length), content);
            EXPECT_EQ(record.data != nullptr, file.hasData);
            EXPECT_EQ(record.handle, nullptr);
            EXPECT_EQ(record.written, 0u);
            EXPECT_EQ(record.outputPath[0], '\0');
        }
    }
}

TEST_F(PackageDirectory, SelectionKeepsTheChosenEntrysTexts)
{
    AddContainer(ContainerFor(0, {{1000, "x64\\1033\\{EN}\\Product"},
                                  {1001, "x64\\1033\\{LATER}\\Later product\\extra"},
                                  {1002, "cab\\1000\\a.cab"}}));
    launcherState.lcid = 1033;
    ASSERT_TRUE(SelectPackage(&launcherState, &job, &selection));
    EXPECT_STREQ(selection.architecture, "x64");
    EXPECT_STREQ(selection.languages, "1033");
    EXPECT_STREQ(selection.productCode, "{EN}");
    EXPECT_STREQ(selection.productName, "Product");
}

struct ListFailureCase {
    const char *name;
    SeamCall call;
    unsigned succeedFirst;
    std::vector<std::string> names; // what is left in the list
};

TEST_F(PackageDirectory, FailedListGrowthFailsTheSelection)
{
    const Bytes container =
        ContainerFor(0, {{1000, "x64\\1033\\{EN}\\Product"}, {1001, "cab\\1000\\a.cab"}, {1002, "cab\\1000\\b.cab"}});
    // The reallocations that reading the package's item makes come before the cabinets' growth.
    ResetSeams();
    fixtures::ReadItem(container, PayloadFlagCompressed | PayloadFlagSigned, FileItemGuid, 1000);
    const unsigned readReAllocs = SeamCallCount(SeamCall::LocalReAlloc);

    const ListFailureCase cases[] = {
        // The first pass converts one path and stops at it; the list's first block comes next.
        {"first block", SeamCall::LocalAlloc, 1, {}},
        {"growth for the first cabinet", SeamCall::LocalReAlloc, readReAllocs, {"main.msi", "b.cab"}},
    };
    for (const ListFailureCase &c : cases) {
        SCOPED_TRACE(c.name);
        FreeJob(job);
        FreePayloadDescriptors(&launcherState);
        AddContainer(container);
        launcherState.lcid = 1033;
        SeamScope seams;
        FailCall(c.call, c.succeedFirst, 1, 14);
        EXPECT_FALSE(SelectPackage(&launcherState, &job, &selection));
        std::vector<std::string> names;
        for (int i = 0; i < job.count; i++)
            names.push_back(job.items[i].name);
        EXPECT_EQ(names, c.names);
    }
}

// Names are checked as the UTF-16 they are stored in, then must convert to the ANSI code page and
// back unchanged: a character the code page lacks would otherwise become a look-alike ("．" a dot,
// "Ā" an "A") and the file another than the name says. A UTF-8 code page holds every character but
// a lone surrogate.
struct NameCase {
    const char *name;
    Bytes record;     // a cabinet record of package 1000, or a package entry for 1033
    bool package;     // the record is a package entry (refused: not chosen)
    bool ansiLacksIt; // refused only where the ANSI code page is not UTF-8
};

TEST_F(PackageDirectory, NamesAreCheckedInUtf16AndMustSurviveTheAnsiRoundTrip)
{
    const NameCase cases[] = {
        {"wildcard in a cabinet name", Record(1001, u"cab\\1000\\a*.cab"), false, false},
        {"question mark", Record(1001, u"cab\\1000\\a?.cab"), false, false},
        {"quote", Record(1001, u"cab\\1000\\a\".cab"), false, false},
        {"angle bracket", Record(1001, u"cab\\1000\\a<b.cab"), false, false},
        {"pipe", Record(1001, u"cab\\1000\\a|b.cab"), false, false},
        {"CONIN$", Record(1001, u"cab\\1000\\CONIN$.cab"), false, false},
        {"COM with a superscript digit", Record(1001, u"cab\\1000\\COM\u00B9.cab"), false, false},
        {"lone surrogate", Record(1001, u"cab\\1000\\a\xD800.cab"), false, false},
        {"fullwidth full stop", Record(1001, u"cab\\1000\\a\uFF0Ecab"), false, true},
        {"A with macron", Record(1001, u"cab\\1000\\\u0100.cab"), false, true},
        {"ProductCode with a pipe", Record(1000, u"x64\\1033\\{P|}\\Product"), true, false},
        {"ProductCode with a lone surrogate", Record(1000, u"x64\\1033\\{P\xDC00}\\Product"), true, false},
        {"ProductCode with a fullwidth solidus", Record(1000, u"x64\\1033\\{P\uFF0F..}\\Product"), true, true},
    };
    const bool utf8 = GetACP() == CP_UTF8;
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.name);
        FreeJob(job);
        FreePayloadDescriptors(&launcherState);
        Bytes directory = c.package ? c.record : Record(1000, u"x64\\1033\\{EN}\\Product") + c.record;
        AddContainer(ContainerOf(directory, {{writer::ItemKind::File, 1000, Content(0, 1000)},
                                             {writer::ItemKind::File, 1001, Content(0, 1001)}}));
        launcherState.lcid = 1033;
        const bool refused = !c.ansiLacksIt || !utf8;
        EXPECT_EQ(SelectPackage(&launcherState, &job, &selection), refused ? FALSE : TRUE);
        if (c.package) {
            EXPECT_EQ(selection.packageId, refused ? 0u : 1000u);
        } else {
            ASSERT_EQ(job.count, 2);
            EXPECT_EQ(job.items[1].data != nullptr, !refused) << "a refused name fails like a missing file";
            if (refused) {
                EXPECT_STREQ(job.items[1].name, "");
            }
        }
    }
}

// Texts that are only shown or compared take no look-alike either: a fullwidth "ｘ６４" is no x64.
TEST_F(PackageDirectory, ArchitectureAndLanguagesAreNotBestFitted)
{
    AddContainer(ContainerOf(
        Record(1000, u"\uFF58\uFF16\uFF14\\1033\\{W}\\Product") +
            Record(1001, u"x64\\\uFF11\uFF10\uFF13\uFF13\\{L}\\Product"),
        {{writer::ItemKind::File, 1000, Content(0, 1000)}, {writer::ItemKind::File, 1001, Content(0, 1001)}}));
    launcherState.lcid = 1033;
    EXPECT_FALSE(SelectPackage(&launcherState, &job, &selection));
    EXPECT_EQ(selection.packageId, 0u);
}

// A binding record for item id of the file item holding output.
writer::DirectoryEntry Binding(DWORD id, const Bytes &output)
{
    return writer::BindingEntry(id, fixtures::Sha256Bytes(output).data(), output.size());
}

std::string BindingPath(const Bytes &digest, const std::string &length)
{
    static const char hex[] = "0123456789abcdef";
    std::string path = "sha256\\";
    for (std::uint8_t byte : digest) {
        path += hex[byte >> 4];
        path += hex[byte & 15];
    }
    return path + "\\" + length;
}

struct BindingCase {
    const char *name;
    std::vector<std::vector<writer::DirectoryEntry>> extra; // each container's records after its entries
    bool bound;                                             // CheckJobBindings' answer
    DWORD packageBinding;                                   // CheckItemBinding's for the package's item
};

// Each chosen file is compared with the binding record of its item, in the directory of the
// container it was chosen from; a directory without any binding binds nothing.
TEST_F(PackageDirectory, BindingsTieEachChosenFileToItsOutput)
{
    const Bytes package = Content(0, 1000);
    const Bytes cabinet = Content(0, 1001);
    const Bytes other = Content(7, 1000);
    std::string upper = Binding(1000, package).path;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    upper.replace(0, 6, "sha256");
    const BindingCase cases[] = {
        {"no bindings: packed before them", {{}}, true, ItemBindingNone},
        {"both bound", {{Binding(1000, package), Binding(1001, cabinet)}}, true, ItemBindingMatches},
        {"listed before the entries they bind",
         {{Binding(1001, cabinet), Binding(1000, package)}},
         true,
         ItemBindingMatches},
        {"the cabinet not bound", {{Binding(1000, package)}}, false, ItemBindingMatches},
        {"another release's package", {{Binding(1000, other), Binding(1001, cabinet)}}, false, ItemBindingDiffers},
        {"the right digest, another length",
         {{{1000, BindingPath(fixtures::Sha256Bytes(package), std::to_string(package.size() + 1))},
           Binding(1001, cabinet)}},
         false,
         ItemBindingDiffers},
        {"hex digits in upper case bind nothing", {{{1000, upper}, Binding(1001, cabinet)}}, false, ItemBindingDiffers},
        {"a second binding for the same item that differs",
         {{Binding(1000, package), Binding(1000, other), Binding(1001, cabinet)}},
         false,
         ItemBindingDiffers},
        {"a binding of an item nobody chose",
         {{Binding(1000, package), Binding(1001, cabinet), Binding(1005, other)}},
         true,
         ItemBindingMatches},
        {"bindings in another container bind nothing here",
         {{}, {Binding(1000, other), Binding(1001, other)}},
         true,
         ItemBindingNone},
    };
    for (const BindingCase &c : cases) {
        SCOPED_TRACE(c.name);
        FreeJob(job);
        FreePayloadDescriptors(&launcherState);
        for (std::size_t index = 0; index < c.extra.size(); ++index) {
            std::vector<writer::DirectoryEntry> records = {{1000, "x64\\1033\\{EN}\\Product"},
                                                           {1001, "cab\\1000\\data.cab"}};
            records.insert(records.end(), c.extra[index].begin(), c.extra[index].end());
            // The chosen container holds the package and cabinet; the other one holds other content.
            const DWORD contentOf = index == 0 ? 0 : 7;
            AddContainer(ContainerOf(writer::WriteDirectory(records),
                                     {{writer::ItemKind::File, 1000, Content(contentOf, 1000)},
                                      {writer::ItemKind::File, 1001, Content(contentOf, 1001)}}));
        }
        launcherState.lcid = 1033;
        ASSERT_TRUE(SelectPackage(&launcherState, &job, &selection));
        ASSERT_EQ(job.count, 2);
        EXPECT_EQ(CheckJobBindings(&launcherState, &job, selection.containerIndex), static_cast<BOOL>(c.bound));
        const Bytes digest = fixtures::Sha256Bytes(package);
        EXPECT_EQ(CheckItemBinding(&launcherState, 0, 1000, digest.data(), static_cast<DWORD>(package.size())),
                  c.packageBinding);
    }
}

// A directory that can't be walked for want of memory binds nothing that it can prove.
TEST_F(PackageDirectory, ABindingThatCannotBeReadIsMissing)
{
    const Bytes package = Content(0, 1000);
    AddContainer(ContainerOf(writer::WriteDirectory({{1000, "x64\\1033\\{EN}\\Product"}, Binding(1000, package)}),
                             {{writer::ItemKind::File, 1000, package}}));
    const Bytes digest = fixtures::Sha256Bytes(package);
    SeamScope seams;
    FailCall(SeamCall::LocalAlloc, 0, 1, 14);
    EXPECT_EQ(CheckItemBinding(&launcherState, 0, 1000, digest.data(), static_cast<DWORD>(package.size())),
              static_cast<DWORD>(ItemBindingMissing));
}

// Only the one spelling that the writer makes binds an output; any path that begins with the
// word and a backslash is a binding record, and one in any other spelling binds nothing.
TEST_F(PackageDirectory, ABindingIsTheOneSpellingTheWriterMakes)
{
    std::uint8_t digest[Sha256Size];
    for (int i = 0; i < Sha256Size; ++i)
        digest[i] = static_cast<std::uint8_t>(i * 37 + 5);
    const Bytes digestBytes(digest, digest + Sha256Size);
    for (std::uint32_t length : {0u, 1234u, 4294967295u}) {
        char written[BindingPathMaxLength + 1];
        EXPECT_EQ(FormatBindingPath(written, digest, length),
                  static_cast<int>(BindingPath(digestBytes, "").size() + std::to_string(length).size()));
        EXPECT_EQ(std::string(written), BindingPath(digestBytes, std::to_string(length)));
    }

    const Bytes package = Content(0, 1000);
    const Bytes packageDigest = fixtures::Sha256Bytes(package);
    const std::string size = std::to_string(package.size());
    const std::string digits = BindingPath(packageDigest, "").substr(7, 64);
    std::string upper = digits;
    for (char &c : upper)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const struct {
        std::string path;
        DWORD binding;
    } cases[] = {
        {BindingPath(packageDigest, size), ItemBindingMatches},
        {BindingPath(packageDigest, "0" + size), ItemBindingDiffers},
        {"sha256\\" + upper + "\\" + size, ItemBindingDiffers},
        {"sha256\\" + digits.substr(1) + "\\" + size, ItemBindingDiffers},
        {"sha256\\" + digits + "0\\" + size, ItemBindingDiffers},
        {BindingPath(packageDigest, size + "\\more"), ItemBindingDiffers},
        {BindingPath(packageDigest, ""), ItemBindingDiffers},
        {"sha256\\", ItemBindingDiffers},
        {"SHA256\\" + digits + "\\" + size, ItemBindingNone},
        {"sha2561\\" + digits + "\\" + size, ItemBindingNone},
        {"sha256", ItemBindingNone},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        FreePayloadDescriptors(&launcherState);
        AddContainer(ContainerOf(writer::WriteDirectory({{1000, "x64\\1033\\{EN}\\Product"}, {1000, c.path}}),
                                 {{writer::ItemKind::File, 1000, package}}));
        EXPECT_EQ(CheckItemBinding(&launcherState, 0, 1000, packageDigest.data(), static_cast<DWORD>(package.size())),
                  c.binding);
    }
}

// The shapes of records that the walks take for a cabinet or a package entry: the packer's
// verify and inspect read a directory through this too.
TEST(SplitDirectoryRecord, TellsCabinetsAndPackageEntriesApart)
{
    static_assert(sizeof(WCHAR) == sizeof(char16_t), "WCHAR holds UTF-16 units");
    const struct {
        const char16_t *path;
        DWORD kind;
        std::u16string name; // the third component
    } cases[] = {
        {u"x64\\1033\\{P}\\Product", DirectoryRecordPackage, u"{P}"},
        {u"x64\\1033\\{P}\\Product\\more", DirectoryRecordPackage, u"{P}"},
        {u"cab\\1000;1002\\shared.cab", DirectoryRecordCabinet, u"shared.cab"},
        {u"CAB\\1000\\a.cab", DirectoryRecordCabinet, u"a.cab"},
        {u"Cab\\1000\\a.cab", DirectoryRecordCabinet, u"a.cab"},
        {u"cab\\1000\\a.cab\\more", DirectoryRecordCabinet, u"a.cab"},
        {u"x64\\1033\\{P}", DirectoryRecordOther, u""},
        {u"x64\\1033\\{P}\\", DirectoryRecordOther, u""},
        {u"x64\\\\1033\\{P}\\Product", DirectoryRecordOther, u""},
        {u"cabs\\1000\\a.cab", DirectoryRecordOther, u""},
        {u"cab\\1000", DirectoryRecordOther, u""},
        // A binding record: three components, the first not "cab".
        {u"sha256\\0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef\\1234", DirectoryRecordOther, u""},
        {u"", DirectoryRecordOther, u""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + std::char_traits<char16_t>::length(c.path)));
        DirectoryRecordParts parts;
        SplitDirectoryRecord(reinterpret_cast<const WCHAR *>(c.path), &parts);
        EXPECT_EQ(parts.kind, c.kind);
        if (c.kind != DirectoryRecordOther) {
            const PathComponent &name = parts.components[2];
            EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t *>(name.text), name.units), c.name);
        }
    }
}

} // namespace
