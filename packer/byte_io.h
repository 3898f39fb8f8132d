// Little-endian fields and whole files.
#pragma once

#include "payload/payload_format.h"
#include "writer/container_writer.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace packer {

using writer::Bytes;

// The format's little-endian fields at an offset into bytes (unchecked: callers check it).
inline std::uint16_t ReadU16(const Bytes &bytes, std::size_t offset)
{
    return ::ReadU16(bytes.data() + offset);
}

inline std::uint32_t ReadU32(const Bytes &bytes, std::size_t offset)
{
    return ::ReadU32(bytes.data() + offset);
}

inline void WriteU32(Bytes &bytes, std::size_t offset, std::uint32_t value)
{
    ::WriteU32(bytes.data() + offset, value);
}

// The bytes as lowercase hex digits, two for each.
std::string LowercaseHex(const std::uint8_t *bytes, std::size_t length);

// The whole file; throws PackError naming the path and the system's reason.
Bytes ReadWholeFile(const std::string &path);

// Writes bytes to path, replacing it; throws PackError.
void WriteWholeFile(const std::string &path, const Bytes &bytes);

} // namespace packer
