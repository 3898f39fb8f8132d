#include "packer/compressor.h"

#include "packer/pack_error.h"

#include <libdeflate.h>

namespace packer {

void ZlibCompressor::Free::operator()(libdeflate_compressor *compressor) const
{
    libdeflate_free_compressor(compressor);
}

ZlibCompressor::ZlibCompressor(int level)
{
    if (level < 0 || level > MaxCompressionLevel)
        throw PackError("--level must be 0 to " + std::to_string(MaxCompressionLevel));
    compressor_.reset(libdeflate_alloc_compressor(level));
    if (!compressor_)
        throw PackError("out of memory for the compressor");
}

Bytes ZlibCompressor::Compress(const Bytes &data) const
{
    Bytes stream(libdeflate_zlib_compress_bound(compressor_.get(), data.size()));
    std::size_t length =
        libdeflate_zlib_compress(compressor_.get(), data.data(), data.size(), stream.data(), stream.size());
    if (length == 0)
        throw PackError("compression failed");
    stream.resize(length);
    return stream;
}

} // namespace packer
