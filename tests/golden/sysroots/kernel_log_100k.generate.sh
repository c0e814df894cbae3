#!/usr/bin/env bash
# kernel_log_100k: the committed tree plus a kernel log of 100,000 records
# (about 7.6 MB, inside the reader's 8 MiB bound) whose root-bridge line for
# PC00 is record 99,990; the decoys around it differ in name, domain or
# first bus. The log wins over the ECAM window (bus 00-fe): [0, 7f].
#
#   kernel_log_100k.generate.sh SYSROOTS_DIR OUT_DIR
set -euo pipefail
rm -rf "$2"
mkdir -p "$(dirname "$2")"
cp -R "$1/kernel_log_100k" "$2"
mkdir -p "$2/dev"
"$1/../make-kernel-log.sh" 100000 99990 "ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 00-7f])" >"$2/dev/kmsg"
size=$(wc -c <"$2/dev/kmsg")
if [ "$size" -ge 8388608 ]; then
    echo "the generated kernel log ($size bytes) outgrew the reader's 8 MiB bound" >&2
    exit 1
fi
