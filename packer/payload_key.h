// The payload signing key: making one, and the 276-byte public key blob that the launcher
// carries and verifies with.
#pragma once

#include "packer/byte_io.h"
#include "packer/openssl_handles.h"

#include <optional>
#include <string>

namespace packer {

constexpr std::size_t PublicKeyBlobSize = 276;

// Writes NAME.pem (the private key, mode 0600) and NAME.pub.pem (the public key, which the
// launcher build takes as LAUNCHER_PUBLIC_KEY). Refuses to replace either file.
void GenerateKeyPair(const std::string &name, std::string &privatePath, std::string &publicPath);

// A PEM RSA key, private or public. Throws PackError.
EvpKeyHandle LoadKey(const std::string &path);

// The launcher's public key blob for key; throws PackError unless it is a 2048-bit RSA key
// with exponent 65537, the only form the launcher takes.
Bytes PublicKeyBlob(EVP_PKEY *key, const std::string &what);

// True when image holds the blob's modulus (little-endian, as the launcher keeps it).
bool ImageCarriesModulus(const Bytes &image, const Bytes &blob);

// The first public key blob built into image, if any.
std::optional<Bytes> FindPublicKeyBlob(const Bytes &image);

} // namespace packer
