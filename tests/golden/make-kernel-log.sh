#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Writes a kernel log of RECORDS records to standard output, as a fixture's
# dev/kmsg: "level,sequence,timestamp,-;text" lines, some with continuation
# lines, and among them decoys that name a root bridge but differ from
# [PC00] in domain 0000 from bus 00 by name, domain or first bus. With AT
# and TEXT, record number AT (counted from 1) is TEXT instead.
#
#   make-kernel-log.sh RECORDS [AT TEXT]
set -euo pipefail
records=$1
at=${2:-0}
text=${3:-}
awk -v records="$records" -v at="$at" -v text="$text" 'BEGIN {
    for (seq = 1; seq <= records; seq++) {
        stamp = seq * 2017
        if (seq == at) {
            printf "6,%d,%d,-;%s\n", seq, stamp, text
            continue
        }
        slot = seq % 8
        if (slot == 0) {
            printf "6,%d,%d,-;pci 0000:00:%02x.0: [8086:29c0] type 00 class 0x060000\n", seq, stamp, seq % 32
            printf " SUBSYSTEM=pci\n DEVICE=+pci:0000:00:%02x.0\n", seq % 32
        } else if (slot == 1) {
            printf "6,%d,%d,-;ACPI: PCI Root Bridge [PC99] (domain 0000 [bus 00-ff])\n", seq, stamp
        } else if (slot == 2) {
            printf "6,%d,%d,-;ACPI: PCI Root Bridge [PC00] (domain 0001 [bus 00-ff])\n", seq, stamp
        } else if (slot == 3) {
            printf "6,%d,%d,-;ACPI: PCI Root Bridge [PC00] (domain 0000 [bus 01-ff])\n", seq, stamp
        } else if (slot == 4) {
            printf "6,%d,%d,-;ACPI: PCI Interrupt Link [LNKA] (IRQs 5 *10 11)\n", seq, stamp
        } else if (slot == 5) {
            printf "4,%d,%d,-;usb 1-1: new high-speed USB device number %d using ehci-pci\n", seq, stamp, seq % 128
        } else {
            printf "6,%d,%d,-;EXT4-fs (vda): re-mounted. Quota mode: none.\n", seq, stamp
        }
    }
}'
