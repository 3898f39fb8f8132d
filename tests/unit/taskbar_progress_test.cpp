#include "ui/taskbar_progress.h"

#include "tests/tools/process_tools.h"
#include "tests/tools/wide_text.h"
#include "tests/unit/win32_test_files.h"

#include <gtest/gtest.h>
#include <objbase.h>
#include <shobjidl.h>

#include <string>
#include <vector>

namespace {

// Records the progress calls that the launcher makes on the shell's taskbar list.
class RecordingTaskbar : public ITaskbarList3 {
  public:
    std::vector<std::string> calls;
    HWND window = nullptr;
    ULONG references = 1;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void **object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    HRESULT STDMETHODCALLTYPE SetProgressValue(HWND hwnd, ULONGLONG completed, ULONGLONG total) override
    {
        window = hwnd;
        calls.push_back("value " + std::to_string(completed) + "/" + std::to_string(total));
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE SetProgressState(HWND hwnd, TBPFLAG flags) override
    {
        window = hwnd;
        calls.push_back("state " + std::to_string(flags));
        return E_FAIL; // the launcher ignores what the shell answers
    }
    HRESULT STDMETHODCALLTYPE HrInit() override { return Unexpected("HrInit"); }
    HRESULT STDMETHODCALLTYPE AddTab(HWND) override { return Unexpected("AddTab"); }
    HRESULT STDMETHODCALLTYPE DeleteTab(HWND) override { return Unexpected("DeleteTab"); }
    HRESULT STDMETHODCALLTYPE ActivateTab(HWND) override { return Unexpected("ActivateTab"); }
    HRESULT STDMETHODCALLTYPE SetActiveAlt(HWND) override { return Unexpected("SetActiveAlt"); }
    HRESULT STDMETHODCALLTYPE MarkFullscreenWindow(HWND, WINBOOL) override { return Unexpected("Fullscreen"); }
    HRESULT STDMETHODCALLTYPE RegisterTab(HWND, HWND) override { return Unexpected("RegisterTab"); }
    HRESULT STDMETHODCALLTYPE UnregisterTab(HWND) override { return Unexpected("UnregisterTab"); }
    HRESULT STDMETHODCALLTYPE SetTabOrder(HWND, HWND) override { return Unexpected("SetTabOrder"); }
    HRESULT STDMETHODCALLTYPE SetTabActive(HWND, HWND, DWORD) override { return Unexpected("SetTabActive"); }
    HRESULT STDMETHODCALLTYPE ThumbBarAddButtons(HWND, UINT, LPTHUMBBUTTON) override { return Unexpected("Thumb"); }
    HRESULT STDMETHODCALLTYPE ThumbBarUpdateButtons(HWND, UINT, LPTHUMBBUTTON) override { return Unexpected("Thumb"); }
    HRESULT STDMETHODCALLTYPE ThumbBarSetImageList(HWND, HIMAGELIST) override { return Unexpected("Thumb"); }
    HRESULT STDMETHODCALLTYPE SetOverlayIcon(HWND, HICON, LPCWSTR) override { return Unexpected("Overlay"); }
    HRESULT STDMETHODCALLTYPE SetThumbnailTooltip(HWND, LPCWSTR) override { return Unexpected("Tooltip"); }
    HRESULT STDMETHODCALLTYPE SetThumbnailClip(HWND, RECT *) override { return Unexpected("Clip"); }

  private:
    HRESULT Unexpected(const char *name)
    {
        calls.push_back(std::string("unexpected ") + name);
        return E_NOTIMPL;
    }
};

TaskbarProgress *ProgressOver(ITaskbarList3 *taskbar)
{
    auto *progress = static_cast<TaskbarProgress *>(LocalAlloc(LMEM_ZEROINIT, sizeof(TaskbarProgress)));
    progress->taskbar = taskbar;
    return progress;
}

TEST(TaskbarProgress, PassesTheDialogsProgressToTheTaskbarList)
{
    RecordingTaskbar taskbar;
    TaskbarProgress *progress = ProgressOver(&taskbar);
    HWND window = reinterpret_cast<HWND>(0x1234);

    // The progress dialog's order: window, state on, total 100, completed 0, then each step.
    TaskbarProgressSetWindow(progress, window);
    EXPECT_TRUE(taskbar.calls.empty());
    TaskbarProgressSetState(progress, TRUE);
    TaskbarProgressSetTotal(progress, 100);
    TaskbarProgressSetCompleted(progress, 0);
    TaskbarProgressSetCompleted(progress, 57);
    TaskbarProgressSetCompleted(progress, 0);
    TaskbarProgressSetState(progress, FALSE);
    EXPECT_EQ(taskbar.calls, (std::vector<std::string>{"state 2", "value 0/100", "value 0/100", "value 57/100",
                                                       "value 0/100", "state 0"}));
    EXPECT_EQ(taskbar.window, window);
    EXPECT_EQ(progress->completed, 0u);
    EXPECT_EQ(progress->total, 100u);

    // A total given after a completed value is sent with the stored completed value.
    TaskbarProgressSetCompleted(progress, 30);
    TaskbarProgressSetTotal(progress, 200);
    EXPECT_EQ(taskbar.calls.back(), "value 30/200");

    TaskbarProgressRelease(progress);
    EXPECT_EQ(taskbar.references, 0u);
}

TEST(TaskbarProgress, WithoutTheInterfaceOnlyStoresValues)
{
    // Without COM on this thread the taskbar list can't be created: the object comes without
    // its interface. Everything else must still work on it, and on no object at all.
    TaskbarProgress *progress = TaskbarProgressCreate();
    ASSERT_NE(progress, nullptr) << "this system reports a Windows version before 7";
    EXPECT_EQ(progress->taskbar, nullptr);
    EXPECT_EQ(progress->window, nullptr);
    EXPECT_EQ(progress->total, 0u);
    EXPECT_EQ(progress->completed, 0u);

    HWND window = reinterpret_cast<HWND>(0x5678);
    TaskbarProgressSetWindow(progress, window);
    TaskbarProgressSetState(progress, TRUE);
    TaskbarProgressSetCompleted(progress, 12);
    TaskbarProgressSetTotal(progress, 100);
    EXPECT_EQ(progress->window, window);
    EXPECT_EQ(progress->completed, 12u);
    EXPECT_EQ(progress->total, 100u);
    TaskbarProgressRelease(progress);

    TaskbarProgressSetWindow(nullptr, window);
    TaskbarProgressSetState(nullptr, TRUE);
    TaskbarProgressSetTotal(nullptr, 100);
    TaskbarProgressSetCompleted(nullptr, 1);
    TaskbarProgressRelease(nullptr);
}

bool RunningUnderWine()
{
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") != nullptr;
}

// Wine reports the Windows version that a program's AppDefaults key names.
class WineVersionOverride {
  public:
    WineVersionOverride(const std::string &programName, const char *version)
        : key_("Software\\Wine\\AppDefaults\\" + programName)
    {
        HKEY key;
        if (RegCreateKeyExA(HKEY_CURRENT_USER, key_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            RegSetValueExA(key, "Version", 0, REG_SZ, reinterpret_cast<const BYTE *>(version),
                           static_cast<DWORD>(strlen(version) + 1));
            RegCloseKey(key);
        }
    }
    ~WineVersionOverride() { RegDeleteKeyA(HKEY_CURRENT_USER, key_.c_str()); }

  private:
    std::string key_;
};

TEST(TaskbarProgress, IsMadeFromWindows7On)
{
    if (!RunningUnderWine())
        GTEST_SKIP() << "the Windows version is chosen through Wine's AppDefaults";
    testfiles::TempFolder folder("taskbar_progress");
    std::string probe = testtools::WindowsPathOfUnixPath(TASKBAR_PROBE_PATH);
    const struct {
        const char *version;
        bool made;
    } cases[] = {{"winxp64", false}, {"vista", false}, {"win7", true}, {"win10", true}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.version);
        std::string name = std::string("taskbar_probe_") + c.version + ".exe";
        std::string copy = folder / name;
        ASSERT_TRUE(CopyFileW(testtools::Wide(probe).c_str(), testtools::Wide(copy).c_str(), FALSE));
        WineVersionOverride version(name, c.version);
        std::optional<DWORD> result = testtools::RunProgram(copy, "");
        ASSERT_TRUE(result.has_value());
        if (c.made) {
            // Whether Wine's shell provides the taskbar list is its own business.
            EXPECT_GE(*result, 1u);
        } else {
            EXPECT_EQ(*result, 0u);
        }
    }
}

} // namespace
