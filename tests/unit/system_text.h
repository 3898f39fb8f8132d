// The system's own text for a code, trimmed as the launcher trims it: an independent oracle
// for the texts that tests expect in messages.
#pragma once

#include <windows.h>

#include <string>

inline std::string TrimmedSystemText(DWORD code)
{
    char text[2048] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0x400,
                                  text, sizeof text, nullptr);
    std::string trimmed(text, length);
    while (!trimmed.empty() && std::string(". \r\n").find(trimmed.back()) != std::string::npos)
        trimmed.pop_back();
    return trimmed;
}
