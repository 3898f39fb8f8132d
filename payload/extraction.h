// Writing the chosen files into the extraction folder, one bounded write per step.
#pragma once

#include <windows.h>

#include "payload/package_directory.h"

// Forms every record's output path in extractionFolder and opens the files that do not exist
// yet. TRUE when all are open; otherwise what this call created is closed and deleted, the
// folder removed when empty, and FALSE returned.
BOOL OpenOutputFiles(ExtractionJob *job, const char *extractionFolder);

// One step: 0 when every record is finished, 234 (ERROR_MORE_DATA) to be called again, 29
// (ERROR_WRITE_FAULT) when this step's write failed or was short. progress may be null. The
// step that closes a finished record also frees its data (an item output) and clears it.
DWORD ExtractionStep(ExtractionJob *job, DWORD *progress);
