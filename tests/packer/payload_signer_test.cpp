// The three places a payload key can live (a PEM file, a PKCS#11 token, a signer command) sign
// alike: the scheme is deterministic, so the same key gives the same bytes whichever way it is
// reached. Each way's faults are one error line of the "key unusable" kind.
#include "tests/packer/packer_test_support.h"
#include "tests/packer/test_token.h"

#include "packer/keys/payload_signer.h"
#include "packer/keys/pem_key.h"
#include "packer/keys/pkcs11_uri.h"
#include "packer/pack_error.h"
#include "packer/pipeline/parallel.h"
#include "packer/keys/payload_key.h"

#include <gtest/gtest.h>

#include <filesystem>

#include <cstdio>
#include <cstdlib>
#include <functional>

namespace packer_test {
namespace {

const std::string testKey = TEST_SOURCE_DIR "/tests/keys/TEST-ONLY-payload-signing-key.pem";
constexpr unsigned SignerThreads = 4;

std::vector<packer::Sha256Digest> SomeDigests()
{
    std::vector<packer::Sha256Digest> digests;
    for (std::uint8_t i = 0; i < 24; ++i) {
        packer::Bytes data(1000 + i, i);
        digests.push_back(packer::Sha256Of(data.data(), data.size()));
    }
    return digests;
}

// The digests signed on several threads at once, as pack signs its items.
std::vector<packer::Bytes> SignAll(const packer::PayloadSigner &signer,
                                   const std::vector<packer::Sha256Digest> &digests)
{
    std::vector<packer::Bytes> signatures(digests.size());
    packer::RunInParallel(digests.size(), SignerThreads, [&](std::size_t index, unsigned) {
        signatures[index] = signer.SignDigest(digests[index], "item " + std::to_string(index));
    });
    return signatures;
}

packer::KeySource Key(const std::string &key, const std::string &passphrase = "", const std::string &module = "")
{
    packer::KeySource options;
    options.path = key;
    options.passphrase = passphrase;
    options.module = module;
    return options;
}

packer::Bytes TestKeyBlob()
{
    return packer::PublicKeyBlob(packer::LoadKey(testKey).get(), testKey);
}

struct SignerCase {
    const char *name;
    std::function<packer::KeySource(const TestToken &)> options;
    bool slotKey = false; // the public key comes from a stub's key slot
};

const SignerCase signerCases[] = {
    {"token_by_label_pin_source_module_path",
     [](const TestToken &token) {
         return Key(TokenUri("object=payload?module-path=" + token.module + "&pin-source=file:" + token.pinFile));
     }},
    {"token_by_percent_encoded_id_module_option_pin_from_environment",
     [](const TestToken &token) {
         setenv("SIGNER_TEST_PIN", "4711", 1);
         return Key(TokenUri("id=%01;type=private"), "env:SIGNER_TEST_PIN", token.module);
     }},
    {"token_by_module_name_as_p11_kit_registers_it",
     [](const TestToken &token) {
         return Key(TokenUri("object=payload?module-name=softhsm2&pin-source=file:" + token.pinFile));
     }},
    {"token_through_p11_kit_pin_from_file",
     [](const TestToken &token) { return Key(TokenUri("object=payload"), "file:" + token.pinFile); }},
    {"sign_command_with_the_public_key",
     [](const TestToken &) {
         packer::KeySource options;
         options.path = TheWorld().folder + "/test-key.pub.pem";
         options.signCommand = "openssl pkeyutl -sign -inkey " + Quote(testKey) + " -pkeyopt digest:sha256";
         return options;
     }},
    {"sign_command_with_the_stubs_key_and_the_hex_digest",
     [](const TestToken &) {
         packer::KeySource options;
         options.signCommand = "echo \"$LAUNCHER_PACK_DIGEST_HEX\" | xxd -r -p | openssl pkeyutl -sign -inkey " +
                               Quote(testKey) + " -pkeyopt digest:sha256";
         return options;
     },
     true},
};

class SameSignatures : public testing::TestWithParam<SignerCase> {};

TEST_P(SameSignatures, AsThePemKeyGivesThem)
{
    const TestToken &token = TheTestToken();
    ASSERT_EQ(RunCommand("openssl pkey -in " + Quote(testKey) + " -pubout -out " +
                         Quote(TheWorld().folder + "/test-key.pub.pem"))
                  .exitCode,
              0);
    const auto digests = SomeDigests();
    auto pem = packer::OpenSigner(Key(testKey), SignerThreads);
    const auto expected = SignAll(*pem, digests);

    auto signer = packer::OpenSigner(GetParam().options(token), SignerThreads,
                                     GetParam().slotKey ? std::optional(TestKeyBlob()) : std::nullopt);
    EXPECT_EQ(packer::PublicKeyBlob(signer->PublicKey(), "signer"), TestKeyBlob());
    const auto signatures = SignAll(*signer, digests);
    for (std::size_t i = 0; i < digests.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(signatures[i].size(), 256u);
        EXPECT_EQ(signatures[i], expected[i]);
    }
}

INSTANTIATE_TEST_SUITE_P(Signers, SameSignatures, testing::ValuesIn(signerCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(TokenKey, GeneratedInTheTokenSignsThereAndItsPublicHalfIsReadWithoutAPin)
{
    const TestToken &token = TheTestToken();
    packer::KeySource options = Key(TokenUri("object=generated"), "file:" + token.pinFile, token.module);
    auto signer = packer::OpenSigner(options, SignerThreads);
    packer::EvpKeyHandle publicKey =
        packer::OpenPublicKey(Key(TokenUri("object=generated;type=public"), "", token.module));
    EXPECT_EQ(EVP_PKEY_eq(signer->PublicKey(), publicKey.get()), 1);
    EXPECT_NE(packer::PublicKeyBlob(publicKey.get(), "generated"), TestKeyBlob());

    const auto digests = SomeDigests();
    const auto signatures = SignAll(*signer, digests);
    for (std::size_t i = 0; i < digests.size(); ++i)
        EXPECT_TRUE(packer::SignatureMatches(publicKey.get(), digests[i], signatures[i])) << i;
    EXPECT_FALSE(packer::SignatureMatches(publicKey.get(), digests[0], signatures[1]));
}

TEST(TokenKey, AModuleThatCannotLockHasEveryCallSerialised)
{
    const TestToken &token = TheTestToken();
    const std::string report = token.folder + "/cant-lock-report";
    setenv("CANT_LOCK_MODULE_REPORT", report.c_str(), 1);
    const auto digests = SomeDigests();
    std::vector<packer::Bytes> signatures;
    {
        auto signer = packer::OpenSigner(Key(TokenUri("object=payload"), "file:" + token.pinFile, CANT_LOCK_MODULE),
                                         SignerThreads);
        signatures = SignAll(*signer, digests);
    } // the module is finalised here, and writes its report
    EXPECT_EQ(signatures, SignAll(*packer::OpenSigner(Key(testKey), SignerThreads), digests));

    int calls = -1, overlaps = -1;
    ASSERT_EQ(std::sscanf(ReadText(report).c_str(), "calls %d overlaps %d", &calls, &overlaps), 2);
    EXPECT_GE(calls, 2 * static_cast<int>(digests.size())); // C_SignInit and C_Sign for each
    EXPECT_EQ(overlaps, 0);
}

struct FaultCase {
    const char *name;
    std::function<packer::KeySource(const TestToken &)> options;
    const char *message; // a part of the one error line
};

packer::KeySource Command(const std::string &command)
{
    packer::KeySource options;
    options.path = TheWorld().folder + "/test-key.pub.pem";
    options.signCommand = command;
    return options;
}

const FaultCase faultCases[] = {
    {"wrong_pin",
     [](const TestToken &token) { return Key(TokenUri("object=payload"), "file:" + token.wrongPin, token.module); },
     "the PIN was refused (CKR_PIN_INCORRECT)"},
    {"no_pin", [](const TestToken &token) { return Key(TokenUri("object=payload"), "", token.module); },
     "the token needs a PIN; give pin-source=file:PATH in the URI or --pass env:VAR|file:PATH"},
    {"pin_value",
     [](const TestToken &token) { return Key(TokenUri("object=payload?pin-value=4711"), "", token.module); },
     "pin-value would put the PIN on the command line; give pin-source=file:PATH or --pass"},
    {"missing_object",
     [](const TestToken &token) { return Key(TokenUri("object=nothing"), "file:" + token.pinFile, token.module); },
     "no private key object matches"},
    {"missing_token",
     [](const TestToken &token) {
         return Key("pkcs11:token=elsewhere;object=payload", "file:" + token.pinFile, token.module);
     },
     "no token matches"},
    {"module_that_cannot_be_loaded",
     [](const TestToken &token) {
         return Key(TokenUri("object=payload?module-path=" + token.folder + "/no-module.so"), "file:" + token.pinFile);
     },
     "could not be loaded"},
    {"module_that_is_not_one",
     [](const TestToken &token) { return Key(TokenUri("object=payload"), "file:" + token.pinFile, "libz.so.1"); },
     "PKCS#11 module libz.so.1 has no function list"},
    {"a_3072_bit_key",
     [](const TestToken &token) { return Key(TokenUri("object=large"), "file:" + token.pinFile, token.module); },
     "the launcher takes a 2048-bit RSA key with exponent 65537 only"},
    {"signer_exits_1", [](const TestToken &) { return Command("cat >/dev/null; echo 'access denied' >&2; exit 1"); },
     "--sign-command for item 0: the command failed (exit code 1; stderr: access denied)"},
    {"signer_prints_10_bytes", [](const TestToken &) { return Command("head -c 10 /dev/zero"); },
     "--sign-command for item 0: printed 10 bytes, not a 256-byte signature (exit code 0)"},
    {"signer_signs_with_another_key",
     [](const TestToken &token) {
         return Command("openssl pkeyutl -sign -inkey " + Quote(token.otherKey) + " -pkeyopt digest:sha256");
     },
     "--sign-command for item 0: the signature does not verify with"},
    {"signer_without_a_public_key",
     [](const TestToken &) {
         packer::KeySource options;
         options.signCommand = "true";
         return options;
     },
     "--sign-command needs the public key"},
};

class UnusableKeys : public testing::TestWithParam<FaultCase> {};

// The signer command gets no secret of the packer's: not the variable --pass names, whatever the
// rest of the environment holds. And with a signer command pack reads no private key: the
// public half is enough, and a private key is refused.
TEST(SignCommand, GetsNoSecretAndPackReadsNoPrivateKey)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("signer-secrets");
    const std::string output = folder + "/setup.exe";
    const std::string signer = "openssl pkeyutl -sign -inkey " + Quote(world.key) + " -pkeyopt digest:sha256";
    const std::string leaks = "env | grep -q ^PAYLOAD_SECRET= && { echo leaked >&2; exit 1; }; ";
    RunResult packed = RunCommand("PAYLOAD_SECRET=sekrit OTHER_VARIABLE=kept setsid " + LauncherPack() +
                                  " pack --stub " + Quote(world.signedStub) + " --key " + Quote(world.publicKey) +
                                  " --pass env:PAYLOAD_SECRET --sign-command " +
                                  Quote(leaks + "[ \"$OTHER_VARIABLE\" = kept ] || exit 2; " + signer) + " --msi " +
                                  Quote(world.en) + " -o " + Quote(output));
    EXPECT_EQ(packed.exitCode, 0) << packed.err;
    EXPECT_EQ(Pack("verify --key " + Quote(world.publicKey) + " " + Quote(output)).exitCode, 0);

    std::filesystem::remove(output);
    RunResult privateKey =
        RunCommand("PAYLOAD_SECRET=sekrit " + LauncherPack() + " pack --stub " + Quote(world.signedStub) + " --key " +
                   Quote(world.key) + " --pass env:PAYLOAD_SECRET --sign-command " + Quote(signer) + " --msi " +
                   Quote(world.en) + " -o " + Quote(output));
    ExpectRefusal(privateKey, "a private key; with --sign-command pack reads no private key", 3);
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_P(UnusableKeys, AreOneErrorLineOfTheirOwnKind)
{
    const TestToken &token = TheTestToken();
    ASSERT_EQ(RunCommand("openssl pkey -in " + Quote(testKey) + " -pubout -out " +
                         Quote(TheWorld().folder + "/test-key.pub.pem"))
                  .exitCode,
              0);
    try {
        auto signer = packer::OpenSigner(GetParam().options(token), SignerThreads);
        packer::Sha256Digest digest{};
        signer->SignDigest(digest, "item 0");
        FAIL() << "no error";
    } catch (const packer::UnusableKey &error) {
        const std::string message = error.what();
        EXPECT_NE(message.find(GetParam().message), std::string::npos) << message;
        EXPECT_EQ(message.find('\n'), std::string::npos) << message;
        EXPECT_EQ(message.find("4711"), std::string::npos) << "the PIN shows: " << message;
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, UnusableKeys, testing::ValuesIn(faultCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(Pkcs11Uri, TakesPercentEncodingAndTheQueryAttributes)
{
    packer::Pkcs11Uri uri = packer::ParsePkcs11Uri(
        "pkcs11:token=Release%20Keys;object=a%3bb;id=%01%A0;type=private?module-path=/m/x.so&pin-source=file:/p%20in");
    EXPECT_EQ(uri.token, "Release Keys");
    EXPECT_EQ(uri.object, "a;b");
    EXPECT_EQ(uri.id, std::string("\x01\xA0", 2));
    EXPECT_EQ(uri.type, "private");
    EXPECT_EQ(uri.modulePath, "/m/x.so");
    EXPECT_EQ(uri.pinSource, "/p in");
    EXPECT_EQ(uri.text, "pkcs11:token=Release%20Keys;object=a%3bb;id=%01%A0;type=private");

    for (const char *bad : {"pkcs11:object=a;object=b", "pkcs11:id=%0", "pkcs11:token=t", "pkcs11:objekt=a",
                            "pkcs11:object=a?pin-source=env:X", "pkcs11:object=a;type=cert"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(packer::ParsePkcs11Uri(bad), packer::UnusableKey);
    }
}

} // namespace
} // namespace packer_test
