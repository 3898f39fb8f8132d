#!/usr/bin/env bash
# Time from the launcher's start to the installer's start, for a package with a 64 MiB cabinet,
# beside a program that only reads, inflates, hashes and writes the same cabinet: both under
# Wine, in one hyperfine run, in a Wine prefix of their own whose msiexec.exe is a stand-in that
# exits at once. A third command, the stand-in alone, shows what starting the installer itself
# costs. Then the launcher's peak memory, from the Windows side.
# Needs the Windows build: cmake --preset windows && cmake --build --preset windows
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="$root/build/windows"
mebibytes="${1:-64}"
runs="${RUNS:-10}"
for program in launcher.exe tests/tools/run_exit_code.exe tests/installer_e2e/standin_msiexec.exe \
  benchmarks/installer_start/baseline_extract.exe benchmarks/installer_start/prepare_installer_start.exe; do
  [ -f "$build/$program" ] || { echo "missing $build/$program: build the windows preset first" >&2; exit 1; }
done

prefix="$build/benchmark-prefix"
# shellcheck source=tests/installer_e2e/e2e-prefix.sh
source "$root/tests/installer_e2e/e2e-prefix.sh"
trap stop_e2e_prefix EXIT
start_e2e_prefix standin "$prefix" "$build/tests/installer_e2e/standin_msiexec.exe"

work="$prefix/drive_c/bench"
mkdir -p "$work"
export STANDIN_RECORD='C:\bench\record.txt' STANDIN_EXIT_CODE=0
echo "[bench] packing a launcher with a ${mebibytes} MiB cabinet"
"$e2e_wine" "$build/benchmarks/installer_start/prepare_installer_start.exe" 'C:\bench' "$mebibytes"

extracted="$prefix/drive_c/windows/Installer/{3C5B1C2A-7D4E-4F60-8A91-0B2C3D4E5F61}"
runner="$build/tests/tools/run_exit_code.exe"
baseline="Z:$(printf '%s' "$build/benchmarks/installer_start/baseline_extract.exe" | tr / '\\')"
# Every run starts from an empty extraction folder: files found in place would not be written.
clean="rm -rf '$extracted' '$work/out.cab' '$work/record.txt'"

hyperfine --warmup 1 --runs "$runs" --prepare "$clean" \
  --export-markdown "$build/benchmark-installer-start.md" \
  -n launcher "'$e2e_wine' '$runner' 'C:\\bench\\setup.exe'" \
  -n baseline "'$e2e_wine' '$runner' '$baseline' 'C:\\bench\\cabinet.zlib' 'C:\\bench\\out.cab'" \
  -n "installer alone" "'$e2e_wine' '$runner' 'C:\\windows\\system32\\msiexec.exe'"

eval "$clean"
echo "[bench] the launcher's peak memory:"
"$e2e_wine" "$runner" --memory 'C:\bench\setup.exe'
eval "$clean"
