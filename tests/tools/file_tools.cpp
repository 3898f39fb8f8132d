#include "tests/tools/file_tools.h"

#include "tests/tools/wide_text.h"

namespace testtools {

std::string TestOutputFolder(const std::string &name)
{
    std::wstring current(GetCurrentDirectoryW(0, nullptr), L'\0');
    current.resize(GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data()));
    std::string folder = Utf8(current) + "\\test-output";
    CreateDirectoryW(Wide(folder).c_str(), nullptr);
    folder += "\\" + name;
    CreateDirectoryW(Wide(folder).c_str(), nullptr);
    return folder;
}

} // namespace testtools
