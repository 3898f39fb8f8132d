#include "tests/installer_e2e/e2e_support.h"

#include <shlobj.h>

#include <openssl/sha.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>

#include "launcher/error_value.h"
#include "tests/tools/process_tools.h"
#include "tests/unit/win32_test_files.h"
#include "writer/container_writer.h"

namespace e2e {

Package BuiltPackage(const std::string &name, const std::string &productCode, const std::string &productName)
{
    std::string folder = testtools::WindowsPathOfUnixPath(PACKAGES_PATH) + "\\" + name;
    return Package{productCode, productName, testfiles::ReadAll(folder + "\\main.msi"), "disk1.cab",
                   testfiles::ReadAll(folder + "\\disk1.cab")};
}

void WritePackedLauncher(const std::string &path, const Package &package, int compressionLevel,
                         const std::string &cabinetPackages)
{
    writer::PrivateKey key = writer::LoadPrivateKey(testtools::WindowsPathOfUnixPath(TEST_KEY_PATH));
    std::uint8_t databaseDigest[SHA256_DIGEST_LENGTH];
    std::uint8_t cabinetDigest[SHA256_DIGEST_LENGTH];
    SHA256(package.database.data(), package.database.size(), databaseDigest);
    SHA256(package.cabinet.data(), package.cabinet.size(), cabinetDigest);
    std::vector<writer::DirectoryEntry> directory = {
        {1000, package.architecture + "\\1033\\" + package.productCode + "\\" + package.productName},
        {1001, "cab\\" + cabinetPackages + "\\" + package.cabinetName},
        writer::BindingEntry(1000, databaseDigest, package.database.size()),
        writer::BindingEntry(1001, cabinetDigest, package.cabinet.size()),
    };
    std::vector<writer::ContainerItem> items = {
        {writer::ItemKind::Head, 0, writer::WriteDirectory(directory)},
        {writer::ItemKind::File, 1000, package.database},
        {writer::ItemKind::File, 1001, package.cabinet},
    };
    writer::ContainerOptions options;
    options.level = compressionLevel;
    Bytes container = writer::WriteContainer(items, options, key.get());

    Bytes image = testfiles::ReadAll(testtools::WindowsPathOfUnixPath(LAUNCHER_EXE_PATH));
    image.insert(image.end(), container.begin(), container.end());
    testfiles::WriteAll(path, image);
}

Run RunWatched(const std::string &program, const std::string &commandTail, const WindowHandler &onWindow,
               const TickHandler &onTick, DWORD timeoutMs, int showCommand)
{
    Run run;
    testtools::ChildProcess child = testtools::ChildProcess::Start(program, commandTail, std::string(), showCommand);
    if (!child.started())
        throw std::runtime_error("cannot start " + program + ": error " + std::to_string(child.lastError()));
    std::vector<HWND> answered;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < timeoutMs) {
        if (std::optional<DWORD> code = child.Wait(50)) {
            run.exitCode = *code;
            run.ended = true;
            break;
        }
        if (onTick)
            onTick(child.id());
        testtools::WindowQuery query;
        query.processId = child.id();
        query.className = "#32770";
        for (const testtools::WindowInfo &window : testtools::ListTopLevelWindows(query)) {
            if (!window.visible || std::find(answered.begin(), answered.end(), window.handle) != answered.end())
                continue;
            Sleep(200); // let it finish building and painting
            testtools::MessageBoxContents contents = testtools::ReadMessageBox(window.handle);
            run.windows.push_back(contents);
            answered.push_back(window.handle);
            if (onWindow)
                onWindow(window.handle, contents);
            else if (!contents.buttons.empty())
                testtools::ClickButton(window.handle, contents.buttons.front());
        }
    }
    return run;
}

std::string SystemFolder()
{
    char path[MAX_PATH];
    GetSystemDirectoryA(path, sizeof path);
    return path;
}

std::string InstallerFolder()
{
    char path[MAX_PATH];
    GetWindowsDirectoryA(path, sizeof path);
    return std::string(path) + "\\Installer";
}

std::string DefaultExtractionFolder(const std::string &productCode)
{
    return InstallerFolder() + "\\" + productCode;
}

std::string DocumentsFolder()
{
    char path[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, 0, path);
    return path;
}

std::string ReadText(const std::string &path)
{
    std::ifstream in(std::filesystem::u8path(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string UninstallString(const std::string &productCode)
{
    std::string keyPath = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\" + productCode;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, &key) != ERROR_SUCCESS)
        return "";
    char value[1024] = {};
    DWORD bytes = sizeof value - 1;
    LONG status = RegQueryValueExA(key, "UninstallString", nullptr, nullptr, reinterpret_cast<BYTE *>(value), &bytes);
    RegCloseKey(key);
    return status == ERROR_SUCCESS ? std::string(value) : std::string();
}

std::string ErrorText(DWORD code, const std::string &detail)
{
    char text[1024];
    FormatErrorText(code, text, sizeof text, detail.c_str());
    return text;
}

} // namespace e2e
