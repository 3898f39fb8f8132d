// The packer's commands. Each prints what it did on standard output and throws PackError
// with one line for the user when it fails.
#pragma once

#include "packer/byte_io.h"
#include "packer/placement.h"

#include <cstdint>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

namespace packer {

void RunKeygen(const std::string &name, std::ostream &out);

// The ready stub's file name, and where an installed packer keeps it (from the prefix).
constexpr const char *ReadyStubName = "launcher.exe";
constexpr const char *ReadyStubFolder = "share/launcher-pack";

struct StubOptions {
    std::string stub; // empty: the ready stub found beside the packer
    std::string key;  // the public key to set
    std::string output;
};
void RunStub(const StubOptions &options, std::ostream &out);

// The offset of the key slot's blob in image, if it has a slot. Throws PackError for a marker
// that is not followed by one whole slot, or found twice.
std::optional<std::size_t> FindKeySlot(const Bytes &image, const std::string &what);

struct PackOptions {
    std::string stub;
    std::string key;        // a PEM file, or "-" for standard input
    std::string passphrase; // of an encrypted key: env:VAR or file:PATH
    std::vector<std::string> packages;
    std::string output;
    Placement placement = Placement::End;
    int level;
    bool allowUncompressed = false; // pack packages whose files are not all in cabinets
    unsigned threads = 0;           // 0: one per core
    std::uint64_t memoryLimit = 0;  // 0: DefaultMemoryLimit()
    bool quiet = false;             // no progress
};
void RunPack(const PackOptions &options, std::ostream &out);

struct ReadOptions {
    std::string file;
    std::string key; // empty: the key built into the file's launcher
};

void RunInspect(const ReadOptions &options, bool json, std::ostream &out);

// verify's exit codes.
enum VerifyResult { Verified = 0, NotVerified = 1, VerifyUsage = 2, NotRead = 3 };

struct VerifyOptions {
    ReadOptions read;
    std::string expectKey; // "SHA256:<hex>", or empty
    bool allowTestKey = false;
};

// True for "SHA256:" and 64 hex digits.
bool IsKeyFingerprint(const std::string &text);

// Verified only when every item the launcher would read verifies with the expected key; the
// failures are listed on out. Throws ReadError when the file or the key can't be read.
VerifyResult RunVerify(const VerifyOptions &options, std::ostream &out);

struct ExtractOptions {
    ReadOptions read;
    std::string folder;
    std::uint32_t lcid = 1033;
    bool force = false;
};
void RunExtract(const ExtractOptions &options, std::ostream &out);

} // namespace packer
