// Finding, reading and closing the windows of another process from a test: message boxes,
// dialogs and their controls.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <vector>

namespace testtools {

struct WindowInfo {
    HWND handle = nullptr;
    DWORD processId = 0;
    std::string className;
    std::string text; // the caption of a top-level window, the text of a control
    int controlId = 0;
    bool visible = false;
};

// Which top-level windows to take; empty fields match anything.
struct WindowQuery {
    DWORD processId = 0;
    std::string className; // for example "#32770" for dialogs and message boxes
    std::string caption;
};

// Top-level windows matching the query, in the system's z-order.
std::vector<WindowInfo> ListTopLevelWindows(const WindowQuery &query = WindowQuery());

// Every descendant of parent (children before grandchildren of the next child, as EnumChildWindows
// walks them).
std::vector<WindowInfo> ListChildWindows(HWND parent);

// A visible top-level window matching the query, polled until timeoutMs has passed.
HWND WaitForWindow(const WindowQuery &query, DWORD timeoutMs);

// The text of a window of any process, through WM_GETTEXT (with a time-out, so a hung owner
// can't block the test).
std::string ReadWindowText(HWND window);

struct MessageBoxContents {
    std::string caption;
    std::string text;                 // the static control that holds the message
    std::vector<std::string> buttons; // button texts in child order
    bool hasIcon = false;
};

// Reads a message box (or any dialog): its caption, its message text and its buttons.
MessageBoxContents ReadMessageBox(HWND box);

// Clicks the button whose text, without its '&' mnemonic marks, equals buttonText (or with the
// control id when buttonText is empty). False when there is no such button.
bool ClickButton(HWND dialog, const std::string &buttonText, int controlId = 0);

// What the screen shows of a window: 24-bit rows, bottom row first, each padded to 4 bytes.
struct Screenshot {
    int width = 0;
    int height = 0;
    std::vector<unsigned char> rows;

    // The colour at (x, y), counted from the window's top left corner.
    COLORREF Pixel(int x, int y) const;
};

// What the screen shows of the window now; nothing when it can't be read.
std::optional<Screenshot> CaptureWindow(HWND window);

// Saves a screenshot as a 24-bit BMP file.
bool SaveScreenshot(const Screenshot &screenshot, const std::string &bmpPath);

// Saves what the screen shows of the window as a 24-bit BMP file.
bool SaveWindowScreenshot(HWND window, const std::string &bmpPath);

// One line per window: handle, process, class, id and text, children indented.
std::string DescribeWindows(const std::vector<WindowInfo> &windows, bool withChildren);

} // namespace testtools
