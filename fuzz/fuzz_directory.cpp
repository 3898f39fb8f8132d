// The package directory walk with the match and collect callbacks, through SelectPackage.
// Input: one byte for the user's language, two for the directory's length, the directory, then
// the container that the chosen entries' file items are read from (unsigned, stored, so that
// a walk can get as far as collecting cabinets).
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_support.h"

namespace {

const DWORD Languages[] = {1033, 0x0C07, 1031, 0x0809, 1036, 0};

// The image is a local-heap block and the directory an item output, as the launcher holds them.
BYTE *CopyImage(const std::uint8_t *data, DWORD size)
{
    BYTE *copy = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, size));
    if (copy != nullptr && size > 0)
        std::memcpy(copy, data, size);
    return copy;
}

BYTE *CopyDirectory(const std::uint8_t *data, DWORD size)
{
    BYTE *copy = AllocateItemOutput(size);
    if (copy != nullptr && size > 0)
        std::memcpy(copy, data, size);
    return copy;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 3 || size > 0xFFFFFFFFu)
        return 0;
    DWORD directorySize = (DWORD)data[1] | ((DWORD)data[2] << 8);
    if (directorySize > size - 3)
        directorySize = static_cast<DWORD>(size - 3);
    DWORD imageSize = static_cast<DWORD>(size - 3 - directorySize);

    LauncherState state = {};
    state.lcid = Languages[data[0] % (sizeof Languages / sizeof Languages[0])];
    state.is64Bit = (data[0] & 0x80) != 0 ? 0 : 1;
    PayloadDescriptor descriptor = {CopyImage(data + 3 + directorySize, imageSize), imageSize,
                                    CopyDirectory(data + 3, directorySize), directorySize, 0};
    if (descriptor.image == nullptr || descriptor.directory == nullptr ||
        !AppendPayloadDescriptor(&state, &descriptor)) {
        LocalFree(descriptor.image);
        FreeItemOutput(descriptor.directory);
        return 0;
    }

    SelectAndRelease(&state);
    FreePayloadDescriptors(&state);
    return 0;
}
