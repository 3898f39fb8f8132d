#include "packer/pe/signature_object.h"

#include "packer/pe/der.h"
#include "packer/openssl_handles.h"
#include "packer/pack_error.h"
#include "packer/sha256.h"
#include "payload/payload_format.h"

#include <climits>
#include <cstring>

namespace packer {

namespace {

constexpr std::uint8_t TagSequence = 0x30;
constexpr std::uint8_t TagSet = 0x31;
constexpr std::uint8_t TagInteger = 0x02;
constexpr std::uint8_t TagBitString = 0x03;
constexpr std::uint8_t TagOctetString = 0x04;
constexpr std::uint8_t TagObjectIdentifier = 0x06;
constexpr std::uint8_t TagContextZero = 0xA0;
constexpr std::uint8_t TagContextThree = 0xA3;

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

AroundContainer MakeCarrierCertificate(std::uint64_t containerSize, const ContainerReader &read,
                                       const PayloadSigner &signer)
{
    Check(containerSize <= INT_MAX, "the container is too large");
    X509Handle certificate(X509_new());
    Check(certificate && X509_set_version(certificate.get(), 2) == 1, "version");

    // The serial comes from the container, so that the same input packs to the same bytes.
    Sha256Hasher containerDigest;
    read([&](const std::uint8_t *data, std::size_t length) { containerDigest.Add(data, length); });
    Sha256Digest digest = containerDigest.Finish();
    digest[0] &= 0x7F;
    BignumHandle serialNumber(BN_bin2bn(digest.data(), 16, nullptr));
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

    // The signer signs the digest of the encoded TBSCertificate, as X509_sign would, and the
    // certificate is put together here: the private key may be where OpenSSL can't reach it.
    X509_ALGOR *algorithm = const_cast<X509_ALGOR *>(X509_get0_tbs_sigalg(certificate.get()));
    Check(X509_ALGOR_set0(algorithm, OBJ_nid2obj(NID_sha256WithRSAEncryption), V_ASN1_NULL, nullptr) == 1,
          "signature algorithm");
    // The TBSCertificate without extensions, as OpenSSL encodes it; the one extension, which
    // comes last, is added around the container: extensions [3] { SEQUENCE { Extension {
    // extnID, extnValue OCTET STRING } } } (critical FALSE, the default, is left out).
    unsigned char *tbs = nullptr;
    int tbsLength = i2d_re_X509_tbs(certificate.get(), &tbs);
    Check(tbsLength > 0, "encoding");
    const Bytes withoutExtensions(tbs, tbs + tbsLength);
    OPENSSL_free(tbs);
    const auto fields = ReadDerElement(withoutExtensions.data(), 0, withoutExtensions.size());
    Check(fields && fields->tag == TagSequence, "encoding");
    ObjectHandle oid(OBJ_txt2obj(PayloadExtensionOid, 1));
    unsigned char *oidDer = nullptr;
    int oidLength = oid ? i2d_ASN1_OBJECT(oid.get(), &oidDer) : 0;
    Check(oidLength > 0, "extension identifier");
    Bytes extensionHead(oidDer, oidDer + oidLength);
    OPENSSL_free(oidDer);
    const Bytes valueHeader = DerHeader(TagOctetString, static_cast<std::size_t>(containerSize));
    extensionHead.insert(extensionHead.end(), valueHeader.begin(), valueHeader.end());
    std::size_t around = extensionHead.size() + static_cast<std::size_t>(containerSize);
    for (std::uint8_t tag : {TagSequence, TagSequence, TagContextThree}) {
        Bytes header = DerHeader(tag, around);
        extensionHead.insert(extensionHead.begin(), header.begin(), header.end());
        around += header.size();
    }
    Bytes tbsHead = DerHeader(TagSequence, fields->contentLength + around);
    Append(tbsHead, withoutExtensions.data(), fields->ContentOffset(), fields->End());
    tbsHead.insert(tbsHead.end(), extensionHead.begin(), extensionHead.end());
    const std::size_t tbsSize = tbsHead.size() + static_cast<std::size_t>(containerSize);

    Sha256Hasher tbsDigest;
    tbsDigest.Add(tbsHead.data(), tbsHead.size());
    read([&](const std::uint8_t *data, std::size_t length) { tbsDigest.Add(data, length); });
    Bytes signature = signer.SignDigest(tbsDigest.Finish(), "the payload certificate");

    unsigned char *algorithmDer = nullptr;
    int algorithmLength = i2d_X509_ALGOR(algorithm, &algorithmDer);
    Check(algorithmLength > 0, "encoding");
    AroundContainer carrier;
    carrier.tail.assign(algorithmDer, algorithmDer + algorithmLength);
    OPENSSL_free(algorithmDer);
    Bytes bits{0}; // no unused bits
    bits.insert(bits.end(), signature.begin(), signature.end());
    Bytes signatureValue = Wrap(TagBitString, bits);
    carrier.tail.insert(carrier.tail.end(), signatureValue.begin(), signatureValue.end());
    carrier.head = DerHeader(TagSequence, tbsSize + carrier.tail.size());
    carrier.head.insert(carrier.head.end(), tbsHead.begin(), tbsHead.end());
    return carrier;
}

AroundContainer AddCertificateToSignatureObject(const std::uint8_t *object, std::size_t objectLength,
                                                const AroundContainer &certificate, std::uint64_t middleSize)
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

    std::size_t existingBegin = position, existingEnd = position, restBegin = position;
    auto existing = ReadDerElement(object, position, signedData.End());
    if (existing && existing->tag == TagContextZero) {
        existingBegin = existing->ContentOffset();
        existingEnd = restBegin = existing->End();
    }
    const std::size_t certificates = existingEnd - existingBegin + certificate.head.size() +
                                     static_cast<std::size_t>(middleSize) + certificate.tail.size();
    const Bytes setHeader = DerHeader(TagContextZero, certificates);
    const std::size_t signedContent =
        position - signedData.ContentOffset() + setHeader.size() + certificates + signedData.End() - restBegin;
    const Bytes signedDataHeader = DerHeader(TagSequence, signedContent);
    const Bytes explicitHeader = DerHeader(TagContextZero, signedDataHeader.size() + signedContent);
    const std::size_t content = type.End() - contentInfo.ContentOffset() + explicitHeader.size() +
                                signedDataHeader.size() + signedContent + contentInfo.End() - explicitContent.End();

    AroundContainer around;
    around.head = DerHeader(TagSequence, content);
    Append(around.head, object, contentInfo.ContentOffset(), type.End());
    around.head.insert(around.head.end(), explicitHeader.begin(), explicitHeader.end());
    around.head.insert(around.head.end(), signedDataHeader.begin(), signedDataHeader.end());
    Append(around.head, object, signedData.ContentOffset(), position);
    around.head.insert(around.head.end(), setHeader.begin(), setHeader.end());
    Append(around.head, object, existingBegin, existingEnd);
    around.head.insert(around.head.end(), certificate.head.begin(), certificate.head.end());
    around.tail = certificate.tail;
    Append(around.tail, object, restBegin, signedData.End());
    Append(around.tail, object, explicitContent.End(), contentInfo.End());
    return around;
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
