// The product folder in a folder the user picked: made by the launcher with its own descriptor,
// or found in place and used only when it has exactly that owner and protected DACL, and only on a
// local volume that keeps permissions. Wine stores no descriptor, so what the launcher passes is
// read from the seam, and what a folder found in place has is answered by it. In the system's
// Installer folder none of this is asked.
#include "launcher/product_folder.h"

#include <gtest/gtest.h>
#include <string>

#include "payload/pinned_folder.h"
#include "tests/seam/fault_control.h"
#include "tests/tools/wide_text.h"
#include "tests/unit/win32_test_files.h"

namespace {

const char ProductCode[] = "{6A1F0C3E-2B7D-4E58-9C41-7D2E5F8A0B93}";
const std::wstring LauncherSecurity = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

class PickedFolder : public testing::Test {
  protected:
    void SetUp() override { ResetSeams(); }
    void TearDown() override { ResetSeams(); }

    // {ProductCode} in root, as the launcher opens it in a picked folder (or in the system's
    // Installer folder); made_ tells whether the call made it.
    HANDLE Open(const std::string &root, BOOL picked = TRUE)
    {
        made_ = -1;
        return OpenProductFolder(testtools::Wide(root).c_str(), ProductCode, picked, &made_);
    }

    BOOL made_ = -1;
    testfiles::TempFolder parent_{"picked"};
    const std::string product_ = parent_ / ProductCode;
};

TEST_F(PickedFolder, IsMadeOwnedByAdministratorsWithAProtectedDacl)
{
    HANDLE folder = Open(parent_.path());
    ASSERT_NE(folder, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_EQ(made_, TRUE);
    // S-1-5-32-544 Administrators, -545 Users, S-1-5-18 SYSTEM; 0x10003 object and container
    // inherit; 0x1f01ff full control, 0x1200a9 read and execute.
    EXPECT_EQ(testfiles::DescribeSecurity(MadeFolderSecurity()),
              "owner S-1-5-32-544, protected; type 0 flags 3 mask 0x1f01ff S-1-5-18; type 0 flags 3 mask 0x1f01ff "
              "S-1-5-32-544; type 0 flags 3 mask 0x1200a9 S-1-5-32-545");
    EXPECT_EQ(testfiles::DescribeSecurity(MadeFolderSecurity()), testfiles::DescribeSecurity(ProductFolderSecurity));

    HANDLE byPath = CreateFileA(product_.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(byPath, INVALID_HANDLE_VALUE);
    FileIdentity held{}, found{}, parent{};
    EXPECT_TRUE(ReadFileIdentity(folder, &held) && ReadFileIdentity(byPath, &found) && SameFile(&held, &found));
    HANDLE other = CreateFileA(parent_.path().c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    EXPECT_TRUE(ReadFileIdentity(other, &parent));
    EXPECT_FALSE(SameFile(&held, &parent));
    CloseHandle(other);
    CloseHandle(byPath);
    // The held handle keeps nobody from deleting it: a roll-back removes what it made through a
    // handle reopened from this one.
    EXPECT_TRUE(RemoveDirectoryA(product_.c_str()));
    EXPECT_EQ(OpenFileHandles(), 1u) << "the parent's handle is closed; the folder's is the caller's";
    CloseHandle(folder);
}

struct InPlaceCase {
    const char *name;
    const wchar_t *security; // what the folder in place has; null: what Wine makes up
    DWORD error;             // 0: used
};

TEST_F(PickedFolder, FoundInPlaceIsUsedOnlyWithTheLaunchersOwnerAndDacl)
{
    const InPlaceCase cases[] = {
        {"made by the launcher", LauncherSecurity.c_str(), 0},
        {"made by an earlier release: inherited rights", nullptr, ERROR_ALREADY_EXISTS},
        {"not protected", L"O:BAD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", ERROR_ALREADY_EXISTS},
        {"owned by the user", L"O:BUD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)", ERROR_ALREADY_EXISTS},
        {"users may write", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;FA;;;BU)", ERROR_ALREADY_EXISTS},
        {"one more trustee", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)(A;OICI;FA;;;WD)",
         ERROR_ALREADY_EXISTS},
        {"users left out", L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)", ERROR_ALREADY_EXISTS},
        {"not inherited by what is made in it", L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;0x1200a9;;;BU)",
         ERROR_ALREADY_EXISTS},
    };
    for (const InPlaceCase &c : cases) {
        SCOPED_TRACE(c.name);
        ResetSeams();
        testfiles::RemoveTree(product_);
        ASSERT_TRUE(CreateDirectoryA(product_.c_str(), nullptr));
        testfiles::WriteAll(product_ + "\\main.msi", {'u', 's', 'e', 'r'});
        if (c.security != nullptr)
            AnswerSecurity(c.security);

        SetLastError(0);
        HANDLE folder = Open(parent_.path());
        DWORD error = folder == INVALID_HANDLE_VALUE ? GetLastError() : 0;
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(made_, FALSE);
        EXPECT_EQ(MadeFolderSecurity(), L"") << "nothing made";
        EXPECT_EQ(testfiles::ReadAll(product_ + "\\main.msi"), (std::vector<std::uint8_t>{'u', 's', 'e', 'r'}));
        EXPECT_EQ(OpenFileHandles(), folder != INVALID_HANDLE_VALUE ? 1u : 0u) << "only the handle returned";
        if (folder != INVALID_HANDLE_VALUE)
            CloseHandle(folder);
    }
}

struct VolumeCase {
    const char *name;
    DWORD clearedFlags;
    DWORD addedCharacteristics;
};

TEST_F(PickedFolder, VolumeWithoutPermissionsOrOnAnotherMachineIsRefusedBeforeAnythingIsMade)
{
    const VolumeCase cases[] = {
        {"FAT or exFAT: no permissions kept", FILE_PERSISTENT_ACLS, 0},
        {"a network drive", 0, 0x10 /* FILE_REMOTE_DEVICE */},
    };
    for (const VolumeCase &c : cases) {
        SCOPED_TRACE(c.name);
        ResetSeams();
        FakeVolume(c.clearedFlags, c.addedCharacteristics);
        SetLastError(0);
        EXPECT_EQ(Open(parent_.path()), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NOT_SUPPORTED));
        EXPECT_FALSE(testfiles::Exists(product_));
        EXPECT_EQ(OpenFileHandles(), 0u);
    }
}

// Not a folder, or not reachable: the failed call's error, no refusal of its own.
TEST_F(PickedFolder, FileInPlaceOrMissingParentFailsWithItsError)
{
    testfiles::WriteAll(product_, {1});
    SetLastError(0);
    EXPECT_EQ(Open(parent_.path()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIRECTORY));
    EXPECT_EQ(testfiles::ReadAll(product_), std::vector<std::uint8_t>{1});

    SetLastError(0);
    EXPECT_EQ(Open(parent_ / "missing"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_FALSE(testfiles::Exists(parent_ / "missing"));
    EXPECT_EQ(OpenFileHandles(), 0u);
}

// "C:" alone would be the drive's current directory.
TEST_F(PickedFolder, DriveGivenByItsLetterIsItsRoot)
{
    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(testtools::Wide(parent_.path()).c_str());
    std::string drive = parent_.path().substr(0, 2);
    HANDLE folder = Open(drive);
    SetCurrentDirectoryW(current);
    ASSERT_NE(folder, INVALID_HANDLE_VALUE) << GetLastError();
    CloseHandle(folder);
    EXPECT_TRUE(testfiles::Exists(drive + "\\" + ProductCode));
    EXPECT_FALSE(testfiles::Exists(product_));
    RemoveDirectoryA((drive + "\\" + ProductCode).c_str());
}

// In the system's Installer folder, where only administrators can make anything, {ProductCode}
// is made with what Installer gives it, and one found there is used whatever it reads as and
// whatever its volume says; no descriptor is made up for it.
TEST_F(PickedFolder, InTheSystemsInstallerFolderItInheritsAndIsUsedAsFound)
{
    for (bool inPlace : {false, true}) {
        SCOPED_TRACE(inPlace ? "found in place" : "made");
        ResetSeams();
        testfiles::RemoveTree(product_);
        if (inPlace) {
            ASSERT_TRUE(CreateDirectoryA(product_.c_str(), nullptr));
        }
        AnswerSecurity(L"O:BUD:(A;OICI;FA;;;WD)");
        FakeVolume(FILE_PERSISTENT_ACLS, 0x10);
        HANDLE folder = Open(parent_.path(), FALSE);
        ASSERT_NE(folder, INVALID_HANDLE_VALUE) << GetLastError();
        EXPECT_EQ(made_, inPlace ? FALSE : TRUE);
        EXPECT_EQ(MadeFolderSecurity(), L"") << "nothing but what it inherits";
        EXPECT_TRUE(testfiles::Exists(product_));
        CloseHandle(folder);
    }
}

} // namespace
