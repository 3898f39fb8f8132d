// Helpers for the payload tests: the test signing key, deterministic contents, and reading an
// item out of a container built in memory.
#pragma once

#include "launcher/launcher_state.h"
#include "payload/locator.h"
#include "payload/payload_item.h"
#include "writer/container_writer.h"

#include <openssl/sha.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

namespace fixtures {

using writer::Bytes;

// The marked test key that the test builds verify with.
inline EVP_PKEY *TestKey()
{
    static writer::PrivateKey key =
        writer::LoadPrivateKey(std::string(TEST_SOURCE_DIR) + "/tests/keys/TEST-ONLY-payload-signing-key.pem");
    return key.get();
}

// What a key slot whose exponent is 1 takes as the signature of output: the PKCS #1 v1.5
// encoding of its SHA-256 digest itself, which anyone can write without any private key.
inline Bytes ExponentOneSignature(const Bytes &output)
{
    static const std::uint8_t digestInfo[] = {0x30, 0x31, 0x30, 0x0d, 0x06, 0x09, 0x60, 0x86, 0x48, 0x01,
                                              0x65, 0x03, 0x04, 0x02, 0x01, 0x05, 0x00, 0x04, 0x20};
    Bytes signature(256, 0xFF);
    signature[0] = 0x00;
    signature[1] = 0x01;
    const std::size_t tail = sizeof digestInfo + SHA256_DIGEST_LENGTH;
    signature[256 - tail - 1] = 0x00;
    std::copy(std::begin(digestInfo), std::end(digestInfo), signature.end() - static_cast<std::ptrdiff_t>(tail));
    SHA256(output.data(), output.size(), signature.data() + 256 - SHA256_DIGEST_LENGTH);
    return signature;
}

// Text-like bytes that compress about as well as a package does.
inline Bytes Pattern(std::size_t size, std::uint32_t seed)
{
    static const char *const words[] = {"Installer ", "cabinet ",  "x64 ", "1033 ",  "\\",  "{8F2A-}",
                                        "Product ",   "main.msi ", "\r\n", "table ", "row "};
    Bytes out;
    out.reserve(size + 16);
    std::uint32_t state = seed;
    while (out.size() < size) {
        state = state * 1664525u + 1013904223u;
        const char *word = words[(state >> 16) % (sizeof words / sizeof words[0])];
        for (const char *c = word; *c != '\0'; ++c)
            out.push_back(static_cast<std::uint8_t>(*c));
        out.push_back(static_cast<std::uint8_t>(state >> 24));
    }
    out.resize(size);
    return out;
}

// A trailer of one's own choosing, for containers that the writer would not produce.
inline Bytes Trailer(const BYTE kind[16], std::uint32_t id, std::uint32_t signatureLength, std::uint32_t dataLength)
{
    Bytes out(kind, kind + 16);
    for (std::uint32_t value : {id, signatureLength, dataLength})
        for (int shift = 0; shift < 32; shift += 8)
            out.push_back(static_cast<std::uint8_t>(value >> shift));
    return out;
}

inline Bytes Join(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

struct ItemResult {
    DWORD code;
    DWORD line;
    bool handedOver; // outData and outSize were not left null and 0
    Bytes output;
    Bytes digest; // the digest handed out with the output
};

inline Bytes Sha256Bytes(const Bytes &data)
{
    Bytes digest(SHA256_DIGEST_LENGTH);
    SHA256(data.data(), data.size(), digest.data());
    return digest;
}

// ReadPayloadItem on a copy of container; takes the output over and frees it.
inline ItemResult ReadItem(const Bytes &container, DWORD flags, const BYTE kind[16], DWORD id)
{
    Bytes image = container;
    PayloadDescriptor descriptor = {image.data(), static_cast<DWORD>(image.size()), nullptr, 0, flags};
    BYTE *data = reinterpret_cast<BYTE *>(&descriptor); // any non-null value: a failure must reset it
    DWORD size = 0xDEADu;
    BYTE digest[Sha256Size];
    std::fill(std::begin(digest), std::end(digest), 0xA5);
    ErrorValue value = ReadPayloadItem(&descriptor, kind, id, &data, &size, digest);
    ItemResult result{ErrorValueCode(value), ErrorValueLine(value), data != nullptr || size != 0, {}, {}};
    if (result.code == 0 && data != nullptr) {
        result.output.assign(data, data + size);
        result.digest.assign(std::begin(digest), std::end(digest));
        FreeItemOutput(data);
    }
    return result;
}

// The launcher's lookup over a copy of image in a block of its own, as the launcher reads its own
// file: a container found in it keeps the block.
inline ErrorValue LocateInCopy(LauncherState *state, const Bytes &image, DWORD *placement = nullptr)
{
    BYTE *block = static_cast<BYTE *>(LocalAlloc(LMEM_FIXED, image.empty() ? 1 : image.size()));
    if (block == nullptr)
        return MakeFixedErrorValue(ERROR_NOT_ENOUGH_MEMORY, 0);
    if (!image.empty())
        std::memcpy(block, image.data(), image.size());
    DWORD found = PayloadNotFound;
    ErrorValue value = LocatePayloadInBlock(state, block, static_cast<DWORD>(image.size()), &found);
    if (placement != nullptr)
        *placement = found;
    return value;
}

} // namespace fixtures
