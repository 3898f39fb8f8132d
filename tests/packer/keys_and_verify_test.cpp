// Keys as CI gives them (encrypted, on standard input) and verify as a release gate: its
// fingerprint, its expected key, the TEST-ONLY key and its exit codes; inspect's JSON.
#include "tests/packer/packer_test_support.h"

#include "packer/keys/pem_key.h"
#include "packer/payload_key.h"

#include "tests/fixtures/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <stdexcept>

namespace packer_test {
namespace {

// The fingerprint as openssl and sha256sum give it, of a PEM key, private or public.
std::string Fingerprint(const std::string &key)
{
    RunResult der = RunCommand("(openssl pkey -in " + Quote(key) +
                               " -pubout -outform DER 2>/dev/null || openssl pkey "
                               "-pubin -in " +
                               Quote(key) + " -outform DER) | sha256sum");
    return "SHA256:" + der.out.substr(0, 64);
}

struct PassphraseCase {
    const char *name;
    const char *environment; // put before the command
    const char *keyAndPass;  // with %KEY% and %PASSFILE% filled in
    int exitCode;
    const char *error; // a part of the one error line, or "" on success
};

const PassphraseCase passphraseCases[] = {
    {"from_the_environment", "PAYLOAD_KEY_PASS=sekrit", "--key %KEY% --pass env:PAYLOAD_KEY_PASS", 0, ""},
    {"from_a_file", "", "--key %KEY% --pass file:%PASSFILE%", 0, ""},
    {"key_on_standard_input", "PAYLOAD_KEY_PASS=sekrit", "--key - --pass env:PAYLOAD_KEY_PASS <%KEY%", 0, ""},
    // A key that can't be opened exits with 3, as one that can't be read: a configuration error
    // that CI tells from a refused input.
    {"missing", "", "--key %KEY%", 3, "the key is encrypted; give its passphrase with --pass"},
    {"variable_not_set", "", "--key %KEY% --pass env:PAYLOAD_KEY_UNSET", 3, "PAYLOAD_KEY_UNSET is not set"},
    {"wrong", "PAYLOAD_KEY_PASS=guess", "--key %KEY% --pass env:PAYLOAD_KEY_PASS", 3,
     "the passphrase does not open the key"},
    {"not_a_source", "", "--key %KEY% --pass sekrit", 2, "give env:VAR or file:PATH"},
};

std::string Filled(std::string text, const std::string &name, const std::string &value)
{
    for (std::size_t at; (at = text.find(name)) != std::string::npos;)
        text.replace(at, name.size(), value);
    return text;
}

TEST(Passphrase, ComesFromTheEnvironmentOrAFileAndIsNeverPromptedFor)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("passphrase");
    const std::string encrypted = folder + "/encrypted.pem";
    ASSERT_EQ(
        RunCommand("openssl pkey -in " + Quote(world.key) + " -aes256 -passout pass:sekrit -out " + Quote(encrypted))
            .exitCode,
        0);
    fixtures::WriteFileBytes(folder + "/pass.txt", Bytes{'s', 'e', 'k', 'r', 'i', 't', '\n'});

    for (const PassphraseCase &item : passphraseCases) {
        SCOPED_TRACE(item.name);
        const std::string output = folder + "/setup.exe";
        std::filesystem::remove(output);
        std::string keyAndPass =
            Filled(Filled(item.keyAndPass, "%KEY%", Quote(encrypted)), "%PASSFILE%", Quote(folder + "/pass.txt"));
        // setsid: no controlling terminal, as in CI; a prompt would fail or hang.
        RunResult result = RunCommand(std::string(item.environment) + " setsid " + LauncherPack() + " pack --stub " +
                                      Quote(world.signedStub) + " " + keyAndPass + " --msi " + Quote(world.en) +
                                      " -o " + Quote(output));
        EXPECT_EQ(result.exitCode, item.exitCode) << result.err;
        if (item.exitCode == 0) {
            // verify reads the same key the same way.
            RunResult verified = RunCommand(std::string(item.environment) + " setsid " + LauncherPack() + " verify " +
                                            keyAndPass + " " + Quote(output));
            EXPECT_EQ(verified.exitCode, 0) << verified.err;
        } else {
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
            EXPECT_NE(result.err.find(item.error), std::string::npos) << result.err;
            EXPECT_FALSE(std::filesystem::exists(output));
        }
    }
}

// The installers of the verify table, made once: each a way an installer can be wrong, and the
// right ones beside them.
struct Installers {
    std::string good;            // unsigned stub, own key, overlay placement, then signed
    std::string goodEnd;         // signed stub, end placement
    std::string goodCertificate; // signed stub, certificate placement
    std::string unsigned_;       // unsigned stub, overlay placement, never signed
    std::string codeFlipped;     // a byte of the stub's code changed after packing
    std::string payloadFlipped;
    std::string signedAfter; // the end placement signed again after packing: the payload is gone
    std::string decoy;       // the TEST-ONLY key's blob beside the slot that holds the own key
    std::string testKey;     // packed with the TEST-ONLY key
    std::string refusedName; // a cabinet named aux.cab, made without the packer
    std::string emptySlot;   // a payload behind a ready stub whose slot is empty
    std::string dualSigned;  // the stub signed twice (a nested signature), then packed
};

// The offset of the first section's raw data.
std::size_t FirstSectionData(const Bytes &image)
{
    const std::size_t nt = fixtures::NtHeadersOffset(image);
    const std::size_t sections = nt + 24 + (image[nt + 20] | image[nt + 21] << 8);
    return fixtures::ReadU32(image, sections + 20);
}

std::string Sign(const World &world, const std::string &in, const std::string &out, const std::string &extra = "")
{
    RunResult signedFile = RunCommand(
        std::string(OSSLSIGNCODE) + " sign " + extra + " -certs " + Quote(world.signerCertificate) + " -key " +
        Quote(fixtures::FixturePath("test-signer-key.pem")) + " -h sha256 -in " + Quote(in) + " -out " + Quote(out));
    if (signedFile.exitCode != 0)
        throw std::runtime_error("osslsigncode failed: " + signedFile.out + signedFile.err);
    return out;
}

// The stub with a container appended, as a packer without checks would make it.
std::string Handmade(const World &world, const std::string &stub, const std::string &cabinet, const std::string &out)
{
    writer::PrivateKey key = writer::LoadPrivateKey(world.key);
    Bytes directory =
        writer::WriteDirectory({{1000, "x64\\1033\\{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}\\Launcher Example"},
                                {1001, "cab\\1000\\" + cabinet}});
    Bytes container = writer::WriteContainer({{writer::ItemKind::Head, 0, directory},
                                              {writer::ItemKind::File, 1000, fixtures::ReadFileBytes(world.en)},
                                              {writer::ItemKind::File, 1001, Bytes{'c', 'a', 'b'}}},
                                             writer::ContainerOptions{}, key.get());
    Bytes image = fixtures::ReadFileBytes(stub);
    image.insert(image.end(), container.begin(), container.end());
    fixtures::UpdatePeChecksum(image);
    fixtures::WriteFileBytes(out, image);
    return out;
}

const Installers &TheInstallers()
{
    static const Installers installers = [] {
        const World &world = TheWorld();
        const std::string f = FreshFolder("verify-installers");
        Installers made;
        auto pack = [&](const std::string &stub, const std::string &key, const std::string &out,
                        const char *placement = "end") {
            RunResult packed = Pack("pack --stub " + Quote(stub) + " --key " + Quote(key) + " --msi " +
                                    Quote(world.en) + " --placement " + placement + " -o " + Quote(out));
            if (packed.exitCode != 0)
                throw std::runtime_error("pack failed: " + packed.err);
            return out;
        };
        made.unsigned_ = pack(world.stub, world.key, f + "/unsigned.exe", "overlay");
        made.good = Sign(world, made.unsigned_, f + "/good.exe");
        made.goodEnd = pack(world.signedStub, world.key, f + "/good-end.exe");
        made.goodCertificate = pack(world.signedStub, world.key, f + "/good-certificate.exe", "certificate");
        Bytes image = fixtures::ReadFileBytes(made.goodEnd);
        image[FirstSectionData(image) + 2] ^= 0x01;
        fixtures::UpdatePeChecksum(image);
        made.codeFlipped = f + "/code-flipped.exe";
        fixtures::WriteFileBytes(made.codeFlipped, image);
        image = fixtures::ReadFileBytes(made.goodEnd);
        image[image.size() - 28 - 10] ^= 0x01; // the last item's signature
        made.payloadFlipped = f + "/payload-flipped.exe";
        fixtures::WriteFileBytes(made.payloadFlipped, image);
        made.signedAfter = Sign(world, made.goodEnd, f + "/signed-after.exe");
        Bytes testBlob = packer::PublicKeyBlob(packer::LoadKey({world.testKey, ""}).get(), "key");
        BuildStub(packer::PublicKeyBlob(packer::LoadKey({world.publicKey, ""}).get(), "key"), f, f + "/decoy-stub.exe",
                  testBlob);
        made.decoy = pack(Sign(world, f + "/decoy-stub.exe", f + "/decoy-signed.exe"), world.key, f + "/decoy.exe");
        made.testKey = pack(Sign(world, world.testStub, f + "/test-signed.exe"), world.testKey, f + "/test-key.exe");
        made.refusedName = Handmade(world, world.stub, "aux.cab", f + "/device-cabinet.exe");
        made.emptySlot = Handmade(world, world.readyStub, "data.cab", f + "/empty-slot.exe");
        made.dualSigned =
            pack(Sign(world, world.signedStub, f + "/dual-signed-stub.exe", "-nest"), world.key, f + "/dual.exe");
        return made;
    }();
    return installers;
}

struct VerifyCase {
    const char *name;
    std::string Installers::*file;
    const char *arguments; // with %OWN%, %TEST%, %KEY% and %OTHERKEY% filled in
    int exitCode;
    const char *says; // a part of standard output and standard error
};

const VerifyCase verifyCases[] = {
    {"own_key_file", &Installers::good, "--key %KEY%", 0, ": verified"},
    {"end_placement", &Installers::goodEnd, "--key %KEY%", 0, ": verified"},
    {"certificate_placement", &Installers::goodCertificate, "--key %KEY%", 0, ": verified"},
    {"own_fingerprint", &Installers::good, "--expect-key %OWN%", 0, ": key %OWN% (the launcher's key slot)"},
    {"trust_file_key", &Installers::good, "--trust-file-key", 0,
     "warning: %FILE%: --trust-file-key: trusting the key found in the file itself"},
    {"no_key_option", &Installers::good, "", 2, "give --key FILE, --expect-key SHA256:<hex> or --trust-file-key"},
    {"other_key_file", &Installers::good, "--key %OTHERKEY%", 1, ", not the key of"},
    {"other_fingerprint", &Installers::good,
     "--expect-key SHA256:aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa", 1,
     "not the expected SHA256:aaaa"},
    {"unsigned", &Installers::unsigned_, "--key %KEY%", 1, "has no Authenticode signature: sign %FILE% with"},
    {"unsigned_allowed", &Installers::unsigned_, "--key %KEY% --allow-unsigned", 0, "Authenticode: unsigned"},
    {"code_byte_flipped", &Installers::codeFlipped, "--key %KEY%", 1, "PE image digest differs from the signed one"},
    {"payload_byte_flipped", &Installers::payloadFlipped, "--key %KEY%", 1,
     "item 1001: signature does not verify (code 1392"},
    {"signed_after_packing", &Installers::signedAfter, "--key %KEY%", 1,
     "no payload: a file signed after packing with the certificate or end placement loses it (pack onto an "
     "unsigned stub to sign last)"},
    // The key is the one in the slot, whatever else the image holds.
    {"decoy_beside_the_slot", &Installers::decoy, "--expect-key %OWN%", 0, ": key %OWN% "},
    {"decoy_is_not_the_key", &Installers::decoy, "--expect-key %TEST%", 1, "the key is %OWN%, not the expected"},
    {"refused_cabinet_name", &Installers::refusedName, "--key %KEY% --allow-unsigned", 1,
     "cabinet name \"aux.cab\" is one the launcher refuses"},
    {"test_key", &Installers::testKey, "--expect-key %TEST%", 1, "the TEST-ONLY key"},
    {"test_key_allowed", &Installers::testKey, "--expect-key %TEST% --allow-test-key", 0, ": verified"},
    {"empty_slot", &Installers::emptySlot, "--trust-file-key --allow-unsigned", 1,
     "no key set (run launcher-pack stub)"},
    {"dual_signed_stub", &Installers::dualSigned, "--expect-key %OWN%", 0, ": verified"},
    {"missing_file", &Installers::good, "--key %KEY% %FILE%.missing", 3, "No such file"},
    {"unreadable_key", &Installers::good, "--key %FILE%.missing %FILE%", 3, "No such file"},
    {"ec_key", &Installers::good, "--key %ECKEY%", 3, "not an RSA key"},
    {"malformed_fingerprint", &Installers::good, "--expect-key SHA256:abc", 2, "give SHA256: and 64 hex digits"},
};

TEST(Verify, IsAReleaseGateWithOneExitCodeTable)
{
    const World &world = TheWorld();
    const Installers &installers = TheInstallers();
    const std::string folder = FreshFolder("verify-cases");
    const std::string ecKey = folder + "/ec.pem";
    ASSERT_EQ(
        RunCommand("openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out " + Quote(ecKey)).exitCode, 0);
    const std::string own = Fingerprint(world.publicKey);

    for (const VerifyCase &item : verifyCases) {
        SCOPED_TRACE(item.name);
        const std::string file = installers.*item.file;
        std::string arguments = item.arguments;
        if (arguments.find("%FILE%") == std::string::npos)
            arguments += " %FILE%";
        auto fill = [&](std::string text) {
            text = Filled(text, "%KEY%", Quote(world.publicKey));
            text = Filled(text, "%OTHERKEY%", Quote(fixtures::FixturePath("test-signer-key.pem")));
            text = Filled(text, "%ECKEY%", Quote(ecKey));
            text = Filled(text, "%OWN%", own);
            return Filled(text, "%TEST%", Fingerprint(world.testKey));
        };
        RunResult result = Pack("verify " + Filled(fill(arguments), "%FILE%", Quote(file)));
        EXPECT_EQ(result.exitCode, item.exitCode) << result.out << result.err;
        EXPECT_NE((result.out + result.err).find(Filled(fill(item.says), "%FILE%", file)), std::string::npos)
            << result.out << result.err;
        // Success has no error line; a usage error or an unreadable input exactly one.
        const auto errors = std::count(result.err.begin(), result.err.end(), '\n');
        if (item.exitCode == 0) {
            EXPECT_EQ(result.err.find("error"), std::string::npos) << result.err;
        } else if (item.exitCode != 1) {
            EXPECT_EQ(errors, 1) << result.err;
        }
    }
}

TEST(Verify, TheDualSignedStubKeepsBothSignaturesWhenPacked)
{
    RunResult checked = RunCommand(std::string(OSSLSIGNCODE) + " verify -CAfile " +
                                   Quote(TheWorld().signerCertificate) + " -in " + Quote(TheInstallers().dualSigned));
    EXPECT_EQ(checked.exitCode, 0) << checked.out << checked.err;
    EXPECT_NE(checked.out.find("Number of verified signatures: 2"), std::string::npos) << checked.out;
}

// Each placement on a signed or unsigned stub, and signed or not after packing with
// osslsigncode: what verify says, the padding check and coverage it reports, and whether the
// launcher's lookup (inspect) finds the payload.
struct SigningCase {
    const char *name;
    const char *placement;
    bool signedStub;
    const char *afterPacking; // what is done to the installer, see SignAfterPacking
    const char *options;      // given to verify besides --key
    int exitCode;
    const char *says;       // a part of verify's standard output and standard error
    const char *placed;     // inspect's placement
    const char *coverage;   // the padding check's "passes" and "payloadUnderSignature" in verify's JSON
    int osslsigncodeVerify; // 0 when it passes, 1 when it fails, -1 when the file is not signed
};

const SigningCase signingCases[] = {
    {"overlay", "overlay", false, "", "", 1, "has no Authenticode signature: sign %FILE% with", "overlay", "null False",
     -1},
    {"overlay_allowed_unsigned", "overlay", false, "", "--allow-unsigned", 0,
     "payload under the Authenticode signature: no", "overlay", "null False", -1},
    {"overlay_signed", "overlay", false, "sign", "--strict", 0,
     "certificate padding check (EnableCertPaddingCheck): passes", "overlay", "True True", 0},
    {"overlay_signed_page_hashes", "overlay", false, "sign -ph", "--strict", 0,
     "payload under the Authenticode signature: yes", "overlay", "True True", 0},
    {"overlay_signed_nested", "overlay", false, "sign,sign -nest", "--strict", 0, ": verified", "overlay", "True True",
     0},
    {"overlay_signed_removed_signed", "overlay", false, "sign,remove,sign", "--strict", 0, ": verified", "overlay",
     "True True", 0},
    {"overlay_signed_twice", "overlay", false, "sign,sign", "--strict", 0, ": verified", "overlay", "True True", 0},
    {"overlay_signed_payload_changed", "overlay", false, "sign,payload", "", 1,
     "item 1001: signature does not verify (code 1392", "overlay", "True False", 1},
    {"overlay_signed_padding_changed", "overlay", false, "sign,padding", "", 1,
     "the Authenticode signature does not hold", "overlay", "True False", 1},
    {"auto_unsigned_signed", "auto", false, "sign", "", 0, ": verified", "overlay", "True True", 0},
    {"end_unsigned_signed", "end", false, "sign", "", 0, ": verified", "overlay", "True True", 0},
    // Packed before the placement was padded: the signing tool pads, and the lookup skips it.
    {"unaligned_unsigned_signed", "overlay", false, "unalign,sign", "", 0, ": verified", "overlay", "True True", 0},
    {"certificate", "certificate", true, "", "--strict", 0, "payload under the Authenticode signature: no",
     "certificate", "True False", 0},
    {"certificate_signed_after", "certificate", true, "sign", "", 1, "no payload: a file signed after packing",
     "none found", "True False", 0},
    {"end", "end", true, "", "", 0, "certificate padding check (EnableCertPaddingCheck): fails (", "end", "False False",
     0},
    {"end_strict", "end", true, "", "--strict", 1, "--strict: the file fails the certificate padding check", "end",
     "False False", 0},
    {"end_signed_after", "end", true, "sign", "", 1, "no payload: a file signed after packing", "none found",
     "True False", 0},
    {"auto_signed_stub", "auto", true, "", "--strict", 0, ": verified", "certificate", "True False", 0},
};

// The steps after packing, separated by commas: sign [osslsigncode options], remove (the
// signature), payload (change a byte of the last item's signature), padding (change a zero byte
// in front of the head item), unalign (take the padding in front of the head item out, as
// packers did before it was added).
void SignAfterPacking(const World &world, const std::string &file, const std::string &steps)
{
    for (std::size_t begin = 0; begin < steps.size();) {
        std::size_t end = steps.find(',', begin);
        const std::string step = steps.substr(begin, end - begin);
        begin = end == std::string::npos ? steps.size() : end + 1;
        if (step.rfind("sign", 0) == 0) {
            Sign(world, file, file + ".signed", step.substr(4));
        } else if (step == "remove") {
            RunResult removed = RunCommand(std::string(OSSLSIGNCODE) + " remove-signature -in " + Quote(file) +
                                           " -out " + Quote(file + ".signed"));
            if (removed.exitCode != 0)
                throw std::runtime_error("remove-signature failed: " + removed.out + removed.err);
        } else {
            Bytes image = fixtures::ReadFileBytes(file);
            const fixtures::SecurityDirectory table = fixtures::ReadSecurityDirectory(image);
            const std::size_t payloadEnd = table.size != 0 ? table.offset : image.size();
            const std::size_t stubSize = fixtures::ReadFileBytes(world.stub).size();
            if (step == "payload") {
                image[payloadEnd - 28 - 10] ^= 0x01;
            } else if (step == "padding") {
                if (image[stubSize] != 0)
                    throw std::runtime_error("no padding in front of the head item");
                image[stubSize] = 0x5A;
            } else if (step == "unalign") {
                std::size_t padding = 0;
                while (padding < 8 && image[stubSize + padding] == 0)
                    ++padding;
                if (padding == 0)
                    throw std::runtime_error("no padding in front of the head item");
                image.erase(image.begin() + static_cast<std::ptrdiff_t>(stubSize),
                            image.begin() + static_cast<std::ptrdiff_t>(stubSize + padding));
                fixtures::UpdatePeChecksum(image);
            }
            fixtures::WriteFileBytes(file + ".signed", image);
        }
        std::filesystem::rename(file + ".signed", file);
    }
}

TEST(Verify, TellsEachPlacementSignedBeforeOrAfterPackingApart)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("signing-table");
    for (const SigningCase &item : signingCases) {
        SCOPED_TRACE(item.name);
        const std::string file = folder + "/" + item.name + ".exe";
        RunResult packed = Pack("pack --stub " + Quote(item.signedStub ? world.signedStub : world.stub) + " --key " +
                                Quote(world.key) + " --msi " + Quote(world.en) + " --placement " + item.placement +
                                " -o " + Quote(file));
        ASSERT_EQ(packed.exitCode, 0) << packed.err;
        SignAfterPacking(world, file, item.afterPacking);

        RunResult verified = Pack("verify --key " + Quote(world.publicKey) + " " + item.options + " " + Quote(file));
        EXPECT_EQ(verified.exitCode, item.exitCode) << verified.out << verified.err;
        EXPECT_NE((verified.out + verified.err).find(Filled(item.says, "%FILE%", file)), std::string::npos)
            << verified.out << verified.err;

        RunResult json = Pack("verify --json --key " + Quote(world.publicKey) + " " + item.options + " " + Quote(file));
        const std::string report = file + ".json";
        fixtures::WriteFileBytes(report, Bytes(json.out.begin(), json.out.end()));
        RunResult coverage = RunCommand("python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); "
                                        "print(d[\"paddingCheck\"][\"passes\"] is None and \"null\" or "
                                        "d[\"paddingCheck\"][\"passes\"], d[\"payloadUnderSignature\"])' " +
                                        Quote(report));
        EXPECT_EQ(coverage.out, std::string(item.coverage) + "\n") << json.out << coverage.err;

        RunResult inspected = Pack("inspect --json " + Quote(file));
        EXPECT_NE(inspected.out.find(std::string("\"placement\": \"") + item.placed + "\""), std::string::npos)
            << inspected.out;
        EXPECT_EQ(inspected.exitCode, std::string(item.placed) == "none found" ? 1 : 0);

        if (item.osslsigncodeVerify >= 0) {
            RunResult authenticode = RunCommand(std::string(OSSLSIGNCODE) + " verify -CAfile " +
                                                Quote(world.signerCertificate) + " -in " + Quote(file));
            EXPECT_EQ(authenticode.exitCode == 0, item.osslsigncodeVerify == 0) << authenticode.out << authenticode.err;
        }
    }
}

TEST(Verify, JsonNamesEachOutputFileWithItsDigest)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("verify-json");
    const std::string installer = folder + "/setup.exe";
    ASSERT_EQ(Pack("pack --stub " + Quote(world.signedStub) + " --key " + Quote(world.key) + " --msi " +
                   Quote(world.en) + " --msi " + Quote(world.fr) + " -o " + Quote(installer))
                  .exitCode,
              0);
    RunResult verified = Pack("verify --json --expect-key " + Fingerprint(world.publicKey) + " " + Quote(installer));
    ASSERT_EQ(verified.exitCode, 0) << verified.err;
    const std::string json = folder + "/verify.json";
    fixtures::WriteFileBytes(json, Bytes(verified.out.begin(), verified.out.end()));
    // What a pipeline would take from it: each locale's files as name, size and SHA-256.
    RunResult listed = RunCommand(
        "python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); "
        "print(d[\"format\"], d[\"verified\"], d[\"authenticode\"][\"status\"], d[\"key\"][\"fingerprint\"], "
        "d[\"key\"][\"trusted\"]); [print(l[\"lcid\"], f[\"name\"], f[\"size\"], f[\"sha256\"]) for l in "
        "d[\"locales\"] "
        "for f in l[\"files\"]]' " +
        Quote(json));
    ASSERT_EQ(listed.exitCode, 0) << listed.err << verified.out;
    auto line = [](std::uint32_t lcid, const std::string &name, const std::string &path) {
        RunResult digest = RunCommand("sha256sum " + Quote(path));
        return std::to_string(lcid) + " " + name + " " + std::to_string(fixtures::ReadFileBytes(path).size()) + " " +
               digest.out.substr(0, 64) + "\n";
    };
    EXPECT_EQ(listed.out, "1 True valid " + Fingerprint(world.publicKey) + " expect-key\n" +
                              line(1033, "main.msi", world.en) + line(1033, "shared.cab", world.sharedCabinet) +
                              line(1036, "main.msi", world.fr) + line(1036, "fr.cab", world.frCabinet));
}

TEST(Verify, HelpListsTheExitCodes)
{
    for (const char *command : {"verify", "pack", "stub", "keygen", "inspect", "extract"}) {
        SCOPED_TRACE(command);
        RunResult help = Pack(std::string(command) + " --help");
        EXPECT_EQ(help.exitCode, 0);
        EXPECT_NE(help.out.find("Exit codes: 0 done (verified); 1 failed (did not verify); 2 usage error; 3 a file "
                                "or key could not be read or used."),
                  std::string::npos)
            << help.out;
    }
}

TEST(Inspect, SaysNoKeyIsSetForAnEmptySlot)
{
    RunResult inspected = Pack("inspect " + Quote(TheInstallers().emptySlot));
    EXPECT_EQ(inspected.exitCode, 0) << inspected.err;
    EXPECT_NE(inspected.out.find("key fingerprint: no key set (run launcher-pack stub)\n"), std::string::npos)
        << inspected.out;
    EXPECT_EQ(inspected.out.find("SHA256:"), std::string::npos) << inspected.out;
}

TEST(Inspect, JsonIsValidUtf8WhateverTheFileIsCalled)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("json-name");
    // Latin-1 "é", a stray continuation byte and a valid UTF-8 "é", with a quote.
    const std::string name = folder + "/caf\xe9-\x80-caf\xc3\xa9-\".exe";
    ASSERT_EQ(Pack("pack --stub " + Quote(world.stub) + " --key " + Quote(world.key) + " --msi " + Quote(world.en) +
                   " -o " + Quote(name))
                  .exitCode,
              0);
    RunResult inspected = Pack("inspect --json " + Quote(name));
    ASSERT_EQ(inspected.exitCode, 0) << inspected.err;
    const std::string json = folder + "/inspect.json";
    fixtures::WriteFileBytes(json, Bytes(inspected.out.begin(), inspected.out.end()));
    // A strict reader of its own: bytes that are not UTF-8 stop it.
    RunResult parsed = RunCommand("python3 -c 'import json, sys; d = json.loads(open(sys.argv[1], \"rb\").read()"
                                  ".decode(\"utf-8\")); print(d[\"format\"]); print(ascii(d[\"file\"].rsplit(\"/\", 1)[1]))' " +
                                  Quote(json));
    ASSERT_EQ(parsed.exitCode, 0) << parsed.err << inspected.out;
    EXPECT_EQ(parsed.out, "1\n'caf\\xe9-\\x80-caf\\xe9-\".exe'\n");
}

} // namespace
} // namespace packer_test
