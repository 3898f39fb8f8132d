// After a package is chosen: find the installer, extract the files under the progress
// dialog, run the installer and wait for it, then clean up.
#pragma once

#include <windows.h>

#include "launcher/run_state.h"

// Runs the installer phases in order; the first failure sets run->outcome (and where told,
// messageText and suppressMessage) and skips the rest.
void RunInstallerPhases(RunState *run);

// Settles the extracted files and frees the file records. Exit 0, 1641 or 3010: what a file
// replaced is deleted, and so are the aside files that earlier runs left. Another outcome with the product registered:
// each replaced file is put back, the files that replaced nothing stay. Unless the installation succeeded (0) or the
// product is registered, everything is deleted and the folder removed. After a failed wait the
// files stay locked and the records kept (ReleaseKeptFiles).
void CleanUpInstallerPhases(RunState *run);

// Closes the files and the folder that a failed wait kept locked and frees their records; in
// the launcher the process's end does this.
void ReleaseKeptFiles(RunState *run);

// 1 when the product's uninstall entry in the 64-bit registry view has an UninstallString, else 0.
int IsProductRegistered(const char *productCode);
