// Package directories: choosing the package for this machine and building the list of files
// to write, each one already inflated and verified in memory.
#pragma once

#include <windows.h>

// Offered every record of every directory; return nonzero to go on, 0 to stop the whole walk.
// The path is ANSI text valid only during the call.
typedef int (*DirectoryCallback)(DWORD containerIndex, DWORD recordId, const char *path, void *context);

struct PackageSelection {
    DWORD passMode; // 0: exact language; 1: primary language
    DWORD containerIndex;
    DWORD packageId; // 0 while none is chosen
    char architecture[256];
    char languages[256];
    char productCode[256];
    char productName[256];
};

struct FileRecord {
    char name[261];
    BYTE *data; // local heap, owned by the record
    DWORD length;
    HANDLE handle; // null while not open
    DWORD written;
    char outputPath[261];
};

struct ExtractionJob {
    FileRecord *items;
    int count;
    int current; // -1 before the first step, count when all are done
    DWORD chunkSize;
    UINT_PTR timerId; // the progress dialog's timer
};

struct CabinetCollectContext {
    FileRecord **items;
    int *count;
    DWORD containerIndex;
    DWORD packageId;
    DWORD failed;
};

int EnumeratePackageDirectory(DirectoryCallback callback, void *context);
int MatchPackageRecord(DWORD containerIndex, DWORD recordId, const char *path, void *context);
int CollectCabinetRecord(DWORD containerIndex, DWORD recordId, const char *path, void *context);
int MakeFileRecord(DWORD containerIndex, DWORD itemId, FileRecord *record, const char *name);

// Chooses the package entry for x64 and launcherState.lcid in up to three passes and fills
// job->items and job->count ("main.msi" first, then its cabinets). TRUE on success.
BOOL SelectPackage(ExtractionJob *job, PackageSelection *selection);
