#include "tests/tools/window_tools.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace testtools {

namespace {

WindowInfo DescribeWindow(HWND window)
{
    WindowInfo info;
    info.handle = window;
    GetWindowThreadProcessId(window, &info.processId);
    char className[256] = {};
    GetClassNameA(window, className, sizeof className);
    info.className = className;
    info.text = ReadWindowText(window);
    info.controlId = GetDlgCtrlID(window);
    info.visible = IsWindowVisible(window) != FALSE;
    return info;
}

bool Matches(const WindowInfo &info, const WindowQuery &query)
{
    return (query.processId == 0 || info.processId == query.processId) &&
           (query.className.empty() || info.className == query.className) &&
           (query.caption.empty() || info.text == query.caption);
}

struct TopLevelWalk {
    const WindowQuery *query;
    std::vector<WindowInfo> found;
};

BOOL CALLBACK CollectTopLevel(HWND window, LPARAM context)
{
    auto *walk = reinterpret_cast<TopLevelWalk *>(context);
    WindowInfo info = DescribeWindow(window);
    if (Matches(info, *walk->query))
        walk->found.push_back(info);
    return TRUE;
}

BOOL CALLBACK CollectChild(HWND window, LPARAM context)
{
    reinterpret_cast<std::vector<WindowInfo> *>(context)->push_back(DescribeWindow(window));
    return TRUE;
}

std::string WithoutMnemonics(const std::string &text)
{
    std::string plain;
    for (size_t i = 0; i < text.size(); i++) {
        if (text[i] == '&' && i + 1 < text.size())
            i++;
        plain += text[i];
    }
    return plain;
}

} // namespace

std::vector<WindowInfo> ListTopLevelWindows(const WindowQuery &query)
{
    TopLevelWalk walk{&query, {}};
    EnumWindows(CollectTopLevel, reinterpret_cast<LPARAM>(&walk));
    return walk.found;
}

std::vector<WindowInfo> ListChildWindows(HWND parent)
{
    std::vector<WindowInfo> children;
    EnumChildWindows(parent, CollectChild, reinterpret_cast<LPARAM>(&children));
    return children;
}

HWND WaitForWindow(const WindowQuery &query, DWORD timeoutMs)
{
    DWORD start = GetTickCount();
    for (;;) {
        for (const WindowInfo &info : ListTopLevelWindows(query)) {
            if (info.visible)
                return info.handle;
        }
        if (GetTickCount() - start >= timeoutMs)
            return nullptr;
        Sleep(50);
    }
}

std::string ReadWindowText(HWND window)
{
    DWORD_PTR length = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length))
        return std::string();
    std::string text(length + 1, '\0');
    DWORD_PTR copied = 0;
    if (!SendMessageTimeoutA(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()), SMTO_ABORTIFHUNG,
                             2000, &copied))
        return std::string();
    text.resize(copied < length ? copied : length);
    return text;
}

MessageBoxContents ReadMessageBox(HWND box)
{
    MessageBoxContents contents;
    contents.caption = ReadWindowText(box);
    for (const WindowInfo &child : ListChildWindows(box)) {
        if (child.className == "Button") {
            contents.buttons.push_back(WithoutMnemonics(child.text));
        } else if (child.className == "Static") {
            // The message is the static control with text; the icon is a static without text.
            if (!child.text.empty() && contents.text.empty())
                contents.text = child.text;
            else if (child.text.empty())
                contents.hasIcon = true;
        }
    }
    return contents;
}

bool ClickButton(HWND dialog, const std::string &buttonText, int controlId)
{
    for (const WindowInfo &child : ListChildWindows(dialog)) {
        if (child.className != "Button")
            continue;
        bool wanted = buttonText.empty() ? child.controlId == controlId : WithoutMnemonics(child.text) == buttonText;
        if (wanted) {
            // BM_CLICK sends the button's WM_COMMAND to the dialog as a user's click would.
            PostMessageA(child.handle, BM_CLICK, 0, 0);
            return true;
        }
    }
    return false;
}

namespace {

DWORD RowBytes(int width)
{
    return ((DWORD)width * 3 + 3) & ~3u;
}

} // namespace

COLORREF Screenshot::Pixel(int x, int y) const
{
    const unsigned char *bgr = &rows[RowBytes(width) * (DWORD)(height - 1 - y) + 3 * (DWORD)x];
    return RGB(bgr[2], bgr[1], bgr[0]);
}

std::optional<Screenshot> CaptureWindow(HWND window)
{
    RECT rect;
    if (!GetWindowRect(window, &rect))
        return std::nullopt;
    Screenshot shot;
    shot.width = rect.right - rect.left;
    shot.height = rect.bottom - rect.top;
    if (shot.width <= 0 || shot.height <= 0)
        return std::nullopt;

    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO bitmapInfo = {};
    bitmapInfo.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bitmapInfo.bmiHeader.biWidth = shot.width;
    bitmapInfo.bmiHeader.biHeight = shot.height;
    bitmapInfo.bmiHeader.biPlanes = 1;
    bitmapInfo.bmiHeader.biBitCount = 24;
    bitmapInfo.bmiHeader.biCompression = BI_RGB;
    void *bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &bitmapInfo, DIB_RGB_COLORS, &bits, nullptr, 0);
    bool copied = false;
    if (bitmap != nullptr) {
        HGDIOBJ previous = SelectObject(memory, bitmap);
        copied = BitBlt(memory, 0, 0, shot.width, shot.height, screen, rect.left, rect.top, SRCCOPY) != FALSE;
        GdiFlush();
        SelectObject(memory, previous);
    }
    if (copied) {
        const unsigned char *first = static_cast<const unsigned char *>(bits);
        shot.rows.assign(first, first + RowBytes(shot.width) * (DWORD)shot.height);
    }
    if (bitmap != nullptr)
        DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    if (!copied)
        return std::nullopt;
    return shot;
}

bool SaveScreenshot(const Screenshot &screenshot, const std::string &bmpPath)
{
    BITMAPINFOHEADER info = {};
    info.biSize = sizeof info;
    info.biWidth = screenshot.width;
    info.biHeight = screenshot.height;
    info.biPlanes = 1;
    info.biBitCount = 24;
    info.biCompression = BI_RGB;
    BITMAPFILEHEADER fileHeader = {};
    fileHeader.bfType = 0x4D42;
    fileHeader.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
    fileHeader.bfSize = fileHeader.bfOffBits + (DWORD)screenshot.rows.size();
    std::ofstream file(std::filesystem::u8path(bmpPath), std::ios::binary);
    file.write(reinterpret_cast<const char *>(&fileHeader), sizeof fileHeader);
    file.write(reinterpret_cast<const char *>(&info), sizeof info);
    file.write(reinterpret_cast<const char *>(screenshot.rows.data()), (std::streamsize)screenshot.rows.size());
    return file.good();
}

bool SaveWindowScreenshot(HWND window, const std::string &bmpPath)
{
    std::optional<Screenshot> shot = CaptureWindow(window);
    return shot && SaveScreenshot(*shot, bmpPath);
}

std::string DescribeWindows(const std::vector<WindowInfo> &windows, bool withChildren)
{
    std::string lines;
    char line[1024];
    for (const WindowInfo &window : windows) {
        snprintf(line, sizeof line, "%p pid %lu class \"%s\" caption \"%s\"%s\n", (void *)window.handle,
                 (unsigned long)window.processId, window.className.c_str(), window.text.c_str(),
                 window.visible ? "" : " (hidden)");
        lines += line;
        if (!withChildren)
            continue;
        for (const WindowInfo &child : ListChildWindows(window.handle)) {
            snprintf(line, sizeof line, "    %p class \"%s\" id %d text \"%s\"%s\n", (void *)child.handle,
                     child.className.c_str(), child.controlId, child.text.c_str(), child.visible ? "" : " (hidden)");
            lines += line;
        }
    }
    return lines;
}

} // namespace testtools
