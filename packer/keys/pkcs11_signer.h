// Keys in a PKCS#11 token. The module is loaded and called directly; the token gets only the
// DigestInfo of a digest made here, and the private key never leaves it.
#pragma once

#include "packer/keys/payload_signer.h"
#include "packer/keys/pkcs11_uri.h"

#include <memory>
#include <string>

namespace packer {

// Where the module comes from: the URI's module-path or module-name, else module (from
// --pkcs11-module), else p11-kit's library, which reaches every module registered with it.
// pin is empty when none was given; a token that needs one is then refused.
std::unique_ptr<PayloadSigner> OpenPkcs11Signer(const Pkcs11Uri &uri, const std::string &module,
                                                const std::string &pin);

// The public-key object the URI names, read without the private key.
EvpKeyHandle ReadPkcs11PublicKey(const Pkcs11Uri &uri, const std::string &module, const std::string &pin);

} // namespace packer
