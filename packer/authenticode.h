// The Authenticode signature of a file, checked as a verifier checks it, without trusting any
// certificate chain: the file's PE image digest is the one the signature holds, and the
// signer's signature over it verifies with the signer certificate carried in the signature.
#pragma once

#include "packer/byte_io.h"

#include <openssl/evp.h>

#include <string>

namespace packer {

struct AuthenticodeCheck {
    enum class Status { Unsigned, Valid, Invalid } status;
    std::string detail; // Valid: the digest and the signer; Invalid: what does not hold
};

AuthenticodeCheck CheckAuthenticode(const Bytes &image);

// The Authenticode digest of a PE image: every byte up to the certificate table except the
// checksum field and the certificate table's directory entry.
Bytes PeImageDigest(const Bytes &image, const EVP_MD *digest);

} // namespace packer
