// Just enough DER to walk and re-wrap a signature object without re-encoding what is signed.
#pragma once

#include "packer/byte_io.h"

#include <cstddef>
#include <cstdint>
#include <optional>

namespace packer {

struct DerElement {
    std::uint8_t tag;
    std::size_t offset;        // of the tag byte
    std::size_t headerLength;  // tag and length bytes
    std::size_t contentLength; // definite lengths only

    std::size_t ContentOffset() const { return offset + headerLength; }
    std::size_t End() const { return offset + headerLength + contentLength; }
};

// The element at offset, when a definite-length element with a one-byte tag starts there
// and ends at or before limit.
std::optional<DerElement> ReadDerElement(const std::uint8_t *data, std::size_t offset, std::size_t limit);

// The identifier octets and the definite length for a content of contentLength bytes.
Bytes DerHeader(std::uint8_t tag, std::size_t contentLength);

} // namespace packer
