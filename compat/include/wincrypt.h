// Linux stand-in for the cryptographic message and certificate calls that the payload locator
// makes: decoding a PKCS #7 signed-data object and reading its certificates' extensions.
#pragma once

#include <windows.h>

typedef void *HCRYPTMSG;
typedef ULONG_PTR HCRYPTPROV_LEGACY;
typedef void *HCERTSTORE;

struct CRYPTOAPI_BLOB {
    DWORD cbData;
    BYTE *pbData;
};
typedef CRYPTOAPI_BLOB CRYPT_OBJID_BLOB;
typedef CRYPTOAPI_BLOB CRYPT_DATA_BLOB;

struct CERT_EXTENSION {
    LPSTR pszObjId; // dotted numeric form
    BOOL fCritical;
    CRYPT_OBJID_BLOB Value; // the raw extnValue octets
};
typedef CERT_EXTENSION *PCERT_EXTENSION;

// Only the fields that callers here read are filled: the version and the extensions.
struct CERT_INFO {
    DWORD dwVersion;
    DWORD cExtension;
    PCERT_EXTENSION rgExtension;
};
typedef CERT_INFO *PCERT_INFO;

struct CERT_CONTEXT {
    DWORD dwCertEncodingType;
    BYTE *pbCertEncoded;
    DWORD cbCertEncoded;
    PCERT_INFO pCertInfo;
    HCERTSTORE hCertStore;
};
typedef CERT_CONTEXT *PCERT_CONTEXT;
typedef const CERT_CONTEXT *PCCERT_CONTEXT;

struct CMSG_STREAM_INFO;
typedef CMSG_STREAM_INFO *PCMSG_STREAM_INFO;

#define X509_ASN_ENCODING 0x00000001u
#define PKCS_7_ASN_ENCODING 0x00010000u

#define CMSG_SIGNED 2u
#define CMSG_CERT_COUNT_PARAM 11u
#define CMSG_CERT_PARAM 12u

#ifndef E_INVALIDARG
#define E_INVALIDARG 0x80070057u
#endif
#define CRYPT_E_MSG_ERROR 0x80091001u
#define CRYPT_E_INVALID_MSG_TYPE 0x80091004u
#define CRYPT_E_INVALID_INDEX 0x80091008u
#define CRYPT_E_ASN1_CORRUPT 0x80093103u
#define CRYPT_E_ASN1_LARGE 0x80093104u
#define CRYPT_E_ASN1_EOD 0x80093102u
#define CRYPT_E_ASN1_BADTAG 0x8009310Bu
#define CRYPT_E_STREAM_MSG_NOT_READY 0x80091010u

// Decoding only (no streaming): dwMsgType 0 takes the type from the data; only signed data is
// understood. Updates collect the bytes; the final one decodes the leading object, and bytes
// after it are left alone.
//
// Unlike the platform's, these refer to the caller's bytes instead of copying them, so that a
// certificate of 64 MiB is held once: a message decoded from one final update reads its
// certificates from that update's data until it is closed, and a certificate context points
// into pbCertEncoded (pbCertEncoded itself and its extension values) until it is freed. The
// caller keeps those bytes that long.
HCRYPTMSG CryptMsgOpenToDecode(DWORD dwMsgEncodingType, DWORD dwFlags, DWORD dwMsgType, HCRYPTPROV_LEGACY hCryptProv,
                               PCERT_INFO pRecipientInfo, PCMSG_STREAM_INFO pStreamInfo);
BOOL CryptMsgUpdate(HCRYPTMSG hCryptMsg, const BYTE *pbData, DWORD cbData, BOOL fFinal);
// CMSG_CERT_COUNT_PARAM (a DWORD) and CMSG_CERT_PARAM (the DER certificate at dwIndex). A null
// pvData asks for the size; a short buffer fails with ERROR_MORE_DATA and the size needed.
BOOL CryptMsgGetParam(HCRYPTMSG hCryptMsg, DWORD dwParamType, DWORD dwIndex, void *pvData, DWORD *pcbData);
BOOL CryptMsgClose(HCRYPTMSG hCryptMsg);

PCCERT_CONTEXT CertCreateCertificateContext(DWORD dwCertEncodingType, const BYTE *pbCertEncoded, DWORD cbCertEncoded);
BOOL CertFreeCertificateContext(PCCERT_CONTEXT pCertContext);
