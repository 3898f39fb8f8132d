// Putting a payload container into a stub (a built launcher.exe), in one of three places.
#pragma once

#include "packer/byte_io.h"
#include "packer/keys/payload_signer.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/signature_object.h"

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

// An image with its container placed: head, the container's bytes, then tail.
struct PlacedParts {
    Bytes head;
    Bytes tail;
    Placement placement; // the one used: end, certificate or overlay
};

// The stub with the container (containerSize bytes, offered by read) placed and the PE checksum
// recomputed. Auto takes certificate on a signed stub when the signature object stays under the
// limit, else end with a warning. Throws PackError when the result would break a limit (the
// signature object size for an explicit certificate placement, the 4 GiB file size).
// signer signs the carrier certificate of certificate placement. The container is read a few
// times, never held.
PlacedParts PlaceContainerAround(const Stub &stub, std::uint64_t containerSize, const ContainerReader &read,
                                 Placement placement, const PayloadSigner &signer);

// The same for a container in memory, as one image.
PlacedImage PlaceContainer(const Stub &stub, const Bytes &container, Placement placement, const PayloadSigner &signer);

} // namespace packer
