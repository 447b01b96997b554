#!/bin/sh
# Packs the example disc tree, unpacks the result, packs the unpacked tree
# again and shows that both qpk files are the same, byte for byte.
set -eu
QUORLITH=$(cd "$(dirname "$1")" && pwd)/$(basename "$1")
MKDISC=$(cd "$(dirname "$2")" && pwd)/$(basename "$2")
OUT=${3:-demo-out}

rm -rf "$OUT"
mkdir -p "$OUT"
cd "$OUT"

echo "== generating the example disc tree in $OUT/disc"
"$MKDISC" example disc
ls -R disc | sed 's/^/   /'

echo "== packing: quorlith -d disc/layout.dlf"
"$QUORLITH" -d disc/layout.dlf
echo "   disc/layout.qpk: $(wc -c < disc/layout.qpk) bytes"

echo "== unpacking: quorlith -u -e unpacked disc/layout.qpk"
"$QUORLITH" -u -e unpacked disc/layout.qpk
echo "   regenerated unpacked/layout.dlf:"
sed 's/^/     /' unpacked/layout.dlf

echo "== packing the unpacked tree again: quorlith -d unpacked/layout.dlf again.qpk"
"$QUORLITH" -d unpacked/layout.dlf again.qpk

if cmp disc/layout.qpk again.qpk; then
  echo "== round trip: disc/layout.qpk and again.qpk are identical"
else
  echo "== round trip FAILED: the two qpk files differ" >&2
  exit 1
fi
