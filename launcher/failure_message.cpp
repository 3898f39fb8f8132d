#include "launcher/failure_message.h"

#include "launcher/format_text.h"
#include "payload/ansi_text.h"

void GetMessageCaption(const WCHAR *ownPath, char *caption, int size)
{
    if (ownPath == NULL) {
        lstrcpynA(caption, "Loader", size);
        return;
    }
    const WCHAR *name = ownPath;
    for (const WCHAR *p = ownPath; *p != 0; p++) {
        if (*p == '\\')
            name = p + 1;
    }
    if (!ConvertToAnsiForDisplay(name, lstrlenW(name), caption, size))
        caption[0] = '\0';
}

void ShowFailureMessage(RunState *run)
{
    if (run->messageText[0] == '\0') {
        char detail[64];
        FormatText(detail, sizeof detail, "%u, %u, %u", 1u, (unsigned)ErrorValueCode(run->outcome),
                   (unsigned)ErrorValueLine(run->outcome));
        FormatErrorText(ErrorValueCode(run->outcome), run->messageText, sizeof run->messageText, detail);
    }
    char caption[MAX_PATH];
    GetMessageCaption(run->ownPath, caption, sizeof caption);
    MessageBoxA(NULL, run->messageText, caption, MB_ICONERROR);
}
