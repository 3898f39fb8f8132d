// Every single changed byte of a small signed container, and every changed low or high bit,
// run through the read path: the locator, the whole-image step, the package directory and the
// selection; the same for the container of a file signed after packing, with its padding and
// certificate table. No case may succeed with anything other than what was signed. Prints how
// many cases ended at each (code, line).
#include "launcher/launcher_state.h"
#include "payload/locator.h"
#include "payload/package_directory.h"
#include "tests/fixtures/fixtures.h"
#include "tests/unit/payload_fixtures.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <utility>

namespace {

using writer::Bytes;

const char ProductCode[] = "{6D2F1C3B-8E4A-4B5C-9D6E-7F8091A2B3C4}";

struct Outcome {
    DWORD code;
    DWORD line;
    bool operator<(const Outcome &other) const
    {
        return std::make_pair(code, line) < std::make_pair(other.code, other.line);
    }
};

class TamperSweep : public testing::Test {
  protected:
    void SetUp() override
    {
        directory_ = writer::WriteDirectory({{1000, std::string("x64\\1033\\") + ProductCode + "\\Product"}});
        content_ = fixtures::Pattern(300, 11);
        container_ =
            writer::WriteContainer({{writer::ItemKind::Head, 0, directory_}, {writer::ItemKind::File, 1000, content_}},
                                   {}, fixtures::TestKey());
        launcherState.is64Bit = 1;
    }
    void TearDown() override { FreePayloadDescriptors(&launcherState); }

    // Reads image as the launcher reads its own file. The outcome is the first failure, or
    // success with the chosen package's content checked against the signed one.
    Outcome ReadBack(const Bytes &image)
    {
        FreePayloadDescriptors(&launcherState);
        launcherState.lcid = 1033;
        const DWORD size = static_cast<DWORD>(image.size());
        ErrorValue loaded = LocatePayload(&launcherState, image.data(), size);
        if (ErrorValueCode(loaded) == 0 && launcherState.payloadCount == 0)
            loaded = LoadWholeImagePayload(&launcherState, image.data(), size);
        if (ErrorValueCode(loaded) != 0)
            return {ErrorValueCode(loaded), ErrorValueLine(loaded)};
        const PayloadDescriptor &payload = launcherState.payloads[0];
        EXPECT_EQ(Bytes(payload.directory, payload.directory + payload.directorySize), directory_)
            << "a directory that was not signed was read";

        ExtractionJob job = {};
        job.current = -1;
        PackageSelection selection;
        BOOL selected = SelectPackage(&launcherState, &job, &selection);
        Outcome outcome = {0, 0};
        if (selected) {
            EXPECT_EQ(job.count, 1);
            EXPECT_STREQ(selection.productCode, ProductCode);
            EXPECT_EQ(Bytes(job.items[0].data, job.items[0].data + job.items[0].length), content_)
                << "content that was not signed was chosen";
        } else {
            // The selection passes no code on: ask the item reader why the file item failed.
            BYTE *data = nullptr;
            DWORD size = 0;
            ErrorValue read = ReadPayloadItem(&payload, FileItemGuid, 1000, &data, &size);
            outcome = {ErrorValueCode(read), ErrorValueLine(read)};
            if (data != nullptr)
                FreeItemOutput(data);
            if (outcome.code == 0)
                outcome = {ERROR_INVALID_DATA, 2151}; // no entry chosen
        }
        for (int i = 0; i < job.count; i++)
            FreeItemOutput(job.items[i].data);
        LocalFree(job.items);
        return outcome;
    }

    // Changes every byte of image from first on, each in three ways, and prints the outcomes.
    void Sweep(const Bytes &image, std::size_t first)
    {
        ASSERT_EQ(ReadBack(image).code, 0u) << "the file as signed reads back";

        std::map<Outcome, unsigned> counts;
        const BYTE flips[] = {0xFF, 0x01, 0x80};
        for (std::size_t position = first; position < image.size(); position++) {
            for (BYTE flip : flips) {
                SCOPED_TRACE(testing::Message() << "byte " << position << " ^ 0x" << std::hex << int(flip));
                Bytes changed = image;
                changed[position] ^= flip;
                counts[ReadBack(changed)]++;
                if (HasFailure())
                    return;
            }
        }

        unsigned total = 0;
        const std::size_t cases = (image.size() - first) * sizeof flips;
        std::printf("%zu bytes changed, %zu cases:\n  code        line  cases\n", image.size() - first, cases);
        for (const auto &[outcome, count] : counts) {
            if (outcome.code == 0)
                std::printf("  success, the signed output  %5u\n", count);
            else
                std::printf("  %-10lu %5lu  %5u\n", static_cast<unsigned long>(outcome.code),
                            static_cast<unsigned long>(outcome.line), count);
            total += count;
        }
        EXPECT_EQ(total, cases);
    }

    Bytes directory_;
    Bytes content_;
    Bytes container_;
};

TEST_F(TamperSweep, NoChangedByteOrBitYieldsOtherOutput)
{
    Sweep(container_, 0);
}

// Packed onto an unsigned stub, then signed: the container, the zero bytes the signing tool put
// in front of its certificate table, and the table.
TEST_F(TamperSweep, NoChangedByteOrBitOfAFileSignedAfterPackingYieldsOtherOutput)
{
    Bytes image = fixtures::UnsignedPe();
    const std::size_t stubSize = image.size();
    image.insert(image.end(), container_.begin(), container_.end());
    image = fixtures::WithCertificateEntry(image, fixtures::MakeSignatureObject({{}}));
    ASSERT_NE((stubSize + container_.size()) % 8, 0u) << "no zero bytes in front of the table to change";
    Sweep(image, stubSize);
}

} // namespace
