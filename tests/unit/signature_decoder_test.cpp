// The message and certificate services as the payload locator uses them: the platform's in
// the Windows build, the compatibility layer in the native one, held to the same results.
#include <windows.h>
#include <wincrypt.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "tests/fixtures/fixtures.h"

namespace {

using fixtures::Bytes;
using fixtures::Extension;

struct DecodedMessage {
    HCRYPTMSG handle = CryptMsgOpenToDecode(PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr);
    ~DecodedMessage()
    {
        if (handle != nullptr)
            CryptMsgClose(handle);
    }
};

struct SeenExtension {
    std::string oid;
    bool critical;
    Bytes value;
};

// The DER certificate at index, fetched the way the locator does: size first, then the bytes.
Bytes FetchCertificate(HCRYPTMSG message, DWORD index)
{
    DWORD size = 0;
    EXPECT_TRUE(CryptMsgGetParam(message, CMSG_CERT_PARAM, index, nullptr, &size));
    Bytes encoded(size);
    EXPECT_TRUE(CryptMsgGetParam(message, CMSG_CERT_PARAM, index, encoded.data(), &size));
    EXPECT_EQ(size, encoded.size());
    return encoded;
}

std::vector<SeenExtension> ExtensionsOf(const Bytes &encoded)
{
    PCCERT_CONTEXT context =
        CertCreateCertificateContext(X509_ASN_ENCODING, encoded.data(), static_cast<DWORD>(encoded.size()));
    EXPECT_NE(context, nullptr);
    std::vector<SeenExtension> seen;
    if (context == nullptr)
        return seen;
    for (DWORD i = 0; i < context->pCertInfo->cExtension; i++) {
        const CERT_EXTENSION &extension = context->pCertInfo->rgExtension[i];
        seen.push_back({extension.pszObjId, extension.fCritical != FALSE,
                        Bytes(extension.Value.pbData, extension.Value.pbData + extension.Value.cbData)});
    }
    CertFreeCertificateContext(context);
    return seen;
}

// The same object with an indefinite length at the outermost level, as BER allows.
Bytes WithIndefiniteLength(const Bytes &object)
{
    const size_t lengthBytes = 1 + (object[1] & 0x80 ? object[1] & 0x7F : 0);
    Bytes indefinite = object;
    indefinite.erase(indefinite.begin() + 1, indefinite.begin() + 1 + static_cast<std::ptrdiff_t>(lengthBytes));
    indefinite.insert(indefinite.begin() + 1, 0x80);
    indefinite.push_back(0); // end-of-contents
    indefinite.push_back(0);
    return indefinite;
}

// Large values (a carrier) among small ones, also under a known extension's identifier, whose
// content the services take as it is.
TEST(SignatureDecoder, GivesTheCertificatesAndTheirExtensionsInOrder)
{
    Bytes large(300000);
    for (size_t i = 0; i < large.size(); i++)
        large[i] = static_cast<BYTE>(i * 7 + i / 251);
    const std::vector<std::vector<Extension>> certificates = {
        {{Bytes{1, 2, 3}}, {Bytes{0x30, 0x00}, true, "1.3.6.1.4.1.311.2.1.12"}},
        {},
        {{Bytes(3000, 0xA5), true}, {large}, {Bytes{9}}},
        {{Bytes(70000, 0x5C), false, "2.5.29.19"}, {Bytes(large.begin(), large.begin() + 65536)}},
    };
    const Bytes definite = fixtures::MakeSignatureObject(certificates);
    for (Bytes object : {definite, WithIndefiniteLength(definite)}) {
        SCOPED_TRACE(object[1] == 0x80 ? "indefinite length" : "definite length");
        // What follows the object (the payload, in the launcher image) is left alone.
        object.insert(object.end(), 40, 0x5A);

        DecodedMessage message;
        ASSERT_NE(message.handle, nullptr);
        ASSERT_TRUE(CryptMsgUpdate(message.handle, object.data(), static_cast<DWORD>(object.size()), TRUE));
        DWORD count = 0;
        DWORD countSize = sizeof count;
        ASSERT_TRUE(CryptMsgGetParam(message.handle, CMSG_CERT_COUNT_PARAM, 0, &count, &countSize));
        ASSERT_EQ(count, certificates.size());

        for (DWORD index = 0; index < count; index++) {
            SCOPED_TRACE(index);
            std::vector<SeenExtension> seen = ExtensionsOf(FetchCertificate(message.handle, index));
            ASSERT_EQ(seen.size(), certificates[index].size());
            for (size_t i = 0; i < seen.size(); i++) {
                EXPECT_EQ(seen[i].oid, certificates[index][i].oid);
                EXPECT_EQ(seen[i].critical, certificates[index][i].critical);
                EXPECT_EQ(seen[i].value, certificates[index][i].value);
            }
        }
    }
}

TEST(SignatureDecoder, AsksForRoomAndRefusesIndicesPastTheEnd)
{
    Bytes object = fixtures::MakeSignatureObject({{}});
    DecodedMessage message;
    ASSERT_TRUE(CryptMsgUpdate(message.handle, object.data(), static_cast<DWORD>(object.size()), TRUE));

    DWORD size = 0;
    ASSERT_TRUE(CryptMsgGetParam(message.handle, CMSG_CERT_PARAM, 0, nullptr, &size));
    Bytes shortBuffer(size - 1);
    DWORD offered = size - 1;
    SetLastError(0);
    EXPECT_FALSE(CryptMsgGetParam(message.handle, CMSG_CERT_PARAM, 0, shortBuffer.data(), &offered));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(offered, size);

    SetLastError(0);
    EXPECT_FALSE(CryptMsgGetParam(message.handle, CMSG_CERT_PARAM, 1, nullptr, &size));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_INVALID_INDEX));
}

struct BrokenCase {
    const char *name;
    Bytes bytes;
    DWORD code;
};

TEST(SignatureDecoder, RejectsWhatIsNoSignatureObject)
{
    Bytes object = fixtures::MakeSignatureObject({{}});
    const BrokenCase cases[] = {
        {"not a sequence", {0x04, 0x03, 1, 2, 3}, static_cast<DWORD>(CRYPT_E_ASN1_BADTAG)},
        {"cut short", Bytes(object.begin(), object.begin() + object.size() / 2), static_cast<DWORD>(CRYPT_E_ASN1_EOD)},
    };
    for (const BrokenCase &c : cases) {
        SCOPED_TRACE(c.name);
        DecodedMessage message;
        SetLastError(0);
        EXPECT_FALSE(CryptMsgUpdate(message.handle, c.bytes.data(), static_cast<DWORD>(c.bytes.size()), TRUE));
        EXPECT_EQ(GetLastError(), c.code);
    }
}

} // namespace
