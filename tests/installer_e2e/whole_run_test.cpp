// The launcher's whole run in this process, from reading its file to the final steps, with the
// stand-in installer of the prefix, while the test seam makes the Nth call of one kind fail, for
// every N until the run gets through. Every run must end in success or in an ErrorValue of a
// launcher site, leave no local-heap block and no file handle behind, and leave no file or
// folder unless the installer ran and succeeded. Prints the sites that each sweep reached.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "launcher/installer.h"
#include "launcher/launcher_state.h"
#include "launcher/main_flow.h"
#include "tests/fixtures/fixtures.h"
#include "tests/seam/fault_control.h"
#include "tests/tools/process_tools.h"
#include "tests/unit/win32_test_files.h"
#include "writer/container_writer.h"

namespace {

using writer::Bytes;

const std::string ProductCode = GOOD_PRODUCT_CODE;

std::string WindowsFolder(const std::string &name)
{
    char path[MAX_PATH];
    GetWindowsDirectoryA(path, sizeof path);
    return std::string(path) + "\\" + name;
}

// The built test package and its cabinet in a container, carried in a certificate extension of
// a signature object (so that the certificate decoder takes part), or appended to an executable
// without one (read by the whole-image step).
Bytes PackedImage(bool inCertificate)
{
    std::string folder = testtools::WindowsPathOfUnixPath(PACKAGES_PATH) + "\\good\\";
    writer::PrivateKey key = writer::LoadPrivateKey(testtools::WindowsPathOfUnixPath(TEST_KEY_PATH));
    std::vector<writer::DirectoryEntry> directory = {{1000, "x64\\1033\\" + ProductCode + "\\Launcher Test Product"},
                                                     {1001, "cab\\1000\\disk1.cab"}};
    Bytes container = writer::WriteContainer({{writer::ItemKind::Head, 0, writer::WriteDirectory(directory)},
                                              {writer::ItemKind::File, 1000, testfiles::ReadAll(folder + "main.msi")},
                                              {writer::ItemKind::File, 1001, testfiles::ReadAll(folder + "disk1.cab")}},
                                             writer::ContainerOptions{}, key.get());
    if (!inCertificate) {
        Bytes image = fixtures::UnsignedPe();
        image.insert(image.end(), container.begin(), container.end());
        return image;
    }
    return fixtures::WithCertificateEntry(fixtures::UnsignedPe(),
                                          fixtures::MakeSignatureObject({{fixtures::Extension{container}}}));
}

struct RunResult {
    DWORD exitCode;
    DWORD line;
    unsigned liveBlocks;
    unsigned openFiles;
    bool folderLeft;
    FileRules fileRules;
};

RunState run; // the last run's state, for what a failed wait keeps

class WholeRun : public testing::Test {
  protected:
    void SetUp() override
    {
        setup_ = folder_ / "setup.exe";
        testfiles::WriteAll(setup_, PackedImage(true));
        SetEnvironmentVariableA("STANDIN_RECORD", (folder_ / "record.txt").c_str());
        SetEnvironmentVariableA("STANDIN_EXIT_CODE", nullptr);
        CreateDirectoryA(WindowsFolder("Installer").c_str(), nullptr);
        testfiles::RemoveTree(extracted_);
    }
    void TearDown() override
    {
        ResetSeams();
        testfiles::RemoveTree(extracted_);
    }

    // One run as WinMain makes it, reading setup_ in place of this program's own file. The
    // seams must be armed before; what they counted stays for the caller.
    RunResult RunOnce()
    {
        StartLauncher(&run, GetModuleHandleA(nullptr), SW_SHOWNORMAL);
        if (CaptureCommandLine(&run) && CaptureOwnPath(&run)) {
            MultiByteToWideChar(CP_ACP, 0, setup_.c_str(), -1, run.ownPath, MAX_PATH);
            ReadAndInstall(&run);
        }
        DWORD line = ErrorValueLine(run.outcome);
        DWORD exitCode = static_cast<DWORD>(FinishLauncher(&run));
        return {exitCode, line, LiveLocalBlocks(), OpenFileHandles(), testfiles::Exists(extracted_), SeamFileRules()};
    }

    testfiles::TempFolder folder_{"whole_run"};
    std::string setup_;
    const std::string extracted_ = WindowsFolder("Installer") + "\\" + ProductCode;
};

struct Sweep {
    const char *name;
    SeamCall call;
    DWORD error;
    bool settles = false; // the clean-up makes such calls: when one fails, what it was to delete may stay
};

TEST_F(WholeRun, EveryFailingCallEndsCleanly)
{
    const Sweep sweeps[] = {
        {"LocalAlloc", SeamCall::LocalAlloc, ERROR_NOT_ENOUGH_MEMORY},
        {"LocalReAlloc", SeamCall::LocalReAlloc, ERROR_NOT_ENOUGH_MEMORY},
        {"CreateFileA", SeamCall::CreateFileA, ERROR_ACCESS_DENIED},
        {"CreateFileW", SeamCall::CreateFileW, ERROR_ACCESS_DENIED, true},
        {"WriteFile", SeamCall::WriteFile, ERROR_DISK_FULL},
        {"CreateDirectoryA", SeamCall::CreateDirectoryA, ERROR_ACCESS_DENIED},
        {"CreateProcessW", SeamCall::CreateProcessW, ERROR_ACCESS_DENIED},
        {"ReOpenFile", SeamCall::ReOpenFile, ERROR_SHARING_VIOLATION},
        {"NtCreateFile", SeamCall::NtCreateFile, 0xC0000022u, true}, // STATUS_ACCESS_DENIED
        {"NtSetInformationFile", SeamCall::NtSetInformationFile, 0xC0000022u},
        {"SetFileInformationByHandle", SeamCall::SetFileInformationByHandle, ERROR_ACCESS_DENIED, true},
        {"GetFinalPathNameByHandleW", SeamCall::GetFinalPathNameByHandleW, ERROR_NOT_ENOUGH_MEMORY},
        {"ReadFile", SeamCall::ReadFile, ERROR_READ_FAULT},
        {"crypt32", SeamCall::Crypt32, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
        {"bcrypt", SeamCall::BCrypt, 0xC0000017u}, // STATUS_NO_MEMORY
    };
    std::map<std::pair<DWORD, DWORD>, std::string> sites; // (code, line): the sweeps that reached it
    // The third pass finds a differing main.msi in the folder, which is moved aside and, as the
    // stand-in registers nothing, deleted with the rest by a failed run.
    const Bytes leftover = {'o', 'l', 'd'};
    for (int pass = 0; pass < 3; pass++)
        for (const Sweep &sweep : sweeps) {
            bool inCertificate = pass != 1;
            bool withLeftover = pass == 2;
            testfiles::WriteAll(setup_, PackedImage(inCertificate));
            std::string sweepName = std::string(sweep.name) + (pass == 1   ? " (whole image)"
                                                               : pass == 2 ? " (leftover)"
                                                                           : "");
            unsigned runs = 0;
            unsigned settled = 0; // failed runs that left something, settled by the next run
            for (unsigned n = 0;; n++) {
                SCOPED_TRACE(testing::Message() << sweepName << " call " << n << " fails");
                ASSERT_LT(n, 1000u) << "the sweep does not end";
                testfiles::RemoveTree(extracted_);
                if (withLeftover) {
                    CreateDirectoryA(extracted_.c_str(), nullptr);
                    testfiles::WriteAll(extracted_ + "\\main.msi", leftover);
                }
                ResetSeams();
                AnswerDialogs(IDCANCEL); // the folder browser and the Retry/Cancel box are cancelled
                FailCall(sweep.call, n, 1, sweep.error);
                RunResult result = RunOnce();
                bool reached = SeamCallCount(sweep.call) > n;
                runs++;

                EXPECT_EQ(result.liveBlocks, 0u) << "local-heap blocks left";
                EXPECT_EQ(result.openFiles, 0u) << "file handles left open";
                EXPECT_EQ(result.fileRules.namedCallsWhilePinned, 0u) << "a file reached by its path while pinned";
                EXPECT_EQ(result.fileRules.changesUnpinned, 0u) << "a delete or a rename outside the pinned folder";
                if (result.exitCode == 0) {
                    EXPECT_TRUE(result.folderLeft) << "a successful installation keeps its files";
                    EXPECT_EQ(testfiles::ReadAll(extracted_ + "\\main.msi"),
                              testfiles::ReadAll(testtools::WindowsPathOfUnixPath(PACKAGES_PATH) + "\\good\\main.msi"));
                    // Nothing but the package's own files: no temporary, aside or lock file.
                    for (const std::string &name : testfiles::FolderNames(extracted_))
                        EXPECT_TRUE(name == "main.msi" || name == "disk1.cab") << name << " left";
                } else {
                    EXPECT_NE(result.line, 0u) << "a failure names its site";
                    // Unless the run got as far as moving it aside, the leftover is untouched.
                    bool leftoverUntouched = withLeftover && testfiles::Exists(extracted_ + "\\main.msi") &&
                                             testfiles::ReadAll(extracted_ + "\\main.msi") == leftover;
                    std::vector<std::string> left = testfiles::FolderNames(extracted_);
                    if (leftoverUntouched) {
                        EXPECT_EQ(left, std::vector<std::string>{"main.msi"}) << "nothing but the leftover";
                    } else if (sweep.settles && result.folderLeft) {
                        // The failed call was one that was to delete: the next run settles it.
                        ResetSeams();
                        AnswerDialogs(IDCANCEL);
                        RunResult next = RunOnce();
                        EXPECT_EQ(next.exitCode, 0u) << "the next run settles what the failed one left";
                        EXPECT_EQ(testfiles::FolderNames(extracted_),
                                  (std::vector<std::string>{"disk1.cab", "main.msi"}));
                        settled++;
                    } else {
                        EXPECT_FALSE(result.folderLeft) << "a failed run leaves nothing of its own";
                    }
                    std::string &names = sites[{result.exitCode, result.line}];
                    if (names.find(sweepName) == std::string::npos)
                        names += (names.empty() ? "" : ", ") + sweepName;
                }
                if (HasFatalFailure())
                    return;
                if (!reached) {
                    EXPECT_EQ(result.exitCode, 0u) << "with nothing failed the run succeeds";
                    break;
                }
            }
            std::printf("[sweep] %-30s %3u runs, %u settled by the next\n", sweepName.c_str(), runs, settled);
        }
    std::printf("[sweep] failure sites reached (code, line: sweeps)\n");
    for (const auto &[site, names] : sites)
        std::printf("[sweep]   %lu, %lu: %s\n", static_cast<unsigned long>(site.first),
                    static_cast<unsigned long>(site.second), names.c_str());
}

// A wait that fails is the launcher's own failure, and the files stay locked in their pinned
// folder until the process ends: the installer may still be reading them. In this process the
// test releases them itself.
TEST_F(WholeRun, FailedWaitKeepsTheFiles)
{
    ResetSeams();
    AnswerDialogs(IDCANCEL);
    FailCall(SeamCall::WaitForSingleObject, 0, 1, ERROR_INVALID_HANDLE);
    RunResult result = RunOnce();
    EXPECT_EQ(result.exitCode, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(result.line, 2351u);
    EXPECT_TRUE(testfiles::Exists(extracted_ + "\\main.msi"));
    EXPECT_TRUE(testfiles::Exists(extracted_ + "\\disk1.cab"));
    EXPECT_EQ(result.openFiles, 4u) << "the folder, its lock file and both files";
    EXPECT_FALSE(MoveFileA(extracted_.c_str(), (extracted_ + ".moved").c_str()));
    EXPECT_FALSE(DeleteFileA((extracted_ + "\\main.msi").c_str()));
    EXPECT_EQ(result.liveBlocks, 1u) << "the records that hold the handles";

    ReleaseKeptFiles(&run);
    EXPECT_EQ(LiveLocalBlocks(), 0u);
    EXPECT_EQ(OpenFileHandles(), 0u);
    EXPECT_TRUE(testfiles::Exists(extracted_ + "\\main.msi")) << "releasing touches no file";
}

} // namespace
