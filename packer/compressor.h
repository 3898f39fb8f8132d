// zlib streams (RFC 1950) made with libdeflate. Measured on 128 MiB of packages
// (benchmarks/pack_benchmark.sh): at level 9 it writes smaller streams than zlib's level 9, in
// less time; levels 10 to 12 gain about one per cent more for 1.7 to 2.3 times the time.
#pragma once

#include "packer/byte_io.h"

#include <memory>

struct libdeflate_compressor;

namespace packer {

constexpr int DefaultCompressionLevel = 9;
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
