// System message texts on Linux, for the codes the launcher reports; the texts are the
// ones the system writes, with their trailing full stop and line break.
#include <windows.h>

#include <cstring>

namespace {

struct SystemMessage {
    DWORD code;
    const char *text;
};

const SystemMessage systemMessages[] = {
    {8, "Not enough memory resources are available to process this command.\r\n"},
    {13, "The data is invalid.\r\n"},
    {29, "The system cannot write to the specified device.\r\n"},
    {30, "The system cannot read from the specified device.\r\n"},
    {1168, "Element not found.\r\n"},
    {1392, "The file or directory is corrupted and unreadable.\r\n"},
};

constexpr DWORD ErrorInsufficientBuffer = 122;
constexpr DWORD ErrorMrMidNotFound = 317;

} // namespace

DWORD FormatMessageA(DWORD, LPCVOID, DWORD messageId, DWORD, LPSTR buffer, DWORD size, void *)
{
    for (const SystemMessage &message : systemMessages) {
        if (message.code != messageId)
            continue;
        DWORD length = static_cast<DWORD>(std::strlen(message.text));
        if (buffer == nullptr || length + 1 > size) {
            SetLastError(ErrorInsufficientBuffer);
            return 0;
        }
        std::memcpy(buffer, message.text, length + 1);
        return length;
    }
    SetLastError(ErrorMrMidNotFound);
    return 0;
}
