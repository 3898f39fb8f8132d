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
    std::string package;
    std::vector<std::wstring> arguments; // after the program name
    std::string expected;                // empty when refused
};

class InstallerCommandLine : public testing::TestWithParam<CommandLineCase> {};

TEST_P(InstallerCommandLine, QuotesPiecesWithSpacesAndRefusesWhatDoesNotFit)
{
    const CommandLineCase &c = GetParam();
    std::vector<WCHAR *> argv = {const_cast<WCHAR *>(L"launcher.exe")};
    for (const auto &argument : c.arguments)
        argv.push_back(const_cast<WCHAR *>(argument.c_str()));
    argv.push_back(nullptr);

    std::string buffer(CommandLineSize + 16, '\x7f');
    ErrorValue result = BuildInstallerCommandLine(buffer.data(), CommandLineSize, c.installer.c_str(),
                                                  c.package.c_str(), static_cast<int>(argv.size() - 1), argv.data());
    EXPECT_EQ(buffer.substr(CommandLineSize), std::string(16, '\x7f')) << "nothing is written past the buffer";
    if (c.expected.empty()) {
        EXPECT_EQ(ErrorValueCode(result), (DWORD)ERROR_FILENAME_EXCED_RANGE);
        EXPECT_EQ(ErrorValueLine(result), 2343u);
    } else {
        EXPECT_EQ(ErrorValueCode(result), 0u);
        EXPECT_EQ(std::string(buffer.c_str()), c.expected);
    }
}

const std::string Msiexec = "C:\\windows\\system32\\msiexec.exe";
const std::string Package = "C:\\windows\\Installer\\{P}\\main.msi";

// Arguments that, after the installer and the package, fill the line up to `length` characters.
std::vector<std::wstring> FillTo(std::size_t length)
{
    std::size_t used = Msiexec.size() + 4 + Package.size() + 1; // " /i " and the argument's space
    return {L"P=" + std::wstring(length - used - 2, L'v')};
}

INSTANTIATE_TEST_SUITE_P(
    Lines, InstallerCommandLine,
    testing::Values(
        CommandLineCase{"NoArguments", Msiexec, Package, {}, Msiexec + " /i " + Package},
        CommandLineCase{"SpacesInPaths",
                        "C:\\Program Files\\msiexec.exe",
                        "D:\\my files\\{P}\\main.msi",
                        {},
                        "\"C:\\Program Files\\msiexec.exe\" /i \"D:\\my files\\{P}\\main.msi\""},
        CommandLineCase{"ArgumentsInOrder",
                        Msiexec,
                        Package,
                        {L"TRANSFORMS=a.mst", L"/qn", L"TARGETDIR=C:\\Program Files\\X", L"TAB\tHERE"},
                        Msiexec + " /i " + Package +
                            " TRANSFORMS=a.mst /qn \"TARGETDIR=C:\\Program Files\\X\" TAB\tHERE"},
        // An empty argument adds only its space and so vanishes for the installer.
        CommandLineCase{"EmptyArgument", Msiexec, Package, {L"", L"/qn"}, Msiexec + " /i " + Package + "  /qn"},
        CommandLineCase{"FillsTheBufferExactly", Msiexec, Package, FillTo(CommandLineSize - 1),
                        Msiexec + " /i " + Package + " P=" +
                            std::string(CommandLineSize - 1 - Msiexec.size() - 4 - Package.size() - 1 - 2, 'v')},
        CommandLineCase{"OneCharacterTooMany", Msiexec, Package, FillTo(CommandLineSize), ""},
        CommandLineCase{"ManyArgumentsTooLong", Msiexec, Package, std::vector<std::wstring>(400, L"/x"), ""},
        CommandLineCase{"PackagePathTooLong", Msiexec, std::string(1020, 'p'), {}, ""}),
    [](const testing::TestParamInfo<CommandLineCase> &info) { return std::string(info.param.name); });

TEST(InstallerCommandLineFailure, ArgumentThatCannotBeConvertedFailsInsteadOfVanishing)
{
    SeamScope seams;
    FailCall(SeamCall::LocalAlloc, 1, 1, ERROR_NOT_ENOUGH_MEMORY);
    WCHAR *argv[] = {const_cast<WCHAR *>(L"launcher.exe"), const_cast<WCHAR *>(L"/qn"), const_cast<WCHAR *>(L"A=1"),
                     nullptr};
    char line[CommandLineSize];
    ErrorValue result = BuildInstallerCommandLine(line, sizeof line, Msiexec.c_str(), Package.c_str(), 3, argv);
    EXPECT_EQ(ErrorValueCode(result), (DWORD)ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(ErrorValueLine(result), 2338u);
}

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
    EXPECT_EQ(IsProductRegistered(TestProductCode, 1), 0);
    {
        UninstallEntry entry(TestProductCode, false);
        EXPECT_EQ(IsProductRegistered(TestProductCode, 1), 0) << "a key without UninstallString";
    }
    {
        UninstallEntry entry(TestProductCode, true);
        EXPECT_EQ(IsProductRegistered(TestProductCode, 1), 1);
    }
    EXPECT_EQ(IsProductRegistered("", 1), 0) << "the uninstall list itself is no product";
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
    ASSERT_TRUE(OpenOutputFiles(&run->job, folder.c_str()));
    while (ExtractionStep(&run->job, nullptr) == ERROR_MORE_DATA) {
    }
    ASSERT_TRUE(LockOutputFiles(&run->job));
    ASSERT_TRUE(VerifyOutputFiles(&run->job));
    run->installerExitCode = c.installerExitCode;
    run->installerMayRun = c.installerMayRun ? 1 : 0;

    CleanUpInstallerPhases(run.get());

    EXPECT_EQ(SeamFileRules().changesUnpinned, 0u);
    EXPECT_EQ(SeamFileRules().pathOpensAfterWrite, 0u);
    if (c.installerMayRun) {
        EXPECT_EQ(OpenFileHandles(), 5u) << "the folder, the three files and the moved-aside one stay held";
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
