#include "launcher/own_file.h"

#include "launcher/launcher_state.h"
#include "payload/locator.h"

WCHAR *GetOwnPath(void)
{
    DWORD size = MAX_PATH;
    WCHAR *path = (WCHAR *)LocalAlloc(LMEM_FIXED, (size + 1) * sizeof(WCHAR));
    if (path == NULL)
        return NULL;
    for (;;) {
        DWORD length = GetModuleFileNameW(NULL, path, size);
        if (length == 0)
            break;
        if (length < size)
            return path;
        // A result that fills the buffer may be cut: try again with more room.
        size += 64;
        WCHAR *grown = (WCHAR *)LocalReAlloc(path, (size + 1) * sizeof(WCHAR), LMEM_MOVEABLE);
        if (grown == NULL)
            break;
        path = grown;
    }
    LocalFree(path);
    return NULL;
}

ErrorValue ReadOwnFile(const WCHAR *path)
{
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return MakeErrorValue(GetLastError, ERROR_OPEN_FAILED, 2042);

    ErrorValue outcome;
    BYTE *image = NULL;
    DWORD sizeHigh = 0;
    DWORD size = GetFileSize(file, &sizeHigh);
    DWORD read = 0;
    if ((size == INVALID_FILE_SIZE && GetLastError() != NO_ERROR) || sizeHigh != 0) {
        // Every offset in the image is 32 bits wide; a larger file can't be read whole.
        outcome = MakeFixedErrorValue(ERROR_SEEK_ON_DEVICE, 2035);
    } else if ((image = (BYTE *)LocalAlloc(LMEM_FIXED, size)) == NULL) {
        outcome = MakeErrorValue(GetLastError, ERROR_NOT_ENOUGH_MEMORY, 2030);
    } else if (!ReadFile(file, image, size, &read, NULL) || read != size) {
        outcome = MakeFixedErrorValue(ERROR_READ_FAULT, 2023);
    } else {
        DWORD placement;
        outcome = LocatePayloadInBlock(&launcherState, image, size, &placement);
        image = NULL; // held by the descriptor of a container in it, or freed
    }

    if (image != NULL)
        LocalFree(image);
    CloseHandle(file);
    return outcome;
}
