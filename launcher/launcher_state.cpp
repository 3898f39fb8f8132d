#include "launcher/launcher_state.h"

#include <string.h>

LauncherState launcherState;
HINSTANCE launcherInstance;
int launcherShowCommand;
TaskbarProgress *taskbarProgress;

BOOL AppendPayloadDescriptor(const PayloadDescriptor *descriptor)
{
    SIZE_T bytes = (SIZE_T)(launcherState.payloadCount + 1) * sizeof(PayloadDescriptor);
    PayloadDescriptor *grown;
    if (launcherState.payloads == NULL)
        grown = (PayloadDescriptor *)LocalAlloc(LMEM_ZEROINIT, bytes);
    else
        grown = (PayloadDescriptor *)LocalReAlloc(launcherState.payloads, bytes, LMEM_MOVEABLE | LMEM_ZEROINIT);
    if (grown == NULL)
        return FALSE;
    launcherState.payloads = grown;
    memcpy(&grown[launcherState.payloadCount], descriptor, sizeof(PayloadDescriptor));
    launcherState.payloadCount++;
    return TRUE;
}

void FreePayloadImages(void)
{
    for (DWORD i = 0; i < launcherState.payloadCount; i++) {
        if (launcherState.payloads[i].image != NULL)
            LocalFree(launcherState.payloads[i].image);
        launcherState.payloads[i].image = NULL;
        launcherState.payloads[i].imageSize = 0;
    }
}

void FreePayloadDescriptors(void)
{
    for (DWORD i = 0; i < launcherState.payloadCount; i++) {
        if (launcherState.payloads[i].image != NULL)
            LocalFree(launcherState.payloads[i].image);
        if (launcherState.payloads[i].directory != NULL)
            FreeItemOutput(launcherState.payloads[i].directory);
    }
    if (launcherState.payloads != NULL)
        LocalFree(launcherState.payloads);
    launcherState.payloads = NULL;
    launcherState.payloadCount = 0;
}
