// Copies of the built launcher.exe that carry the payloads the end-to-end tests need, and a run
// of such a copy that answers its message box.
#pragma once

#include <windows.h>

#include "tests/tools/window_tools.h"
#include "writer/container_writer.h"

#include <optional>
#include <string>
#include <vector>

namespace endtoend {

using writer::Bytes;

Bytes BuiltLauncher();       // launcher.exe as the build made it
Bytes SignedBuiltLauncher(); // the same, Authenticode-signed with the test signer

// The test payload key pair (the launcher's built-in key is its public half).
writer::PrivateKey TestKey();

// A signed, compressed container: the package directory made of entries, then one file item per
// entry with the given contents (an item whose id has no content is left out).
struct PackageFile {
    std::uint32_t id;
    Bytes content;
};
Bytes MakeContainer(const std::vector<writer::DirectoryEntry> &entries, const std::vector<PackageFile> &files);

// A copy of the launcher without string 101 in its string table (the table is rewritten with
// UpdateResource; the file must not carry a payload yet).
Bytes WithoutString(const Bytes &launcher, UINT id);

struct LauncherRun {
    DWORD exitCode = 0;
    bool ended = false;
    std::optional<testtools::MessageBoxContents> box; // the first box shown
    int boxCount = 0;
};

// Runs program with commandTail; every message box it shows is read (the first one is kept and,
// when screenshotPath is given, saved there) and answered with OK. Gives up after 60 s.
LauncherRun RunAndAnswer(const std::string &program, const std::string &commandTail,
                         const std::string &screenshotPath = std::string());

} // namespace endtoend
