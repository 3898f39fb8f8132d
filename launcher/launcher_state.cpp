#include "launcher/launcher_state.h"

#include <string.h>

LauncherState launcherState;
HINSTANCE launcherInstance;
int launcherShowCommand;
TaskbarProgress *taskbarProgress;

BOOL AppendPayloadDescriptor(LauncherState *state, const PayloadDescriptor *descriptor)
{
    SIZE_T bytes = (SIZE_T)(state->payloadCount + 1) * sizeof(PayloadDescriptor);
    PayloadDescriptor *grown;
    if (state->payloads == NULL)
        grown = (PayloadDescriptor *)LocalAlloc(LMEM_ZEROINIT, bytes);
    else
        grown = (PayloadDescriptor *)LocalReAlloc(state->payloads, bytes, LMEM_MOVEABLE | LMEM_ZEROINIT);
    if (grown == NULL)
        return FALSE;
    state->payloads = grown;
    memcpy(&grown[state->payloadCount], descriptor, sizeof(PayloadDescriptor));
    state->payloadCount++;
    return TRUE;
}

void FreePayloadImages(LauncherState *state)
{
    for (DWORD i = 0; i < state->payloadCount; i++) {
        if (state->payloads[i].image != NULL)
            LocalFree(state->payloads[i].image);
        state->payloads[i].image = NULL;
        state->payloads[i].imageSize = 0;
    }
}

void FreePayloadDescriptors(LauncherState *state)
{
    for (DWORD i = 0; i < state->payloadCount; i++) {
        if (state->payloads[i].image != NULL)
            LocalFree(state->payloads[i].image);
        if (state->payloads[i].directory != NULL)
            FreeItemOutput(state->payloads[i].directory);
    }
    if (state->payloads != NULL)
        LocalFree(state->payloads);
    state->payloads = NULL;
    state->payloadCount = 0;
}
