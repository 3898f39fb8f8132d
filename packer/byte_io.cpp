#include "packer/byte_io.h"

#include "packer/host/host.h"
#include "packer/pack_error.h"

#include <cerrno>
#include <cstring>
#include <fstream>

namespace packer {

Bytes ReadWholeFile(const std::string &path)
{
    std::ifstream in(host::NativePath(path), std::ios::binary);
    if (!in)
        throw ReadError(path + ": " + std::strerror(errno));
    in.seekg(0, std::ios::end);
    std::streamoff size = in.tellg();
    in.seekg(0, std::ios::beg);
    Bytes bytes(static_cast<std::size_t>(size < 0 ? 0 : size));
    if (size < 0 || !in.read(reinterpret_cast<char *>(bytes.data()), size))
        throw ReadError(path + ": could not be read");
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
