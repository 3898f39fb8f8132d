// The package directory and the file items of one container, planned from the packages.
#pragma once

#include "packer/byte_io.h"
#include "packer/msi/msi_package.h"
#include "packer/pipeline/streaming_input.h"
#include "writer/container_writer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

struct PlannedItem {
    std::uint32_t id;
    std::string source; // the file it holds, read again in pieces when it is packed
    std::uint64_t size;
    Sha256Digest digest; // SHA-256 of the content when it was planned
};

struct PackagePlan {
    std::vector<writer::DirectoryEntry> directory; // package entries, then cabinet entries
    std::vector<PlannedItem> items;                // file items in id order; identical files share one
    std::vector<std::string> warnings;
};

// Reads every package's files (cabinets beside the package) and plans the directory. Throws
// PackError for a missing cabinet, a field the launcher can't hold, when no package is for x64,
// and for an x64 package that the launcher's selection never chooses, whatever the user's
// language (with allowUnreachable, a warning).
PackagePlan PlanPackages(const std::vector<MsiPackage> &packages, bool allowUnreachable = false);

// The launcher's field limits: a path component holds 255 bytes of ANSI text, a file name 260.
constexpr std::size_t ComponentLimit = 255;
constexpr std::size_t FileNameLimit = 260;
// The progress window's caption shows this many characters of the product name.
constexpr std::size_t CaptionLimit = 49;

} // namespace packer
