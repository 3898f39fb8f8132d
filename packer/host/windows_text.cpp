#include "packer/host/windows_text.h"

#include <climits>

namespace packer::host {

std::wstring Wide(const std::string &text)
{
    if (text.empty() || text.size() > INT_MAX)
        return {};
    const int length = static_cast<int>(text.size());
    int needed = MultiByteToWideChar(CP_UTF8, 0, text.data(), length, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), length, wide.data(), needed);
    return wide;
}

std::wstring WidePath(const std::string &path)
{
    std::wstring wide = Wide(path);
    // A plain path works up to MAX_PATH; a folder's leaves room for an 8.3 name after it.
    constexpr std::size_t PlainLimit = MAX_PATH - 12;
    if (wide.size() < PlainLimit || wide.rfind(LR"(\\?\)", 0) == 0)
        return wide;
    DWORD needed = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return wide;
    std::wstring full(needed, L'\0');
    DWORD length = GetFullPathNameW(wide.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return wide;
    full.resize(length);
    if (full.rfind(LR"(\\)", 0) == 0)
        return LR"(\\?\UNC\)" + full.substr(2);
    return LR"(\\?\)" + full;
}

std::string Utf8(const wchar_t *text, std::size_t length)
{
    if (length == 0 || length > INT_MAX)
        return {};
    int needed = WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(needed), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, static_cast<int>(length), narrow.data(), needed, nullptr, nullptr);
    return narrow;
}

std::string Utf8(const std::wstring &text)
{
    return Utf8(text.data(), text.size());
}

std::string SystemMessage(DWORD error)
{
    wchar_t *buffer = nullptr;
    DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<wchar_t *>(&buffer), 0, nullptr);
    std::string text = buffer ? Utf8(buffer, length) : std::string();
    LocalFree(buffer);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ' || text.back() == '.'))
        text.pop_back();
    return (text.empty() ? "system error" : text) + " (error " + std::to_string(error) + ")";
}

} // namespace packer::host
