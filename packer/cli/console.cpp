#include "packer/cli/console.h"

#include <iostream>
#include <mutex>

namespace packer {

namespace {

Verbosity verbosity = Verbosity::Normal;

std::mutex redrawnLock; // guards redrawnLine and keeps it while it prints
RedrawnLine *redrawnLine = nullptr;

void Print(const std::string &text)
{
    std::lock_guard<std::mutex> lock(redrawnLock);
    if (redrawnLine)
        redrawnLine->PrintAbove(text);
    else
        std::cerr << text << std::flush;
}

} // namespace

void SetRedrawnLine(RedrawnLine *line)
{
    std::lock_guard<std::mutex> lock(redrawnLock);
    redrawnLine = line;
}

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
        Print("launcher-pack: warning: " + text + '\n');
}

void Note(const std::string &text)
{
    if (verbosity != Verbosity::Quiet)
        Print("launcher-pack: note: " + text + '\n');
}

void Step(const std::string &text)
{
    if (verbosity == Verbosity::Verbose)
        Print("launcher-pack: " + text + '\n');
}

} // namespace packer
