// Decoding PKCS #7 signed data and X.509 certificates on Linux and in launcher-pack.exe (see
// compat/crypt_decoding.h), with the results and last errors of the platform's message and
// certificate services where callers rely on them.
//
// A payload carrier is a certificate extension of up to 64 MiB, so the bytes are held once, by
// the caller: a message hands out its certificates from the bytes it was given, and a context
// points its extension values into its encoded certificate. OpenSSL decodes only to check and to
// name the extensions, from a copy in which every large extension value is emptied (its content
// is an opaque OCTET STRING to the decoder, so emptying it changes no verdict).
#ifdef _WIN32
#include "compat/crypt_decoding.h"
#define CRYPT_ENTRY(name) Decoding##name
#else
#include <wincrypt.h>
#define CRYPT_ENTRY(name) name
#endif

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Extension values from this size on are emptied in the copy that OpenSSL decodes.
constexpr size_t LargeValue = 64 * 1024;
// Deeper nesting than certificates have is left to OpenSSL alone.
constexpr int MaxDepth = 32;

struct Element {
    size_t start;
    size_t content;
    size_t contentEnd; // in front of the end-of-contents octets of an indefinite length
    size_t end;
    int tag;
    int objectClass;
    bool constructed;
    bool indefinite;
};

// The element at `at`, which must end by limit; an indefinite length is followed through its
// children to the end-of-contents octets. The headers are read as OpenSSL's decoder reads them.
bool ReadElement(const BYTE *data, size_t at, size_t limit, Element &element, int depth = 0)
{
    if (depth > MaxDepth || at >= limit)
        return false;
    const unsigned char *cursor = data + at;
    long length = 0;
    int result = ASN1_get_object(&cursor, &length, &element.tag, &element.objectClass, static_cast<long>(limit - at));
    if (result & 0x80)
        return false;
    element.start = at;
    element.content = static_cast<size_t>(cursor - data);
    element.constructed = (result & V_ASN1_CONSTRUCTED) != 0;
    element.indefinite = (result & 0x01) != 0;
    if (!element.indefinite) {
        element.contentEnd = element.content + static_cast<size_t>(length);
        element.end = element.contentEnd;
        return true;
    }
    for (size_t position = element.content;;) {
        if (limit - position >= 2 && data[position] == 0 && data[position + 1] == 0) {
            element.contentEnd = position;
            element.end = position + 2;
            return true;
        }
        Element child;
        if (!ReadElement(data, position, limit, child, depth + 1))
            return false;
        position = child.end;
    }
}

bool ReadChildren(const BYTE *data, const Element &parent, std::vector<Element> &children)
{
    children.clear();
    if (!parent.constructed)
        return false;
    for (size_t position = parent.content; position < parent.contentEnd;) {
        Element child;
        if (!ReadElement(data, position, parent.contentEnd, child, 1))
            return false;
        children.push_back(child);
        position = child.end;
    }
    return true;
}

bool Is(const Element &element, int objectClass, int tag, bool constructed)
{
    return element.objectClass == objectClass && element.tag == tag && element.constructed == constructed;
}

// The extnValue OCTET STRING of each extension of the certificate, in order.
bool FindExtensionValues(const BYTE *data, const Element &certificate, std::vector<Element> &values)
{
    std::vector<Element> children;
    if (!ReadChildren(data, certificate, children) || children.empty() ||
        !Is(children[0], V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE, true))
        return false;
    const Element tbs = children[0];
    if (!ReadChildren(data, tbs, children))
        return false;
    auto extensions = std::find_if(children.begin(), children.end(), [](const Element &element) {
        return Is(element, V_ASN1_CONTEXT_SPECIFIC, 3, true);
    });
    if (extensions == children.end())
        return true;
    const Element wrapper = *extensions;
    if (!ReadChildren(data, wrapper, children) || children.size() != 1 ||
        !Is(children[0], V_ASN1_UNIVERSAL, V_ASN1_SEQUENCE, true))
        return false;
    std::vector<Element> list;
    if (!ReadChildren(data, children[0], list))
        return false;
    for (const Element &extension : list) {
        if (!ReadChildren(data, extension, children) || children.empty() ||
            children.back().objectClass != V_ASN1_UNIVERSAL || children.back().tag != V_ASN1_OCTET_STRING)
            return false;
        values.push_back(children.back());
    }
    return true;
}

// The certificates of a ContentInfo holding SignedData, in order.
bool FindCertificates(const BYTE *data, const Element &contentInfo, std::vector<Element> &certificates)
{
    std::vector<Element> children;
    if (!ReadChildren(data, contentInfo, children) || children.size() < 2 ||
        !Is(children[1], V_ASN1_CONTEXT_SPECIFIC, 0, true))
        return false;
    const Element explicitContent = children[1];
    if (!ReadChildren(data, explicitContent, children) || children.empty())
        return false;
    const Element signedData = children[0];
    // version, digestAlgorithms, contentInfo, then the optional certificate set.
    if (!ReadChildren(data, signedData, children) || children.size() < 3)
        return false;
    if (children.size() > 3 && Is(children[3], V_ASN1_CONTEXT_SPECIFIC, 0, true))
        return ReadChildren(data, children[3], certificates);
    certificates.clear();
    return true;
}

// The primitive extension values of certificate worth emptying before OpenSSL decodes it.
void AddLargeValues(const std::vector<Element> &values, std::vector<Element> &large)
{
    for (const Element &value : values)
        if (!value.constructed && value.contentEnd - value.content >= LargeValue)
            large.push_back(value);
}

size_t IdentifierLength(const BYTE *header)
{
    size_t length = 1;
    if ((header[0] & 0x1F) == 0x1F)
        while (header[length++] & 0x80) {
        }
    return length;
}

void AppendLength(std::vector<BYTE> &out, size_t length)
{
    if (length < 0x80) {
        out.push_back(static_cast<BYTE>(length));
        return;
    }
    BYTE bytes[sizeof(size_t)];
    size_t count = 0;
    for (; length != 0; length >>= 8)
        bytes[count++] = static_cast<BYTE>(length & 0xFF);
    out.push_back(static_cast<BYTE>(0x80 | count));
    while (count > 0)
        out.push_back(bytes[--count]);
}

// Appends the elements from `at` to end, each of targets (sorted, apart) replaced by an empty
// OCTET STRING and the definite lengths around them made to fit; the rest keeps its bytes.
bool AppendEmptied(const BYTE *data, size_t at, size_t end, const std::vector<Element> &targets, std::vector<BYTE> &out)
{
    while (at < end) {
        auto next = std::lower_bound(targets.begin(), targets.end(), at,
                                     [](const Element &target, size_t position) { return target.start < position; });
        if (next == targets.end() || next->start >= end) {
            out.insert(out.end(), data + at, data + end);
            return true;
        }
        Element element;
        if (!ReadElement(data, at, end, element))
            return false;
        if (element.end <= next->start) {
            out.insert(out.end(), data + at, data + element.end);
        } else if (element.start == next->start) {
            out.push_back(V_ASN1_OCTET_STRING);
            out.push_back(0);
        } else {
            std::vector<BYTE> inner;
            if (!element.constructed || !AppendEmptied(data, element.content, element.contentEnd, targets, inner))
                return false;
            out.insert(out.end(), data + element.start, data + element.start + IdentifierLength(data + element.start));
            if (element.indefinite)
                out.push_back(0x80);
            else
                AppendLength(out, inner.size());
            out.insert(out.end(), inner.begin(), inner.end());
            if (element.indefinite)
                out.insert(out.end(), {0, 0});
        }
        at = element.end;
    }
    return true;
}

// The bytes OpenSSL is to decode for object: object itself, or a copy without its large values.
struct DecoderInput {
    const BYTE *data;
    size_t size;
    std::vector<BYTE> copy;
};

DecoderInput WithoutLargeValues(const BYTE *data, size_t size, const Element &object, std::vector<Element> large)
{
    DecoderInput input{data, size, {}};
    std::sort(large.begin(), large.end(), [](const Element &a, const Element &b) { return a.start < b.start; });
    if (!large.empty() && AppendEmptied(data, object.start, object.end, large, input.copy)) {
        input.data = input.copy.data();
        input.size = input.copy.size();
    }
    return input;
}

struct DecodeMessage {
    std::vector<BYTE> collected; // updates before the final one
    bool finished = false;
    const BYTE *bytes = nullptr; // the final update's data, or the collected updates
    bool isSigned = false;
    // Where each certificate lies in bytes; or, when they could not be found there, the whole
    // object decoded (every certificate then comes re-encoded from it).
    std::vector<Element> certificates;
    PKCS7 *decoded = nullptr;
};

// The platform's code for bytes that do not hold the expected DER object.
DWORD DecodeFailureCode(const BYTE *data, DWORD size)
{
    if (size == 0)
        return CRYPT_E_ASN1_EOD;
    const unsigned char *cursor = data;
    long length = 0;
    int tag = 0;
    int objectClass = 0;
    // 0x80 in the result: the header is broken or the content runs past the data.
    if (ASN1_get_object(&cursor, &length, &tag, &objectClass, static_cast<long>(size)) & 0x80)
        return CRYPT_E_ASN1_EOD;
    if (tag != V_ASN1_SEQUENCE || objectClass != V_ASN1_UNIVERSAL)
        return CRYPT_E_ASN1_BADTAG;
    return CRYPT_E_ASN1_CORRUPT;
}

BOOL Fail(DWORD code)
{
    SetLastError(code);
    return FALSE;
}

// Hands back a parameter: its size when pvData is null, else the bytes when they fit.
BOOL CopyParameter(void *pvData, DWORD *pcbData, const void *value, DWORD size)
{
    if (pvData == nullptr) {
        *pcbData = size;
        return TRUE;
    }
    if (*pcbData < size) {
        *pcbData = size;
        return Fail(ERROR_MORE_DATA);
    }
    std::memcpy(pvData, value, size);
    *pcbData = size;
    return TRUE;
}

STACK_OF(X509) * CertificatesOf(PKCS7 *signedData)
{
    if (!PKCS7_type_is_signed(signedData) || signedData->d.sign == nullptr)
        return nullptr;
    return signedData->d.sign->cert;
}

PKCS7 *DecodePkcs7(const BYTE *data, size_t size)
{
    const unsigned char *cursor = data;
    return d2i_PKCS7(nullptr, &cursor, static_cast<long>(size));
}

X509 *DecodeX509(const BYTE *data, size_t size)
{
    const unsigned char *cursor = data;
    return d2i_X509(nullptr, &cursor, static_cast<long>(size));
}

// Checks the leading object of data and notes where its certificates lie; false with the
// platform's code when it does not decode.
bool DecodeSignedData(DecodeMessage *message, const BYTE *data, DWORD size, DWORD *failure)
{
    Element object;
    std::vector<Element> certificates, values, large;
    bool found = ReadElement(data, 0, size, object) && FindCertificates(data, object, certificates);
    for (size_t i = 0; found && i < certificates.size(); i++) {
        values.clear();
        found = FindExtensionValues(data, certificates[i], values);
        AddLargeValues(values, large);
    }
    DecoderInput input = found ? WithoutLargeValues(data, size, object, large) : DecoderInput{data, size, {}};
    PKCS7 *decoded = DecodePkcs7(input.data, input.size);
    if (decoded == nullptr) {
        *failure = DecodeFailureCode(data, size);
        return false;
    }
    message->isSigned = PKCS7_type_is_signed(decoded);
    STACK_OF(X509) *decodedCertificates = CertificatesOf(decoded);
    const size_t count = decodedCertificates == nullptr ? 0 : static_cast<size_t>(sk_X509_num(decodedCertificates));
    if (found && certificates.size() == count) {
        message->certificates = std::move(certificates);
        PKCS7_free(decoded);
        return true;
    }
    if (input.data != data) {
        PKCS7_free(decoded);
        decoded = DecodePkcs7(data, size);
        if (decoded == nullptr) {
            *failure = DecodeFailureCode(data, size);
            return false;
        }
    }
    message->decoded = decoded;
    return true;
}

DWORD CertificateCount(const DecodeMessage *message)
{
    if (message->decoded == nullptr)
        return static_cast<DWORD>(message->certificates.size());
    STACK_OF(X509) *certificates = CertificatesOf(message->decoded);
    return certificates == nullptr ? 0 : static_cast<DWORD>(sk_X509_num(certificates));
}

BOOL CopyCertificate(const DecodeMessage *message, DWORD index, void *pvData, DWORD *pcbData)
{
    if (message->decoded == nullptr) {
        const Element &certificate = message->certificates[index];
        return CopyParameter(pvData, pcbData, message->bytes + certificate.start,
                             static_cast<DWORD>(certificate.end - certificate.start));
    }
    unsigned char *encoded = nullptr;
    int length = i2d_X509(sk_X509_value(CertificatesOf(message->decoded), static_cast<int>(index)), &encoded);
    if (length <= 0)
        return Fail(CRYPT_E_ASN1_CORRUPT);
    BOOL copied = CopyParameter(pvData, pcbData, encoded, static_cast<DWORD>(length));
    OPENSSL_free(encoded);
    return copied;
}

size_t AlignUp(size_t value)
{
    return (value + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
}

} // namespace

HCRYPTMSG CRYPT_ENTRY(CryptMsgOpenToDecode)(DWORD dwMsgEncodingType, DWORD, DWORD dwMsgType, HCRYPTPROV_LEGACY,
                                            PCERT_INFO, PCMSG_STREAM_INFO pStreamInfo)
{
    if (!(dwMsgEncodingType & PKCS_7_ASN_ENCODING) || pStreamInfo != nullptr) {
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    if (dwMsgType != 0 && dwMsgType != CMSG_SIGNED) {
        SetLastError(CRYPT_E_INVALID_MSG_TYPE);
        return nullptr;
    }
    auto *message = new (std::nothrow) DecodeMessage;
    if (message == nullptr)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return message;
}

BOOL CRYPT_ENTRY(CryptMsgUpdate)(HCRYPTMSG hCryptMsg, const BYTE *pbData, DWORD cbData, BOOL fFinal)
{
    auto *message = static_cast<DecodeMessage *>(hCryptMsg);
    if (message == nullptr || (pbData == nullptr && cbData != 0))
        return Fail(E_INVALIDARG);
    if (message->finished)
        return Fail(CRYPT_E_MSG_ERROR);
    const BYTE *data = pbData;
    DWORD size = cbData;
    if (!message->collected.empty() || !fFinal) {
        message->collected.insert(message->collected.end(), pbData, pbData + cbData);
        data = message->collected.data();
        size = static_cast<DWORD>(message->collected.size());
    }
    if (!fFinal)
        return TRUE;
    message->finished = true;
    message->bytes = data;
    DWORD failure = 0;
    if (!DecodeSignedData(message, data, size, &failure))
        return Fail(failure);
    return TRUE;
}

BOOL CRYPT_ENTRY(CryptMsgGetParam)(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void *pvData, DWORD *pcbData)
{
    auto *message = static_cast<DecodeMessage *>(hCryptMsg);
    if (message == nullptr || pcbData == nullptr)
        return Fail(E_INVALIDARG);
    if (!message->finished)
        return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
    if (!message->isSigned)
        return Fail(CRYPT_E_INVALID_MSG_TYPE);
    DWORD count = CertificateCount(message);
    switch (dwParamType) {
    case CMSG_CERT_COUNT_PARAM:
        return CopyParameter(pvData, pcbData, &count, sizeof count);
    case CMSG_CERT_PARAM:
        if (dwIndex >= count)
            return Fail(CRYPT_E_INVALID_INDEX);
        return CopyCertificate(message, dwIndex, pvData, pcbData);
    default:
        return Fail(CRYPT_E_INVALID_MSG_TYPE);
    }
}

BOOL CRYPT_ENTRY(CryptMsgClose)(HCRYPTMSG hCryptMsg)
{
    auto *message = static_cast<DecodeMessage *>(hCryptMsg);
    if (message != nullptr) {
        PKCS7_free(message->decoded);
        delete message;
    }
    return TRUE;
}

// One block holds the context, the certificate information, the extension array, the
// identifiers and the extension values that do not lie whole in the encoded certificate, which
// the context points to where the caller keeps it.
PCCERT_CONTEXT CRYPT_ENTRY(CertCreateCertificateContext)(DWORD dwCertEncodingType, const BYTE *pbCertEncoded,
                                                         DWORD cbCertEncoded)
{
    if (!(dwCertEncodingType & X509_ASN_ENCODING) || pbCertEncoded == nullptr) {
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    Element object;
    std::vector<Element> values, large;
    bool found =
        ReadElement(pbCertEncoded, 0, cbCertEncoded, object) && FindExtensionValues(pbCertEncoded, object, values);
    if (found)
        AddLargeValues(values, large);
    DecoderInput input = found ? WithoutLargeValues(pbCertEncoded, cbCertEncoded, object, large)
                               : DecoderInput{pbCertEncoded, cbCertEncoded, {}};
    X509 *certificate = DecodeX509(input.data, input.size);
    if (certificate == nullptr) {
        SetLastError(DecodeFailureCode(pbCertEncoded, cbCertEncoded));
        return nullptr;
    }
    int extensionCount = X509_get_ext_count(certificate);
    if (found && values.size() != static_cast<size_t>(extensionCount)) {
        found = false;
        if (input.data != pbCertEncoded) {
            X509_free(certificate);
            certificate = DecodeX509(pbCertEncoded, cbCertEncoded);
            if (certificate == nullptr) {
                SetLastError(DecodeFailureCode(pbCertEncoded, cbCertEncoded));
                return nullptr;
            }
            extensionCount = X509_get_ext_count(certificate);
        }
    }
    // In the encoded certificate: a primitive OCTET STRING's content is the value.
    auto inPlace = [&](int i) { return found && !values[static_cast<size_t>(i)].constructed; };

    size_t size = AlignUp(sizeof(CERT_CONTEXT)) + AlignUp(sizeof(CERT_INFO)) +
                  AlignUp(sizeof(CERT_EXTENSION) * static_cast<size_t>(extensionCount));
    for (int i = 0; i < extensionCount; i++) {
        X509_EXTENSION *extension = X509_get_ext(certificate, i);
        size += static_cast<size_t>(OBJ_obj2txt(nullptr, 0, X509_EXTENSION_get_object(extension), 1)) + 1;
        if (!inPlace(i))
            size += static_cast<size_t>(ASN1_STRING_length(X509_EXTENSION_get_data(extension)));
    }

    auto *block = static_cast<BYTE *>(std::calloc(1, size));
    if (block == nullptr) {
        X509_free(certificate);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto *context = reinterpret_cast<CERT_CONTEXT *>(block);
    auto *info = reinterpret_cast<CERT_INFO *>(block + AlignUp(sizeof(CERT_CONTEXT)));
    auto *extensions =
        reinterpret_cast<CERT_EXTENSION *>(block + AlignUp(sizeof(CERT_CONTEXT)) + AlignUp(sizeof(CERT_INFO)));
    BYTE *next = reinterpret_cast<BYTE *>(extensions) + AlignUp(sizeof(CERT_EXTENSION) * extensionCount);

    for (int i = 0; i < extensionCount; i++) {
        X509_EXTENSION *extension = X509_get_ext(certificate, i);
        const ASN1_OBJECT *identifier = X509_EXTENSION_get_object(extension);
        int identifierLength = OBJ_obj2txt(nullptr, 0, identifier, 1);
        OBJ_obj2txt(reinterpret_cast<char *>(next), identifierLength + 1, identifier, 1);
        extensions[i].pszObjId = reinterpret_cast<LPSTR>(next);
        next += identifierLength + 1;

        extensions[i].fCritical = X509_EXTENSION_get_critical(extension) > 0;
        if (inPlace(i)) {
            const Element &value = values[static_cast<size_t>(i)];
            extensions[i].Value.cbData = static_cast<DWORD>(value.contentEnd - value.content);
            extensions[i].Value.pbData = const_cast<BYTE *>(pbCertEncoded) + value.content;
            continue;
        }
        const ASN1_OCTET_STRING *value = X509_EXTENSION_get_data(extension);
        DWORD valueLength = static_cast<DWORD>(ASN1_STRING_length(value));
        if (valueLength > 0)
            std::memcpy(next, ASN1_STRING_get0_data(value), valueLength);
        extensions[i].Value.cbData = valueLength;
        extensions[i].Value.pbData = next;
        next += valueLength;
    }

    info->dwVersion = static_cast<DWORD>(X509_get_version(certificate));
    info->cExtension = static_cast<DWORD>(extensionCount);
    info->rgExtension = extensionCount > 0 ? extensions : nullptr;
    context->dwCertEncodingType = X509_ASN_ENCODING;
    context->pbCertEncoded = const_cast<BYTE *>(pbCertEncoded);
    context->cbCertEncoded = cbCertEncoded;
    context->pCertInfo = info;
    X509_free(certificate);
    return context;
}

BOOL CRYPT_ENTRY(CertFreeCertificateContext)(PCCERT_CONTEXT pCertContext)
{
    std::free(const_cast<CERT_CONTEXT *>(pCertContext));
    return TRUE;
}
