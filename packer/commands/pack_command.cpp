#include "packer/commands/commands.h"

#include "packer/pipeline/compressor.h"
#include "packer/cli/console.h"
#include "packer/pipeline/item_pipeline.h"
#include "packer/pipeline/memory_budget.h"
#include "packer/pipeline/output_file.h"
#include "packer/pack_error.h"
#include "packer/payload/package_plan.h"
#include "packer/pipeline/parallel.h"
#include "packer/keys/payload_signer.h"
#include "packer/keys/payload_key.h"
#include "packer/payload/payload_reader.h"
#include "packer/pe/pe_image.h"
#include "packer/pipeline/piece_compressor.h"
#include "packer/cli/progress_bar.h"
#include "packer/pipeline/streaming_input.h"

#include <openssl/sha.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <ostream>

namespace packer {

namespace {

struct ExpectedItem {
    bool head;
    std::uint32_t id;
    Sha256Digest digest;
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
        Sha256Digest digest;
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

// Sets the languages that --msi-language gives (FILE=LCID[,LCID...], split at the last '=' so
// that FILE may hold one) on the packages it names, by file identity or, for a file that can't
// be reached, by the name as given.
void ApplyPackageLanguages(const std::vector<std::string> &options, std::vector<MsiPackage> &packages)
{
    std::vector<bool> given(packages.size(), false);
    for (const std::string &option : options) {
        const std::size_t equals = option.rfind('=');
        const std::string file = option.substr(0, equals == std::string::npos ? 0 : equals);
        if (file.empty())
            throw UsageError("--msi-language " + option + ": give FILE=LCID[,LCID...], such as de.msi=1031");
        const std::optional<host::FileIdentity> identity = host::IdentifyFile(file);
        auto named = std::find_if(packages.begin(), packages.end(), [&](const MsiPackage &package) {
            if (package.path == file)
                return true;
            std::optional<host::FileIdentity> other = host::IdentifyFile(package.path);
            return identity && other && *identity == *other;
        });
        if (named == packages.end())
            throw UsageError("--msi-language " + option + ": " + file + " is not one of the --msi packages");
        const std::size_t index = static_cast<std::size_t>(named - packages.begin());
        if (given[index])
            throw UsageError("--msi-language names " + named->path + " twice");
        given[index] = true;

        std::vector<std::string> languages;
        const std::string list = option.substr(equals + 1);
        for (std::size_t begin = 0; begin <= list.size();) {
            const std::size_t end = std::min(list.find(',', begin), list.size());
            std::optional<std::string> language = LanguageId(list.substr(begin, end - begin));
            if (!language || *language == "0")
                throw UsageError("--msi-language " + option + ": \"" + list.substr(begin, end - begin) +
                                 "\" is not a language identifier (a decimal LCID from 1 to 65535, such as 1031)");
            if (std::find(languages.begin(), languages.end(), *language) != languages.end())
                throw UsageError("--msi-language " + option + ": language " + *language + " is given twice");
            languages.push_back(*language);
            begin = end + 1;
        }
        named->languages = languages;
        named->languagesGiven = true;
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

// Offers the first size bytes of a file a window at a time.
void ReadInPieces(const std::string &path, std::uint64_t size,
                  const std::function<void(const std::uint8_t *, std::size_t)> &take)
{
    InputFile in(path);
    if (in.Size() < size)
        throw ReadError(path + ": the file got shorter while being written");
    std::vector<std::uint8_t> window(static_cast<std::size_t>(std::min<std::uint64_t>(size, 4u << 20)));
    for (std::uint64_t left = size; left > 0;) {
        const std::size_t part = static_cast<std::size_t>(std::min<std::uint64_t>(left, window.size()));
        in.ReadNext(window.data(), part);
        take(window.data(), part);
        left -= part;
    }
}

struct WrittenImage {
    std::uint64_t size;
    Placement placement; // the one used: end, certificate or overlay
};

// Writes the stub with the container (the first containerSize bytes of the file at containerPath)
// placed, copying the container a window at a time between the image's head and tail.
WrittenImage WriteInstaller(TemporaryFile &file, const Stub &stub, const std::string &containerPath,
                            std::uint64_t containerSize, Placement placement, const PayloadSigner &signer)
{
    const ContainerReader read = [&](const std::function<void(const std::uint8_t *, std::size_t)> &take) {
        ReadInPieces(containerPath, containerSize, take);
    };
    const PlacedParts placed = PlaceContainerAround(stub, containerSize, read, placement, signer);
    file.Append(placed.head.data(), placed.head.size());
    read([&](const std::uint8_t *data, std::size_t length) { file.Append(data, length); });
    file.Append(placed.tail.data(), placed.tail.size());
    file.Flush();
    return {placed.head.size() + containerSize + placed.tail.size(), placed.placement};
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
    ZlibCompressor levelCheck(options.level);
    const std::size_t pieceSize = PieceSize();
    const std::uint64_t memoryLimit = options.memoryLimit != 0 ? options.memoryLimit : DefaultMemoryLimit();
    // The stub first: without --key, a signer command's public half is the one in its slot.
    Step("reading the stub " + options.stub);
    Stub stub = LoadStub(options.stub, options.placement);
    Step("reading the key " + options.key.Name());
    std::unique_ptr<PayloadSigner> signer =
        OpenSigner(options.key, threads, options.key.Given() ? std::nullopt : ReadSlotKey(stub.image, options.stub));
    Bytes blob = PublicKeyBlob(signer->PublicKey(), signer->Name());
    CheckStubKey(stub.image, options.stub, blob, signer->Name());

    std::vector<MsiPackage> packages;
    for (const auto &path : options.packages) {
        Step("reading the package " + path);
        packages.push_back(ReadMsiPackage(path, options.allowUncompressed));
    }
    ApplyPackageLanguages(options.packageLanguages, packages);
    PackagePlan plan = PlanPackages(packages, options.allowUnreachable);
    for (const auto &warning : plan.warnings)
        Warn(warning);
    for (const auto &item : plan.items)
        inputs.push_back(item.source);
    CheckOutputPath(options.output, inputs, options.force);

    // The head item is made here; the files are read again in pieces as they are compressed.
    std::vector<ItemSource> items;
    Bytes directory = writer::WriteDirectory(plan.directory);
    items.push_back(
        {writer::ItemKind::Head, 0, directory, {}, directory.size(), Sha256Of(directory.data(), directory.size())});
    for (const PlannedItem &item : plan.items)
        items.push_back({writer::ItemKind::File, item.id, {}, item.source, item.size, item.digest});
    std::uint64_t total = 0;
    std::vector<ExpectedItem> expected;
    for (const auto &item : items) {
        total += item.size;
        expected.push_back({item.kind == writer::ItemKind::Head, item.id, item.digest});
    }

    ProgressBar progress(ProgressBar::ModeForConsole());
    std::uint64_t inputDone = 0; // under the pipeline's lock
    // The file comes first, so that an output folder that can't be written is known at once. The
    // container goes to a file of its own beside it as its pieces complete; the image's head, whose
    // padding and checksum depend on the container's size, is written once that is known.
    TemporaryFile file(options.output);
    TemporaryFile container(options.output);
    progress.Begin("compressing and signing " + std::to_string(items.size()) + " items on " + std::to_string(threads) +
                       (threads == 1 ? " thread" : " threads"),
                   total);
    const std::uint64_t payloadSize = PackItems(
        items, {options.level, threads, pieceSize, memoryLimit}, *signer,
        [&](std::size_t, std::uint64_t input, std::uint64_t, std::uint64_t compressed) {
            progress.Advance(input);
            inputDone += input;
            CheckCertificateBudget(options.placement, compressed, inputDone, total);
        },
        [&](const std::uint8_t *data, std::size_t length) { container.Append(data, length); });
    container.Flush();

    progress.Begin("writing " + options.output, 0);
    const WrittenImage written = WriteInstaller(file, stub, container.Path(), payloadSize, options.placement, *signer);
    Step("placed the payload: " + PlacementName(written.placement));

    progress.Begin("reading back " + options.output, total);
    CheckPackedFile(file.Path(), blob, expected, plan.directory, threads, progress);
    file.Commit();
    progress.Finish();

    out << options.output << ": " << written.size << " bytes, payload " << payloadSize << " bytes in "
        << expected.size() << " items, placement " << PlacementName(written.placement)
        << (stub.isSigned ? " (signed stub)" : " (unsigned stub)") << '\n';
    for (const auto &entry : plan.directory)
        out << "  " << entry.id << "  " << entry.path << '\n';
    if (written.placement == Placement::Overlay)
        out << "next: sign " << options.output
            << " now with your Authenticode tool (signtool, osslsigncode, a signing service); the signature then "
               "covers the payload, and launcher-pack verify checks both\n";
}

} // namespace packer
