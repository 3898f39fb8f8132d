// The payload signing key: making one, and the 276-byte public key blob that the launcher
// carries and verifies with.
#pragma once

#include "packer/byte_io.h"
#include "packer/openssl_handles.h"

#include <optional>
#include <string>
#include <string_view>

namespace packer {

// Writes NAME.pem (the private key, mode 0600) and NAME.pub.pem (the public key, which the
// launcher build takes as LAUNCHER_PUBLIC_KEY). Refuses to replace either file. With a
// passphrase (env:VAR or file:PATH) the private key is PKCS #8, encrypted with AES-256.
void GenerateKeyPair(const std::string &name, const std::string &passphrase, std::string &privatePath,
                     std::string &publicPath);

// The launcher's public key blob for key; throws UnusableKey unless it is a 2048-bit RSA key
// with exponent 65537, the only form the launcher takes.
Bytes PublicKeyBlob(EVP_PKEY *key, const std::string &what);

// An RSA public key from its modulus and exponent; null when OpenSSL refuses them.
EvpKeyHandle RsaPublicKey(const BIGNUM *modulus, const BIGNUM *exponent);

// The RSA public key a blob holds.
EvpKeyHandle KeyFromBlob(const Bytes &blob);

// "SHA256:" and the lowercase hex SHA-256 digest of the key's DER SubjectPublicKeyInfo, as
// `openssl pkey -pubin -outform DER | sha256sum` gives it for the PEM public key.
std::string KeyFingerprint(const Bytes &blob);
constexpr std::string_view FingerprintPrefix = "SHA256:";

// The fingerprint of the TEST-ONLY key that the repository's tests use.
const std::string &TestKeyFingerprint();

// True when image holds the blob's modulus (little-endian, as the launcher keeps it).
bool ImageCarriesModulus(const Bytes &image, const Bytes &blob);

// The first public key blob built into image, if any.
std::optional<Bytes> FindPublicKeyBlob(const Bytes &image);

} // namespace packer
