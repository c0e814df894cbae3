#!/bin/sh
# SPDX-License-Identifier: MIT
# Cross-builds rootscope.exe and the Windows checks (tests/windows) with
# MinGW-w64, runs the checks under Wine and makes the ZIP: the steps of the
# "windows" workflow preset, but in a cross tree of the calling build tree's
# own (BUILD_DIR/mingw, the ZIP in BUILD_DIR/mingw/packages). Nothing is
# written to the source tree, which may be read-only, and two build trees of
# one checkout never share a cross tree. Exits with 77, which CTest reports
# as skipped, when the cross compiler or Wine is missing.
# Usage: run-windows-workflow.sh CMAKE CTEST CPACK SOURCE_DIR BUILD_DIR
set -u
cmake=$1
ctest=$2
cpack=$3
source_dir=$4
tree=$5/mingw

missing=""
command -v x86_64-w64-mingw32-g++-posix >/dev/null 2>&1 || command -v x86_64-w64-mingw32-g++ >/dev/null 2>&1 ||
    missing="$missing x86_64-w64-mingw32-g++"
command -v x86_64-w64-mingw32-windres >/dev/null 2>&1 || missing="$missing x86_64-w64-mingw32-windres"
command -v wine >/dev/null 2>&1 || command -v wine64 >/dev/null 2>&1 || [ -x /usr/lib/wine/wine64 ] ||
    missing="$missing wine"
if [ -n "$missing" ]; then
    echo "skipped: not installed:$missing (Debian: g++-mingw-w64-x86-64 wine64)"
    exit 77
fi

# The configure preset gives the toolchain, generator and cache; -B puts its
# tree here instead of the preset's <source>/build/mingw. The build, test and
# package presets would each write into that directory, so their settings
# (two jobs, output on failure, no tests is an error, the ZIP generator) are
# given here directly.
cd "$source_dir" || exit 1
# The native harness of the calling build replays what the Windows program
# captures (tests/windows/CheckCapture.cmake).
replay=""
if [ -x "$5/rootscope-headroom-sim" ]; then
    replay="$5/rootscope-headroom-sim"
fi
"$cmake" --preset mingw -B "$tree" "-DROOTSCOPE_HEADROOM_REPLAY=$replay" || exit 1
# Wine makes the tree's prefix on the first program it runs: several seconds,
# mostly spent waiting on Wine's own services. Made while the cross build
# compiles, it is ready when the tests start. Should it fail, the first test
# says why.
prefix_made=""
if [ -x "$tree/wine-run" ]; then
    "$tree/wine-run" --version </dev/null >/dev/null 2>&1 &
    prefix_made=$!
fi
built=0
"$cmake" --build "$tree" -j2 || built=1
if [ -n "$prefix_made" ]; then
    wait "$prefix_made"
fi
[ "$built" -eq 0 ] || exit 1
"$ctest" --test-dir "$tree" -j2 --output-on-failure --no-tests=error || exit 1
"$cpack" --config "$tree/CPackConfig.cmake" -G ZIP -B "$tree/packages" || exit 1
