#include "tests/end_to_end/launcher_copies.h"

#include "tests/tools/process_tools.h"
#include "tests/tools/wide_text.h"
#include "tests/unit/win32_test_files.h"

#include <algorithm>
#include <stdexcept>

namespace endtoend {

Bytes BuiltLauncher()
{
    return testfiles::ReadAll(testtools::WindowsPathOfUnixPath(LAUNCHER_EXE_PATH));
}

Bytes SignedBuiltLauncher()
{
    return testfiles::ReadAll(testtools::WindowsPathOfUnixPath(SIGNED_LAUNCHER_EXE_PATH));
}

writer::PrivateKey TestKey()
{
    return writer::LoadPrivateKey(testtools::WindowsPathOfUnixPath(TEST_KEY_PATH));
}

Bytes MakeContainer(const std::vector<writer::DirectoryEntry> &entries, const std::vector<PackageFile> &files)
{
    std::vector<writer::ContainerItem> items{{writer::ItemKind::Head, 0, writer::WriteDirectory(entries)}};
    for (const PackageFile &file : files)
        items.push_back({writer::ItemKind::File, file.id, file.content});
    writer::PrivateKey key = TestKey();
    return writer::WriteContainer(items, writer::ContainerOptions(), key.get());
}

Bytes WithoutString(const Bytes &launcher, UINT id)
{
    testfiles::TempFolder folder("strings");
    std::string path = folder / "launcher.exe";
    testfiles::WriteAll(path, launcher);

    // Strings live in blocks of 16 counted UTF-16 strings; block n holds ids 16 (n - 1) and on.
    WORD block = static_cast<WORD>(id / 16 + 1);
    WORD language = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
    std::vector<WORD> table;
    HMODULE module = LoadLibraryExW(testtools::Wide(path).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module != nullptr) {
        HRSRC found = FindResourceExA(module, MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(block), language);
        if (found != nullptr) {
            const WORD *words = static_cast<const WORD *>(LockResource(LoadResource(module, found)));
            table.assign(words, words + SizeofResource(module, found) / sizeof(WORD));
        }
        FreeLibrary(module);
    }
    std::vector<WORD> rewritten;
    for (size_t position = 0, index = 0; index < 16 && position < table.size(); index++) {
        WORD length = table[position];
        if (index == id % 16) {
            rewritten.push_back(0);
        } else {
            rewritten.insert(rewritten.end(), table.begin() + position, table.begin() + position + 1 + length);
        }
        position += 1 + length;
    }

    HANDLE update = BeginUpdateResourceW(testtools::Wide(path).c_str(), FALSE);
    bool done = update != nullptr && !table.empty() &&
                UpdateResourceA(update, MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(block), language, rewritten.data(),
                                static_cast<DWORD>(rewritten.size() * sizeof(WORD)));
    if (update != nullptr)
        EndUpdateResourceA(update, !done);
    if (!done)
        throw std::runtime_error("could not rewrite the launcher's string table");
    return testfiles::ReadAll(path);
}

LauncherRun RunAndAnswer(const std::string &program, const std::string &commandTail, const std::string &screenshotPath)
{
    LauncherRun run;
    testtools::ChildProcess child = testtools::ChildProcess::Start(program, commandTail);
    if (!child.started())
        return run;
    std::vector<HWND> seen;
    DWORD start = GetTickCount();
    while (GetTickCount() - start < 60000) {
        if (std::optional<DWORD> code = child.Wait(50)) {
            run.exitCode = *code;
            run.ended = true;
            break;
        }
        testtools::WindowQuery query;
        query.processId = child.id();
        query.className = "#32770";
        for (const testtools::WindowInfo &window : testtools::ListTopLevelWindows(query)) {
            if (!window.visible)
                continue;
            if (std::find(seen.begin(), seen.end(), window.handle) == seen.end()) {
                seen.push_back(window.handle);
                run.boxCount++;
            }
            if (!run.box) {
                Sleep(200); // let the box finish painting before it is photographed
                run.box = testtools::ReadMessageBox(window.handle);
                if (!screenshotPath.empty())
                    testtools::SaveWindowScreenshot(window.handle, screenshotPath);
            }
            testtools::ClickButton(window.handle, "OK");
        }
    }
    return run;
}

} // namespace endtoend
