#include "packer/authenticode.h"

#include "packer/der.h"
#include "packer/openssl_handles.h"
#include "packer/pack_error.h"
#include "packer/pe_image.h"

#include <openssl/err.h>

#include <algorithm>

namespace packer {

namespace {

// 1.3.6.1.4.1.311.2.1.4
constexpr const char *SpcIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";

struct SequenceFree {
    void operator()(ASN1_SEQUENCE_ANY *sequence) const { sk_ASN1_TYPE_pop_free(sequence, ASN1_TYPE_free); }
};
using SequenceHandle = std::unique_ptr<ASN1_SEQUENCE_ANY, SequenceFree>;
using AlgorithmHandle = std::unique_ptr<X509_ALGOR, OpenSslDeleter<X509_ALGOR_free>>;
using StoreHandle = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE_free>>;

SequenceHandle DecodeSequence(const ASN1_TYPE *type)
{
    if (type == nullptr || type->type != V_ASN1_SEQUENCE)
        return nullptr;
    const unsigned char *in = type->value.sequence->data;
    return SequenceHandle(d2i_ASN1_SEQUENCE_ANY(nullptr, &in, type->value.sequence->length));
}

AuthenticodeCheck Invalid(const std::string &detail)
{
    ERR_clear_error();
    return {AuthenticodeCheck::Status::Invalid, detail};
}

} // namespace

Bytes PeImageDigest(ByteView image, const EVP_MD *digest)
{
    const PeLayout layout = ReadPeLayout(image, "file");
    const std::size_t end = layout.tableSize != 0 ? layout.tableOffset : image.size();
    std::unique_ptr<EVP_MD_CTX, OpenSslDeleter<EVP_MD_CTX_free>> context(EVP_MD_CTX_new());
    bool done = context && EVP_DigestInit_ex(context.get(), digest, nullptr) == 1;
    const std::pair<std::size_t, std::size_t> ranges[] = {{0, layout.checksumOffset},
                                                          {layout.checksumOffset + 4, layout.securityEntryOffset},
                                                          {layout.securityEntryOffset + 8, end}};
    for (auto [begin, stop] : ranges)
        image.ForEachPiece(begin, stop, [&](const std::uint8_t *piece, std::size_t length) {
            done = done && EVP_DigestUpdate(context.get(), piece, length) == 1;
        });
    Bytes value(static_cast<std::size_t>(EVP_MD_get_size(digest)));
    unsigned int length = 0;
    done = done && EVP_DigestFinal_ex(context.get(), value.data(), &length) == 1;
    if (!done)
        throw PackError("could not compute the PE image digest");
    value.resize(length);
    return value;
}

PaddingCheck CheckCertificatePadding(ByteView image)
{
    PeLayout layout;
    SignatureEntry entry;
    try {
        layout = ReadPeLayout(image, "file");
        if (!FindSignatureEntry(image, layout, entry, "file"))
            return {PaddingCheck::Status::Unsigned, ""};
    } catch (const PackError &error) {
        return {PaddingCheck::Status::Fails, error.what()};
    }
    const std::uint64_t objectEnd = std::uint64_t{entry.offset} + 8 + entry.objectLength;
    const std::uint64_t tableEnd = std::uint64_t{layout.tableOffset} + layout.tableSize;
    if (entry.length != AlignCertificateEntry(8 + entry.objectLength) ||
        std::any_of(image.begin() + static_cast<std::ptrdiff_t>(objectEnd),
                    image.begin() + static_cast<std::ptrdiff_t>(entry.offset + entry.length),
                    [](std::uint8_t byte) { return byte != 0; }))
        return {PaddingCheck::Status::Fails, std::to_string(entry.length - 8 - entry.objectLength) +
                                                 " bytes follow the signature object in its certificate entry"};
    if (layout.tableSize != entry.length)
        return {PaddingCheck::Status::Fails, std::to_string(layout.tableSize - entry.length) +
                                                 " bytes follow the signature's entry in the certificate table"};
    if (tableEnd != image.size())
        return {PaddingCheck::Status::Fails,
                std::to_string(image.size() - tableEnd) + " bytes follow the certificate table"};
    return {PaddingCheck::Status::Passes, ""};
}

AuthenticodeCheck CheckAuthenticode(ByteView image)
{
    PeLayout layout;
    SignatureEntry entry;
    try {
        layout = ReadPeLayout(image, "file");
        if (!FindSignatureEntry(image, layout, entry, "file"))
            return {AuthenticodeCheck::Status::Unsigned, "no Authenticode signature"};
    } catch (const PackError &error) {
        return Invalid(error.what());
    }
    if (static_cast<std::uint64_t>(layout.tableOffset) + layout.tableSize != image.size())
        return Invalid("data follows the certificate table, outside what the signature covers");

    const unsigned char *in = image.data() + entry.offset + 8;
    Pkcs7Handle signature(d2i_PKCS7(nullptr, &in, entry.objectLength));
    if (!signature || !PKCS7_type_is_signed(signature.get()) || signature->d.sign->contents == nullptr)
        return Invalid("the signature object is not PKCS #7 signed data");
    PKCS7 *contents = signature->d.sign->contents;
    char oid[64];
    if (OBJ_obj2txt(oid, sizeof oid, contents->type, 1) <= 0 || std::string(oid) != SpcIndirectDataOid ||
        contents->d.other == nullptr || contents->d.other->type != V_ASN1_SEQUENCE)
        return Invalid("the signed content is not an Authenticode SpcIndirectDataContent");

    // The signer's digest covers the content octets of SpcIndirectDataContent, its own tag and
    // length left out.
    const ASN1_STRING *encoded = contents->d.other->value.sequence;
    auto element = ReadDerElement(encoded->data, 0, static_cast<std::size_t>(encoded->length));
    if (!element)
        return Invalid("the SpcIndirectDataContent does not decode");
    BioHandle content(
        BIO_new_mem_buf(encoded->data + element->ContentOffset(), static_cast<int>(element->contentLength)));
    StoreHandle store(X509_STORE_new());
    if (!content || !store ||
        PKCS7_verify(signature.get(), nullptr, store.get(), content.get(), nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) != 1)
        return Invalid("the signer's signature or its message digest does not verify");

    SequenceHandle indirect = DecodeSequence(contents->d.other);
    SequenceHandle digestInfo = indirect && sk_ASN1_TYPE_num(indirect.get()) == 2
                                    ? DecodeSequence(sk_ASN1_TYPE_value(indirect.get(), 1))
                                    : nullptr;
    if (!digestInfo || sk_ASN1_TYPE_num(digestInfo.get()) != 2)
        return Invalid("the SpcIndirectDataContent holds no digest");
    const ASN1_TYPE *algorithmType = sk_ASN1_TYPE_value(digestInfo.get(), 0);
    const ASN1_TYPE *digestType = sk_ASN1_TYPE_value(digestInfo.get(), 1);
    if (algorithmType->type != V_ASN1_SEQUENCE || digestType->type != V_ASN1_OCTET_STRING)
        return Invalid("the SpcIndirectDataContent holds no digest");
    const unsigned char *algorithmIn = algorithmType->value.sequence->data;
    AlgorithmHandle algorithm(d2i_X509_ALGOR(nullptr, &algorithmIn, algorithmType->value.sequence->length));
    const EVP_MD *digest = algorithm ? EVP_get_digestbyobj(algorithm->algorithm) : nullptr;
    if (digest == nullptr)
        return Invalid("the signature's digest algorithm is unknown");

    const Bytes computed = PeImageDigest(image, digest);
    const ASN1_OCTET_STRING *signedDigest = digestType->value.octet_string;
    if (static_cast<std::size_t>(signedDigest->length) != computed.size() ||
        !std::equal(computed.begin(), computed.end(), signedDigest->data))
        return Invalid("the file's PE image digest differs from the signed one: the file was changed after "
                       "signing");

    std::string signer = "unknown signer";
    STACK_OF(X509) *signers = PKCS7_get0_signers(signature.get(), nullptr, 0);
    if (signers != nullptr && sk_X509_num(signers) > 0) {
        char name[256];
        X509_NAME_oneline(X509_get_subject_name(sk_X509_value(signers, 0)), name, sizeof name);
        signer = name;
    }
    sk_X509_free(signers);
    ERR_clear_error();
    return {AuthenticodeCheck::Status::Valid, std::string(EVP_MD_get0_name(digest)) + ", signed by " + signer};
}

} // namespace packer
