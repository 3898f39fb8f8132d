// Decoding PKCS #7 signed data and X.509 certificates on Linux, with the results and last
// errors of the platform's message and certificate services where callers rely on them.
#include <wincrypt.h>

#include <openssl/asn1.h>
#include <openssl/objects.h>
#include <openssl/pkcs7.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

namespace {

struct DecodeMessage {
    std::vector<BYTE> collected; // updates before the final one
    bool finished = false;
    PKCS7 *signedData = nullptr;
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

STACK_OF(X509) * CertificatesOf(const DecodeMessage *message)
{
    if (message->signedData == nullptr || !PKCS7_type_is_signed(message->signedData) ||
        message->signedData->d.sign == nullptr)
        return nullptr;
    return message->signedData->d.sign->cert;
}

size_t AlignUp(size_t value)
{
    return (value + alignof(std::max_align_t) - 1) & ~(alignof(std::max_align_t) - 1);
}

} // namespace

HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD, DWORD dwMsgType, HCRYPTPROV_LEGACY, PCERT_INFO,
                               PCMSG_STREAM_INFO pStreamInfo)
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

BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE *pbData, DWORD cbData, BOOL fFinal)
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
    const unsigned char *cursor = data;
    message->signedData = d2i_PKCS7(nullptr, &cursor, static_cast<long>(size));
    DWORD failure = message->signedData == nullptr ? DecodeFailureCode(data, size) : 0;
    std::vector<BYTE>().swap(message->collected);
    if (failure != 0)
        return Fail(failure);
    return TRUE;
}

BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void *pvData, DWORD *pcbData)
{
    auto *message = static_cast<DecodeMessage *>(hCryptMsg);
    if (message == nullptr || pcbData == nullptr)
        return Fail(E_INVALIDARG);
    if (!message->finished)
        return Fail(CRYPT_E_STREAM_MSG_NOT_READY);
    if (message->signedData == nullptr || !PKCS7_type_is_signed(message->signedData))
        return Fail(CRYPT_E_INVALID_MSG_TYPE);
    STACK_OF(X509) *certificates = CertificatesOf(message);
    DWORD count = certificates == nullptr ? 0 : static_cast<DWORD>(sk_X509_num(certificates));
    switch (dwParamType) {
    case CMSG_CERT_COUNT_PARAM:
        return CopyParameter(pvData, pcbData, &count, sizeof count);
    case CMSG_CERT_PARAM: {
        if (dwIndex >= count)
            return Fail(CRYPT_E_INVALID_INDEX);
        unsigned char *encoded = nullptr;
        int length = i2d_X509(sk_X509_value(certificates, static_cast<int>(dwIndex)), &encoded);
        if (length <= 0)
            return Fail(CRYPT_E_ASN1_CORRUPT);
        BOOL copied = CopyParameter(pvData, pcbData, encoded, static_cast<DWORD>(length));
        OPENSSL_free(encoded);
        return copied;
    }
    default:
        return Fail(CRYPT_E_INVALID_MSG_TYPE);
    }
}

BOOL CryptMsgClose(HCRYPTMSG hCryptMsg)
{
    auto *message = static_cast<DecodeMessage *>(hCryptMsg);
    if (message != nullptr) {
        PKCS7_free(message->signedData);
        delete message;
    }
    return TRUE;
}

// One block holds the context, the certificate information, the extension array, the
// identifiers, the extension values and a copy of the encoded certificate, in that order.
PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE *pbCertEncoded, DWORD cbCertEncoded)
{
    if (!(dwCertEncodingType & X509_ASN_ENCODING) || pbCertEncoded == nullptr) {
        SetLastError(E_INVALIDARG);
        return nullptr;
    }
    const unsigned char *cursor = pbCertEncoded;
    X509 *certificate = d2i_X509(nullptr, &cursor, static_cast<long>(cbCertEncoded));
    if (certificate == nullptr) {
        SetLastError(DecodeFailureCode(pbCertEncoded, cbCertEncoded));
        return nullptr;
    }

    int extensionCount = X509_get_ext_count(certificate);
    size_t size = AlignUp(sizeof(CERT_CONTEXT)) + AlignUp(sizeof(CERT_INFO)) +
                  AlignUp(sizeof(CERT_EXTENSION) * static_cast<size_t>(extensionCount));
    for (int i = 0; i < extensionCount; i++) {
        X509_EXTENSION *extension = X509_get_ext(certificate, i);
        size += static_cast<size_t>(OBJ_obj2txt(nullptr, 0, X509_EXTENSION_get_object(extension), 1)) + 1;
        size += static_cast<size_t>(ASN1_STRING_length(X509_EXTENSION_get_data(extension)));
    }
    size += cbCertEncoded;

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
        const ASN1_OCTET_STRING *value = X509_EXTENSION_get_data(extension);
        DWORD valueLength = static_cast<DWORD>(ASN1_STRING_length(value));
        if (valueLength > 0)
            std::memcpy(next, ASN1_STRING_get0_data(value), valueLength);
        extensions[i].Value.cbData = valueLength;
        extensions[i].Value.pbData = next;
        next += valueLength;
    }
    std::memcpy(next, pbCertEncoded, cbCertEncoded);

    info->dwVersion = static_cast<DWORD>(X509_get_version(certificate));
    info->cExtension = static_cast<DWORD>(extensionCount);
    info->rgExtension = extensionCount > 0 ? extensions : nullptr;
    context->dwCertEncodingType = X509_ASN_ENCODING;
    context->pbCertEncoded = next;
    context->cbCertEncoded = cbCertEncoded;
    context->pCertInfo = info;
    X509_free(certificate);
    return context;
}

BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext)
{
    std::free(const_cast<CERT_CONTEXT *>(pCertContext));
    return TRUE;
}
