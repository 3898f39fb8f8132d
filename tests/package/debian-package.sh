#!/usr/bin/env bash
# debian-package.sh NATIVE_RELEASE_BUILD: makes the Debian package with cpack in that build,
# checks it with lintian (no error and no warning), unpacks it into a temporary root with
# dpkg -x (no installation) and runs what it holds: the packer's --version, and its stub command
# on the ready stub it finds in the package's data folder (twice: the same bytes), and checks the
# stub's recorded SHA-256. Fails on the first thing that is missing or wrong.
set -euo pipefail
build="$(cd "$1" && pwd)"
root="$(cd "$(dirname "$0")/../.." && pwd)"
fail() { echo "debian-package: $*" >&2; exit 1; }

(cd "$build" && cpack -G DEB >/dev/null)
version=$(sed -n 's/^project(msi_launcher VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
deb="$build/launcher-pack_${version}_amd64.deb"
[ -f "$deb" ] || fail "$deb was not made"

# Errors and warnings fail; what lintian only notes is shown.
lintian_out=$(lintian --tag-display-limit 0 "$deb" 2>&1) || true
if echo "$lintian_out" | grep -E '^[EW]: ' >&2; then
  fail "lintian reports errors or warnings (above)"
fi
[ -z "$lintian_out" ] || echo "$lintian_out" | sed 's/^/debian-package: lintian: /'
maintainer=$(dpkg-deb -f "$deb" Maintainer)
case "$maintainer" in *localhost*|"") fail "Maintainer: $maintainer" ;; esac
[ "$(dpkg-deb -f "$deb" Description | wc -l)" -gt 3 ] || fail "no long description"

depends=$(dpkg-deb -f "$deb" Depends)
case "$depends" in *libc6*) ;; *) fail "dependencies not computed: Depends: $depends" ;; esac

unpacked="$(mktemp -d)"
trap 'rm -rf "$unpacked"' EXIT
dpkg-deb -x "$deb" "$unpacked"
for file in usr/bin/launcher-pack usr/share/launcher-pack/launcher.exe usr/share/launcher-pack/launcher.exe.sha256 \
  usr/share/man/man1/launcher-pack.1.gz \
  usr/share/doc/launcher-pack/README.md usr/share/doc/launcher-pack/copyright usr/share/doc/launcher-pack/changelog.gz; do
  [ -f "$unpacked/$file" ] || fail "the package has no /$file"
done
# The users' README: the release path, without the developers' part of README.md.
readme="$unpacked/usr/share/doc/launcher-pack/README.md"
grep -q "^### The steps" "$readme" || fail "README.md has no steps"
grep -q -e "^## Layout" -e "user-guide" "$readme" && fail "README.md holds more than the users' part"
zcat "$unpacked/usr/share/doc/launcher-pack/changelog.gz" | head -1 | grep -q "^launcher-pack ($version)" ||
  fail "the changelog does not start with version $version"
(cd "$unpacked/usr/share/launcher-pack" && sha256sum --quiet -c launcher.exe.sha256) ||
  fail "launcher.exe.sha256 does not hold the packaged stub's SHA-256"

pack="$unpacked/usr/bin/launcher-pack"
"$pack" --version | grep -qx "launcher-pack $version" || fail "--version says: $("$pack" --version)"
"$pack" keygen --out "$unpacked/key" >/dev/null
"$pack" stub --key "$unpacked/key.pub.pem" -o "$unpacked/launcher.exe" >"$unpacked/stub.out" ||
  fail "stub failed with the installed ready stub"
fingerprint="SHA256:$(openssl pkey -pubin -in "$unpacked/key.pub.pem" -outform DER | sha256sum | cut -c1-64)"
grep -q "$fingerprint" "$unpacked/stub.out" || fail "stub did not set the key: $(cat "$unpacked/stub.out")"
cmp -s "$unpacked/launcher.exe" "$unpacked/usr/share/launcher-pack/launcher.exe" &&
  fail "the stub written is the ready stub unchanged"
# The same key set again, a second later, under another name: the same bytes.
sleep 1
"$pack" stub --key "$unpacked/key.pub.pem" -o "$unpacked/again.exe" >/dev/null
cmp -s "$unpacked/launcher.exe" "$unpacked/again.exe" || fail "stub wrote other bytes for the same stub and key"
echo "debian-package: $(basename "$deb") holds launcher-pack $version, the ready stub and its SHA-256, the manual page and the README; Depends: $depends"
