#include "packer/pe/file_image.h"

#include "packer/pack_error.h"
#include "packer/pe/pe_image.h"

#include <algorithm>
#include <cstring>

namespace packer {

namespace {

// Where the headers of any image this packer reads lie: the first bytes, and from the NT headers
// on as many again (the optional header and a section table of hundreds of sections).
constexpr std::uint64_t HeaderRoom = 64 * 1024;
constexpr std::uint64_t NtHeadersPointer = 0x3C;
constexpr std::size_t ReadWindow = 1 << 20;

} // namespace

FileImage::FileImage(const std::string &path) : path_(path), file_(host::ReadableFile::Open(path, size_))
{
    if (size_ > SIZE_MAX)
        throw ReadError(path + ": too large to read");
    // Never read in full: only the ranges loaded are touched.
    block_.reset(new std::uint8_t[size_ > 0 ? size() : 1]);

    Load(0, HeaderRoom);
    if (size_ >= NtHeadersPointer + 4)
        Load(::ReadU32(block_.get() + NtHeadersPointer), HeaderRoom);
    try {
        const PeLayout layout = ReadPeLayout(*this, path);
        Load(0, layout.imageEnd);
        Load(layout.tableOffset, layout.tableSize);
    } catch (const PackError &) {
        // Not an image this packer reads: its first bytes are all there is to look at.
    }
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

void FileImage::CopyLoaded(std::uint8_t *into) const
{
    std::lock_guard<std::mutex> lock(*loading_);
    for (const auto &[begin, end] : loaded_)
        std::memcpy(into + begin, block_.get() + begin, static_cast<std::size_t>(end - begin));
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
