// The launcher's whole read path over one file image: the certificate-table locator, the
// whole-image step when it finds no carrier, then the package selection with every chosen
// item inflated and verified.
#include <cstddef>
#include <cstdint>

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

    DWORD imageSize = static_cast<DWORD>(size);
    ErrorValue outcome = LocatePayload(&state, data, imageSize);
    if (ErrorValueCode(outcome) == 0 && state.payloadCount == 0)
        outcome = LoadWholeImagePayload(&state, data, imageSize);
    if (ErrorValueCode(outcome) == 0)
        SelectAndRelease(&state);
    FreePayloadDescriptors(&state);
    return 0;
}
