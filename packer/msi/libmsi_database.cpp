// MsiDatabase with libmsi, on Linux.
#include "packer/msi/msi_database.h"

#include "packer/pack_error.h"

#include <libmsi.h>

#include <cctype>

namespace packer {

namespace {

struct GObjectDeleter {
    void operator()(void *object) const { g_object_unref(object); }
};
template <typename T> using GObjectHandle = std::unique_ptr<T, GObjectDeleter>;

// libmsi reports through GLib's log; the packer says one line of its own, with libmsi's last word in it.
std::string lastLibraryMessage;

void KeepLibraryMessage(const gchar *, GLogLevelFlags, const gchar *message, gpointer)
{
    lastLibraryMessage = message ? message : "";
    while (!lastLibraryMessage.empty() && std::isspace(static_cast<unsigned char>(lastLibraryMessage.back())))
        lastLibraryMessage.pop_back();
}

struct GErrorHolder {
    GError *error = nullptr;
    ~GErrorHolder()
    {
        if (error)
            g_error_free(error);
    }
    std::string Message() const
    {
        if (error && error->message)
            return error->message;
        return lastLibraryMessage.empty() ? "unknown error" : lastLibraryMessage;
    }
};

struct GStringHandle {
    gchar *text;
    ~GStringHandle() { g_free(text); }
};

class LibmsiDatabaseReader : public MsiDatabase {
  public:
    explicit LibmsiDatabaseReader(const std::string &path) : path_(path)
    {
        lastLibraryMessage.clear();
        g_log_set_default_handler(KeepLibraryMessage, nullptr);
        GErrorHolder error;
        database_.reset(libmsi_database_new(path.c_str(), LIBMSI_DB_FLAGS_READONLY, nullptr, &error.error));
        if (!database_)
            throw PackError(path + ": not a Windows Installer package that can be read (" + error.Message() + ")");
    }

    std::vector<std::vector<std::string>> Select(const std::string &sql, unsigned fields) override
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

    std::string Template() override
    {
        const gchar *text = libmsi_summary_info_get_string(Summary(), LIBMSI_PROPERTY_TEMPLATE, nullptr);
        return text ? text : "";
    }

    std::optional<int> WordCount() override
    {
        GErrorHolder error;
        int value = libmsi_summary_info_get_int(Summary(), LIBMSI_PROPERTY_SOURCE, &error.error);
        if (error.error)
            return std::nullopt;
        return value;
    }

  private:
    LibmsiSummaryInfo *Summary()
    {
        if (!summary_) {
            GErrorHolder error;
            summary_.reset(libmsi_summary_info_new(database_.get(), 0, &error.error));
            if (!summary_)
                throw PackError(path_ + ": the Summary Information can't be read (" + error.Message() + ")");
        }
        return summary_.get();
    }

    std::string path_;
    GObjectHandle<LibmsiDatabase> database_;
    GObjectHandle<LibmsiSummaryInfo> summary_;
};

} // namespace

std::unique_ptr<MsiDatabase> OpenMsiDatabase(const std::string &path)
{
    return std::make_unique<LibmsiDatabaseReader>(path);
}

} // namespace packer
