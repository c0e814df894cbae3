#!/bin/sh
# SPDX-License-Identifier: MIT
# rootscope-capture keeps of the kernel log, /proc/iomem and /proc/ioports
# exactly the lines the programs' parsers take, and reads of each resource
# file the resize files they read: a machine made of near misses is
# captured, and each copied file is held to what capture-parsers (those
# parsers) says of the original.
#
#   parsers.sh CAPTURE CAPTURE_PARSERS WORK
set -eu
capture=$1
parsers=$2
work=$3
rm -rf "$work"
machine=$work/machine
host=$machine/sys/devices/pci0000:00
mkdir -p "$host" "$machine/sys/bus/pci/devices" "$machine/dev" "$machine/proc"
failed=0
bad() {
    echo "$*" >&2
    failed=1
}

# Each line as the kernel writes it; a NUL is written @.
tr @ '\000' >"$machine/dev/kmsg" <<'LOG'
6,1,100,-;ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-7f])
6,2,100,-;acpi:  pci root	bridge [P_](domain 1 [bus 03]) and more
6,3,100,-;ACPI: PCI Root Bridge [TOOLONGXY] (domain 0000 [bus 00-7f])
6,5,100,-;ACPI: PCI Root Bridge [PC00] (domain 000000000 [bus 00-7f])
6,6,100,-;ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 80-7f])
6,7,100,-;pci_bus 0000:00: root bus resource [bus 00-ff]
6,8,100,-;pci_bus 0000:80: root bus resource [bus 00-ff]
6,9,100,-;pci_bus 0000:00: root bus resource [bus 00-ff] x
6,10,100,-;pci_bus 0000:00: root bus resource [io  0x0000-0x0cf7 window]
6,11,100,-;PCI_BUS 0000:00:  Root	Bus Resource [MEM 0x4000000000-0x7fffffffff 64bit pref window] (bus address [0x0-0x3fffffffff])
6,12,100,-;pci_bus 0000:00: root bus resource [mem 0xffffffffffffffff]
6,13,100,-;pci_bus 0000:00: root bus resource [mem 0x10000000000000000]
6,14,100,-;pci_bus 0000:00: root bus resource [mem size 0x1000 window]
6,15,100,-;pci_bus 0000:00: root bus resource [mem 0x1000-0x1fff window ]
6,16,100,-;pci_bus 0000:00: root bus resource [mem 0x1000-0x1fff] (bus address [0x1000-0x1fff]
6,17,100,-;pci_bus 0000:00: root bus resource [mem 0x2000-0x1000 disabled]
6,18,100,-;pci_bus 0000:00: root bus resource [memory 0x1000-0x1fff]
6,19,100,-;acpi PNP0A08:00: PCI host bridge to bus 0000:00
6,20,100,-;PCI HOST BRIDGE TO BUS 10000:ff	
6,21,100,-;PCI host bridge to bus 0000:00 x
6,23,100,-;pci 0000:07:00.0: BAR 1 [mem size 0x400000000 64bit pref]: can't assign; no space
6,24,100,-;nvidia 0000:07:00.0: BAR 1 [mem size 0x400000000 64bit pref]: failed to assign
6,25,100,-;pci 0000:07:00.0: VF BAR 5 [mem 0x1000-0x1fff]: assigned
6,26,100,-;pci 0000:07:00.0: ROM [mem size 0x20000 pref]: not assigned; can't enable device
6,27,100,-;pcieport 0000:00:1c.0: bridge window [io  size 0x1000]: failed  to	assign
6,28,100,-;pci 0000:07:00.0: VF BAR 6 [mem size 0x1000]: failed to assign
6,29,100,-;pci 0000:07:00.0: BAR 1 [mem size 0x0]: failed to assign
6,30,100,-;pci 0000:07:00.0: BAR 1 [mem 0x0-0xffffffffffffffff]: failed to assign
6,31,100,-;pci 0000:07:00.0: BAR 1 [mem 0x2000-0x1000]: failed to assign
6,32,100,-;pci 0000:07:00.0: BAR 1 [mem 0x1000-0x1fff]: assigned already
6,33,100,-;pci 0000:07:00.0: BAR 14: no space for [mem size 0x00200000]
6,34,100,-;pci 0000:07:00.0: BAR 17: failed to assign [mem size 0x00200000]
6,35,100,-;pci 0000:07:00.0: BAR 18: failed to assign [mem size 0x00200000]
6,36,100,-;pci 0000:07:00.0: BAR 6: assigned [mem 0xfe820000-0xfe83ffff pref]
6,38,100,-;nvme 0000:05:00.0: can't enable device: BAR 0 [mem size 0x00004000 64bit] not assigned
6,39,100,-;nvme 0000:05:00.0: can't enable device: BAR 100 [mem size 0x00004000 64bit] not assigned
6,40,100,-;nvme 0000:05:00.0: can't enable device: ROM [mem size 0x00004000] not assigned
6,41,100,-;pci 0000:05:20.0: BAR 0: assigned [mem 0x1000-0x1fff]
6,42,100,-;pci 0000:05:00.8: BAR 0: assigned [mem 0x1000-0x1fff]
6,43,100,-;aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa 0000:05:00.0: BAR 0: assigned [mem 0x1000-0x1fff]
6,44,100,-;p@i 0000:05:00.0: BAR 0: assigned [mem 0x1000-0x1fff]
6,4@5,100,-;pci 0000:05:00.0: BAR 0: assigned [mem 0x1000-0x1fff]
6,46,100,-;pci 0000:05:00.0: BAR 0: assigned [mem 0x1000-0x1fff]@
6 ,47;pci 0000:05:00.0: BAR 0: assigned [mem 0x1000-0x1fff]
 SUBSYSTEM=pci
pci 0000:05:00.0: BAR 0: assigned [mem 0x1000-0x1fff]
6,48,100,-;usb 1-1: new high-speed USB device number 2, SerialNumber: 0123456789
6,49,100,-;pci 0000:05:00.0: BAR 0: assigned [mem 0x1000-0x1fff]
LOG
tr @ '\000' >"$machine/proc/iomem" <<'IOMEM'
00000000-00000fff : Reserved
000a0000-000bffff : PCI Bus 0000:00
  c0000000-c7ffffff : PCI ECAM 0000 [bus 00-7f]
	c0000000-c7ffffff : PCI Bus 0000:00
c8000000-c7ffffff : PCI Bus 0000:00
c8000000-c8ffffff : pci bus 0001:01
c8000000-c8ffffff : PCI Bus 0000:001
c8000000-c8ffffff :  PCI Bus 0000:01
10000000000000000-1 : PCI Bus 0000:00
00000000-00000000 : PCI MMCONFIG 0000 [bus 00-ff]
e0000000-efffffff : PCI MMCONFIG 0000 [bus 00-ff] x
e0000000-efffffff : PCI ECAM 0000 [bus 00-ff]@
    d4000000-d7ffffff : PCI CardBus 0000:06
IOMEM
tr @ '\000' >"$machine/proc/ioports" <<'IOPORTS'
0000-0cf7 : PCI Bus 0000:00
  0000-001f : dma1
0cf8-0cff : PCI conf1
0d00-ffff : PCI	Bus 0000:00
  2000-1fff : PCI Bus 0000:02
  2000-2fff : PCI Bus 0000:02@
IOPORTS

# Resource files, one a function: `resources NAME LINES [INDEX START END
# FLAGS]...` (the other lines zero), then `edit NAME SED` to spoil one.
resources() {
    r_dir=$host/$1
    mkdir -p "$r_dir"
    ln -s "../../../devices/pci0000:00/$1" "$machine/sys/bus/pci/devices/$1"
    for r_bar in 0 1 2 3 4 5; do
        printf '%016x\n' 1 >"$r_dir/resource${r_bar}_resize"
    done
    r_count=$2
    shift 2
    r_index=0
    while [ "$r_index" -lt "$r_count" ]; do
        if [ $# -ge 4 ] && [ "$1" -eq "$r_index" ]; then
            printf '0x%016x 0x%016x 0x%016x\n' "$2" "$3" "$4"
            shift 4
        else
            echo "0x0000000000000000 0x0000000000000000 0x0000000000000000"
        fi
        r_index=$((r_index + 1))
    done >"$r_dir/resource"
}
edit() {
    sed "$2" "$host/$1/resource" | tr @ '\000' >"$work/edited"
    mv "$work/edited" "$host/$1/resource"
}
# A size no power of two but for Enhanced Allocation (0x20); I/O.
resources 0000:00:01.0 13 0 0xfe000000 0xfe00ffff 0x140204 2 0xfe010000 0xfe012fff 0x40200 \
    3 0xfe020000 0xfe022fff 0x40220 4 0x3000 0x303f 0x40101
# Unset, disabled, at address 0, both I/O and memory, neither.
resources 0000:00:02.0 17 0 0xfe000000 0xfe00ffff 0x20040200 1 0xfe000000 0xfe00ffff 0x10040200 \
    2 0 0xfff 0x40200 3 0xfe000000 0xfe00ffff 0x40300 4 0xfe000000 0xfe00ffff 0
# Above its end, ending at 2^64 - 1; sizes of 2^32, not a power of two
# across the halves, and one whose low half borrows.
resources 0000:00:03.0 7 0 0xfe001000 0xfe000fff 0x40200 1 0xfffffffffffff000 0xffffffffffffffff 0x40200 \
    2 0x100000000 0x1ffffffff 0x140204 3 0x100000000 0x27fffffff 0x140204 4 0xfffff000 0x100000fff 0x140204
resources 0000:00:04.0 12 5 0xfe000000 0xfe0fffff 0x40200
edit 0000:00:04.0 's/fe0fffff/FE0FFFFF/'
resources 0000:00:05.0 18 4 0xfe000000 0xfe0fffff 0x40200
# The wrong number of lines, no last newline, a NUL, a short number.
resources 0000:00:06.0 14 0 0xfe000000 0xfe0fffff 0x40200
resources 0000:00:07.0 13 0 0xfe000000 0xfe0fffff 0x40200
text=$(cat "$host/0000:00:07.0/resource")
printf '%s' "$text" >"$host/0000:00:07.0/resource"
resources 0000:00:08.0 13 0 0xfe000000 0xfe0fffff 0x40200
edit 0000:00:08.0 '13s/^0x00/0x@0/'
resources 0000:00:09.0 13 0 0xfe000000 0xfe0fffff 0x40200
edit 0000:00:09.0 '13s/^0x00/0x/'

out=$work/copy
ROOTSCOPE_CAPTURE_ROOT=$machine "$capture" "$out" >/dev/null
for file in dev/kmsg proc/iomem proc/ioports; do
    case $file in
        dev/kmsg) kind=log ;;
        *) kind=${file#proc/} ;;
    esac
    "$parsers" "$kind" <"$machine/$file" >"$work/expected"
    cmp -s "$work/expected" "$out/$file" || bad "$file: $(diff "$work/expected" "$out/$file")"
done
for dir in "$host"/*; do
    name=${dir##*/}
    expected=$("$parsers" resource "$dir/resource")
    copied=$(cd "$out/sys/devices/pci0000:00/$name" && printf ' %s' resource?_resize 2>/dev/null | sed 's/ resource?_resize$//')
    [ "${expected##*/resource:}" = "$copied" ] ||
        bad "$name: the programs read${expected##*/resource:}, the capture copied$copied"
done
[ "$(grep -c . "$out/dev/kmsg")" -ge 15 ] || bad "the log's lines were not tried: $(cat "$out/dev/kmsg")"
exit "$failed"
