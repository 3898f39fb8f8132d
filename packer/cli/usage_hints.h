// What a command line that the parser refused most likely got wrong, in the user's words: a
// misspelt command or option (with the name it is closest to), or an option of another command.
#pragma once

#include <CLI/CLI.hpp>

#include <optional>
#include <string>
#include <vector>

namespace packer {

// The first mistake found in arguments (without the program's name), or nothing when they look
// right as far as names go and the parser's own message says it better.
std::optional<std::string> ExplainUsageError(const CLI::App &app, const std::vector<std::string> &arguments);

} // namespace packer
