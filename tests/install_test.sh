#!/bin/sh
# SPDX-License-Identifier: MIT
# Copyright (c) 2026 the Vantrel developers
# What a user installs: "install_test.sh tree builddir sourcedir" checks
# the tree "cmake --install" makes, "install_test.sh deb ..." the Debian
# package "cpack -G DEB" makes. Exits 1 naming the first check that fails.
set -u
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

if [ "$1" = tree ]; then
	cmake --install "$2" --prefix "$tmp" >/dev/null || fail "cmake --install"
	bin=$tmp/bin/Vantrel man=$tmp/share/man/man1/Vantrel.1
	cmp -s "$man" "$2/Vantrel.1" || fail "no manual in share/man/man1, or another one"
	[ "$(readlink "$tmp/bin/vantrel") $(readlink "$tmp/share/man/man1/vantrel.1")" = "Vantrel Vantrel.1" ] ||
		fail "no lower-case vantrel and vantrel.1 linked to the tool and its manual"
	for l in $("$bin" | sed -n 's/^ -\(.\): .*/\1/p'); do
		grep -qx "\.B \\\\-$l" "$man" || fail "the manual has no entry for -$l"
	done
	grep -q "^\.TH .*\"Vantrel $("$bin" -V | sed -n 's/^Vantrel Ver\.\([^ ]*\) .*/\1/p')\"" "$man" ||
		fail "the manual is of another version"
	! command -v mandoc >/dev/null || [ -z "$(mandoc -T lint -W style "$man" 2>&1)" ] || fail "mandoc finds faults"
	exit 0
fi
(cd "$tmp" && cpack -G DEB --config "$2/CPackConfig.cmake" >/dev/null) || fail "cpack -G DEB"
deb=$(ls "$tmp"/vantrel_*.deb) || fail "no package named vantrel"
[ "$(dpkg-deb -c "$deb" | grep -c ' ./usr/\(bin/Vantrel\|bin/vantrel -> Vantrel\|share/man/man1/Vantrel.1\|share/man/man1/vantrel.1 -> Vantrel.1\)$')" = 4 ] ||
	fail "the package lacks the tool, its manual or their lower-case links"
dpkg-deb -f "$deb" Description | grep -q 'duplicate bookmarks' || fail "the description says not what it does"
dpkg-deb -f "$deb" Depends | sed 's/([^)]*)//g; s/,/\n/g; s/ //g' | grep -qv '^\(libc6\|libstdc++6\|libgcc-s1\)$' &&
	fail "the package depends on more than the C++ runtime"
dpkg-deb -x "$deb" "$tmp/root" && "$tmp/root/usr/bin/Vantrel" -V >/dev/null || fail "the packaged binary does not run"
