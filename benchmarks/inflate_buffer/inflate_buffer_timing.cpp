// inflate_buffer_timing prepare FOLDER
//   writes FOLDER\ratio-1.zlib, ratio-4.zlib and ratio-50.zlib: 64 MiB outputs that deflate to
//   about 1:1, 4:1 and 50:1, each file the output length (4 bytes little-endian), then the stream
// inflate_buffer_timing launcher|uncompress|read FILE REPEAT
//   reads FILE, then REPEAT times inflates it with the launcher's InflateBuffer, or with zlib's
//   uncompress into a fresh buffer of the right size, or not at all (the shared fixed cost)
// Timed from outside by benchmarks/inflate_buffer.sh (hyperfine under Wine).
#include <windows.h>

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "payload/inflate.h"

namespace {

using Bytes = std::vector<unsigned char>;
const std::size_t OutputSize = std::size_t{64} << 20;

// Random bytes: a cabinet, which deflate cannot shrink.
Bytes Incompressible()
{
    std::mt19937_64 random(1);
    Bytes out(OutputSize);
    for (std::size_t i = 0; i < out.size(); i += 8) {
        std::uint64_t value = random();
        std::memcpy(&out[i], &value, 8);
    }
    return out;
}

// Words with a random byte between them: database tables, about 4:1.
Bytes TableLike()
{
    static const char *const words[] = {"Component", "File", "Directory", "Registry", "Feature", "x64",
                                        "1033",      "main", "Property",  "Value",    "\r\n",    "{GUID}"};
    std::mt19937_64 random(2);
    Bytes out;
    out.reserve(OutputSize + 16);
    while (out.size() < OutputSize) {
        std::uint64_t value = random();
        for (const char *c = words[value % 12]; *c != '\0'; ++c)
            out.push_back(static_cast<unsigned char>(*c));
        if (value & 0x100)
            out.push_back(static_cast<unsigned char>(value >> 40));
    }
    out.resize(OutputSize);
    return out;
}

// Long runs with a few random bytes: padding and sparse data, about 50:1.
Bytes Sparse()
{
    std::mt19937_64 random(3);
    Bytes out(OutputSize, 0);
    for (std::size_t i = 0; i < out.size(); i += 200)
        out[i] = static_cast<unsigned char>(random());
    return out;
}

bool WriteStream(const std::string &path, const Bytes &output)
{
    uLongf size = compressBound(static_cast<uLong>(output.size()));
    Bytes stream(size);
    if (compress2(stream.data(), &size, output.data(), static_cast<uLong>(output.size()), 6) != Z_OK)
        return false;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (int b = 0; b < 4; b++)
        out.put(static_cast<char>(output.size() >> (8 * b)));
    out.write(reinterpret_cast<const char *>(stream.data()), static_cast<std::streamsize>(size));
    std::printf("%s: %.1f:1\n", path.c_str(), static_cast<double>(output.size()) / size);
    return static_cast<bool>(out.flush());
}

} // namespace

int main(int argc, char **argv)
{
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "prepare" && argc == 3) {
        std::string folder = argv[2];
        bool written = WriteStream(folder + "\\ratio-1.zlib", Incompressible()) &&
                       WriteStream(folder + "\\ratio-4.zlib", TableLike()) &&
                       WriteStream(folder + "\\ratio-50.zlib", Sparse());
        return written ? 0 : 1;
    }
    if ((mode != "launcher" && mode != "uncompress" && mode != "read") || argc != 4) {
        std::fprintf(stderr, "usage: inflate_buffer_timing prepare FOLDER\n"
                             "       inflate_buffer_timing launcher|uncompress|read FILE REPEAT\n");
        return 2;
    }
    std::ifstream in(argv[2], std::ios::binary | std::ios::ate);
    Bytes file(static_cast<std::size_t>(in.tellg()));
    in.seekg(0);
    in.read(reinterpret_cast<char *>(file.data()), static_cast<std::streamsize>(file.size()));
    int repeat = std::atoi(argv[3]);
    if (file.size() < 4)
        return 3;
    uLongf expected = file[0] | file[1] << 8 | file[2] << 16 | static_cast<uLongf>(file[3]) << 24;
    const unsigned char *stream = file.data() + 4;
    DWORD streamSize = static_cast<DWORD>(file.size() - 4);

    for (int i = 0; i < repeat && mode != "read"; i++) {
        if (mode == "launcher") {
            BYTE *output = nullptr;
            DWORD size = 0;
            if (InflateBuffer(&output, &size, stream, streamSize) != 0 || size != expected)
                return 4;
            FreeItemOutput(output);
        } else {
            std::unique_ptr<unsigned char[]> output(new unsigned char[expected]);
            uLongf size = expected;
            if (uncompress(output.get(), &size, stream, streamSize) != Z_OK || size != expected)
                return 4;
        }
    }
    return 0;
}
