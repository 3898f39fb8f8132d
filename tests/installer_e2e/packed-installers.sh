#!/usr/bin/env bash
# packed-installers.sh LAUNCHER_PACK LAUNCHER_EXE READY_STUB PAYLOAD_KEY SIGNER_CERT SIGNER_KEY WORK_DIR PREFIX STANDIN PROGRAM
# Packs the example product into copies of launcher.exe with launcher-pack (the native build's),
# one installer per case of packed_installer_test, then runs that test program in its Wine
# prefix through run-in-prefix.sh with PACKED_INSTALLERS naming the folder. READY_STUB is the
# launcher with an empty key slot, which launcher-pack stub fills.
set -euo pipefail
pack="$1" launcher="$2" ready="$3"
shift 3
key="$1" cert="$2" signer_key="$3" work="$4" prefix="$5" standin="$6" program="$7"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
if [ ! -x "$pack" ]; then
  echo "launcher-pack not found at $pack: build the native-release preset first" >&2
  exit 1
fi

rm -rf "$work"
mkdir -p "$work"
osslsigncode sign -certs "$cert" -key "$signer_key" -h sha256 -in "$launcher" -out "$work/launcher-signed.exe" >/dev/null
# The release flow: the ready stub gets the key, then the signature.
"$pack" stub --stub "$ready" --key "$key" -o "$work/launcher-ready-keyed.exe" >/dev/null
osslsigncode sign -certs "$cert" -key "$signer_key" -h sha256 -in "$work/launcher-ready-keyed.exe" \
  -out "$work/launcher-ready-signed.exe" >/dev/null

# A key made inside a PKCS#11 token (SoftHSM2, in a folder of this run's own) that never leaves
# it: launcher-pack stub reads its public half from the token, pack signs there.
export SOFTHSM2_CONF="$work/softhsm2.conf"
mkdir "$work/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$work/tokens" >"$SOFTHSM2_CONF"
echo 4711 >"$work/pin"
softhsm2-util --init-token --free --label e2e --pin 4711 --so-pin 8642 >/dev/null
pkcs11-tool --module "$(find /usr/lib -name libsofthsm2.so -path '*softhsm*' | head -n 1)" --token-label e2e --login \
  --pin 4711 --keypairgen --key-type rsa:2048 --id 01 --label payload >/dev/null 2>&1
token="pkcs11:token=e2e;object=payload"
"$pack" stub --stub "$ready" --key "$token" -o "$work/launcher-token-keyed.exe" >/dev/null
osslsigncode sign -certs "$cert" -key "$signer_key" -h sha256 -in "$work/launcher-token-keyed.exe" \
  -out "$work/launcher-token-signed.exe" >/dev/null

packed() { # NAME PRODUCT_CODE STUB PLACEMENT [FILL_BYTES [PACK_OPTIONS...]]; packKey= names another key
  local name="$1" code="$2" stub="$3" placement="$4" fill="${5:-0}"
  shift $(($# < 5 ? $# : 5))
  printf 'installed by setup-%s.exe\n' "$name" >"$work/$name.txt"
  # Bytes that do not compress make the payload as large as asked.
  head -c "$fill" /dev/urandom >>"$work/$name.txt"
  EXAMPLE_PRODUCT_CODE="$code" EXAMPLE_PAYLOAD="$work/$name.txt" EXAMPLE_CABINET="$name.cab" \
    bash "$root/examples/build-example.sh" "$work/$name" example
  "$pack" pack --stub "$stub" --key "${packKey:-$key}" --msi "$work/$name/example.msi" -o "$work/setup-$name.exe" \
    --placement "$placement" "$@" >/dev/null
}
packed end-signed "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A71}" "$work/launcher-signed.exe" end
packed certificate-signed "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A72}" "$work/launcher-signed.exe" certificate
packed end-unsigned "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A73}" "$launcher" end

# Signing last: packed onto the unsigned launcher, then signed as a release pipeline signs; each
# must pass osslsigncode's own verify and launcher-pack verify before it is installed.
sign() { # FILE [OSSLSIGNCODE_OPTIONS...]: signs FILE in place
  local file="$1"
  shift
  osslsigncode sign "$@" -certs "$cert" -key "$signer_key" -h sha256 -in "$file" -out "$file.signed" >/dev/null
  mv "$file.signed" "$file"
}
checked() { # FILE: both verifiers pass it
  osslsigncode verify -CAfile "$cert" -in "$1" >/dev/null
  "$pack" verify --key "$key" --allow-test-key --strict "$1" >/dev/null
}
signed_last() { # NAME PRODUCT_CODE STEPS...: packs for signing last, then runs each step on setup-NAME.exe
  local name="$1" code="$2"
  shift 2
  packed "$name" "$code" "$launcher" overlay
  local file="$work/setup-$name.exe" step
  for step in "$@"; do
    case "$step" in
      sign) sign "$file" ;;
      sign-ph) sign "$file" -ph ;;
      nest) sign "$file" -nest ;;
      remove)
        osslsigncode remove-signature -in "$file" -out "$file.removed" >/dev/null
        mv "$file.removed" "$file"
        ;;
    esac
  done
  checked "$file"
}
signed_last overlay-signed "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A77}" sign
signed_last overlay-page-hashes "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A78}" sign-ph
signed_last overlay-nested "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A79}" sign nest
signed_last overlay-resigned "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A7A}" sign remove sign
signed_last overlay-signed-twice "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A7B}" sign sign
# Signed, then one byte of the last item's signature changed: both verifiers must refuse it.
signed_last overlay-tampered "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A7C}" sign
tampered="$work/setup-overlay-tampered.exe"
table=$(od -An -tu4 -j $(($(od -An -tu4 -j 60 -N4 "$tampered") + 24 + 144)) -N4 "$tampered")
at=$((table - 28 - 10))
byte=$(od -An -tu1 -j "$at" -N1 "$tampered")
printf "$(printf '\\%03o' $((byte ^ 1)))" | dd of="$tampered" bs=1 seek="$at" conv=notrunc status=none
if osslsigncode verify -CAfile "$cert" -in "$tampered" >/dev/null 2>&1; then
  echo "osslsigncode verify passes the tampered sign-last installer" >&2
  exit 1
fi
if "$pack" verify --key "$key" --allow-test-key "$tampered" >/dev/null 2>&1; then
  echo "launcher-pack verify passes the tampered sign-last installer" >&2
  exit 1
fi
# Two releases packed with the same key onto the ready stub that launcher-pack stub keyed: one
# signed last, one of another product; packed_installer_test forges installers from the two.
packed release-signed-last "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A7D}" "$work/launcher-ready-keyed.exe" overlay
sign "$work/setup-release-signed-last.exe"
checked "$work/setup-release-signed-last.exe"
packed other-release "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A7E}" "$work/launcher-ready-keyed.exe" overlay
packed ready-stub-signed "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A75}" "$work/launcher-ready-signed.exe" end
packKey="$token" packed token-key-signed "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A76}" "$work/launcher-token-signed.exe" \
  certificate 0 --pass "file:$work/pin"
# A carrier just below the 64 MiB that the packer allows for a signature object, which the
# platform's decoder must still take.
packed certificate-near-limit "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A74}" "$work/launcher-signed.exe" certificate \
  $((64 * 1024 * 1024 - 96 * 1024)) --level 0
object=$("$pack" inspect "$work/setup-certificate-near-limit.exe" | sed -n 's/.*signature object \([0-9]*\) bytes.*/\1/p')
if [ "$object" -lt $((64 * 1024 * 1024 - 256 * 1024)) ]; then
  echo "the near-limit signature object is only $object bytes" >&2
  exit 1
fi

export PACKED_INSTALLERS="$work"
exec bash "$here/run-in-prefix.sh" real "$prefix" "$standin" "$program"
