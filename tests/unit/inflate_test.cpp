#include "payload/inflate.h"

#include "tests/seam/fault_control.h"
#include "tests/unit/payload_fixtures.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <random>
#include <string>

namespace {

using fixtures::Bytes;
using fixtures::Join;
using fixtures::Pattern;

struct Inflated {
    int status;
    bool handedOver;
    Bytes output;
};

Inflated Inflate(const Bytes &input)
{
    BYTE *data = reinterpret_cast<BYTE *>(&data); // a failure must reset it
    DWORD size = 0xDEADu;
    Inflated result{
        InflateBuffer(&data, &size, input.data(), static_cast<DWORD>(input.size())), data != nullptr || size != 0, {}};
    if (result.status == 0 && data != nullptr) {
        result.output.assign(data, data + size);
        FreeItemOutput(data);
    }
    return result;
}

Bytes Zlib(const Bytes &data, int level = 9)
{
    return writer::CompressZlib(data, level);
}

// Deflate data with the given window bits: negative for a raw stream, 16 + 15 for gzip.
Bytes Deflate(const Bytes &data, int windowBits, const Bytes &dictionary = {})
{
    z_stream stream{};
    EXPECT_EQ(deflateInit2(&stream, 9, Z_DEFLATED, windowBits, 8, Z_DEFAULT_STRATEGY), Z_OK);
    if (!dictionary.empty()) {
        EXPECT_EQ(deflateSetDictionary(&stream, dictionary.data(), static_cast<uInt>(dictionary.size())), Z_OK);
    }
    Bytes out(deflateBound(&stream, static_cast<uLong>(data.size())) + 64);
    stream.next_in = const_cast<Bytef *>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

DWORD StepFor(std::size_t inputSize)
{
    return inputSize < 256 ? 256 : static_cast<DWORD>(inputSize / 8);
}

// The most output space one zlib call gets: a step, or the output made before it when that is
// more, at most 1 MiB.
DWORD WindowFor(std::size_t inputSize, std::size_t outputSize)
{
    return static_cast<DWORD>(std::min<std::size_t>(std::max<std::size_t>(StepFor(inputSize), outputSize), 1u << 20));
}

struct GoodCase {
    const char *name;
    std::function<Bytes()> input;
    Bytes expected;
};

void PrintTo(const GoodCase &c, std::ostream *os)
{
    *os << c.name;
}

class InflateGood : public testing::TestWithParam<GoodCase> {};

const SIZE_T PageSize = 4096;

SIZE_T RoundUpToPage(SIZE_T bytes)
{
    return (bytes + PageSize - 1) / PageSize * PageSize;
}

TEST_P(InflateGood, GrowsInPlaceByCommittingOneWindowAhead)
{
    const GoodCase &c = GetParam();
    Bytes input = c.input();
    SeamScope seams;
    Inflated result = Inflate(input);
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.output, c.expected);
    // One reservation, then commits in it: the output never moves, and the last call was given
    // one window of room after what was produced before it, and no more.
    DWORD window = WindowFor(input.size(), result.output.size());
    EXPECT_EQ(SeamCallCount(SeamCall::LocalAlloc), 0u);
    EXPECT_EQ(SeamCallCount(SeamCall::LocalReAlloc), 0u);
    EXPECT_GE(SeamCommittedBytes(), result.output.size() + 1) << "window " << window;
    EXPECT_LE(SeamCommittedBytes(), RoundUpToPage(result.output.size() + window)) << "window " << window;
    EXPECT_EQ(SeamCommittedBytes() % PageSize, 0u);
}

const Bytes directoryLike = Pattern(190, 7);
const Bytes storedBytes = Pattern(245, 11);
const Bytes packageLike = Pattern(300000, 3);
const Bytes zeros(1 << 16, 0);

// As incompressible as a cabinet, and large enough for a step of over 1 MiB.
Bytes Random(std::size_t size)
{
    std::mt19937_64 random(size);
    Bytes out(size);
    for (std::size_t i = 0; i < size; i++)
        out[i] = static_cast<std::uint8_t>(random() >> 56);
    return out;
}
const Bytes cabinetLike = Random(12u << 20);

INSTANTIATE_TEST_SUITE_P(Streams, InflateGood,
                         testing::Values(
                             // A short stream gets a 256-byte step and one inflate call.
                             GoodCase{"ShortStreamFillsOneBlock", [] { return Zlib(directoryLike); }, directoryLike},
                             // 512 bytes fill two steps exactly; a third, empty call finds the end.
                             GoodCase{"OutputOfExactSteps", [] { return Zlib(Bytes(512, 'a')); }, Bytes(512, 'a')},
                             // A stored block of 245 bytes is a stream of exactly 256: the step drops to 32.
                             GoodCase{"InputOf256BytesStepsBy32",
                                      [] {
                                          Bytes input = Zlib(storedBytes, 0);
                                          EXPECT_EQ(input.size(), 256u);
                                          return input;
                                      },
                                      storedBytes},
                             GoodCase{"LargeStreamStepsByAnEighth", [] { return Zlib(packageLike); }, packageLike},
                             GoodCase{"HighRatioStreamGrowsOften", [] { return Zlib(zeros); }, zeros},
                             GoodCase{"LargeStepCommitsOneWindowAhead", [] { return Zlib(cabinetLike, 1); },
                                      cabinetLike},
                             GoodCase{"EmptyContent", [] { return Zlib({}); }, Bytes{}},
                             GoodCase{"TrailingBytesIgnored",
                                      [] {
                                          return Join({Zlib(directoryLike), Bytes(40, 0xEE)});
                                      },
                                      directoryLike},
                             GoodCase{"OnlyTheFirstOfTwoStreams",
                                      [] {
                                          return Join({Zlib(directoryLike), Zlib(storedBytes)});
                                      },
                                      directoryLike}),
                         [](const testing::TestParamInfo<GoodCase> &info) { return std::string(info.param.name); });

struct BadCase {
    const char *name;
    std::function<Bytes()> input;
};

void PrintTo(const BadCase &c, std::ostream *os)
{
    *os << c.name;
}

class InflateBad : public testing::TestWithParam<BadCase> {};

TEST_P(InflateBad, IsDataErrorWithNothingHandedOver)
{
    Inflated result = Inflate(GetParam().input());
    EXPECT_EQ(result.status, Z_DATA_ERROR);
    EXPECT_FALSE(result.handedOver);
}

Bytes Flipped(Bytes bytes, std::size_t index)
{
    bytes[index] ^= 0x01;
    return bytes;
}

INSTANTIATE_TEST_SUITE_P(Streams, InflateBad,
                         testing::Values(BadCase{"EmptyInput", [] { return Bytes{}; }},
                                         BadCase{"RawDeflate", [] { return Deflate(directoryLike, -15); }},
                                         BadCase{"Gzip", [] { return Deflate(directoryLike, 16 + 15); }},
                                         BadCase{"WrongHeader", [] { return Flipped(Zlib(directoryLike), 0); }},
                                         BadCase{"BadCheckValue",
                                                 [] {
                                                     Bytes input = Zlib(directoryLike);
                                                     return Flipped(input, input.size() - 1);
                                                 }},
                                         BadCase{"PresetDictionary",
                                                 [] { return Deflate(directoryLike, 15, Pattern(64, 1)); }}),
                         [](const testing::TestParamInfo<BadCase> &info) { return std::string(info.param.name); });

// 16 MiB of zeros deflate to 16 KiB, so a step is 2 KiB: the output space must grow with the
// output, or the item takes thousands of zlib calls and commits.
TEST(InflateBuffer, HighRatioItemGrowsInFewCommits)
{
    const Bytes output(16u << 20, 0);
    Bytes input = Zlib(output);
    SeamScope seams;
    Inflated result = Inflate(input);
    ASSERT_EQ(result.status, 0);
    EXPECT_EQ(result.output, output);
    // The reservation, commits doubling from the step up to 1 MiB, then about one per MiB: tens,
    // where output space of a step per call would take thousands.
    EXPECT_LE(SeamCallCount(SeamCall::VirtualAlloc), 64u);
}

TEST(InflateBuffer, StreamCutAnywhereIsDataError)
{
    // One stream shorter than 256 bytes, one that is offered in slices of an eighth.
    for (const Bytes &stream : {Zlib(directoryLike), Zlib(Pattern(20000, 5))}) {
        for (std::size_t cut = 0; cut < stream.size(); ++cut) {
            SCOPED_TRACE("length " + std::to_string(stream.size()) + ", cut at " + std::to_string(cut));
            Inflated result = Inflate(Bytes(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(cut)));
            ASSERT_EQ(result.status, Z_DATA_ERROR);
            ASSERT_FALSE(result.handedOver);
        }
    }
}

TEST(InflateBuffer, EveryFailedAllocationIsMemoryErrorWithNothingHandedOver)
{
    // The reservation, then a commit whenever the output reaches a new page.
    Bytes input = Zlib(Pattern(200000, 9));
    unsigned allocations;
    {
        SeamScope seams;
        ASSERT_EQ(Inflate(input).status, 0);
        allocations = SeamCallCount(SeamCall::VirtualAlloc);
        ASSERT_GT(allocations, 3u);
    }
    for (unsigned n = 0; n < allocations; ++n) {
        SCOPED_TRACE("failing allocation " + std::to_string(n));
        SeamScope seams;
        FailCall(SeamCall::VirtualAlloc, n, 1, ERROR_NOT_ENOUGH_MEMORY);
        Inflated result = Inflate(input);
        EXPECT_EQ(result.status, Z_MEM_ERROR);
        EXPECT_FALSE(result.handedOver);
    }
}

} // namespace
