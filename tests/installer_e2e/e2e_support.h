// What the end-to-end installer tests share: copies of launcher.exe that carry a package, runs
// of such a copy that watch its windows, and the state of the Wine prefix they run in.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/tools/window_tools.h"
#include "tests/unit/win32_test_files.h"

namespace e2e {

using testfiles::Exists;
using testfiles::RemoveTree;
using ScratchFolder = testfiles::TempFolder;

using Bytes = std::vector<std::uint8_t>;

struct Package {
    std::string productCode;
    std::string productName;
    Bytes database; // written as main.msi
    std::string cabinetName;
    Bytes cabinet;
    std::string architecture = "x64"; // the package entry's first component
};

// A package made by the build (packages/<name>/main.msi and disk1.cab).
Package BuiltPackage(const std::string &name, const std::string &productCode, const std::string &productName);

// launcher.exe with a container for the package appended to its end (the whole image is read as
// one container): directory entries "<architecture>\1033\<ProductCode>\<name>" (id 1000) and
// "cab\<cabinetPackages>\<cabinet>" (id 1001), and the bindings of both items, as pack writes
// them. Writes it to path.
void WritePackedLauncher(const std::string &path, const Package &package, int compressionLevel = 9,
                         const std::string &cabinetPackages = "1000");

// A watched run: every new visible dialog-class window of the process (message box or folder
// browser) goes to onWindow, which answers it; without a handler each is answered with its
// first button. Gives up after timeoutMs (the process is then terminated).
struct Run {
    bool ended = false;
    DWORD exitCode = 0;
    std::vector<testtools::MessageBoxContents> windows; // every dialog window seen, in order
};
using WindowHandler = std::function<void(HWND window, const testtools::MessageBoxContents &contents)>;
using TickHandler = std::function<void(DWORD processId)>;
// showCommand, when not -1, is handed to the program as its start-up show value.
Run RunWatched(const std::string &program, const std::string &commandTail, const WindowHandler &onWindow = nullptr,
               const TickHandler &onTick = nullptr, DWORD timeoutMs = 120000, int showCommand = -1);

// The extraction folder the launcher uses first: <Windows>\Installer\<productCode>.
std::string InstallerFolder();
std::string DefaultExtractionFolder(const std::string &productCode);

std::string ReadText(const std::string &path);

// The uninstall entry's UninstallString in the 64-bit registry view; empty when absent.
std::string UninstallString(const std::string &productCode);

// The text the launcher shows for a Win32 code with a detail (the system's text, then the detail
// in parentheses).
std::string ErrorText(DWORD code, const std::string &detail);

std::string SystemFolder();
std::string DocumentsFolder();

} // namespace e2e
