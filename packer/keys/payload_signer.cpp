#include "packer/keys/payload_signer.h"

#include "packer/keys/command_signer.h"
#include "packer/keys/pem_key.h"
#include "packer/keys/pkcs11_signer.h"
#include "packer/keys/pkcs11_uri.h"
#include "packer/pack_error.h"
#include "packer/keys/payload_key.h"

#include <openssl/err.h>
#include <openssl/rsa.h>

namespace packer {

namespace {

// The token PIN from the URI's pin-source or from --pass, never both.
std::string ReadPin(const Pkcs11Uri &uri, const std::string &passphrase)
{
    if (uri.pinSource && !passphrase.empty())
        throw UnusableKey(uri.text + ": the PIN is given twice (pin-source and --pass); give it one way");
    if (uri.pinSource)
        return ReadSecret("file:" + *uri.pinSource, "pin-source");
    return passphrase.empty() ? std::string() : ReadSecret(passphrase);
}

} // namespace

bool IsPkcs11Uri(const std::string &key)
{
    return key.rfind("pkcs11:", 0) == 0;
}

bool SignatureMatches(EVP_PKEY *key, const Sha256Digest &digest, const Bytes &signature)
{
    EvpKeyContextHandle context(EVP_PKEY_CTX_new(key, nullptr));
    bool matches =
        context && EVP_PKEY_verify_init(context.get()) == 1 &&
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) == 1 &&
        EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) == 1 &&
        EVP_PKEY_verify(context.get(), signature.data(), signature.size(), digest.data(), digest.size()) == 1;
    ERR_clear_error();
    return matches;
}

std::string KeySource::Name() const
{
    if (IsPkcs11Uri(path))
        return Pkcs11UriForMessages(path);
    return path == "-" ? "standard input" : path;
}

std::vector<std::string> KeySourceFiles(const KeySource &source)
{
    std::vector<std::string> files;
    if (IsPkcs11Uri(source.path)) {
        try {
            Pkcs11Uri uri = ParsePkcs11Uri(source.path);
            if (uri.pinSource)
                files.push_back(*uri.pinSource);
        } catch (const UnusableKey &) {
            // opening the key names the fault
        }
    } else if (source.Given() && source.path != "-") {
        files.push_back(source.path);
    }
    if (source.passphrase.rfind("file:", 0) == 0)
        files.push_back(source.passphrase.substr(5));
    return files;
}

std::unique_ptr<PayloadSigner> OpenSigner(const KeySource &source, unsigned threads,
                                          const std::optional<Bytes> &slotKey)
{
    if (!source.signCommand.empty()) {
        // The command gets no secret of the packer's: not the variable --pass names.
        std::vector<std::string> withheld;
        if (source.passphrase.rfind("env:", 0) == 0)
            withheld.push_back(source.passphrase.substr(4));
        // Only the public half is read: from a public key, a token's public object or the slot.
        if (source.Given())
            return OpenCommandSigner(source.signCommand,
                                     IsPkcs11Uri(source.path) ? OpenPublicKey(source) : LoadPublicKeyOnly(source),
                                     source.Name(), threads, withheld);
        if (!slotKey)
            throw UnusableKey("--sign-command needs the public key: give --key PUB.pem or a stub whose key slot "
                              "holds it");
        return OpenCommandSigner(source.signCommand, KeyFromBlob(*slotKey), "the stub's key", threads, withheld);
    }
    if (IsPkcs11Uri(source.path)) {
        Pkcs11Uri uri = ParsePkcs11Uri(source.path);
        return OpenPkcs11Signer(uri, source.module, ReadPin(uri, source.passphrase));
    }
    return std::make_unique<PemSigner>(source);
}

EvpKeyHandle OpenPublicKey(const KeySource &source)
{
    if (IsPkcs11Uri(source.path)) {
        Pkcs11Uri uri = ParsePkcs11Uri(source.path);
        return ReadPkcs11PublicKey(uri, source.module, ReadPin(uri, source.passphrase));
    }
    EvpKeyHandle key = LoadKey(source);
    PublicKeyBlob(key.get(), source.Name());
    return key;
}

} // namespace packer
