#!/usr/bin/env bash
# A 1 GiB cabinet of mixed content (half noise, half text, in 8 MiB blocks) packed at the default
# level: --threads 2 against --threads 1 in one hyperfine run (the large item is compressed in
# pieces, so one item keeps both cores busy), the peak RSS of a two-thread run with /usr/bin/time
# against 1.2 x the compressed output + 64 MiB, and the output compared byte for byte for 1, 2
# and 5 threads. Not a test (about 3 GiB of disk under build/, several minutes). The machine's
# load is printed first: a loaded machine cannot show the speed-up. The last line gives the
# ratio of the one-thread time to the two-thread time.
#   cmake --preset native-release && cmake --build --preset native-release --target launcher-pack
#   bash benchmarks/pack_large_benchmark.sh        (SIZE_MIB=1024 and BENCH_RUNS=2 by default)
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
sizeMib="${SIZE_MIB:-1024}"
require "$pack" native-release
enter_work_folder "$root/build/native-release/pack-large-benchmark"
trap 'rm -rf "$work"' EXIT
echo "[bench] load: $(uptime)"

# shellcheck source=benchmarks/mixed_payload.sh
source "$root/benchmarks/mixed_payload.sh"
echo "[bench] making a $sizeMib MiB cabinet of mixed content in $work"
make_mixed_payload payload.bin "$sizeMib"
EXAMPLE_PAYLOAD="$work/payload.bin" EXAMPLE_CABINET=big.cab bash "$root/examples/build-example.sh" "$work" product >/dev/null
rm payload.bin
ls -l product.msi big.cab

echo "[bench] a stub that carries a fresh key"
"$pack" keygen --out key >/dev/null
# shellcheck source=benchmarks/pack_inputs.sh
source "$root/benchmarks/pack_inputs.sh"
make_stub key.pub.pem

packWith() { echo "$pack -q pack --stub stub.exe --key key.pem --msi product.msi -o setup-$1.exe --threads $1 --force"; }
hyperfine --runs "${BENCH_RUNS:-2}" --export-json results.json \
  -n "threads 1" "$(packWith 1)" \
  -n "threads 2" "$(packWith 2)"

echo "[bench] peak RSS of a two-thread run"
# Without -q, which would also silence the result line; the progress goes to the log file.
/usr/bin/time -f '%M' -o rss.txt $(packWith 2 | sed 's/ -q / /') >pack.out 2>pack.log
cat pack.out
payload=$(sed -n 's/.*payload \([0-9]*\) bytes.*/\1/p' pack.out)
rssKib=$(tail -n 1 rss.txt)
echo "[bench] five threads"
$(packWith 5) >/dev/null
same=identical
cmp -s setup-1.exe setup-2.exe && cmp -s setup-1.exe setup-5.exe || same="NOT identical"
echo "output for 1, 2 and 5 threads: $same"
echo "[bench] load: $(uptime)"
python3 - "$payload" "$rssKib" "$same" <<'PY'
import json, sys
payload, rss, same = int(sys.argv[1]), int(sys.argv[2]) * 1024, sys.argv[3]
means = {r["command"]: r["mean"] for r in json.load(open("results.json"))["results"]}
one = next(v for k, v in means.items() if k == "threads 1")
two = next(v for k, v in means.items() if k == "threads 2")
bound = 1.2 * payload + 64 * 2**20
print(f"peak RSS {rss / 2**20:.0f} MiB for a payload of {payload / 2**20:.0f} MiB: {rss / payload:.2f}x the payload, "
      f"{rss / bound:.2f}x the bound of 1.2x the payload + 64 MiB ({bound / 2**20:.0f} MiB)")
print(f"--threads 2 against --threads 1: {one / two:.2f}x faster ({one:.1f} s -> {two:.1f} s), output {same} for 1, 2, 5 threads")
PY
