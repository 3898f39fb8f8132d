// Writing the chosen files into the extraction folder, one bounded write per step.
#pragma once

#include <windows.h>

#include "payload/package_directory.h"

// Forms every record's output path in extractionFolder and opens the files to write. A regular
// file in place with the record's content is used as it is (no handle); anything else of that
// name is deleted and written afresh. A record whose path an earlier record of this call has
// (also in another letter case) is the same file and gets no handle. TRUE when all are open;
// otherwise (also for a folder that is a reparse point) what this call created is closed and
// deleted, the folder removed when empty, and FALSE returned.
BOOL OpenOutputFiles(ExtractionJob *job, const char *extractionFolder);

// Once every file is written: opens each output file for reading with FILE_SHARE_READ only, so
// that nobody can write, rename or delete it while the installer reads it, and checks through
// that handle that it still holds its record's content. The handles go into the records; then
// every record's data (an item output) is freed and cleared. FALSE with the last error set when
// a file cannot be opened so, or with ERROR_FILE_CORRUPT when its content changed.
BOOL LockOutputFiles(ExtractionJob *job);

// Closes every record's handle.
void UnlockOutputFiles(ExtractionJob *job);

// One step: 0 when every record is finished, 234 (ERROR_MORE_DATA) to be called again, 29
// (ERROR_WRITE_FAULT) when this step's write failed or was short. progress may be null.
DWORD ExtractionStep(ExtractionJob *job, DWORD *progress);
