// Writing payload containers (the packer's and the tests' side of the payload format):
// items back to back, head item first, each as data + signature + 28-byte trailer.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace writer {

using Bytes = std::vector<std::uint8_t>;

struct KeyDeleter {
    void operator()(EVP_PKEY *key) const { EVP_PKEY_free(key); }
};
using PrivateKey = std::unique_ptr<EVP_PKEY, KeyDeleter>;

// Reads a PEM RSA private key from pemPath (UTF-8); throws std::runtime_error with a clear
// message on failure.
PrivateKey LoadPrivateKey(const std::string &pemPath);

// RSASSA-PKCS1-v1_5 over SHA-256 of output, DigestInfo with explicit NULL parameters.
Bytes SignOutput(EVP_PKEY *key, const Bytes &output);
// The same signature from the output's SHA-256 digest (32 bytes), for output read in pieces.
Bytes SignDigest(EVP_PKEY *key, const std::uint8_t *digest);

// A zlib stream (RFC 1950) of data at the given level (0 to 9).
Bytes CompressZlib(const Bytes &data, int level);

enum class ItemKind { Head, File };

struct ContainerItem {
    ItemKind kind;
    std::uint32_t id; // 0 for the head item
    Bytes output;     // the bytes the launcher gets back
};

struct ContainerOptions {
    bool compressed = true;
    bool sign = true;
    int level = 9;
    // Makes an item's zlib stream in place of CompressZlib at level (the packer plugs in its own
    // deflate); WriteContainer calls it once per item, in order.
    std::function<Bytes(const Bytes &output)> compress = nullptr;
    // Makes an item's signature in place of SignOutput with the key (the packer's key may be in
    // a token or a key service); called from the thread that prepares the item.
    std::function<Bytes(const Bytes &output)> signOutput = nullptr;
};

// An item as it is stored: its data field (compressed as the options say) and its signature.
struct PreparedItem {
    ItemKind kind;
    std::uint32_t id;
    Bytes data;
    Bytes signature; // empty when unsigned
};

// Prepares one item; items are independent of each other, so they can be prepared on several
// threads at once (each with its own compress function). key may be null when signOutput is set.
PreparedItem PrepareItem(const ContainerItem &item, const ContainerOptions &options, EVP_PKEY *key);

// The 28-byte trailer that follows an item's data and signature.
Bytes ItemTrailerBytes(ItemKind kind, std::uint32_t id, std::size_t signatureLength, std::size_t dataLength);

// The container of the prepared items in the order given, each released once it is copied.
Bytes AssembleContainer(std::vector<PreparedItem> &&items);

// Prepares and assembles the items in the order given (put the head item first). Unsigned
// items carry an empty signature field.
Bytes WriteContainer(const std::vector<ContainerItem> &items, const ContainerOptions &options, EVP_PKEY *key);

// A package directory: records of id, byte length of the path with its NUL, UTF-16LE path.
struct DirectoryEntry {
    std::uint32_t id;
    std::string path; // UTF-8; components separated by backslashes
};
Bytes WriteDirectory(const std::vector<DirectoryEntry> &entries);

// The binding record of file item id, whose output has this SHA-256 digest (32 bytes) and length.
DirectoryEntry BindingEntry(std::uint32_t id, const std::uint8_t *digest, std::size_t length);

} // namespace writer
