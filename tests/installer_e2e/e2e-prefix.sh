# Sourced: a Wine prefix of its own for the end-to-end tests and the benchmarks (created on first
# use and kept), with its own wineserver, on the caller's display (one is started when DISPLAY
# is unset).
#   start_e2e_prefix MODE PREFIX STANDIN   MODE "real" keeps Wine's msiexec.exe; "standin" puts
#                                         STANDIN in its place in the system folder
#   stop_e2e_prefix
e2e_wine="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/scripts/wine-run.sh"

start_e2e_prefix() {
  local mode="$1" prefix="$2" standin="$3"
  export WINEPREFIX="$prefix" WINEDEBUG=-all WINEARCH=win64 WINEDLLOVERRIDES="mscoree,mshtml="
  E2E_OWN_DISPLAY=""
  if [ -z "${DISPLAY:-}" ]; then
    local display=150
    while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do display=$((display + 1)); done
    Xvfb ":${display}" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    E2E_OWN_DISPLAY=$!
    export DISPLAY=":${display}"
    for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X${display}" ] && break; sleep 0.1; done
  fi

  mkdir -p "$prefix"
  # The server and the processes Wine starts must not hold the caller's output open.
  wineserver -p >/dev/null 2>&1 </dev/null
  if [ ! -f "$prefix/e2e-prefix-ready" ]; then
    echo "[e2e] creating the Wine prefix $prefix"
    "$e2e_wine" wineboot -i >/dev/null 2>&1 </dev/null
    # Windows without a window manager: Wine would otherwise wait two seconds for each window
    # that closes to be withdrawn.
    "$e2e_wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
    # The user's folders stay inside the prefix instead of pointing into the Linux home folder.
    local link
    for link in "$prefix"/drive_c/users/*/*; do
      if [ -L "$link" ]; then rm "$link" && mkdir -p "$link"; fi
    done
    touch "$prefix/e2e-prefix-ready"
  fi

  if [ "$mode" = standin ]; then
    cp "$standin" "$prefix/drive_c/windows/system32/msiexec.exe"
    # Run the file in the system folder even where Wine has a built-in program of that name.
    export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;msiexec.exe=n"
  fi
}

stop_e2e_prefix() {
  wineserver -k 2>/dev/null || true
  if [ -n "${E2E_OWN_DISPLAY:-}" ]; then
    kill "$E2E_OWN_DISPLAY" 2>/dev/null || true
    wait "$E2E_OWN_DISPLAY" 2>/dev/null || true
  fi
}
