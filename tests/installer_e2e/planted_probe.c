/* Imports the DLLs that launcher.exe imports, so that the system loads for it at start-up what
   it loads for the launcher, then loads each DLL named on its command line by name with the
   default search order. Without arguments it shows what start-up alone loads. */
#include <windows.h>
#include <commctrl.h>
#include <objbase.h>
#include <shellapi.h>

/* One entry point of each DLL, so that each is imported. */
static void *const volatile imported[] = {
    (void *)MessageBeep, (void *)InitCommonControls, (void *)CoInitialize, (void *)ShellExecuteA, (void *)RegCloseKey,
};

int main(int argc, char **argv)
{
    (void)imported;
    for (int i = 1; i < argc; i++)
        LoadLibraryA(argv[i]);
    return 0;
}
