#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# status_socket: the tree of kernel_log_range with the root bridge's status
# a socket, which no open can read (ENXIO), as a device node without a
# driver gives. A status that is there but cannot be read does not say the
# node is present: the bridge is a phantom, and its range goes unreported.
# Sockets cannot be committed: this one is made here.
#
#   status_socket.generate.sh SYSROOTS_DIR OUT_DIR
set -euo pipefail
rm -rf "$2"
mkdir -p "$(dirname "$2")"
cp -R "$1/kernel_log_range" "$2"
bridge="$2/sys/devices/LNXSYSTM:00/LNXSYBUS:00/PNP0A08:00"
rm "$bridge/status"
# Bound by its name from inside its directory: a socket's path is bound only
# up to 108 bytes, and a build tree may lie deeper than that.
cd "$bridge"
perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Type => SOCK_STREAM(), Local => $ARGV[0], Listen => 1) or die "$ARGV[0]: $!\n"' \
    status
