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

AuthenticodeCheck CheckAuthenticode(ByteView image);

// Whether Windows with the certificate padding check (EnableCertPaddingCheck) on sees the
// signature: the certificate table holds one WIN_CERTIFICATE whose dwLength is the signature
// object's DER length plus its 8-byte header, rounded up to 8, padded with zero bytes; nothing
// follows it in the table, and nothing follows the table in the file.
struct PaddingCheck {
    enum class Status { Unsigned, Passes, Fails } status;
    std::string detail; // Fails: what is in the way
};

PaddingCheck CheckCertificatePadding(ByteView image);

// The Authenticode digest of a PE image: every byte up to the certificate table except the
// checksum field and the certificate table's directory entry.
Bytes PeImageDigest(ByteView image, const EVP_MD *digest);

} // namespace packer
