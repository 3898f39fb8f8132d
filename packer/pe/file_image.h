// A file on disk as one block of its size of which only the ranges asked for are read: the rest
// of the block is zero and never touched, so it takes address space, not memory. In sanitizer
// builds the bytes never loaded are also unreadable (for files up to CheckedBlockLimit): a read of
// one is reported where it happens.
#pragma once

#include "packer/byte_io.h"
#include "packer/host/host.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// Defined in sanitizer builds, where the bytes of a block never loaded are unreadable.
#if defined(__SANITIZE_ADDRESS__)
#define PACKER_CHECKED_BLOCKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PACKER_CHECKED_BLOCKS 1
#endif
#endif

namespace packer {

struct CertificateTablePlace;

// Blocks of up to this size are checked in sanitizer builds; the check of a larger one would cost
// an eighth of its size.
constexpr std::size_t CheckedBlockLimit = 64u << 20;

class FileImage {
  public:
    // Opens the file and reads its PE headers, its sections' raw data and, of its certificate
    // table, the first entry's leading signature object and the zero bytes that align it (of a
    // file that is no PE32+ image, the headers it would have). What follows the object in its
    // entry (the payload of the end placement) is left to be read by ranges. Throws ReadError.
    explicit FileImage(const std::string &path);
    FileImage(FileImage &&) = default;
    FileImage &operator=(FileImage &&) = default;

    operator ByteView() const { return ByteView(block_.get(), size(), this); }
    std::size_t size() const { return static_cast<std::size_t>(size_); }
    const std::string &Path() const { return path_; }

    // Reads the bytes from offset on (as many as the file has, up to length) into the block,
    // where they are not there yet. Throws ReadError.
    void Load(std::uint64_t offset, std::uint64_t length) const;
    // How many bytes of the file are in the block.
    std::uint64_t LoadedSize() const;
    // Reads length bytes from offset on from the file into buffer (not the block); false when
    // the file ends first. Safe from several threads at once. Throws ReadError.
    bool ReadAt(std::uint64_t offset, std::uint8_t *buffer, std::size_t length) const;

  private:
    struct BlockRelease {
        std::size_t size;
        void operator()(std::uint8_t *block) const;
    };

    void LoadSignatureObject(const CertificateTablePlace &table) const;

    std::string path_;
    std::uint64_t size_ = 0;
    host::ReadableFile file_;
    std::unique_ptr<std::uint8_t[], BlockRelease> block_;
    std::unique_ptr<std::mutex> loading_ = std::make_unique<std::mutex>();
    mutable std::vector<std::pair<std::uint64_t, std::uint64_t>> loaded_; // begin, end; sorted, apart
};

} // namespace packer
