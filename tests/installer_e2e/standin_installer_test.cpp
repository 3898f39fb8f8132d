// launcher.exe with a stand-in msiexec.exe in the prefix's system folder, which records how it
// was started and exits with the code the test asks for: the command line, the exit codes, the
// progress window, a write that fails, and the folder browser.
#include <windows.h>

#include <commctrl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <optional>
#include <sstream>
#include <thread>

#include "payload/file_name_rule.h"
#include "tests/installer_e2e/e2e_support.h"
#include "tests/tools/file_tools.h"
#include "tests/tools/process_tools.h"
#include "tests/tools/wide_text.h"

namespace {

const std::string ProductCode = GOOD_PRODUCT_CODE;
const std::string ProductName = "Launcher Test Product";
const char ProgressClassName[] = "MSI_STUB_WINDOW_CLASS_NAME";

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

bool HasChildOfClass(HWND window, const std::string &className)
{
    for (const testtools::WindowInfo &child : testtools::ListChildWindows(window))
        if (child.className == className)
            return true;
    return false;
}

// A package whose cabinet is large but compresses well: what the stand-in gets does not matter.
e2e::Package LargePackage(std::size_t cabinetBytes)
{
    e2e::Package package = e2e::BuiltPackage("good", ProductCode, ProductName);
    package.cabinet.resize(cabinetBytes);
    for (std::size_t i = 0; i < cabinetBytes; i++)
        package.cabinet[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 12));
    return package;
}

class StandInInstaller : public testing::Test {
  protected:
    void SetUp() override
    {
        record_ = folder_ / "record.txt";
        probe_ = folder_ / "probe.txt";
        SetEnvironmentVariableA("STANDIN_RECORD", record_.c_str());
        SetEnvironmentVariableA("STANDIN_PROBE", probe_.c_str());
        SetExitCode(0);
        e2e::RemoveTree(e2e::DefaultExtractionFolder(ProductCode));
    }
    void TearDown() override { e2e::RemoveTree(e2e::DefaultExtractionFolder(ProductCode)); }

    static void SetExitCode(DWORD code) { SetEnvironmentVariableA("STANDIN_EXIT_CODE", std::to_string(code).c_str()); }

    // Path and command line of every start of the stand-in, a pair per start.
    std::vector<std::string> Starts() const { return Lines(e2e::ReadText(record_)); }

    std::string Packed(const e2e::Package &package, int level = 9)
    {
        std::string setup = folder_ / "setup.exe";
        e2e::WritePackedLauncher(setup, package, level);
        return setup;
    }

    e2e::ScratchFolder folder_{"standin"};
    std::string record_;
    std::string probe_; // what the stand-in found while it ran
    const std::string systemInstaller_ = e2e::SystemFolder() + "\\msiexec.exe";
    const std::string package_ = e2e::DefaultExtractionFolder(ProductCode) + "\\main.msi";
};

TEST_F(StandInInstaller, GetsThePackageAndTheArgumentsInOrder)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    // An msiexec.exe beside the launcher must never be the one that runs.
    ASSERT_TRUE(CopyFileW(testtools::Wide(testtools::WindowsPathOfUnixPath(STANDIN_MSIEXEC_PATH)).c_str(),
                          testtools::Wide(folder_ / "msiexec.exe").c_str(), FALSE));

    e2e::Run run = e2e::RunWatched(setup, " TRANSFORMS=a.mst \"A B\" \"\" /qn");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.windows.empty());

    std::vector<std::string> starts = Starts();
    ASSERT_EQ(starts.size(), 2u) << "one start of the installer";
    EXPECT_EQ(starts[0], systemInstaller_) << "the installer of the system folder ran";
    // The package's final path with its drive letter, as the Windows Installer keeps a source. The
    // empty argument adds only its space, and so vanishes for the installer.
    EXPECT_EQ(starts[1], systemInstaller_ + " /i " + package_ + " TRANSFORMS=a.mst \"A B\"  /qn");
    EXPECT_TRUE(e2e::Exists(package_)) << "a successful installer keeps the files";
}

// The launcher's arguments reach the installer as they were given: a fullwidth quote stays itself
// inside its one argument (best fit would make it a quote that splits the argument in three), and
// a folder outside the ANSI code page stays that folder.
TEST_F(StandInInstaller, ArgumentsOutsideTheCodePageArriveUnchanged)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    std::string arguments = folder_ / "arguments.txt";
    SetEnvironmentVariableA("STANDIN_ARGUMENTS", arguments.c_str());
    const std::string quoted = "PROP=a\xEF\xBC\x82 /x \xEF\xBC\x82"
                               "b";                                   // U+FF02, UTF-8
    const std::string folder = "INSTALLDIR=C:\\\xC4\x80\xE4\xB8\xAD"; // U+0100 U+4E2D
    e2e::Run run = e2e::RunWatched(setup, " \"" + quoted + "\" " + folder + " /qn");
    SetEnvironmentVariableA("STANDIN_ARGUMENTS", nullptr);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(Lines(e2e::ReadText(arguments)),
              (std::vector<std::string>{systemInstaller_, "/i", package_, quoted, folder, "/qn"}));
}

// The installer is shown as the launcher was asked to show itself, and while it runs no other
// process can write, rename or delete the package it reads, the cabinet, or their folder.
TEST_F(StandInInstaller, StartsWithTheLaunchersShowCommandOnLockedFiles)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    e2e::Run run = e2e::RunWatched(setup, " /qn", nullptr, nullptr, 120000, SW_SHOWMINNOACTIVE);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(
        Lines(e2e::ReadText(probe_)),
        (std::vector<std::string>{
            "flags " + std::to_string(STARTF_USESHOWWINDOW) + " show " + std::to_string(SW_SHOWMINNOACTIVE),
            "write " + std::to_string(ERROR_SHARING_VIOLATION), "delete " + std::to_string(ERROR_SHARING_VIOLATION),
            "folder rename " + std::to_string(ERROR_SHARING_VIOLATION) + " delete " +
                std::to_string(ERROR_SHARING_VIOLATION),
            "disk1.cab rename " + std::to_string(ERROR_SHARING_VIOLATION) + " delete " +
                std::to_string(ERROR_SHARING_VIOLATION),
            "launcher.lock rename " + std::to_string(ERROR_SHARING_VIOLATION) + " delete " +
                std::to_string(ERROR_SHARING_VIOLATION),
            "main.msi rename " + std::to_string(ERROR_SHARING_VIOLATION) + " delete " +
                std::to_string(ERROR_SHARING_VIOLATION)}));
    // Once the installer has ended the files are the launcher's no more.
    HANDLE writer = CreateFileA(package_.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(writer, INVALID_HANDLE_VALUE);
    CloseHandle(writer);
}

// What an earlier run left in the extraction folder never stops an unattended install.
TEST_F(StandInInstaller, LeftoversAreReplacedOrUsedWithoutAWindow)
{
    e2e::Package package = e2e::BuiltPackage("good", ProductCode, ProductName);
    std::string setup = Packed(package);
    const std::string folder = e2e::DefaultExtractionFolder(ProductCode);
    const FILETIME past = {0, 0x01C00000}; // long before this run

    for (bool identical : {false, true}) {
        SCOPED_TRACE(identical ? "identical leftover" : "differing leftover");
        e2e::RemoveTree(folder);
        DeleteFileA(record_.c_str());
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        e2e::Bytes leftover = package.database;
        if (!identical)
            leftover.resize(leftover.size() / 2);
        testfiles::WriteAll(package_, leftover);
        HANDLE file = CreateFileA(package_.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &past));
        CloseHandle(file);

        e2e::Run run = e2e::RunWatched(setup, " /qn");
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(run.windows.empty()) << "no folder browser, no box";
        EXPECT_EQ(Starts().size(), 2u);
        EXPECT_EQ(testfiles::ReadAll(package_), package.database);
        WIN32_FILE_ATTRIBUTE_DATA data;
        ASSERT_TRUE(GetFileAttributesExA(package_.c_str(), GetFileExInfoStandard, &data));
        bool untouched = CompareFileTime(&data.ftLastWriteTime, &past) == 0;
        EXPECT_EQ(untouched, identical) << "an identical file is used as it is, another one written afresh";
    }
}

// A differing main.msi in place may be the source of the installed product: it is moved aside,
// not deleted, and comes back when the installer fails while the product is registered. One row
// puts it back, one deletes everything; InstallerCleanUp settles every other outcome.
struct LeftoverCase {
    const char *name;
    DWORD exitCode;
    bool registered;
    bool folderStays;
    bool originalBack; // else the verified package is in place
};

class StandInLeftover : public StandInInstaller, public testing::WithParamInterface<LeftoverCase> {
  protected:
    void TearDown() override
    {
        RegDeleteKeyExA(HKEY_LOCAL_MACHINE, UninstallKey().c_str(), KEY_WOW64_64KEY, 0);
        StandInInstaller::TearDown();
    }
    static std::string UninstallKey()
    {
        return "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + ProductCode;
    }
};

TEST_P(StandInLeftover, IsKeptUntilTheInstallSucceeded)
{
    const LeftoverCase &c = GetParam();
    e2e::Package package = e2e::BuiltPackage("good", ProductCode, ProductName);
    std::string setup = Packed(package);
    const std::string folder = e2e::DefaultExtractionFolder(ProductCode);
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    const e2e::Bytes original = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
    testfiles::WriteAll(package_, original);
    if (c.registered) {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, UninstallKey().c_str(), 0, nullptr, 0,
                                  KEY_WRITE | KEY_WOW64_64KEY, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        const char command[] = "MsiExec.exe /X{x}";
        RegSetValueExA(key, "UninstallString", 0, REG_SZ, reinterpret_cast<const BYTE *>(command), sizeof command);
        RegCloseKey(key);
    }
    SetExitCode(c.exitCode);

    e2e::Run run = e2e::RunWatched(setup, " /qn");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, c.exitCode);
    EXPECT_TRUE(run.windows.empty());
    ASSERT_EQ(Starts().size(), 2u);
    if (!c.folderStays) {
        EXPECT_FALSE(e2e::Exists(folder)) << "everything deleted";
        return;
    }
    EXPECT_EQ(testfiles::FolderNames(folder), (std::vector<std::string>{package.cabinetName, "main.msi"}))
        << "no moved-aside file is left";
    EXPECT_EQ(testfiles::ReadAll(package_), c.originalBack ? original : package.database);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, StandInLeftover,
                         testing::Values(LeftoverCase{"FailedRegistered", 1603, true, true, true},
                                         LeftoverCase{"FailedNotRegistered", 1603, false, false, false}),
                         [](const testing::TestParamInfo<LeftoverCase> &info) { return std::string(info.param.name); });

TEST_F(StandInInstaller, CabinetNamedTwiceInstalls)
{
    e2e::Package package = e2e::BuiltPackage("good", ProductCode, ProductName);
    std::string setup = folder_ / "setup.exe";
    e2e::WritePackedLauncher(setup, package, 9, "1000;1000");
    e2e::Run run = e2e::RunWatched(setup, " /qn");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.windows.empty());
    EXPECT_EQ(Starts().size(), 2u);
    EXPECT_EQ(testfiles::ReadAll(e2e::DefaultExtractionFolder(ProductCode) + "\\" + package.cabinetName),
              package.cabinet);
}

// Ends the process at once, as a user's Task Manager or a power cut would.
void Kill(DWORD processId)
{
    HANDLE process = OpenProcess(PROCESS_TERMINATE, FALSE, processId);
    if (process != nullptr) {
        TerminateProcess(process, 1);
        CloseHandle(process);
    }
}

// A run killed at some moment, then a good run for the same product: the good one settles what
// the killed one left, and the folder holds exactly the package. A differing main.msi, the
// source of an earlier install, is in place before the killed run.
class StandInKilledRun : public StandInInstaller {
  protected:
    void TearDown() override
    {
        SetEnvironmentVariableA("STANDIN_SLEEP_MS", nullptr);
        StandInInstaller::TearDown();
    }

    // Runs setup until killed() says so, then kills it.
    void RunAndKill(const std::string &setup, const std::function<bool()> &killNow)
    {
        bool killed = false;
        e2e::Run run = e2e::RunWatched(setup, " /qn", nullptr, [&](DWORD processId) {
            if (!killed && killNow()) {
                Kill(processId);
                killed = true;
            }
        });
        ASSERT_TRUE(run.ended);
        ASSERT_TRUE(killed) << "the moment to kill never came";
    }

    void ExpectAGoodRunSettlesIt(const std::string &setup, const e2e::Package &package)
    {
        SetEnvironmentVariableA("STANDIN_SLEEP_MS", nullptr);
        e2e::Run run = e2e::RunWatched(setup, " /qn");
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.exitCode, 0u);
        EXPECT_TRUE(run.windows.empty());
        EXPECT_EQ(testfiles::FolderNames(extracted_), (std::vector<std::string>{package.cabinetName, "main.msi"}))
            << "exactly the package";
        EXPECT_TRUE(testfiles::ReadAll(package_) == package.database);
        EXPECT_TRUE(testfiles::ReadAll(extracted_ + "\\" + package.cabinetName) == package.cabinet);
    }

    const std::string extracted_ = e2e::DefaultExtractionFolder(ProductCode);
    const e2e::Bytes earlier_ = {'e', 'a', 'r', 'l', 'i', 'e', 'r'};
};

TEST_F(StandInKilledRun, WhileWritingThenAGoodRun)
{
    // Large enough that writing it spans many of the watcher's looks.
    e2e::Package package = LargePackage(256u << 20);
    std::string setup = Packed(package, 1);
    ASSERT_TRUE(CreateDirectoryA(extracted_.c_str(), nullptr));
    testfiles::WriteAll(package_, earlier_);
    const std::string partialCabinet = extracted_ + "\\" + package.cabinetName + ".partial";
    RunAndKill(setup, [&] { return e2e::Exists(partialCabinet); });
    if (HasFatalFailure())
        return;
    EXPECT_TRUE(e2e::ReadText(record_).empty()) << "the installer did not start";
    EXPECT_FALSE(e2e::Exists(extracted_ + "\\" + package.cabinetName)) << "no part of a file under its name";
    EXPECT_TRUE(testfiles::ReadAll(package_) == earlier_) << "the earlier file keeps its name";

    ExpectAGoodRunSettlesIt(setup, package);
}

TEST_F(StandInKilledRun, WhileTheInstallerRunsThenAGoodRun)
{
    e2e::Package package = e2e::BuiltPackage("good", ProductCode, ProductName);
    std::string setup = Packed(package);
    ASSERT_TRUE(CreateDirectoryA(extracted_.c_str(), nullptr));
    testfiles::WriteAll(package_, earlier_);
    SetEnvironmentVariableA("STANDIN_SLEEP_MS", "3000");
    RunAndKill(setup, [&] { return !e2e::ReadText(record_).empty(); });
    if (HasFatalFailure())
        return;
    EXPECT_EQ(testfiles::FolderNames(extracted_),
              (std::vector<std::string>{package.cabinetName, RunLockFileName, "main.msi", "main.msi.0.aside"}))
        << "the killed run's lock file (no longer held) and the earlier file aside";

    ExpectAGoodRunSettlesIt(setup, package);
}

// A second launcher for the product while the first one's installer runs ends by itself with
// 1618 and touches nothing of the first's; the first goes on to its end.
TEST_F(StandInInstaller, SecondLauncherForTheProductEndsAtOnce)
{
    e2e::Package package = e2e::BuiltPackage("good", ProductCode, ProductName);
    std::string setup = Packed(package);
    std::string second = folder_ / "second.exe";
    ASSERT_TRUE(CopyFileW(testtools::Wide(setup).c_str(), testtools::Wide(second).c_str(), FALSE));
    const std::string folder = e2e::DefaultExtractionFolder(ProductCode);
    SetEnvironmentVariableA("STANDIN_SLEEP_MS", "4000");

    std::optional<e2e::Run> secondRun;
    std::vector<std::string> namesAfterSecond;
    e2e::Run first = e2e::RunWatched(setup, " /qn", nullptr, [&](DWORD) {
        if (secondRun || e2e::ReadText(record_).empty())
            return;
        secondRun = e2e::RunWatched(second, " /qn", nullptr, nullptr, 60000);
        namesAfterSecond = testfiles::FolderNames(folder);
    });
    SetEnvironmentVariableA("STANDIN_SLEEP_MS", nullptr);

    ASSERT_TRUE(secondRun.has_value()) << "the first run's installer never started";
    ASSERT_TRUE(secondRun->ended) << "the second launcher did not end by itself";
    EXPECT_EQ(secondRun->exitCode, static_cast<DWORD>(ERROR_INSTALL_ALREADY_RUNNING));
    EXPECT_TRUE(secondRun->windows.empty());
    EXPECT_EQ(namesAfterSecond, (std::vector<std::string>{package.cabinetName, RunLockFileName, "main.msi"}))
        << "the first run's files and lock are untouched";
    ASSERT_TRUE(first.ended);
    EXPECT_EQ(first.exitCode, 0u);
    EXPECT_EQ(Starts().size(), 2u) << "one installer start, the first run's";
    EXPECT_EQ(testfiles::FolderNames(folder), (std::vector<std::string>{package.cabinetName, "main.msi"}));
    EXPECT_TRUE(testfiles::ReadAll(package_) == package.database);
}

class StandInExitCodes : public StandInInstaller, public testing::WithParamInterface<DWORD> {};

TEST_P(StandInExitCodes, ArePassedOnWithoutAMessageBox)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    SetExitCode(GetParam());

    // No quiet switch: any box the launcher showed would be seen.
    e2e::Run run = e2e::RunWatched(setup, "");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, GetParam());
    EXPECT_TRUE(run.windows.empty()) << "no message box";
    EXPECT_EQ(Starts().size(), 2u);
    EXPECT_FALSE(e2e::Exists(e2e::DefaultExtractionFolder(ProductCode)))
        << "the product is not registered: files deleted, folder removed";
}

INSTANTIATE_TEST_SUITE_P(Codes, StandInExitCodes, testing::Values(1602u, 3010u));

// Wine runs a Linux program that a Windows one starts, but reports no process for it: it is
// started and not waited for.
void StartLinuxCommand(const std::string &shellCommand)
{
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    std::string commandLine = "sh -c \"" + shellCommand + "\"";
    if (CreateProcessA("Z:\\bin\\sh", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                       &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
}

// Drags the window by its caption with the X server's mouse, as a user would move it.
void DragByCaption(HWND window, int dx, int dy)
{
    RECT rect;
    GetWindowRect(window, &rect);
    int x = (rect.left + rect.right) / 2;
    int y = rect.top + GetSystemMetrics(SM_CYDLGFRAME) + GetSystemMetrics(SM_CYCAPTION) / 2;
    StartLinuxCommand("xdotool mousemove " + std::to_string(x) + " " + std::to_string(y) +
                      " mousedown 1 sleep 0.05 mousemove " + std::to_string(x + dx) + " " + std::to_string(y + dy) +
                      " sleep 0.05 mouseup 1");
}

int BarPosition(HWND bar)
{
    DWORD_PTR position = 0;
    if (!SendMessageTimeoutA(bar, PBM_GETPOS, 0, 0, SMTO_ABORTIFHUNG, 2000, &position))
        return -1;
    return static_cast<int>(position);
}

// How far the bar is drawn filled in the screenshot: the highlight-coloured pixels of its middle
// row, and the rightmost of them, both counted from the bar's left edge (-1 when none).
struct DrawnFill {
    int pixels = 0;
    int rightmost = -1;
    int width = 0;
};

DrawnFill FillInScreenshot(const testtools::Screenshot &shot, HWND window, HWND bar)
{
    RECT windowRect, barRect;
    GetWindowRect(window, &windowRect);
    GetWindowRect(bar, &barRect);
    DrawnFill fill;
    fill.width = barRect.right - barRect.left;
    int y = (barRect.top + barRect.bottom) / 2 - windowRect.top;
    COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    for (int x = 0; x < fill.width; x++) {
        if (shot.Pixel(barRect.left - windowRect.left + x, y) == highlight) {
            fill.pixels++;
            fill.rightmost = x;
        }
    }
    return fill;
}

// Whether the file holds exactly these bytes, read a slice at a time.
bool FileHolds(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    HANDLE file =
        CreateFileW(testtools::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    std::vector<std::uint8_t> slice(1u << 20);
    std::size_t offset = 0;
    bool same = true;
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, slice.data(), static_cast<DWORD>(slice.size()), &got, nullptr)) {
            same = false;
            break;
        }
        if (got == 0)
            break;
        if (got > bytes.size() - offset || !std::equal(slice.begin(), slice.begin() + got, bytes.begin() + offset)) {
            same = false;
            break;
        }
        offset += got;
    }
    CloseHandle(file);
    return same && offset == bytes.size();
}

// How long each message sent to the window took to be answered, one after the other from the
// window's first sight until it is gone, as another program (or the system asking whether it
// hangs) would send them.
std::vector<double> TimeAnswers(HWND window)
{
    std::vector<double> milliseconds;
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    while (IsWindow(window)) {
        LARGE_INTEGER before, after;
        DWORD_PTR result = 0;
        QueryPerformanceCounter(&before);
        LRESULT answered = SendMessageTimeoutA(window, WM_NULL, 0, 0, SMTO_NORMAL, 5000, &result);
        QueryPerformanceCounter(&after);
        // A message that was not answered counts too, unless the window went away meanwhile.
        if (answered || IsWindow(window))
            milliseconds.push_back(static_cast<double>(after.QuadPart - before.QuadPart) * 1000.0 /
                                   static_cast<double>(frequency.QuadPart));
        Sleep(1);
    }
    return milliseconds;
}

TEST_F(StandInInstaller, ProgressWindowMovesWhileALargeCabinetIsWritten)
{
    // 1 GiB that packs small: long enough to write that the keys, the drag and the screenshot all
    // happen before it ends, on a fast machine too.
    e2e::Package package = LargePackage(std::size_t{1} << 30);
    std::string setup = Packed(package, 1);
    std::string screenshot = testtools::TestOutputFolder("progress_window") + "\\progress.bmp";

    HWND progress = nullptr;
    std::string caption, barClass;
    bool moved = false, survivedCloseKeys = false;
    int positionBefore = -1, positionAfter = -1;
    DrawnFill fill;
    std::vector<double> answers;
    std::thread answerTimer;
    auto watch = [&](DWORD processId) {
        if (progress != nullptr)
            return;
        testtools::WindowQuery query;
        query.processId = processId;
        query.className = ProgressClassName;
        std::vector<testtools::WindowInfo> found = testtools::ListTopLevelWindows(query);
        if (found.empty() || !found.front().visible)
            return;
        progress = found.front().handle;
        answerTimer = std::thread([&answers, window = progress] { answers = TimeAnswers(window); });
        caption = testtools::ReadWindowText(progress);
        HWND bar = FindWindowExA(progress, nullptr, "msctls_progress32", nullptr);
        barClass = bar != nullptr ? "msctls_progress32" : "";

        // Escape and Alt+F4 as the keyboard sends them, and the close command itself, first of
        // all, while most of the cabinet is still to be written.
        PostMessageA(progress, WM_KEYDOWN, VK_ESCAPE, 1);
        PostMessageA(progress, WM_KEYUP, VK_ESCAPE, 0xC0000001);
        PostMessageA(progress, WM_SYSKEYDOWN, VK_F4, 0x20000001);
        PostMessageA(progress, WM_SYSKEYUP, VK_F4, 0xE0000001);
        PostMessageA(progress, WM_SYSCOMMAND, SC_CLOSE, 0);
        PostMessageA(progress, WM_CLOSE, 0, 0);
        Sleep(100);
        survivedCloseKeys = IsWindow(progress) != FALSE && BarPosition(bar) < 100;

        RECT start, now;
        GetWindowRect(progress, &start);
        DragByCaption(progress, -120, -200);
        for (int i = 0; i < 1000 && !moved && IsWindow(progress); i++) {
            Sleep(5);
            moved = GetWindowRect(progress, &now) && (now.left != start.left || now.top != start.top);
        }
        if (!moved || bar == nullptr)
            return;
        // Mid-way through the cabinet, after the move: the bar and the caption as drawn.
        positionBefore = BarPosition(bar);
        std::optional<testtools::Screenshot> shot = testtools::CaptureWindow(progress);
        positionAfter = BarPosition(bar);
        if (shot) {
            testtools::SaveScreenshot(*shot, screenshot);
            fill = FillInScreenshot(*shot, progress, bar);
        }
    };
    e2e::Run run = e2e::RunWatched(setup, "", nullptr, watch);
    if (answerTimer.joinable())
        answerTimer.join();

    ASSERT_NE(progress, nullptr) << "the progress window appeared";
    // Every message sent to the window while the 1 GiB cabinet is written, through the keys, the
    // drag and the screenshot, is answered within a quarter of a second.
    EXPECT_GE(answers.size(), 10u) << "messages were sent while the cabinet was written";
    double slowest = answers.empty() ? 0 : *std::max_element(answers.begin(), answers.end());
    EXPECT_LE(slowest, 250.0) << "the slowest of " << answers.size() << " answers, in ms";
    std::printf("[answers] %zu messages answered, the slowest in %.1f ms\n", answers.size(), slowest);
    EXPECT_EQ(caption, ProductName);
    EXPECT_EQ(barClass, "msctls_progress32");
    EXPECT_TRUE(survivedCloseKeys) << "Escape, Alt+F4 and the close command leave the window open";
    ASSERT_TRUE(moved) << "the window moved while the cabinet was written";
    EXPECT_GT(positionBefore, 0);
    EXPECT_LT(positionAfter, 100);
    EXPECT_LE(positionBefore, positionAfter);
    EXPECT_TRUE(e2e::Exists(screenshot));
    EXPECT_GT(fill.pixels, 0) << "the screenshot shows the bar partly filled";
    EXPECT_LT(fill.rightmost, fill.width - 4) << "and not full";

    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u) << "the extraction went on to the installer";
    EXPECT_EQ(Starts().size(), 2u);
    EXPECT_TRUE(run.windows.empty());
    std::string folder = e2e::DefaultExtractionFolder(ProductCode);
    EXPECT_TRUE(testfiles::ReadAll(folder + "\\main.msi") == package.database);
    EXPECT_TRUE(FileHolds(folder + "\\disk1.cab", package.cabinet)) << "the cabinet is written whole";
}

// The default folder can't be used when a file stands where the ProductCode folder would be.
class StandInFolderPrompt : public StandInInstaller {
  protected:
    void SetUp() override
    {
        StandInInstaller::SetUp();
        blocker_ = e2e::DefaultExtractionFolder(ProductCode);
        HANDLE file = CreateFileA(blocker_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
    }
    void TearDown() override
    {
        DeleteFileA(blocker_.c_str());
        e2e::RemoveTree(e2e::DocumentsFolder() + "\\" + ProductCode);
        StandInInstaller::TearDown();
    }
    std::string blocker_;
};

TEST_F(StandInFolderPrompt, CancellingTheBrowserEndsWith1223AndNoBox)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    bool browser = false;
    e2e::Run run = e2e::RunWatched(setup, "", [&](HWND window, const testtools::MessageBoxContents &) {
        browser = HasChildOfClass(window, "SysTreeView32");
        testtools::ClickButton(window, "Cancel");
    });
    ASSERT_TRUE(run.ended);
    EXPECT_TRUE(browser) << "the folder browser came up";
    EXPECT_EQ(run.exitCode, 1223u);
    EXPECT_EQ(run.windows.size(), 1u) << "no box after the browser";
    EXPECT_TRUE(e2e::ReadText(record_).empty()) << "the installer did not start";
    EXPECT_TRUE(e2e::Exists(blocker_)) << "the file in the way is left alone";
}

// A chosen folder that fails too brings the browser back; cancelling it then ends the run.
TEST_F(StandInFolderPrompt, BrowserComesBackAfterAChosenFolderFails)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    std::string chosenBlocker = e2e::DocumentsFolder() + "\\" + ProductCode;
    testfiles::WriteAll(chosenBlocker, {1});
    int browsers = 0;
    e2e::Run run = e2e::RunWatched(setup, "", [&](HWND window, const testtools::MessageBoxContents &) {
        browsers += HasChildOfClass(window, "SysTreeView32") ? 1 : 0;
        // The browser opens on the documents folder: take it the first time.
        testtools::ClickButton(window, browsers == 1 ? "OK" : "Cancel");
    });
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(browsers, 2);
    EXPECT_EQ(run.exitCode, 1223u);
    EXPECT_EQ(run.windows.size(), 2u) << "no box after the browsers";
    EXPECT_TRUE(e2e::ReadText(record_).empty()) << "the installer did not start";
    EXPECT_EQ(testfiles::ReadAll(chosenBlocker), e2e::Bytes{1}) << "the file in the way is left alone";
}

TEST_F(StandInFolderPrompt, ChosenFolderIsWhereTheInstallerStarts)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    SetExitCode(1603); // so the launcher removes what it extracted
    e2e::Run run = e2e::RunWatched(setup, "", [&](HWND window, const testtools::MessageBoxContents &) {
        // The browser opens on the documents folder; take it.
        testtools::ClickButton(window, "OK");
    });
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 1603u);
    ASSERT_EQ(run.windows.size(), 1u);
    std::string chosen = e2e::DocumentsFolder() + "\\" + ProductCode;
    std::vector<std::string> starts = Starts();
    ASSERT_EQ(starts.size(), 2u);
    EXPECT_EQ(starts[1], systemInstaller_ + " /i " + chosen + "\\main.msi")
        << "the package's path with its drive letter";
    EXPECT_FALSE(e2e::Exists(chosen)) << "cleaned up after the failed installer";
}

// A {ProductCode} folder in the picked folder that the launcher did not make (here one with the
// rights it inherits, as earlier releases made them) is never used: a box says why and the browser
// comes back. What is in that folder stays as it is.
TEST_F(StandInFolderPrompt, ProductFolderTheLauncherDidNotMakeIsNotUsed)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    std::string existing = e2e::DocumentsFolder() + "\\" + ProductCode;
    ASSERT_TRUE(CreateDirectoryA(existing.c_str(), nullptr));
    testfiles::WriteAll(existing + "\\main.msi", {'u', 's', 'e', 'r'});
    std::vector<std::string> seen;
    e2e::Run run = e2e::RunWatched(setup, "", [&](HWND window, const testtools::MessageBoxContents &contents) {
        bool browser = HasChildOfClass(window, "SysTreeView32");
        seen.push_back(browser ? "browser" : "box");
        if (!browser)
            testtools::ClickButton(window, contents.buttons.front());
        else
            testtools::ClickButton(window, seen.size() == 1 ? "OK" : "Cancel"); // the documents folder first
    });
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 1223u);
    EXPECT_EQ(seen, (std::vector<std::string>{"browser", "box", "browser"}));
    ASSERT_EQ(run.windows.size(), 3u);
    EXPECT_NE(run.windows[1].text.find(existing), std::string::npos) << run.windows[1].text;
    EXPECT_EQ(run.windows[1].buttons, std::vector<std::string>{"OK"});
    EXPECT_TRUE(e2e::ReadText(record_).empty()) << "the installer did not start";
    EXPECT_EQ(testfiles::ReadAll(existing + "\\main.msi"), (e2e::Bytes{'u', 's', 'e', 'r'}));
}

// The elevated launcher creates no folder that the user's registry names: with the documents
// folder gone, the browser opens without it and nothing is made.
TEST_F(StandInFolderPrompt, MissingDefaultFolderIsNotCreated)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    const std::string documents = e2e::DocumentsFolder();
    const std::string aside = documents + ".away";
    const char *shellFolders = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
    const std::string named = "C:\\LauncherMissing\\Documents";
    HKEY key;
    ASSERT_EQ(
        RegCreateKeyExA(HKEY_CURRENT_USER, shellFolders, 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, nullptr),
        ERROR_SUCCESS);
    char before[1024] = {};
    DWORD type = REG_EXPAND_SZ, bytes = sizeof before - 1;
    bool hadValue =
        RegQueryValueExA(key, "Personal", nullptr, &type, reinterpret_cast<BYTE *>(before), &bytes) == ERROR_SUCCESS;
    RegSetValueExA(key, "Personal", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(named.c_str()),
                   static_cast<DWORD>(named.size() + 1));
    ASSERT_TRUE(MoveFileA(documents.c_str(), aside.c_str()));

    int browsers = 0;
    e2e::Run run = e2e::RunWatched(setup, "", [&](HWND window, const testtools::MessageBoxContents &) {
        browsers += HasChildOfClass(window, "SysTreeView32") ? 1 : 0;
        testtools::ClickButton(window, "Cancel");
    });
    bool documentsMade = e2e::Exists(documents);
    bool namedMade = e2e::Exists("C:\\LauncherMissing");
    e2e::RemoveTree(documents);
    MoveFileA(aside.c_str(), documents.c_str());
    if (hadValue)
        RegSetValueExA(key, "Personal", 0, type, reinterpret_cast<const BYTE *>(before), bytes);
    else
        RegDeleteValueA(key, "Personal");
    RegCloseKey(key);
    e2e::RemoveTree("C:\\LauncherMissing");

    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 1223u);
    EXPECT_EQ(browsers, 1);
    EXPECT_FALSE(documentsMade);
    EXPECT_FALSE(namedMade);
}

// Runs under a file size limit (see run-in-prefix.sh): the cabinet can't be written whole.
TEST_F(StandInInstaller, FailedWriteAsksRetryOrCancelUnderFileSizeLimit)
{
    char limitText[32] = {};
    ASSERT_GT(GetEnvironmentVariableA("LAUNCHER_TEST_FILE_SIZE_LIMIT", limitText, sizeof limitText), 0u)
        << "run under a file size limit";
    std::size_t limit = std::stoul(limitText);
    std::string setup = Packed(LargePackage(limit + limit / 2), 1);

    std::string cabinet = e2e::DefaultExtractionFolder(ProductCode) + "\\disk1.cab";
    bool cabinetWasPartlyWritten = false;
    e2e::Run run = e2e::RunWatched(setup, "", [&](HWND window, const testtools::MessageBoxContents &) {
        cabinetWasPartlyWritten = e2e::Exists(cabinet + PartialNameSuffix) && !e2e::Exists(cabinet);
        testtools::ClickButton(window, "Cancel");
    });
    ASSERT_TRUE(run.ended);
    ASSERT_EQ(run.windows.size(), 1u) << "the Retry/Cancel box, and no box after it";
    const testtools::MessageBoxContents &box = run.windows.front();
    EXPECT_EQ(box.caption, ProductName);
    EXPECT_EQ(box.text, e2e::ErrorText(ERROR_WRITE_FAULT, cabinet));
    EXPECT_EQ(box.buttons, (std::vector<std::string>{"Retry", "Cancel"}));
    EXPECT_TRUE(cabinetWasPartlyWritten);
    EXPECT_EQ(run.exitCode, 29u);
    EXPECT_FALSE(e2e::Exists(e2e::DefaultExtractionFolder(ProductCode))) << "the written files are removed";
    EXPECT_TRUE(e2e::ReadText(record_).empty()) << "the installer did not start";
}

// Another process holding main.msi without sharing (a scanner, or anyone reading the folder) makes
// the attempt fail with a sharing violation. It is made again for about two seconds: a hold that
// ends within a second installs, a longer one ends the quiet run with the attempt's code.
struct HeldCase {
    const char *name;
    DWORD holdMs;
    DWORD exitCode;
};

TEST_F(StandInInstaller, HeldPackageIsWaitedForAboutTwoSeconds)
{
    const HeldCase cases[] = {{"let go within a second", 800, 0}, {"held for five seconds", 5000, 32}};
    e2e::Package package = e2e::BuiltPackage("good", ProductCode, ProductName);
    std::string setup = Packed(package);
    const std::string folder = e2e::DefaultExtractionFolder(ProductCode);
    for (const HeldCase &c : cases) {
        SCOPED_TRACE(c.name);
        e2e::RemoveTree(folder);
        DeleteFileA(record_.c_str());
        CreateDirectoryA(e2e::InstallerFolder().c_str(), nullptr);
        ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
        testfiles::WriteAll(package_, package.database);
        HANDLE held = CreateFileA(package_.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        DWORD start = GetTickCount();
        e2e::Run run = e2e::RunWatched(setup, " /qn", nullptr, [&](DWORD) {
            if (held != nullptr && GetTickCount() - start >= c.holdMs) {
                CloseHandle(held);
                held = nullptr;
            }
        });
        if (held != nullptr)
            CloseHandle(held);
        ASSERT_TRUE(run.ended);
        EXPECT_EQ(run.exitCode, c.exitCode);
        EXPECT_TRUE(run.windows.empty());
        EXPECT_EQ(Starts().size(), c.exitCode == 0 ? 2u : 0u);
        EXPECT_EQ(testfiles::ReadAll(package_), package.database) << "the file in place is used or left alone";
    }
}

// Relative paths of the installer's own arguments (a log, transforms, patches) are read from
// the folder the launcher was started in.
TEST_F(StandInInstaller, InstallerRunsInTheLaunchersCurrentFolder)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    std::string directoryRecord = folder_ / "directory.txt";
    SetEnvironmentVariableA("STANDIN_DIRECTORY", directoryRecord.c_str());
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    ASSERT_TRUE(SetCurrentDirectoryW(testtools::Wide(folder_.path()).c_str()));
    e2e::Run run = e2e::RunWatched(setup, " /qn /l*v log.txt");
    SetCurrentDirectoryW(current);
    SetEnvironmentVariableA("STANDIN_DIRECTORY", nullptr);
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_EQ(Lines(e2e::ReadText(directoryRecord)), std::vector<std::string>{folder_.path()});
}

// Every failure of the launcher's own, with each quiet switch: the run ends by itself with the
// failure's code, shows no window and starts no installer. Runs under a file size limit (see
// run-in-prefix.sh) for the full disk.
enum class QuietFailure { TamperedPayload, NoX64Package, BlockedFolder, FullDisk, NoInstaller };

struct QuietCase {
    const char *name;
    QuietFailure failure;
    DWORD exitCode;
};

TEST_F(StandInInstaller, QuietFailuresEndByThemselvesUnderFileSizeLimit)
{
    char limitText[32] = {};
    ASSERT_GT(GetEnvironmentVariableA("LAUNCHER_TEST_FILE_SIZE_LIMIT", limitText, sizeof limitText), 0u)
        << "run under a file size limit";
    const std::size_t limit = std::stoul(limitText);
    const QuietCase cases[] = {
        {"tampered payload", QuietFailure::TamperedPayload, ERROR_INVALID_DATA},
        {"no x64 package", QuietFailure::NoX64Package, ERROR_INVALID_DATA},
        {"blocked folder", QuietFailure::BlockedFolder, ERROR_DIRECTORY},
        {"full disk", QuietFailure::FullDisk, ERROR_WRITE_FAULT},
        {"no msiexec", QuietFailure::NoInstaller, ERROR_NO_ASSOCIATION},
    };
    const std::string folder = e2e::DefaultExtractionFolder(ProductCode);
    const std::string installerAside = systemInstaller_ + ".aside";
    for (const QuietCase &c : cases) {
        e2e::Package package = c.failure == QuietFailure::FullDisk
                                   ? LargePackage(limit + limit / 2)
                                   : e2e::BuiltPackage("good", ProductCode, ProductName);
        if (c.failure == QuietFailure::NoX64Package)
            package.architecture = "Intel";
        std::string setup = Packed(package, 1);
        if (c.failure == QuietFailure::TamperedPayload) {
            e2e::Bytes image = testfiles::ReadAll(setup);
            std::size_t launcherSize = testfiles::ReadAll(testtools::WindowsPathOfUnixPath(LAUNCHER_EXE_PATH)).size();
            image[launcherSize + (image.size() - launcherSize) / 2] ^= 0x01;
            testfiles::WriteAll(setup, image);
        }
        for (const char *quiet : {" /q", " /QN", " /quiet"}) {
            SCOPED_TRACE(std::string(c.name) + "," + quiet);
            e2e::RemoveTree(folder);
            DeleteFileA(record_.c_str());
            if (c.failure == QuietFailure::BlockedFolder)
                testfiles::WriteAll(folder, {1});
            if (c.failure == QuietFailure::NoInstaller) {
                ASSERT_TRUE(MoveFileExA(systemInstaller_.c_str(), installerAside.c_str(), MOVEFILE_REPLACE_EXISTING));
            }

            e2e::Run run = e2e::RunWatched(setup, quiet, nullptr, nullptr, 60000);
            if (c.failure == QuietFailure::NoInstaller)
                MoveFileExA(installerAside.c_str(), systemInstaller_.c_str(), MOVEFILE_REPLACE_EXISTING);
            ASSERT_TRUE(run.ended) << "the run did not end by itself";
            EXPECT_EQ(run.exitCode, c.exitCode);
            EXPECT_TRUE(run.windows.empty()) << "no box, no browser";
            EXPECT_TRUE(e2e::ReadText(record_).empty()) << "the installer did not start";
            if (c.failure == QuietFailure::BlockedFolder)
                EXPECT_EQ(testfiles::ReadAll(folder), e2e::Bytes{1}) << "the file in the way is left alone";
            else
                EXPECT_FALSE(e2e::Exists(folder)) << "nothing extracted is left";
            EXPECT_FALSE(e2e::Exists(e2e::DocumentsFolder() + "\\" + ProductCode));
        }
        e2e::RemoveTree(folder);
    }
}

// An argument list that does not fit the installer's command line is refused, not cut.
TEST_F(StandInInstaller, CommandLineThatDoesNotFitIsRefusedWithTheStandardBox)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    e2e::Run run = e2e::RunWatched(setup, " PROPERTY=" + std::string(1000, 'v'));
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 206u);
    ASSERT_EQ(run.windows.size(), 1u);
    EXPECT_EQ(run.windows[0].caption, "setup.exe");
    EXPECT_EQ(run.windows[0].text, e2e::ErrorText(206, "1, 206, 2343"));
    EXPECT_TRUE(e2e::ReadText(record_).empty()) << "the installer did not start";
    EXPECT_FALSE(e2e::Exists(e2e::DefaultExtractionFolder(ProductCode))) << "what was extracted is removed";
}

// The system folder's msiexec.exe replaced for one test: missing, or not a program.
class StandInReplaced : public StandInInstaller {
  protected:
    void SetUp() override
    {
        StandInInstaller::SetUp();
        ASSERT_TRUE(MoveFileExA(systemInstaller_.c_str(), aside_.c_str(), MOVEFILE_REPLACE_EXISTING));
    }
    void TearDown() override
    {
        DeleteFileA(systemInstaller_.c_str());
        MoveFileExA(aside_.c_str(), systemInstaller_.c_str(), MOVEFILE_REPLACE_EXISTING);
        StandInInstaller::TearDown();
    }
    const std::string aside_ = systemInstaller_ + ".aside";
};

TEST_F(StandInReplaced, MissingInstallerShowsItsMessageAndCreatesNoFolder)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    // One beside the launcher does not count.
    ASSERT_TRUE(CopyFileW(testtools::Wide(aside_).c_str(), testtools::Wide(folder_ / "msiexec.exe").c_str(), FALSE));

    e2e::Run run = e2e::RunWatched(setup, "");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 1155u);
    ASSERT_EQ(run.windows.size(), 1u);
    EXPECT_EQ(run.windows[0].text.rfind("Windows Installer is required for this installation package.", 0), 0u)
        << run.windows[0].text;
    EXPECT_FALSE(e2e::Exists(e2e::DefaultExtractionFolder(ProductCode)));
    EXPECT_TRUE(e2e::ReadText(record_).empty());
}

TEST_F(StandInReplaced, InstallerThatCannotStartIsNamedInTheMessage)
{
    std::string setup = Packed(e2e::BuiltPackage("good", ProductCode, ProductName));
    HANDLE file = CreateFileA(systemInstaller_.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    DWORD written;
    WriteFile(file, "not a program", 13, &written, nullptr);
    CloseHandle(file);

    e2e::Run run = e2e::RunWatched(setup, "");
    ASSERT_TRUE(run.ended);
    EXPECT_NE(run.exitCode, 0u);
    ASSERT_EQ(run.windows.size(), 1u);
    EXPECT_EQ(run.windows[0].text, e2e::ErrorText(run.exitCode, systemInstaller_));
    EXPECT_FALSE(e2e::Exists(e2e::DefaultExtractionFolder(ProductCode))) << "what was extracted is removed";
}

} // namespace
