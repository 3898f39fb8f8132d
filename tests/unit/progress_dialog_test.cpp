#include "ui/progress_dialog.h"

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "launcher/error_value.h"
#include "launcher/launcher_state.h"
#include "payload/extraction.h"
#include "payload/file_name_rule.h"
#include "payload/inflate.h"
#include "tests/seam/fault_control.h"
#include "tests/unit/win32_test_files.h"
#include "ui/taskbar_progress.h"

using testfiles::Pattern;
using testfiles::ReadAll;
using testfiles::TempFolder;

#include "tests/unit/taskbar_recorder.h"

namespace {

const char ClassName[] = "MSI_STUB_WINDOW_CLASS_NAME";
const char FaceName[] = "MS Sans Serif";

std::vector<std::uint8_t> Utf16z(const std::string &ascii)
{
    std::vector<std::uint8_t> bytes;
    for (char c : ascii) {
        bytes.push_back(static_cast<std::uint8_t>(c));
        bytes.push_back(0);
    }
    bytes.push_back(0);
    bytes.push_back(0);
    return bytes;
}

// The template as laid out by hand: DLGTEMPLATE, no menu, class, caption, point size, face.
std::vector<std::uint8_t> ExpectedTemplate(const std::string &className, const std::string &caption,
                                           const std::string &faceName)
{
    std::vector<std::uint8_t> bytes = {
        0xC0, 0x08, 0xC8, 0x80, // WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_MODALFRAME | DS_SETFONT
        0x00, 0x00, 0x00, 0x00, // extended style
        0x00, 0x00,             // no items
        0x00, 0x00, 0x00, 0x00, // x, y
        0xB4, 0x00, 0x28, 0x00, // 180 x 40 dialog units
        0x00, 0x00,             // no menu
    };
    for (const auto &part : {Utf16z(className), Utf16z(caption)})
        bytes.insert(bytes.end(), part.begin(), part.end());
    bytes.push_back(10); // point size
    bytes.push_back(0);
    std::vector<std::uint8_t> face = Utf16z(faceName);
    bytes.insert(bytes.end(), face.begin(), face.end());
    return bytes;
}

std::vector<std::uint8_t> BuiltTemplate(const std::string &caption, SIZE_T *size)
{
    HGLOBAL block = BuildProgressDialogTemplate(ClassName, caption.c_str(), FaceName, size);
    if (block == nullptr)
        return {};
    const std::uint8_t *bytes = static_cast<const std::uint8_t *>(GlobalLock(block));
    std::vector<std::uint8_t> copy(bytes, bytes + *size);
    GlobalUnlock(block);
    GlobalFree(block);
    return copy;
}

struct TemplateCase {
    const char *name;
    std::string caption;
    std::string expectedCaption; // as it lands in the template
};

class ProgressDialogTemplate : public testing::TestWithParam<TemplateCase> {};

TEST_P(ProgressDialogTemplate, MatchesTheLayoutByteForByte)
{
    const TemplateCase &c = GetParam();
    SIZE_T size = 0;
    std::vector<std::uint8_t> built = BuiltTemplate(c.caption, &size);
    ASSERT_EQ(size, 28 + 2 * (strlen(ClassName) + c.caption.size() + strlen(FaceName)));

    std::vector<std::uint8_t> expected = ExpectedTemplate(ClassName, c.expectedCaption, FaceName);
    ASSERT_LE(expected.size(), built.size());
    EXPECT_EQ(std::vector<std::uint8_t>(built.begin(), built.begin() + expected.size()), expected);
    EXPECT_EQ(std::vector<std::uint8_t>(built.begin() + expected.size(), built.end()),
              std::vector<std::uint8_t>(built.size() - expected.size(), 0))
        << "the rest of the block stays zero";
}

INSTANTIATE_TEST_SUITE_P(
    Captions, ProgressDialogTemplate,
    testing::Values(TemplateCase{"Short", "Contoso App", "Contoso App"}, TemplateCase{"Empty", "", ""},
                    // 49 characters and the terminator fill the field exactly.
                    TemplateCase{"FortyNine", std::string(49, 'N'), std::string(49, 'N')},
                    // Longer captions are cut so that the fields behind stay intact.
                    TemplateCase{"Fifty", std::string(50, 'F'), std::string(49, 'F')},
                    TemplateCase{"ProductNameLength", std::string(255, 'L'), std::string(49, 'L')}),
    [](const testing::TestParamInfo<TemplateCase> &info) { return std::string(info.param.name); });

TEST(ProgressDialogTemplate, FailedAllocationGivesNoTemplateAndNoDialog)
{
    SeamScope seams;
    FailCall(SeamCall::GlobalAlloc, 0, 2, ERROR_NOT_ENOUGH_MEMORY);
    SIZE_T size = 0;
    EXPECT_EQ(BuildProgressDialogTemplate(ClassName, "x", FaceName, &size), nullptr);
    ExtractionJob job{};
    job.current = -1;
    EXPECT_EQ(RunProgressDialog(&job, ClassName, "x", FaceName), -1);
}

struct DialogJob {
    TempFolder folder{"dialog"};
    std::vector<std::vector<std::uint8_t>> contents;
    std::vector<FileRecord> records;
    ExtractionJob job{};

    DialogJob(std::vector<DWORD> lengths, DWORD chunkSize)
    {
        records.resize(lengths.size());
        for (std::size_t i = 0; i < lengths.size(); i++) {
            contents.push_back(Pattern(lengths[i], static_cast<unsigned>(i)));
            memset(&records[i], 0, sizeof records[i]);
            snprintf(records[i].name, sizeof records[i].name, "file%u.bin", static_cast<unsigned>(i));
            // Item outputs, as the selection makes them.
            records[i].data = AllocateItemOutput(lengths[i]);
            if (records[i].data == nullptr)
                throw std::runtime_error("cannot allocate a record's data");
            memcpy(records[i].data, contents[i].data(), lengths[i]);
            records[i].length = lengths[i];
        }
        job.items = records.data();
        job.count = static_cast<int>(records.size());
        job.current = -1;
        job.chunkSize = chunkSize;
        job.productFolder = testfiles::HoldFolder(folder.path());
        if (job.productFolder == INVALID_HANDLE_VALUE || !PinFolderAndOpenOutputFiles(&job, folder.path().c_str()))
            throw std::runtime_error("cannot open the output files");
    }
    ~DialogJob()
    {
        CloseOutputFiles(&job);
        for (auto &record : records)
            FreeItemOutput(record.data);
    }

    // Where a record's file is while it is written: it gets its name once it is locked.
    std::string WrittenPath(std::size_t index) const
    {
        return std::string(records[index].outputPath) + PartialNameSuffix;
    }

    // Replaces a record's handle by one without write access, so that its writes really fail.
    HANDLE MakeReadOnly(int index)
    {
        HANDLE writable = records[index].handle;
        records[index].handle = CreateFileA(WrittenPath(index).c_str(), GENERIC_READ,
                                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        return writable;
    }
};

class ProgressDialogRun : public testing::Test {
  protected:
    void SetUp() override
    {
        InitCommonControls();
        launcherInstance = GetModuleHandleA(nullptr);
        taskbarProgress = &taskbarrecorder::object;
        taskbarrecorder::Reset();
    }
    void TearDown() override { taskbarProgress = nullptr; }
};

TEST_F(ProgressDialogRun, RunsStepsInBatchesAndEndsWithOne)
{
    // Start, three pieces, next file, two pieces, done: eight steps, a few microseconds each.
    DialogJob files({3000, 2000}, 1000);
    SeamScope seams;
    EXPECT_EQ(RunProgressDialog(&files.job, ClassName, "Contoso App", FaceName), 1);

    EXPECT_EQ(taskbarrecorder::snapshot.className, ClassName);
    EXPECT_EQ(taskbarrecorder::snapshot.caption, "Contoso App");
    EXPECT_EQ(taskbarrecorder::snapshot.barClassName, "msctls_progress32");
    EXPECT_EQ(taskbarrecorder::snapshot.barLow, 0);
    EXPECT_EQ(taskbarrecorder::snapshot.barHigh, 100);
    EXPECT_EQ(taskbarrecorder::calls, (std::vector<std::string>{"window", "on", "total 100"}));
    // The initial 0, then one value per tick: several steps share a tick.
    const std::vector<ULONGLONG> &values = taskbarrecorder::completedValues;
    ASSERT_GE(values.size(), 2u);
    EXPECT_EQ(values.front(), 0u);
    EXPECT_EQ(values.back(), 100u);
    EXPECT_LT(values.size() - 1, 8u) << "ticks, against eight steps";
    EXPECT_EQ(SeamCallCount(SeamCall::WriteFile), 5u);
    for (std::size_t i = 0; i < files.records.size(); i++) {
        EXPECT_EQ(ReadAll(files.WrittenPath(i)), files.contents[i]);
        EXPECT_NE(files.records[i].data, nullptr) << "the data stays until the files are locked and checked";
    }
}

// A job of many steps is spread over many ticks: with a clock that moves one millisecond per
// reading, a tick runs at most a frame's worth of steps, and the bar shows the file's percentage
// as it grows.
TEST_F(ProgressDialogRun, LongJobSpreadsOverTicksOfAboutOneFrame)
{
    DialogJob files({64u << 10}, 64);
    SeamScope seams;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    StepSeamClock(frequency.QuadPart / 1000);
    EXPECT_EQ(RunProgressDialog(&files.job, ClassName, "Long Job", FaceName), 1);

    const std::vector<ULONGLONG> &values = taskbarrecorder::completedValues;
    std::size_t ticks = values.size() - 1;
    unsigned writes = SeamCallCount(SeamCall::WriteFile);
    EXPECT_EQ(writes, 1024u);
    // Each step after the first reads the clock once; a tick ends once 15 ms have passed.
    EXPECT_GE(ticks, (writes + 14) / 15) << writes << " writes in " << ticks << " ticks";
    EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << "one file: the bar only grows";
    EXPECT_TRUE(std::any_of(values.begin(), values.end(), [](ULONGLONG v) { return v > 0 && v < 100; }));
    EXPECT_EQ(values.back(), 100u);
    EXPECT_EQ(ReadAll(files.WrittenPath(0)), files.contents[0]);
}

// While nothing waits in the queue, each batch follows the one before at once. A batch started
// by the timer comes a timer period (USER_TIMER_MINIMUM, 10 ms) after the one before at the
// least: with the clock moving a millisecond per reading, the 200 batches of 15 steps between the
// first write and the last would take two seconds that way.
TEST_F(ProgressDialogRun, BatchesFollowEachOtherWithoutWaitingForATimer)
{
    const unsigned writes = 3000;
    DialogJob files({writes * 64}, 64);
    SeamScope seams;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    StepSeamClock(frequency.QuadPart / 1000);
    ULONGLONG firstWrite = 0, lastWrite = 0;
    BeforeCall(SeamCall::WriteFile, 0, [&] {
        firstWrite = GetTickCount64();
        BeforeCall(SeamCall::WriteFile, writes - 2, [&] { lastWrite = GetTickCount64(); });
    });
    EXPECT_EQ(RunProgressDialog(&files.job, ClassName, "Quick Batches", FaceName), 1);

    std::size_t batches = taskbarrecorder::completedValues.size() - 1;
    ASSERT_GE(batches, 150u);
    ASSERT_NE(lastWrite, 0u);
    EXPECT_LT(lastWrite - firstWrite, (batches - 1) * USER_TIMER_MINIMUM)
        << batches << " batches in " << lastWrite - firstWrite << " ms";
    EXPECT_EQ(ReadAll(files.WrittenPath(0)), files.contents[0]);
}

TEST_F(ProgressDialogRun, RunsAgainWithTheClassRegisteredBefore)
{
    for (int run = 0; run < 2; run++) {
        SCOPED_TRACE(run);
        DialogJob files({10}, 1000);
        EXPECT_EQ(RunProgressDialog(&files.job, ClassName, "Again", FaceName), 1);
        EXPECT_EQ(taskbarrecorder::snapshot.className, ClassName);
    }
}

// Watches for the Retry/Cancel box over the dialog, as a user would see it.
struct BoxWatcher {
    std::string caption;
    std::string text;
    bool dialogSurvivedCloseAttempts = false;
    std::atomic<bool> found{false};

    HWND WaitForBox()
    {
        for (int i = 0; i < 1000; i++) {
            HWND box = FindWindowA("#32770", caption.c_str());
            if (box != nullptr)
                return box;
            Sleep(10);
        }
        return nullptr;
    }
    HWND Read(HWND box)
    {
        char buffer[1024] = {};
        GetDlgItemTextA(box, 0xFFFF, buffer, sizeof buffer);
        text = buffer;
        found = true;
        return box;
    }
};

TEST_F(ProgressDialogRun, FailedWriteAsksAndCancelEndsWithTwo)
{
    DialogJob files({3000}, 1000);
    HANDLE writable = files.MakeReadOnly(0);
    CloseHandle(writable);

    SeamScope seams;
    BoxWatcher watcher;
    watcher.caption = "Failing Product";
    unsigned writesBeforeBox = 0;
    std::thread user([&] {
        HWND box = watcher.WaitForBox();
        if (box == nullptr)
            return;
        watcher.Read(box);
        writesBeforeBox = SeamCallCount(SeamCall::WriteFile);
        HWND dialog = FindWindowA(ClassName, "Failing Product");
        // Escape, Alt+F4 and the close command do not end the dialog.
        PostMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 0), 0);
        PostMessageA(dialog, WM_SYSCOMMAND, SC_CLOSE, 0);
        PostMessageA(dialog, WM_CLOSE, 0, 0);
        Sleep(300);
        watcher.dialogSurvivedCloseAttempts = IsWindow(dialog) && FindWindowA("#32770", "Failing Product") == box;
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), (LPARAM)GetDlgItem(box, IDCANCEL));
    });
    INT_PTR result = RunProgressDialog(&files.job, ClassName, "Failing Product", FaceName);
    user.join();

    EXPECT_EQ(result, 2);
    ASSERT_TRUE(watcher.found);
    char expected[1024];
    FormatErrorText(ERROR_WRITE_FAULT, expected, sizeof expected, files.records[0].outputPath);
    EXPECT_EQ(watcher.text, expected);
    EXPECT_TRUE(watcher.dialogSurvivedCloseAttempts);
    EXPECT_EQ(writesBeforeBox, 1u) << "the failed write ends the batch";
    EXPECT_EQ(SeamCallCount(SeamCall::WriteFile), 1u);
    EXPECT_EQ(taskbarrecorder::completedValues.back(), 0u) << "the bar shows how far the file got";
    EXPECT_NE(files.records[0].data, nullptr) << "an unfinished file keeps its data";
}

// With a quiet switch nobody would answer a box: the first failed write ends the dialog as Cancel.
TEST_F(ProgressDialogRun, UnattendedFailedWriteEndsWithTwoAndAsksNobody)
{
    DialogJob files({3000}, 1000);
    HANDLE writable = files.MakeReadOnly(0);
    CloseHandle(writable);
    files.job.unattended = 1;

    SeamScope seams;
    AnswerDialogs(IDCANCEL); // a box, if one came, would not wait
    INT_PTR result = RunProgressDialog(&files.job, ClassName, "Quiet Product", FaceName);

    EXPECT_EQ(result, 2);
    EXPECT_EQ(SeamCallCount(SeamCall::MessageBoxA), 0u);
    EXPECT_EQ(SeamCallCount(SeamCall::WriteFile), 1u);
}

TEST_F(ProgressDialogRun, RetryContinuesTheFileWhereItStopped)
{
    DialogJob files({2500}, 1000);
    // The first piece goes through; then writing fails until the user fixes it and retries.
    DWORD progress = 0;
    ASSERT_EQ(ExtractionStep(&files.job, &progress), (DWORD)ERROR_MORE_DATA);
    ASSERT_EQ(ExtractionStep(&files.job, &progress), (DWORD)ERROR_MORE_DATA);
    HANDLE writable = files.MakeReadOnly(0);

    SeamScope seams;
    BoxWatcher watcher;
    watcher.caption = "Retry Product";
    unsigned writesBeforeBox = 0;
    DWORD writtenBeforeBox = 0;
    bool dataKept = false;
    std::thread user([&] {
        HWND box = watcher.WaitForBox();
        if (box == nullptr)
            return;
        watcher.Read(box);
        // The dialog's thread waits in the box: the job is safe to touch.
        writesBeforeBox = SeamCallCount(SeamCall::WriteFile);
        writtenBeforeBox = files.records[0].written;
        dataKept = files.records[0].data != nullptr;
        CloseHandle(files.records[0].handle);
        files.records[0].handle = writable;
        PostMessageA(box, WM_COMMAND, MAKEWPARAM(IDRETRY, BN_CLICKED), (LPARAM)GetDlgItem(box, IDRETRY));
    });
    INT_PTR result = RunProgressDialog(&files.job, ClassName, "Retry Product", FaceName);
    user.join();

    EXPECT_EQ(result, 1);
    EXPECT_TRUE(watcher.found);
    EXPECT_EQ(writesBeforeBox, 1u) << "the failed write ends the batch";
    EXPECT_EQ(writtenBeforeBox, 1000u);
    EXPECT_TRUE(dataKept) << "a failed file keeps its data for the retry";
    // The retry writes the remaining 1500 bytes from the recorded count, in two pieces.
    EXPECT_EQ(SeamCallCount(SeamCall::WriteFile), 3u);
    EXPECT_EQ(ReadAll(files.WrittenPath(0)), files.contents[0]);
}

} // namespace
