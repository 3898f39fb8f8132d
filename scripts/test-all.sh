#!/usr/bin/env bash
# Sets up the machine (scripts/setup.sh), builds every build and runs every test: the native
# build with sanitizers and a short fuzzing run (scripts/fuzz.sh), the checks of the release
# launcher.exe and that it is reproducible, the Debian package of the packer and the ready stub,
# launcher-pack.exe (its tests under Wine, its bytes against Linux's, its archive in a prefix),
# then the Windows build under Wine, with a Wine prefix of this run's own, one persistent
# wineserver and a virtual X display for the windows the tests open. Prints each stage's time.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"

# The whole run stays under 20 minutes on a fresh 2-core machine: runs over many GiB are
# benchmarks (benchmarks/), not tests. Each say starts a stage; their times are printed at the
# end, on failure too.
stage_times=() stage_name="" stage_started=0 run_started=$SECONDS
end_stage() {
  [ -z "$stage_name" ] || stage_times+=("$(printf '%5d s  %s' $((SECONDS - stage_started)) "$stage_name")")
  stage_name=""
}
print_stage_times() {
  end_stage
  printf '\n[test-all] stage times:\n'
  printf '  %s\n' "${stage_times[@]}"
  printf '  %5d s  in all\n' $((SECONDS - run_started))
}
say() {
  end_stage
  stage_name="$*" stage_started=$SECONDS
  printf '\n[test-all] %s\n' "$*"
}
trap print_stage_times EXIT

say "set-up: Debian packages, the MinGW builds of OpenSSL, libdeflate and GoogleTest (cached)"
bash scripts/setup.sh

say "native build (AddressSanitizer, UBSan)"
cmake --preset native >/dev/null
cmake --build --preset native -j2
# Each native test program works in folders of its own: two at a time.
ctest --preset native -j2

say "fuzzing the readers of untrusted bytes: each target's corpus, then its time box"
bash scripts/fuzz.sh

# The tests ran in the native build; here only what the package and the Windows tests use, and
# the benchmark, so that it keeps building.
say "native release build (launcher-pack, its manual page, the benchmark)"
cmake --preset native-release >/dev/null
cmake --build --preset native-release -j2 --target launcher-pack launcher_pack_package_files payload_item_benchmark

say "Windows release build (launcher.exe as released, the ready stub: size, imports, no build paths)"
cmake --preset windows-release >/dev/null
cmake --build --preset windows-release -j2
ctest --preset windows-release

say "the ready stub is reproducible: two more builds, in other folders, give its bytes"
bash tests/release/reproducible-stub.sh build/windows-release/launcher.exe

say "Debian package of launcher-pack, unpacked and run"
bash tests/package/debian-package.sh build/native-release

# Each of these runs Wine in a prefix of its own, before the Windows tests' session starts.
say "launcher-pack.exe (windows-packer): imports, the packer's tests under Wine, the same bytes as on Linux, the release archive"
cmake --preset windows-packer >/dev/null
# One build for both: ninja 1.11 reads a header path with an apostrophe in a compiler's depfile as
# several names, so in such a checkout every object stays out of date and a second build would
# compile everything again.
cmake --build --preset windows-packer -j2 --target all windows_packer_archive
ctest --preset windows-packer

say "Windows build (MinGW-w64)"
cmake --preset windows >/dev/null
cmake --build --preset windows -j2

# shellcheck source=scripts/wine-session.sh
source scripts/wine-session.sh
start_wine_session "$root/build/windows/wine-prefix"
trap 'stop_wine_session; print_stage_times' EXIT

say "Windows tests under Wine (prefix $WINEPREFIX, display $DISPLAY)"
ctest --preset windows
