#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# A program of ours against lspci, which reads the same PCI tree, on this
# machine: wall time (median of RUNS runs each, side by side in one
# hyperfine session) and peak resident memory (median of RUNS runs each
# under /usr/bin/time -v). Exits 1 when ours takes more than RATIO times
# lspci's time or more peak memory.
#
# Usage: bench/host-survey.sh [PROGRAM] [RUNS] [LSPCI_OPTION] [RATIO]
#   PROGRAM       the binary to time (default: build/bench/rootscope, from
#                 `cmake --preset bench && cmake --build --preset bench`)
#   RUNS          runs of each command (default 20, at least 10)
#   LSPCI_OPTION  how lspci is run (default -t; -tv for rootscope-headroom,
#                 whose view names each device as lspci -tv does)
#   RATIO         the most time ours may take, as a share of lspci's
#                 (default 1: faster)
#
# rootscope waits for Enter at the end; its standard input is /dev/null, at
# end of file, so the wait returns at once. Both commands write to /dev/null.
# Needs Debian's hyperfine, pciutils and time. Results, also as JSON, go to
# build/bench/host-survey/.
set -euo pipefail
cd "$(dirname "$0")/.."

rootscope=${1:-build/bench/rootscope}
runs=${2:-20}
lspci_option=${3:--t}
ratio=${4:-1}
out=build/bench/host-survey
ours=$(basename "$rootscope")
theirs="lspci $lspci_option"

if [ "$runs" -lt 10 ]; then
    echo "host-survey: at least 10 runs each" >&2
    exit 2
fi
for tool in hyperfine lspci /usr/bin/time python3; do
    if ! command -v "$tool" >/dev/null; then
        echo "host-survey: $tool is missing (Debian: hyperfine, pciutils, time, python3)" >&2
        exit 2
    fi
done
if [ ! -x "$rootscope" ]; then
    echo "host-survey: no $rootscope; build it with: cmake --preset bench && cmake --build --preset bench" >&2
    exit 2
fi
rootscope=$(realpath "$rootscope")
mkdir -p "$out"

echo "== wall time, $runs runs each (hyperfine)"
# No shell in between (-N): both start in a few milliseconds, below what
# hyperfine can subtract of a shell's start-up. Without a shell hyperfine
# gives each command /dev/null for standard input and output.
hyperfine -N --warmup 3 --runs "$runs" --style basic \
    --export-json "$out/time.json" \
    --command-name "$ours" "$rootscope" \
    --command-name "$theirs" "$theirs"

# Peak resident set size in kilobytes of one run of a command.
peak_kb() {
    /usr/bin/time -v "$@" </dev/null 2>&1 >/dev/null | awk -F': ' '/Maximum resident set size/ {print $2}'
}

echo "== peak memory, $runs runs each (/usr/bin/time -v)"
: >"$out/memory.txt"
for i in $(seq "$runs"); do
    echo "ours $(peak_kb "$rootscope")" >>"$out/memory.txt"
    # shellcheck disable=SC2086 # the option is one word or none
    echo "theirs $(peak_kb lspci $lspci_option)" >>"$out/memory.txt"
done

python3 - "$out/time.json" "$out/memory.txt" "$ours" "$theirs" "$ratio" <<'PY'
import json, statistics, sys

with open(sys.argv[1]) as f:
    results = {r["command"]: r for r in json.load(f)["results"]}
memory = {}
with open(sys.argv[2]) as f:
    for line in f:
        name, kb = line.split()
        memory.setdefault(name, []).append(int(kb))
name_ours, name_theirs, ratio = sys.argv[3], sys.argv[4], float(sys.argv[5])

t_ours, t_theirs = results[name_ours]["median"] * 1e3, results[name_theirs]["median"] * 1e3
m_ours, m_theirs = statistics.median(memory["ours"]), statistics.median(memory["theirs"])
print()
print(f"{'':20}{'median ms':>12}{'peak RSS KiB (median)':>24}")
print(f"{name_ours:20}{t_ours:>12.2f}{m_ours:>24.0f}")
print(f"{name_theirs:20}{t_theirs:>12.2f}{m_theirs:>24.0f}")
print(f"{name_ours} / {name_theirs}: time x{t_ours / t_theirs:.3f}, peak memory x{m_ours / m_theirs:.3f}")
fast = t_ours <= ratio * t_theirs
leaner = m_ours <= m_theirs
print(f"time at most x{ratio:g} of {name_theirs}: " + ("yes" if fast else "NO"))
print("peak memory no higher: " + ("yes" if leaner else "NO"))
sys.exit(0 if fast and leaner else 1)
PY
