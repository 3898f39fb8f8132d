#!/usr/bin/env bash
# A 1 GiB installer signed last: a cabinet of mixed content packed by launcher-pack onto the
# unsigned launcher.exe (the windows build, which carries the TEST-ONLY key), signed after
# packing with osslsigncode and a throwaway certificate, checked by osslsigncode verify and
# launcher-pack verify --strict, then installed under Wine by the real Windows Installer, with
# the installed file compared byte for byte with the source. Each step's time and peak memory.
# Not a test: it needs 5 to 6 GiB of disk under build/, 3 GiB of memory while the launcher reads
# its whole file, and several minutes. The last line gives the ratio of the signing time to the
# pack time.
#   cmake --preset native-release && cmake --build --preset native-release --target launcher-pack
#   cmake --preset windows && cmake --build --preset windows --target launcher
#   bash benchmarks/sign_last_benchmark.sh        (SIZE_MIB=1024 by default)
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
launcher="$root/build/windows/launcher.exe"
key="$root/tests/keys/TEST-ONLY-payload-signing-key.pem"
work="$root/build/windows/sign-last-benchmark"
prefix="$root/build/windows/sign-last-prefix"
sizeMib="${SIZE_MIB:-1024}"
code="{6C1F8B32-4D5E-4F90-AB2C-3D4E5F6A7B82}"
require "$pack" native-release
require "$launcher" windows
# shellcheck source=benchmarks/mixed_payload.sh
source "$root/benchmarks/mixed_payload.sh"
enter_wine_bench "$work" "$prefix"
make_mixed_product "$sizeMib" "$code"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Sign-last benchmark" \
  -addext "extendedKeyUsage=codeSigning" -addext "basicConstraints=critical,CA:FALSE" \
  -keyout signer-key.pem -out signer.pem 2>/dev/null

# Runs a step under /usr/bin/time; its seconds go into the variable named first.
timed() {
  local into="$1" label="$2" start
  shift 2
  start=$(date +%s.%N)
  /usr/bin/time -f "$label: %e s, peak RSS %M KiB" "$@"
  printf -v "$into" '%s' "$(echo "$(date +%s.%N) - $start" | bc)"
}

echo "[bench] packing onto the unsigned $launcher"
timed packSeconds "launcher-pack pack" "$pack" -q pack --stub "$launcher" --key "$key" --msi product.msi \
  -o setup.exe
rm big.cab
echo "[bench] signing setup.exe last"
timed signSeconds "osslsigncode sign" osslsigncode sign -certs signer.pem -key signer-key.pem -h sha256 \
  -in setup.exe -out setup-signed.exe >/dev/null
rm setup.exe
ls -l setup-signed.exe
echo "[bench] verifying"
timed checkSeconds "osslsigncode verify" osslsigncode verify -CAfile signer.pem -in setup-signed.exe >/dev/null
timed verifySeconds "launcher-pack verify" "$pack" verify --strict --key "$key" --allow-test-key setup-signed.exe

echo "[bench] installing under Wine with its Windows Installer"
start_e2e_prefix real "$prefix" ""
# The launcher's peak is the Wine process's; /usr/bin/time reports the largest child.
timed installSeconds "install under Wine" "$e2e_wine" "$work/setup-signed.exe" /qn INSTALLABLE=1 </dev/null
compare_installed_and_remove "$code"
echo "pack $packSeconds s, sign $signSeconds s, osslsigncode verify $checkSeconds s, launcher-pack verify" \
  "$verifySeconds s, install $installSeconds s; sign / pack = $(printf '%.3f' "$(echo "scale=4; $signSeconds / $packSeconds" | bc)")x;" \
  "the installed file is $same"
