#include "packer/commands.h"

#include "packer/output_file.h"
#include "packer/pack_error.h"
#include "packer/payload_key.h"
#include "packer/payload_reader.h"
#include "packer/signature_object.h"

#include <openssl/sha.h>

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ostream>
#include <set>

namespace packer {

namespace {

struct LoadedFile {
    Bytes image;
    std::string keySource;
    bool keyMatchesFile = true; // the launcher in the file carries the key used
    std::string fingerprint;    // of the key used
};

// The file, with the verification key chosen: the one given, else the launcher's own.
LoadedFile LoadForReading(const ReadOptions &options)
{
    LoadedFile file{ReadWholeFile(options.file), {}, true, {}};
    std::optional<Bytes> builtIn = FindPublicKeyBlob(file.image);
    Bytes blob;
    if (!options.key.key.empty()) {
        blob = PublicKeyBlob(OpenPublicKey(options.key).get(), options.key.key);
        file.keySource = options.key.key;
        file.keyMatchesFile = ImageCarriesModulus(file.image, blob);
    } else if (builtIn) {
        blob = *builtIn;
        file.keySource = "the launcher's built-in key";
    } else {
        throw PackError(options.file + ": no payload verification key found in the file; give --key");
    }
    SetPayloadVerificationKey(blob);
    file.fingerprint = KeyFingerprint(blob);
    return file;
}

std::string DescribeStub(const Bytes &image)
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

std::string Placement(const PayloadReport &report)
{
    if (report.locate.code != 0)
        return "none found";
    return report.fromCarriers ? "certificate" : "end";
}

std::string PlacementDetail(const Bytes &image, const PayloadReport &report)
{
    if (report.locate.code != 0 || report.fromCarriers)
        return "";
    try {
        PeLayout layout = ReadPeLayout(image, "file");
        SignatureEntry entry;
        return FindSignatureEntry(image, layout, entry, "file") ? " (behind the signature object)"
                                                                : " (appended to the image)";
    } catch (const PackError &) {
        return "";
    }
}

std::string RecordKind(const std::string &path)
{
    std::size_t separators = std::count(path.begin(), path.end(), '\\');
    if (separators == 2 && (path.rfind("cab\\", 0) == 0 || path.rfind("CAB\\", 0) == 0))
        return "cabinet";
    return separators >= 3 ? "package" : "unknown";
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
        if (c >= 0x80 && writer::DecodeUtf8(text, at, code)) {
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

std::string ItemResult(const ItemInfo &item)
{
    if (!item.read)
        return "never read: an item nearer the end has this id";
    return item.result.code == 0 ? "valid" : Describe(item.result);
}

void PrintText(const ReadOptions &options, const LoadedFile &file, const PayloadReport &report, std::ostream &out)
{
    out << "file: " << options.file << " (" << file.image.size() << " bytes)\n"
        << "stub: " << DescribeStub(file.image) << '\n'
        << "verification key: " << file.keySource << (file.keyMatchesFile ? "" : " (not the launcher's own)") << '\n'
        << "key fingerprint: " << file.fingerprint << '\n'
        << "placement: " << Placement(report) << PlacementDetail(file.image, report) << '\n';
    if (report.locate.code != 0)
        out << "the launcher stops reading its payload with " << Describe(report.locate) << '\n';
    for (std::size_t c = 0; c < report.containers.size(); ++c) {
        const ContainerInfo &container = report.containers[c];
        out << "container " << c << ": " << container.size << " bytes\n  directory:\n";
        for (const auto &record : container.records)
            out << "    " << record.id << "  " << RecordKind(record.path) << "  " << record.path << '\n';
        out << "  items:\n";
        for (const auto &item : container.items) {
            out << "    " << (item.head ? "head" : "file") << ' ' << item.id << "  stored " << item.dataLength
                << "  signature " << item.signatureLength;
            if (item.read && item.result.code == 0)
                out << "  output " << item.outputLength;
            out << "  " << ItemResult(item) << '\n';
        }
        if (!container.chainComplete)
            out << "  the item chain does not reach a head item\n";
    }
}

void PrintJson(const ReadOptions &options, const LoadedFile &file, const PayloadReport &report, std::ostream &out)
{
    out << "{\n  \"format\": 1,\n  \"file\": " << JsonString(options.file) << ",\n  \"size\": " << file.image.size()
        << ",\n  \"stub\": " << JsonString(DescribeStub(file.image))
        << ",\n  \"verificationKey\": " << JsonString(file.keySource)
        << ",\n  \"keyFingerprint\": " << JsonString(file.fingerprint)
        << ",\n  \"keyIsLaunchers\": " << (file.keyMatchesFile ? "true" : "false")
        << ",\n  \"placement\": " << JsonString(Placement(report))
        << ",\n  \"launcherResult\": {\"code\": " << report.locate.code << ", \"line\": " << report.locate.line
        << "},\n  \"containers\": [";
    for (std::size_t c = 0; c < report.containers.size(); ++c) {
        const ContainerInfo &container = report.containers[c];
        out << (c ? "," : "") << "\n    {\n      \"size\": " << container.size
            << ",\n      \"chainComplete\": " << (container.chainComplete ? "true" : "false")
            << ",\n      \"records\": [";
        for (std::size_t r = 0; r < container.records.size(); ++r) {
            const auto &record = container.records[r];
            out << (r ? "," : "") << "\n        {\"id\": " << record.id
                << ", \"kind\": " << JsonString(RecordKind(record.path)) << ", \"path\": " << JsonString(record.path)
                << "}";
        }
        out << "\n      ],\n      \"items\": [";
        for (std::size_t i = 0; i < container.items.size(); ++i) {
            const auto &item = container.items[i];
            const bool valid = item.read && item.result.code == 0;
            out << (i ? "," : "") << "\n        {\"kind\": " << (item.head ? "\"head\"" : "\"file\"")
                << ", \"id\": " << item.id << ", \"storedSize\": " << item.dataLength
                << ", \"signatureSize\": " << item.signatureLength
                << ", \"readByLauncher\": " << (item.read ? "true" : "false")
                << ", \"outputSize\": " << (valid ? std::to_string(item.outputLength) : "null")
                << ", \"signatureValid\": " << (valid ? "true" : "false") << ", \"result\": ";
            if (item.read)
                out << "{\"code\": " << item.result.code << ", \"line\": " << item.result.line << "}}";
            else
                out << "null}";
        }
        out << "\n      ]\n    }";
    }
    out << "\n  ]\n}\n";
}

} // namespace

void RunInspect(const ReadOptions &options, bool json, std::ostream &out)
{
    LoadedFile file = LoadForReading(options);
    PayloadReport report = ReadPayload(file.image);
    if (json)
        PrintJson(options, file, report, out);
    else
        PrintText(options, file, report, out);
}

bool IsKeyFingerprint(const std::string &text)
{
    const std::size_t prefix = FingerprintPrefix.size();
    return text.size() == prefix + 2 * SHA256_DIGEST_LENGTH && text.compare(0, prefix, FingerprintPrefix) == 0 &&
           std::all_of(text.begin() + prefix, text.end(), [](unsigned char c) { return std::isxdigit(c); });
}

VerifyResult RunVerify(const VerifyOptions &options, std::ostream &out)
{
    LoadedFile file = LoadForReading(options.read);
    const std::string &name = options.read.file;
    out << name << ": key " << file.fingerprint << " (" << file.keySource << ")\n";
    PayloadReport report = ReadPayload(file.image);
    std::vector<std::string> problems;
    if (!file.keyMatchesFile)
        problems.push_back("the launcher in the file does not carry " + file.keySource +
                           ", so it rejects this payload");
    if (!options.expectKey.empty()) {
        // The hex digits in either case.
        std::string expected = options.expectKey;
        std::transform(expected.begin(), expected.end(), expected.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (expected.substr(FingerprintPrefix.size()) != file.fingerprint.substr(FingerprintPrefix.size()))
            problems.push_back("the key is " + file.fingerprint + ", not the expected " + options.expectKey);
    }
    if (file.fingerprint == TestKeyFingerprint() && !options.allowTestKey)
        problems.push_back("the key is the TEST-ONLY key, whose private half anyone can read (give "
                           "--allow-test-key to accept it)");
    if (report.locate.code != 0)
        problems.push_back("the launcher stops reading its payload with " + Describe(report.locate));
    std::size_t itemCount = 0;
    for (std::size_t c = 0; c < report.containers.size(); ++c) {
        const ContainerInfo &container = report.containers[c];
        const std::string where = "container " + std::to_string(c) + ": ";
        std::set<std::uint32_t> fileIds;
        for (const ItemInfo &item : container.items) {
            const std::string itemName = item.head ? "head item" : "item " + std::to_string(item.id);
            if (!item.read) {
                out << name << ": note: " << where << itemName << " is never read: an item nearer the end has its id\n";
                continue;
            }
            ++itemCount;
            if (!item.head)
                fileIds.insert(item.id);
            if (item.result.code != 0)
                problems.push_back(where + itemName + ": " + Describe(item.result));
        }
        for (const auto &record : container.records)
            if (!fileIds.count(record.id))
                problems.push_back(where + "directory record " + std::to_string(record.id) + " has no item");
    }
    for (const auto &problem : problems)
        out << name << ": " << problem << '\n';
    if (!problems.empty())
        return NotVerified;
    out << name << ": " << itemCount << " items in " << report.containers.size()
        << (report.containers.size() == 1 ? " container" : " containers") << " verified with " << file.keySource
        << '\n';
    return Verified;
}

void RunExtract(const ExtractOptions &options, std::ostream &out)
{
    LoadedFile file = LoadForReading(options.read);
    Selection selection = SelectPackageFor(file.image, options.lcid);

    std::vector<SelectedFile> files;
    for (auto &selected : selection.files)
        if (std::none_of(files.begin(), files.end(), [&](const auto &f) { return f.name == selected.name; }))
            files.push_back(std::move(selected));

    const std::string folder = options.folder.empty() ? "." : options.folder;
    for (const auto &selected : files) {
        // The names come from the file being read: none may lead out of the folder.
        const std::string &name = selected.name;
        if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos)
            throw PackError(options.read.file + ": the package names a file \"" + name +
                            "\" that is not a plain file name; nothing was written");
    }
    for (const auto &selected : files) {
        std::string target = folder + "/" + selected.name;
        if (!options.force && PathExists(target))
            throw PackError(target + ": exists (give --force to replace it)");
    }
    if (!PathExists(folder) && ::mkdir(folder.c_str(), 0777) != 0)
        throw PackError(folder + ": cannot create the folder");

    // All files are written before any takes its name, so a failure leaves nothing behind.
    std::vector<std::unique_ptr<TemporaryFile>> written;
    for (const auto &selected : files) {
        written.push_back(std::make_unique<TemporaryFile>(folder + "/" + selected.name));
        written.back()->Write(selected.content);
    }
    for (auto &temporary : written)
        temporary->Commit();

    out << "package " << selection.productCode << " " << selection.productName << " for locale " << options.lcid
        << '\n';
    for (const auto &selected : files)
        out << "  " << folder << "/" << selected.name << "  " << selected.content.size() << " bytes\n";
}

} // namespace packer
