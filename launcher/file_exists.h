#pragma once

#include <windows.h>

// 1 when something exists at path (a file, or a folder given without a trailing backslash).
int FileExists(const char *path);
