// launcher-pack's command line, run by the host's own entry point (posix_main.cpp,
// windows_main.cpp) with the arguments in UTF-8; returns the exit code.
#pragma once

int RunLauncherPack(int argc, char **argv);
