// What the fuzz targets share.
#pragma once

#include "launcher/launcher_state.h"
#include "payload/inflate.h"
#include "payload/package_directory.h"

// Runs the package selection and the bindings check over state's payloads as the launcher does,
// then frees the file list it built.
inline void SelectAndRelease(LauncherState *state)
{
    ExtractionJob job = {};
    job.current = -1;
    PackageSelection selection;
    if (SelectPackage(state, &job, &selection))
        CheckJobBindings(state, &job, selection.containerIndex);
    for (int i = 0; i < job.count; i++) {
        FreeItemOutput(job.items[i].data);
    }
    if (job.items != nullptr)
        LocalFree(job.items);
}
