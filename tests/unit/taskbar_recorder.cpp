#include "tests/unit/taskbar_recorder.h"

#include <commctrl.h>

namespace taskbarrecorder {

std::vector<ULONGLONG> completedValues;
std::vector<std::string> calls;
DialogSnapshot snapshot;
TaskbarProgress object;

void Reset()
{
    completedValues.clear();
    calls.clear();
    snapshot = DialogSnapshot{};
}

static std::string ClassNameOf(HWND window)
{
    char name[256] = {};
    GetClassNameA(window, name, sizeof name);
    return name;
}

} // namespace taskbarrecorder

using namespace taskbarrecorder;

TaskbarProgress *TaskbarProgressCreate(void)
{
    return &object;
}

void TaskbarProgressRelease(TaskbarProgress *) {}

void TaskbarProgressSetWindow(TaskbarProgress *progress, HWND window)
{
    if (progress == nullptr)
        return;
    calls.push_back("window");
    snapshot.className = ClassNameOf(window);
    char caption[256] = {};
    GetWindowTextA(window, caption, sizeof caption);
    snapshot.caption = caption;
    HWND bar = GetDlgItem(window, 100);
    snapshot.barClassName = bar != nullptr ? ClassNameOf(bar) : "";
    PBRANGE range = {-1, -1};
    if (bar != nullptr)
        SendMessageA(bar, PBM_GETRANGE, TRUE, (LPARAM)&range);
    snapshot.barLow = range.iLow;
    snapshot.barHigh = range.iHigh;
}

void TaskbarProgressSetState(TaskbarProgress *progress, BOOL on)
{
    if (progress != nullptr)
        calls.push_back(on ? "on" : "off");
}

void TaskbarProgressSetTotal(TaskbarProgress *progress, ULONGLONG total)
{
    if (progress != nullptr)
        calls.push_back("total " + std::to_string(total));
}

void TaskbarProgressSetCompleted(TaskbarProgress *progress, ULONGLONG completed)
{
    if (progress != nullptr)
        completedValues.push_back(completed);
}
