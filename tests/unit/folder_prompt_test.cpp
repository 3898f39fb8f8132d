#include "ui/folder_prompt.h"

#include <commctrl.h>
#include <gtest/gtest.h>
#include <shlobj.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

const char PromptText[] = "Select a folder where you want to extract the installation files:";

HWND FindOwnBrowser(const std::vector<HWND> &seen)
{
    struct Search {
        const std::vector<HWND> *seen;
        HWND found;
    } search = {&seen, nullptr};
    EnumWindows(
        [](HWND window, LPARAM context) -> BOOL {
            Search *s = reinterpret_cast<Search *>(context);
            DWORD process = 0;
            GetWindowThreadProcessId(window, &process);
            char className[64] = {};
            GetClassNameA(window, className, sizeof className);
            if (process == GetCurrentProcessId() && IsWindowVisible(window) && std::string(className) == "#32770" &&
                std::find(s->seen->begin(), s->seen->end(), window) == s->seen->end()) {
                s->found = window;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&search));
    return search.found;
}

HWND Tree(HWND browser)
{
    return FindWindowExA(browser, nullptr, "SysTreeView32", nullptr);
}

std::string ItemText(HWND tree, HTREEITEM item)
{
    char text[260] = {};
    TVITEMA info = {};
    info.mask = TVIF_TEXT;
    info.hItem = item;
    info.pszText = text;
    info.cchTextMax = sizeof text;
    SendMessageA(tree, TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&info));
    return text;
}

// The computer node: an item of the browser that has no file-system path.
bool SelectComputerNode(HWND browser)
{
    HWND tree = Tree(browser);
    HTREEITEM root = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    for (HTREEITEM item = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CHILD, (LPARAM)root));
         item != nullptr;
         item = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_NEXT, (LPARAM)item))) {
        std::string text = ItemText(tree, item);
        if (text == "My Computer" || text == "Computer" || text == "This PC")
            return SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item)) != 0;
    }
    return false;
}

void Click(HWND browser, int id)
{
    SendMessageA(browser, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(browser, id)));
}

// Answers each browser that comes up with the next action; records what it saw.
struct User {
    std::vector<std::function<void(HWND)>> actions;
    std::vector<HWND> seen;
    std::string firstSelection; // the tree item selected when the first browser opened

    void Run()
    {
        for (std::size_t next = 0; next < actions.size();) {
            HWND browser = nullptr;
            for (int i = 0; i < 500 && browser == nullptr; i++, Sleep(10))
                browser = FindOwnBrowser(seen);
            if (browser == nullptr)
                return;
            Sleep(200); // the callback selects the default folder once the browser is up
            if (seen.empty()) {
                HWND tree = Tree(browser);
                firstSelection =
                    ItemText(tree, reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0)));
            }
            seen.push_back(browser);
            actions[next++](browser);
        }
    }
};

// The launcher's thread is a single-threaded apartment, as the shell's browser expects.
class ComEnvironment : public testing::Environment {
  public:
    void SetUp() override { CoInitialize(nullptr); }
    void TearDown() override { CoUninitialize(); }
};
testing::Environment *const com = testing::AddGlobalTestEnvironment(new ComEnvironment);

std::string Documents()
{
    char path[MAX_PATH] = {};
    SHGetFolderPathA(nullptr, CSIDL_PERSONAL, nullptr, 0, path);
    return path;
}

TEST(PromptExtractionFolder, OpensOnTheDocumentsFolderAndReturnsTheChoice)
{
    User user;
    user.actions = {[](HWND browser) { Click(browser, IDOK); }};
    std::thread answering([&] { user.Run(); });
    char folder[1024] = "unchanged";
    BOOL chosen = PromptExtractionFolder(PromptText, folder);
    answering.join();

    ASSERT_EQ(user.seen.size(), 1u);
    std::string documents = Documents();
    EXPECT_EQ(user.firstSelection, documents.substr(documents.rfind('\\') + 1));
    EXPECT_TRUE(chosen);
    EXPECT_EQ(std::string(folder), documents);
}

TEST(PromptExtractionFolder, DriveRootLosesItsBackslash)
{
    User user;
    user.actions = {[](HWND browser) {
        SendMessageA(browser, BFFM_SETSELECTIONA, TRUE, reinterpret_cast<LPARAM>("C:\\"));
        Click(browser, IDOK);
    }};
    std::thread answering([&] { user.Run(); });
    char folder[1024] = "unchanged";
    BOOL chosen = PromptExtractionFolder(PromptText, folder);
    answering.join();

    EXPECT_TRUE(chosen);
    EXPECT_STREQ(folder, "C:");
}

// A choice without a file-system path is no folder for the files: the browser comes back.
TEST(PromptExtractionFolder, ItemWithoutPathBringsTheBrowserBackAndCancelGivesFalse)
{
    User user;
    bool selected = false;
    user.actions = {[&](HWND browser) {
                        selected = SelectComputerNode(browser);
                        Click(browser, IDOK);
                    },
                    [](HWND browser) { Click(browser, IDCANCEL); }};
    std::thread answering([&] { user.Run(); });
    char folder[1024] = "unchanged";
    BOOL chosen = PromptExtractionFolder(PromptText, folder);
    answering.join();

    EXPECT_TRUE(selected) << "the browser shows the computer node";
    EXPECT_EQ(user.seen.size(), 2u);
    EXPECT_FALSE(chosen);
    EXPECT_STREQ(folder, "unchanged");
}

// A folder whose name the ANSI code page lacks would come back as a look-alike ("Ā" as "A"), and
// the files would go there: such a choice is unusable and the browser comes back.
TEST(PromptExtractionFolder, FolderWithoutAnExactAnsiPathBringsTheBrowserBack)
{
    if (GetACP() == CP_UTF8)
        GTEST_SKIP() << "a UTF-8 code page holds every name";
    char temp[MAX_PATH];
    ASSERT_GT(GetTempPathA(sizeof temp, temp), 0u);
    std::wstring base = std::wstring(temp, temp + strlen(temp)) + L"prompt-round-trip";
    std::wstring lookAlike = base + L"-A";
    std::wstring chosen = base + L"-\x0100";
    CreateDirectoryW(lookAlike.c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryW(chosen.c_str(), nullptr) || GetLastError() == ERROR_ALREADY_EXISTS);

    User user;
    user.actions = {[&](HWND browser) {
                        SendMessageW(browser, BFFM_SETSELECTIONW, TRUE, reinterpret_cast<LPARAM>(chosen.c_str()));
                        Sleep(200);
                        Click(browser, IDOK);
                    },
                    [](HWND browser) { Click(browser, IDCANCEL); }};
    std::thread answering([&] { user.Run(); });
    char folder[1024] = "unchanged";
    BOOL result = PromptExtractionFolder(PromptText, folder);
    answering.join();
    RemoveDirectoryW(chosen.c_str());
    RemoveDirectoryW(lookAlike.c_str());

    EXPECT_EQ(user.seen.size(), 2u) << "the browser comes back after the unusable choice";
    EXPECT_FALSE(result);
    EXPECT_STREQ(folder, "unchanged");
}

} // namespace
