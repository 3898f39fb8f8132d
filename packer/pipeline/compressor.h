// zlib streams (RFC 1950) made with libdeflate. Measured on a 64 MiB package with a 64 MiB
// cabinet (benchmarks/pack_benchmark.sh): level 10 makes a payload 1.1% smaller than zlib's
// level 9 and the whole pack, read-back included, takes less time than zlib's level 9 takes to
// compress alone; level 9 is faster still but 0.9% larger, levels 11 and 12 gain 0.06% for
// 1.4 and 1.6 times the time of level 10.
#pragma once

#include "packer/byte_io.h"

#include <cstddef>
#include <cstdint>
#include <memory>

struct libdeflate_compressor;

namespace packer {

constexpr int DefaultCompressionLevel = 10;
constexpr int MaxCompressionLevel = 12;

class ZlibCompressor {
  public:
    explicit ZlibCompressor(int level); // 0 (stored) to 12; throws PackError
    Bytes Compress(const Bytes &data) const;
    Bytes Compress(const std::uint8_t *data, std::size_t length) const;
    // Raw deflate (RFC 1951) of data, ending with a final block.
    Bytes Deflate(const std::uint8_t *data, std::size_t length) const;
    // The two header bytes that Compress puts in front of its streams at this level.
    Bytes Header() const;

  private:
    struct Free {
        void operator()(libdeflate_compressor *compressor) const;
    };
    std::unique_ptr<libdeflate_compressor, Free> compressor_;
};

} // namespace packer
