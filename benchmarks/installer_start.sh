#!/usr/bin/env bash
# installer_start.sh [MEBIBYTES]: time from the launcher's start to the installer's start, for a
# package with a cabinet of MEBIBYTES MiB (64 by default) of random bytes, beside a program that
# only reads, inflates, hashes and writes the same cabinet (the baseline): all under Wine, in one
# hyperfine run, in a Wine prefix of their own whose msiexec.exe is a stand-in that exits at once.
# The baseline hashes with the SHA-256 the launcher uses; a second baseline with OpenSSL's is
# shown beside it when the launcher uses another, and the stand-in alone shows what starting the
# installer itself costs. Then the launcher's memory: its peak working set beside the file and
# the outputs, and its private bytes while the installer runs, as the stand-in reads them.
# Needs the Windows build: cmake --preset windows && cmake --build --preset windows
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
build="$windows_build"
mebibytes="${1:-64}"
runs="${RUNS:-10}"
# The SHA-256 that the launcher verifies items with: openssl, or system (the OS's CNG).
launcher_hash="${LAUNCHER_HASH:-system}"
for program in launcher.exe tests/tools/run_exit_code.exe tests/installer_e2e/standin_msiexec.exe \
  benchmarks/installer_start/baseline_extract.exe benchmarks/installer_start/prepare_installer_start.exe; do
  require "$build/$program" windows
done

start_benchmark_prefix standin "$build/tests/installer_e2e/standin_msiexec.exe"

work="$prefix/drive_c/bench"
mkdir -p "$work"
export STANDIN_RECORD='C:\bench\record.txt' STANDIN_EXIT_CODE=0
echo "[bench] packing a launcher with a ${mebibytes} MiB cabinet"
"$e2e_wine" "$build/benchmarks/installer_start/prepare_installer_start.exe" 'C:\bench' "$mebibytes"

extracted="$prefix/drive_c/windows/Installer/{3C5B1C2A-7D4E-4F60-8A91-0B2C3D4E5F61}"
runner="$build/tests/tools/run_exit_code.exe"
baseline="Z:$(printf '%s' "$build/benchmarks/installer_start/baseline_extract.exe" | tr / '\\')"
# Every run starts from an empty extraction folder: files found in place would not be written.
clean="rm -rf '$extracted' '$work/out.cab' '$work/record.txt' '$work/parent-memory.txt'"
baseline_run() { echo "'$e2e_wine' '$runner' '$baseline' 'C:\\bench\\cabinet.zlib' 'C:\\bench\\out.cab' $1"; }

commands=(-n launcher "'$e2e_wine' '$runner' 'C:\\bench\\setup.exe'" -n baseline "$(baseline_run "$launcher_hash")")
if [ "$launcher_hash" != openssl ]; then
  commands+=(-n "baseline with OpenSSL's SHA-256" "$(baseline_run openssl)")
fi
commands+=(-n "installer alone" "'$e2e_wine' '$runner' 'C:\\windows\\system32\\msiexec.exe'")
json="$build/benchmark-installer-start.json"
hyperfine --warmup 1 --runs "$runs" --prepare "$clean" --export-json "$json" "${commands[@]}"

eval "$clean"
memory="$(STANDIN_PARENT_MEMORY='C:\bench\parent-memory.txt' "$e2e_wine" "$runner" --memory 'C:\bench\setup.exe')"
file_size="$(stat -c %s "$work/setup.exe")"
outputs_size="$(du -cb "$extracted"/* | tail -1 | cut -f1)"
held="$(cat "$work/parent-memory.txt")"
eval "$clean"

python3 - "$json" "$memory" "$file_size" "$outputs_size" "$held" <<'PY'
import json, re, sys
results = {r["command"]: r["mean"] for r in json.load(open(sys.argv[1]))["results"]}
memory, file_size, outputs, held = sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), sys.argv[5]
mb = lambda n: f"{n / 1e6:.1f} MB"
peak = int(re.search(r"peak working set (\d+)", memory).group(1))
print(f"peak working set {mb(peak)}: {peak / (file_size + outputs):.2f} x (file {mb(file_size)} + outputs {mb(outputs)})")
private = int(re.search(r"private bytes (\d+)", held).group(1))
limit = 16 * 2**20 + outputs / 16
print(f"held while the installer runs: private bytes {mb(private)} (16 MiB + outputs/16 = {mb(limit)})")
openssl = results.get("baseline with OpenSSL's SHA-256")
if openssl is not None:
    print(f"baseline with OpenSSL's SHA-256: {openssl:.3f} s, ratio {results['launcher'] / openssl:.2f}")
print(f"ratio {results['launcher'] / results['baseline']:.2f} "
      f"(launcher {results['launcher']:.3f} s, baseline {results['baseline']:.3f} s)")
PY
