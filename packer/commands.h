// The packer's commands. Each prints what it did on standard output and throws PackError
// with one line for the user when it fails.
#pragma once

#include "packer/placement.h"

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace packer {

void RunKeygen(const std::string &name, std::ostream &out);

struct PackOptions {
    std::string stub;
    std::string key;
    std::vector<std::string> packages;
    std::string output;
    Placement placement = Placement::End;
    int level;
};
void RunPack(const PackOptions &options, std::ostream &out);

struct ReadOptions {
    std::string file;
    std::string key; // empty: the key built into the file's launcher
};

void RunInspect(const ReadOptions &options, bool json, std::ostream &out);

// False when anything fails to verify; the failures are listed on out.
bool RunVerify(const ReadOptions &options, std::ostream &out);

struct ExtractOptions {
    ReadOptions read;
    std::string folder;
    std::uint32_t lcid = 1033;
    bool force = false;
};
void RunExtract(const ExtractOptions &options, std::ostream &out);

} // namespace packer
