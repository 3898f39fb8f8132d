#include "packer/payload/package_plan.h"

#include "packer/host/host.h"
#include "packer/msi/cabinet_match.h"
#include "packer/pack_error.h"
#include "packer/payload/payload_reader.h"
#include "unicode/utf.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <filesystem>
#include <map>
#include <utility>

namespace packer {

namespace {

constexpr std::uint32_t FirstItemId = 1000;

// Bytes the text may need in an ANSI code page: one per ASCII character, two per other
// character (a double-byte code page's worst case).
std::size_t AnsiLengthBound(const std::string &text)
{
    std::size_t length = 0;
    for (unsigned char c : text) {
        if (c < 0x80)
            length += 1;
        else if (c >= 0xC0)
            length += 2; // a lead byte; continuation bytes add nothing
    }
    return length;
}

// UTF-16 units of UTF-8 text: the caption is cut in those.
std::size_t Utf16Length(const std::string &text)
{
    std::u16string wide;
    unicode::AppendUtf16FromUtf8(wide, text.data(), text.size(), unicode::Utf8Policy::Replacing);
    return wide.size();
}

std::string Join(const std::vector<std::string> &parts, char separator)
{
    std::string joined;
    for (const auto &part : parts) {
        if (!joined.empty())
            joined += separator;
        joined += part;
    }
    return joined;
}

void CheckComponent(const std::string &text, const std::string &what)
{
    if (text.find('\\') != std::string::npos)
        throw PackError(what + " \"" + text +
                        "\" contains a backslash, which separates the fields of the package "
                        "directory");
    if (AnsiLengthBound(text) > ComponentLimit)
        throw PackError(what + " is longer than the launcher's limit of " + std::to_string(ComponentLimit) + " bytes");
}

void CheckProductCode(const MsiPackage &package)
{
    const std::string &code = package.productCode;
    bool isGuid = code.size() == 38 && code.front() == '{' && code.back() == '}';
    for (std::size_t i = 1; isGuid && i < 37; ++i) {
        bool dash = i == 9 || i == 14 || i == 19 || i == 24;
        isGuid = dash ? code[i] == '-' : std::isxdigit(static_cast<unsigned char>(code[i])) != 0;
    }
    // It names the extraction folder, so nothing but a GUID in braces will do.
    if (!isGuid)
        throw PackError(package.path + ": ProductCode \"" + code + "\" is not a GUID in braces");
}

void CheckCabinetName(const std::string &name, const std::string &packagePath)
{
    const std::string what = packagePath + ": cabinet name \"" + name + "\"";
    // The launcher writes names in the system's code page: only ASCII names are the same on
    // every machine.
    if (std::any_of(name.begin(), name.end(), [](unsigned char c) { return c >= 0x80; }))
        throw PackError(what + " is not ASCII, and the launcher would write it in the user's code page: rename "
                               "the cabinet (Media table) to ASCII");
    if (!IsPlainFileNameUtf8(name))
        throw PackError(what + " is one the launcher refuses (a separator, wildcard, quote, control character, "
                               "trailing dot or space, or a device name such as AUX): rename the cabinet");
    if (IsSameFileNameUtf8(name, "main.msi"))
        throw PackError(what + " clashes with main.msi, the name the package is written under");
    if (AnsiLengthBound(name) > FileNameLimit)
        throw PackError(what + " is longer than the launcher's limit of " + std::to_string(FileNameLimit) + " bytes");
    CheckComponent(name, what);
}

// The package's folder with its separator, as the host writes paths ('\\' or '/' on Windows).
std::string Directory(const std::string &path)
{
    return std::filesystem::u8path(path).remove_filename().u8string();
}

class ItemTable {
  public:
    explicit ItemTable(PackagePlan &plan) : plan_(plan) {}

    // The id of the item with this content; identical files share one item.
    std::uint32_t Add(const FileSummary &content, const std::string &source)
    {
        auto found = ids_.find(content.digest);
        if (found != ids_.end())
            return found->second;
        std::uint32_t id = FirstItemId + static_cast<std::uint32_t>(plan_.items.size());
        plan_.items.push_back({id, source, content.size, content.digest});
        ids_.emplace(content.digest, id);
        return id;
    }

  private:
    PackagePlan &plan_;
    std::map<Sha256Digest, std::uint32_t> ids_;
};

struct PackageNote {
    std::size_t package; // the package's index
    std::string text;
};

// The x64 packages that the launcher's selection never chooses, each with the reason. The
// selection runs for every language the packages name and for 1033, its last resort, as verify
// runs it: a package that none of them leads to is chosen for no language at all.
std::vector<PackageNote> UnreachablePackages(const std::vector<MsiPackage> &packages,
                                             const std::vector<std::uint32_t> &packageIds,
                                             const std::vector<writer::DirectoryEntry> &entries)
{
    const Bytes directory = writer::WriteDirectory(entries);
    std::map<std::string, std::uint32_t> winners{{"1033", ChosenPackageId(directory, 1033)}};
    for (const MsiPackage &package : packages)
        for (const auto &language : package.languages)
            winners.emplace(language, ChosenPackageId(directory, static_cast<std::uint32_t>(std::stoul(language))));

    std::vector<PackageNote> unreachable;
    for (std::size_t i = 0; i < packages.size(); ++i) {
        const MsiPackage &package = packages[i];
        if (package.architecture != "x64" ||
            std::any_of(winners.begin(), winners.end(), [&](const auto &won) { return won.second == packageIds[i]; }))
            continue;
        // The packages chosen instead, each with the languages it takes from this one.
        std::vector<std::pair<std::uint32_t, std::vector<std::string>>> takers;
        for (const auto &language : package.languages) {
            std::uint32_t winner = winners.at(language);
            auto taker = std::find_if(takers.begin(), takers.end(), [&](const auto &t) { return t.first == winner; });
            if (taker == takers.end())
                taker = takers.insert(takers.end(), {winner, {}});
            taker->second.push_back(language);
        }
        std::string reason = package.path + " can never be chosen: ";
        for (std::size_t t = 0; t < takers.size(); ++t) {
            auto winner = std::find(packageIds.begin(), packageIds.end(), takers[t].first);
            reason += (t == 0 ? "" : ", ") + packages[static_cast<std::size_t>(winner - packageIds.begin())].path +
                      " is chosen for " + Join(takers[t].second, ',');
        }
        // wixl's Template names 1033 whatever the product's language is.
        const bool productLanguageLeftOut = !package.languagesGiven && !package.productLanguage.empty() &&
                                            std::find(package.languages.begin(), package.languages.end(),
                                                      package.productLanguage) == package.languages.end();
        reason += " (give the languages it is for with --msi-language " +
                  host::ShellWord(package.path + "=" + (productLanguageLeftOut ? package.productLanguage : "LCID")) +
                  ")";
        unreachable.push_back({i, reason});
    }
    return unreachable;
}

struct CabinetEntry {
    std::string name;
    std::uint32_t itemId;
    std::vector<std::string> packageIds;
};

} // namespace

PackagePlan PlanPackages(const std::vector<MsiPackage> &packages, bool allowUnreachable)
{
    PackagePlan plan;
    ItemTable items(plan);
    std::vector<CabinetEntry> cabinets;
    std::map<std::string, std::string> languageOwners; // x64 language -> the package that has it first
    std::vector<PackageNote> sharedLanguages;          // languages two packages name, by the later one
    std::vector<std::uint32_t> packageIds;             // each package's entry id
    bool anyX64 = false;

    for (const MsiPackage &package : packages) {
        CheckProductCode(package);
        CheckComponent(package.architecture, package.path + ": the platform");
        CheckComponent(package.productName, package.path + ": ProductName");
        std::string languages = Join(package.languages, ';');
        CheckComponent(languages, package.path + ": the language list");
        if (Utf16Length(package.productName) > CaptionLimit)
            plan.warnings.push_back(package.path + ": ProductName is longer than " + std::to_string(CaptionLimit) +
                                    " characters; the progress window's caption shows only the first " +
                                    std::to_string(CaptionLimit));

        bool isX64 = package.architecture == "x64";
        anyX64 = anyX64 || isX64;
        if (!isX64)
            plan.warnings.push_back(package.path + " is for " + package.architecture +
                                    "; the launcher installs x64 packages only and never chooses it");
        for (const auto &language : package.languages) {
            if (!isX64)
                continue;
            auto [owner, added] = languageOwners.emplace(language, package.path);
            if (!added && owner->second != package.path)
                sharedLanguages.push_back({static_cast<std::size_t>(&package - packages.data()),
                                           package.path + " and " + owner->second + " both name language " + language +
                                               "; the launcher takes the one listed first"});
        }

        const bool productLanguageLeftOut =
            !package.productLanguage.empty() && std::find(package.languages.begin(), package.languages.end(),
                                                          package.productLanguage) == package.languages.end();
        // Given languages that leave out the product's own may name the wrong file, or a fallback.
        if (productLanguageLeftOut && package.languagesGiven)
            plan.warnings.push_back(package.path + ": --msi-language gives it " + Join(package.languages, ',') +
                                    ", not its ProductLanguage " + package.productLanguage +
                                    ": the launcher chooses it for those languages, not for its own (right for a "
                                    "fallback package; else give them to the package of that language)");
        else if (productLanguageLeftOut)
            plan.warnings.push_back(package.path + ": ProductLanguage " + package.productLanguage +
                                    " is not among the Template's languages (" + package.architecture + ";" +
                                    Join(package.languages, ',') +
                                    "); the launcher chooses by the Template: give the product's language with "
                                    "--msi-language " +
                                    host::ShellWord(package.path + "=" + package.productLanguage));

        for (const auto &cabinet : package.cabinets)
            CheckCabinetName(cabinet.name, package.path);
        std::uint32_t packageId = items.Add(SummarizeFile(package.path), package.path);
        packageIds.push_back(packageId);
        plan.directory.push_back(
            {packageId, Join({package.architecture, languages, package.productCode, package.productName}, '\\')});

        std::vector<std::pair<std::string, std::uint32_t>> written; // this package's cabinets and their items
        for (const auto &external : package.cabinets) {
            const std::string &cabinet = external.name;
            std::string cabinetPath = Directory(package.path) + cabinet;
            FileSummary content;
            try {
                content = SummarizeFile(cabinetPath);
            } catch (const PackError &error) {
                // One that is there, a folder or unreadable, is not missing.
                throw ReadError(package.path + ": cabinet " + cabinet + " from the Media table " +
                                (host::PathExists(cabinetPath) ? "can't be read (" : "is missing (") + error.what() +
                                ")");
            }
            std::uint32_t itemId = items.Add(content, cabinetPath);
            // The launcher writes a package's cabinets into one folder, where names that differ only
            // in letter case are one file. The same file named twice is one item.
            for (const auto &[name, id] : written) {
                if (id != itemId && IsSameFileNameUtf8(name, cabinet))
                    throw PackError(package.path + ": cabinets \"" + name + "\" and \"" + cabinet +
                                    "\" differ only in letter case and are one file on Windows: rename one (Media "
                                    "table)");
            }
            written.emplace_back(cabinet, itemId);
            CheckCabinetMembers(package.path, external, cabinetPath, plan.warnings);
            auto entry = std::find_if(cabinets.begin(), cabinets.end(), [&](const CabinetEntry &existing) {
                return existing.name == cabinet && existing.itemId == itemId;
            });
            if (entry == cabinets.end())
                entry = cabinets.insert(cabinets.end(), {cabinet, itemId, {}});
            std::string id = std::to_string(packageId);
            if (std::find(entry->packageIds.begin(), entry->packageIds.end(), id) == entry->packageIds.end())
                entry->packageIds.push_back(id);
        }
    }
    if (!anyX64)
        throw PackError("no package is for x64: the launcher installs x64 packages only");
    std::vector<PackageNote> unreachable = UnreachablePackages(packages, packageIds, plan.directory);
    if (!unreachable.empty() && !allowUnreachable)
        throw PackError(unreachable.front().text + ", or --allow-unreachable to pack it anyway");
    // A package that is never chosen gets that one warning, not one for each language it shares.
    auto isUnreachable = [&](std::size_t package) {
        return std::any_of(unreachable.begin(), unreachable.end(),
                           [&](const PackageNote &u) { return u.package == package; });
    };
    for (const auto &shared : sharedLanguages)
        if (!isUnreachable(shared.package))
            plan.warnings.push_back(shared.text);
    for (const auto &u : unreachable)
        plan.warnings.push_back(u.text);

    for (const CabinetEntry &cabinet : cabinets) {
        std::string packageIds = Join(cabinet.packageIds, ';');
        CheckComponent(packageIds, "the package list of cabinet " + cabinet.name);
        plan.directory.push_back({cabinet.itemId, Join({"cab", packageIds, cabinet.name}, '\\')});
    }
    for (const PlannedItem &item : plan.items)
        plan.directory.push_back(writer::BindingEntry(item.id, item.digest.data(), item.size));
    return plan;
}

} // namespace packer
