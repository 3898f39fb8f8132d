// The main routine's phases called one by one in this process, with the platform failures that
// can't be brought about from outside (failed allocations, short reads, no module path) made by
// the test seam.
#include "launcher/launcher_state.h"
#include "launcher/main_flow.h"
#include "launcher/own_file.h"
#include "tests/seam/fault_control.h"
#include "tests/tools/process_tools.h"
#include "tests/tools/wide_text.h"
#include "tests/unit/win32_test_files.h"
#include "ui/taskbar_progress.h"
#include "writer/container_writer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using testtools::Wide;

const writer::DirectoryEntry IntelPackage{1000, "Intel\\1033\\{0C1D2E3F-4A5B-4C6D-8E7F-0123456789AB}\\Sample"};

// A file that is no executable, so that the locator finds nothing and the whole image is the
// container: some leading bytes, then the items.
std::string WriteOwnFile(const std::string &path, const std::vector<writer::DirectoryEntry> &entries)
{
    writer::PrivateKey key = writer::LoadPrivateKey(
        testtools::WindowsPathOfUnixPath(TEST_SOURCE_DIR "/tests/keys/TEST-ONLY-payload-signing-key.pem"));
    std::vector<writer::ContainerItem> items{{writer::ItemKind::Head, 0, writer::WriteDirectory(entries)}};
    for (const writer::DirectoryEntry &entry : entries)
        items.push_back({writer::ItemKind::File, entry.id, writer::Bytes(1000, static_cast<std::uint8_t>(entry.id))});
    writer::Bytes image(100, 'x');
    writer::Bytes container = writer::WriteContainer(items, writer::ContainerOptions(), key.get());
    image.insert(image.end(), container.begin(), container.end());
    testfiles::WriteAll(path, image);
    return path;
}

class MainFlowTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ResetSeams();
        ZeroMemory(&launcherState, sizeof launcherState);
        launcherState.lcid = 1033;
        launcherState.is64Bit = 1;
        launcherState.showProgress = 1;
        ZeroMemory(&run, sizeof run);
    }
    void TearDown() override
    {
        ResetSeams();
        FreePayloadDescriptors(&launcherState);
        if (run.ownPath != nullptr)
            LocalFree(run.ownPath);
    }

    testfiles::TempFolder folder{"main_flow"};
    static RunState run;
};

RunState MainFlowTest::run;

TEST_F(MainFlowTest, ReadsItsOwnFileAsOneContainerHeldOnce)
{
    std::string path = WriteOwnFile(folder / "own.bin", {IntelPackage});
    ErrorValue outcome = ReadOwnFile(Wide(path).c_str());
    EXPECT_EQ(ErrorValueCode(outcome), 0u);
    // The file buffer, which the descriptor keeps, and the descriptor list: no copy of the file.
    EXPECT_EQ(SeamCallCount(SeamCall::LocalAlloc), 2u);
    ASSERT_EQ(launcherState.payloadCount, 1u);
    const PayloadDescriptor &payload = launcherState.payloads[0];
    EXPECT_EQ(payload.flags, 3u);
    EXPECT_EQ(writer::Bytes(payload.image, payload.image + payload.imageSize), testfiles::ReadAll(path));
    writer::Bytes directory = writer::WriteDirectory({IntelPackage});
    ASSERT_EQ(payload.directorySize, directory.size());
    EXPECT_EQ(writer::Bytes(payload.directory, payload.directory + payload.directorySize), directory);
}

TEST_F(MainFlowTest, ReadingTheOwnFileFailsAtEachSite)
{
    std::string path = WriteOwnFile(folder / "own.bin", {IntelPackage});

    // How many allocations a good run makes: the file buffer, ... and last the descriptor list.
    ReadOwnFile(Wide(path).c_str());
    unsigned allocations = SeamCallCount(SeamCall::LocalAlloc);
    ASSERT_GE(allocations, 2u);
    FreePayloadDescriptors(&launcherState);

    const struct {
        const char *name;
        SeamCall call;
        unsigned succeedFirst;
        DWORD lastError;
        ErrorValue outcome;
    } cases[] = {
        {"file buffer", SeamCall::LocalAlloc, 0, ERROR_OUTOFMEMORY, MakeFixedErrorValue(ERROR_OUTOFMEMORY, 2030)},
        {"file buffer, no last error", SeamCall::LocalAlloc, 0, 0, MakeFixedErrorValue(ERROR_NOT_ENOUGH_MEMORY, 2030)},
        {"descriptor list", SeamCall::LocalAlloc, allocations - 1, ERROR_OUTOFMEMORY,
         MakeFixedErrorValue(ERROR_OUTOFMEMORY, 2001)},
        {"short read", SeamCall::ReadFile, 0, 0, MakeFixedErrorValue(ERROR_READ_FAULT, 2023)},
        {"failed read", SeamCall::ReadFile, 0, ERROR_CRC, MakeFixedErrorValue(ERROR_READ_FAULT, 2023)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SeamScope seams;
        FailCall(c.call, c.succeedFirst, 1, c.lastError);
        EXPECT_EQ(ReadOwnFile(Wide(path).c_str()), c.outcome);
        EXPECT_EQ(launcherState.payloadCount, 0u);
        EXPECT_EQ(launcherState.payloads, nullptr);
    }
}

TEST_F(MainFlowTest, ReadingFailsForWhatIsNoReadableFile)
{
    std::string missing = folder / "missing.bin";
    EXPECT_EQ(ReadOwnFile(Wide(missing).c_str()), MakeFixedErrorValue(ERROR_FILE_NOT_FOUND, 2042));

    // A pipe opens like a file but has no size.
    const char pipeName[] = "\\\\.\\pipe\\launcher-main-flow-test";
    HANDLE server = CreateNamedPipeA(pipeName, PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    EXPECT_EQ(ReadOwnFile(Wide(pipeName).c_str()), MakeFixedErrorValue(ERROR_SEEK_ON_DEVICE, 2035));
    CloseHandle(server);
    EXPECT_EQ(launcherState.payloadCount, 0u);
}

// A download name outside the ANSI code page: its best-fit form names another file, which must
// not be the one read.
TEST_F(MainFlowTest, ReadsTheOwnFileByItsUtf16NameNotALookAlike)
{
    std::string lookAlike = WriteOwnFile(folder / "setup_1.exe", {IntelPackage});
    std::vector<std::uint8_t> other = testfiles::ReadAll(lookAlike);
    other.resize(other.size() - 40); // its last item is cut
    testfiles::WriteAll(lookAlike, other);
    std::string staged = WriteOwnFile(folder / "staged.exe", {IntelPackage});
    std::wstring own = Wide(folder.path()) + L"\\setup\xFF3F"
                                             L"1.exe";
    ASSERT_TRUE(MoveFileW(Wide(staged).c_str(), own.c_str()));

    EXPECT_EQ(ErrorValueCode(ReadOwnFile(own.c_str())), 0u);
    EXPECT_EQ(launcherState.payloadCount, 1u);
    FreePayloadDescriptors(&launcherState);
    EXPECT_NE(ErrorValueCode(ReadOwnFile(Wide(lookAlike).c_str())), 0u) << "the look-alike is another file";
}

TEST_F(MainFlowTest, OwnPathIsTheModulesPathOrAFailure)
{
    EXPECT_TRUE(CaptureOwnPath(&run));
    WCHAR expected[MAX_PATH * 4];
    GetModuleFileNameW(nullptr, expected, MAX_PATH * 4);
    EXPECT_STREQ(run.ownPath, expected);
    LocalFree(run.ownPath);
    run.ownPath = nullptr;

    // A path that does not fit in 260 characters: the buffer grows by 64 until it does.
    {
        SeamScope seams;
        FailCall(SeamCall::GetModuleFileNameW, 0, 2, ERROR_INSUFFICIENT_BUFFER);
        WCHAR *path = GetOwnPath();
        EXPECT_STREQ(path, expected);
        EXPECT_EQ(SeamCallCount(SeamCall::GetModuleFileNameW), 3u);
        EXPECT_EQ(SeamCallCount(SeamCall::LocalReAlloc), 2u);
        if (path != nullptr)
            LocalFree(path);
    }

    const struct {
        const char *name;
        SeamCall call;
    } cases[] = {{"GetModuleFileNameW fails", SeamCall::GetModuleFileNameW},
                 {"no buffer", SeamCall::LocalAlloc},
                 {"the buffer can't grow", SeamCall::LocalReAlloc}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SeamScope seams;
        FailCall(c.call, 0, 1, ERROR_ACCESS_DENIED);
        if (c.call == SeamCall::LocalReAlloc)
            FailCall(SeamCall::GetModuleFileNameW, 0, 1, ERROR_INSUFFICIENT_BUFFER);
        EXPECT_FALSE(CaptureOwnPath(&run));
        EXPECT_EQ(run.ownPath, nullptr);
        EXPECT_EQ(run.outcome, MakeFixedErrorValue(ERROR_CANT_RESOLVE_FILENAME, 2406));
    }
}

TEST_F(MainFlowTest, SelectionFailsWithoutAPackageForThisMachine)
{
    std::string path = WriteOwnFile(folder / "intel.bin", {IntelPackage});
    ASSERT_EQ(ErrorValueCode(ReadOwnFile(Wide(path).c_str())), 0u);
    lstrcpyA(run.damagedPackageText, "string 101");

    SelectAndInstall(&run);
    // The selection is over: the file image is freed, the directory stays.
    ASSERT_EQ(launcherState.payloadCount, 1u);
    EXPECT_EQ(launcherState.payloads[0].image, nullptr);
    EXPECT_EQ(launcherState.payloads[0].imageSize, 0u);
    EXPECT_NE(launcherState.payloads[0].directory, nullptr);
    EXPECT_EQ(run.outcome, MakeFixedErrorValue(ERROR_INVALID_DATA, 2151));
    EXPECT_STREQ(run.messageText, "string 101");
    EXPECT_EQ(run.installerExitCode, 1601u);
    EXPECT_EQ(run.job.items, nullptr);
    EXPECT_EQ(taskbarProgress, nullptr);
}

// A package whose item is signed with the key but is not the output that the signed directory
// binds to it: another release's. Refused with its own line before any folder is made.
TEST_F(MainFlowTest, SelectionFailsWhenAnItemIsNotTheOneItsDirectoryBinds)
{
    const std::uint8_t otherDigest[32] = {1};
    std::string path =
        WriteOwnFile(folder / "spliced.bin", {{1000, "x64\\1033\\{0C1D2E3F-4A5B-4C6D-8E7F-0123456789AC}\\Sample"},
                                              writer::BindingEntry(1000, otherDigest, 1000)});
    ASSERT_EQ(ErrorValueCode(ReadOwnFile(Wide(path).c_str())), 0u);
    lstrcpyA(run.damagedPackageText, "string 101");

    SelectAndInstall(&run);
    EXPECT_EQ(run.outcome, MakeFixedErrorValue(ERROR_INVALID_DATA, 2147));
    EXPECT_STREQ(run.messageText, "string 101");
    EXPECT_EQ(run.installerExitCode, 1601u);
    EXPECT_STREQ(run.extractionFolder, "") << "no folder was chosen, none made";
    EXPECT_EQ(run.job.items, nullptr);
}

} // namespace
