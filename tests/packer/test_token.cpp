#include "tests/packer/test_token.h"

#include "tests/packer/packer_test_support.h"

#include <cstdlib>
#include <stdexcept>

namespace packer_test {

namespace {

void Require(const RunResult &result, const std::string &what)
{
    if (result.exitCode != 0)
        throw std::runtime_error(what + " failed: " + result.err + result.out);
}

TestToken MakeToken()
{
    TestToken token;
    token.folder = FreshFolder("token");
    token.module = SOFTHSM2_MODULE;
    const std::string config = token.folder + "/softhsm2.conf";
    Require(RunCommand("mkdir " + Quote(token.folder + "/tokens") + " && printf 'directories.tokendir = %s\\n" +
                       "objectstore.backend = file\\nlog.level = ERROR\\n' " + Quote(token.folder + "/tokens") + " >" +
                       Quote(config)),
            "writing the SoftHSM2 configuration");
    setenv("SOFTHSM2_CONF", config.c_str(), 1);
    token.pinFile = token.folder + "/pin";
    token.wrongPin = token.folder + "/wrong-pin";
    Require(RunCommand("echo 4711 >" + Quote(token.pinFile) + " && echo 1234 >" + Quote(token.wrongPin)), "PIN files");
    Require(RunCommand("softhsm2-util --init-token --free --label release --pin 4711 --so-pin 8642"),
            "making the token");

    const std::string tool =
        "pkcs11-tool --module " + Quote(token.module) + " --token-label release --login --pin 4711 ";
    const std::string testKey = TEST_SOURCE_DIR "/tests/keys/TEST-ONLY-payload-signing-key.pem";
    const std::string der = token.folder + "/key.der";
    const std::string publicDer = token.folder + "/public.der";
    Require(RunCommand("openssl pkey -in " + Quote(testKey) + " -outform DER -out " + Quote(der) +
                       " && openssl pkey -in " + Quote(testKey) + " -pubout -outform DER -out " + Quote(publicDer)),
            "converting the test key");
    Require(RunCommand(tool + "--write-object " + Quote(der) + " --type privkey --id 01 --label payload"),
            "importing the test key");
    Require(RunCommand(tool + "--write-object " + Quote(publicDer) + " --type pubkey --id 01 --label payload"),
            "importing its public half");
    RunCommand("rm " + Quote(der));
    Require(RunCommand(tool + "--keypairgen --key-type rsa:2048 --id 02 --label generated"), "generating a key");
    Require(RunCommand(tool + "--keypairgen --key-type rsa:3072 --id 03 --label large"), "generating a large key");

    token.otherKey = token.folder + "/other.pem";
    Require(RunCommand("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + Quote(token.otherKey)),
            "making another key");
    return token;
}

} // namespace

const TestToken &TheTestToken()
{
    static const TestToken token = MakeToken();
    return token;
}

std::string TokenUri(const std::string &rest)
{
    return "pkcs11:token=" + TheTestToken().label + ";" + rest;
}

} // namespace packer_test
