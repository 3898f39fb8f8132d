#!/usr/bin/env bash
# windows-archive.sh WINDOWS_PACKER_BUILD
# The Windows release archive, used as a Windows user uses it: unpacked into a folder of a Wine
# prefix whose name is not ASCII, its SHA256SUMS checked; there launcher-pack.exe makes a key, sets
# it into the ready stub that lies beside it, packs a package built by wixl and verifies the
# installer, which then installs and uninstalls with Wine's msiexec. Only the Authenticode
# signature is made on the Linux side, by osslsigncode, as a Windows user would use signtool.
set -euo pipefail
build="$(cd "$1" && pwd)"
root="$(cd "$(dirname "$0")/../.." && pwd)"
version="$(sed -n 's/^project(msi_launcher VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")"
name="launcher-pack-$version-windows-x64"
archive="$build/$name.zip"
[ -f "$archive" ] || { echo "no $archive: build the windows_packer_archive target" >&2; exit 1; }

prefix="$build/archive-prefix"
rm -rf "$prefix"
# shellcheck source=scripts/wine-session.sh
source "$root/scripts/wine-session.sh"
start_wine_session "$prefix"
trap stop_wine_session EXIT
export LC_ALL=C.UTF-8
say() { printf '[windows-archive] %s\n' "$*"; }

tools="$prefix/drive_c/Werkzeuge für Pakete"
work="$prefix/drive_c/Arbeit"
mkdir -p "$tools" "$work"
unzip -q "$archive" -d "$tools"
(cd "$tools/$name" && sha256sum --quiet -c SHA256SUMS)
[ "$(ls "$tools/$name" | sort | tr '\n' ' ')" = "LICENCE.txt README.md SHA256SUMS THIRD-PARTY-NOTICES.txt launcher-pack.exe launcher.exe " ]
say "unpacked into C:\\Werkzeuge für Pakete, SHA256SUMS checked"

packer="C:\\Werkzeuge für Pakete\\$name\\launcher-pack.exe"
run() { "$root/scripts/wine-run.sh" "$@"; }
run "$packer" -q keygen --out 'C:\Arbeit\schlüssel'
# The ready stub is the one beside launcher-pack.exe.
run "$packer" -q stub --key 'C:\Arbeit\schlüssel.pub.pem' -o 'C:\Arbeit\stub.exe'
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/signer.key" -out "$work/signer.pem" -days 2 \
  -subj "/CN=archive test signer" >/dev/null 2>&1
osslsigncode sign -certs "$work/signer.pem" -key "$work/signer.key" -h sha256 -in "$work/stub.exe" \
  -out "$work/stub-signed.exe" >/dev/null
printf 'installed from the Windows archive\n' >"$work/hello.txt"
code="{5B0E7A21-3C4D-4E8F-9A1B-2C3D4E5F6A90}"
EXAMPLE_PRODUCT_CODE="$code" EXAMPLE_PAYLOAD="$work/hello.txt" bash "$root/examples/build-example.sh" "$work" >/dev/null
run "$packer" -q pack --stub 'C:\Arbeit\stub-signed.exe' --key 'C:\Arbeit\schlüssel.pem' \
  --msi 'C:\Arbeit\example.msi' -o 'C:\Arbeit\setup.exe'
run "$packer" verify --key 'C:\Arbeit\schlüssel.pub.pem' 'C:\Arbeit\setup.exe' >"$work/verify.txt"
grep -q "installs $code Launcher Example" "$work/verify.txt"
grep -q ': verified$' "$work/verify.txt"
say "keygen, stub, pack and verify ran in the prefix"

run 'C:\Arbeit\setup.exe' /qn
installed="$prefix/drive_c/Program Files/Launcher Example/hello.txt"
cmp "$work/hello.txt" "$installed"
run msiexec /x "$code" /qn
[ ! -e "$installed" ]
say "setup.exe /qn installed the product with Wine's msiexec, and msiexec removed it"
