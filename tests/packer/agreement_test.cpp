// inspect and verify read odd containers exactly as the launcher does: for every item id, the
// launcher's own ReadPayloadItem (run here, in this process) and inspect report the same
// outcome, and verify passes only when every read the launcher would make succeeds.
#include "tests/packer/packer_test_support.h"

#include "launcher/launcher_state.h"
#include "packer/keys/pem_key.h"
#include "packer/keys/payload_key.h"
#include "packer/payload/payload_reader.h"
#include "payload/locator.h"
#include "payload/payload_item.h"
#include "payload/payload_item_stream.h"
#include "packer/pipeline/compressor.h"
#include "packer/pipeline/piece_compressor.h"
#include "tests/fixtures/fixtures.h"
#include "tests/unit/payload_fixtures.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <regex>
#include <set>
#include <tuple>

namespace packer_test {
namespace {

using Outcome = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>; // code, line, output size

const char *const PackagePath = "x64\\1033\\{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}\\Launcher Example";

Bytes Text(const std::string &text)
{
    return Bytes(text.begin(), text.end());
}

Bytes Container(const std::vector<writer::ContainerItem> &items)
{
    writer::PrivateKey key = writer::LoadPrivateKey(TheWorld().key);
    return writer::WriteContainer(items, writer::ContainerOptions{}, key.get());
}

Bytes Directory(const std::vector<writer::DirectoryEntry> &entries)
{
    return writer::WriteDirectory(entries);
}

Bytes FileTrailer(std::uint32_t id, std::uint32_t signatureLength, std::uint32_t dataLength)
{
    Bytes trailer(ItemTrailerSize);
    ItemTrailer fields{{}, id, signatureLength, dataLength};
    std::copy(FileItemGuid, FileItemGuid + ItemKindSize, fields.kind);
    WriteItemTrailer(trailer.data(), fields);
    return trailer;
}

Bytes Joined(Bytes first, const Bytes &second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

struct OddContainer {
    const char *name;
    int verifyExit;
    std::function<Bytes()> make;
};

const OddContainer oddContainers[] = {
    // The launcher reads the item nearer the end; the other is never read.
    {"two_items_with_one_id", 0,
     [] {
         return Container({{writer::ItemKind::Head, 0, Directory({{1000, PackagePath}})},
                           {writer::ItemKind::File, 1000, Text("the first")},
                           {writer::ItemKind::File, 1000, Text("the second, nearer the end")}});
     }},
    // A last trailer whose signature length runs past the front is passed over, 28 bytes back.
    {"file_signature_length_past_the_front", 0,
     [] {
         return Joined(Container({{writer::ItemKind::Head, 0, Directory({{1000, PackagePath}})},
                                  {writer::ItemKind::File, 1000, Text("package")}}),
                       FileTrailer(1001, 0xFFFFFF00u, 0));
     }},
    // ... and one whose data length does, from in front of its signature.
    {"file_data_length_past_the_front", 0,
     [] {
         return Joined(Container({{writer::ItemKind::Head, 0, Directory({{1000, PackagePath}})},
                                  {writer::ItemKind::File, 1000, Text("package")}}),
                       FileTrailer(1001, 0, 0xFFFFFF00u));
     }},
    // A head item whose signature runs past the front ends the walk: nothing is found.
    {"head_signature_length_past_the_front", 1,
     [] {
         Bytes container = Container({{writer::ItemKind::Head, 0, Directory({{1000, PackagePath}})}});
         WriteU32(container.data() + container.size() - ItemTrailerSize + TrailerSignatureLengthOffset, 0xFFFFFF00u);
         return container;
     }},
    {"trailing_padding", 1,
     [] {
         return Joined(Container({{writer::ItemKind::Head, 0, Directory({{1000, PackagePath}})},
                                  {writer::ItemKind::File, 1000, Text("package")}}),
                       Bytes(16, 0));
     }},
    {"a_damaged_signature", 1,
     [] {
         Bytes container = Container({{writer::ItemKind::Head, 0, Directory({{1000, PackagePath}})},
                                      {writer::ItemKind::File, 1000, Text("package")}});
         container[container.size() - ItemTrailerSize - 1] ^= 0x01;
         return container;
     }},
    {"a_record_without_its_item", 1,
     [] {
         return Container({{writer::ItemKind::Head, 0, Directory({{1000, PackagePath}, {1001, "cab\\1000\\a.cab"}})},
                           {writer::ItemKind::File, 1000, Text("package")}});
     }},
    // An item compressed in pieces is one zlib stream to the launcher.
    {"an_item_compressed_in_pieces", 0,
     [] {
         writer::PrivateKey key = writer::LoadPrivateKey(TheWorld().key);
         writer::ContainerOptions options;
         options.compress = [](const Bytes &output) {
             packer::ZlibCompressor compressor(packer::DefaultCompressionLevel);
             std::vector<packer::CompressedPiece> pieces;
             for (std::size_t offset = 0; offset < output.size(); offset += 4096) {
                 std::size_t length = std::min<std::size_t>(4096, output.size() - offset);
                 pieces.push_back(packer::CompressPiece(compressor, output.data() + offset, length,
                                                        offset + length == output.size()));
             }
             Bytes stream;
             for (const Bytes &chunk : packer::JoinPieces(compressor, std::move(pieces)))
                 stream.insert(stream.end(), chunk.begin(), chunk.end());
             return stream;
         };
         Bytes big;
         for (int i = 0; big.size() < 20000; ++i)
             for (char c : "line " + std::to_string(i * 7919 % 1000) + " of the package\n")
                 big.push_back(static_cast<std::uint8_t>(c));
         return writer::WriteContainer(
             {{writer::ItemKind::Head, 0, Directory({{1000, PackagePath}})}, {writer::ItemKind::File, 1000, big}},
             options, key.get());
     }},
    // A zlib stream cut short: both forms fail it at the inflate site.
    {"a_truncated_stream", 1,
     [] {
         writer::PrivateKey key = writer::LoadPrivateKey(TheWorld().key);
         writer::ContainerOptions options;
         const Bytes cut = Text("a package that is cut short");
         options.compress = [cut](const Bytes &output) {
             Bytes stream = writer::CompressZlib(output, 9);
             if (output == cut)
                 stream.resize(stream.size() - 6);
             return stream;
         };
         return writer::WriteContainer(
             {{writer::ItemKind::Head, 0, Directory({{1000, PackagePath}})}, {writer::ItemKind::File, 1000, cut}},
             options, key.get());
     }},
    {"an_item_no_record_names", 0,
     [] {
         return Container({{writer::ItemKind::Head, 0, Directory({{1000, PackagePath}})},
                           {writer::ItemKind::File, 1000, Text("package")},
                           {writer::ItemKind::File, 1005, Text("extra")}});
     }},
};

// The launcher's own outcome for the head item and every id asked about; empty when it stops
// before its package directory (the locate result is then the first value).
struct LauncherView {
    std::pair<std::uint32_t, std::uint32_t> locate;
    std::map<std::uint32_t, Outcome> files;
    Outcome head;
};

LauncherView AskTheLauncher(const Bytes &image, const std::set<std::uint32_t> &ids)
{
    LauncherView view{};
    LauncherState state{};
    ErrorValue located = fixtures::LocateInCopy(&state, image);
    view.locate = {ErrorValueCode(located), ErrorValueLine(located)};
    if (view.locate.first == 0) {
        // Both forms of the item check: the launcher's, which makes the whole output, and the
        // streaming one the packer reads back with. They give the same outcome and output.
        auto read = [&](const std::uint8_t *kind, std::uint32_t id) {
            BYTE *output = nullptr;
            DWORD size = 0;
            Bytes digest(Sha256Size);
            ErrorValue value = ReadPayloadItem(&state.payloads[0], kind, id, &output, &size, digest.data());
            Bytes whole = output != nullptr ? Bytes(output, output + size) : Bytes();
            FreeItemOutput(output);
            Outcome outcome{ErrorValueCode(value), ErrorValueLine(value), size};

            Bytes streamed;
            DWORD streamedSize = 0;
            Bytes streamedDigest(Sha256Size);
            ErrorValue checked = CheckPayloadItem(
                &state.payloads[0], kind, id,
                [](const BYTE *piece, DWORD length, void *context) {
                    auto *into = static_cast<Bytes *>(context);
                    into->insert(into->end(), piece, piece + length);
                },
                &streamed, &streamedSize, streamedDigest.data());
            EXPECT_EQ((Outcome{ErrorValueCode(checked), ErrorValueLine(checked), streamedSize}), outcome) << id;
            if (ErrorValueCode(value) == 0) {
                EXPECT_EQ(streamed, whole) << id;
                // Both hand out the digest their signature check made, of the output itself.
                EXPECT_EQ(digest, fixtures::Sha256Bytes(whole)) << id;
                EXPECT_EQ(streamedDigest, digest) << id;
            }
            return outcome;
        };
        view.head = read(HeadItemGuid, 0);
        for (std::uint32_t id : ids)
            view.files[id] = read(FileItemGuid, id);
    }
    FreePayloadDescriptors(&state);
    return view;
}

struct InspectView {
    std::pair<std::uint32_t, std::uint32_t> locate;
    std::map<std::uint32_t, Outcome> files; // the items the launcher reads
    std::vector<Outcome> heads;
    std::vector<std::uint32_t> unread; // ids of items never read
    std::set<std::uint32_t> recordIds;
};

InspectView ParseInspect(const std::string &json)
{
    InspectView view{};
    std::smatch match;
    std::regex locate(R"re("launcherResult": \{"text": "[^"]*", "code": (\d+), "line": (\d+)\})re");
    if (std::regex_search(json, match, locate))
        view.locate = {std::stoul(match[1]), std::stoul(match[2])};
    std::regex item(R"re(\{"kind": "(head|file)", "id": (\d+), .*"readByLauncher": (true|false), "outputSize": )re"
                    R"re((null|\d+), .*"result": (null|\{"text": "[^"]*", "code": (\d+), "line": (\d+)\})\})re");
    std::regex record(R"re(\{"id": (\d+), "kind": )re");
    for (auto line = json.begin(); line != json.end();) {
        auto end = std::find(line, json.end(), '\n');
        std::string text(line, end);
        line = end == json.end() ? end : end + 1;
        if (std::regex_search(text, match, record))
            view.recordIds.insert(std::stoul(match[1]));
        if (!std::regex_search(text, match, item))
            continue;
        std::uint32_t id = std::stoul(match[2]);
        if (match[3] == "false") {
            view.unread.push_back(id);
            continue;
        }
        Outcome outcome{std::stoul(match[6]), std::stoul(match[7]),
                        match[4] == "null" ? 0 : static_cast<std::uint32_t>(std::stoul(match[4]))};
        if (match[1] == "head")
            view.heads.push_back(outcome);
        else
            view.files[id] = outcome;
    }
    return view;
}

class Agreement : public testing::TestWithParam<OddContainer> {};

TEST_P(Agreement, InspectAndVerifyReportWhatTheLauncherReads)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder(std::string("agreement-") + GetParam().name);
    const std::string installer = folder + "/setup.exe";
    Bytes image = Joined(fixtures::ReadFileBytes(world.stub), GetParam().make());
    fixtures::WriteFileBytes(installer, image);

    RunResult inspected = Pack("inspect --json " + Quote(installer));
    InspectView inspect = ParseInspect(inspected.out);

    std::set<std::uint32_t> ids = inspect.recordIds;
    for (const auto &[id, outcome] : inspect.files)
        ids.insert(id);
    ids.insert(inspect.unread.begin(), inspect.unread.end());
    ids.insert({1000, 1001, 1005});
    packer::SetPayloadVerificationKey(packer::PublicKeyBlob(packer::LoadKey({world.publicKey, ""}).get(), "key"));
    LauncherView launcher = AskTheLauncher(image, ids);

    EXPECT_EQ(inspect.locate, launcher.locate) << inspected.out;
    // inspect fails when the launcher finds no payload at all.
    EXPECT_EQ(inspected.exitCode, launcher.locate.first == ERROR_NOT_FOUND ? 1 : 0) << inspected.err;
    bool launcherReadsAll = launcher.locate.first == 0;
    if (launcher.locate.first == 0) {
        ASSERT_EQ(inspect.heads.size(), 1u) << inspected.out;
        EXPECT_EQ(inspect.heads.front(), launcher.head);
        for (const auto &[id, outcome] : launcher.files) {
            SCOPED_TRACE(id);
            bool found = std::get<0>(outcome) != ERROR_NOT_FOUND;
            ASSERT_EQ(inspect.files.count(id) == 1, found) << inspected.out;
            if (found) {
                EXPECT_EQ(inspect.files.at(id), outcome);
            }
            // The launcher reads what its directory names, and verify what the launcher reads.
            if ((found || inspect.recordIds.count(id)) && std::get<0>(outcome) != 0)
                launcherReadsAll = false;
        }
    } else {
        EXPECT_TRUE(inspect.heads.empty() && inspect.files.empty()) << inspected.out;
    }

    RunResult verified = Pack("verify --allow-unsigned --key " + Quote(world.publicKey) + " " + Quote(installer));
    EXPECT_EQ(verified.exitCode, GetParam().verifyExit) << verified.out << verified.err;
    EXPECT_EQ(verified.exitCode == 0, launcherReadsAll) << verified.out;
}

INSTANTIATE_TEST_SUITE_P(OddContainers, Agreement, testing::ValuesIn(oddContainers),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Agreement, TheNearerOfTwoItemsWithOneIdIsTheOneExtracted)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("agreement-extract");
    const std::string installer = folder + "/setup.exe";
    fixtures::WriteFileBytes(installer, Joined(fixtures::ReadFileBytes(world.stub), oddContainers[0].make()));
    ASSERT_EQ(Pack("extract " + Quote(installer) + " -o " + Quote(folder + "/out")).exitCode, 0);
    EXPECT_EQ(fixtures::ReadFileBytes(folder + "/out/main.msi"), Text("the second, nearer the end"));
}

} // namespace
} // namespace packer_test
