#!/bin/sh
# SPDX-License-Identifier: MIT
# Copyright (c) 2026 the Vantrel developers
# Builds Vantrel.exe with mingw-w64 and runs the end-to-end cases against
# it under wine, in a fresh prefix of its own that is removed at the end.
#
#	sh tests/wine.sh [the Linux build folder, build if none is named]
set -eu
cd "$(dirname "$0")/.."
linux=${1:-build}
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
wineserver=$(command -v wineserver || echo /usr/lib/wine/wineserver64)
cmake --no-warn-unused-cli -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake >/dev/null
cmake --build build-win -j2
cmake -S . -B "$linux" >/dev/null && cmake --build "$linux" -j2
# Wine's server keeps its socket under TMPDIR; one server serves every run.
prefix=$(mktemp -d /tmp/vantrel-wine-XXXXXX) && mkdir "$prefix/tmp"
export WINEPREFIX="$prefix" WINEDEBUG=-all TMPDIR="$prefix/tmp" LC_ALL=C.UTF-8
trap '"$wineserver" -k 2>/dev/null; rm -rf "$prefix"' EXIT
"$wineserver" -p
"$wine" wineboot -i >/dev/null 2>&1
VANTREL_RUNNER=$wine VANTREL_EXE=$(pwd)/build-win/Vantrel.exe "$linux/tests/vantreltests" \
    --gtest_filter='cli.*:dest.*' --gtest_brief=1
