#include "packer/msi/cabinet_match.h"

#include "packer/msi/cabinet_file_list.h"
#include "packer/pack_error.h"
#include "unicode/utf.h"

#include <algorithm>
#include <map>
#include <set>

namespace packer {

namespace {

// A member's name on one line of a message: bytes that are not UTF-8 text, and control
// characters, as \xNN.
std::string ShownName(const CabinetMember &member)
{
    static const char digits[] = "0123456789ABCDEF";
    const std::string &name = member.name;
    std::string shown;
    for (std::size_t at = 0; at < name.size();) {
        const auto c = static_cast<unsigned char>(name[at]);
        const std::size_t start = at;
        char32_t code;
        if (member.utf8 && c >= 0x80 &&
            unicode::DecodeUtf8(name.data(), name.size(), at, code, unicode::Utf8Policy::Strict)) {
            shown.append(name, start, at - start);
            continue;
        }
        ++at;
        if (c < 0x20 || c >= 0x7F) {
            shown += "\\x";
            shown += digits[c >> 4];
            shown += digits[c & 0xF];
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

// FileName holds one name, or a short and a long one: "short|long".
std::string LongName(const std::string &fileName)
{
    const std::size_t bar = fileName.find('|');
    return bar == std::string::npos ? fileName : fileName.substr(bar + 1);
}

bool IsNamedBy(const CabinetMember &member, const std::string &fileName)
{
    const std::size_t bar = fileName.find('|');
    return member.name == LongName(fileName) || (bar != std::string::npos && member.name == fileName.substr(0, bar));
}

} // namespace

void CheckCabinetMembers(const std::string &packagePath, const ExternalCabinet &cabinet, const std::string &cabinetPath,
                         std::vector<std::string> &warnings)
{
    const std::vector<CabinetMember> members = ReadCabinetFileList(cabinetPath);
    const std::string where = packagePath + ": cabinet " + cabinet.name;
    std::map<std::string, std::size_t> positions;
    for (std::size_t at = 0; at < members.size(); ++at)
        positions.emplace(members[at].name, at);

    // The file the members so far end with, and its position.
    const CabinetFile *last = nullptr;
    std::size_t lastAt = 0;
    for (const CabinetFile &file : cabinet.files) {
        const auto found = positions.find(file.key);
        if (found == positions.end()) {
            std::string line =
                where + " has no member " + file.key + ", the File table's key of " + LongName(file.fileName);
            const auto byName = std::find_if(members.begin(), members.end(), [&](const CabinetMember &member) {
                return IsNamedBy(member, file.fileName);
            });
            if (byName != members.end())
                line += "; it holds " + ShownName(*byName) +
                        ", the file's name, but the installer looks for each file under its File key: name the "
                        "members by key (with gcab, copy each file to its key's name first)";
            throw PackError(line);
        }
        const CabinetMember &member = members[found->second];
        if (member.size != file.size)
            throw PackError(where + " holds " + file.key + " with " + std::to_string(member.size) +
                            " bytes, where the File table's FileSize says " + std::to_string(file.size));
        if (last && found->second < lastAt && file.sequence != last->sequence)
            throw PackError(where + " holds " + file.key + " (Sequence " + std::to_string(file.sequence) + ") before " +
                            last->key + " (Sequence " + std::to_string(last->sequence) +
                            "), but the installer reads a cabinet's members in Sequence order: add them in "
                            "that order");
        if (!last || found->second > lastAt) {
            last = &file;
            lastAt = found->second;
        }
    }

    std::set<std::string> taken;
    for (const CabinetFile &file : cabinet.files)
        taken.insert(file.key);
    for (const CabinetMember &member : members)
        if (taken.count(member.name) == 0)
            warnings.push_back(where + " holds " + ShownName(member) +
                               ", which is no file the package takes from it: it is never installed");
}

} // namespace packer
