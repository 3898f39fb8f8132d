#include "packer/payload_key.h"

#include "packer/pack_error.h"

#include <openssl/core_names.h>
#include <openssl/pem.h>
#include <openssl/rsa.h>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>

namespace packer {

namespace {

// bType PUBLICKEYBLOB, bVersion 2, reserved, CALG_RSA_KEYX, "RSA1", 2048 bits, exponent 65537.
constexpr std::uint8_t BlobHeader[20] = {0x06, 0x02, 0x00, 0x00, 0x00, 0xA4, 0x00, 0x00, 0x52, 0x53,
                                         0x41, 0x31, 0x00, 0x08, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00};

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// Creates path for writing with the given mode; never replaces an existing file.
FileHandle CreateNewFile(const std::string &path, mode_t mode)
{
    int descriptor = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (descriptor < 0)
        throw PackError(path + ": " + std::strerror(errno) + (errno == EEXIST ? " (not replaced)" : ""));
    FileHandle file(::fdopen(descriptor, "w"));
    if (!file) {
        ::close(descriptor);
        throw PackError(path + ": " + std::strerror(errno));
    }
    return file;
}

void WritePem(const std::string &path, mode_t mode, const std::function<int(std::FILE *)> &write)
{
    FileHandle file = CreateNewFile(path, mode);
    bool written = write(file.get()) == 1;
    written = std::fclose(file.release()) == 0 && written;
    if (!written) {
        ::unlink(path.c_str());
        throw PackError(path + ": could not be written");
    }
}

} // namespace

void GenerateKeyPair(const std::string &name, std::string &privatePath, std::string &publicPath)
{
    privatePath = name + ".pem";
    publicPath = name + ".pub.pem";
    if (::access(publicPath.c_str(), F_OK) == 0)
        throw PackError(publicPath + ": exists (not replaced)");

    EvpKeyHandle key(EVP_RSA_gen(2048));
    if (!key)
        throw PackError("could not generate an RSA key");
    WritePem(privatePath, 0600, [&](std::FILE *file) {
        return PEM_write_PrivateKey(file, key.get(), nullptr, nullptr, 0, nullptr, nullptr);
    });
    try {
        WritePem(publicPath, 0644, [&](std::FILE *file) { return PEM_write_PUBKEY(file, key.get()); });
    } catch (...) {
        ::unlink(privatePath.c_str());
        throw;
    }
}

EvpKeyHandle LoadKey(const std::string &path)
{
    FileHandle file(std::fopen(path.c_str(), "r"));
    if (!file)
        throw PackError(path + ": " + std::strerror(errno));
    EvpKeyHandle key(PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr));
    if (!key) {
        std::rewind(file.get());
        key.reset(PEM_read_PUBKEY(file.get(), nullptr, nullptr, nullptr));
    }
    if (!key)
        throw PackError(path + ": not a PEM RSA key");
    return key;
}

Bytes PublicKeyBlob(EVP_PKEY *key, const std::string &what)
{
    BIGNUM *modulus = nullptr;
    BIGNUM *exponent = nullptr;
    bool isRsa = EVP_PKEY_is_a(key, "RSA") && EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_N, &modulus) == 1 &&
                 EVP_PKEY_get_bn_param(key, OSSL_PKEY_PARAM_RSA_E, &exponent) == 1;
    BignumHandle modulusHandle(modulus);
    BignumHandle exponentHandle(exponent);
    if (!isRsa || BN_num_bits(modulus) != 2048 || !BN_is_word(exponent, 65537))
        throw PackError(what + ": the launcher takes a 2048-bit RSA key with exponent 65537 only");
    Bytes blob(std::begin(BlobHeader), std::end(BlobHeader));
    blob.resize(PublicKeyBlobSize);
    BN_bn2lebinpad(modulus, blob.data() + sizeof BlobHeader, 256);
    return blob;
}

bool ImageCarriesModulus(const Bytes &image, const Bytes &blob)
{
    auto modulusBegin = blob.begin() + sizeof BlobHeader;
    std::boyer_moore_horspool_searcher searcher(modulusBegin, blob.end());
    return std::search(image.begin(), image.end(), searcher) != image.end();
}

std::optional<Bytes> FindPublicKeyBlob(const Bytes &image)
{
    std::boyer_moore_horspool_searcher searcher(std::begin(BlobHeader), std::end(BlobHeader));
    auto found = std::search(image.begin(), image.end(), searcher);
    if (image.end() - found < static_cast<std::ptrdiff_t>(PublicKeyBlobSize))
        return std::nullopt;
    return Bytes(found, found + PublicKeyBlobSize);
}

} // namespace packer
