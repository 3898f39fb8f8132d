#include "payload/extraction.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "payload/file_name_rule.h"
#include "payload/inflate.h"
#include "tests/seam/fault_control.h"
#include "tests/tools/wide_text.h"
#include "tests/unit/win32_test_files.h"

using testfiles::Exists;
using testfiles::FolderNames;
using testfiles::Pattern;
using testfiles::ReadAll;
using testfiles::TempFolder;

namespace {

struct FileSpec {
    const char *name;
    DWORD length;
    bool existedBefore; // a file of that name is in the folder before the files are opened
};

// A job over records whose data are item outputs, as the selection makes them; the test keeps
// a copy of each content. The steps keep every record's data: the lock frees it, once the files
// are locked and checked.
struct TestJob {
    std::vector<std::vector<std::uint8_t>> contents;
    std::vector<FileRecord> records;
    std::vector<BYTE *> blocks; // each record's data as it was handed to the job
    ExtractionJob job{};

    TestJob(const std::vector<FileSpec> &files, DWORD chunkSize)
    {
        records.resize(files.size());
        for (std::size_t i = 0; i < files.size(); i++) {
            contents.push_back(Pattern(files[i].length, static_cast<unsigned>(i) + 7));
            FileRecord &record = records[i];
            memset(&record, 0, sizeof record);
            snprintf(record.name, sizeof record.name, "%s", files[i].name);
            record.data = AllocateItemOutput(files[i].length);
            if (record.data == nullptr)
                throw std::runtime_error("cannot allocate a record's data");
            memcpy(record.data, contents[i].data(), files[i].length);
            record.length = files[i].length;
            blocks.push_back(record.data);
        }
        job.items = records.empty() ? nullptr : records.data();
        job.count = static_cast<int>(records.size());
        job.current = -1;
        job.chunkSize = chunkSize;
    }
    ~TestJob()
    {
        CloseOutputFiles(&job);
        for (auto &record : records)
            FreeItemOutput(record.data);
    }

    // Holds folder as the launcher holds the product folder it made or checked, then pins it and
    // opens the output files.
    BOOL Pin(const std::string &folder)
    {
        if (job.productFolder == nullptr)
            job.productFolder = testfiles::HoldFolder(folder);
        if (job.productFolder == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot hold " + folder);
        return PinFolderAndOpenOutputFiles(&job, folder.c_str());
    }

    // Whether every record's data is still held (before the lock) or really released (after it).
    void ExpectDataHeld(bool held) const
    {
        for (std::size_t i = 0; i < records.size(); i++) {
            SCOPED_TRACE("record " + std::to_string(i));
            EXPECT_EQ(records[i].data != nullptr, held);
            MEMORY_BASIC_INFORMATION memory{};
            ASSERT_NE(VirtualQuery(blocks[i], &memory, sizeof memory), 0u);
            EXPECT_EQ(memory.State != MEM_FREE, held);
        }
    }
};

struct Call {
    DWORD result;
    DWORD progress;
};

std::vector<Call> RunToEnd(TestJob &test, bool withProgress)
{
    std::vector<Call> calls;
    for (int guard = 0; guard < 100000; guard++) {
        DWORD progress = 0xDEAD;
        DWORD result = ExtractionStep(&test.job, withProgress ? &progress : nullptr);
        calls.push_back({result, progress});
        test.ExpectDataHeld(true);
        if (result != ERROR_MORE_DATA)
            break;
    }
    return calls;
}

struct Checkpoint {
    std::size_t call; // 0-based
    DWORD result;
    DWORD progress;
};

struct StepCase {
    const char *name;
    std::vector<FileSpec> files;
    DWORD chunkSize;
    bool withProgress;
    std::vector<Checkpoint> checkpoints;
};

// 1 to start, one per write of an open file, one per record to close it and move on.
std::size_t ExpectedCalls(const StepCase &c)
{
    std::size_t calls = 1 + c.files.size();
    for (const auto &file : c.files)
        if (!file.existedBefore)
            calls += (file.length + c.chunkSize - 1) / c.chunkSize;
    return calls;
}

class ExtractionStepRuns : public testing::TestWithParam<StepCase> {};

TEST_P(ExtractionStepRuns, WritesEveryFileInBoundedSteps)
{
    const StepCase &c = GetParam();
    TempFolder folder("extract");
    TestJob test(c.files, c.chunkSize);
    // A file left by an earlier run holds the same verified content.
    for (std::size_t i = 0; i < c.files.size(); i++)
        if (c.files[i].existedBefore)
            testfiles::WriteAll(folder / c.files[i].name, test.contents[i]);
    ASSERT_TRUE(test.Pin(folder.path()));
    std::vector<Call> calls = RunToEnd(test, c.withProgress);

    ASSERT_EQ(calls.size(), ExpectedCalls(c));
    EXPECT_EQ(calls.back().result, ERROR_SUCCESS);
    for (std::size_t i = 0; i + 1 < calls.size(); i++)
        EXPECT_EQ(calls[i].result, (DWORD)ERROR_MORE_DATA) << "call " << i;
    if (c.withProgress) {
        EXPECT_EQ(calls.back().progress, 100u);
        for (std::size_t i = 0; i < calls.size(); i++)
            EXPECT_LE(calls[i].progress, 100u) << "call " << i;
    } else {
        for (const auto &call : calls)
            EXPECT_EQ(call.progress, 0xDEADu) << "nothing is stored without a progress pointer";
    }
    for (const auto &point : c.checkpoints) {
        ASSERT_LT(point.call, calls.size());
        EXPECT_EQ(calls[point.call].result, point.result) << "call " << point.call;
        EXPECT_EQ(calls[point.call].progress, point.progress) << "call " << point.call;
    }

    EXPECT_EQ(test.job.current, test.job.count);
    for (std::size_t i = 0; i < c.files.size(); i++) {
        SCOPED_TRACE(c.files[i].name);
        EXPECT_NE(test.records[i].handle, nullptr) << "every file stays open for its lock";
        EXPECT_EQ(test.records[i].written, c.files[i].length);
        EXPECT_EQ(Exists(folder / c.files[i].name), c.files[i].existedBefore)
            << "a new file has no name of its own before it is locked";
    }
    ASSERT_TRUE(LockOutputFiles(&test.job));
    for (std::size_t i = 0; i < c.files.size(); i++)
        EXPECT_EQ(ReadAll(folder / c.files[i].name), test.contents[i]) << c.files[i].name;
}

const DWORD Chunk = 524288;

INSTANTIATE_TEST_SUITE_P(
    Jobs, ExtractionStepRuns,
    testing::Values(StepCase{"NoRecords", {}, Chunk, true, {{0, 0, 100}}},
                    StepCase{"FirstRecordExisted",
                             {{"main.msi", 1000, true}, {"a.cab", 10, false}},
                             Chunk,
                             true,
                             {{0, 234, 0}, {1, 234, 0}, {2, 234, 100}, {3, 0, 100}}},
                    StepCase{"EmptyRecord", {{"main.msi", 0, false}}, Chunk, true, {{0, 234, 0}, {1, 0, 100}}},
                    StepCase{"ExactMultipleOfChunk",
                             {{"main.msi", 3 * 4096, false}, {"a.cab", 5, false}},
                             4096,
                             true,
                             {{1, 234, 33}, {2, 234, 66}, {3, 234, 100}, {4, 234, 0}}},
                    // 8 KiB of 1 MiB is below one percent.
                    StepCase{
                        "ProgressTruncates", {{"main.msi", 1 << 20, false}}, 8192, true, {{1, 234, 0}, {2, 234, 1}}},
                    // A package and a large cabinet: 127 calls, the cabinet in 123 pieces.
                    StepCase{"PackageAndCabinet",
                             {{"main.msi", 294912, false}, {"disk1.cab", 64107930, false}},
                             Chunk,
                             true,
                             {{1, 234, 100}, {2, 234, 0}, {3, 234, 0}, {4, 234, 1}, {125, 234, 100}, {126, 0, 100}}},
                    StepCase{"NullProgress", {{"main.msi", 70000, false}, {"a.cab", 0, false}}, 65536, false, {}}),
    [](const testing::TestParamInfo<StepCase> &info) { return std::string(info.param.name); });

// A "{PRODUCT}" folder made in root, as the launcher's extraction folder is one inside its root.
std::string MakeProductFolder(const TempFolder &root)
{
    std::string folder = root / "{PRODUCT}";
    if (!CreateDirectoryA(folder.c_str(), nullptr))
        throw std::runtime_error("cannot make " + folder);
    return folder;
}

// Whether another process could open the file with this access, sharing everything.
bool OthersCanOpen(const std::string &path, DWORD access)
{
    HANDLE other = CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(other);
    return true;
}

TEST(PinFolderAndOpenOutputFiles, OpensNewFilesAndLocksAnIdenticalFileFromAnEarlierRun)
{
    SeamScope seams;
    TempFolder folder("open");
    TestJob test({{"main.msi", 10, false}, {"a.cab", 10, true}}, Chunk);
    testfiles::WriteAll(folder / "a.cab", test.contents[1]);

    ASSERT_TRUE(test.Pin(folder.path()));
    EXPECT_EQ(std::string(test.records[0].outputPath), folder / "main.msi");
    EXPECT_EQ(std::string(test.records[1].outputPath), folder / "a.cab");
    EXPECT_EQ(test.records[0].kind, (DWORD)OutputCreated);
    EXPECT_EQ(test.records[1].kind, (DWORD)OutputInPlace);
    EXPECT_NE(test.records[1].handle, nullptr) << "the file in place is held as it is";
    EXPECT_FALSE(OthersCanOpen(folder / "a.cab", GENERIC_WRITE));
    EXPECT_FALSE(OthersCanOpen(folder / "a.cab", DELETE));
    EXPECT_TRUE(OthersCanOpen(folder / "a.cab", GENERIC_READ));
    EXPECT_EQ(ReadAll(folder / "a.cab"), test.contents[1]);
    EXPECT_EQ(FolderNames(folder.path()), (std::vector<std::string>{"a.cab", RunLockFileName, "main.msi.partial"}));
    EXPECT_EQ(SeamFileRules().namedCallsWhilePinned, 0u);
}

// While files are open in it, the folder can be neither renamed nor deleted: nothing can swap it
// for a junction. Once the files are settled, it can.
TEST(PinFolderAndOpenOutputFiles, PinsTheFolderUntilTheFilesAreSettled)
{
    TempFolder root("pin");
    std::string folder = MakeProductFolder(root);
    TestJob test({{"main.msi", 10, false}}, Chunk);
    ASSERT_TRUE(test.Pin(folder));
    ASSERT_NE(test.job.folder, nullptr);

    EXPECT_FALSE(MoveFileA(folder.c_str(), (root / "moved").c_str()));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(OthersCanOpen(folder, DELETE));
    EXPECT_TRUE(OthersCanOpen(folder, FILE_LIST_DIRECTORY)) << "the folder can still be read";

    ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
    FinishOutputFiles(&test.job, OutputFilesKept);
    EXPECT_EQ(test.job.folder, nullptr);
    EXPECT_TRUE(MoveFileA(folder.c_str(), (root / "moved").c_str()));
}

// A file in place that is not the verified content (planted, damaged, or the source of an
// installed product of another version) keeps its name until its replacement is whole, then moves
// aside in the folder, never deleted here. A roll-back deletes the new file and leaves it as it was.
TEST(PinFolderAndOpenOutputFiles, KeepsADifferingFileUntilItsReplacementIsWhole)
{
    struct Planted {
        const char *name;
        std::vector<std::uint8_t> content;
        bool laterRecordFails;
    };
    const Planted cases[] = {{"other bytes", Pattern(10, 99), false},
                             {"shorter", Pattern(9, 8), false},
                             {"longer", Pattern(11, 8), false},
                             {"empty", {}, false},
                             {"other bytes, then a roll-back", Pattern(10, 99), true}};
    for (const Planted &planted : cases) {
        SCOPED_TRACE(planted.name);
        SeamScope seams;
        TempFolder root("planted");
        std::string folder = MakeProductFolder(root);
        TestJob test({{"a.cab", 10, false},
                      {"main.msi", 10, true},
                      {planted.laterRecordFails ? "missing\\c.cab" : "c.cab", 10, false}},
                     Chunk);
        testfiles::WriteAll(folder + "\\main.msi", planted.content);

        if (planted.laterRecordFails) {
            EXPECT_FALSE(test.Pin(folder));
            EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"main.msi"});
            EXPECT_EQ(ReadAll(folder + "\\main.msi"), planted.content) << "the earlier file stays";
            EXPECT_EQ(SeamFileRules().changesUnpinned, 0u);
            continue;
        }
        ASSERT_TRUE(test.Pin(folder));
        EXPECT_EQ(test.records[1].kind, (DWORD)OutputReplacing);
        ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
        EXPECT_EQ(ReadAll(folder + "\\main.msi"), planted.content) << "written whole before it is replaced";
        ASSERT_TRUE(LockOutputFiles(&test.job));
        ASSERT_TRUE(VerifyOutputFiles(&test.job));
        EXPECT_EQ(FolderNames(folder),
                  (std::vector<std::string>{"a.cab", "c.cab", RunLockFileName, "main.msi", "main.msi.0.aside"}));
        EXPECT_EQ(ReadAll(folder + "\\main.msi.0.aside"), planted.content);
        for (std::size_t i = 0; i < test.records.size(); i++)
            EXPECT_EQ(ReadAll(test.records[i].outputPath), test.contents[i]);
        EXPECT_EQ(SeamFileRules().namedCallsWhilePinned, 0u);
        EXPECT_EQ(SeamFileRules().changesUnpinned, 0u);
    }
}

// An aside name that something else holds (here a folder, which settling leaves alone) is passed
// over, and that stays as it is.
TEST(PinFolderAndOpenOutputFiles, MovesAsideUnderAFreeName)
{
    TempFolder folder("asidetaken");
    TestJob test({{"main.msi", 10, true}}, Chunk);
    testfiles::WriteAll(folder / "main.msi", Pattern(10, 50));
    ASSERT_TRUE(CreateDirectoryA((folder / "main.msi.0.aside").c_str(), nullptr));
    testfiles::WriteAll(folder / "main.msi.0.aside\\inside", Pattern(3, 51));

    ASSERT_TRUE(test.Pin(folder.path()));
    ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
    ASSERT_TRUE(LockOutputFiles(&test.job));
    EXPECT_EQ(ReadAll(folder / "main.msi.0.aside\\inside"), Pattern(3, 51));
    EXPECT_EQ(ReadAll(folder / "main.msi.1.aside"), Pattern(10, 50));
}

// What cannot be moved aside fails the attempt and stays as it was: a folder of that name, or a
// file that another process holds open without sharing deletion.
TEST(PinFolderAndOpenOutputFiles, RefusesWhatCannotBeMovedAside)
{
    for (bool folderInTheWay : {true, false}) {
        SCOPED_TRACE(folderInTheWay ? "folder" : "file held open");
        TempFolder folder("undeletable");
        TestJob test({{"a.cab", 10, false}, {"main.msi", 10, false}}, Chunk);
        HANDLE held = INVALID_HANDLE_VALUE;
        if (folderInTheWay) {
            ASSERT_TRUE(CreateDirectoryA((folder / "main.msi").c_str(), nullptr));
        } else {
            testfiles::WriteAll(folder / "main.msi", Pattern(5, 1));
            held = CreateFileA((folder / "main.msi").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(held, INVALID_HANDLE_VALUE);
        }

        EXPECT_FALSE(test.Pin(folder.path()));
        EXPECT_NE(GetLastError(), 0u) << "the failed call's error";
        EXPECT_EQ(FolderNames(folder.path()), std::vector<std::string>{"main.msi"});
        if (held != INVALID_HANDLE_VALUE) {
            CloseHandle(held);
            EXPECT_EQ(ReadAll(folder / "main.msi"), Pattern(5, 1));
        }
    }
}

// One file named twice (a cabinet listed twice for the package, or two names that differ only
// in letter case) is opened and written once; the second record is passed over.
TEST(PinFolderAndOpenOutputFiles, OpensAFileNamedTwiceOnce)
{
    struct Twice {
        const char *first;
        const char *second;
        bool firstInPlace;
    };
    const Twice cases[] = {
        {"disk1.cab", "disk1.cab", false}, {"disk1.cab", "DISK1.Cab", false}, {"disk1.cab", "disk1.cab", true}};
    for (const Twice &c : cases) {
        SCOPED_TRACE(std::string(c.first) + " / " + c.second + (c.firstInPlace ? " in place" : ""));
        TempFolder folder("twice");
        TestJob test({{"main.msi", 10, false}, {c.first, 20, c.firstInPlace}, {c.second, 20, false}}, Chunk);
        test.contents[2] = test.contents[1];
        memcpy(test.records[2].data, test.contents[2].data(), 20);
        if (c.firstInPlace)
            testfiles::WriteAll(folder / c.first, test.contents[1]);

        ASSERT_TRUE(test.Pin(folder.path()));
        EXPECT_EQ(test.records[1].kind, (DWORD)(c.firstInPlace ? OutputInPlace : OutputCreated));
        EXPECT_EQ(test.records[2].kind, (DWORD)OutputSameFile);
        EXPECT_EQ(test.records[2].handle, nullptr);
        std::vector<Call> calls = RunToEnd(test, false);
        ASSERT_EQ(calls.back().result, ERROR_SUCCESS);
        ASSERT_TRUE(LockOutputFiles(&test.job));
        EXPECT_TRUE(VerifyOutputFiles(&test.job));
        EXPECT_EQ(ReadAll(folder / c.first), test.contents[1]);
    }
}

// Files land only in a real folder, never through a junction or a symbolic link to another.
TEST(PinFolderAndOpenOutputFiles, RefusesAnExtractionFolderThatIsALink)
{
    TempFolder root("reparse");
    std::string target = root / "elsewhere";
    std::string link = root / "{PRODUCT}";
    ASSERT_TRUE(CreateDirectoryA(target.c_str(), nullptr));
    ASSERT_TRUE(testfiles::MakeFolderLink(link, target));
    ASSERT_NE(GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    TestJob test({{"main.msi", 10, false}}, Chunk);
    EXPECT_FALSE(test.Pin(link));
    EXPECT_EQ(test.records[0].handle, nullptr);
    EXPECT_EQ(test.job.folder, nullptr);
    EXPECT_FALSE(Exists(target + "\\main.msi"));
    EXPECT_TRUE(Exists(link)) << "a folder not made by this attempt is left alone";
}

// What the pin's handle says the folder is decides, not its name: junctions and symbolic links
// (name surrogates) are refused, other reparse points such as cloud-file placeholders are
// folders like any other. Wine makes none of these, so the seam gives the answer.
TEST(PinFolderAndOpenOutputFiles, JudgesTheFolderByItsReparseTag)
{
    const struct {
        const char *name;
        DWORD attributes;
        DWORD tag;
        bool accepted;
    } cases[] = {
        {"junction", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_MOUNT_POINT, false},
        {"symbolic link", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_SYMLINK, false},
        {"cloud placeholder", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, 0x9000601Au, true},
        {"deduplicated", FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT, IO_REPARSE_TAG_DEDUP, true},
        {"plain folder", FILE_ATTRIBUTE_DIRECTORY, 0, true},
        {"not a folder", FILE_ATTRIBUTE_NORMAL, 0, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SeamScope seams;
        TempFolder root("tag");
        std::string folder = MakeProductFolder(root);
        FakeFolderTag(c.attributes, c.tag);
        TestJob test({{"main.msi", 10, false}}, Chunk);
        EXPECT_EQ(test.Pin(folder), c.accepted ? TRUE : FALSE);
        EXPECT_EQ(Exists(folder + "\\main.msi" + PartialNameSuffix), c.accepted);
        EXPECT_TRUE(Exists(folder));
    }
}

// Once written, each file becomes its read-only lock through its own handle: nothing opens an
// output file by its path after its first write. While locked, nobody may write, rename or
// delete it; reading is not refused.
TEST(LockOutputFiles, LocksThroughTheHandlesAndRefusesWritersAndDeleters)
{
    SeamScope seams;
    TempFolder folder("lock");
    TestJob test({{"main.msi", 10, false}, {"disk1.cab", 10, true}, {"DISK1.CAB", 10, false}}, Chunk);
    testfiles::WriteAll(folder / "disk1.cab", test.contents[1]);
    ASSERT_TRUE(test.Pin(folder.path()));
    ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);

    ASSERT_TRUE(LockOutputFiles(&test.job));
    ASSERT_TRUE(VerifyOutputFiles(&test.job));
    FreeOutputData(&test.job);
    test.ExpectDataHeld(false);
    EXPECT_EQ(SeamCallCount(SeamCall::ReOpenFile), 3u) << "the pin, the middle handle and the lock of main.msi";
    EXPECT_EQ(SeamFileRules().namedCallsWhilePinned, 0u);
    EXPECT_EQ(OpenFileHandles(), 4u) << "the folder, its lock file and two locks";
    for (const char *name : {"main.msi", "disk1.cab"}) {
        SCOPED_TRACE(name);
        std::string path = folder / name;
        EXPECT_FALSE(OthersCanOpen(path, GENERIC_WRITE));
        EXPECT_FALSE(OthersCanOpen(path, DELETE));
        EXPECT_FALSE(DeleteFileA(path.c_str()));
        EXPECT_FALSE(MoveFileA(path.c_str(), (path + ".moved").c_str()));
        HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "the installer can read";
        CloseHandle(reader);
    }

    CloseOutputFileHandles(&test.job);
    for (const auto &record : test.records)
        EXPECT_EQ(record.handle, nullptr);
    EXPECT_TRUE(DeleteFileA((folder / "main.msi").c_str()));
}

// A change between the writing and the lock (here made through the write handle itself, as a
// writer slipping in before the lock would) shows in the check through the lock.
TEST(VerifyOutputFiles, RefusesAFileChangedBeforeTheLock)
{
    const struct {
        const char *name;
        LONG offset;    // where one byte is flipped, or -1
        LONG newLength; // the file's new length, or -1
    } cases[] = {{"one byte", 50000, -1}, {"cut short", -1, 99999}, {"grown", -1, 100001}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder("lockchanged");
        TestJob test({{"main.msi", 100000, false}, {"disk1.cab", 10, false}}, Chunk);
        ASSERT_TRUE(test.Pin(folder.path()));
        ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
        HANDLE writer = test.records[0].handle;
        if (c.offset >= 0) {
            BYTE flipped = test.contents[0][c.offset] ^ 1;
            DWORD written = 0;
            SetFilePointer(writer, c.offset, nullptr, FILE_BEGIN);
            ASSERT_TRUE(WriteFile(writer, &flipped, 1, &written, nullptr));
        } else {
            SetFilePointer(writer, c.newLength, nullptr, FILE_BEGIN);
            ASSERT_TRUE(SetEndOfFile(writer));
        }

        ASSERT_TRUE(LockOutputFiles(&test.job));
        EXPECT_FALSE(VerifyOutputFiles(&test.job));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_CORRUPT);
        test.ExpectDataHeld(true);
    }
}

// A file longer than the check's read block is compared block by block to its end: a change in
// any block, at a block's edge or in the last byte, fails the check; the unchanged file passes.
TEST(VerifyOutputFiles, ComparesALargeFileBlockByBlock)
{
    const DWORD length = (5u << 20) / 2; // two and a half mebibytes
    const struct {
        const char *name;
        LONG offset; // where one byte is flipped, or -1
    } cases[] = {{"unchanged", -1},
                 {"the first byte", 0},
                 {"the last byte of the first mebibyte", (1 << 20) - 1},
                 {"the first byte of the second", 1 << 20},
                 {"the last byte", static_cast<LONG>(length) - 1}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder("largecheck");
        TestJob test({{"main.msi", length, false}}, Chunk);
        ASSERT_TRUE(test.Pin(folder.path()));
        ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
        if (c.offset >= 0) {
            BYTE flipped = test.contents[0][c.offset] ^ 0x80;
            DWORD written = 0;
            SetFilePointer(test.records[0].handle, c.offset, nullptr, FILE_BEGIN);
            ASSERT_TRUE(WriteFile(test.records[0].handle, &flipped, 1, &written, nullptr));
        }

        ASSERT_TRUE(LockOutputFiles(&test.job));
        EXPECT_EQ(VerifyOutputFiles(&test.job), c.offset < 0);
        if (c.offset >= 0) {
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_CORRUPT);
        }
    }
}

// A reopen or a rename that meets another process's hold (a virus scanner that opens the fresh
// file for a moment) fails the lock with its error. Made again, the lock goes on from where it
// stopped: the earlier file is moved aside once, and the new one ends up locked under its name.
// Given up instead, the files can still be settled.
TEST(LockOutputFiles, AFailedStepFailsTheLockAndGoesOnWhenMadeAgain)
{
    const struct {
        const char *name;
        SeamCall call;
        unsigned callsBefore;
        DWORD failure;
        bool named; // the new file has its name when the step fails
    } steps[] = {
        {"the middle handle", SeamCall::ReOpenFile, 0, ERROR_SHARING_VIOLATION, true},
        {"the lock", SeamCall::ReOpenFile, 1, ERROR_SHARING_VIOLATION, true},
        // The first rename moves the earlier file aside, the second names the new one.
        {"naming the new file", SeamCall::NtSetInformationFile, 1, 0xC0000043u, false}, // STATUS_SHARING_VIOLATION
    };
    for (const auto &step : steps)
        for (bool madeAgain : {true, false}) {
            SCOPED_TRACE(std::string(step.name) + (madeAgain ? ", made again" : ", given up"));
            SeamScope seams;
            TempFolder root("lockfail");
            std::string folder = MakeProductFolder(root);
            const std::vector<std::uint8_t> earlier = Pattern(3, 30);
            testfiles::WriteAll(folder + "\\main.msi", earlier);
            TestJob test({{"main.msi", 10, false}}, Chunk);
            ASSERT_TRUE(test.Pin(folder));
            ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
            FailCall(step.call, step.callsBefore, 1, step.failure);
            EXPECT_FALSE(LockOutputFiles(&test.job));
            EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
            if (madeAgain) {
                ASSERT_TRUE(LockOutputFiles(&test.job));
                ASSERT_TRUE(VerifyOutputFiles(&test.job));
                EXPECT_EQ(FolderNames(folder),
                          (std::vector<std::string>{RunLockFileName, "main.msi", "main.msi.0.aside"}));
                EXPECT_EQ(ReadAll(folder + "\\main.msi"), test.contents[0]);
                EXPECT_FALSE(OthersCanOpen(folder + "\\main.msi", GENERIC_WRITE)) << "locked";
            }

            // A new file that never got its name goes, and the earlier one keeps (or gets back) its name.
            FinishOutputFiles(&test.job, OutputFilesDeleted);
            if (madeAgain || step.named) {
                EXPECT_FALSE(Exists(folder));
            } else {
                EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"main.msi"});
                EXPECT_EQ(ReadAll(folder + "\\main.msi"), earlier);
            }
            EXPECT_EQ(OpenFileHandles(), 0u);
            EXPECT_EQ(SeamFileRules().changesUnpinned, 0u);
        }
}

// How the files are settled after the installer: which stay, and whether a file that was moved
// aside comes back. All of it happens while the folder is pinned.
TEST(FinishOutputFiles, KeepsDeletesOrPutsBackAsTold)
{
    const struct {
        const char *name;
        DWORD outcome;
        bool newFilesStay;
        bool earlierFileBack;
    } cases[] = {
        {"installed", OutputFilesKept, true, false},
        {"failed, registered", OutputFilesPutBack, true, true},
        {"failed, not registered", OutputFilesDeleted, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SeamScope seams;
        TempFolder root("finish");
        std::string folder = MakeProductFolder(root);
        TestJob test({{"main.msi", 10, true}, {"same.cab", 10, true}, {"new.cab", 10, false}}, Chunk);
        const std::vector<std::uint8_t> earlier = Pattern(7, 77);
        testfiles::WriteAll(folder + "\\main.msi", earlier);
        testfiles::WriteAll(folder + "\\same.cab", test.contents[1]);
        ASSERT_TRUE(test.Pin(folder));
        ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
        ASSERT_TRUE(LockOutputFiles(&test.job));
        ASSERT_TRUE(VerifyOutputFiles(&test.job));

        CloseOutputFileHandles(&test.job);
        FinishOutputFiles(&test.job, c.outcome);
        EXPECT_EQ(OpenFileHandles(), 0u);
        EXPECT_EQ(SeamFileRules().changesUnpinned, 0u);
        EXPECT_EQ(SeamFileRules().namedCallsWhilePinned, 0u);
        EXPECT_GT(SeamFileRules().changesWhilePinned, 0u);
        EXPECT_EQ(SeamFileRules().folderRemovals, c.newFilesStay ? 0u : 1u);
        if (!c.newFilesStay) {
            EXPECT_FALSE(Exists(folder)) << "everything deleted, the folder removed";
            continue;
        }
        EXPECT_EQ(FolderNames(folder), (std::vector<std::string>{"main.msi", "new.cab", "same.cab"}))
            << "no aside file is left";
        EXPECT_EQ(ReadAll(folder + "\\main.msi"), c.earlierFileBack ? earlier : test.contents[0]);
        EXPECT_EQ(ReadAll(folder + "\\same.cab"), test.contents[1]);
        EXPECT_EQ(ReadAll(folder + "\\new.cab"), test.contents[2]);
    }
}

// Once pinned, the folder's paths are never looked up again: made to lead elsewhere, as a
// junction above the folder re-pointed while it is pinned would make them (Wine can't re-point
// one), they change nothing. The files are deleted in the pinned folder and the folder removed
// through the handle held since it was made; the files of the same names where the path now
// leads stay, and so does an empty folder there.
TEST(FinishOutputFiles, GoesByThePinNotByThePaths)
{
    for (bool decoyEmpty : {false, true}) {
        SCOPED_TRACE(decoyEmpty ? "the path leads to an empty folder" : "the path leads to files of the same names");
        SeamScope seams;
        TempFolder root("repointed");
        std::string folder = MakeProductFolder(root);
        std::string decoy = root / "decoy";
        ASSERT_TRUE(CreateDirectoryA(decoy.c_str(), nullptr));
        if (!decoyEmpty) {
            testfiles::WriteAll(decoy + "\\main.msi", Pattern(5, 1));
            testfiles::WriteAll(decoy + "\\a.cab", Pattern(5, 2));
        }
        TestJob test({{"main.msi", 10, false}, {"a.cab", 10, false}}, Chunk);
        ASSERT_TRUE(test.Pin(folder));
        ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
        ASSERT_TRUE(LockOutputFiles(&test.job));
        CloseOutputFileHandles(&test.job);

        MultiByteToWideChar(CP_UTF8, 0, decoy.c_str(), -1, test.job.folderPath, OutputFolderSize);
        FinishOutputFiles(&test.job, OutputFilesDeleted);

        EXPECT_FALSE(Exists(folder)) << "the pinned folder's files are deleted and the folder removed";
        EXPECT_EQ(FolderNames(decoy),
                  decoyEmpty ? std::vector<std::string>{} : (std::vector<std::string>{"a.cab", "main.msi"}));
        if (!decoyEmpty) {
            EXPECT_EQ(ReadAll(decoy + "\\main.msi"), Pattern(5, 1));
            EXPECT_EQ(ReadAll(decoy + "\\a.cab"), Pattern(5, 2));
        }
        EXPECT_EQ(SeamFileRules().folderRemovals, 1u);
        EXPECT_EQ(SeamFileRules().folderRemovalsByPath, 0u);
        EXPECT_EQ(SeamFileRules().changesUnpinned, 0u);
    }
}

// What a killed run left in the folder is settled by the next run before anything else, through
// the pin: its temporary files go, an aside file whose name is free goes back under it, and the
// first aside file of a name takes it back from the killed run's file there, so that a failed
// install puts back what the registered product was installed from. Other aside files stay until
// a run succeeds. Its lock file, no longer held, is taken over; an earlier release's lock file
// goes. After one successful run the folder holds exactly the package.
TEST(PinFolderAndOpenOutputFiles, SettlesWhatAKilledRunLeft)
{
    const std::vector<std::uint8_t> earlier = Pattern(7, 77);
    const std::vector<std::uint8_t> package = Pattern(10, 7); // TestJob's content of main.msi
    const std::vector<std::uint8_t> cabinet = Pattern(20, 8);
    struct Left {
        std::string name;
        std::vector<std::uint8_t> content;
    };
    const struct {
        const char *name;
        std::vector<Left> left;
        bool succeeded;
        std::vector<std::uint8_t> packageWhenOpened; // main.msi once the leftovers are settled
        std::vector<std::string> namesAfter;
        std::vector<std::uint8_t> packageAfter; // main.msi once this run is settled
    } cases[] = {
        {"killed while writing",
         {{"main.msi.partial", Pattern(4, 1)}, {"disk1.cab.partial", Pattern(3, 2)}, {RunLockFileName, {}}},
         true,
         {},
         {"disk1.cab", "main.msi"},
         package},
        {"killed between moving aside and naming",
         {{"main.msi.0.aside", earlier}},
         true,
         earlier,
         {"disk1.cab", "main.msi"},
         package},
        {"killed while the installer ran, then installed",
         {{"main.msi", package}, {"main.msi.0.aside", earlier}, {"disk1.cab", cabinet}, {RunLockFileName, {}}},
         true,
         earlier,
         {"disk1.cab", "main.msi"},
         package},
        {"killed while the installer ran, then failed",
         {{"main.msi", package}, {"main.msi.0.aside", earlier}, {"disk1.cab", cabinet}},
         false,
         earlier,
         {"disk1.cab", "main.msi"},
         earlier},
        // The second killed run had moved the first one's file aside as .1: only .0 is what stood
        // there before them.
        {"killed twice while installers ran, then failed",
         {{"main.msi", package}, {"main.msi.0.aside", earlier}, {"main.msi.1.aside", Pattern(8, 78)}},
         false,
         earlier,
         {"disk1.cab", "main.msi", "main.msi.1.aside"},
         earlier},
        {"an earlier release's lock file left",
         {{"extraction.lock", {}}},
         true,
         {},
         {"disk1.cab", "main.msi"},
         package},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SeamScope seams;
        TempFolder root("settle");
        std::string folder = MakeProductFolder(root);
        for (const Left &left : c.left)
            testfiles::WriteAll(folder + "\\" + left.name, left.content);
        TestJob test({{"main.msi", 10, false}, {"disk1.cab", 20, false}}, Chunk);
        ASSERT_EQ(test.contents[0], package);
        ASSERT_EQ(test.contents[1], cabinet);

        ASSERT_TRUE(test.Pin(folder));
        EXPECT_EQ(Exists(folder + "\\main.msi"), !c.packageWhenOpened.empty());
        if (!c.packageWhenOpened.empty()) {
            EXPECT_EQ(ReadAll(folder + "\\main.msi"), c.packageWhenOpened);
        }
        ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
        ASSERT_TRUE(LockOutputFiles(&test.job));
        ASSERT_TRUE(VerifyOutputFiles(&test.job));
        CloseOutputFileHandles(&test.job);
        FinishOutputFiles(&test.job, c.succeeded ? OutputFilesKept : OutputFilesPutBack);

        EXPECT_EQ(FolderNames(folder), c.namesAfter);
        EXPECT_EQ(ReadAll(folder + "\\main.msi"), c.packageAfter);
        EXPECT_EQ(ReadAll(folder + "\\disk1.cab"), cabinet);
        EXPECT_EQ(SeamFileRules().namedCallsWhilePinned, 0u);
        EXPECT_EQ(SeamFileRules().changesUnpinned, 0u);
        EXPECT_EQ(OpenFileHandles(), 0u);
    }
}

// While another run holds the folder's lock file, a second one ends at once and touches nothing
// there, not even what looks left over.
TEST(PinFolderAndOpenOutputFiles, LeavesAFolderInUseByAnotherRunAlone)
{
    SeamScope seams;
    TempFolder root("busy");
    std::string folder = MakeProductFolder(root);
    testfiles::WriteAll(folder + "\\main.msi.partial", Pattern(4, 1));
    HANDLE otherRun = CreateFileA((folder + "\\" + RunLockFileName).c_str(), DELETE, 0, nullptr, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(otherRun, INVALID_HANDLE_VALUE);
    TestJob test({{"main.msi", 10, false}}, Chunk);

    EXPECT_FALSE(test.Pin(folder));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_INSTALL_ALREADY_RUNNING);
    EXPECT_EQ(test.job.folder, nullptr);
    EXPECT_EQ(OpenFileHandles(), 0u);
    EXPECT_EQ(FolderNames(folder), (std::vector<std::string>{RunLockFileName, "main.msi.partial"}));
    CloseHandle(otherRun);
}

struct RollBackCase {
    const char *name;
    bool folderHoldsOldFile; // a file that was there before this run
    std::string failingName; // the last record, which cannot be created
    SeamCall failingCall = SeamCall::Count;
};

class PinFolderAndOpenOutputFilesRollBack : public testing::TestWithParam<RollBackCase> {};

TEST_P(PinFolderAndOpenOutputFilesRollBack, RemovesOnlyWhatThisRunCreated)
{
    const RollBackCase &c = GetParam();
    SeamScope seams;
    TempFolder root("rollback");
    std::string folder = MakeProductFolder(root);
    TestJob test({{"main.msi", 10, false}, {"old.cab", 3, true}, {c.failingName.c_str(), 10, false}}, Chunk);
    const std::vector<std::uint8_t> old = test.contents[1];
    if (c.folderHoldsOldFile)
        testfiles::WriteAll(folder + "\\old.cab", old);
    // The lock file and the look for an earlier release's, then for each of the first two records
    // the look for a file in place and the new file: the seventh is the third record's look, denied.
    if (c.failingCall == SeamCall::NtCreateFile)
        FailCall(c.failingCall, 6, 10, 0xC0000022u); // STATUS_ACCESS_DENIED
    EXPECT_FALSE(test.Pin(folder));
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_TRUE(Exists(folder)) << "the folder stays held for the caller";
    // As the launcher does after an attempt in a folder that it made.
    CloseProductFolder(&test.job, TRUE);

    EXPECT_EQ(FolderNames(folder),
              c.folderHoldsOldFile ? std::vector<std::string>{"old.cab"} : std::vector<std::string>{})
        << "no file of this attempt is left, the lock file neither";
    for (const auto &record : test.records) {
        EXPECT_EQ(record.handle, nullptr);
        EXPECT_EQ(record.written, 0u);
        EXPECT_STREQ(record.outputPath, "");
    }
    EXPECT_EQ(test.job.folder, nullptr);
    EXPECT_EQ(OpenFileHandles(), 0u);
    EXPECT_EQ(SeamFileRules().changesUnpinned, 0u);
    if (c.folderHoldsOldFile) {
        EXPECT_EQ(ReadAll(folder + "\\old.cab"), old) << "a file found in place is never touched";
        EXPECT_TRUE(Exists(folder));
    } else {
        EXPECT_FALSE(Exists(folder)) << "the emptied folder is removed";
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, PinFolderAndOpenOutputFilesRollBack,
                         testing::Values(RollBackCase{"CannotCreate", false, "missing\\c.cab"},
                                         RollBackCase{"CannotCreateBesideOldFile", true, "missing\\c.cab"},
                                         // A path over 260 characters counts as one that can't be created.
                                         RollBackCase{"PathTooLong", false, std::string(250, 'x')},
                                         RollBackCase{"AccessDenied", false, "c.cab", SeamCall::NtCreateFile}),
                         [](const testing::TestParamInfo<RollBackCase> &info) { return std::string(info.param.name); });

// The run's lock file is made with SYSTEM and the Administrators alone let in (Wine stores no
// descriptor: the seam tells the one passed and answers the one read back), so that no other
// user's process can hold it open and keep every later run out. A lock file left unheld with
// exactly those rights is taken over as it is; one with other rights is not trusted and is
// replaced. The lock file of earlier releases, which Users could read, is no lock: a reader that
// holds it keeps nobody out.
TEST(PinFolderAndOpenOutputFiles, TakesALockThatOnlyAdministratorsCanHold)
{
    const std::wstring lockSecurity = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";
    const std::wstring otherRights = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FR;;;BU)";
    const struct {
        const char *name;
        const char *left;        // the lock file left in the folder, or null
        const wchar_t *answered; // what its descriptor reads as; null: what Wine makes up
        bool readerHoldsIt;      // another process reads the file left while the run starts
        bool sameLock;           // the run's lock is the file left
        std::vector<std::string> namesWhileRunning;
    } cases[] = {
        {"none left", nullptr, nullptr, false, false, {RunLockFileName}},
        {"a killed run's", RunLockFileName, lockSecurity.c_str(), false, true, {RunLockFileName}},
        {"one with other rights", RunLockFileName, otherRights.c_str(), false, false, {RunLockFileName}},
        {"one with what Wine makes up", RunLockFileName, nullptr, false, false, {RunLockFileName}},
        {"an earlier release's", "extraction.lock", nullptr, false, false, {RunLockFileName}},
        {"an earlier release's, held by a reader",
         "extraction.lock",
         nullptr,
         true,
         false,
         {"extraction.lock", RunLockFileName}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SeamScope seams;
        TempFolder root("lockrights");
        std::string folder = MakeProductFolder(root);
        FileIdentity left{};
        HANDLE reader = INVALID_HANDLE_VALUE;
        if (c.left != nullptr) {
            std::string path = folder + "\\" + c.left;
            testfiles::WriteAll(path, {});
            reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(reader, INVALID_HANDLE_VALUE);
            ASSERT_TRUE(ReadFileIdentity(reader, &left));
            if (!c.readerHoldsIt) {
                CloseHandle(reader);
                reader = INVALID_HANDLE_VALUE;
            }
        }
        if (c.answered != nullptr)
            AnswerSecurity(c.answered);
        TestJob test({{"main.msi", 10, false}}, Chunk);

        ASSERT_TRUE(test.Pin(folder)) << GetLastError();
        // A file made anew may get the number of the one deleted before it: only the lock that was
        // taken over is told by its identity, a new one by the descriptor it was made with.
        FileIdentity lock{};
        ASSERT_TRUE(ReadFileIdentity(test.job.runLock, &lock));
        if (c.sameLock) {
            EXPECT_TRUE(SameFile(&lock, &left));
        }
        // S-1-5-18 SYSTEM, S-1-5-32-544 Administrators; 0x1f01ff full control; nothing inherited.
        if (c.sameLock) {
            EXPECT_EQ(MadeFileSecurity(), L"") << "nothing made";
        } else {
            EXPECT_EQ(testfiles::DescribeSecurity(MadeFileSecurity()),
                      "owner S-1-5-32-544, protected; type 0 flags 0 mask 0x1f01ff S-1-5-18; type 0 flags 0 mask "
                      "0x1f01ff S-1-5-32-544");
        }
        std::vector<std::string> names = FolderNames(folder);
        names.erase(std::remove(names.begin(), names.end(), "main.msi.partial"), names.end());
        EXPECT_EQ(names, c.namesWhileRunning);
        EXPECT_FALSE(OthersCanOpen(folder + "\\" + RunLockFileName, GENERIC_READ)) << "held unshared";
        if (reader != INVALID_HANDLE_VALUE)
            CloseHandle(reader);
    }
}

// The pin holds the folder that the launcher has held since it made or checked it, never what its
// path leads to by then. Another process (in a picked folder, the user's can) renames the folder
// away and puts an empty one in its place between the two: the files go into the held folder and
// the other one stays as it is. While that process also holds the folder with delete access, the
// pin fails with a sharing violation; then nothing is removed, the folder in the path's place
// least of all.
TEST(PinFolderAndOpenOutputFiles, PinsTheHeldFolderWhateverThePathLeadsTo)
{
    for (bool racerHoldsOn : {false, true}) {
        SCOPED_TRACE(racerHoldsOn ? "the other process holds on" : "the other process lets go");
        SeamScope seams;
        TempFolder root("repoint");
        std::string folder = MakeProductFolder(root);
        std::string moved = root / "moved";
        TestJob test({{"main.msi", 10, false}}, Chunk);
        test.job.productFolder = testfiles::HoldFolder(folder);
        ASSERT_NE(test.job.productFolder, INVALID_HANDLE_VALUE);
        HANDLE racer = INVALID_HANDLE_VALUE;
        bool repointed = false;
        BeforeCall(SeamCall::ReOpenFile, 0, [&] {
            racer = CreateFileA(folder.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
            repointed = racer != INVALID_HANDLE_VALUE && testfiles::RenameHeld(racer, moved) &&
                        CreateDirectoryA(folder.c_str(), nullptr);
            if (!racerHoldsOn && racer != INVALID_HANDLE_VALUE) {
                CloseHandle(racer);
                racer = INVALID_HANDLE_VALUE;
            }
        });

        BOOL pinned = test.Pin(folder);
        DWORD error = GetLastError();
        ASSERT_TRUE(repointed);
        if (!racerHoldsOn) {
            ASSERT_TRUE(pinned);
            EXPECT_EQ(FolderNames(moved), (std::vector<std::string>{RunLockFileName, "main.msi.partial"}));
        } else {
            EXPECT_FALSE(pinned);
            EXPECT_EQ(error, (DWORD)ERROR_SHARING_VIOLATION);
            // As the launcher does once its attempts in a folder that it made are over.
            CloseProductFolder(&test.job, TRUE);
            EXPECT_TRUE(Exists(moved)) << "held by the other process, it stays";
            CloseHandle(racer);
        }
        EXPECT_EQ(FolderNames(folder), std::vector<std::string>{}) << "the folder in the path's place is untouched";
        EXPECT_TRUE(Exists(folder));
        EXPECT_EQ(SeamFileRules().folderRemovalsByPath, 0u);
        EXPECT_EQ(SeamFileRules().changesUnpinned, 0u);
    }
}

// The installer is given the package's final path with its drive letter, which the Windows
// Installer keeps as the product's source. A folder that has no such path (on a share, on a
// volume without a letter: the seam answers as such a system would) or where the package's path
// would be MAX_PATH units or longer can't be used, and nothing is made in it.
TEST(PinFolderAndOpenOutputFiles, NeedsAPlainDrivePathForThePackage)
{
    TempFolder root("drivepath");
    std::string folder = MakeProductFolder(root);
    // "\\?\C:\" and as many characters as make the package's path (with "\main.msi") this long.
    auto answerFor = [](std::size_t packageUnits) { return L"\\\\?\\C:\\" + std::wstring(packageUnits - 3 - 9, L'x'); };
    const struct {
        const char *name;
        std::wstring answer; // empty: the system's own
        DWORD error;         // 0: usable
    } cases[] = {
        {"a plain drive path", L"", 0},
        {"the package's path one short of MAX_PATH", answerFor(MAX_PATH - 1), 0},
        {"the package's path MAX_PATH long", answerFor(MAX_PATH), ERROR_FILENAME_EXCED_RANGE},
        {"a share", L"\\\\?\\UNC\\server\\share\\{PRODUCT}", ERROR_BAD_PATHNAME},
        {"a volume without a letter", L"\\\\?\\Volume{6f1c7b2e-0d4a-4e1b-9c8d-2a3b4c5d6e7f}\\{PRODUCT}",
         ERROR_BAD_PATHNAME},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SeamScope seams;
        AnswerFinalPath(c.answer);
        TestJob test({{"main.msi", 10, false}}, Chunk);
        SetLastError(0);
        BOOL pinned = test.Pin(folder);
        EXPECT_EQ(pinned ? 0u : GetLastError(), c.error);
        if (!pinned) {
            EXPECT_EQ(FolderNames(folder), std::vector<std::string>{}) << "nothing made";
            continue;
        }
        ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
        ASSERT_TRUE(LockOutputFiles(&test.job));
        if (c.answer.empty()) {
            WCHAR path[MAX_PATH * 2];
            ASSERT_TRUE(GetPackagePath(&test.job, path, MAX_PATH * 2));
            EXPECT_EQ(CompareStringOrdinal(path, -1, testtools::Wide(folder + "\\main.msi").c_str(), -1, TRUE),
                      CSTR_EQUAL)
                << testtools::Utf8(path);
        }
        CloseOutputFileHandles(&test.job);
        FinishOutputFiles(&test.job, OutputFilesDeleted);
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    }
}

// In a picked folder a file found in place is never used as it is, not even with the verified
// content: a folder made elsewhere can hold files whose own rights let others write them once the
// run is over. It is replaced like any other. In the system's Installer folder an identical file
// is used as it is.
TEST(PinFolderAndOpenOutputFiles, ReplacesEveryFileFoundInAPickedFolder)
{
    for (bool picked : {false, true}) {
        SCOPED_TRACE(picked ? "picked folder" : "the system's Installer folder");
        SeamScope seams;
        TempFolder root("pickedreuse");
        std::string folder = MakeProductFolder(root);
        TestJob test({{"main.msi", 10, false}}, Chunk);
        testfiles::WriteAll(folder + "\\main.msi", test.contents[0]);
        FileIdentity found{};
        HANDLE file =
            CreateFileA((folder + "\\main.msi").c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_TRUE(ReadFileIdentity(file, &found));
        CloseHandle(file);
        test.job.pickedFolder = picked;

        ASSERT_TRUE(test.Pin(folder));
        EXPECT_EQ(test.records[0].kind, (DWORD)(picked ? OutputReplacing : OutputInPlace));
        ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
        ASSERT_TRUE(LockOutputFiles(&test.job));
        ASSERT_TRUE(VerifyOutputFiles(&test.job));
        FileIdentity locked{};
        ASSERT_TRUE(ReadFileIdentity(test.records[0].handle, &locked));
        EXPECT_EQ(SameFile(&locked, &found) != FALSE, !picked);
        CloseOutputFileHandles(&test.job);
        FinishOutputFiles(&test.job, OutputFilesKept);
        EXPECT_EQ(FolderNames(folder), std::vector<std::string>{"main.msi"});
        EXPECT_EQ(ReadAll(folder + "\\main.msi"), test.contents[0]);
    }
}

// One comparison of files for the whole launcher: the 128-bit file id where the system gives one,
// the volume serial and the 64-bit index where it does not (before Windows 8: the seam answers as
// those systems do). Two handles on one file are the same file and two files are not, either way;
// ids that differ only in their upper half (a 64-bit index is not unique on ReFS) are two files.
TEST(FileIdentity, TellsFilesApartWithAndWithoutTheLongId)
{
    TempFolder folder("identity");
    testfiles::WriteAll(folder / "a", {1});
    testfiles::WriteAll(folder / "b", {1});
    for (bool longIds : {true, false}) {
        SCOPED_TRACE(longIds ? "128-bit ids" : "before Windows 8");
        SeamScope seams;
        if (!longIds)
            WithoutFileIdInfo();
        HANDLE a1 = CreateFileA((folder / "a").c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr);
        HANDLE a2 = CreateFileA((folder / "a").c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr);
        HANDLE b = CreateFileA((folder / "b").c_str(), FILE_READ_ATTRIBUTES, 7, nullptr, OPEN_EXISTING, 0, nullptr);
        FileIdentity first{}, second{}, other{};
        ASSERT_TRUE(ReadFileIdentity(a1, &first));
        ASSERT_TRUE(ReadFileIdentity(a2, &second));
        ASSERT_TRUE(ReadFileIdentity(b, &other));
        EXPECT_TRUE(SameFile(&first, &second));
        EXPECT_FALSE(SameFile(&first, &other));

        BY_HANDLE_FILE_INFORMATION index;
        ASSERT_TRUE(GetFileInformationByHandle(a1, &index));
        FILE_ID_INFO id;
        ASSERT_TRUE(GetFileInformationByHandleEx(a1, FileIdInfo, &id, sizeof id));
        ULONGLONG shortId = ((ULONGLONG)index.nFileIndexHigh << 32) | index.nFileIndexLow;
        std::vector<BYTE> expected(16, 0);
        if (longIds)
            memcpy(expected.data(), &id.FileId, 16);
        else
            memcpy(expected.data(), &shortId, 8);
        EXPECT_EQ(std::vector<BYTE>(first.id, first.id + 16), expected);
        EXPECT_EQ(first.volume, longIds ? id.VolumeSerialNumber : index.dwVolumeSerialNumber);

        FileIdentity upperHalf = first;
        upperHalf.id[15] ^= 1;
        EXPECT_FALSE(SameFile(&first, &upperHalf));
        for (HANDLE handle : {a1, a2, b})
            CloseHandle(handle);
    }
}

// A write on a handle without write access really fails: the step reports 29, keeps the
// record current and goes on from where it stopped once writing works again.
TEST(ExtractionStepFailure, FailedWriteIsRetriedFromTheSameOffset)
{
    TempFolder folder("fail");
    TestJob test({{"main.msi", 3000, false}}, 1000);
    ASSERT_TRUE(test.Pin(folder.path()));
    DWORD progress = 0;
    ASSERT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_MORE_DATA);
    ASSERT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(test.records[0].written, 1000u);

    HANDLE writable = test.records[0].handle;
    HANDLE readOnly = CreateFileA((std::string(test.records[0].outputPath) + PartialNameSuffix).c_str(), GENERIC_READ,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(readOnly, INVALID_HANDLE_VALUE);
    test.records[0].handle = readOnly;
    EXPECT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_WRITE_FAULT);
    EXPECT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_WRITE_FAULT);
    EXPECT_EQ(test.records[0].written, 1000u);
    EXPECT_EQ(progress, 33u);
    EXPECT_EQ(test.job.current, 0);
    test.ExpectDataHeld(true); // a failed record keeps its data for the retry
    CloseHandle(readOnly);

    test.records[0].handle = writable;
    std::vector<Call> rest = RunToEnd(test, true);
    EXPECT_EQ(rest.size(), 3u) << "two writes, then the close that ends the job";
    EXPECT_EQ(rest.back().result, ERROR_SUCCESS);
    ASSERT_TRUE(LockOutputFiles(&test.job));
    EXPECT_EQ(ReadAll(folder / "main.msi"), test.contents[0]);
}

// Runs only under a file size limit (the test's ctest entry sets one): a write that crosses
// the limit reaches the file in part and fails; the step counts what arrived and the retry
// writes the rest from that offset.
TEST(ExtractionStepShortWrite, ShortWriteContinuesFromWhatArrived)
{
    const char *limitText = getenv("LAUNCHER_TEST_FILE_SIZE_LIMIT");
    ASSERT_NE(limitText, nullptr) << "run this test under a file size limit";
    DWORD limit = static_cast<DWORD>(strtoul(limitText, nullptr, 10));
    ASSERT_GT(limit, 0u);

    TempFolder folder("short");
    DWORD length = limit + limit / 2;
    TestJob test({{"disk1.cab", length, false}}, length);
    ASSERT_TRUE(test.Pin(folder.path()));
    DWORD progress = 0;
    ASSERT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_MORE_DATA);

    EXPECT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_WRITE_FAULT);
    EXPECT_EQ(test.records[0].written, limit) << "the bytes that reached the file are counted";
    EXPECT_EQ(progress, static_cast<DWORD>(100.0 * limit / length));
    std::vector<std::uint8_t> expectedHead(test.contents[0].begin(), test.contents[0].begin() + limit);
    EXPECT_EQ(ReadAll(folder / "disk1.cab.partial"), expectedHead);
    EXPECT_FALSE(Exists(folder / "disk1.cab")) << "a part of a file never has its name";

    // The limited file cannot grow; the rest goes to a fresh file, which shows where the retry
    // starts reading.
    CloseHandle(test.records[0].handle);
    test.records[0].handle = CreateFileA((folder / "rest.bin").c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(test.records[0].handle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(progress, 100u);
    EXPECT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_SUCCESS);
    std::vector<std::uint8_t> expectedRest(test.contents[0].begin() + limit, test.contents[0].end());
    EXPECT_EQ(ReadAll(folder / "rest.bin"), expectedRest);
}

} // namespace
