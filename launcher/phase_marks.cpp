#include "launcher/phase_marks.h"

#if LAUNCHER_PROFILE

#include <stdio.h>

static const char *const MarkNames[PhaseMarkCount] = {
    "entered",         "started",      "payload-read",   "items-checked",      "installer-found",
    "folder-opened",   "window-ready", "batch-started",  "step-done",          "batch-ended",
    "window-closed",   "files-locked", "files-verified", "installer-starting", "installer-created",
    "installer-ended", "finished",
};

struct PhaseRecord {
    DWORD mark;
    ULONGLONG time;
};

// Enough for a 4 GiB file written in 512 KiB steps, one batch per step.
static PhaseRecord records[3 * 8192 + 64];
static DWORD recordCount;

static ULONGLONG FileTimeValue(const FILETIME &time)
{
    return ((ULONGLONG)time.dwHighDateTime << 32) | time.dwLowDateTime;
}

static void AppendMarkLine(HANDLE file, const char *name, ULONGLONG time)
{
    char line[64];
    int length = snprintf(line, sizeof line, "%s %llu\n", name, time);
    DWORD written = 0;
    if (length > 0 && length < (int)sizeof line)
        WriteFile(file, line, (DWORD)length, &written, NULL);
}

void MarkPhase(DWORD mark)
{
    if (recordCount >= sizeof records / sizeof records[0] || mark >= PhaseMarkCount)
        return;
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    records[recordCount].mark = mark;
    records[recordCount].time = FileTimeValue(now);
    recordCount++;
}

void WritePhaseMarks(void)
{
    char path[MAX_PATH];
    DWORD length = GetEnvironmentVariableA("LAUNCHER_PROFILE_FILE", path, sizeof path);
    if (length == 0 || length >= sizeof path)
        return;
    // Appended: the stand-in installer adds its own start to the same file.
    HANDLE file = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ, NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return;
    FILETIME created, exited, kernel, user;
    if (GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        AppendMarkLine(file, "created", FileTimeValue(created));
    for (DWORD i = 0; i < recordCount; i++)
        AppendMarkLine(file, MarkNames[records[i].mark], records[i].time);
    CloseHandle(file);
}

#endif
