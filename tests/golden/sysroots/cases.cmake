# name, expected exit code
rootscope_golden_sysroot(this_vm 0)
rootscope_golden_sysroot(kernel_log_range 0)
rootscope_golden_sysroot(ecam_only 0)
rootscope_golden_sysroot(shared_ecam 0)
rootscope_golden_sysroot(two_domains 0)
rootscope_golden_sysroot(one_bus 0)
rootscope_golden_sysroot(phantom 0)
rootscope_golden_sysroot(no_acpi 0)
rootscope_golden_sysroot(no_kernel_log 0)
rootscope_golden_sysroot(no_range_source 0)
rootscope_golden_sysroot(missing_sys 1)
rootscope_golden_sysroot(malformed 0)
# Hostile inputs. NAME.generate.sh, where present, builds the fixture into the
# build tree at test time from the committed part in NAME/ (big files are
# never committed).
rootscope_golden_sysroot(garbage_attributes 0)
rootscope_golden_sysroot(link_loops 0)
rootscope_golden_sysroot(devices_loop 1)
rootscope_golden_sysroot(range_lines 0)
rootscope_golden_sysroot(huge_path 0)
rootscope_golden_sysroot(kernel_log_100k 0)
rootscope_golden_sysroot(kernel_log_100k_absent 0)
