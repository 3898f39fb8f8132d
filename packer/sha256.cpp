#include "packer/sha256.h"

#include "packer/pack_error.h"

#include <openssl/evp.h>
#include <openssl/sha.h>

namespace packer {

Sha256Digest Sha256Of(const std::uint8_t *data, std::size_t length)
{
    Sha256Digest digest;
    SHA256(data, length, digest.data());
    return digest;
}

struct Sha256Hasher::Context {
    EVP_MD_CTX *md;
};

Sha256Hasher::Sha256Hasher() : context_(new Context{EVP_MD_CTX_new()})
{
    if (context_->md == nullptr || EVP_DigestInit_ex(context_->md, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context_->md);
        delete context_;
        throw PackError("cannot start a SHA-256 digest");
    }
}

Sha256Hasher::~Sha256Hasher()
{
    EVP_MD_CTX_free(context_->md);
    delete context_;
}

void Sha256Hasher::Add(const std::uint8_t *data, std::size_t length)
{
    if (EVP_DigestUpdate(context_->md, data, length) != 1)
        throw PackError("cannot compute a SHA-256 digest");
}

Sha256Digest Sha256Hasher::Finish()
{
    Sha256Digest digest;
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_->md, digest.data(), &size) != 1)
        throw PackError("cannot compute a SHA-256 digest");
    return digest;
}

} // namespace packer
