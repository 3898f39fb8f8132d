// Writing the chosen files into the extraction folder, one bounded write per step.
//
// From the moment the folder exists until the files are settled, one handle pins it
// (job->folder): opened without delete sharing, so that nobody can rename or delete it. Every
// file in it is opened, created, renamed and deleted relative to that handle, never by a path
// joined again from its root (a junction above the folder can be re-pointed while it is pinned).
// A file gets its name only once it is written whole: until then it is "<name>.partial".
//
// One run works in a folder at a time: it holds the folder's lock file open, unshared, from
// the pin to the settling. Only SYSTEM and the Administrators may open that file for more than
// its attributes, so no other user can hold it and keep a run out. A run that ended without
// settling (killed) has left its lock file unheld; the next run settles its leftovers before
// anything else.
#pragma once

#include <windows.h>

#include "payload/package_directory.h"

// Pins the folder that job->productFolder holds, reopened from that handle (extractionFolder is
// its path, for the output paths and for the check of its name). It must be a directory, and not
// a junction or a symbolic link (other reparse points such as cloud-file placeholders are folders
// like any other), and the package's path in it a drive path shorter than MAX_PATH
// (GetPackagePath). Then takes its lock, settles what runs that ended unsettled left there (their
// temporary files are deleted, an aside file whose name is free goes back under it, the first
// aside file of a name that a killed run's file holds takes its name back, other aside files
// stay), forms every record's output path and opens the output files. A regular file in place
// with the record's content is kept as it is (not in a picked folder), opened read-only without
// write or delete sharing; anything else of that name is held, to be moved aside once its
// replacement is whole. A new file is created as "<name>.partial". A record whose name an earlier
// record has (also in another letter case) is the same file and gets no handle. TRUE when all
// are open; otherwise what this call created is deleted, the lock and the pin are released, and
// FALSE returned with the failed call's last error; job->productFolder stays held, for another
// attempt or for CloseProductFolder. While another live run holds the folder's lock: FALSE with
// ERROR_INSTALL_ALREADY_RUNNING, and nothing in the folder touched.
BOOL PinFolderAndOpenOutputFiles(ExtractionJob *job, const char *extractionFolder);

// Lets go of job->productFolder, removing the folder through that handle first when told and
// when it is empty; a path is never followed for it.
void CloseProductFolder(ExtractionJob *job, BOOL removeFolder);

// One step: 0 when every record is finished, 234 (ERROR_MORE_DATA) to be called again, 29
// (ERROR_WRITE_FAULT) when this step's write failed or was short. progress may be null. The
// written files stay open for LockOutputFiles.
DWORD ExtractionStep(ExtractionJob *job, DWORD *progress);

// Once every file is written: moves what stood under each name aside ("<name>.<n>.aside"), gives
// each written file its name, and turns its handle into its lock, a read-only handle that shares
// reading alone, all through the handles themselves. FALSE with the last error of the call that
// failed (ERROR_SHARING_VIOLATION while another process holds the file); called again, it goes
// on from where it stopped.
BOOL LockOutputFiles(ExtractionJob *job);

// Through the locks: what the pinned folder holds under each written file's name is the locked
// file, and it holds its record's content. FALSE with ERROR_FILE_CORRUPT when one does not.
BOOL VerifyOutputFiles(ExtractionJob *job);

// The locked package's (the first record's) final path with its drive letter, for the installer
// (GetDrivePath).
BOOL GetPackagePath(const ExtractionJob *job, WCHAR *buffer, DWORD size);

// Frees every record's data (an item output) once the files hold it.
void FreeOutputData(ExtractionJob *job);

// Closes every record's handle (after LockOutputFiles, its lock); the folder stays pinned, and
// each file is known by its identity.
void CloseOutputFileHandles(ExtractionJob *job);

// What becomes of the files once the installer has ended or will not run.
enum OutputFilesOutcome {
    // The installation succeeded: the new files stay; the files they replaced, and the aside
    // files that earlier runs left, are deleted.
    OutputFilesKept,
    // It failed while the product is registered: each file that replaced an earlier one is
    // deleted and the earlier one put back under its name; the other new files stay.
    OutputFilesPutBack,
    // Nothing stays: every file of the records and every file this run moved aside is deleted,
    // and the folder removed through its held handle when it is empty.
    OutputFilesDeleted,
};

// Settles the files by outcome (OutputFilesOutcome), while the folder is pinned. A file opened
// afresh for its deletion is deleted only when it is still the file that was locked. A file still
// under its temporary name is deleted and the earlier one keeps its name. Then the lock file is
// deleted and the pin released.
void FinishOutputFiles(ExtractionJob *job, DWORD outcome);

// Closes every record's handle, the lock, the pin and the product folder, touching no file: for
// files that a still running installer may read, which the process's end releases otherwise.
void CloseOutputFiles(ExtractionJob *job);
