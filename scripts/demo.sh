#!/usr/bin/env bash
# The main job, the way a user takes it, from a fresh Debian 12 machine to an installed product:
# installs the main job's Debian packages (scripts/setup.sh --main), builds launcher-pack and the
# ready stub, makes the Debian package and installs it with apt-get. Then, as a user with only
# that package, signing last: makes a payload key, sets it in the ready stub, builds the example
# product (examples/), packs it onto the unsigned stub, signs setup.exe with a throwaway
# code-signing certificate, verifies the result as a release gate and installs it under Wine with
# /qn. Prints each step's time at the end.
# Everything it makes stays in build/demo; the package is installed system-wide.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
demo="$root/build/demo"
out="$demo/out"
product_code="{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B61}"

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

seconds_since() { awk -v from="$1" -v now="$(date +%s.%N)" 'BEGIN { printf "%.1f", now - from }'; }
timed_steps=()
step_name="" step_started=""
end_step() {
  if [ -n "$step_name" ]; then
    timed_steps+=("$(printf '%6s s  %s' "$(seconds_since "$step_started")" "$step_name")")
  fi
  step_name=""
}
step() {
  end_step
  step_name="$1" step_started="$(date +%s.%N)"
  printf '\n==> %s\n' "$1"
}
show() { printf '    $ %s\n' "$*"; "$@"; }
demo_started="$(date +%s.%N)"
print_times() {
  end_step
  printf '\nStep times:\n'
  printf '  %s\n' "${timed_steps[@]}"
  printf '  %6s s  in all\n' "$(seconds_since "$demo_started")"
}

step "Set-up: the main job's Debian packages"
bash scripts/setup.sh --main

step "Building launcher-pack (release, no tests) in build/demo/native"
cmake --preset native-release -B "$demo/native" -DLAUNCHER_BUILD_TESTS=OFF \
  -DLAUNCHER_READY_STUB="$demo/windows-release/launcher.exe" >/dev/null
cmake --build "$demo/native" -j2

step "Building the ready stub (windows-release) in build/demo/windows-release"
cmake --preset windows-release -B "$demo/windows-release" >/dev/null
cmake --build "$demo/windows-release" -j2 --target launcher
# A Windows-side runner that prints the installer's full exit code: wine passes on only its low
# byte (1603 would show as 67).
x86_64-w64-mingw32-g++-posix -std=c++17 -O2 -static -I"$root" tests/tools/run_exit_code.cpp \
  tests/tools/process_tools.cpp -lpsapi -o "$demo/run_exit_code.exe"

step "Making the Debian package and installing it with apt-get"
(cd "$demo/native" && cpack -G DEB >/dev/null)
deb="$(cd "$demo/native" && ls launcher-pack_*_amd64.deb)"
echo "    \$ apt-get install --reinstall ./$deb"
(cd "$demo/native" && as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --reinstall "./$deb" 2>&1 |
  grep -E '^(Unpacking|Setting up) ' | sed 's/^/      /')
echo "    launcher-pack is $(command -v launcher-pack); the ready stub, as built:"
(cd /usr/share/launcher-pack && sed 's/^/      /' launcher.exe.sha256 && sha256sum -c launcher.exe.sha256 | sed 's/^/      /')

# From here on, only what the package installed: launcher-pack from the PATH, the ready stub
# from /usr/share/launcher-pack.
rm -rf "$out"
mkdir -p "$out"
cd "$out"

step "1. launcher-pack keygen: a payload signing key of our own"
show launcher-pack keygen --out payload-key

step "2. launcher-pack stub: the ready stub with that key set"
show launcher-pack stub --key payload-key.pub.pem -o launcher.exe

step "3. Building the example product with wixl, msibuild and gcab"
show bash "$root/examples/build-example.sh" product example
ls -l product

step "4. launcher-pack pack: the product onto the unsigned stub, to be signed last"
show launcher-pack pack --stub launcher.exe --key payload-key.pem --msi product/example.msi -o setup.exe

step "5. Signing setup.exe last, with a throwaway code-signing certificate"
show openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj "/CN=Launcher demo signer" \
  -addext "extendedKeyUsage=codeSigning" -addext "basicConstraints=critical,CA:FALSE" \
  -keyout signer-key.pem -out signer.pem 2>/dev/null
show osslsigncode sign -certs signer.pem -key signer-key.pem -h sha256 -n "Launcher Example" \
  -in setup.exe -out setup-signed.exe

step "6. launcher-pack verify --strict, expecting our key's fingerprint and the signer's chain"
# The fingerprint is the SHA-256 of the DER public key.
fingerprint="SHA256:$(openssl pkey -pubin -in payload-key.pub.pem -outform DER | sha256sum | cut -c1-64)"
echo "    our key: $fingerprint"
show launcher-pack verify --strict --expect-key "$fingerprint" --ca-file signer.pem setup-signed.exe
show launcher-pack inspect setup-signed.exe

step "7. osslsigncode verify: the Authenticode signature holds, and covers the payload"
printf '    $ %s\n' "osslsigncode verify -CAfile signer.pem -in setup-signed.exe"
osslsigncode verify -CAfile signer.pem -in setup-signed.exe |
  grep -E '^(Signature verification|Calculated PE checksum|Succeeded|Failed)'

step "8. Installing under Wine with /qn (a fresh Wine prefix in build/demo/wine-prefix)"
rm -rf "$demo/wine-prefix"
# shellcheck source=scripts/wine-session.sh
source "$root/scripts/wine-session.sh"
start_wine_session "$demo/wine-prefix"
trap stop_wine_session EXIT
wine="$root/scripts/wine-run.sh"
cp "$demo/run_exit_code.exe" .
status=0
echo "    \$ wine run_exit_code.exe setup-signed.exe /qn"
"$wine" run_exit_code.exe setup-signed.exe /qn || status=$?

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
stop_wine_session
trap - EXIT
print_times
if [ "$status" -eq 0 ] && [ -f "$installed" ]; then
  printf '\nDone: setup-signed.exe installed the example product (exit code 0). Everything is in %s.\n' "$out"
else
  printf '\nThe installation failed (run_exit_code exit status %s).\n' "$status"
  exit 1
fi
