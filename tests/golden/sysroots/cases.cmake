# name, expected exit code
rootscope_golden_sysroot(this_vm 0)
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
rootscope_golden_sysroot(missing_sys 1)
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
rootscope_golden_sysroot(devices_loop 1)
# Range lines with bus numbers past ff, end below start, 20-digit numbers,
# NULs, cut short: ignored, the good lines among them still count.
rootscope_golden_sysroot(range_lines 0)
# A 10 MiB path: refused at the attribute bound, so the ECAM window decides.
rootscope_golden_sysroot(huge_path 0)
# 100,000 kernel-log records, the root-bridge line near the end / absent.
rootscope_golden_sysroot(kernel_log_100k 0)
rootscope_golden_sysroot(kernel_log_100k_absent 0)
