#include "packer/msi/msi_package.h"

#include "packer/host/host.h"
#include "packer/msi/msi_database.h"
#include "packer/pack_error.h"

#include <algorithm>
#include <cctype>
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

std::size_t UncompressedFiles(MsiDatabase &database)
{
    if (!HasTable(database, "File"))
        return 0;
    const int wordCount = database.WordCount().value_or(0);
    std::size_t outside = 0;
    for (auto &row : database.Select("SELECT `Attributes` FROM `File`", 1)) {
        int attributes = row.front().empty() ? 0 : std::stoi(row.front());
        bool compressed = (attributes & FileAttributeNoncompressed) ? false
                          : (attributes & FileAttributeCompressed)  ? true
                                                                    : (wordCount & WordCountCompressed) != 0;
        outside += compressed ? 0 : 1;
    }
    return outside;
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
    if (!allowUncompressed) {
        std::size_t outside = UncompressedFiles(database);
        if (outside != 0)
            throw PackError(path + ": " + std::to_string(outside) + (outside == 1 ? " file is" : " files are") +
                            " not in a cabinet, so the installation would look for them beside the "
                            "package (give --allow-uncompressed if they are brought another way)");
    }

    // External cabinets; a name starting with '#' is a stream inside the package.
    std::vector<std::vector<std::string>> media;
    if (HasTable(database, "Media"))
        media = database.Select("SELECT `Cabinet` FROM `Media`", 1);
    for (auto &row : media) {
        const std::string &cabinet = row.front();
        if (cabinet.empty() || cabinet.front() == '#')
            continue;
        if (std::find(package.cabinets.begin(), package.cabinets.end(), cabinet) == package.cabinets.end())
            package.cabinets.push_back(cabinet);
    }
    return package;
}

} // namespace packer
