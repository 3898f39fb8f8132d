#!/usr/bin/env bash
# launcher-pack.exe under Wine against launcher-pack on Linux, packing the same 64 MiB package
# and 64 MiB cabinet with the same key and stub, in one hyperfine run; the two installers must
# be byte-identical. Not a test. The last line gives launcher-pack.exe's time over launcher-pack's,
# by the wall clock and by CPU time (user and system of the whole process tree, Wine's included).
#   cmake --preset native-release && cmake --build --preset native-release --target launcher-pack
#   cmake --preset windows-packer && cmake --build --preset windows-packer --target launcher-pack
#   bash benchmarks/pack_windows_benchmark.sh
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
exe="$root/build/windows-packer/packer/launcher-pack.exe"
require "$pack" native-release
require "$exe" windows-packer
enter_work_folder "$root/build/windows-packer/pack-benchmark"

source "$root/benchmarks/pack_inputs.sh"
echo "[bench] making a 64 MiB package and a 64 MiB cabinet in $work"
make_package
key="$root/tests/keys/TEST-ONLY-payload-signing-key.pem"
openssl pkey -in "$key" -pubout -out key.pub.pem
make_stub key.pub.pem

# shellcheck source=scripts/wine-session.sh
source "$root/scripts/wine-session.sh"
start_wine_session "$root/build/windows-packer/wine-prefix"
trap stop_wine_session EXIT
packWith() { echo "$1 -q pack --stub stub.exe --key '$key' --msi product.msi -o setup-$2.exe --force"; }
cores=$(nproc)

hyperfine --runs "${BENCH_RUNS:-5}" --warmup 1 --export-markdown results.md --export-json results.json \
  -n "launcher-pack (Linux), $cores cores" "$(packWith "$pack" linux)" \
  -n "launcher-pack.exe (Wine), $cores cores" "$(packWith "$root/scripts/wine-run.sh $exe" windows)"

cmp -s setup-linux.exe setup-windows.exe && same="byte-identical" || same="NOT identical"
echo "[bench] $(ls -l setup-linux.exe | awk '{print $5}') bytes, the two installers $same"
python3 - "$same" <<'PY'
import json, sys
results = json.load(open("results.json"))["results"]
def of(prefix):
    r = next(r for r in results if r["command"].startswith(prefix))
    return r["mean"], r["user"] + r["system"]
linux, linuxCpu = of("launcher-pack (Linux)")
windows, windowsCpu = of("launcher-pack.exe (Wine)")
print(f"launcher-pack.exe under Wine / launcher-pack: {windows / linux:.3f} wall ({linux:.2f} s -> {windows:.2f} s), "
      f"{windowsCpu / linuxCpu:.3f} CPU ({linuxCpu:.2f} s -> {windowsCpu:.2f} s); installers {sys.argv[1]}")
PY
