// The phases of the launcher's main routine, in the order WinMain runs them. Each phase that
// can fail sets run->outcome; the final steps run on every path.
#pragma once

#include <windows.h>

#include "launcher/run_state.h"

// Platform services (common controls, COM), the process-wide state and a clean run record.
void StartLauncher(RunState *run, HINSTANCE instance, int showCommand);

// The process's command line split into run->arguments; FALSE when the block can't be made.
BOOL CaptureCommandLine(RunState *run);

// The own executable's path in run->ownPath; FALSE when it can't be found.
BOOL CaptureOwnPath(RunState *run);

// Strings 100 to 102 and 104 from the string table; a string that does not load stays empty.
void LoadLauncherStrings(RunState *run);

// The final box's text (copied, cut to fit).
void SetMessageText(RunState *run, const char *text);

// Chooses the package for this machine and hands over to the installer phases; the clean-up
// runs after the selection in every case.
void SelectAndInstall(RunState *run);

// Reads the file at run->ownPath, loads the strings and, when the payload was read, goes on
// with SelectAndInstall.
void ReadAndInstall(RunState *run);

// The final steps: at most one message box, everything released, COM uninitialised. Returns
// the exit code, the code of run->outcome.
int FinishLauncher(RunState *run);
