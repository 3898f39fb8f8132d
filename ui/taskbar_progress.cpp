#include "ui/taskbar_progress.h"

#include <shobjidl.h>

TaskbarProgress *TaskbarProgressCreate(void)
{
    OSVERSIONINFOA version;
    ZeroMemory(&version, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    // The taskbar list's progress interface exists from Windows 7 (6.1) on.
    if (version.dwMajorVersion < 6 || (version.dwMajorVersion == 6 && version.dwMinorVersion < 1))
        return NULL;

    TaskbarProgress *progress = (TaskbarProgress *)LocalAlloc(LMEM_ZEROINIT, sizeof(TaskbarProgress));
    if (progress == NULL)
        return NULL;
    CoCreateInstance(CLSID_TaskbarList, NULL, CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER,
                     IID_ITaskbarList3, (void **)&progress->taskbar);
    return progress;
}

void TaskbarProgressRelease(TaskbarProgress *progress)
{
    if (progress == NULL)
        return;
    if (progress->taskbar != NULL)
        progress->taskbar->Release();
    LocalFree(progress);
}

void TaskbarProgressSetWindow(TaskbarProgress *progress, HWND window)
{
    if (progress != NULL)
        progress->window = window;
}

void TaskbarProgressSetState(TaskbarProgress *progress, BOOL on)
{
    if (progress != NULL && progress->taskbar != NULL)
        progress->taskbar->SetProgressState(progress->window, on ? TBPF_NORMAL : TBPF_NOPROGRESS);
}

void TaskbarProgressSetTotal(TaskbarProgress *progress, ULONGLONG total)
{
    if (progress == NULL)
        return;
    progress->total = total;
    if (progress->taskbar != NULL)
        progress->taskbar->SetProgressValue(progress->window, progress->completed, total);
}

void TaskbarProgressSetCompleted(TaskbarProgress *progress, ULONGLONG completed)
{
    if (progress == NULL)
        return;
    progress->completed = completed;
    if (progress->taskbar != NULL)
        progress->taskbar->SetProgressValue(progress->window, completed, progress->total);
}
