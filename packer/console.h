// What the packer says besides its results: warnings on standard error unless -q, and each
// step on standard error with -v. Errors are always printed, by main.
#pragma once

#include <string>

namespace packer {

enum class Verbosity { Quiet, Normal, Verbose };

void SetVerbosity(Verbosity verbosity);
Verbosity CurrentVerbosity();

// "launcher-pack: warning: TEXT", unless quiet.
void Warn(const std::string &text);
// "launcher-pack: note: TEXT", unless quiet.
void Note(const std::string &text);
// "launcher-pack: TEXT", when verbose.
void Step(const std::string &text);

} // namespace packer
