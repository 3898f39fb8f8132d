#!/usr/bin/env bash
# Each command's time and peak memory at sizes where holding a file or an item whole would show:
# a 1 GiB cabinet of random bytes (which do not compress) and a 2 GiB (2032 MiB) cabinet of mixed
# content (half noise, half text, in 8 MiB blocks; benchmarks/mixed_payload.sh), each packed onto an
# unsigned stub with --threads 1 and --threads 2 (the outputs compared byte for byte), then
# verified, inspected and extracted; a 60 MiB random cabinet stored (--level 0) in a
# certificate of the signature object of a signed stub (--placement certificate, which holds
# under 64 MiB), where each copy of the carrier would show; and 1 GiB and 2 GiB (2032 MiB) random
# cabinets stored behind the signature object of the signed stub (--placement end), where the
# certificate table holds the payload, so that loading the table whole would show. Time and peak
# RSS come from /usr/bin/time. Not a test (up to about 9 GiB of disk under build/ for a 2 GiB
# case, many minutes); the machine's load is printed first, as a loaded machine cannot show the
# speed-up. The last line gives the largest peak RSS and the two-thread speed-up of pack.
#   cmake --preset native-release && cmake --build --preset native-release --target launcher-pack
#   bash benchmarks/memory_benchmark.sh     (CASES="1024:random 2032:mixed 60:certificate 1024:end
#                                           2032:end" by default: size in MiB and content of each
#                                           cabinet; a cabinet file stays under 2 GiB, the mix comes
#                                           in 16 MiB blocks; certificate and end: random, placed as
#                                           above)
set -euo pipefail
source "$(dirname "$0")/bench_setup.sh"
cases="${CASES:-1024:random 2032:mixed 60:certificate 1024:end 2032:end}"
require "$pack" native-release
enter_work_folder "$root/build/native-release/memory-benchmark"
trap 'rm -rf "$work"' EXIT
echo "[bench] load: $(uptime)"
# shellcheck source=benchmarks/mixed_payload.sh
source "$root/benchmarks/mixed_payload.sh"
# shellcheck source=benchmarks/pack_inputs.sh
source "$root/benchmarks/pack_inputs.sh"

"$pack" keygen --out key >/dev/null
make_stub key.pub.pem
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 2 -subj "/CN=Memory benchmark" \
  -addext "extendedKeyUsage=codeSigning" -keyout signer-key.pem -out signer.pem 2>/dev/null
osslsigncode sign -certs signer.pem -key signer-key.pem -h sha256 -in stub.exe -out stub-signed.exe >/dev/null

# measure LABEL COMMAND...: runs the command, prints its time and peak RSS, adds a line to results.
measure() {
  local label="$1"
  shift
  /usr/bin/time -f '%e %M' -o time.txt "$@" >command.out 2>command.err || {
    echo "[bench] $label failed:" >&2
    cat command.out command.err >&2
    exit 1
  }
  read -r seconds kib <time.txt
  printf '%-34s %8.1f s  %6d MiB\n' "$label" "$seconds" $((kib / 1024))
  echo "$label;$seconds;$kib" >>"$work/results.txt"
}

: >"$work/results.txt"
for case in $cases; do
  size="${case%%:*}" kind="${case#*:}"
  mkdir -p "$size-$kind" && cd "$size-$kind"
  stub=../stub.exe placed=()
  if [ "$kind" = certificate ] || [ "$kind" = end ]; then
    stub=../stub-signed.exe placed=(--placement "$kind" --level 0)
  fi
  if [ "$kind" != mixed ]; then
    echo "[bench] making a $size MiB cabinet of random bytes"
    openssl enc -aes-128-ctr -nosalt -pass pass:memory -pbkdf2 </dev/zero 2>/dev/null | head -c $((size << 20)) >payload.bin || :
  else
    echo "[bench] making a $size MiB cabinet of mixed content"
    make_mixed_payload payload.bin "$size"
  fi
  EXAMPLE_PAYLOAD="$PWD/payload.bin" EXAMPLE_CABINET=big.cab bash "$root/examples/build-example.sh" "$PWD" product >/dev/null
  rm payload.bin
  for threads in 1 2; do
    measure "$size MiB $kind: pack --threads $threads" \
      "$pack" -q pack --stub "$stub" --key ../key.pem --msi product.msi -o "setup-$threads.exe" --threads "$threads" \
      "${placed[@]}"
  done
  cmp -s setup-1.exe setup-2.exe || { echo "[bench] pack wrote different bytes for 1 and 2 threads" >&2; exit 1; }
  rm setup-1.exe
  ls -l big.cab setup-2.exe
  measure "$size MiB $kind: verify" "$pack" verify --key ../key.pub.pem --allow-unsigned setup-2.exe
  measure "$size MiB $kind: inspect" "$pack" inspect setup-2.exe
  measure "$size MiB $kind: extract" "$pack" extract setup-2.exe -o out
  cmp -s out/big.cab big.cab || { echo "[bench] extract gave a different cabinet" >&2; exit 1; }
  cd ..
  rm -rf "$size-$kind"
done
echo "[bench] load: $(uptime)"
python3 - <<'PY'
rows = [line.rstrip("\n").split(";") for line in open("results.txt")]
label, _, kib = max(rows, key=lambda row: int(row[2]))
ratios = []
for row in rows:
    if row[0].endswith("pack --threads 1"):
        two = next(r for r in rows if r[0] == row[0][:-1] + "2")
        ratios.append(f"{float(row[1]) / float(two[1]):.2f}x ({row[0].split(':')[0]})")
print(f"largest peak RSS {int(kib) / 1024:.0f} MiB ({label}); pack --threads 2 against --threads 1: "
      + ", ".join(ratios))
PY
