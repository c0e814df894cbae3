#!/bin/sh
# SPDX-License-Identifier: MIT
# A capture of a machine reads as the machine: copies SYSROOT with
# rootscope-capture (reading it in place of / through ROOTSCOPE_CAPTURE_ROOT)
# into WORK, then for each EXPECTED OPTION pair runs
# PROGRAM [OPTION] --sysroot WORK (an OPTION of "-" stands for none), whose
# output must be EXPECTED, the golden of the machine itself, with the exit
# code the program gives over the machine.
#
# A machine that PROGRAM cannot read at all ("PROGRAM: cannot read PATH:
# REASON") the capture must not read either: it must fail with the same path
# and reason, and leave no WORK behind.
#
#   capture-roundtrip.sh CAPTURE SYSROOT WORK PROGRAM EXPECTED OPTION [EXPECTED OPTION]...
set -eu
capture=$1
sysroot=$2
work=$3
program=$4
shift 4
option() {
    [ "$1" = - ] || printf '%s' "$1"
}
rm -rf "$work" "$work.out" "$work.err" "$work.capture.err"
mkdir -p "$(dirname "$work")"

# How the program reads the machine itself decides what the capture must do.
first=$(option "$2")
status=0
"$program" ${first:+"$first"} --sysroot "$sysroot" </dev/null >"$work.out" 2>"$work.err" || status=$?
status_capture=0
ROOTSCOPE_CAPTURE_ROOT=$sysroot "$capture" "$work" >/dev/null 2>"$work.capture.err" || status_capture=$?
if [ "$status" -ne 0 ] && grep -q '^[^:]*: cannot read ' "$work.err"; then
    expected="rootscope-capture: $(sed 's/^[^:]*: //' "$work.err")"
    if [ "$status_capture" -ne 1 ] || [ "$(cat "$work.capture.err")" != "$expected" ] || [ -e "$work" ]; then
        echo "the program cannot read $sysroot, but the capture (exit $status_capture) did not fail alike:"
        echo "expected: $expected"
        echo "got:      $(cat "$work.capture.err")"
        [ ! -e "$work" ] || echo "and it left $work"
        exit 1
    fi
    exit 0
fi
if [ "$status_capture" -ne 0 ] || [ -s "$work.capture.err" ]; then
    echo "the capture of $sysroot exited with $status_capture:"
    cat "$work.capture.err"
    exit 1
fi
while [ $# -ge 2 ]; do
    chosen=$(option "$2")
    status_copy=0
    "$program" ${chosen:+"$chosen"} --sysroot "$work" </dev/null >"$work.out" 2>&1 || status_copy=$?
    if [ "$status_copy" -ne "$status" ] || ! cmp -s "$work.out" "$1"; then
        echo "the capture of $sysroot reads otherwise than the machine itself ($program $chosen, exit $status_copy):"
        diff "$1" "$work.out" || true
        exit 1
    fi
    shift 2
done
