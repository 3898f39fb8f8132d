#!/usr/bin/env bash
# installer_start.sh [MEBIBYTES...]: time from the launcher's start to the installer's start, for
# a package with a cabinet of MEBIBYTES MiB (64 and 512 by default) of random bytes, beside a
# program that only reads, inflates, hashes and writes the same cabinet (the baseline): all under
# Wine, in one hyperfine run per size, in a Wine prefix of their own whose msiexec.exe is a
# stand-in that exits at once. The baseline hashes with the SHA-256 the launcher uses; a second
# baseline with OpenSSL's is shown beside it when the launcher uses another, and the stand-in
# alone shows what starting the installer itself costs. Then, per size, where the launcher's time
# goes, phase by phase (the median of PROFILE_RUNS runs of the profiled build, whose phase marks
# launcher.exe does not have), and the launcher's memory: its peak working set beside the file
# and the outputs, and its private bytes while the installer runs, as the stand-in reads them.
# The last line gives the ratio of the medians for every size.
# Needs the Windows build: cmake --preset windows && cmake --build --preset windows
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
build="$windows_build"
sizes=("$@")
[ ${#sizes[@]} -gt 0 ] || sizes=(64 512)
runs="${RUNS:-10}"
profile_runs="${PROFILE_RUNS:-3}"
# The SHA-256 that the launcher verifies items with: openssl, or system (the OS's CNG).
launcher_hash="${LAUNCHER_HASH:-system}"
for program in launcher.exe launcher-profiled.exe tests/tools/run_exit_code.exe \
  tests/installer_e2e/standin_msiexec.exe benchmarks/installer_start/baseline_extract.exe \
  benchmarks/installer_start/prepare_installer_start.exe; do
  require "$build/$program" windows
done

start_benchmark_prefix standin "$build/tests/installer_e2e/standin_msiexec.exe"

work="$prefix/drive_c/bench"
mkdir -p "$work"
export STANDIN_RECORD='C:\bench\record.txt' STANDIN_EXIT_CODE=0
extracted="$prefix/drive_c/windows/Installer/{3C5B1C2A-7D4E-4F60-8A91-0B2C3D4E5F61}"
runner="$build/tests/tools/run_exit_code.exe"
baseline="Z:$(printf '%s' "$build/benchmarks/installer_start/baseline_extract.exe" | tr / '\\')"
# Every run starts from an empty extraction folder: files found in place would not be written.
clean="rm -rf '$extracted' '$work/out.cab' '$work/record.txt' '$work/parent-memory.txt'"
baseline_run() { echo "'$e2e_wine' '$runner' '$baseline' 'C:\\bench\\cabinet.zlib' 'C:\\bench\\out.cab' $1"; }
ratios="$work/ratios.txt"
: >"$ratios"

# measure MEBIBYTES: the timings, the profile and the memory for one size; appends its ratio.
measure() {
  local mebibytes="$1"
  echo "[bench] packing a launcher with a ${mebibytes} MiB cabinet"
  rm -f "$work/setup.exe" "$work/setup-profiled.exe" "$work/cabinet.zlib"
  "$e2e_wine" "$build/benchmarks/installer_start/prepare_installer_start.exe" 'C:\bench' "$mebibytes"
  # The same payload behind the profiled build: the container follows the image.
  { cat "$build/launcher-profiled.exe"; tail -c +$(($(stat -c %s "$build/launcher.exe") + 1)) "$work/setup.exe"; } \
    >"$work/setup-profiled.exe"

  local commands=(-n launcher "'$e2e_wine' '$runner' 'C:\\bench\\setup.exe'" -n baseline "$(baseline_run "$launcher_hash")")
  if [ "$launcher_hash" != openssl ]; then
    commands+=(-n "baseline with OpenSSL's SHA-256" "$(baseline_run openssl)")
  fi
  commands+=(-n "installer alone" "'$e2e_wine' '$runner' 'C:\\windows\\system32\\msiexec.exe'")
  local json="$build/benchmark-installer-start-$mebibytes.json"
  hyperfine --warmup 1 --runs "$runs" --prepare "$clean" --export-json "$json" "${commands[@]}"

  local marks=()
  rm -f "$work/baseline-profile.txt"
  for ((i = 1; i <= profile_runs; i++)); do
    eval "$clean"
    rm -f "$work/profile-$i.txt"
    LAUNCHER_PROFILE_FILE="C:\\bench\\profile-$i.txt" STANDIN_START_MARK="C:\\bench\\profile-$i.txt" \
      "$e2e_wine" "$runner" 'C:\bench\setup-profiled.exe' >/dev/null
    marks+=("$work/profile-$i.txt")
    eval "$clean"
    (export BASELINE_PROFILE_FILE='C:\bench\baseline-profile.txt' && eval "$(baseline_run "$launcher_hash")" >/dev/null)
  done

  eval "$clean"
  local memory file_size outputs_size held
  memory="$(STANDIN_PARENT_MEMORY='C:\bench\parent-memory.txt' "$e2e_wine" "$runner" --memory 'C:\bench\setup.exe')"
  file_size="$(stat -c %s "$work/setup.exe")"
  outputs_size="$(du -cb "$extracted"/* | tail -1 | cut -f1)"
  held="$(cat "$work/parent-memory.txt")"
  eval "$clean"

  python3 - "$mebibytes" "$json" "$memory" "$file_size" "$outputs_size" "$held" "$ratios" \
    "$work/baseline-profile.txt" "${marks[@]}" <<'PY'
import collections, json, re, statistics, sys
mebibytes, results_path, memory, file_size, outputs, held, ratios_path, baseline_path = sys.argv[1:9]
file_size, outputs = int(file_size), int(outputs)
mark_files = sys.argv[9:]
median = statistics.median

def phases(path):
    """The phases of one profiled run, in ms, in the order they happen."""
    events = [(name, int(value) / 1e4) for name, value in (line.split() for line in open(path) if line.strip())]
    started = dict(events)  # the stand-in's line, and every mark that is taken once
    steps = idle = tail = 0.0
    step_count = batch_count = 0
    last = ended = first = None
    for name, t in events:
        if name == "batch-started":
            batch_count += 1
            if ended is None:
                first = t
            else:
                idle += t - ended
            last = t
        elif name == "step-done":
            steps += t - last
            step_count += 1
            last = t
        elif name == "batch-ended":
            tail += t - last
            ended = t
    span = lambda a, b: started[b] - started[a]
    return (step_count, batch_count), [
        ("process start (Wine loads the program and its DLLs)", started["entered"] - started["created"]),
        ("DLL search restricted, common controls, COM", span("entered", "started")),
        ("reading the image and the payload's directory", span("started", "payload-read")),
        ("checking the items: inflate, SHA-256, signature", span("payload-read", "items-checked")),
        ("finding msiexec", span("items-checked", "installer-found")),
        ("creating, pinning and locking the folder, opening the files", span("installer-found", "folder-opened")),
        ("making the progress window", span("folder-opened", "window-ready")),
        ("showing it, until the first batch of steps", first - started["window-ready"]),
        ("extraction steps", steps),
        ("idle between batches", idle),
        ("after each batch: bar, taskbar, next batch asked for", tail),
        ("closing the window", started["window-closed"] - last),
        ("naming and locking the files", span("window-closed", "files-locked")),
        ("checking the locked files", span("files-locked", "files-verified")),
        ("starting msiexec, until the stand-in runs", span("files-verified", "installer-started")),
        ("= to the installer's start", started["installer-started"] - started["created"]),
        ("the stand-in, until its end is seen", span("installer-started", "installer-ended")),
        ("settling the files, the final steps", span("installer-ended", "finished")),
    ]

profiles = [phases(path) for path in mark_files]
runs = [run for _, run in profiles]
print(f"where the launcher's time goes at {mebibytes} MiB (median of {len(runs)} profiled runs, ms):")
for i, (name, _) in enumerate(runs[0]):
    print(f"  {median(run[i][1] for run in runs):9.1f}  {name}")
print(f"  ({median(c[0] for c, _ in profiles):.0f} steps in {median(c[1] for c, _ in profiles):.0f} batches)")
baseline = collections.defaultdict(list)
for line in open(baseline_path):
    name, value = line.split()
    baseline[name].append(float(value))
print("the baseline's phases (median, ms): " + ", ".join(f"{name} {median(v):.1f}" for name, v in baseline.items()))

mb = lambda n: f"{n / 1e6:.1f} MB"
peak = int(re.search(r"peak working set (\d+)", memory).group(1))
print(f"peak working set {mb(peak)}: {peak / (file_size + outputs):.2f} x (file {mb(file_size)} + outputs {mb(outputs)})")
private = int(re.search(r"private bytes (\d+)", held).group(1))
limit = 16 * 2**20 + outputs / 16
print(f"held while the installer runs: private bytes {mb(private)} (16 MiB + outputs/16 = {mb(limit)})")
results = {r["command"]: r["median"] for r in json.load(open(results_path))["results"]}
openssl = results.get("baseline with OpenSSL's SHA-256")
if openssl is not None:
    print(f"baseline with OpenSSL's SHA-256: {openssl:.3f} s, ratio {results['launcher'] / openssl:.2f}")
ratio = results["launcher"] / results["baseline"]
print(f"{mebibytes} MiB: ratio {ratio:.2f} (medians: launcher {results['launcher']:.3f} s, baseline {results['baseline']:.3f} s)")
with open(ratios_path, "a") as out:
    out.write(f"{mebibytes} MiB {ratio:.2f}\n")
PY
}

for mebibytes in "${sizes[@]}"; do
  measure "$mebibytes"
done
rm -f "$work/setup.exe" "$work/setup-profiled.exe" "$work/cabinet.zlib" "$work"/profile-*.txt
echo "ratios (median of $runs runs, launcher over baseline): $(paste -sd, "$ratios" | sed 's/,/, /g')"
