// Small file-system helpers for the Windows-side tests. Paths and names are UTF-8 (see
// tests/tools/wide_text.h).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>
#include <vector>

namespace testfiles {

// A fresh folder under the temporary folder, removed with everything in it at the end.
class TempFolder {
  public:
    explicit TempFolder(const std::string &tag);
    ~TempFolder();
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "\\" + name; }

  private:
    std::string path_;
};

bool Exists(const std::string &path);
std::vector<std::uint8_t> ReadAll(const std::string &path);
void WriteAll(const std::string &path, const std::vector<std::uint8_t> &bytes);
// Removes a folder with everything in it, or a file.
void RemoveTree(const std::string &path);

// The names of the entries of a folder, sorted; none when it does not exist.
std::vector<std::string> FolderNames(const std::string &folder);

// A symbolic link at link to the folder target. Wine does not make Windows links yet, so there
// it is a Unix symbolic link made with ln, which Wine shows as a reparse point. False when
// neither works.
bool MakeFolderLink(const std::string &link, const std::string &target);

// Opens a folder as the launcher holds the product folder that it made or checked: sharing
// everything, the folder itself even where its name is a link. INVALID_HANDLE_VALUE when it
// can't be opened.
HANDLE HoldFolder(const std::string &path);

// Renames what handle holds (opened with DELETE access) to path, through the handle itself.
bool RenameHeld(HANDLE handle, const std::string &path);

// A security descriptor given in SDDL, in plain words: the owner's SID, whether the DACL is
// protected, then each ACE's type, flags, mask and SID, so that a check does not depend on how a
// system spells rights in SDDL.
std::string DescribeSecurity(const std::wstring &sddl);

// Bytes that differ from position to position, so that an offset mistake shows.
std::vector<std::uint8_t> Pattern(std::size_t length, unsigned seed);

} // namespace testfiles
