#include "writer/container_writer.h"

#include "payload/payload_format.h"
#include "unicode/utf.h"

#include <openssl/pem.h>
#include <openssl/rsa.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <stdexcept>

namespace writer {

namespace {

struct FileCloser {
    void operator()(std::FILE *file) const { std::fclose(file); }
};

struct ContextDeleter {
    void operator()(EVP_PKEY_CTX *context) const { EVP_PKEY_CTX_free(context); }
};

void AppendU32(Bytes &out, std::uint32_t value)
{
    out.resize(out.size() + 4);
    WriteU32(out.data() + out.size() - 4, value);
}

std::uint32_t Length32(std::size_t length, const char *what)
{
    if (length > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error(std::string(what) + " does not fit in 32 bits");
    return static_cast<std::uint32_t>(length);
}

// Bytes that follow a UTF-8 lead byte; 4 for a byte that cannot lead.
// Strict UTF-8 to UTF-16: malformed, overlong and surrogate sequences are refused.
std::u16string Utf16FromUtf8(const std::string &text)
{
    std::u16string wide;
    if (!unicode::AppendUtf16FromUtf8(wide, text.data(), text.size(), unicode::Utf8Policy::Strict))
        throw std::invalid_argument("directory path is not UTF-8: " + text);
    return wide;
}

} // namespace

PrivateKey LoadPrivateKey(const std::string &pemPath)
{
#ifdef _WIN32
    // The narrow C library would read the path in the ANSI code page.
    std::unique_ptr<std::FILE, FileCloser> file(_wfopen(std::filesystem::u8path(pemPath).c_str(), L"rb"));
#else
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(pemPath.c_str(), "rb"));
#endif
    if (!file)
        throw std::runtime_error("cannot open the signing key " + pemPath);
    // An encrypted key is refused rather than asked for on the terminal.
    auto refusePassphrase = [](char *, int, int, void *) { return -1; };
    PrivateKey key(PEM_read_PrivateKey(file.get(), nullptr, refusePassphrase, nullptr));
    if (!key)
        throw std::runtime_error("no PEM private key in " + pemPath);
    if (EVP_PKEY_get_base_id(key.get()) != EVP_PKEY_RSA)
        throw std::runtime_error("the signing key in " + pemPath + " is not an RSA key");
    return key;
}

Bytes SignOutput(EVP_PKEY *key, const Bytes &output)
{
    if (key == nullptr)
        throw std::invalid_argument("signing needs a private key");
    std::uint8_t digest[32];
    unsigned int digestLength = 0;
    if (EVP_Digest(output.data(), output.size(), digest, &digestLength, EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 failed");
    return SignDigest(key, digest);
}

Bytes SignDigest(EVP_PKEY *key, const std::uint8_t *digest)
{
    if (key == nullptr)
        throw std::invalid_argument("signing needs a private key");
    const std::size_t digestLength = 32;
    // With a signature digest set, PKCS #1 v1.5 padding wraps the digest in a DigestInfo whose
    // algorithm carries explicit NULL parameters.
    std::unique_ptr<EVP_PKEY_CTX, ContextDeleter> context(EVP_PKEY_CTX_new(key, nullptr));
    std::size_t length = 0;
    if (!context || EVP_PKEY_sign_init(context.get()) != 1 ||
        EVP_PKEY_CTX_set_rsa_padding(context.get(), RSA_PKCS1_PADDING) != 1 ||
        EVP_PKEY_CTX_set_signature_md(context.get(), EVP_sha256()) != 1 ||
        EVP_PKEY_sign(context.get(), nullptr, &length, digest, digestLength) != 1)
        throw std::runtime_error("cannot set up RSA signing with the key");
    Bytes signature(length);
    if (EVP_PKEY_sign(context.get(), signature.data(), &length, digest, digestLength) != 1)
        throw std::runtime_error("RSA signing failed");
    signature.resize(length);
    return signature;
}

Bytes CompressZlib(const Bytes &data, int level)
{
    if (level < 0 || level > 9)
        throw std::invalid_argument("zlib level must be 0 to 9");
    z_stream stream{};
    if (deflateInit(&stream, level) != Z_OK)
        throw std::runtime_error("deflateInit failed");
    Bytes out(deflateBound(&stream, static_cast<uLong>(data.size())));
    stream.next_in = const_cast<Bytef *>(data.data());
    // Fed in pieces that fit zlib's 32-bit counters.
    constexpr std::size_t piece = std::size_t{1} << 30;
    std::size_t offered = 0;
    std::size_t written = 0;
    int status;
    do {
        if (stream.avail_in == 0 && offered < data.size()) {
            std::size_t length = std::min(data.size() - offered, piece);
            stream.avail_in = static_cast<uInt>(length);
            offered += length;
        }
        if (written == out.size())
            out.resize(out.size() * 2 + 64);
        std::size_t room = std::min(out.size() - written, piece);
        stream.next_out = out.data() + written;
        stream.avail_out = static_cast<uInt>(room);
        status = deflate(&stream, offered == data.size() ? Z_FINISH : Z_NO_FLUSH);
        written += room - stream.avail_out;
    } while (status == Z_OK);
    deflateEnd(&stream);
    if (status != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
    out.resize(written);
    return out;
}

PreparedItem PrepareItem(const ContainerItem &item, const ContainerOptions &options, EVP_PKEY *key)
{
    if (options.sign && key == nullptr && !options.signOutput)
        throw std::invalid_argument("a signed container needs a private key");
    Length32(item.output.size(), "an item's output");
    PreparedItem prepared{item.kind, item.id, {}, {}};
    prepared.data = !options.compressed ? item.output
                    : options.compress  ? options.compress(item.output)
                                        : CompressZlib(item.output, options.level);
    if (options.sign)
        prepared.signature = options.signOutput ? options.signOutput(item.output) : SignOutput(key, item.output);
    Length32(prepared.data.size(), "an item's data");
    Length32(prepared.signature.size(), "an item's signature");
    return prepared;
}

Bytes ItemTrailerBytes(ItemKind kind, std::uint32_t id, std::size_t signatureLength, std::size_t dataLength)
{
    ItemTrailer trailer{
        {}, id, Length32(signatureLength, "an item's signature"), Length32(dataLength, "an item's data")};
    const std::uint8_t *guid = kind == ItemKind::Head ? HeadItemGuid : FileItemGuid;
    std::copy(guid, guid + ItemKindSize, trailer.kind);
    Bytes bytes(ItemTrailerSize);
    WriteItemTrailer(bytes.data(), trailer);
    return bytes;
}

Bytes AssembleContainer(std::vector<PreparedItem> &&items)
{
    std::size_t total = 0;
    for (const PreparedItem &item : items)
        total += item.data.size() + item.signature.size() + ItemTrailerSize;
    Length32(total, "the container");
    Bytes container;
    container.reserve(total);
    for (PreparedItem &item : items) {
        container.insert(container.end(), item.data.begin(), item.data.end());
        container.insert(container.end(), item.signature.begin(), item.signature.end());
        Bytes trailer = ItemTrailerBytes(item.kind, item.id, item.signature.size(), item.data.size());
        container.insert(container.end(), trailer.begin(), trailer.end());
        item = PreparedItem{};
    }
    return container;
}

Bytes WriteContainer(const std::vector<ContainerItem> &items, const ContainerOptions &options, EVP_PKEY *key)
{
    std::vector<PreparedItem> prepared;
    for (const ContainerItem &item : items)
        prepared.push_back(PrepareItem(item, options, key));
    return AssembleContainer(std::move(prepared));
}

Bytes WriteDirectory(const std::vector<DirectoryEntry> &entries)
{
    Bytes directory;
    for (const DirectoryEntry &entry : entries) {
        std::u16string path = Utf16FromUtf8(entry.path);
        path.push_back(u'\0');

        AppendU32(directory, entry.id);
        AppendU32(directory, Length32(path.size() * 2, "a directory path"));
        for (char16_t unit : path) {
            directory.push_back(static_cast<std::uint8_t>(unit));
            directory.push_back(static_cast<std::uint8_t>(unit >> 8));
        }
    }
    return directory;
}

DirectoryEntry BindingEntry(std::uint32_t id, const std::uint8_t *digest, std::size_t length)
{
    char path[BindingPathMaxLength + 1];
    FormatBindingPath(path, digest, Length32(length, "an item's output"));
    return {id, path};
}

} // namespace writer
