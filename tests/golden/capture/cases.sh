#!/bin/sh
# SPDX-License-Identifier: MIT
# What rootscope-capture does with a machine it cannot copy as it is, one
# case a run: a copy of MACHINE (a headroom golden) is changed as the case
# says, captured, and checked: the capture fails naming the file and the
# reason and leaves nothing, or its copy keeps the oddity and reads exactly
# as the machine does. Cases run as an unprivileged user (root may read any
# file) exit with 77 where that is impossible.
#
#   cases.sh CASE CAPTURE MACHINE WORK ROOTSCOPE_SIM ROOTSCOPE_HEADROOM
set -eu
case_name=$1
capture=$2
work=$4
sim=$5
headroom=$6
rm -rf "$work"
mkdir -p "$work"
# Unprivileged runs need a tree that user may read, and a place to write.
chmod 755 "$work"
machine=$work/machine
cp -R "$3" "$machine"
chmod -R a+rX "$machine"
out=$work/copy
entry=$machine/sys/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00
bridge=$machine/sys/devices/pci0000:00/0000:00:07.0
nobody=

bad() {
    echo "$case_name: $*" >&2
    exit 1
}
as_nobody() {
    setpriv --reuid=65534 --regid=65534 --clear-groups "$@"
}
unprivileged() {
    chmod 777 "$work"
    # shellcheck disable=SC2016 # expanded by that shell
    if ! as_nobody sh -c 'test -x "$1" && test -x "$2" && test -w "$3"' sh "$capture" "$headroom" "$work" 2>/dev/null; then
        echo "cannot run the capture as an unprivileged user here: skipped"
        exit 77
    fi
    nobody=as_nobody
}
# refuses MESSAGE: the capture exits with 1, says exactly MESSAGE, and
# leaves no copy: an output directory that was there (keep_out) stays,
# empty; one it made is gone.
refuses() {
    status=0
    $nobody env ROOTSCOPE_CAPTURE_ROOT="$machine" "$capture" "$out" >"$work/stdout" 2>"$work/stderr" || status=$?
    [ "$status" -eq 1 ] || bad "exit $status, expected 1"
    [ "$(cat "$work/stderr")" = "$1" ] || bad "said '$(cat "$work/stderr")', expected '$1'"
    [ ! -s "$work/stdout" ] || bad "claimed a copy: $(cat "$work/stdout")"
    if [ -n "${keep_out:-}" ]; then
        { [ -d "$out" ] && [ -z "$(ls -A "$out")" ]; } || bad "did not leave $out as it was, empty"
    else
        [ ! -e "$out" ] || bad "left $out"
    fi
}
# copies: the capture succeeds, silently, and both programs read its copy
# as they read the machine.
copies() {
    status=0
    $nobody env ROOTSCOPE_CAPTURE_ROOT="$machine" timeout 60 "$capture" "$out" >/dev/null 2>"$work/stderr" ||
        status=$?
    [ "$status" -eq 0 ] || bad "exit $status: $(cat "$work/stderr")"
    [ ! -s "$work/stderr" ] || bad "said $(cat "$work/stderr")"
    for run in "$sim" "$headroom" "$headroom --json"; do
        # shellcheck disable=SC2086 # the program and its option
        $nobody $run --sysroot "$machine" </dev/null >"$work/machine.out" 2>&1 || true
        # shellcheck disable=SC2086
        $nobody $run --sysroot "$out" </dev/null >"$work/copy.out" 2>&1 || true
        cmp -s "$work/machine.out" "$work/copy.out" || bad "$run reads the copy otherwise: $(diff "$work/machine.out" "$work/copy.out")"
    done
}

case $case_name in
    no_sys)
        rm -rf "$machine/sys"
        mkdir "$out"
        keep_out=1
        refuses "rootscope-capture: cannot read $machine/sys: No such file or directory" ;;
    output_not_a_directory)
        : >"$work/file"
        out=$work/file/copy
        refuses "rootscope-capture: cannot write $out: Not a directory" ;;
    output_not_writable)
        unprivileged
        mkdir "$out"
        chmod 555 "$out"
        keep_out=1
        refuses "rootscope-capture: cannot write $out/sys: Permission denied" ;;
    unreadable_attribute)
        # The programs fail on it: so does the capture, with their words.
        unprivileged
        chmod 000 "$bridge/secondary_bus_number"
        as_nobody "$headroom" --sysroot "$machine" >/dev/null 2>"$work/program.err" && bad "the program read it"
        refuses "rootscope-capture: $(sed 's/^[^:]*: //' "$work/program.err")"
        [ "$(cat "$work/stderr")" = "rootscope-capture: cannot read $machine/sys/bus/pci/devices/0000:00:07.0/secondary_bus_number: Permission denied" ] ||
            bad "named another file" ;;
    closed_kernel_log)
        unprivileged
        chmod 000 "$machine/dev/kmsg"
        refuses "rootscope-capture: cannot read $machine/dev/kmsg: Permission denied" ;;
    unreadable_power)
        # Only whether it is there is read: it is copied, empty.
        unprivileged
        chmod 000 "$machine/sys/bus/pci/slots/1/power"
        copies
        [ -f "$out/sys/bus/pci/slots/1/power" ] || bad "dropped the power file" ;;
    dangling_physical_node)
        rm "$entry/physical_node"
        ln -s ../../../pci0000:40 "$entry/physical_node"
        copies
        [ "$(readlink "$out/${entry#"$machine"/}/physical_node")" = ../../../pci0000:40 ] || bad "changed the link"
        [ ! -e "$out/sys/devices/pci0000:40" ] || bad "made the link's target" ;;
    long_attribute)
        # 300 bytes, which the programs refuse: the copy is as long.
        { printf '\\_SB_.'; printf '%0290d' 0 | tr 0 P; printf '.PC00\n'; } >"$entry/path"
        copies
        cmp -s "$entry/path" "$out/${entry#"$machine"/}/path" || bad "cut the attribute" ;;
    fifo_attribute)
        # Opened without blocking, as the programs open it: no hang.
        rm "$entry/status"
        mkfifo "$entry/status"
        copies
        [ -p "$out/${entry#"$machine"/}/status" ] || bad "the status is no FIFO in the copy" ;;
    *)
        bad "no such case" ;;
esac
echo "$case_name: as expected"
