#include "packer/commands.h"

#include "packer/compressor.h"
#include "packer/output_file.h"
#include "packer/pack_error.h"
#include "packer/package_plan.h"
#include "packer/payload_key.h"
#include "packer/payload_reader.h"
#include "packer/progress_bar.h"

#include <iostream>
#include <numeric>

namespace packer {

namespace {

writer::PrivateKey LoadSigningKey(const std::string &path)
{
    try {
        return writer::LoadPrivateKey(path);
    } catch (const std::exception &error) {
        throw PackError(std::string("--key: ") + error.what());
    }
}

// Reads the written file back with the launcher's own code and checks that it yields exactly
// the planned directory and files.
void CheckPackedFile(const std::string &path, const Bytes &blob, const Bytes &directory, const PackagePlan &plan)
{
    SetPayloadVerificationKey(blob);
    PayloadReport report = ReadPayload(ReadWholeFile(path), true);
    auto fail = [](const std::string &what) {
        throw PackError("the packed file does not read back as written (" + what + "); nothing was written");
    };
    if (report.locate.code != 0)
        fail("the launcher stops with " + Describe(report.locate));
    if (report.containers.size() != 1)
        fail(std::to_string(report.containers.size()) + " containers found");
    const ContainerInfo &container = report.containers.front();
    if (!container.chainComplete || container.items.size() != plan.items.size() + 1)
        fail("the item chain is incomplete");
    for (std::size_t i = 0; i < container.items.size(); ++i) {
        const ItemInfo &item = container.items[i];
        if (item.result.code != 0)
            fail("item " + std::to_string(item.id) + ": " + Describe(item.result));
        const Bytes &expected = i == 0 ? directory : plan.items[i - 1].content;
        if (item.output != expected || item.head != (i == 0) || (i != 0 && item.id != plan.items[i - 1].id))
            fail("item " + std::to_string(item.id) + " differs");
    }
    bool sameDirectory = container.records.size() == plan.directory.size();
    for (std::size_t i = 0; sameDirectory && i < plan.directory.size(); ++i)
        sameDirectory =
            container.records[i].id == plan.directory[i].id && container.records[i].path == plan.directory[i].path;
    if (!sameDirectory)
        fail("the directory differs");
}

} // namespace

void RunPack(const PackOptions &options, std::ostream &out)
{
    // Everything that can be refused is checked before anything is written.
    ZlibCompressor compressor(options.level);
    writer::PrivateKey key = LoadSigningKey(options.key);
    Bytes blob = PublicKeyBlob(key.get(), options.key);
    Stub stub = LoadStub(options.stub, options.placement);
    if (!ImageCarriesModulus(stub.image, blob))
        throw PackError("stub " + options.stub + " was not built with the public half of " + options.key +
                        ": it could never verify the payload (build launcher.exe with LAUNCHER_PUBLIC_KEY set to "
                        "that key)");

    std::vector<MsiPackage> packages;
    for (const auto &path : options.packages)
        packages.push_back(ReadMsiPackage(path));
    PackagePlan plan = PlanPackages(packages);
    for (const auto &warning : plan.warnings)
        std::cerr << "launcher-pack: warning: " << warning << '\n';

    std::vector<writer::ContainerItem> items;
    Bytes directory = writer::WriteDirectory(plan.directory);
    items.push_back({writer::ItemKind::Head, 0, directory});
    for (const PlannedItem &item : plan.items)
        items.push_back({writer::ItemKind::File, item.id, item.content});

    std::uint64_t total = std::accumulate(items.begin(), items.end(), std::uint64_t{0},
                                          [](std::uint64_t sum, const auto &item) { return sum + item.output.size(); });
    ProgressBar progress(total);
    std::size_t next = 0;
    writer::ContainerOptions containerOptions;
    containerOptions.compress = [&](const Bytes &output) {
        progress.Show(next == 0 ? "package directory" : "compressing and signing " + plan.items[next - 1].source);
        ++next;
        Bytes stream = compressor.Compress(output);
        progress.Advance(output.size());
        return stream;
    };
    Bytes container = writer::WriteContainer(items, containerOptions, key.get());
    progress.Show("placing the payload");
    Bytes image = PlaceContainer(stub, container, options.placement, key.get());

    progress.Show("writing and reading back " + options.output);
    TemporaryFile file(options.output);
    file.Write(image);
    CheckPackedFile(file.Path(), blob, directory, plan);
    file.Commit();
    progress.Finish();

    out << options.output << ": " << image.size() << " bytes, payload " << container.size() << " bytes in "
        << items.size() << " items, placement " << PlacementName(options.placement)
        << (stub.isSigned ? " (signed stub)" : " (unsigned stub)") << '\n';
    for (const auto &entry : plan.directory)
        out << "  " << entry.id << "  " << entry.path << '\n';
}

} // namespace packer
