#!/usr/bin/env bash
# The main job, from a fresh Debian 12 machine to an installed product: sets the machine up,
# builds launcher-pack, makes a payload signing key and builds launcher.exe with it, builds the
# example product (examples/), signs the launcher with a throwaway code-signing certificate,
# packs the product into it, verifies the result and installs it under Wine with /qn.
# Everything it makes stays in build/demo.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
demo="$root/build/demo"
out="$demo/out"
product_code="{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}"

step() { printf '\n==> %s\n' "$*"; }
show() { printf '    $ %s\n' "$*"; "$@"; }

step "Setting up the machine: Debian packages, MinGW builds of OpenSSL and GoogleTest"
bash scripts/setup.sh

step "Building launcher-pack (optimised native build in build/demo/native)"
cmake --preset native-release -B "$demo/native" -DLAUNCHER_BUILD_TESTS=OFF >/dev/null
cmake --build "$demo/native" -j2 --target launcher-pack
pack="$demo/native/packer/launcher-pack"

rm -rf "$out"
mkdir -p "$out"
step "Making a payload signing key of our own"
show "$pack" keygen --out "$out/payload-key"

step "Building launcher.exe with that key's public half (build/demo/windows)"
cmake --preset windows -B "$demo/windows" -DLAUNCHER_PUBLIC_KEY="$out/payload-key.pub.pem" >/dev/null
cmake --build "$demo/windows" -j2 --target launcher run_exit_code
cp "$demo/windows/launcher.exe" "$out/launcher.exe"

step "Building the example product with wixl, msibuild and gcab"
show bash examples/build-example.sh "$out/product" example
ls -l "$out/product"

step "Signing launcher.exe with a throwaway code-signing certificate (sign before packing, never after)"
openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=Launcher demo signer" \
  -addext "extendedKeyUsage=codeSigning" -keyout "$out/signer-key.pem" -out "$out/signer.pem" 2>/dev/null
show osslsigncode sign -certs "$out/signer.pem" -key "$out/signer-key.pem" -h sha256 -n "Launcher Example" \
  -in "$out/launcher.exe" -out "$out/launcher-signed.exe" >/dev/null

step "Packing the product into the signed launcher"
show "$pack" pack --stub "$out/launcher-signed.exe" --key "$out/payload-key.pem" \
  --msi "$out/product/example.msi" -o "$out/setup.exe"

step "Verifying as a release gate: the Authenticode signature, the key we made, the payload and the launcher's choice"
fingerprint="SHA256:$(openssl pkey -pubin -in "$out/payload-key.pub.pem" -outform DER | sha256sum | cut -c1-64)"
show "$pack" verify --expect-key "$fingerprint" "$out/setup.exe"
show "$pack" inspect "$out/setup.exe"
osslsigncode verify -CAfile "$out/signer.pem" -in "$out/setup.exe" | grep -E '^(Signature verification|Calculated PE checksum|Succeeded|Failed)'

step "Installing under Wine with /qn (a fresh Wine prefix in build/demo/wine-prefix)"
rm -rf "$demo/wine-prefix"
# shellcheck source=scripts/wine-session.sh
source scripts/wine-session.sh
start_wine_session "$demo/wine-prefix"
trap stop_wine_session EXIT
wine="$root/scripts/wine-run.sh"
status=0
show "$wine" "$demo/windows/tests/tools/run_exit_code.exe" "$out/setup.exe" /qn || status=$?

step "The installed product"
"$wine" reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$product_code" 2>/dev/null |
  grep -E 'DisplayName|DisplayVersion|UninstallString' || echo "    not registered"
installed="$WINEPREFIX/drive_c/Program Files/Launcher Example/hello.txt"
if [ -f "$installed" ]; then
  echo "    C:\\Program Files\\Launcher Example\\hello.txt:"
  sed 's/^/      /' "$installed"
else
  echo "    C:\\Program Files\\Launcher Example\\hello.txt is missing"
fi
if [ "$status" -eq 0 ] && [ -f "$installed" ]; then
  step "Done: setup.exe installed the example product (exit code 0). Everything is in $out."
else
  step "The installation failed (run_exit_code's exit status $status)."
  exit 1
fi
