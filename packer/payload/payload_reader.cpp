#include "packer/payload/payload_reader.h"

#include "launcher/launcher_state.h"
#include "packer/pe/file_image.h"
#include "packer/pack_error.h"
#include "packer/pe/pe_image.h"
#include "packer/pipeline/parallel.h"
#include "writer/container_writer.h"
#include "payload/file_name_rule.h"
#include "payload/locator.h"
#include "payload/package_directory.h"
#include "payload/payload_item.h"
#include "payload/payload_item_stream.h"
#include "packer/pipeline/streaming_input.h"
#include "unicode/utf.h"

#include <cstring>
#include <memory>
#include <set>

namespace packer {

namespace {

Bytes chosenKey;

LauncherFailure FailureOf(ErrorValue value)
{
    return {ErrorValueCode(value), ErrorValueLine(value)};
}

Binding BindingOf(DWORD binding)
{
    switch (binding) {
    case ItemBindingNone:
        return Binding::None;
    case ItemBindingMatches:
        return Binding::Matches;
    case ItemBindingMissing:
        return Binding::Missing;
    default:
        return Binding::Differs;
    }
}

// Loads into a file image every byte that the launcher's lookup may read other than items' data
// and signatures: the certificate table and the bytes in front of it (the file's headers are
// there already), the trailers its walk may reach from each end a container may have, and the
// head item. From each trailer of a file item, every place the walk may go next is followed,
// whichever of its rules applies: the walk reads a subset of what is loaded.
void LoadPayloadRanges(const FileImage &file)
{
    const ByteView view = file;
    std::vector<std::uint64_t> ends{file.size()};
    // Without a table the launcher finds, the file's end is the only one.
    CertificateTablePlace table;
    if (FindCertificateTableLoosely(view, table)) {
        const std::uint64_t front = CertificateTableAlignment + ItemTrailerSize;
        const std::uint64_t from = table.offset > front ? table.offset - front : 0;
        file.Load(from, table.offset - from);
        for (std::uint64_t skipped = 0; skipped < CertificateTableAlignment && skipped <= table.offset; ++skipped)
            ends.push_back(table.offset - skipped);
    }
    std::vector<std::uint64_t> trailers;
    for (std::uint64_t end : ends)
        if (end >= ItemTrailerSize)
            trailers.push_back(end - ItemTrailerSize);
    std::set<std::uint64_t> seen;
    while (!trailers.empty()) {
        const std::uint64_t at = trailers.back();
        trailers.pop_back();
        if (!seen.insert(at).second)
            continue;
        file.Load(at, ItemTrailerSize);
        const ItemTrailer trailer = ReadItemTrailer(view.data() + at);
        const std::uint64_t signature = trailer.signatureLength, data = trailer.dataLength;
        if (std::memcmp(trailer.kind, HeadItemGuid, ItemKindSize) == 0) {
            if (signature + data <= at)
                file.Load(at - signature - data, signature + data);
        } else if (std::memcmp(trailer.kind, FileItemGuid, ItemKindSize) == 0) {
            for (std::uint64_t back : {std::uint64_t{0}, signature, signature + data})
                if (back + ItemTrailerSize <= at)
                    trailers.push_back(at - back - ItemTrailerSize);
        }
    }
}

// The launcher's state with the descriptor list for one file image, released when this goes.
class LoadedPayloads {
  public:
    explicit LoadedPayloads(ByteView image)
    {
        if (image.size() > 0xFFFFFFFFu)
            throw PackError("the file is 4 GiB or larger, more than the launcher can read");
        state.is64Bit = 1;
        state.showProgress = 1;
        DWORD size = static_cast<DWORD>(image.size());
        fileSize = size;
        if (image.File() != nullptr)
            LoadPayloadRanges(*image.File());
        // A container in the image is read where it lies (of a file, only what was loaded; its
        // items' data is read from the file as each item is checked): nothing writes through it.
        BYTE *bytes = const_cast<BYTE *>(image.data());
        ErrorValue value = LocatePayload(&state, bytes, size, &placement);
        if (placement != PayloadInCarriers && state.payloadCount != 0) {
            inImage = true;
            file = image.File();
        }
        ignored = FindIgnoredPayloads(bytes, size, placement);
        result = FailureOf(value);
    }
    ~LoadedPayloads()
    {
        // The image is the caller's, not the descriptor's.
        if (inImage)
            state.payloads[0].image = nullptr;
        FreePayloadDescriptors(&state);
    }
    LoadedPayloads(const LoadedPayloads &) = delete;
    LoadedPayloads &operator=(const LoadedPayloads &) = delete;

    LauncherState state{};
    LauncherFailure result;
    DWORD placement = PayloadNotFound;
    DWORD ignored = 0; // IgnoredPayload flags
    DWORD fileSize;
    bool inImage = false;            // the one container is the front of the image
    const FileImage *file = nullptr; // where that container's items are read from, for a file
};

struct FileReader {
    const FileImage *file;
    std::string failure;
};

BOOL ReadFromFile(DWORD offset, BYTE *buffer, DWORD size, void *context)
{
    auto *reader = static_cast<FileReader *>(context);
    try {
        if (reader->file->ReadAt(offset, buffer, size))
            return TRUE;
        reader->failure = reader->file->Path() + ": the file got shorter while being read";
    } catch (const std::exception &error) {
        reader->failure = error.what();
    }
    return FALSE;
}

// The streaming item check of one item, its data read from where the container lies.
ErrorValue CheckItem(const LoadedPayloads &payloads, const PayloadDescriptor &descriptor, const BYTE kind[16],
                     DWORD itemId, ItemOutputVisitor visit, void *context, DWORD *outSize, BYTE *outDigest)
{
    if (payloads.file == nullptr)
        return CheckPayloadItem(&descriptor, kind, itemId, visit, context, outSize, outDigest);
    // A container in the image begins where the file does.
    FileReader reader{payloads.file, {}};
    ErrorValue value =
        CheckPayloadItemFrom(&descriptor, ReadFromFile, &reader, kind, itemId, visit, context, outSize, outDigest);
    if (!reader.failure.empty())
        throw ReadError(reader.failure);
    return value;
}

// UTF-16 text of the given units (-1: up to its terminator) as UTF-8.
std::string Utf8Of(const WCHAR *text, int units)
{
    std::string utf8;
    if (units == 0)
        return utf8;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (bytes > 0) {
        utf8.resize(static_cast<std::size_t>(bytes));
        WideCharToMultiByte(CP_UTF8, 0, text, units, utf8.data(), bytes, nullptr, nullptr);
    }
    if (units == -1 && !utf8.empty())
        utf8.pop_back(); // the terminator
    return utf8;
}

// The report holds each record as the launcher's walks read it, its texts as UTF-8.
int CollectRecord(DWORD containerIndex, DWORD recordId, const WCHAR *path, void *context)
{
    auto *containers = static_cast<std::vector<ContainerInfo> *>(context);
    if (containerIndex >= containers->size())
        return 1;
    DirectoryRecordParts parts;
    SplitDirectoryRecord(path, &parts);
    DirectoryRecord record{recordId, Utf8Of(path, -1), "unknown", {}, {}};
    if (IsBindingPath(path)) {
        record.kind = "binding";
    } else if (parts.kind != DirectoryRecordOther) {
        record.kind = parts.kind == DirectoryRecordCabinet ? "cabinet" : "package";
        record.languages = Utf8Of(parts.components[1].text, parts.components[1].units);
        record.name = Utf8Of(parts.components[2].text, parts.components[2].units);
    }
    (*containers)[containerIndex].records.push_back(record);
    return 1;
}

BOOL CollectItem(const PayloadItemPlace *place, void *context)
{
    static_cast<std::vector<PayloadItemPlace> *>(context)->push_back(*place);
    return TRUE;
}

// The items of a container that the launcher's own walk reaches; the first of them (nearest
// the end) with an id is the one the launcher reads for it.
void ListItems(const PayloadDescriptor &descriptor, ContainerInfo &container)
{
    std::vector<PayloadItemPlace> places;
    WalkPayloadItems(&descriptor, CollectItem, &places);
    std::set<std::uint32_t> fileIds;
    container.chainComplete = !places.empty() && places.back().head;
    for (auto place = places.rbegin(); place != places.rend(); ++place)
        container.items.push_back(ItemInfo{place->head != FALSE,
                                           place->trailer.itemId,
                                           place->trailer.dataLength,
                                           place->trailer.signatureLength,
                                           false,
                                           0,
                                           {}});
    for (auto item = container.items.rbegin(); item != container.items.rend(); ++item)
        item->read = item->head || fileIds.insert(item->id).second;
}

} // namespace

namespace {

// UTF-16 text of UTF-8 name; false when name is not UTF-8.
bool ToUtf16(const std::string &name, std::u16string &wide)
{
    return unicode::AppendUtf16FromUtf8(wide, name.data(), name.size(), unicode::Utf8Policy::Strict);
}

} // namespace

bool IsPlainFileNameUtf8(const std::string &name)
{
    std::u16string wide;
    return ToUtf16(name, wide) && IsPlainFileName(reinterpret_cast<const WCHAR *>(wide.c_str())) != FALSE;
}

bool IsSameFileNameUtf8(const std::string &first, const std::string &second)
{
    std::u16string firstWide, secondWide;
    return ToUtf16(first, firstWide) && ToUtf16(second, secondWide) &&
           IsSameFileName(reinterpret_cast<const WCHAR *>(firstWide.c_str()),
                          reinterpret_cast<const WCHAR *>(secondWide.c_str())) != FALSE;
}

void SetPayloadVerificationKey(const Bytes &blob)
{
    chosenKey = blob;
}

std::string BindingProblem(Binding binding)
{
    return binding == Binding::Missing ? "has no binding in the signed directory, which binds the others"
                                       : "is not the output the signed directory binds to it: it is from another "
                                         "release signed with the same key";
}

std::string Describe(const LauncherFailure &failure)
{
    // The plain words first; the launcher's code and line are the detail a bug report needs.
    const std::string detail = "code " + std::to_string(failure.code) + ", line " + std::to_string(failure.line);
    switch (failure.code) {
    case 13:
        return "damaged data (" + detail + ")";
    case 1168:
        return "not found (" + detail + ")";
    case 1392:
        return "signature does not verify (" + detail + ")";
    case 0x80090003u:
        return "the key can't be loaded (" + detail + ")";
    default:
        return detail;
    }
}

namespace {

// Reads every item the launcher would read, side by side: its reader keeps no state between calls.
using ItemReader =
    std::function<void(const PayloadDescriptor &, std::size_t container, std::size_t position, ItemInfo &item)>;

PayloadReport ReadLoadedPayload(const LoadedPayloads &payloads, unsigned threads, const ItemReader &read)
{
    PayloadReport report;
    report.locate = payloads.result;
    report.fromCarriers = payloads.placement == PayloadInCarriers;
    report.ignoredCarriers = (payloads.ignored & IgnoredCarriers) != 0;
    report.ignoredContainerAtEnd = (payloads.ignored & IgnoredContainerAtEnd) != 0;
    if (report.locate.code != 0)
        return report;

    const LauncherState &state = payloads.state;
    report.beforeCertificateTable = payloads.placement == PayloadBeforeTable && state.payloadCount == 1 &&
                                    state.payloads[0].imageSize != payloads.fileSize;
    report.containers.resize(state.payloadCount);
    EnumeratePackageDirectory(&state, CollectRecord, &report.containers);
    std::vector<std::pair<DWORD, std::size_t>> reads; // container, position
    for (DWORD i = 0; i < state.payloadCount; ++i) {
        const PayloadDescriptor &descriptor = state.payloads[i];
        ContainerInfo &container = report.containers[i];
        container.size = descriptor.imageSize;
        ListItems(descriptor, container);
        for (std::size_t position = 0; position < container.items.size(); ++position)
            if (container.items[position].read)
                reads.push_back({i, position});
    }
    RunInParallel(reads.size(), threads, [&](std::size_t next, unsigned) {
        auto [i, position] = reads[next];
        read(state.payloads[i], i, position, report.containers[i].items[position]);
    });
    return report;
}

struct StreamVisit {
    const OutputPieceVisitor *visit;
    std::size_t container;
    std::size_t position;
    const ItemInfo *item;
};

void OfferPiece(const BYTE *output, DWORD size, void *context)
{
    const StreamVisit *visit = static_cast<const StreamVisit *>(context);
    (*visit->visit)(visit->container, visit->position, *visit->item, output, size);
}

} // namespace

namespace {

// The streaming item check of every item the launcher would read.
PayloadReport CheckLoadedPayload(const LoadedPayloads &payloads, const OutputPieceVisitor &visit, unsigned threads)
{
    return ReadLoadedPayload(
        payloads, threads,
        [&](const PayloadDescriptor &descriptor, std::size_t i, std::size_t position, ItemInfo &item) {
            StreamVisit context{&visit, i, position, &item};
            DWORD outputLength = 0;
            BYTE digest[Sha256Size];
            // The launcher reads its head item as id 0, whatever the trailer says.
            ErrorValue value =
                CheckItem(payloads, descriptor, item.head ? HeadItemGuid : FileItemGuid, item.head ? 0 : item.id,
                          visit ? OfferPiece : nullptr, &context, &outputLength, digest);
            item.result = FailureOf(value);
            if (item.result.code == 0) {
                item.outputLength = outputLength;
                if (!item.head)
                    item.binding = BindingOf(
                        CheckItemBinding(&payloads.state, static_cast<DWORD>(i), item.id, digest, outputLength));
            }
        });
}

// A stand-in for a container that holds, for every file item id the launcher's walk reaches in
// the real one, a stored, unsigned item whose output is that id: the launcher's own selection run
// over stand-ins names the files it would read, in its order, and which items they are, without
// reading any.
class StandIns {
  public:
    explicit StandIns(const LauncherState &real)
    {
        images_.resize(real.payloadCount);
        descriptors_.resize(real.payloadCount);
        for (DWORD i = 0; i < real.payloadCount; ++i) {
            std::vector<PayloadItemPlace> places;
            WalkPayloadItems(&real.payloads[i], CollectItem, &places);
            std::set<std::uint32_t> ids;
            for (const auto &place : places)
                if (!place.head)
                    ids.insert(place.trailer.itemId);
            for (std::uint32_t id : ids) {
                std::uint8_t output[4];
                ::WriteU32(output, id);
                images_[i].insert(images_[i].end(), output, output + sizeof output);
                const Bytes trailer = writer::ItemTrailerBytes(writer::ItemKind::File, id, 0, sizeof output);
                images_[i].insert(images_[i].end(), trailer.begin(), trailer.end());
            }
            PayloadDescriptor &descriptor = descriptors_[i];
            descriptor = real.payloads[i];
            descriptor.image = images_[i].data();
            descriptor.imageSize = static_cast<DWORD>(images_[i].size());
            descriptor.flags = 0;
        }
        state.is64Bit = real.is64Bit;
        state.payloads = descriptors_.data();
        state.payloadCount = real.payloadCount;
    }

    LauncherState state{};

  private:
    std::vector<Bytes> images_;
    std::vector<PayloadDescriptor> descriptors_;
};

struct FileVisit {
    const FileContentVisitor *visit;
    std::size_t file;
    std::uint64_t length;
};

void OfferFilePiece(const BYTE *output, DWORD size, void *context)
{
    auto *visit = static_cast<FileVisit *>(context);
    visit->length += size;
    if (*visit->visit)
        (*visit->visit)(visit->file, output, size);
}

} // namespace

PayloadReport CheckPayload(ByteView image, const OutputPieceVisitor &visit, unsigned threads)
{
    LoadedPayloads payloads(image);
    return CheckLoadedPayload(payloads, visit, threads);
}

PayloadReport CheckPayloadFile(const std::string &path, const OutputPieceVisitor &visit, unsigned threads)
{
    FileImage image(path);
    LoadedPayloads payloads(image);
    return CheckLoadedPayload(payloads, visit, threads);
}

Selection SelectPackageFor(ByteView image, std::uint32_t lcid, const FileContentVisitor &content,
                           const SelectionVisitor &chosen)
{
    LoadedPayloads payloads(image);
    if (payloads.result.code != 0)
        throw PackError("the launcher would stop reading its payload: " + Describe(payloads.result));
    const PackError noPackage("no package for x64 and locale " + std::to_string(lcid) +
                              " (the launcher would report code 13, line 2151)");

    StandIns standIns(payloads.state);
    standIns.state.lcid = lcid;
    ExtractionJob job{};
    job.current = -1;
    job.chunkSize = 0x80000;
    PackageSelection package{};
    BOOL selected = SelectPackage(&standIns.state, &job, &package);

    Selection selection{package.productCode, package.productName, {}};
    std::vector<std::uint32_t> ids;
    for (int i = 0; i < job.count; ++i) {
        FileRecord &record = job.items[i];
        if (record.data && record.length == 4) {
            selection.files.push_back({record.name, 0});
            ids.push_back(::ReadU32(record.data));
        }
        FreeItemOutput(record.data);
    }
    LocalFree(job.items);
    if (!selected)
        throw noPackage;

    // Each file as the launcher reads it, from the real container.
    if (chosen)
        chosen(selection);
    for (std::size_t file = 0; file < ids.size(); ++file) {
        FileVisit visit{&content, file, 0};
        DWORD outputLength = 0;
        BYTE digest[Sha256Size];
        ErrorValue value = CheckItem(payloads, payloads.state.payloads[package.containerIndex], FileItemGuid, ids[file],
                                     OfferFilePiece, &visit, &outputLength, digest);
        if (ErrorValueCode(value) != 0)
            throw noPackage;
        selection.files[file].length = outputLength;
        const Binding binding =
            BindingOf(CheckItemBinding(&payloads.state, package.containerIndex, ids[file], digest, outputLength));
        if (binding == Binding::Missing || binding == Binding::Differs)
            throw PackError(selection.files[file].name + " (item " + std::to_string(ids[file]) + ") " +
                            BindingProblem(binding) + " (the launcher would report code 13, line 2147)");
    }
    return selection;
}

std::uint32_t ChosenPackageId(const Bytes &directory, std::uint32_t lcid)
{
    // The walk only reads the directory, so the state may point at it where it lies.
    PayloadDescriptor descriptor{};
    descriptor.directory = const_cast<BYTE *>(directory.data());
    descriptor.directorySize = static_cast<DWORD>(directory.size());
    LauncherState state{};
    state.is64Bit = 1;
    state.lcid = lcid;
    state.payloads = &descriptor;
    state.payloadCount = 1;
    PackageSelection chosen{};
    return ChoosePackageEntry(&state, &chosen) ? chosen.packageId : 0;
}

} // namespace packer

// The launcher's code verifies with the key chosen for the file at hand; with none chosen, with
// zeros, which no provider imports.
void AssemblePayloadPublicKey(BYTE key[PayloadPublicKeySize])
{
    std::memset(key, 0, PayloadPublicKeySize);
    if (packer::chosenKey.size() == PayloadPublicKeySize)
        std::memcpy(key, packer::chosenKey.data(), PayloadPublicKeySize);
}
