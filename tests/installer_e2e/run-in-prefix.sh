#!/usr/bin/env bash
# run-in-prefix.sh MODE PREFIX STANDIN TEST_PROGRAM
# Runs an end-to-end test program in a Wine prefix of its own (created on first use and kept),
# with its own wineserver, on the display of the caller's session (DISPLAY; one is started when
# there is none). MODE "real": the prefix keeps Wine's msiexec.exe. MODE "standin": STANDIN
# replaces the system's msiexec.exe, and the tests named *UnderFileSizeLimit* run a second time
# under a 16 MiB file size limit.
set -euo pipefail
mode="$1" prefix="$2" standin="$3" program="$4"
here="$(cd "$(dirname "$0")" && pwd)"
root="$(cd "$here/../.." && pwd)"
wine="$root/scripts/wine-run.sh"

export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
own_display=""
if [ -z "${DISPLAY:-}" ]; then
  display=150
  while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do display=$((display + 1)); done
  Xvfb ":${display}" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
  own_display=$!
  export DISPLAY=":${display}"
  for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display}" ] && break; sleep 0.1; done
fi
finish() {
  wineserver -k 2>/dev/null || true
  if [ -n "$own_display" ]; then kill "$own_display" 2>/dev/null || true; fi
}
trap finish EXIT
trap 'exit 143' TERM INT

mkdir -p "$prefix"
# The server and the processes Wine starts must not hold the caller's output open.
wineserver -p >/dev/null 2>&1 </dev/null
if [ ! -f "$prefix/e2e-prefix-ready" ]; then
  echo "[e2e] creating the Wine prefix $prefix"
  "$wine" wineboot -i >/dev/null 2>&1 </dev/null
  # Windows without a window manager: Wine would otherwise wait two seconds for each window that
  # closes to be withdrawn.
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
  # The user's folders stay inside the prefix instead of pointing into the Linux home folder.
  for link in "$prefix"/drive_c/users/*/*; do
    if [ -L "$link" ]; then rm "$link" && mkdir -p "$link"; fi
  done
  touch "$prefix/e2e-prefix-ready"
fi

system32="$prefix/drive_c/windows/system32"
if [ "$mode" = standin ]; then
  cp "$standin" "$system32/msiexec.exe"
  # Run the file in system32 even where Wine has a built-in program of that name.
  export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;msiexec.exe=n"
fi

cd "$(dirname "$program")"
status=0
if [ "$mode" = standin ]; then
  "$wine" "$program" --gtest_filter='-*UnderFileSizeLimit*' </dev/null || status=$?
  (
    trap '' XFSZ # a write past the limit fails with EFBIG instead of ending the process
    ulimit -f 16384
    export LAUNCHER_TEST_FILE_SIZE_LIMIT=$((16384 * 1024))
    "$wine" "$program" --gtest_filter='*UnderFileSizeLimit*' </dev/null
  ) || status=$?
else
  "$wine" "$program" </dev/null || status=$?
fi
exit "$status"
