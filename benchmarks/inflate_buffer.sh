#!/usr/bin/env bash
# InflateBuffer beside zlib's uncompress into a buffer of the right size, on 64 MiB outputs that
# deflate to about 1:1, 4:1 and 50:1, under Wine (whose memory calls the launcher's inflater
# uses), in one hyperfine run. Each command reads its stream and inflates it REPEAT times; a
# third command only reads, and its time (process start and reading, the same for both) is taken
# off both before they are compared.
# Needs the Windows build: cmake --preset windows && cmake --build --preset windows --target inflate_buffer_timing
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
build="$windows_build"
runs="${RUNS:-10}"
repeat="${REPEAT:-8}"
program="$build/benchmarks/inflate_buffer/inflate_buffer_timing.exe"
require "$program" windows

start_benchmark_prefix real ""

work="$prefix/drive_c/inflate"
mkdir -p "$work"
echo "[bench] writing the three streams"
"$e2e_wine" "$program" prepare 'C:\inflate'

commands=()
for ratio in 1 4 50; do
  for mode in launcher uncompress read; do
    commands+=(-n "$mode $ratio:1" "'$e2e_wine' '$program' $mode 'C:\\inflate\\ratio-$ratio.zlib' $repeat")
  done
done
json="$build/benchmark-inflate-buffer.json"
hyperfine --warmup 1 --runs "$runs" --export-json "$json" "${commands[@]}"

# One line per ratio, with the CPU time (user and system) beside the wall-clock time, which a
# busy machine stretches; then the largest of the three as the last line.
python3 - "$json" "$repeat" <<'PY'
import json, sys
runs = json.load(open(sys.argv[1]))["results"]
results = {r["command"]: r["mean"] for r in runs}
cpu = {r["command"]: r["user"] + r["system"] for r in runs}
repeat = int(sys.argv[2])
worst = None
for ratio in ("1", "4", "50"):
    fixed = results[f"read {ratio}:1"]
    launcher = (results[f"launcher {ratio}:1"] - fixed) / repeat
    zlib = (results[f"uncompress {ratio}:1"] - fixed) / repeat
    cpuFixed = cpu[f"read {ratio}:1"]
    cpuRatio = (cpu[f"launcher {ratio}:1"] - cpuFixed) / (cpu[f"uncompress {ratio}:1"] - cpuFixed)
    figures = f"InflateBuffer {launcher:.3f} s, uncompress {zlib:.3f} s per 64 MiB at {ratio}:1"
    print(f"{ratio}:1 {launcher / zlib:.2f} ({figures}); CPU time {cpuRatio:.2f}")
    if worst is None or launcher / zlib > worst[0]:
        worst = (launcher / zlib, figures)
print(f"ratio {worst[0]:.2f} (the largest: {worst[1]})")
PY
