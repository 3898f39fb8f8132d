#include "packer/commands/installer_reading.h"

#include "packer/keys/payload_key.h"
#include "packer/pe/authenticode.h"
#include "packer/pack_error.h"
#include "packer/payload/payload_reader.h"
#include "packer/pe/pe_image.h"
#include "packer/pe/signature_object.h"
#include "unicode/utf.h"

#include <cstdio>
#include <ostream>
#include <set>

namespace packer::reading {

// The file, with the verification key chosen: the one given, else the one in the launcher's key
// slot, and nowhere else.
LoadedFile LoadForReading(const ReadOptions &options)
{
    LoadedFile file{FileImage(options.file), {}, true, {}, {}, NoKeySet, {}};
    try {
        file.slotKey = ReadSlotKey(file.image, options.file);
    } catch (const PackError &error) {
        // With a key given, a file without a usable slot can still be read; verify fails it.
        if (!options.key.Given())
            throw;
        file.slotProblem = error.what();
    }
    if (options.key.Given()) {
        file.key = PublicKeyBlob(OpenPublicKey(options.key).get(), options.key.Name());
        file.keySource = "--key " + options.key.Name();
        file.keyMatchesFile = file.slotKey == file.key;
    } else if (file.slotKey) {
        file.key = file.slotKey;
        file.keySource = "the launcher's key slot";
    } else {
        file.keySource = "the launcher's key slot";
    }
    SetPayloadVerificationKey(file.key ? *file.key : Bytes());
    if (file.key)
        file.fingerprint = KeyFingerprint(*file.key);
    return file;
}

bool IsSigned(ByteView image)
{
    try {
        PeLayout layout = ReadPeLayout(image, "file");
        SignatureEntry entry;
        return FindSignatureEntry(image, layout, entry, "file");
    } catch (const PackError &) {
        return false;
    }
}

// The launcher's lookup found no payload at all, as opposed to one it can't read.
bool NoPayload(const PayloadReport &report)
{
    return report.locate.code == 1168;
}

// Why the launcher finds no payload, in words first.
std::string LocateProblem(ByteView image, const PayloadReport &report)
{
    std::string text = "the launcher finds no payload it can read: " + Describe(report.locate);
    if (const std::uint64_t appended = BytesAfterCertificateTable(image))
        text += "; " + std::to_string(appended) + " bytes are appended after the certificate table";
    // Signing a file of the certificate or end placement again replaces the signature object and
    // with it the payload; the overlay placement keeps its payload in front of the table.
    else if (NoPayload(report) && IsSigned(image))
        text += "; no payload: a file signed after packing with the certificate or end placement loses it "
                "(pack onto an unsigned stub to sign last)";
    return text;
}

std::string DescribeStub(ByteView image)
{
    try {
        PeLayout layout = ReadPeLayout(image, "file");
        SignatureEntry entry;
        if (!FindSignatureEntry(image, layout, entry, "file"))
            return "x64 PE32+, unsigned";
        std::string text = "x64 PE32+, signed (signature object " + std::to_string(entry.objectLength) + " bytes";
        // Up to seven zero bytes align the entry; more is a payload.
        std::size_t behind = entry.length - 8 - entry.objectLength;
        if (behind > 7)
            text += ", " + std::to_string(behind) + " bytes behind it in its entry";
        return text + ")";
    } catch (const PackError &error) {
        return error.what();
    }
}

std::string PlacementName(ByteView image, const PayloadReport &report)
{
    if (report.locate.code != 0)
        return "none found";
    if (report.fromCarriers)
        return "certificate";
    // A payload that ends the file ends an unsigned one after its image, or a signed one behind
    // the signature object.
    return report.beforeCertificateTable || !IsSigned(image) ? "overlay" : "end";
}

std::string PlacementDetail(ByteView image, const PayloadReport &report)
{
    if (report.locate.code != 0 || report.fromCarriers)
        return "";
    if (report.beforeCertificateTable)
        return " (signed after packing: in front of the certificate table)";
    return IsSigned(image) ? " (behind the signature object)" : " (after the image, not signed yet: sign it now)";
}

// A JSON string that is always valid UTF-8: a byte that is not part of well-formed UTF-8
// (file names and directory paths can hold any bytes) is written as the code point of the same
// value, \u0080 to \u00ff.
std::string JsonString(const std::string &text)
{
    std::string quoted = "\"";
    for (std::size_t at = 0; at < text.size();) {
        auto c = static_cast<unsigned char>(text[at]);
        std::size_t start = at;
        char32_t code;
        if (c >= 0x80 && unicode::DecodeUtf8(text.data(), text.size(), at, code, unicode::Utf8Policy::Strict)) {
            quoted.append(text, start, at - start);
            continue;
        }
        ++at;
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x80) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            quoted += escape;
        } else {
            quoted += static_cast<char>(c);
        }
    }
    return quoted + "\"";
}

std::string JsonStrings(const std::vector<std::string> &texts)
{
    std::string array = "[";
    for (std::size_t i = 0; i < texts.size(); ++i)
        array += (i ? ", " : "") + JsonString(texts[i]);
    return array + "]";
}

} // namespace packer::reading

namespace packer {

void PrintJsonError(const std::string &command, const std::string &file, int exitCode, const std::string &error,
                    std::ostream &out)
{
    out << "{\n  \"format\": 1,\n  \"file\": " << (file.empty() ? "null" : reading::JsonString(file));
    if (command == "verify")
        out << ",\n  \"verified\": false";
    out << ",\n  \"exitCode\": " << exitCode << ",\n  \"error\": " << reading::JsonString(error) << "\n}\n"
        << std::flush;
}

} // namespace packer

namespace packer::reading {

std::string ItemResult(const ItemInfo &item)
{
    if (!item.read)
        return "never read: an item nearer the end has this id";
    if (item.result.code != 0)
        return Describe(item.result);
    if (item.binding == Binding::Missing || item.binding == Binding::Differs)
        return "valid signature, but it " + BindingProblem(item.binding);
    return "valid";
}

std::string BindingName(Binding binding)
{
    static const char *const names[] = {"", "none", "matches", "missing", "differs"};
    return names[static_cast<int>(binding)];
}

bool ItemsBound(const PayloadReport &report)
{
    bool any = false;
    for (const ContainerInfo &container : report.containers)
        for (const ItemInfo &item : container.items) {
            if (item.head || !item.read)
                continue;
            if (item.binding != Binding::Matches)
                return false;
            any = true;
        }
    return any && report.locate.code == 0;
}

std::vector<std::string> IgnoredPayloads(const PayloadReport &report)
{
    std::vector<std::string> ignored;
    if (report.ignoredCarriers)
        ignored.push_back("carriers outside the signature, ignored");
    if (report.ignoredContainerAtEnd)
        ignored.push_back("a container behind the signature object, ignored");
    return ignored;
}

// What keeps the launcher from reading every item of the payload, in words.
std::vector<std::string> PayloadProblems(const LoadedFile &file, const PayloadReport &report)
{
    std::vector<std::string> problems;
    if (report.locate.code != 0)
        problems.push_back(LocateProblem(file.image, report));
    for (std::size_t c = 0; c < report.containers.size(); ++c) {
        const ContainerInfo &container = report.containers[c];
        const std::string where = "container " + std::to_string(c) + ": ";
        std::set<std::uint32_t> fileIds;
        for (const ItemInfo &item : container.items) {
            if (!item.read)
                continue;
            if (!item.head)
                fileIds.insert(item.id);
            if (item.result.code != 0)
                problems.push_back(where + (item.head ? "head item" : "item " + std::to_string(item.id)) + ": " +
                                   Describe(item.result) + "; the file is damaged or was changed after packing");
            else if (item.binding == Binding::Missing || item.binding == Binding::Differs)
                problems.push_back(where + "item " + std::to_string(item.id) + " " + BindingProblem(item.binding) +
                                   "; the launcher stops with code 13, line 2147");
        }
        for (const auto &record : container.records)
            if (!fileIds.count(record.id))
                problems.push_back(where + "directory record " + std::to_string(record.id) + " has no item");
    }
    return problems;
}

} // namespace packer::reading
