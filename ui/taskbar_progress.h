// Progress on the taskbar button (Windows 7 and later). Every operation takes a possibly
// null object and then does nothing.
#pragma once

#include <windows.h>

struct ITaskbarList3;

struct TaskbarProgress {
    ITaskbarList3 *taskbar; // null when it could not be created
    HWND window;
    ULONGLONG total;
    ULONGLONG completed;
};

TaskbarProgress *TaskbarProgressCreate(void);
void TaskbarProgressRelease(TaskbarProgress *progress);
void TaskbarProgressSetWindow(TaskbarProgress *progress, HWND window);
void TaskbarProgressSetState(TaskbarProgress *progress, BOOL on);
void TaskbarProgressSetTotal(TaskbarProgress *progress, ULONGLONG total);
void TaskbarProgressSetCompleted(TaskbarProgress *progress, ULONGLONG completed);
