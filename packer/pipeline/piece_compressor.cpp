#include "packer/pipeline/piece_compressor.h"

#include "packer/pack_error.h"

#include <libdeflate.h>
#include <zlib.h>

#include <cstdlib>
#include <string>

namespace packer {

namespace {

// Walks the blocks of a complete raw deflate stream with zlib, clears the final bit of its last
// block and appends an empty stored block (3 header bits, padding to a byte, LEN 0, NLEN
// 0xffff), so that another stream can follow on the next byte.
void EndWithoutFinalBlock(Bytes &stream)
{
    z_stream walker{};
    if (inflateInit2(&walker, -MAX_WBITS) != Z_OK)
        throw PackError("out of memory for the piece check");
    walker.next_in = stream.data();
    walker.avail_in = static_cast<uInt>(stream.size());
    std::uint8_t discard[1 << 16];
    std::size_t lastHeaderBit = 0;
    int freeBits = -1;
    int status;
    do {
        walker.next_out = discard;
        walker.avail_out = sizeof discard;
        status = inflate(&walker, Z_BLOCK);
        // 128: stopped at the end of a block, with data_type & 7 bits of the last byte taken
        // still unread; 64: that block was the final one. Otherwise the next header starts there.
        const int type = walker.data_type;
        const std::size_t bitsTaken = static_cast<std::size_t>(walker.next_in - stream.data()) * 8;
        if (status == Z_OK && (type & 128) != 0 && (type & 64) == 0)
            lastHeaderBit = bitsTaken - (type & 7);
        if (status == Z_OK && (type & 128) != 0 && (type & 64) != 0)
            freeBits = type & 7;
    } while (status == Z_OK);
    const bool whole = status == Z_STREAM_END && walker.avail_in == 0 && freeBits >= 0;
    inflateEnd(&walker);
    if (!whole)
        throw PackError("the compressor made a piece that does not inflate");

    stream[lastHeaderBit / 8] &= static_cast<std::uint8_t>(~(1u << (lastHeaderBit % 8)));
    stream.back() &= static_cast<std::uint8_t>(0xffu >> freeBits);
    if (freeBits < 3)
        stream.push_back(0);
    stream.insert(stream.end(), {0x00, 0x00, 0xff, 0xff});
}

} // namespace

std::size_t PieceSize()
{
    const char *knob = std::getenv("LAUNCHER_PACK_PIECE_SIZE");
    if (knob == nullptr || *knob == '\0')
        return DefaultPieceSize;
    char *end = nullptr;
    unsigned long long size = std::strtoull(knob, &end, 10);
    if (*end != '\0' || size < 1024)
        throw PackError("LAUNCHER_PACK_PIECE_SIZE must be a number of bytes, 1024 or more");
    return static_cast<std::size_t>(size);
}

CompressedPiece CompressPiece(const ZlibCompressor &compressor, const std::uint8_t *data, std::size_t length, bool last)
{
    CompressedPiece piece{compressor.Deflate(data, length), libdeflate_adler32(1, data, length), length};
    if (!last)
        EndWithoutFinalBlock(piece.deflate);
    return piece;
}

std::uint32_t CombineAdler(std::uint32_t adler, const CompressedPiece &piece)
{
    return static_cast<std::uint32_t>(adler32_combine(adler, piece.adler, static_cast<z_off_t>(piece.length)));
}

Bytes AdlerTrailer(std::uint32_t adler)
{
    return {static_cast<std::uint8_t>(adler >> 24), static_cast<std::uint8_t>(adler >> 16),
            static_cast<std::uint8_t>(adler >> 8), static_cast<std::uint8_t>(adler)};
}

std::vector<Bytes> JoinPieces(const ZlibCompressor &compressor, std::vector<CompressedPiece> &&pieces)
{
    std::vector<Bytes> chunks;
    chunks.push_back(compressor.Header());
    std::uint32_t adler = 1;
    for (CompressedPiece &piece : pieces) {
        adler = CombineAdler(adler, piece);
        chunks.push_back(std::move(piece.deflate));
    }
    pieces.clear();
    chunks.push_back(AdlerTrailer(adler));
    return chunks;
}

} // namespace packer
