// Writing the chosen files into the extraction folder, one bounded write per step.
//
// From the moment the folder exists until the installer has ended, one handle pins it
// (job->folder): opened without delete sharing, so that nobody can rename or delete it, and so
// that every name formed in it resolves in it. Each output file is reached by path only once, to
// create it (or to open the one in place); after that only through its handle.
#pragma once

#include <windows.h>

#include "payload/package_directory.h"

// Pins extractionFolder (it must be a directory, and not a junction or a symbolic link; other
// reparse points such as cloud-file placeholders are folders like any other), forms every
// record's output path and opens the output files, each created in the pinned folder and checked
// to lie there. A regular file in place with the record's content is kept as it is, opened
// read-only without write or delete sharing; anything else of that name is moved aside under a
// unique name and written afresh. A record whose name an earlier record has (also in another
// letter case) is the same file and gets no handle. TRUE when all are open; otherwise what this
// call created is deleted, what it moved aside is put back, the pin is released, the folder
// removed when it is empty, and FALSE returned with the failed call's last error. A folder that
// can be opened but is refused is left as it is.
BOOL OpenOutputFiles(ExtractionJob *job, const char *extractionFolder);

// One step: 0 when every record is finished, 234 (ERROR_MORE_DATA) to be called again, 29
// (ERROR_WRITE_FAULT) when this step's write failed or was short. progress may be null. The
// written files stay open for LockOutputFiles.
DWORD ExtractionStep(ExtractionJob *job, DWORD *progress);

// Once every file is written: turns each written file's handle into its lock, a read-only
// handle that shares reading alone, through the handle itself. FALSE with the last error of the
// reopen that failed (ERROR_SHARING_VIOLATION while another process holds the file).
BOOL LockOutputFiles(ExtractionJob *job);

// Through the locks: every written file still lies in the pinned folder under its name and holds
// its record's content. FALSE with ERROR_FILE_CORRUPT when one does not.
BOOL VerifyOutputFiles(ExtractionJob *job);

// Frees every record's data (an item output) once the files hold it.
void FreeOutputData(ExtractionJob *job);

// Closes every record's handle; the folder stays pinned.
void UnlockOutputFiles(ExtractionJob *job);

// Settles the files once the installer has ended or will not run, while the folder is pinned:
// without keepFiles every file of the records and every moved-aside file is deleted; with
// restoreLeftovers each file that replaced an earlier one is deleted and the earlier one put back
// under its name; otherwise the new files stay and moved-aside files are deleted. Then the
// handles are closed, the pin released and, without keepFiles, the folder removed when empty.
void FinishOutputFiles(ExtractionJob *job, BOOL keepFiles, BOOL restoreLeftovers);

// Closes every record's handle and the pin, touching no file: for files that a still running
// installer may read, which the process's end releases otherwise.
void CloseOutputFiles(ExtractionJob *job);
