#!/bin/sh
# A capture of a machine reads as the machine: copies SYSROOT with
# rootscope-capture (reading it in place of / through
# ROOTSCOPE_CAPTURE_ROOT) into WORK, runs PROGRAM ARGS... --sysroot WORK and
# compares its output with EXPECTED, the golden of the machine itself.
#
#   capture-roundtrip.sh CAPTURE SYSROOT WORK EXPECTED PROGRAM [ARGS...]
set -eu
capture=$1
sysroot=$2
work=$3
expected=$4
shift 4
rm -rf "$work"
ROOTSCOPE_CAPTURE_ROOT=$sysroot "$capture" "$work" >/dev/null
"$@" --sysroot "$work" </dev/null >"$work.out"
if ! cmp -s "$work.out" "$expected"; then
    echo "the capture of $sysroot reads otherwise than the machine itself:"
    diff "$expected" "$work.out"
    exit 1
fi
