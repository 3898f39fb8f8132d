// Keys as CI gives them (encrypted, on standard input) and verify as a release gate: its
// fingerprint, its expected key, the TEST-ONLY key and its exit codes; inspect's JSON.
#include "tests/packer/packer_test_support.h"

#include "tests/fixtures/fixtures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

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
        RunResult result =
            RunCommand(std::string(item.environment) + " setsid " + LAUNCHER_PACK + " pack --stub " +
                       Quote(world.stub) + " " + keyAndPass + " --msi " + Quote(world.en) + " -o " + Quote(output));
        EXPECT_EQ(result.exitCode, item.exitCode) << result.err;
        if (item.exitCode == 0) {
            EXPECT_EQ(Pack("verify --key " + Quote(world.publicKey) + " " + Quote(output)).exitCode, 0);
        } else {
            EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
            EXPECT_NE(result.err.find(item.error), std::string::npos) << result.err;
            EXPECT_FALSE(std::filesystem::exists(output));
        }
    }
}

// Whose fingerprint verify prints: the installer's own key, the TEST-ONLY key, the other key.
enum class UsedKey { Own, Test, Other, None };

struct VerifyCase {
    const char *name;
    const char *arguments; // with %FILE%, %KEY%, %FINGERPRINT%, %OTHERKEY% filled in
    bool testKeyStub;      // the installer is packed with the TEST-ONLY key
    int exitCode;
    const char *says; // a part of the output
    UsedKey used;
};

const VerifyCase verifyCases[] = {
    {"built_in_key", "verify %FILE%", false, 0, "verified with the launcher's built-in key", UsedKey::Own},
    {"expected_key_file", "verify --key %KEY% %FILE%", false, 0, "verified with", UsedKey::Own},
    {"expected_fingerprint", "verify --expect-key %FINGERPRINT% %FILE%", false, 0, "verified with", UsedKey::Own},
    {"other_key_file", "verify --key %OTHERKEY% %FILE%", false, 1, "does not carry", UsedKey::Other},
    {"other_fingerprint",
     "verify --expect-key SHA256:aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa %FILE%", false, 1,
     "not the expected SHA256:aaaa", UsedKey::Own},
    {"test_key", "verify %FILE%", true, 1, "the TEST-ONLY key", UsedKey::Test},
    {"test_key_allowed", "verify --allow-test-key %FILE%", true, 0, "verified with", UsedKey::Test},
    {"damaged", "verify %FILE%.damaged", false, 1, "code 1392", UsedKey::Own},
    {"missing_file", "verify %FILE%.missing", false, 3, "", UsedKey::None},
    {"unreadable_key", "verify --key %FILE%.missing %FILE%", false, 3, "", UsedKey::None},
    {"malformed_fingerprint", "verify --expect-key SHA256:abc %FILE%", false, 2, "", UsedKey::None},
    {"no_file", "verify", false, 2, "", UsedKey::None},
};

TEST(Verify, ExitCodesTellVerifiedFromNotVerifiedFromUsageFromUnreadable)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("verify-exit-codes");
    const std::string installer = folder + "/setup.exe";
    const std::string testInstaller = folder + "/test-key-setup.exe";
    ASSERT_EQ(Pack("pack --stub " + Quote(world.stub) + " --key " + Quote(world.key) + " --msi " + Quote(world.en) +
                   " -o " + Quote(installer))
                  .exitCode,
              0);
    ASSERT_EQ(Pack("pack --stub " + Quote(world.testStub) + " --key " + Quote(world.testKey) + " --msi " +
                   Quote(world.en) + " -o " + Quote(testInstaller))
                  .exitCode,
              0);
    Bytes damaged = fixtures::ReadFileBytes(installer);
    damaged[damaged.size() - 28 - 10] ^= 0x01; // the last item's signature
    fixtures::WriteFileBytes(installer + ".damaged", damaged);
    const std::string otherKey = fixtures::FixturePath("test-signer-key.pem");
    const std::string fingerprint = Fingerprint(world.publicKey);
    const std::map<UsedKey, std::string> fingerprints = {{UsedKey::Own, fingerprint},
                                                         {UsedKey::Test, Fingerprint(world.testKey)},
                                                         {UsedKey::Other, Fingerprint(otherKey)}};

    for (const VerifyCase &item : verifyCases) {
        SCOPED_TRACE(item.name);
        std::string arguments = Filled(item.arguments, "%FILE%", Quote(item.testKeyStub ? testInstaller : installer));
        arguments = Filled(arguments, "%KEY%", Quote(world.publicKey));
        arguments = Filled(arguments, "%OTHERKEY%", Quote(otherKey));
        arguments = Filled(arguments, "%FINGERPRINT%", fingerprint);
        RunResult result = Pack(arguments);
        EXPECT_EQ(result.exitCode, item.exitCode) << result.out << result.err;
        EXPECT_NE(result.out.find(item.says), std::string::npos) << result.out;
        // The fingerprint of the key it used, whenever it got as far as a key.
        if (item.used != UsedKey::None) {
            EXPECT_NE(result.out.find(": key " + fingerprints.at(item.used) + " "), std::string::npos) << result.out;
        }
    }
}

TEST(Verify, HelpListsTheExitCodes)
{
    RunResult help = Pack("verify --help");
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_NE(help.out.find("0 verified; 1 did not verify; 2 usage error; 3 the file or the key could not be read"),
              std::string::npos)
        << help.out;
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
                                  ".decode(\"utf-8\")); print(d[\"format\"]); print(ascii(d[\"file\"]))' " +
                                  Quote(json));
    ASSERT_EQ(parsed.exitCode, 0) << parsed.err << inspected.out;
    EXPECT_EQ(parsed.out, "1\n" + std::string("'") + folder + "/caf\\xe9-\\x80-caf\\xe9-\".exe'\n");
}

} // namespace
} // namespace packer_test
