#!/usr/bin/env bash
# odd_entries: the tree of kernel_log_range with attributes that cannot be
# opened for what they are, none of them of the root bridge: LNXSYBUS:00's
# hid is a socket (opening one fails with ENXIO) and PNP0C0F:00's status a
# link to a name of 300 bytes (ENAMETOOLONG). Each counts as missing, so
# LNXSYBUS:00 takes its fallback ID, and the survey goes on to the same
# report as kernel_log_range. Sockets cannot be committed: this one is made
# here.
#
#   odd_entries.generate.sh SYSROOTS_DIR OUT_DIR
#
# The socket is bound by its bare name from inside its directory: the
# address a socket is bound to holds at most 107 bytes, and a build tree
# may lie deeper than that.
set -euo pipefail
rm -rf "$2"
mkdir -p "$(dirname "$2")"
cp -R "$1/odd_entries" "$2"
socket_dir="$2/sys/devices/LNXSYSTM:00/LNXSYBUS:00"
cd "$socket_dir"
perl -MIO::Socket::UNIX -e 'IO::Socket::UNIX->new(Type => SOCK_STREAM(), Local => $ARGV[0], Listen => 1) or die "$ARGV[1]/$ARGV[0]: $!\n"' \
    hid "$socket_dir"
test -S hid
