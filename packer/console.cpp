#include "packer/console.h"

#include <iostream>

namespace packer {

namespace {

Verbosity verbosity = Verbosity::Normal;

} // namespace

void SetVerbosity(Verbosity value)
{
    verbosity = value;
}

Verbosity CurrentVerbosity()
{
    return verbosity;
}

void Warn(const std::string &text)
{
    if (verbosity != Verbosity::Quiet)
        std::cerr << "launcher-pack: warning: " << text << '\n';
}

void Note(const std::string &text)
{
    if (verbosity != Verbosity::Quiet)
        std::cerr << "launcher-pack: note: " << text << '\n';
}

void Step(const std::string &text)
{
    if (verbosity == Verbosity::Verbose)
        std::cerr << "launcher-pack: " << text << '\n';
}

} // namespace packer
