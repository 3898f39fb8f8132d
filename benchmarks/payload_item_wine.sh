#!/usr/bin/env bash
# ReadPayloadItem on a 64 MiB file item under Wine, where the system's provider (bcrypt) hashes
# and verifies, beside a program that only inflates the same data and takes the same SHA-256:
# one hyperfine run per kind of content, each command reading the container and doing its work
# ROUNDS times; a third command reads the item unverified, which shows the reader's own
# inflation. The native counterpart (the OpenSSL stand-in) is
# build/native-release/benchmarks/payload_item_benchmark.
# Needs the Windows build: cmake --preset windows && cmake --build --preset windows
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
build="$windows_build"
program="$build/benchmarks/payload_item/payload_item_timing.exe"
runs="${RUNS:-5}"
rounds="${ROUNDS:-3}"
require "$program" windows

# shellcheck source=scripts/wine-session.sh
source "$root/scripts/wine-session.sh"
start_wine_session "$build/wine-prefix"
trap stop_wine_session EXIT
wine_run="$root/scripts/wine-run.sh"

work="$build/benchmark-payload-item"
mkdir -p "$work"
ratios=()
for kind in cabinet tables; do
  container="$work/$kind.container"
  [ -f "$container" ] || "$wine_run" "$program" prepare "$container" "$kind"
  hyperfine --warmup 1 --runs "$runs" --export-json "$work/$kind.json" \
    -n "ReadPayloadItem ($kind)" "'$wine_run' '$program' read '$container' $rounds" \
    -n "inflate + SHA-256 ($kind)" "'$wine_run' '$program' baseline '$container' $rounds" \
    -n "ReadPayloadItem unverified ($kind)" "'$wine_run' '$program' unsigned '$container' $rounds"
  ratios+=("$kind $(python3 -c 'import json,sys; r=json.load(open(sys.argv[1]))["results"]; print("%.2f" % (r[0]["mean"] / r[1]["mean"]))' "$work/$kind.json")")
done
echo "ReadPayloadItem / (inflate + SHA-256) under Wine, ${rounds} rounds per run: ${ratios[0]}x, ${ratios[1]}x"
