#!/usr/bin/env bash
# Runs a Windows program under the 64-bit Wine loader, quietly. ctest uses it as the
# emulator of the Windows build; WINEPREFIX and DISPLAY come from scripts/test-all.sh.
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
for loader in /usr/lib/wine/wine64 "$(command -v wine64 2>/dev/null)" "$(command -v wine 2>/dev/null)"; do
  if [ -n "$loader" ] && [ -x "$loader" ]; then
    exec "$loader" "$@"
  fi
done
echo "wine-run.sh: no Wine loader found (run scripts/setup.sh)" >&2
exit 127
