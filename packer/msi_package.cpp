#include "packer/msi_package.h"

#include "packer/pack_error.h"

#include <libmsi.h>

#include <algorithm>
#include <cctype>
#include <memory>

namespace packer {

namespace {

struct GObjectDeleter {
    void operator()(void *object) const { g_object_unref(object); }
};
template <typename T> using GObjectHandle = std::unique_ptr<T, GObjectDeleter>;

struct GErrorHolder {
    GError *error = nullptr;
    ~GErrorHolder() { Clear(); }
    void Clear()
    {
        if (error)
            g_error_free(error);
        error = nullptr;
    }
    std::string Message() const;
};

// libmsi reports through GLib's log; the packer says one line of its own, with libmsi's last word in it.
std::string lastLibraryMessage;

void KeepLibraryMessage(const gchar *, GLogLevelFlags, const gchar *message, gpointer)
{
    lastLibraryMessage = message ? message : "";
    while (!lastLibraryMessage.empty() && std::isspace(static_cast<unsigned char>(lastLibraryMessage.back())))
        lastLibraryMessage.pop_back();
}

std::string GErrorHolder::Message() const
{
    if (error && error->message)
        return error->message;
    return lastLibraryMessage.empty() ? "unknown error" : lastLibraryMessage;
}

struct GStringHandle {
    gchar *text;
    ~GStringHandle() { g_free(text); }
};

class Database {
  public:
    explicit Database(const std::string &path) : path_(path)
    {
        GErrorHolder error;
        database_.reset(libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &error.error));
        if (!database_)
            throw PackError(path + ": not a Windows Installer package that can be read (" + error.Message() + ")");
    }

    // Every row of a SELECT, each field as text (empty for null). A query that fails, a missing
    // table or column included, is an error: ask HasTable first where a table is optional.
    std::vector<std::vector<std::string>> Select(const std::string &sql, unsigned fields)
    {
        GErrorHolder error;
        GObjectHandle<LibmsiQuery> query(libmsi_query_new(database_.get(), sql.c_str(), &error.error));
        if (!query)
            throw PackError(path_ + ": the query " + sql + " failed (" + error.Message() + ")");
        if (!libmsi_query_execute(query.get(), nullptr, &error.error))
            throw PackError(path_ + ": could not be read (" + error.Message() + ")");
        std::vector<std::vector<std::string>> rows;
        while (GObjectHandle<LibmsiRecord> record{libmsi_query_fetch(query.get(), &error.error)}) {
            std::vector<std::string> row;
            for (unsigned field = 1; field <= fields; ++field) {
                if (libmsi_record_is_null(record.get(), field)) {
                    row.emplace_back();
                } else {
                    GStringHandle text{libmsi_record_get_string(record.get(), field)};
                    row.emplace_back(text.text ? text.text : "");
                }
            }
            rows.push_back(std::move(row));
        }
        if (error.error)
            throw PackError(path_ + ": could not be read (" + error.Message() + ")");
        libmsi_query_close(query.get(), nullptr);
        return rows;
    }

    bool HasTable(const std::string &name)
    {
        return !Select("SELECT `Name` FROM `_Tables` WHERE `Name` = '" + name + "'", 1).empty();
    }

    LibmsiDatabase *get() const { return database_.get(); }

  private:
    std::string path_;
    GObjectHandle<LibmsiDatabase> database_;
};

std::string Property(Database &database, const std::string &name)
{
    if (!database.HasTable("Property"))
        return {};
    auto rows = database.Select("SELECT `Value` FROM `Property` WHERE `Property` = '" + name + "'", 1);
    return rows.empty() ? std::string() : rows.front().front();
}

bool IsDecimal(const std::string &text)
{
    return !text.empty() && text.size() <= 5 &&
           std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The Summary Information's Word Count bit that makes files compressed unless they say otherwise,
// and the File table's attributes that say otherwise.
constexpr int WordCountCompressed = 0x2;
constexpr int FileAttributeNoncompressed = 0x2000;
constexpr int FileAttributeCompressed = 0x4000;

std::size_t UncompressedFiles(Database &database, LibmsiSummaryInfo *summary)
{
    if (!database.HasTable("File"))
        return 0;
    GErrorHolder error;
    int wordCount = libmsi_summary_info_get_int(summary, LIBMSI_PROPERTY_SOURCE, &error.error);
    if (error.error)
        wordCount = 0;
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
    MsiPackage package{path, {}, {}, {}, {}, {}, {}};
    lastLibraryMessage.clear();
    g_log_set_default_handler(KeepLibraryMessage, nullptr);
    Database database(path);

    package.productCode = Property(database, "ProductCode");
    if (package.productCode.empty())
        throw PackError(path + ": the Property table has no ProductCode");
    package.productName = Property(database, "ProductName");
    if (package.productName.empty())
        throw PackError(path + ": the Property table has no ProductName");
    package.productLanguage = Property(database, "ProductLanguage");
    if (IsDecimal(package.productLanguage))
        package.productLanguage = std::to_string(std::stoul(package.productLanguage));

    GErrorHolder error;
    GObjectHandle<LibmsiSummaryInfo> summary(libmsi_summary_info_new(database.get(), 0, &error.error));
    if (!summary)
        throw PackError(path + ": the Summary Information can't be read (" + error.Message() + ")");
    const gchar *templateText = libmsi_summary_info_get_string(summary.get(), LIBMSI_PROPERTY_TEMPLATE, nullptr);
    std::string templateValue = templateText ? templateText : "";
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
        std::string language = languages.substr(begin, end - begin);
        if (!IsDecimal(language) || std::stoul(language) > 0xFFFF)
            throw PackError(path + ": the Template \"" + templateValue + "\" has a language that is not a number");
        if (std::stoul(language) != 0)
            package.languages.push_back(std::to_string(std::stoul(language)));
        begin = end + 1;
    }
    if (package.languages.empty())
        throw PackError(path + ": the Template \"" + templateValue +
                        "\" names no language; the launcher chooses packages by language (e.g. x64;1033)");

    // Files outside cabinets are looked for beside the package when it installs, and the
    // launcher brings only the package and its cabinets.
    if (!allowUncompressed) {
        std::size_t outside = UncompressedFiles(database, summary.get());
        if (outside != 0)
            throw PackError(path + ": " + std::to_string(outside) + (outside == 1 ? " file is" : " files are") +
                            " not in a cabinet, so the installation would look for them beside the "
                            "package (give --allow-uncompressed if they are brought another way)");
    }

    // External cabinets; a name starting with '#' is a stream inside the package.
    std::vector<std::vector<std::string>> media;
    if (database.HasTable("Media"))
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
