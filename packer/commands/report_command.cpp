// inspect: what the launcher finds in an installer, as text or JSON.

#include "packer/commands/commands.h"

#include "packer/commands/installer_reading.h"
#include "packer/pack_error.h"
#include "packer/payload/payload_reader.h"

#include <ostream>
#include <string>

namespace packer {

using namespace reading;

namespace {

void PrintText(const ReadOptions &options, const LoadedFile &file, const PayloadReport &report, std::ostream &out)
{
    out << "file: " << options.file << " (" << file.image.size() << " bytes)\n"
        << "stub: " << DescribeStub(file.image) << '\n'
        << "verification key: " << file.keySource << (file.keyMatchesFile ? "" : " (not the launcher's own)") << '\n'
        << "key fingerprint: " << file.fingerprint << '\n'
        << "placement: " << PlacementName(file.image, report) << PlacementDetail(file.image, report) << '\n';
    for (const std::string &extra : IgnoredPayloads(report))
        out << extra << '\n';
    if (report.locate.code == 0)
        out << "items bound to the directory: " << (ItemsBound(report) ? "yes" : "no") << '\n';
    if (report.locate.code != 0)
        out << LocateProblem(file.image, report) << '\n';
    for (std::size_t c = 0; c < report.containers.size(); ++c) {
        const ContainerInfo &container = report.containers[c];
        out << "container " << c << ": " << container.size << " bytes\n  directory:\n";
        for (const auto &record : container.records)
            out << "    " << record.id << "  " << record.kind << "  " << record.path << '\n';
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
        << ",\n  \"keyFingerprint\": " << (file.key ? JsonString(file.fingerprint) : "null")
        << ",\n  \"keyIsLaunchers\": " << (file.keyMatchesFile ? "true" : "false")
        << ",\n  \"placement\": " << JsonString(PlacementName(file.image, report))
        << ",\n  \"ignored\": " << JsonStrings(IgnoredPayloads(report))
        << ",\n  \"itemsBound\": " << (ItemsBound(report) ? "true" : "false") << ",\n  \"launcherResult\": {\"text\": "
        << JsonString(report.locate.code == 0 ? "payload found" : LocateProblem(file.image, report))
        << ", \"code\": " << report.locate.code << ", \"line\": " << report.locate.line << "},\n  \"containers\": [";
    for (std::size_t c = 0; c < report.containers.size(); ++c) {
        const ContainerInfo &container = report.containers[c];
        out << (c ? "," : "") << "\n    {\n      \"size\": " << container.size
            << ",\n      \"chainComplete\": " << (container.chainComplete ? "true" : "false")
            << ",\n      \"records\": [";
        for (std::size_t r = 0; r < container.records.size(); ++r) {
            const auto &record = container.records[r];
            out << (r ? "," : "") << "\n        {\"id\": " << record.id << ", \"kind\": " << JsonString(record.kind)
                << ", \"path\": " << JsonString(record.path) << "}";
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
                << ", \"signatureValid\": " << (valid ? "true" : "false") << ", \"binding\": "
                << (item.binding == Binding::NotChecked ? "null" : JsonString(BindingName(item.binding)))
                << ", \"result\": ";
            if (item.read)
                out << "{\"text\": " << JsonString(ItemResult(item)) << ", \"code\": " << item.result.code
                    << ", \"line\": " << item.result.line << "}}";
            else
                out << "null}";
        }
        out << "\n      ]\n    }";
    }
    out << "\n  ]\n}\n";
}

} // namespace

int RunInspect(const ReadOptions &options, bool json, std::ostream &out)
{
    LoadedFile file = LoadForReading(options);
    PayloadReport report = CheckPayload(file.image);
    if (json)
        PrintJson(options, file, report, out);
    else
        PrintText(options, file, report, out);
    return NoPayload(report) ? ExitFailed : ExitDone;
}

} // namespace packer
