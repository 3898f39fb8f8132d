#include "payload/extraction.h"

#include <stdio.h>
#include <string.h>

#include "launcher/picked_folder.h"
#include "payload/inflate.h"

enum {
    WidePathSize = 1024,
    WideNameSize = 261,
    AsideAttempts = 100,
};

// A new file's handle can delete it: a roll-back then removes exactly the file this run made.
static const DWORD NewFileAccess = GENERIC_READ | GENERIC_WRITE | DELETE;

static BOOL ToWide(const char *text, WCHAR *buffer, int size)
{
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, buffer, size) > 0;
}

static BOOL JoinPath(WCHAR *buffer, const WCHAR *folder, const WCHAR *name)
{
    int folderLength = lstrlenW(folder);
    int nameLength = lstrlenW(name);
    if (folderLength + 1 + nameLength >= WidePathSize) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    memcpy(buffer, folder, folderLength * sizeof(WCHAR));
    buffer[folderLength] = L'\\';
    memcpy(buffer + folderLength + 1, name, (nameLength + 1) * sizeof(WCHAR));
    return TRUE;
}

static BOOL RecordName(const FileRecord *record, WCHAR *name)
{
    return ToWide(record->name, name, WideNameSize);
}

static BOOL FinalPath(HANDLE handle, WCHAR *buffer)
{
    DWORD length = GetFinalPathNameByHandleW(handle, buffer, WidePathSize, VOLUME_NAME_NT);
    if (length == 0)
        return FALSE;
    if (length >= WidePathSize) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return TRUE;
}

// 1 when the open file lies in the pinned folder under name (its final path is the folder's, a
// backslash and name), 0 when it lies elsewhere or under another name, -1 when its path can't
// be read (the last error says why).
static int LiesInFolder(HANDLE file, const WCHAR *folderFinalPath, const WCHAR *name)
{
    WCHAR expected[WidePathSize];
    WCHAR actual[WidePathSize];
    if (!JoinPath(expected, folderFinalPath, name) || !FinalPath(file, actual))
        return -1;
    return CompareStringOrdinal(expected, -1, actual, -1, TRUE) == CSTR_EQUAL ? 1 : 0;
}

static BOOL IsRegularFile(HANDLE file)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    return GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info) &&
           (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// 1 when the open file holds exactly data, read from its start.
static int FileHoldsContent(HANDLE file, const BYTE *data, DWORD length)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart != (LONGLONG)length)
        return 0;
    BYTE buffer[65536];
    DWORD offset = 0;
    while (offset < length) {
        DWORD wanted = length - offset < sizeof buffer ? length - offset : (DWORD)sizeof buffer;
        DWORD read = 0;
        if (!ReadFile(file, buffer, wanted, &read, NULL) || read != wanted || memcmp(buffer, data + offset, read) != 0)
            return 0;
        offset += read;
    }
    return 1;
}

// 1 when an earlier record names the same file; Windows' names ignore letter case.
static int OpenedEarlier(const ExtractionJob *job, int index)
{
    WCHAR name[WideNameSize];
    WCHAR earlier[WideNameSize];
    if (!RecordName(&job->items[index], name))
        return 0;
    for (int i = 0; i < index; i++) {
        if (RecordName(&job->items[i], earlier) && CompareStringOrdinal(earlier, -1, name, -1, TRUE) == CSTR_EQUAL)
            return 1;
    }
    return 0;
}

static void CloseRecordHandle(FileRecord *record)
{
    if (record->handle != NULL) {
        CloseHandle(record->handle);
        record->handle = NULL;
    }
}

// Deletes name in the pinned folder: the folder can't be renamed or replaced while pinned, so
// the name can't lead anywhere else.
static void DeleteInFolder(const ExtractionJob *job, const WCHAR *name)
{
    WCHAR path[WidePathSize];
    if (JoinPath(path, job->folderPath, name))
        DeleteFileW(path);
}

static BOOL MoveInFolder(const ExtractionJob *job, const WCHAR *from, const WCHAR *to)
{
    WCHAR fromPath[WidePathSize];
    WCHAR toPath[WidePathSize];
    return JoinPath(fromPath, job->folderPath, from) && JoinPath(toPath, job->folderPath, to) &&
           MoveFileExW(fromPath, toPath, 0);
}

// Deletes the record's file. A handle that can delete deletes what it holds. A lock can't: it
// shares no deletion, so no handle to the file can gain delete access while it is open. Then
// the lock is closed and the name deleted in the pinned folder.
static void DeleteRecordFile(const ExtractionJob *job, FileRecord *record)
{
    if (record->handle != NULL && !record->handleIsLock) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        BOOL deleted =
            SetFileInformationByHandle(record->handle, FileDispositionInfo, &disposition, sizeof disposition);
        CloseRecordHandle(record);
        if (deleted)
            return;
    }
    CloseRecordHandle(record);
    WCHAR name[WideNameSize];
    if (RecordName(record, name))
        DeleteInFolder(job, name);
}

static void CloseAsideHandle(FileRecord *record)
{
    if (record->asideHandle != NULL) {
        CloseHandle(record->asideHandle);
        record->asideHandle = NULL;
    }
}

// Puts the file moved aside for the record back under the record's name, where nothing may be
// now: a name taken meanwhile is not replaced. The move needs delete access, which the handle
// that held the file shares with nobody, so that handle is closed first.
static void PutBackAside(const ExtractionJob *job, FileRecord *record)
{
    CloseAsideHandle(record);
    WCHAR name[WideNameSize];
    if (RecordName(record, name))
        MoveInFolder(job, record->asideName, name);
}

static void DeleteAside(const ExtractionJob *job, FileRecord *record)
{
    if (record->asideHandle != NULL) {
        FILE_DISPOSITION_INFO disposition = {TRUE};
        BOOL deleted =
            SetFileInformationByHandle(record->asideHandle, FileDispositionInfo, &disposition, sizeof disposition);
        CloseAsideHandle(record);
        if (deleted)
            return;
    }
    DeleteInFolder(job, record->asideName);
}

static BOOL IsNewFile(const FileRecord *record)
{
    return record->kind == OutputCreated || record->kind == OutputReplacing;
}

// Releases the pin, then removes the folder, which only works when it is empty: nothing left in
// it could be redirected.
static void UnpinFolder(ExtractionJob *job, BOOL removeFolder)
{
    if (job->folder == NULL)
        return;
    CloseHandle(job->folder);
    job->folder = NULL;
    if (removeFolder)
        RemoveDirectoryW(job->folderPath);
}

static void ClearRecord(FileRecord *record)
{
    record->handle = NULL;
    record->written = 0;
    record->outputPath[0] = '\0';
    record->kind = OutputNotOpen;
    record->handleIsLock = 0;
    record->asideName[0] = L'\0';
    record->asideHandle = NULL;
}

// Undoes what one attempt did, while the folder is still pinned: deletes the files it created,
// puts back what it moved aside, closes the files found in place; then releases the pin and
// removes the folder if that left it empty. Keeps the last error of the failure.
static void RollBackOutputFiles(ExtractionJob *job)
{
    DWORD error = GetLastError();
    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];
        if (IsNewFile(record))
            DeleteRecordFile(job, record);
        CloseRecordHandle(record);
        if (record->asideName[0] != L'\0')
            PutBackAside(job, record);
        ClearRecord(record);
    }
    UnpinFolder(job, TRUE);
    SetLastError(error);
}

// Opens the folder so that nobody can rename or delete it while the handle is held: any handle
// takes part in share checks, and this one shares no deletion. It does share reading and
// writing, since adding or renaming a file in the folder opens the folder too.
static HANDLE OpenFolderPin(const WCHAR *path)
{
    return CreateFileW(path, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                       FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, NULL);
}

// A reparse point always has a tag; one reported without (Wine's links) can't be told apart from
// a link.
static BOOL IsNameSurrogate(DWORD attributes, DWORD reparseTag)
{
    return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
           (reparseTag == 0 || IsReparseTagNameSurrogate(reparseTag));
}

// What the pin holds must be a directory, not a junction or a symbolic link to another one. The
// name is asked too: where the system opens a link's target in spite of
// FILE_FLAG_OPEN_REPARSE_POINT (Wine does for a folder), only the name shows the link.
static BOOL IsUsableFolder(HANDLE folder, const WCHAR *path)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    if (!GetFileInformationByHandleEx(folder, FileAttributeTagInfo, &info, sizeof info))
        return FALSE;
    if ((info.FileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        SetLastError(ERROR_DIRECTORY);
        return FALSE;
    }
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(path, &found);
    if (search == INVALID_HANDLE_VALUE)
        return FALSE;
    FindClose(search);
    if (IsNameSurrogate(info.FileAttributes, info.ReparseTag) ||
        IsNameSurrogate(found.dwFileAttributes, found.dwReserved0)) {
        SetLastError(ERROR_CANT_RESOLVE_FILENAME);
        return FALSE;
    }
    return TRUE;
}

// In a picked folder, the pin opened by path must hold the folder that the launcher made or
// checked there.
static BOOL IsProductFolder(const ExtractionJob *job, HANDLE folder)
{
    if (job->productFolder == NULL || IsSameFile(folder, job->productFolder))
        return TRUE;
    SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return FALSE;
}

// Moves what stands under the record's name aside, to "<name>.<process id>-<n>.aside" with the
// first n whose name is free; the move never replaces anything. From then on a handle without
// delete sharing holds it, so that nobody else can delete or rename it either.
static BOOL MoveAside(const ExtractionJob *job, FileRecord *record, const WCHAR *name)
{
    for (DWORD attempt = 0; attempt < AsideAttempts; attempt++) {
        wsprintfW(record->asideName, L"%s.%lu-%lu.aside", name, GetCurrentProcessId(), attempt);
        if (MoveInFolder(job, name, record->asideName)) {
            WCHAR path[WidePathSize];
            if (!JoinPath(path, job->folderPath, record->asideName))
                return FALSE;
            HANDLE aside =
                CreateFileW(path, DELETE, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
            if (aside == INVALID_HANDLE_VALUE)
                return FALSE;
            record->asideHandle = aside;
            return TRUE;
        }
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            break;
    }
    record->asideName[0] = L'\0';
    return FALSE;
}

static HANDLE CreateNewFile(const WCHAR *path)
{
    return CreateFileW(path, NewFileAccess, FILE_SHARE_READ, NULL, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, NULL);
}

// Opens one record's file in the pinned folder: a new file, the identical one in place, or,
// after moving what is in place aside, a new file under the same name.
static BOOL OpenOutputFile(ExtractionJob *job, FileRecord *record, const WCHAR *name, const WCHAR *folderFinalPath)
{
    WCHAR path[WidePathSize];
    if (!JoinPath(path, job->folderPath, name))
        return FALSE;

    // CREATE_NEW: whatever stands under the name is never written through.
    HANDLE file = CreateNewFile(path);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS)
            return FALSE;

        // A file from an earlier run with the verified content is used as it is, held by a
        // read-only handle that shares reading alone: its lock from now on. A link is opened
        // itself, never its target.
        HANDLE existing =
            CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, NULL);
        if (existing == INVALID_HANDLE_VALUE)
            return FALSE;
        if (IsRegularFile(existing) && LiesInFolder(existing, folderFinalPath, name) == 1 &&
            FileHoldsContent(existing, record->data, record->length)) {
            record->handle = existing;
            record->handleIsLock = 1;
            record->kind = OutputInPlace;
            return TRUE;
        }
        CloseHandle(existing);

        // Anything else may be the source of an installed product: it is kept aside until the
        // installer has ended.
        if (!MoveAside(job, record, name))
            return FALSE;
        file = CreateNewFile(path);
        if (file == INVALID_HANDLE_VALUE)
            return FALSE;
        record->kind = OutputReplacing;
    } else {
        record->kind = OutputCreated;
    }
    record->handle = file;

    int inFolder = LiesInFolder(file, folderFinalPath, name);
    if (inFolder == 0)
        SetLastError(ERROR_CANT_RESOLVE_FILENAME);
    return inFolder == 1;
}

BOOL OpenOutputFiles(ExtractionJob *job, const char *extractionFolder)
{
    for (int i = 0; i < job->count; i++)
        ClearRecord(&job->items[i]);
    job->folder = NULL;
    if (!ToWide(extractionFolder, job->folderPath, OutputFolderSize))
        return FALSE;

    HANDLE folder = OpenFolderPin(job->folderPath);
    if (folder == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        RemoveDirectoryW(job->folderPath);
        SetLastError(error);
        return FALSE;
    }
    // Such a folder was not made by this attempt, so it is left as it is. In a picked folder the
    // pin must hold the product folder that the launcher made or checked, not one put in its place.
    if (!IsUsableFolder(folder, job->folderPath) || !IsProductFolder(job, folder)) {
        DWORD error = GetLastError();
        CloseHandle(folder);
        SetLastError(error);
        return FALSE;
    }
    job->folder = folder;

    WCHAR folderFinalPath[WidePathSize];
    if (!FinalPath(folder, folderFinalPath)) {
        RollBackOutputFiles(job);
        return FALSE;
    }

    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];

        // A path that does not fit the field would name another file: treat it like a file
        // that cannot be created.
        int needed = snprintf(record->outputPath, sizeof record->outputPath, "%s\\%s", extractionFolder, record->name);
        WCHAR name[WideNameSize];
        if (needed < 0 || needed >= (int)sizeof record->outputPath) {
            SetLastError(ERROR_FILENAME_EXCED_RANGE);
            RollBackOutputFiles(job);
            return FALSE;
        }
        if (!RecordName(record, name)) {
            RollBackOutputFiles(job);
            return FALSE;
        }

        // The same file named twice is written once; this record stays without a handle.
        if (OpenedEarlier(job, i)) {
            record->kind = OutputSameFile;
            continue;
        }
        if (!OpenOutputFile(job, record, name, folderFinalPath)) {
            RollBackOutputFiles(job);
            return FALSE;
        }
    }
    return TRUE;
}

BOOL LockOutputFiles(ExtractionJob *job)
{
    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];
        if (!IsNewFile(record) || record->handleIsLock || record->handle == NULL)
            continue;
        // The lock can't be opened beside the write handle, whose write access it does not
        // share. A middle handle that shares writing (and deletion, which the write handle
        // holds) bridges the two; VerifyOutputFiles checks what a writer or a rename in that
        // moment could have changed.
        HANDLE middle =
            ReOpenFile(record->handle, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        if (middle == INVALID_HANDLE_VALUE)
            return FALSE;
        CloseHandle(record->handle);
        record->handle = middle;
        record->handleIsLock = 1;
        HANDLE lock = ReOpenFile(middle, GENERIC_READ, FILE_SHARE_READ, 0);
        if (lock == INVALID_HANDLE_VALUE)
            return FALSE;
        CloseHandle(middle);
        record->handle = lock;
    }
    return TRUE;
}

BOOL VerifyOutputFiles(ExtractionJob *job)
{
    WCHAR folderFinalPath[WidePathSize];
    if (!FinalPath(job->folder, folderFinalPath))
        return FALSE;
    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];
        if (!IsNewFile(record))
            continue;
        WCHAR name[WideNameSize];
        if (!RecordName(record, name))
            return FALSE;
        int inFolder = LiesInFolder(record->handle, folderFinalPath, name);
        if (inFolder < 0)
            return FALSE;
        if (inFolder == 0 || !FileHoldsContent(record->handle, record->data, record->length)) {
            SetLastError(ERROR_FILE_CORRUPT);
            return FALSE;
        }
    }
    return TRUE;
}

void FreeOutputData(ExtractionJob *job)
{
    for (int i = 0; i < job->count; i++) {
        FreeItemOutput(job->items[i].data);
        job->items[i].data = NULL;
    }
}

void UnlockOutputFiles(ExtractionJob *job)
{
    for (int i = 0; i < job->count; i++)
        CloseRecordHandle(&job->items[i]);
}

void FinishOutputFiles(ExtractionJob *job, BOOL keepFiles, BOOL restoreLeftovers)
{
    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];
        if (record->kind == OutputReplacing && restoreLeftovers) {
            DeleteRecordFile(job, record);
            PutBackAside(job, record);
        } else {
            if (!keepFiles && (IsNewFile(record) || record->kind == OutputInPlace))
                DeleteRecordFile(job, record);
            if (record->kind == OutputReplacing)
                DeleteAside(job, record);
        }
        CloseRecordHandle(record);
    }
    UnpinFolder(job, !keepFiles);
}

void CloseOutputFiles(ExtractionJob *job)
{
    UnlockOutputFiles(job);
    for (int i = 0; i < job->count; i++)
        CloseAsideHandle(&job->items[i]);
    UnpinFolder(job, FALSE);
}

DWORD ExtractionStep(ExtractionJob *job, DWORD *progress)
{
    if (job->current < 0) {
        job->current = 0;
    } else {
        FileRecord *record = &job->items[job->current];
        if (record->written < record->length) {
            DWORD wanted = record->length - record->written;
            if (wanted > job->chunkSize)
                wanted = job->chunkSize;
            DWORD done = 0;
            BOOL wrote = WriteFile(record->handle, record->data + record->written, wanted, &done, NULL);
            // A failed or short write still counts what reached the file, so a retry goes on
            // from the right offset.
            record->written += done;
            if (progress != NULL)
                *progress = (DWORD)((double)record->written / (double)record->length * 100.0);
            return wrote && done == wanted ? ERROR_MORE_DATA : ERROR_WRITE_FAULT;
        }
        job->current++;
    }

    if (job->current >= job->count) {
        if (progress != NULL)
            *progress = 100;
        return ERROR_SUCCESS;
    }

    // A file that was already in place, or that an earlier record writes, is not written.
    FileRecord *next = &job->items[job->current];
    if (!IsNewFile(next))
        next->written = next->length;
    if (progress != NULL)
        *progress = 0;
    return ERROR_MORE_DATA;
}
