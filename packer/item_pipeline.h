// Compressing and signing the items of a container with bounded memory: files are read a piece
// at a time, large items are cut into pieces compressed side by side, and at most as many
// pieces are in flight as there are threads (fewer when the memory limit says so).
#pragma once

#include "packer/byte_io.h"
#include "packer/keys/payload_signer.h"
#include "packer/streaming_input.h"
#include "writer/container_writer.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace packer {

// An item's output: the bytes in memory (the head item), or a file read in pieces.
struct ItemSource {
    writer::ItemKind kind;
    std::uint32_t id;
    Bytes bytes;
    std::string path; // when not empty, the output is this file
    std::uint64_t size;
    Sha256Digest digest; // SHA-256 of the output, which is what is signed
};

// An item as stored: its zlib stream in chunks, to be written one after another.
struct PackedItem {
    writer::ItemKind kind;
    std::uint32_t id;
    std::vector<Bytes> data;
    std::uint64_t dataSize = 0;
    Bytes signature;
};

struct PipelineSettings {
    int level;
    unsigned threads;          // 1 or more
    std::size_t pieceSize;     // items larger than this are cut into pieces of it
    std::uint64_t memoryLimit; // compressed output held plus the pieces in flight
};

// Told after each piece: the input bytes it covered, the compressed bytes of its item so far
// and of all items so far. It runs under the pipeline's lock; throwing from it stops the work
// (an early size check).
using PieceObserver = std::function<void(std::size_t item, std::uint64_t input, std::uint64_t itemCompressed,
                                         std::uint64_t totalCompressed)>;

// Compresses and signs every item; the result is the same for any number of threads. A note
// says so when the memory limit lowers the pieces in flight. Throws PackError.
std::vector<PackedItem> PackItems(const std::vector<ItemSource> &items, const PipelineSettings &settings,
                                  const PayloadSigner &signer, const PieceObserver &observe);

} // namespace packer
