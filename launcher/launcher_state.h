// The one process-wide record of the launcher, and the other process-wide values.
#pragma once

#include <windows.h>

#include "payload/payload_item.h"

struct TaskbarProgress;

struct LauncherState {
    DWORD lcid;                  // the user's locale; the selection's third pass sets 1033
    DWORD is64Bit;               // always 1: x64 packages, the 64-bit registry view
    DWORD showProgress;          // always 1: extraction runs under the progress dialog
    PayloadDescriptor *payloads; // local heap, in the order found
    DWORD payloadCount;
};

// The launcher's own; the payload functions are handed the record they work on.
extern LauncherState launcherState;
extern HINSTANCE launcherInstance;
extern int launcherShowCommand;
extern TaskbarProgress *taskbarProgress;

// Grows state->payloads by one element and copies descriptor into it. FALSE when the list could
// not grow: it is then unchanged and the caller still owns the descriptor's buffers.
BOOL AppendPayloadDescriptor(LauncherState *state, const PayloadDescriptor *descriptor);

// Frees every descriptor's container image and clears it; the directories stay. Once the chosen
// items are inflated and verified nothing reads the images again.
void FreePayloadImages(LauncherState *state);

// Frees every descriptor's buffers and the list, leaving the list empty.
void FreePayloadDescriptors(LauncherState *state);
