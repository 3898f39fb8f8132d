#!/usr/bin/env bash
# windows-host.sh NATIVE_BUILD WINDOWS_PACKER_BUILD [GTEST_FILTER]
# The packer's test table against launcher-pack.exe under Wine: the native build's packer_test
# makes its stubs, keys and packages with the Linux tools as always, and runs every command it
# checks through LAUNCHER_PACK_UNDER_TEST, here launcher-pack.exe of the windows-packer build.
# The cases about the host stay out: PKCS#11 tokens (Linux only), signer commands written for
# /bin/sh, the ready stub found beside the packer's Linux install folders, the private key's Unix
# mode, file names that are not UTF-8 (Windows names are UTF-16) and SIGTERM. After the table come
# Windows' own cases: Ctrl+C, and an output that another program holds open for a while.
set -euo pipefail
native="$(cd "$1" && pwd)" windows="$(cd "$2" && pwd)"
root="$(cd "$(dirname "$0")/../.." && pwd)"
# One word for a POSIX shell, whatever the path holds (spaces, quotes).
sq() { printf "'%s'" "${1//\'/\'\\\'\'}"; }
exe="$windows/packer/launcher-pack.exe"
[ -f "$exe" ] || { echo "no $exe: build the windows-packer preset first" >&2; exit 1; }

host_cases='TokenKey.*:Pkcs11Uri.*:Signers/*:Faults/*:Keys/*:Stub.FindsTheReadyStubBesideThePackerOrInItsDataFolder'
host_cases+=':Keygen.WritesAPrivateKeyOnlyItsOwnerReadsAndReplacesNothing:Inspect.JsonIsValidUtf8WhateverTheFileIsCalled'
host_cases+=':Pack.AnInterruptLeavesNothingBehind:SignCommand.GetsNoSecretAndPackReadsNoPrivateKey'
filter="${3:--$host_cases}"

# shellcheck source=scripts/wine-session.sh
source "$root/scripts/wine-session.sh"
start_wine_session "$windows/wine-prefix"
trap stop_wine_session EXIT
# Non-ASCII arguments reach the program as they are.
export LC_ALL=C.UTF-8
LAUNCHER_PACK_UNDER_TEST="$(sq "$root/scripts/wine-run.sh") $(sq "$exe")"
export LAUNCHER_PACK_UNDER_TEST
"$native/tests/packer/packer_test" --gtest_filter="$filter"
[ -z "${3:-}" ] || exit 0

# Ctrl+C while pack compresses: Wine turns SIGINT into the console's Ctrl+C when the program has a
# terminal (script gives it one). The handler removes the temporary file; no output appears.
world="$native/packer-test/world"
work="$native/packer-test/windows-interrupt"
rm -rf "$work"
mkdir -p "$work"
head -c $((16 * 1024 * 1024)) /dev/urandom >"$work/slow.txt"
EXAMPLE_PAYLOAD="$work/slow.txt" EXAMPLE_CABINET=slow.cab bash "$root/examples/build-example.sh" "$work" slow >/dev/null
cat >"$work/interrupt.sh" <<SCRIPT
"$root/scripts/wine-run.sh" "$exe" pack --stub "$world/stub.exe" --key "$world/key.pem" --msi "$work/slow.msi" \\
  -o "$work/setup.exe" --level 12 >/dev/null 2>&1 &
pid=\$!
until ls "$work" | grep -q partial; do sleep 0.02; done
kill -INT \$pid
wait \$pid
SCRIPT
timeout 120 script -qec "bash $(sq "$work/interrupt.sh")" /dev/null >/dev/null
if ls "$work" | grep -q 'setup.exe'; then
  echo "windows-host: after Ctrl+C, pack left $(ls "$work" | grep setup.exe | tr '\n' ' ')" >&2
  exit 1
fi
echo "windows-host: Ctrl+C during pack left no output and no temporary file"

# No OpenSSL configuration is read: one that loads only the null provider (so that no key could
# be made) stops the Linux packer, whose OpenSSL reads OPENSSL_CONF, but not launcher-pack.exe.
printf 'openssl_conf = init\n[init]\nproviders = providers\n[providers]\nnull = null\n[null]\nactivate = 1\n' \
  >"$work/null-provider.cnf"
if OPENSSL_CONF="$work/null-provider.cnf" "$native/packer/launcher-pack" -q keygen --out "$work/linux-conf" 2>/dev/null; then
  echo "windows-host: the null-provider configuration does not stop OpenSSL; the check below would prove nothing" >&2
  exit 1
fi
OPENSSL_CONF="$(winepath -w "$work/null-provider.cnf")" "$root/scripts/wine-run.sh" "$exe" -q keygen --out "$work/conf"
echo "windows-host: launcher-pack.exe reads no OpenSSL configuration"

# keygen's private key is for its owner only: its DACL grants the user and no group of users,
# where the public key beside it (a plain new file) lets everyone read it.
x86_64-w64-mingw32-gcc-posix -municode -O1 -o "$work/acl.exe" "$root/tests/packer/windows_acl.c"
"$root/scripts/wine-run.sh" "$exe" -q keygen --out "$work/acl-key"
private_acl="$("$root/scripts/wine-run.sh" "$work/acl.exe" "$(winepath -w "$work/acl-key.pem")")"
public_acl="$("$root/scripts/wine-run.sh" "$work/acl.exe" "$(winepath -w "$work/acl-key.pub.pem")")"
groups=';(WD|BU|AU|IU)\)'
if ! grep -Eq "$groups" <<<"$public_acl" || grep -Eq "$groups" <<<"$private_acl" ||
  ! grep -q '(A;;FA;;;S-1-5-21-' <<<"$private_acl"; then
  echo "windows-host: the private key's DACL is $private_acl (the public key's: $public_acl)" >&2
  exit 1
fi
echo "windows-host: the private key's DACL names its owner only: $private_acl"

# PKCS#11 keys are Linux-only: on Windows one error line and exit code 3.
status=0
"$root/scripts/wine-run.sh" "$exe" pack --stub "$world/stub.exe" --key 'pkcs11:token=release;object=payload' \
  --msi "$world/packages/en.msi" -o "$work/token.exe" 2>"$work/token.err" || status=$?
if [ "$status" -ne 3 ] || [ "$(wc -l <"$work/token.err")" -ne 1 ] || ! grep -q 'Linux launcher-pack only' "$work/token.err"; then
  echo "windows-host: a pkcs11: key gave exit code $status and: $(cat "$work/token.err")" >&2
  exit 1
fi

# --msi-language with Windows paths: a drive letter and backslashes in FILE, split at the last '='.
EXAMPLE_WIXL_TEMPLATE=1 EXAMPLE_LANGUAGE=1031 EXAMPLE_CABINET=german.cab \
  EXAMPLE_PRODUCT_CODE='{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B64}' bash "$root/examples/build-example.sh" "$work" german \
  >/dev/null
german="$(winepath -w "$work/german.msi")"
"$root/scripts/wine-run.sh" "$exe" -q pack --stub "$world/stub-signed.exe" --key "$world/key.pem" \
  --msi "$(winepath -w "$world/packages/en.msi")" --msi "$german" --msi-language "$german=1031" -o "$work/languages.exe"
rm -rf "$work/languages"
chosen="$("$native/packer/launcher-pack" extract "$work/languages.exe" --lcid 1031 -o "$work/languages")"
if ! grep -q '{0D3B8C52-6E0A-4C4B-9E5D-2A7F1C3E8B64}' <<<"$chosen"; then
  echo "windows-host: --msi-language $german=1031 did not make the German package the choice for 1031: $chosen" >&2
  exit 1
fi
echo "windows-host: --msi-language takes a Windows path ($german=1031)"

# Console output: a name that is not ASCII reads the same in a console (WriteConsoleW; script
# gives the program one) and redirected to a file (UTF-8 bytes, lines ending in LF as on Linux).
script -qec "$LAUNCHER_PACK_UNDER_TEST keygen --out $(sq "$work/schlüssel-konsole")" "$work/console.txt" >/dev/null
"$root/scripts/wine-run.sh" "$exe" keygen --out "$work/schlüssel-datei" >"$work/redirected.txt"
# Wine's console wraps its lines at its width: the line is read with the breaks taken out.
if ! tr -d '\r\n' <"$work/console.txt" | grep -qF "wrote $work/schlüssel-konsole.pem (" ||
  ! grep -qF "wrote $work/schlüssel-datei.pem (" "$work/redirected.txt" || grep -q $'\r' "$work/redirected.txt"; then
  echo "windows-host: the console or the redirected output does not show the name as given" >&2
  exit 1
fi
echo "windows-host: a non-ASCII name reads the same in a console and in redirected output"

# Folders whose Windows paths reach past MAX_PATH: every command reads and writes there.
deep="$work/deep"
for level in 1 2 3 4 5; do deep+="/Ordner $level mit einem recht langen Namen, damit der Pfad wächst"; done
mkdir -p "$deep"
cp "$world/stub.exe" "$world/key.pem" "$world/packages/en.msi" "$world/packages/shared.cab" "$deep/"
# Wine shows the Unix root as drive Z: (winepath itself stops short of such lengths).
deep_windows="Z:${deep//\//\\}\\setup.exe"
[ "${#deep_windows}" -gt 260 ] || { echo "windows-host: the deep folder's path is only ${#deep_windows} long" >&2; exit 1; }
"$root/scripts/wine-run.sh" "$exe" -q pack --stub "$deep/stub.exe" --key "$deep/key.pem" --msi "$deep/en.msi" \
  -o "$deep/setup.exe"
"$root/scripts/wine-run.sh" "$exe" -q verify --key "$deep/key.pem" --allow-unsigned "$deep/setup.exe" >/dev/null
"$root/scripts/wine-run.sh" "$exe" -q extract --key "$deep/key.pem" "$deep/setup.exe" -o "$deep/extracted"
cmp -s "$deep/en.msi" "$deep/extracted/main.msi" ||
  { echo "windows-host: extract in a folder past MAX_PATH did not give the package back" >&2; exit 1; }
echo "windows-host: pack, verify and extract work in a folder whose path is ${#deep_windows} characters long"

# The output held open by another program (a virus scanner, an indexer): pack tries again for a
# few seconds, so that a short hold passes and a long one is one error line with the system's
# reason, the old file kept and no temporary file left.
x86_64-w64-mingw32-gcc-posix -municode -O1 -o "$work/holder.exe" "$root/tests/packer/windows_holder.c"
held="$work/held.exe"
pack_over_held() {
  "$root/scripts/wine-run.sh" "$exe" -q pack --stub "$world/stub.exe" --key "$world/key.pem" \
    --msi "$world/packages/en.msi" -o "$held" --force
}
hold() { # MILLISECONDS: returns once the holder has the file open
  printf old >"$held"
  rm -f "$held.held"
  "$root/scripts/wine-run.sh" "$work/holder.exe" "$(winepath -w "$held")" "$1" &
  holder=$!
  until [ -e "$held.held" ]; do sleep 0.02; done
}
hold 700
pack_over_held
wait "$holder"
[ "$(head -c 2 "$held")" = MZ ] || { echo "windows-host: pack did not replace a file held for 0.7 s" >&2; exit 1; }
hold 6000
status=0
pack_over_held 2>"$work/held.err" || status=$?
wait "$holder"
if [ "$status" -ne 1 ] || ! grep -Eq 'cannot be replaced \(.*\(error (5|32)\)\)' "$work/held.err" ||
  [ "$(wc -l <"$work/held.err")" -ne 1 ] || [ "$(cat "$held")" != old ] || ls "$work" | grep -q partial; then
  echo "windows-host: a file held for 6 s gave exit code $status and: $(cat "$work/held.err")" >&2
  exit 1
fi
echo "windows-host: an output held for 0.7 s is replaced; held for 6 s: $(cat "$work/held.err")"
