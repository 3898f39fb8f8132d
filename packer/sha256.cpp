#include "packer/sha256.h"

#include <openssl/sha.h>

namespace packer {

Sha256Digest Sha256Of(const std::uint8_t *data, std::size_t length)
{
    Sha256Digest digest;
    SHA256(data, length, digest.data());
    return digest;
}

} // namespace packer
