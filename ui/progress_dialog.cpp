#include "ui/progress_dialog.h"

#include <commctrl.h>
#include <string.h>

#include "launcher/error_value.h"
#include "launcher/launcher_state.h"
#include "launcher/phase_marks.h"
#include "payload/extraction.h"
#include "ui/taskbar_progress.h"

enum {
    ProgressBarId = 100,
    StepTimerId = 1,
    TemplateStringUnits = 50,   // each template string, terminator included
    StepBatchMilliseconds = 15, // a batch of steps stops after about a frame
    QueueCheckMilliseconds = 2, // how often a batch asks whether messages wait
    NextBatchMessage = WM_APP + 1,
};

// Converts text into at most TemplateStringUnits UTF-16 units at target and returns the units
// written, terminator included. A longer text is cut at a character boundary to 49 units, so
// that the fields behind it never land on top of it.
static int WriteTemplateString(WCHAR *target, const char *text)
{
    int units = MultiByteToWideChar(CP_ACP, 0, text, -1, target, TemplateStringUnits);
    if (units > 0)
        return units;

    int fitting = 0;  // bytes of text that convert to at most 49 units
    int fitUnits = 0; // and those units
    for (const char *p = text; *p != '\0';) {
        const char *next = CharNextA(p);
        int charUnits = MultiByteToWideChar(CP_ACP, 0, p, (int)(next - p), NULL, 0);
        if (charUnits <= 0 || fitUnits + charUnits > TemplateStringUnits - 1)
            break;
        fitUnits += charUnits;
        fitting = (int)(next - text);
        p = next;
    }
    int converted = fitting > 0 ? MultiByteToWideChar(CP_ACP, 0, text, fitting, target, TemplateStringUnits - 1) : 0;
    target[converted] = 0;
    return converted + 1;
}

HGLOBAL BuildProgressDialogTemplate(const char *className, const char *caption, const char *faceName, SIZE_T *size)
{
    // Each byte of ANSI text converts to at most one UTF-16 unit, so this is never too small.
    SIZE_T bytes = 28 + 2 * (strlen(className) + strlen(caption) + strlen(faceName));
    HGLOBAL block = GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, bytes);
    if (block == NULL)
        return NULL;

    BYTE *base = (BYTE *)GlobalLock(block);
    DLGTEMPLATE *dialog = (DLGTEMPLATE *)base;
    dialog->style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_CENTER | DS_MODALFRAME | DS_SETFONT;
    dialog->dwExtendedStyle = 0;
    dialog->cdit = 0;
    dialog->x = 0;
    dialog->y = 0;
    dialog->cx = 180;
    dialog->cy = 40;

    WCHAR *field = (WCHAR *)(base + sizeof(DLGTEMPLATE));
    *field++ = 0; // no menu
    field += WriteTemplateString(field, className);
    field += WriteTemplateString(field, caption);
    *field++ = 10; // point size
    WriteTemplateString(field, faceName);
    GlobalUnlock(block);

    if (size != NULL)
        *size = bytes;
    return block;
}

INT_PTR RunProgressDialog(ExtractionJob *job, const char *className, const char *caption, const char *faceName)
{
    WNDCLASSA windowClass;
    memset(&windowClass, 0, sizeof windowClass);
    windowClass.style = CS_DBLCLKS | CS_NOCLOSE | CS_SAVEBITS;
    windowClass.lpfnWndProc = DefDlgProcA;
    windowClass.cbClsExtra = 0;
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = launcherInstance;
    windowClass.hCursor = LoadCursorA(NULL, IDC_ARROW);
    windowClass.lpszClassName = className;
    // Already registered by an earlier run in this process: that registration serves.
    RegisterClassA(&windowClass);

    HGLOBAL dialogTemplate = BuildProgressDialogTemplate(className, caption, faceName, NULL);
    if (dialogTemplate == NULL)
        return -1;
    INT_PTR result = DialogBoxIndirectParamA(launcherInstance, (LPCDLGTEMPLATEA)dialogTemplate, NULL,
                                             ProgressDialogProc, (LPARAM)job);
    GlobalFree(dialogTemplate);
    return result;
}

// Shows the Retry/Cancel box over the dialog; TRUE when the user chose Retry. An unattended job
// asks nobody: a failure ends it as Cancel does, since no answer would ever come.
static BOOL AskRetry(HWND window, const ExtractionJob *job, DWORD code, const char *detail)
{
    if (job->unattended)
        return FALSE;
    char text[1024];
    char caption[256];
    FormatErrorText(code, text, sizeof text, detail);
    caption[0] = '\0';
    GetWindowTextA(window, caption, sizeof caption);
    return MessageBoxA(window, text, caption, MB_RETRYCANCEL | MB_ICONQUESTION) != IDCANCEL;
}

// Arms the step timer; when that fails the user may retry or cancel (which ends the dialog).
static void ArmStepTimer(HWND window, ExtractionJob *job)
{
    for (;;) {
        job->timerId = SetTimer(window, StepTimerId, 0, NULL);
        if (job->timerId != 0)
            return;
        if (!AskRetry(window, job, GetLastError(), NULL)) {
            EndDialog(window, 2);
            return;
        }
    }
}

static void InitProgressDialog(HWND window, ExtractionJob *job)
{
    SetLastError(0);
    if (SetWindowLongPtrA(window, GWLP_USERDATA, (LONG_PTR)job) == 0 && GetLastError() != 0) {
        EndDialog(window, 3);
        return;
    }

    HFONT font = (HFONT)SendMessageA(window, WM_GETFONT, 0, 0);
    RECT box = {5, 14, 170, 12}; // left, top, width, height
    MapDialogRect(window, &box);
    HWND bar = CreateWindowExA(0, PROGRESS_CLASSA, "", WS_CHILD | WS_VISIBLE, box.left, box.top, box.right, box.bottom,
                               window, (HMENU)(INT_PTR)ProgressBarId, launcherInstance, NULL);
    if (bar != NULL)
        SendMessageA(bar, WM_SETFONT, (WPARAM)font, FALSE);

    HANDLE bigIcon = LoadImageA(launcherInstance, MAKEINTRESOURCEA(1), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR);
    SendMessageA(window, WM_SETICON, ICON_BIG, (LPARAM)bigIcon);
    HANDLE smallIcon = LoadImageA(launcherInstance, MAKEINTRESOURCEA(1), IMAGE_ICON, 16, 16, LR_DEFAULTCOLOR);
    SendMessageA(window, WM_SETICON, ICON_SMALL, (LPARAM)smallIcon);

    SendDlgItemMessageA(window, ProgressBarId, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
    SendDlgItemMessageA(window, ProgressBarId, PBM_SETPOS, 0, 0);

    TaskbarProgressSetWindow(taskbarProgress, window);
    TaskbarProgressSetState(taskbarProgress, TRUE);
    TaskbarProgressSetTotal(taskbarProgress, 100);
    TaskbarProgressSetCompleted(taskbarProgress, 0);

    ArmStepTimer(window, job);
    MarkPhase(MarkWindowReady);
}

// Whether the batch of steps may go on: the last step asked for more, the frame budget is not
// used up, and no input, painting or message sent by another thread waits for the message loop.
// Asking the queue costs more than a step's clock reading, so it is asked every few milliseconds.
static BOOL MayRunAnotherStep(DWORD result, const LARGE_INTEGER *batchStart, const LONGLONG *budgets,
                              LONGLONG *nextQueueCheck)
{
    if (result != ERROR_MORE_DATA)
        return FALSE;
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    if (now.QuadPart - batchStart->QuadPart >= budgets[0])
        return FALSE;
    if (now.QuadPart < *nextQueueCheck)
        return TRUE;
    *nextQueueCheck = now.QuadPart + budgets[1];
    // QS_INPUT would carry touch and pointer bits that Windows 7 refuses, failing every call.
    return HIWORD(GetQueueStatus(QS_KEY | QS_MOUSE | QS_RAWINPUT | QS_PAINT | QS_SENDMESSAGE)) == 0;
}

// Asks for the next batch. While the window is shown and no input waits, a posted message brings
// it as soon as the messages before it are handled; otherwise the zero timer does, once the queue
// is empty: the dialog shows itself only then, and input goes first.
static void AskForNextBatch(HWND window, ExtractionJob *job)
{
    // What needs painting (the bar, a part of the window uncovered) is painted now: a posted
    // message would be handled before it.
    RedrawWindow(window, NULL, NULL, RDW_UPDATENOW | RDW_ALLCHILDREN);
    if (IsWindowVisible(window) && HIWORD(GetQueueStatus(QS_KEY | QS_MOUSE | QS_RAWINPUT)) == 0 &&
        PostMessageA(window, NextBatchMessage, 0, 0))
        return;
    ArmStepTimer(window, job);
}

static void RunExtractionBatch(HWND window)
{
    ExtractionJob *job = (ExtractionJob *)GetWindowLongPtrA(window, GWLP_USERDATA);
    if (job == NULL)
        return;
    MarkPhase(MarkBatchStarted);
    // No tick may arrive while the steps or a message box run.
    KillTimer(window, job->timerId);

    // One batch runs steps for up to a frame, so that the job goes as fast as the disk allows
    // while the window still paints, moves and answers between batches.
    LARGE_INTEGER frequency, batchStart;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&batchStart);
    const LONGLONG budgets[2] = {frequency.QuadPart * StepBatchMilliseconds / 1000,
                                 frequency.QuadPart * QueueCheckMilliseconds / 1000};
    LONGLONG nextQueueCheck = batchStart.QuadPart + budgets[1];
    DWORD progress = 0;
    DWORD result;
    do {
        result = ExtractionStep(job, &progress);
        MarkPhase(MarkStepDone);
    } while (MayRunAnotherStep(result, &batchStart, budgets, &nextQueueCheck));

    SendDlgItemMessageA(window, ProgressBarId, PBM_SETPOS, progress, 0);
    TaskbarProgressSetCompleted(taskbarProgress, progress);

    if (result == ERROR_SUCCESS) {
        EndDialog(window, 1);
    } else if (result == ERROR_MORE_DATA) {
        AskForNextBatch(window, job);
        MarkPhase(MarkBatchEnded);
    } else {
        const char *path = job->current >= 0 && job->current < job->count ? job->items[job->current].outputPath : NULL;
        if (AskRetry(window, job, result, path))
            ArmStepTimer(window, job);
        else
            EndDialog(window, 2);
    }
}

INT_PTR CALLBACK ProgressDialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        InitProgressDialog(window, (ExtractionJob *)lParam);
        break;
    case WM_SHOWWINDOW:
        // Shown by the dialog call once its queue was empty: the first batch starts at once,
        // not a timer period later.
        if (wParam && lParam == 0)
            PostMessageA(window, NextBatchMessage, 0, 0);
        break;
    case WM_TIMER:
    case NextBatchMessage:
        RunExtractionBatch(window);
        break;
    case WM_PAINT: {
        PAINTSTRUCT paint;
        BeginPaint(window, &paint);
        EndPaint(window, &paint);
        break;
    }
    default:
        break;
    }
    // Never handled: the dialog manager sets no focus, and WM_COMMAND and WM_CLOSE do nothing.
    return FALSE;
}
