#include "packer/pe/pe_image.h"

#include "packer/pe/der.h"
#include "packer/pack_error.h"

#include <algorithm>
#include <cstdio>

namespace packer {

namespace {

constexpr std::uint16_t MachineAmd64 = 0x8664;
constexpr std::uint16_t MagicPe32Plus = 0x20B;
constexpr std::uint16_t CertificateTypePkcsSignedData = 2;
constexpr std::uint32_t SecurityDirectoryIndex = 4;

std::string Hex(unsigned value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

} // namespace

PeLayout ReadPeLayout(ByteView image, const std::string &what)
{
    if (image.size() < 64 || image[0] != 'M' || image[1] != 'Z')
        throw PackError(what + ": not a Windows executable (no MZ header)");
    std::uint64_t nt = ReadU32(image, 0x3C);
    if (nt + 24 > image.size() || ReadU32(image, nt) != 0x00004550)
        throw PackError(what + ": not a Windows executable (no PE header)");
    std::uint16_t machine = ReadU16(image, nt + 4);
    std::uint16_t optionalSize = ReadU16(image, nt + 20);
    std::uint64_t optional = nt + 24;
    if (optional + 2 > image.size())
        throw PackError(what + ": truncated PE header");
    std::uint16_t magic = ReadU16(image, optional);
    if (machine != MachineAmd64 || magic != MagicPe32Plus)
        throw PackError(what + ": not an x64 PE32+ image (machine " + Hex(machine) + ", optional header magic " +
                        Hex(magic) + ")");
    std::uint64_t securityEntry = optional + 112 + 8 * SecurityDirectoryIndex;
    if (optionalSize < 112 + 8 * (SecurityDirectoryIndex + 1) || securityEntry + 8 > image.size() ||
        ReadU32(image, optional + 108) <= SecurityDirectoryIndex)
        throw PackError(what + ": truncated PE optional header");

    PeLayout layout{};
    std::uint16_t sectionCount = ReadU16(image, nt + 6);
    std::uint64_t sections = optional + optionalSize;
    if (sections + 40ull * sectionCount > image.size())
        throw PackError(what + ": truncated section table");
    layout.imageEnd = sections + 40ull * sectionCount;
    for (std::uint16_t i = 0; i < sectionCount; ++i) {
        std::uint64_t header = sections + 40ull * i;
        std::uint64_t rawSize = ReadU32(image, header + 16);
        std::uint64_t rawOffset = ReadU32(image, header + 20);
        if (rawSize != 0)
            layout.imageEnd = std::max(layout.imageEnd, rawOffset + rawSize);
    }
    layout.imageEnd = std::min<std::uint64_t>(layout.imageEnd, image.size());
    layout.checksumOffset = static_cast<std::uint32_t>(optional + 64);
    layout.securityEntryOffset = static_cast<std::uint32_t>(securityEntry);
    std::uint32_t tableOffset = ReadU32(image, securityEntry);
    std::uint32_t tableSize = ReadU32(image, securityEntry + 4);
    if (tableSize != 0) {
        if (static_cast<std::uint64_t>(tableOffset) + tableSize > image.size())
            throw PackError(what + ": the certificate table runs past the end of the file");
        layout.tableOffset = tableOffset;
        layout.tableSize = tableSize;
    }
    return layout;
}

bool FindCertificateTableLoosely(ByteView image, CertificateTablePlace &table)
{
    constexpr std::uint64_t securityDirectory = 24 + 112 + 8 * SecurityDirectoryIndex; // from the NT headers
    if (image.size() < 64)
        return false;
    const std::uint64_t nt = ReadU32(image, 0x3C);
    if (nt + securityDirectory + 8 > image.size())
        return false;
    table = {ReadU32(image, nt + securityDirectory), ReadU32(image, nt + securityDirectory + 4)};
    return table.size >= 8 && table.offset + table.size <= image.size();
}

bool FindSignatureEntry(ByteView image, const PeLayout &layout, SignatureEntry &entry, const std::string &what)
{
    if (layout.tableSize == 0)
        return false;
    std::uint32_t length = layout.tableSize >= 8 ? ReadU32(image, layout.tableOffset) : 0;
    if (length < 8 || length > layout.tableSize)
        throw PackError(what + ": damaged certificate table (first entry length " + std::to_string(length) + ")");
    if (ReadU16(image, layout.tableOffset + 6) != CertificateTypePkcsSignedData)
        throw PackError(what + ": the certificate table's first entry is not an Authenticode signature");
    auto object = ReadDerElement(image.data(), layout.tableOffset + 8, layout.tableOffset + length);
    if (!object || object->tag != 0x30)
        throw PackError(what + ": the signature entry does not hold a DER signature object");
    entry.offset = layout.tableOffset;
    entry.length = length;
    entry.objectLength = static_cast<std::uint32_t>(object->headerLength + object->contentLength);
    return true;
}

void PeChecksum::Add(const std::uint8_t *data, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i, ++position_) {
        // The CheckSum field counts as zero, wherever the header put it.
        std::uint32_t byte = position_ - checksumOffset_ < 4 ? 0 : data[i];
        if ((position_ & 1) == 0) {
            low_ = byte;
            continue;
        }
        sum_ += low_ | (byte << 8);
        sum_ = (sum_ & 0xFFFF) + (sum_ >> 16);
        low_ = 0;
    }
}

std::uint32_t PeChecksum::Finish() const
{
    std::uint64_t sum = sum_;
    if ((position_ & 1) != 0) {
        sum += low_;
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<std::uint32_t>(sum + position_);
}

std::uint32_t ComputePeChecksum(const Bytes &image, std::uint32_t checksumOffset)
{
    PeChecksum checksum(checksumOffset);
    checksum.Add(image.data(), image.size());
    return checksum.Finish();
}

} // namespace packer
