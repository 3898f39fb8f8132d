// What the packer needs to know of a Windows Installer package, and the checks it must pass.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace packer {

// A file the package takes from an external cabinet: a member the cabinet must hold.
struct CabinetFile {
    std::string key;      // the File table's key, which names the member
    std::string fileName; // the File table's FileName: a name, or "short|long"
    std::uint64_t size;
    std::uint32_t sequence;
};

struct ExternalCabinet {
    std::string name;               // from the Media table: a file beside the package
    std::vector<CabinetFile> files; // the compressed files of its Media rows, in Sequence order
};

struct MsiPackage {
    std::string path;
    std::string productCode;
    std::string productName;
    std::string productLanguage;           // the Property table's, as a decimal number; may be empty
    std::string architecture;              // from the Summary Information's Template, e.g. "x64"
    std::vector<std::string> languages;    // decimal language identifiers, in Template order
    bool languagesGiven = false;           // languages came from --msi-language, not the Template
    std::vector<ExternalCabinet> cabinets; // in the Media table's DiskId order, each once
};

// A language identifier as the directory writes it (decimal, without leading zeros), from
// decimal text of up to 65535; nothing for other text.
std::optional<std::string> LanguageId(const std::string &text);

// Reads the package at path. Throws PackError when it can't be read, the ProductCode,
// ProductName or Template is missing or malformed, (unless allowUncompressed) a file is not in a
// cabinet, or a compressed file is on no Media row.
MsiPackage ReadMsiPackage(const std::string &path, bool allowUncompressed);

} // namespace packer
