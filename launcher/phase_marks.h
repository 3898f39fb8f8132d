// Timestamps of the launcher's phases, for the installer-start benchmark's profile. Only the
// profiled build (LAUNCHER_PROFILE, benchmarks/installer_start) takes them; in every other build
// the calls are empty inline functions that leave nothing behind.
#pragma once

#include <windows.h>

enum PhaseMark {
    MarkEntered,           // WinMain's first line
    MarkStarted,           // the DLL search restricted, common controls and COM started
    MarkPayloadRead,       // the own file read, the payload found and its directory read
    MarkItemsChecked,      // the package chosen, its items inflated and verified
    MarkInstallerFound,    // msiexec.exe found in the system folder
    MarkFolderOpened,      // the folder made or opened, pinned and locked, the files opened
    MarkWindowReady,       // the progress window initialised
    MarkBatchStarted,      // a batch of extraction steps begins
    MarkStepDone,          // one extraction step
    MarkBatchEnded,        // the bar updated and the next batch asked for
    MarkWindowClosed,      // the progress dialog has returned
    MarkFilesLocked,       // every written file named and locked
    MarkFilesVerified,     // the locked files checked
    MarkInstallerStarting, // right before the installer's process is made
    MarkInstallerCreated,  // its process made
    MarkInstallerEnded,    // the wait for it returned
    MarkFinished,          // the final steps done
    PhaseMarkCount,
};

#if LAUNCHER_PROFILE
// Records the mark with the precise system time.
void MarkPhase(DWORD mark);
// Appends the process's creation time and every mark, one "name time" line each (100 ns units of
// the system time), to the file that LAUNCHER_PROFILE_FILE names, when it is set.
void WritePhaseMarks(void);
#else
inline void MarkPhase(DWORD) {}
inline void WritePhaseMarks(void) {}
#endif
