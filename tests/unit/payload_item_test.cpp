#include "payload/payload_item.h"

#include "tests/seam/fault_control.h"
#include "tests/unit/payload_fixtures.h"

#include <gtest/gtest.h>
#include <openssl/bio.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstring>
#include <functional>
#include <ostream>
#include <string>

namespace {

// The 276-byte public key blob of key, as the launcher carries it.
fixtures::Bytes PublicKeyBlob(EVP_PKEY *key)
{
    BIO *memory = BIO_new(BIO_s_mem());
    fixtures::Bytes blob;
    if (memory != nullptr && i2b_PublicKey_bio(memory, key) > 0) {
        char *bytes = nullptr;
        long size = BIO_get_mem_data(memory, &bytes);
        blob.assign(bytes, bytes + size);
    }
    BIO_free(memory);
    return blob;
}

// The key this program verifies with: the test key, unless a case puts another blob in place.
fixtures::Bytes verificationKey;

const fixtures::Bytes &TestKeyBlob()
{
    static const fixtures::Bytes blob = PublicKeyBlob(fixtures::TestKey());
    return blob;
}

// Puts blob in place of the test key for one scope.
struct KeyScope {
    explicit KeyScope(const fixtures::Bytes &blob) { verificationKey = blob; }
    ~KeyScope() { verificationKey.clear(); }
};

} // namespace

void AssemblePayloadPublicKey(BYTE key[PayloadPublicKeySize])
{
    const fixtures::Bytes &blob = verificationKey.empty() ? TestKeyBlob() : verificationKey;
    std::memset(key, 0, PayloadPublicKeySize);
    std::memcpy(key, blob.data(), std::min<std::size_t>(blob.size(), PayloadPublicKeySize));
}

namespace {

using namespace fixtures;
using writer::ContainerItem;
using writer::ContainerOptions;
using writer::ItemKind;

const Bytes directory = writer::WriteDirectory(
    {{1000, "x64\\1033\\{6A1E2C44-3B7D-4F1A-9C0E-2D5B8E7F1A30}\\Sample Product"}, {1001, "cab\\1000\\main.cab"}});
const Bytes package = Pattern(40000, 1);
const Bytes cabinet = Pattern(70000, 2);

ContainerOptions OptionsFor(DWORD flags)
{
    ContainerOptions options;
    options.compressed = (flags & PayloadFlagCompressed) != 0;
    options.sign = (flags & PayloadFlagSigned) != 0;
    return options;
}

Bytes Container(std::vector<ContainerItem> items, DWORD flags = PayloadFlagCompressed | PayloadFlagSigned)
{
    return writer::WriteContainer(items, OptionsFor(flags), TestKey());
}

Bytes LauncherLike(DWORD flags = PayloadFlagCompressed | PayloadFlagSigned)
{
    return Container({{ItemKind::Head, 0, directory}, {ItemKind::File, 1000, package}, {ItemKind::File, 1001, cabinet}},
                     flags);
}

// One item laid out by hand: data, signature, trailer.
Bytes Item(const BYTE kind[16], std::uint32_t id, const Bytes &data, const Bytes &signature)
{
    return Join(
        {data, signature,
         Trailer(kind, id, static_cast<std::uint32_t>(signature.size()), static_cast<std::uint32_t>(data.size()))});
}

// The lines of one item kind.
struct Sites {
    DWORD inflated, inflateFailed, stored, copyFailed, mismatch;
};
const Sites headSites = {547, 551, 562, 566, 592};
const Sites fileSites = {687, 691, 702, 706, 732};

void ExpectFailure(const ItemResult &result, DWORD code, DWORD line)
{
    EXPECT_EQ(result.code, code);
    EXPECT_EQ(result.line, line);
    EXPECT_FALSE(result.handedOver);
}

class ReadPayloadItemFlags : public testing::TestWithParam<DWORD> {};

// What the writer writes comes back, item by item, as the descriptor's flags say.
TEST_P(ReadPayloadItemFlags, ReadsBackWhatTheWriterWrote)
{
    DWORD flags = GetParam();
    Bytes container = Container({{ItemKind::Head, 0, directory},
                                 {ItemKind::File, 1000, package},
                                 {ItemKind::File, 1001, cabinet},
                                 {ItemKind::File, 1002, {}}},
                                flags);
    bool compressed = (flags & PayloadFlagCompressed) != 0;
    struct Expected {
        const BYTE *kind;
        DWORD id;
        const Bytes &output;
        const Sites &sites;
    };
    const Bytes empty;
    for (const Expected &e :
         {Expected{HeadItemGuid, 0, directory, headSites}, Expected{FileItemGuid, 1000, package, fileSites},
          Expected{FileItemGuid, 1001, cabinet, fileSites}, Expected{FileItemGuid, 1002, empty, fileSites}}) {
        SCOPED_TRACE("item " + std::to_string(e.id));
        ItemResult result = ReadItem(container, flags, e.kind, e.id);
        EXPECT_EQ(result.code, 0u);
        EXPECT_EQ(result.line, compressed ? e.sites.inflated : e.sites.stored);
        EXPECT_EQ(result.output, e.output);
        // The digest the signature was checked against comes out with the output; no check, no digest.
        EXPECT_EQ(result.digest, (flags & PayloadFlagSigned) ? Sha256Bytes(e.output) : Bytes(Sha256Size, 0));
    }
}

std::string FlagsName(const testing::TestParamInfo<DWORD> &info)
{
    static const char *const names[] = {"Stored", "Compressed", "StoredSigned", "CompressedSigned"};
    return names[info.param];
}

INSTANTIATE_TEST_SUITE_P(Descriptors, ReadPayloadItemFlags,
                         testing::Values(PayloadFlagCompressed | PayloadFlagSigned, PayloadFlagSigned,
                                         PayloadFlagCompressed, 0u),
                         FlagsName);

struct WalkCase {
    const char *name;
    std::function<Bytes()> container;
    const BYTE *kind;
    DWORD id;
    const Bytes *found; // null: not found
};

void PrintTo(const WalkCase &c, std::ostream *os)
{
    *os << c.name;
}

class ReadPayloadItemWalk : public testing::TestWithParam<WalkCase> {};

TEST_P(ReadPayloadItemWalk, FindsTheItemOrReportsNotFound)
{
    const WalkCase &c = GetParam();
    ItemResult result = ReadItem(c.container(), PayloadFlagCompressed | PayloadFlagSigned, c.kind, c.id);
    if (c.found == nullptr) {
        ExpectFailure(result, ERROR_NOT_FOUND, 509);
        return;
    }
    EXPECT_EQ(result.code, 0u);
    EXPECT_EQ(result.line, c.kind == HeadItemGuid ? 547u : 687u);
    EXPECT_EQ(result.output, *c.found);
}

const Bytes newerPackage = Pattern(5000, 42);

Bytes Tail(const Bytes &bytes, std::size_t length)
{
    return Bytes(bytes.end() - static_cast<std::ptrdiff_t>(length), bytes.end());
}

INSTANTIATE_TEST_SUITE_P(
    Containers, ReadPayloadItemWalk,
    testing::Values(
        WalkCase{"EmptyContainer", [] { return Bytes{}; }, HeadItemGuid, 0, nullptr},
        WalkCase{"ShorterThanATrailer", [] { return Tail(LauncherLike(), 27); }, FileItemGuid, 1001, nullptr},
        WalkCase{"UnknownKindAtTheEnd",
                 [] {
                     return Join({LauncherLike(), Bytes(28, 0xAB)});
                 },
                 FileItemGuid, 1001, nullptr},
        WalkCase{"FileIdThatNoItemHas", [] { return LauncherLike(); }, FileItemGuid, 999, nullptr},
        WalkCase{"HeadAskedWithAnotherId", [] { return LauncherLike(); }, HeadItemGuid, 1, nullptr},
        WalkCase{"HeadIdAskedAsAFile", [] { return LauncherLike(); }, FileItemGuid, 0, nullptr},
        WalkCase{"FileAskedAsTheHead", [] { return LauncherLike(); }, HeadItemGuid, 1000, nullptr},
        // A head trailer that does not fit ends the walk: the real head in front is not reached.
        WalkCase{"HeadSignatureLongerThanItsFront",
                 [] {
                     Bytes valid = LauncherLike();
                     return Join({valid, Trailer(HeadItemGuid, 0, static_cast<std::uint32_t>(valid.size()) + 1, 0)});
                 },
                 HeadItemGuid, 0, nullptr},
        WalkCase{"HeadDataLongerThanItsFront",
                 [] {
                     Bytes valid = LauncherLike();
                     return Join({valid, Trailer(HeadItemGuid, 0, 0, static_cast<std::uint32_t>(valid.size()) + 1)});
                 },
                 HeadItemGuid, 0, nullptr},
        WalkCase{"HeadLengthsThatWrapAround",
                 [] {
                     return Join({LauncherLike(), Trailer(HeadItemGuid, 0, 16, 0xFFFFFFF8u)});
                 },
                 HeadItemGuid, 0, nullptr},
        // A file trailer that does not fit is passed over: the walk reads the 28 bytes before it.
        WalkCase{"FileSignatureLongerThanItsFront",
                 [] {
                     return Join({LauncherLike(), Trailer(FileItemGuid, 1000, 0xFFFFFFF0u, 0)});
                 },
                 FileItemGuid, 1000, &package},
        WalkCase{"FileDataLongerThanItsFront",
                 [] {
                     return Join({LauncherLike(), Trailer(FileItemGuid, 1000, 0, 0xFFFFFFF0u)});
                 },
                 FileItemGuid, 1000, &package},
        WalkCase{"PassedOverTrailerIsNotFound",
                 [] {
                     return Join({LauncherLike(), Trailer(FileItemGuid, 7, 0xFFFFFFF0u, 0)});
                 },
                 FileItemGuid, 7, nullptr},
        WalkCase{"NearestToTheEndWins",
                 [] {
                     return Container({{ItemKind::Head, 0, directory},
                                       {ItemKind::File, 1000, package},
                                       {ItemKind::File, 1001, cabinet},
                                       {ItemKind::File, 1000, newerPackage}});
                 },
                 FileItemGuid, 1000, &newerPackage},
        WalkCase{"HeadBehindFileItems", [] { return LauncherLike(); }, HeadItemGuid, 0, &directory},
        WalkCase{"BytesInFrontOfTheHeadAreNotRead",
                 [] {
                     return Join({Bytes(100, 0xCD), LauncherLike()});
                 },
                 FileItemGuid, 1000, &package},
        WalkCase{"FileItemsWithoutHead",
                 [] {
                     return Container({{ItemKind::File, 1, package}, {ItemKind::File, 2, cabinet}});
                 },
                 FileItemGuid, 1, &package},
        WalkCase{"WalkRunsOutWithoutHead",
                 [] {
                     return Container({{ItemKind::File, 1, package}, {ItemKind::File, 2, cabinet}});
                 },
                 FileItemGuid, 3, nullptr}),
    [](const testing::TestParamInfo<WalkCase> &info) { return std::string(info.param.name); });

// Offsets of one item's fields, taken from its trailer at trailerEnd.
struct ItemSpan {
    std::size_t data, signature, trailer;
};

ItemSpan SpanBefore(const Bytes &container, std::size_t trailerEnd)
{
    auto field = [&](std::size_t offset) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = (value << 8) | container[offset + static_cast<std::size_t>(i)];
        return value;
    };
    std::size_t trailer = trailerEnd - 28;
    std::size_t signature = trailer - field(trailer + 20);
    return {signature - field(trailer + 24), signature, trailer};
}

TEST(ReadPayloadItem, EveryChangedDataOrSignatureByteIsRejected)
{
    const Bytes smallFile = Pattern(600, 8);
    for (DWORD flags : {DWORD{PayloadFlagCompressed | PayloadFlagSigned}, DWORD{PayloadFlagSigned}}) {
        Bytes container = Container({{ItemKind::Head, 0, directory}, {ItemKind::File, 1000, smallFile}}, flags);
        ItemSpan file = SpanBefore(container, container.size());
        ItemSpan head = SpanBefore(container, file.data);
        struct Target {
            ItemSpan span;
            const BYTE *kind;
            DWORD id;
            const Sites &sites;
        };
        for (const Target &t :
             {Target{head, HeadItemGuid, 0, headSites}, Target{file, FileItemGuid, 1000, fileSites}}) {
            int inflateFailures = 0;
            for (std::size_t at = t.span.data; at < t.span.trailer; ++at) {
                SCOPED_TRACE("flags " + std::to_string(flags) + ", item " + std::to_string(t.id) + ", byte " +
                             std::to_string(at));
                Bytes changed = container;
                changed[at] ^= 0x20;
                ItemResult result = ReadItem(changed, flags, t.kind, t.id);
                bool inStream = at < t.span.signature && (flags & PayloadFlagCompressed);
                if (inStream && result.code == 0) {
                    // Padding bits after the last block are not part of the stream: the output
                    // is the signed one.
                    ASSERT_EQ(result.output, t.id == 0 ? directory : smallFile);
                } else if (inStream && result.code == ERROR_INVALID_DATA) {
                    ASSERT_EQ(result.line, t.sites.inflateFailed);
                    ASSERT_FALSE(result.handedOver);
                    ++inflateFailures;
                } else {
                    ASSERT_EQ(result.code, ERROR_FILE_CORRUPT);
                    ASSERT_EQ(result.line, t.sites.mismatch);
                    ASSERT_FALSE(result.handedOver);
                }
                // The check value closes the stream: changing it never inflates.
                if (inStream && at == t.span.signature - 1) {
                    ASSERT_EQ(result.code, ERROR_INVALID_DATA);
                }
            }
            if (flags & PayloadFlagCompressed) {
                EXPECT_GT(inflateFailures, 0);
            }
        }
    }
}

// One verification: the item's signature and the key the launcher holds.
struct VerificationCase {
    const char *name;
    std::function<Bytes(const Bytes &output)> signature;
    std::function<Bytes()> key;
    DWORD code;
    DWORD headLine;
    DWORD fileLine;
};

void PrintTo(const VerificationCase &c, std::ostream *os)
{
    *os << c.name;
}

class ReadPayloadItemVerification : public testing::TestWithParam<VerificationCase> {};

// Head and file item alike, stored and compressed: what verifies is handed over unchanged, and
// anything else fails with the key or the signature failure, handing nothing over.
TEST_P(ReadPayloadItemVerification, ChecksTheSignatureWithTheBuiltInKey)
{
    const VerificationCase &c = GetParam();
    Bytes output = Pattern(3000, 4);
    KeyScope key(c.key());
    for (DWORD flags : {DWORD{PayloadFlagCompressed | PayloadFlagSigned}, DWORD{PayloadFlagSigned}}) {
        SCOPED_TRACE("flags " + std::to_string(flags));
        auto data = [&](const Bytes &bytes) {
            return flags & PayloadFlagCompressed ? writer::CompressZlib(bytes, 9) : bytes;
        };
        Bytes container = Join({Item(HeadItemGuid, 0, data(directory), c.signature(directory)),
                                Item(FileItemGuid, 1000, data(output), c.signature(output))});
        ItemResult head = ReadItem(container, flags, HeadItemGuid, 0);
        ItemResult file = ReadItem(container, flags, FileItemGuid, 1000);
        if (c.code == 0) {
            EXPECT_EQ(head.code, 0u);
            EXPECT_EQ(head.output, directory);
            EXPECT_EQ(file.code, 0u);
            EXPECT_EQ(file.output, output);
            continue;
        }
        ExpectFailure(head, c.code, c.headLine);
        ExpectFailure(file, c.code, c.fileLine);
    }
}

Bytes TestKeyBlobWith(std::size_t offset, std::uint8_t value)
{
    Bytes blob = TestKeyBlob();
    blob[offset] = value;
    return blob;
}

const Bytes otherOutput{'x'};

INSTANTIATE_TEST_SUITE_P(
    Signatures, ReadPayloadItemVerification,
    testing::Values(
        VerificationCase{"Good", [](const Bytes &output) { return writer::SignOutput(TestKey(), output); }, TestKeyBlob,
                         0, 547, 687},
        VerificationCase{"OverOtherBytes", [](const Bytes &) { return writer::SignOutput(TestKey(), otherOutput); },
                         TestKeyBlob, ERROR_FILE_CORRUPT, 592, 732},
        VerificationCase{"ChangedByte",
                         [](const Bytes &output) {
                             Bytes signature = writer::SignOutput(TestKey(), output);
                             signature[100] ^= 0x01;
                             return signature;
                         },
                         TestKeyBlob, ERROR_FILE_CORRUPT, 592, 732},
        VerificationCase{"OneByteShort",
                         [](const Bytes &output) {
                             Bytes signature = writer::SignOutput(TestKey(), output);
                             signature.pop_back();
                             return signature;
                         },
                         TestKeyBlob, ERROR_FILE_CORRUPT, 592, 732},
        // The same number with a leading zero byte: longer than the modulus, so it never verifies.
        VerificationCase{"OneByteLong",
                         [](const Bytes &output) {
                             return Join({Bytes{0}, writer::SignOutput(TestKey(), output)});
                         },
                         TestKeyBlob, ERROR_FILE_CORRUPT, 592, 732},
        VerificationCase{"Empty", [](const Bytes &) { return Bytes{}; }, TestKeyBlob, ERROR_FILE_CORRUPT, 592, 732},
        VerificationCase{"FromAnotherKey",
                         [](const Bytes &output) {
                             static writer::PrivateKey other(EVP_RSA_gen(2048));
                             return writer::SignOutput(other.get(), output);
                         },
                         TestKeyBlob, ERROR_FILE_CORRUPT, 592, 732},
        // Keys that do not import: every signed item fails, a good signature too.
        VerificationCase{"KeyOfZeros", [](const Bytes &output) { return writer::SignOutput(TestKey(), output); },
                         [] { return Bytes(PayloadPublicKeySize, 0); }, 0x80090003u, 599, 739},
        VerificationCase{"KeyNotAPublicKeyBlob",
                         [](const Bytes &output) { return writer::SignOutput(TestKey(), output); },
                         [] { return TestKeyBlobWith(0, 0x07); }, 0x80090003u, 599, 739},
        VerificationCase{"KeyOfOtherLength", [](const Bytes &output) { return writer::SignOutput(TestKey(), output); },
                         [] { return TestKeyBlobWith(13, 0x04); }, 0x80090003u, 599, 739},
        VerificationCase{"KeyWithoutExponent",
                         [](const Bytes &output) { return writer::SignOutput(TestKey(), output); },
                         [] {
                             Bytes blob = TestKeyBlob();
                             std::fill(blob.begin() + 16, blob.begin() + 20, 0);
                             return blob;
                         },
                         0x80090003u, 599, 739}),
    [](const testing::TestParamInfo<VerificationCase> &info) { return std::string(info.param.name); });

// Fails each call into the system's provider in turn. A failed release changes nothing that is
// handed out; any other failure fails the item, handing nothing over.
TEST(ReadPayloadItem, EveryFailedProviderCallFailsTheItem)
{
    Bytes container = LauncherLike();
    unsigned calls = 0;
    {
        SeamScope counting;
        ASSERT_EQ(ReadItem(container, PayloadFlagCompressed | PayloadFlagSigned, FileItemGuid, 1000).code, 0u);
        calls = SeamCallCount(SeamCall::BCrypt);
        ASSERT_GT(calls, 0u);
    }
    unsigned keyFailures = 0;
    unsigned mismatches = 0;
    for (unsigned n = 0; n < calls; ++n) {
        SCOPED_TRACE("failing provider call " + std::to_string(n));
        SeamScope seams;
        FailCall(SeamCall::BCrypt, n, 1, 0xC0000017u);
        ItemResult result = ReadItem(container, PayloadFlagCompressed | PayloadFlagSigned, FileItemGuid, 1000);
        if (result.code == 0) {
            EXPECT_EQ(result.output, package);
        } else if (result.code == ERROR_FILE_CORRUPT) {
            ExpectFailure(result, ERROR_FILE_CORRUPT, 732);
            ++mismatches;
        } else {
            ExpectFailure(result, 0x80090003u, 739);
            ++keyFailures;
        }
    }
    // Opening the providers, importing the key, creating the hash, hashing and finishing come
    // before the check; the check itself is the mismatch. (A failed query of the hash object's
    // size is not a failure: the provider then makes its own.)
    EXPECT_GE(keyFailures, 6u);
    EXPECT_EQ(mismatches, 1u);
}

// An item with an empty data field is read like any other: in a signed container its output is
// verified, and its signature field is never handed out as content.
struct EmptyDataCase {
    const char *name;
    DWORD flags;
    const BYTE *kind;
    std::function<Bytes()> signature;
    DWORD code;
    DWORD line;
};

void PrintTo(const EmptyDataCase &c, std::ostream *os)
{
    *os << c.name;
}

class ReadPayloadItemEmptyData : public testing::TestWithParam<EmptyDataCase> {};

TEST_P(ReadPayloadItemEmptyData, IsReadAndVerifiedLikeAnyItem)
{
    const EmptyDataCase &c = GetParam();
    bool head = c.kind == HeadItemGuid;
    Bytes front = head ? Bytes(50, 0x11) : Container({{ItemKind::Head, 0, directory}}, c.flags);
    Bytes container = Join({front, Item(c.kind, head ? 0 : 1000, {}, c.signature())});
    ItemResult result = ReadItem(container, c.flags, c.kind, head ? 0 : 1000);
    if (c.code != 0) {
        ExpectFailure(result, c.code, c.line);
        return;
    }
    EXPECT_EQ(result.code, 0u);
    EXPECT_EQ(result.line, c.line);
    EXPECT_TRUE(result.output.empty());
}

const Bytes planted = Pattern(256, 66); // content someone put where a signature belongs

INSTANTIATE_TEST_SUITE_P(
    Items, ReadPayloadItemEmptyData,
    testing::Values(EmptyDataCase{"CompressedSignedFile", PayloadFlagCompressed | PayloadFlagSigned, FileItemGuid,
                                  [] { return planted; }, ERROR_INVALID_DATA, 691},
                    EmptyDataCase{"CompressedSignedFileNoSignature", PayloadFlagCompressed | PayloadFlagSigned,
                                  FileItemGuid, [] { return Bytes{}; }, ERROR_INVALID_DATA, 691},
                    EmptyDataCase{"StoredSignedFile", PayloadFlagSigned, FileItemGuid, [] { return planted; },
                                  ERROR_FILE_CORRUPT, 732},
                    EmptyDataCase{"StoredSignedFileNoSignature", PayloadFlagSigned, FileItemGuid,
                                  [] { return Bytes{}; }, ERROR_FILE_CORRUPT, 732},
                    EmptyDataCase{"StoredSignedEmptyFile", PayloadFlagSigned, FileItemGuid,
                                  [] { return writer::SignOutput(TestKey(), {}); }, 0, 702},
                    EmptyDataCase{"StoredUnsignedFile", 0, FileItemGuid, [] { return planted; }, 0, 702},
                    EmptyDataCase{"StoredUnsignedFileNoSignature", 0, FileItemGuid, [] { return Bytes{}; }, 0, 702},
                    EmptyDataCase{"CompressedUnsignedFile", PayloadFlagCompressed, FileItemGuid, [] { return Bytes{}; },
                                  ERROR_INVALID_DATA, 691},
                    EmptyDataCase{"CompressedSignedHead", PayloadFlagCompressed | PayloadFlagSigned, HeadItemGuid,
                                  [] { return writer::SignOutput(TestKey(), {}); }, ERROR_INVALID_DATA, 551}),
    [](const testing::TestParamInfo<EmptyDataCase> &info) { return std::string(info.param.name); });

struct AllocationCase {
    const char *name;
    DWORD flags;
    const BYTE *kind;
    DWORD id;
    DWORD lastError; // what the failed call leaves
    DWORD code;      // 0: the last error, or 8 when that is 0
    DWORD line;
};

void PrintTo(const AllocationCase &c, std::ostream *os)
{
    *os << c.name;
}

class ReadPayloadItemAllocation : public testing::TestWithParam<AllocationCase> {};

// Fails each allocation of the read in turn.
TEST_P(ReadPayloadItemAllocation, EveryFailedAllocationIsReportedWithNothingHandedOver)
{
    const AllocationCase &c = GetParam();
    Bytes container = LauncherLike(c.flags);
    unsigned allocations = 0;
    {
        SeamScope counting;
        ASSERT_EQ(ReadItem(container, c.flags, c.kind, c.id).code, 0u);
        // Item outputs take address space of their own: a reservation, then commits in it.
        EXPECT_EQ(SeamCallCount(SeamCall::LocalAlloc) + SeamCallCount(SeamCall::LocalReAlloc), 0u);
        allocations = SeamCallCount(SeamCall::VirtualAlloc);
        ASSERT_GT(allocations, 0u);
    }
    for (unsigned n = 0; n < allocations; ++n) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        SeamScope seams;
        FailCall(SeamCall::VirtualAlloc, n, 1, c.lastError);
        SetLastError(0);
        DWORD expected = c.code != 0 ? c.code : (c.lastError != 0 ? c.lastError : ERROR_NOT_ENOUGH_MEMORY);
        ExpectFailure(ReadItem(container, c.flags, c.kind, c.id), expected, c.line);
    }
}

INSTANTIATE_TEST_SUITE_P(Items, ReadPayloadItemAllocation,
                         testing::Values(AllocationCase{"StoredHead", PayloadFlagSigned, HeadItemGuid, 0, 0, 0, 566},
                                         AllocationCase{"StoredFile", PayloadFlagSigned, FileItemGuid, 1001, 0, 0, 706},
                                         AllocationCase{"StoredFileWithLastError", 0, FileItemGuid, 1000, 14, 0, 706},
                                         AllocationCase{"CompressedHead", PayloadFlagCompressed | PayloadFlagSigned,
                                                        HeadItemGuid, 0, 14, ERROR_INVALID_DATA, 551},
                                         AllocationCase{"CompressedFile", PayloadFlagCompressed | PayloadFlagSigned,
                                                        FileItemGuid, 1001, 14, ERROR_INVALID_DATA, 691}),
                         [](const testing::TestParamInfo<AllocationCase> &info) {
                             return std::string(info.param.name);
                         });

} // namespace
