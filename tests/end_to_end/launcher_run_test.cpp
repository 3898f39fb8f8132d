// launcher.exe run whole under Wine: its payload found at the end of the file, behind its
// signature or in a certificate extension, or not at all; the exit code and the one message box.
#include "tests/end_to_end/launcher_copies.h"
#include "tests/fixtures/fixtures.h"
#include "tests/tools/file_tools.h"
#include "tests/tools/process_tools.h"
#include "tests/tools/wide_text.h"
#include "tests/unit/system_text.h"
#include "tests/unit/win32_test_files.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using endtoend::Bytes;

const char DamagedPackageText[] =
    "The installation file is either corrupted or does not support your processor architecture.";

// The system's text for code, trimmed as the launcher trims it, with the launcher's detail.
std::string StandardText(DWORD code, DWORD line)
{
    std::string trimmed = TrimmedSystemText(code);
    std::string detail = "(1, " + std::to_string(code) + ", " + std::to_string(line) + ").";
    return trimmed.empty() ? "Error " + std::to_string(code) + " " + detail : trimmed + " " + detail;
}

Bytes Appended(Bytes image, const Bytes &container)
{
    image.insert(image.end(), container.begin(), container.end());
    return image;
}

const writer::DirectoryEntry IntelPackage = {1000,
                                             "Intel\\1033\\{6B1D2C4E-0F3A-4B5C-8D7E-9F0A1B2C3D4E}\\Sample Product"};

// A directory whose only package is for 32-bit machines, with its file present.
Bytes IntelOnlyContainer()
{
    return endtoend::MakeContainer({IntelPackage}, {{1000, Bytes(300, 0x42)}});
}

// The same directory alone: the container ends with the head item's signature and trailer.
Bytes HeadOnlyContainer()
{
    return endtoend::MakeContainer({IntelPackage}, {});
}

class LauncherRunTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        launcher_ = new Bytes(endtoend::BuiltLauncher());
        withoutString_ = new Bytes(endtoend::WithoutString(*launcher_, 101));
    }
    static void TearDownTestSuite()
    {
        delete launcher_;
        delete withoutString_;
    }

    // Writes image as <name>.exe in this test's output folder and returns its path.
    static std::string Place(const std::string &name, const Bytes &image)
    {
        std::string path = testtools::TestOutputFolder("launcher_run") + "\\" + name + ".exe";
        testfiles::WriteAll(path, image);
        return path;
    }

    static Bytes *launcher_;
    static Bytes *withoutString_;
};

Bytes *LauncherRunTest::launcher_;
Bytes *LauncherRunTest::withoutString_;

struct PayloadCase {
    const char *name;
    std::function<Bytes(const Bytes &launcher)> image;
    DWORD exitCode;
    DWORD line; // shown in the standard text when string 101 is missing
};

TEST_F(LauncherRunTest, ReportsAPayloadItCannotUseWithExitCodeAndOneBox)
{
    const PayloadCase cases[] = {
        {"no-payload", [](const Bytes &launcher) { return launcher; }, ERROR_NOT_FOUND, 509},
        {"damaged-signature",
         [](const Bytes &launcher) {
             Bytes container = HeadOnlyContainer();
             container[container.size() - 28 - 1] ^= 0x01;
             return Appended(launcher, container);
         },
         ERROR_FILE_CORRUPT, 592},
        {"damaged-stream",
         [](const Bytes &launcher) {
             // The head item comes first: its first byte is the zlib header.
             Bytes container = HeadOnlyContainer();
             container[0] ^= 0xFF;
             return Appended(launcher, container);
         },
         ERROR_INVALID_DATA, 551},
        {"no-package-for-x64", [](const Bytes &launcher) { return Appended(launcher, IntelOnlyContainer()); },
         ERROR_INVALID_DATA, 2151},
    };
    for (const PayloadCase &c : cases) {
        SCOPED_TRACE(c.name);
        std::string program = Place(c.name, c.image(*launcher_));
        std::string screenshot = testtools::TestOutputFolder("launcher_run") + "\\" + c.name + ".bmp";
        endtoend::LauncherRun run = endtoend::RunAndAnswer(program, "", screenshot);
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.exitCode, c.exitCode);
        ASSERT_TRUE(run.box.has_value());
        EXPECT_EQ(run.boxCount, 1);
        EXPECT_EQ(run.box->caption, std::string(c.name) + ".exe");
        EXPECT_EQ(run.box->text, DamagedPackageText);
        EXPECT_EQ(run.box->buttons, std::vector<std::string>{"OK"});
        EXPECT_TRUE(run.box->hasIcon);

        // Without string 101 the standard text names the code and the failure's line.
        std::string bare = Place(std::string(c.name) + "-no-string", c.image(*withoutString_));
        run = endtoend::RunAndAnswer(bare, "");
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.exitCode, c.exitCode);
        ASSERT_TRUE(run.box.has_value());
        EXPECT_EQ(run.box->text, StandardText(c.exitCode, c.line));
    }
}

TEST_F(LauncherRunTest, FindsThePayloadBehindItsSignatureOrInACertificateExtension)
{
    Bytes signedLauncher = endtoend::SignedBuiltLauncher();
    const struct {
        const char *name;
        Bytes image;
    } cases[] = {
        {"behind-signature", fixtures::EmbedBehindSignature(signedLauncher, IntelOnlyContainer())},
        {"certificate-extension",
         fixtures::WithCertificateEntry(*launcher_, fixtures::MakeSignatureObject({{{IntelOnlyContainer()}}}))},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        // The directory is read and verified; the selection then finds no package for x64.
        endtoend::LauncherRun run = endtoend::RunAndAnswer(Place(c.name, c.image), "");
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.exitCode, ERROR_INVALID_DATA);
        ASSERT_TRUE(run.box.has_value());
        EXPECT_EQ(run.box->text, DamagedPackageText);
    }
}

TEST_F(LauncherRunTest, QuietSwitchesInAnyCaseSuppressTheBox)
{
    std::string program = Place("quiet", *launcher_);
    const struct {
        const char *arguments;
        bool box;
    } cases[] = {
        {" /q", false},      {" /QN", false}, {" /Quiet", false},  {" TRANSFORMS=a.mst /qn", false},
        {" \"/qn\"", false}, {" /qb", true},  {" /passive", true}, {" -q", true},
        {" /qn2", true},     {"", true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.arguments);
        endtoend::LauncherRun run = endtoend::RunAndAnswer(program, c.arguments);
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.exitCode, ERROR_NOT_FOUND);
        EXPECT_EQ(run.box.has_value(), c.box);
    }
}

TEST_F(LauncherRunTest, RefusesAnOwnFileOfFourGibibytesOrMore)
{
    // Sparse on the Linux side: the file takes no room on disk.
    std::string program = Place("four-gibibytes", *launcher_);
    HANDLE file = CreateFileW(testtools::Wide(program).c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    LARGE_INTEGER size;
    size.QuadPart = 0x100000000LL + static_cast<LONGLONG>(launcher_->size());
    EXPECT_TRUE(SetFilePointerEx(file, size, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(file));
    CloseHandle(file);

    endtoend::LauncherRun run = endtoend::RunAndAnswer(program, "");
    DeleteFileW(testtools::Wide(program).c_str());
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, ERROR_SEEK_ON_DEVICE);
    ASSERT_TRUE(run.box.has_value());
    EXPECT_EQ(run.box->text, DamagedPackageText);
}

} // namespace
