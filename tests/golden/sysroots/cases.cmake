# name, expected exit code
rootscope_golden_sysroot(this_vm 0)
# The same machine as tools/rootscope-capture copies it.
rootscope_golden_sysroot(this_vm_capture 0)
rootscope_golden_sysroot(kernel_log_range 0)
rootscope_golden_sysroot(ecam_only 0)
rootscope_golden_sysroot(shared_ecam 0)
rootscope_golden_sysroot(two_domains 0)
rootscope_golden_sysroot(one_bus 0)
# _STA 0, 10 and 14 (present bit clear): phantom; 1 alone: running.
rootscope_golden_sysroot(phantom 0)
rootscope_golden_sysroot(no_acpi 0)
rootscope_golden_sysroot(no_kernel_log 0)
rootscope_golden_sysroot(no_range_source 0)
# Without /sys nothing can be said of the machine: an error, and one line
# naming what could not be read.
rootscope_golden_sysroot(missing_sys 1
    ERROR "^rootscope: cannot read [^\n]*/missing_sys/sys: No such file or directory\n$")
rootscope_golden_sysroot(malformed 0)
# Hostile inputs. NAME.generate.sh, where present, builds the fixture into the
# build tree at test time from the committed part in NAME/ (big files are
# never committed).
# hid/uid/path/status with garbage, NULs, 4 KiB, /dev/zero: each counts as
# missing and its fallback applies; a NUL never cuts a value short.
rootscope_golden_sysroot(garbage_attributes 0)
# physical_node looping, self-looping, too deep, dangling, not a directory:
# phantom.
rootscope_golden_sysroot(link_loops 0)
# sys/bus/acpi/devices looping on itself: unreadable, so an error.
rootscope_golden_sysroot(devices_loop 1
    ERROR "^rootscope: cannot read [^\n]*/devices_loop/sys/bus/acpi/devices: Too many levels of symbolic links\n$")
# The root bridge's status fails to read (an I/O error, as a device whose
# firmware call fails gives): the database cannot be read, and the line
# names the attribute by the path it was asked for.
rootscope_golden_sysroot(status_read_fails 1 SYSROOT kernel_log_range
    SIM_ARGS --fail-read sys/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00/status
    ERROR "^rootscope: cannot read [^\n]*/kernel_log_range/sys/bus/acpi/devices/PNP0A08:00/status: Input/output error\n$")
# /proc/iomem, where the ECAM window is the only range source, fails to
# read: no range can be told, and "full use of all bus numbers" would be a
# guess. An error naming the file, not a machine without /proc/iomem.
rootscope_golden_sysroot(iomem_read_fails 1 SYSROOT ecam_only
    SIM_ARGS --fail-read proc/iomem
    ERROR "^rootscope: cannot read [^\n]*/ecam_only/proc/iomem: Input/output error\n$")
# The root bridge's physical_node cannot be looked at (its stat and link
# read fail): the bridge is not known to be unbound, so the database cannot
# be read, and the line names the link by the path it was asked for.
rootscope_golden_sysroot(physical_node_stat_fails 1 SYSROOT kernel_log_range
    SIM_ARGS --fail-stat sys/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00/physical_node
    ERROR "^rootscope: cannot read [^\n]*/kernel_log_range/sys/bus/acpi/devices/PNP0A08:00/physical_node: Input/output error\n$")
# The root bridge's status a socket (ENXIO): there, but it does not say the
# node is present, so the bridge is a phantom, as with a FIFO.
rootscope_golden_sysroot(status_socket 0)
# A socket for an attribute (ENXIO) and a link to a 300-byte name
# (ENAMETOOLONG) count as missing, as a file that is not there does.
rootscope_golden_sysroot(odd_entries 0)
# The kernel log names \_SB_.PC0_ "PC0", as it names every ACPI device:
# matched, its [00-3f] wins over the ECAM window's [00-ff].
rootscope_golden_sysroot(acpi_name_underscores 0)
# The log names no bridge PCI0, but gives bus 00 its range in a "root bus
# resource [bus 00-1f]" line: that wins over the ECAM window's [00-ff].
rootscope_golden_sysroot(root_bus_resource 0)
# The root bridge's own announcement, [bus 00-3f] from its _CRS, and a
# "root bus resource [bus 00-1f]" line for the same bus: the announcement is
# the firmware's own range and wins. (headroom/cases.cmake reads it too.)
rootscope_golden_sysroot(announcement_wins 0)
# Links that are absolute or climb above the root resolve beneath it: the
# bridge bound to /sys/devices/pci0000:00, which this copy lacks, is a
# phantom whatever the host has, and dev/kmsg is the copy's own.
rootscope_golden_sysroot(absolute_links 0)
# Range lines with bus numbers past ff, end below start, 20-digit numbers,
# NULs, cut short: ignored, the good lines among them still count.
rootscope_golden_sysroot(range_lines 0)
# A 10 MiB path: refused at the attribute bound, so the ECAM window decides.
rootscope_golden_sysroot(huge_path 0)
# 100,000 kernel-log records, the root-bridge line near the end / absent.
rootscope_golden_sysroot(kernel_log_100k 0)
rootscope_golden_sysroot(kernel_log_100k_absent 0)
