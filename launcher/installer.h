// After a package is chosen: find the installer, extract the files under the progress
// dialog, run the installer and wait for it, then clean up.
#pragma once

#include <windows.h>

#include "launcher/run_state.h"

// Runs the installer phases in order; the first failure sets run->outcome (and where told,
// messageText and suppressMessage) and skips the rest.
void RunInstallerPhases(RunState *run);

// Frees the file records and, unless the installation succeeded or the product is
// registered, deletes the extracted files and the folder.
void CleanUpInstallerPhases(RunState *run);

// 1 when the product's uninstall entry has an UninstallString, else 0.
int IsProductRegistered(const char *productCode, DWORD is64Bit);
