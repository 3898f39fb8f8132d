#!/usr/bin/env bash
# cross-host-bytes.sh LAUNCHER_PACK LAUNCHER_PACK_EXE READY_STUB WORK_DIR
# The same stub, key, packages and cabinets packed by launcher-pack on Linux and by
# launcher-pack.exe under Wine give the same bytes, for each placement and thread count; and each
# packer's verify accepts the other's installer. The folder's name is not ASCII. Then
# launcher-pack.exe signs through --sign-command: a Windows program (windows_signer.c, built here
# with the MinGW OpenSSL of scripts/setup.sh) started by CreateProcessW, to the same bytes.
set -euo pipefail
pack="$(realpath "$1")" exe="$(realpath "$2")" ready="$(realpath "$3")" base="$4"
root="$(cd "$(dirname "$0")/../.." && pwd)"
for file in "$pack" "$exe" "$ready"; do
  [ -f "$file" ] || { echo "cross-host-bytes: $file is missing" >&2; exit 1; }
done

# shellcheck source=scripts/wine-session.sh
source "$root/scripts/wine-session.sh"
start_wine_session "$(dirname "$(dirname "$exe")")/wine-prefix"
trap stop_wine_session EXIT
export LC_ALL=C.UTF-8
windows() { "$root/scripts/wine-run.sh" "$exe" "$@"; }

rm -rf "$base"
work="$base/Pakete für Größe"
mkdir -p "$work"
"$pack" -q keygen --out "$work/key"
"$pack" -q stub --stub "$ready" --key "$work/key.pub.pem" -o "$work/stub.exe"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/signer.key" -out "$work/signer.pem" -days 2 \
  -subj "/CN=cross-host test signer" >/dev/null 2>&1
osslsigncode sign -certs "$work/signer.pem" -key "$work/signer.key" -h sha256 -in "$work/stub.exe" \
  -out "$work/stub-signed.exe" >/dev/null

# Two languages sharing a cabinet of 6 MiB, half noise, half text: more than one 4 MiB piece.
{ head -c $((3 * 1024 * 1024)) /dev/urandom; (yes 'the same line of text, again and again' || true) | head -c $((3 * 1024 * 1024)); } \
  >"$work/payload.txt"
for package in en:1033:Example de:1031:Beispiel; do
  IFS=: read -r name language product <<<"$package"
  EXAMPLE_LANGUAGE="$language" EXAMPLE_PRODUCT_NAME="$product" EXAMPLE_CABINET=shared.cab \
    EXAMPLE_PAYLOAD="$work/payload.txt" bash "$root/examples/build-example.sh" "$work" "$name" >/dev/null
done

compared=0
for stub in stub.exe stub-signed.exe; do
  for placement in end certificate; do
    [ "$stub" = stub-signed.exe ] || [ "$placement" = end ] || continue
    for threads in 1 0; do
      name="setup-${stub%.exe}-$placement-$threads"
      options=(-q pack --stub "$work/$stub" --key "$work/key.pem" --msi "$work/en.msi" --msi "$work/de.msi"
        --placement "$placement" --threads "$threads")
      "$pack" "${options[@]}" -o "$work/$name-linux.exe"
      windows "${options[@]}" -o "$work/$name-windows.exe"
      cmp "$work/$name-linux.exe" "$work/$name-windows.exe"
      compared=$((compared + 1))
    done
  done
done

# Each side's verify reads the other side's installer.
verify=(-q verify --key "$work/key.pub.pem" "$work/setup-stub-signed-certificate-0-linux.exe")
windows "${verify[@]}"
"$pack" -q verify --key "$work/key.pub.pem" "$work/setup-stub-signed-end-0-windows.exe"
# The signer command: a quoted argument with a space and non-ASCII letters, the digest through
# binary pipes and the environment, without the variable --pass names (in any case: Windows'
# names are case-insensitive).
openssl_dir="${LAUNCHER_DEPS_CACHE:-$HOME/.cache/launcher-deps}/openssl-mingw64"
x86_64-w64-mingw32-gcc-posix -municode -static -O1 -o "$base/signer.exe" "$root/tests/packer/windows_signer.c" \
  -I"$openssl_dir/include" "$openssl_dir/lib/libcrypto.a" -lws2_32 -lcrypt32 -lbcrypt -luser32 -ladvapi32
signer="$(winepath -w "$(realpath "$base/signer.exe")")"
key="$(winepath -w "$(realpath "$work/key.pem")")"
LAUNCHER_PACK_TEST_SECRET=sekrit windows -q pack --stub "$work/stub-signed.exe" --key "$work/key.pub.pem" \
  --pass env:launcher_pack_test_secret --sign-command "\"$signer\" \"$key\"" \
  --msi "$work/en.msi" --msi "$work/de.msi" --placement end -o "$work/setup-signer-windows.exe"
cmp "$work/setup-stub-signed-end-0-linux.exe" "$work/setup-signer-windows.exe"
# A signer that fails (no key argument: exit code 3) is one error line and exit code 3.
status=0
windows -q pack --stub "$work/stub-signed.exe" --key "$work/key.pub.pem" --sign-command "\"$signer\"" \
  --msi "$work/en.msi" -o "$work/setup-failed.exe" 2>"$work/failed.err" || status=$?
if [ "$status" -ne 3 ] || [ "$(wc -l <"$work/failed.err")" -ne 1 ] || ! grep -q 'exit code 3' "$work/failed.err" ||
  [ -e "$work/setup-failed.exe" ]; then
  echo "cross-host-bytes: a failing signer gave exit code $status and: $(cat "$work/failed.err")" >&2
  exit 1
fi
echo "cross-host-bytes: --sign-command through CreateProcessW signs to the same bytes without the --pass variable;" \
  "a failing signer exits 3"
echo "cross-host-bytes: $compared installers byte-identical from launcher-pack and launcher-pack.exe; each verifies the other's"
