// The launcher's whole run in this process, from reading its file to the final steps, with the
// stand-in installer of the prefix, while the test seam makes the Nth call of one kind fail, for
// every N until the run gets through. Every run must end in success or in an ErrorValue of a
// launcher site, leave no local-heap block and no file handle behind, and leave no file or
// folder unless the installer ran and succeeded. Prints the sites that each sweep reached.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <map>
#include <string>
#include <utility>

#include "launcher/installer.h"
#include "launcher/launcher_state.h"
#include "launcher/main_flow.h"
#include "tests/fixtures/fixtures.h"
#include "tests/seam/fault_control.h"
#include "tests/tools/process_tools.h"
#include "tests/tools/wide_text.h"
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

enum class Layout {
    Certificate, // carried in a certificate extension of a signature object (the decoder takes part)
    WholeImage,  // appended to an executable without one (read by the whole-image step)
    SignedLast,  // appended, then a certificate table after it, as signing after packing leaves it
};

// The built test package and its cabinet in a container, laid out as asked.
Bytes PackedImage(Layout layout)
{
    std::string folder = testtools::WindowsPathOfUnixPath(PACKAGES_PATH) + "\\good\\";
    writer::PrivateKey key = writer::LoadPrivateKey(testtools::WindowsPathOfUnixPath(TEST_KEY_PATH));
    std::vector<writer::DirectoryEntry> directory = {{1000, "x64\\1033\\" + ProductCode + "\\Launcher Test Product"},
                                                     {1001, "cab\\1000\\disk1.cab"}};
    Bytes container = writer::WriteContainer({{writer::ItemKind::Head, 0, writer::WriteDirectory(directory)},
                                              {writer::ItemKind::File, 1000, testfiles::ReadAll(folder + "main.msi")},
                                              {writer::ItemKind::File, 1001, testfiles::ReadAll(folder + "disk1.cab")}},
                                             writer::ContainerOptions{}, key.get());
    if (layout != Layout::Certificate) {
        Bytes image = fixtures::UnsignedPe();
        image.insert(image.end(), container.begin(), container.end());
        return layout == Layout::WholeImage
                   ? image
                   : fixtures::WithCertificateEntry(image, fixtures::MakeSignatureObject({{}}));
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

// What every run must leave: no block, no handle, no output file reopened by path, no change by
// name outside the pinned folder.
void ExpectReleasedAndPinned(const RunResult &result)
{
    EXPECT_EQ(result.liveBlocks, 0u) << "local-heap blocks left";
    EXPECT_EQ(result.openFiles, 0u) << "file handles left open";
    EXPECT_EQ(result.fileRules.namedCallsWhilePinned, 0u) << "a file reached by its path while pinned";
    EXPECT_EQ(result.fileRules.changesUnpinned, 0u) << "a delete or a rename outside the pinned folder";
    EXPECT_EQ(result.fileRules.folderRemovalsByPath, 0u) << "a folder removed through a path";
}

RunState run; // the last run's state, for what a failed wait keeps

class WholeRun : public testing::Test {
  protected:
    void SetUp() override
    {
        setup_ = folder_ / "setup.exe";
        testfiles::WriteAll(setup_, PackedImage(Layout::Certificate));
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
            MultiByteToWideChar(CP_UTF8, 0, setup_.c_str(), -1, run.ownPath, MAX_PATH);
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
        {"CreateDirectoryW", SeamCall::CreateDirectoryW, ERROR_ACCESS_DENIED},
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
    for (int pass = 0; pass < 4; pass++)
        for (const Sweep &sweep : sweeps) {
            const Layout layout = pass == 1 ? Layout::WholeImage : pass == 3 ? Layout::SignedLast : Layout::Certificate;
            bool withLeftover = pass == 2;
            testfiles::WriteAll(setup_, PackedImage(layout));
            std::string sweepName = std::string(sweep.name) + (pass == 1   ? " (whole image)"
                                                               : pass == 2 ? " (leftover)"
                                                               : pass == 3 ? " (signed last)"
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

                ExpectReleasedAndPinned(result);
                if (result.exitCode == 0) {
                    EXPECT_TRUE(result.folderLeft) << "a successful installation keeps its files";
                    EXPECT_EQ(testfiles::ReadAll(extracted_ + "\\main.msi"),
                              testfiles::ReadAll(testtools::WindowsPathOfUnixPath(PACKAGES_PATH) + "\\good\\main.msi"));
                    EXPECT_EQ(testfiles::ReadAll(extracted_ + "\\disk1.cab"),
                              testfiles::ReadAll(testtools::WindowsPathOfUnixPath(PACKAGES_PATH) + "\\good\\disk1.cab"))
                        << "a successful run wrote every file of the package";
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

// With the default folder blocked, the user picks a folder: the launcher makes {ProductCode} in
// it with its own owner and protected DACL (read from the seam: Wine keeps no descriptor), the
// installer runs on the files there, and everything happens inside the pin.
TEST_F(WholeRun, PickedFolderGetsAProductFolderOfItsOwn)
{
    testfiles::WriteAll(extracted_, {1}); // a file where the default folder would be
    const std::string picked = folder_ / "picked";
    ASSERT_TRUE(CreateDirectoryA(picked.c_str(), nullptr));
    const std::string made = picked + "\\" + ProductCode;
    ResetSeams();
    AnswerBrowser(picked);
    RunResult result = RunOnce();
    std::wstring security = MadeFolderSecurity();
    bool packageThere = testfiles::Exists(made + "\\main.msi") &&
                        testfiles::ReadAll(made + "\\main.msi") ==
                            testfiles::ReadAll(testtools::WindowsPathOfUnixPath(PACKAGES_PATH) + "\\good\\main.msi");
    ResetSeams();
    DeleteFileA(extracted_.c_str());
    testfiles::RemoveTree(made);

    EXPECT_EQ(result.exitCode, 0u) << "line " << result.line;
    EXPECT_TRUE(packageThere);
    // S-1-5-32-544 Administrators, -545 Users, S-1-5-18 SYSTEM; flags 3: object and container
    // inherit; 0x1f01ff full control, 0x1200a9 read and execute.
    EXPECT_EQ(testfiles::DescribeSecurity(security),
              "owner S-1-5-32-544, protected; type 0 flags 3 mask 0x1f01ff S-1-5-18; type 0 flags 3 mask 0x1f01ff "
              "S-1-5-32-544; type 0 flags 3 mask 0x1200a9 S-1-5-32-545");
    ExpectReleasedAndPinned(result);
}

// The same in a picked folder: the default folder is blocked and the browser answers with the
// picked folder each time it comes. Whatever call fails, the run ends cleanly, and the product
// folder that the launcher made is gone again unless the installation succeeded.
TEST_F(WholeRun, EveryFailingCallInAPickedFolderEndsCleanly)
{
    const Sweep sweeps[] = {
        {"LocalAlloc", SeamCall::LocalAlloc, ERROR_NOT_ENOUGH_MEMORY},
        {"CreateFileW", SeamCall::CreateFileW, ERROR_ACCESS_DENIED},
        {"NtCreateFile", SeamCall::NtCreateFile, 0xC0000022u}, // STATUS_ACCESS_DENIED
        {"NtSetInformationFile", SeamCall::NtSetInformationFile, 0xC0000022u},
        {"WriteFile", SeamCall::WriteFile, ERROR_DISK_FULL},
        {"ReOpenFile", SeamCall::ReOpenFile, ERROR_SHARING_VIOLATION},
        {"SetFileInformationByHandle", SeamCall::SetFileInformationByHandle, ERROR_ACCESS_DENIED},
        {"GetFinalPathNameByHandleW", SeamCall::GetFinalPathNameByHandleW, ERROR_NOT_ENOUGH_MEMORY},
    };
    testfiles::WriteAll(extracted_, {1}); // a file where the default folder would be
    const std::string picked = folder_ / "picked";
    ASSERT_TRUE(CreateDirectoryA(picked.c_str(), nullptr));
    const std::string made = picked + "\\" + ProductCode;
    for (const Sweep &sweep : sweeps) {
        unsigned runs = 0;
        for (unsigned n = 0;; n++) {
            SCOPED_TRACE(testing::Message() << sweep.name << " call " << n << " fails");
            ASSERT_LT(n, 1000u) << "the sweep does not end";
            testfiles::RemoveTree(made);
            ResetSeams();
            AnswerDialogs(IDCANCEL); // the Retry/Cancel box is cancelled
            AnswerBrowser(picked);
            FailCall(sweep.call, n, 1, sweep.error);
            RunResult result = RunOnce();
            bool reached = SeamCallCount(sweep.call) > n;
            runs++;

            ExpectReleasedAndPinned(result);
            EXPECT_EQ(testfiles::ReadAll(extracted_), Bytes{1}) << "the file in the way is left alone";
            if (result.exitCode == 0)
                EXPECT_TRUE(testfiles::Exists(made + "\\main.msi"));
            else
                EXPECT_FALSE(testfiles::Exists(made)) << "a failed run leaves nothing of its own";
            if (HasFatalFailure())
                return;
            if (!reached) {
                EXPECT_EQ(result.exitCode, 0u) << "with nothing failed the run succeeds";
                break;
            }
        }
        std::printf("[sweep] picked folder, %-26s %3u runs\n", sweep.name, runs);
    }
    ResetSeams();
    DeleteFileA(extracted_.c_str());
    testfiles::RemoveTree(made);
}

// What another process may do to the folder in the middle of a run, and what a system may answer,
// one whole run each. The seam stands in for the other process at the right moment, or answers
// as a system that Wine is not would.
struct FolderEvent {
    const char *name;
    std::function<void()> arrange; // after the seams are reset, before the run
    DWORD exitCode;
    std::function<void(const RunResult &)> check;
    std::function<void()> cleanUp;
};

TEST_F(WholeRun, FolderEventsInTheMiddleOfARun)
{
    const std::string moved = extracted_ + ".moved";
    const std::string earlierLock = extracted_ + "\\extraction.lock";
    const std::string uninstallKey = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + ProductCode;
    const Bytes package = testfiles::ReadAll(testtools::WindowsPathOfUnixPath(PACKAGES_PATH) + "\\good\\main.msi");
    const Bytes earlier = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    HANDLE other = INVALID_HANDLE_VALUE; // what the other process holds
    auto letGo = [&] {
        if (other != INVALID_HANDLE_VALUE)
            CloseHandle(other);
        other = INVALID_HANDLE_VALUE;
    };
    const FolderEvent events[] = {
        // Right before the pin, another process that may delete the folder (in a picked folder the
        // user's may) renames it away and holds it, and puts an empty folder in its place. The pin
        // fails for about two seconds; the folder this run made is then removed through its own
        // handle or not at all, and the other one stays.
        {"the folder swapped and held before the pin",
         [&] {
             BeforeCall(SeamCall::ReOpenFile, 0, [&] {
                 other = CreateFileA(extracted_.c_str(), DELETE | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
                 testfiles::RenameHeld(other, moved);
                 CreateDirectoryA(extracted_.c_str(), nullptr);
             });
         },
         ERROR_CANCELLED,
         [&](const RunResult &result) {
             EXPECT_EQ(result.line, 2219u) << "the browser came and was cancelled";
             EXPECT_TRUE(testfiles::Exists(moved)) << "held by the other process";
             EXPECT_TRUE(testfiles::Exists(extracted_)) << "the folder put in its place stays";
             EXPECT_EQ(testfiles::FolderNames(extracted_), std::vector<std::string>{});
             EXPECT_EQ(result.fileRules.folderRemovals, 0u);
         },
         [&] {
             letGo();
             testfiles::RemoveTree(moved);
         }},
        // A virus scanner opens the fresh package for a moment, as the lock is taken.
        {"a sharing violation once as the package is locked",
         [&] { FailCall(SeamCall::ReOpenFile, 1, 1, ERROR_SHARING_VIOLATION); }, 0,
         [&](const RunResult &) {
             EXPECT_EQ(testfiles::FolderNames(extracted_), (std::vector<std::string>{"disk1.cab", "main.msi"}));
         },
         [] {}},
        // The lock file of an earlier release, which Users could read, held by a reader.
        {"a reader holding an earlier release's lock file",
         [&] {
             CreateDirectoryA(extracted_.c_str(), nullptr);
             testfiles::WriteAll(earlierLock, {});
             other =
                 CreateFileA(earlierLock.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
         },
         0,
         [&](const RunResult &) {
             EXPECT_EQ(testfiles::FolderNames(extracted_),
                       (std::vector<std::string>{"disk1.cab", "extraction.lock", "main.msi"}))
                 << "still held, it stays";
         },
         letGo},
        // Wine keeps no descriptor: the seam tells the one the lock file was made with.
        {"the lock file's rights", [] {}, 0,
         [&](const RunResult &) {
             // S-1-5-18 SYSTEM, S-1-5-32-544 Administrators, full control; nothing inherited.
             EXPECT_EQ(testfiles::DescribeSecurity(MadeFileSecurity()),
                       "owner S-1-5-32-544, protected; type 0 flags 0 mask 0x1f01ff S-1-5-18; type 0 flags 0 mask "
                       "0x1f01ff S-1-5-32-544");
         },
         [] {}},
        // A run killed while its installer ran left its package under the name and the earlier
        // one aside; this run's installer fails with the product registered.
        {"put back over a killed run's package",
         [&] {
             CreateDirectoryA(extracted_.c_str(), nullptr);
             testfiles::WriteAll(extracted_ + "\\main.msi", package);
             testfiles::WriteAll(extracted_ + "\\main.msi.0.aside", earlier);
             HKEY key;
             if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, uninstallKey.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                                 nullptr, &key, nullptr) == ERROR_SUCCESS) {
                 const char command[] = "MsiExec.exe /X{x}";
                 RegSetValueExA(key, "UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE *>(command),
                                sizeof command);
                 RegCloseKey(key);
             }
             SetEnvironmentVariableA("STANDIN_EXIT_CODE", "1603");
         },
         1603,
         [&](const RunResult &) {
             EXPECT_EQ(testfiles::FolderNames(extracted_), (std::vector<std::string>{"disk1.cab", "main.msi"}));
             EXPECT_EQ(testfiles::ReadAll(extracted_ + "\\main.msi"), earlier)
                 << "what the registered product was installed from";
         },
         [&] {
             SetEnvironmentVariableA("STANDIN_EXIT_CODE", nullptr);
             RegDeleteKeyExA(HKEY_LOCAL_MACHINE, uninstallKey.c_str(), KEY_WOW64_64KEY, 0);
         }},
        {"a system before Windows 8, without 128-bit file ids", [] { WithoutFileIdInfo(); }, 0,
         [&](const RunResult &) {
             EXPECT_EQ(testfiles::FolderNames(extracted_), (std::vector<std::string>{"disk1.cab", "main.msi"}));
         },
         [] {}},
        // The package's path would not be one the Windows Installer keeps as a plain source.
        {"a folder that the system names as a share's",
         [] { AnswerFinalPath(L"\\\\?\\UNC\\server\\share\\Installer\\" + testtools::Wide(ProductCode)); },
         ERROR_CANCELLED,
         [&](const RunResult &) {
             EXPECT_FALSE(testfiles::Exists(extracted_)) << "the folder this run made is removed";
         },
         [] {}},
    };
    for (const FolderEvent &event : events) {
        SCOPED_TRACE(event.name);
        testfiles::RemoveTree(extracted_);
        ResetSeams();
        AnswerDialogs(IDCANCEL);
        event.arrange();
        RunResult result = RunOnce();
        EXPECT_EQ(result.exitCode, event.exitCode) << "line " << result.line;
        ExpectReleasedAndPinned(result);
        event.check(result);
        event.cleanUp();
    }
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
    EXPECT_EQ(result.openFiles, 5u) << "the folder held and pinned, its lock file and both files";
    EXPECT_FALSE(MoveFileA(extracted_.c_str(), (extracted_ + ".moved").c_str()));
    EXPECT_FALSE(DeleteFileA((extracted_ + "\\main.msi").c_str()));
    EXPECT_EQ(result.liveBlocks, 1u) << "the records that hold the handles";

    ReleaseKeptFiles(&run);
    EXPECT_EQ(LiveLocalBlocks(), 0u);
    EXPECT_EQ(OpenFileHandles(), 0u);
    EXPECT_TRUE(testfiles::Exists(extracted_ + "\\main.msi")) << "releasing touches no file";
}

} // namespace
