// Linux stand-in for the system's cryptographic provider calls that the payload verifier makes:
// SHA-256 hashing, importing an RSA public key blob and checking an RSASSA-PKCS1-v1_5 signature.
#pragma once

#include <windows.h>

typedef uint32_t ULONG; // 32 bits, as on Windows: the key blob header is made of them
typedef unsigned char UCHAR;
typedef UCHAR *PUCHAR;
typedef LONG NTSTATUS;
typedef void *BCRYPT_HANDLE;
typedef void *BCRYPT_ALG_HANDLE;
typedef void *BCRYPT_HASH_HANDLE;
typedef void *BCRYPT_KEY_HANDLE;

#define BCRYPT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)

#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008u)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000Du)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017u)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023u)
#define STATUS_NOT_FOUND ((NTSTATUS)0xC0000225u)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBu)
#define STATUS_INVALID_SIGNATURE ((NTSTATUS)0xC000A000u)

#define BCRYPT_SHA256_ALGORITHM u"SHA256"
#define BCRYPT_RSA_ALGORITHM u"RSA"
#define BCRYPT_RSAPUBLIC_BLOB u"RSAPUBLICBLOB"
#define BCRYPT_OBJECT_LENGTH u"ObjectLength"
#define BCRYPT_RSAPUBLIC_MAGIC 0x31415352u // "RSA1"
#define BCRYPT_PAD_PKCS1 0x00000002u

struct BCRYPT_RSAKEY_BLOB {
    ULONG Magic;
    ULONG BitLength;
    ULONG cbPublicExp; // big-endian exponent follows the header
    ULONG cbModulus;   // big-endian modulus follows the exponent
    ULONG cbPrime1;
    ULONG cbPrime2;
};

struct BCRYPT_PKCS1_PADDING_INFO {
    LPCWSTR pszAlgId; // the digest named in the DigestInfo
};

// Algorithms: SHA256 and RSA, no implementation name, no flags.
NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *phAlgorithm, LPCWSTR pszAlgId, LPCWSTR pszImplementation,
                                     ULONG dwFlags);
NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG dwFlags);
// BCRYPT_OBJECT_LENGTH of a hash provider only (a ULONG).
NTSTATUS BCryptGetProperty(BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput, ULONG cbOutput,
                           ULONG *pcbResult, ULONG dwFlags);

// The hash object buffer may be null (the provider keeps its own state) or at least as long as
// BCRYPT_OBJECT_LENGTH says; no secret.
NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE *phHash, PUCHAR pbHashObject,
                          ULONG cbHashObject, PUCHAR pbSecret, ULONG cbSecret, ULONG dwFlags);
NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags);
NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG dwFlags);
NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash);

// BCRYPT_RSAPUBLIC_BLOB into an RSA provider; STATUS_INVALID_PARAMETER for a blob that is not one.
NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_KEY_HANDLE hImportKey, LPCWSTR pszBlobType,
                             BCRYPT_KEY_HANDLE *phKey, PUCHAR pbInput, ULONG cbInput, ULONG dwFlags);
// BCRYPT_PAD_PKCS1 with a SHA256 padding info; STATUS_INVALID_SIGNATURE when it does not verify,
// a signature not as long as the modulus included.
NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE hKey, void *pPaddingInfo, PUCHAR pbHash, ULONG cbHash,
                               PUCHAR pbSignature, ULONG cbSignature, ULONG dwFlags);
NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE hKey);
