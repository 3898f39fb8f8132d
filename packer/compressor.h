// zlib streams (RFC 1950) made with libdeflate, which at levels 9 to 10 writes smaller streams
// than zlib's level 9, faster; levels 11 and 12 gain little more for much more time.
#pragma once

#include "packer/byte_io.h"

#include <memory>

struct libdeflate_compressor;

namespace packer {

constexpr int DefaultCompressionLevel = 10;
constexpr int MaxCompressionLevel = 12;

class ZlibCompressor {
  public:
    explicit ZlibCompressor(int level); // 0 (stored) to 12; throws PackError
    Bytes Compress(const Bytes &data) const;

  private:
    struct Free {
        void operator()(libdeflate_compressor *compressor) const;
    };
    std::unique_ptr<libdeflate_compressor, Free> compressor_;
};

} // namespace packer
