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

# ---- a laptop: Thunderbolt root ports padded for hot-plug, a dock on one -----
begin laptop_thunderbolt
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-7f])"
log "pci_bus 0000:00: root bus resource [bus 00-7f]"
iomem "  c0000000-c7ffffff : PCI ECAM 0000 [bus 00-7f]"
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
function_at $p 0000:00:02.0 0x030000
function_at $p 0000:00:07.0 0x060400 3 44
function_at $p 0000:00:07.1 0x060400 45 86
function_at $p 0000:00:0d.0 0x0c0330
function_at $p 0000:00:1c.0 0x060400 1 1
function_at $p/0000:00:1c.0 0000:01:00.0 0x028000
function_at $p 0000:00:1d.0 0x060400 2 2
function_at $p/0000:00:1d.0 0000:02:00.0 0x010802
# The dock on the first Thunderbolt port: a switch whose second downstream
# port is padded for hot-plug too.
function_at $p/0000:00:07.0 0000:03:00.0 0x060400 4 44
function_at $p/0000:00:07.0/0000:03:00.0 0000:04:00.0 0x060400 5 5
function_at $p/0000:00:07.0/0000:03:00.0 0000:04:01.0 0x060400 6 44
function_at $p/0000:00:07.0/0000:03:00.0/0000:04:00.0 0000:05:00.0 0x0c0330
slot 1 0000:03:00 hotplug
slot 2 0000:2d:00 hotplug
slot 1-1 0000:06:00 hotplug

# ---- a two-socket server: four root buses in two segments ---------------------
begin two_socket_server
for bridge in "0 0000 00 7f PC00 0" "1 0000 80 ff PC01 1" "2 0001 00 7f PC02 2" "3 0001 80 ff PC03 3"; do
    set -- $bridge
    host_bridge "pci$2:$3"
    acpi_root_bridge "PNP0A08:0$1" "$6" "$5" "pci$2:$3"
    log "ACPI: PCI Root Bridge [$5] (domain $2 [bus $3-$4])"
done
iomem "  80000000-8fffffff : PCI MMCONFIG 0000 [bus 00-ff]"
iomem "  90000000-9fffffff : PCI MMCONFIG 0001 [bus 00-ff]"
function_at pci0000:00 0000:00:00.0 0x060000
function_at pci0000:00 0000:00:1f.0 0x060100
function_at pci0000:00 0000:00:01.0 0x060400 1 1
function_at pci0000:00/0000:00:01.0 0000:01:00.0 0x020000
function_at pci0000:00/0000:00:01.0 0000:01:00.1 0x020000
function_at pci0000:00 0000:00:02.0 0x060400 2 2
function_at pci0000:80 0000:80:00.0 0x060000
function_at pci0000:80 0000:80:02.0 0x060400 129 133
function_at pci0000:80/0000:80:02.0 0000:81:00.0 0x060400 130 133
function_at pci0000:80/0000:80:02.0/0000:81:00.0 0000:82:00.0 0x060400 131 131
function_at pci0000:80/0000:80:02.0/0000:81:00.0 0000:82:01.0 0x060400 132 132
function_at pci0000:80/0000:80:02.0/0000:81:00.0 0000:82:02.0 0x060400 133 133
function_at pci0000:80/0000:80:02.0/0000:81:00.0/0000:82:00.0 0000:83:00.0 0x030200
function_at pci0001:00 0001:00:00.0 0x060000
function_at pci0001:00 0001:00:03.0 0x060400 1 1
function_at pci0001:00/0001:00:03.0 0001:01:00.0 0x010802
function_at pci0001:80 0001:80:00.0 0x060000
function_at pci0001:80 0001:80:01.0 0x060400 129 129
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
log "pci_bus 10000:e0: root bus resource [bus e0-ff]"
iomem "  e0000000-efffffff : PCI ECAM 0000 [bus 00-fe]"
function_at pci0000:00 0000:00:00.0 0x060000
function_at pci0000:00 0000:00:0e.0 0x010400
host_bridge pci0000:00/0000:00:0e.0/pci10000:e0
function_at pci0000:00/0000:00:0e.0/pci10000:e0 10000:e0:1d.0 0x060400 225 225
function_at pci0000:00/0000:00:0e.0/pci10000:e0/10000:e0:1d.0 10000:e1:00.0 0x010802
function_at pci0000:00/0000:00:0e.0/pci10000:e0 10000:e0:1d.1 0x060400 226 226

# ---- an SR-IOV device whose virtual functions sit on a bus of their own --------
begin sriov_virtual_bus
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-3f])"
function_at pci0000:00 0000:00:00.0 0x060000
function_at pci0000:00 0000:00:01.0 0x060400 1 2
function_at pci0000:00/0000:00:01.0 0000:01:00.0 0x020000
for vf in 0000:02:00.0 0000:02:00.1 0000:02:00.2; do
    function_at pci0000:00/0000:00:01.0 $vf 0x020000
    ln -s ../0000:01:00.0 "$root/sys/devices/pci0000:00/0000:00:01.0/$vf/physfn"
done

# ---- a kernel before 4.13: bridge windows from config space only --------------
begin kernel_before_4_13
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PCI0 pci0000:00
log "ACPI: PCI Root Bridge [PCI0] (domain 0000 [bus 00-ff])"
config() { # config ADDRESS_DIR TYPE SECONDARY SUBORDINATE: 64 bytes as a user reads them
    local bytes=""
    local i
    for i in $(seq 0 63); do
        case $i in
            14) bytes+=$(printf '\\x%02x' "$2") ;;
            25) bytes+=$(printf '\\x%02x' "$3") ;;
            26) bytes+=$(printf '\\x%02x' "$4") ;;
            *) bytes+='\x00' ;;
        esac
    done
    printf "$bytes" >"$root/sys/devices/$1/config"
}
function_at pci0000:00 0000:00:00.0 0x060000
config pci0000:00/0000:00:00.0 0 0 0
function_at pci0000:00 0000:00:1c.0 0x060400
config pci0000:00/0000:00:1c.0 0x81 2 5
function_at pci0000:00/0000:00:1c.0 0000:02:00.0 0x060400
config pci0000:00/0000:00:1c.0/0000:02:00.0 1 3 3
function_at pci0000:00/0000:00:1c.0/0000:02:00.0 0000:03:00.0 0x020000
config pci0000:00/0000:00:1c.0/0000:02:00.0/0000:03:00.0 0 0 0
function_at pci0000:00 0000:00:1e.0 0x060700
config pci0000:00/0000:00:1e.0 2 6 6
# A bridge whose class is unreadable: its header still says what it is.
function_at pci0000:00 0000:00:1f.0 garbage
config pci0000:00/0000:00:1f.0 1 7 7

# ---- firmware problems: windows that cannot be, a bus with no bridge ----------
begin firmware_problems
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-05])"
function_at pci0000:00 0000:00:00.0 0x060000
function_at pci0000:00 0000:00:1c.0 0x060400 2 4
function_at pci0000:00/0000:00:1c.0 0000:02:00.0 0x060400 5 7
function_at pci0000:00 0000:00:1c.1 0x060400 0 0
function_at pci0000:00 0000:00:1c.2 0x060400 x 3
function_at pci0000:00 0000:00:1c.3 0x060400 1 300
function_at pci0000:00 0000:00:1c.4 0x060400
put sys/devices/pci0000:00/0000:00:1c.4/secondary_bus_number 6  # and no subordinate_bus_number
function_at pci0000:00 0000:00:1d.0 0x060400 1 1
function_at pci0000:00 0000:00:1d.1 0x060400 1 1
function_at pci0000:00 0000:09:00.0 0x020000
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
function_at pci0000:00 0000:00:1c.0 0x060400 1 1
function_at pci0000:80 0000:80:00.0 0x060000

# ---- slots without a port -----------------------------------------------------
begin slots_without_port
host_bridge pci0000:00
acpi_root_bridge PNP0A08:00 0 PC00 pci0000:00
log "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-1f])"
function_at pci0000:00 0000:00:00.0 0x060000
function_at pci0000:00 0000:00:1c.0 0x060400 1 3
function_at pci0000:00 0000:00:1f.0 0x060100
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
function_at pci0000:00 0000:00:00.0 0x060000
function_at pci0000:00 0000:00:01.0 0x060100
function_at pci0000:00 0000:00:02.0 0x030000
function_at pci0000:00 0000:00:03.0 0x020000
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
p=pci0000:00
function_at $p 0000:00:00.0 0x060000
function_at $p 0000:00:1c.0 0x060400 1 16
function_at $p 0000:00:1c.1 0x060400 2 3
function_at $p 0000:00:1c.2 0x060400 5 6
function_at $p 0000:00:1d.0 0x060400 17 17
function_at $p 0000:00:1e.0 0x060400 18 20
ln -s ../../../devices/$p/0000:00:1e.0 "$root/sys/bus/pci/devices/00000:00:1e.0"
ln -s ../../../devices/$p/0000:00:1e.0 "$root/sys/bus/pci/devices/0000:00:1e.00"
slot 1 0000:01:00 hotplug
slot 2 0000:11:00 hotplug
slot 3 0000:12:00

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
ln -s slots "$root/sys/bus/pci/slots"
begin sys_devices_loop
mv "$root/sys/devices" "$root/sys/devices.real"
ln -s devices "$root/sys/devices"
rm -rf "$root/sys/devices.real"
