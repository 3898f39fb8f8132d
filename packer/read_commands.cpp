#include "packer/commands.h"

#include "packer/output_file.h"
#include "packer/pack_error.h"
#include "packer/payload_key.h"
#include "packer/payload_reader.h"
#include "packer/signature_object.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ostream>
#include <set>

namespace packer {

namespace {

struct LoadedFile {
    Bytes image;
    std::string keySource;
    bool keyMatchesFile = true; // the launcher in the file carries the key used
};

// The file, with the verification key chosen: the one given, else the launcher's own.
LoadedFile LoadForReading(const ReadOptions &options)
{
    LoadedFile file{ReadWholeFile(options.file), {}, true};
    std::optional<Bytes> builtIn = FindPublicKeyBlob(file.image);
    Bytes blob;
    if (!options.key.empty()) {
        blob = PublicKeyBlob(LoadKey(options.key).get(), options.key);
        file.keySource = options.key;
        file.keyMatchesFile = ImageCarriesModulus(file.image, blob);
    } else if (builtIn) {
        blob = *builtIn;
        file.keySource = "the launcher's built-in key";
    } else {
        throw PackError(options.file + ": no payload verification key found in the file; give --key");
    }
    SetPayloadVerificationKey(blob);
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

std::string JsonString(const std::string &text)
{
    std::string quoted = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += static_cast<char>(c);
        } else if (c < 0x20) {
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
    return item.result.code == 0 ? "valid" : Describe(item.result);
}

void PrintText(const ReadOptions &options, const LoadedFile &file, const PayloadReport &report, std::ostream &out)
{
    out << "file: " << options.file << " (" << file.image.size() << " bytes)\n"
        << "stub: " << DescribeStub(file.image) << '\n'
        << "verification key: " << file.keySource << (file.keyMatchesFile ? "" : " (not the launcher's own)") << '\n'
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
            if (item.result.code == 0)
                out << "  output " << item.outputLength;
            out << "  " << ItemResult(item) << '\n';
        }
        if (!container.chainComplete)
            out << "  the item chain does not reach a head item\n";
    }
}

void PrintJson(const ReadOptions &options, const LoadedFile &file, const PayloadReport &report, std::ostream &out)
{
    out << "{\n  \"file\": " << JsonString(options.file) << ",\n  \"size\": " << file.image.size()
        << ",\n  \"stub\": " << JsonString(DescribeStub(file.image))
        << ",\n  \"verificationKey\": " << JsonString(file.keySource)
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
            out << (i ? "," : "") << "\n        {\"kind\": " << (item.head ? "\"head\"" : "\"file\"")
                << ", \"id\": " << item.id << ", \"storedSize\": " << item.dataLength
                << ", \"signatureSize\": " << item.signatureLength
                << ", \"outputSize\": " << (item.result.code == 0 ? std::to_string(item.outputLength) : "null")
                << ", \"signatureValid\": " << (item.result.code == 0 ? "true" : "false")
                << ", \"result\": {\"code\": " << item.result.code << ", \"line\": " << item.result.line << "}}";
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

bool RunVerify(const ReadOptions &options, std::ostream &out)
{
    LoadedFile file = LoadForReading(options);
    PayloadReport report = ReadPayload(file.image);
    std::vector<std::string> problems;
    if (!file.keyMatchesFile)
        problems.push_back("the launcher in the file does not carry " + file.keySource +
                           ", so it rejects this payload");
    if (report.locate.code != 0)
        problems.push_back("the launcher stops reading its payload with " + Describe(report.locate));
    std::size_t itemCount = 0;
    for (std::size_t c = 0; c < report.containers.size(); ++c) {
        const ContainerInfo &container = report.containers[c];
        const std::string where = "container " + std::to_string(c) + ": ";
        if (!container.chainComplete)
            problems.push_back(where + "the item chain does not reach a head item");
        std::set<std::uint32_t> fileIds;
        for (const ItemInfo &item : container.items) {
            ++itemCount;
            if (item.result.code != 0)
                problems.push_back(where + (item.head ? "head item: " : "item " + std::to_string(item.id) + ": ") +
                                   Describe(item.result));
            if (!item.head && !fileIds.insert(item.id).second)
                problems.push_back(where + "two items have id " + std::to_string(item.id));
        }
        for (const auto &record : container.records)
            if (!fileIds.count(record.id))
                problems.push_back(where + "directory record " + std::to_string(record.id) + " has no item");
    }
    for (const auto &problem : problems)
        out << options.file << ": " << problem << '\n';
    if (problems.empty())
        out << options.file << ": " << itemCount << " items in " << report.containers.size()
            << (report.containers.size() == 1 ? " container" : " containers") << " verified with " << file.keySource
            << '\n';
    return problems.empty();
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
