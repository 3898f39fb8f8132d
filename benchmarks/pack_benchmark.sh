#!/usr/bin/env bash
# Packing a 64 MiB package with a 64 MiB cabinet: launcher-pack's time and payload size on all
# cores and on one, beside the packer as it was before items were compressed in parallel (built
# here from BASELINE_REF) and zlib level 9 alone on the same bytes, in one hyperfine run. Not a
# test. The last line gives the ratio of the baseline's time to today's at the default level.
#   cmake --preset native-release && cmake --build --preset native-release --target launcher-pack
#   bash benchmarks/pack_benchmark.sh
# The inputs are made by pack_inputs.sh.
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
baselineRef="${BASELINE_REF:-ee29e80}" # the one-thread packer
require "$pack" native-release
enter_work_folder "$root/build/native-release/pack-benchmark"

# Built once per revision, beside the benchmark's folder.
baselineDir="$root/build/native-release/pack-baseline-$baselineRef"
baseline="$baselineDir/build/packer/launcher-pack"
if [ ! -x "$baseline" ]; then
  echo "[bench] building the baseline launcher-pack from $baselineRef"
  rm -rf "$baselineDir"
  mkdir -p "$baselineDir/source"
  git -C "$root" archive "$baselineRef" | tar -x -C "$baselineDir/source"
  cmake -S "$baselineDir/source" -B "$baselineDir/build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DLAUNCHER_BUILD_TESTS=OFF >/dev/null 2>&1
  cmake --build "$baselineDir/build" --target launcher-pack -j2 >/dev/null
fi

source "$root/benchmarks/pack_inputs.sh"
echo "[bench] making a 64 MiB package and a 64 MiB cabinet in $work"
make_package
echo "[bench] a stub that carries a fresh key"
"$pack" keygen --out key >/dev/null
make_stub key.pub.pem

packWith() { echo "$1 pack --stub stub.exe --key key.pem --msi product.msi -o setup-$2.exe --level $3 ${4:-}"; }
zlib9='python3 -c "import sys, zlib; print(sum(len(zlib.compress(open(f, \"rb\").read(), 9)) for f in sys.argv[1:]))" product.msi bench.cab'
cores=$(nproc)

hyperfine --runs "${BENCH_RUNS:-3}" --export-markdown results.md --export-json results.json \
  -n "baseline launcher-pack, level 10 (one thread)" "$(packWith "$baseline" baseline 10)" \
  -n "launcher-pack, level 10 (default), $cores cores" "$(packWith "$pack" 10 10 --force)" \
  -n "launcher-pack, level 10, --threads 1" "$(packWith "$pack" 10-one 10 "--threads 1 --force")" \
  -n "launcher-pack, level 9, $cores cores" "$(packWith "$pack" 9 9 --force)" \
  -n "zlib level 9 alone (compress only, one thread)" "$zlib9"

echo
echo "[bench] sizes (input $((128 * mib)) bytes)"
payloadOf() { "$pack" inspect --json "$1" | sed -n 's/^    {$//; s/^      "size": \([0-9]*\),$/\1/p'; }
for run in baseline 10 10-one 9; do
  echo "setup-$run.exe: payload $(payloadOf "setup-$run.exe") bytes"
done
cmp -s setup-baseline.exe setup-10.exe && same="byte-identical" || same="NOT identical"
echo "zlib level 9 alone: $(eval "$zlib9") bytes of zlib streams"
python3 - "$same" "$(payloadOf setup-10.exe)" "$cores" <<'PY'
import json, sys
means = {r["command"]: r["mean"] for r in json.load(open("results.json"))["results"]}
base = next(v for k, v in means.items() if k.startswith("baseline"))
today = next(v for k, v in means.items() if k.startswith("launcher-pack, level 10 (default)"))
zlib = next(v for k, v in means.items() if k.startswith("zlib"))
print(f"level 10 on {sys.argv[3]} cores: {base / today:.2f}x faster than the baseline's level 10 "
      f"({base:.2f} s -> {today:.2f} s, output {sys.argv[1]}, payload {sys.argv[2]} bytes; zlib level 9 alone {zlib:.2f} s)")
PY
