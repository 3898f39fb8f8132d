#include "packer/commands.h"

#include "packer/compressor.h"
#include "packer/item_pipeline.h"
#include "packer/memory_budget.h"
#include "packer/output_file.h"
#include "packer/pack_error.h"
#include "packer/package_plan.h"
#include "packer/parallel.h"
#include "packer/payload_key.h"
#include "packer/payload_reader.h"
#include "packer/pe_image.h"
#include "packer/piece_compressor.h"
#include "packer/progress_bar.h"
#include "packer/streaming_input.h"

#include <openssl/sha.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <algorithm>
#include <iostream>
#include <memory>

namespace packer {

namespace {

Digest DigestOf(const std::uint8_t *data, std::size_t length)
{
    Digest digest;
    SHA256(data, length, digest.data());
    return digest;
}

struct ExpectedItem {
    bool head;
    std::uint32_t id;
    Digest digest;
};

// Reads the written file back with the launcher's own walk and the streaming form of its item
// check, and checks that it yields exactly the planned directory and items.
void CheckPackedFile(const std::string &path, const Bytes &blob, const std::vector<ExpectedItem> &expected,
                     const std::vector<writer::DirectoryEntry> &directory, unsigned threads, ProgressBar &progress)
{
    SetPayloadVerificationKey(blob);
    // One digest per item: the visitor runs for several items at once, each in order.
    using Context = std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)>;
    std::vector<Context> digests;
    for (std::size_t i = 0; i < expected.size(); ++i) {
        digests.emplace_back(EVP_MD_CTX_new(), EVP_MD_CTX_free);
        if (!digests.back() || EVP_DigestInit_ex(digests.back().get(), EVP_sha256(), nullptr) != 1)
            throw PackError("SHA-256 is not available");
    }
    PayloadReport report = CheckPayloadFile(
        path,
        [&](std::size_t, std::size_t position, const ItemInfo &, const std::uint8_t *output, std::size_t length) {
            if (position < expected.size())
                EVP_DigestUpdate(digests[position].get(), output, length);
            progress.Advance(length);
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
        Digest digest;
        EVP_DigestFinal_ex(digests[i].get(), digest.data(), nullptr);
        if (digest != expected[i].digest)
            fail("item " + std::to_string(item.id) + "'s content differs");
    }
    bool sameDirectory = container.records.size() == directory.size();
    for (std::size_t i = 0; sameDirectory && i < directory.size(); ++i)
        sameDirectory = container.records[i].id == directory[i].id && container.records[i].path == directory[i].path;
    if (!sameDirectory)
        fail("the directory differs");
}

// The container as pieces of memory to be written one after another: each item's data chunks,
// its signature and its trailer.
struct ContainerSpans {
    std::vector<Bytes> trailers;
    std::vector<std::pair<const std::uint8_t *, std::size_t>> spans;
    std::uint64_t size = 0;
};

ContainerSpans SpansOf(const std::vector<PackedItem> &items)
{
    ContainerSpans container;
    container.trailers.reserve(items.size());
    auto add = [&](const Bytes &bytes) {
        container.spans.push_back({bytes.data(), bytes.size()});
        container.size += bytes.size();
    };
    for (const PackedItem &item : items) {
        for (const Bytes &chunk : item.data)
            add(chunk);
        add(item.signature);
        container.trailers.push_back(writer::ItemTrailerBytes(item.kind, item.id, item.signature.size(),
                                                              static_cast<std::size_t>(item.dataSize)));
        add(container.trailers.back());
    }
    return container;
}

// Writes the stub with the container placed; returns the image's size. The end placement is
// written a span at a time, so that the image is never held whole beside the container.
std::uint64_t WriteInstaller(TemporaryFile &file, const Stub &stub, const ContainerSpans &container,
                             Placement placement, EVP_PKEY *key)
{
    if (placement == Placement::Certificate && stub.isSigned) {
        Bytes whole;
        whole.reserve(static_cast<std::size_t>(container.size));
        for (const auto &[data, length] : container.spans)
            whole.insert(whole.end(), data, data + length);
        Bytes image = PlaceContainer(stub, whole, placement, key);
        file.Write(image);
        return image.size();
    }
    Bytes head = ImageHeadForEnd(stub, container.size);
    PeChecksum checksum(stub.layout.checksumOffset);
    checksum.Add(head.data(), head.size());
    for (const auto &[data, length] : container.spans)
        checksum.Add(data, length);
    WriteU32(head, stub.layout.checksumOffset, checksum.Finish());
    file.Append(head.data(), head.size());
    for (const auto &[data, length] : container.spans)
        file.Append(data, length);
    file.Flush();
    return head.size() + container.size;
}

} // namespace

void RunPack(const PackOptions &options, std::ostream &out)
{
    // Everything that can be refused is checked before anything is written.
    const unsigned threads = ThreadCount(options.threads);
    ZlibCompressor levelCheck(options.level);
    const std::size_t pieceSize = PieceSize();
    const std::uint64_t memoryLimit = options.memoryLimit != 0 ? options.memoryLimit : DefaultMemoryLimit();
    EvpKeyHandle key = LoadPrivateKey(options.key, options.passphrase);
    Bytes blob = PublicKeyBlob(key.get(), options.key);
    Stub stub = LoadStub(options.stub, options.placement);
    if (!ImageCarriesModulus(stub.image, blob))
        throw PackError("stub " + options.stub + " was not built with the public half of " + options.key +
                        ": it could never verify the payload (build launcher.exe with LAUNCHER_PUBLIC_KEY set to "
                        "that key)");

    std::vector<MsiPackage> packages;
    for (const auto &path : options.packages)
        packages.push_back(ReadMsiPackage(path, options.allowUncompressed));
    PackagePlan plan = PlanPackages(packages);
    for (const auto &warning : plan.warnings)
        std::cerr << "launcher-pack: warning: " << warning << '\n';

    // The head item is made here; the files are read again in pieces as they are compressed.
    std::vector<ItemSource> items;
    Bytes directory = writer::WriteDirectory(plan.directory);
    items.push_back(
        {writer::ItemKind::Head, 0, directory, {}, directory.size(), DigestOf(directory.data(), directory.size())});
    for (const PlannedItem &item : plan.items)
        items.push_back({writer::ItemKind::File, item.id, {}, item.source, item.size, item.digest});
    std::uint64_t total = 0;
    std::vector<ExpectedItem> expected;
    for (const auto &item : items) {
        total += item.size;
        expected.push_back({item.kind == writer::ItemKind::Head, item.id, item.digest});
    }

    ProgressBar progress(ProgressBar::ModeFor(options.quiet));
    // The file comes first, so that an output folder that can't be written is known at once.
    TemporaryFile file(options.output);
    progress.Begin("compressing and signing " + std::to_string(items.size()) + " items on " + std::to_string(threads) +
                       (threads == 1 ? " thread" : " threads"),
                   total);
    std::vector<PackedItem> packed = PackItems(
        items, {options.level, threads, pieceSize, memoryLimit}, key.get(),
        [&](std::size_t, std::uint64_t input, std::uint64_t, std::uint64_t) { progress.Advance(input); }, std::cerr);

    progress.Begin("writing " + options.output, 0);
    std::uint64_t imageSize;
    std::uint64_t payloadSize;
    {
        ContainerSpans container = SpansOf(packed);
        payloadSize = container.size;
        imageSize = WriteInstaller(file, stub, container, options.placement, key.get());
    }
    packed.clear();
#ifdef __GLIBC__
    // The pieces were many blocks of a few MiB; hand their pages back before the file is read
    // back, so that the output is held once, not twice.
    malloc_trim(0);
#endif

    progress.Begin("reading back " + options.output, total);
    CheckPackedFile(file.Path(), blob, expected, plan.directory, threads, progress);
    file.Commit();
    progress.Finish();

    out << options.output << ": " << imageSize << " bytes, payload " << payloadSize << " bytes in " << expected.size()
        << " items, placement " << PlacementName(options.placement)
        << (stub.isSigned ? " (signed stub)" : " (unsigned stub)") << '\n';
    for (const auto &entry : plan.directory)
        out << "  " << entry.id << "  " << entry.path << '\n';
}

} // namespace packer
