#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The reliability checks, run by CI after the main workflow:
#   1. the whole test suite (fault sweep and random fault runs included)
#      built with AddressSanitizer and UndefinedBehaviorSanitizer, less the
#      Windows build, which the main workflow ran and would only repeat;
#   2. valgrind memcheck over rootscope and every golden fixture;
#   3. each fuzz target for ROOTSCOPE_FUZZ_SECONDS (default 15) seconds;
#      seven targets, two at a time: about 60 s of fuzzing in all, which
#      keeps the README's test command within six minutes here.
# A step whose tool is missing says so and is skipped; any failure fails
# the script. Prints the fault, random-run and fuzz counts and each step's
# time.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${ROOTSCOPE_FUZZ_SECONDS:-15}
summary=()

timed() {
    local name=$1
    shift
    local start=$SECONDS
    "$@"
    summary+=("$name: $((SECONDS - start)) s")
}

sanitizers() {
    cmake --workflow --preset asan
    # The counts, from the sanitized build.
    build/asan/tests/reliability/rootscope_reliability_tests --gtest_filter='FaultSweep.*:RandomFaults.*' \
        | grep -E '^\[ (fault sweep|random faults) \]'
}

memcheck() {
    cmake --preset dev >/dev/null
    cmake --build --preset dev -j2
    ctest --preset valgrind
}

have_libfuzzer() {
    command -v clang++ >/dev/null 2>&1 || return 1
    local probe
    probe=$(mktemp -d)
    printf 'extern "C" int LLVMFuzzerTestOneInput(const unsigned char*, unsigned long) { return 0; }\n' \
        >"$probe/probe.cpp"
    local status=0
    clang++ -fsanitize=fuzzer "$probe/probe.cpp" -o "$probe/probe" >/dev/null 2>&1 || status=1
    rm -rf "$probe"
    return $status
}

fuzz() {
    if ! have_libfuzzer; then
        echo "fuzz: SKIPPED: clang++ with the libFuzzer runtime is not installed"
        return 0
    fi
    cmake --preset fuzz -DROOTSCOPE_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
    cmake --build --preset fuzz
    ctest --preset fuzz | tee build/fuzz/fuzz-summary.log
    grep -E '^[0-9]+: fuzz [a-z_]+: ' build/fuzz/fuzz-summary.log | sed 's/^[0-9]*: //'
}

timed "sanitizers (asan workflow)" sanitizers
timed "valgrind" memcheck
timed "fuzzing" fuzz

echo
echo "reliability checks passed; time per step:"
printf '  %s\n' "${summary[@]}"
