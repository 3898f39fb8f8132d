// The Authenticode signature object (a DER PKCS #7 ContentInfo holding SignedData) as a
// carrier: an extra certificate whose non-critical extension holds a payload container.
#pragma once

#include "packer/byte_io.h"
#include "packer/keys/payload_signer.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace packer {

// A self-signed certificate (signed by signer) whose one non-critical extension holds the
// container as its value. Deterministic for the same container and key.
Bytes MakeCarrierCertificate(const Bytes &container, const PayloadSigner &signer);

// The signature object with certificate appended to SignedData's certificate set. Everything
// the signature covers keeps its bytes; only the enclosing lengths change. Throws PackError.
Bytes AddCertificateToSignatureObject(const std::uint8_t *object, std::size_t objectLength, const Bytes &certificate);

// The values of every non-critical carrier extension, in certificate order and within a
// certificate in extension order. Throws PackError when the object does not decode.
std::vector<Bytes> FindCarrierValues(const std::uint8_t *object, std::size_t objectLength);

} // namespace packer
