#include "packer/keys/payload_key.h"

#include "packer/host/host.h"
#include "packer/keys/pem_key.h"
#include "packer/pack_error.h"
#include "packer/pe/pe_image.h"

#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/err.h>
#include <openssl/param_build.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iostream>
#include <iterator>
#include <memory>

namespace packer {

namespace {

// Writes a new file (never replacing one) with what write puts in a memory BIO.
void WritePem(const std::string &path, bool privateKey, const std::function<int(BIO *)> &write)
{
    BioHandle memory(BIO_new(BIO_s_mem()));
    if (!memory || write(memory.get()) != 1)
        throw PackError(path + ": could not be written");
    char *data = nullptr;
    long size = BIO_get_mem_data(memory.get(), &data);
    host::WritableFile file = host::WritableFile::CreateNew(path, privateKey);
    try {
        file.Write(data, static_cast<std::size_t>(size), path);
        file.Close(path);
    } catch (...) {
        host::RemoveFile(path);
        throw;
    }
}

} // namespace

EvpKeyHandle RsaPublicKey(const BIGNUM *modulus, const BIGNUM *exponent)
{
    std::unique_ptr<OSSL_PARAM_BLD, OpenSslDeleter<OSSL_PARAM_BLD_free>> builder(OSSL_PARAM_BLD_new());
    if (!builder || OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_N, modulus) != 1 ||
        OSSL_PARAM_BLD_push_BN(builder.get(), OSSL_PKEY_PARAM_RSA_E, exponent) != 1)
        return nullptr;
    std::unique_ptr<OSSL_PARAM, OpenSslDeleter<OSSL_PARAM_free>> params(OSSL_PARAM_BLD_to_param(builder.get()));
    EvpKeyContextHandle context(EVP_PKEY_CTX_new_from_name(nullptr, "RSA", nullptr));
    EVP_PKEY *key = nullptr;
    if (!params || !context || EVP_PKEY_fromdata_init(context.get()) != 1 ||
        EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_PUBLIC_KEY, params.get()) != 1)
        return nullptr;
    return EvpKeyHandle(key);
}

EvpKeyHandle KeyFromBlob(const Bytes &blob)
{
    // The key as the launcher takes it: the blob's own exponent and modulus, and only a blob that
    // passes the launcher's rule.
    if (blob.size() != PayloadPublicKeySize || !IsPayloadPublicKeyBlob(blob.data()))
        throw PackError("a public key blob the launcher refuses");
    BignumHandle modulus(BN_lebin2bn(blob.data() + PayloadPublicKeyHeaderSize,
                                     static_cast<int>(blob.size() - PayloadPublicKeyHeaderSize), nullptr));
    BignumHandle exponent(BN_lebin2bn(blob.data() + PayloadPublicKeyHeaderSize - 4, 4, nullptr));
    EvpKeyHandle key;
    if (modulus && exponent)
        key = RsaPublicKey(modulus.get(), exponent.get());
    if (!key)
        throw PackError("could not make a key of a public key blob");
    return key;
}

KeyPairPaths KeyPairPathsFor(const std::string &name)
{
    std::string base = name;
    for (const char *extension : {".pub.pem", ".pem"}) {
        const std::size_t length = std::strlen(extension);
        if (base.size() > length && base.compare(base.size() - length, length, extension) == 0) {
            base.resize(base.size() - length);
            break;
        }
    }
    return {base + ".pem", base + ".pub.pem"};
}

void GenerateKeyPair(const KeyPairPaths &paths, const std::string &passphrase)
{
    for (const std::string *path : {&paths.privateKey, &paths.publicKey})
        if (host::PathExists(*path))
            throw UsageError(*path + ": exists; keygen never replaces a key (choose another --out)");

    // Read first, so that a missing passphrase leaves no files behind.
    const std::string secret = passphrase.empty() ? std::string() : ReadSecret(passphrase);
    if (!passphrase.empty() && secret.empty())
        throw UnusableKey("--pass " + passphrase + ": the passphrase is empty");
    EvpKeyHandle key(EVP_RSA_gen(2048));
    if (!key)
        throw PackError("could not generate an RSA key");
    WritePem(paths.privateKey, true, [&](BIO *bio) {
        if (secret.empty())
            return PEM_write_bio_PrivateKey(bio, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
        return PEM_write_bio_PKCS8PrivateKey(bio, key.get(), EVP_aes_256_cbc(), secret.data(),
                                             static_cast<int>(secret.size()), nullptr, nullptr);
    });
    try {
        WritePem(paths.publicKey, false, [&](BIO *bio) { return PEM_write_bio_PUBKEY(bio, key.get()); });
    } catch (...) {
        host::RemoveFile(paths.privateKey);
        throw;
    }
}

Bytes PublicKeyBlob(EVP_PKEY *key, const std::string &what)
{
    BIGNUM *modulus = nullptr;
    BIGNUM *exponent = nullptr;
    bool isRsa = EVP_PKEY_is_a(key, "RSA") && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &modulus) == 1 &&
                 EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &exponent) == 1;
    BignumHandle modulusHandle(modulus);
    BignumHandle exponentHandle(exponent);
    if (!isRsa || BN_num_bits(modulus) != 2048 || !BN_is_word(exponent, 65537))
        throw UnusableKey(what + ": the launcher takes a 2048-bit RSA key with exponent 65537 only");
    Bytes blob(std::begin(PayloadPublicKeyHeader), std::end(PayloadPublicKeyHeader));
    blob.resize(PayloadPublicKeySize);
    BN_bn2lebinpad(modulus, blob.data() + PayloadPublicKeyHeaderSize, 256);
    if (!IsPayloadPublicKeyBlob(blob.data()))
        throw UnusableKey(what + ": makes a key blob the launcher refuses");
    return blob;
}

std::string KeyFingerprint(const Bytes &blob)
{
    EvpKeyHandle key = KeyFromBlob(blob);
    unsigned char *der = nullptr;
    int length = i2d_PUBKEY(key.get(), &der);
    if (length <= 0)
        throw PackError("could not encode a public key");
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der, static_cast<std::size_t>(length), digest);
    OPENSSL_free(der);
    return std::string(FingerprintPrefix) + LowercaseHex(digest, sizeof digest);
}

const std::string &TestKeyFingerprint()
{
    static const std::string fingerprint = std::string(FingerprintPrefix) + TEST_KEY_FINGERPRINT;
    return fingerprint;
}

std::size_t FindKeySlot(ByteView image, const std::string &what)
{
    const PeLayout layout = ReadPeLayout(image, what);
    const auto end = image.begin() + static_cast<std::ptrdiff_t>(layout.imageEnd);
    std::boyer_moore_horspool_searcher searcher(std::begin(PayloadKeySlotMarker), std::end(PayloadKeySlotMarker));
    auto found = std::search(image.begin(), end, searcher);
    if (found == end)
        throw PackError(what + " has no key slot: use the ready stub (launcher.exe) that comes with launcher-pack, "
                               "or a launcher.exe built from this release");
    std::size_t slot = static_cast<std::size_t>(found - image.begin()) + PayloadKeySlotMarkerSize;
    if (layout.imageEnd - slot < PayloadPublicKeySize || std::search(found + 1, end, searcher) != end)
        throw PackError(what + ": its key slot marker is not followed by one slot");
    return slot;
}

std::optional<Bytes> ReadSlotKey(ByteView image, const std::string &what)
{
    const auto begin = image.begin() + static_cast<std::ptrdiff_t>(FindKeySlot(image, what));
    Bytes blob(begin, begin + PayloadPublicKeySize);
    if (std::all_of(blob.begin(), blob.end(), [](std::uint8_t byte) { return byte == 0; }))
        return std::nullopt;
    if (!IsPayloadPublicKeyBlob(blob.data())) {
        const std::uint32_t exponent = ReadU32(blob, PayloadPublicKeyHeaderSize - 4);
        throw PackError(
            what + ": its key slot is damaged (" +
            (std::equal(blob.begin(), blob.begin() + PayloadPublicKeyHeaderSize - 4, std::begin(PayloadPublicKeyHeader))
                 ? "exponent " + std::to_string(exponent) + ", not 65537"
                 : std::string("not a 2048-bit RSA public key blob")) +
            "): the launcher refuses every payload");
    }
    return blob;
}

} // namespace packer
