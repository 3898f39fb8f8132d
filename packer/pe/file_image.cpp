#include "packer/pe/file_image.h"

#include "packer/pack_error.h"
#include "packer/pe/der.h"
#include "packer/pe/pe_image.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#ifdef PACKER_CHECKED_BLOCKS
#include <sanitizer/asan_interface.h>
#endif

namespace packer {

namespace {

constexpr std::uint64_t DosHeaderSize = 64;
constexpr std::uint64_t NtHeadersPointer = 0x3C;
// The NT headers of a PE32+ image to its data directories' end: what the launcher's lookup reads.
constexpr std::uint64_t NtHeadersSize = 264;
constexpr std::uint64_t FileHeaderSize = 24; // the NT signature and the file header
constexpr std::uint64_t SectionHeaderSize = 40;
constexpr std::uint64_t CertificateEntryHeaderSize = 8;
// A DER header with a one-byte tag and up to four length bytes.
constexpr std::uint64_t DerHeaderRoom = 6;
constexpr std::size_t ReadWindow = 1 << 20;

// Marks the bytes of a block of blockSize bytes as not read (unreadable) or read, in sanitizer
// builds; a no-op elsewhere and for blocks too large to check.
void MarkUnread([[maybe_unused]] std::uint8_t *block, [[maybe_unused]] std::size_t blockSize)
{
#ifdef PACKER_CHECKED_BLOCKS
    if (blockSize <= CheckedBlockLimit)
        ASAN_POISON_MEMORY_REGION(block, blockSize);
#endif
}

void MarkRead([[maybe_unused]] std::uint8_t *begin, [[maybe_unused]] std::size_t length,
              [[maybe_unused]] std::size_t blockSize)
{
#ifdef PACKER_CHECKED_BLOCKS
    if (blockSize <= CheckedBlockLimit)
        ASAN_UNPOISON_MEMORY_REGION(begin, length);
#endif
}

} // namespace

void FileImage::BlockRelease::operator()(std::uint8_t *block) const
{
    MarkRead(block, size, size);
    std::free(block);
}

FileImage::FileImage(const std::string &path) : path_(path), file_(host::ReadableFile::Open(path, size_))
{
    if (size_ > SIZE_MAX)
        throw ReadError(path + ": too large to read");
    // Zeroed by the system as pages are first touched: only the ranges loaded take memory.
    const std::size_t blockSize = size_ > 0 ? size() : 1;
    block_ = std::unique_ptr<std::uint8_t[], BlockRelease>(static_cast<std::uint8_t *>(std::calloc(blockSize, 1)),
                                                           BlockRelease{blockSize});
    if (!block_)
        throw std::bad_alloc();
    MarkUnread(block_.get(), blockSize);

    // The headers, exactly: of a small file too, only what is read is loaded.
    Load(0, DosHeaderSize);
    if (size_ >= NtHeadersPointer + 4) {
        const std::uint64_t nt = ::ReadU32(block_.get() + NtHeadersPointer);
        Load(nt, NtHeadersSize);
        // The section table, however far a large optional header puts it.
        if (nt + FileHeaderSize <= size_)
            Load(nt, FileHeaderSize + ::ReadU16(block_.get() + nt + 20) +
                         SectionHeaderSize * ::ReadU16(block_.get() + nt + 6));
    }
    try {
        Load(0, ReadPeLayout(*this, path).imageEnd);
    } catch (const PackError &) {
        // Not an image this packer reads; the launcher's lookup may still find a table in it.
    }
    CertificateTablePlace table;
    if (FindCertificateTableLoosely(*this, table))
        LoadSignatureObject(table);
}

// Of the certificate table, what is read from memory: the first entry's header, its leading DER
// object (the launcher hands its decoder nothing more, and the carriers of the certificate
// placement are in it) and the zero bytes behind the object up to the entry's alignment (the
// padding check reads them). An entry whose object has no definite length within it is loaded
// whole, as the launcher's decoder is then handed all of it.
void FileImage::LoadSignatureObject(const CertificateTablePlace &table) const
{
    Load(table.offset, CertificateEntryHeaderSize + DerHeaderRoom);
    const std::uint64_t entryLength = ReadU32(*this, table.offset);
    if (entryLength < CertificateEntryHeaderSize || entryLength > table.size)
        return; // refused before its body is read
    const std::uint64_t body = table.offset + CertificateEntryHeaderSize;
    const std::uint64_t entryEnd = table.offset + entryLength;
    const auto object = ReadDerElement(block_.get(), body, entryEnd);
    const std::uint64_t end =
        object ? std::min(entryEnd, table.offset + AlignCertificateEntry(CertificateEntryHeaderSize +
                                                                         object->headerLength + object->contentLength))
               : entryEnd;
    Load(body, end - body);
}

void FileImage::Load(std::uint64_t offset, std::uint64_t length) const
{
    std::lock_guard<std::mutex> lock(*loading_);
    const std::uint64_t end = std::min<std::uint64_t>(size_, offset + std::min<std::uint64_t>(length, size_));
    std::uint64_t at = std::min<std::uint64_t>(offset, size_);
    // The gaps between the ranges loaded, in order.
    auto next = std::lower_bound(loaded_.begin(), loaded_.end(), std::make_pair(at, std::uint64_t{0}));
    if (next != loaded_.begin() && std::prev(next)->second > at)
        --next;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> added;
    while (at < end) {
        if (next != loaded_.end() && next->first <= at) {
            at = std::max(at, next->second);
            ++next;
            continue;
        }
        const std::uint64_t gapEnd = next != loaded_.end() ? std::min(end, next->first) : end;
        MarkRead(block_.get() + at, static_cast<std::size_t>(gapEnd - at), block_.get_deleter().size);
        if (!ReadAt(at, block_.get() + at, static_cast<std::size_t>(gapEnd - at)))
            throw ReadError(path_ + ": the file got shorter while being read");
        added.push_back({at, gapEnd});
        at = gapEnd;
    }
    if (added.empty())
        return;
    loaded_.insert(loaded_.end(), added.begin(), added.end());
    std::sort(loaded_.begin(), loaded_.end());
    std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
    for (const auto &range : loaded_) {
        if (!merged.empty() && merged.back().second >= range.first)
            merged.back().second = std::max(merged.back().second, range.second);
        else
            merged.push_back(range);
    }
    loaded_ = std::move(merged);
}

std::uint64_t FileImage::LoadedSize() const
{
    std::lock_guard<std::mutex> lock(*loading_);
    std::uint64_t size = 0;
    for (const auto &[begin, end] : loaded_)
        size += end - begin;
    return size;
}

bool FileImage::ReadAt(std::uint64_t offset, std::uint8_t *buffer, std::size_t length) const
{
    while (length > 0) {
        std::size_t got = file_.ReadAt(offset, buffer, length, path_);
        if (got == 0)
            return false;
        offset += got;
        buffer += got;
        length -= got;
    }
    return true;
}

void ByteView::ForEachPiece(std::uint64_t begin, std::uint64_t end,
                            const std::function<void(const std::uint8_t *, std::size_t)> &take) const
{
    if (file_ == nullptr) {
        if (end > begin)
            take(data_ + begin, static_cast<std::size_t>(end - begin));
        return;
    }
    std::vector<std::uint8_t> window(std::min<std::uint64_t>(ReadWindow, end > begin ? end - begin : 1));
    while (begin < end) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(window.size(), end - begin));
        if (!file_->ReadAt(begin, window.data(), part))
            throw ReadError(file_->Path() + ": the file got shorter while being read");
        take(window.data(), part);
        begin += part;
    }
}

} // namespace packer
