#include "payload/extraction.h"

#include <stdio.h>
#include <string.h>

#include "launcher/file_exists.h"
#include "payload/inflate.h"

// Undoes what one attempt created: closes and deletes the files it opened (files found in
// place have no handle and are left alone) and removes the folder, which only succeeds when
// nothing else is in it.
static void RollBackOutputFiles(ExtractionJob *job, const char *extractionFolder)
{
    // The caller reports the call that failed the attempt: its last error outlives the roll-back.
    DWORD failure = GetLastError();
    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];
        if (record->handle != NULL) {
            CloseHandle(record->handle);
            if (FileExists(record->outputPath))
                DeleteFileA(record->outputPath);
        }
        record->handle = NULL;
        record->written = 0;
        record->outputPath[0] = '\0';
    }
    if (FileExists(extractionFolder))
        RemoveDirectoryA(extractionFolder);
    SetLastError(failure);
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

// 1 when the file at path holds exactly data. A file found in place is used instead of being
// written, so it must be the verified content: the launcher runs it with administrator rights.
static int ExistingFileMatches(const char *path, const BYTE *data, DWORD length)
{
    HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    int matches = FileHoldsContent(file, data, length);
    CloseHandle(file);
    return matches;
}

// 1 when an earlier record of this attempt has the same output path; paths that differ only in
// letter case name one file on Windows.
static int OpenedEarlier(const ExtractionJob *job, int index)
{
    for (int i = 0; i < index; i++) {
        if (lstrcmpiA(job->items[i].outputPath, job->items[index].outputPath) == 0)
            return 1;
    }
    return 0;
}

BOOL OpenOutputFiles(ExtractionJob *job, const char *extractionFolder)
{
    for (int i = 0; i < job->count; i++) {
        job->items[i].handle = NULL;
        job->items[i].outputPath[0] = '\0';
    }

    // Through a junction or a symbolic link the files would land wherever it points. Such a
    // folder was not made by this attempt, so it is left as it is.
    DWORD folderAttributes = GetFileAttributesA(extractionFolder);
    if (folderAttributes != INVALID_FILE_ATTRIBUTES && (folderAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0)
        return FALSE;

    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];

        // A path that does not fit the field would name another file: treat it like a file
        // that cannot be created.
        int needed = snprintf(record->outputPath, sizeof record->outputPath, "%s\\%s", extractionFolder, record->name);
        if (needed < 0 || needed >= (int)sizeof record->outputPath) {
            RollBackOutputFiles(job, extractionFolder);
            return FALSE;
        }

        // The same file named twice is written once; this record stays without a handle.
        if (OpenedEarlier(job, i))
            continue;

        // The folder belongs to the launcher. A regular file from an earlier run with the
        // verified content is used as it is; anything else of that name is deleted (a link
        // itself, not its target) and written afresh, and then counts as created by this
        // attempt. A folder, or a file that cannot be deleted, fails the attempt.
        DWORD attributes = GetFileAttributesA(record->outputPath);
        if (attributes != INVALID_FILE_ATTRIBUTES) {
            BOOL regular = (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
            if (regular && ExistingFileMatches(record->outputPath, record->data, record->length))
                continue;
            if (!DeleteFileA(record->outputPath)) {
                RollBackOutputFiles(job, extractionFolder);
                return FALSE;
            }
        }

        // CREATE_NEW: whatever was planted between the check and this call is refused, never
        // written through.
        HANDLE file = CreateFileA(record->outputPath, GENERIC_WRITE, FILE_SHARE_READ, NULL, CREATE_NEW,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE) {
            RollBackOutputFiles(job, extractionFolder);
            return FALSE;
        }
        record->handle = file;
    }
    return TRUE;
}

BOOL LockOutputFiles(ExtractionJob *job)
{
    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];
        if (record->handle != NULL || record->outputPath[0] == '\0')
            continue;
        HANDLE file = CreateFileA(record->outputPath, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, NULL);
        if (file == INVALID_HANDLE_VALUE)
            return FALSE;
        record->handle = file;
        // Between closing the written file (or checking one found in place) and this open,
        // another process could have changed it: only now, with writers shut out, is the content
        // checked for the last time. A file named twice holds its first record's content.
        if (!OpenedEarlier(job, i) && !FileHoldsContent(file, record->data, record->length)) {
            SetLastError(ERROR_FILE_CORRUPT);
            return FALSE;
        }
    }
    // What the installer reads is fixed now: the launcher holds none of it while it runs.
    for (int i = 0; i < job->count; i++) {
        FreeItemOutput(job->items[i].data);
        job->items[i].data = NULL;
    }
    return TRUE;
}

void UnlockOutputFiles(ExtractionJob *job)
{
    for (int i = 0; i < job->count; i++) {
        if (job->items[i].handle != NULL) {
            CloseHandle(job->items[i].handle);
            job->items[i].handle = NULL;
        }
    }
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

        if (record->handle != NULL) {
            CloseHandle(record->handle);
            record->handle = NULL;
        }
        job->current++;
    }

    if (job->current >= job->count) {
        if (progress != NULL)
            *progress = 100;
        return ERROR_SUCCESS;
    }

    // A file that was already in place is used as it is.
    FileRecord *next = &job->items[job->current];
    if (next->handle == NULL)
        next->written = next->length;
    if (progress != NULL)
        *progress = 0;
    return ERROR_MORE_DATA;
}
