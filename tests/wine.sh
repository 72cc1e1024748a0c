#!/bin/sh
# Builds Vantrel.exe with mingw-w64 and tries it under wine: the sample
# file must come out of it byte for byte as it comes out of the Linux
# build, and the Linux build's end-to-end cases drive the .exe.
#
#	sh tests/wine.sh [the Linux build folder, build if none is named]
#
# Needs what the Linux build needs, and g++-mingw-w64-x86-64 and wine64.
# The .exe lands in build-win/Vantrel.exe. Wine runs in a fresh prefix
# of its own, removed at the end with all that wine made.
set -eu
cd "$(dirname "$0")/.."
linux=${1:-build}

# The first of the programs named that is installed.
first() {
	for p in "$@"; do
		command -v "$p" && return
	done
	echo "none of $* is installed" >&2
	return 1
}

wine=$(first wine64 /usr/lib/wine/wine64 wine)
wineserver=$(first wineserver /usr/lib/wine/wineserver64)

cmake --no-warn-unused-cli -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build build-win -j2
cmake -S . -B "$linux" >/dev/null
cmake --build "$linux" -j2
exe=$(pwd)/build-win/Vantrel.exe
lin=$(cd "$linux" && pwd)/Vantrel
tests=$(cd "$linux" && pwd)/tests/vantreltests

# Wine's server keeps its socket in a folder under TMPDIR.
prefix=$(mktemp -d /tmp/vantrel-wine-XXXXXX)
mkdir "$prefix/tmp"
export WINEPREFIX="$prefix" WINEDEBUG=-all TMPDIR="$prefix/tmp"
trap '"$wineserver" -k 2>/dev/null; rm -rf "$prefix"' EXIT
# One server for the whole run: one that stops between two runs of the
# tool can fail the second as it starts.
"$wineserver" -p
"$wine" wineboot -i >/dev/null 2>&1

# The sample, cleaned by both builds: the same file, and the same
# messages once the CR LF line ends are undone, all but the build time.
sample=$prefix/sample
mkdir "$sample"
cp examples/sample.sfv "$sample/in.sfv"
cr=$(printf '\r')
(
	cd "$sample"
	"$lin" -i -v in.sfv linux.sfv | grep -av '^Built at' >linux.txt
	"$wine" "$exe" -i -v in.sfv windows.sfv | LC_ALL=C sed "s/$cr\$//" |
	    grep -av '^Built at' >windows.txt
	cmp linux.sfv windows.sfv
	cmp linux.txt windows.txt
)
echo "wine: Vantrel.exe cleans the sample as the Linux build does"

VANTREL_RUNNER=$wine VANTREL_EXE=$exe "$tests" --gtest_filter='cli.*:dest.*' --gtest_brief=1
