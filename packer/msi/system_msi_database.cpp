// MsiDatabase with the system's own msi.dll, on Windows. The DLL is loaded from the system folder
// only, never from the program's folder or the current one, and only the calls below are used.
#include "packer/msi/msi_database.h"

#include "packer/host/windows_text.h"
#include "packer/pack_error.h"

#include <windows.h>

#include <msi.h>
#include <msiquery.h>
#include <wtypes.h>

namespace packer {

namespace {

using host::SystemMessage;
using host::Utf8;
using host::Wide;

// The summary properties the packer reads.
constexpr UINT PropertyTemplate = 7;   // PID_TEMPLATE
constexpr UINT PropertyWordCount = 15; // PID_WORDCOUNT
// MSIDBOPEN_READONLY, a persist mode given as a string pointer.
const LPCWSTR ReadOnly = nullptr;

struct MsiCalls {
    decltype(&MsiOpenDatabaseW) openDatabase;
    decltype(&MsiDatabaseOpenViewW) openView;
    decltype(&MsiViewExecute) execute;
    decltype(&MsiViewFetch) fetch;
    decltype(&MsiViewClose) closeView;
    decltype(&MsiRecordIsNull) isNull;
    decltype(&MsiRecordGetStringW) getString;
    decltype(&MsiGetSummaryInformationW) getSummary;
    decltype(&MsiSummaryInfoGetPropertyW) getProperty;
    decltype(&MsiCloseHandle) closeHandle;
};

template <typename Function> void Find(HMODULE library, const char *name, Function &function)
{
    function = reinterpret_cast<Function>(reinterpret_cast<void *>(GetProcAddress(library, name)));
    if (!function)
        throw PackError(std::string("msi.dll has no ") + name + " (" + SystemMessage(GetLastError()) + ")");
}

// Loaded once, for the life of the process.
const MsiCalls &Msi()
{
    static const MsiCalls calls = [] {
        HMODULE library = LoadLibraryExW(L"msi.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!library)
            throw PackError("the system's msi.dll could not be loaded (" + SystemMessage(GetLastError()) + ")");
        MsiCalls found{};
        Find(library, "MsiOpenDatabaseW", found.openDatabase);
        Find(library, "MsiDatabaseOpenViewW", found.openView);
        Find(library, "MsiViewExecute", found.execute);
        Find(library, "MsiViewFetch", found.fetch);
        Find(library, "MsiViewClose", found.closeView);
        Find(library, "MsiRecordIsNull", found.isNull);
        Find(library, "MsiRecordGetStringW", found.getString);
        Find(library, "MsiGetSummaryInformationW", found.getSummary);
        Find(library, "MsiSummaryInfoGetPropertyW", found.getProperty);
        Find(library, "MsiCloseHandle", found.closeHandle);
        return found;
    }();
    return calls;
}

class MsiHandle {
  public:
    MsiHandle() = default;
    MsiHandle(const MsiHandle &) = delete;
    MsiHandle &operator=(const MsiHandle &) = delete;
    ~MsiHandle() { Reset(); }
    MSIHANDLE Get() const { return handle_; }
    MSIHANDLE *Out()
    {
        Reset();
        return &handle_;
    }

  private:
    void Reset()
    {
        if (handle_ != 0)
            Msi().closeHandle(handle_);
        handle_ = 0;
    }
    MSIHANDLE handle_ = 0;
};

// A record field or a summary string: asked for once with a guess, again with the size needed.
template <typename Call> std::string ReadString(Call call, UINT &result)
{
    std::wstring text(64, L'\0');
    DWORD length = static_cast<DWORD>(text.size());
    result = call(text.data(), &length);
    if (result == ERROR_MORE_DATA) {
        text.resize(length + 1);
        length = static_cast<DWORD>(text.size());
        result = call(text.data(), &length);
    }
    return result == ERROR_SUCCESS ? Utf8(text.data(), length) : std::string();
}

// The package's path as msi.dll takes it: whole, with backslashes, and within MAX_PATH, which its
// database code copies into fixed buffers (a name without a backslash is even put behind the
// current folder first). A longer path goes by its short form where the volume has one.
std::wstring DatabasePath(const std::string &path)
{
    std::wstring full = host::WidePath(path);
    DWORD needed = GetFullPathNameW(full.c_str(), 0, nullptr, nullptr);
    if (needed != 0) {
        std::wstring resolved(needed, L'\0');
        DWORD length = GetFullPathNameW(full.c_str(), needed, resolved.data(), nullptr);
        if (length != 0 && length < needed)
            full.assign(resolved.data(), length);
    }
    const std::wstring longPrefix = LR"(\\?\)";
    if (full.size() >= MAX_PATH && full.rfind(longPrefix, 0) != 0)
        full = longPrefix + full;
    if (full.size() < MAX_PATH)
        return full;
    DWORD shortNeeded = GetShortPathNameW(full.c_str(), nullptr, 0);
    if (shortNeeded != 0) {
        std::wstring shortened(shortNeeded, L'\0');
        DWORD length = GetShortPathNameW(full.c_str(), shortened.data(), shortNeeded);
        shortened.resize(length < shortNeeded ? length : 0);
        if (shortened.rfind(longPrefix, 0) == 0)
            shortened.erase(0, longPrefix.size());
        if (!shortened.empty() && shortened.size() < MAX_PATH)
            return shortened;
    }
    throw ReadError(path + ": the path is too long for the system's package reader (msi.dll takes at most " +
                    std::to_string(MAX_PATH - 1) + " characters); move the package to a shorter folder");
}

class SystemMsiDatabase : public MsiDatabase {
  public:
    explicit SystemMsiDatabase(const std::string &path) : path_(path)
    {
        UINT result = Msi().openDatabase(DatabasePath(path).c_str(), ReadOnly, database_.Out());
        if (result != ERROR_SUCCESS)
            throw PackError(path + ": not a Windows Installer package that can be read (" + SystemMessage(result) +
                            ")");
    }

    std::vector<std::vector<std::string>> Select(const std::string &sql, unsigned fields) override
    {
        MsiHandle view;
        UINT result = Msi().openView(database_.Get(), Wide(sql).c_str(), view.Out());
        if (result != ERROR_SUCCESS)
            throw PackError(path_ + ": the query " + sql + " failed (" + SystemMessage(result) + ")");
        result = Msi().execute(view.Get(), 0);
        if (result != ERROR_SUCCESS)
            throw PackError(path_ + ": could not be read (" + SystemMessage(result) + ")");
        std::vector<std::vector<std::string>> rows;
        for (;;) {
            MsiHandle record;
            result = Msi().fetch(view.Get(), record.Out());
            if (result == ERROR_NO_MORE_ITEMS)
                break;
            if (result != ERROR_SUCCESS)
                throw PackError(path_ + ": could not be read (" + SystemMessage(result) + ")");
            std::vector<std::string> row;
            for (unsigned field = 1; field <= fields; ++field) {
                if (Msi().isNull(record.Get(), field)) {
                    row.emplace_back();
                    continue;
                }
                row.push_back(
                    ReadString([&](wchar_t *buffer,
                                   DWORD *length) { return Msi().getString(record.Get(), field, buffer, length); },
                               result));
                if (result != ERROR_SUCCESS)
                    throw PackError(path_ + ": could not be read (" + SystemMessage(result) + ")");
            }
            rows.push_back(std::move(row));
        }
        Msi().closeView(view.Get());
        return rows;
    }

    std::string Template() override
    {
        UINT type = 0, result = 0;
        std::string text = ReadString(
            [&](wchar_t *buffer, DWORD *length) {
                INT number = 0;
                FILETIME time{};
                return Msi().getProperty(Summary(), PropertyTemplate, &type, &number, &time, buffer, length);
            },
            result);
        return result == ERROR_SUCCESS && type == VT_LPSTR ? text : std::string();
    }

    std::optional<int> WordCount() override
    {
        UINT type = 0;
        INT number = 0;
        FILETIME time{};
        DWORD length = 0;
        UINT result = Msi().getProperty(Summary(), PropertyWordCount, &type, &number, &time, nullptr, &length);
        if (result != ERROR_SUCCESS || type != VT_I4)
            return std::nullopt;
        return number;
    }

  private:
    MSIHANDLE Summary()
    {
        if (summary_.Get() == 0) {
            UINT result = Msi().getSummary(database_.Get(), nullptr, 0, summary_.Out());
            if (result != ERROR_SUCCESS)
                throw PackError(path_ + ": the Summary Information can't be read (" + SystemMessage(result) + ")");
        }
        return summary_.Get();
    }

    std::string path_;
    MsiHandle database_;
    MsiHandle summary_;
};

} // namespace

std::unique_ptr<MsiDatabase> OpenMsiDatabase(const std::string &path)
{
    return std::make_unique<SystemMsiDatabase>(path);
}

} // namespace packer
