# Sourced first by the packing benchmarks. Sets root (the project) and pack (launcher-pack of the
# native-release build), and gives:
#   require FILE PRESET      stops, saying which preset to build, when FILE is missing
#   enter_work_folder DIR    makes DIR empty, sets work to it and goes there
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
pack="$root/build/native-release/packer/launcher-pack"

require() {
  [ -e "$1" ] || { echo "missing $1: build the $2 preset first (see README)" >&2; exit 1; }
}

enter_work_folder() {
  work="$1"
  rm -rf "$work"
  mkdir -p "$work"
  cd "$work"
}
