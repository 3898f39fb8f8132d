#include "tests/tools/file_tools.h"

#include <fstream>
#include <iterator>

namespace testtools {

bool CreateFolders(const std::string &path)
{
    for (size_t position = path.find('\\', 3); ; position = path.find('\\', position + 1)) {
        std::string prefix = path.substr(0, position);
        if (!CreateDirectoryA(prefix.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            return false;
        if (position == std::string::npos)
            return true;
    }
}

std::string TestOutputFolder(const std::string &name)
{
    char current[MAX_PATH];
    GetCurrentDirectoryA(sizeof current, current);
    std::string folder = std::string(current) + "\\test-output\\" + name;
    CreateFolders(folder);
    return folder;
}

std::vector<std::uint8_t> ReadWholeFile(const std::string &path)
{
    std::ifstream file(path, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

bool WriteWholeFile(const std::string &path, const std::vector<std::uint8_t> &bytes)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file.write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return file.good();
}

} // namespace testtools
