// launcher.exe: installs the Windows Installer package that travels inside its own file.
#include <windows.h>

#include "launcher/main_flow.h"
#include "launcher/system_libraries.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand)
{
    RestrictLibrarySearch();
    static RunState run;
    StartLauncher(&run, instance, showCommand);
    if (CaptureCommandLine(&run) && CaptureOwnPath(&run))
        ReadAndInstall(&run);
    return FinishLauncher(&run);
}
