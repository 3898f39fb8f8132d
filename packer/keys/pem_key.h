// Keys in PEM files, and the passphrases and PINs given with --pass.
#pragma once

#include "packer/keys/payload_signer.h"

#include <string>

namespace packer {

// A PEM RSA key, private or public, from the source's file or, for path "-", from standard
// input, opened with its passphrase. There is never a prompt: an encrypted key without a
// passphrase is refused. Throws ReadError for anything that gives no usable key.
EvpKeyHandle LoadKey(const KeySource &source);

// A PEM public key only, never a private one: with a signer command the packer reads no private
// key. Throws UnusableKey for a private key (name its public half instead), and as LoadKey.
EvpKeyHandle LoadPublicKeyOnly(const KeySource &source);

// As LoadKey, but only a private RSA key will do.
EvpKeyHandle LoadPrivateKey(const KeySource &source);

// True for the forms --pass takes: env:VAR and file:PATH.
bool IsPassphraseSource(const std::string &source);

// The secret that source names: env:VAR is the variable's value, file:PATH the file's first
// line. option names the option in an error line.
std::string ReadSecret(const std::string &source, const std::string &option = "--pass");

// Signs with a private key held in memory.
class PemSigner : public PayloadSigner {
  public:
    // Throws as LoadPrivateKey, and UnusableKey for a key the launcher can't take.
    explicit PemSigner(const KeySource &source);
    Bytes SignDigest(const Sha256Digest &digest, const std::string &item) const override;
    EVP_PKEY *PublicKey() const override { return key_.get(); }
    const std::string &Name() const override { return name_; }

  private:
    std::string name_;
    EvpKeyHandle key_;
};

} // namespace packer
