#!/usr/bin/env bash
# A 1 GiB product end to end: a cabinet of mixed content packed by launcher-pack into
# launcher.exe (the windows build, which carries the TEST-ONLY key), installed under Wine by
# the real Windows Installer, and the installed file compared byte for byte with the source.
# Not a test: it needs 4 to 5 GiB of disk under build/ and several minutes. The last line gives
# the ratio of the install time to the pack time.
#   cmake --preset native-release && cmake --build --preset native-release --target launcher-pack
#   cmake --preset windows && cmake --build --preset windows --target launcher
#   bash benchmarks/pack_install_wine.sh        (SIZE_MIB=1024 by default)
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
launcher="$root/build/windows/launcher.exe"
key="$root/tests/keys/TEST-ONLY-payload-signing-key.pem"
work="$root/build/windows/pack-install-benchmark"
prefix="$root/build/windows/pack-install-prefix"
sizeMib="${SIZE_MIB:-1024}"
code="{6C1F8B32-4D5E-4F90-AB2C-3D4E5F6A7B81}"
require "$pack" native-release
require "$launcher" windows
# shellcheck source=benchmarks/mixed_payload.sh
source "$root/benchmarks/mixed_payload.sh"
enter_wine_bench "$work" "$prefix"
make_mixed_product "$sizeMib" "$code"

echo "[bench] packing with $launcher"
start=$(date +%s.%N)
/usr/bin/time -f 'launcher-pack: %e s, peak RSS %M KiB' "$pack" -q pack --stub "$launcher" --key "$key" \
  --msi product.msi -o setup.exe
packSeconds=$(echo "$(date +%s.%N) - $start" | bc)
rm big.cab

echo "[bench] installing under Wine with its Windows Installer"
start_e2e_prefix real "$prefix" ""
start=$(date +%s.%N)
"$e2e_wine" "$work/setup.exe" /qn INSTALLABLE=1 </dev/null
installSeconds=$(echo "$(date +%s.%N) - $start" | bc)
compare_installed_and_remove "$code"
echo "install $installSeconds s / pack $packSeconds s = $(echo "scale=2; $installSeconds / $packSeconds" | bc)x; the installed file is $same"
