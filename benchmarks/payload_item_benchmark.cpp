// Reading a 64 MiB file item (inflate, SHA-256, RSA verify) against the least any reader must
// do with the same bytes: one zlib inflate into a buffer of the known size, then SHA-256.
//   build/native-release/benchmarks/payload_item_benchmark
#include "benchmarks/item_content.h"
#include "payload/payload_item.h"
#include "writer/container_writer.h"

#include <benchmark/benchmark.h>
#include <openssl/sha.h>
#include <zlib.h>

#include <cstdint>
#include <memory>
#include <string>

namespace {

using writer::Bytes;
using namespace benchmarks;

constexpr std::uint32_t itemId = 1000;

struct Fixture {
    Bytes container;
    Bytes compressed; // the item's data field alone
    std::size_t outputSize;
};

const Fixture &FixtureFor(Content content)
{
    static std::unique_ptr<Fixture> fixtures[2];
    std::unique_ptr<Fixture> &fixture = fixtures[content];
    if (!fixture) {
        writer::PrivateKey key =
            writer::LoadPrivateKey(std::string(BENCHMARK_SOURCE_DIR) + "/tests/keys/TEST-ONLY-payload-signing-key.pem");
        Bytes output = MakeContent(content);
        writer::ContainerOptions options;
        options.level = 6;
        fixture = std::make_unique<Fixture>();
        fixture->compressed = writer::CompressZlib(output, options.level);
        fixture->container = writer::WriteContainer(
            {{writer::ItemKind::Head, 0, Bytes{'d'}}, {writer::ItemKind::File, itemId, output}}, options, key.get());
        fixture->outputSize = output.size();
    }
    return *fixture;
}

void ReportSizes(benchmark::State &state, const Fixture &fixture)
{
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * fixture.outputSize));
    state.counters["data_MiB"] = static_cast<double>(fixture.compressed.size()) / (1 << 20);
}

void BM_ReadPayloadItem(benchmark::State &state, Content content)
{
    const Fixture &fixture = FixtureFor(content);
    Bytes image = fixture.container;
    PayloadDescriptor descriptor = {image.data(), static_cast<DWORD>(image.size()), nullptr, 0,
                                    PayloadFlagCompressed | PayloadFlagSigned};
    for (auto _ : state) {
        BYTE *data = nullptr;
        DWORD size = 0;
        ErrorValue value = ReadPayloadItem(&descriptor, FileItemGuid, itemId, &data, &size, nullptr);
        if (ErrorValueCode(value) != 0 || size != fixture.outputSize) {
            state.SkipWithError("the item did not read back");
            break;
        }
        benchmark::DoNotOptimize(data);
        FreeItemOutput(data);
    }
    ReportSizes(state, fixture);
}

void BM_ZlibInflateAndSha256(benchmark::State &state, Content content)
{
    const Fixture &fixture = FixtureFor(content);
    for (auto _ : state) {
        // A fresh block each time, as the reader gets one.
        std::unique_ptr<std::uint8_t[]> output(new std::uint8_t[fixture.outputSize]);
        z_stream stream{};
        inflateInit(&stream);
        stream.next_in = const_cast<Bytef *>(fixture.compressed.data());
        stream.avail_in = static_cast<uInt>(fixture.compressed.size());
        stream.next_out = output.get();
        stream.avail_out = static_cast<uInt>(fixture.outputSize);
        int status = inflate(&stream, Z_FINISH);
        inflateEnd(&stream);
        if (status != Z_STREAM_END) {
            state.SkipWithError("inflate failed");
            break;
        }
        std::uint8_t digest[SHA256_DIGEST_LENGTH];
        SHA256(output.get(), fixture.outputSize, digest);
        benchmark::DoNotOptimize(digest);
    }
    ReportSizes(state, fixture);
}

} // namespace

BENCHMARK_CAPTURE(BM_ReadPayloadItem, cabinet, Cabinet)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibInflateAndSha256, cabinet, Cabinet)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ReadPayloadItem, tables, Tables)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_ZlibInflateAndSha256, tables, Tables)->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
