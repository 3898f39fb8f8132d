// A Windows Installer database opened read-only: its tables through SQL queries and its Summary
// Information. Each host reads it with its own library (libmsi_database.cpp on Linux,
// system_msi_database.cpp with the system's msi.dll on Windows), which CMake chooses; the package
// checks are made once, above this interface (msi_package.cpp).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace packer {

class MsiDatabase {
  public:
    virtual ~MsiDatabase() = default;

    // Every row of a SELECT, each of the first `fields` fields as text (empty for null). A query
    // that fails, a missing table or column included, throws PackError naming the package.
    virtual std::vector<std::vector<std::string>> Select(const std::string &sql, unsigned fields) = 0;

    // The Summary Information's Template (platform;languages); empty when it has none.
    virtual std::string Template() = 0;
    // The Summary Information's Word Count (source image flags); nothing when it has none.
    virtual std::optional<int> WordCount() = 0;
};

// Opens the package at path (UTF-8). Throws PackError when it is not a database that can be read.
std::unique_ptr<MsiDatabase> OpenMsiDatabase(const std::string &path);

} // namespace packer
