// launcher-pack stub: the ready stub's key slot set to the user's key, with no compiler; what
// it refuses, and where it finds the ready stub.
#include "tests/packer/packer_test_support.h"

#include "packer/keys/pem_key.h"
#include "packer/keys/payload_key.h"
#include "payload/payload_format.h"
#include "tests/fixtures/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

namespace packer_test {
namespace {

namespace fs = std::filesystem;

// The blob behind the slot's marker.
Bytes SlotOf(const Bytes &image)
{
    auto marker =
        std::search(image.begin(), image.end(), std::begin(PayloadKeySlotMarker), std::end(PayloadKeySlotMarker));
    if (image.end() - marker < PayloadKeySlotMarkerSize + PayloadPublicKeySize)
        return {};
    return Bytes(marker + PayloadKeySlotMarkerSize, marker + PayloadKeySlotMarkerSize + PayloadPublicKeySize);
}

TEST(Stub, SetsTheKeyThatPackAndVerifyThenAccept)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("stub-good");
    const std::string stub = folder + "/launcher.exe";
    EXPECT_EQ(SlotOf(fixtures::ReadFileBytes(world.readyStub)), Bytes(PayloadPublicKeySize, 0));

    RunResult made =
        Pack("stub --stub " + Quote(world.readyStub) + " --key " + Quote(world.publicKey) + " -o " + Quote(stub));
    ASSERT_EQ(made.exitCode, 0) << made.err;
    Bytes image = fixtures::ReadFileBytes(stub);
    EXPECT_EQ(SlotOf(image), packer::PublicKeyBlob(packer::LoadKey({world.publicKey, ""}).get(), "key"));
    // Only the slot and the checksum change, and the checksum is right for the new bytes.
    Bytes ready = fixtures::ReadFileBytes(world.readyStub);
    ASSERT_EQ(image.size(), ready.size());
    std::size_t changed = 0;
    for (std::size_t i = 0; i < image.size(); ++i)
        changed += image[i] != ready[i];
    EXPECT_LE(changed, PayloadPublicKeySize + 4);
    Bytes rechecked = image;
    fixtures::UpdatePeChecksum(rechecked);
    EXPECT_EQ(rechecked, image);

    // Signed, then packed: the whole flow, without a compiler.
    const std::string signedStub = folder + "/launcher-signed.exe";
    ASSERT_EQ(RunCommand(std::string(OSSLSIGNCODE) + " sign -certs " + Quote(world.signerCertificate) + " -key " +
                         Quote(fixtures::FixturePath("test-signer-key.pem")) + " -h sha256 -in " + Quote(stub) +
                         " -out " + Quote(signedStub))
                  .exitCode,
              0);
    RunResult packed = Pack("pack --stub " + Quote(signedStub) + " --key " + Quote(world.key) + " --msi " +
                            Quote(world.en) + " -o " + Quote(folder + "/setup.exe"));
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    RunResult verified = Pack("verify --key " + Quote(world.publicKey) + " " + Quote(folder + "/setup.exe"));
    EXPECT_EQ(verified.exitCode, 0) << verified.out;
}

// The stub a user makes depends on the ready stub and the key only: not on the time, the output's
// name or the ready stub's file time. Two users with the same inputs get the same bytes.
TEST(Stub, SameReadyStubAndKeyGiveTheSameBytes)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("stub-same");
    const std::string copy = folder + "/ready-copy.exe";
    fs::copy_file(world.readyStub, copy);
    fs::last_write_time(copy, fs::last_write_time(world.readyStub) - std::chrono::hours(24 * 400));

    RunResult first = Pack("stub --stub " + Quote(world.readyStub) + " --key " + Quote(world.publicKey) + " -o " +
                           Quote(folder + "/a.exe"));
    ASSERT_EQ(first.exitCode, 0) << first.err;
    std::this_thread::sleep_for(std::chrono::milliseconds(1100)); // into another second
    RunResult second = Pack("stub --stub " + Quote(copy) + " --key " + Quote(world.publicKey) + " -o " +
                            Quote(folder + "/another-name.exe"));
    ASSERT_EQ(second.exitCode, 0) << second.err;
    EXPECT_EQ(fixtures::ReadFileBytes(folder + "/a.exe"), fixtures::ReadFileBytes(folder + "/another-name.exe"));
}

struct StubRefusal {
    const char *name;
    const char *message;
    std::function<std::string(const World &, const std::string &folder)> arguments; // output: folder/out.exe
    int exitCode = 1;
};

const StubRefusal stubRefusals[] = {
    {"signed_stub", "set the key, then sign",
     [](const World &w, const std::string &f) {
         const std::string signedStub = f + "/signed.exe";
         RunCommand(std::string(OSSLSIGNCODE) + " sign -certs " + Quote(w.signerCertificate) + " -key " +
                    Quote(fixtures::FixturePath("test-signer-key.pem")) + " -h sha256 -in " + Quote(w.readyStub) +
                    " -out " + Quote(signedStub));
         return "--stub " + Quote(signedStub) + " --key " + Quote(w.publicKey);
     }},
    {"no_slot", "has no key slot",
     [](const World &w, const std::string &f) {
         Bytes image = fixtures::ReadFileBytes(w.readyStub);
         auto marker =
             std::search(image.begin(), image.end(), std::begin(PayloadKeySlotMarker), std::end(PayloadKeySlotMarker));
         if (marker != image.end())
             *marker ^= 0xFF;
         fixtures::WriteFileBytes(f + "/no-slot.exe", image);
         return "--stub " + Quote(f + "/no-slot.exe") + " --key " + Quote(w.publicKey);
     }},
    // Keys that can't be used exit with 3, like keys that can't be read.
    {"key_of_1024_bits", "2048-bit RSA key with exponent 65537",
     [](const World &w, const std::string &f) {
         RunCommand("openssl genrsa -out " + Quote(f + "/small.pem") + " 1024");
         return "--stub " + Quote(w.readyStub) + " --key " + Quote(f + "/small.pem");
     },
     3},
    {"key_of_3072_bits", "2048-bit RSA key with exponent 65537",
     [](const World &w, const std::string &f) {
         RunCommand("openssl genrsa -out " + Quote(f + "/big.pem") + " 3072");
         return "--stub " + Quote(w.readyStub) + " --key " + Quote(f + "/big.pem");
     },
     3},
    {"exponent_3", "2048-bit RSA key with exponent 65537",
     [](const World &w, const std::string &f) {
         RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -pkeyopt rsa_keygen_pubexp:3 -out " +
                    Quote(f + "/e3.pem"));
         return "--stub " + Quote(w.readyStub) + " --key " + Quote(f + "/e3.pem");
     },
     3},
    {"ec_key", "not an RSA key",
     [](const World &w, const std::string &f) {
         RunCommand("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + Quote(f + "/ec.pem"));
         return "--stub " + Quote(w.readyStub) + " --key " + Quote(f + "/ec.pem");
     },
     3},
    {"encrypted_key_without_pass", "give its passphrase with --pass",
     [](const World &w, const std::string &f) {
         RunCommand("openssl pkey -in " + Quote(w.key) + " -aes256 -passout pass:x -out " + Quote(f + "/enc.pem"));
         return "--stub " + Quote(w.readyStub) + " --key " + Quote(f + "/enc.pem");
     },
     3},
    // stub takes --pass like every command that reads a key.
    {"encrypted_key_with_a_wrong_pass", "the passphrase does not open the key",
     [](const World &w, const std::string &f) {
         RunCommand("openssl pkey -in " + Quote(w.key) + " -aes256 -passout pass:x -out " + Quote(f + "/enc.pem"));
         fixtures::WriteFileBytes(f + "/wrong.txt", Bytes{'y', '\n'});
         return "--stub " + Quote(w.readyStub) + " --key " + Quote(f + "/enc.pem") +
                " --pass file:" + Quote(f + "/wrong.txt");
     },
     3},
    {"not_a_stub", "not a Windows executable",
     [](const World &w, const std::string &) { return "--stub " + Quote(w.en) + " --key " + Quote(w.publicKey); }},
};

class StubRefused : public testing::TestWithParam<StubRefusal> {};

TEST_P(StubRefused, WithOneLineAndNoOutput)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder(std::string("stub-refused-") + GetParam().name);
    std::string arguments = GetParam().arguments(world, folder);
    std::vector<std::string> before = ListFolder(folder);

    ExpectRefusal(Pack("stub " + arguments + " -o " + Quote(folder + "/out.exe")), GetParam().message,
                  GetParam().exitCode);
    EXPECT_EQ(ListFolder(folder), before);
}

INSTANTIATE_TEST_SUITE_P(Stub, StubRefused, testing::ValuesIn(stubRefusals),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Stub, FindsTheReadyStubBesideThePackerOrInItsDataFolder)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("stub-found");
    struct Layout {
        const char *packer;
        const char *readyStub; // "" for none
        int exitCode;
    } layouts[] = {
        {"beside/launcher-pack", "beside/launcher.exe", 0},
        {"prefix/bin/launcher-pack", "prefix/share/launcher-pack/launcher.exe", 0},
        {"lonely/launcher-pack", "", 1},
    };
    for (const Layout &layout : layouts) {
        SCOPED_TRACE(layout.packer);
        const std::string packer = folder + "/" + layout.packer;
        fs::create_directories(fs::path(packer).parent_path());
        fs::copy_file(LAUNCHER_PACK, packer);
        if (*layout.readyStub) {
            fs::create_directories(fs::path(folder + "/" + layout.readyStub).parent_path());
            fs::copy_file(world.readyStub, folder + "/" + layout.readyStub);
        }
        const std::string output = fs::path(packer).parent_path().string() + "/out.exe";
        RunResult result = RunCommand(Quote(packer) + " stub --key " + Quote(world.publicKey) + " -o " + Quote(output));
        EXPECT_EQ(result.exitCode, layout.exitCode) << result.err;
        EXPECT_EQ(fs::exists(output), layout.exitCode == 0);
        if (layout.exitCode != 0) {
            EXPECT_NE(result.err.find("give --stub"), std::string::npos) << result.err;
        }
    }
}

} // namespace
} // namespace packer_test
