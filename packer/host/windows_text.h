// UTF-8 inside the packer, UTF-16 at the Windows API.
#pragma once

#include <windows.h>

#include <string>

namespace packer::host {

std::wstring Wide(const std::string &text);
// A path for the file calls: UTF-16, and made absolute in the \\?\ form when it would reach past
// MAX_PATH, which the plain form cannot (folders deep in a build tree, for one).
std::wstring WidePath(const std::string &path);
std::string Utf8(const wchar_t *text, std::size_t length);
std::string Utf8(const std::wstring &text);
// The system's words for an error code, with the code: "Access is denied (error 5)".
std::string SystemMessage(DWORD error);

} // namespace packer::host
