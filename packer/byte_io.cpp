#include "packer/byte_io.h"

#include "packer/host/host.h"
#include "packer/pack_error.h"

#include <cstdint>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace packer {

std::string LowercaseHex(const std::uint8_t *bytes, std::size_t length)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

Bytes ReadWholeFile(const std::string &path)
{
    // Through the host's reader, so that a folder, a device or a missing file is named as such.
    std::uint64_t size = 0;
    host::ReadableFile file = host::ReadableFile::Open(path, size);
    if (size > SIZE_MAX / 2)
        throw ReadError(path + ": too large to read");
    Bytes bytes(static_cast<std::size_t>(size));
    std::size_t done = 0;
    while (done < bytes.size()) {
        std::size_t got = file.Read(bytes.data() + done, bytes.size() - done, path);
        if (got == 0)
            throw ReadError(path + ": could not be read (it shrank while read)");
        done += got;
    }
    return bytes;
}

void WriteWholeFile(const std::string &path, const Bytes &bytes)
{
    std::ofstream out(host::NativePath(path), std::ios::binary | std::ios::trunc);
    if (!out)
        throw PackError(path + ": " + std::strerror(errno));
    out.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw PackError(path + ": could not be written");
}

} // namespace packer
