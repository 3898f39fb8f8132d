// Where the payload's private key lives: a PEM file, a PKCS#11 token or a key service reached
// through a command. Each signs a SHA-256 digest and gives the public half; the commands that
// sign do not know which one they have.
#pragma once

#include "packer/byte_io.h"
#include "packer/openssl_handles.h"
#include "packer/sha256.h"

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace packer {

class PayloadSigner {
  public:
    virtual ~PayloadSigner() = default;

    // The RSASSA-PKCS1-v1_5 signature (256 bytes) of a SHA-256 digest. Safe to call from several
    // threads at once; item names the item in an error line. Throws UnusableKey when the key,
    // token or command fails.
    virtual Bytes SignDigest(const Sha256Digest &digest, const std::string &item) const = 0;

    // The public half: always a 2048-bit RSA key with exponent 65537.
    virtual EVP_PKEY *PublicKey() const = 0;

    // How the key is named in messages (a path, a URI without its secrets, a command).
    virtual const std::string &Name() const = 0;
};

// Where a key comes from: --key and the options beside it. Every command reads its key through
// OpenSigner or OpenPublicKey, so there is one place that knows the sources.
struct KeySource {
    KeySource(std::string path = "", std::string passphrase = "")
        : path(std::move(path)), passphrase(std::move(passphrase))
    {
    }
    std::string path;        // a PEM file, "-" for standard input, or a pkcs11: URI
    std::string passphrase;  // --pass: env:VAR or file:PATH, a PEM passphrase or a token PIN
    std::string module;      // --pkcs11-module
    std::string signCommand; // --sign-command; path then names the public half, if anything

    // For messages: a URI without its query, which may hold a PIN that is refused.
    std::string Name() const;
    bool Given() const { return !path.empty(); }
};

// The files a key source reads, for the check that no output replaces them.
std::vector<std::string> KeySourceFiles(const KeySource &source);

// The signer the source names, for at most threads signatures at once. With a sign command and
// no path, slotKey (the public key blob of the stub's key slot) is the public half. Refuses a
// key that is not 2048-bit RSA with exponent 65537 before any signing. Throws ReadError (an
// UnusableKey for a key, token or command that can't be used).
std::unique_ptr<PayloadSigner> OpenSigner(const KeySource &source, unsigned threads,
                                          const std::optional<Bytes> &slotKey = {});

// The public key that the source names: a PEM file (private or public half) or a token's
// public-key object. Throws as OpenSigner.
EvpKeyHandle OpenPublicKey(const KeySource &source);

// True when key is a pkcs11: URI rather than a path.
bool IsPkcs11Uri(const std::string &key);

// True when signature is key's RSASSA-PKCS1-v1_5 signature of digest.
bool SignatureMatches(EVP_PKEY *key, const Sha256Digest &digest, const Bytes &signature);

} // namespace packer
