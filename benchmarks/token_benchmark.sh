#!/usr/bin/env bash
# Packing the 64 MiB package and its 64 MiB cabinet with the payload key in a PKCS#11 token
# (SoftHSM2, made here in a folder of its own), beside the same key in a PEM file and behind a
# signer command, in one hyperfine run. The three installers must be byte-identical. Not a test.
# The last line gives the token's time over the PEM file's (the aim: 1.05 or less), by the wall
# clock and by CPU time (user and system), which a machine shared with other work disturbs less.
#   cmake --preset native-release && cmake --build --preset native-release --target launcher-pack
#   bash benchmarks/token_benchmark.sh
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
require "$pack" native-release
enter_work_folder "$root/build/native-release/token-benchmark"

source "$root/benchmarks/pack_inputs.sh"
echo "[bench] making a 64 MiB package and a 64 MiB cabinet in $work"
make_package

echo "[bench] a token holding the TEST-ONLY key, and a stub that carries it"
key="$root/tests/keys/TEST-ONLY-payload-signing-key.pem"
openssl pkey -in "$key" -pubout -out key.pub.pem
make_stub key.pub.pem
module=$(find /usr/lib -name libsofthsm2.so -path '*softhsm*' | head -n 1)
[ -n "$module" ] || { echo "SoftHSM2 is not installed (scripts/setup.sh installs it)" >&2; exit 1; }
mkdir tokens
printf 'directories.tokendir = %s/tokens\nobjectstore.backend = file\nlog.level = ERROR\n' "$work" >softhsm2.conf
export SOFTHSM2_CONF="$work/softhsm2.conf"
echo 4711 >pin
softhsm2-util --init-token --free --label bench --pin 4711 --so-pin 8642 >/dev/null
openssl pkey -in "$key" -outform DER -out key.der
openssl pkey -in "$key" -pubout -outform DER -out key.pub.der
tool() { pkcs11-tool --module "$module" --token-label bench --login --pin 4711 "$@" >/dev/null 2>&1; }
tool --write-object key.der --type privkey --id 01 --label payload
tool --write-object key.pub.der --type pubkey --id 01 --label payload
rm key.der

uri="pkcs11:token=bench;object=payload?module-path=$module&pin-source=file:$work/pin"
signer="openssl pkeyutl -sign -inkey '$key' -pkeyopt digest:sha256"
packWith() { echo "$pack pack --stub stub.exe --msi product.msi -o setup-$1.exe --force $2"; }
cores=$(nproc)

hyperfine --runs "${BENCH_RUNS:-5}" --warmup 1 --export-markdown results.md --export-json results.json \
  -n "PEM key, $cores cores" "$(packWith pem "--key '$key'")" \
  -n "token key (SoftHSM2), $cores cores" "$(packWith token "--key '$uri'")" \
  -n "signer command (openssl pkeyutl), $cores cores" "$(packWith command "--key key.pub.pem --sign-command \"$signer\"")"

cmp -s setup-pem.exe setup-token.exe && cmp -s setup-pem.exe setup-command.exe && same="byte-identical" ||
  same="NOT identical"
echo "[bench] $(ls -l setup-pem.exe | awk '{print $5}') bytes, the three installers $same"
python3 - "$same" <<'PY'
import json, sys
results = json.load(open("results.json"))["results"]
def of(prefix):
    r = next(r for r in results if r["command"].startswith(prefix))
    return r["mean"], r["user"] + r["system"]
pem, pemCpu = of("PEM")
token, tokenCpu = of("token")
command, commandCpu = of("signer")
print(f"token / PEM: {token / pem:.3f} wall ({pem:.2f} s -> {token:.2f} s), {tokenCpu / pemCpu:.3f} CPU "
      f"({pemCpu:.2f} s -> {tokenCpu:.2f} s); signer command {command:.2f} s wall, {commandCpu:.2f} s CPU; "
      f"installers {sys.argv[1]}")
PY
