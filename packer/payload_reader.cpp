#include "packer/payload_reader.h"

#include "launcher/launcher_state.h"
#include "packer/pack_error.h"
#include "packer/parallel.h"
#include "payload/locator.h"
#include "payload/package_directory.h"
#include "payload/payload_item.h"

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

// The launcher's state with the descriptor list for one file image, released when this goes.
class LoadedPayloads {
  public:
    explicit LoadedPayloads(const Bytes &image)
    {
        if (image.size() > 0xFFFFFFFFu)
            throw PackError("the file is 4 GiB or larger, more than the launcher can read");
        state.is64Bit = 1;
        state.showProgress = 1;
        DWORD size = static_cast<DWORD>(image.size());
        ErrorValue value = LocatePayload(&state, image.data(), size);
        fromCarriers = state.payloadCount != 0;
        if (ErrorValueCode(value) == 0 && state.payloadCount == 0)
            value = LoadWholeImagePayload(&state, image.data(), size);
        result = FailureOf(value);
    }
    ~LoadedPayloads() { FreePayloadDescriptors(&state); }
    LoadedPayloads(const LoadedPayloads &) = delete;
    LoadedPayloads &operator=(const LoadedPayloads &) = delete;

    LauncherState state{};
    LauncherFailure result;
    bool fromCarriers;
};

struct ItemOutput {
    BYTE *data = nullptr;
    ~ItemOutput() { FreeItemOutput(data); }
};

// The report holds paths as UTF-8.
int CollectRecord(DWORD containerIndex, DWORD recordId, const WCHAR *path, void *context)
{
    auto *containers = static_cast<std::vector<ContainerInfo> *>(context);
    if (containerIndex >= containers->size())
        return 1;
    std::string text;
    int bytes = WideCharToMultiByte(CP_UTF8, 0, path, -1, nullptr, 0, nullptr, nullptr);
    if (bytes > 1) {
        text.resize(static_cast<std::size_t>(bytes));
        WideCharToMultiByte(CP_UTF8, 0, path, -1, text.data(), bytes, nullptr, nullptr);
        text.resize(static_cast<std::size_t>(bytes) - 1);
    }
    (*containers)[containerIndex].records.push_back({recordId, text});
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

void ReadItem(const PayloadDescriptor &descriptor, ItemInfo &item,
              const std::function<void(const BYTE *, DWORD)> &visit)
{
    ItemOutput output;
    DWORD outputLength = 0;
    // The launcher reads its head item as id 0, whatever the trailer says.
    ErrorValue value = ReadPayloadItem(&descriptor, item.head ? HeadItemGuid : FileItemGuid, item.head ? 0 : item.id,
                                       &output.data, &outputLength);
    item.result = FailureOf(value);
    if (item.result.code != 0)
        return;
    item.outputLength = outputLength;
    if (visit)
        visit(output.data, outputLength);
}

} // namespace

void SetPayloadVerificationKey(const Bytes &blob)
{
    chosenKey = blob;
}

std::string Describe(const LauncherFailure &failure)
{
    std::string text = "code " + std::to_string(failure.code) + ", line " + std::to_string(failure.line);
    switch (failure.code) {
    case 13:
        return text + " (damaged data)";
    case 1168:
        return text + " (not found)";
    case 1392:
        return text + " (signature does not verify)";
    case 0x80090003u:
        return text + " (key not loadable)";
    default:
        return text;
    }
}

PayloadReport ReadPayload(const Bytes &image, const OutputVisitor &visit, unsigned threads)
{
    PayloadReport report;
    LoadedPayloads payloads(image);
    report.locate = payloads.result;
    report.fromCarriers = payloads.fromCarriers;
    if (report.locate.code != 0)
        return report;

    const LauncherState &state = payloads.state;
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
    // The launcher's reader keeps no state between calls: items are read side by side.
    RunInParallel(reads.size(), threads, [&](std::size_t next, unsigned) {
        auto [i, position] = reads[next];
        ItemInfo &item = report.containers[i].items[position];
        ReadItem(state.payloads[i], item, [&](const BYTE *output, DWORD length) {
            if (visit)
                visit(i, position, item, output, length);
        });
    });
    return report;
}

Selection SelectPackageFor(const Bytes &image, std::uint32_t lcid)
{
    LoadedPayloads payloads(image);
    if (payloads.result.code != 0)
        throw PackError("the launcher would stop reading its payload: " + Describe(payloads.result));

    payloads.state.lcid = lcid;
    ExtractionJob job{};
    job.current = -1;
    job.chunkSize = 0x80000;
    PackageSelection chosen{};
    BOOL selected = SelectPackage(&payloads.state, &job, &chosen);

    Selection selection{chosen.productCode, chosen.productName, {}};
    for (int i = 0; i < job.count; ++i) {
        FileRecord &record = job.items[i];
        if (record.data)
            selection.files.push_back({record.name, Bytes(record.data, record.data + record.length)});
        FreeItemOutput(record.data);
    }
    LocalFree(job.items);
    if (!selected)
        throw PackError("no package for x64 and locale " + std::to_string(lcid) +
                        " (the launcher would report code 13, line 2151)");
    return selection;
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
