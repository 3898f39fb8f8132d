// Keys as CI gives them (encrypted, on standard input) and verify as a release gate: its
// fingerprint, its expected key, the TEST-ONLY key and its exit codes; inspect's JSON.
#include "tests/packer/packer_test_support.h"

#include "packer/keys/pem_key.h"
#include "packer/keys/payload_key.h"
#include "packer/pe/placement.h"

#include "tests/unit/payload_fixtures.h"

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

// The fingerprint of a PEM certificate: the SHA-256 of its DER, as openssl gives it.
std::string CertificateFingerprint(const std::string &certificate)
{
    RunResult der = RunCommand("openssl x509 -in " + Quote(certificate) + " -outform DER | sha256sum");
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
    std::string refusedCase; // the same, its record Cab\1000\aux.cab\more
    std::string emptySlot;   // a payload behind a ready stub whose slot is empty
    std::string dualSigned;  // the stub signed twice (a nested signature), then packed
    std::string appended;    // good, with bytes appended after its certificate table
    // The forgery a slot exponent of 1 would let through: the own key's modulus with exponent 1
    // in the slot, signed by someone else, each item's signature the padded digest itself.
    std::string exponentOne;
    std::string otherSigner; // the certificate and key of "someone else"
    std::string otherSignerKey;
    std::string serverSigned;      // good, but signed with a certificate for TLS servers only
    std::string serverCertificate; // its certificate
    // Signed last under a throwaway CA of the test's own (roots): each a way a chain or a
    // signature falls short of what Windows or the strict policy asks, and the right one.
    std::string roots;
    std::string underCodeSigningCa; // the leaf under an intermediate limited to code signing
    std::string underServerCa;      // a code-signing leaf under an intermediate for TLS servers only
    std::string leafWithoutUsage;   // a leaf with no extended key usage
    std::string leafThatIsACa;      // a code-signing leaf with basic constraints CA:TRUE
    std::string leafSignedWithSha1; // the leaf's certificate signed by its CA with SHA-1
    std::string leafSignedWithMd5;
    std::string md5Digests;    // the right leaf, image and signer digests MD5 (osslsigncode -h md5)
    std::string sha1Digests;   // -h sha1
    std::string sha512Digests; // -h sha512
    std::string sha1Roots;     // a root that signs itself with SHA-1
    std::string underSha1Root; // a right leaf under it
    // Another release of another product, packed with the same key, unsigned: its container ends
    // the file. Its payload is what the forgeries below put in.
    std::string otherRelease;
    std::string injected;          // good, with a carrier of the other release added to its signature object
    std::string appendedContainer; // good, with the other release's container behind its signature object
    std::string spliced;           // the signed stub carrying good's directory with the other release's items
    std::string unbound;           // packed without bindings (as before they existed), then signed
};

// The throwaway CA: a root, intermediates limited to code signing and to TLS servers, and
// leaves, each signed onto a copy of the unsigned installer with its chain.
void SignUnderATestCa(const std::string &unsignedInstaller, const std::string &f, Installers &made)
{
    const std::string extensions =
        "[req]\ndistinguished_name = name\n[name]\n"
        "[root]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
        "subjectKeyIdentifier = hash\n"
        "[codeCa]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
        "extendedKeyUsage = codeSigning\n"
        "[serverCa]\nbasicConstraints = critical,CA:TRUE\nkeyUsage = critical,keyCertSign,cRLSign\n"
        "extendedKeyUsage = serverAuth\n"
        "[signer]\nbasicConstraints = critical,CA:FALSE\nkeyUsage = critical,digitalSignature\n"
        "extendedKeyUsage = codeSigning\n"
        "[noUsage]\nbasicConstraints = critical,CA:FALSE\nkeyUsage = critical,digitalSignature\n"
        "[caSigner]\nbasicConstraints = critical,CA:TRUE\nextendedKeyUsage = codeSigning\n";
    fixtures::WriteFileBytes(f + "/ca.cnf", Bytes(extensions.begin(), extensions.end()));
    // issue NAME SUBJECT ISSUER SECTION DIGEST: NAME.pem, signed by ISSUER.pem with ISSUER-key.pem.
    const std::string script =
        "set -e; cd " + Quote(f) +
        "\nissue() { openssl req -new -key leaf-key.pem -subj \"$2\" -config ca.cnf -out \"$1.csr\"; "
        "openssl x509 -req -in \"$1.csr\" -CA \"$3.pem\" -CAkey \"$3-key.pem\" -CAcreateserial -days 3650 "
        "\"-$5\" -extfile ca.cnf -extensions \"$4\" -out \"$1.pem\"; }\n"
        "for key in root ca leaf; do openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "
        "\"$key-key.pem\"; done\n"
        "openssl req -x509 -new -key root-key.pem -subj '/CN=Test root CA' -days 3650 -sha256 -config ca.cnf "
        "-extensions root -out root.pem\n"
        "openssl req -x509 -new -key root-key.pem -subj '/CN=Test SHA-1 root CA' -days 3650 -sha1 -config ca.cnf "
        "-extensions root -out sha1-root.pem\n"
        "cp root-key.pem sha1-root-key.pem\n"
        "for ca in code server; do openssl req -new -key ca-key.pem -subj \"/CN=Test $ca CA\" -config ca.cnf "
        "-out $ca-ca.csr; openssl x509 -req -in $ca-ca.csr -CA root.pem -CAkey root-key.pem -CAcreateserial "
        "-days 3650 -sha256 -extfile ca.cnf -extensions ${ca}Ca -out $ca-ca.pem; cp ca-key.pem $ca-ca-key.pem; "
        "done\n"
        "issue signer '/CN=Test signer' code-ca signer sha256\n"
        "issue server-signer '/CN=Test signer under a TLS CA' server-ca signer sha256\n"
        "issue no-usage '/CN=Test signer without a usage' code-ca noUsage sha256\n"
        "issue ca-signer '/CN=Test signer that is a CA' code-ca caSigner sha256\n"
        "issue sha1-signer '/CN=Test signer signed with SHA-1' code-ca signer sha1\n"
        "issue md5-signer '/CN=Test signer signed with MD5' code-ca signer md5\n"
        "issue sha1-root-signer '/CN=Test signer under a SHA-1 root' sha1-root signer sha256\n";
    RunResult ca = RunCommand("( " + script + " ) 2>&1");
    if (ca.exitCode != 0)
        throw std::runtime_error("making the test CA failed: " + ca.out);
    made.roots = f + "/root.pem";
    made.sha1Roots = f + "/sha1-root.pem";
    // Each leaf signs with its chain up to the root, as a signing tool is given it.
    auto sign = [&](const std::string &leaf, const std::string &issuer, const std::string &name,
                    const std::string &digest = "sha256") {
        const std::string chain = f + "/" + name + "-chain.pem";
        RunResult signedFile = RunCommand(
            "cat " + Quote(f + "/" + leaf + ".pem") + " " + Quote(f + "/" + issuer + ".pem") + " >" + Quote(chain) +
            " && " + OSSLSIGNCODE + " sign -certs " + Quote(chain) + " -key " + Quote(f + "/leaf-key.pem") + " -h " +
            digest + " -in " + Quote(unsignedInstaller) + " -out " + Quote(f + "/" + name + ".exe"));
        if (signedFile.exitCode != 0)
            throw std::runtime_error("osslsigncode failed: " + signedFile.out + signedFile.err);
        return f + "/" + name + ".exe";
    };
    made.underCodeSigningCa = sign("signer", "code-ca", "under-code-signing-ca");
    made.underServerCa = sign("server-signer", "server-ca", "under-server-ca");
    made.leafWithoutUsage = sign("no-usage", "code-ca", "leaf-without-usage");
    made.leafThatIsACa = sign("ca-signer", "code-ca", "leaf-that-is-a-ca");
    made.leafSignedWithSha1 = sign("sha1-signer", "code-ca", "leaf-signed-with-sha1");
    made.leafSignedWithMd5 = sign("md5-signer", "code-ca", "leaf-signed-with-md5");
    made.md5Digests = sign("signer", "code-ca", "md5-digests", "md5");
    made.sha1Digests = sign("signer", "code-ca", "sha1-digests", "sha1");
    made.sha512Digests = sign("signer", "code-ca", "sha512-digests", "sha512");
    made.underSha1Root = sign("sha1-root-signer", "sha1-root", "under-sha1-root");
}

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

// The stub with a container appended, as a packer without checks would make it; the cabinet's
// directory record has the path given.
std::string Handmade(const World &world, const std::string &stub, const std::string &cabinetRecord,
                     const std::string &out)
{
    writer::PrivateKey key = writer::LoadPrivateKey(world.key);
    Bytes directory = writer::WriteDirectory(
        {{1000, "x64\\1033\\{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}\\Launcher Example"}, {1001, cabinetRecord}});
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
        SignUnderATestCa(made.unsigned_, f, made);
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
        made.refusedName = Handmade(world, world.stub, "cab\\1000\\aux.cab", f + "/device-cabinet.exe");
        // The launcher takes "cab" in any letter case, and ends the name at the next backslash.
        made.refusedCase = Handmade(world, world.stub, "Cab\\1000\\aux.cab\\more", f + "/device-cabinet-case.exe");
        made.emptySlot = Handmade(world, world.readyStub, "cab\\1000\\data.cab", f + "/empty-slot.exe");
        made.dualSigned =
            pack(Sign(world, world.signedStub, f + "/dual-signed-stub.exe", "-nest"), world.key, f + "/dual.exe");
        image = fixtures::ReadFileBytes(made.good);
        image.insert(image.end(), 24, 0x5A);
        made.appended = f + "/appended.exe";
        fixtures::WriteFileBytes(made.appended, image);

        made.otherSigner = f + "/someone-else.pem";
        made.otherSignerKey = f + "/someone-else-key.pem";
        if (RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj '/CN=someone else' "
                       "-addext extendedKeyUsage=codeSigning -keyout " +
                       Quote(made.otherSignerKey) + " -out " + Quote(made.otherSigner) + " 2>/dev/null")
                .exitCode != 0)
            throw std::runtime_error("openssl req failed");
        made.serverCertificate = f + "/server.pem";
        if (RunCommand("openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj '/CN=web server' "
                       "-addext extendedKeyUsage=serverAuth -keyout " +
                       Quote(f + "/server-key.pem") + " -out " + Quote(made.serverCertificate) + " 2>/dev/null")
                .exitCode != 0)
            throw std::runtime_error("openssl req failed");
        const std::string serverStub = f + "/server-signed-stub.exe";
        if (RunCommand(std::string(OSSLSIGNCODE) + " sign -certs " + Quote(made.serverCertificate) + " -key " +
                       Quote(f + "/server-key.pem") + " -h sha256 -in " + Quote(world.stub) + " -out " +
                       Quote(serverStub))
                .exitCode != 0)
            throw std::runtime_error("osslsigncode failed");
        made.serverSigned = pack(serverStub, world.key, f + "/server-signed.exe");
        Bytes forgedBlob = packer::PublicKeyBlob(packer::LoadKey({world.publicKey, ""}).get(), "key");
        forgedBlob[16] = 1;
        forgedBlob[17] = forgedBlob[18] = forgedBlob[19] = 0;
        BuildStub(forgedBlob, f, f + "/exponent-one-stub.exe");
        const std::string forgedStub = f + "/exponent-one-signed.exe";
        if (RunCommand(std::string(OSSLSIGNCODE) + " sign -certs " + Quote(made.otherSigner) + " -key " +
                       Quote(made.otherSignerKey) + " -h sha256 -in " + Quote(f + "/exponent-one-stub.exe") + " -out " +
                       Quote(forgedStub))
                .exitCode != 0)
            throw std::runtime_error("osslsigncode failed");
        writer::ContainerOptions forged;
        forged.signOutput = fixtures::ExponentOneSignature;
        Bytes directory =
            writer::WriteDirectory({{1000, "x64\\1033\\{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}\\Launcher Example"}});
        Bytes container = writer::WriteContainer(
            {{writer::ItemKind::Head, 0, directory}, {writer::ItemKind::File, 1000, fixtures::ReadFileBytes(world.en)}},
            forged, nullptr);
        const packer::PemSigner carrierSigner({world.key, ""});
        made.exponentOne = f + "/exponent-one.exe";
        fixtures::WriteFileBytes(made.exponentOne,
                                 packer::PlaceContainer(packer::LoadStub(forgedStub, packer::Placement::End), container,
                                                        packer::Placement::End, carrierSigner)
                                     .image);

        PackageSource old;
        old.productName = "Old Other Product";
        old.productCode = "{9A1B2C3D-4E5F-4A6B-8C7D-0E1F2A3B4C5D}";
        old.payloadText = "the other release's file\n";
        BuildPackage(f + "/old", "old", old);
        made.otherRelease = f + "/other-release.exe";
        if (Pack("pack --stub " + Quote(world.stub) + " --key " + Quote(world.key) + " --msi " +
                 Quote(f + "/old/old.msi") + " -o " + Quote(made.otherRelease))
                .exitCode != 0)
            throw std::runtime_error("pack failed for the other release");
        const Bytes other = fixtures::ReadFileBytes(made.otherRelease);
        const std::vector<Bytes> otherItems = fixtures::ContainerItems(other, other.size());
        Bytes otherContainer;
        for (const Bytes &item : otherItems)
            otherContainer.insert(otherContainer.end(), item.begin(), item.end());
        const Bytes good = fixtures::ReadFileBytes(made.good);
        made.injected = f + "/injected.exe";
        fixtures::WriteFileBytes(made.injected,
                                 fixtures::AddCertificates(good, {fixtures::CarrierCertificate(otherContainer)}));
        made.appendedContainer = f + "/appended-container.exe";
        fixtures::WriteFileBytes(made.appendedContainer, fixtures::EmbedBehindSignature(good, otherContainer));
        // The first release's directory, the other's items under the same ids.
        Bytes splicedContainer = fixtures::ContainerItems(good, fixtures::ContainerEndBeforeTable(good)).front();
        for (std::size_t i = 1; i < otherItems.size(); ++i)
            splicedContainer.insert(splicedContainer.end(), otherItems[i].begin(), otherItems[i].end());
        made.spliced = f + "/spliced.exe";
        fixtures::WriteFileBytes(made.spliced,
                                 fixtures::AddCertificates(fixtures::ReadFileBytes(world.signedStub),
                                                           {fixtures::CarrierCertificate(splicedContainer)}));
        made.unbound = Sign(world, Handmade(world, world.stub, "cab\\1000\\data.cab", f + "/unbound-unsigned.exe"),
                            f + "/unbound.exe");
        return made;
    }();
    return installers;
}

struct VerifyCase {
    const char *name;
    std::string Installers::*file;
    // %OWN%, %TEST%, %KEY%, %KEYNAME%, %OTHERKEY%, %SIGNER%, %OTHERSIGNER%, %CA%, %OTHERCA%,
    // %SERVERCA%, %ROOTS% and %SHA1ROOTS% are filled in
    const char *arguments;
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
    {"other_key_file", &Installers::good, "--key %OTHERKEY%", 1, "the installer's key is %OWN%, not the expected"},
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
    {"appended_bytes", &Installers::appended, "--key %KEY%", 1,
     "24 bytes are appended after the certificate table, outside what the signature covers"},
    // A slot exponent of 1 is the launcher's damaged key, whichever key verify is told to trust.
    {"exponent_one_with_key_file", &Installers::exponentOne, "--key %KEY%", 1,
     "its key slot is damaged (exponent 1, not 65537): the launcher refuses every payload"},
    {"exponent_one_with_fingerprint", &Installers::exponentOne, "--expect-key %OWN%", 1,
     "its key slot is damaged (exponent 1, not 65537)"},
    {"exponent_one_trusting_the_file", &Installers::exponentOne, "--trust-file-key", 1,
     "its key slot is damaged (exponent 1, not 65537)"},
    // The signer and its chain.
    {"own_signer", &Installers::good, "--key %KEY% --expect-signer %SIGNER%", 0,
     ": signer /CN=Launcher test signer %SIGNER%"},
    {"another_signer", &Installers::exponentOne, "--key %KEY% --expect-signer %SIGNER%", 1,
     "the signer is /CN=someone else %OTHERSIGNER%, not the expected %SIGNER%"},
    {"no_signer", &Installers::unsigned_, "--key %KEY% --allow-unsigned --expect-signer %SIGNER%", 1,
     "the file has no signer, not the expected %SIGNER%"},
    {"chain_to_the_ca_file", &Installers::good, "--key %KEY% --ca-file %CA%", 0,
     ": chain valid to /CN=Launcher test signer at the current time (revocation not checked)"},
    {"chain_not_reaching_the_ca_file", &Installers::good, "--key %KEY% --ca-file %OTHERCA%", 1,
     "the signer's chain does not reach --ca-file at the current time"},
    {"signer_not_for_code_signing", &Installers::serverSigned, "--key %KEY% --ca-file %SERVERCA%", 1,
     "the signer's chain does not allow code signing: the signer certificate's extended key usage does not name "
     "it"},
    {"missing_ca_file", &Installers::good, "--key %KEY% --ca-file %FILE%.missing %FILE%", 3, "no such file"},
    // A chain as Windows judges it: a usage holds only where every certificate allows it.
    {"under_a_code_signing_ca", &Installers::underCodeSigningCa, "--key %KEY% --ca-file %ROOTS%", 0,
     ": chain valid to /CN=Test root CA at the current time"},
    {"under_a_code_signing_ca_strict", &Installers::underCodeSigningCa, "--strict --key %KEY% --ca-file %ROOTS%", 0,
     ": strict policy: no certificate of the chain may be signed with MD5 or SHA-1: met (none is)"},
    {"under_a_server_only_ca", &Installers::underServerCa, "--key %KEY% --ca-file %ROOTS%", 1,
     "the signer's chain does not allow code signing: the extended key usage of /CN=Test server CA, a CA in it, "
     "names neither code signing nor any purpose"},
    {"under_a_server_only_ca_strict", &Installers::underServerCa, "--strict --key %KEY% --ca-file %ROOTS%", 1,
     "the extended key usage of /CN=Test server CA, a CA in it, names neither code signing nor any purpose"},
    // The strict policy: reported always, a failure only with --strict.
    {"leaf_without_a_usage", &Installers::leafWithoutUsage, "--key %KEY% --ca-file %ROOTS%", 0,
     ": strict policy (not enforced without --strict): the signer certificate must name code signing in its "
     "extended key usage: not met (it has no extended key usage)"},
    {"leaf_without_a_usage_strict", &Installers::leafWithoutUsage, "--strict --key %KEY% --ca-file %ROOTS%", 1,
     "--strict: the signer certificate must name code signing in its extended key usage: it has no extended key "
     "usage"},
    {"leaf_that_is_a_ca", &Installers::leafThatIsACa, "--key %KEY% --ca-file %ROOTS%", 0, ": verified"},
    {"leaf_that_is_a_ca_strict", &Installers::leafThatIsACa, "--strict --key %KEY% --ca-file %ROOTS%", 1,
     "--strict: the signer certificate must not be a CA: it is a CA (basic constraints CA:TRUE)"},
    {"leaf_that_is_a_ca_strict_without_roots", &Installers::leafThatIsACa, "--strict --key %KEY%", 1,
     "--strict: the signer certificate must not be a CA"},
    {"leaf_signed_with_sha1", &Installers::leafSignedWithSha1, "--key %KEY% --ca-file %ROOTS%", 0, ": verified"},
    {"leaf_signed_with_sha1_strict", &Installers::leafSignedWithSha1, "--strict --key %KEY% --ca-file %ROOTS%", 1,
     "--strict: no certificate of the chain may be signed with MD5 or SHA-1: /CN=Test signer signed with SHA-1 with "
     "sha1WithRSAEncryption"},
    // Without roots, the chain is what the signature carries.
    {"leaf_signed_with_sha1_strict_without_roots", &Installers::leafSignedWithSha1, "--strict --key %KEY%", 1,
     "/CN=Test signer signed with SHA-1 with sha1WithRSAEncryption"},
    {"leaf_signed_with_md5", &Installers::leafSignedWithMd5, "--key %KEY% --ca-file %ROOTS%", 0, ": verified"},
    {"leaf_signed_with_md5_strict", &Installers::leafSignedWithMd5, "--strict --key %KEY% --ca-file %ROOTS%", 1,
     "/CN=Test signer signed with MD5 with md5WithRSAEncryption"},
    // A root's signature on itself vouches for nothing, so a SHA-1 one is no weakness.
    {"under_a_sha1_root_strict", &Installers::underSha1Root, "--strict --key %KEY% --ca-file %SHA1ROOTS%", 0,
     ": verified"},
    {"md5_digests", &Installers::md5Digests, "--key %KEY% --ca-file %ROOTS%", 0, ": Authenticode: valid (MD5, "},
    {"md5_digests_strict", &Installers::md5Digests, "--strict --key %KEY% --ca-file %ROOTS%", 1,
     "--strict: the PE image digest must be SHA-256, SHA-384 or SHA-512: it is MD5"},
    {"md5_signer_digest_strict", &Installers::md5Digests, "--strict --key %KEY%", 1,
     "--strict: the signer's digest must be SHA-256, SHA-384 or SHA-512: it is MD5"},
    {"sha1_digests", &Installers::sha1Digests, "--key %KEY% --ca-file %ROOTS%", 0, ": verified"},
    {"sha1_digests_strict", &Installers::sha1Digests, "--strict --key %KEY% --ca-file %ROOTS%", 1,
     "--strict: the PE image digest must be SHA-256, SHA-384 or SHA-512: it is SHA1"},
    {"sha512_digests_strict", &Installers::sha512Digests, "--strict --key %KEY% --ca-file %ROOTS%", 0,
     ": strict policy: the PE image digest must be SHA-256, SHA-384 or SHA-512: met (it is SHA512)"},
    // The key is the one in the slot, whatever else the image holds.
    {"decoy_beside_the_slot", &Installers::decoy, "--expect-key %OWN%", 0, ": key %OWN% "},
    {"decoy_is_not_the_key", &Installers::decoy, "--expect-key %TEST%", 1,
     "the installer's key is %OWN%, not the expected %TEST% (--expect-key)"},
    {"refused_cabinet_name", &Installers::refusedName, "--key %KEY% --allow-unsigned", 1,
     "cabinet name \"aux.cab\" is one the launcher refuses"},
    {"refused_cabinet_name_any_case", &Installers::refusedCase, "--key %KEY% --allow-unsigned", 1,
     "cabinet name \"aux.cab\" is one the launcher refuses"},
    {"test_key", &Installers::testKey, "--expect-key %TEST%", 1, "the TEST-ONLY key"},
    {"test_key_allowed", &Installers::testKey, "--expect-key %TEST% --allow-test-key", 0, ": verified"},
    {"empty_slot", &Installers::emptySlot, "--trust-file-key --allow-unsigned", 1,
     "no key set (run launcher-pack stub)"},
    {"dual_signed_stub", &Installers::dualSigned, "--expect-key %OWN%", 0, ": verified"},
    // The nested signature is reported, not pinned.
    {"nested_signature_reported", &Installers::dualSigned, "--expect-key %OWN% --expect-signer %SIGNER%", 0,
     ": nested signature valid (SHA256, signed by /CN=Launcher test signer) %SIGNER%"},
    {"missing_file", &Installers::good, "--key %KEY% %FILE%.missing", 3, "no such file"},
    {"unreadable_key", &Installers::good, "--key %FILE%.missing %FILE%", 3, "no such file"},
    {"ec_key", &Installers::good, "--key %ECKEY%", 3, "not an RSA key"},
    {"malformed_fingerprint", &Installers::good, "--expect-key SHA256:abc", 2, "give SHA256: and 64 hex digits"},
    // Every pin given holds: two that name different keys are a usage error, two that agree
    // are both checked.
    {"key_and_its_fingerprint", &Installers::good, "--key %KEY% --expect-key %OWN%", 0,
     ": expected key %OWN% (the key of --key %KEYNAME% and --expect-key)"},
    {"key_and_another_fingerprint", &Installers::good,
     "--key %KEY% --expect-key SHA256:0000000000000000000000000000000000000000000000000000000000000000", 2,
     "--key %KEYNAME% is %OWN%, but --expect-key names SHA256:0000"},
    {"fingerprint_and_another_key", &Installers::good, "--expect-key %OWN% --key %OTHERKEY%", 2,
     "but --expect-key names %OWN%: give the one key the installer must carry"},
    {"key_and_fingerprint_agree_on_another_key", &Installers::testKey,
     "--key %KEY% --expect-key %OWN% --allow-test-key", 1,
     "the installer's key is %TEST%, not the expected %OWN% (the key of --key %KEYNAME% and --expect-key)"},
    {"trust_file_key_and_its_own_key", &Installers::good, "--trust-file-key --key %KEY%", 0,
     ": expected key %OWN% (the key of --key %KEYNAME%)\n"},
    {"trust_file_key_and_another_fingerprint", &Installers::good, "--trust-file-key --expect-key %TEST%", 2,
     "--trust-file-key trusts the installer's own key %OWN%, but --expect-key names %TEST%"},
    {"trust_file_key_and_another_key", &Installers::testKey, "--trust-file-key --key %KEY% --allow-test-key", 2,
     "--trust-file-key trusts the installer's own key %TEST%, but the key of --key %KEYNAME% names %OWN%"},
    // The payload under the signature comes first; what else the file holds is reported and ignored.
    {"signed_payload_bound", &Installers::good, "--key %KEY% --strict --require-signed-payload", 0,
     ": items bound to the directory: yes"},
    {"injected_carrier", &Installers::injected, "--key %KEY%", 0, ": carriers outside the signature, ignored"},
    {"injected_carrier_installs_the_signed_release", &Installers::injected, "--key %KEY%", 0,
     ": locale 1033 installs {0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61} Launcher Example: main.msi"},
    {"injected_carrier_strict", &Installers::injected, "--key %KEY% --strict", 1,
     "--strict: carriers outside the signature, ignored: the file holds a payload"},
    {"injected_carrier_signed_payload_required", &Installers::injected, "--key %KEY% --require-signed-payload", 1,
     "--require-signed-payload: carriers outside the signature, ignored"},
    {"appended_container", &Installers::appendedContainer, "--key %KEY%", 0,
     ": a container behind the signature object, ignored"},
    {"appended_container_strict", &Installers::appendedContainer, "--key %KEY% --strict", 1,
     "--strict: a container behind the signature object, ignored"},
    {"spliced_items", &Installers::spliced, "--key %KEY%", 1,
     "item 1000 is not the output the signed directory binds to it: it is from another release"},
    {"spliced_items_cabinet", &Installers::spliced, "--key %KEY%", 1,
     "item 1001 is not the output the signed directory binds to it"},
    {"no_bindings", &Installers::unbound, "--key %KEY%", 0, ": items bound to the directory: no"},
    {"no_bindings_strict", &Installers::unbound, "--key %KEY% --strict", 1,
     "--strict: the items are not bound to the package directory"},
    // Under --require-signed-payload only an installer signed last passes.
    {"certificate_placement_signed_payload_required", &Installers::goodCertificate,
     "--key %KEY% --require-signed-payload", 1,
     "--require-signed-payload: the payload is not under the Authenticode signature"},
    {"certificate_placement_strict", &Installers::goodCertificate, "--key %KEY% --strict", 0,
     ": items bound to the directory: yes"},
    {"end_placement_signed_payload_required", &Installers::goodEnd, "--key %KEY% --require-signed-payload", 1,
     "--require-signed-payload: the payload is not under the Authenticode signature"},
    {"unsigned_signed_payload_required", &Installers::unsigned_, "--key %KEY% --require-signed-payload", 1,
     "has no Authenticode signature: sign %FILE% with"},
    {"unsigned_allowed_signed_payload_required", &Installers::unsigned_,
     "--key %KEY% --allow-unsigned --require-signed-payload", 2,
     "--require-signed-payload and --allow-unsigned contradict each other"},
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
            text = Filled(text, "%KEYNAME%", world.publicKey);
            text = Filled(text, "%KEY%", Quote(world.publicKey));
            text = Filled(text, "%OTHERKEY%", Quote(fixtures::FixturePath("test-signer-key.pem")));
            text = Filled(text, "%ECKEY%", Quote(ecKey));
            text = Filled(text, "%SIGNER%", CertificateFingerprint(world.signerCertificate));
            text = Filled(text, "%OTHERSIGNER%", CertificateFingerprint(installers.otherSigner));
            text = Filled(text, "%CA%", Quote(world.signerCertificate));
            text = Filled(text, "%OTHERCA%", Quote(installers.otherSigner));
            text = Filled(text, "%SERVERCA%", Quote(installers.serverCertificate));
            text = Filled(text, "%ROOTS%", Quote(installers.roots));
            text = Filled(text, "%SHA1ROOTS%", Quote(installers.sha1Roots));
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

// One cause is one problem: another key is not also a signature that does not verify.
TEST(Verify, AnotherKeyIsOneProblemNamingBothKeys)
{
    const World &world = TheWorld();
    const std::string other = FreshFolder("other-key") + "/other";
    ASSERT_EQ(Pack("keygen --out " + Quote(other)).exitCode, 0);
    RunResult verified = Pack("verify --key " + Quote(other + ".pub.pem") + " " + Quote(TheInstallers().good));
    EXPECT_EQ(verified.exitCode, 1);
    EXPECT_EQ(std::count(verified.err.begin(), verified.err.end(), '\n'), 1) << verified.err;
    EXPECT_NE(verified.err.find("the installer's key is " + Fingerprint(world.publicKey) + ", not the expected " +
                                Fingerprint(other + ".pub.pem")),
              std::string::npos)
        << verified.err;
    EXPECT_NE(verified.out.find(": expected key " + Fingerprint(other + ".pub.pem")), std::string::npos)
        << verified.out;
}

// A pipeline that reads the JSON of verify or inspect gets an object whatever the exit code, a
// usage error included, with an error member when the command could not run.
TEST(Verify, JsonIsAnObjectOnEveryExitCode)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("verify-json-codes");
    const struct {
        const char *arguments;
        int exitCode;
        const char *error; // the error member's value, or "None"
    } cases[] = {
        {"verify --json --key %KEY% %GOOD%", 0, "None"},
        {"verify --json --key %KEY% %APPENDED%", 1, "None"},
        {"verify --json %GOOD%", 2, "verify needs the key to trust"},
        {"verify --json --key %KEY% %FOLDER%", 3, "is a folder"},
        {"verify --json --key %KEY% %FOLDER%/missing.exe", 3, "no such file"},
        // Usage errors the parser finds, the file named or not.
        {"verify --json --strict --key %KEY% %APPENDED% --version", 2, "unknown option --version of verify"},
        {"verify --json --key %KEY% %GOOD% --help", 2, "--help prints help and checks nothing"},
        {"verify --json --key %KEY% --colour %GOOD%", 2, "unknown option --colour of verify"},
        {"verify --json --key", 2, "--key"},
        {"inspect --json %GOOD%", 0, "None"},
        {"inspect --json %GOOD% --version", 2, "unknown option --version of inspect"},
        {"inspect --json %FOLDER%/missing.exe", 3, "no such file"},
    };
    for (const auto &item : cases) {
        SCOPED_TRACE(item.arguments);
        std::string arguments = Filled(item.arguments, "%KEY%", Quote(world.publicKey));
        arguments = Filled(arguments, "%GOOD%", Quote(TheInstallers().good));
        arguments = Filled(arguments, "%APPENDED%", Quote(TheInstallers().appended));
        arguments = Filled(arguments, "%FOLDER%", Quote(folder));
        RunResult result = Pack(arguments);
        EXPECT_EQ(result.exitCode, item.exitCode) << result.err;
        const std::string json = folder + "/result.json";
        fixtures::WriteFileBytes(json, Bytes(result.out.begin(), result.out.end()));
        RunResult parsed = RunCommand("python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); "
                                      "print(d[\"format\"], d.get(\"exitCode\"), d.get(\"verified\"), "
                                      "d.get(\"error\"))' " +
                                      Quote(json));
        ASSERT_EQ(parsed.exitCode, 0) << parsed.err << result.out;
        const std::string verified = std::string(item.arguments).rfind("verify", 0) != 0 ? "None"
                                     : item.exitCode == 0                                ? "True"
                                                                                         : "False";
        // A result has no exit code member; an error names its exit code.
        const std::string exitCode = std::string(item.error) == "None" ? "None" : std::to_string(item.exitCode);
        EXPECT_EQ(parsed.out.rfind("1 " + exitCode + " " + verified + " ", 0), 0u) << parsed.out;
        EXPECT_NE(parsed.out.find(item.error), std::string::npos) << parsed.out;
    }
}

// An input that can't be read, in any role, is exit code 3 and one line that says why.
TEST(ExitCodes, AFolderOrAMissingFileInEachRoleIsExitCode3)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("unreadable-inputs");
    const std::string output = folder + "/out";
    const struct {
        const char *role;
        const char *command; // %X% is the input that can't be read
    } roles[] = {
        {"pack_stub", "pack --stub %X% --key %KEY% --msi %MSI% -o %OUT%"},
        {"pack_key", "pack --stub %STUB% --key %X% --msi %MSI% -o %OUT%"},
        {"pack_passphrase_file", "pack --stub %STUB% --key %KEY% --pass file:%X% --msi %MSI% -o %OUT%"},
        {"pack_msi", "pack --stub %STUB% --key %KEY% --msi %X% -o %OUT%"},
        {"stub_stub", "stub --stub %X% --key %PUB% -o %OUT%"},
        {"stub_key", "stub --stub %READY% --key %X% -o %OUT%"},
        {"verify_file", "verify --key %PUB% %X%"},
        {"verify_key", "verify --key %X% %SETUP%"},
        {"verify_ca_file", "verify --key %PUB% --ca-file %X% %SETUP%"},
        {"inspect_file", "inspect %X%"},
        {"extract_file", "extract %X% -o %OUT%"},
        {"extract_key", "extract --key %X% %SETUP% -o %OUT%"},
    };
    const std::string aFolder = folder + "/a folder";
    std::filesystem::create_directory(aFolder);
    for (const auto &role : roles) {
        for (const auto &[input, says] :
             {std::pair{aFolder, ": is a folder"}, {folder + "/missing", ": no such file"}}) {
            SCOPED_TRACE(std::string(role.role) + says);
            std::string command = Filled(role.command, "%X%", Quote(input));
            command = Filled(command, "%KEY%", Quote(world.key));
            command = Filled(command, "%PUB%", Quote(world.publicKey));
            command = Filled(command, "%STUB%", Quote(world.signedStub));
            command = Filled(command, "%READY%", Quote(world.readyStub));
            command = Filled(command, "%MSI%", Quote(world.en));
            command = Filled(command, "%SETUP%", Quote(TheInstallers().good));
            command = Filled(command, "%OUT%", Quote(output));
            ExpectRefusal(Pack(command), input + says, 3);
            EXPECT_FALSE(std::filesystem::exists(output));
        }
    }
}

// extract never writes over its input, by whatever name: a link of the installer where a
// package file would go is refused, and nothing is written.
TEST(Extract, RefusesToWriteOverItsOwnInput)
{
    const World &world = TheWorld();
    const std::string folder = FreshFolder("extract-onto-input");
    const std::string installer = folder + "/setup.exe";
    std::filesystem::copy_file(TheInstallers().good, installer);
    const Bytes before = fixtures::ReadFileBytes(installer);
    std::filesystem::create_hard_link(installer, folder + "/main.msi");
    std::filesystem::copy_file(world.publicKey, folder + "/shared.cab");

    for (const char *key : {"", " --key shared.cab"}) {
        SCOPED_TRACE(key);
        RunResult extracted =
            RunCommand("cd " + Quote(folder) + " && " + LauncherPack() + " extract setup.exe -o . " + "--force" + key);
        ExpectRefusal(extracted, "./main.msi: is the input setup.exe, which is never overwritten", 2);
        EXPECT_EQ(fixtures::ReadFileBytes(installer), before);
        EXPECT_EQ(ListFolder(folder), (std::vector<std::string>{"main.msi", "setup.exe", "shared.cab"}));
    }
    // The key too: extract into a folder where the key has a cabinet's name.
    std::filesystem::remove(folder + "/main.msi");
    RunResult extracted = RunCommand("cd " + Quote(folder) + " && " + LauncherPack() +
                                     " extract setup.exe --key shared.cab -o . --force");
    ExpectRefusal(extracted, "./shared.cab: is the input shared.cab", 2);
    EXPECT_EQ(ListFolder(folder), (std::vector<std::string>{"setup.exe", "shared.cab"}));
}

// A signer certificate that expired long ago holds at the time of an RFC 3161 time-stamp, but
// only once the token, its imprint and its authority's chain to the roots verify; else the chain
// is checked now, and fails.
TEST(Verify, AChainIsCheckedAtTheTimeOfAVerifiedTimeStampOnly)
{
    const World &world = TheWorld();
    const std::string f = FreshFolder("time-stamp");
    fixtures::WriteFileBytes(f + "/index.txt", {});
    const std::string serial = "01\n";
    fixtures::WriteFileBytes(f + "/serial", Bytes(serial.begin(), serial.end()));
    const std::string config = "[ca]\ndefault_ca = signer\n[signer]\ndatabase = index.txt\nnew_certs_dir = .\n"
                               "serial = serial\ndefault_md = sha256\npolicy = any\nx509_extensions = signing\n"
                               "[any]\ncommonName = supplied\n[signing]\nextendedKeyUsage = codeSigning\n"
                               "[req]\ndistinguished_name = name\n[name]\n";
    fixtures::WriteFileBytes(f + "/ca.cnf", Bytes(config.begin(), config.end()));
    // A signer of 2020 only, and a time-stamp authority valid now.
    ASSERT_EQ(RunCommand("cd " + Quote(f) +
                         " && openssl req -new -newkey rsa:2048 -nodes -subj '/CN=signer of 2020' -keyout "
                         "signer-key.pem -out signer.csr -config ca.cnf 2>/dev/null && openssl ca -batch -config "
                         "ca.cnf -selfsign -keyfile signer-key.pem -in signer.csr -startdate 20200101000000Z "
                         "-enddate 20210101000000Z -out signer.pem 2>/dev/null && openssl req -x509 -newkey "
                         "rsa:2048 -nodes -sha256 -days 3650 -subj '/CN=test time-stamp authority' -addext "
                         "extendedKeyUsage=critical,timeStamping -keyout tsa-key.pem -out tsa.pem 2>/dev/null && "
                         "cat signer.pem tsa.pem >roots.pem")
                  .exitCode,
              0);
    // The stamped stub is signed through a time-stamp authority of the test's own, on this machine.
    auto packSignedStub = [&](const std::string &name, bool stamped) {
        const std::string stub = f + "/" + name + "-stub.exe";
        const std::string sign = std::string(OSSLSIGNCODE) + " sign -certs " + Quote(f + "/signer.pem") + " -key " +
                                 Quote(f + "/signer-key.pem") + " -h sha256 " + (stamped ? "-ts '{URL}' " : "") +
                                 "-in " + Quote(world.stub) + " -out " + Quote(stub);
        RunResult signedStub =
            RunCommand(stamped ? "python3 " + Quote(TEST_SOURCE_DIR "/tests/packer/time_stamp_authority.py") + " " +
                                     Quote(f + "/tsa.pem") + " " + Quote(f + "/tsa-key.pem") + " 1590969600 -- " + sign
                               : sign);
        EXPECT_EQ(signedStub.exitCode, 0) << signedStub.out << signedStub.err;
        const std::string installer = f + "/" + name + ".exe";
        EXPECT_EQ(Pack("pack --stub " + Quote(stub) + " --key " + Quote(world.key) + " --msi " + Quote(world.en) +
                       " -o " + Quote(installer))
                      .exitCode,
                  0);
        return installer;
    };
    // Stamped 2020-06-01, when the signer was valid.
    const std::string stamped = packSignedStub("stamped", true);
    const std::string plain = packSignedStub("plain", false);

    const struct {
        const char *name;
        std::string file;
        const char *roots;
        int exitCode;
        const char *says;
    } cases[] = {
        {"stamped", stamped, "roots.pem", 0, ": chain valid to /CN=signer of 2020 at the time-stamp's time"},
        {"authority_not_among_the_roots", stamped, "signer.pem", 1,
         "the time-stamp does not verify (its signature, imprint or authority's chain): checked at the current "
         "time"},
        {"not_stamped", plain, "roots.pem", 1,
         "the signer's chain does not reach --ca-file at the current time: certificate has expired"},
    };
    for (const auto &item : cases) {
        SCOPED_TRACE(item.name);
        RunResult verified = Pack("verify --key " + Quote(world.publicKey) + " --ca-file " +
                                  Quote(f + "/" + item.roots) + " " + Quote(item.file));
        EXPECT_EQ(verified.exitCode, item.exitCode) << verified.out << verified.err;
        EXPECT_NE((verified.out + verified.err).find(item.says), std::string::npos) << verified.out << verified.err;
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
// signature), payload (change a byte of the last item's signature), padding (change a byte in
// front of the head item: a zero byte of the padding where there is one), unalign (take the
// padding in front of the head item out, as packers did before it was added).
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
                // A payload whose length is a multiple of 8 has no padding: the stub's last byte
                // is in front of the head item as well, and as unread by the launcher.
                image[image[stubSize] == 0 ? stubSize : stubSize - 1] ^= 0x5A;
            } else if (step == "unalign") {
                // Such a payload is already as packers made it before the padding.
                std::size_t padding = 0;
                while (padding < 8 && image[stubSize + padding] == 0)
                    ++padding;
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

// What inspect and extract make of the forged installers: extract writes the signed release and
// says what it ignored, and writes nothing of items that are not the ones their directory binds.
TEST(Extract, TakesTheSignedPayloadAndRefusesItemsOfAnotherRelease)
{
    const World &world = TheWorld();
    const Installers &installers = TheInstallers();
    const std::string folder = FreshFolder("forged-extract");
    const struct {
        const char *name;
        std::string Installers::*file;
        const char *inspectSays;
        int extractExitCode;
        const char *extractSays; // on standard error
    } cases[] = {
        {"injected carrier", &Installers::injected, "\ncarriers outside the signature, ignored\n", 0,
         "warning: %FILE%: carriers outside the signature, ignored"},
        {"appended container", &Installers::appendedContainer, "\na container behind the signature object, ignored\n",
         0, "warning: %FILE%: a container behind the signature object, ignored"},
        {"spliced items", &Installers::spliced, "valid signature, but it is not the output the signed directory binds",
         1, "item 1000 is not the output the signed directory binds to it"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = installers.*c.file;
        // The forgery keeps the Authenticode signature: only the lookup's order and the bindings stop it.
        RunResult authenticode = RunCommand(std::string(OSSLSIGNCODE) + " verify -CAfile " +
                                            Quote(world.signerCertificate) + " -in " + Quote(file));
        EXPECT_EQ(authenticode.exitCode, 0) << authenticode.out << authenticode.err;
        RunResult inspected = Pack("inspect " + Quote(file));
        EXPECT_NE(inspected.out.find(c.inspectSays), std::string::npos) << inspected.out;

        const std::string out = folder + "/" + c.name;
        RunResult extracted = Pack("extract " + Quote(file) + " -o " + Quote(out));
        EXPECT_EQ(extracted.exitCode, c.extractExitCode) << extracted.err;
        EXPECT_NE(extracted.err.find(Filled(c.extractSays, "%FILE%", file)), std::string::npos) << extracted.err;
        if (c.extractExitCode == 0) {
            EXPECT_EQ(fixtures::ReadFileBytes(out + "/main.msi"), fixtures::ReadFileBytes(world.en));
        } else {
            EXPECT_FALSE(std::filesystem::exists(out + "/main.msi"));
        }
    }
}

// verify's JSON names what it found beside the payload, whether the items are bound, and whether
// the signed payload was required.
TEST(Verify, JsonSaysWhatWasIgnoredAndWhetherItemsAreBound)
{
    const World &world = TheWorld();
    const Installers &installers = TheInstallers();
    const std::string folder = FreshFolder("verify-json-bound");
    const struct {
        std::string Installers::*file;
        const char *options;
        const char *expected; // ignored, itemsBound, requireSignedPayload, verified
    } cases[] = {
        {&Installers::good, "--require-signed-payload", "[] True True True"},
        {&Installers::injected, "", "['carriers outside the signature, ignored'] True False True"},
        {&Installers::appendedContainer, "", "['a container behind the signature object, ignored'] True False True"},
        {&Installers::unbound, "", "[] False False True"},
        {&Installers::spliced, "", "[] False False False"},
    };
    for (const auto &c : cases) {
        const std::string file = installers.*c.file;
        SCOPED_TRACE(file);
        RunResult verified =
            Pack("verify --json --key " + Quote(world.publicKey) + " " + c.options + " " + Quote(file));
        const std::string json = folder + "/verify.json";
        fixtures::WriteFileBytes(json, Bytes(verified.out.begin(), verified.out.end()));
        RunResult fields = RunCommand("python3 -c 'import json, sys; d = json.load(open(sys.argv[1])); "
                                      "print(d[\"ignored\"], d[\"itemsBound\"], d[\"requireSignedPayload\"], "
                                      "d[\"verified\"])' " +
                                      Quote(json));
        EXPECT_EQ(fields.out, std::string(c.expected) + "\n") << verified.out << fields.err;
    }
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
    RunResult parsed =
        RunCommand("python3 -c 'import json, sys; d = json.loads(open(sys.argv[1], \"rb\").read()"
                   ".decode(\"utf-8\")); print(d[\"format\"]); print(ascii(d[\"file\"].rsplit(\"/\", 1)[1]))' " +
                   Quote(json));
    ASSERT_EQ(parsed.exitCode, 0) << parsed.err << inspected.out;
    EXPECT_EQ(parsed.out, "1\n'caf\\xe9-\\x80-caf\\xe9-\".exe'\n");
}

} // namespace
} // namespace packer_test
