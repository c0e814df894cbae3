#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The reliability checks, run by CI after the main workflow:
#   sanitizers    the whole test suite (fault sweep and random fault runs
#                 included) built with AddressSanitizer and
#                 UndefinedBehaviorSanitizer, less the Windows build and the
#                 package checks, which the main workflow ran and which run
#                 none of the programs' code;
#   valgrind      memcheck over rootscope on this machine and a
#                 representative twin of each kind of golden (valgrind-all:
#                 the twin of every golden, about four times as long);
#   fuzz          each fuzz target for ROOTSCOPE_FUZZ_SECONDS (default 3)
#                 seconds after replaying its corpus, two targets at a time.
#
#   tools/reliability.sh [STEP...]
#
# STEP is sanitizers, valgrind, valgrind-all or fuzz; without one, the first
# three run as the README's test command wants them. Longer fuzzing is a
# command of its own:
#
#   ROOTSCOPE_FUZZ_SECONDS=600 tools/reliability.sh fuzz
#
# A step whose tool is missing says so and is skipped; any failure fails the
# script. Prints the fault, random-run and fuzz counts, and each step's wall
# time, its processor time and the load average around it: the machine may
# be shared, and the processor time is what the step itself cost.
set -euo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=${ROOTSCOPE_FUZZ_SECONDS:-3}
summary=()
cpu=0
times_file=$(mktemp)
trap 'rm -f "$times_file"' EXIT

# Sets cpu to the processor time, in whole seconds, of every child this
# shell has waited for so far. `times` must run in this shell: in a subshell
# (a command substitution) it would see only that subshell's children.
children_cpu() {
    times >"$times_file"
    cpu=$(awk 'NR == 2 {
        total = 0
        for (i = 1; i <= 2; ++i) { split($i, part, "m"); total += part[1] * 60 + part[2] }
        printf "%d\n", total
    }' "$times_file")
}

load_average() {
    cut -d' ' -f1 /proc/loadavg 2>/dev/null || echo unknown
}

timed() {
    local name=$1
    shift
    local start=$SECONDS cpu_start load_start
    children_cpu
    cpu_start=$cpu
    load_start=$(load_average)
    "$@"
    children_cpu
    summary+=("$name: $((SECONDS - start)) s, processor $((cpu - cpu_start)) s, load $load_start -> $(load_average)")
}

sanitizers() {
    cmake --workflow --preset asan
    # The counts, from the sanitized build.
    build/asan/tests/reliability/rootscope_reliability_tests --gtest_filter='FaultSweep.*:RandomFaults.*' \
        | grep -E '^\[ (fault sweep|random faults) \]'
}

# The dev tree of the main workflow serves as it is; configured afresh only
# when this runs alone. The build brings it up to date with the sources.
memcheck() {
    local preset=$1
    if [ ! -f build/dev/CMakeCache.txt ]; then
        cmake --preset dev >/dev/null
    fi
    cmake --build --preset dev
    ctest --preset "$preset"
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

steps=("$@")
if [ ${#steps[@]} -eq 0 ]; then
    steps=(sanitizers valgrind fuzz)
fi
for step in "${steps[@]}"; do
    case $step in
    sanitizers) ;;
    valgrind | valgrind-all) ;;
    fuzz) ;;
    *)
        echo "reliability.sh: unknown step '$step' (sanitizers, valgrind, valgrind-all, fuzz)" >&2
        exit 2
        ;;
    esac
done
for step in "${steps[@]}"; do
    case $step in
    sanitizers) timed "sanitizers (asan workflow)" sanitizers ;;
    valgrind) timed "valgrind (representative twins)" memcheck valgrind ;;
    valgrind-all) timed "valgrind (every twin)" memcheck valgrind-all ;;
    fuzz) timed "fuzzing (${fuzz_seconds} s a target)" fuzz ;;
    esac
done

echo
echo "reliability checks passed; time per step:"
printf '  %s\n' "${summary[@]}"
