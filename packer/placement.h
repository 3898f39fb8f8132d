// Putting a payload container into a stub (a built launcher.exe), in one of three places.
#pragma once

#include "packer/byte_io.h"
#include "packer/keys/payload_signer.h"
#include "packer/pe_image.h"

#include <cstdint>
#include <string>

namespace packer {

enum class Placement {
    Auto,        // unsigned stub: overlay; signed: certificate when the signature object stays under the
                 // limit, else end
    End,         // behind the signature object in the certificate entry; on an unsigned stub, overlay
    Certificate, // as a carrier extension of an extra certificate in the signature object
    Overlay,     // after the image of an unsigned stub, for signing last: the signature then covers it
};

// The placement a request comes to on a stub: overlay whenever the stub is unsigned (an explicit
// certificate placement is refused there), the request itself otherwise (auto is decided by
// size). Throws UsageError for an explicit overlay on a signed stub.
Placement PlacementForStub(Placement requested, bool stubSigned);

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
// stub, overlay an unsigned one. Throws PackError (UsageError for overlay) with the reason.
Stub LoadStub(const std::string &path, Placement placement);

struct PlacedImage {
    Bytes image;
    Placement placement; // the one used: end, certificate or overlay
};

// The stub with the container placed and the PE checksum recomputed. Auto takes certificate on
// a signed stub when the signature object stays under the limit, else end with a warning.
// Throws PackError when the result would break a limit (the signature object size for an
// explicit certificate placement, the 4 GiB file size).
// signer signs the carrier certificate of certificate placement.
PlacedImage PlaceContainer(const Stub &stub, const Bytes &container, Placement placement, const PayloadSigner &signer);

// The warning for the end placement on a signed stub, chosen by auto (the payload does not fit
// in the signature object) or asked for.
void WarnPayloadFollowsSignature(Placement requested);

// For the placements that end the file with the container, written a piece at a time: the bytes
// of the image in front of a container of containerSize bytes. Overlay (an unsigned stub): the
// image and the zero padding that makes the file's length a multiple of 8, so that a signing
// tool appends its certificate table directly after the container. End (a signed stub): the
// image to the signature object, padding and the table fields set for the container. The PE
// checksum is left to be computed over the whole image (PeChecksum, at
// stub.layout.checksumOffset). Throws PackError past the 4 GiB file size.
Bytes ImageHeadForEnd(const Stub &stub, std::uint64_t containerSize);

} // namespace packer
