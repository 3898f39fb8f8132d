// Files and folders for Windows-side tests: an output folder per test, copies, whole-file I/O.
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testtools {

// "<current directory>\test-output\<name>", created (with its parents) when missing. ctest runs
// each test program in its build folder, so the output lands beside it.
std::string TestOutputFolder(const std::string &name);

// Creates every missing folder along path.
bool CreateFolders(const std::string &path);

std::vector<std::uint8_t> ReadWholeFile(const std::string &path);
bool WriteWholeFile(const std::string &path, const std::vector<std::uint8_t> &bytes);

} // namespace testtools
