// Putting a payload container into a stub (a built launcher.exe), in one of two places.
#pragma once

#include "packer/byte_io.h"
#include "packer/keys/payload_signer.h"
#include "packer/pe_image.h"

#include <atomic>
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

// Counts the compressed bytes of the items as each is done (from any thread), so that an
// explicit certificate placement stops as soon as the payload can no longer fit, not after all
// the work.
class CertificateBudget {
  public:
    CertificateBudget(Placement placement, std::size_t itemCount)
        : enforced_(placement == Placement::Certificate), itemCount_(itemCount)
    {
    }
    // One item's compressed bytes; throws PackError once the total reaches the limit.
    void Add(std::uint64_t compressedBytes);

  private:
    bool enforced_;
    std::size_t itemCount_;
    std::atomic<std::uint64_t> total_{0};
    std::atomic<std::size_t> items_{0};
};

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

} // namespace packer
