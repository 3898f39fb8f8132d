#!/usr/bin/env bash
# setup.sh [--main]: installs what the builds need on a Debian 12 machine. Safe to run again:
# finished steps are skipped.
#   --main  only the main job's Debian packages (scripts/demo.sh): the native build of
#           launcher-pack and its Debian package, the MinGW-w64 build of the ready stub, the
#           example product's tools, signing, Wine;
#   (none)  the test command's set-up (scripts/test-all.sh): those, the test and benchmark
#           tools, and the MinGW-w64 libraries that Debian does not package (OpenSSL libcrypto,
#           GoogleTest), built into a cache outside the source tree.
# launcher.exe itself needs neither library (it verifies with the system's provider); the MinGW
# OpenSSL serves the Windows-side tests: the container writer that signs their payloads, the
# signature object and PE fixtures, and the installer-start benchmark's baseline.
set -euo pipefail

mode=tests
case "${1:-}" in
  --main) mode=main ;;
  "") ;;
  *) echo "usage: setup.sh [--main]" >&2; exit 2 ;;
esac

cache_dir="${LAUNCHER_DEPS_CACHE:-${HOME:-/root}/.cache/launcher-deps}"
jobs="$(nproc 2>/dev/null || echo 2)"

say() { printf '[setup] %s\n' "$*"; }
fail() { printf '[setup] error: %s\n' "$*" >&2; exit 1; }

as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

main_packages=(
  build-essential cmake ninja-build pkg-config python3 file dpkg-dev openssl
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 libz-mingw-w64-dev
  zlib1g-dev libssl-dev libmsi-dev libglib2.0-dev libcli11-dev libdeflate-dev libp11-kit-dev
  msitools wixl gcab osslsigncode
  wine wine64 xvfb
)
test_packages=(
  git clang-format clang libclang-rt-14-dev
  googletest libgtest-dev libbenchmark-dev
  xauth xdotool x11-apps imagemagick hyperfine
  lintian softhsm2 opensc
)
packages=("${main_packages[@]}")
[ "$mode" = main ] || packages+=("${test_packages[@]}")

install_packages() {
  local missing=()
  for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  if [ ${#missing[@]} -eq 0 ]; then
    say "Debian packages: all present"
    return
  fi
  say "installing Debian packages: ${missing[*]}"
  as_root apt-get update -q >/dev/null || fail "apt-get update failed"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null \
    || fail "apt-get install failed for: ${missing[*]}"
}

# apt-get source needs a deb-src entry; add one that mirrors the machine's own Debian sources.
ensure_deb_src() {
  if grep -rqsE '^(Types:.*deb-src|deb-src )' /etc/apt/sources.list /etc/apt/sources.list.d/; then
    return
  fi
  say "adding a deb-src entry for Debian's source packages"
  local src=/etc/apt/sources.list.d/debian.sources
  if [ -f "$src" ]; then
    sed -e 's/^Types:.*/Types: deb-src/' "$src" | as_root tee /etc/apt/sources.list.d/launcher-deb-src.sources >/dev/null
  else
    grep -hE '^deb ' /etc/apt/sources.list | sed 's/^deb /deb-src /' | as_root tee /etc/apt/sources.list.d/launcher-deb-src.list >/dev/null
  fi
  as_root apt-get update -q >/dev/null || fail "apt-get update failed after adding deb-src"
}

build_openssl() {
  local prefix="$cache_dir/openssl-mingw64"
  if [ -f "$prefix/.complete" ]; then
    say "MinGW OpenSSL libcrypto: cached in $prefix"
    return
  fi
  ensure_deb_src
  local work
  work="$(mktemp -d)"
  say "fetching Debian's openssl source package"
  local fetched=""
  # The newest listed version can be gone from the archive; try each listed version in turn.
  for version in $(apt-cache showsrc openssl | awk '/^Version:/ {print $2}' | sort -ruV); do
    if (cd "$work" && apt-get source -q --download-only "openssl=$version" >/dev/null 2>&1 && dpkg-source -x --no-check openssl_*.dsc src >/dev/null 2>&1); then
      fetched="$version"
      break
    fi
    rm -rf "${work:?}"/*
  done
  [ -n "$fetched" ] || fail "could not fetch Debian's openssl source package"
  say "building OpenSSL $fetched libcrypto for x86_64-w64-mingw32 (takes a few minutes)"
  (
    cd "$work/src"
    ./Configure mingw64 no-shared no-tests no-engine no-dso no-module no-legacy \
      no-async no-sock no-ui-console no-ssl no-dtls no-tls --cross-compile-prefix=x86_64-w64-mingw32- \
      --prefix="$prefix" --libdir=lib CC=gcc-posix CXX=g++-posix >"$work/configure.log" 2>&1 \
      || { tail -20 "$work/configure.log"; exit 1; }
    make -j"$jobs" build_libs >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
    make install_dev >"$work/install.log" 2>&1 || { tail -30 "$work/install.log"; exit 1; }
  ) || fail "the MinGW OpenSSL build failed"
  rm -f "$prefix"/lib/*.dll.a
  echo "$fetched" >"$prefix/.complete"
  rm -rf "$work"
}

build_googletest() {
  local prefix="$cache_dir/googletest-mingw64"
  if [ -f "$prefix/.complete" ]; then
    say "MinGW GoogleTest: cached in $prefix"
    return
  fi
  say "building GoogleTest for x86_64-w64-mingw32 from /usr/src/googletest"
  local work
  work="$(mktemp -d)"
  cmake -S /usr/src/googletest -B "$work" -G Ninja \
    -DCMAKE_TOOLCHAIN_FILE="$(cd "$(dirname "$0")/.." && pwd)/cmake/mingw-w64-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$prefix" \
    -Dgtest_disable_pthreads=OFF -DBUILD_GMOCK=ON >"$work.log" 2>&1 || { tail -20 "$work.log"; fail "configuring GoogleTest failed"; }
  cmake --build "$work" -j"$jobs" >>"$work.log" 2>&1 || { tail -20 "$work.log"; fail "building GoogleTest failed"; }
  cmake --install "$work" >>"$work.log" 2>&1 || fail "installing GoogleTest failed"
  touch "$prefix/.complete"
  rm -rf "$work" "$work.log"
}

install_packages
if [ "$mode" = main ]; then
  say "done (the main job's packages)"
  exit 0
fi
mkdir -p "$cache_dir"
build_openssl
build_googletest
say "done; dependency cache: $cache_dir"
