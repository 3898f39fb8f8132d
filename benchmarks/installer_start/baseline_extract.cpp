// baseline_extract INPUT OUTPUT: the least any extraction must do, as a yardstick for the
// launcher: read INPUT (the output length, 4 bytes little-endian, then a zlib stream) in one
// read, inflate it, take its SHA-256 and write the output to OUTPUT in one write.
#include <windows.h>

#include <openssl/sha.h>
#include <zlib.h>

#include <cstdio>
#include <vector>

int main(int argc, char **argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: baseline_extract INPUT OUTPUT\n");
        return 2;
    }
    HANDLE in = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return 3;
    std::vector<unsigned char> input(GetFileSize(in, nullptr));
    DWORD read = 0;
    BOOL ok = ReadFile(in, input.data(), static_cast<DWORD>(input.size()), &read, nullptr);
    CloseHandle(in);
    if (!ok || read != input.size() || input.size() < 4)
        return 4;

    uLongf length = input[0] | input[1] << 8 | input[2] << 16 | static_cast<uLongf>(input[3]) << 24;
    std::vector<unsigned char> output(length);
    if (uncompress(output.data(), &length, input.data() + 4, static_cast<uLong>(input.size() - 4)) != Z_OK ||
        length != output.size())
        return 5;
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(output.data(), output.size(), digest);

    HANDLE out = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return 6;
    DWORD written = 0;
    ok = WriteFile(out, output.data(), static_cast<DWORD>(output.size()), &written, nullptr);
    CloseHandle(out);
    if (!ok || written != output.size())
        return 7;
    for (unsigned char byte : digest)
        std::printf("%02x", byte);
    std::printf("\n");
    return 0;
}
