// The payload signing key: making one, and the 276-byte public key blob that the launcher
// carries and verifies with.
#pragma once

#include "packer/byte_io.h"
#include "packer/openssl_handles.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace packer {

// The key files keygen writes for a name given with or without ".pem": NAME.pem (private) and
// NAME.pub.pem (public).
struct KeyPairPaths {
    std::string privateKey;
    std::string publicKey;
};
KeyPairPaths KeyPairPathsFor(const std::string &name);

// Writes the pair: the private key with mode 0600. Refuses (UsageError) to replace either file.
// With a passphrase (env:VAR or file:PATH) the private key is PKCS #8, encrypted with AES-256.
void GenerateKeyPair(const KeyPairPaths &paths, const std::string &passphrase = "");

// The launcher's public key blob for key; throws UnusableKey unless it is a 2048-bit RSA key
// with exponent 65537, the only form the launcher takes.
Bytes PublicKeyBlob(EVP_PKEY *key, const std::string &what);

// An RSA public key from its modulus and exponent; null when OpenSSL refuses them.
EvpKeyHandle RsaPublicKey(const BIGNUM *modulus, const BIGNUM *exponent);

// The RSA public key a blob holds, exponent and modulus read from it as the launcher reads them;
// throws PackError for a blob that breaks the launcher's key blob rule (IsPayloadPublicKeyBlob).
EvpKeyHandle KeyFromBlob(const Bytes &blob);

// "SHA256:" and the lowercase hex SHA-256 digest of the key's DER SubjectPublicKeyInfo, as
// `openssl pkey -pubin -outform DER | sha256sum` gives it for the PEM public key.
std::string KeyFingerprint(const Bytes &blob);
constexpr std::string_view FingerprintPrefix = "SHA256:";

// The fingerprint of the TEST-ONLY key that the repository's tests use.
const std::string &TestKeyFingerprint();

// The launcher's key slot in image: the offset of its blob, found by the marker within the PE
// image proper (not in data appended to it or in the certificate table). Throws PackError (with
// what) when there is no slot, or the marker is there twice or without a whole slot behind it.
std::size_t FindKeySlot(ByteView image, const std::string &what);

// The key in image's slot; nullopt when the slot is empty (a ready stub that no key was set in).
// Throws PackError (with what) for a slot that breaks the launcher's key blob rule, such as an
// exponent other than 65537: the launcher refuses it as a damaged key.
std::optional<Bytes> ReadSlotKey(ByteView image, const std::string &what);

// The remedy for an empty slot, in the words every command uses.
constexpr const char *NoKeySet = "no key set (run launcher-pack stub)";

} // namespace packer
