// What the packer says besides its results: warnings on standard error unless -q, and each
// step on standard error with -v. Errors are always printed, by main.
#pragma once

#include <string>

namespace packer {

enum class Verbosity { Quiet, Normal, Verbose };

// A line that is redrawn in place on a terminal (the progress line). Messages go above it, never
// onto it.
class RedrawnLine {
  public:
    virtual ~RedrawnLine() = default;
    // Clears the line and prints text, whole lines, in its place; the next redraw comes below.
    virtual void PrintAbove(const std::string &text) = 0;
};
// The line that is drawn now; nullptr for none.
void SetRedrawnLine(RedrawnLine *line);

void SetVerbosity(Verbosity verbosity);
Verbosity CurrentVerbosity();

// "launcher-pack: warning: TEXT", unless quiet.
void Warn(const std::string &text);
// "launcher-pack: note: TEXT", unless quiet.
void Note(const std::string &text);
// "launcher-pack: TEXT", when verbose.
void Step(const std::string &text);

} // namespace packer
