#include "packer/commands.h"

#include "packer/compressor.h"
#include "packer/console.h"
#include "packer/output_file.h"
#include "packer/pack_error.h"
#include "packer/package_plan.h"
#include "packer/parallel.h"
#include "packer/keys/payload_signer.h"
#include "packer/payload_key.h"
#include "packer/payload_reader.h"
#include "packer/progress_bar.h"

#include <openssl/sha.h>

#include <algorithm>
#include <array>
#include <mutex>
#include <numeric>
#include <optional>
#include <ostream>

namespace packer {

namespace {

struct ExpectedItem {
    bool head;
    std::uint32_t id;
    Sha256Digest digest;
};

// Reads the written file back with the launcher's own code and checks that it yields exactly
// the planned directory and items.
void CheckPackedFile(const std::string &path, const Bytes &blob, const std::vector<ExpectedItem> &expected,
                     const std::vector<writer::DirectoryEntry> &directory, unsigned threads)
{
    SetPayloadVerificationKey(blob);
    // One flag per item: the visitor runs for several items at once.
    std::vector<char> sameOutput(expected.size(), 0);
    PayloadReport report = ReadPayload(
        ReadWholeFile(path),
        [&](std::size_t, std::size_t position, const ItemInfo &, const std::uint8_t *output, std::size_t length) {
            if (position < expected.size())
                sameOutput[position] = Sha256Of(output, length) == expected[position].digest;
        },
        threads);
    auto fail = [](const std::string &what) {
        throw PackError("the packed file does not read back as written (" + what + "); nothing was written");
    };
    if (report.locate.code != 0)
        fail("the launcher stops with " + Describe(report.locate));
    if (report.containers.size() != 1)
        fail(std::to_string(report.containers.size()) + " containers found");
    const ContainerInfo &container = report.containers.front();
    if (!container.chainComplete || container.items.size() != expected.size())
        fail("the item chain is incomplete");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        const ItemInfo &item = container.items[i];
        if (!item.read)
            fail("item " + std::to_string(item.id) + " is never read");
        if (item.result.code != 0)
            fail("item " + std::to_string(item.id) + ": " + Describe(item.result));
        if (item.head != expected[i].head || item.id != expected[i].id)
            fail("item " + std::to_string(item.id) + " is out of place");
    }
    if (std::count(sameOutput.begin(), sameOutput.end(), 0) != 0)
        fail("an item's content differs");
    bool sameDirectory = container.records.size() == directory.size();
    for (std::size_t i = 0; sameDirectory && i < directory.size(); ++i)
        sameDirectory = container.records[i].id == directory[i].id && container.records[i].path == directory[i].path;
    if (!sameDirectory)
        fail("the directory differs");
}

// The packages once each: the same file under two names would make a duplicate record.
void CheckPackagesOnce(const std::vector<std::string> &packages)
{
    std::vector<host::FileIdentity> seen;
    for (std::size_t i = 0; i < packages.size(); ++i) {
        std::optional<host::FileIdentity> identity = host::IdentifyFile(packages[i]);
        if (!identity)
            continue; // reading it names the reason
        auto found = std::find(seen.begin(), seen.end(), *identity);
        if (found != seen.end())
            throw UsageError("--msi " + packages[i] + " is given twice (also as " +
                             packages[static_cast<std::size_t>(found - seen.begin())] + ")");
        seen.push_back(*identity);
    }
}

void CheckStubKey(const Bytes &image, const std::string &stubPath, const Bytes &blob, const std::string &keyName)
{
    const std::string what = "stub " + stubPath;
    std::optional<Bytes> slotKey = ReadSlotKey(image, what);
    if (!slotKey)
        throw PackError(what + ": " + NoKeySet + " --key <public half of " + keyName + ">, then sign it");
    if (*slotKey != blob)
        throw PackError(what + " carries the key " + KeyFingerprint(*slotKey) + ", not " + KeyFingerprint(blob) +
                        " of " + keyName +
                        ", so its launcher would reject the payload: pack with the key it "
                        "carries, or set this key with launcher-pack stub, then sign");
}

} // namespace

void RunPack(const PackOptions &options, std::ostream &out)
{
    // Everything that can be refused is checked before anything is written.
    std::vector<std::string> inputs = KeySourceFiles(options.key);
    inputs.push_back(options.stub);
    inputs.insert(inputs.end(), options.packages.begin(), options.packages.end());
    CheckOutputPath(options.output, inputs, options.force);
    CheckPackagesOnce(options.packages);
    const unsigned threads = ThreadCount(options.threads);
    std::vector<ZlibCompressor> compressors;
    for (unsigned i = 0; i < threads; ++i)
        compressors.emplace_back(options.level);
    // The stub first: without --key, a signer command's public half is the one in its slot.
    Step("reading the stub " + options.stub);
    Stub stub = LoadStub(options.stub, options.placement);
    Step("reading the key " + options.key.Name());
    std::unique_ptr<PayloadSigner> signer =
        OpenSigner(options.key, threads, options.key.Given() ? std::nullopt : ReadSlotKey(stub.image, options.stub));
    Bytes blob = PublicKeyBlob(signer->PublicKey(), signer->Name());
    CheckStubKey(stub.image, options.stub, blob, signer->Name());
    if (!stub.isSigned)
        Warn("stub " + options.stub +
             " is not signed: sign the stub, then pack (verify refuses an unsigned "
             "installer unless given --allow-unsigned)");

    std::vector<MsiPackage> packages;
    for (const auto &path : options.packages) {
        Step("reading the package " + path);
        packages.push_back(ReadMsiPackage(path, options.allowUncompressed));
    }
    PackagePlan plan = PlanPackages(packages);
    for (const auto &warning : plan.warnings)
        Warn(warning);
    for (const auto &item : plan.items)
        inputs.push_back(item.source);
    CheckOutputPath(options.output, inputs, options.force);

    // The files move into the items, and each big buffer goes as soon as the next step has
    // its result: the packer holds the input about twice at most.
    std::vector<writer::ContainerItem> items;
    items.push_back({writer::ItemKind::Head, 0, writer::WriteDirectory(plan.directory)});
    for (PlannedItem &item : plan.items)
        items.push_back({writer::ItemKind::File, item.id, std::move(item.content)});
    std::uint64_t total = 0;
    for (const auto &item : items)
        total += item.output.size();

    // Items are compressed, digested and signed on all threads at once, the largest first;
    // each is the same whichever thread makes it, so the container is too.
    std::vector<std::size_t> order(items.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return items[a].output.size() > items[b].output.size(); });
    std::vector<ExpectedItem> expected(items.size());
    std::vector<writer::PreparedItem> prepared(items.size());
    ProgressBar progress(total);
    progress.Show("compressing and signing " + std::to_string(items.size()) + " items on " + std::to_string(threads) +
                  (threads == 1 ? " thread" : " threads"));
    std::mutex progressLock;
    CertificateBudget budget(options.placement, items.size());
    // The file comes first, so that an output folder that can't be written is known at once.
    TemporaryFile file(options.output);
    RunInParallel(items.size(), threads, [&](std::size_t next, unsigned worker) {
        writer::ContainerItem &item = items[order[next]];
        writer::ContainerOptions containerOptions;
        containerOptions.compress = [&](const Bytes &output) { return compressors[worker].Compress(output); };
        const bool head = item.kind == writer::ItemKind::Head;
        expected[order[next]] = {head, item.id, Sha256Of(item.output.data(), item.output.size())};
        containerOptions.signOutput = [&](const Bytes &) {
            return signer->SignDigest(expected[order[next]].digest,
                                      head ? "the head item" : "item " + std::to_string(item.id));
        };
        prepared[order[next]] = writer::PrepareItem(item, containerOptions, nullptr);
        budget.Add(prepared[order[next]].data.size() + prepared[order[next]].signature.size() + ItemTrailerSize);
        std::uint64_t done = item.output.size();
        item.output = Bytes();
        std::lock_guard<std::mutex> lock(progressLock);
        progress.Advance(done);
    });
    items.clear();
    Bytes container = writer::AssembleContainer(std::move(prepared));
    const std::size_t payloadSize = container.size();
    progress.Show("placing the payload");
    PlacedImage placed = PlaceContainer(stub, container, options.placement, *signer);
    Bytes image = std::move(placed.image);
    container = Bytes();
    const std::size_t imageSize = image.size();

    Step("placed the payload: " + PlacementName(placed.placement));
    progress.Show("writing and reading back " + options.output);
    file.Write(image);
    image = Bytes();
    CheckPackedFile(file.Path(), blob, expected, plan.directory, threads);
    file.Commit();
    progress.Finish();

    out << options.output << ": " << imageSize << " bytes, payload " << payloadSize << " bytes in " << expected.size()
        << " items, placement " << PlacementName(placed.placement)
        << (stub.isSigned ? " (signed stub)" : " (unsigned stub)") << '\n';
    for (const auto &entry : plan.directory)
        out << "  " << entry.id << "  " << entry.path << '\n';
}

} // namespace packer
