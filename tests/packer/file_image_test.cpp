// The file image that inspect, verify and extract read an installer through holds its headers,
// its signature object and what the payload's walk reaches, never the items' bytes, in every
// placement that ends the file with the payload; a byte it never loaded can't be read unnoticed.
#include "tests/packer/packer_test_support.h"

#include "packer/keys/payload_key.h"
#include "packer/payload/payload_reader.h"
#include "packer/pe/file_image.h"
#include "tests/fixtures/fixtures.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>

namespace packer_test {
namespace {

struct PlacementCase {
    const char *name;
    bool signedStub;
    const char *placement;
    bool signedAfterPacking; // by osslsigncode, which puts its table behind the payload
};

const PlacementCase placementCases[] = {
    {"after_the_image", false, "overlay", false},
    {"in_front_of_the_certificate_table", false, "overlay", true},
    {"behind_the_signature_object", true, "end", false},
};

// The package packed in the placement, stored (--level 0).
std::string Installer(const PlacementCase &c, const std::string &package, const std::string &folder)
{
    const World &world = TheWorld();
    const std::string installer = folder + "/" + c.name + ".exe";
    RunResult packed =
        Pack("-q pack --level 0 --stub " + Quote(c.signedStub ? world.signedStub : world.stub) + " --key " +
             Quote(world.key) + " --msi " + Quote(package) + " --placement " + c.placement + " -o " + Quote(installer));
    if (packed.exitCode != 0)
        throw std::runtime_error("pack failed: " + packed.err);
    if (c.signedAfterPacking) {
        RunResult signedFile =
            RunCommand(std::string(OSSLSIGNCODE) + " sign -certs " + Quote(world.signerCertificate) + " -key " +
                       Quote(fixtures::FixturePath("test-signer-key.pem")) + " -h sha256 -in " + Quote(installer) +
                       " -out " + Quote(installer + ".signed"));
        if (signedFile.exitCode != 0)
            throw std::runtime_error("osslsigncode failed: " + signedFile.out + signedFile.err);
        std::filesystem::rename(installer + ".signed", installer);
    }
    return installer;
}

TEST(FileImage, HoldsNoItemBytesInAnyPlacementThatEndsTheFileWithThePayload)
{
    const std::string folder = FreshFolder("file-image-held");
    const std::size_t cabinet = 8u << 20;
    const std::string package = PackageWithRandomCabinet(folder, "random", cabinet);
    for (const PlacementCase &c : placementCases) {
        SCOPED_TRACE(c.name);
        const std::string installer = Installer(c, package, folder);
        packer::FileImage image(installer);
        packer::SetPayloadVerificationKey(packer::ReadSlotKey(image, installer).value());
        const packer::PayloadReport report = packer::CheckPayload(image);
        ASSERT_EQ(report.locate.code, 0u) << packer::Describe(report.locate);
        ASSERT_EQ(report.containers.size(), 1u);
        ASSERT_FALSE(report.containers[0].items.empty());
        for (const packer::ItemInfo &item : report.containers[0].items)
            EXPECT_EQ(item.result.code, 0u) << item.id << ": " << packer::Describe(item.result);
        EXPECT_EQ(report.beforeCertificateTable, c.signedAfterPacking);
        // The stub and the directory are a few KiB; the cabinet's item would be 8 MiB more.
        EXPECT_LT(image.LoadedSize(), 1u << 20) << "of a file of " << image.size() << " bytes";
    }
}

// An installer whose headers the packer's own reader refuses, or whose signature object has no
// definite length, but whose table the launcher's lookup still reads.
struct OddHeaderCase {
    const char *name;
    void (*change)(Bytes &image);
};

const OddHeaderCase oddHeaderCases[] = {
    {"no_data_directories",
     [](Bytes &image) { fixtures::WriteU32(image, fixtures::NtHeadersOffset(image) + 24 + 108, 0); }},
    {"machine_not_x64", [](Bytes &image) { fixtures::WriteU16(image, fixtures::NtHeadersOffset(image) + 4, 0x14C); }},
    {"object_of_indefinite_length",
     [](Bytes &image) { image[fixtures::ReadSecurityDirectory(image).offset + 8 + 1] = 0x80; }},
};

std::string Outcome(const packer::PayloadReport &report)
{
    std::string text = packer::Describe(report.locate);
    for (const auto &container : report.containers)
        for (const auto &item : container.items)
            text += "; " + std::to_string(item.id) + ": " + packer::Describe(item.result);
    return text;
}

TEST(FileImage, LoadsWhatTheLauncherReadsOfATableWhoseHeadersThePackerRefuses)
{
    const std::string folder = FreshFolder("file-image-odd-headers");
    const std::string installer = Installer({"end", true, "end", false}, TheWorld().en, folder);
    const Bytes packed = fixtures::ReadFileBytes(installer);
    packer::SetPayloadVerificationKey(packer::ReadSlotKey(packed, installer).value());
    for (const OddHeaderCase &c : oddHeaderCases) {
        SCOPED_TRACE(c.name);
        Bytes image = packed;
        c.change(image);
        const std::string path = folder + "/" + c.name + ".exe";
        fixtures::WriteFileBytes(path, image);
        // A byte the launcher's code reads that was never loaded would end this process here.
        EXPECT_EQ(Outcome(packer::CheckPayload(packer::FileImage(path))), Outcome(packer::CheckPayload(image)));
    }
}

// A byte of a small file that nothing loaded, in the file image's block, which the launcher's code
// reads in place.
TEST(FileImage, ABytePastWhatWasLoadedIsZeroAndUnreadableInSanitizerBuilds)
{
    const std::string folder = FreshFolder("file-image-unloaded");
    const std::string path = folder + "/not-an-image.bin";
    // Not an image (its NT headers would lie past its end): only where a DOS header would be is
    // loaded.
    fixtures::WriteFileBytes(path, Bytes(256 * 1024, 0xA5));
    const std::size_t loaded = 10, unloaded = 200 * 1024;
    const packer::FileImage image(path);
    const std::uint8_t *block = packer::ByteView(image).data();
    EXPECT_EQ(block[loaded], 0xA5);
#ifdef PACKER_CHECKED_BLOCKS
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(
        {
            volatile std::uint8_t byte = block[unloaded];
            (void)byte;
        },
        "use-after-poison");
#else
    EXPECT_EQ(block[unloaded], 0);
#endif
}

} // namespace
} // namespace packer_test
