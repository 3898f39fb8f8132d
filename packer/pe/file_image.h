// A file on disk as one block of its size of which only the ranges asked for are read: the rest
// of the block is never touched, so it takes address space, not memory.
#pragma once

#include "packer/byte_io.h"
#include "packer/host/host.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace packer {

class FileImage {
  public:
    // Opens the file and reads its PE headers, its sections' raw data and its certificate table
    // (all of its first bytes when it is no PE32+ image). Throws ReadError.
    explicit FileImage(const std::string &path);
    FileImage(FileImage &&) = default;
    FileImage &operator=(FileImage &&) = default;

    operator ByteView() const { return ByteView(block_.get(), size(), this); }
    std::size_t size() const { return static_cast<std::size_t>(size_); }
    const std::string &Path() const { return path_; }

    // Reads the bytes from offset on (as many as the file has, up to length) into the block,
    // where they are not there yet. Throws ReadError.
    void Load(std::uint64_t offset, std::uint64_t length) const;
    // Copies every range read into the block into a block of the same size.
    void CopyLoaded(std::uint8_t *into) const;
    // Reads length bytes from offset on from the file into buffer (not the block); false when
    // the file ends first. Safe from several threads at once. Throws ReadError.
    bool ReadAt(std::uint64_t offset, std::uint8_t *buffer, std::size_t length) const;

  private:
    std::string path_;
    std::uint64_t size_ = 0;
    host::ReadableFile file_;
    std::unique_ptr<std::uint8_t[]> block_;
    std::unique_ptr<std::mutex> loading_ = std::make_unique<std::mutex>();
    mutable std::vector<std::pair<std::uint64_t, std::uint64_t>> loaded_; // begin, end; sorted, apart
};

} // namespace packer
