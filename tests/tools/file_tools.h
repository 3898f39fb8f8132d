// Where Windows-side tests leave what a person may want to look at afterwards (screenshots,
// the programs they ran).
#pragma once

#include <string>

namespace testtools {

// "<current directory>\test-output\<name>" (UTF-8), created (with its parents) when missing. ctest runs
// each test program in its build folder, so the output lands beside it.
std::string TestOutputFolder(const std::string &name);

} // namespace testtools
