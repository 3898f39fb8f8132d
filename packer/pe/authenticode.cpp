#include "packer/pe/authenticode.h"

#include "packer/pe/der.h"
#include "packer/openssl_handles.h"
#include "packer/pack_error.h"
#include "packer/pe/pe_image.h"

#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ts.h>

#include <algorithm>
#include <cstdio>
#include <ctime>

namespace packer {

namespace {

constexpr const char *SpcIndirectDataOid = "1.3.6.1.4.1.311.2.1.4";
// Unauthenticated attributes of the primary signer: a nested signature object, an RFC 3161
// time-stamp token, and the older PKCS #9 countersignature.
constexpr const char *NestedSignatureOid = "1.3.6.1.4.1.311.2.4.1";
constexpr const char *TimestampTokenOid = "1.3.6.1.4.1.311.3.3.1";
constexpr const char *CountersignatureOid = "1.2.840.113549.1.9.6";

struct SequenceFree {
    void operator()(ASN1_SEQUENCE_ANY *sequence) const { sk_ASN1_TYPE_pop_free(sequence, ASN1_TYPE_free); }
};
using SequenceHandle = std::unique_ptr<ASN1_SEQUENCE_ANY, SequenceFree>;
using AlgorithmHandle = std::unique_ptr<X509_ALGOR, OpenSslDeleter<X509_ALGOR_free>>;
using BioChainHandle = std::unique_ptr<BIO, OpenSslDeleter<BIO_free_all>>;
using StoreHandle = std::unique_ptr<X509_STORE, OpenSslDeleter<X509_STORE_free>>;
using StoreContextHandle = std::unique_ptr<X509_STORE_CTX, OpenSslDeleter<X509_STORE_CTX_free>>;
using TstInfoHandle = std::unique_ptr<TS_TST_INFO, OpenSslDeleter<TS_TST_INFO_free>>;
using TsVerifyHandle = std::unique_ptr<TS_VERIFY_CTX, OpenSslDeleter<TS_VERIFY_CTX_free>>;
using TimeHandle = std::unique_ptr<ASN1_TIME, OpenSslDeleter<ASN1_TIME_free>>;
struct CertificatesFree {
    void operator()(STACK_OF(X509) * certificates) const { sk_X509_pop_free(certificates, X509_free); }
};
using CertificatesHandle = std::unique_ptr<STACK_OF(X509), CertificatesFree>;

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
    return {AuthenticodeCheck::Status::Invalid, detail, {}, {}, {}, {}, "none", {}};
}

SignatureReport Failed(SignatureReport report, const std::string &detail)
{
    ERR_clear_error();
    report.valid = false;
    report.detail = detail;
    return report;
}

std::string OidText(const ASN1_OBJECT *object)
{
    char text[80];
    return OBJ_obj2txt(text, sizeof text, object, 1) > 0 ? std::string(text) : std::string();
}

std::string SubjectOf(X509 *certificate)
{
    char name[256];
    X509_NAME_oneline(X509_get_subject_name(certificate), name, sizeof name);
    return name;
}

// The primary signer's certificate among those the signature carries; nullptr when none is.
X509 *SignerCertificate(PKCS7 *signature)
{
    STACK_OF(X509) *signers = PKCS7_get0_signers(signature, nullptr, 0);
    X509 *signer = signers != nullptr && sk_X509_num(signers) > 0 ? sk_X509_value(signers, 0) : nullptr;
    sk_X509_free(signers);
    ERR_clear_error();
    return signer;
}

std::string FingerprintOf(X509 *certificate)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
        return "";
    return "SHA256:" + LowercaseHex(digest, length);
}

// The values of the signer's unauthenticated attributes with the given OID.
std::vector<const ASN1_TYPE *> UnsignedAttributeValues(PKCS7_SIGNER_INFO *signerInfo, const char *oid)
{
    std::vector<const ASN1_TYPE *> values;
    for (int a = 0; a < sk_X509_ATTRIBUTE_num(signerInfo->unauth_attr); ++a) {
        X509_ATTRIBUTE *attribute = sk_X509_ATTRIBUTE_value(signerInfo->unauth_attr, a);
        if (OidText(X509_ATTRIBUTE_get0_object(attribute)) != oid)
            continue;
        for (int v = 0; v < X509_ATTRIBUTE_count(attribute); ++v)
            values.push_back(X509_ATTRIBUTE_get0_type(attribute, v));
    }
    return values;
}

Pkcs7Handle DecodeSignedData(const ASN1_TYPE *type)
{
    if (type == nullptr || type->type != V_ASN1_SEQUENCE)
        return nullptr;
    const unsigned char *in = type->value.sequence->data;
    Pkcs7Handle object(d2i_PKCS7(nullptr, &in, type->value.sequence->length));
    if (!object || !PKCS7_type_is_signed(object.get()))
        return nullptr;
    return object;
}

// One signature object checked against the image: the digest it signs is the image's, and its
// signer's signature verifies with the signer certificate it carries (no chain).
SignatureReport CheckSignatureObject(PKCS7 *signature, ByteView image)
{
    SignatureReport report;
    if (!PKCS7_type_is_signed(signature) || signature->d.sign->contents == nullptr)
        return Failed(report, "the signature object is not PKCS #7 signed data");
    if (X509 *signer = SignerCertificate(signature)) {
        report.signerSubject = SubjectOf(signer);
        report.signerFingerprint = FingerprintOf(signer);
    }
    if (PKCS7_SIGNER_INFO *signerInfo = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(signature), 0)) {
        report.signerDigestNid = OBJ_obj2nid(signerInfo->digest_alg->algorithm);
        report.signerDigest = report.signerDigestNid != NID_undef ? OBJ_nid2sn(report.signerDigestNid)
                                                                  : OidText(signerInfo->digest_alg->algorithm);
    }

    PKCS7 *contents = signature->d.sign->contents;
    if (OidText(contents->type) != SpcIndirectDataOid || contents->d.other == nullptr ||
        contents->d.other->type != V_ASN1_SEQUENCE)
        return Failed(report, "the signed content is not an Authenticode SpcIndirectDataContent");

    // The signer's digest covers the content octets of SpcIndirectDataContent, its own tag and
    // length left out.
    const ASN1_STRING *encoded = contents->d.other->value.sequence;
    auto element = ReadDerElement(encoded->data, 0, static_cast<std::size_t>(encoded->length));
    if (!element)
        return Failed(report, "the SpcIndirectDataContent does not decode");
    // Behind a null filter: PKCS7_verify copies a memory BIO given directly into one of its own,
    // which it does not free when the signer's digest can't be set up.
    BioChainHandle content(BIO_new(BIO_f_null()));
    BioHandle memory(
        BIO_new_mem_buf(encoded->data + element->ContentOffset(), static_cast<int>(element->contentLength)));
    if (content && memory)
        BIO_push(content.get(), memory.release());
    StoreHandle store(X509_STORE_new());
    if (!content || BIO_next(content.get()) == nullptr || !store ||
        PKCS7_verify(signature, nullptr, store.get(), content.get(), nullptr, PKCS7_NOVERIFY | PKCS7_BINARY) != 1)
        return Failed(report, "the signer's signature or its message digest does not verify");

    SequenceHandle indirect = DecodeSequence(contents->d.other);
    SequenceHandle digestInfo = indirect && sk_ASN1_TYPE_num(indirect.get()) == 2
                                    ? DecodeSequence(sk_ASN1_TYPE_value(indirect.get(), 1))
                                    : nullptr;
    if (!digestInfo || sk_ASN1_TYPE_num(digestInfo.get()) != 2)
        return Failed(report, "the SpcIndirectDataContent holds no digest");
    const ASN1_TYPE *algorithmType = sk_ASN1_TYPE_value(digestInfo.get(), 0);
    const ASN1_TYPE *digestType = sk_ASN1_TYPE_value(digestInfo.get(), 1);
    if (algorithmType->type != V_ASN1_SEQUENCE || digestType->type != V_ASN1_OCTET_STRING)
        return Failed(report, "the SpcIndirectDataContent holds no digest");
    const unsigned char *algorithmIn = algorithmType->value.sequence->data;
    AlgorithmHandle algorithm(d2i_X509_ALGOR(nullptr, &algorithmIn, algorithmType->value.sequence->length));
    const EVP_MD *digest = algorithm ? EVP_get_digestbyobj(algorithm->algorithm) : nullptr;
    if (digest == nullptr)
        return Failed(report, "the signature's digest algorithm is unknown");
    report.digest = EVP_MD_get0_name(digest);
    report.digestNid = EVP_MD_get_type(digest);

    const Bytes computed = PeImageDigest(image, digest);
    const ASN1_OCTET_STRING *signedDigest = digestType->value.octet_string;
    if (static_cast<std::size_t>(signedDigest->length) != computed.size() ||
        !std::equal(computed.begin(), computed.end(), signedDigest->data))
        return Failed(report, "the file's PE image digest differs from the signed one: the file was changed after "
                              "signing");
    ERR_clear_error();
    report.valid = true;
    report.detail = report.digest + ", signed by " +
                    (report.signerSubject.empty() ? std::string("unknown signer") : report.signerSubject);
    return report;
}

// Roots from a PEM file, for the chain check; throws ReadError when the file holds none.
StoreHandle LoadRoots(const std::string &caFile)
{
    const Bytes text = ReadWholeFile(caFile);
    BioHandle bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    StoreHandle store(X509_STORE_new());
    int count = 0;
    while (bio && store) {
        // No passphrase is ever asked for, least of all on the terminal.
        X509Handle certificate(PEM_read_bio_X509(
            bio.get(), nullptr, [](char *, int, int, void *) { return -1; }, nullptr));
        if (!certificate)
            break;
        if (X509_STORE_add_cert(store.get(), certificate.get()) == 1)
            ++count;
    }
    ERR_clear_error();
    if (count == 0)
        throw ReadError("--ca-file " + caFile + ": holds no PEM certificate");
    return store;
}

// Seconds since 1970 for an ASN.1 time, without the host's time zone.
bool SecondsSinceEpoch(const ASN1_TIME *time, std::time_t &seconds)
{
    TimeHandle epoch(ASN1_TIME_set(nullptr, 0));
    int days = 0, rest = 0;
    if (!epoch || ASN1_TIME_diff(&days, &rest, epoch.get(), time) != 1)
        return false;
    seconds = static_cast<std::time_t>(days) * 86400 + rest;
    return true;
}

// The RFC 3161 time-stamp on the primary signer: its token's signature, its imprint (the
// digest of the primary signer's signature value) and its authority's chain to the roots must
// all verify before its time is used.
struct TimestampCheck {
    bool verified = false;
    std::time_t time = 0;
    std::string text;   // the time, as the token gives it
    std::string detail; // "none", "verified", or why it is not taken
};

TimestampCheck CheckTimestamp(PKCS7_SIGNER_INFO *signerInfo, X509_STORE *roots)
{
    TimestampCheck check;
    std::vector<const ASN1_TYPE *> tokens = UnsignedAttributeValues(signerInfo, TimestampTokenOid);
    if (tokens.empty()) {
        check.detail = UnsignedAttributeValues(signerInfo, CountersignatureOid).empty()
                           ? "none"
                           : "a PKCS #9 countersignature, which verify does not check: checked at the current time";
        return check;
    }
    Pkcs7Handle token = DecodeSignedData(tokens.front());
    TstInfoHandle info(token ? PKCS7_to_TS_TST_INFO(token.get()) : nullptr);
    if (!info) {
        ERR_clear_error();
        check.detail = "the time-stamp token does not decode: checked at the current time";
        return check;
    }
    const ASN1_GENERALIZEDTIME *time = TS_TST_INFO_get_time(info.get());
    check.text = time != nullptr ? std::string(reinterpret_cast<const char *>(time->data), time->length) : "";
    if (roots == nullptr) {
        check.detail = "not verified without --ca-file: checked at the current time";
        return check;
    }
    const X509_ALGOR *algorithm = TS_MSG_IMPRINT_get_algo(TS_TST_INFO_get_msg_imprint(info.get()));
    const EVP_MD *digest = algorithm != nullptr ? EVP_get_digestbyobj(algorithm->algorithm) : nullptr;
    unsigned char imprint[EVP_MAX_MD_SIZE];
    unsigned int imprintLength = 0;
    const ASN1_OCTET_STRING *signatureValue = signerInfo->enc_digest;
    TsVerifyHandle context(TS_VERIFY_CTX_new());
    bool verified = digest != nullptr && context &&
                    EVP_Digest(signatureValue->data, static_cast<std::size_t>(signatureValue->length), imprint,
                               &imprintLength, digest, nullptr) == 1 &&
                    X509_STORE_up_ref(roots) == 1;
    if (verified) {
        TS_VERIFY_CTX_set_store(context.get(), roots); // the context now holds a reference
        auto *copy = static_cast<unsigned char *>(OPENSSL_memdup(imprint, imprintLength));
        verified = copy != nullptr;
        if (verified) {
            TS_VERIFY_CTX_set_imprint(context.get(), copy, imprintLength); // and the copy
            TS_VERIFY_CTX_set_flags(context.get(), TS_VFY_VERSION | TS_VFY_SIGNATURE | TS_VFY_IMPRINT);
            verified = TS_RESP_verify_token(context.get(), token.get()) == 1;
        }
    }
    ERR_clear_error();
    if (!verified || time == nullptr || !SecondsSinceEpoch(time, check.time)) {
        check.detail = "the time-stamp does not verify (its signature, imprint or authority's chain): checked at "
                       "the current time";
        return check;
    }
    check.verified = true;
    check.detail = "verified";
    return check;
}

// The primary signer's chain to the roots, built by OpenSSL's store for any purpose; then the
// extended key usages along it, which no OpenSSL purpose checks as Windows does: code signing is
// valid only where every certificate names it (a CA may name any purpose instead) or names no
// usage at all. chain receives the path built when it verifies.
ChainReport CheckChain(PKCS7 *signature, X509_STORE *roots, const TimestampCheck &timestamp, CertificatesHandle &chain)
{
    ChainReport report;
    X509 *signer = SignerCertificate(signature);
    StoreContextHandle context(X509_STORE_CTX_new());
    if (signer == nullptr || !context ||
        X509_STORE_CTX_init(context.get(), roots, signer, signature->d.sign->cert) != 1) {
        ERR_clear_error();
        report.status = ChainReport::Status::Invalid;
        report.detail = "no signer certificate to build a chain from";
        return report;
    }
    X509_STORE_CTX_set_purpose(context.get(), X509_PURPOSE_ANY);
    if (timestamp.verified)
        X509_STORE_CTX_set_time(context.get(), 0, timestamp.time);
    const std::string when = timestamp.verified ? " at the time-stamp's time" : " at the current time";
    if (X509_verify_cert(context.get()) != 1) {
        report.status = ChainReport::Status::Invalid;
        report.detail = std::string("does not reach --ca-file") + when + ": " +
                        X509_verify_cert_error_string(X509_STORE_CTX_get_error(context.get()));
        ERR_clear_error();
        return report;
    }
    chain.reset(X509_STORE_CTX_get1_chain(context.get()));
    for (int i = 0; chain && i < sk_X509_num(chain.get()); ++i) {
        X509 *certificate = sk_X509_value(chain.get(), i);
        if ((X509_get_extension_flags(certificate) & EXFLAG_XKUSAGE) == 0)
            continue;
        const std::uint32_t usages = X509_get_extended_key_usage(certificate);
        if ((usages & XKU_CODE_SIGN) != 0 || (i > 0 && (usages & XKU_ANYEKU) != 0))
            continue;
        report.status = ChainReport::Status::Invalid;
        report.detail = i == 0 ? "does not allow code signing: the signer certificate's extended key usage does "
                                 "not name it"
                               : "does not allow code signing: the extended key usage of " + SubjectOf(certificate) +
                                     ", a CA in it, names neither code signing nor any purpose";
        return report;
    }
    report.status = ChainReport::Status::Valid;
    report.detail = "valid to " + SubjectOf(sk_X509_value(chain.get(), sk_X509_num(chain.get()) - 1)) + when +
                    " (revocation not checked)";
    return report;
}

bool StrongDigest(int nid)
{
    return nid == NID_sha256 || nid == NID_sha384 || nid == NID_sha512;
}

// A certificate signed with a digest that collisions have broken.
bool WeaklySigned(X509 *certificate, std::string &algorithm)
{
    int digest = NID_undef, key = NID_undef;
    const int signature = X509_get_signature_nid(certificate);
    if (OBJ_find_sigid_algs(signature, &digest, &key) != 1)
        return false;
    algorithm = OBJ_nid2ln(signature);
    return digest == NID_md2 || digest == NID_md4 || digest == NID_md5 || digest == NID_md5_sha1 ||
           digest == NID_sha1 || digest == NID_mdc2;
}

// The strict policy on the primary signature. chain is the verified path, or else the path
// built from the certificates the signature carries; a self-signed root's own signature is left
// out, as it vouches for nothing.
std::vector<PolicyRule> CheckPolicy(X509 *signer, const SignatureReport &primary, STACK_OF(X509) * chain)
{
    const char *noSigner = "there is no signer certificate";
    const std::uint32_t flags = signer != nullptr ? X509_get_extension_flags(signer) : 0;
    const bool namesUsages = (flags & EXFLAG_XKUSAGE) != 0;
    const bool codeSigning = signer != nullptr && namesUsages && (X509_get_extended_key_usage(signer) & XKU_CODE_SIGN);
    const bool ca = (flags & EXFLAG_CA) != 0;
    std::string weak;
    for (int i = 0; chain != nullptr && i < sk_X509_num(chain); ++i) {
        X509 *certificate = sk_X509_value(chain, i);
        std::string algorithm;
        const bool root = i + 1 == sk_X509_num(chain) && (X509_get_extension_flags(certificate) & EXFLAG_SS) != 0;
        if (!root && WeaklySigned(certificate, algorithm))
            weak += (weak.empty() ? "" : ", ") + SubjectOf(certificate) + " with " + algorithm;
    }
    auto digestRule = [](const char *name, const char *what, const std::string &digest, int nid) {
        return PolicyRule{name, std::string(what) + " must be SHA-256, SHA-384 or SHA-512", StrongDigest(nid),
                          "it is " + (digest.empty() ? std::string("unknown") : digest)};
    };
    ERR_clear_error();
    return {
        {"signerCodeSigning", "the signer certificate must name code signing in its extended key usage", codeSigning,
         signer == nullptr ? noSigner
         : codeSigning     ? "it does"
         : namesUsages     ? "its extended key usage does not name code signing"
                           : "it has no extended key usage"},
        {"signerNotCa", "the signer certificate must not be a CA", signer != nullptr && !ca,
         signer == nullptr ? noSigner
         : ca              ? "it is a CA (basic constraints CA:TRUE)"
                           : "it is not"},
        digestRule("imageDigest", "the PE image digest", primary.digest, primary.digestNid),
        digestRule("signerDigest", "the signer's digest", primary.signerDigest, primary.signerDigestNid),
        {"certificateSignatures", "no certificate of the chain may be signed with MD5 or SHA-1",
         chain != nullptr && weak.empty(),
         chain == nullptr ? noSigner
         : weak.empty()   ? "none is"
                          : weak},
    };
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

std::uint64_t BytesAfterCertificateTable(ByteView image)
{
    try {
        const PeLayout layout = ReadPeLayout(image, "file");
        const std::uint64_t end = static_cast<std::uint64_t>(layout.tableOffset) + layout.tableSize;
        return layout.tableSize != 0 && end < image.size() ? image.size() - end : 0;
    } catch (const PackError &) {
        return 0;
    }
}

AuthenticodeCheck CheckAuthenticode(ByteView image, const std::string &caFile)
{
    StoreHandle roots = caFile.empty() ? nullptr : LoadRoots(caFile);
    PeLayout layout;
    SignatureEntry entry;
    try {
        layout = ReadPeLayout(image, "file");
        if (!FindSignatureEntry(image, layout, entry, "file"))
            return {AuthenticodeCheck::Status::Unsigned, "no Authenticode signature", {}, {}, {}, {}, "none", {}};
    } catch (const PackError &error) {
        return Invalid(error.what());
    }
    // Bytes appended after the table fail the file, but the signature is read and reported all
    // the same: its signer, chain and time-stamp are still what the file carries.
    const std::uint64_t appended = BytesAfterCertificateTable(image);
    const std::string appendedDetail =
        std::to_string(appended) + " bytes are appended after the certificate table, outside what the signature covers";

    const unsigned char *in = image.data() + entry.offset + 8;
    Pkcs7Handle signature(d2i_PKCS7(nullptr, &in, entry.objectLength));
    if (!signature)
        return Invalid(appended != 0 ? appendedDetail : "the signature object is not PKCS #7 signed data");
    AuthenticodeCheck check{
        AuthenticodeCheck::Status::Invalid, {}, CheckSignatureObject(signature.get(), image), {}, {}, {}, "none", {}};
    if (roots)
        check.chain.detail = "the signature object does not name its signer";
    PKCS7_SIGNER_INFO *signerInfo = sk_PKCS7_SIGNER_INFO_value(PKCS7_get_signer_info(signature.get()), 0);
    if (signerInfo != nullptr) {
        for (const ASN1_TYPE *value : UnsignedAttributeValues(signerInfo, NestedSignatureOid)) {
            Pkcs7Handle nested = DecodeSignedData(value);
            check.nested.push_back(nested ? CheckSignatureObject(nested.get(), image)
                                          : Failed({}, "the nested signature object does not decode"));
        }
        const TimestampCheck timestamp = CheckTimestamp(signerInfo, roots.get());
        check.timestamp = timestamp.text;
        check.timestampDetail = timestamp.detail;
        CertificatesHandle chain;
        if (roots)
            check.chain = CheckChain(signature.get(), roots.get(), timestamp, chain);
        X509 *signer = SignerCertificate(signature.get());
        if (!chain && signer != nullptr)
            chain.reset(X509_build_chain(signer, signature->d.sign->cert, nullptr, 1, nullptr, nullptr));
        check.policy = CheckPolicy(signer, check.primary, chain.get());
    }
    check.status = check.primary.valid && signerInfo != nullptr && appended == 0 ? AuthenticodeCheck::Status::Valid
                                                                                 : AuthenticodeCheck::Status::Invalid;
    check.detail = appended != 0           ? appendedDetail
                   : signerInfo == nullptr ? "the signature object has no signer"
                                           : check.primary.detail;
    ERR_clear_error();
    return check;
}

} // namespace packer
