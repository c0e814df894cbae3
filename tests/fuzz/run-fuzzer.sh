#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Fuzzes one target for a bounded time and reports how many inputs it ran.
#
#   run-fuzzer.sh NAME FUZZER SECONDS WORK_DIR SEED_DIR...
#
# New inputs go to WORK_DIR/corpus, never into the seed directories kept in
# the repository. A crash leaves its input in WORK_DIR; copy it into
# tests/fuzz/regressions/NAME/ so every build replays it from then on.
set -uo pipefail

name=$1
fuzzer=$2
seconds=$3
work=$4
shift 4

mkdir -p "$work/corpus"
log="$work/fuzz.log"
"$fuzzer" -max_total_time="$seconds" -print_final_stats=1 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/" "$work/corpus" "$@" >"$log" 2>&1
status=$?

executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
echo "fuzz $name: ${executions:-?} executions in ${seconds} s, corpus of $(ls "$work/corpus" | wc -l) inputs"
if [ "$status" -ne 0 ]; then
    tail -n 60 "$log"
    echo "fuzz $name failed; the input is in $work/ (crash-*, leak-*, timeout-* or oom-*)"
fi
exit "$status"
