#include "tests/packer/packer_test_support.h"

#include "packer/keys/pem_key.h"
#include "packer/keys/payload_key.h"
#include "payload/payload_format.h"
#include "tests/fixtures/fixtures.h"

#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>

namespace packer_test {

namespace fs = std::filesystem;

namespace {

const std::string testRoot = TEST_BINARY_DIR "/packer-test";

void Require(const RunResult &result, const std::string &what)
{
    if (result.exitCode != 0)
        throw std::runtime_error(what + " failed: " + result.err + result.out);
}

World MakeWorld()
{
    World world;
    world.folder = testRoot + "/world";
    fs::remove_all(world.folder);
    fs::create_directories(world.folder);

    Require(Pack("keygen --out " + Quote(world.folder + "/key")), "keygen");
    world.key = world.folder + "/key.pem";
    world.publicKey = world.folder + "/key.pub.pem";
    packer::Bytes blob = packer::PublicKeyBlob(packer::LoadKey({world.publicKey, ""}).get(), world.publicKey);

    world.stub = world.folder + "/stub.exe";
    BuildStub(blob, world.folder, world.stub);
    world.testKey = TEST_SOURCE_DIR "/tests/keys/TEST-ONLY-payload-signing-key.pem";
    world.testStub = world.folder + "/test-key-stub.exe";
    BuildStub(packer::PublicKeyBlob(packer::LoadKey({world.testKey, ""}).get(), world.testKey), world.folder,
              world.testStub);
    world.readyStub = world.folder + "/ready-stub.exe";
    BuildReadyStub(world.folder, world.readyStub);
    world.signerCertificate = fixtures::FixturePath("test-signer.pem");
    world.signedStub = world.folder + "/stub-signed.exe";
    Require(RunCommand(std::string(OSSLSIGNCODE) + " sign -certs " + Quote(world.signerCertificate) + " -key " +
                       Quote(fixtures::FixturePath("test-signer-key.pem")) + " -h sha256 -in " + Quote(world.stub) +
                       " -out " + Quote(world.signedStub)),
            "signing the stub");

    const std::string packages = world.folder + "/packages";
    PackageSource en;
    en.cabinet = "shared.cab";
    BuildPackage(packages, "en", en);
    PackageSource de = en;
    de.language = "1031";
    de.productName = "Beispiel";
    de.productCode = "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B62}";
    BuildPackage(packages, "de", de);
    PackageSource fr;
    fr.language = "1036";
    fr.productName = "Exemple";
    fr.productCode = "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B63}";
    fr.cabinet = "fr.cab";
    fr.payloadText = "Bonjour de l'exemple.\n";
    BuildPackage(packages, "fr", fr);
    world.en = packages + "/en.msi";
    world.de = packages + "/de.msi";
    world.fr = packages + "/fr.msi";
    world.sharedCabinet = packages + "/shared.cab";
    world.frCabinet = packages + "/fr.cab";
    return world;
}

} // namespace

void BuildStub(const Bytes &blob, const std::string &folder, const std::string &path, const Bytes &decoy)
{
    auto array = [](const char *name, const Bytes &bytes) {
        std::string text = std::string("static const unsigned char ") + name + "[] = {";
        for (std::uint8_t byte : bytes)
            text += std::to_string(byte) + ",";
        return text + "0};\n";
    };
    Bytes slot(std::begin(PayloadKeySlotMarker), std::end(PayloadKeySlotMarker));
    slot.insert(slot.end(), blob.begin(), blob.end());
    std::string source = array("decoy", decoy) + array("payloadKeySlot", slot) +
                         "const unsigned char *volatile keyInUse;\nvoid Start(void) { keyInUse = decoy; keyInUse = "
                         "payloadKeySlot; }\n";
    std::string sourcePath = folder + "/stub.c";
    fixtures::WriteFileBytes(sourcePath, Bytes(source.begin(), source.end()));
    Require(RunCommand(std::string(MINGW_GCC) + " -Os -s -nostdlib -Wl,-e,Start -o " + Quote(path) + " " +
                       Quote(sourcePath)),
            "building the stub");
}

void BuildReadyStub(const std::string &folder, const std::string &path)
{
    BuildStub(Bytes(PayloadPublicKeySize, 0), folder, path);
}

RunResult RunCommand(const std::string &command)
{
    fs::create_directories(testRoot);
    const std::string out = testRoot + "/run.out";
    const std::string err = testRoot + "/run.err";
    int status = std::system(("(" + command + ") >" + Quote(out) + " 2>" + Quote(err) + " </dev/null").c_str());
    RunResult result{WIFEXITED(status) ? WEXITSTATUS(status) : -1, ReadText(out), ReadText(err)};
    return result;
}

const std::string &LauncherPack()
{
    static const std::string command = [] {
        const char *other = std::getenv("LAUNCHER_PACK_UNDER_TEST");
        return other && *other ? std::string(other) : Quote(LAUNCHER_PACK);
    }();
    return command;
}

RunResult Pack(const std::string &arguments)
{
    return RunCommand(LauncherPack() + " " + arguments);
}

std::string Filled(std::string text, const std::string &name, const std::string &value)
{
    for (std::size_t at; (at = text.find(name)) != std::string::npos;)
        text.replace(at, name.size(), value);
    return text;
}

std::string ReadText(const std::string &path)
{
    Bytes bytes = fs::exists(path) ? fixtures::ReadFileBytes(path) : Bytes();
    return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> ListFolder(const std::string &folder)
{
    std::vector<std::string> names;
    for (const auto &entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string FreshFolder(const std::string &name)
{
    std::string folder = testRoot + "/" + name;
    fs::remove_all(folder);
    fs::create_directories(folder);
    return folder;
}

const World &TheWorld()
{
    static const World world = MakeWorld();
    return world;
}

void BuildPackage(const std::string &folder, const std::string &name, const PackageSource &source)
{
    fs::create_directories(folder);
    std::string payload = source.payloadFile;
    if (payload.empty()) {
        payload = folder + "/" + name + "-payload.txt";
        fixtures::WriteFileBytes(payload, Bytes(source.payloadText.begin(), source.payloadText.end()));
    }
    Require(RunCommand("EXAMPLE_LANGUAGE=" + Quote(source.language) + " EXAMPLE_PRODUCT_NAME=" +
                       Quote(source.productName) + " EXAMPLE_PRODUCT_CODE=" + Quote(source.productCode) +
                       " EXAMPLE_CABINET=" + Quote(source.cabinet) + " EXAMPLE_PAYLOAD=" + Quote(payload) +
                       (source.wixlTemplate ? " EXAMPLE_WIXL_TEMPLATE=1" : "") + " bash " +
                       Quote(TEST_SOURCE_DIR "/examples/build-example.sh") + " " + Quote(folder) + " " + Quote(name)),
            "building package " + name);
}

} // namespace packer_test

namespace packer_test {

std::string PackageWithRandomCabinet(const std::string &folder, const std::string &name, std::size_t bytes)
{
    PackageSource source;
    source.cabinet = name + ".cab";
    source.payloadFile = folder + "/" + name + "-random.bin";
    Require(RunCommand("head -c " + std::to_string(bytes) + " /dev/urandom > " + Quote(source.payloadFile)),
            "making a random file");
    BuildPackage(folder, name, source);
    fs::remove(source.payloadFile);
    return folder + "/" + name + ".msi";
}

std::string WarningLines(const std::string &err)
{
    std::string warnings;
    std::istringstream lines(err);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("launcher-pack: warning: ", 0) == 0)
            warnings += line + '\n';
    return warnings;
}

void ExpectRefusal(const RunResult &result, const std::string &message, int exitCode)
{
    EXPECT_EQ(result.exitCode, exitCode);
    EXPECT_EQ(result.err.rfind("launcher-pack: error: ", 0), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
    EXPECT_NE(result.err.find(message), std::string::npos) << result.err;
}

} // namespace packer_test
