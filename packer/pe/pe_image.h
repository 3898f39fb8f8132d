// The parts of a PE32+ image that packing touches: the checksum and the attribute
// certificate table behind the security directory.
#pragma once

#include "packer/byte_io.h"
#include "payload/payload_format.h"

#include <cstdint>

namespace packer {

struct PeLayout {
    std::uint32_t checksumOffset;      // file offset of the optional header's CheckSum
    std::uint32_t securityEntryOffset; // file offset of the security data directory (VirtualAddress, Size)
    std::uint32_t tableOffset;         // certificate table; 0 with tableSize 0 when there is none
    std::uint32_t tableSize;
    std::uint64_t imageEnd; // end of the headers and the sections' raw data: what the loader maps
};

// Reads the layout of an x64 PE32+ image; throws PackError (prefixed with what) for anything
// else or for a certificate table outside the file.
PeLayout ReadPeLayout(ByteView image, const std::string &what);

// The certificate table that the security directory names, checked only to hold an entry header
// and to lie within the file, whatever else the headers say: the launcher's lookup asks no more
// (it ignores NumberOfRvaAndSizes, for one), so that what it may read of a table lies in this
// one. Reads the NT headers pointer and the security directory only; false for none.
struct CertificateTablePlace {
    std::uint64_t offset;
    std::uint64_t size;
};
bool FindCertificateTableLoosely(ByteView image, CertificateTablePlace &table);

// Certificate table entries start at multiples of 8: an entry's length rounded up.
inline std::uint64_t AlignCertificateEntry(std::uint64_t length)
{
    return (length + CertificateTableAlignment - 1) & ~std::uint64_t{CertificateTableAlignment - 1};
}

// The first WIN_CERTIFICATE entry of the table, when the table has one of type PKCS signed data.
struct SignatureEntry {
    std::uint32_t offset;       // file offset of the entry header
    std::uint32_t length;       // dwLength
    std::uint32_t objectLength; // DER length of the signature object at offset + 8
};

// The stub's Authenticode signature entry, or false when the image is unsigned. Throws
// PackError for a table that is there but can't be read.
bool FindSignatureEntry(ByteView image, const PeLayout &layout, SignatureEntry &entry, const std::string &what);

// The image checksum: 16-bit one's-complement-style sum with carries folded, skipping the
// CheckSum field, plus the file length.
std::uint32_t ComputePeChecksum(const Bytes &image, std::uint32_t checksumOffset);

// The same checksum over an image given in pieces, front to back.
class PeChecksum {
  public:
    explicit PeChecksum(std::uint32_t checksumOffset) : checksumOffset_(checksumOffset) {}
    void Add(const std::uint8_t *data, std::size_t length);
    std::uint32_t Finish() const; // for the bytes added so far as the whole image

  private:
    std::uint64_t checksumOffset_;
    std::uint64_t position_ = 0;
    std::uint64_t sum_ = 0;
    std::uint32_t low_ = 0;
};

} // namespace packer
