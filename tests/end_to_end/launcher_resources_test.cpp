// The resources built into launcher.exe: the string table, the icon groups and the manifest.
#include "resources/resource_ids.h"
#include "tests/tools/process_tools.h"
#include "tests/tools/wide_text.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

const WORD English = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);

class LauncherResources : public ::testing::Test {
  protected:
    void SetUp() override
    {
        std::string path = testtools::WindowsPathOfUnixPath(LAUNCHER_EXE_PATH);
        module_ = LoadLibraryExW(testtools::Wide(path).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(module_, nullptr) << path;
    }
    void TearDown() override { FreeLibrary(module_); }

    std::vector<BYTE> Resource(LPCSTR type, LPCSTR name)
    {
        HRSRC found = FindResourceExA(module_, type, name, English);
        if (found == nullptr)
            return {};
        const BYTE *bytes = static_cast<const BYTE *>(LockResource(LoadResource(module_, found)));
        return std::vector<BYTE>(bytes, bytes + SizeofResource(module_, found));
    }

    HMODULE module_ = nullptr;
};

TEST_F(LauncherResources, HoldsTheFourStringsInEnglish)
{
    const struct {
        UINT id;
        const wchar_t *text;
    } strings[] = {
        {IDS_INSTALLER_MISSING,
         L"Windows Installer is required for this installation package. The Microsoft\u00AE Windows\u00AE Installer "
         L"(MSI) is the application installation and configuration service for Windows. To continue this "
         L"installation, start it again when Windows Installer is installed on your computer."},
        {IDS_DAMAGED_PACKAGE, L"The installation file is either corrupted or does not support your processor "
                              L"architecture."},
        {IDS_FOLDER_PROMPT, L"Select a folder where you want to extract the installation files:"},
        {IDS_PREPARING, L"Preparing for installation"},
    };
    for (const auto &s : strings) {
        SCOPED_TRACE(s.id);
        wchar_t text[1024] = {};
        EXPECT_GT(LoadStringW(module_, s.id, text, 1024), 0);
        EXPECT_STREQ(text, s.text);
        EXPECT_FALSE(Resource(MAKEINTRESOURCEA(6), MAKEINTRESOURCEA(s.id / 16 + 1)).empty());
    }
}

#pragma pack(push, 2)
struct GroupEntry {
    BYTE width;
    BYTE height;
    BYTE colourCount;
    BYTE reserved;
    WORD planes;
    WORD bitCount;
    DWORD bytes;
    WORD id;
};
#pragma pack(pop)

TEST_F(LauncherResources, HoldsTheApplicationIconAsAppAndAsOne)
{
    const std::vector<std::pair<int, int>> expected = {{32, 4},  {16, 4},  {64, 8},   {48, 8},  {32, 8},
                                                       {24, 8},  {16, 8},  {256, 32}, {64, 32}, {48, 32},
                                                       {32, 32}, {24, 32}, {16, 32}};
    for (LPCSTR name : {static_cast<LPCSTR>("APP"), static_cast<LPCSTR>(MAKEINTRESOURCEA(1))}) {
        SCOPED_TRACE(IS_INTRESOURCE(name) ? "1" : name);
        std::vector<BYTE> group = Resource(MAKEINTRESOURCEA(14), name);
        ASSERT_GE(group.size(), 6u);
        WORD count = *reinterpret_cast<const WORD *>(&group[4]);
        ASSERT_EQ(group.size(), 6u + count * sizeof(GroupEntry));
        std::vector<std::pair<int, int>> found;
        for (WORD i = 0; i < count; i++) {
            const auto *entry = reinterpret_cast<const GroupEntry *>(&group[6 + i * sizeof(GroupEntry)]);
            found.emplace_back(entry->width == 0 ? 256 : entry->width, entry->bitCount);
            std::vector<BYTE> image = Resource(MAKEINTRESOURCEA(3), MAKEINTRESOURCEA(entry->id));
            EXPECT_EQ(image.size(), entry->bytes);
        }
        EXPECT_EQ(found, expected);

        HANDLE icon = LoadImageA(module_, name, IMAGE_ICON, 32, 32, 0);
        EXPECT_NE(icon, nullptr);
        if (icon != nullptr)
            DestroyIcon(static_cast<HICON>(icon));
    }
}

TEST_F(LauncherResources, CarriesItsManifest)
{
    std::vector<BYTE> manifest = Resource(MAKEINTRESOURCEA(24), MAKEINTRESOURCEA(1));
    std::string text(manifest.begin(), manifest.end());
    // The assembly's version comes from resources/version.h through the build.
    EXPECT_NE(text.find("name=\"Generic Program\" version=\"0.0.0.0\""), std::string::npos) << text;
}

} // namespace
