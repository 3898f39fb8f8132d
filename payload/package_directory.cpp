#include "payload/package_directory.h"

#include <windows.h>
#include <stdlib.h>
#include <string.h>

#include "launcher/launcher_state.h"
#include "payload/ansi_text.h"
#include "payload/file_name_rule.h"
#include "payload/payload_item.h"

static const DWORD EnglishLcid = 1033;

// Texts of the directory are UTF-16; these helpers take ASCII words and separators.
static const WCHAR PackageFileName[] = {'m', 'a', 'i', 'n', '.', 'm', 's', 'i', 0};

// Splits path into up to count components; returns how many were found, each at least one unit
// long. What follows the last wanted component is left alone.
static int SplitPath(const WCHAR *path, PathComponent *components, int count)
{
    int found = 0;
    const WCHAR *p = path;
    while (found < count) {
        const WCHAR *start = p;
        while (*p != 0 && *p != '\\')
            p++;
        if (p == start)
            return found;
        components[found].text = start;
        components[found].units = (int)(p - start);
        found++;
        if (*p == 0)
            return found;
        p++;
    }
    return found;
}

static WCHAR LowerAscii(WCHAR c)
{
    return c >= 'A' && c <= 'Z' ? (WCHAR)(c - 'A' + 'a') : c;
}

// 1 when the component is word, ignoring ASCII letter case.
static BOOL ComponentIs(const PathComponent *component, const char *word)
{
    int i = 0;
    for (; i < component->units && word[i] != '\0'; i++) {
        if (LowerAscii(component->text[i]) != LowerAscii((WCHAR)word[i]))
            return FALSE;
    }
    return i == component->units && word[i] == '\0';
}

DWORD SplitDirectoryRecord(const WCHAR *path, DirectoryRecordParts *parts)
{
    int found = SplitPath(path, parts->components, 4);
    if (found >= 3 && ComponentIs(&parts->components[0], "cab"))
        parts->kind = DirectoryRecordCabinet;
    else if (found == 4)
        parts->kind = DirectoryRecordPackage;
    else
        parts->kind = DirectoryRecordOther;
    return parts->kind;
}

// A ProductCode or cabinet name becomes one component of a path: it must be a plain file name,
// and its ANSI form must be the same name, or the ANSI calls would reach another file.
static BOOL CopyPlainName(const PathComponent *component, char *name, int size)
{
    WCHAR terminated[261];
    if (component->units >= (int)(sizeof terminated / sizeof terminated[0]))
        return FALSE;
    memcpy(terminated, component->text, (size_t)component->units * sizeof(WCHAR));
    terminated[component->units] = 0;
    return IsPlainFileName(terminated) && ConvertToAnsiExactly(terminated, component->units, name, size);
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

// 1 when one of the first count records holds another item than itemId under a name that is the
// same file as name.
static BOOL ClashesWithEarlier(const FileRecord *items, int count, const WCHAR *name, DWORD itemId)
{
    for (int i = 0; i < count; i++) {
        WCHAR earlier[sizeof items[i].name];
        if (items[i].itemId == itemId || items[i].name[0] == '\0' ||
            MultiByteToWideChar(CP_ACP, 0, items[i].name, -1, earlier, (int)(sizeof earlier / sizeof earlier[0])) <= 0)
            continue;
        if (IsSameFileName(earlier, name))
            return TRUE;
    }
    return FALSE;
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

            // Copied out: the record may sit at an odd offset, and may lack its terminator.
            int units = (int)(length / 2);
            WCHAR *path = (WCHAR *)LocalAlloc(LMEM_ZEROINIT, ((SIZE_T)units + 1) * sizeof(WCHAR));
            if (path == NULL)
                return -1;
            memcpy(path, directory + offset + DirectoryRecordHeaderSize, (size_t)units * sizeof(WCHAR));

            int goOn = callback(index, id, path, context);
            LocalFree(path);
            if (!goOn)
                return 1;
            offset += DirectoryRecordHeaderSize + length;
        }
    }
    return 1;
}

int MatchPackageRecord(DWORD containerIndex, DWORD recordId, const WCHAR *path, void *context)
{
    PackageSelection *selection = (PackageSelection *)context;
    DirectoryRecordParts record;
    const PathComponent *parts = record.components;
    if (SplitDirectoryRecord(path, &record) != DirectoryRecordPackage ||
        !ConvertToAnsiForDisplay(parts[0].text, parts[0].units, selection->architecture,
                                 sizeof selection->architecture) ||
        !ConvertToAnsiForDisplay(parts[1].text, parts[1].units, selection->languages, sizeof selection->languages) ||
        !CopyPlainName(&parts[2], selection->productCode, sizeof selection->productCode) ||
        !ConvertToAnsiForDisplay(parts[3].text, parts[3].units, selection->productName, sizeof selection->productName))
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
        if (parsed && matches && ComponentIs(&parts[0], wanted)) {
            selection->containerIndex = containerIndex;
            selection->packageId = recordId;
            return 0;
        }
        token = next;
    }
    return 1;
}

int CollectCabinetRecord(DWORD containerIndex, DWORD recordId, const WCHAR *path, void *context)
{
    CabinetCollectContext *collect = (CabinetCollectContext *)context;
    DirectoryRecordParts record;
    const PathComponent *parts = record.components;
    char packageIds[256];
    if (SplitDirectoryRecord(path, &record) != DirectoryRecordCabinet ||
        !ConvertToAnsiForDisplay(parts[1].text, parts[1].units, packageIds, sizeof packageIds))
        return 1;
    // The name ends at the next backslash, if any; it is checked when the record is made. A name
    // longer than a record holds takes no part.
    WCHAR name[sizeof(((FileRecord *)NULL)->name)];
    if (parts[2].units >= (int)(sizeof name / sizeof name[0]))
        return 1;
    memcpy(name, parts[2].text, (size_t)parts[2].units * sizeof(WCHAR));
    name[parts[2].units] = 0;
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
        if (!MakeFileRecord(collect->state, containerIndex, recordId, &grown[*collect->count], name) ||
            ClashesWithEarlier(grown, *collect->count, name, recordId))
            collect->failed = 1;
        *collect->items = grown;
        (*collect->count)++;
    }
    return 1;
}

int MakeFileRecord(const LauncherState *state, DWORD containerIndex, DWORD itemId, FileRecord *record,
                   const WCHAR *name)
{
    memset(record, 0, sizeof *record);
    record->itemId = itemId;
    // A name that is no plain file name is refused like a file that is missing.
    PathComponent whole = {name, lstrlenW(name)};
    if (!CopyPlainName(&whole, record->name, sizeof record->name))
        return 0;
    if (containerIndex >= state->payloadCount)
        return 0;
    ErrorValue result = ReadPayloadItem(&state->payloads[containerIndex], FileItemGuid, itemId, &record->data,
                                        &record->length, record->digest);
    return ErrorValueCode(result) == 0;
}

BOOL ChoosePackageEntry(LauncherState *state, PackageSelection *selection)
{
    memset(selection, 0, sizeof *selection);
    selection->state = state;
    // A walk that ran out of memory has not seen every record: a later pass could take a worse match.
    selection->passMode = 0;
    if (EnumeratePackageDirectory(state, MatchPackageRecord, selection) < 0)
        return FALSE;
    if (selection->packageId == 0) {
        selection->passMode = 1;
        if (EnumeratePackageDirectory(state, MatchPackageRecord, selection) < 0)
            return FALSE;
    }
    if (selection->packageId == 0 && state->lcid != EnglishLcid) {
        selection->passMode = 0;
        state->lcid = EnglishLcid;
        if (EnumeratePackageDirectory(state, MatchPackageRecord, selection) < 0) {
            selection->packageId = 0;
            return FALSE;
        }
    }
    return selection->packageId != 0;
}

BOOL SelectPackage(LauncherState *state, ExtractionJob *job, PackageSelection *selection)
{
    if (!ChoosePackageEntry(state, selection))
        return FALSE;

    FileRecord *grown = GrowFileRecords(job->items, job->count);
    if (grown == NULL)
        return FALSE;
    job->items = grown;
    if (!MakeFileRecord(state, selection->containerIndex, selection->packageId, &grown[job->count], PackageFileName))
        return FALSE;
    job->count++;

    CabinetCollectContext collect;
    collect.items = &job->items;
    collect.count = &job->count;
    collect.containerIndex = selection->containerIndex;
    collect.packageId = selection->packageId;
    collect.failed = 0;
    collect.state = state;
    // A walk cut short by a failed allocation would leave cabinets out of the job.
    if (EnumeratePackageDirectory(state, CollectCabinetRecord, &collect) < 0)
        collect.failed = 1;
    return !collect.failed;
}

// What CompareBinding looks for, and what it found.
struct BindingSearch {
    DWORD containerIndex;
    DWORD itemId;
    char expected[BindingPathMaxLength + 1]; // the output's binding path
    BOOL anyBinding;
    BOOL matches;
    BOOL differs;
};

static int CompareBinding(DWORD containerIndex, DWORD recordId, const WCHAR *path, void *context)
{
    BindingSearch *search = (BindingSearch *)context;
    if (containerIndex != search->containerIndex || !IsBindingPath(path))
        return 1;
    search->anyBinding = TRUE;
    if (recordId != search->itemId)
        return 1;
    int i = 0;
    while (path[i] != 0 && path[i] == (WCHAR)search->expected[i])
        i++;
    if (path[i] == 0 && search->expected[i] == 0)
        search->matches = TRUE;
    else
        search->differs = TRUE;
    return 1;
}

DWORD CheckItemBinding(const LauncherState *state, DWORD containerIndex, DWORD itemId, const BYTE digest[Sha256Size],
                       DWORD length)
{
    BindingSearch search;
    memset(&search, 0, sizeof search);
    search.containerIndex = containerIndex;
    search.itemId = itemId;
    FormatBindingPath(search.expected, digest, length);
    if (EnumeratePackageDirectory(state, CompareBinding, &search) < 0)
        return ItemBindingMissing;
    if (!search.anyBinding)
        return ItemBindingNone;
    if (search.differs)
        return ItemBindingDiffers;
    return search.matches ? ItemBindingMatches : ItemBindingMissing;
}

BOOL CheckJobBindings(const LauncherState *state, const ExtractionJob *job, DWORD containerIndex)
{
    for (int i = 0; i < job->count; i++) {
        const FileRecord *record = &job->items[i];
        DWORD binding = CheckItemBinding(state, containerIndex, record->itemId, record->digest, record->length);
        if (binding == ItemBindingNone)
            return TRUE;
        if (binding != ItemBindingMatches)
            return FALSE;
    }
    return TRUE;
}
