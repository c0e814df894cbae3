#!/usr/bin/env bash
# Writes the hand-made machines of the headroom goldens, each laid out as
# the kernel lays out sysfs (functions nested in their bridges' directories,
# sys/bus/pci/devices and the ACPI entries as relative links), with the
# kernel log and /proc/iomem lines that matter. The directories are
# committed; run this only to change them, then re-bless (HACKING.md).
#
#   make-sysroots.sh [DIR]     (default: the directory of this script)
set -euo pipefail
out=${1:-$(cd "$(dirname "$0")" && pwd)}

root=""
put() { # put FILE TEXT: a one-line attribute
    mkdir -p "$(dirname "$root/$1")"
    printf '%s\n' "$2" >"$root/$1"
}
begin() { # begin NAME: a new, empty machine
    root=$out/$1
    rm -rf "$root"
    mkdir -p "$root/sys/bus/acpi/devices" "$root/sys/bus/pci/devices" "$root/sys/devices/LNXSYSTM:00/LNXSYBUS:00" \
        "$root/dev" "$root/proc"
    put sys/devices/LNXSYSTM:00/hid LNXSYSTM
    put sys/devices/LNXSYSTM:00/path '\'
    put sys/devices/LNXSYSTM:00/LNXSYBUS:00/hid LNXSYBUS
    put sys/devices/LNXSYSTM:00/LNXSYBUS:00/path '\_SB_'
    ln -s ../../../devices/LNXSYSTM:00 "$root/sys/bus/acpi/devices/LNXSYSTM:00"
    ln -s ../../../devices/LNXSYSTM:00/LNXSYBUS:00 "$root/sys/bus/acpi/devices/LNXSYBUS:00"
    : >"$root/proc/iomem"
}
log() { # log TEXT: one kernel-log record
    local sequence=0
    [ -f "$root/dev/kmsg" ] && sequence=$(wc -l <"$root/dev/kmsg")
    printf '6,%d,%d,-;%s\n' "$sequence" $((290000 + 7 * sequence)) "$1" >>"$root/dev/kmsg"
}
iomem() { printf '%s\n' "$1" >>"$root/proc/iomem"; }
host_bridge() { # host_bridge DIR: a host bridge directory such as pci0000:00, or nested deeper
    mkdir -p "$root/sys/devices/$1"
    : >"$root/sys/devices/$1/uevent"
}
acpi_root_bridge() { # acpi_root_bridge ENTRY UID NAME HOST: a started PNP0A08 bound to HOST
    local dir=sys/devices/LNXSYSTM:00/LNXSYBUS:00/$1
    put "$dir/hid" PNP0A08
    put "$dir/uid" "$2"
    put "$dir/path" "\\_SB_.$3"
    put "$dir/status" 15
    ln -s "../../../$4" "$root/$dir/physical_node"
    ln -s "../../../devices/LNXSYSTM:00/LNXSYBUS:00/$1" "$root/sys/bus/acpi/devices/$1"
}
function_at() { # function_at PARENT_DIR ADDRESS CLASS [SECONDARY SUBORDINATE]: a function below PARENT_DIR
    local dir=sys/devices/$1/$2
    mkdir -p "$root/$dir"
    put "$dir/class" "$3"
    if [ $# -ge 5 ]; then
        put "$dir/secondary_bus_number" "$4"
        put "$dir/subordinate_bus_number" "$5"
    fi
    ln -s "../../../devices/$1/$2" "$root/sys/bus/pci/devices/$2"
}
slot() { # slot NAME ADDRESS [hotplug]
    put "sys/bus/pci/slots/$1/address" "$2"
    if [ "${3:-}" = hotplug ]; then
        put "sys/bus/pci/slots/$1/power" 1
    fi
}
ioports() { printf '%s\n' "$1" >>"$root/proc/ioports"; }
root_windows() { # root_windows DDDD:BB RESOURCE...: a host bridge's registration and its windows, as logged
    local bus=$1 resource
    shift
    log "PCI host bridge to bus $bus"
    for resource in "$@"; do
        log "pci_bus $bus: root bus resource [$resource]"
    done
}

# The flags a resource file gives (include/linux/ioport.h, kernels since
# 3.x): type, prefetchable, 64-bit, "size is alignment", and a BAR's own
# low bits.
M32=0x40200   # 32-bit memory BAR
M64=0x140204  # 64-bit memory BAR
P64=0x14220c  # 64-bit prefetchable BAR
IOB=0x40101   # I/O BAR
ROM=0x46200   # expansion ROM
WIO=0x101     # a bridge's 32-bit I/O window
WMEM=0x200    # its memory window
WPREF=0x102201  # its 64-bit prefetchable window
resources() { # resources DIR LINES [INDEX START END FLAGS]...: the resource file of sys/devices/DIR
    local file=$root/sys/devices/$1/resource count=$2 i
    shift 2
    local -a lines=()
    for ((i = 0; i < count; i++)); do
        lines[i]="0x0000000000000000 0x0000000000000000 0x0000000000000000"
    done
    while [ $# -ge 4 ]; do
        lines[$1]=$(printf '0x%016x 0x%016x 0x%016x' "$2" "$3" "$4")
        shift 4
    done
    printf '%s\n' "${lines[@]}" >"$file"
}
endpoint() { # endpoint DIR [INDEX START END FLAGS]...: 13 lines, as a kernel built with SR-IOV writes them
    local dir=$1
    shift
    resources "$dir" 13 "$@"
}
bridge() { # bridge DIR IO MEM PREF [INDEX START END FLAGS]...: 17 lines; a window is "START END", or - when closed
    local dir=$1 io=$2 mem=$3 pref=$4
    shift 4
    local -a windows=()
    [ "$io" = - ] || windows+=(13 ${io% *} ${io#* } $WIO)
    [ "$mem" = - ] || windows+=(14 ${mem% *} ${mem#* } $WMEM)
    [ "$pref" = - ] || windows+=(15 ${pref% *} ${pref#* } $WPREF)
    resources "$dir" 17 "$@" "${windows[@]}"
}
resize() { # resize DIR N SIZES: resourceN_resize, bit k set for 2^(20+k) bytes
    printf '%016x\n' "$3" >"$root/sys/devices/$1/resource$2_resize"
}

# ---- a laptop: Thunderbolt root ports padded for hot-plug, a dock on one -----
begin laptop_thunderbolt
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-7f])"
root_windows 0000:00 "io  0x0000-0x0cf7 window" "io  0x0d00-0xffff window" "mem 0x000a0000-0x000bffff window" \
    "mem 0x80000000-0xbfffffff window" "mem 0x4000000000-0x7fffffffff window"
log "pci_bus 0000:00: root bus resource [bus 00-7f]"
iomem "  c0000000-c7ffffff : PCI ECAM 0000 [bus 00-7f]"
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
endpoint $p/0000:00:00.0
function_at $p 0000:00:02.0 0x030000
endpoint $p/0000:00:02.0 0 0x4010000000 0x4010ffffff $M64 2 0x4000000000 0x400fffffff $P64 4 0x3000 0x303f $IOB
# The firmware gave each Thunderbolt port 448 MiB below 4 GiB and 512 MiB
# of 64-bit prefetchable space.
function_at $p 0000:00:07.0 0x060400 3 44
bridge $p/0000:00:07.0 "0x4000 0x4fff" "0x80000000 0x9bffffff" "0x4020000000 0x403fffffff"
function_at $p 0000:00:07.1 0x060400 45 86
bridge $p/0000:00:07.1 "0x5000 0x5fff" "0x9c000000 0xb7ffffff" "0x4040000000 0x405fffffff"
function_at $p 0000:00:0d.0 0x0c0330
endpoint $p/0000:00:0d.0 0 0xb8000000 0xb800ffff $M64
function_at $p 0000:00:1c.0 0x060400 1 1
bridge $p/0000:00:1c.0 - "0xb8100000 0xb81fffff" -
function_at $p/0000:00:1c.0 0000:01:00.0 0x028000
endpoint $p/0000:00:1c.0/0000:01:00.0 0 0xb8100000 0xb8103fff $M64
function_at $p 0000:00:1d.0 0x060400 2 2
bridge $p/0000:00:1d.0 - "0xb8200000 0xb82fffff" -
function_at $p/0000:00:1d.0 0000:02:00.0 0x010802
endpoint $p/0000:00:1d.0/0000:02:00.0 0 0xb8200000 0xb8203fff $M64
# The dock on the first Thunderbolt port: a switch whose second downstream
# port is padded for hot-plug too.
function_at $p/0000:00:07.0 0000:03:00.0 0x060400 4 44
bridge $p/0000:00:07.0/0000:03:00.0 "0x4000 0x4fff" "0x80000000 0x9bffffff" "0x4020000000 0x403fffffff"
function_at $p/0000:00:07.0/0000:03:00.0 0000:04:00.0 0x060400 5 5
bridge $p/0000:00:07.0/0000:03:00.0/0000:04:00.0 - "0x80000000 0x800fffff" -
function_at $p/0000:00:07.0/0000:03:00.0 0000:04:01.0 0x060400 6 44
bridge $p/0000:00:07.0/0000:03:00.0/0000:04:01.0 "0x4000 0x4fff" "0x80100000 0x9bffffff" "0x4020000000 0x403fffffff"
function_at $p/0000:00:07.0/0000:03:00.0/0000:04:00.0 0000:05:00.0 0x0c0330
endpoint $p/0000:00:07.0/0000:03:00.0/0000:04:00.0/0000:05:00.0 0 0x80000000 0x8000ffff $M64
slot 1 0000:03:00 hotplug
slot 2 0000:2d:00 hotplug
slot 1-1 0000:06:00 hotplug

# ---- a two-socket server: four root buses in two segments ---------------------
begin two_socket_server
# Each root bus has its own I/O range, 256 MiB below 4 GiB and 64 GiB above.
for bridge in "0 0000 00 7f PC00 0 0x0000 0xa" "1 0000 80 ff PC01 1 0x4000 0xb" "2 0001 00 7f PC02 2 0x8000 0xc" \
    "3 0001 80 ff PC03 3 0xc000 0xd"; do
    set -- $bridge
    host_bridge "pci$2:$3"
    acpi_root_bridge "PNP0A08:0$1" "$6" "$5" "pci$2:$3"
    log "ACPI: PCI Root Bridge [$5] (domain $2 [bus $3-$4])"
    if [ "$1" = 0 ]; then
        root_windows "$2:$3" "io  0x0000-0x0cf7 window" "io  0x1000-0x3fff window" "mem 0x000a0000-0x000bffff window" \
            "mem 0xa0000000-0xafffffff window" "mem 0x200000000000-0x200fffffffff window"
    else
        root_windows "$2:$3" "$(printf 'io  0x%04x-0x%04x window' "$7" $(($7 + 0x3fff)))" \
            "mem ${8}0000000-${8}fffffff window" "$(printf 'mem 0x%x-0x%x window' $((0x200000000000 + $1 * 0x1000000000)) \
            $((0x200fffffffff + $1 * 0x1000000000)))"
    fi
done
iomem "  80000000-8fffffff : PCI MMCONFIG 0000 [bus 00-ff]"
iomem "  90000000-9fffffff : PCI MMCONFIG 0001 [bus 00-ff]"
function_at pci0000:00 0000:00:00.0 0x060000
endpoint pci0000:00/0000:00:00.0
function_at pci0000:00 0000:00:1f.0 0x060100
endpoint pci0000:00/0000:00:1f.0
function_at pci0000:00 0000:00:01.0 0x060400 1 1
bridge pci0000:00/0000:00:01.0 - "0xa0000000 0xa01fffff" "0x200000000000 0x200007ffffff"
function_at pci0000:00/0000:00:01.0 0000:01:00.0 0x020000
endpoint pci0000:00/0000:00:01.0/0000:01:00.0 0 0x200000000000 0x200001ffffff $P64 2 0x200004000000 0x200004007fff $P64 \
    6 0xa0000000 0xa007ffff $ROM
function_at pci0000:00/0000:00:01.0 0000:01:00.1 0x020000
endpoint pci0000:00/0000:00:01.0/0000:01:00.1 0 0x200002000000 0x200003ffffff $P64 2 0x200004008000 0x20000400ffff $P64 \
    6 0xa0080000 0xa00fffff $ROM
function_at pci0000:00 0000:00:02.0 0x060400 2 2
bridge pci0000:00/0000:00:02.0 - - -
function_at pci0000:80 0000:80:00.0 0x060000
endpoint pci0000:80/0000:80:00.0
# A switch with a GPU of 4 GiB and 32 MiB prefetchable BARs, and two empty ports.
sw=pci0000:80/0000:80:02.0
function_at pci0000:80 0000:80:02.0 0x060400 129 133
bridge $sw - "0xb0000000 0xb1ffffff" "0x201000000000 0x2011ffffffff"
function_at $sw 0000:81:00.0 0x060400 130 133
bridge $sw/0000:81:00.0 - "0xb0000000 0xb0ffffff" "0x201000000000 0x2011ffffffff" 0 0xb1000000 0xb103ffff $M32
function_at $sw/0000:81:00.0 0000:82:00.0 0x060400 131 131
bridge $sw/0000:81:00.0/0000:82:00.0 - "0xb0000000 0xb0ffffff" "0x201000000000 0x2011ffffffff"
function_at $sw/0000:81:00.0 0000:82:01.0 0x060400 132 132
bridge $sw/0000:81:00.0/0000:82:01.0 - - -
function_at $sw/0000:81:00.0 0000:82:02.0 0x060400 133 133
bridge $sw/0000:81:00.0/0000:82:02.0 - - -
function_at $sw/0000:81:00.0/0000:82:00.0 0000:83:00.0 0x030200
endpoint $sw/0000:81:00.0/0000:82:00.0/0000:83:00.0 0 0xb0000000 0xb0ffffff $M32 1 0x201000000000 0x2010ffffffff $P64 \
    3 0x201100000000 0x201101ffffff $P64
function_at pci0001:00 0001:00:00.0 0x060000
endpoint pci0001:00/0001:00:00.0
function_at pci0001:00 0001:00:03.0 0x060400 1 1
bridge pci0001:00/0001:00:03.0 - "0xc0000000 0xc00fffff" -
function_at pci0001:00/0001:00:03.0 0001:01:00.0 0x010802
endpoint pci0001:00/0001:00:03.0/0001:01:00.0 0 0xc0000000 0xc0003fff $M64
function_at pci0001:80 0001:80:00.0 0x060000
endpoint pci0001:80/0001:80:00.0
function_at pci0001:80 0001:80:01.0 0x060400 129 129
bridge pci0001:80/0001:80:01.0 - - -
slot 2 0000:02:00
slot 5 0000:83:00
slot 6 0000:84:00
slot 7 0000:85:00
slot 11 0001:81:00

# ---- a VMD domain: a host bridge nested below a device ------------------------
begin vmd_domain
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-fe])"
root_windows 0000:00 "io  0x0000-0x0cf7 window" "io  0x0d00-0xffff window" "mem 0x000a0000-0x000bffff window" \
    "mem 0x40000000-0xdfffffff window" "mem 0x6000000000-0x7fffffffff window"
log "pci_bus 0000:00: root bus resource [bus 00-fe]"
# The VMD controller's host bridge forwards what lies in its BARs 2 and 4
# (the start of BAR 4 holds its MSI-X table), printed without " window".
log "vmd 0000:00:0e.0: PCI host bridge to bus 10000:e0"
log "pci_bus 10000:e0: root bus resource [bus e0-ff]"
log "pci_bus 10000:e0: root bus resource [mem 0x50000000-0x51ffffff]"
log "pci_bus 10000:e0: root bus resource [mem 0x6002102000-0x60021fffff 64bit]"
iomem "  e0000000-efffffff : PCI ECAM 0000 [bus 00-fe]"
function_at pci0000:00 0000:00:00.0 0x060000
endpoint pci0000:00/0000:00:00.0
function_at pci0000:00 0000:00:0e.0 0x010400
endpoint pci0000:00/0000:00:0e.0 0 0x6000000000 0x6001ffffff $P64 2 0x50000000 0x51ffffff $M64 \
    4 0x6002100000 0x60021fffff $M64
host_bridge pci0000:00/0000:00:0e.0/pci10000:e0
v=pci0000:00/0000:00:0e.0/pci10000:e0
function_at $v 10000:e0:1d.0 0x060400 225 225
bridge $v/10000:e0:1d.0 - "0x50000000 0x500fffff" -
function_at $v/10000:e0:1d.0 10000:e1:00.0 0x010802
endpoint $v/10000:e0:1d.0/10000:e1:00.0 0 0x50000000 0x50003fff $M64
function_at $v 10000:e0:1d.1 0x060400 226 226
bridge $v/10000:e0:1d.1 - - -

# ---- an SR-IOV device whose virtual functions sit on a bus of their own --------
begin sriov_virtual_bus
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-3f])"
root_windows 0000:00 "io  0x0000-0x0cf7 window" "io  0x0d00-0xffff window" "mem 0x80000000-0xdfffffff window" \
    "mem 0x6000000000-0x7fffffffff window"
function_at pci0000:00 0000:00:00.0 0x060000
endpoint pci0000:00/0000:00:00.0
function_at pci0000:00 0000:00:01.0 0x060400 1 2
bridge pci0000:00/0000:00:01.0 - - "0x6000000000 0x60007fffff"
# The physical function's SR-IOV BARs hold those of all its four virtual
# functions (16 KiB each); three are enabled.
function_at pci0000:00/0000:00:01.0 0000:01:00.0 0x020000
endpoint pci0000:00/0000:00:01.0/0000:01:00.0 0 0x6000000000 0x60003fffff $P64 3 0x6000400000 0x6000403fff $P64 \
    7 0x6000410000 0x600041ffff $P64 10 0x6000420000 0x600042ffff $P64
n=0
for vf in 0000:02:00.0 0000:02:00.1 0000:02:00.2; do
    function_at pci0000:00/0000:00:01.0 $vf 0x020000
    ln -s ../0000:01:00.0 "$root/sys/devices/pci0000:00/0000:00:01.0/$vf/physfn"
    endpoint pci0000:00/0000:00:01.0/$vf 0 $((0x6000410000 + n * 0x4000)) $((0x6000413fff + n * 0x4000)) $P64 \
        3 $((0x6000420000 + n * 0x4000)) $((0x6000423fff + n * 0x4000)) $P64
    n=$((n + 1))
done

# ---- a kernel before 4.13: bridge windows from config space only --------------
# As a 2.6.32 kernel built with SR-IOV wrote its files: 18 lines for a
# bridge, and the prefetchable bit where the bus-number type is now
# (0x1000). Without "root bus resource" lines in its log, the root windows
# come from /proc/iomem and /proc/ioports, as root reads them.
begin kernel_before_4_13
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PCI0 pci0000:00
log "ACPI: PCI Root Bridge [PCI0] (domain 0000 [bus 00-ff])"
iomem "000a0000-000bffff : PCI Bus 0000:00"
iomem "c0000000-dfffffff : PCI Bus 0000:00"
iomem "  d0000000-d00fffff : PCI Bus 0000:02"
iomem "  d4000000-d7ffffff : PCI CardBus 0000:06"
iomem "e0000000-efffffff : PCI MMCONFIG 0000 [bus 00-ff]"
iomem "f0000000-febfffff : PCI Bus 0000:00"
iomem "  f0000000-f01fffff : PCI Bus 0000:02"
iomem "  f0800000-f08fffff : PCI Bus 0000:07"
ioports "0000-0cf7 : PCI Bus 0000:00"
ioports "  0000-001f : dma1"
ioports "0cf8-0cff : PCI conf1"
ioports "0d00-ffff : PCI Bus 0000:00"
ioports "  2000-2fff : PCI Bus 0000:02"
config() { # config ADDRESS_DIR TYPE SECONDARY SUBORDINATE [OFFSET=BYTE]...: 64 bytes as a user reads them
    local dir=$1 bytes="" i
    local -a header=()
    for i in $(seq 0 63); do header[i]=0; done
    header[14]=$2
    header[25]=$3
    header[26]=$4
    shift 4
    for i in "$@"; do header[$((${i%=*}))]=$((${i#*=})); done
    for i in $(seq 0 63); do bytes+=$(printf '\\x%02x' "${header[i]}"); done
    printf "$bytes" >"$root/sys/devices/$dir/config"
}
O32=0x20200     # a 32-bit memory BAR, I/O BAR and ROM, as flagged then
OIO=0x20101
OROM=0x27200
function_at pci0000:00 0000:00:00.0 0x060000
config pci0000:00/0000:00:00.0 0 0 0
resources pci0000:00/0000:00:00.0 13
function_at pci0000:00 0000:00:1c.0 0x060400
config pci0000:00/0000:00:1c.0 0x81 2 5 0x1c=0x20 0x1d=0x20 0x21=0xf0 0x22=0x10 0x23=0xf0 0x25=0xd0 0x27=0xd0
resources pci0000:00/0000:00:1c.0 18 13 0x2000 0x2fff 0x100 14 0xf0000000 0xf01fffff 0x200 \
    15 0xd0000000 0xd00fffff 0x1200
function_at pci0000:00/0000:00:1c.0 0000:02:00.0 0x060400
config pci0000:00/0000:00:1c.0/0000:02:00.0 1 3 3 0x1c=0x20 0x1d=0x20 0x21=0xf0 0x23=0xf0 0x24=0xf0 0x25=0xff
resources pci0000:00/0000:00:1c.0/0000:02:00.0 18 13 0x2000 0x2fff 0x100 14 0xf0000000 0xf00fffff 0x200
function_at pci0000:00/0000:00:1c.0/0000:02:00.0 0000:03:00.0 0x020000
config pci0000:00/0000:00:1c.0/0000:02:00.0/0000:03:00.0 0 0 0
resources pci0000:00/0000:00:1c.0/0000:02:00.0/0000:03:00.0 13 0 0xf0000000 0xf001ffff $O32 2 0x2000 0x201f $OIO \
    6 0xf0020000 0xf003ffff $OROM
# A CardBus bridge: two I/O and two memory windows, the first memory one
# prefetchable; its own registers in BAR 0.
function_at pci0000:00 0000:00:1e.0 0x060700
config pci0000:00/0000:00:1e.0 2 6 6 0x10=0x00 0x11=0x00 0x12=0x40 0x13=0xf0 0x1f=0xd4 0x21=0xf0 0x22=0xff 0x23=0xd7 \
    0x27=0xf4 0x29=0xf0 0x2a=0xff 0x2b=0xf7 0x2d=0x30 0x30=0xfc 0x31=0x30 0x35=0x34 0x38=0xfc 0x39=0x34 0x3f=0x01
resources pci0000:00/0000:00:1e.0 18 0 0xf0400000 0xf0400fff $O32 13 0x3000 0x30ff 0x100 14 0x3400 0x34ff 0x100 \
    15 0xd4000000 0xd7ffffff 0x1200 16 0xf4000000 0xf7ffffff 0x200
# A bridge whose class is unreadable: its header still says what it is.
# The kernel did not scan behind it, so its file has no window lines: its
# memory window comes from its header.
function_at pci0000:00 0000:00:1f.0 garbage
config pci0000:00/0000:00:1f.0 1 7 7 0x1c=0xf0 0x20=0x80 0x21=0xf0 0x22=0x80 0x23=0xf0 0x24=0xf0 0x25=0xff
resources pci0000:00/0000:00:1f.0 13

# ---- firmware problems: windows that cannot be, a bus with no bridge ----------
begin firmware_problems
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-05])"
root_windows 0000:00 "io  0x0000-0x0cf7 window" "io  0x0d00-0xffff window" "mem 0x90000000-0x9fffffff window"
function_at pci0000:00 0000:00:00.0 0x060000
endpoint pci0000:00/0000:00:00.0
# The bridge below 0000:00:1c.0 has its registers outside 1c.0's window,
# and the windows of 1d.0 and 1d.1 overlap, as their bus numbers do.
function_at pci0000:00 0000:00:1c.0 0x060400 2 4
bridge pci0000:00/0000:00:1c.0 - "0x91000000 0x911fffff" -
function_at pci0000:00/0000:00:1c.0 0000:02:00.0 0x060400 5 7
bridge pci0000:00/0000:00:1c.0/0000:02:00.0 - "0x91000000 0x910fffff" - 0 0x92000000 0x92003fff $M32
function_at pci0000:00 0000:00:1c.1 0x060400 0 0
bridge pci0000:00/0000:00:1c.1 - - -
function_at pci0000:00 0000:00:1c.2 0x060400 x 3
bridge pci0000:00/0000:00:1c.2 - - -
function_at pci0000:00 0000:00:1c.3 0x060400 1 300
bridge pci0000:00/0000:00:1c.3 - - -
function_at pci0000:00 0000:00:1c.4 0x060400
put sys/devices/pci0000:00/0000:00:1c.4/secondary_bus_number 6  # and no subordinate_bus_number
bridge pci0000:00/0000:00:1c.4 - - -
function_at pci0000:00 0000:00:1d.0 0x060400 1 1
bridge pci0000:00/0000:00:1d.0 - "0x94000000 0x940fffff" -
function_at pci0000:00 0000:00:1d.1 0x060400 1 1
bridge pci0000:00/0000:00:1d.1 - "0x94000000 0x941fffff" -
function_at pci0000:00 0000:09:00.0 0x020000
endpoint pci0000:00/0000:09:00.0 0 0x95000000 0x95003fff $M64
# An entry whose link loops, one that leads to the root itself and one
# whose directory lies outside every host bridge: none is a function here.
ln -s 0000:00:1f.7 "$root/sys/bus/pci/devices/0000:00:1f.7"
ln -s / "$root/sys/bus/pci/devices/0000:00:1f.5"
mkdir -p "$root/sys/devices/platform/0000:00:1f.6"
: >"$root/sys/devices/platform/0000:00:1f.6/uevent"  # git keeps no empty directory
ln -s ../../../devices/platform/0000:00:1f.6 "$root/sys/bus/pci/devices/0000:00:1f.6"

# ---- no kernel log: the ranges from the ECAM window alone ---------------------
begin ecam_range_only
host_bridge pci0000:00
host_bridge pci0000:80
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
acpi_root_bridge PNP0A08:01 1 PC01 pci0000:80
iomem "  e0000000-efffffff : PCI ECAM 0000 [bus 00-ff]"
rm -f "$root/dev/kmsg"
function_at pci0000:00 0000:00:00.0 0x060000
endpoint pci0000:00/0000:00:00.0
function_at pci0000:00 0000:00:1c.0 0x060400 1 1
bridge pci0000:00/0000:00:1c.0 - "0xc0000000 0xc00fffff" -
function_at pci0000:80 0000:80:00.0 0x060000
endpoint pci0000:80/0000:80:00.0

# ---- slots without a port -----------------------------------------------------
begin slots_without_port
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-1f])"
root_windows 0000:00 "io  0x0000-0x0cf7 window" "io  0x0d00-0xffff window" "mem 0xc0000000-0xdfffffff window"
function_at pci0000:00 0000:00:00.0 0x060000
endpoint pci0000:00/0000:00:00.0
function_at pci0000:00 0000:00:1c.0 0x060400 1 3
bridge pci0000:00/0000:00:1c.0 "0x1000 0x1fff" "0xc0000000 0xc03fffff" "0xc0400000 0xc07fffff"
function_at pci0000:00 0000:00:1f.0 0x060100
endpoint pci0000:00/0000:00:1f.0
slot 3 0000:01:00 hotplug
slot 4 0000:05:00
slot ISA 0000:00
slot ghost 0003:00:00
slot bad 'bus five'

# ---- a virtual machine: hot-plug slots on the root bus itself -----------------
# As a hypervisor lays them out: each slot is a device number of bus 00,
# and only the one at device 03 holds a card.
begin vm_hotplug_slots
host_bridge pci0000:00
acpi_root_bridge PNP0A03:00 0 PCI0 pci0000:00
log "ACPI: PCI Root Bridge [PCI0] (domain 0000 [bus 00-ff])"
# A hypervisor's windows; its configuration window is listed as a range the
# bridge uses itself.
root_windows 0000:00 "io  0x0000-0x0cf7 window" "io  0x0d00-0xffff window" "mem 0x000a0000-0x000bffff window" \
    "mem 0xb0000000-0xbfffffff" "mem 0xc0000000-0xfebfffff window" "mem 0x800000000-0xfffffffff window"
log "pci_bus 0000:00: root bus resource [bus 00-ff]"
iomem "  b0000000-bfffffff : PCI MMCONFIG 0000 [bus 00-ff]"
function_at pci0000:00 0000:00:00.0 0x060000
endpoint pci0000:00/0000:00:00.0
function_at pci0000:00 0000:00:01.0 0x060100
endpoint pci0000:00/0000:00:01.0
function_at pci0000:00 0000:00:02.0 0x030000
endpoint pci0000:00/0000:00:02.0 0 0xc0000000 0xc0ffffff 0x42208 2 0xc1000000 0xc1000fff $M32 6 0xc1010000 0xc101ffff $ROM
function_at pci0000:00 0000:00:03.0 0x020000
endpoint pci0000:00/0000:00:03.0 0 0xc1020000 0xc1020fff $M32 4 0x800000000 0x800003fff $P64 6 0xc1040000 0xc107ffff $ROM
for device in 3 4 5 6 7; do
    slot "$device" "0000:00:0$device" hotplug
done

# ---- slots that cannot take what they seem to offer ---------------------------
# A hot-plug port whose window [01-10] holds the windows of two bridges
# beside it, [02-03] and [05-06]: only 07-10 is left in a row. Another
# hot-plug port's window holds one number, too few for any chassis. And
# one function reached by three entries, one of them with a domain of five
# digits: it is one bridge, not three that overlap.
begin slot_corner_cases
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-3f])"
root_windows 0000:00 "io  0x0000-0x0cf7 window" "io  0x0d00-0xffff window" "mem 0xc0000000-0xdfffffff window"
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
endpoint $p/0000:00:00.0
function_at $p 0000:00:1c.0 0x060400 1 16
bridge $p/0000:00:1c.0 "0x1000 0x1fff" "0xc0000000 0xc1ffffff" -
function_at $p 0000:00:1c.1 0x060400 2 3
bridge $p/0000:00:1c.1 - "0xc2000000 0xc20fffff" -
function_at $p 0000:00:1c.2 0x060400 5 6
bridge $p/0000:00:1c.2 - "0xc2100000 0xc21fffff" -
function_at $p 0000:00:1d.0 0x060400 17 17
bridge $p/0000:00:1d.0 "0x2000 0x2fff" "0xc2200000 0xc23fffff" -
function_at $p 0000:00:1e.0 0x060400 18 20
bridge $p/0000:00:1e.0 - "0xc2400000 0xc24fffff" -
ln -s ../../../devices/$p/0000:00:1e.0 "$root/sys/bus/pci/devices/00000:00:1e.0"
ln -s ../../../devices/$p/0000:00:1e.0 "$root/sys/bus/pci/devices/0000:00:1e.00"
slot 1 0000:01:00 hotplug
slot 2 0000:11:00 hotplug
slot 3 0000:12:00

# ---- a Thunderbolt laptop whose external GPU's 16 GiB BAR got no space --------
# The firmware gave each Thunderbolt port 512 MiB of prefetchable space. The
# enclosure's GPU asks for 16 GiB: the kernel (6.8 and later, by its
# messages) could not grow the port's window, so BAR 1 is left without an
# address and the driver cannot enable the GPU. An enclosure plugged into
# the second port earlier and removed since left a line for a function that
# is no longer there.
begin thunderbolt_egpu
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-ff])"
root_windows 0000:00 "io  0x0000-0x0cf7 window" "io  0x0d00-0xffff window" "mem 0x000a0000-0x000bffff window" \
    "mem 0x80000000-0xbfffffff window" "mem 0x4000000000-0x7fffffffff window"
log "pci_bus 0000:00: root bus resource [bus 00-ff]"
iomem "  c0000000-cfffffff : PCI ECAM 0000 [bus 00-ff]"
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
endpoint $p/0000:00:00.0
function_at $p 0000:00:02.0 0x030000
endpoint $p/0000:00:02.0 0 0x6000000000 0x6000ffffff $M64 2 0x4000000000 0x400fffffff $P64 4 0x3000 0x303f $IOB
function_at $p 0000:00:07.0 0x060400 32 73
bridge $p/0000:00:07.0 "0x4000 0x4fff" "0x80000000 0x9bffffff" "0x4020000000 0x403fffffff"
e=$p/0000:00:07.0/0000:20:00.0
function_at $p/0000:00:07.0 0000:20:00.0 0x060400 33 73
bridge $e "0x4000 0x4fff" "0x80000000 0x9bffffff" "0x4020000000 0x403fffffff"
function_at $e 0000:21:01.0 0x060400 34 34
bridge $e/0000:21:01.0 "0x4000 0x4fff" "0x80000000 0x81ffffff" "0x4020000000 0x403fffffff"
function_at $e/0000:21:01.0 0000:22:00.0 0x030000
endpoint $e/0000:21:01.0/0000:22:00.0 0 0x81000000 0x81ffffff $M32 3 0x4020000000 0x4021ffffff $P64 \
    5 0x4000 0x407f $IOB 6 0x80000000 0x8007ffff $ROM
function_at $e/0000:21:01.0 0000:22:00.1 0x040300
endpoint $e/0000:21:01.0/0000:22:00.1 0 0x80080000 0x80083fff $M32
function_at $e 0000:21:02.0 0x060400 35 35
bridge $e/0000:21:02.0 - "0x82000000 0x820fffff" -
function_at $e/0000:21:02.0 0000:23:00.0 0x0c0330
endpoint $e/0000:21:02.0/0000:23:00.0 0 0x82000000 0x8200ffff $M64
function_at $p 0000:00:07.1 0x060400 74 115
bridge $p/0000:00:07.1 "0x5000 0x5fff" "0x9c000000 0xb7ffffff" "0x4040000000 0x405fffffff"
function_at $p 0000:00:0d.0 0x0c0330
endpoint $p/0000:00:0d.0 0 0xb8000000 0xb800ffff $M64
function_at $p 0000:00:1d.0 0x060400 1 1
bridge $p/0000:00:1d.0 - "0xb8100000 0xb81fffff" -
function_at $p/0000:00:1d.0 0000:01:00.0 0x010802
endpoint $p/0000:00:1d.0/0000:01:00.0 0 0xb8100000 0xb8103fff $M64
log "pci 0000:4c:00.0: BAR 0 [mem size 0x01000000]: can't assign; no space"
log "pci 0000:4c:00.0: BAR 0 [mem size 0x01000000]: failed to assign"
log "pcieport 0000:00:07.0: pciehp: Slot(1): Card present"
log "pci 0000:21:01.0: bridge window [mem size 0x420000000 64bit pref]: can't assign; no space"
log "pci 0000:21:01.0: bridge window [mem size 0x420000000 64bit pref]: failed to assign"
log "pci 0000:21:01.0: bridge window [mem 0x4020000000-0x403fffffff 64bit pref]: assigned"
log "pci 0000:22:00.0: BAR 1 [mem size 0x400000000 64bit pref]: can't assign; no space"
log "pci 0000:22:00.0: BAR 1 [mem size 0x400000000 64bit pref]: failed to assign"
log "pci 0000:22:00.0: BAR 3 [mem 0x4020000000-0x4021ffffff 64bit pref]: assigned"
log "pci 0000:22:00.0: ROM [mem size 0x00080000 pref]: can't assign; no space"
log "pci 0000:22:00.0: ROM [mem 0x80000000-0x8007ffff pref]: assigned"
log "nvidia 0000:22:00.0: BAR 1 [mem size 0x400000000 64bit pref]: not assigned; can't enable device"
slot 1 0000:20:00 hotplug
slot 2 0000:4a:00 hotplug

# ---- a desktop GPU with Resizable BAR in a large 64-bit window ----------------
# The firmware's 256 GiB above 4 GiB let the GPU's VRAM BAR grow to the
# largest size the card offers, 16 GiB (its resource0_resize: 256 MiB to
# 16 GiB). The GPU sits behind its own switch, as such cards do.
begin desktop_rebar
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PCI0 pci0000:00
log "ACPI: PCI Root Bridge [PCI0] (domain 0000 [bus 00-ff])"
root_windows 0000:00 "io  0x0000-0x03af window" "io  0x03e0-0x0cf7 window" "io  0x0d00-0xffff window" \
    "mem 0x000a0000-0x000bffff window" "mem 0xc0000000-0xdfffffff window" "mem 0xf0000000-0xfcffffff window" \
    "mem 0x4000000000-0x7fffffffff window"
log "pci_bus 0000:00: root bus resource [bus 00-ff]"
iomem "  e0000000-efffffff : PCI MMCONFIG 0000 [bus 00-ff]"
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
endpoint $p/0000:00:00.0
function_at $p 0000:00:01.0 0x060000
endpoint $p/0000:00:01.0
g=$p/0000:00:01.1
function_at $p 0000:00:01.1 0x060400 1 3
bridge $g "0xf000 0xffff" "0xfca00000 0xfccfffff" "0x7800000000 0x7fffffffff"
function_at $g 0000:01:00.0 0x060400 2 3
bridge $g/0000:01:00.0 "0xf000 0xffff" "0xfca00000 0xfcbfffff" "0x7800000000 0x7fffffffff" 0 0xfcc00000 0xfcc03fff $M32
function_at $g/0000:01:00.0 0000:02:00.0 0x060400 3 3
bridge $g/0000:01:00.0/0000:02:00.0 "0xf000 0xffff" "0xfca00000 0xfcbfffff" "0x7800000000 0x7fffffffff"
function_at $g/0000:01:00.0/0000:02:00.0 0000:03:00.0 0x030000
endpoint $g/0000:01:00.0/0000:02:00.0/0000:03:00.0 0 0x7c00000000 0x7fffffffff $P64 2 0x7800000000 0x78001fffff $P64 \
    4 0xf000 0xf0ff $IOB 5 0xfca00000 0xfcafffff $M32 6 0xfcb00000 0xfcb1ffff $ROM
resize $g/0000:01:00.0/0000:02:00.0/0000:03:00.0 0 0x7f00
function_at $g/0000:01:00.0/0000:02:00.0 0000:03:00.1 0x040300
endpoint $g/0000:01:00.0/0000:02:00.0/0000:03:00.1 0 0xfcb20000 0xfcb23fff $M32
function_at $p 0000:00:01.2 0x060400 4 4
bridge $p/0000:00:01.2 - "0xfcd00000 0xfcdfffff" -
function_at $p/0000:00:01.2 0000:04:00.0 0x010802
endpoint $p/0000:00:01.2/0000:04:00.0 0 0xfcd00000 0xfcd03fff $M64
function_at $p 0000:00:01.3 0x060400 5 5
bridge $p/0000:00:01.3 - - -
function_at $p 0000:00:08.1 0x060400 6 6
bridge $p/0000:00:08.1 - "0xfc900000 0xfc9fffff" -
function_at $p/0000:00:08.1 0000:06:00.3 0x0c0330
endpoint $p/0000:00:08.1/0000:06:00.3 0 0xfc900000 0xfc9fffff $M64
slot 1 0000:01:00
slot 2 0000:05:00

# ---- a two-root server, each root with its own 64-bit window ------------------
# A BMC's VGA and an SR-IOV NIC on the first root bus, beside an empty
# hot-plug NVMe bay with the kernel's default reservations (2 MiB each); a
# GPU of 128 GiB and an NVMe drive on the second.
begin two_root_server
host_bridge pci0000:00
host_bridge pci0000:80
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
acpi_root_bridge PNP0A08:01 1 PC01 pci0000:80
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-7f])"
root_windows 0000:00 "io  0x0000-0x03af window" "io  0x03e0-0x0cf7 window" "io  0x1000-0x7fff window" \
    "mem 0x000a0000-0x000bffff window" "mem 0x90000000-0xc7ffffff window" "mem 0x380000000000-0x383fffffffff window"
log "pci_bus 0000:00: root bus resource [bus 00-7f]"
log "ACPI: PCI Root Bridge [PC01] (domain 0000 [bus 80-ff])"
root_windows 0000:80 "io  0x8000-0xffff window" "mem 0xc8000000-0xfbffffff window" \
    "mem 0x384000000000-0x387fffffffff window"
log "pci_bus 0000:80: root bus resource [bus 80-ff]"
iomem "  80000000-8fffffff : PCI MMCONFIG 0000 [bus 00-ff]"
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
endpoint $p/0000:00:00.0
function_at $p 0000:00:1f.0 0x060100
endpoint $p/0000:00:1f.0
function_at $p 0000:00:1c.0 0x060400 1 1
bridge $p/0000:00:1c.0 "0x1000 0x1fff" "0x90000000 0x910fffff" -
function_at $p/0000:00:1c.0 0000:01:00.0 0x030000
endpoint $p/0000:00:1c.0/0000:01:00.0 0 0x90000000 0x90ffffff 0x42208 1 0x91000000 0x9101ffff $M32 2 0x1000 0x107f $IOB
function_at $p 0000:00:02.0 0x060400 2 2
bridge $p/0000:00:02.0 - "0x91100000 0x911fffff" "0x383ff0000000 0x383fffffffff"
function_at $p/0000:00:02.0 0000:02:00.0 0x020000
endpoint $p/0000:00:02.0/0000:02:00.0 0 0x383ffe000000 0x383fffffffff $P64 6 0x91100000 0x911fffff $ROM \
    7 0x383ff0000000 0x383ff7ffffff $P64
function_at $p 0000:00:03.0 0x060400 3 16
bridge $p/0000:00:03.0 - "0x91200000 0x913fffff" "0x383fefe00000 0x383fefffffff"
p=pci0000:80
function_at $p 0000:80:00.0 0x060000
endpoint $p/0000:80:00.0
function_at $p 0000:80:02.0 0x060400 129 129
bridge $p/0000:80:02.0 - "0xc8000000 0xc80fffff" -
function_at $p/0000:80:02.0 0000:81:00.0 0x010802
endpoint $p/0000:80:02.0/0000:81:00.0 0 0xc8000000 0xc8003fff $M64
function_at $p 0000:80:03.0 0x060400 130 130
bridge $p/0000:80:03.0 - "0xc9000000 0xc9ffffff" "0x384000000000 0x386001ffffff"
function_at $p/0000:80:03.0 0000:82:00.0 0x030200
endpoint $p/0000:80:03.0/0000:82:00.0 0 0xc9000000 0xc9ffffff $M32 1 0x384000000000 0x385fffffffff $P64 \
    3 0x386000000000 0x386001ffffff $P64
function_at $p 0000:80:04.0 0x060400 131 144
bridge $p/0000:80:04.0 - "0xca000000 0xca1fffff" "0x386002000000 0x3860021fffff"
slot 1 0000:03:00 hotplug
slot 2 0000:82:00
slot 3 0000:83:00 hotplug

# ---- no window above 4 GiB -----------------------------------------------------
# Firmware without "above 4G decoding": the root bus forwards memory below
# 4 GiB only. The GPU's BARs fit there; an accelerator asking for 16 GiB
# does not, nor does the window of its port.
begin no_window_above_4g
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PCI0 pci0000:00
log "ACPI: PCI Root Bridge [PCI0] (domain 0000 [bus 00-ff])"
root_windows 0000:00 "io  0x0000-0x0cf7 window" "io  0x0d00-0xffff window" "mem 0x000a0000-0x000bffff window" \
    "mem 0xc0000000-0xdfffffff window" "mem 0xf0000000-0xfebfffff window"
log "pci_bus 0000:00: root bus resource [bus 00-ff]"
iomem "  e0000000-efffffff : PCI MMCONFIG 0000 [bus 00-ff]"
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
endpoint $p/0000:00:00.0
function_at $p 0000:00:01.0 0x060400 1 1
bridge $p/0000:00:01.0 "0xe000 0xefff" "0xfe900000 0xfe9fffff" "0xcfe00000 0xdfffffff"
function_at $p/0000:00:01.0 0000:01:00.0 0x030000
endpoint $p/0000:00:01.0/0000:01:00.0 0 0xd0000000 0xdfffffff $P64 2 0xcfe00000 0xcfffffff $P64 4 0xe000 0xe0ff $IOB \
    5 0xfe900000 0xfe93ffff $M32 6 0xfe940000 0xfe95ffff $ROM
function_at $p 0000:00:01.1 0x060400 2 2
bridge $p/0000:00:01.1 - "0xfe800000 0xfe8fffff" -
function_at $p/0000:00:01.1 0000:02:00.0 0x120000
endpoint $p/0000:00:01.1/0000:02:00.0 2 0xfe800000 0xfe8fffff $M32
log "pci 0000:00:01.1: bridge window [mem size 0x400000000 64bit pref]: can't assign; no space"
log "pci 0000:00:01.1: bridge window [mem size 0x400000000 64bit pref]: failed to assign"
log "pci 0000:02:00.0: BAR 0 [mem size 0x400000000 64bit pref]: can't assign; no space"
log "pci 0000:02:00.0: BAR 0 [mem size 0x400000000 64bit pref]: failed to assign"
log "pci 0000:02:00.0: BAR 2 [mem 0xfe800000-0xfe8fffff]: assigned"

# ---- the kernel log closed: root windows unknown, the ports' exact -------------
# As a user without privileges copies a machine: no kernel log, and
# /proc/iomem and /proc/ioports with every address read as zero. The
# resource files, which every user may read, give the windows of the
# ports exactly.
begin kernel_log_closed
rm -f "$root/dev/kmsg"
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
iomem "00000000-00000000 : PCI Bus 0000:00"
iomem "00000000-00000000 : PCI Bus 0000:00"
iomem "  00000000-00000000 : PCI Bus 0000:01"
iomem "00000000-00000000 : PCI ECAM 0000 [bus 00-3f]"
iomem "00000000-00000000 : PCI Bus 0000:00"
ioports "0000-0000 : PCI Bus 0000:00"
ioports "0000-0000 : PCI Bus 0000:00"
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
endpoint $p/0000:00:00.0
function_at $p 0000:00:1c.0 0x060400 1 20
bridge $p/0000:00:1c.0 "0x2000 0x2fff" "0x90000000 0x91ffffff" "0x6000000000 0x601fffffff"
function_at $p 0000:00:1d.0 0x060400 21 21
bridge $p/0000:00:1d.0 - "0x92000000 0x920fffff" -
function_at $p/0000:00:1d.0 0000:15:00.0 0x010802
endpoint $p/0000:00:1d.0/0000:15:00.0 0 0x92000000 0x92003fff $M64
slot 1 0000:01:00 hotplug

# ---- failures in the format of kernels before 6.8 ------------------------------
# Resources named by their number: 13 to 15 are a bridge's windows and 7 to
# 12 SR-IOV BARs, as the 17- and 13-line files of this kernel say. An
# empty hot-plug port got none of its windows but I/O at the second try;
# an NVMe drive behind a port without memory cannot be enabled; a VGA ROM
# found space at the second try.
begin old_format_failures
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-ff])"
root_windows 0000:00 "io  0x0000-0x0cf7 window" "io  0x0d00-0xffff window" "mem 0x000a0000-0x000bffff window" \
    "mem 0xfe000000-0xfebfffff window"
log "pci_bus 0000:00: root bus resource [bus 00-ff]"
iomem "  e0000000-efffffff : PCI MMCONFIG 0000 [bus 00-ff]"
log "pci 0000:00:1c.0: BAR 14: no space for [mem size 0x00200000]"
log "pci 0000:00:1c.0: BAR 14: failed to assign [mem size 0x00200000]"
log "pci 0000:00:1c.0: BAR 15: no space for [mem size 0x00200000 64bit pref]"
log "pci 0000:00:1c.0: BAR 15: failed to assign [mem size 0x00200000 64bit pref]"
log "pci 0000:00:1c.0: BAR 13: no space for [io  size 0x1000]"
log "pci 0000:00:1c.0: BAR 13: failed to assign [io  size 0x1000]"
log "pci 0000:04:00.0: BAR 7: no space for [mem size 0x00100000 64bit]"
log "pci 0000:04:00.0: BAR 7: failed to assign [mem size 0x00100000 64bit]"
log "pci 0000:04:00.0: BAR 10: no space for [mem size 0x00100000 64bit]"
log "pci 0000:04:00.0: BAR 10: failed to assign [mem size 0x00100000 64bit]"
log "pci 0000:05:00.0: BAR 0: no space for [mem size 0x00004000 64bit]"
log "pci 0000:05:00.0: BAR 0: failed to assign [mem size 0x00004000 64bit]"
log "pci 0000:00:02.0: BAR 6: no space for [mem size 0x00020000 pref]"
log "pci 0000:00:1c.0: BAR 13: assigned [io  0x2000-0x2fff]"
log "pci 0000:00:02.0: BAR 6: assigned [mem 0xfe820000-0xfe83ffff pref]"
log "pci_bus 0000:00: Some PCI device resources are unassigned, try booting with pci=realloc"
log "nvme 0000:05:00.0: can't enable device: BAR 0 [mem size 0x00004000 64bit] not assigned"
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
endpoint $p/0000:00:00.0
function_at $p 0000:00:02.0 0x030000
endpoint $p/0000:00:02.0 0 0xfe000000 0xfe7fffff 0x42208 2 0xfe800000 0xfe81ffff $M32 6 0xfe820000 0xfe83ffff $ROM
function_at $p 0000:00:1c.0 0x060400 3 3
bridge $p/0000:00:1c.0 "0x2000 0x2fff" - -
function_at $p 0000:00:1d.0 0x060400 4 4
bridge $p/0000:00:1d.0 - "0xfe900000 0xfe9fffff" -
function_at $p/0000:00:1d.0 0000:04:00.0 0x020000
endpoint $p/0000:00:1d.0/0000:04:00.0 0 0xfe900000 0xfe97ffff $M32 3 0xfe980000 0xfe983fff $M32
function_at $p 0000:00:1e.0 0x060400 5 5
bridge $p/0000:00:1e.0 - - -
function_at $p/0000:00:1e.0 0000:05:00.0 0x010802
endpoint $p/0000:00:1e.0/0000:05:00.0
slot 1 0000:03:00 hotplug

# ---- the layouts of a kernel without SR-IOV, read as root after a long uptime --
# 7 lines for a function, 11 for a bridge. The boot messages have left the
# kernel log, so the range comes from the ECAM window and the root windows
# from /proc/iomem and /proc/ioports, where root sees addresses; the
# host bridge's configuration window is listed among its ranges but is no
# space for cards. One port's I/O and prefetchable windows are disabled
# (zero lines); the kernel did not scan behind another, whose windows come
# from its header. And what the rules refuse: a resource file of 8 lines,
# a BAR ending below its start, a resize value that is no bitmap.
begin resource_layouts
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PCI0 pci0000:00
log "EXT4-fs (vda1): re-mounted. Quota mode: none."
iomem "000a0000-000bffff : PCI Bus 0000:00"
iomem "b0000000-bfffffff : PCI Bus 0000:00"
iomem "  b0000000-bfffffff : PCI ECAM 0000 [bus 00-ff]"
iomem "c0000000-febfffff : PCI Bus 0000:00"
iomem "  c1100000-c12fffff : PCI Bus 0000:01"
iomem "800000000-fffffffff : PCI Bus 0000:00"
ioports "0000-0cf7 : PCI Bus 0000:00"
ioports "0cf8-0cff : PCI conf1"
ioports "0d00-ffff : PCI Bus 0000:00"
ioports "  c000-cfff : PCI Bus 0000:01"
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
resources $p/0000:00:00.0 7
function_at $p 0000:00:01.0 0x030000
resources $p/0000:00:01.0 7 0 0xc0000000 0xc0ffffff 0x42208 2 0xc1000000 0xc1000fff $M32 6 0xc1010000 0xc101ffff $ROM
printf 'zz\n' >"$root/sys/devices/$p/0000:00:01.0/resource0_resize"
function_at $p 0000:00:1c.0 0x060400 1 1
resources $p/0000:00:1c.0 11 7 0xc000 0xcfff $WIO 8 0xc1100000 0xc12fffff $WMEM 9 0x800000000 0x8001fffff $WPREF
function_at $p/0000:00:1c.0 0000:01:00.0 0x010802
resources $p/0000:00:1c.0/0000:01:00.0 7 0 0xc1100000 0xc1103fff $M64
function_at $p 0000:00:1c.1 0x060400 2 2
resources $p/0000:00:1c.1 11 8 0xc1300000 0xc13fffff $WMEM
function_at $p/0000:00:1c.1 0000:02:00.0 0x020000
resources $p/0000:00:1c.1/0000:02:00.0 7 0 0xc1300000 0xc131ffff $M32 2 0 0x1f 0x20040101
function_at $p 0000:00:1c.2 0x060400 3 3
resources $p/0000:00:1c.2 7
config_header() { # config_header DIR OFFSET=BYTE...: 64 bytes of a type 1 header
    local dir=$1 i bytes=""
    local -a header=()
    shift
    for i in $(seq 0 63); do header[i]=0; done
    header[14]=1
    for i in "$@"; do header[$((${i%=*}))]=$((${i#*=})); done
    for i in $(seq 0 63); do bytes+=$(printf '\\x%02x' "${header[i]}"); done
    printf "$bytes" >"$root/sys/devices/$dir/config"
}
config_header $p/0000:00:1c.2 0x19=3 0x1a=3 0x1c=0xd1 0x1d=0xd1 0x20=0x40 0x21=0xc1 0x22=0x40 0x23=0xc1 0x24=0x21 \
    0x26=0x21 0x28=0x08 0x2c=0x08
function_at $p 0000:00:1f.0 0x060100
resources $p/0000:00:1f.0 8
function_at $p 0000:00:1f.3 0x0c0500
resources $p/0000:00:1f.3 7 4 0xefa0 0xef9f $IOB

# ---- lists that loop: a machine that cannot be read, not an empty one ---------
begin pci_devices_loop
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
rmdir "$root/sys/bus/pci/devices"
ln -s devices "$root/sys/bus/pci/devices"
begin pci_slots_loop
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
function_at pci0000:00 0000:00:00.0 0x060000
endpoint pci0000:00/0000:00:00.0
ln -s slots "$root/sys/bus/pci/slots"
begin sys_devices_loop
mv "$root/sys/devices" "$root/sys/devices.real"
ln -s devices "$root/sys/devices"
rm -rf "$root/sys/devices.real"
