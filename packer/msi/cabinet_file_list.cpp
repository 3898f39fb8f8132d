#include "packer/msi/cabinet_file_list.h"

#include "packer/byte_io.h"
#include "packer/host/host.h"
#include "packer/pack_error.h"
#include "unicode/utf.h"

#include <algorithm>
#include <cstring>

namespace packer {

namespace {

constexpr std::size_t HeaderSize = 36;
constexpr std::size_t ReserveSizesSize = 4; // cbCFHeader, cbCFFolder, cbCFData
constexpr std::size_t FolderSize = 8;
constexpr std::size_t FileEntrySize = 16;
// A member's name with its terminating zero.
constexpr std::size_t NameLimit = 256;

constexpr std::uint16_t FlagPreviousCabinet = 0x0001;
constexpr std::uint16_t FlagNextCabinet = 0x0002;
constexpr std::uint16_t FlagReservePresent = 0x0004;
// Folder indexes of a member that begins in the previous cabinet, goes on into the next, or both.
constexpr std::uint16_t FirstSpanningFolder = 0xFFFD;
constexpr std::uint16_t AttributeNameIsUtf8 = 0x80;

std::string Hex(std::uint16_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text = "0x";
    for (int shift = 12; shift >= 0; shift -= 4)
        text += digits[(value >> shift) & 0xF];
    return text;
}

// Reads a range of the file front to back through a window, so that a table of any length costs
// no more memory than the window.
class RangeReader {
  public:
    RangeReader(const host::ReadableFile &file, std::uint64_t at, std::uint64_t end, const std::string &what)
        : file_(file), at_(at), end_(end), what_(what)
    {
    }

    // The next count bytes (count at most the window's size), or nullptr when the range ends first.
    const std::uint8_t *Take(std::size_t count)
    {
        if (count > end_ - at_)
            return nullptr;
        if (count > filled_ - used_) {
            window_.erase(window_.begin(), window_.begin() + static_cast<std::ptrdiff_t>(used_));
            filled_ -= used_;
            used_ = 0;
            const std::uint64_t wanted = std::min<std::uint64_t>(WindowSize - filled_, end_ - at_ - filled_);
            window_.resize(filled_ + static_cast<std::size_t>(wanted));
            while (filled_ < window_.size()) {
                std::size_t read =
                    file_.ReadAt(at_ + filled_, window_.data() + filled_, window_.size() - filled_, what_);
                if (read == 0)
                    return nullptr; // the file got shorter while being read
                filled_ += read;
            }
        }
        const std::uint8_t *taken = window_.data() + used_;
        used_ += count;
        at_ += count;
        return taken;
    }

    // A zero-terminated string of at most limit bytes with its zero; false when none ends in time.
    bool TakeString(std::size_t limit, std::string &text)
    {
        text.clear();
        while (text.size() < limit) {
            const std::uint8_t *byte = Take(1);
            if (!byte)
                return false;
            if (*byte == 0)
                return true;
            text.push_back(static_cast<char>(*byte));
        }
        return false;
    }

  private:
    static constexpr std::size_t WindowSize = 64 * 1024;
    const host::ReadableFile &file_;
    std::uint64_t at_, end_;
    std::string what_;
    std::vector<std::uint8_t> window_;
    std::size_t used_ = 0, filled_ = 0;
};

bool IsUtf8(const std::string &text)
{
    std::u16string wide;
    return unicode::AppendUtf16FromUtf8(wide, text.data(), text.size(), unicode::Utf8Policy::Strict);
}

} // namespace

std::vector<CabinetMember> ReadCabinetFileList(const std::string &path)
{
    std::uint64_t fileSize = 0;
    const host::ReadableFile file = host::ReadableFile::Open(path, fileSize);
    const std::string damaged = path + ": a damaged cabinet: ";

    // The header, and the sizes of the reserved areas when it has them.
    RangeReader header(file, 0, fileSize, path);
    const std::uint8_t *fields = header.Take(HeaderSize);
    if (!fields || std::memcmp(fields, "MSCF", 4) != 0)
        throw PackError(path + ": not a cabinet (it does not begin with a cabinet header)");
    const std::uint32_t cabinetSize = ::ReadU32(fields + 8);
    const std::uint32_t filesAt = ::ReadU32(fields + 16);
    const std::uint8_t minor = fields[24], major = fields[25];
    const std::uint16_t folders = ::ReadU16(fields + 26);
    const std::uint16_t files = ::ReadU16(fields + 28);
    const std::uint16_t flags = ::ReadU16(fields + 30);
    if (major != 1 || minor != 3)
        throw PackError(path + ": a cabinet of format " + std::to_string(major) + "." + std::to_string(minor) +
                        ", where 1.3 is the only one there is");
    if (flags & (FlagPreviousCabinet | FlagNextCabinet))
        throw PackError(path + ": one of a set of cabinets that spans several (its header names the " +
                        ((flags & FlagPreviousCabinet) ? "previous" : "next") +
                        " one); make each cabinet whole, one per Media row");
    if (cabinetSize > fileSize)
        throw PackError(path + ": a cabinet cut short: its header says " + std::to_string(cabinetSize) +
                        " bytes, the file has " + std::to_string(fileSize));
    std::uint64_t headerEnd = HeaderSize;
    std::size_t folderReserve = 0;
    if (flags & FlagReservePresent) {
        const std::uint8_t *sizes = header.Take(ReserveSizesSize);
        if (!sizes)
            throw PackError(damaged + "its header is cut short");
        folderReserve = sizes[2];
        headerEnd += ReserveSizesSize + ::ReadU16(sizes);
    }
    const std::uint64_t foldersEnd = headerEnd + std::uint64_t(folders) * (FolderSize + folderReserve);
    if (filesAt < foldersEnd)
        throw PackError(damaged + "its file table at byte " + std::to_string(filesAt) +
                        " lies inside its header and folder table, which end at byte " + std::to_string(foldersEnd));
    if (filesAt > cabinetSize)
        throw PackError(damaged + "its file table at byte " + std::to_string(filesAt) + " lies beyond its end");

    // The file table: fixed fields, then the name.
    std::vector<CabinetMember> members;
    members.reserve(files);
    RangeReader table(file, filesAt, cabinetSize, path);
    for (std::uint32_t index = 0; index < files; ++index) {
        const std::string which = "member " + std::to_string(index + 1) + " of " + std::to_string(files);
        const std::uint8_t *entry = table.Take(FileEntrySize);
        if (!entry)
            throw PackError(damaged + which + " lies beyond its end");
        CabinetMember member{{}, false, ::ReadU32(entry)};
        const std::uint16_t folder = ::ReadU16(entry + 8);
        member.utf8 = (::ReadU16(entry + 14) & AttributeNameIsUtf8) != 0;
        if (!table.TakeString(NameLimit, member.name) || member.name.empty())
            throw PackError(damaged + which + " has no name of 1 to " + std::to_string(NameLimit - 1) + " bytes");
        if (member.utf8 && !IsUtf8(member.name))
            throw PackError(damaged + which + "'s name is marked UTF-8 but is not");
        if (folder >= FirstSpanningFolder)
            throw PackError(path + ": " + which + " continues from or into another cabinet (folder index " +
                            Hex(folder) + "); make each cabinet whole, one per Media row");
        if (folder >= folders)
            throw PackError(damaged + which + " is in folder " + std::to_string(folder) + " of " +
                            std::to_string(folders));
        members.push_back(std::move(member));
    }
    return members;
}

} // namespace packer
