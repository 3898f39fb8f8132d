// launcher-pack as its users run it: pack, then read back with inspect, verify and extract;
// every refusal leaves nothing behind.
#include "tests/packer/packer_test_support.h"

#include "tests/fixtures/fixtures.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <stdexcept>

namespace packer_test {
namespace {

namespace fs = std::filesystem;

std::string PackAllArguments(const World &world, const std::string &stub, const std::string &output)
{
    return "pack --stub " + Quote(stub) + " --key " + Quote(world.key) + " --msi " + Quote(world.en) + " --msi " +
           Quote(world.de) + " --msi " + Quote(world.fr) + " -o " + Quote(output);
}

struct RoundTripCase {
    const char *name;
    const char *placement;
    bool signedStub;
};

class RoundTrip : public testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, ExtractGivesBackThePackagesTheLauncherWouldChoose)
{
    const World &world = TheWorld();
    const RoundTripCase &param = GetParam();
    const std::string folder = FreshFolder(std::string("round-trip-") + param.name);
    const std::string output = folder + "/setup.exe";

    RunResult packed = Pack("-q " + PackAllArguments(world, param.signedStub ? world.signedStub : world.stub, output) +
                            " --placement " + param.placement);
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_EQ(packed.err, "");

    RunResult verified = Pack("verify " + Quote(output));
    EXPECT_EQ(verified.exitCode, 0) << verified.out;
    RunResult inspected = Pack("inspect --json " + Quote(output));
    EXPECT_NE(inspected.out.find(std::string("\"placement\": \"") + param.placement + "\""), std::string::npos)
        << inspected.out;

    struct Expected {
        const char *lcid;
        std::string package;
        std::string cabinetName;
        std::string cabinet;
    } expectations[] = {
        {"1033", world.en, "shared.cab", world.sharedCabinet},
        {"1031", world.de, "shared.cab", world.sharedCabinet},
        {"1036", world.fr, "fr.cab", world.frCabinet},
        {"3079", world.de, "shared.cab", world.sharedCabinet}, // German (Austria): the primary language
        {"1049", world.en, "shared.cab", world.sharedCabinet}, // Russian: none, so 1033
    };
    for (const Expected &expected : expectations) {
        SCOPED_TRACE(expected.lcid);
        std::string target = folder + "/extract-" + expected.lcid;
        RunResult extracted = Pack("extract " + Quote(output) + " -o " + Quote(target) + " --lcid " + expected.lcid);
        ASSERT_EQ(extracted.exitCode, 0) << extracted.err;
        std::vector<std::string> names{expected.cabinetName, "main.msi"};
        std::sort(names.begin(), names.end());
        EXPECT_EQ(ListFolder(target), names);
        EXPECT_EQ(fixtures::ReadFileBytes(target + "/main.msi"), fixtures::ReadFileBytes(expected.package));
        EXPECT_EQ(fixtures::ReadFileBytes(target + "/" + expected.cabinetName),
                  fixtures::ReadFileBytes(expected.cabinet));
    }

    // The checksum, recomputed by the fixtures' own code, is what the packer wrote.
    Bytes image = fixtures::ReadFileBytes(output);
    Bytes rechecked = image;
    fixtures::UpdatePeChecksum(rechecked);
    EXPECT_EQ(rechecked, image);

    if (param.signedStub) {
        RunResult authenticode = RunCommand(std::string(OSSLSIGNCODE) + " verify -CAfile " +
                                            Quote(world.signerCertificate) + " -in " + Quote(output));
        EXPECT_EQ(authenticode.exitCode, 0) << authenticode.out << authenticode.err;
        EXPECT_EQ(authenticode.out.find("invalid PE checksum"), std::string::npos) << authenticode.out;
    }
}

INSTANTIATE_TEST_SUITE_P(Placements, RoundTrip,
                         testing::Values(RoundTripCase{"end-unsigned", "end", false},
                                         RoundTripCase{"end-signed", "end", true},
                                         RoundTripCase{"certificate-signed", "certificate", true}),
                         [](const auto &info) {
                             std::string name = info.param.name;
                             std::replace(name.begin(), name.end(), '-', '_');
                             return name;
                         });

TEST(Pack, GivesTheSameBytesForAnyNumberOfThreads)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("same-bytes");
    // Items of different sizes, so that threads finish in a different order than they start.
    const std::string big = PackageWithRandomCabinet(folder, "big", 1500000);
    for (const char *placement : {"end", "certificate"}) {
        SCOPED_TRACE(placement);
        std::vector<Bytes> outputs;
        for (const char *threads : {"1", "2", "2", "5"}) {
            const std::string output = folder + "/setup-" + placement + "-" + std::to_string(outputs.size()) + ".exe";
            RunResult packed = Pack(PackAllArguments(world, world.signedStub, output) + " --msi " + Quote(big) +
                                    " --placement " + placement + " --threads " + threads);
            ASSERT_EQ(packed.exitCode, 0) << packed.err;
            outputs.push_back(fixtures::ReadFileBytes(output));
        }
        for (std::size_t i = 1; i < outputs.size(); ++i)
            EXPECT_TRUE(outputs[i] == outputs[0]) << "run " << i << " differs from the one-thread run";
    }
}

TEST(PackageDirectory, NamesEachLanguageAndStoresASharedCabinetOnce)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("directory");
    const std::string output = folder + "/setup.exe";
    ASSERT_EQ(Pack(PackAllArguments(world, world.stub, output)).exitCode, 0);

    RunResult inspected = Pack("inspect " + Quote(output));
    ASSERT_EQ(inspected.exitCode, 0) << inspected.err;
    const std::string expectedDirectory =
        "  directory:\n"
        "    1000  package  x64\\1033\\{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}\\Launcher Example\n"
        "    1002  package  x64\\1031\\{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B62}\\Beispiel\n"
        "    1003  package  x64\\1036\\{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B63}\\Exemple\n"
        "    1001  cabinet  cab\\1000;1002\\shared.cab\n"
        "    1004  cabinet  cab\\1003\\fr.cab\n"
        "  items:\n";
    EXPECT_NE(inspected.out.find(expectedDirectory), std::string::npos) << inspected.out;
    // The head item and five files: three packages, the shared cabinet once, fr.cab.
    for (const char *item : {"head 0 ", "file 1000 ", "file 1001 ", "file 1002 ", "file 1003 ", "file 1004 "})
        EXPECT_NE(inspected.out.find(std::string("    ") + item), std::string::npos) << item;
    EXPECT_EQ(inspected.out.find("file 1005 "), std::string::npos);
}

// A package made from the example with one change applied by msibuild.
std::string AlteredPackage(const std::string &folder, const std::string &name,
                           const std::vector<std::string> &msibuildArguments)
{
    PackageSource source;
    BuildPackage(folder, name, source);
    std::string path = folder + "/" + name + ".msi";
    std::string command = std::string(PACKER_TEST_MSIBUILD) + " " + Quote(path);
    for (const auto &argument : msibuildArguments)
        command += " " + Quote(argument);
    RunResult altered = RunCommand(command);
    if (altered.exitCode != 0)
        throw std::runtime_error("msibuild failed: " + altered.err);
    return path;
}

struct Refusal {
    const char *name;
    const char *message; // a part of the one error line
    // The pack arguments, made in folder; the output is folder/setup.exe.
    std::function<std::string(const World &, const std::string &folder)> arguments;
};

std::string PackOne(const World &world, const std::string &stub, const std::string &package, const std::string &folder,
                    const std::string &extra = "")
{
    return "pack --stub " + Quote(stub) + " --key " + Quote(world.key) + " --msi " + Quote(package) + " -o " +
           Quote(folder + "/setup.exe") + extra;
}

std::string Patched(const std::string &from, const std::string &to, std::size_t ntOffset, std::uint16_t value)
{
    Bytes image = fixtures::ReadFileBytes(from);
    std::size_t at = fixtures::NtHeadersOffset(image) + ntOffset;
    fixtures::WriteU16(image, at, value);
    fixtures::WriteFileBytes(to, image);
    return to;
}

const Refusal refusals[] = {
    {"stub_not_an_executable", "not a Windows executable",
     [](const World &w, const std::string &f) { return PackOne(w, w.en, w.en, f); }},
    {"stub_for_x86", "not an x64 PE32+ image",
     [](const World &w, const std::string &f) {
         return PackOne(w, Patched(w.stub, f + "/x86.exe", 4, 0x14C), w.en, f);
     }},
    {"stub_pe32", "not an x64 PE32+ image",
     [](const World &w, const std::string &f) {
         return PackOne(w, Patched(w.stub, f + "/pe32.exe", fixtures::OptionalHeaderMagicOffset, 0x10B), w.en, f);
     }},
    {"stub_without_the_key", "was not built with the public half",
     [](const World &w, const std::string &f) {
         return PackOne(w, fixtures::FixturePath("signed-pe64.exe"), w.en, f);
     }},
    {"certificate_placement_unsigned_stub", "is not signed",
     [](const World &w, const std::string &f) { return PackOne(w, w.stub, w.en, f, " --placement certificate"); }},
    {"stub_already_packed", "already carries",
     [](const World &w, const std::string &f) {
         RunResult first = Pack(PackOne(w, w.signedStub, w.en, f));
         std::filesystem::rename(f + "/setup.exe", f + "/packed.exe");
         return first.exitCode == 0 ? PackOne(w, f + "/packed.exe", w.en, f) : std::string("first pack failed");
     }},
    {"package_unreadable", "not a Windows Installer package",
     [](const World &w, const std::string &f) { return PackOne(w, w.stub, w.stub, f); }},
    {"package_without_product_code", "has no ProductCode",
     [](const World &w, const std::string &f) {
         return PackOne(
             w, w.stub,
             AlteredPackage(f, "nocode", {"-q", R"(DELETE FROM `Property` WHERE `Property` = 'ProductCode')"}), f);
     }},
    {"media_query_fails", "the query SELECT `Cabinet` FROM `Media` failed",
     [](const World &w, const std::string &f) {
         return PackOne(w, w.stub,
                        AlteredPackage(f, "nocolumn",
                                       {"-q", "DROP TABLE `Media`", "-q",
                                        "CREATE TABLE `Media` (`DiskId` SHORT NOT NULL, `LastSequence` LONG NOT NULL "
                                        "PRIMARY KEY `DiskId`)"}),
                        f);
     }},
    {"file_outside_the_cabinets", "1 file is not in a cabinet",
     [](const World &w, const std::string &f) {
         return PackOne(w, w.stub, AlteredPackage(f, "loose", {"-q", "UPDATE `File` SET `Attributes` = 8704"}), f);
     }},
    {"cabinet_missing", "cabinet example.cab from the Media table is missing",
     [](const World &w, const std::string &f) {
         PackageSource source;
         BuildPackage(f, "lonely", source);
         std::filesystem::remove(f + "/example.cab");
         return PackOne(w, w.stub, f + "/lonely.msi", f);
     }},
    {"cabinet_in_a_folder", "is not a plain file name",
     [](const World &w, const std::string &f) {
         return PackOne(w, w.stub,
                        AlteredPackage(f, "sub", {"-q", R"(UPDATE `Media` SET `Cabinet` = 'disk1\data.cab')"}), f);
     }},
    {"product_name_too_long", "longer than the launcher's limit of 255",
     [](const World &w, const std::string &f) {
         PackageSource source;
         source.productName = std::string(256, 'n');
         BuildPackage(f, "long", source);
         return PackOne(w, w.stub, f + "/long.msi", f);
     }},
    {"no_x64_package", "no package is for x64",
     [](const World &w, const std::string &f) {
         return PackOne(w, w.stub, AlteredPackage(f, "intel", {"-s", "Example", "Launcher Project", "Intel;1033"}), f);
     }},
    {"certificate_placement_64_mib", "use --placement end",
     [](const World &w, const std::string &f) {
         // Random bytes do not compress: the carrier ends up just over 64 MiB.
         return PackOne(w, w.signedStub, PackageWithRandomCabinet(f, "big", 67108864), f,
                        " --placement certificate --level 0");
     }},
};

class Refused : public testing::TestWithParam<Refusal> {};

TEST_P(Refused, WithOneLineAndNoOutput)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder(std::string("refused-") + GetParam().name);
    std::string arguments = GetParam().arguments(world, folder);
    std::vector<std::string> before = ListFolder(folder);

    ExpectRefusal(Pack("-q " + arguments), GetParam().message);
    EXPECT_EQ(ListFolder(folder), before); // no output, no temporary file
}

INSTANTIATE_TEST_SUITE_P(Pack, Refused, testing::ValuesIn(refusals),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Pack, WarnsOfAProductNameTheCaptionCuts)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("long-caption");
    PackageSource source;
    source.productName = std::string(50, 'c');
    BuildPackage(folder, "caption", source);
    RunResult result = Pack(PackOne(world, world.stub, folder + "/caption.msi", folder));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_NE(result.err.find("warning: " + folder + "/caption.msi: ProductName is longer than 49"), std::string::npos)
        << result.err;
}

TEST(Pack, AllowUncompressedPacksFilesOutsideTheCabinets)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("allow-uncompressed");
    // 0x2000: the file is not compressed, whatever the package's default.
    std::string package = AlteredPackage(folder, "loose", {"-q", "UPDATE `File` SET `Attributes` = 8704"});
    RunResult result = Pack(PackOne(world, world.stub, package, folder, " --allow-uncompressed"));
    EXPECT_EQ(result.exitCode, 0) << result.err;
    EXPECT_EQ(Pack("verify " + Quote(folder + "/setup.exe")).exitCode, 0);
}

TEST(Pack, UsageErrorsExitWithTwo)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("usage");
    for (const std::string &arguments :
         {PackOne(world, world.stub, world.en, folder, " --level 13"),
          PackOne(world, world.stub, world.en, folder, " --placement middle"), std::string("pack --stub x")}) {
        SCOPED_TRACE(arguments);
        RunResult result = Pack(arguments);
        EXPECT_EQ(result.exitCode, 2);
        EXPECT_EQ(result.err.rfind("launcher-pack: error: ", 0), 0u) << result.err;
        EXPECT_TRUE(ListFolder(folder).empty());
    }
}

TEST(Pack, AnInterruptLeavesNothingBehind)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("interrupted");
    const std::string slow = PackageWithRandomCabinet(folder, "slow", 16777216);
    std::vector<std::string> before = ListFolder(folder);

    // Stopped while it compresses, once its temporary file exists.
    RunResult result = RunCommand(
        std::string(LAUNCHER_PACK) + " " + PackOne(world, world.stub, slow, folder, " --level 12") +
        " & pid=$!; until ls " + Quote(folder) + " | grep -q partial; do sleep 0.02; done; kill -TERM $pid; wait $pid");
    EXPECT_EQ(result.exitCode, 128 + SIGTERM);
    EXPECT_EQ(ListFolder(folder), before);
}

TEST(ReadBack, ADamagedPayloadFailsVerifyAndExtractsNothing)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("damaged");
    const std::string output = folder + "/setup.exe";
    ASSERT_EQ(Pack(PackOne(world, world.signedStub, world.fr, folder)).exitCode, 0);

    // Only the launcher's own key verifies it.
    EXPECT_EQ(Pack("verify --key " + Quote(world.publicKey) + " " + Quote(output)).exitCode, 0);
    RunResult otherKey =
        Pack("verify --key " + Quote(fixtures::FixturePath("test-signer-key.pem")) + " " + Quote(output));
    EXPECT_EQ(otherKey.exitCode, 1);
    EXPECT_NE(otherKey.out.find("does not carry"), std::string::npos) << otherKey.out;

    // The last item is fr.cab's; change a byte of its signature, just before its trailer.
    Bytes image = fixtures::ReadFileBytes(output);
    image[image.size() - 28 - 10] ^= 0x01;
    fixtures::WriteFileBytes(output, image);

    RunResult verified = Pack("verify " + Quote(output));
    EXPECT_EQ(verified.exitCode, 1);
    EXPECT_NE(verified.out.find("item 1001: code 1392, line 732"), std::string::npos) << verified.out;
    RunResult extracted = Pack("extract " + Quote(output) + " -o " + Quote(folder + "/out") + " --lcid 1036");
    EXPECT_EQ(extracted.exitCode, 1);
    EXPECT_FALSE(std::filesystem::exists(folder + "/out"));
}

TEST(Extract, RefusesToReplaceFilesWithoutForce)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("replace");
    const std::string output = folder + "/setup.exe";
    ASSERT_EQ(Pack(PackOne(world, world.stub, world.en, folder)).exitCode, 0);
    std::filesystem::create_directories(folder + "/out");
    fixtures::WriteFileBytes(folder + "/out/main.msi", Bytes{'o', 'l', 'd'});

    RunResult refused = Pack("extract " + Quote(output) + " -o " + Quote(folder + "/out"));
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("give --force"), std::string::npos) << refused.err;
    EXPECT_EQ(ListFolder(folder + "/out"), std::vector<std::string>{"main.msi"});
    EXPECT_EQ(fixtures::ReadFileBytes(folder + "/out/main.msi"), (Bytes{'o', 'l', 'd'}));

    RunResult forced = Pack("extract --force " + Quote(output) + " -o " + Quote(folder + "/out"));
    EXPECT_EQ(forced.exitCode, 0) << forced.err;
    EXPECT_EQ(fixtures::ReadFileBytes(folder + "/out/main.msi"), fixtures::ReadFileBytes(world.en));
}

TEST(Extract, RefusesAFileNameThatLeavesTheFolder)
{
    // An installer made without the packer, whose cabinet entry names a path.
    const World &world = TheWorld();
    const std::string folder = FreshFolder("traversal");
    writer::PrivateKey key = writer::LoadPrivateKey(world.key);
    Bytes package = fixtures::ReadFileBytes(world.en);
    Bytes directory =
        writer::WriteDirectory({{1000, "x64\\1033\\{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}\\Launcher Example"},
                                {1001, "cab\\1000\\../escaped.cab"}});
    Bytes image = fixtures::ReadFileBytes(world.stub);
    Bytes container = writer::WriteContainer({{writer::ItemKind::Head, 0, directory},
                                              {writer::ItemKind::File, 1000, package},
                                              {writer::ItemKind::File, 1001, Bytes{'c', 'a', 'b'}}},
                                             writer::ContainerOptions{}, key.get());
    image.insert(image.end(), container.begin(), container.end());
    fixtures::WriteFileBytes(folder + "/setup.exe", image);

    RunResult result = Pack("extract " + Quote(folder + "/setup.exe") + " -o " + Quote(folder + "/out"));
    // The launcher's own selection refuses the name, as it refuses a missing cabinet.
    EXPECT_EQ(result.exitCode, 1);
    EXPECT_NE(result.err.find("code 13, line 2151"), std::string::npos) << result.err;
    EXPECT_EQ(ListFolder(folder), std::vector<std::string>{"setup.exe"});
}

TEST(Keygen, WritesAPrivateKeyOnlyItsOwnerReadsAndReplacesNothing)
{
    const std::string folder = FreshFolder("keygen");
    ASSERT_EQ(Pack("keygen --out " + Quote(folder + "/k")).exitCode, 0);
    struct stat status;
    ASSERT_EQ(::stat((folder + "/k.pem").c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0600u);
    EXPECT_NE(ReadText(folder + "/k.pub.pem").find("BEGIN PUBLIC KEY"), std::string::npos);

    Bytes privateKey = fixtures::ReadFileBytes(folder + "/k.pem");
    RunResult again = Pack("keygen --out " + Quote(folder + "/k"));
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(fixtures::ReadFileBytes(folder + "/k.pem"), privateKey);
}

} // namespace
} // namespace packer_test
