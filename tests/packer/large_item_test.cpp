// Large items: pieces compressed side by side make one zlib stream that zlib and the launcher's
// inflater read back exactly, the same bytes for any number of threads, at nearly the size of
// one stream; the memory limit and the progress lines as a user sees them.
#include "tests/packer/packer_test_support.h"

#include "packer/pipeline/compressor.h"
#include "packer/pipeline/piece_compressor.h"
#include "payload/inflate.h"
#include "tests/fixtures/fixtures.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <filesystem>
#include <random>
#include <regex>

namespace packer_test {
namespace {

// Half text (words and lines, which compress well), half noise (which does not), in blocks, so
// that pieces see both.
Bytes MixedContent(std::size_t size, unsigned seed)
{
    static const char *const words[] = {"launcher", "payload", "cabinet",         "install", "the",     "a",
                                        "of",       "Windows", "{0D3B8C52-6E0A}", "0x7fff",  "product", "\n",
                                        "  ",       "=",       "MsiExec"};
    std::mt19937 random(seed);
    Bytes bytes;
    bytes.reserve(size);
    while (bytes.size() < size) {
        std::size_t block = std::min<std::size_t>(size - bytes.size(), 16384 + random() % 65536);
        bool noise = random() % 2 == 0;
        for (std::size_t end = bytes.size() + block; bytes.size() < end;) {
            if (noise) {
                bytes.push_back(static_cast<std::uint8_t>(random()));
                continue;
            }
            for (const char *c = words[random() % std::size(words)]; *c != '\0' && bytes.size() < end; ++c)
                bytes.push_back(static_cast<std::uint8_t>(*c));
            if (bytes.size() < end)
                bytes.push_back(' ');
        }
    }
    return bytes;
}

Bytes PieceStream(const packer::ZlibCompressor &compressor, const Bytes &data, std::size_t pieceSize)
{
    std::vector<packer::CompressedPiece> pieces;
    for (std::size_t offset = 0; offset < data.size(); offset += pieceSize) {
        std::size_t length = std::min(pieceSize, data.size() - offset);
        pieces.push_back(
            packer::CompressPiece(compressor, data.data() + offset, length, offset + length == data.size()));
    }
    Bytes stream;
    for (const Bytes &chunk : packer::JoinPieces(compressor, std::move(pieces)))
        stream.insert(stream.end(), chunk.begin(), chunk.end());
    return stream;
}

Bytes ZlibInflate(const Bytes &stream, std::size_t expectedSize)
{
    Bytes output(expectedSize + 1);
    uLongf length = output.size();
    if (uncompress(output.data(), &length, stream.data(), stream.size()) != Z_OK)
        return {};
    output.resize(length);
    return output;
}

Bytes LauncherInflate(const Bytes &stream)
{
    BYTE *output = nullptr;
    DWORD size = 0;
    if (InflateBuffer(&output, &size, stream.data(), static_cast<DWORD>(stream.size())) != 0)
        return {};
    Bytes bytes(output, output + size);
    FreeItemOutput(output);
    return bytes;
}

struct PieceCase {
    const char *name;
    int level;
    std::size_t size;
    std::size_t pieceSize;
    bool noise; // all noise: stored blocks at any level
};

const PieceCase pieceCases[] = {
    {"mixed_level_10", 10, 300000, 65536, false},
    {"mixed_level_1", 1, 300000, 65536, false},
    {"mixed_level_6_odd_pieces", 6, 300001, 4097, false},
    {"mixed_level_12_last_piece_one_byte", 12, 65536 * 3 + 1, 65536, false},
    {"noise_level_10", 10, 200000, 65536, true},
    {"mixed_level_0_stored", 0, 200000, 65536, false},
};

class Pieces : public testing::TestWithParam<PieceCase> {};

TEST_P(Pieces, JoinIntoOneStreamThatZlibAndTheLauncherInflateExactly)
{
    const PieceCase &param = GetParam();
    Bytes data = MixedContent(param.size, 7);
    if (param.noise) {
        std::mt19937 random(3);
        for (auto &byte : data)
            byte = static_cast<std::uint8_t>(random());
    }
    packer::ZlibCompressor compressor(param.level);
    Bytes stream = PieceStream(compressor, data, param.pieceSize);
    Bytes whole = compressor.Compress(data);
    EXPECT_EQ(Bytes(stream.begin(), stream.begin() + 2), Bytes(whole.begin(), whole.begin() + 2));
    EXPECT_EQ(ZlibInflate(stream, data.size()), data);
    EXPECT_EQ(LauncherInflate(stream), data);
}

INSTANTIATE_TEST_SUITE_P(Compressor, Pieces, testing::ValuesIn(pieceCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Pieces, OfTheDefaultSizeCostUnderHalfAPercent)
{
    Bytes data = MixedContent(4 * packer::DefaultPieceSize, 11);
    packer::ZlibCompressor compressor(packer::DefaultCompressionLevel);
    double pieces = static_cast<double>(PieceStream(compressor, data, packer::DefaultPieceSize).size());
    double whole = static_cast<double>(compressor.Compress(data).size());
    EXPECT_LT(pieces, whole * 1.005) << pieces << " against " << whole;
}

// A package whose cabinet stores a mixed file of bytes, in folder; its path.
std::string PackageWithMixedCabinet(const std::string &folder, std::size_t bytes)
{
    PackageSource source;
    source.cabinet = "mixed.cab";
    source.payloadFile = folder + "/mixed.bin";
    fixtures::WriteFileBytes(source.payloadFile, MixedContent(bytes, 5));
    BuildPackage(folder, "mixed", source);
    std::filesystem::remove(source.payloadFile);
    return folder + "/mixed.msi";
}

std::string PackArguments(const std::string &package, const std::string &output, const std::string &extra)
{
    const World &world = TheWorld();
    return "pack --stub " + Quote(world.stub) + " --key " + Quote(world.key) + " --msi " + Quote(package) + " -o " +
           Quote(output) + " " + extra;
}

// Pieces of 64 KiB, through the internal knob, so that a small item is cut into many.
RunResult PackInPieces(const std::string &arguments)
{
    return RunCommand("LAUNCHER_PACK_PIECE_SIZE=65536 " + Quote(LAUNCHER_PACK) + " " + arguments);
}

TEST(LargeItems, AreTheSameForAnyNumberOfThreadsAndReadBackByTheLauncher)
{
    const std::string folder = FreshFolder("large-items-threads");
    const std::string package = PackageWithMixedCabinet(folder, 1000000);
    Bytes first;
    for (const char *threads : {"1", "2", "5"}) {
        SCOPED_TRACE(threads);
        const std::string output = folder + "/setup-" + threads + ".exe";
        RunResult packed = PackInPieces("-q " + PackArguments(package, output, std::string("--threads ") + threads));
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        Bytes image = fixtures::ReadFileBytes(output);
        if (first.empty())
            first = image;
        EXPECT_EQ(image, first);
    }
    // The launcher's own in-memory reader gives the cabinet back.
    const std::string installer = folder + "/setup-2.exe";
    RunResult verified = Pack("verify --key " + Quote(TheWorld().publicKey) + " --allow-unsigned " + Quote(installer));
    ASSERT_EQ(verified.exitCode, 0) << verified.out << verified.err;
    ASSERT_EQ(Pack("extract " + Quote(installer) + " -o " + Quote(folder + "/out")).exitCode, 0);
    EXPECT_EQ(fixtures::ReadFileBytes(folder + "/out/mixed.cab"), fixtures::ReadFileBytes(folder + "/mixed.cab"));
}

TEST(LargeItems, AMemoryLimitLowersThePiecesInFlightAndSaysSo)
{
    const std::string folder = FreshFolder("large-items-memory");
    const std::string package = PackageWithMixedCabinet(folder, 1000000);
    RunResult free = PackInPieces("-q " + PackArguments(package, folder + "/free.exe", "--threads 2"));
    ASSERT_EQ(free.exitCode, 0) << free.err;
    EXPECT_EQ(free.err.find("--memory-limit"), std::string::npos) << free.err;

    // A 64 KiB piece in flight counts its input and its compressed bound, about 132 KiB: 200 KiB
    // holds one, not two. The output is written as it is made, so it does not count.
    RunResult limited =
        PackInPieces(PackArguments(package, folder + "/limited.exe", "--threads 2 --memory-limit 200K"));
    ASSERT_EQ(limited.exitCode, 0) << limited.err;
    EXPECT_NE(limited.err.find("note: --memory-limit 200 KiB keeps 1 piece in flight instead of 2"), std::string::npos)
        << limited.err;
    RunResult roomy = PackInPieces(PackArguments(package, folder + "/roomy.exe", "--threads 2 --memory-limit 400K"));
    ASSERT_EQ(roomy.exitCode, 0) << roomy.err;
    EXPECT_EQ(roomy.err.find("--memory-limit"), std::string::npos) << roomy.err;
    EXPECT_EQ(fixtures::ReadFileBytes(folder + "/roomy.exe"), fixtures::ReadFileBytes(folder + "/free.exe"));
    EXPECT_EQ(fixtures::ReadFileBytes(folder + "/limited.exe"), fixtures::ReadFileBytes(folder + "/free.exe"));

    for (const char *bad : {"12X", "0", "M", "5GB"}) {
        RunResult refused =
            PackInPieces(PackArguments(package, folder + "/bad.exe", std::string("--memory-limit ") + bad));
        EXPECT_EQ(refused.exitCode, 2) << bad << ": " << refused.err;
        EXPECT_NE(refused.err.find("--memory-limit"), std::string::npos) << refused.err;
    }
}

TEST(LargeItems, ProgressInALogIsOneLineAtEachTenthAndQuietSilencesIt)
{
    const std::string folder = FreshFolder("large-items-progress");
    const std::string package = PackageWithMixedCabinet(folder, 1000000);
    RunResult logged = PackInPieces(PackArguments(package, folder + "/setup.exe", "--threads 2"));
    ASSERT_EQ(logged.exitCode, 0) << logged.err;
    std::regex line(R"(launcher-pack: compressing and signing 3 items on 2 threads: (\d+)% \(.* of .*\))");
    std::vector<int> percents;
    for (std::sregex_iterator match(logged.err.begin(), logged.err.end(), line), end; match != end; ++match)
        percents.push_back(std::stoi((*match)[1]));
    // 64 KiB pieces of a 1 MB item: every tenth is passed, and each is said once, in order.
    std::vector<int> tenths = {0, 10, 20, 30, 40, 50, 60, 70, 80, 90, 100};
    EXPECT_EQ(percents, tenths) << logged.err;
    EXPECT_NE(logged.err.find("reading back"), std::string::npos) << logged.err;

    RunResult quiet = PackInPieces("-q " + PackArguments(package, folder + "/quiet.exe", "--threads 2"));
    ASSERT_EQ(quiet.exitCode, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
}

// The peak resident memory (KiB) of a shell command line, from peak_rss: -1 when it failed.
long PeakResidentKib(const std::string &command)
{
    RunResult measured = RunCommand(Quote(PEAK_RSS) + " sh -c " + Quote(command));
    return measured.exitCode == 0 ? std::stol(measured.out) : -1;
}

struct MemoryCase {
    const char *name;
    std::size_t cabinetMib;
    const char *placement; // overlay on the unsigned stub; certificate or end on the signed one
    long boundMib;
};

// pack, verify, inspect and extract hold little of an installer whose payload does not compress.
// After the image and behind the signature object (200 MiB): the installer is read by ranges and
// each item a window at a time, and reading a whole file, a whole certificate table (which holds
// the payload of the end placement) or a whole item again would hold at least the cabinet. In a
// certificate (40 MiB, under the 64 MiB that the placement allows): the carrier is held three
// times at most (by the file's signature object, the certificate that the decoder hands out and
// the container taken from it), and pack writes the image around the container without holding
// it. The bound leaves room for a fourth copy and the sanitizers' own memory; a copy at each
// step, as there were eight, would pass it. launcher-pack.exe under Wine runs the certificate
// row alone (its decoding of the signature object is the part that differs from Linux; the
// bound leaves room for Wine's own memory too): the system's decoding copies a carrier about
// seven times.
TEST(LargeItems, EveryCommandHoldsFarLessThanThePayload)
{
    const bool windowsPacker = std::getenv("LAUNCHER_PACK_UNDER_TEST") != nullptr;
    const MemoryCase cases[] = {
        {"after_the_image", 200, "overlay", 128},
        {"in_a_certificate", 40, "certificate", 4 * 40 + 64},
        {"behind_the_signature_object", 200, "end", 128},
    };
    // The sanitizers' quarantine of freed blocks would count as well: keep it small.
    const char *sanitizer = std::getenv("ASAN_OPTIONS");
    const std::string environment =
        "ASAN_OPTIONS=" +
        Quote(std::string(sanitizer ? sanitizer : "") + ":quarantine_size_mb=16:thread_local_quarantine_size_kb=64");
    const World &world = TheWorld();
    for (const MemoryCase &c : cases) {
        const bool overlay = std::string(c.placement) == "overlay";
        if (windowsPacker && std::string(c.placement) != "certificate")
            continue;
        SCOPED_TRACE(c.name);
        const std::string folder = FreshFolder(std::string("large-items-memory-") + c.name);
        const std::string package = PackageWithRandomCabinet(folder, "random", c.cabinetMib << 20);
        const std::string installer = folder + "/setup.exe";
        const std::string pack = "-q pack --stub " + Quote(overlay ? world.stub : world.signedStub) + " --key " +
                                 Quote(world.key) + " --msi " + Quote(package) + " -o " + Quote(installer) +
                                 " --level 0 --placement " + c.placement;
        const std::string commands[] = {
            pack,
            "verify --key " + Quote(world.publicKey) + (overlay ? " --allow-unsigned" : "") + " " + Quote(installer),
            "inspect " + Quote(installer),
            "extract " + Quote(installer) + " -o " + Quote(folder + "/out"),
        };
        for (const std::string &command : commands) {
            SCOPED_TRACE(command);
            const long peak = PeakResidentKib(environment + " " + LauncherPack() + " " + command + " >/dev/null");
            ASSERT_GT(peak, 0) << "the command failed";
            EXPECT_LT(peak, c.boundMib * 1024)
                << "peak resident memory " << peak / 1024 << " MiB for a " << c.cabinetMib << " MiB cabinet";
        }
        EXPECT_EQ(fixtures::ReadFileBytes(folder + "/out/random.cab"), fixtures::ReadFileBytes(folder + "/random.cab"));
    }
}

} // namespace
} // namespace packer_test
