#!/usr/bin/env bash
# windows-host.sh NATIVE_BUILD WINDOWS_PACKER_BUILD [GTEST_FILTER]
# The packer's test table against launcher-pack.exe under Wine: the native build's packer_test
# makes its stubs, keys and packages with the Linux tools as always, and runs every command it
# checks through LAUNCHER_PACK_UNDER_TEST, here launcher-pack.exe of the windows-packer build.
# The cases about the host stay out: PKCS#11 tokens (Linux only), signer commands written for
# /bin/sh, the ready stub found beside the packer's Linux install folders, the private key's Unix
# mode, file names that are not UTF-8 (Windows names are UTF-16) and SIGTERM; Ctrl+C, Windows'
# interrupt, is checked here after the table instead.
set -euo pipefail
native="$(cd "$1" && pwd)" windows="$(cd "$2" && pwd)"
root="$(cd "$(dirname "$0")/../.." && pwd)"
exe="$windows/packer/launcher-pack.exe"
[ -f "$exe" ] || { echo "no $exe: build the windows-packer preset first" >&2; exit 1; }

host_cases='TokenKey.*:Pkcs11Uri.*:Signers/*:Faults/*:Keys/*:Stub.FindsTheReadyStubBesideThePackerOrInItsDataFolder'
host_cases+=':Keygen.WritesAPrivateKeyOnlyItsOwnerReadsAndReplacesNothing:Inspect.JsonIsValidUtf8WhateverTheFileIsCalled'
host_cases+=':Pack.AnInterruptLeavesNothingBehind'
filter="${3:--$host_cases}"

# shellcheck source=scripts/wine-session.sh
source "$root/scripts/wine-session.sh"
start_wine_session "$windows/wine-prefix"
trap stop_wine_session EXIT
# Non-ASCII arguments reach the program as they are.
export LC_ALL=C.UTF-8
export LAUNCHER_PACK_UNDER_TEST="$root/scripts/wine-run.sh $exe"
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
timeout 120 script -qec "bash $work/interrupt.sh" /dev/null >/dev/null
if ls "$work" | grep -q 'setup.exe'; then
  echo "windows-host: after Ctrl+C, pack left $(ls "$work" | grep setup.exe | tr '\n' ' ')" >&2
  exit 1
fi
echo "windows-host: Ctrl+C during pack left no output and no temporary file"
