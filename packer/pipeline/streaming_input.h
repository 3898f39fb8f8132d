// Input files read in pieces, never held whole: the packer's memory follows the work in
// flight, not the size of the product.
#pragma once

#include "packer/byte_io.h"
#include "packer/host/host.h"
#include "packer/sha256.h"

#include <cstdint>
#include <string>

namespace packer {

// A file opened for reading from the start, a piece at a time.
class InputFile {
  public:
    explicit InputFile(const std::string &path); // throws ReadError

    std::uint64_t Size() const { return size_; }
    // The next length bytes; throws ReadError when the file ends early (it changed).
    void ReadNext(std::uint8_t *buffer, std::size_t length);

  private:
    std::string path_;
    std::uint64_t size_ = 0;
    host::ReadableFile file_;
};

struct FileSummary {
    std::uint64_t size;
    Sha256Digest digest; // SHA-256 of the content
};

// The size and SHA-256 of a file, read in pieces. Throws ReadError.
FileSummary SummarizeFile(const std::string &path);

} // namespace packer
