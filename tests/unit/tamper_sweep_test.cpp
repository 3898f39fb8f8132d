// Every single changed byte of a small signed container, and every changed low or high bit,
// run through the read path: the locator, the whole-image step, the package directory and the
// selection; the same for the container of a file signed after packing, with its padding and
// certificate table. No case may succeed with anything other than what was signed. Prints how
// many cases ended at each (code, line). Then the key slot itself: any exponent but 65537 is a
// damaged key.
#include "launcher/launcher_state.h"
#include "payload/locator.h"
#include "payload/package_directory.h"
#include "tests/fixtures/fixtures.h"
#include "tests/unit/payload_fixtures.h"

#include <gtest/gtest.h>
#include <openssl/pem.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <utility>

namespace {

using writer::Bytes;

// The key blob the launcher finds in its slot: the test key's, unless a case changes it.
Bytes slotKey;

const Bytes &TestKeyBlob()
{
    static const Bytes blob = [] {
        BIO *memory = BIO_new(BIO_s_mem());
        Bytes bytes;
        if (memory != nullptr && i2b_PublicKey_bio(memory, fixtures::TestKey()) > 0) {
            char *data = nullptr;
            long size = BIO_get_mem_data(memory, &data);
            bytes.assign(data, data + size);
        }
        BIO_free(memory);
        return bytes;
    }();
    return blob;
}

} // namespace

void AssemblePayloadPublicKey(BYTE key[PayloadPublicKeySize])
{
    const Bytes &blob = slotKey.empty() ? TestKeyBlob() : slotKey;
    std::memset(key, 0, PayloadPublicKeySize);
    std::memcpy(key, blob.data(), std::min<std::size_t>(blob.size(), PayloadPublicKeySize));
}

namespace {

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
        content_ = fixtures::Pattern(300, 11);
        directory_ = writer::WriteDirectory(
            {{1000, std::string("x64\\1033\\") + ProductCode + "\\Product"},
             writer::BindingEntry(1000, fixtures::Sha256Bytes(content_).data(), content_.size())});
        container_ =
            writer::WriteContainer({{writer::ItemKind::Head, 0, directory_}, {writer::ItemKind::File, 1000, content_}},
                                   {}, fixtures::TestKey());
        launcherState.is64Bit = 1;
    }
    void TearDown() override
    {
        FreePayloadDescriptors(&launcherState);
        slotKey.clear();
    }

    // Reads image as the launcher reads its own file. The outcome is the first failure, or
    // success with the chosen package's content checked against the signed one.
    Outcome ReadBack(const Bytes &image)
    {
        FreePayloadDescriptors(&launcherState);
        launcherState.lcid = 1033;
        ErrorValue loaded = fixtures::LocateInCopy(&launcherState, image);
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
        if (selected && !CheckJobBindings(&launcherState, &job, selection.containerIndex)) {
            outcome = {ERROR_INVALID_DATA, 2147};
        } else if (selected) {
            EXPECT_EQ(job.count, 1);
            EXPECT_STREQ(selection.productCode, ProductCode);
            EXPECT_EQ(Bytes(job.items[0].data, job.items[0].data + job.items[0].length), content_)
                << "content that was not signed was chosen";
        } else {
            // The selection passes no code on: ask the item reader why the file item failed.
            BYTE *data = nullptr;
            DWORD size = 0;
            ErrorValue read = ReadPayloadItem(&payload, FileItemGuid, 1000, &data, &size, nullptr);
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

// The forgery a slot with exponent 1 would let through: each item's "signature" is the padded
// digest itself. With the slot's exponent changed to anything but 65537 the launcher refuses the
// key as damaged (the head item's key failure), forged and genuine signatures alike.
TEST_F(TamperSweep, ASlotExponentOtherThan65537IsADamagedKey)
{
    writer::ContainerOptions forged;
    forged.signOutput = fixtures::ExponentOneSignature;
    const Bytes forgedContainer = writer::WriteContainer(
        {{writer::ItemKind::Head, 0, directory_}, {writer::ItemKind::File, 1000, content_}}, forged, nullptr);
    const std::uint32_t exponents[] = {1, 3, 17, 65539, 0x00010000, 0x01010001};
    for (std::uint32_t exponent : exponents) {
        for (const Bytes *container : {&forgedContainer, static_cast<const Bytes *>(&container_)}) {
            SCOPED_TRACE(testing::Message()
                         << "exponent " << exponent << (container == &forgedContainer ? ", forged" : ", genuine"));
            slotKey = TestKeyBlob();
            for (int i = 0; i < 4; i++)
                slotKey[16 + i] = static_cast<std::uint8_t>(exponent >> (8 * i));
            Outcome outcome = ReadBack(*container);
            EXPECT_EQ(outcome.code, 0x80090003u); // NTE_BAD_KEY
            EXPECT_EQ(outcome.line, 599u);
        }
    }
    slotKey.clear();
    EXPECT_EQ(ReadBack(forgedContainer).code, ERROR_FILE_CORRUPT) << "the forgery fails under exponent 65537";
}

} // namespace
