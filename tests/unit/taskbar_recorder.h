// A recording stand-in for the taskbar progress object, linked into tests instead of the real
// one: it keeps every call, and looks at the dialog window at the moment it is handed over.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "ui/taskbar_progress.h"

namespace taskbarrecorder {

struct DialogSnapshot {
    std::string className;
    std::string caption;
    std::string barClassName;
    int barLow = -1;
    int barHigh = -1;
};

extern std::vector<ULONGLONG> completedValues;
extern std::vector<std::string> calls; // "window", "on", "off", "total N"
extern DialogSnapshot snapshot;
extern TaskbarProgress object;

void Reset();

} // namespace taskbarrecorder
