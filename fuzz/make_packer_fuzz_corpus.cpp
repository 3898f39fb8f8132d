// Writes the seed corpora of the packer's fuzz targets from the packer's own outputs: the signed
// and unsigned test executables as stubs, with the test key in a key slot, and a small payload
// placed by the packer's placement code at the end (signed and unsigned, and the unsigned one
// given a certificate table as when it is signed after packing) and in a carrier certificate.
// Usage: make_packer_fuzz_corpus OUTPUT_DIR KEY_PEM
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "packer/keys/pem_key.h"
#include "packer/keys/payload_key.h"
#include "packer/pe/placement.h"
#include "tests/fixtures/fixtures.h"
#include "writer/container_writer.h"

namespace {

using packer::Bytes;
namespace fs = std::filesystem;

void Seed(const fs::path &root, const std::string &target, const std::string &name, const Bytes &bytes)
{
    fs::create_directories(root / target);
    fixtures::WriteFileBytes((root / target / name).string(), bytes);
}

// image with the key slot (its marker and blob) written over the start of its largest section's
// raw data, where the packer looks for it; the signature, if any, no longer holds.
Bytes WithKeySlot(Bytes image, const Bytes &blob)
{
    const std::size_t nt = fixtures::NtHeadersOffset(image);
    const std::size_t count = image[nt + 6] | image[nt + 7] << 8;
    const std::size_t sections = nt + 24 + (image[nt + 20] | image[nt + 21] << 8);
    std::size_t best = 0, bestSize = 0;
    for (std::size_t s = 0; s < count; ++s) {
        const std::size_t header = sections + 40 * s;
        if (fixtures::ReadU32(image, header + 16) > bestSize) {
            bestSize = fixtures::ReadU32(image, header + 16);
            best = fixtures::ReadU32(image, header + 20);
        }
    }
    if (bestSize < PayloadKeySlotMarkerSize + PayloadPublicKeySize)
        throw std::runtime_error("no section holds a key slot");
    std::copy(std::begin(PayloadKeySlotMarker), std::end(PayloadKeySlotMarker), image.begin() + best);
    std::copy(blob.begin(), blob.end(), image.begin() + best + PayloadKeySlotMarkerSize);
    fixtures::UpdatePeChecksum(image);
    return image;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_packer_fuzz_corpus OUTPUT_DIR KEY_PEM\n");
        return 2;
    }
    try {
        const fs::path root = argv[1];
        const packer::KeySource key(argv[2], "");
        const packer::PemSigner signer(key);
        const Bytes blob = packer::PublicKeyBlob(signer.PublicKey(), "the test key");
        writer::PrivateKey writerKey = writer::LoadPrivateKey(argv[2]);
        const std::string code = "{6D2F1C3B-8E4A-4B5C-9D6E-7F8091A2B3C4}";
        const Bytes container = writer::WriteContainer(
            {{writer::ItemKind::Head, 0,
              writer::WriteDirectory({{1000, "x64\\1033\\" + code + "\\Product"}, {1001, "cab\\1000\\a.cab"}})},
             {writer::ItemKind::File, 1000, Bytes(64, 'm')},
             {writer::ItemKind::File, 1001, Bytes(64, 'c')}},
            {}, writerKey.get());

        const fs::path stubs = root / "stubs";
        fs::create_directories(stubs);
        const std::string unsignedStub = (stubs / "unsigned.exe").string();
        const std::string signedStub = (stubs / "signed.exe").string();
        fixtures::WriteFileBytes(unsignedStub, WithKeySlot(fixtures::UnsignedPe(), blob));
        fixtures::WriteFileBytes(signedStub, fixtures::SignedPe());

        struct Output {
            const char *name;
            Bytes image;
        };
        const auto place = [&](const std::string &stub, packer::Placement placement) {
            return packer::PlaceContainer(packer::LoadStub(stub, placement), container, placement, signer).image;
        };
        const Output signedOutputs[] = {{"signed-stub", fixtures::SignedPe()},
                                        {"signed-end", place(signedStub, packer::Placement::End)},
                                        {"signed-certificate", place(signedStub, packer::Placement::Certificate)}};
        const Bytes overlay = place(unsignedStub, packer::Placement::End);
        // Signed after packing, as a signing tool does it: its table behind the payload (a
        // signature object of another file, which does not hold here).
        const Output unsignedOutputs[] = {
            {"unsigned-stub", fixtures::ReadFileBytes(unsignedStub)},
            {"unsigned-end", overlay},
            {"signed-after-packing",
             fixtures::WithCertificateEntry(overlay, fixtures::LeadingSignatureObject(fixtures::SignedPe()))}};

        // The Authenticode check wants signatures that hold; the readers of the slot and the
        // payload want the key slot, which breaks them.
        for (const Output &output : signedOutputs) {
            Seed(root, "authenticode", output.name, output.image);
            Seed(root, "pe_image", output.name, output.image);
            Seed(root, "pe_image", std::string(output.name) + "-with-slot", WithKeySlot(output.image, blob));
            for (const char *target : {"verify_payload", "verify_file"})
                Seed(root, target, output.name, WithKeySlot(output.image, blob));
        }
        for (const Output &output : unsignedOutputs)
            for (const char *target : {"authenticode", "pe_image", "verify_payload", "verify_file"})
                Seed(root, target, output.name, output.image);
        fs::remove_all(stubs);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "make_packer_fuzz_corpus: %s\n", error.what());
        return 1;
    }
    return 0;
}
