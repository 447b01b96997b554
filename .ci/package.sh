#!/usr/bin/env bash
# Checks that quorlith is ready to install, from the Release build in build/
# (which `make test` has built): the manual page formats without warnings,
# `cmake --install` lays out bin/ and share/man/man1/, and the Debian package
# unpacks to a binary that runs.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD=${BUILD:-build}
BANNER="quorlith dlf/dvdroot packager ver.1.2"

fail() {
  echo "package.sh: $*" >&2
  exit 1
}

if ! command -v groff >/dev/null; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq groff-base
fi
# Configures and builds only what is missing or stale; a no-op after `make test`.
make --no-print-directory BUILD="$BUILD" >/dev/null

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

echo "-- manual pages"
for page in doc/quorlith.1 doc/qpk.1; do
  warnings=$(groff -ww -z -man "$page" 2>&1) || fail "groff failed: $warnings"
  [ -z "$warnings" ] || fail "groff warnings in $page:
$warnings"
done

echo "-- cmake --install"
cmake --install "$BUILD" --prefix "$scratch/prefix" >"$scratch/install.log" 2>&1 ||
  fail "cmake --install failed:
$(cat "$scratch/install.log")"
[ -x "$scratch/prefix/bin/quorlith" ] || fail "bin/quorlith not installed"
[ -x "$scratch/prefix/bin/qpk" ] || fail "bin/qpk not installed"
for page in quorlith qpk; do
  cmp -s "doc/$page.1" "$scratch/prefix/share/man/man1/$page.1" ||
    fail "share/man/man1/$page.1 not installed"
done

echo "-- Debian package"
(cd "$BUILD" && cpack -G DEB -B "$scratch/deb") >"$scratch/cpack.log" 2>&1 ||
  fail "cpack failed:
$(cat "$scratch/cpack.log")"
debs=("$scratch"/deb/quorlith_*.deb)
[ -f "${debs[0]}" ] || fail "cpack made no .deb"
deb=${debs[0]}
[ "$(dpkg-deb -f "$deb" Package)" = quorlith ] || fail "wrong package name"
[ "$(dpkg-deb -f "$deb" Version)" = 1.2 ] || fail "wrong package version"
echo "$(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"

dpkg -x "$deb" "$scratch/root"
for page in quorlith qpk; do
  [ -f "$scratch/root/usr/share/man/man1/$page.1" ] || fail "package lacks the manual page $page.1"
done
banner=$("$scratch/root/usr/bin/quorlith" -V 2>&1) || fail "packaged quorlith -V failed"
[ "$banner" = "$BANNER" ] || fail "packaged quorlith -V printed: $banner"
echo "packaged binary: $banner"
qpkVersion=$("$scratch/root/usr/bin/qpk" --version) || fail "packaged qpk --version failed"
[ "$qpkVersion" = "qpk (quorlith) 1.2" ] || fail "packaged qpk --version printed: $qpkVersion"
echo "packaged binary: $qpkVersion"
