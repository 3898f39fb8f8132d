// ReadPayloadItem over one container. The first byte chooses the container's flags and the kind
// asked for, the next four the item id; the rest is the container.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "payload/payload_item.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 5 || size - 5 > 0xFFFFFFFFu)
        return 0;
    const BYTE *kind = (data[0] & 4) != 0 ? FileItemGuid : HeadItemGuid;
    DWORD itemId = (DWORD)data[1] | ((DWORD)data[2] << 8) | ((DWORD)data[3] << 16) | ((DWORD)data[4] << 24);

    // A private copy, as the launcher holds one, sized exactly so that any read past it shows.
    DWORD imageSize = static_cast<DWORD>(size - 5);
    BYTE *image = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, imageSize));
    if (image == nullptr)
        return 0;
    if (imageSize > 0)
        std::memcpy(image, data + 5, imageSize);
    PayloadDescriptor descriptor = {image, imageSize, nullptr, 0, static_cast<DWORD>(data[0] & 3)};

    BYTE *output = nullptr;
    DWORD outputSize = 0;
    ErrorValue result = ReadPayloadItem(&descriptor, kind, itemId, &output, &outputSize, nullptr);
    if (ErrorValueCode(result) == 0) {
        if (output != nullptr)
            FreeItemOutput(output);
    } else if (output != nullptr || outputSize != 0) {
        __builtin_trap(); // a failure hands nothing over
    }
    LocalFree(image);
    return 0;
}
