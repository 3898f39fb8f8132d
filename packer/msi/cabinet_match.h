// Whether an external cabinet holds what its package takes from it: the Windows Installer finds
// each file by its File key, checks nothing else until it installs, and fails there.
#pragma once

#include "packer/msi/msi_package.h"

#include <string>
#include <vector>

namespace packer {

// Checks that the cabinet at cabinetPath holds each of cabinet.files under its File key, with its
// FileSize, in Sequence order. Throws PackError naming the first file that it doesn't hold so
// (ReadError when the cabinet can't be read), and adds a warning for each member that is no file
// the package takes from it.
void CheckCabinetMembers(const std::string &packagePath, const ExternalCabinet &cabinet, const std::string &cabinetPath,
                         std::vector<std::string> &warnings);

} // namespace packer
