// The state of one run of the launcher's main routine, shared by its phases.
#pragma once

#include <windows.h>

#include "launcher/error_value.h"
#include "payload/package_directory.h"

enum {
    PathBufferSize = 1024,
    MessageTextSize = 2048,
};

struct RunState {
    ErrorValue outcome;                // the latest phase's result; its code is the exit code
    char messageText[MessageTextSize]; // the final box's text; empty: the standard text
    int suppressMessage;
    char installerMissingText[512]; // string 100
    char damagedPackageText[256];   // string 101
    char folderPromptText[256];     // string 102
    char folderRefusedText[256];    // string 104, a format with the product folder's path

    int argumentCount; // from SplitCommandLine, the program name included
    WCHAR **arguments;
    int quiet;      // a quiet switch was given: nobody is asked anything, and no box is shown
    WCHAR *ownPath; // from GetOwnPath; null until known

    ExtractionJob job;
    PackageSelection selection;
    DWORD installerExitCode;
    int installerMayRun; // the wait for the installer failed: it may still use the files
    char installerPath[PathBufferSize];
    char extractionFolder[PathBufferSize];
};
