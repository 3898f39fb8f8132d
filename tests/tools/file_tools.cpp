#include "tests/tools/file_tools.h"

#include <windows.h>

namespace testtools {

std::string TestOutputFolder(const std::string &name)
{
    char current[MAX_PATH];
    GetCurrentDirectoryA(sizeof current, current);
    std::string folder = std::string(current) + "\\test-output";
    CreateDirectoryA(folder.c_str(), nullptr);
    folder += "\\" + name;
    CreateDirectoryA(folder.c_str(), nullptr);
    return folder;
}

} // namespace testtools
