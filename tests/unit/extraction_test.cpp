#include "payload/extraction.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "payload/inflate.h"
#include "tests/unit/win32_test_files.h"

using testfiles::Exists;
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
        for (auto &record : records) {
            if (record.handle != nullptr)
                CloseHandle(record.handle);
            FreeItemOutput(record.data);
        }
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
    ASSERT_TRUE(OpenOutputFiles(&test.job, folder.path().c_str()));
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
        EXPECT_EQ(test.records[i].handle, nullptr) << "every handle is closed when the job is done";
        EXPECT_EQ(test.records[i].written, c.files[i].length);
        EXPECT_EQ(ReadAll(folder / c.files[i].name), test.contents[i]);
    }
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

TEST(OpenOutputFiles, OpensNewFilesAndUsesAnIdenticalFileFromAnEarlierRun)
{
    TempFolder folder("open");
    TestJob test({{"main.msi", 10, false}, {"a.cab", 10, true}}, Chunk);
    testfiles::WriteAll(folder / "a.cab", test.contents[1]);

    ASSERT_TRUE(OpenOutputFiles(&test.job, folder.path().c_str()));
    EXPECT_EQ(std::string(test.records[0].outputPath), folder / "main.msi");
    EXPECT_EQ(std::string(test.records[1].outputPath), folder / "a.cab");
    EXPECT_NE(test.records[0].handle, nullptr);
    EXPECT_EQ(test.records[1].handle, nullptr);
    EXPECT_EQ(ReadAll(folder / "a.cab"), test.contents[1]);
}

// A file in place that is not the verified content (planted, damaged or from another product
// version) is never used: it is deleted and the verified content written in its place. The
// replacement counts as created by this attempt, so a roll-back removes it.
TEST(OpenOutputFiles, ReplacesAFileInPlaceWithOtherContent)
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
        TempFolder root("planted");
        std::string folder = root / "{PRODUCT}";
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        TestJob test({{"a.cab", 10, false},
                      {"main.msi", 10, true},
                      {planted.laterRecordFails ? "missing\\c.cab" : "c.cab", 10, false}},
                     Chunk);
        testfiles::WriteAll(folder + "\\main.msi", planted.content);

        if (planted.laterRecordFails) {
            EXPECT_FALSE(OpenOutputFiles(&test.job, folder.c_str()));
            EXPECT_FALSE(Exists(folder + "\\main.msi")) << "the replacement is rolled back with the rest";
            EXPECT_FALSE(Exists(folder));
            continue;
        }
        ASSERT_TRUE(OpenOutputFiles(&test.job, folder.c_str()));
        EXPECT_NE(test.records[1].handle, nullptr) << "written afresh";
        ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
        for (std::size_t i = 0; i < test.records.size(); i++)
            EXPECT_EQ(ReadAll(test.records[i].outputPath), test.contents[i]);
    }
}

// What cannot be deleted fails the attempt and stays as it was: a folder of that name, or a
// file that another process holds open without sharing deletion.
TEST(OpenOutputFiles, RefusesWhatCannotBeDeleted)
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

        EXPECT_FALSE(OpenOutputFiles(&test.job, folder.path().c_str()));
        EXPECT_FALSE(Exists(folder / "a.cab"));
        if (held != INVALID_HANDLE_VALUE) {
            CloseHandle(held);
            EXPECT_EQ(ReadAll(folder / "main.msi"), Pattern(5, 1));
        } else {
            EXPECT_TRUE(Exists(folder / "main.msi"));
        }
    }
}

// One file named twice (a cabinet listed twice for the package, or two names that differ only
// in letter case) is opened and written once; the second record is passed over.
TEST(OpenOutputFiles, OpensAFileNamedTwiceOnce)
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
        test.records[2].data = test.contents[2].data();
        if (c.firstInPlace)
            testfiles::WriteAll(folder / c.first, test.contents[1]);

        ASSERT_TRUE(OpenOutputFiles(&test.job, folder.path().c_str()));
        EXPECT_EQ(test.records[1].handle != nullptr, !c.firstInPlace);
        EXPECT_EQ(test.records[2].handle, nullptr);
        std::vector<Call> calls = RunToEnd(test, false);
        ASSERT_EQ(calls.back().result, ERROR_SUCCESS);
        EXPECT_EQ(ReadAll(folder / c.first), test.contents[1]);
    }
}

// Files land only in a real folder, never through a junction or a symbolic link to another.
TEST(OpenOutputFiles, RefusesAnExtractionFolderThatIsAReparsePoint)
{
    TempFolder root("reparse");
    std::string target = root / "elsewhere";
    std::string link = root / "{PRODUCT}";
    ASSERT_TRUE(CreateDirectoryA(target.c_str(), nullptr));
    ASSERT_TRUE(testfiles::MakeFolderLink(link, target));
    ASSERT_NE(GetFileAttributesA(link.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT, 0u);

    TestJob test({{"main.msi", 10, false}}, Chunk);
    EXPECT_FALSE(OpenOutputFiles(&test.job, link.c_str()));
    EXPECT_EQ(test.records[0].handle, nullptr);
    EXPECT_FALSE(Exists(target + "\\main.msi"));
    EXPECT_TRUE(Exists(link)) << "a folder not made by this attempt is left alone";
}

// While the installer runs, nobody may change what it reads: opening for writing or deleting,
// renaming and deleting are refused; reading is not.
TEST(LockOutputFiles, RefusesWritersAndDeletersUntilUnlocked)
{
    TempFolder folder("lock");
    TestJob test({{"main.msi", 10, false}, {"disk1.cab", 10, true}, {"DISK1.CAB", 10, false}}, Chunk);
    testfiles::WriteAll(folder / "disk1.cab", test.contents[1]);
    ASSERT_TRUE(OpenOutputFiles(&test.job, folder.path().c_str()));
    ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);

    ASSERT_TRUE(LockOutputFiles(&test.job));
    test.ExpectDataHeld(false);
    const DWORD shareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    for (const char *name : {"main.msi", "disk1.cab"}) {
        SCOPED_TRACE(name);
        std::string path = folder / name;
        for (DWORD access : {(DWORD)GENERIC_WRITE, (DWORD)DELETE}) {
            HANDLE other = CreateFileA(path.c_str(), access, shareAll, nullptr, OPEN_EXISTING, 0, nullptr);
            EXPECT_EQ(other, INVALID_HANDLE_VALUE) << "access " << std::hex << access;
            if (other != INVALID_HANDLE_VALUE)
                CloseHandle(other);
        }
        EXPECT_FALSE(DeleteFileA(path.c_str()));
        EXPECT_FALSE(MoveFileA(path.c_str(), (path + ".moved").c_str()));
        HANDLE reader = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(reader, INVALID_HANDLE_VALUE) << "the installer can read";
        CloseHandle(reader);
    }

    UnlockOutputFiles(&test.job);
    for (const auto &record : test.records)
        EXPECT_EQ(record.handle, nullptr);
    EXPECT_TRUE(DeleteFileA((folder / "main.msi").c_str()));
}

// Another process changed a file after it was written and closed, before the lock: the lock's
// own read of the content refuses it, whatever was changed.
TEST(LockOutputFiles, RefusesAFileChangedBeforeTheLock)
{
    const struct {
        const char *name;
        std::vector<std::uint8_t> (*change)(std::vector<std::uint8_t>);
    } cases[] = {
        {"one byte",
         [](std::vector<std::uint8_t> bytes) {
             bytes[bytes.size() / 2] ^= 1;
             return bytes;
         }},
        {"cut short",
         [](std::vector<std::uint8_t> bytes) {
             bytes.pop_back();
             return bytes;
         }},
        {"grown",
         [](std::vector<std::uint8_t> bytes) {
             bytes.push_back(0);
             return bytes;
         }},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder folder("lockchanged");
        TestJob test({{"main.msi", 100000, false}, {"disk1.cab", 10, false}}, Chunk);
        ASSERT_TRUE(OpenOutputFiles(&test.job, folder.path().c_str()));
        ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
        testfiles::WriteAll(folder / "main.msi", c.change(test.contents[0]));

        EXPECT_FALSE(LockOutputFiles(&test.job));
        EXPECT_EQ(GetLastError(), (DWORD)ERROR_FILE_CORRUPT);
        test.ExpectDataHeld(true);
        UnlockOutputFiles(&test.job);
    }
}

TEST(LockOutputFiles, FailsWhileAnotherProcessHoldsAFileForWriting)
{
    TempFolder folder("lockheld");
    TestJob test({{"main.msi", 10, false}}, Chunk);
    ASSERT_TRUE(OpenOutputFiles(&test.job, folder.path().c_str()));
    ASSERT_EQ(RunToEnd(test, false).back().result, ERROR_SUCCESS);
    HANDLE writer = CreateFileA((folder / "main.msi").c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(LockOutputFiles(&test.job));
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_SHARING_VIOLATION);
    CloseHandle(writer);
}

struct RollBackCase {
    const char *name;
    bool folderHoldsOldFile; // a file that was there before this run
    std::string failingName; // the last record, which cannot be created
};

class OpenOutputFilesRollBack : public testing::TestWithParam<RollBackCase> {};

TEST_P(OpenOutputFilesRollBack, RemovesOnlyWhatThisRunCreated)
{
    const RollBackCase &c = GetParam();
    TempFolder root("rollback");
    std::string folder = root / "{PRODUCT}";
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    TestJob test({{"main.msi", 10, false}, {"old.cab", 3, true}, {c.failingName.c_str(), 10, false}}, Chunk);
    const std::vector<std::uint8_t> old = test.contents[1];
    if (c.folderHoldsOldFile)
        testfiles::WriteAll(folder + "\\old.cab", old);
    EXPECT_FALSE(OpenOutputFiles(&test.job, folder.c_str()));

    EXPECT_FALSE(Exists(folder + "\\main.msi"));
    for (const auto &record : test.records) {
        EXPECT_EQ(record.handle, nullptr);
        EXPECT_EQ(record.written, 0u);
        EXPECT_STREQ(record.outputPath, "");
    }
    if (c.folderHoldsOldFile) {
        EXPECT_EQ(ReadAll(folder + "\\old.cab"), old) << "a file found in place is never touched";
        EXPECT_TRUE(Exists(folder));
    } else {
        EXPECT_FALSE(Exists(folder)) << "the emptied folder is removed";
    }
}

INSTANTIATE_TEST_SUITE_P(Failures, OpenOutputFilesRollBack,
                         testing::Values(RollBackCase{"CannotCreate", false, "missing\\c.cab"},
                                         RollBackCase{"CannotCreateBesideOldFile", true, "missing\\c.cab"},
                                         // A path over 260 characters counts as one that can't be created.
                                         RollBackCase{"PathTooLong", false, std::string(250, 'x')}),
                         [](const testing::TestParamInfo<RollBackCase> &info) { return std::string(info.param.name); });

// A write on a handle without write access really fails: the step reports 29, keeps the
// record current and goes on from where it stopped once writing works again.
TEST(ExtractionStepFailure, FailedWriteIsRetriedFromTheSameOffset)
{
    TempFolder folder("fail");
    TestJob test({{"main.msi", 3000, false}}, 1000);
    ASSERT_TRUE(OpenOutputFiles(&test.job, folder.path().c_str()));
    DWORD progress = 0;
    ASSERT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_MORE_DATA);
    ASSERT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_MORE_DATA);
    EXPECT_EQ(test.records[0].written, 1000u);

    HANDLE writable = test.records[0].handle;
    HANDLE readOnly = CreateFileA(test.records[0].outputPath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
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
    ASSERT_TRUE(OpenOutputFiles(&test.job, folder.path().c_str()));
    DWORD progress = 0;
    ASSERT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_MORE_DATA);

    EXPECT_EQ(ExtractionStep(&test.job, &progress), (DWORD)ERROR_WRITE_FAULT);
    EXPECT_EQ(test.records[0].written, limit) << "the bytes that reached the file are counted";
    EXPECT_EQ(progress, static_cast<DWORD>(100.0 * limit / length));
    std::vector<std::uint8_t> expectedHead(test.contents[0].begin(), test.contents[0].begin() + limit);
    EXPECT_EQ(ReadAll(folder / "disk1.cab"), expectedHead);

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
