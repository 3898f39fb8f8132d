// What the packer's tests share: running commands, and the stubs, keys and packages they
// pack, made once per test program in a folder of its own.
#pragma once

#include "tests/fixtures/fixtures.h"
#include "writer/container_writer.h"

#include <string>
#include <vector>

namespace packer_test {

using writer::Bytes;

struct RunResult {
    int exitCode;
    std::string out;
    std::string err;
};

// Runs a shell command line, capturing both outputs.
RunResult RunCommand(const std::string &command);
// The command that runs the packer under test: launcher-pack of this build, or the command line in
// LAUNCHER_PACK_UNDER_TEST (launcher-pack.exe under Wine: tests/packer/windows-host.sh).
const std::string &LauncherPack();
// Runs launcher-pack with the arguments (already quoted where needed).
RunResult Pack(const std::string &arguments);
inline std::string Quote(const std::string &text)
{
    return fixtures::ShellQuote(text);
}

// text with every name (a %PLACEHOLDER%) replaced by value.
std::string Filled(std::string text, const std::string &name, const std::string &value);

std::string ReadText(const std::string &path);
// The names in a folder, sorted.
std::vector<std::string> ListFolder(const std::string &folder);

// A new empty folder for one test.
std::string FreshFolder(const std::string &name);

// Everything made once: a key pair from keygen, an unsigned and a signed stub carrying its
// public half, and three packages: en.msi (1033) and de.msi (1031) sharing shared.cab, and
// fr.msi (1036) with fr.cab.
struct World {
    std::string folder;
    std::string key;       // private key, PEM
    std::string publicKey; // PEM
    std::string stub;      // unsigned
    std::string signedStub;
    std::string signerCertificate; // trust anchor for osslsigncode verify
    std::string en, de, fr;        // package paths
    std::string sharedCabinet, frCabinet;
    std::string testKey;   // the repository's TEST-ONLY key
    std::string testStub;  // unsigned, carrying the TEST-ONLY key's public half
    std::string readyStub; // unsigned, with an empty key slot
};
const World &TheWorld();

// A stand-in for launcher.exe: a tiny PE32+ program that keeps a public key blob the way the
// launcher does, in its marked key slot among its constant bytes, and decoy bytes beside it.
void BuildStub(const Bytes &blob, const std::string &folder, const std::string &path, const Bytes &decoy = {});

// A stand-in for the ready stub: the same, keeping a key slot (the marker and an empty blob).
void BuildReadyStub(const std::string &folder, const std::string &path);

// Builds a package from the example product's source into folder/name.msi and its cabinet.
struct PackageSource {
    std::string language = "1033";
    std::string productName = "Launcher Example";
    std::string productCode = "{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}";
    std::string cabinet = "example.cab";
    std::string payloadText = "Hello from the launcher example.\n";
    std::string payloadFile;   // when given, the file installed instead of payloadText
    bool wixlTemplate = false; // the Template as wixl writes it: x64;1033 whatever the language
};
void BuildPackage(const std::string &folder, const std::string &name, const PackageSource &source);

// The example package folder/name.msi whose cabinet, folder/name.cab, stores a file of that many
// random bytes (which do not compress); the package's path.
std::string PackageWithRandomCabinet(const std::string &folder, const std::string &name, std::size_t bytes);

// The warning lines of standard error, each with its newline: what is left once the progress
// lines of a log are taken out.
std::string WarningLines(const std::string &err);

// A refusal as the packer makes them: the exit code (1: failed, 2: usage, 3: could not read) and
// one line on standard error naming it.
void ExpectRefusal(const RunResult &result, const std::string &message, int exitCode = 1);

} // namespace packer_test
