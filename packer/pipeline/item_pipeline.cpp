#include "packer/pipeline/item_pipeline.h"

#include "packer/pipeline/compressor.h"
#include "packer/cli/console.h"
#include "packer/pipeline/memory_budget.h"
#include "packer/pack_error.h"
#include "packer/pipeline/parallel.h"
#include "packer/pipeline/piece_compressor.h"

#include <algorithm>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

namespace packer {

namespace {

struct Piece {
    std::size_t item;
    std::size_t index; // within the item
    std::uint64_t offset;
    std::size_t length;
};

struct ItemState {
    std::size_t pieceCount = 0;
    std::uint64_t compressed = 0;
    std::unique_ptr<InputFile> file; // open while its pieces are being read
    std::vector<CompressedPiece> pieces;
    std::vector<bool> done; // the piece is compressed, waiting to be written
    Bytes whole;            // the zlib stream of an item of one piece
    std::uint64_t dataSize = 0;
    std::uint32_t adler = 1; // of the pieces written so far
};

// The pieces in a fixed order: every item's in turn, cut at fixed offsets.
std::vector<Piece> CutPieces(const std::vector<ItemSource> &items, std::size_t pieceSize,
                             std::vector<ItemState> &states)
{
    std::vector<Piece> pieces;
    for (std::size_t i = 0; i < items.size(); ++i) {
        std::uint64_t size = items[i].size;
        std::size_t count = size <= pieceSize ? 1 : static_cast<std::size_t>((size + pieceSize - 1) / pieceSize);
        for (std::size_t k = 0; k < count; ++k) {
            std::uint64_t offset = std::uint64_t{k} * pieceSize;
            pieces.push_back(
                {i, k, offset, static_cast<std::size_t>(std::min<std::uint64_t>(size - offset, pieceSize))});
        }
        states[i].pieceCount = count;
        states[i].pieces.resize(count > 1 ? count : 0);
        states[i].done.resize(count, false);
    }
    return pieces;
}

class Pipeline {
  public:
    Pipeline(const std::vector<ItemSource> &items, const PipelineSettings &settings, const PayloadSigner &signer,
             const PieceObserver &observe, const ContainerOutput &write)
        : items_(items), settings_(settings), signer_(signer), observe_(observe), write_(write), states_(items.size())
    {
        pieces_ = CutPieces(items, settings.pieceSize, states_);
        for (unsigned i = 0; i < settings.threads; ++i)
            compressors_.emplace_back(settings.level);
    }

    std::uint64_t Run()
    {
        RunInParallel(settings_.threads, settings_.threads, [&](std::size_t, unsigned worker) { Work(worker); });
        return written_;
    }

  private:
    // A piece's input and its compressed bound, in flight at once.
    static std::uint64_t SlotCost(const Piece &piece) { return 2 * std::uint64_t{piece.length} + 4096; }

    void Work(unsigned worker)
    {
        std::vector<std::uint8_t> input;
        for (;;) {
            Piece piece;
            {
                std::unique_lock<std::mutex> lock(lock_);
                // A piece starts when it fits the limit beside the output held and the pieces in
                // flight; one always may, so the work goes on however small the limit.
                wake_.wait(lock, [&] {
                    return stopped_ || next_ == pieces_.size() || inFlight_ == 0 ||
                           held_ + inFlightCost_ + SlotCost(pieces_[next_]) <= settings_.memoryLimit;
                });
                if (stopped_ || next_ == pieces_.size())
                    return;
                piece = pieces_[next_++];
                ++inFlight_;
                inFlightCost_ += SlotCost(piece);
                NoteLimit();
                try {
                    ReadPiece(piece, input);
                } catch (...) {
                    Stop();
                    throw;
                }
            }
            try {
                Compress(piece, input, compressors_[worker]);
            } catch (...) {
                std::lock_guard<std::mutex> lock(lock_);
                Stop();
                throw;
            }
        }
    }

    void Stop()
    {
        stopped_ = true;
        wake_.notify_all();
    }

    // Under the lock: pieces of one file are read in order, as they are handed out.
    void ReadPiece(const Piece &piece, std::vector<std::uint8_t> &input)
    {
        const ItemSource &item = items_[piece.item];
        ItemState &state = states_[piece.item];
        input.resize(piece.length);
        if (item.path.empty()) {
            std::copy_n(item.bytes.begin() + static_cast<std::ptrdiff_t>(piece.offset), piece.length, input.begin());
            return;
        }
        if (piece.index == 0) {
            state.file = std::make_unique<InputFile>(item.path);
            if (state.file->Size() != item.size)
                throw ReadError(item.path + ": the file changed size while it was packed");
        }
        state.file->ReadNext(input.data(), piece.length);
        if (piece.index + 1 == state.pieceCount)
            state.file.reset();
    }

    void Compress(const Piece &piece, const std::vector<std::uint8_t> &input, const ZlibCompressor &compressor)
    {
        ItemState &state = states_[piece.item];
        std::uint64_t made;
        if (state.pieceCount == 1) {
            state.whole = compressor.Compress(input.data(), piece.length);
            made = state.whole.size();
        } else {
            state.pieces[piece.index] =
                CompressPiece(compressor, input.data(), piece.length, piece.index + 1 == state.pieceCount);
            made = state.pieces[piece.index].deflate.size();
        }
        std::lock_guard<std::mutex> lock(lock_);
        --inFlight_;
        inFlightCost_ -= SlotCost(piece);
        held_ += made;
        total_ += made;
        state.compressed += made;
        state.done[piece.index] = true;
        if (observe_)
            observe_(piece.item, piece.length, state.compressed, total_);
        WriteReady(compressor);
        wake_.notify_all();
    }

    void Emit(const std::uint8_t *data, std::size_t length)
    {
        if (length > 0)
            write_(data, length);
        written_ += length;
    }

    // Under the lock: writes every piece that is done and next in the container, and each item's
    // signature and trailer once its last piece is written.
    void WriteReady(const ZlibCompressor &compressor)
    {
        while (nextItem_ < items_.size()) {
            ItemState &state = states_[nextItem_];
            if (!state.done[nextPiece_])
                return;
            const bool first = nextPiece_ == 0;
            std::uint64_t freed;
            if (state.pieceCount == 1) {
                Emit(state.whole.data(), state.whole.size());
                freed = state.whole.size();
                Bytes().swap(state.whole);
            } else {
                CompressedPiece &made = state.pieces[nextPiece_];
                if (first) {
                    const Bytes header = compressor.Header();
                    Emit(header.data(), header.size());
                    state.dataSize += header.size();
                }
                state.adler = CombineAdler(state.adler, made);
                Emit(made.deflate.data(), made.deflate.size());
                freed = made.deflate.size();
                Bytes().swap(made.deflate);
            }
            state.dataSize += freed;
            held_ -= freed;
            if (++nextPiece_ < state.pieceCount)
                continue;
            FinishItem(nextItem_);
            ++nextItem_;
            nextPiece_ = 0;
        }
    }

    // Under the lock: the item's last piece is written; its Adler-32 (for an item of pieces), its
    // signature and its trailer follow.
    void FinishItem(std::size_t index)
    {
        const ItemSource &item = items_[index];
        ItemState &state = states_[index];
        if (state.pieceCount > 1) {
            const Bytes check = AdlerTrailer(state.adler);
            Emit(check.data(), check.size());
            state.dataSize += check.size();
        }
        if (state.dataSize > 0xFFFFFFFFu)
            throw PackError(item.path + ": compressed, it is 4 GiB or larger, more than an item can hold");
        const Bytes signature = signer_.SignDigest(
            item.digest, item.kind == writer::ItemKind::Head ? "the head item" : "item " + std::to_string(item.id));
        Emit(signature.data(), signature.size());
        const Bytes trailer =
            writer::ItemTrailerBytes(item.kind, item.id, signature.size(), static_cast<std::size_t>(state.dataSize));
        Emit(trailer.data(), trailer.size());
    }

    // Under the lock: says once that the limit keeps fewer pieces in flight than threads.
    void NoteLimit()
    {
        if (noted_ || next_ == pieces_.size() || inFlight_ >= settings_.threads)
            return;
        if (held_ + inFlightCost_ + SlotCost(pieces_[next_]) <= settings_.memoryLimit)
            return;
        noted_ = true;
        Note("--memory-limit " + DescribeSize(settings_.memoryLimit) + " keeps " + std::to_string(inFlight_) +
             (inFlight_ == 1 ? " piece" : " pieces") + " in flight instead of " + std::to_string(settings_.threads) +
             " (compressed output held: " + DescribeSize(held_) + ")");
    }

    const std::vector<ItemSource> &items_;
    const PipelineSettings &settings_;
    const PayloadSigner &signer_;
    const PieceObserver &observe_;
    const ContainerOutput &write_;
    std::vector<ZlibCompressor> compressors_;
    std::vector<Piece> pieces_;
    std::vector<ItemState> states_;

    std::mutex lock_;
    std::condition_variable wake_;
    std::size_t next_ = 0;
    unsigned inFlight_ = 0;
    std::uint64_t inFlightCost_ = 0;
    std::uint64_t held_ = 0;   // compressed, not yet written
    std::uint64_t total_ = 0;  // compressed so far
    std::size_t nextItem_ = 0; // the next piece to write
    std::size_t nextPiece_ = 0;
    std::uint64_t written_ = 0;
    bool stopped_ = false;
    bool noted_ = false;
};

} // namespace

std::uint64_t PackItems(const std::vector<ItemSource> &items, const PipelineSettings &settings,
                        const PayloadSigner &signer, const PieceObserver &observe, const ContainerOutput &write)
{
    return Pipeline(items, settings, signer, observe, write).Run();
}

} // namespace packer
