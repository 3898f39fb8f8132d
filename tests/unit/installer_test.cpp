#include "launcher/installer.h"
#include "launcher/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/launcher_state.h"
#include "payload/extraction.h"
#include "payload/inflate.h"
#include "tests/seam/fault_control.h"
#include "tests/unit/win32_test_files.h"

using testfiles::Exists;
using testfiles::TempFolder;

namespace {

const DWORD CommandLineSize = 1024;

struct CommandLineCase {
    const char *name;
    std::string installer;
    std::wstring package;
    std::vector<std::wstring> arguments; // after the program name
    std::wstring expected;               // empty when refused
};

class InstallerCommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(InstallerCommandLine, QuotesPiecesWithSpacesAndRefusesWhatDoesNotFit)
{
    const CommandLineCase &c = GetParam();
    std::vector<WCHAR *> argv = {const_cast<WCHAR *>(L"launcher.exe")};
    for (const auto &argument : c.arguments)
        argv.push_back(const_cast<WCHAR *>(argument.c_str()));
    argv.push_back(nullptr);

    std::wstring buffer(CommandLineSize + 16, L'\x7f');
    ErrorValue result = BuildInstallerCommandLine(buffer.data(), CommandLineSize, c.installer.c_str(),
                                                  c.package.c_str(), static_cast<int>(argv.size() - 1), argv.data());
    EXPECT_EQ(buffer.substr(CommandLineSize), std::wstring(16, L'\x7f')) << "nothing is written past the buffer";
    EXPECT_NE(buffer.find(L'\0'), std::wstring::npos) << "the line is always terminated";
    if (c.expected.empty()) {
        EXPECT_EQ(ErrorValueCode(result), (DWORD)ERROR_FILENAME_EXCED_RANGE);
        EXPECT_EQ(ErrorValueLine(result), 2343u);
    } else {
        EXPECT_EQ(ErrorValueCode(result), 0u);
        EXPECT_EQ(std::wstring(buffer.c_str()), c.expected);
    }
}

const std::string Msiexec = "C:\\windows\\system32\\msiexec.exe";
const std::wstring Package = L"C:\\windows\\Installer\\{P}\\main.msi";
const std::wstring Start = L"C:\\windows\\system32\\msiexec.exe /i C:\\windows\\Installer\\{P}\\main.msi";

// Arguments that, after the installer and the package, fill the line up to `length` UTF-16 units
// with fill characters.
std::vector<std::wstring> FillTo(std::size_t length, WCHAR fill = L'v')
{
    std::size_t used = Start.size() + 1; // the argument's space
    return {L"P=" + std::wstring(length - used - 2, fill)};
}

INSTANTIATE_TEST_SUITE_P(
    Lines, InstallerCommandLine,
    testing::Values(
        CommandLineCase{"NoArguments", Msiexec, Package, {}, Start},
        CommandLineCase{"SpacesInPaths",
                        "C:\\Program Files\\msiexec.exe",
                        L"D:\\my files\\{P}\\main.msi",
                        {},
                        L"\"C:\\Program Files\\msiexec.exe\" /i \"D:\\my files\\{P}\\main.msi\""},
        CommandLineCase{"ArgumentsInOrder",
                        Msiexec,
                        Package,
                        {L"TRANSFORMS=a.mst", L"/qn", L"TARGETDIR=C:\\Program Files\\X", L"TAB\tHERE"},
                        Start + L" TRANSFORMS=a.mst /qn \"TARGETDIR=C:\\Program Files\\X\" TAB\tHERE"},
        // A fullwidth quote is no quote: it must reach the installer as itself, inside the one
        // argument, and characters outside the ANSI code page pass unchanged.
        CommandLineCase{"CharactersOutsideTheCodePageUnchanged",
                        Msiexec,
                        Package,
                        {L"PROP=a\xFF02 /x \xFF02"
                         L"b",
                         L"INSTALLDIR=C:\\\x0100\x4E2D\xD83D\xDE00"},
                        Start + L" \"PROP=a\xFF02 /x \xFF02"
                                L"b\" INSTALLDIR=C:\\\x0100\x4E2D\xD83D\xDE00"},
        // An empty argument adds only its space and so vanishes for the installer.
        CommandLineCase{"EmptyArgument", Msiexec, Package, {L"", L"/qn"}, Start + L"  /qn"},
        CommandLineCase{"FillsTheBufferExactly", Msiexec, Package, FillTo(CommandLineSize - 1),
                        Start + L" P=" + std::wstring(CommandLineSize - 1 - Start.size() - 1 - 2, L'v')},
        // The limit counts UTF-16 units, whatever the ANSI form would take.
        CommandLineCase{"FillsTheBufferInUnits", Msiexec, Package, FillTo(CommandLineSize - 1, L'\x4E2D'),
                        Start + L" P=" + std::wstring(CommandLineSize - 1 - Start.size() - 1 - 2, L'\x4E2D')},
        CommandLineCase{"OneCharacterTooMany", Msiexec, Package, FillTo(CommandLineSize), L""},
        CommandLineCase{"QuotedArgumentOneTooMany",
                        Msiexec,
                        Package,
                        {L"A " + std::wstring(CommandLineSize - Start.size() - 5, L'v')},
                        L""},
        CommandLineCase{"ManyArgumentsTooLong", Msiexec, Package, std::vector<std::wstring>(400, L"/x"), L""},
        CommandLineCase{"PackagePathTooLong", Msiexec, std::wstring(1020, L'p'), {}, L""}),
    [](const testing::TestParamInfo<CommandLineCase> &info) { return std::string(info.param.name); });

// A product entry in the uninstall list of the 64-bit registry view, removed afterwards.
class UninstallEntry {
  public:
    UninstallEntry(const std::string &productCode, bool withUninstallString)
        : path_("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + productCode)
    {
        HKEY key;
        if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY, nullptr,
                            &key, nullptr) != ERROR_SUCCESS)
            throw std::runtime_error("cannot create the uninstall entry");
        const char command[] = "MsiExec.exe /X{x}";
        if (withUninstallString)
            RegSetValueExA(key, "UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE *>(command), sizeof command);
        else
            RegSetValueExA(key, "DisplayName", 0, REG_SZ, reinterpret_cast<const BYTE *>("x"), 2);
        RegCloseKey(key);
    }
    ~UninstallEntry() { RegDeleteKeyExA(HKEY_LOCAL_MACHINE, path_.c_str(), KEY_WOW64_64KEY, 0); }

  private:
    std::string path_;
};

const char TestProductCode[] = "{6A1C7C11-0E1B-4C1D-9D36-2B7A0F5E3D01}";

TEST(IsProductRegistered, NeedsAnUninstallStringInThe64BitView)
{
    EXPECT_EQ(IsProductRegistered(TestProductCode), 0);
    {
        UninstallEntry entry(TestProductCode, false);
        EXPECT_EQ(IsProductRegistered(TestProductCode), 0) << "a key without UninstallString";
    }
    {
        UninstallEntry entry(TestProductCode, true);
        EXPECT_EQ(IsProductRegistered(TestProductCode), 1);
    }
    EXPECT_EQ(IsProductRegistered(""), 0) << "the uninstall list itself is no product";
}

// The folder loop with the first extraction folder blocked by a file of its name: the attempt
// really fails. Unattended, the loop ends there with the failed call's own error at its own site;
// otherwise the browser comes (and is cancelled here).
struct FolderLoopCase {
    const char *name;
    std::vector<std::wstring> arguments; // after the program name
    bool quiet;
};

class InstallerFolderLoop : public testing::TestWithParam<FolderLoopCase> {};

const char BlockedProductCode[] = "{2C0B7E15-5A4D-4F36-8E11-7D2B9C4A6F02}";

TEST_P(InstallerFolderLoop, QuietEndsAtTheFirstFailedAttemptWithoutTheBrowser)
{
    const FolderLoopCase &c = GetParam();
    char windows[MAX_PATH];
    ASSERT_GT(GetWindowsDirectoryA(windows, sizeof windows), 0u);
    std::string installer = std::string(windows) + "\\Installer";
    CreateDirectoryA(installer.c_str(), nullptr);
    std::string blocked = installer + "\\" + BlockedProductCode;
    testfiles::RemoveTree(blocked);
    testfiles::WriteAll(blocked, {1});
    // The folder's pin opens the file of its name and finds no directory.
    const DWORD expectedCode = ERROR_DIRECTORY;

    launcherInstance = GetModuleHandleA(nullptr);
    launcherState.is64Bit = 1;
    auto run = std::make_unique<RunState>();
    memset(run.get(), 0, sizeof *run);
    snprintf(run->selection.productCode, sizeof run->selection.productCode, "%s", BlockedProductCode);
    std::vector<WCHAR *> argv = {const_cast<WCHAR *>(L"launcher.exe")};
    for (const auto &argument : c.arguments)
        argv.push_back(const_cast<WCHAR *>(argument.c_str()));
    argv.push_back(nullptr);
    run->arguments = argv.data();
    run->argumentCount = static_cast<int>(argv.size() - 1);
    run->quiet = HasQuietSwitch(run->argumentCount, run->arguments); // as CaptureCommandLine does
    run->installerExitCode = ERROR_INSTALL_SERVICE_FAILURE;
    run->job.current = -1;
    run->job.chunkSize = 0x80000;
    run->job.count = 1;
    run->job.items = static_cast<FileRecord *>(LocalAlloc(LMEM_ZEROINIT, sizeof(FileRecord)));
    snprintf(run->job.items[0].name, sizeof run->job.items[0].name, "main.msi");
    run->job.items[0].data = AllocateItemOutput(16);
    run->job.items[0].length = 16;

    {
        SeamScope seams;
        AnswerDialogs(IDCANCEL);
        RunInstallerPhases(run.get());
        if (c.quiet) {
            EXPECT_EQ(run->outcome, MakeFixedErrorValue(expectedCode, 2214));
            EXPECT_EQ(SeamCallCount(SeamCall::SHBrowseForFolderA), 0u);
        } else {
            EXPECT_EQ(run->outcome, MakeFixedErrorValue(ERROR_CANCELLED, 2219));
            EXPECT_EQ(SeamCallCount(SeamCall::SHBrowseForFolderA), 1u);
        }
        EXPECT_EQ(SeamCallCount(SeamCall::MessageBoxA), 0u);
    }
    CleanUpInstallerPhases(run.get());
    run->arguments = nullptr;
    EXPECT_TRUE(Exists(blocked)) << "the file in the way is not the launcher's";
    DeleteFileA(blocked.c_str());
}

INSTANTIATE_TEST_SUITE_P(Switches, InstallerFolderLoop,
                         testing::Values(FolderLoopCase{"Qn", {L"/qn"}, true},
                                         FolderLoopCase{"UpperQ", {L"A=1", L"/Q"}, true},
                                         FolderLoopCase{"Quiet", {L"/QuIeT"}, true},
                                         FolderLoopCase{"Qb", {L"/qb"}, false}, FolderLoopCase{"None", {}, false}),
                         [](const testing::TestParamInfo<FolderLoopCase> &info) {
                             return std::string(info.param.name);
                         });

// A name too long for the record's path fails the attempt before any file call: it says so.
TEST(InstallerFolderLoopQuiet, AttemptWithANameTooLongSaysSo)
{
    launcherInstance = GetModuleHandleA(nullptr);
    launcherState.is64Bit = 1;
    auto run = std::make_unique<RunState>();
    memset(run.get(), 0, sizeof *run);
    snprintf(run->selection.productCode, sizeof run->selection.productCode, "%s", BlockedProductCode);
    WCHAR *argv[] = {const_cast<WCHAR *>(L"launcher.exe"), const_cast<WCHAR *>(L"/qn"), nullptr};
    run->arguments = argv;
    run->argumentCount = 2;
    run->quiet = 1;
    run->installerExitCode = ERROR_INSTALL_SERVICE_FAILURE;
    run->job.current = -1;
    run->job.count = 1;
    run->job.items = static_cast<FileRecord *>(LocalAlloc(LMEM_ZEROINIT, sizeof(FileRecord)));
    memset(run->job.items[0].name, 'n', sizeof run->job.items[0].name - 1);
    run->job.items[0].data = AllocateItemOutput(16);
    run->job.items[0].length = 16;

    {
        SeamScope seams;
        AnswerDialogs(IDCANCEL);
        RunInstallerPhases(run.get());
        EXPECT_EQ(run->outcome, MakeFixedErrorValue(ERROR_FILENAME_EXCED_RANGE, 2214));
        EXPECT_EQ(SeamCallCount(SeamCall::SHBrowseForFolderA), 0u);
    }
    std::string folder = run->extractionFolder;
    CleanUpInstallerPhases(run.get());
    run->arguments = nullptr;
    EXPECT_FALSE(Exists(folder));
}

struct CleanUpCase {
    const char *name;
    DWORD installerExitCode;
    bool registered;
    bool filesStay;               // the new files, and the one found in place
    bool earlierFileBack;         // main.msi holds again what was there before this run
    bool installerMayRun = false; // the wait for the installer failed
};

class InstallerCleanUp : public testing::TestWithParam<CleanUpCase> {};

// The folder holds an earlier main.msi with other bytes (moved aside and replaced), a cabinet
// identical to this run's (used in place) and gets a new file; the files are opened, written and
// locked as a run does, then the clean-up settles them by the installer's outcome.
TEST_P(InstallerCleanUp, SettlesTheFilesByTheOutcome)
{
    const CleanUpCase &c = GetParam();
    SeamScope seams;
    launcherState.is64Bit = 1;
    std::unique_ptr<UninstallEntry> entry;
    if (c.registered)
        entry = std::make_unique<UninstallEntry>(TestProductCode, true);

    TempFolder root("cleanup");
    auto run = std::make_unique<RunState>();
    memset(run.get(), 0, sizeof *run);
    snprintf(run->selection.productCode, sizeof run->selection.productCode, "%s", TestProductCode);
    snprintf(run->extractionFolder, sizeof run->extractionFolder, "%s\\%s", root.path().c_str(), TestProductCode);
    const std::string folder = run->extractionFolder;
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const std::vector<std::uint8_t> earlier = testfiles::Pattern(5, 40);
    testfiles::WriteAll(folder + "\\main.msi", earlier);

    const char *names[] = {"main.msi", "disk1.cab", "disk2.cab"};
    std::vector<std::vector<std::uint8_t>> contents;
    run->job.count = 3;
    run->job.current = -1;
    run->job.chunkSize = 4096;
    run->job.items = static_cast<FileRecord *>(LocalAlloc(LMEM_ZEROINIT, 3 * sizeof(FileRecord)));
    for (int i = 0; i < 3; i++) {
        FileRecord &record = run->job.items[i];
        contents.push_back(testfiles::Pattern(16, i + 1));
        snprintf(record.name, sizeof record.name, "%s", names[i]);
        record.data = AllocateItemOutput(16);
        memcpy(record.data, contents[i].data(), 16);
        record.length = 16;
    }
    testfiles::WriteAll(folder + "\\disk1.cab", contents[1]);
    run->job.productFolder = testfiles::HoldFolder(folder);
    ASSERT_NE(run->job.productFolder, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(PinFolderAndOpenOutputFiles(&run->job, folder.c_str()));
    while (ExtractionStep(&run->job, nullptr) == ERROR_MORE_DATA) {
    }
    ASSERT_TRUE(LockOutputFiles(&run->job));
    ASSERT_TRUE(VerifyOutputFiles(&run->job));
    run->installerExitCode = c.installerExitCode;
    run->installerMayRun = c.installerMayRun ? 1 : 0;

    CleanUpInstallerPhases(run.get());

    EXPECT_EQ(SeamFileRules().changesUnpinned, 0u);
    EXPECT_EQ(SeamFileRules().namedCallsWhilePinned, 0u);
    if (c.installerMayRun) {
        EXPECT_EQ(OpenFileHandles(), 6u)
            << "the folder, its lock file, the three files and the moved-aside one stay held";
        HANDLE writer =
            CreateFileA((folder + "\\main.msi").c_str(), GENERIC_WRITE, 7, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_EQ(writer, INVALID_HANDLE_VALUE);
        ReleaseKeptFiles(run.get());
    }
    EXPECT_EQ(run->job.items, nullptr);
    EXPECT_EQ(OpenFileHandles(), 0u);
    EXPECT_EQ(LiveLocalBlocks(), 0u);
    if (!c.filesStay && !c.earlierFileBack) {
        EXPECT_FALSE(Exists(folder)) << "everything deleted, the folder removed";
        return;
    }
    std::vector<std::string> left;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((folder + "\\*.aside").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        left.push_back(found.cFileName);
        FindClose(search);
    }
    EXPECT_EQ(left.size(), c.installerMayRun ? 1u : 0u) << "no moved-aside file is left once settled";
    EXPECT_EQ(testfiles::ReadAll(folder + "\\main.msi"), c.earlierFileBack ? earlier : contents[0]);
    EXPECT_EQ(testfiles::ReadAll(folder + "\\disk1.cab"), contents[1]);
    EXPECT_EQ(testfiles::ReadAll(folder + "\\disk2.cab"), contents[2]);
}

INSTANTIATE_TEST_SUITE_P(ExitCodes, InstallerCleanUp,
                         testing::Values(CleanUpCase{"SucceededNotRegistered", 0, false, true, false},
                                         CleanUpCase{"SucceededRegistered", 0, true, true, false},
                                         CleanUpCase{"FailedNotRegistered", 1603, false, false, false},
                                         // The registered product was installed from the earlier file.
                                         CleanUpCase{"FailedRegistered", 1603, true, true, true},
                                         CleanUpCase{"RebootNotRegistered", 3010, false, false, false},
                                         CleanUpCase{"RebootRegistered", 3010, true, true, false},
                                         CleanUpCase{"RestartStartedRegistered", 1641, true, true, false},
                                         // The installer never ran (cancelled extraction).
                                         CleanUpCase{"NotStartedNotRegistered", 1601, false, false, false},
                                         CleanUpCase{"NotStartedRegistered", 1601, true, true, true},
                                         // The installer may still read them.
                                         CleanUpCase{"WaitFailedNotRegistered", 1601, false, true, false, true}),
                         [](const testing::TestParamInfo<CleanUpCase> &info) { return std::string(info.param.name); });

} // namespace
