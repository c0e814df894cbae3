#!/bin/sh
# Cross-builds rootscope.exe and the Windows checks (tests/windows) with
# MinGW-w64 and runs the checks under Wine: the "windows" workflow preset, in
# the same source tree (build tree build/mingw). Exits with 77, which CTest reports as skipped, when the
# cross compiler or Wine is missing.
# Usage: run-windows-workflow.sh CMAKE SOURCE_DIR
set -u
cmake=$1
source_dir=$2

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

cd "$source_dir" || exit 1
exec "$cmake" --workflow --preset windows
