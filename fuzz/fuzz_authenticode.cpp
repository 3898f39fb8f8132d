// The packer's Authenticode check as verify runs it: the DER walk of the signature object, the
// PE image digest, the signer's signature and its nested signatures and time-stamp; on inputs of
// odd size also the signer's chain to a root of the test fixtures.
#include <cstddef>
#include <cstdint>

#include "packer/pe/authenticode.h"
#include "packer/pack_error.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    const packer::Bytes image(data, data + size);
    try {
        packer::CheckAuthenticode(image, size % 2 == 1 ? FUZZ_CA_FILE : "");
    } catch (const packer::PackError &) {
    }
    return 0;
}
