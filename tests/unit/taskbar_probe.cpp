// Reports what TaskbarProgressCreate gives in this process: exit code 0 for no object, 1 for
// an object without the taskbar interface, 2 for an object with it. It prints the Windows
// version it sees.
#include "ui/taskbar_progress.h"

#include <objbase.h>

#include <cstdio>

int main()
{
    OSVERSIONINFOA version = {};
    version.dwOSVersionInfoSize = sizeof version;
    GetVersionExA(&version);
    std::printf("Windows %lu.%lu\n", (unsigned long)version.dwMajorVersion, (unsigned long)version.dwMinorVersion);

    CoInitialize(nullptr);
    TaskbarProgress *progress = TaskbarProgressCreate();
    int result = progress == nullptr ? 0 : progress->taskbar == nullptr ? 1 : 2;
    TaskbarProgressRelease(progress);
    CoUninitialize();
    return result;
}
