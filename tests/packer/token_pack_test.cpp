// launcher-pack with its key in a PKCS#11 token or behind a signer command, run as a release
// engineer runs it: the same key gives the same installer whichever way it is reached.
#include "tests/packer/packer_test_support.h"
#include "tests/packer/test_token.h"

#include "tests/fixtures/fixtures.h"

#include <gtest/gtest.h>

namespace packer_test {
namespace {

const std::string testKey = TEST_SOURCE_DIR "/tests/keys/TEST-ONLY-payload-signing-key.pem";

// A signed stub whose key slot holds the TEST-ONLY key, and that key's public half.
struct TestKeyStub {
    std::string folder;
    std::string stub;
    std::string publicKey;
};

const TestKeyStub &TheTestKeyStub()
{
    static const TestKeyStub made = [] {
        const World &world = TheWorld();
        TestKeyStub made;
        made.folder = FreshFolder("token-pack");
        made.publicKey = made.folder + "/test-key.pub.pem";
        const std::string unsigned_ = made.folder + "/slotted.exe";
        made.stub = made.folder + "/slotted-signed.exe";
        EXPECT_EQ(RunCommand("openssl pkey -in " + Quote(testKey) + " -pubout -out " + Quote(made.publicKey)).exitCode,
                  0);
        EXPECT_EQ(Pack("stub --stub " + Quote(world.readyStub) + " --key " + Quote(testKey) + " -o " + Quote(unsigned_))
                      .exitCode,
                  0);
        EXPECT_EQ(RunCommand(std::string(OSSLSIGNCODE) + " sign -certs " + Quote(world.signerCertificate) + " -key " +
                             Quote(fixtures::FixturePath("test-signer-key.pem")) + " -h sha256 -in " +
                             Quote(unsigned_) + " -out " + Quote(made.stub))
                      .exitCode,
                  0);
        return made;
    }();
    return made;
}

std::string PackArguments(const std::string &stub, const std::string &output)
{
    const World &world = TheWorld();
    return "pack --stub " + Quote(stub) + " --msi " + Quote(world.en) + " --msi " + Quote(world.fr) +
           " --placement certificate --threads 3 -o " + Quote(output);
}

struct SameInstallerCase {
    const char *name;
    std::function<std::string(const TestToken &, const TestKeyStub &)> keyArguments;
};

const SameInstallerCase sameInstallerCases[] = {
    {"token_uri_with_module_path_and_pin_source",
     [](const TestToken &token, const TestKeyStub &) {
         return "--key " +
                Quote(TokenUri("object=payload?module-path=" + token.module + "&pin-source=file:" + token.pinFile));
     }},
    {"token_through_p11_kit_pin_from_the_environment",
     [](const TestToken &, const TestKeyStub &) {
         return "--key " + Quote(TokenUri("id=%01")) + " --pass env:TOKEN_TEST_PIN";
     }},
    {"sign_command_with_the_public_half",
     [](const TestToken &, const TestKeyStub &stub) {
         return "--key " + Quote(stub.publicKey) + " --sign-command " +
                Quote("openssl pkeyutl -sign -inkey " + Quote(testKey) + " -pkeyopt digest:sha256");
     }},
    {"sign_command_with_the_stubs_key",
     [](const TestToken &, const TestKeyStub &) {
         return "--sign-command " + Quote("openssl pkeyutl -sign -inkey " + Quote(testKey) + " -pkeyopt digest:sha256");
     }},
};

class SameInstaller : public testing::TestWithParam<SameInstallerCase> {};

TEST_P(SameInstaller, AsWithThePemKey)
{
    const TestToken &token = TheTestToken();
    const TestKeyStub &stub = TheTestKeyStub();
    const std::string folder = FreshFolder(std::string("same-installer-") + GetParam().name);
    RunResult fromPem = Pack(PackArguments(stub.stub, folder + "/pem.exe") + " --key " + Quote(testKey));
    ASSERT_EQ(fromPem.exitCode, 0) << fromPem.err;

    RunResult packed =
        RunCommand("TOKEN_TEST_PIN=4711 " + LauncherPack() + " " + PackArguments(stub.stub, folder + "/other.exe") +
                   " " + GetParam().keyArguments(token, stub));
    ASSERT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_TRUE(fixtures::ReadFileBytes(folder + "/other.exe") == fixtures::ReadFileBytes(folder + "/pem.exe"));
}

INSTANTIATE_TEST_SUITE_P(Keys, SameInstaller, testing::ValuesIn(sameInstallerCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(TokenKey, SetsTheStubPacksAndVerifiesWithAKeyThatNeverLeavesTheToken)
{
    const World &world = TheWorld();
    const TestToken &token = TheTestToken();
    const std::string folder = FreshFolder("token-generated");
    const std::string uri = TokenUri("object=generated?module-path=" + token.module);

    RunResult stub =
        Pack("stub --stub " + Quote(world.readyStub) + " --key " + Quote(uri) + " -o " + Quote(folder + "/stub.exe"));
    ASSERT_EQ(stub.exitCode, 0) << stub.err;
    RunResult packed = Pack("pack --stub " + Quote(folder + "/stub.exe") + " --key " + Quote(uri) + " --pass file:" +
                            Quote(token.pinFile) + " --msi " + Quote(world.en) + " -o " + Quote(folder + "/setup.exe"));
    ASSERT_EQ(packed.exitCode, 0) << packed.err;

    // The public half read from the token, without a PIN, is what the installer carries.
    RunResult verified = Pack("verify --allow-unsigned --key " + Quote(uri) + " " + Quote(folder + "/setup.exe"));
    EXPECT_EQ(verified.exitCode, 0) << verified.out << verified.err;
    RunResult other =
        Pack("verify --allow-unsigned --key " + Quote(TheTestKeyStub().publicKey) + " " + Quote(folder + "/setup.exe"));
    EXPECT_EQ(other.exitCode, 1) << other.out << other.err;
}

// A PIN file is an input like the key: an output that names it is refused.
TEST(TokenKey, NeverWritesOverThePinFile)
{
    const TestToken &token = TheTestToken();
    const std::string folder = FreshFolder("token-pin-output");
    const std::string pin = folder + "/pin";
    ASSERT_EQ(RunCommand("cp " + Quote(token.pinFile) + " " + Quote(pin)).exitCode, 0);
    for (const std::string &key : {"--key " + Quote(TokenUri("object=payload?pin-source=file:" + pin)),
                                   "--key " + Quote(TokenUri("object=payload")) + " --pass file:" + Quote(pin)}) {
        SCOPED_TRACE(key);
        RunResult result = Pack(PackArguments(TheTestKeyStub().stub, pin) + " --force " + key);
        EXPECT_EQ(result.exitCode, 2) << result.err;
        EXPECT_EQ(ReadText(pin), ReadText(token.pinFile));
    }
}

struct PackFault {
    const char *name;
    std::function<std::string(const TestToken &, const TestKeyStub &)> keyArguments;
    int exitCode;
    const char *message;
};

std::string Signer(const std::string &command)
{
    return "--key " + Quote(TheTestKeyStub().publicKey) + " --sign-command " + Quote(command);
}

const PackFault packFaults[] = {
    {"wrong_pin",
     [](const TestToken &token, const TestKeyStub &) {
         return "--key " + Quote(TokenUri("object=payload")) + " --pkcs11-module " + Quote(token.module) +
                " --pass file:" + Quote(token.wrongPin);
     },
     3, "the PIN was refused"},
    {"missing_object",
     [](const TestToken &token, const TestKeyStub &) {
         return "--key " + Quote(TokenUri("object=missing")) + " --pass file:" + Quote(token.pinFile);
     },
     3, "no private key object matches"},
    {"module_that_cannot_be_loaded",
     [](const TestToken &token, const TestKeyStub &) {
         return "--key " + Quote(TokenUri("object=payload")) + " --pkcs11-module " +
                Quote(token.folder + "/missing.so") + " --pass file:" + Quote(token.pinFile);
     },
     3, "could not be loaded"},
    {"signer_exits_1", [](const TestToken &, const TestKeyStub &) { return Signer("echo refused >&2; exit 1"); }, 3,
     "the command failed (exit code 1; stderr: refused)"},
    {"signer_prints_10_bytes", [](const TestToken &, const TestKeyStub &) { return Signer("printf 0123456789"); }, 3,
     "printed 10 bytes, not a 256-byte signature"},
    {"signer_with_another_key",
     [](const TestToken &token, const TestKeyStub &) {
         return Signer("openssl pkeyutl -sign -inkey " + Quote(token.otherKey) + " -pkeyopt digest:sha256");
     },
     3, "the signature does not verify with"},
    // A usable key that the stub does not carry is the input's fault, not the key's.
    {"token_key_the_stub_does_not_carry",
     [](const TestToken &token, const TestKeyStub &) {
         return "--key " + Quote(TokenUri("object=generated")) + " --pass file:" + Quote(token.pinFile);
     },
     1, "carries the key SHA256:"},
};

class PackFaults : public testing::TestWithParam<PackFault> {};

TEST_P(PackFaults, AreOneLineAndLeaveNoOutput)
{
    const TestToken &token = TheTestToken();
    const TestKeyStub &stub = TheTestKeyStub();
    const std::string folder = FreshFolder(std::string("pack-fault-") + GetParam().name);
    ExpectRefusal(
        Pack("-q " + PackArguments(stub.stub, folder + "/setup.exe") + " " + GetParam().keyArguments(token, stub)),
        GetParam().message, GetParam().exitCode);
    EXPECT_TRUE(ListFolder(folder).empty());
}

INSTANTIATE_TEST_SUITE_P(Keys, PackFaults, testing::ValuesIn(packFaults),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace
} // namespace packer_test
