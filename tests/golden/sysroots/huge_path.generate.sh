#!/usr/bin/env bash
# huge_path: the committed tree plus a `path` attribute of 10 MiB that ends
# in ".PC00", the name the kernel log gives bus 00-3f. The attribute reader
# stops at its bound and refuses the cut value, so the bridge has no name,
# the log cannot be matched, and the range comes from the ECAM window:
# [0, ff]. A reader that took the whole file, or its last segment, would
# print [0, 3f].
#
#   huge_path.generate.sh SYSROOTS_DIR OUT_DIR
set -euo pipefail
rm -rf "$2"
mkdir -p "$(dirname "$2")"
cp -R "$1/huge_path" "$2"
path="$2/sys/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00/path"
{
    printf '\\_SB_.'
    head -c 10485760 /dev/zero | tr '\0' 'P'
    printf '.PC00\n'
} >"$path"
