#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs one program under valgrind's memcheck with standard input at its end.
#
#   run-valgrind.sh EXPECTED_EXIT EXPECTED_REPORT WORK_PREFIX PROGRAM [ARGS...]
#
# EXPECTED_EXIT is the program's own exit code, or "any"; EXPECTED_REPORT is
# the file standard output must equal, or "-" for no comparison. Passes only
# when memcheck counts no errors and no definite or indirect leaks. Exits 77
# (reported as skipped) when valgrind is not installed.
set -uo pipefail

expected_exit=$1
expected_report=$2
prefix=$3
shift 3

if ! command -v valgrind >/dev/null 2>&1; then
    echo "valgrind is not installed: skipped"
    exit 77
fi

log="$prefix.valgrind.log"
out="$prefix.out"
valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite,indirect \
    --log-file="$log" "$@" </dev/null >"$out"
exit_code=$?

failed=0
# The program's own exit code 1 and memcheck's are the same number, so the
# error count in the log is what decides.
if ! grep -q 'ERROR SUMMARY: 0 errors' "$log"; then
    echo "memcheck found errors:"
    cat "$log"
    failed=1
fi
if [ "$expected_exit" != any ] && [ "$exit_code" != "$expected_exit" ]; then
    echo "exit code $exit_code, expected $expected_exit"
    failed=1
fi
if [ "$expected_exit" = any ] && [ "$exit_code" != 0 ] && [ "$exit_code" != 1 ]; then
    echo "exit code $exit_code, expected 0 or 1"
    failed=1
fi
if [ "$expected_report" != - ] && ! cmp -s "$out" "$expected_report"; then
    echo "report differs from $expected_report:"
    diff "$expected_report" "$out"
    failed=1
fi
grep -E 'ERROR SUMMARY|definitely lost|indirectly lost|All heap blocks were freed' "$log" | sed 's/^==[0-9]*== //'
exit $failed
