#!/usr/bin/env bash
# setup.sh [--main]: installs what the builds need on a Debian 12 machine. Safe to run again:
# finished steps are skipped.
#   --main  only the main job's Debian packages (scripts/demo.sh): the native build of
#           launcher-pack and its Debian package, the MinGW-w64 build of the ready stub, the
#           example product's tools, signing, Wine; and zlib's inflate for launcher.exe;
#   (none)  the test command's set-up (scripts/test-all.sh): those, the test and benchmark
#           tools, and the MinGW-w64 libraries that Debian does not package (OpenSSL libcrypto,
#           libdeflate, GoogleTest), built into a cache outside the source tree;
#   STEP... only the named cache steps (build_zlib_inflate, build_openssl, build_libdeflate,
#           build_googletest), for a machine set up before they changed.
# launcher.exe links only zlib's inflate, built here without gzip support (it verifies with the
# system's provider); the MinGW OpenSSL and libdeflate serve launcher-pack.exe (the
# windows-packer preset) and the Windows-side tests: the container writer that signs their
# payloads, the signature object and PE fixtures, and the installer-start benchmark's baseline.
set -euo pipefail

mode=tests
case "${1:-}" in
  --main) mode=main ;;
  "") ;;
  build_*) mode=steps ;;
  *) echo "usage: setup.sh [--main | STEP...]" >&2; exit 2 ;;
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
  lintian softhsm2 opensc unzip xxd
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

# Fetches Debian's source package NAME (one of the versions apt lists, newest first, or exactly
# VERSION when given) and unpacks it into WORK/src; prints the version fetched.
fetch_source() {
  local name="$1" work="$2" wanted="${3:-}"
  ensure_deb_src >&2
  local versions
  if [ -n "$wanted" ]; then
    versions="$wanted"
  else
    # The newest listed version can be gone from the archive; try each listed version in turn.
    versions="$(apt-cache showsrc "$name" | awk '/^Version:/ {print $2}' | sort -ruV)"
  fi
  for version in $versions; do
    if (cd "$work" && apt-get source -q --download-only "$name=$version" >/dev/null 2>&1 && dpkg-source -x --no-check "${name}"_*.dsc src >/dev/null 2>&1); then
      echo "$version"
      return 0
    fi
    rm -rf "${work:?}"/*
  done
  return 1
}

# Bump when the configuration below changes, so that caches built the old way are rebuilt.
# 2: OPENSSLDIR names a folder that cannot exist on Windows (it was the Linux cache path, which
# Windows reads as a folder under the current drive's root that any user may create).
openssl_cache_key=2
# '?' is not allowed in Windows file names, so no configuration file can ever be found there.
openssl_dir='/openssl-config-disabled?/ssl'

build_openssl() {
  local prefix="$cache_dir/openssl-mingw64"
  if [ -f "$prefix/.complete" ] && [ "$(cat "$prefix/.cache-key" 2>/dev/null)" = "$openssl_cache_key" ]; then
    say "MinGW OpenSSL libcrypto: cached in $prefix"
    return
  fi
  local work
  work="$(mktemp -d)"
  say "fetching Debian's openssl source package"
  local fetched
  fetched="$(fetch_source openssl "$work")" || fail "could not fetch Debian's openssl source package"
  say "building OpenSSL $fetched libcrypto for x86_64-w64-mingw32 (takes a few minutes)"
  (
    cd "$work/src"
    ./Configure mingw64 no-shared no-tests no-engine no-dso no-module no-legacy \
      no-async no-sock no-ui-console no-ssl no-dtls no-tls --cross-compile-prefix=x86_64-w64-mingw32- \
      --prefix="$prefix" --openssldir="$openssl_dir" --libdir=lib CC=gcc-posix CXX=g++-posix >"$work/configure.log" 2>&1 \
      || { tail -20 "$work/configure.log"; exit 1; }
    make -j"$jobs" build_libs >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
    make install_dev DESTDIR="$work/stage" >"$work/install.log" 2>&1 || { tail -30 "$work/install.log"; exit 1; }
  ) || fail "the MinGW OpenSSL build failed"
  # Swapped in whole, so that a build running meanwhile never links a half-written cache.
  local staged="$work/stage$prefix"
  rm -f "$staged"/lib/*.dll.a
  echo "$fetched" >"$staged/.complete"
  echo "$openssl_cache_key" >"$staged/.cache-key"
  rm -rf "$prefix.old"
  [ ! -e "$prefix" ] || mv "$prefix" "$prefix.old"
  mv "$staged" "$prefix"
  rm -rf "$prefix.old" "$work"
}

# libdeflate for MinGW, the very version of the native libdeflate-dev, so that launcher-pack.exe
# and launcher-pack compress to the same bytes.
build_libdeflate() {
  local prefix="$cache_dir/libdeflate-mingw64"
  local version
  version="$(dpkg-query -W -f='${Version}' libdeflate-dev 2>/dev/null)" || fail "libdeflate-dev is not installed"
  if [ -f "$prefix/.complete" ] && [ "$(cat "$prefix/.complete")" = "$version" ]; then
    say "MinGW libdeflate: cached in $prefix"
    return
  fi
  local work
  work="$(mktemp -d)"
  say "fetching Debian's libdeflate $version source package"
  fetch_source libdeflate "$work" "$version" >/dev/null || fail "could not fetch Debian's libdeflate $version source package"
  say "building libdeflate $version for x86_64-w64-mingw32"
  make -C "$work/src" -j"$jobs" CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-ar libdeflatestatic.lib \
    >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; fail "the MinGW libdeflate build failed"; }
  local staged="$work/stage"
  mkdir -p "$staged/lib" "$staged/include"
  cp "$work/src/libdeflatestatic.lib" "$staged/lib/libdeflate.a"
  cp "$work/src/libdeflate.h" "$staged/include/"
  cp "$work/src/COPYING" "$staged/"
  echo "$version" >"$staged/.complete"
  rm -rf "$prefix"
  mv "$staged" "$prefix"
  rm -rf "$work"
}

# zlib's inflate for launcher.exe, from Debian's zlib source package of the installed zlib1g-dev
# (the zlib version of libz-mingw-w64-dev, whose headers the build uses), built without gzip
# support (NO_GZIP): the launcher reads zlib streams only, and gzip's CRC-32 code and tables would
# be 12.8 KB of the release stub. Each function in a section of its own, for the linker to drop
# what the launcher does not call. The same source and flags give the same bytes (ar D).
zlib_inflate_flags='-O2 -DNO_GZIP -ffunction-sections -fdata-sections'
build_zlib_inflate() {
  local prefix="$cache_dir/zlib-inflate-mingw64"
  local version
  version="$(dpkg-query -W -f='${Version}' zlib1g-dev 2>/dev/null)" || fail "zlib1g-dev is not installed"
  local key="$version $zlib_inflate_flags"
  if [ -f "$prefix/.complete" ] && [ "$(cat "$prefix/.complete")" = "$key" ]; then
    say "MinGW zlib inflate: cached in $prefix"
    return
  fi
  local work
  work="$(mktemp -d)"
  say "fetching Debian's zlib $version source package"
  fetch_source zlib "$work" "$version" >/dev/null || fail "could not fetch Debian's zlib $version source package"
  say "building zlib $version's inflate for x86_64-w64-mingw32, without gzip support"
  local staged="$work/stage"
  mkdir -p "$staged/lib"
  local objects=(adler32.o inffast.o inflate.o inftrees.o zutil.o)
  (
    cd "$work/src"
    for object in "${objects[@]}"; do
      # shellcheck disable=SC2086 # the flags are words
      x86_64-w64-mingw32-gcc-posix $zlib_inflate_flags -c "${object%.o}.c" -o "$object" || exit 1
    done
    x86_64-w64-mingw32-ar rcD "$staged/lib/libz-inflate.a" "${objects[@]}"
  ) >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; fail "the MinGW zlib inflate build failed"; }
  cp "$work/src/LICENSE" "$staged/"
  echo "$key" >"$staged/.complete"
  rm -rf "$prefix"
  mv "$staged" "$prefix"
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

if [ "$mode" = steps ]; then
  mkdir -p "$cache_dir"
  for step in "$@"; do
    case "$step" in
      build_zlib_inflate | build_openssl | build_libdeflate | build_googletest) "$step" ;;
      *) fail "unknown step $step (build_zlib_inflate, build_openssl, build_libdeflate, build_googletest)" ;;
    esac
  done
  exit 0
fi

install_packages
mkdir -p "$cache_dir"
build_zlib_inflate
if [ "$mode" = main ]; then
  say "done (the main job's packages and zlib's inflate)"
  exit 0
fi
build_openssl
build_libdeflate
build_googletest
say "done; dependency cache: $cache_dir"
