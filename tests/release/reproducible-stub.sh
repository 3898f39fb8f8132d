#!/usr/bin/env bash
# reproducible-stub.sh [STUB]: builds the ready stub (preset windows-release) twice, in two
# temporary build folders of different names, the second one later, from a copy of the sources
# in another folder and with another SOURCE_DATE_EPOCH, and fails unless the two launcher.exe are
# the same bytes; and the same as STUB when one is given (the stub a package carries).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
fail() { echo "reproducible-stub: $*" >&2; exit 1; }
reference="${1:-}"
[ -z "$reference" ] || [ -f "$reference" ] || fail "no such stub: $reference"

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# build_stub SOURCE BUILD [ENVIRONMENT...]
build_stub() {
  local source="$1" build="$2"
  shift 2
  (cd "$source" && env "$@" cmake --preset windows-release -B "$build" >"$build.log" 2>&1 &&
    env "$@" cmake --build "$build" -j2 --target launcher >>"$build.log" 2>&1) ||
    { tail -n 20 "$build.log"; fail "the build in $build failed"; }
}

build_stub "$root" "$work/first" -u SOURCE_DATE_EPOCH
mkdir "$work/another-source"
tar -C "$root" --exclude=./build --exclude=./.git -cf - . | tar -C "$work/another-source" -xf -
mkdir "$work/another-source/build"
build_stub "$work/another-source" "$work/another-source/build/second-build-folder" SOURCE_DATE_EPOCH=1

first="$work/first/launcher.exe" second="$work/another-source/build/second-build-folder/launcher.exe"
if ! cmp -s "$first" "$second"; then
  echo "reproducible-stub: the two builds differ; the first differing bytes (offset, octal values):" >&2
  cmp -l "$first" "$second" | head -n 10 >&2 || true
  fail "launcher.exe is not reproducible"
fi
hash="$(sha256sum "$first" | cut -c1-64)"
if [ -n "$reference" ] && ! cmp -s "$first" "$reference"; then
  fail "$reference (SHA-256 $(sha256sum "$reference" | cut -c1-64)) differs from the stub rebuilt here ($hash)"
fi
echo "reproducible-stub: two builds of launcher.exe are the same bytes, SHA-256 $hash${reference:+, as $reference}"
