// ui_driver COMMAND [--pid N] [--class NAME] [--caption TEXT] [--timeout MS] [more]
// Drives the windows of another program from inside Wine (or Windows):
//   list                       top-level windows matching the selectors, with their children
//   wait                       waits for a visible matching window and prints its handle
//   text                       waits for a matching dialog and prints its message text
//   read                       waits for a matching dialog: caption, text and buttons, a line each
//   click --button TEXT|--id N waits for a matching dialog and clicks that button
//   screenshot --out FILE.bmp  waits for a matching window and saves what the screen shows of it
// Exit code 0 on success, 1 when no window matched in time or the button is missing, 2 on
// wrong usage. --timeout defaults to 10000 ms.
#include "tests/tools/window_tools.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int Usage()
{
    std::fprintf(stderr, "usage: ui_driver list|wait|text|read|click|screenshot [--pid N] [--class NAME] "
                         "[--caption TEXT] [--timeout MS] [--button TEXT | --id N] [--out FILE.bmp]\n");
    return 2;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2)
        return Usage();
    std::string command = argv[1];
    testtools::WindowQuery query;
    DWORD timeoutMs = 10000;
    std::string buttonText, outPath;
    int controlId = 0;
    for (int i = 2; i < argc; i++) {
        std::string option = argv[i];
        if (i + 1 >= argc)
            return Usage();
        const char *value = argv[++i];
        if (option == "--pid")
            query.processId = static_cast<DWORD>(std::strtoul(value, nullptr, 10));
        else if (option == "--class")
            query.className = value;
        else if (option == "--caption")
            query.caption = value;
        else if (option == "--timeout")
            timeoutMs = static_cast<DWORD>(std::strtoul(value, nullptr, 10));
        else if (option == "--button")
            buttonText = value;
        else if (option == "--id")
            controlId = std::atoi(value);
        else if (option == "--out")
            outPath = value;
        else
            return Usage();
    }

    if (command == "list") {
        std::fputs(testtools::DescribeWindows(testtools::ListTopLevelWindows(query), true).c_str(), stdout);
        return 0;
    }
    if (command != "wait" && command != "text" && command != "read" && command != "click" && command != "screenshot")
        return Usage();
    if ((command == "click" && buttonText.empty() && controlId == 0) || (command == "screenshot" && outPath.empty()))
        return Usage();

    HWND window = testtools::WaitForWindow(query, timeoutMs);
    if (window == nullptr) {
        std::fprintf(stderr, "ui_driver: no matching window within %lu ms\n", (unsigned long)timeoutMs);
        return 1;
    }
    if (command == "wait") {
        std::printf("%p\n", (void *)window);
        return 0;
    }
    if (command == "screenshot")
        return testtools::SaveWindowScreenshot(window, outPath) ? 0 : 1;
    if (command == "click")
        return testtools::ClickButton(window, buttonText, controlId) ? 0 : 1;

    testtools::MessageBoxContents box = testtools::ReadMessageBox(window);
    if (command == "text") {
        std::printf("%s\n", box.text.c_str());
        return 0;
    }
    std::printf("caption: %s\ntext: %s\n", box.caption.c_str(), box.text.c_str());
    for (const std::string &button : box.buttons)
        std::printf("button: %s\n", button.c_str());
    return 0;
}
