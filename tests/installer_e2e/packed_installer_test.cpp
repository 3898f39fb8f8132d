// Installers that launcher-pack made from launcher.exe, installed by the prefix's Windows
// Installer: each placement on a signed launcher.exe, the end placement on an unsigned one, and
// the ready stub with its key set by launcher-pack stub, then signed (a PEM key, and a key that
// stays in a PKCS#11 token), and the launcher packed for signing last, then signed by
// osslsigncode in the ways a release pipeline does; and installers forged from two releases
// packed with the same key, which install the signed release or nothing.
// packed-installers.sh packs them (natively) before this program runs.
#include <gtest/gtest.h>

#include "tests/fixtures/fixtures.h"
#include "tests/installer_e2e/e2e_support.h"
#include "tests/tools/process_tools.h"

#include <algorithm>
#include <functional>
#include <optional>

namespace {

struct PackedCase {
    const char *name; // setup-<name>.exe
    const char *productCode;
};

// The product codes packed-installers.sh gives the example product for each installer.
const PackedCase packedCases[] = {
    {"end-signed", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A71}"},
    {"certificate-signed", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A72}"},
    {"end-unsigned", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A73}"},
    {"certificate-near-limit", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A74}"}, // a signature object of almost 64 MiB
    {"ready-stub-signed", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A75}"},      // launcher-pack stub, signed, packed
    {"token-key-signed", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A76}"},       // the same, the key in a PKCS#11 token
    {"overlay-signed", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A77}"},         // packed unsigned, then signed
    {"overlay-page-hashes", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A78}"},    // signed with page hashes
    {"overlay-nested", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A79}"},         // a nested second signature
    {"overlay-resigned", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A7A}"},       // signature removed, signed again
    {"overlay-signed-twice", "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A7B}"},   // the second signature replaces the first
};

std::string InstalledFile()
{
    char programFiles[MAX_PATH] = {};
    GetEnvironmentVariableA("ProgramW6432", programFiles, sizeof programFiles);
    return std::string(programFiles) + "\\Launcher Example\\hello.txt";
}

void Uninstall(const std::string &productCode)
{
    if (!e2e::UninstallString(productCode).empty())
        testtools::RunProgram(e2e::SystemFolder() + "\\msiexec.exe", " /x " + productCode + " /qn");
}

class PackedInstaller : public testing::TestWithParam<PackedCase> {
  protected:
    void SetUp() override
    {
        Uninstall(GetParam().productCode);
        ASSERT_EQ(e2e::UninstallString(GetParam().productCode), "");
        e2e::RemoveTree(e2e::DefaultExtractionFolder(GetParam().productCode));
    }
    void TearDown() override { Uninstall(GetParam().productCode); }
};

TEST_P(PackedInstaller, InstallsQuietly)
{
    std::optional<std::string> folder = testtools::EnvironmentVariable("PACKED_INSTALLERS");
    ASSERT_TRUE(folder.has_value()) << "run by packed-installers.sh";
    std::string setup = testtools::WindowsPathOfUnixPath(*folder + "/setup-" + GetParam().name + ".exe");

    e2e::Run run = e2e::RunWatched(setup, " /qn");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, 0u);
    EXPECT_TRUE(run.windows.empty()) << "no message box";
    EXPECT_NE(e2e::UninstallString(GetParam().productCode), "") << "registered in the 64-bit uninstall list";
    // Byte for byte the file that was packed.
    EXPECT_EQ(e2e::ReadText(InstalledFile()),
              e2e::ReadText(testtools::WindowsPathOfUnixPath(*folder + "/" + GetParam().name + ".txt")));
    EXPECT_TRUE(e2e::Exists(e2e::DefaultExtractionFolder(GetParam().productCode) + "\\main.msi"));
}

// Signed last, then one byte of the payload changed: the launcher refuses it with its tamper
// code, and nothing is installed.
TEST(TamperedSignLastInstaller, FailsWithTheLauncherTamperCode)
{
    std::optional<std::string> folder = testtools::EnvironmentVariable("PACKED_INSTALLERS");
    ASSERT_TRUE(folder.has_value()) << "run by packed-installers.sh";
    const std::string productCode = "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A7C}";
    Uninstall(productCode);
    e2e::Run run = e2e::RunWatched(testtools::WindowsPathOfUnixPath(*folder + "/setup-overlay-tampered.exe"), " /qn");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, static_cast<DWORD>(ERROR_INVALID_DATA)) << "no package passes its check";
    EXPECT_EQ(e2e::UninstallString(productCode), "");
    EXPECT_FALSE(e2e::Exists(e2e::DefaultExtractionFolder(productCode) + "\\main.msi"));
}

// Installers forged from two releases packed with the same key (packed-installers.sh): the one
// signed last, and another product's, whose payload the forgeries put in.
const char *const SignedRelease = "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A7D}";
const char *const OtherRelease = "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A7E}";

struct Releases {
    fixtures::Bytes signedLast;               // setup-release-signed-last.exe
    fixtures::Bytes signedStub;               // the keyed ready stub, signed
    std::vector<fixtures::Bytes> signedItems; // its container's items, the head item first
    std::vector<fixtures::Bytes> otherItems;  // the other release's
};

fixtures::Bytes Joined(const std::vector<fixtures::Bytes> &items, std::size_t first = 0)
{
    fixtures::Bytes joined;
    for (std::size_t i = first; i < items.size(); ++i)
        joined.insert(joined.end(), items[i].begin(), items[i].end());
    return joined;
}

struct ForgedCase {
    const char *name;
    std::function<fixtures::Bytes(const Releases &)> forge;
    DWORD exitCode;
    bool installsTheSignedRelease; // else nothing is installed or written
};

const ForgedCase forgedCases[] = {
    {"bindings_match", [](const Releases &r) { return r.signedLast; }, 0, true},
    // Another release's payload beside the signed one, where the signature does not reach.
    {"injected_carrier",
     [](const Releases &r) {
         return fixtures::AddCertificates(r.signedLast, {fixtures::CarrierCertificate(Joined(r.otherItems))});
     },
     0, true},
    {"container_behind_the_signature_object",
     [](const Releases &r) { return fixtures::EmbedBehindSignature(r.signedLast, Joined(r.otherItems)); }, 0, true},
    // The certificate placement with the signed release's directory and the other's items.
    {"spliced_items",
     [](const Releases &r) {
         fixtures::Bytes spliced = r.signedItems.front();
         const fixtures::Bytes items = Joined(r.otherItems, 1);
         spliced.insert(spliced.end(), items.begin(), items.end());
         return fixtures::AddCertificates(r.signedStub, {fixtures::CarrierCertificate(spliced)});
     },
     ERROR_INVALID_DATA, false},
};

class ForgedInstaller : public testing::TestWithParam<ForgedCase> {
  protected:
    void SetUp() override
    {
        for (const char *code : {SignedRelease, OtherRelease}) {
            Uninstall(code);
            e2e::RemoveTree(e2e::DefaultExtractionFolder(code));
        }
    }
    void TearDown() override
    {
        Uninstall(SignedRelease);
        Uninstall(OtherRelease);
    }
};

TEST_P(ForgedInstaller, InstallsOnlyTheReleaseTheSignatureAndDirectoryName)
{
    std::optional<std::string> folder = testtools::EnvironmentVariable("PACKED_INSTALLERS");
    ASSERT_TRUE(folder.has_value()) << "run by packed-installers.sh";
    auto path = [&](const std::string &name) { return testtools::WindowsPathOfUnixPath(*folder + "/" + name); };
    Releases releases;
    releases.signedLast = testfiles::ReadAll(path("setup-release-signed-last.exe"));
    releases.signedStub = testfiles::ReadAll(path("launcher-ready-signed.exe"));
    releases.signedItems =
        fixtures::ContainerItems(releases.signedLast, fixtures::ContainerEndBeforeTable(releases.signedLast));
    const fixtures::Bytes other = testfiles::ReadAll(path("setup-other-release.exe"));
    releases.otherItems = fixtures::ContainerItems(other, other.size());
    const std::string forged = path(std::string("forged-") + GetParam().name + ".exe");
    testfiles::WriteAll(forged, GetParam().forge(releases));

    e2e::Run run = e2e::RunWatched(forged, " /qn");
    ASSERT_TRUE(run.ended);
    EXPECT_EQ(run.exitCode, GetParam().exitCode);
    EXPECT_TRUE(run.windows.empty()) << "no message box";
    EXPECT_EQ(e2e::UninstallString(OtherRelease), "") << "the other release is never installed";
    EXPECT_FALSE(e2e::Exists(e2e::DefaultExtractionFolder(OtherRelease)));
    if (GetParam().installsTheSignedRelease) {
        EXPECT_NE(e2e::UninstallString(SignedRelease), "");
        EXPECT_EQ(e2e::ReadText(InstalledFile()), e2e::ReadText(path("release-signed-last.txt")));
    } else {
        EXPECT_EQ(e2e::UninstallString(SignedRelease), "");
        EXPECT_FALSE(e2e::Exists(e2e::DefaultExtractionFolder(SignedRelease))) << "nothing written";
    }
}

INSTANTIATE_TEST_SUITE_P(Forgeries, ForgedInstaller, testing::ValuesIn(forgedCases),
                         [](const auto &info) { return std::string(info.param.name); });

INSTANTIATE_TEST_SUITE_P(Placements, PackedInstaller, testing::ValuesIn(packedCases), [](const auto &info) {
    std::string name = info.param.name;
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
});

} // namespace
