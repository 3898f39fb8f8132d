// PKCS#11 keys on a host where launcher-pack has no module loader yet (Windows): one clear refusal.
#include "packer/keys/pkcs11_signer.h"

#include "packer/pack_error.h"

namespace packer {

namespace {

[[noreturn]] void Refuse(const Pkcs11Uri &uri)
{
    throw UnusableKey(uri.text + ": PKCS#11 keys are read by the Linux launcher-pack only; on Windows give a PEM "
                                 "key or --sign-command");
}

} // namespace

std::unique_ptr<PayloadSigner> OpenPkcs11Signer(const Pkcs11Uri &uri, const std::string &, const std::string &)
{
    Refuse(uri);
}

EvpKeyHandle ReadPkcs11PublicKey(const Pkcs11Uri &uri, const std::string &, const std::string &)
{
    Refuse(uri);
}

} // namespace packer
