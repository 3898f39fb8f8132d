// The system's cryptographic provider calls of the payload verifier, on OpenSSL: the same
// statuses for the same inputs, so that sanitizer runs and fuzzing take the verifier's own road.
#include <bcrypt.h>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>

#include <cstring>
#include <new>
#include <string_view>

namespace {

enum class Algorithm { Sha256, Rsa };

struct AlgorithmHandle {
    Algorithm algorithm;
};

struct HashHandle {
    EVP_MD_CTX *context;
};

struct KeyHandle {
    EVP_PKEY *key;
    ULONG modulusSize;
};

constexpr ULONG Sha256Size = 32;
// What the provider asks callers to set aside for a SHA-256 hash object.
constexpr ULONG HashObjectSize = 0x140;

bool Names(LPCWSTR text, std::u16string_view name)
{
    return text != nullptr && std::u16string_view(text) == name;
}

std::uint32_t ReadU32(const UCHAR *bytes)
{
    return bytes[0] | (bytes[1] << 8) | (bytes[2] << 16) | (static_cast<std::uint32_t>(bytes[3]) << 24);
}

// An RSA public key from big-endian exponent and modulus; null when they make none.
EVP_PKEY *RsaPublicKey(const UCHAR *exponent, ULONG exponentSize, const UCHAR *modulus, ULONG modulusSize)
{
    BIGNUM *n = BN_bin2bn(modulus, static_cast<int>(modulusSize), nullptr);
    BIGNUM *e = BN_bin2bn(exponent, static_cast<int>(exponentSize), nullptr);
    OSSL_PARAM_BLD *builder = OSSL_PARAM_BLD_new();
    OSSL_PARAM *params = nullptr;
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr);
    EVP_PKEY *key = nullptr;
    if (n != nullptr && e != nullptr && builder != nullptr && context != nullptr && !BN_is_zero(n) && !BN_is_zero(e) &&
        OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_N, n) == 1 &&
        OSSL_PARAM_BLD_push_BN(builder, OSSL_PKEY_PARAM_RSA_E, e) == 1 &&
        (params = OSSL_PARAM_BLD_to_param(builder)) != nullptr && EVP_PKEY_fromdata_init(context) == 1)
        EVP_PKEY_fromdata(context, &key, EVP_PKEY_PUBLIC_KEY, params);
    EVP_PKEY_CTX_free(context);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(builder);
    BN_free(e);
    BN_free(n);
    return key;
}

} // namespace

NTSTATUS BCryptOpenAlgorithmProvider(BCRYPT_ALG_HANDLE *phAlgorithm, LPCWSTR pszAlgId, LPCWSTR pszImplementation,
                                     ULONG dwFlags)
{
    if (phAlgorithm == nullptr || pszImplementation != nullptr || dwFlags != 0)
        return STATUS_INVALID_PARAMETER;
    Algorithm algorithm;
    if (Names(pszAlgId, BCRYPT_SHA256_ALGORITHM))
        algorithm = Algorithm::Sha256;
    else if (Names(pszAlgId, BCRYPT_RSA_ALGORITHM))
        algorithm = Algorithm::Rsa;
    else
        return STATUS_NOT_FOUND;
    auto *handle = new (std::nothrow) AlgorithmHandle{algorithm};
    if (handle == nullptr)
        return STATUS_NO_MEMORY;
    *phAlgorithm = handle;
    return 0;
}

NTSTATUS BCryptCloseAlgorithmProvider(BCRYPT_ALG_HANDLE hAlgorithm, ULONG)
{
    if (hAlgorithm == nullptr)
        return STATUS_INVALID_HANDLE;
    delete static_cast<AlgorithmHandle *>(hAlgorithm);
    return 0;
}

NTSTATUS BCryptGetProperty(BCRYPT_HANDLE hObject, LPCWSTR pszProperty, PUCHAR pbOutput, ULONG cbOutput,
                           ULONG *pcbResult, ULONG)
{
    auto *handle = static_cast<AlgorithmHandle *>(hObject);
    if (handle == nullptr || pcbResult == nullptr)
        return STATUS_INVALID_HANDLE;
    if (handle->algorithm != Algorithm::Sha256 || !Names(pszProperty, BCRYPT_OBJECT_LENGTH))
        return STATUS_NOT_SUPPORTED;
    *pcbResult = sizeof(ULONG);
    if (pbOutput == nullptr)
        return 0;
    if (cbOutput < sizeof(ULONG))
        return STATUS_BUFFER_TOO_SMALL;
    std::memcpy(pbOutput, &HashObjectSize, sizeof HashObjectSize);
    return 0;
}

NTSTATUS BCryptCreateHash(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_HASH_HANDLE *phHash, PUCHAR pbHashObject,
                          ULONG cbHashObject, PUCHAR pbSecret, ULONG cbSecret, ULONG dwFlags)
{
    auto *algorithm = static_cast<AlgorithmHandle *>(hAlgorithm);
    if (algorithm == nullptr || algorithm->algorithm != Algorithm::Sha256)
        return STATUS_INVALID_HANDLE;
    if (phHash == nullptr || (pbHashObject != nullptr && cbHashObject < HashObjectSize) || pbSecret != nullptr ||
        cbSecret != 0 || dwFlags != 0)
        return STATUS_INVALID_PARAMETER;
    auto *hash = new (std::nothrow) HashHandle{EVP_MD_CTX_new()};
    if (hash == nullptr || hash->context == nullptr || EVP_DigestInit_ex(hash->context, EVP_sha256(), nullptr) != 1) {
        if (hash != nullptr)
            EVP_MD_CTX_free(hash->context);
        delete hash;
        return STATUS_NO_MEMORY;
    }
    *phHash = hash;
    return 0;
}

NTSTATUS BCryptHashData(BCRYPT_HASH_HANDLE hHash, PUCHAR pbInput, ULONG cbInput, ULONG)
{
    auto *hash = static_cast<HashHandle *>(hHash);
    if (hash == nullptr)
        return STATUS_INVALID_HANDLE;
    if (pbInput == nullptr && cbInput != 0)
        return STATUS_INVALID_PARAMETER;
    if (cbInput != 0 && EVP_DigestUpdate(hash->context, pbInput, cbInput) != 1)
        return STATUS_INVALID_PARAMETER;
    return 0;
}

NTSTATUS BCryptFinishHash(BCRYPT_HASH_HANDLE hHash, PUCHAR pbOutput, ULONG cbOutput, ULONG)
{
    auto *hash = static_cast<HashHandle *>(hHash);
    if (hash == nullptr)
        return STATUS_INVALID_HANDLE;
    if (pbOutput == nullptr || cbOutput != Sha256Size)
        return STATUS_INVALID_PARAMETER;
    if (EVP_DigestFinal_ex(hash->context, pbOutput, nullptr) != 1)
        return STATUS_INVALID_PARAMETER;
    return 0;
}

NTSTATUS BCryptDestroyHash(BCRYPT_HASH_HANDLE hHash)
{
    auto *hash = static_cast<HashHandle *>(hHash);
    if (hash == nullptr)
        return STATUS_INVALID_HANDLE;
    EVP_MD_CTX_free(hash->context);
    delete hash;
    return 0;
}

NTSTATUS BCryptImportKeyPair(BCRYPT_ALG_HANDLE hAlgorithm, BCRYPT_KEY_HANDLE hImportKey, LPCWSTR pszBlobType,
                             BCRYPT_KEY_HANDLE *phKey, PUCHAR pbInput, ULONG cbInput, ULONG)
{
    auto *algorithm = static_cast<AlgorithmHandle *>(hAlgorithm);
    if (algorithm == nullptr || algorithm->algorithm != Algorithm::Rsa)
        return STATUS_INVALID_HANDLE;
    if (hImportKey != nullptr || !Names(pszBlobType, BCRYPT_RSAPUBLIC_BLOB) || phKey == nullptr || pbInput == nullptr ||
        cbInput < sizeof(BCRYPT_RSAKEY_BLOB))
        return STATUS_INVALID_PARAMETER;
    ULONG magic = ReadU32(pbInput);
    ULONG bitLength = ReadU32(pbInput + 4);
    ULONG exponentSize = ReadU32(pbInput + 8);
    ULONG modulusSize = ReadU32(pbInput + 12);
    if (magic != BCRYPT_RSAPUBLIC_MAGIC || exponentSize == 0 || exponentSize > 8 || modulusSize == 0 ||
        modulusSize > 2048 || bitLength == 0 || (bitLength + 7) / 8 != modulusSize ||
        cbInput - sizeof(BCRYPT_RSAKEY_BLOB) < exponentSize + modulusSize)
        return STATUS_INVALID_PARAMETER;
    const UCHAR *exponent = pbInput + sizeof(BCRYPT_RSAKEY_BLOB);
    EVP_PKEY *key = RsaPublicKey(exponent, exponentSize, exponent + exponentSize, modulusSize);
    if (key == nullptr)
        return STATUS_INVALID_PARAMETER;
    auto *handle = new (std::nothrow) KeyHandle{key, modulusSize};
    if (handle == nullptr) {
        EVP_PKEY_free(key);
        return STATUS_NO_MEMORY;
    }
    *phKey = handle;
    return 0;
}

NTSTATUS BCryptVerifySignature(BCRYPT_KEY_HANDLE hKey, void *pPaddingInfo, PUCHAR pbHash, ULONG cbHash,
                               PUCHAR pbSignature, ULONG cbSignature, ULONG dwFlags)
{
    auto *key = static_cast<KeyHandle *>(hKey);
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    auto *padding = static_cast<BCRYPT_PKCS1_PADDING_INFO *>(pPaddingInfo);
    if (dwFlags != BCRYPT_PAD_PKCS1 || padding == nullptr || !Names(padding->pszAlgId, BCRYPT_SHA256_ALGORITHM) ||
        pbHash == nullptr || cbHash != Sha256Size)
        return STATUS_INVALID_PARAMETER;
    if (pbSignature == nullptr || cbSignature != key->modulusSize)
        return STATUS_INVALID_SIGNATURE;
    EVP_PKEY_CTX *context = EVP_PKEY_CTX_new(key->key, nullptr);
    bool verified = context != nullptr && EVP_PKEY_verify_init(context) == 1 &&
                    EVP_PKEY_CTX_set_rsa_padding(context, RSA_PKCS1_PADDING) == 1 &&
                    EVP_PKEY_CTX_set_signature_md(context, EVP_sha256()) == 1 &&
                    EVP_PKEY_verify(context, pbSignature, cbSignature, pbHash, cbHash) == 1;
    EVP_PKEY_CTX_free(context);
    return verified ? 0 : STATUS_INVALID_SIGNATURE;
}

NTSTATUS BCryptDestroyKey(BCRYPT_KEY_HANDLE hKey)
{
    auto *key = static_cast<KeyHandle *>(hKey);
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    EVP_PKEY_free(key->key);
    delete key;
    return 0;
}
