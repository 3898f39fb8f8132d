#include "launcher/installer.h"

void CleanUpInstallerPhases(RunState *run)
{
    ExtractionJob *job = &run->job;
    if (job->items != NULL) {
        for (int i = 0; i < job->count; i++) {
            FileRecord *record = &job->items[i];
            if (record->data != NULL)
                LocalFree(record->data);
            if (record->handle != NULL)
                CloseHandle(record->handle);
        }
        LocalFree(job->items);
        job->items = NULL;
        job->count = 0;
    }
}
