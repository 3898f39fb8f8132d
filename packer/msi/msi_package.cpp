#include "packer/msi/msi_package.h"

#include "packer/host/host.h"
#include "packer/msi/msi_database.h"
#include "packer/pack_error.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <memory>

namespace packer {

namespace {

bool HasTable(MsiDatabase &database, const std::string &name)
{
    return !database.Select("SELECT `Name` FROM `_Tables` WHERE `Name` = '" + name + "'", 1).empty();
}

std::string Property(MsiDatabase &database, const std::string &name)
{
    if (!HasTable(database, "Property"))
        return {};
    auto rows = database.Select("SELECT `Value` FROM `Property` WHERE `Property` = '" + name + "'", 1);
    return rows.empty() ? std::string() : rows.front().front();
}

bool IsDecimal(const std::string &text)
{
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

} // namespace

std::optional<std::string> LanguageId(const std::string &text)
{
    if (!IsDecimal(text) || std::stoul(text) > 0xFFFF)
        return std::nullopt;
    return std::to_string(std::stoul(text));
}

namespace {

// The Summary Information's Word Count bit that makes files compressed unless they say otherwise,
// and the File table's attributes that say otherwise.
constexpr int WordCountCompressed = 0x2;
constexpr int FileAttributeNoncompressed = 0x2000;
constexpr int FileAttributeCompressed = 0x4000;

struct FileRow {
    CabinetFile file;
    bool compressed;
};

// An integer column as the database gives it, in decimal.
std::int64_t Integer(const std::string &path, const std::string &text, const std::string &what)
{
    std::size_t at = text.size() > 1 && text.front() == '-' ? 1 : 0;
    if (text.size() == at || text.size() - at > 10 ||
        !std::all_of(text.begin() + static_cast<std::ptrdiff_t>(at), text.end(),
                     [](unsigned char c) { return std::isdigit(c); }))
        throw PackError(path + ": " + what + " \"" + text + "\" is not a number");
    return std::stoll(text);
}

std::vector<FileRow> ReadFiles(MsiDatabase &database, const std::string &path)
{
    std::vector<FileRow> files;
    if (!HasTable(database, "File"))
        return files;
    const int wordCount = database.WordCount().value_or(0);
    for (auto &row :
         database.Select("SELECT `File`, `FileName`, `FileSize`, `Attributes`, `Sequence` FROM `File`", 5)) {
        const std::string what = "the File table's row " + row[0] + ": ";
        const std::int64_t size = Integer(path, row[2], what + "FileSize");
        const std::int64_t attributes = row[3].empty() ? 0 : Integer(path, row[3], what + "Attributes");
        const std::int64_t sequence = Integer(path, row[4], what + "Sequence");
        if (size < 0 || sequence < 0 || sequence > 0x7FFFFFFF)
            throw PackError(path + ": " + what + "FileSize " + row[2] + " or Sequence " + row[4] + " is out of range");
        const bool compressed = (attributes & FileAttributeNoncompressed) ? false
                                : (attributes & FileAttributeCompressed)  ? true
                                                                          : (wordCount & WordCountCompressed) != 0;
        files.push_back(
            {{row[0], row[1], static_cast<std::uint64_t>(size), static_cast<std::uint32_t>(sequence)}, compressed});
    }
    std::stable_sort(files.begin(), files.end(),
                     [](const FileRow &a, const FileRow &b) { return a.file.sequence < b.file.sequence; });
    return files;
}

// The external cabinets, each with the compressed files of its Media rows: a row holds the files
// whose Sequence is above the LastSequence of the row before it in DiskId order, up to its own.
// A Cabinet starting with '#' is a stream inside the package, which comes with it.
std::vector<ExternalCabinet> ReadCabinets(MsiDatabase &database, const std::string &path,
                                          const std::vector<FileRow> &files)
{
    struct MediaRow {
        std::int64_t diskId, lastSequence;
        std::string cabinet;
    };
    std::vector<MediaRow> media;
    if (HasTable(database, "Media"))
        for (auto &row : database.Select("SELECT `DiskId`, `LastSequence`, `Cabinet` FROM `Media`", 3))
            media.push_back({Integer(path, row[0], "the Media table's DiskId"),
                             Integer(path, row[1], "the Media table's LastSequence of disk " + row[0]), row[2]});
    std::stable_sort(media.begin(), media.end(),
                     [](const MediaRow &a, const MediaRow &b) { return a.diskId < b.diskId; });

    std::vector<ExternalCabinet> cabinets;
    auto file = files.begin();
    for (const MediaRow &row : media) {
        ExternalCabinet *cabinet = nullptr;
        if (!row.cabinet.empty() && row.cabinet.front() != '#') {
            auto found = std::find_if(cabinets.begin(), cabinets.end(),
                                      [&](const ExternalCabinet &c) { return c.name == row.cabinet; });
            cabinet = found != cabinets.end() ? &*found : &cabinets.emplace_back(ExternalCabinet{row.cabinet, {}});
        }
        for (; file != files.end() && file->file.sequence <= row.lastSequence; ++file)
            if (cabinet && file->compressed)
                cabinet->files.push_back(file->file);
    }
    auto stranded = std::find_if(file, files.end(), [](const FileRow &row) { return row.compressed; });
    if (stranded != files.end())
        throw PackError(
            path + ": file " + stranded->file.key + " has Sequence " + std::to_string(stranded->file.sequence) +
            (media.empty() ? ", but the package has no Media row, so no cabinet holds it: add one that names its "
                             "cabinet"
                           : ", above every Media row's LastSequence, so no cabinet holds it: give its Media row a "
                             "LastSequence that includes it"));
    // A cabinet named by several rows holds all of their files, still in Sequence order.
    for (ExternalCabinet &cabinet : cabinets)
        std::stable_sort(cabinet.files.begin(), cabinet.files.end(),
                         [](const CabinetFile &a, const CabinetFile &b) { return a.sequence < b.sequence; });
    return cabinets;
}

} // namespace

MsiPackage ReadMsiPackage(const std::string &path, bool allowUncompressed)
{
    MsiPackage package{path, {}, {}, {}, {}, {}, false, {}};
    {
        // A package that can't be read at all (missing, a folder) is named as such before the
        // database reader gives its own words for it.
        std::uint64_t size = 0;
        host::ReadableFile::Open(path, size);
    }
    std::unique_ptr<MsiDatabase> opened = OpenMsiDatabase(path);
    MsiDatabase &database = *opened;

    package.productCode = Property(database, "ProductCode");
    if (package.productCode.empty())
        throw PackError(path + ": the Property table has no ProductCode");
    package.productName = Property(database, "ProductName");
    if (package.productName.empty())
        throw PackError(path + ": the Property table has no ProductName");
    package.productLanguage = Property(database, "ProductLanguage");
    if (IsDecimal(package.productLanguage))
        package.productLanguage = std::to_string(std::stoul(package.productLanguage));

    const std::string templateValue = database.Template();
    // Template is "platform;language,language...".
    auto separator = templateValue.find(';');
    if (separator == std::string::npos || separator == 0)
        throw PackError(path + ": the Summary Information's Template \"" + templateValue +
                        "\" is not of the form platform;languages");
    package.architecture = templateValue.substr(0, separator);
    if (package.architecture == "AMD64")
        package.architecture = "x64"; // the older name of the same platform
    std::string languages = templateValue.substr(separator + 1);
    for (std::size_t begin = 0; begin <= languages.size();) {
        std::size_t end = std::min(languages.find(',', begin), languages.size());
        std::optional<std::string> language = LanguageId(languages.substr(begin, end - begin));
        if (!language)
            throw PackError(path + ": the Template \"" + templateValue + "\" has a language that is not a number");
        if (*language != "0")
            package.languages.push_back(*language);
        begin = end + 1;
    }
    if (package.languages.empty())
        throw PackError(path + ": the Template \"" + templateValue +
                        "\" names no language; the launcher chooses packages by language (e.g. x64;1033)");

    // Files outside cabinets are looked for beside the package when it installs, and the
    // launcher brings only the package and its cabinets.
    const std::vector<FileRow> files = ReadFiles(database, path);
    if (!allowUncompressed) {
        const auto outside = static_cast<std::size_t>(
            std::count_if(files.begin(), files.end(), [](const FileRow &row) { return !row.compressed; }));
        if (outside != 0)
            throw PackError(path + ": " + std::to_string(outside) + (outside == 1 ? " file is" : " files are") +
                            " not in a cabinet, so the installation would look for them beside the "
                            "package (give --allow-uncompressed if they are brought another way)");
    }
    package.cabinets = ReadCabinets(database, path, files);
    return package;
}

} // namespace packer
