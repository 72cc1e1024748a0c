#!/bin/sh
# What a user installs: the tree "cmake --install" makes, and the Debian
# package "cpack -G DEB" makes.
#
#	install_test.sh tree cmake builddir sourcedir
#	install_test.sh deb cpack builddir sourcedir
#
# Functions share the script's variables, so each uses names of its own.
# Exits 0 when every check holds, 77 when the tools a check needs are
# missing, 1 after naming the first check that failed.
set -u

mode=$1 tool=$2 build=$3 source=$4
manual=$source/doc/Vantrel.1
tmp=$(mktemp -d) || exit 1
trap 'rm -rf "$tmp"' EXIT

fail() {
	echo "FAIL: $*"
	exit 1
}

# The letters the usage text lists must each have an entry in the manual,
# so that a new option cannot ship undocumented.
checkoptions() {
	letters=$("$1" | sed -n 's/^ -\(.\): .*/\1/p')
	[ -n "$letters" ] || fail "the usage text lists no options"
	for l in $letters; do
		grep -qx "\.B \\\\-$l" "$2" || fail "the manual has no entry for -$l"
	done
}

# The manual's footer and the banner must give the same version.
checkversion() {
	built=$("$1" -V | sed -n 's/^Vantrel Ver\.\([^ ]*\) .*/\1/p')
	documented=$(sed -n 's/^\.TH .*"Vantrel \([^"]*\)".*/\1/p' "$2")
	[ -n "$built" ] && [ "$built" = "$documented" ] ||
		fail "the tool is version '$built', its manual says '$documented'"
}

# Both formatters must read the manual without a word of complaint.
lintmanual() {
	linted=no
	if command -v mandoc >/dev/null 2>&1; then
		out=$(mandoc -T lint -W style "$1" 2>&1) || fail "mandoc: $out"
		[ -z "$out" ] || fail "mandoc: $out"
		linted=yes
	fi
	if command -v man >/dev/null 2>&1; then
		out=$(LC_ALL=C MAN_DISABLE_SECCOMP=1 man --warnings -l "$1" 2>&1 >/dev/null) ||
			fail "man: $out"
		[ -z "$out" ] || fail "man: $out"
		linted=yes
	fi
	[ $linted = yes ] || echo "neither mandoc nor man is installed: the manual is not linted"
}

installedtree() {
	"$tool" --install "$build" --prefix "$tmp/prefix" >/dev/null ||
		fail "cmake --install into a fresh prefix"
	bin=$tmp/prefix/bin/Vantrel man=$tmp/prefix/share/man/man1/Vantrel.1
	[ -x "$bin" ] || fail "no executable bin/Vantrel under the prefix"
	[ -f "$man" ] || fail "no share/man/man1/Vantrel.1 under the prefix"
	cmp -s "$man" "$manual" || fail "the installed manual differs from doc/Vantrel.1"
	checkversion "$bin" "$man"
	checkoptions "$bin" "$man"
	lintmanual "$man"
}

# The package holds both files, runs, and needs only the C++ runtime.
debpackage() {
	command -v dpkg-deb >/dev/null 2>&1 || { echo "no dpkg-deb"; exit 77; }
	"$tool" -G DEB --config "$build/CPackConfig.cmake" -B "$tmp" >/dev/null ||
		fail "cpack -G DEB"
	set -- "$tmp"/*.deb
	[ $# -eq 1 ] && [ -f "$1" ] || fail "cpack made no single .deb"
	for f in ./usr/bin/Vantrel ./usr/share/man/man1/Vantrel.1; do
		dpkg-deb -c "$1" | grep -q " $f\$" || fail "the package lacks $f"
	done
	[ "$(dpkg-deb -f "$1" Package)" = vantrel ] || fail "the package is not named vantrel"
	dpkg-deb -f "$1" Description | grep -q 'duplicate bookmarks' ||
		fail "the package description does not say what the tool does"
	for d in $(dpkg-deb -f "$1" Depends | sed 's/([^)]*)//g; s/,/ /g'); do
		case $d in
		libc6|libstdc++6|libgcc-s1) ;;
		*) fail "the package depends on $d" ;;
		esac
	done
	dpkg-deb -x "$1" "$tmp/root" && "$tmp/root/usr/bin/Vantrel" -V >/dev/null ||
		fail "the packaged binary does not run"
}

case $mode in
tree) installedtree ;;
deb) debpackage ;;
*) fail "unknown mode $mode" ;;
esac
