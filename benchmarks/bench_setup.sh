# Sourced first by every benchmark script. Sets root (the project), pack (launcher-pack of the
# native-release build) and windows_build (the windows preset's folder), and gives:
#   require FILE PRESET      stops, saying which preset to build, when FILE is missing
#   enter_work_folder DIR    makes DIR empty, sets work to it and goes there
#   start_benchmark_prefix KIND MSIEXEC
#                            starts the Wine prefix windows_build/benchmark-prefix as the installer
#                            tests do (start_e2e_prefix), sets prefix to it and stops it on exit
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
pack="$root/build/native-release/packer/launcher-pack"
windows_build="$root/build/windows"

require() {
  [ -e "$1" ] || { echo "missing $1: build the $2 preset first (see README)" >&2; exit 1; }
}

enter_work_folder() {
  work="$1"
  rm -rf "$work"
  mkdir -p "$work"
  cd "$work"
}

start_benchmark_prefix() {
  prefix="$windows_build/benchmark-prefix"
  # shellcheck source=tests/installer_e2e/e2e-prefix.sh
  source "$root/tests/installer_e2e/e2e-prefix.sh"
  trap stop_e2e_prefix EXIT
  start_e2e_prefix "$1" "$prefix" "$2"
}
