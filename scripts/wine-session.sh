# Sourced by the test scripts: a virtual X display and one persistent wineserver for a whole
# test run, so that each Wine process starts in well under a second.

start_wine_session() {
  local prefix="$1"
  export WINEPREFIX="$prefix"
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml="
  export WINEARCH=win64
  # wineserver needs the prefix folder to exist; wineboot fills it.
  mkdir -p "$prefix"

  if [ -z "${DISPLAY:-}" ] || [ -n "${LAUNCHER_OWN_DISPLAY:-1}" ]; then
    local display=90
    while [ -e "/tmp/.X${display}-lock" ] || [ -e "/tmp/.X11-unix/X${display}" ]; do
      display=$((display + 1))
    done
    Xvfb ":${display}" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
    WINE_SESSION_XVFB=$!
    export DISPLAY=":${display}"
    for _ in $(seq 50); do
      [ -e "/tmp/.X11-unix/X${display}" ] && break
      sleep 0.1
    done
  fi

  # The server and the helper processes that Wine starts (winedevice, explorer) live on after
  # the program that started them; they must not hold the caller's output open, or whoever
  # reads it (ctest, CI) waits for them.
  wineserver -p >/dev/null 2>&1 </dev/null
  if [ ! -f "$prefix/system.reg" ]; then
    echo "[wine] creating the Wine prefix $prefix"
  fi
  "$(dirname "${BASH_SOURCE[0]}")/wine-run.sh" wineboot -i >/dev/null 2>&1 </dev/null || true
}

stop_wine_session() {
  wineserver -k 2>/dev/null || true
  if [ -n "${WINE_SESSION_XVFB:-}" ]; then
    kill "$WINE_SESSION_XVFB" 2>/dev/null || true
    wait "$WINE_SESSION_XVFB" 2>/dev/null || true
  fi
}
