#include "tests/unit/win32_test_files.h"

#include "tests/tools/wide_text.h"

#include <sddl.h>

#include <cstring>

#include <algorithm>
#include <sstream>
#include <stdexcept>

namespace testfiles {

using testtools::Utf8;
using testtools::Wide;

TempFolder::TempFolder(const std::string &tag)
{
    wchar_t base[MAX_PATH + 1];
    DWORD length = GetTempPathW(MAX_PATH + 1, base);
    if (length == 0 || length > MAX_PATH)
        throw std::runtime_error("no temporary folder");
    for (unsigned n = GetTickCount() ^ GetCurrentProcessId();; n++) {
        std::string candidate = Utf8(base) + tag + "-" + std::to_string(n);
        if (CreateDirectoryW(Wide(candidate).c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
        if (GetLastError() != ERROR_ALREADY_EXISTS)
            throw std::runtime_error("cannot create " + candidate);
    }
}

TempFolder::~TempFolder()
{
    RemoveTree(path_);
}

bool Exists(const std::string &path)
{
    return GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::uint8_t> ReadAll(const std::string &path)
{
    HANDLE file = CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open " + path);
    std::vector<std::uint8_t> bytes(GetFileSize(file, nullptr));
    DWORD read = 0;
    BOOL ok = bytes.empty() || ReadFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr);
    CloseHandle(file);
    if (!ok || read != bytes.size())
        throw std::runtime_error("cannot read " + path);
    return bytes;
}

void WriteAll(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    HANDLE file =
        CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create " + path);
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != bytes.size())
        throw std::runtime_error("cannot write " + path);
}

namespace {

bool IsReparsePoint(const std::string &path)
{
    DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// The Unix name (UTF-8) of a Windows path under Wine; empty elsewhere.
std::string UnixName(const std::string &path)
{
    using UnixNameGetter = char *(CDECL *)(LPCWSTR);
    auto getter = reinterpret_cast<UnixNameGetter>(
        reinterpret_cast<void *>(GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name")));
    if (getter == nullptr)
        return "";
    char *name = getter(Wide(path).c_str());
    if (name == nullptr)
        return "";
    std::string result = name;
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

} // namespace

void RemoveTree(const std::string &path)
{
    // A link goes, never what it points to.
    const std::wstring wide = Wide(path);
    if (IsReparsePoint(path)) {
        if (!RemoveDirectoryW(wide.c_str()))
            DeleteFileW(wide.c_str());
        return;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((wide + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = wide + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(Utf8(child));
            else {
                SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(child.c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    if (!RemoveDirectoryW(wide.c_str()))
        DeleteFileW(wide.c_str());
}

bool MakeFolderLink(const std::string &link, const std::string &target)
{
    if (CreateSymbolicLinkW(Wide(link).c_str(), Wide(target).c_str(), SYMBOLIC_LINK_FLAG_DIRECTORY) &&
        IsReparsePoint(link))
        return true;
    std::string unixLink = UnixName(link), unixTarget = UnixName(target);
    if (unixLink.empty() || unixTarget.empty())
        return false;
    // Wine starts a Unix program given by its Unix path on the Z: drive.
    std::wstring commandLine = Wide("/bin/ln -s \"" + unixTarget + "\" \"" + unixLink + "\"");
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process = {};
    if (!CreateProcessW(L"Z:\\bin\\ln", commandLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return false;
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    // The handle of a Unix program does not tell when it has ended: wait for the link.
    for (int i = 0; i < 100 && !IsReparsePoint(link); i++)
        Sleep(50);
    return IsReparsePoint(link);
}

HANDLE HoldFolder(const std::string &path)
{
    return CreateFileW(Wide(path).c_str(), FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES | READ_CONTROL,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

bool RenameHeld(HANDLE handle, const std::string &path)
{
    std::wstring target = Wide(path);
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + target.size() * sizeof(WCHAR));
    auto *rename = reinterpret_cast<FILE_RENAME_INFO *>(buffer.data());
    rename->ReplaceIfExists = FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(WCHAR));
    memcpy(rename->FileName, target.data(), target.size() * sizeof(WCHAR));
    return SetFileInformationByHandle(handle, FileRenameInfo, rename, static_cast<DWORD>(buffer.size())) != FALSE;
}

std::string DescribeSecurity(const std::wstring &sddl)
{
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl.c_str(), SDDL_REVISION_1, &descriptor, nullptr))
        return "unreadable: " + std::to_string(GetLastError());
    PSID owner = nullptr;
    PACL dacl = nullptr;
    BOOL defaulted = FALSE, present = FALSE;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorOwner(descriptor, &owner, &defaulted);
    GetSecurityDescriptorDacl(descriptor, &present, &dacl, &defaulted);
    GetSecurityDescriptorControl(descriptor, &control, &revision);
    auto sidText = [](PSID sid) {
        LPSTR text = nullptr;
        if (sid == nullptr || !ConvertSidToStringSidA(sid, &text))
            return std::string("none");
        std::string result = text;
        LocalFree(text);
        return result;
    };
    std::ostringstream out;
    out << "owner " << sidText(owner) << ((control & SE_DACL_PROTECTED) != 0 ? ", protected" : ", inheriting");
    for (WORD i = 0; present && dacl != nullptr && i < dacl->AceCount; i++) {
        ACCESS_ALLOWED_ACE *ace = nullptr;
        GetAce(dacl, i, reinterpret_cast<void **>(&ace));
        out << "; type " << int(ace->Header.AceType) << " flags " << int(ace->Header.AceFlags) << " mask 0x" << std::hex
            << ace->Mask << std::dec << " " << sidText(&ace->SidStart);
    }
    LocalFree(descriptor);
    return out.str();
}

std::vector<std::uint8_t> Pattern(std::size_t length, unsigned seed)
{
    std::vector<std::uint8_t> bytes(length);
    std::uint32_t state = seed * 2654435761u + 1;
    for (auto &byte : bytes) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<std::uint8_t>(state >> 24);
    }
    return bytes;
}

std::vector<std::string> FolderNames(const std::string &folder)
{
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(Wide(folder + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            names.push_back(Utf8(name));
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace testfiles
