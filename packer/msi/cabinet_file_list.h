// The list of files a cabinet holds, read from its header and file table only: a cabinet may be
// gigabytes, and its data blocks are never read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace packer {

struct CabinetMember {
    std::string name;   // UTF-8 when utf8, else the bytes as the cabinet's maker wrote them
    bool utf8;          // the member's attributes mark its name as UTF-8
    std::uint32_t size; // uncompressed
};

// The members of the cabinet at path, in the order it stores them. Throws ReadError when the file
// can't be read, and PackError when it is not a cabinet, is damaged, or is one of a set that spans
// several cabinets.
std::vector<CabinetMember> ReadCabinetFileList(const std::string &path);

} // namespace packer
