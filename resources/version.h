// The launcher's version, in one place: the build writes it into the manifest's assembly identity.
#pragma once

#define LAUNCHER_VERSION_MAJOR 0
#define LAUNCHER_VERSION_MINOR 0
#define LAUNCHER_VERSION_PATCH 0
#define LAUNCHER_VERSION_BUILD 0
