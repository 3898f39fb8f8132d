#include "writer/container_writer.h"

#include "tests/unit/payload_fixtures.h"
#include "unicode/utf.h"

#include <gtest/gtest.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <stdexcept>

namespace {

using namespace fixtures;

struct ContextDeleter {
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};

// The signature's encoded message, recovered with the public key and no digest set.
Bytes RecoverEncodedDigest(const Bytes &signature)
{
    std::unique_ptr<EVP_PKEY_CTX, ContextDeleter> context(EVP_PKEY_CTX_new(TestKey(), nullptr));
    EXPECT_EQ(EVP_PKEY_verify_recover_init(context.get()), 1);
    EXPECT_EQ(EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING), 1);
    Bytes recovered(512);
    std::size_t length = recovered.size();
    EXPECT_EQ(EVP_PKEY_verify_recover(context.get(), recovered.data(), &length, signature.data(), signature.size()), 1);
    recovered.resize(length);
    return recovered;
}

TEST(SignOutput, IsPkcs1OverSha256WithExplicitNullParameters)
{
    Bytes output = Pattern(1000, 3);
    Bytes signature = writer::SignOutput(TestKey(), output);
    EXPECT_EQ(signature.size(), 256u);

    // DigestInfo: SEQUENCE { SEQUENCE { OID sha256, NULL }, OCTET STRING digest }.
    Bytes expected = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                      0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(output.data(), output.size(), digest.data());
    expected.insert(expected.end(), digest.begin(), digest.end());
    EXPECT_EQ(RecoverEncodedDigest(signature), expected);
}

std::uint32_t U32At(const Bytes &bytes, std::size_t offset)
{
    return bytes[offset] | bytes[offset + 1] << 8 | bytes[offset + 2] << 16 |
           static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

TEST(WriteContainer, LaysOutDataSignatureAndTrailerPerItem)
{
    Bytes head = Pattern(190, 1);
    Bytes file = Pattern(3000, 2);
    writer::ContainerOptions options;
    Bytes container = writer::WriteContainer({{writer::ItemKind::Head, 0, head}, {writer::ItemKind::File, 1000, file}},
                                             options, TestKey());

    Bytes headData = writer::CompressZlib(head, 9);
    Bytes fileData = writer::CompressZlib(file, 9);
    ASSERT_EQ(container.size(), headData.size() + fileData.size() + 2 * (256 + 28));
    EXPECT_EQ(headData[0], 0x78);
    EXPECT_EQ(headData[1], 0xda);

    // Head item first, its trailer directly in front of the file item's data.
    std::size_t headTrailer = headData.size() + 256;
    EXPECT_TRUE(std::equal(headData.begin(), headData.end(), container.begin()));
    EXPECT_TRUE(std::equal(HeadItemGuid, HeadItemGuid + 16, container.begin() + headTrailer));
    EXPECT_EQ(U32At(container, headTrailer + 16), 0u);
    EXPECT_EQ(U32At(container, headTrailer + 20), 256u);
    EXPECT_EQ(U32At(container, headTrailer + 24), headData.size());

    std::size_t fileTrailer = container.size() - 28;
    EXPECT_TRUE(std::equal(fileData.begin(), fileData.end(), container.begin() + headTrailer + 28));
    EXPECT_TRUE(std::equal(FileItemGuid, FileItemGuid + 16, container.begin() + fileTrailer));
    EXPECT_EQ(U32At(container, fileTrailer + 16), 1000u);
    EXPECT_EQ(U32At(container, fileTrailer + 20), 256u);
    EXPECT_EQ(U32At(container, fileTrailer + 24), fileData.size());

    // Unsigned and stored: the output itself and an empty signature field.
    options.compressed = false;
    options.sign = false;
    Bytes plain = writer::WriteContainer({{writer::ItemKind::File, 7, file}}, options, nullptr);
    EXPECT_EQ(plain, Join({file, Trailer(FileItemGuid, 7, 0, static_cast<std::uint32_t>(file.size()))}));

    options.sign = true;
    EXPECT_THROW(writer::WriteContainer({{writer::ItemKind::File, 7, file}}, options, nullptr), std::invalid_argument);
}

TEST(WriteDirectory, WritesIdLengthAndUtf16Path)
{
    // "cab\1000\main.cab" is 17 characters: 36 bytes with its NUL.
    Bytes directory = writer::WriteDirectory({{1001, "cab\\1000\\main.cab"}, {5, "\xc3\xa9\xf0\x9f\x93\xa6"}});
    ASSERT_EQ(directory.size(), 8 + 36 + 8 + 8u);
    EXPECT_EQ(U32At(directory, 0), 1001u);
    EXPECT_EQ(U32At(directory, 4), 36u);
    EXPECT_EQ(directory[8], 'c');
    EXPECT_EQ(directory[9], 0);
    EXPECT_EQ(directory[8 + 34], 0);
    EXPECT_EQ(directory[8 + 35], 0);
    // U+00E9, then U+1F4E6 as a surrogate pair, then NUL.
    Bytes second(directory.begin() + 44, directory.end());
    EXPECT_EQ(second, (Bytes{5, 0, 0, 0, 8, 0, 0, 0, 0xe9, 0x00, 0x3d, 0xd8, 0xe6, 0xdc, 0, 0}));

    for (const char *bad : {"\xff", "\xc3", "\xc0\xaf", "\xed\xa0\x80", "a\x80"})
        EXPECT_THROW(writer::WriteDirectory({{1, bad}}), std::invalid_argument) << bad;
}

// The writer's directory refuses what is not UTF-8; the Linux text calls read each faulty byte as
// U+FFFD. Both decode through one core, so they agree on every well-formed text.
TEST(Utf8Policy, StrictRefusesWhatReplacingReadsAsOneFffdPerByte)
{
    const struct {
        const char *text;
        std::u16string replaced;
        bool wellFormed;
    } cases[] = {
        {"a\xc3\xa9\xe2\x82\xac", u"a\u00e9\u20ac", true},
        {"\xf0\x9f\x93\xa6", u"\U0001f4e6", true},
        {"\xf4\x8f\xbf\xbf", u"\U0010ffff", true},
        {"\xc0\xaf", u"\ufffd\ufffd", false},                     // overlong
        {"\xed\xa0\x80", u"\ufffd\ufffd\ufffd", false},           // a surrogate
        {"\xf4\x90\x80\x80", u"\ufffd\ufffd\ufffd\ufffd", false}, // beyond U+10FFFF
        {"\xe2\x82", u"\ufffd\ufffd", false},                     // cut short
        {"a\x80z", u"a\ufffdz", false},                           // a stray continuation byte
        {"\xe2(\xac", u"\ufffd(\ufffd", false},                   // a lead byte without its continuation
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.text);
        const std::size_t length = std::char_traits<char>::length(c.text);
        std::u16string strict, replacing;
        EXPECT_EQ(unicode::AppendUtf16FromUtf8(strict, c.text, length, unicode::Utf8Policy::Strict), c.wellFormed);
        EXPECT_TRUE(unicode::AppendUtf16FromUtf8(replacing, c.text, length, unicode::Utf8Policy::Replacing));
        EXPECT_EQ(replacing, c.replaced);
        if (c.wellFormed) {
            EXPECT_EQ(strict, c.replaced);
        }
    }
}

TEST(LoadPrivateKey, ReportsAMissingOrForeignFile)
{
    EXPECT_THROW(writer::LoadPrivateKey(std::string(TEST_SOURCE_DIR) + "/tests/keys/no-such-key.pem"),
                 std::runtime_error);
    EXPECT_THROW(writer::LoadPrivateKey(std::string(TEST_SOURCE_DIR) + "/CMakeLists.txt"), std::runtime_error);
}

} // namespace
