// Little-endian fields and whole files.
#pragma once

#include "payload/payload_format.h"
#include "writer/container_writer.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace packer {

using writer::Bytes;

class FileImage;

// Bytes read where they lie: those of a Bytes, or a file image of which only some ranges are in
// memory (FileImage), whose other bytes ForEachPiece reads from the file.
class ByteView {
  public:
    ByteView(const Bytes &bytes) : data_(bytes.data()), size_(bytes.size()) {}
    ByteView(const std::uint8_t *data, std::size_t size, const FileImage *file = nullptr)
        : data_(data), size_(size), file_(file)
    {
    }

    const std::uint8_t *data() const { return data_; }
    std::size_t size() const { return size_; }
    const std::uint8_t *begin() const { return data_; }
    const std::uint8_t *end() const { return data_ + size_; }
    const std::uint8_t &operator[](std::size_t at) const { return data_[at]; }
    // The file image these bytes come from, when not all of them are in memory.
    const FileImage *File() const { return file_; }

    // Offers the bytes from begin to end in order, in one or more pieces.
    void ForEachPiece(std::uint64_t begin, std::uint64_t end,
                      const std::function<void(const std::uint8_t *, std::size_t)> &take) const;

  private:
    const std::uint8_t *data_;
    std::size_t size_;
    const FileImage *file_ = nullptr;
};

// The format's little-endian fields at an offset into bytes (unchecked: callers check it).
inline std::uint16_t ReadU16(ByteView bytes, std::size_t offset)
{
    return ::ReadU16(bytes.data() + offset);
}

inline std::uint32_t ReadU32(ByteView bytes, std::size_t offset)
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
