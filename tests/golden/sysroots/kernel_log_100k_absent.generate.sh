#!/usr/bin/env bash
# kernel_log_100k_absent: the tree of kernel_log_100k with a log of 100,000
# records and no root-bridge line for PC00, only the decoys: the range
# comes from the ECAM window, [0, fe].
#
#   kernel_log_100k_absent.generate.sh SYSROOTS_DIR OUT_DIR
set -euo pipefail
rm -rf "$2"
mkdir -p "$(dirname "$2")"
cp -R "$1/kernel_log_100k" "$2"
mkdir -p "$2/dev"
"$1/../make-kernel-log.sh" 100000 >"$2/dev/kmsg"
