#!/usr/bin/env bash
# packed-installers.sh LAUNCHER_PACK LAUNCHER_EXE PAYLOAD_KEY SIGNER_CERT SIGNER_KEY WORK_DIR PREFIX STANDIN PROGRAM
# Packs the example product into copies of launcher.exe with launcher-pack (the native build's),
# one installer per case of packed_installer_test, then runs that test program in its Wine
# prefix through run-in-prefix.sh with PACKED_INSTALLERS naming the folder.
set -euo pipefail
pack="$1" launcher="$2" key="$3" cert="$4" signer_key="$5" work="$6" prefix="$7" standin="$8" program="$9"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
if [ ! -x "$pack" ]; then
  echo "launcher-pack not found at $pack: build the native-release preset first" >&2
  exit 1
fi

rm -rf "$work"
mkdir -p "$work"
osslsigncode sign -certs "$cert" -key "$signer_key" -h sha256 -in "$launcher" -out "$work/launcher-signed.exe" >/dev/null

packed() { # NAME PRODUCT_CODE STUB PLACEMENT
  local name="$1"
  printf 'installed by setup-%s.exe\n' "$name" >"$work/$name.txt"
  EXAMPLE_PRODUCT_CODE="$2" EXAMPLE_PAYLOAD="$work/$name.txt" EXAMPLE_CABINET="$name.cab" \
    bash "$root/examples/build-example.sh" "$work/$name" example
  "$pack" pack --stub "$3" --key "$key" --msi "$work/$name/example.msi" -o "$work/setup-$name.exe" \
    --placement "$4" >/dev/null
}
packed end-signed "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A71}" "$work/launcher-signed.exe" end
packed certificate-signed "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A72}" "$work/launcher-signed.exe" certificate
packed end-unsigned "{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A73}" "$launcher" end

export PACKED_INSTALLERS="$work"
exec bash "$here/run-in-prefix.sh" real "$prefix" "$standin" "$program"
