#include "packer/signature_object.h"

#include "packer/der.h"
#include "packer/openssl_handles.h"
#include "packer/pack_error.h"
#include "payload/payload_format.h"

#include <openssl/sha.h>

#include <climits>
#include <cstring>

namespace packer {

namespace {

constexpr std::uint8_t TagSequence = 0x30;
constexpr std::uint8_t TagSet = 0x31;
constexpr std::uint8_t TagInteger = 0x02;
constexpr std::uint8_t TagBitString = 0x03;
constexpr std::uint8_t TagObjectIdentifier = 0x06;
constexpr std::uint8_t TagContextZero = 0xA0;

// 1.2.840.113549.1.7.2, pkcs7-signedData, as DER content octets.
constexpr std::uint8_t SignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

void Check(bool condition, const char *what)
{
    if (!condition)
        throw PackError(std::string("cannot build the payload certificate: ") + what);
}

DerElement Expect(const std::optional<DerElement> &element, std::uint8_t tag, const char *what)
{
    if (!element || element->tag != tag)
        throw PackError(std::string("the stub's signature object is not as expected: ") + what);
    return *element;
}

Bytes Wrap(std::uint8_t tag, const Bytes &content)
{
    Bytes wrapped = DerHeader(tag, content.size());
    wrapped.insert(wrapped.end(), content.begin(), content.end());
    return wrapped;
}

void Append(Bytes &to, const std::uint8_t *data, std::size_t begin, std::size_t end)
{
    to.insert(to.end(), data + begin, data + end);
}

} // namespace

Bytes MakeCarrierCertificate(const Bytes &container, const PayloadSigner &signer)
{
    Check(container.size() <= INT_MAX, "the container is too large");
    X509Handle certificate(X509_new());
    Check(certificate && X509_set_version(certificate.get(), 2) == 1, "version");

    // The serial comes from the container, so that the same input packs to the same bytes.
    std::uint8_t digest[SHA256_DIGEST_LENGTH];
    SHA256(container.data(), container.size(), digest);
    digest[0] &= 0x7F;
    BignumHandle serialNumber(BN_bin2bn(digest, 16, nullptr));
    Asn1IntegerHandle serial(serialNumber ? BN_to_ASN1_INTEGER(serialNumber.get(), nullptr) : nullptr);
    Check(serial && X509_set_serialNumber(certificate.get(), serial.get()) == 1, "serial number");

    X509_NAME *name = X509_get_subject_name(certificate.get());
    Check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                     reinterpret_cast<const unsigned char *>("Installer payload"), -1, -1, 0) == 1,
          "subject");
    Check(X509_set_issuer_name(certificate.get(), name) == 1, "issuer");
    Check(ASN1_TIME_set_string(X509_getm_notBefore(certificate.get()), "20000101000000Z") == 1 &&
              ASN1_TIME_set_string(X509_getm_notAfter(certificate.get()), "99991231235959Z") == 1,
          "validity");
    Check(X509_set_pubkey(certificate.get(), signer.PublicKey()) == 1, "public key");

    ObjectHandle oid(OBJ_txt2obj(PayloadExtensionOid, 1));
    Asn1StringHandle value(ASN1_OCTET_STRING_new());
    Check(oid && value && ASN1_OCTET_STRING_set(value.get(), container.data(), static_cast<int>(container.size())) == 1,
          "extension value");
    ExtensionHandle extension(X509_EXTENSION_create_by_OBJ(nullptr, oid.get(), 0, value.get()));
    Check(extension && X509_add_ext(certificate.get(), extension.get(), -1) == 1, "extension");

    // The signer signs the digest of the encoded TBSCertificate, as X509_sign would, and the
    // certificate is put together here: the private key may be where OpenSSL can't reach it.
    X509_ALGOR *algorithm = const_cast<X509_ALGOR *>(X509_get0_tbs_sigalg(certificate.get()));
    Check(X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_sha256WithRSAEncryption), V_ASN1_NULL, nullptr) == 1,
          "signature algorithm");
    unsigned char *tbs = nullptr;
    int tbsLength = i2d_re_X509_tbs(certificate.get(), &tbs);
    Check(tbsLength > 0, "encoding");
    Bytes encodedTbs(tbs, tbs + tbsLength);
    OPENSSL_free(tbs);
    Bytes signature = signer.SignDigest(Sha256Of(encodedTbs.data(), encodedTbs.size()), "the payload certificate");

    unsigned char *algorithmDer = nullptr;
    int algorithmLength = i2d_X509_ALGOR(algorithm, &algorithmDer);
    Check(algorithmLength > 0, "encoding");
    Bytes content = std::move(encodedTbs);
    content.insert(content.end(), algorithmDer, algorithmDer + algorithmLength);
    OPENSSL_free(algorithmDer);
    Bytes bits{0}; // no unused bits
    bits.insert(bits.end(), signature.begin(), signature.end());
    Bytes signatureValue = Wrap(TagBitString, bits);
    content.insert(content.end(), signatureValue.begin(), signatureValue.end());
    return Wrap(TagSequence, content);
}

Bytes AddCertificateToSignatureObject(const std::uint8_t *object, std::size_t objectLength, const Bytes &certificate)
{
    DerElement contentInfo = Expect(ReadDerElement(object, 0, objectLength), TagSequence, "ContentInfo");
    DerElement type = Expect(ReadDerElement(object, contentInfo.ContentOffset(), contentInfo.End()),
                             TagObjectIdentifier, "content type");
    if (type.contentLength != sizeof SignedDataOid ||
        std::memcmp(object + type.ContentOffset(), SignedDataOid, sizeof SignedDataOid) != 0)
        throw PackError("the stub's signature object is not PKCS #7 signed data");
    DerElement explicitContent =
        Expect(ReadDerElement(object, type.End(), contentInfo.End()), TagContextZero, "content");
    DerElement signedData = Expect(ReadDerElement(object, explicitContent.ContentOffset(), explicitContent.End()),
                                   TagSequence, "SignedData");

    // version, digestAlgorithms, contentInfo, then the optional certificate set.
    std::size_t position = signedData.ContentOffset();
    const std::uint8_t leadingTags[] = {TagInteger, TagSet, TagSequence};
    for (std::uint8_t tag : leadingTags)
        position = Expect(ReadDerElement(object, position, signedData.End()), tag, "SignedData fields").End();

    Bytes certificates;
    std::size_t restBegin = position;
    auto existing = ReadDerElement(object, position, signedData.End());
    if (existing && existing->tag == TagContextZero) {
        Append(certificates, object, existing->ContentOffset(), existing->End());
        restBegin = existing->End();
    }
    certificates.insert(certificates.end(), certificate.begin(), certificate.end());

    Bytes signedContent;
    Append(signedContent, object, signedData.ContentOffset(), position);
    Bytes certificateSet = Wrap(TagContextZero, certificates);
    signedContent.insert(signedContent.end(), certificateSet.begin(), certificateSet.end());
    Append(signedContent, object, restBegin, signedData.End());

    Bytes content;
    Append(content, object, contentInfo.ContentOffset(), type.End());
    Bytes wrappedSignedData = Wrap(TagContextZero, Wrap(TagSequence, signedContent));
    content.insert(content.end(), wrappedSignedData.begin(), wrappedSignedData.end());
    Append(content, object, explicitContent.End(), contentInfo.End());
    return Wrap(TagSequence, content);
}

std::vector<Bytes> FindCarrierValues(const std::uint8_t *object, std::size_t objectLength)
{
    const unsigned char *in = object;
    Pkcs7Handle signature(d2i_PKCS7(nullptr, &in, static_cast<long>(objectLength)));
    if (!signature || !PKCS7_type_is_signed(signature.get()))
        throw PackError("the signature object does not decode as PKCS #7 signed data");
    std::vector<Bytes> values;
    STACK_OF(X509) *certificates = signature->d.sign->cert;
    for (int i = 0; i < sk_X509_num(certificates); ++i) {
        X509 *certificate = sk_X509_value(certificates, i);
        for (int e = 0; e < X509_get_ext_count(certificate); ++e) {
            X509_EXTENSION *extension = X509_get_ext(certificate, e);
            char oid[128];
            if (OBJ_obj2txt(oid, sizeof oid, X509_EXTENSION_get_object(extension), 1) <= 0 ||
                std::strcmp(oid, PayloadExtensionOid) != 0 || X509_EXTENSION_get_critical(extension))
                continue;
            const ASN1_OCTET_STRING *value = X509_EXTENSION_get_data(extension);
            const std::uint8_t *data = ASN1_STRING_get0_data(value);
            values.emplace_back(data, data + ASN1_STRING_length(value));
        }
    }
    return values;
}

} // namespace packer
