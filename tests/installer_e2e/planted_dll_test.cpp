// launcher.exe started from a folder where someone placed DLLs under the names of system DLLs,
// with Wine told to prefer such copies to its own: an installation, a payload that does not
// verify and the folder browser run as they should, and the launcher loads none of the placed
// DLLs. What the system itself loads while a process starts, before any code of the program runs
// (Wine's user32 loads uxtheme.dll by name there, and frees it), is measured with a program that
// has the launcher's imports and does nothing: the launcher must load no more than that.
#include <gtest/gtest.h>

#include <map>

#include "tests/installer_e2e/e2e_support.h"
#include "tests/tools/file_tools.h"
#include "tests/tools/process_tools.h"
#include "tests/tools/wide_text.h"

namespace {

const std::string ProductCode = GOOD_PRODUCT_CODE;
const std::string ProductName = "Launcher Test Product";

// crypt32 and bcrypt, which the launcher uses; the rest, which system components load by name.
// version.dll is not among them: Wine's own advapi32 loads it before the program starts.
const char *const plantedNames[] = {"crypt32", "bcrypt", "uxtheme", "dwmapi", "cryptbase", "propsys"};

std::uint32_t ReadU32(const e2e::Bytes &bytes, std::size_t offset)
{
    return bytes[offset] | (bytes[offset + 1] << 8) | (bytes[offset + 2] << 16) |
           (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

// How many times each placed DLL was loaded, by name; names never loaded are left out.
using Loads = std::map<std::string, std::uint64_t>;

class PlantedDlls : public testing::Test {
  protected:
    void SetUp() override
    {
        std::string planted = testtools::WindowsPathOfUnixPath(PLANTED_DLL_PATH);
        for (const char *name : plantedNames)
            ASSERT_TRUE(CopyFileW(testtools::Wide(planted).c_str(),
                                  testtools::Wide(folder_ / (std::string(name) + ".dll")).c_str(), FALSE));
        SetEnvironmentVariableA("STANDIN_RECORD", record_.c_str());
        SetEnvironmentVariableA("STANDIN_EXIT_CODE", "0");
        e2e::RemoveTree(e2e::DefaultExtractionFolder(ProductCode));
        ASSERT_TRUE(CopyFileW(testtools::Wide(testtools::WindowsPathOfUnixPath(PLANTED_PROBE_PATH)).c_str(),
                              testtools::Wide(probe_).c_str(), FALSE));
        startUp_ = ProbeLoads("");
    }
    void TearDown() override { e2e::RemoveTree(e2e::DefaultExtractionFolder(ProductCode)); }

    // The placed DLLs that were loaded, by the markers they left; the markers are removed.
    Loads TakeLoads() const
    {
        Loads loads;
        for (const char *name : plantedNames) {
            std::string marker = folder_ / (std::string(name) + ".dll.loaded");
            if (!e2e::Exists(marker))
                continue;
            loads[name] = testfiles::ReadAll(marker).size();
            DeleteFileA(marker.c_str());
        }
        return loads;
    }

    // What the probe loads when it loads the DLLs named in arguments.
    Loads ProbeLoads(const std::string &arguments)
    {
        e2e::Run run = e2e::RunWatched(probe_, arguments);
        EXPECT_TRUE(run.ended);
        return TakeLoads();
    }

    std::string Packed()
    {
        std::string setup = folder_ / "setup.exe";
        e2e::WritePackedLauncher(setup, e2e::BuiltPackage("good", ProductCode, ProductName));
        return setup;
    }

    e2e::ScratchFolder folder_{"planted"};
    std::string record_ = folder_ / "record.txt";
    std::string probe_ = folder_ / "probe.exe";
    Loads startUp_; // what the system loads before a program's own code runs
};

// The control: a program that loads these names with the default search order takes every
// placed copy (Wine runs this test with overrides that prefer them), so the markers do show a
// planted load.
TEST_F(PlantedDlls, AreTakenByAProgramThatDoesNotPreventIt)
{
    std::string names;
    Loads expected = startUp_;
    for (const char *name : plantedNames) {
        names += std::string(" ") + name + ".dll";
        expected[name]++;
    }
    EXPECT_EQ(ProbeLoads(names), expected);
    std::printf("loaded by the system at start-up: %s\n", testing::PrintToString(startUp_).c_str());
}

TEST_F(PlantedDlls, AreNotLoadedByAnInstallation)
{
    e2e::Run run = e2e::RunWatched(Packed(), " /qn");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_FALSE(e2e::ReadText(record_).empty()) << "the installer started";
    EXPECT_EQ(TakeLoads(), startUp_) << "the launcher loads no placed DLL";
}

TEST_F(PlantedDlls, AreNotLoadedByAPayloadThatDoesNotVerify)
{
    std::string setup = Packed();
    // One changed byte in the head item's signature: walk back over the two file items.
    e2e::Bytes image = testfiles::ReadAll(setup);
    ASSERT_GT(image.size(), 1000u);
    std::size_t end = image.size();
    for (int item = 0; item < 2; ++item)
        end -= 28 + ReadU32(image, end - 8) + ReadU32(image, end - 4);
    std::size_t signatureLength = ReadU32(image, end - 8);
    image[end - 28 - signatureLength + 10] ^= 0x01;
    testfiles::WriteAll(setup, image);

    e2e::Run run = e2e::RunWatched(setup, "");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 1392u);
    EXPECT_EQ(run.windows.size(), 1u) << "one message box";
    EXPECT_TRUE(e2e::ReadText(record_).empty()) << "the installer did not start";
    EXPECT_EQ(TakeLoads(), startUp_) << "the launcher loads no placed DLL";
}

TEST_F(PlantedDlls, AreNotLoadedByTheFolderBrowser)
{
    // A file where the default extraction folder would be brings up the browser.
    std::string blocker = e2e::DefaultExtractionFolder(ProductCode);
    HANDLE file = CreateFileA(blocker.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);

    bool browser = false;
    e2e::Run run = e2e::RunWatched(Packed(), "", [&](HWND window, const testtools::MessageBoxContents &) {
        for (const testtools::WindowInfo &child : testtools::ListChildWindows(window))
            browser = browser || child.className == "SysTreeView32";
        testtools::ClickButton(window, "Cancel");
    });
    DeleteFileA(blocker.c_str());
    ASSERT_TRUE(run.ended);
    EXPECT_TRUE(browser) << "the folder browser came up";
    EXPECT_EQ(run.exitCode, 1223u);
    EXPECT_EQ(TakeLoads(), startUp_) << "the launcher loads no placed DLL";
}

} // namespace
