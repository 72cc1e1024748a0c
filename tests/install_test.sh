#!/bin/sh
# SPDX-License-Identifier: MIT
# Copyright (c) 2026 the Vantrel developers
# What a user installs: "install_test.sh tree builddir sourcedir" checks
# the tree "cmake --install" makes, "install_test.sh deb ..." the Debian
# package "cpack -G DEB" makes, with lintian and hardening-check where
# they are installed. Exits 1 naming the first check that fails.
set -u
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT
fail() { echo "FAIL: $*"; exit 1; }

if [ "$1" = tree ]; then
	cmake --install "$2" --prefix "$tmp" >/dev/null || fail "cmake --install"
	bin=$tmp/bin/Vantrel man=$tmp/share/man/man1/Vantrel.1 comp=$tmp/share/bash-completion/completions
	cmp -s "$man" "$2/Vantrel.1" || fail "no manual in share/man/man1, or another one"
	[ "$(readlink "$tmp/bin/vantrel") $(readlink "$tmp/share/man/man1/vantrel.1") $(readlink "$comp/vantrel")" = \
	    "Vantrel Vantrel.1 Vantrel" ] || fail "no lower-case vantrel, vantrel.1 and completion linked to the tool's"
	! command -v mandoc >/dev/null || [ -z "$(mandoc -T lint -W style "$man" 2>&1)" ] || fail "mandoc finds faults"
	# The README's safe way as it stands, on a generated file, installed and from the build folder:
	# each duplicate named, and the check passed.
	sed -n '/^## Clean your favourites safely/,/^1\. /s/^    //p' "$3/README.md" >"$tmp/safe.sh"
	[ "$(id -u)" != 0 ] || { mknod "$tmp/null" c 1 3 && sed -i "s|/dev/null|$tmp/null|" "$tmp/safe.sh"; } || fail "no null device of our own"
	built=$(cd "$2" && pwd) && ${CXX:-c++} -O2 -o "$tmp/sfvgen" "$3/bench/sfvgen.cpp" && mkdir "$tmp/w" && cd "$tmp/w" || fail "no sfvgen"
	for path in "$tmp/bin:/usr/bin:/bin" /usr/bin:/bin; do
		"$tmp/sfvgen" 20000 10000 favorites.sfv >/dev/null && PATH=$path sh "$tmp/safe.sh" >out 2>&1
		[ "$(grep -c '^Dup.Deleted' out) $(tail -n 1 out)" = "10000 OK" ] || fail "the README's safe way, PATH=$path: $(tail -n 3 out)"
		[ -e build ] || ln -s "$built" build
	done
	exit 0
fi
(cd "$tmp" && cpack -G DEB --config "$2/CPackConfig.cmake" >/dev/null) || fail "cpack -G DEB"
deb=$(ls "$tmp"/vantrel_*.deb) || fail "no package named vantrel"
[ "$(dpkg-deb -c "$deb" | grep -c ' ./usr/\(bin/Vantrel\|bin/vantrel -> Vantrel\|share/man/man1/Vantrel.1.gz\|share/man/man1/vantrel.1.gz -> Vantrel.1.gz\|share/bash-completion/completions/Vantrel\|share/bash-completion/completions/vantrel -> Vantrel\)$')" = 6 ] ||
	fail "the package lacks the tool, its compressed manual, its completion or their lower-case links"
dpkg-deb -x "$deb" "$tmp/root" && "$tmp/root/usr/bin/Vantrel" -V >/dev/null || fail "the packaged binary does not run"
! command -v lintian >/dev/null || lintian --fail-on error,warning "$deb" >"$tmp/lintian" 2>&1 || fail "lintian: $(cat "$tmp/lintian")"
# Where the C library's start files carry no CET mark, no program linked with them has one.
readelf -n "$(${CXX:-c++} -print-file-name=Scrt1.o)" 2>/dev/null | grep -q 'feature: IBT' || cf=--nocfprotection
! command -v hardening-check >/dev/null || hardening-check ${cf:-} "$tmp/root/usr/bin/Vantrel" >"$tmp/hc" || fail "$(cat "$tmp/hc")"
