// Compressing and signing the items of a container with bounded memory: files are read a piece
// at a time, large items are cut into pieces compressed side by side, and at most as many
// pieces are in flight as there are threads (fewer when the memory limit says so).
#pragma once

#include "packer/byte_io.h"
#include "packer/keys/payload_signer.h"
#include "packer/pipeline/streaming_input.h"
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

struct PipelineSettings {
    int level;
    unsigned threads;          // 1 or more
    std::size_t pieceSize;     // items larger than this are cut into pieces of it
    std::uint64_t memoryLimit; // compressed output held (done, not yet written) plus the pieces in flight
};

// Told after each piece: the input bytes it covered, the compressed bytes of its item so far
// and of all items so far. It runs under the pipeline's lock; throwing from it stops the work
// (an early size check).
using PieceObserver = std::function<void(std::size_t item, std::uint64_t input, std::uint64_t itemCompressed,
                                         std::uint64_t totalCompressed)>;

// Takes the container's bytes in order.
using ContainerOutput = std::function<void(const std::uint8_t *data, std::size_t length)>;

// Compresses and signs every item and hands the container (each item's zlib stream, signature
// and trailer, item after item) to write in order as the pieces complete: only pieces done ahead
// of one still in flight are held. The bytes are the same for any number of threads. A note
// says so when the memory limit lowers the pieces in flight. Returns the container's size.
// Throws PackError.
std::uint64_t PackItems(const std::vector<ItemSource> &items, const PipelineSettings &settings,
                        const PayloadSigner &signer, const PieceObserver &observe, const ContainerOutput &write);

} // namespace packer
