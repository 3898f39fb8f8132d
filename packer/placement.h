// Putting a payload container into a stub (a built launcher.exe), in one of two places.
#pragma once

#include "packer/byte_io.h"
#include "packer/pe_image.h"

#include <openssl/evp.h>

#include <string>

namespace packer {

enum class Placement {
    End,         // behind the signature object in the certificate entry, or appended to an unsigned stub
    Certificate, // as a carrier extension of an extra certificate in the signature object
};

std::string PlacementName(Placement placement);

// Decoders reject an ASN.1 element of 64 MiB or more, so a carrier signature object stays below.
constexpr std::size_t SignatureObjectLimit = 64u << 20;

struct Stub {
    Bytes image;
    PeLayout layout;
    bool isSigned;
    SignatureEntry signature; // when isSigned
};

// Reads and checks a stub for the placement: an x64 PE32+ image that carries no payload yet,
// with its certificate table at the end of the file; certificate placement needs a signed
// stub. Throws PackError with the reason.
Stub LoadStub(const std::string &path, Placement placement);

// The stub with the container placed and the PE checksum recomputed. Throws PackError when
// the result would break a limit (the signature object size, the 4 GiB file size).
Bytes PlaceContainer(const Stub &stub, const Bytes &container, Placement placement, EVP_PKEY *key);

// For --placement end: the bytes of the image in front of a container of containerSize bytes,
// its table fields set for it; the PE checksum is left to be computed over the whole image
// (PeChecksum, at stub.layout.checksumOffset). Throws PackError past the 4 GiB file size.
Bytes ImageHeadForEnd(const Stub &stub, std::uint64_t containerSize);

} // namespace packer
