#include "packer/pe/placement.h"

#include "packer/pe/authenticode.h"

#include "packer/cli/console.h"
#include "packer/pack_error.h"
#include "payload/payload_item.h"

#include <algorithm>
#include <cstring>
#include <optional>

namespace packer {

namespace {

bool EndsWithPayloadTrailer(const Bytes &image)
{
    return image.size() >= ItemTrailerSize && IsItemKind(image.data() + image.size() - ItemTrailerSize);
}

void CheckImageSize(std::uint64_t size)
{
    // The launcher reads its own file with a 32-bit size.
    if (size > 0xFFFFFFFFu)
        throw PackError("the packed installer would be 4 GiB or larger, more than the launcher can read");
}

// Sets the certificate table fields for an image of imageSize bytes (none when tableOffset is 0).
void SetTableFields(Bytes &image, const PeLayout &layout, std::size_t tableOffset, std::uint64_t imageSize)
{
    CheckImageSize(imageSize);
    if (tableOffset != 0) {
        WriteU32(image, layout.securityEntryOffset, static_cast<std::uint32_t>(tableOffset));
        WriteU32(image, layout.securityEntryOffset + 4, static_cast<std::uint32_t>(imageSize - tableOffset));
    }
}

} // namespace

std::string PlacementName(Placement placement)
{
    switch (placement) {
    case Placement::Auto:
        return "auto";
    case Placement::End:
        return "end";
    case Placement::Certificate:
        return "certificate";
    case Placement::Overlay:
        return "overlay";
    }
    return "";
}

Placement PlacementForStub(Placement requested, bool stubSigned)
{
    if (stubSigned && requested == Placement::Overlay)
        throw UsageError("--placement overlay needs an unsigned stub: a signature made before packing would not "
                         "cover the payload (pack onto the unsigned stub, then sign the installer; or use "
                         "--placement auto with this signed stub)");
    if (!stubSigned && requested != Placement::Certificate)
        return Placement::Overlay;
    return requested;
}

void CheckCertificateBudget(Placement placement, std::uint64_t compressedSoFar, std::uint64_t inputSoFar,
                            std::uint64_t inputTotal)
{
    if (placement == Placement::Certificate && compressedSoFar >= SignatureObjectLimit)
        throw PackError("--placement certificate: the compressed payload reached " + std::to_string(compressedSoFar) +
                        " bytes after " + std::to_string(inputSoFar) + " of " + std::to_string(inputTotal) +
                        " input bytes, and the signature object must stay under 64 MiB (67108864 bytes); use "
                        "--placement auto or end");
}

Stub LoadStub(const std::string &path, Placement placement)
{
    Stub stub{ReadWholeFile(path), {}, false, {}};
    const std::string what = "stub " + path;
    stub.layout = ReadPeLayout(stub.image, what);
    stub.isSigned = FindSignatureEntry(stub.image, stub.layout, stub.signature, what);
    PlacementForStub(placement, stub.isSigned); // refuses overlay on a signed stub

    if (!stub.isSigned) {
        if (placement == Placement::Certificate)
            throw PackError(what + " is not signed: --placement certificate needs an Authenticode-signed stub "
                                   "(sign it before packing, or use --placement overlay and sign the installer)");
        if (EndsWithPayloadTrailer(stub.image))
            throw PackError(what + " already carries a payload: pack a freshly built launcher.exe");
        return stub;
    }

    const PeLayout &layout = stub.layout;
    if (static_cast<std::uint64_t>(layout.tableOffset) + layout.tableSize != stub.image.size())
        throw PackError(what + ": data follows the certificate table; the table must end the file");
    if (AlignCertificateEntry(stub.signature.length) < layout.tableSize)
        throw PackError(what + ": the certificate table holds more than one entry");
    const SignatureEntry &entry = stub.signature;
    auto afterObject = stub.image.begin() + entry.offset + 8 + entry.objectLength;
    if (std::any_of(afterObject, stub.image.end(), [](std::uint8_t byte) { return byte != 0; }))
        throw PackError(what + " already carries data behind its signature object: pack a freshly signed stub");
    if (!FindCarrierValues(stub.image.data() + entry.offset + 8, entry.objectLength).empty())
        throw PackError(what + " already carries a payload certificate: pack a freshly signed stub");
    // A signature that no longer holds (the slot patched after signing, a signature taken from
    // another file) would ship an installer that every verifier refuses.
    const AuthenticodeCheck authenticode = CheckAuthenticode(stub.image);
    if (authenticode.status != AuthenticodeCheck::Status::Valid)
        throw PackError(what + ": its Authenticode signature did not verify: " + authenticode.detail +
                        " (set the key, then sign the stub again)");
    return stub;
}

namespace {

// For the placements that end the file with the container: the bytes of the image in front of
// it. Overlay (an unsigned stub): the image and the zero padding that makes the file's length a
// multiple of 8, so that a signing tool appends its certificate table directly after the
// container. End (a signed stub): the image to the signature object, padding and the table fields
// set for the container. The PE checksum is left to be computed over the whole image. Throws
// PackError past the 4 GiB file size.
Bytes ImageHeadForEnd(const Stub &stub, std::uint64_t containerSize)
{
    const SignatureEntry &entry = stub.signature;
    CheckImageSize(stub.image.size() + containerSize);
    if (!stub.isSigned) {
        // Bytes in front of the head item are never read: the padding goes there, so that the
        // container ends the file at a multiple of 8, where a signing tool puts its table.
        Bytes head = stub.image;
        head.resize(static_cast<std::size_t>(AlignCertificateEntry(head.size() + containerSize) - containerSize), 0);
        SetTableFields(head, stub.layout, 0, head.size() + containerSize);
        return head;
    }
    // The container follows the signature object and ends the entry, the table and the file,
    // which end 8-byte aligned as certificate entries must: the zero padding goes in front of
    // the container. The signature does not cover the table, so it stays valid.
    std::size_t objectEnd = entry.offset + 8 + entry.objectLength;
    std::uint64_t start = AlignCertificateEntry(objectEnd + containerSize) - containerSize;
    Bytes head(stub.image.begin(), stub.image.begin() + static_cast<std::ptrdiff_t>(objectEnd));
    head.resize(static_cast<std::size_t>(start), 0);
    std::uint64_t imageSize = start + containerSize;
    WriteU32(head, entry.offset,
             static_cast<std::uint32_t>(std::min<std::uint64_t>(imageSize - entry.offset, 0xFFFFFFFFu)));
    SetTableFields(head, stub.layout, entry.offset, imageSize);
    return head;
}

void WarnPayloadFollowsSignature(Placement requested)
{
    Warn(std::string(requested == Placement::End
                         ? "--placement end: the payload follows the signature object"
                         : "the payload does not fit in the signature object (64 MiB), so it follows it "
                           "(--placement end)") +
         ": machines with the certificate padding check (EnableCertPaddingCheck) on will not see the signature; "
         "to avoid that, pack onto an unsigned stub and sign the installer last");
}

} // namespace

PlacedParts PlaceContainerAround(const Stub &stub, std::uint64_t containerSize, const ContainerReader &read,
                                 Placement placement, const PayloadSigner &signer)
{
    const SignatureEntry &entry = stub.signature;
    std::optional<AroundContainer> object;
    std::uint64_t objectSize = 0;
    if (stub.isSigned && placement != Placement::End && containerSize < SignatureObjectLimit) {
        object = AddCertificateToSignatureObject(stub.image.data() + entry.offset + 8, entry.objectLength,
                                                 MakeCarrierCertificate(containerSize, read, signer), containerSize);
        objectSize = object->head.size() + containerSize + object->tail.size();
    }
    const bool fits = object && objectSize < SignatureObjectLimit;
    if (placement == Placement::Certificate && !fits)
        throw PackError("--placement certificate: the signature object would be " +
                        std::to_string(object ? objectSize : containerSize) +
                        " bytes or more, and decoders reject 64 MiB (67108864 bytes) or more; use --placement auto "
                        "or end");
    if (stub.isSigned && (placement == Placement::End || !fits))
        WarnPayloadFollowsSignature(placement);

    PeChecksum checksum(stub.layout.checksumOffset);
    const auto addToChecksum = [&](const std::uint8_t *data, std::size_t length) { checksum.Add(data, length); };
    if (!stub.isSigned || placement == Placement::End || !fits) {
        Bytes head = ImageHeadForEnd(stub, containerSize);
        checksum.Add(head.data(), head.size());
        read(addToChecksum);
        WriteU32(head, stub.layout.checksumOffset, checksum.Finish());
        return {std::move(head), {}, stub.isSigned ? Placement::End : Placement::Overlay};
    }

    // The object ends the entry, which ends the table and the file 8-byte aligned.
    Bytes head(stub.image.begin(), stub.image.begin() + entry.offset + 8);
    head.insert(head.end(), object->head.begin(), object->head.end());
    Bytes tail = std::move(object->tail);
    const std::uint64_t unpadded = head.size() + containerSize + tail.size();
    const std::uint64_t imageSize = AlignCertificateEntry(unpadded);
    tail.resize(tail.size() + static_cast<std::size_t>(imageSize - unpadded), 0);
    WriteU32(head, entry.offset,
             static_cast<std::uint32_t>(std::min<std::uint64_t>(imageSize - entry.offset, 0xFFFFFFFFu)));
    SetTableFields(head, stub.layout, entry.offset, imageSize);
    checksum.Add(head.data(), head.size());
    read(addToChecksum);
    checksum.Add(tail.data(), tail.size());
    WriteU32(head, stub.layout.checksumOffset, checksum.Finish());
    return {std::move(head), std::move(tail), Placement::Certificate};
}

PlacedImage PlaceContainer(const Stub &stub, const Bytes &container, Placement placement, const PayloadSigner &signer)
{
    PlacedParts parts = PlaceContainerAround(
        stub, container.size(),
        [&](const std::function<void(const std::uint8_t *, std::size_t)> &take) {
            take(container.data(), container.size());
        },
        placement, signer);
    Bytes image = std::move(parts.head);
    image.reserve(image.size() + container.size() + parts.tail.size());
    image.insert(image.end(), container.begin(), container.end());
    image.insert(image.end(), parts.tail.begin(), parts.tail.end());
    return {std::move(image), parts.placement};
}

} // namespace packer
