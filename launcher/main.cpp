// launcher.exe: installs the Windows Installer package that travels inside its own file.
#include <windows.h>

#include "launcher/main_flow.h"
#include "launcher/phase_marks.h"
#include "launcher/system_libraries.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    MarkPhase(MarkEntered);
    RestrictLibrarySearch();
    // On the stack: a static record would be written into the image, all of its zero bytes.
    RunState run;
    StartLauncher(&run, instance, showCommand);
    MarkPhase(MarkStarted);
    if (CaptureCommandLine(&run) && CaptureOwnPath(&run))
        ReadAndInstall(&run);
    int exitCode = FinishLauncher(&run);
    MarkPhase(MarkFinished);
    WritePhaseMarks();
    return exitCode;
}
