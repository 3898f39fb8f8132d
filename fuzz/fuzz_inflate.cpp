// InflateBuffer over one input: a zlib stream, damaged or not.
#include <cstddef>
#include <cstdint>

#include "payload/inflate.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size > 0xFFFFFFFFu)
        return 0;
    BYTE *output = nullptr;
    DWORD outputSize = 0;
    int status = InflateBuffer(&output, &outputSize, data, static_cast<DWORD>(size));
    if (status == 0) {
        if (output == nullptr && outputSize != 0)
            __builtin_trap();
        if (output != nullptr)
            FreeItemOutput(output);
    } else if (output != nullptr || outputSize != 0) {
        __builtin_trap(); // a failure hands nothing over
    }
    return 0;
}
