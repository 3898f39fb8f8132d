// Finding the payload containers of an executable, on real signed executables: a container in
// front of the certificate table (or ending a file without one), else carrier extensions in the
// certificates of its signature object, else the container that ends the file.
#include "payload/locator.h"

#include "launcher/launcher_state.h"
#include "payload/payload_format.h"
#include "tests/fixtures/fixtures.h"
#include "tests/seam/fault_control.h"
#include "tests/unit/payload_fixtures.h"

#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

namespace {

using fixtures::Bytes;
using fixtures::Extension;

constexpr DWORD InvalidArgument = 0x80070057u;

Bytes Text(const char *text)
{
    return Bytes(text, text + std::strlen(text));
}

// A container whose head item (the package directory) holds directory.
Bytes ContainerWith(const Bytes &directory)
{
    return writer::WriteContainer({{writer::ItemKind::Head, 0, directory}}, {}, fixtures::TestKey());
}

struct Found {
    Bytes image;
    Bytes directory;
    bool operator==(const Found &other) const { return image == other.image && directory == other.directory; }
};

struct Outcome {
    DWORD code;
    DWORD line;
    std::vector<Found> payloads;
};

Outcome Collect(ErrorValue value)
{
    Outcome outcome{ErrorValueCode(value), ErrorValueLine(value), {}};
    for (DWORD i = 0; i < launcherState.payloadCount; i++) {
        const PayloadDescriptor &descriptor = launcherState.payloads[i];
        EXPECT_EQ(descriptor.flags, static_cast<DWORD>(PayloadFlagCompressed | PayloadFlagSigned));
        outcome.payloads.push_back({Bytes(descriptor.image, descriptor.image + descriptor.imageSize),
                                    Bytes(descriptor.directory, descriptor.directory + descriptor.directorySize)});
    }
    return outcome;
}

// As the main flow reads its own image, from a block that a container in it keeps.
Outcome LoadPayloads(const Bytes &image, DWORD *placement = nullptr)
{
    return Collect(fixtures::LocateInCopy(&launcherState, image, placement));
}

class PayloadSearch : public testing::Test {
  protected:
    void SetUp() override { FreePayloadDescriptors(&launcherState); }
    void TearDown() override { FreePayloadDescriptors(&launcherState); }

    const Bytes wholeDirectory = Text("directory at the end of the file");
    const Bytes wholeContainer = ContainerWith(wholeDirectory);
};

struct HeaderCase {
    const char *name;
    std::function<void(Bytes &)> damage;
    bool wholeImageLoads;
    DWORD placement = PayloadBeforeTable;
};

TEST_F(PayloadSearch, HeadersWithoutACertificateTableLeaveTheWholeImage)
{
    const Bytes signedImage = fixtures::EmbedBehindSignature(fixtures::SignedPe(), wholeContainer);
    const std::uint32_t nt = fixtures::NtHeadersOffset(signedImage);
    const fixtures::SecurityDirectory table = fixtures::ReadSecurityDirectory(signedImage);
    const HeaderCase cases[] = {
        {"signed, no carrier: behind the signature object", [](Bytes &) {}, true, PayloadAtFileEnd},
        {"unsigned, container appended",
         [this](Bytes &image) {
             image = fixtures::UnsignedPe();
             image.insert(image.end(), wholeContainer.begin(), wholeContainer.end());
         },
         true},
        {"no DOS signature", [](Bytes &image) { fixtures::WriteU16(image, 0, 0x5A4E); }, true},
        {"NT headers past the end",
         [](Bytes &image) { fixtures::WriteU32(image, 0x3C, static_cast<std::uint32_t>(image.size() - 263)); }, true},
        {"NT headers offset wraps", [](Bytes &image) { fixtures::WriteU32(image, 0x3C, 0xFFFFFF00u); }, true},
        {"no NT signature", [nt](Bytes &image) { fixtures::WriteU32(image, nt, 0x00004551); }, true},
        {"PE32 optional header",
         [nt](Bytes &image) { fixtures::WriteU16(image, nt + fixtures::OptionalHeaderMagicOffset, 0x10B); }, true},
        {"security directory under 8 bytes",
         [table](Bytes &image) {
             fixtures::WriteSecurityDirectory(image, {table.offset, 7});
         },
         true},
        {"table one byte past the end",
         [table](Bytes &image) {
             fixtures::WriteSecurityDirectory(image, {table.offset, table.size + 1});
         },
         true},
        {"table offset wraps",
         [](Bytes &image) {
             fixtures::WriteSecurityDirectory(image, {0xFFFFFFF8u, 16});
         },
         true},
        {"shorter than 64 bytes", [](Bytes &image) { image.resize(63); }, false},
    };
    for (const HeaderCase &c : cases) {
        SCOPED_TRACE(c.name);
        FreePayloadDescriptors(&launcherState);
        Bytes image = signedImage;
        c.damage(image);

        // A file without a table is read from its end, as one signed last is from the table's start.
        DWORD placement = PayloadNotFound;
        Outcome outcome = LoadPayloads(image, &placement);
        EXPECT_EQ(placement, c.placement);
        if (c.wholeImageLoads) {
            EXPECT_EQ(outcome.code, 0u);
            EXPECT_EQ(outcome.line, 547u);
            EXPECT_EQ(outcome.payloads, (std::vector<Found>{{image, wholeDirectory}}));
        } else {
            EXPECT_EQ(outcome.code, 1168u);
            EXPECT_EQ(outcome.line, 509u);
            EXPECT_TRUE(outcome.payloads.empty());
        }
    }
}

struct CarrierCase {
    const char *name;
    std::vector<std::vector<Extension>> certificates;
    DWORD code;
    DWORD line;
    std::vector<Found> expected; // empty with code 0: the whole image
};

TEST_F(PayloadSearch, TakesCarrierExtensionsInCertificateThenExtensionOrder)
{
    const Bytes first = Text("first carried directory");
    const Bytes second = Text("second carried directory");
    const Bytes carriedFirst = ContainerWith(first);
    const Bytes carriedSecond = ContainerWith(second);
    // A container without a head item: its item chain runs out.
    const Bytes headless =
        writer::WriteContainer({{writer::ItemKind::File, 1000, Text("file")}}, {}, fixtures::TestKey());
    const std::string longerOid = std::string(PayloadExtensionOid) + ".1";

    const CarrierCase cases[] = {
        {"one carrier", {{{carriedFirst}}}, 0, 547, {{carriedFirst, first}}},
        {"critical carrier ignored", {{{carriedFirst, true}}}, 0, 547, {}},
        {"critical beside a carrier", {{{carriedFirst, true}, {carriedSecond}}}, 0, 547, {{carriedSecond, second}}},
        {"two in one certificate",
         {{{carriedFirst}, {carriedSecond}}},
         0,
         547,
         {{carriedFirst, first}, {carriedSecond, second}}},
        {"one in each of two certificates",
         {{}, {{carriedFirst}}, {{carriedSecond}}},
         0,
         547,
         {{carriedFirst, first}, {carriedSecond, second}}},
        {"other identifiers passed over",
         {{{carriedFirst, false, "1.2.840.113556.1.8000.2554"}, {carriedSecond}, {carriedFirst, false, longerOid}}},
         0,
         547,
         {{carriedSecond, second}}},
        {"no certificates", {}, 0, 547, {}},
        {"certificates without carriers", {{}, {{carriedFirst, false, "1.2.3.4"}}}, 0, 547, {}},
        {"missing head item stops the search",
         {{{carriedFirst}}, {{headless}, {carriedSecond}}},
         1168,
         509,
         {{carriedFirst, first}}},
        {"missing head item in the first carrier", {{{headless}, {carriedFirst}}}, 1168, 509, {}},
    };
    for (const CarrierCase &c : cases) {
        SCOPED_TRACE(c.name);
        FreePayloadDescriptors(&launcherState);
        Bytes signature = fixtures::MakeSignatureObject(c.certificates);
        Bytes image = fixtures::EmbedBehindSignature(fixtures::WithCertificateEntry(fixtures::UnsignedPe(), signature),
                                                     wholeContainer);
        Outcome outcome = LoadPayloads(image);
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.line, c.line);
        if (c.code == 0 && c.expected.empty())
            EXPECT_EQ(outcome.payloads, (std::vector<Found>{{image, wholeDirectory}}));
        else
            EXPECT_EQ(outcome.payloads, c.expected);
    }
}

// A signature object of indefinite length goes to the decoder with all that follows it.
TEST_F(PayloadSearch, ReadsASignatureObjectOfIndefiniteLength)
{
    const Bytes directory = Text("carried directory");
    const Bytes container = ContainerWith(directory);
    Bytes object = fixtures::MakeSignatureObject({{{container}}});
    ASSERT_EQ(object[1], 0x82); // a definite length in two bytes
    object.erase(object.begin() + 1, object.begin() + 4);
    object.insert(object.begin() + 1, 0x80);
    object.insert(object.end(), {0, 0});
    object.insert(object.end(), 40, 0x5A); // bytes that follow it in the entry
    Bytes image = fixtures::WithCertificateEntry(fixtures::UnsignedPe(), object);

    Outcome outcome = LoadPayloads(image);
    EXPECT_EQ(outcome.code, 0u);
    EXPECT_EQ(outcome.line, 547u);
    EXPECT_EQ(outcome.payloads, (std::vector<Found>{{container, directory}}));
}

struct UndecodableCase {
    const char *name;
    std::function<Bytes()> image;
    DWORD code;
};

TEST_F(PayloadSearch, AFirstEntryThatDoesNotDecodeEndsTheSearch)
{
    const Bytes signature = fixtures::MakeSignatureObject({{{ContainerWith(Text("carried"))}}});
    const Bytes carrierImage = fixtures::WithCertificateEntry(fixtures::UnsignedPe(), signature);
    const fixtures::SecurityDirectory table = fixtures::ReadSecurityDirectory(carrierImage);
    const Bytes &whole = wholeContainer;
    const UndecodableCase cases[] = {
        {"not a signature object",
         [&] {
             return fixtures::EmbedBehindSignature(fixtures::WithCertificateEntry(fixtures::UnsignedPe(), Bytes(64, 4)),
                                                   whole);
         },
         static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
        {"object cut short by the entry",
         [&] {
             Bytes image = carrierImage;
             fixtures::WriteU32(image, table.offset, static_cast<std::uint32_t>(8 + signature.size() / 2));
             return image;
         },
         static_cast<DWORD>(CRYPT_E_ASN1_EOD)},
        // The object lies whole in the file, but the entry claims more than the table holds.
        {"entry longer than the table",
         [&] {
             Bytes image = carrierImage;
             fixtures::WriteSecurityDirectory(image, {table.offset, table.size - 16});
             return image;
         },
         InvalidArgument},
        {"entry shorter than its header",
         [&] {
             Bytes image = carrierImage;
             fixtures::WriteU32(image, table.offset, 7);
             return image;
         },
         InvalidArgument},
    };
    for (const UndecodableCase &c : cases) {
        SCOPED_TRACE(c.name);
        FreePayloadDescriptors(&launcherState);
        Outcome outcome = LoadPayloads(c.image());
        EXPECT_EQ(outcome.code, c.code);
        EXPECT_EQ(outcome.line, 837u);
        EXPECT_TRUE(outcome.payloads.empty());
    }
}

// A decoder may refuse update buffers of 64 MiB or more; only the signature object is its
// business, however much payload follows it.
TEST_F(PayloadSearch, FindsTheWholeImageBehindASignatureWithALargePayload)
{
    const Bytes directory = Text("directory of a large payload");
    writer::ContainerOptions stored;
    stored.level = 0;
    Bytes container = writer::WriteContainer(
        {{writer::ItemKind::Head, 0, directory}, {writer::ItemKind::File, 1000, Bytes((65u << 20) + 1, 0)}}, stored,
        fixtures::TestKey());
    ASSERT_GT(container.size(), 64u << 20);
    Bytes image = fixtures::EmbedBehindSignature(fixtures::SignedPe(), container);
    container = Bytes();

    Outcome outcome = LoadPayloads(image);
    EXPECT_EQ(outcome.code, 0u);
    EXPECT_EQ(outcome.line, 547u);
    ASSERT_EQ(outcome.payloads.size(), 1u);
    EXPECT_EQ(outcome.payloads[0].directory, directory);
    EXPECT_EQ(outcome.payloads[0].image.size(), image.size());
}

// A file packed onto an unsigned stub and signed after: the container, gap zero bytes, then the
// certificate table that the signing tool appended.
Bytes SignedAfterPacking(const Bytes &container, std::size_t gap, const Bytes &signatureObject)
{
    Bytes image = fixtures::UnsignedPe();
    const std::size_t end = image.size() + container.size();
    image.resize(image.size() + (8 - (end + gap) % 8) % 8, 0);
    image.insert(image.end(), container.begin(), container.end());
    return fixtures::WithCertificateEntry(image, signatureObject);
}

struct BeforeTableCase {
    const char *name;
    Bytes image;
    DWORD code;
    DWORD line;
    std::size_t containerEnd; // where the one container found ends; 0 when none is found
    Bytes directory;
    DWORD placement;
    DWORD ignored; // what FindIgnoredPayloads reports besides it
};

// The order in which a file's payloads are taken: the container in front of the certificate
// table (which the signature covers), else the table's carriers, else the container at the end
// of the file; whatever else the file holds is left unread, and reported.
TEST_F(PayloadSearch, TakesThePayloadUnderTheSignatureFirst)
{
    const Bytes noCarrier = fixtures::MakeSignatureObject({{}});
    const Bytes carrierDirectory = Text("directory of the carrier");
    const Bytes carrierObject = fixtures::MakeSignatureObject({{Extension{ContainerWith(carrierDirectory)}}});
    const Bytes otherDirectory = Text("directory of another release");
    const Bytes otherContainer = ContainerWith(otherDirectory);
    std::vector<BeforeTableCase> cases;
    for (std::size_t gap = 0; gap < 8; gap++) {
        Bytes image = SignedAfterPacking(wholeContainer, gap, noCarrier);
        const std::size_t end = fixtures::ReadSecurityDirectory(image).offset - gap;
        cases.push_back({"signed last, zero bytes in front of the table", image, 0, 547, end, wholeDirectory,
                         PayloadBeforeTable, 0});
    }
    Bytes padded = wholeContainer;
    padded.resize(padded.size() + 8, 0);
    cases.push_back({"eight zero bytes in front of the table",
                     SignedAfterPacking(padded, 0, noCarrier),
                     ERROR_NOT_FOUND,
                     509,
                     0,
                     {},
                     PayloadAtFileEnd,
                     0});
    Bytes tampered = wholeContainer;
    tampered[tampered.size() - 28 - 1] ^= 0x01; // the head item's signature
    cases.push_back({"signed last, signature byte changed: nothing else is tried",
                     SignedAfterPacking(tampered, 3, carrierObject),
                     ERROR_FILE_CORRUPT,
                     592,
                     0,
                     {},
                     PayloadBeforeTable,
                     IgnoredCarriers});
    Bytes withCarrier = SignedAfterPacking(wholeContainer, 0, carrierObject);
    const std::size_t carrierEnd = fixtures::ReadSecurityDirectory(withCarrier).offset;
    cases.push_back({"signed last, a carrier beside it is ignored", withCarrier, 0, 547, carrierEnd, wholeDirectory,
                     PayloadBeforeTable, IgnoredCarriers});
    Bytes appended = fixtures::EmbedBehindSignature(SignedAfterPacking(wholeContainer, 5, noCarrier), otherContainer);
    const std::size_t appendedEnd = fixtures::ReadSecurityDirectory(appended).offset - 5;
    cases.push_back({"signed last, a container behind the signature object is ignored", appended, 0, 547, appendedEnd,
                     wholeDirectory, PayloadBeforeTable, IgnoredContainerAtEnd});
    Bytes both = fixtures::EmbedBehindSignature(SignedAfterPacking(wholeContainer, 0, carrierObject), otherContainer);
    cases.push_back({"signed last, a carrier and a container behind the signature object", both, 0, 547,
                     fixtures::ReadSecurityDirectory(both).offset, wholeDirectory, PayloadBeforeTable,
                     IgnoredCarriers | IgnoredContainerAtEnd});
    Bytes carrierAndEnd = fixtures::EmbedBehindSignature(
        fixtures::WithCertificateEntry(fixtures::UnsignedPe(), carrierObject), otherContainer);
    cases.push_back({"a carrier beats a container behind the signature object", carrierAndEnd, 0, 547, 0,
                     carrierDirectory, PayloadInCarriers, IgnoredContainerAtEnd});
    cases.push_back({"a carrier alone", fixtures::WithCertificateEntry(fixtures::UnsignedPe(), carrierObject), 0, 547,
                     0, carrierDirectory, PayloadInCarriers, 0});
    Bytes behind = fixtures::EmbedBehindSignature(fixtures::SignedPe(), wholeContainer);
    cases.push_back({"behind the signature object: the whole image", behind, 0, 547, behind.size(), wholeDirectory,
                     PayloadAtFileEnd, 0});
    Bytes behindTampered = fixtures::EmbedBehindSignature(fixtures::SignedPe(), tampered);
    cases.push_back(
        {"behind the signature object, changed", behindTampered, ERROR_FILE_CORRUPT, 592, 0, {}, PayloadAtFileEnd, 0});
    cases.push_back({"signed, no payload", fixtures::SignedPe(), ERROR_NOT_FOUND, 509, 0, {}, PayloadAtFileEnd, 0});
    Bytes unsignedImage = fixtures::UnsignedPe();
    unsignedImage.insert(unsignedImage.end(), wholeContainer.begin(), wholeContainer.end());
    cases.push_back({"not signed yet: the whole image", unsignedImage, 0, 547, unsignedImage.size(), wholeDirectory,
                     PayloadBeforeTable, 0});

    for (const BeforeTableCase &c : cases) {
        SCOPED_TRACE(c.name);
        // As the packer reads a file (the container read where it lies), and as the launcher reads
        // its own (a block that the container keeps).
        for (bool inBlock : {false, true}) {
            SCOPED_TRACE(inBlock ? "in a block" : "where it lies");
            FreePayloadDescriptors(&launcherState);
            Bytes image = c.image;
            DWORD placement = PayloadNotFound;
            Outcome outcome;
            if (inBlock) {
                outcome = LoadPayloads(image, &placement);
            } else {
                ErrorValue value =
                    LocatePayload(&launcherState, image.data(), static_cast<DWORD>(image.size()), &placement);
                outcome = Collect(value);
                for (DWORD i = 0; i < launcherState.payloadCount; i++)
                    if (launcherState.payloads[i].image == image.data())
                        launcherState.payloads[i].image = nullptr; // the vector's, not the descriptor's
                EXPECT_EQ(image, c.image) << "the image is read, never written";
            }
            EXPECT_EQ(outcome.code, c.code);
            EXPECT_EQ(outcome.line, c.line);
            EXPECT_EQ(placement, c.placement);
            EXPECT_EQ(FindIgnoredPayloads(c.image.data(), static_cast<DWORD>(c.image.size()), placement), c.ignored);
            if (c.directory.empty()) {
                EXPECT_TRUE(outcome.payloads.empty());
                continue;
            }
            ASSERT_EQ(outcome.payloads.size(), 1u);
            EXPECT_EQ(outcome.payloads[0].directory, c.directory);
            if (c.containerEnd != 0) {
                EXPECT_EQ(outcome.payloads[0].image, Bytes(c.image.begin(), c.image.begin() + c.containerEnd));
            }
        }
    }
}

#ifndef _WIN32
int Verify(const Bytes &image, const std::string &name)
{
    std::string path = testing::TempDir() + name;
    fixtures::WriteFileBytes(path, image);
    std::string command = std::string(OSSLSIGNCODE) + " verify -CAfile " +
                          fixtures::ShellQuote(fixtures::FixturePath("test-signer.pem")) + " -in " +
                          fixtures::ShellQuote(path) + " >/dev/null 2>&1";
    int status = std::system(command.c_str());
    std::remove(path.c_str());
    return status;
}

TEST(SignedImageLayout, VerifiesWithTheContainerBehindTheSignature)
{
    Bytes image = fixtures::EmbedBehindSignature(fixtures::SignedPe(), ContainerWith(Text("directory")));
    fixtures::SecurityDirectory table = fixtures::ReadSecurityDirectory(image);
    EXPECT_EQ(std::size_t{table.offset} + table.size, image.size());
    EXPECT_EQ(fixtures::ReadU32(image, table.offset), table.size);
    EXPECT_EQ(Verify(image, "embedded.exe"), 0);

    image[0x50] ^= 1; // inside the DOS stub, which the signature covers
    EXPECT_NE(Verify(image, "damaged.exe"), 0);
}
#endif

struct AllocationCase {
    const char *name;
    bool wholeImage;
    int carriers;
    SeamCall call;
    unsigned succeedFirst;
    DWORD lastError;
    DWORD code;
    DWORD line;
    DWORD payloadsLeft;
};

TEST_F(PayloadSearch, AllocationFailuresReleaseWhatTheyMadeAndKeepTheList)
{
    // The allocations that reading one head item makes, so that the cases can aim past them.
    ResetSeams();
    fixtures::ReadItem(wholeContainer, PayloadFlagCompressed | PayloadFlagSigned, HeadItemGuid, 0);
    const unsigned readAllocs = SeamCallCount(SeamCall::LocalAlloc);
    const unsigned readReAllocs = SeamCallCount(SeamCall::LocalReAlloc);

    // A container in the image is read where it lies, never copied.
    const AllocationCase cases[] = {
        {"whole image: append", true, 0, SeamCall::LocalAlloc, readAllocs, 14, 14, 2001, 0},
        {"whole image: append, no last error", true, 0, SeamCall::LocalAlloc, readAllocs, 0, 8, 2001, 0},
        {"certificate buffer", false, 1, SeamCall::LocalAlloc, 0, 14, 14, 932, 0},
        {"carrier copy", false, 1, SeamCall::LocalAlloc, 1, 14, 14, 907, 0},
        {"first append", false, 1, SeamCall::LocalAlloc, 2 + readAllocs, 14, 14, 892, 0},
        {"second append", false, 2, SeamCall::LocalReAlloc, 2 * readReAllocs, 14, 14, 892, 1},
    };
    for (const AllocationCase &c : cases) {
        SCOPED_TRACE(c.name);
        FreePayloadDescriptors(&launcherState);
        std::vector<Extension> carriers(static_cast<size_t>(c.carriers), Extension{wholeContainer});
        Bytes image = c.wholeImage ? wholeContainer
                                   : fixtures::WithCertificateEntry(fixtures::UnsignedPe(),
                                                                    fixtures::MakeSignatureObject({carriers}));
        SeamScope seams;
        FailCall(c.call, c.succeedFirst, 1, c.lastError);
        DWORD placement = PayloadNotFound;
        ErrorValue value = LocatePayload(&launcherState, image.data(), static_cast<DWORD>(image.size()), &placement);
        EXPECT_EQ(ErrorValueCode(value), c.code);
        EXPECT_EQ(ErrorValueLine(value), c.line);
        EXPECT_EQ(placement, static_cast<DWORD>(c.wholeImage ? PayloadBeforeTable : PayloadInCarriers));
        EXPECT_EQ(launcherState.payloadCount, c.payloadsLeft);
        for (DWORD i = 0; i < launcherState.payloadCount; i++)
            EXPECT_EQ(Bytes(launcherState.payloads[i].directory,
                            launcherState.payloads[i].directory + launcherState.payloads[i].directorySize),
                      wholeDirectory);
    }
}

} // namespace
