// What the packer needs to know of a Windows Installer package, and the checks it must pass.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace packer {

struct MsiPackage {
    std::string path;
    std::string productCode;
    std::string productName;
    std::string productLanguage;        // the Property table's, as a decimal number; may be empty
    std::string architecture;           // from the Summary Information's Template, e.g. "x64"
    std::vector<std::string> languages; // decimal language identifiers, in Template order
    bool languagesGiven = false;        // languages came from --msi-language, not the Template
    std::vector<std::string> cabinets;  // external cabinet file names from the Media table
};

// A language identifier as the directory writes it (decimal, without leading zeros), from
// decimal text of up to 65535; nothing for other text.
std::optional<std::string> LanguageId(const std::string &text);

// Reads the package at path. Throws PackError when it can't be read, the ProductCode,
// ProductName or Template is missing or malformed, or (unless allowUncompressed) a file is not
// in a cabinet.
MsiPackage ReadMsiPackage(const std::string &path, bool allowUncompressed);

} // namespace packer
