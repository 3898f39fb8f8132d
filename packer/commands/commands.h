// The packer's commands. Each prints what it did on out and throws a PackError (see
// pack_error.h for which exit code each kind ends with) with one line for the user when it
// fails.
#pragma once

#include "packer/byte_io.h"
#include "packer/keys/payload_signer.h"
#include "packer/keys/payload_key.h"
#include "packer/pe/placement.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace packer {

// passphrase: empty, or env:VAR or file:PATH to encrypt the private key with.
void RunKeygen(const std::string &name, const std::string &passphrase, std::ostream &out);

// The ready stub's file name, and where an installed packer keeps it (from the prefix).
constexpr const char *ReadyStubName = "launcher.exe";
constexpr const char *ReadyStubFolder = "share/launcher-pack";

struct StubOptions {
    std::string stub; // empty: the ready stub found beside the packer
    KeySource key;    // the key whose public half is set
    std::string output;
    bool force = false; // replace an existing output
};
void RunStub(const StubOptions &options, std::ostream &out);

struct PackOptions {
    std::string stub;
    KeySource key; // the private key, or a signer command and the public half
    std::vector<std::string> packages;
    // FILE=LCID[,LCID...]: the languages a package is chosen for, in place of its Template's.
    std::vector<std::string> packageLanguages;
    std::string output;
    Placement placement = Placement::Auto;
    int level;
    bool allowUncompressed = false; // pack packages whose files are not all in cabinets
    bool allowUnreachable = false;  // pack an x64 package the launcher never chooses, with a warning
    unsigned threads = 0;           // 0: one per core
    bool force = false;             // replace an existing output
    std::uint64_t memoryLimit = 0;  // 0: DefaultMemoryLimit()
};
void RunPack(const PackOptions &options, std::ostream &out);

struct ReadOptions {
    std::string file;
    KeySource key; // not given: the key in the launcher's key slot
};

// ExitFailed when the launcher's lookup finds no payload.
int RunInspect(const ReadOptions &options, bool json, std::ostream &out);

struct VerifyOptions {
    ReadOptions read;
    std::string expectKey;    // "SHA256:<hex>", or empty
    std::string expectSigner; // "SHA256:<hex>" of the signing certificate's DER, or empty
    std::string caFile;       // PEM roots the signer's chain must reach, or empty
    bool trustFileKey = false;
    bool allowTestKey = false;
    bool allowUnsigned = false;
    bool strict = false; // fail a file that does not pass the certificate padding check
    // Fail a file whose payload the Authenticode signature does not cover.
    bool requireSignedPayload = false;
    bool json = false;
};

// True for "SHA256:" and 64 hex digits.
bool IsKeyFingerprint(const std::string &text);

// ExitDone when the file passes every check of the release gate, else ExitFailed with every
// failure listed on standard error. Throws like the other commands when it can't start.
int RunVerify(const VerifyOptions &options, std::ostream &out);

// What inspect and verify print with --json when they can't run, so that a pipeline that reads
// the JSON gets an object on every exit: the file (empty: not known), the exit code and the
// error line.
void PrintJsonError(const std::string &command, const std::string &file, int exitCode, const std::string &error,
                    std::ostream &out);

struct ExtractOptions {
    ReadOptions read;
    std::string folder;
    std::uint32_t lcid = 1033;
    bool force = false;
};
void RunExtract(const ExtractOptions &options, std::ostream &out);

} // namespace packer
