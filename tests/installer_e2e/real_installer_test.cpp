// launcher.exe with the Windows Installer of the prefix: a package that installs, and one whose
// launch condition refuses it unless INSTALLABLE=1 is passed.
#include <gtest/gtest.h>

#include "tests/installer_e2e/e2e_support.h"
#include "tests/tools/process_tools.h"

namespace {

const std::string GoodCode = GOOD_PRODUCT_CODE;
const std::string RefusedCode = REFUSED_PRODUCT_CODE;

std::string InstalledFile(const std::string &name)
{
    char programFiles[MAX_PATH] = {};
    GetEnvironmentVariableA("ProgramW6432", programFiles, sizeof programFiles);
    return std::string(programFiles) + "\\LauncherTest-" + name + "\\payload.txt";
}

// Each test starts with neither product installed and no extraction folder left from before.
class RealInstaller : public testing::Test {
  protected:
    void SetUp() override
    {
        for (const std::string &code : {GoodCode, RefusedCode}) {
            if (!e2e::UninstallString(code).empty())
                // The launch condition is checked on removal too.
                testtools::RunProgram(e2e::SystemFolder() + "\\msiexec.exe", " /x " + code + " /qn INSTALLABLE=1");
            ASSERT_EQ(e2e::UninstallString(code), "") << code << " is still installed";
            e2e::RemoveTree(e2e::DefaultExtractionFolder(code));
        }
    }

    e2e::ScratchFolder folder{"real"};
};

TEST_F(RealInstaller, QuietInstallRegistersTheProductAndKeepsItsFiles)
{
    std::string setup = folder / "setup.exe";
    e2e::WritePackedLauncher(setup, e2e::BuiltPackage("good", GoodCode, "Launcher Test Product"));

    e2e::Run run = e2e::RunWatched(setup, " /qn");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.windows.empty()) << "no message box";
    EXPECT_NE(e2e::UninstallString(GoodCode), "") << "registered in the 64-bit uninstall list";
    EXPECT_TRUE(e2e::Exists(InstalledFile("good")));
    std::string extracted = e2e::DefaultExtractionFolder(GoodCode);
    EXPECT_TRUE(e2e::Exists(extracted + "\\main.msi"));
    EXPECT_TRUE(e2e::Exists(extracted + "\\disk1.cab"));
}

// The launcher writes an argument with a space in double quotes as it is, also one that ends in a
// backslash: the Windows Installer's command line takes a backslash as an ordinary character, so
// the quote after it closes the argument and the switches after it stay switches. Were the quote
// taken as escaped, /qn would be part of the folder and the installer would show its dialogs.
TEST_F(RealInstaller, QuotedArgumentEndingInABackslashIsReadAsGiven)
{
    std::string setup = folder / "setup.exe";
    e2e::WritePackedLauncher(setup, e2e::BuiltPackage("good", GoodCode, "Launcher Test Product"));
    const std::string target = "C:\\Launcher Test Dir\\";
    e2e::RemoveTree(target);

    e2e::Run run = e2e::RunWatched(setup, " \"INSTALLDIR=" + target + "\" /qn", nullptr, nullptr, 60000);
    bool installedThere = e2e::Exists(target + "payload.txt");
    bool installedElsewhere = e2e::Exists(InstalledFile("good"));
    ASSERT_TRUE(run.ended) << "the installer waits for an answer: /qn did not reach it as a switch";
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(installedThere);
    EXPECT_FALSE(installedElsewhere);
    testtools::RunProgram(e2e::SystemFolder() + "\\msiexec.exe", " /x " + GoodCode + " /qn");
    e2e::RemoveTree(target);
}

TEST_F(RealInstaller, RefusedPackageLeavesNothingBehind)
{
    std::string setup = folder / "setup.exe";
    e2e::WritePackedLauncher(setup, e2e::BuiltPackage("refused", RefusedCode, "Launcher Refused Product"));

    e2e::Run run = e2e::RunWatched(setup, " /qn");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 1603u);
    EXPECT_TRUE(run.windows.empty()) << "no message box";
    EXPECT_FALSE(e2e::Exists(e2e::DefaultExtractionFolder(RefusedCode))) << "files deleted and folder removed";
    EXPECT_TRUE(e2e::Exists(e2e::InstallerFolder()));
    EXPECT_FALSE(e2e::Exists(InstalledFile("refused")));
}

TEST_F(RealInstaller, RefusedRunOfARegisteredProductKeepsItsFiles)
{
    std::string setup = folder / "setup.exe";
    e2e::WritePackedLauncher(setup, e2e::BuiltPackage("refused", RefusedCode, "Launcher Refused Product"));
    e2e::Run install = e2e::RunWatched(setup, " /qn INSTALLABLE=1");
    ASSERT_TRUE(install.ended);
    ASSERT_EQ(install.exitCode, 0u);
    ASSERT_NE(e2e::UninstallString(RefusedCode), "");
    // The next run writes its files afresh rather than finding them in place.
    std::string extracted = e2e::DefaultExtractionFolder(RefusedCode);
    e2e::RemoveTree(extracted);

    e2e::Run refused = e2e::RunWatched(setup, " /qn");
    ASSERT_TRUE(refused.ended);
    EXPECT_EQ(refused.exitCode, 1603u);
    EXPECT_TRUE(refused.windows.empty()) << "no message box";
    EXPECT_TRUE(e2e::Exists(extracted + "\\main.msi"));
    EXPECT_TRUE(e2e::Exists(extracted + "\\disk1.cab"));
}

} // namespace
