// The launcher's whole read path over one file image: the payload locator, then the package
// selection with every chosen item inflated and verified and compared with its binding.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "payload/locator.h"
#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 0xFFFFFFFFu)
        return 0;
    LauncherState state = {};
    // Even and odd sizes take different roads through the language passes.
    state.lcid = size % 2 == 0 ? 1033 : 0x0C07;
    state.is64Bit = 1;
    state.showProgress = 1;

    // The file's buffer, as the launcher reads it: a container found in it keeps it.
    DWORD imageSize = static_cast<DWORD>(size);
    BYTE *image = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, size > 0 ? size : 1));
    if (image == nullptr)
        return 0;
    if (size > 0)
        std::memcpy(image, data, size);
    DWORD placement;
    ErrorValue outcome = LocatePayloadInBlock(&state, image, imageSize, &placement);
    if (ErrorValueCode(outcome) == 0)
        SelectAndRelease(&state);
    FreePayloadDescriptors(&state);
    return 0;
}
