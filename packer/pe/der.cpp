#include "packer/pe/der.h"

namespace packer {

std::optional<DerElement> ReadDerElement(const std::uint8_t *data, std::size_t offset, std::size_t limit)
{
    if (offset >= limit || limit - offset < 2)
        return std::nullopt;
    DerElement element{data[offset], offset, 2, 0};
    if ((element.tag & 0x1F) == 0x1F)
        return std::nullopt; // multi-byte tags appear nowhere in a signature object's outer levels
    std::uint8_t first = data[offset + 1];
    if (first < 0x80) {
        element.contentLength = first;
    } else {
        std::size_t count = first & 0x7F;
        if (count == 0 || count > 4 || limit - offset - 2 < count)
            return std::nullopt; // indefinite length, or longer than the file format allows
        for (std::size_t i = 0; i < count; ++i)
            element.contentLength = element.contentLength << 8 | data[offset + 2 + i];
        element.headerLength += count;
    }
    if (element.contentLength > limit - offset - element.headerLength)
        return std::nullopt;
    return element;
}

Bytes DerHeader(std::uint8_t tag, std::size_t contentLength)
{
    Bytes header{tag};
    if (contentLength < 0x80) {
        header.push_back(static_cast<std::uint8_t>(contentLength));
        return header;
    }
    Bytes lengthBytes;
    for (std::size_t rest = contentLength; rest != 0; rest >>= 8)
        lengthBytes.insert(lengthBytes.begin(), static_cast<std::uint8_t>(rest & 0xFF));
    header.push_back(static_cast<std::uint8_t>(0x80 | lengthBytes.size()));
    header.insert(header.end(), lengthBytes.begin(), lengthBytes.end());
    return header;
}

} // namespace packer
