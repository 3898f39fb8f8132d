// Putting a payload container into a stub (a built launcher.exe), in one of two places.
#pragma once

#include "packer/byte_io.h"
#include "packer/keys/payload_signer.h"
#include "packer/pe_image.h"

#include <cstdint>
#include <string>

namespace packer {

enum class Placement {
    Auto,        // certificate when the signature object stays under the limit, else end
    End,         // behind the signature object in the certificate entry, or appended to an unsigned stub
    Certificate, // as a carrier extension of an extra certificate in the signature object
};

std::string PlacementName(Placement placement);

// Decoders reject an ASN.1 element of 64 MiB or more, so a carrier signature object stays below.
constexpr std::size_t SignatureObjectLimit = 64u << 20;

// Called as pieces are compressed, so that an explicit certificate placement stops as soon as
// the payload can no longer fit, not after all the work: throws PackError once the compressed
// bytes reach the limit.
void CheckCertificateBudget(Placement placement, std::uint64_t compressedSoFar, std::uint64_t inputSoFar,
                            std::uint64_t inputTotal);

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

struct PlacedImage {
    Bytes image;
    Placement placement; // the one used: end or certificate
};

// The stub with the container placed and the PE checksum recomputed. Auto takes certificate on
// a signed stub when the signature object stays under the limit, else end with a warning.
// Throws PackError when the result would break a limit (the signature object size for an
// explicit certificate placement, the 4 GiB file size).
// signer signs the carrier certificate of certificate placement.
PlacedImage PlaceContainer(const Stub &stub, const Bytes &container, Placement placement, const PayloadSigner &signer);

// The warning of auto when the payload does not fit in the signature object.
void WarnPayloadFollowsSignature();

// For the end placement written a piece at a time: the bytes of the image in front of a
// container of containerSize bytes, its table fields set for it; the PE checksum is left to be
// computed over the whole image (PeChecksum, at stub.layout.checksumOffset). Throws PackError
// past the 4 GiB file size.
Bytes ImageHeadForEnd(const Stub &stub, std::uint64_t containerSize);

// For --placement end: the bytes of the image in front of a container of containerSize bytes,
// its table fields set for it; the PE checksum is left to be computed over the whole image
// (PeChecksum, at stub.layout.checksumOffset). Throws PackError past the 4 GiB file size.
Bytes ImageHeadForEnd(const Stub &stub, std::uint64_t containerSize);

} // namespace packer
