// Package directories: choosing the package for this machine and building the list of files
// to write, each one already inflated and verified in memory.
#pragma once

#include <windows.h>

#include "payload/payload_format.h"
#include "payload/pinned_folder.h"

struct LauncherState;

// What the launcher's walks take a directory record for.
enum DirectoryRecordKind {
    DirectoryRecordOther = 0,
    DirectoryRecordPackage, // <architecture>\<languages>\<ProductCode>\<ProductName>
    DirectoryRecordCabinet, // cab\<package ids>\<name>, "cab" in any ASCII letter case
};

// One component of a path: its start and its length in units, up to a backslash or the end.
struct PathComponent {
    const WCHAR *text;
    int units;
};

// A record's path as the launcher reads it: components[] holds the three components of a
// cabinet record or the four of a package entry, each at least one unit long; what follows them
// is left alone. A path of neither shape is DirectoryRecordOther. Returns the kind.
struct DirectoryRecordParts {
    DWORD kind; // DirectoryRecordKind
    PathComponent components[4];
};
DWORD SplitDirectoryRecord(const WCHAR *path, DirectoryRecordParts *parts);

// Offered every record of every directory; return nonzero to go on, 0 to stop the whole walk.
// The path is the record's UTF-16 text as stored, NUL-terminated, valid only during the call.
typedef int (*DirectoryCallback)(DWORD containerIndex, DWORD recordId, const WCHAR *path, void *context);

struct PackageSelection {
    DWORD passMode; // 0: exact language; 1: primary language
    DWORD containerIndex;
    DWORD packageId; // 0 while none is chosen
    // ANSI. The ProductCode converts back to its UTF-16 unchanged; the other texts show a
    // character the code page lacks as its default character, never as a look-alike.
    char architecture[256];
    char languages[256];
    char productCode[256];
    char productName[256];
    const LauncherState *state; // lcid, is64Bit and the payloads the scan works on
};

// What the opening of the output files did with a record's name in the extraction folder.
enum OutputKind {
    OutputNotOpen = 0,
    OutputCreated,   // a new file where there was none
    OutputReplacing, // a new file; what was there before is held by asideHandle
    OutputInPlace,   // a file from an earlier run with the verified content, used as it is
    OutputSameFile,  // an earlier record names the same file
};

enum {
    AsideNameSize = 280,
    OutputFolderSize = 1024,
};

struct FileRecord {
    char name[261];
    BYTE *data; // local heap, owned by the record
    DWORD length;
    HANDLE handle; // null while not open
    DWORD written;
    char outputPath[261];
    DWORD kind;                     // OutputKind
    DWORD handleIsLock;             // handle is read-only and shares reading alone: no delete through it
    DWORD underName;                // a new file is written as "<name>.partial" and renamed once whole
    FileIdentity identity;          // the file under the name, once it is locked (or found in place)
    WCHAR asideName[AsideNameSize]; // OutputReplacing: the earlier file's name once moved aside, else empty
    HANDLE asideHandle;             // holds the earlier file with delete access, sharing reading alone
    FileIdentity asideIdentity;
    DWORD itemId;            // the file item whose content the record holds
    BYTE digest[Sha256Size]; // SHA-256 of data, made when its signature was checked
};

struct ExtractionJob {
    FileRecord *items;
    int count;
    int current; // -1 before the first step, count when all are done
    DWORD chunkSize;
    UINT_PTR timerId; // the progress dialog's timer
    HANDLE folder;    // pins the extraction folder while files are open in it; null otherwise
    HANDLE runLock;   // the folder's lock file, held without sharing while this run works there
    WCHAR folderPath[OutputFolderSize];
    DWORD unattended; // a quiet switch was given: a failed step ends the dialog, nobody is asked
    // The extraction folder as the launcher made or checked it, held from then until the files are
    // settled: the pin is reopened from it, and the folder removed through it. Null otherwise.
    HANDLE productFolder;
    DWORD pickedFolder; // the folder lies in one the user picked: no file found there is used
};

struct CabinetCollectContext {
    FileRecord **items;
    int *count;
    DWORD containerIndex;
    DWORD packageId;
    DWORD failed;
    const LauncherState *state; // the payloads the cabinets are read from
};

// Offers every record of the directories of state->payloads to callback; 1 when the walk ended
// normally, 0 when a malformed record ended it (the records before it count), -1 when a failed
// allocation did (it has not seen every record).
int EnumeratePackageDirectory(const LauncherState *state, DirectoryCallback callback, void *context);
int MatchPackageRecord(DWORD containerIndex, DWORD recordId, const WCHAR *path, void *context);
int CollectCabinetRecord(DWORD containerIndex, DWORD recordId, const WCHAR *path, void *context);
// Fills record from the file item; 0 (the record without data) when the item fails, or when
// name (UTF-16, NUL-terminated) is no plain file name or does not convert to ANSI and back
// unchanged: such a name would lead elsewhere. The cabinet walk also fails when an earlier record
// holds another item under a name that is the same file (IsSameFileName): only one could be
// written. The same item named twice is one file.
int MakeFileRecord(const LauncherState *state, DWORD containerIndex, DWORD itemId, FileRecord *record,
                   const WCHAR *name);

// Chooses the package entry for x64 and state->lcid in up to three passes (the third sets
// state->lcid to 1033); TRUE when one was chosen (selection->packageId), FALSE when none was or
// an allocation failed.
BOOL ChoosePackageEntry(LauncherState *state, PackageSelection *selection);
// ChoosePackageEntry, then fills job->items and job->count ("main.msi" first, then its
// cabinets) from state->payloads. TRUE on success.
BOOL SelectPackage(LauncherState *state, ExtractionJob *job, PackageSelection *selection);

// What the directory of a container says of a file item's output.
enum ItemBinding {
    ItemBindingNone = 0, // the directory holds no binding record at all: it binds no item
    ItemBindingMatches,  // a binding for the item names this digest and length, and no other does
    ItemBindingMissing,  // the directory binds items, but not this one
    ItemBindingDiffers,  // a binding for the item names another output (or is not well-formed)
};

// Compares an output (its SHA-256 digest and length) of file item itemId with the binding
// records in the directory of container containerIndex. A directory that can't be walked to its
// end for want of memory is not taken as one without bindings: the item is then missing.
DWORD CheckItemBinding(const LauncherState *state, DWORD containerIndex, DWORD itemId, const BYTE digest[Sha256Size],
                       DWORD length);

// TRUE when every file of the job matches its binding in the directory of the container the
// package was chosen from, or when that directory binds no item.
BOOL CheckJobBindings(const LauncherState *state, const ExtractionJob *job, DWORD containerIndex);
