#include "payload/extraction.h"

#include <string.h>
#include <winternl.h>

#include <sddl.h>

#include "launcher/format_text.h"
#include "payload/file_name_rule.h"
#include "payload/inflate.h"
#include "payload/pinned_folder.h"

enum {
    WideNameSize = 261,
    AsideAttempts = 100,
    SettlePasses = 256, // leftovers settled in one go, one per pass
    CompareBlockSize = 1 << 20,
};

// A new file's handle can delete it: a roll-back then removes exactly the file this run made.
static const DWORD NewFileAccess = GENERIC_READ | GENERIC_WRITE | DELETE;

// SYSTEM and the Administrators alone may open the lock file for more than its attributes: no
// other user's process can hold it, so a lock file that is held belongs to a live run.
static const WCHAR RunLockSecurity[] = L"O:BAD:P(A;;FA;;;SY)(A;;FA;;;BA)";
// The lock file of earlier releases, which Users may read and so hold: no lock any more.
static const WCHAR EarlierRunLockName[] = L"extraction.lock";

static BOOL ToWide(const char *text, WCHAR *buffer, int size)
{
    return MultiByteToWideChar(CP_ACP, MB_ERR_INVALID_CHARS, text, -1, buffer, size) > 0;
}

static BOOL RecordName(const FileRecord *record, WCHAR *name)
{
    return ToWide(record->name, name, WideNameSize);
}

// name followed by an ASCII suffix, in buffer (WideNameSize units).
static BOOL NameWithSuffix(WCHAR *buffer, const WCHAR *name, const char *suffix)
{
    int length = lstrlenW(name);
    int suffixLength = (int)strlen(suffix);
    if (length + suffixLength >= WideNameSize) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    memcpy(buffer, name, length * sizeof(WCHAR));
    for (int i = 0; i <= suffixLength; i++)
        buffer[length + i] = (WCHAR)suffix[i];
    return TRUE;
}

static BOOL PartialName(WCHAR *buffer, const WCHAR *name)
{
    return NameWithSuffix(buffer, name, PartialNameSuffix);
}

static BOOL AsideName(WCHAR *buffer, const WCHAR *name, DWORD number)
{
    char suffix[32];
    FormatText(suffix, sizeof suffix, ".%lu%s", (unsigned long)number, AsideNameSuffix);
    return NameWithSuffix(buffer, name, suffix);
}

static BOOL IsRegularFile(HANDLE file)
{
    FILE_ATTRIBUTE_TAG_INFO info;
    return GetFileInformationByHandleEx(file, FileAttributeTagInfo, &info, sizeof info) &&
           (info.FileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

// 1 when the open file holds exactly data, read from its start. Reads of a mebibyte cost about
// half as much per byte as small ones; when no such block can be had, a small one serves.
static int FileHoldsContent(HANDLE file, const BYTE *data, DWORD length)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size) || size.QuadPart != (LONGLONG)length)
        return 0;
    BYTE small[65536];
    BYTE *block = small;
    DWORD blockSize = sizeof small;
    if (length > sizeof small) {
        BYTE *large = (BYTE *)VirtualAlloc(NULL, CompareBlockSize, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
        if (large != NULL) {
            block = large;
            blockSize = CompareBlockSize;
        }
    }
    DWORD offset = 0;
    int same = 1;
    while (same && offset < length) {
        DWORD wanted = length - offset < blockSize ? length - offset : blockSize;
        DWORD read = 0;
        same = ReadFile(file, block, wanted, &read, NULL) && read == wanted && memcmp(block, data + offset, read) == 0;
        offset += read;
    }
    if (block != small)
        VirtualFree(block, 0, MEM_RELEASE);
    return same;
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

// Deletes through *held, which is then closed; when the handle can't, the name is opened afresh
// in the pinned folder and deleted if it is still the file known as identity.
static void DeleteHeldFile(const ExtractionJob *job, HANDLE *held, const WCHAR *name, const FileIdentity *identity)
{
    BOOL deleted = DeleteThroughHandle(*held);
    CloseHandle(*held);
    *held = NULL;
    if (!deleted && name[0] != L'\0')
        DeleteInFolder(job->folder, name, identity);
}

// Deletes the record's file. A write handle deletes what it holds, under its temporary name or
// its own. A lock can't: it shares no deletion, so no handle to the file can gain delete access
// while it is open. Then the lock is closed and the file under the name, opened afresh in the
// pinned folder, deleted only when it is still the file that was locked.
static void DeleteRecordFile(const ExtractionJob *job, FileRecord *record)
{
    // Without a handle a file under the temporary name was never made.
    if (record->handle == NULL && !record->underName)
        return;
    WCHAR name[WideNameSize];
    WCHAR partial[WideNameSize];
    if (!RecordName(record, name) || !PartialName(partial, name))
        name[0] = partial[0] = L'\0';
    const WCHAR *current = record->underName ? name : partial;
    if (record->handle != NULL && !record->handleIsLock) {
        DeleteHeldFile(job, &record->handle, current, &record->identity);
        return;
    }
    CloseRecordHandle(record);
    if (current[0] != L'\0')
        DeleteInFolder(job->folder, current, &record->identity);
}

static void CloseAsideHandle(FileRecord *record)
{
    if (record->asideHandle != NULL) {
        CloseHandle(record->asideHandle);
        record->asideHandle = NULL;
    }
}

// Puts the file moved aside for the record back under the record's name, where nothing may be
// now: a name taken meanwhile is not replaced.
static void PutBackAside(const ExtractionJob *job, FileRecord *record)
{
    WCHAR name[WideNameSize];
    if (record->asideHandle != NULL && record->asideName[0] != L'\0' && RecordName(record, name))
        RenameInFolder(record->asideHandle, job->folder, name);
    CloseAsideHandle(record);
}

// The earlier file is deleted once it has been moved aside; one still under its name (the run
// ended before its replacement was whole) stays there.
static void DeleteAside(const ExtractionJob *job, FileRecord *record)
{
    if (record->asideHandle != NULL && record->asideName[0] != L'\0')
        DeleteHeldFile(job, &record->asideHandle, record->asideName, &record->asideIdentity);
    CloseAsideHandle(record);
}

static BOOL IsNewFile(const FileRecord *record)
{
    return record->kind == OutputCreated || record->kind == OutputReplacing;
}

// Releases the run's lock on the folder, deleting its file.
static void ReleaseRunLock(ExtractionJob *job, BOOL deleteLockFile)
{
    if (job->runLock == NULL)
        return;
    WCHAR lockName[WideNameSize];
    if (deleteLockFile && ToWide(RunLockFileName, lockName, WideNameSize)) {
        DeleteHeldFile(job, &job->runLock, lockName, NULL);
        return;
    }
    CloseHandle(job->runLock);
    job->runLock = NULL;
}

static void ReleasePin(ExtractionJob *job)
{
    if (job->folder != NULL) {
        CloseHandle(job->folder);
        job->folder = NULL;
    }
}

void CloseProductFolder(ExtractionJob *job, BOOL removeFolder)
{
    if (job->productFolder == NULL)
        return;
    // Through the handle held since the folder was made or opened, whatever its path leads to
    // now; only an empty folder goes.
    if (removeFolder) {
        HANDLE folder = ReOpenFile(job->productFolder, DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   FILE_FLAG_BACKUP_SEMANTICS);
        if (folder != INVALID_HANDLE_VALUE) {
            DeleteThroughHandle(folder);
            CloseHandle(folder);
        }
    }
    CloseHandle(job->productFolder);
    job->productFolder = NULL;
}

// Releases the pin, then the product folder, removed if told (which only works when it is empty).
static void UnpinFolder(ExtractionJob *job, BOOL removeFolder)
{
    ReleasePin(job);
    CloseProductFolder(job, removeFolder);
}

static void ClearRecord(FileRecord *record)
{
    record->handle = NULL;
    record->written = 0;
    record->outputPath[0] = '\0';
    record->kind = OutputNotOpen;
    record->handleIsLock = 0;
    record->underName = 0;
    memset(&record->identity, 0, sizeof record->identity);
    memset(&record->asideIdentity, 0, sizeof record->asideIdentity);
    record->asideName[0] = L'\0';
    record->asideHandle = NULL;
}

// Undoes what one attempt did, while the folder is still pinned: deletes the files it created,
// lets go of the files it found; then releases the lock and the pin. The product folder stays
// held for the caller (CloseProductFolder). Keeps the last error of the failure.
static void RollBackOutputFiles(ExtractionJob *job)
{
    DWORD error = GetLastError();
    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];
        if (IsNewFile(record))
            DeleteRecordFile(job, record);
        CloseRecordHandle(record);
        CloseAsideHandle(record); // nothing is moved aside before the files are whole
        ClearRecord(record);
    }
    ReleaseRunLock(job, TRUE);
    ReleasePin(job);
    SetLastError(error);
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

// The length of name without the ending, when name ends in it (ASCII, any letter case); else 0.
static int StemLength(const WCHAR *name, const char *ending)
{
    int length = lstrlenW(name);
    int endingLength = (int)strlen(ending);
    if (length <= endingLength)
        return 0;
    for (int i = 0; i < endingLength; i++) {
        WCHAR c = name[length - endingLength + i];
        if ((c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c) != ending[i])
            return 0;
    }
    return length - endingLength;
}

// The name an aside file "<name>.<n>.aside" was moved from; FALSE for any other name.
static BOOL AsideOrigin(const WCHAR *asideName, WCHAR *origin)
{
    int stem = StemLength(asideName, AsideNameSuffix);
    int digits = 0;
    while (stem - digits > 0 && asideName[stem - digits - 1] >= '0' && asideName[stem - digits - 1] <= '9')
        digits++;
    int originLength = stem - digits - 1;
    if (digits == 0 || originLength <= 0 || asideName[originLength] != L'.' || originLength >= WideNameSize)
        return FALSE;
    memcpy(origin, asideName, originLength * sizeof(WCHAR));
    origin[originLength] = L'\0';
    return TRUE;
}

enum LeftoverAction {
    LeftoverDelete = 1,  // a temporary file
    LeftoverPutBack = 2, // an aside file whose name is free
    LeftoverSwap = 3,    // the first aside file of a name that a killed run's file holds
};

struct LeftoverSearch {
    HANDLE folder;
    BOOL withAsides; // every aside file is to be deleted
    int action;      // the first leftover found that is to be settled, 0 when none
    WCHAR name[WideNameSize];
    WCHAR origin[WideNameSize];
};

static BOOL NameIsFree(HANDLE folder, const WCHAR *name)
{
    HANDLE file = OpenInFolder(folder, name, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return FALSE;
    }
    return GetLastError() == ERROR_FILE_NOT_FOUND;
}

static void FindLeftover(const WCHAR *name, void *context)
{
    LeftoverSearch *search = (LeftoverSearch *)context;
    if (search->action != 0)
        return;
    WCHAR origin[WideNameSize];
    WCHAR first[WideNameSize];
    int action = 0;
    if (StemLength(name, PartialNameSuffix) > 0 || (search->withAsides && StemLength(name, AsideNameSuffix) > 0))
        action = LeftoverDelete;
    else if (AsideOrigin(name, origin) && NameIsFree(search->folder, origin))
        action = LeftoverPutBack;
    // Asides are numbered from 0 and all go once a run succeeds: "<name>.0.aside" is what stood
    // under the name before the runs that ended unsettled, the file of the product that may be
    // registered. What holds the name now is a killed run's file.
    else if (AsideOrigin(name, origin) && AsideName(first, origin, 0) &&
             CompareStringOrdinal(first, -1, name, -1, TRUE) == CSTR_EQUAL)
        action = LeftoverSwap;
    if (action != 0) {
        search->action = action;
        lstrcpyW(search->name, name);
        lstrcpyW(search->origin, action != LeftoverDelete ? origin : L"");
    }
}

// Settles, through the pin, what runs that ended without settling left in the folder: their
// temporary files are deleted, each aside file whose name is free again goes back under it, and
// a first aside file whose name a killed run's file holds takes the name back from it (that file
// is deleted); with withAsides every aside file is deleted instead. The other aside files stay.
// Whatever stands in the way fails the call.
static BOOL SettleLeftovers(ExtractionJob *job, BOOL withAsides)
{
    for (int pass = 0; pass < SettlePasses; pass++) {
        LeftoverSearch search;
        memset(&search, 0, sizeof search);
        search.folder = job->folder;
        search.withAsides = withAsides;
        if (!VisitFolderFiles(job->folder, FindLeftover, &search))
            return FALSE;
        if (search.action == 0)
            return TRUE;
        if (search.action == LeftoverDelete) {
            if (!DeleteInFolder(job->folder, search.name, NULL))
                return FALSE;
            continue;
        }
        if (search.action == LeftoverSwap && !DeleteInFolder(job->folder, search.origin, NULL))
            return FALSE;
        HANDLE aside =
            OpenInFolder(job->folder, search.name, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, FILE_OPEN);
        if (aside == INVALID_HANDLE_VALUE)
            return FALSE;
        BOOL moved = RenameInFolder(aside, job->folder, search.origin);
        DWORD error = GetLastError();
        CloseHandle(aside);
        if (!moved) {
            SetLastError(error);
            return FALSE;
        }
    }
    // A file that stays listed after its deletion is held open by another process.
    SetLastError(ERROR_SHARING_VIOLATION);
    return FALSE;
}

// Opens one record's file in the pinned folder: the identical one in place as its lock, or a new
// file under the temporary name. What else stands under the name is held, to be moved aside once
// its replacement is whole.
static BOOL OpenOutputFile(ExtractionJob *job, FileRecord *record, const WCHAR *name)
{
    // A file from an earlier run with the verified content is used as it is, held by a
    // read-only handle that shares reading alone: its lock from now on. A link is opened itself,
    // never its target.
    HANDLE existing = OpenInFolder(job->folder, name, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN);
    if (existing != INVALID_HANDLE_VALUE) {
        // Not in a picked folder: a folder made elsewhere may hold files with rights of their own
        // that let others write them once the run is over.
        if (!job->pickedFolder && IsRegularFile(existing) && FileHoldsContent(existing, record->data, record->length) &&
            ReadFileIdentity(existing, &record->identity)) {
            record->handle = existing;
            record->handleIsLock = 1;
            record->underName = 1;
            record->kind = OutputInPlace;
            return TRUE;
        }
        CloseHandle(existing);
        // Anything else may be the source of an installed product: it is kept, aside, until the
        // installer has ended. The handle that will move it shares no deletion.
        record->asideHandle =
            OpenInFolder(job->folder, name, DELETE | FILE_READ_ATTRIBUTES, FILE_SHARE_READ, FILE_OPEN);
        if (record->asideHandle == INVALID_HANDLE_VALUE) {
            record->asideHandle = NULL;
            return FALSE;
        }
        if (!ReadFileIdentity(record->asideHandle, &record->asideIdentity))
            return FALSE;
        record->kind = OutputReplacing;
    } else if (GetLastError() == ERROR_FILE_NOT_FOUND) {
        record->kind = OutputCreated;
    } else {
        return FALSE;
    }

    WCHAR partial[WideNameSize];
    if (!PartialName(partial, name))
        return FALSE;
    // A new file's handle can delete it: a roll-back then removes exactly the file this run made.
    HANDLE file = OpenInFolder(job->folder, partial, NewFileAccess, FILE_SHARE_READ, FILE_CREATE);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    record->handle = file;
    return ReadFileIdentity(file, &record->identity);
}

// The installer gets the package's path with its drive letter (GetPackagePath): a folder whose
// package path would not be such a path, shorter than MAX_PATH, can't be used.
static BOOL PackagePathFits(const ExtractionJob *job)
{
    WCHAR path[OutputFolderSize];
    WCHAR name[WideNameSize];
    if (!GetDrivePath(job->folder, path, OutputFolderSize))
        return FALSE;
    if (job->count > 0 && RecordName(&job->items[0], name) && lstrlenW(path) + 1 + lstrlenW(name) >= MAX_PATH) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return FALSE;
    }
    return TRUE;
}

// Takes the folder's lock: held for the run's lifetime and shared with nobody, so that the system
// lets go of it when the process ends, however it ends. FALSE with ERROR_INSTALL_ALREADY_RUNNING
// while another run holds it.
static BOOL TakeRunLock(ExtractionJob *job)
{
    WCHAR lockName[WideNameSize];
    PSECURITY_DESCRIPTOR security = NULL;
    if (!ToWide(RunLockFileName, lockName, WideNameSize) ||
        !ConvertStringSecurityDescriptorToSecurityDescriptorW(RunLockSecurity, SDDL_REVISION_1, &security, NULL))
        return FALSE;
    const DWORD access = DELETE | READ_CONTROL | FILE_READ_ATTRIBUTES;
    BOOL created = FALSE;
    HANDLE lock =
        OpenRelative(job->folder, lockName, access, 0, FILE_OPEN_IF, FILE_NON_DIRECTORY_FILE, security, &created);
    // One found with other rights (made by hand, or where no descriptor is kept) is not trusted:
    // it is replaced by one of the launcher's own.
    if (lock != INVALID_HANDLE_VALUE && !created && !HasExactSecurity(lock, security)) {
        BOOL deleted = DeleteThroughHandle(lock);
        DWORD error = GetLastError();
        CloseHandle(lock);
        SetLastError(error);
        lock = deleted ? OpenRelative(job->folder, lockName, access, 0, FILE_CREATE, FILE_NON_DIRECTORY_FILE, security,
                                      NULL)
                       : INVALID_HANDLE_VALUE;
    }
    DWORD error = GetLastError();
    LocalFree(security);
    if (lock == INVALID_HANDLE_VALUE) {
        // Held, or made again in the meantime, by another live run.
        if (error == ERROR_SHARING_VIOLATION || error == ERROR_ALREADY_EXISTS)
            error = ERROR_INSTALL_ALREADY_RUNNING;
        SetLastError(error);
        return FALSE;
    }
    job->runLock = lock;
    DeleteInFolder(job->folder, EarlierRunLockName, NULL);
    return TRUE;
}

// Takes the folder for this run: pinned, checked, locked against a second launcher, the
// leftovers of runs that ended unsettled settled. FALSE with ERROR_INSTALL_ALREADY_RUNNING while
// another run holds the lock: then nothing in the folder is touched.
static BOOL TakeFolder(ExtractionJob *job)
{
    // The pin holds the very folder that the launcher made or checked: reopened from its handle,
    // where a path joined again could lead to another folder by now.
    job->folder = ReOpenFile(job->productFolder, FILE_LIST_DIRECTORY | SYNCHRONIZE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             FILE_FLAG_BACKUP_SEMANTICS);
    if (job->folder == INVALID_HANDLE_VALUE) {
        job->folder = NULL;
        return FALSE;
    }
    // A folder that is refused is left as it is.
    if (!IsUsableFolder(job->folder, job->folderPath) || !PackagePathFits(job) || !TakeRunLock(job) ||
        !SettleLeftovers(job, FALSE)) {
        RollBackOutputFiles(job);
        return FALSE;
    }
    return TRUE;
}

BOOL PinFolderAndOpenOutputFiles(ExtractionJob *job, const char *extractionFolder)
{
    for (int i = 0; i < job->count; i++)
        ClearRecord(&job->items[i]);
    job->folder = NULL;
    job->runLock = NULL;
    if (!ToWide(extractionFolder, job->folderPath, OutputFolderSize))
        return FALSE;
    if (!TakeFolder(job))
        return FALSE;

    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];

        // A path that does not fit the field would name another file: treat it like a file
        // that cannot be created.
        WCHAR name[WideNameSize];
        if (FormatText(record->outputPath, sizeof record->outputPath, "%s\\%s", extractionFolder, record->name) < 0) {
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
        if (!OpenOutputFile(job, record, name)) {
            RollBackOutputFiles(job);
            return FALSE;
        }
    }
    return TRUE;
}

// Moves the earlier file to "<name>.<n>.aside" with the first n whose name is free; the move
// never replaces anything.
static BOOL MoveAside(const ExtractionJob *job, FileRecord *record, const WCHAR *name)
{
    for (DWORD attempt = 0; attempt < AsideAttempts; attempt++) {
        if (!AsideName(record->asideName, name, attempt))
            break;
        if (RenameInFolder(record->asideHandle, job->folder, record->asideName))
            return TRUE;
        DWORD error = GetLastError();
        if (error != ERROR_ALREADY_EXISTS && error != ERROR_FILE_EXISTS)
            break;
    }
    record->asideName[0] = L'\0';
    return FALSE;
}

// The whole file takes its name, through its write handle: what stood there goes aside first.
static BOOL PutUnderName(const ExtractionJob *job, FileRecord *record)
{
    WCHAR name[WideNameSize];
    if (!RecordName(record, name))
        return FALSE;
    if (record->kind == OutputReplacing && record->asideName[0] == L'\0' && !MoveAside(job, record, name))
        return FALSE;
    if (!RenameInFolder(record->handle, job->folder, name))
        return FALSE;
    record->underName = 1;
    return TRUE;
}

BOOL LockOutputFiles(ExtractionJob *job)
{
    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];
        if (!IsNewFile(record) || record->handleIsLock || record->handle == NULL)
            continue;
        if (!record->underName && !PutUnderName(job, record))
            return FALSE;
        // The lock can't be opened beside the write handle, whose write access it does not
        // share. A middle handle that shares writing (and deletion, which the write handle
        // holds) bridges the two; VerifyOutputFiles checks what a writer or a rename in that
        // moment could have changed. A call made again after a failure goes on from the write
        // handle or from the middle one, whichever the record holds.
        HANDLE middle =
            ReOpenFile(record->handle, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0);
        if (middle == INVALID_HANDLE_VALUE)
            return FALSE;
        CloseHandle(record->handle);
        record->handle = middle;
        HANDLE lock = ReOpenFile(middle, GENERIC_READ, FILE_SHARE_READ, 0);
        if (lock == INVALID_HANDLE_VALUE)
            return FALSE;
        CloseHandle(middle);
        record->handle = lock;
        record->handleIsLock = 1;
    }
    return TRUE;
}

// 1 when what the pinned folder holds under the record's name is the locked file.
static BOOL LockedUnderName(const ExtractionJob *job, const FileRecord *record)
{
    WCHAR name[WideNameSize];
    if (!RecordName(record, name))
        return FALSE;
    HANDLE file = OpenInFolder(job->folder, name, FILE_READ_ATTRIBUTES,
                               FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, FILE_OPEN);
    if (file == INVALID_HANDLE_VALUE)
        return FALSE;
    FileIdentity found;
    BOOL same = ReadFileIdentity(file, &found) && SameFile(&found, &record->identity);
    CloseHandle(file);
    return same;
}

BOOL VerifyOutputFiles(ExtractionJob *job)
{
    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];
        if (!IsNewFile(record))
            continue;
        if (!LockedUnderName(job, record) || !FileHoldsContent(record->handle, record->data, record->length)) {
            SetLastError(ERROR_FILE_CORRUPT);
            return FALSE;
        }
    }
    return TRUE;
}

BOOL GetPackagePath(const ExtractionJob *job, WCHAR *buffer, DWORD size)
{
    if (job->count == 0 || job->items[0].handle == NULL) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return GetDrivePath(job->items[0].handle, buffer, size);
}

void FreeOutputData(ExtractionJob *job)
{
    for (int i = 0; i < job->count; i++) {
        FreeItemOutput(job->items[i].data);
        job->items[i].data = NULL;
    }
}

void CloseOutputFileHandles(ExtractionJob *job)
{
    for (int i = 0; i < job->count; i++)
        CloseRecordHandle(&job->items[i]);
}

void FinishOutputFiles(ExtractionJob *job, DWORD outcome)
{
    const BOOL keepFiles = outcome != OutputFilesDeleted;
    for (int i = 0; i < job->count; i++) {
        FileRecord *record = &job->items[i];
        // A file still under its temporary name never stays, and what it was to replace keeps
        // its name (or gets it back).
        if ((record->kind == OutputReplacing && outcome == OutputFilesPutBack) ||
            (IsNewFile(record) && !record->underName)) {
            DeleteRecordFile(job, record);
            PutBackAside(job, record);
        } else {
            if (!keepFiles && (IsNewFile(record) || record->kind == OutputInPlace))
                DeleteRecordFile(job, record);
            DeleteAside(job, record);
        }
        CloseRecordHandle(record);
    }
    // Aside files of runs that ended unsettled were kept for this moment.
    if (job->folder != NULL && outcome == OutputFilesKept)
        SettleLeftovers(job, TRUE);
    ReleaseRunLock(job, TRUE);
    UnpinFolder(job, !keepFiles);
}

void CloseOutputFiles(ExtractionJob *job)
{
    CloseOutputFileHandles(job);
    for (int i = 0; i < job->count; i++)
        CloseAsideHandle(&job->items[i]);
    ReleaseRunLock(job, FALSE);
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
