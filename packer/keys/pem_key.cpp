#include "packer/keys/pem_key.h"

#include "packer/pack_error.h"
#include "packer/keys/payload_key.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <optional>

namespace packer {

namespace {

struct PassphraseRequest {
    std::optional<std::string> passphrase;
    bool asked = false;
};

// OpenSSL asks here for the passphrase of an encrypted key: the one given, never the terminal.
int GivePassphrase(char *buffer, int size, int, void *context)
{
    auto *request = static_cast<PassphraseRequest *>(context);
    request->asked = true;
    if (!request->passphrase || request->passphrase->size() > static_cast<std::size_t>(size))
        return -1;
    std::memcpy(buffer, request->passphrase->data(), request->passphrase->size());
    return static_cast<int>(request->passphrase->size());
}

// The PEM text of the source's file, or of standard input for "-".
std::string ReadKeyText(const KeySource &source)
{
    std::string text;
    if (source.path == "-") {
        text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
        if (std::cin.bad())
            throw ReadError("--key -: standard input could not be read");
    } else {
        Bytes bytes = ReadWholeFile(source.path);
        text.assign(bytes.begin(), bytes.end());
    }
    return text;
}

} // namespace

bool IsPassphraseSource(const std::string &source)
{
    return (source.rfind("env:", 0) == 0 && source.size() > 4) || (source.rfind("file:", 0) == 0 && source.size() > 5);
}

std::string ReadSecret(const std::string &source, const std::string &option)
{
    if (source.rfind("env:", 0) == 0) {
        const char *value = std::getenv(source.c_str() + 4);
        if (value == nullptr)
            throw UnusableKey(option + " " + source + ": " + source.substr(4) + " is not set");
        return value;
    }
    if (source.rfind("file:", 0) == 0) {
        Bytes bytes = ReadWholeFile(source.substr(5));
        std::string line(bytes.begin(), bytes.end());
        line = line.substr(0, line.find('\n'));
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return line;
    }
    throw UnusableKey(option + " " + source + ": give env:VAR or file:PATH");
}

EvpKeyHandle LoadKey(const KeySource &source)
{
    const std::string name = source.Name();
    const std::string text = ReadKeyText(source);

    PassphraseRequest request{source.passphrase.empty() ? std::nullopt : std::optional(ReadSecret(source.passphrase))};
    EvpKeyHandle key;
    {
        BioHandle bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, GivePassphrase, &request));
    }
    if (!key && request.asked) {
        ERR_clear_error();
        if (!request.passphrase)
            throw UnusableKey(name +
                              ": the key is encrypted; give its passphrase with --pass env:VAR or --pass file:PATH");
        throw UnusableKey(name + ": the passphrase does not open the key");
    }
    if (!key) {
        BioHandle bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
        key.reset(PEM_read_bio_PUBKEY(bio.get(), nullptr, GivePassphrase, &request));
    }
    ERR_clear_error();
    if (!key)
        throw ReadError(name + ": not a PEM key");
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        throw UnusableKey(name + ": not an RSA key; the launcher takes a 2048-bit RSA key with exponent 65537 only");
    return key;
}

EvpKeyHandle LoadPublicKeyOnly(const KeySource &source)
{
    const std::string name = source.Name();
    const std::string text = ReadKeyText(source);
    BioHandle bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    // OpenSSL would open an encrypted private key for its public half, and without a callback
    // of ours it asks the terminal for the passphrase.
    PassphraseRequest none;
    EvpKeyHandle key(PEM_read_bio_PUBKEY(bio.get(), nullptr, GivePassphrase, &none));
    ERR_clear_error();
    if (!key && text.find("PRIVATE KEY-----") != std::string::npos)
        throw UnusableKey(name + ": a private key; with --sign-command pack reads no private key: give its public "
                                 "half (NAME.pub.pem), or no --key to take the stub's");
    if (!key)
        throw ReadError(name + ": not a PEM public key");
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        throw UnusableKey(name + ": not an RSA key; the launcher takes a 2048-bit RSA key with exponent 65537 only");
    return key;
}

EvpKeyHandle LoadPrivateKey(const KeySource &source)
{
    EvpKeyHandle key = LoadKey(source);
    // A public key has no private exponent to give.
    BIGNUM *exponent = nullptr;
    bool isPrivate = EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_RSA_D, &exponent) == 1;
    BN_clear_free(exponent);
    ERR_clear_error();
    if (!isPrivate)
        throw UnusableKey(source.Name() + ": a public key; the payload is signed with the private key");
    return key;
}

PemSigner::PemSigner(const KeySource &source) : name_(source.Name()), key_(LoadPrivateKey(source))
{
    PublicKeyBlob(key_.get(), name_);
}

Bytes PemSigner::SignDigest(const Sha256Digest &digest, const std::string &item) const
{
    // With a signature digest set, PKCS #1 v1.5 padding wraps the digest in a DigestInfo whose
    // algorithm carries explicit NULL parameters.
    EvpKeyContextHandle context(EVP_PKEY_CTX_new(key_.get(), nullptr));
    Bytes signature(256);
    std::size_t length = signature.size();
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_sign(context.get(), signature.data(), &length, digest.data(), digest.size()) != 1 ||
        length != signature.size()) {
        ERR_clear_error();
        throw UnusableKey(name_ + ": could not sign " + item);
    }
    return signature;
}

} // namespace packer
