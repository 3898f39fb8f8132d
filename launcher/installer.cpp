#include "launcher/installer.h"

#include <string.h>

#include "launcher/command_line.h"
#include "launcher/failure_message.h"
#include "launcher/format_text.h"
#include "launcher/launcher_state.h"
#include "launcher/main_flow.h"
#include "launcher/phase_marks.h"
#include "launcher/product_folder.h"
#include "payload/ansi_text.h"
#include "payload/extraction.h"
#include "payload/inflate.h"
#include "ui/folder_prompt.h"
#include "ui/progress_dialog.h"

enum {
    CommandLineSize = 1024, // UTF-16 units, the terminator included
    UninstallKeySize = 256,
    // Another process (a virus scanner, an indexer) may hold a file for a moment: an attempt that
    // meets a sharing violation is made again after 25, 50, ... ms, about two seconds in all.
    SharingRetries = 12,
    SharingRetryStepMs = 25,
};

static const char ProgressWindowClassName[] = "MSI_STUB_WINDOW_CLASS_NAME";
static const char ProgressWindowFaceName[] = "MS Sans Serif";
static const char UninstallKeyPath[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall";

int IsProductRegistered(const char *productCode)
{
    char keyPath[UninstallKeySize];
    if (productCode[0] == '\0')
        return 0;
    if (FormatText(keyPath, sizeof keyPath, "%s\\%s", UninstallKeyPath, productCode) < 0)
        return 0;

    HKEY key;
    // The launcher installs x64 packages only: their products are listed in the 64-bit view.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return 0;
    DWORD bytes = 0;
    LONG status = RegQueryValueExA(key, "UninstallString", NULL, NULL, NULL, &bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS && bytes > 0 ? 1 : 0;
}

// Only the system directory is searched: the standard order starts with the launcher's own
// folder, where a planted msiexec.exe would run with the launcher's administrator rights.
static BOOL FindInstaller(RunState *run)
{
    char systemDirectory[PathBufferSize];
    char *filePart = NULL;
    UINT directoryLength = GetSystemDirectoryA(systemDirectory, sizeof systemDirectory);
    DWORD found = 0;
    if (directoryLength > 0 && directoryLength < sizeof systemDirectory)
        found = SearchPathA(systemDirectory, "msiexec.exe", NULL, PathBufferSize, run->installerPath, &filePart);
    if (found == 0 || found >= PathBufferSize) {
        run->installerPath[0] = '\0';
        SetMessageText(run, run->installerMissingText);
        run->outcome = MakeFixedErrorValue(ERROR_NO_ASSOCIATION, 2161);
        return FALSE;
    }
    return TRUE;
}

// Another process (a virus scanner, an indexer) may hold a file for a moment: a step that met a
// sharing violation is made again after 25, 50, ... ms, about two seconds in all. FALSE when the
// step is not to be made again; the failed call's error is kept.
static BOOL WaitToRetry(DWORD retry)
{
    if (GetLastError() != ERROR_SHARING_VIOLATION || retry > SharingRetries)
        return FALSE;
    Sleep(retry * SharingRetryStepMs);
    return TRUE;
}

// Opens the output files in the extraction folder, again after a short wait for as long as a
// sharing violation stops them. A failed attempt has left nothing behind.
static BOOL PinFolderAndOpenOutputFilesRetrying(RunState *run)
{
    for (DWORD retry = 1;; retry++) {
        // Earlier calls leave errors of their own: only the failed call's may be reported.
        SetLastError(0);
        if (PinFolderAndOpenOutputFiles(&run->job, run->extractionFolder))
            return TRUE;
        if (!WaitToRetry(retry))
            return FALSE;
    }
}

// Appends "\<productCode>" to the root's ANSI path in extractionFolder, makes or opens the folder
// relative to a handle on root (OpenProductFolder) and opens the output files there. *refused
// tells when the folder found in a picked root, or its drive, may not be used. FALSE when the
// files cannot all be opened: nothing of this attempt is left behind then, and the folder is
// removed only when this attempt made it, through the handle it was made with.
static BOOL TryExtractionFolder(RunState *run, const WCHAR *root, BOOL picked, BOOL *refused)
{
    ExtractionJob *job = &run->job;
    DWORD length = (DWORD)strlen(run->extractionFolder);
    *refused = FALSE;
    if (!AppendFormatted(run->extractionFolder, PathBufferSize, &length, "\\%s", run->selection.productCode)) {
        SetLastError(0);
        return FALSE;
    }
    BOOL made = FALSE;
    job->productFolder = OpenProductFolder(root, run->selection.productCode, picked, &made);
    if (job->productFolder == INVALID_HANDLE_VALUE) {
        job->productFolder = NULL;
        DWORD error = GetLastError();
        *refused = picked && (error == ERROR_ALREADY_EXISTS || error == ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    job->pickedFolder = picked;
    if (PinFolderAndOpenOutputFilesRetrying(run))
        return TRUE;
    DWORD error = GetLastError();
    CloseProductFolder(job, made);
    SetLastError(error);
    return FALSE;
}

// Tells the user why the folder can't be used; the browser comes back after it.
static void ShowFolderRefused(RunState *run)
{
    char text[MessageTextSize];
    char caption[MAX_PATH];
    FormatText(text, sizeof text, run->folderRefusedText, run->extractionFolder);
    GetMessageCaption(run->ownPath, caption, sizeof caption);
    MessageBoxA(NULL, text, caption, MB_ICONWARNING | MB_OK);
}

// Another launcher for the same product is at work in the folder: this one ends at once, with
// nothing of the other's touched and no other folder tried.
static BOOL FolderIsBusy(RunState *run)
{
    if (GetLastError() != ERROR_INSTALL_ALREADY_RUNNING)
        return FALSE;
    run->outcome = MakeFixedErrorValue(ERROR_INSTALL_ALREADY_RUNNING, 2217);
    return TRUE;
}

static BOOL OpenOutputFolder(RunState *run)
{
    // The system's Windows folder: on a session host, a program not marked aware of it is told of
    // a private one in the user's profile by GetWindowsDirectory.
    WCHAR root[PathBufferSize];
    UINT windowsLength = GetSystemWindowsDirectoryW(root, PathBufferSize);
    run->extractionFolder[0] = '\0';
    if (windowsLength > 0 && windowsLength < PathBufferSize - 16) {
        lstrcpyW(root + windowsLength, L"\\Installer");
        // Made when missing and never removed; only administrators can make it there.
        CreateDirectoryW(root, NULL);
    } else {
        root[0] = L'\0';
    }
    if (!ConvertToAnsiExactly(root, lstrlenW(root), run->extractionFolder, PathBufferSize))
        root[0] = L'\0';
    BOOL refused = FALSE;
    if (TryExtractionFolder(run, root, FALSE, &refused))
        return TRUE;
    if (FolderIsBusy(run))
        return FALSE;

    for (;;) {
        // Unattended, nobody would ever answer the browser.
        if (run->quiet) {
            run->outcome = MakeErrorValue(GetLastError, ERROR_CANNOT_MAKE, 2214);
            return FALSE;
        }
        if (!PromptExtractionFolder(run->folderPromptText, run->extractionFolder)) {
            run->outcome = MakeFixedErrorValue(ERROR_CANCELLED, 2219);
            run->suppressMessage = 1;
            return FALSE;
        }
        if (MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, run->extractionFolder, -1, root, PathBufferSize) <= 0)
            root[0] = L'\0';
        if (TryExtractionFolder(run, root, TRUE, &refused))
            return TRUE;
        if (FolderIsBusy(run))
            return FALSE;
        if (refused)
            ShowFolderRefused(run);
    }
}

static BOOL ExtractPackageFiles(RunState *run)
{
    run->job.unattended = run->quiet ? 1 : 0;
    INT_PTR result =
        RunProgressDialog(&run->job, ProgressWindowClassName, run->selection.productName, ProgressWindowFaceName);
    if (result != 1) {
        // The dialog has already told the user what went wrong (or, unattended, nobody).
        run->outcome = MakeFixedErrorValue(ERROR_WRITE_FAULT, 2280);
        run->suppressMessage = 1;
        return FALSE;
    }
    return TRUE;
}

// From here until the installer has ended nobody else can change what it is going to read: the
// files are locked and checked through their locks, and the launcher holds none of their data.
static BOOL LockPackageFiles(RunState *run)
{
    for (DWORD retry = 1;; retry++) {
        SetLastError(0);
        BOOL locked = LockOutputFiles(&run->job);
        MarkPhase(MarkFilesLocked);
        if (locked && VerifyOutputFiles(&run->job)) {
            MarkPhase(MarkFilesVerified);
            break;
        }
        if (!WaitToRetry(retry)) {
            run->outcome = MakeErrorValue(GetLastError, ERROR_SHARING_VIOLATION, 2286);
            return FALSE;
        }
    }
    FreeOutputData(&run->job);
    return TRUE;
}

static void StartInstaller(RunState *run)
{
    WCHAR commandLine[CommandLineSize];
    WCHAR installerPath[PathBufferSize];
    if (MultiByteToWideChar(CP_ACP, 0, run->installerPath, -1, installerPath, PathBufferSize) == 0) {
        run->outcome = MakeErrorValue(GetLastError, ERROR_INVALID_DATA, 2357);
        return;
    }
    // The installer gets the locked package's final path with its drive letter, which the Windows
    // Installer keeps as the product's source. A folder with an open file below it can't be
    // renamed on Windows, so while the pin and the locks are held the path names the locked file.
    WCHAR packagePath[PathBufferSize];
    if (!GetPackagePath(&run->job, packagePath, PathBufferSize)) {
        run->outcome = MakeErrorValue(GetLastError, ERROR_INVALID_HANDLE, 2359);
        return;
    }
    ErrorValue built = BuildInstallerCommandLine(commandLine, CommandLineSize, run->installerPath, packagePath,
                                                 run->argumentCount, run->arguments);
    if (ErrorValueCode(built) != 0) {
        run->outcome = built;
        return;
    }

    STARTUPINFOW startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = (WORD)launcherShowCommand;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);

    MarkPhase(MarkInstallerStarting);
    BOOL created = CreateProcessW(installerPath, commandLine, NULL, NULL, FALSE, 0, NULL, NULL, &startup, &process);
    MarkPhase(MarkInstallerCreated);
    if (!created) {
        run->outcome = MakeErrorValue(GetLastError, ERROR_NO_PROC_SLOTS, 2355);
        FormatErrorText(ErrorValueCode(run->outcome), run->messageText, sizeof run->messageText, run->installerPath);
        return;
    }
    DWORD waited = WaitForSingleObject(process.hProcess, INFINITE);
    MarkPhase(MarkInstallerEnded);
    if (waited != WAIT_OBJECT_0) {
        // The installer may still be running and reading the files: they stay, locked until
        // the launcher ends.
        run->outcome = MakeErrorValue(GetLastError, ERROR_INVALID_HANDLE, 2351);
        run->installerMayRun = 1;
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return;
    }
    GetExitCodeProcess(process.hProcess, &run->installerExitCode);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseOutputFileHandles(&run->job);
    if (run->installerExitCode != 0) {
        run->outcome = MakeFixedErrorValue(run->installerExitCode, 2349);
        run->suppressMessage = 1;
    }
}

void RunInstallerPhases(RunState *run)
{
    if (!FindInstaller(run))
        return;
    MarkPhase(MarkInstallerFound);
    if (!OpenOutputFolder(run))
        return;
    MarkPhase(MarkFolderOpened);
    BOOL extracted = ExtractPackageFiles(run);
    MarkPhase(MarkWindowClosed);
    if (!extracted)
        return;
    if (!LockPackageFiles(run))
        return;
    StartInstaller(run);
}

void CleanUpInstallerPhases(RunState *run)
{
    ExtractionJob *job = &run->job;
    if (job->items == NULL)
        return;
    FreeOutputData(job);
    // The installer may still be reading the files: they stay locked, and the folder pinned,
    // until the process ends.
    if (run->installerMayRun)
        return;

    // Asked once: the installer has ended, so the answer no longer changes.
    int registered = IsProductRegistered(run->selection.productCode);
    DWORD exitCode = run->installerExitCode;
    BOOL succeeded = exitCode == ERROR_SUCCESS || exitCode == ERROR_SUCCESS_REBOOT_INITIATED ||
                     exitCode == ERROR_SUCCESS_REBOOT_REQUIRED;
    // A registered product was installed from the file that a replacement pushed aside.
    DWORD outcome = OutputFilesDeleted;
    if (exitCode == ERROR_SUCCESS || (succeeded && registered))
        outcome = OutputFilesKept;
    else if (registered)
        outcome = OutputFilesPutBack;
    FinishOutputFiles(job, outcome);
    LocalFree(job->items);
    job->items = NULL;
    job->count = 0;
}

void ReleaseKeptFiles(RunState *run)
{
    if (run->job.items == NULL)
        return;
    CloseOutputFiles(&run->job);
    LocalFree(run->job.items);
    run->job.items = NULL;
    run->job.count = 0;
}
