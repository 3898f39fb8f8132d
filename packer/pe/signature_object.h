// The Authenticode signature object (a DER PKCS #7 ContentInfo holding SignedData) as a
// carrier: an extra certificate whose non-critical extension holds a payload container.
#pragma once

#include "packer/byte_io.h"
#include "packer/keys/payload_signer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace packer {

// Offers the container a piece at a time, from its first byte, each time it is called.
using ContainerReader = std::function<void(const std::function<void(const std::uint8_t *, std::size_t)> &take)>;

// DER that encloses a container of known size: head, then the container's bytes, then tail. The
// container is never held, so a carrier of 64 MiB costs no more memory than a small one.
struct AroundContainer {
    Bytes head;
    Bytes tail;
};

// A self-signed certificate (signed by signer) whose one non-critical extension holds the
// container as its value. Deterministic for the same container and key. Reads the container
// twice: for the serial number and for the digest that is signed.
AroundContainer MakeCarrierCertificate(std::uint64_t containerSize, const ContainerReader &read,
                                       const PayloadSigner &signer);

// The signature object with the certificate (head, middleSize bytes, tail) appended to
// SignedData's certificate set. Everything the signature covers keeps its bytes; only the
// enclosing lengths change. Throws PackError.
AroundContainer AddCertificateToSignatureObject(const std::uint8_t *object, std::size_t objectLength,
                                                const AroundContainer &certificate, std::uint64_t middleSize);

// The values of every non-critical carrier extension, in certificate order and within a
// certificate in extension order. Throws PackError when the object does not decode.
std::vector<Bytes> FindCarrierValues(const std::uint8_t *object, std::size_t objectLength);

} // namespace packer
