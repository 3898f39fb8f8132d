#include "launcher/main_flow.h"

#include <commctrl.h>
#include <objbase.h>

#include "launcher/command_line.h"
#include "launcher/failure_message.h"
#include "launcher/installer.h"
#include "launcher/launcher_state.h"
#include "launcher/own_file.h"
#include "launcher/phase_marks.h"
#include "resources/resource_ids.h"
#include "ui/taskbar_progress.h"

void StartLauncher(RunState *run, HINSTANCE instance, int showCommand)
{
    launcherInstance = instance;
    launcherShowCommand = showCommand;
    InitCommonControls();
    CoInitialize(NULL);

    ZeroMemory(&launcherState, sizeof launcherState);
    launcherState.lcid = GetUserDefaultLCID();
    launcherState.is64Bit = 1;
    launcherState.showProgress = 1;

    ZeroMemory(run, sizeof *run);
}

BOOL CaptureCommandLine(RunState *run)
{
    run->arguments = SplitCommandLine(GetCommandLineW(), &run->argumentCount);
    if (run->arguments == NULL) {
        run->outcome = MakeErrorValue(GetLastError, ERROR_NOT_ENOUGH_MEMORY, 2411);
        return FALSE;
    }
    run->quiet = HasQuietSwitch(run->argumentCount, run->arguments);
    return TRUE;
}

BOOL CaptureOwnPath(RunState *run)
{
    run->ownPath = GetOwnPath();
    if (run->ownPath == NULL) {
        run->outcome = MakeFixedErrorValue(ERROR_CANT_RESOLVE_FILENAME, 2406);
        return FALSE;
    }
    return TRUE;
}

static void LoadLauncherString(UINT id, char *buffer, int size)
{
    if (LoadStringA(launcherInstance, id, buffer, size) <= 0)
        buffer[0] = '\0';
}

void LoadLauncherStrings(RunState *run)
{
    LoadLauncherString(IDS_INSTALLER_MISSING, run->installerMissingText, sizeof run->installerMissingText);
    LoadLauncherString(IDS_DAMAGED_PACKAGE, run->damagedPackageText, sizeof run->damagedPackageText);
    LoadLauncherString(IDS_FOLDER_PROMPT, run->folderPromptText, sizeof run->folderPromptText);
    LoadLauncherString(IDS_FOLDER_REFUSED, run->folderRefusedText, sizeof run->folderRefusedText);
}

void SetMessageText(RunState *run, const char *text)
{
    lstrcpynA(run->messageText, text, sizeof run->messageText);
}

void SelectAndInstall(RunState *run)
{
    taskbarProgress = TaskbarProgressCreate();

    ZeroMemory(&run->job, sizeof run->job);
    run->job.current = -1;
    run->job.chunkSize = 0x80000;
    run->installerExitCode = ERROR_INSTALL_SERVICE_FAILURE;
    run->installerMayRun = 0;
    run->installerPath[0] = '\0';
    run->extractionFolder[0] = '\0';

    BOOL selected = SelectPackage(&launcherState, &run->job, &run->selection);
    // Every chosen item is inflated and verified: the containers are not read again.
    FreePayloadImages(&launcherState);
    MarkPhase(MarkItemsChecked);
    if (!selected) {
        SetMessageText(run, run->damagedPackageText);
        run->outcome = MakeFixedErrorValue(ERROR_INVALID_DATA, 2151);
    } else if (!CheckJobBindings(&launcherState, &run->job, run->selection.containerIndex)) {
        // An item signed with the key, but not the one the signed directory names: another release's.
        SetMessageText(run, run->damagedPackageText);
        run->outcome = MakeFixedErrorValue(ERROR_INVALID_DATA, 2147);
    } else {
        RunInstallerPhases(run);
    }

    CleanUpInstallerPhases(run);
    TaskbarProgressRelease(taskbarProgress);
    taskbarProgress = NULL;
}

void ReadAndInstall(RunState *run)
{
    run->outcome = ReadOwnFile(run->ownPath);
    MarkPhase(MarkPayloadRead);
    LoadLauncherStrings(run);
    if (ErrorValueCode(run->outcome) != 0)
        SetMessageText(run, run->damagedPackageText);
    else
        SelectAndInstall(run);
}

int FinishLauncher(RunState *run)
{
    if (ErrorValueCode(run->outcome) != 0 && !run->suppressMessage && !run->quiet)
        ShowFailureMessage(run);

    FreePayloadDescriptors(&launcherState);
    if (run->ownPath != NULL)
        LocalFree(run->ownPath);
    if (run->arguments != NULL)
        LocalFree(run->arguments);
    run->ownPath = NULL;
    run->arguments = NULL;
    run->argumentCount = 0;
    run->quiet = 0;
    CoUninitialize();
    return (int)ErrorValueCode(run->outcome);
}
