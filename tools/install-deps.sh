#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs, from Debian's packages, what building and testing rootscope needs
# and the machine lacks. Run as root or with sudo available.
set -euo pipefail

# Needed to build the test suite (the test presets generate Ninja files).
required=(cmake ninja-build g++ libgtest-dev nlohmann-json3-dev)
# Needed to build the benchmark suite, which CI builds too.
required+=(libbenchmark-dev)
# Used by tests that show as skipped without them: the Windows build (cross
# compiler, GoogleTest sources, Wine to run it), the listing of the Windows
# package, Debian's package checker, valgrind, the fuzzers (clang with its
# libFuzzer runtime), and promtool, which lints rootscope-headroom's metrics.
optional=(g++-mingw-w64-x86-64 googletest wine wine64 unzip lintian valgrind clang libclang-rt-14-dev prometheus)

optional+=(prometheus-node-exporter)  # for the end-to-end test of the fleet timer
missing=()
for package in "${required[@]}" "${optional[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$package")
    fi
done
if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
echo "Installing: ${missing[*]}"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
