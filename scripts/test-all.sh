#!/usr/bin/env bash
# Sets up the machine (scripts/setup.sh), builds every build and runs every test: the native
# build with sanitizers and a short fuzzing run (scripts/fuzz.sh), the checks of the release
# launcher.exe, the Debian package of the packer and the ready stub, then the Windows build under
# Wine, with a Wine prefix of this run's own, one persistent wineserver and a virtual X display
# for the windows the tests open.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

say() { printf '\n[test-all] %s\n' "$*"; }

bash scripts/setup.sh

say "native build (AddressSanitizer, UBSan)"
cmake --preset native >/dev/null
cmake --build --preset native
ctest --preset native

say "fuzzing the readers of untrusted bytes, 20 s per target"
bash scripts/fuzz.sh 20

say "native release build (launcher-pack, benchmarks)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release

say "Windows release build (launcher.exe as released, the ready stub: size, imports, no build paths)"
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release
ctest --preset windows-release

say "Debian package of launcher-pack, unpacked and run"
bash tests/package/debian-package.sh build/native-release

say "Windows build (MinGW-w64)"
cmake --preset windows >/dev/null
cmake --build --preset windows

# shellcheck source=scripts/wine-session.sh
source scripts/wine-session.sh
start_wine_session "$root/build/windows/wine-prefix"
trap stop_wine_session EXIT

say "Windows tests under Wine (prefix $WINEPREFIX, display $DISPLAY)"
ctest --preset windows
