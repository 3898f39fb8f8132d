// baseline_extract INPUT OUTPUT [openssl|system]: the least any extraction must do, as a
// yardstick for the launcher: read INPUT (the output length, 4 bytes little-endian, then a zlib
// stream) in one read, inflate it, take its SHA-256 and write the output to OUTPUT in one write.
// The hash is OpenSSL's (the default) or the system's (CNG), so that the yardstick can hash as
// the launcher does. BASELINE_PROFILE_FILE, when set, names a file that gets the time of each
// phase, one "phase milliseconds" line each (start, from the process's creation to main; read,
// inflate, hash, write), for the benchmark's profile.
#include <windows.h>

#include <bcrypt.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

namespace {

double Milliseconds()
{
    LARGE_INTEGER frequency, now;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

// Milliseconds from the process's creation to now, in the system time that both share.
double SinceProcessCreated()
{
    FILETIME created, exited, kernel, user, now;
    GetSystemTimePreciseAsFileTime(&now);
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    auto value = [](const FILETIME &time) {
        return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    };
    return static_cast<double>(value(now) - value(created)) / 1e4;
}

// Appends each phase's time to the file BASELINE_PROFILE_FILE names, when it is set.
void WritePhaseTimes(double start, const double marks[5])
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("BASELINE_PROFILE_FILE", path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return;
    const char *names[] = {"read", "inflate", "hash", "write"};
    std::string text = "start " + std::to_string(start) + "\n";
    for (int i = 0; i < 4; i++)
        text += std::string(names[i]) + " " + std::to_string(marks[i + 1] - marks[i]) + "\n";
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

bool SystemSha256(const unsigned char *data, std::size_t size, unsigned char digest[32])
{
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool done = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) == 0 &&
                BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) == 0;
    // One call takes at most 4 GiB - 1 bytes; a cabinet here is smaller.
    done = done && BCryptHashData(hash, const_cast<unsigned char *>(data), static_cast<ULONG>(size), 0) == 0 &&
           BCryptFinishHash(hash, digest, 32, 0) == 0;
    if (hash != nullptr)
        BCryptDestroyHash(hash);
    if (algorithm != nullptr)
        BCryptCloseAlgorithmProvider(algorithm, 0);
    return done;
}

} // namespace

int main(int argc, char **argv)
{
    double start = SinceProcessCreated();
    bool system = argc == 4 && std::strcmp(argv[3], "system") == 0;
    if (argc < 3 || argc > 4 || (argc == 4 && !system && std::strcmp(argv[3], "openssl") != 0)) {
        std::fprintf(stderr, "usage: baseline_extract INPUT OUTPUT [openssl|system]\n");
        return 2;
    }
    double marks[5];
    marks[0] = Milliseconds();
    HANDLE in = CreateFileA(argv[1], GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (in == INVALID_HANDLE_VALUE)
        return 3;
    // Buffers that are not zeroed first: they are written whole before they are read.
    DWORD inputSize = GetFileSize(in, nullptr);
    std::unique_ptr<unsigned char[]> input(new unsigned char[inputSize]);
    DWORD read = 0;
    BOOL ok = ReadFile(in, input.get(), inputSize, &read, nullptr);
    CloseHandle(in);
    if (!ok || read != inputSize || inputSize < 4)
        return 4;

    marks[1] = Milliseconds();
    uLongf size = input[0] | input[1] << 8 | input[2] << 16 | static_cast<uLongf>(input[3]) << 24;
    uLongf length = size;
    std::unique_ptr<unsigned char[]> output(new unsigned char[size]);
    if (uncompress(output.get(), &length, input.get() + 4, inputSize - 4) != Z_OK || length != size)
        return 5;
    marks[2] = Milliseconds();
    unsigned char digest[SHA256_DIGEST_LENGTH];
    if (system) {
        if (!SystemSha256(output.get(), size, digest))
            return 8;
    } else {
        SHA256(output.get(), size, digest);
    }

    marks[3] = Milliseconds();
    HANDLE out = CreateFileA(argv[2], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (out == INVALID_HANDLE_VALUE)
        return 6;
    DWORD written = 0;
    ok = WriteFile(out, output.get(), static_cast<DWORD>(size), &written, nullptr);
    CloseHandle(out);
    if (!ok || written != size)
        return 7;
    marks[4] = Milliseconds();
    WritePhaseTimes(start, marks);
    for (unsigned char byte : digest)
        std::printf("%02x", byte);
    std::printf("\n");
    return 0;
}
