#include "tests/unit/win32_test_files.h"

#include <stdexcept>

namespace testfiles {

TempFolder::TempFolder(const std::string &tag)
{
    char base[MAX_PATH];
    DWORD length = GetTempPathA(MAX_PATH, base);
    if (length == 0 || length >= MAX_PATH)
        throw std::runtime_error("no temporary folder");
    for (unsigned n = GetTickCount() ^ GetCurrentProcessId();; n++) {
        std::string candidate = std::string(base) + tag + "-" + std::to_string(n);
        if (CreateDirectoryA(candidate.c_str(), nullptr)) {
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
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::vector<std::uint8_t> ReadAll(const std::string &path)
{
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
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
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create " + path);
    DWORD written = 0;
    BOOL ok = bytes.empty() || WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
    if (!ok || written != bytes.size())
        throw std::runtime_error("cannot write " + path);
}

void RemoveTree(const std::string &path)
{
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::string name = found.cFileName;
            if (name == "." || name == "..")
                continue;
            std::string child = path + "\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(child);
            else {
                SetFileAttributesA(child.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(child.c_str());
            }
        } while (FindNextFileA(search, &found));
        FindClose(search);
    }
    if (!RemoveDirectoryA(path.c_str()))
        DeleteFileA(path.c_str());
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

} // namespace testfiles
