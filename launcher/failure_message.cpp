#include "launcher/failure_message.h"

#include <stdio.h>

const char *GetMessageCaption(const char *ownPath, UINT codePage)
{
    if (ownPath == NULL)
        return "Loader";
    const char *name = ownPath;
    for (const char *p = ownPath; *p != '\0'; p = CharNextExA((WORD)codePage, p, 0)) {
        if (*p == '\\')
            name = p + 1;
    }
    return name;
}

void ShowFailureMessage(RunState *run)
{
    if (run->messageText[0] == '\0') {
        char detail[64];
        snprintf(detail, sizeof detail, "%u, %u, %u", 1u, (unsigned)ErrorValueCode(run->outcome),
                 (unsigned)ErrorValueLine(run->outcome));
        FormatErrorText(ErrorValueCode(run->outcome), run->messageText, sizeof run->messageText, detail);
    }
    MessageBoxA(NULL, run->messageText, GetMessageCaption(run->ownPath, CP_ACP), MB_ICONERROR);
}
