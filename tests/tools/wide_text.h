// The Windows-side tests keep paths and text in UTF-8 strings and hand them to Windows as UTF-16.
// The narrow (*A) calls and the C library would read them in the ANSI code page, which cannot
// hold every letter a checkout's path may have.
#pragma once

#include <windows.h>

#include <string>

namespace testtools {

inline std::wstring Wide(const std::string &utf8)
{
    int units = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(units > 0 ? units : 0), L'\0');
    if (units > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), units);
    return wide;
}

inline std::string Utf8(const std::wstring &wide)
{
    int bytes =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<std::size_t>(bytes > 0 ? bytes : 0), '\0');
    if (bytes > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), bytes, nullptr,
                            nullptr);
    return utf8;
}

} // namespace testtools
