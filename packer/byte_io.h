// Little-endian fields and whole files.
#pragma once

#include "writer/container_writer.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace packer {

using writer::Bytes;

inline std::uint16_t ReadU16(const Bytes &bytes, std::size_t offset)
{
    return static_cast<std::uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

inline std::uint32_t ReadU32(const Bytes &bytes, std::size_t offset)
{
    return static_cast<std::uint32_t>(bytes[offset]) | static_cast<std::uint32_t>(bytes[offset + 1]) << 8 |
           static_cast<std::uint32_t>(bytes[offset + 2]) << 16 | static_cast<std::uint32_t>(bytes[offset + 3]) << 24;
}

inline void WriteU32(Bytes &bytes, std::size_t offset, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The whole file; throws PackError naming the path and the system's reason.
Bytes ReadWholeFile(const std::string &path);

// Writes bytes to path, replacing it; throws PackError.
void WriteWholeFile(const std::string &path, const Bytes &bytes);

} // namespace packer
