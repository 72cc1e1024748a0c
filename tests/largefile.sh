#!/bin/sh
# Files past 2 GiB, for a build on a 32-bit system: "largefile.sh tool sample"
# cleans a source of the sample and a sparse tail never read, then into a
# sparse destination (another user's, when root) whose owner and mode stay.
set -u
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }
owner=$(id -u):$(id -g)
"$1" "$2" "$tmp/clean.sfv" >/dev/null && cp "$2" "$tmp/big.sfv" && truncate -s 3G "$tmp/big.sfv" "$tmp/dst.sfv" || fail "the sample"
[ "$owner" != 0:0 ] || { owner=5:7 && chown "$owner" "$tmp/dst.sfv"; }
chmod 600 "$tmp/dst.sfv"
"$1" "$tmp/big.sfv" "$tmp/out.sfv" >/dev/null && cmp -s "$tmp/out.sfv" "$tmp/clean.sfv" || fail "a source of 3 GiB"
"$1" "$2" "$tmp/dst.sfv" >/dev/null && cmp -s "$tmp/dst.sfv" "$tmp/clean.sfv" || fail "a destination of 3 GiB"
[ "$(stat -c %u:%g:%a "$tmp/dst.sfv")" = "$owner:600" ] || fail "a destination of 3 GiB lost its owner or mode"
echo "Files of 3 GiB: cleaned, the owner and mode kept"
