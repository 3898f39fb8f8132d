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
    return Compress(data.data(), data.size());
}

Bytes ZlibCompressor::Compress(const std::uint8_t *data, std::size_t length) const
{
    Bytes stream(libdeflate_zlib_compress_bound(compressor_.get(), length));
    std::size_t made = libdeflate_zlib_compress(compressor_.get(), data, length, stream.data(), stream.size());
    if (made == 0)
        throw PackError("compression failed");
    stream.resize(made);
    stream.shrink_to_fit();
    return stream;
}

Bytes ZlibCompressor::Deflate(const std::uint8_t *data, std::size_t length) const
{
    Bytes stream(libdeflate_deflate_compress_bound(compressor_.get(), length));
    std::size_t made = libdeflate_deflate_compress(compressor_.get(), data, length, stream.data(), stream.size());
    if (made == 0)
        throw PackError("compression failed");
    stream.resize(made);
    stream.shrink_to_fit();
    return stream;
}

Bytes ZlibCompressor::Header() const
{
    // libdeflate's own header for the level: that of an empty stream.
    Bytes stream = Compress(nullptr, 0);
    stream.resize(2);
    return stream;
}

} // namespace packer
