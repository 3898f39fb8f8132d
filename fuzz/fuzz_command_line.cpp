// The launcher's command line split into arguments, and the installer's command line built
// from them. Input: UTF-16LE text; its first unit also chooses the buffer size.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "launcher/command_line.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    std::vector<WCHAR> text(size / 2 + 1);
    for (std::size_t i = 0; i < size / 2; i++)
        text[i] = static_cast<WCHAR>(data[2 * i] | (data[2 * i + 1] << 8));
    text[size / 2] = u'\0';

    int count = -1;
    WCHAR **arguments = SplitCommandLine(text.data(), &count);
    if (arguments == nullptr)
        return 0;
    if (count < 0 || arguments[count] != nullptr)
        __builtin_trap();

    // Buffers from tiny to the launcher's 1024 units, each exactly its size.
    DWORD bufferSize = size >= 2 ? 1 + (text[0] % 1024) : 1024;
    std::vector<WCHAR> line(bufferSize);
    ErrorValue built = BuildInstallerCommandLine(line.data(), bufferSize, "C:\\Windows\\system32\\msiexec.exe",
                                                 u"C:\\Windows\\Installer\\{P}\\main.msi", count, arguments);
    bool terminated = false;
    for (WCHAR unit : line)
        terminated = terminated || unit == u'\0';
    if (!terminated)
        __builtin_trap(); // the line is always terminated, also when it is refused
    if (ErrorValueCode(built) != 0 && ErrorValueCode(built) != ERROR_FILENAME_EXCED_RANGE)
        __builtin_trap(); // the fixed paths always convert: only the length can fail
    HasQuietSwitch(count, arguments);
    LocalFree(arguments);
    return 0;
}
