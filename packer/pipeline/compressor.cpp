#include "packer/pipeline/compressor.h"

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

namespace {

// One libdeflate call for either format: a buffer of the bound, filled and trimmed.
template <typename Bound, typename Run>
Bytes CompressWith(libdeflate_compressor *compressor, Bound bound, Run run, const std::uint8_t *data,
                   std::size_t length)
{
    Bytes stream(bound(compressor, length));
    std::size_t made = run(compressor, data, length, stream.data(), stream.size());
    if (made == 0)
        throw PackError("compression failed");
    stream.resize(made);
    stream.shrink_to_fit();
    return stream;
}

} // namespace

Bytes ZlibCompressor::Compress(const std::uint8_t *data, std::size_t length) const
{
    return CompressWith(compressor_.get(), libdeflate_zlib_compress_bound, libdeflate_zlib_compress, data, length);
}

Bytes ZlibCompressor::Deflate(const std::uint8_t *data, std::size_t length) const
{
    return CompressWith(compressor_.get(), libdeflate_deflate_compress_bound, libdeflate_deflate_compress, data,
                        length);
}

Bytes ZlibCompressor::Header() const
{
    // libdeflate's own header for the level: that of an empty stream.
    Bytes stream = Compress(nullptr, 0);
    stream.resize(2);
    return stream;
}

} // namespace packer
