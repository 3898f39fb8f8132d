// extract: the package files the launcher would write for a language, written into a folder.

#include "packer/commands/commands.h"

#include "packer/cli/console.h"
#include "packer/commands/installer_reading.h"
#include "packer/host/host.h"
#include "packer/pack_error.h"
#include "packer/payload/payload_reader.h"
#include "packer/pipeline/output_file.h"

#include <memory>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace packer {

using namespace reading;

void RunExtract(const ExtractOptions &options, std::ostream &out)
{
    LoadedFile file = LoadForReading(options.read);
    if (!file.key)
        throw PackError(options.read.file + ": " + NoKeySet + " in its launcher, so it accepts no payload");
    // A damaged or changed payload says so, rather than that no package fits.
    PayloadReport report = CheckPayload(file.image);
    std::vector<std::string> problems = PayloadProblems(file, report);
    if (!problems.empty())
        throw PackError(options.read.file + ": " + problems.front() + "; nothing was written");
    for (const std::string &extra : IgnoredPayloads(report))
        Warn(options.read.file + ": " + extra);
    const std::string folder = options.folder.empty() ? "." : options.folder;
    // An output that can't be used is an input/output problem, told before anything is read.
    if (const std::optional<host::FileIdentity> identity = host::IdentifyFile(folder); identity && !identity->isFolder)
        throw ReadError(folder + ": is a file, not a folder: -o names the folder to write into");
    // No file written may be an input: the installer or the key, by any name or link.
    std::vector<std::string> inputs = KeySourceFiles(options.read.key);
    inputs.push_back(options.read.file);
    // Each file's temporary beside its target; none for a second file of the same name, whose
    // content the first one's holds. All are written before any takes its name, so a failure
    // leaves nothing behind.
    std::vector<std::unique_ptr<TemporaryFile>> written;
    std::vector<TemporaryFile *> writes;
    const auto prepare = [&](const Selection &chosen) {
        std::set<std::string> names;
        for (const auto &selected : chosen.files) {
            // The names come from the file being read: none may lead out of the folder.
            const std::string &name = selected.name;
            if (!IsPlainFileNameUtf8(name) || name.find('/') != std::string::npos)
                throw PackError(options.read.file + ": the package names a file \"" + name +
                                "\" that is not a plain file name; nothing was written");
        }
        for (const auto &selected : chosen.files)
            CheckOutputPath(folder + "/" + selected.name, inputs, options.force);
        if (!PathExists(folder) && !host::MakeFolder(folder))
            throw ReadError(folder + ": cannot create the folder");
        for (const auto &selected : chosen.files) {
            if (names.insert(selected.name).second) {
                written.push_back(std::make_unique<TemporaryFile>(folder + "/" + selected.name));
                writes.push_back(written.back().get());
            } else {
                writes.push_back(nullptr);
            }
        }
    };
    Selection selection = SelectPackageFor(
        file.image, options.lcid,
        [&](std::size_t f, const std::uint8_t *data, std::size_t length) {
            if (writes[f] != nullptr)
                writes[f]->Append(data, length);
        },
        prepare);
    for (auto &temporary : written)
        temporary->Flush();
    for (auto &temporary : written)
        temporary->Commit();

    out << "package " << selection.productCode << " " << selection.productName << " for locale " << options.lcid
        << '\n';
    for (std::size_t f = 0; f < selection.files.size(); ++f)
        if (writes[f] != nullptr)
            out << "  " << folder << "/" << selection.files[f].name << "  " << selection.files[f].length << " bytes\n";
}

} // namespace packer
