// payload_item_timing prepare FILE KIND | read|unsigned|baseline FILE ROUNDS
// Under Wine, timed by benchmarks/payload_item_wine.sh: "prepare" writes a container whose file
// item 1000 holds 64 MiB (KIND "cabinet": incompressible, "tables": deflates to about a third),
// signed with the test key. "read" reads the file and ReadPayloadItem's that item ROUNDS times
// (inflate, SHA-256 and RSA verification with the system's provider); "baseline" reads the file
// and does only what any reader must, ROUNDS times: inflate the item's data into a buffer of the
// known size and take its SHA-256 with the same provider. "unsigned" reads the item as from a
// container without the signed flag: the reader's inflation alone.
#include "benchmarks/item_content.h"
#include "payload/payload_item.h"
#include "tests/tools/process_tools.h"
#include "writer/container_writer.h"

#include <bcrypt.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using writer::Bytes;

using benchmarks::itemSize;
constexpr DWORD itemId = 1000;

bool ReadWhole(const char *path, Bytes &bytes)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    bytes.resize(GetFileSize(file, nullptr));
    DWORD read = 0;
    BOOL ok = ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    return ok && read == bytes.size();
}

bool ReadItem(Bytes &container, DWORD flags)
{
    PayloadDescriptor descriptor = {container.data(), static_cast<DWORD>(container.size()), nullptr, 0, flags};
    BYTE *data = nullptr;
    DWORD size = 0;
    ErrorValue value = ReadPayloadItem(&descriptor, FileItemGuid, itemId, &data, &size, NULL);
    FreeItemOutput(data);
    return ErrorValueCode(value) == 0 && size == itemSize;
}

bool Sha256(const BYTE *data, ULONG size, BYTE digest[32])
{
    BCRYPT_ALG_HANDLE algorithm;
    BCRYPT_HASH_HANDLE hash;
    if (!BCRYPT_SUCCESS(BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0)))
        return false;
    bool hashed = BCRYPT_SUCCESS(BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0));
    if (hashed) {
        hashed = BCRYPT_SUCCESS(BCryptHashData(hash, const_cast<BYTE *>(data), size, 0)) &&
                 BCRYPT_SUCCESS(BCryptFinishHash(hash, digest, 32, 0));
        BCryptDestroyHash(hash);
    }
    BCryptCloseAlgorithmProvider(algorithm, 0);
    return hashed;
}

// The last item's data field, found from its trailer.
bool InflateAndHash(const Bytes &container)
{
    ItemTrailer trailer;
    std::memcpy(&trailer, container.data() + container.size() - sizeof trailer, sizeof trailer);
    const BYTE *data =
        container.data() + container.size() - sizeof trailer - trailer.signatureLength - trailer.dataLength;
    std::vector<BYTE> output(itemSize);
    z_stream stream{};
    inflateInit(&stream);
    stream.next_in = const_cast<Bytef *>(data);
    stream.avail_in = trailer.dataLength;
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    int status = inflate(&stream, Z_FINISH);
    inflateEnd(&stream);
    BYTE digest[32];
    return status == Z_STREAM_END && Sha256(output.data(), static_cast<ULONG>(output.size()), digest);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr,
                     "usage: payload_item_timing prepare FILE cabinet|tables | read|unsigned|baseline FILE ROUNDS\n");
        return 2;
    }
    std::string mode = argv[1];
    if (mode == "prepare") {
        writer::PrivateKey key = writer::LoadPrivateKey(testtools::WindowsPathOfUnixPath(TEST_KEY_PATH));
        writer::ContainerOptions options;
        options.level = 6;
        Bytes container = writer::WriteContainer(
            {{writer::ItemKind::Head, 0, Bytes{'d'}},
             {writer::ItemKind::File, itemId,
              benchmarks::MakeContent(std::string(argv[3]) == "cabinet" ? benchmarks::Cabinet : benchmarks::Tables)}},
            options, key.get());
        HANDLE file = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD written = 0;
        BOOL ok = file != INVALID_HANDLE_VALUE &&
                  WriteFile(file, container.data(), static_cast<DWORD>(container.size()), &written, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
        return ok && written == container.size() ? 0 : 3;
    }
    Bytes container;
    if (!ReadWhole(argv[2], container) || container.size() < sizeof(ItemTrailer))
        return 3;
    int rounds = std::atoi(argv[3]);
    for (int i = 0; i < rounds; ++i) {
        bool done = mode == "read"       ? ReadItem(container, PayloadFlagCompressed | PayloadFlagSigned)
                    : mode == "unsigned" ? ReadItem(container, PayloadFlagCompressed)
                                         : InflateAndHash(container);
        if (!done)
            return 4;
    }
    return 0;
}
