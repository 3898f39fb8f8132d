#include "payload/package_directory.h"

#include <windows.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "launcher/launcher_state.h"
#include "payload/payload_item.h"

static const DWORD EnglishLcid = 1033;

// The component that the scan stopped at must end there: a longer one was cut by the field
// width, and such an entry takes no part rather than being read cut short.
static BOOL EndsComponent(char next)
{
    return next == '\0' || next == '\\';
}

// 1 when the first count characters of name are word, ignoring ASCII letter case.
static BOOL StartsWithWord(const char *name, const char *word, size_t count)
{
    for (size_t i = 0; i < count; i++) {
        char c = name[i] >= 'a' && name[i] <= 'z' ? (char)(name[i] - 'a' + 'A') : name[i];
        if (c != word[i])
            return FALSE;
    }
    return TRUE;
}

// Windows opens a device for these names, whatever extension follows: CON, PRN, AUX, NUL,
// COM1 to COM9, LPT1 to LPT9.
static BOOL IsDeviceName(const char *name)
{
    size_t length = strcspn(name, ".");
    while (length > 0 && name[length - 1] == ' ')
        length--;
    if (length == 3)
        return StartsWithWord(name, "CON", 3) || StartsWithWord(name, "PRN", 3) || StartsWithWord(name, "AUX", 3) ||
               StartsWithWord(name, "NUL", 3);
    return length == 4 && (StartsWithWord(name, "COM", 3) || StartsWithWord(name, "LPT", 3)) && name[3] >= '1' &&
           name[3] <= '9';
}

// A ProductCode or cabinet name becomes one component of a path: it must not lead elsewhere
// ("/", ":", "." and ".."), hold a control character, name a device, or end in a dot or a
// space, which Windows drops, so that the file would be another than the name says.
static BOOL IsPlainName(const char *name)
{
    if (strcmp(name, ".") == 0 || strcmp(name, "..") == 0 || IsDeviceName(name))
        return FALSE;
    size_t length = strlen(name);
    if (length > 0 && (name[length - 1] == '.' || name[length - 1] == ' '))
        return FALSE;
    for (const char *p = name; *p != '\0'; p++) {
        if ((unsigned char)*p < 0x20 || *p == '/' || *p == ':')
            return FALSE;
    }
    return TRUE;
}

// Walks a ';'-separated list of decimal numbers; returns the next token's start, or NULL at the
// end. *parsed is FALSE for a token that does not start with a number.
static const char *NextNumber(const char *tokens, DWORD *value, BOOL *parsed)
{
    if (tokens == NULL)
        return NULL;
    char *end = NULL;
    unsigned long number = strtoul(tokens, &end, 10);
    *parsed = end != tokens;
    *value = (DWORD)number;
    const char *separator = strchr(tokens, ';');
    return separator != NULL ? separator + 1 : NULL;
}

// Grows the record list by one zeroed element; the new block, or NULL with the list unchanged.
static FileRecord *GrowFileRecords(FileRecord *items, int count)
{
    SIZE_T bytes = (SIZE_T)(count + 1) * sizeof(FileRecord);
    if (items == NULL)
        return (FileRecord *)LocalAlloc(LMEM_ZEROINIT, bytes);
    return (FileRecord *)LocalReAlloc(items, bytes, LMEM_MOVEABLE | LMEM_ZEROINIT);
}

int EnumeratePackageDirectory(const LauncherState *state, DirectoryCallback callback, void *context)
{
    for (DWORD index = 0; index < state->payloadCount; index++) {
        const BYTE *directory = state->payloads[index].directory;
        DWORD size = state->payloads[index].directorySize;
        DWORD offset = 0;
        while (offset < size) {
            if ((ULONGLONG)offset + DirectoryRecordHeaderSize > size)
                return 0;
            DWORD id = ReadU32(directory + offset);
            DWORD length = ReadU32(directory + offset + 4);
            if ((ULONGLONG)offset + DirectoryRecordHeaderSize + length > size)
                return 0;

            LPCWSTR wide = (LPCWSTR)(directory + offset + DirectoryRecordHeaderSize);
            int units = (int)(length / 2);
            int needed = units > 0 ? WideCharToMultiByte(CP_ACP, 0, wide, units, NULL, 0, NULL, NULL) : 0;
            char *path = (char *)LocalAlloc(LMEM_ZEROINIT, (SIZE_T)needed + 1);
            if (path == NULL)
                return 0;
            if (needed > 0)
                WideCharToMultiByte(CP_ACP, 0, wide, units, path, needed, NULL, NULL);

            int goOn = callback(index, id, path, context);
            LocalFree(path);
            if (!goOn)
                return 1;
            offset += DirectoryRecordHeaderSize + length;
        }
    }
    return 1;
}

int MatchPackageRecord(DWORD containerIndex, DWORD recordId, const char *path, void *context)
{
    PackageSelection *selection = (PackageSelection *)context;
    int consumed = 0;
    if (sscanf(path, "%255[^\\]\\%255[^\\]\\%255[^\\]\\%255[^\\]%n", selection->architecture, selection->languages,
               selection->productCode, selection->productName, &consumed) != 4 ||
        !EndsComponent(path[consumed]) || !IsPlainName(selection->productCode))
        return 1;

    const char *wanted = selection->state->is64Bit ? "x64" : "Intel";
    DWORD language = selection->state->lcid;
    const char *token = selection->languages;
    while (token != NULL) {
        DWORD value = 0;
        BOOL parsed = FALSE;
        const char *next = NextNumber(token, &value, &parsed);
        BOOL matches =
            selection->passMode == 0 ? (value & 0xFFFF) == (language & 0xFFFF) : (value & 0xFF) == (language & 0xFF);
        if (parsed && matches && lstrcmpiA(selection->architecture, wanted) == 0) {
            selection->containerIndex = containerIndex;
            selection->packageId = recordId;
            return 0;
        }
        token = next;
    }
    return 1;
}

int CollectCabinetRecord(DWORD containerIndex, DWORD recordId, const char *path, void *context)
{
    CabinetCollectContext *collect = (CabinetCollectContext *)context;
    char kind[256];
    char packageIds[256];
    char name[sizeof(((FileRecord *)NULL)->name)];
    int consumed = 0;
    if (sscanf(path, "%255[^\\]\\%255[^\\]\\%260[^\\]%n", kind, packageIds, name, &consumed) != 3 ||
        !EndsComponent(path[consumed]) || lstrcmpiA(kind, "cab") != 0)
        return 1;
    if (containerIndex != collect->containerIndex)
        return 1;

    const char *token = packageIds;
    while (token != NULL) {
        DWORD value = 0;
        BOOL parsed = FALSE;
        const char *next = NextNumber(token, &value, &parsed);
        token = next;
        if (!parsed || value != collect->packageId)
            continue;
        FileRecord *grown = GrowFileRecords(*collect->items, *collect->count);
        if (grown == NULL) {
            collect->failed = 1;
            continue;
        }
        if (!MakeFileRecord(collect->state, containerIndex, recordId, &grown[*collect->count], name))
            collect->failed = 1;
        *collect->items = grown;
        (*collect->count)++;
    }
    return 1;
}

int MakeFileRecord(const LauncherState *state, DWORD containerIndex, DWORD itemId, FileRecord *record, const char *name)
{
    memset(record, 0, sizeof *record);
    // A name that is no plain file name is refused like a file that is missing.
    if (!IsPlainName(name) || snprintf(record->name, sizeof record->name, "%s", name) >= (int)sizeof record->name) {
        record->name[0] = '\0';
        return 0;
    }
    if (containerIndex >= state->payloadCount)
        return 0;
    ErrorValue result =
        ReadPayloadItem(&state->payloads[containerIndex], FileItemGuid, itemId, &record->data, &record->length);
    return ErrorValueCode(result) == 0;
}

BOOL SelectPackage(LauncherState *state, ExtractionJob *job, PackageSelection *selection)
{
    memset(selection, 0, sizeof *selection);
    selection->state = state;
    selection->passMode = 0;
    EnumeratePackageDirectory(state, MatchPackageRecord, selection);
    if (selection->packageId == 0) {
        selection->passMode = 1;
        EnumeratePackageDirectory(state, MatchPackageRecord, selection);
    }
    if (selection->packageId == 0 && state->lcid != EnglishLcid) {
        selection->passMode = 0;
        state->lcid = EnglishLcid;
        EnumeratePackageDirectory(state, MatchPackageRecord, selection);
    }
    if (selection->packageId == 0)
        return FALSE;

    FileRecord *grown = GrowFileRecords(job->items, job->count);
    if (grown == NULL)
        return FALSE;
    job->items = grown;
    if (!MakeFileRecord(state, selection->containerIndex, selection->packageId, &grown[job->count], "main.msi"))
        return FALSE;
    job->count++;

    CabinetCollectContext collect;
    collect.items = &job->items;
    collect.count = &job->count;
    collect.containerIndex = selection->containerIndex;
    collect.packageId = selection->packageId;
    collect.failed = 0;
    collect.state = state;
    EnumeratePackageDirectory(state, CollectCabinetRecord, &collect);
    return !collect.failed;
}
