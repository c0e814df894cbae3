#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Time per node from the benchmark suite's JSON output, and its growth.

Usage: bench/scaling.py RESULTS.json

Prints the `per_node` counter of every WHAT/SHAPE/N benchmark (survey/single,
survey/host, fixture/load, headroom/sysfs, headroom/slots, headroom/windows,
headroom/windows-tree, headroom/capture; the median when the run was
repeated) and, per WHAT/SHAPE, the time per node on the largest tree over
that on the smallest. Exits with 1 when any growth
but the host survey's exceeds 1.5; the host survey is shown only.
"""
import json
import sys

TARGET = 1.5
SHOWN_ONLY = {"survey/host"}


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    with open(sys.argv[1]) as f:
        runs = json.load(f)["benchmarks"]
    per_node = {}
    for run in runs:
        if run.get("error_occurred"):
            sys.exit(f"{run['name']}: {run.get('error_message', 'failed')}")
        if "per_node" not in run or run.get("aggregate_name", "median") != "median":
            continue
        what, shape, nodes = run.get("run_name", run["name"]).split("/")[:3]
        per_node[(f"{what}/{shape}", int(nodes))] = run["per_node"]
    ok = True
    print(f"{'benchmark':<16}{'nodes':>8}{'ns per node':>14}")
    for shape in sorted({s for s, _ in per_node}):
        sizes = sorted(n for s, n in per_node if s == shape)
        for n in sizes:
            print(f"{shape:<16}{n:>8}{per_node[(shape, n)] * 1e9:>14.2f}")
        growth = per_node[(shape, sizes[-1])] / per_node[(shape, sizes[0])]
        missed = shape not in SHOWN_ONLY and growth > TARGET
        ok = ok and not missed
        print(f"  {sizes[-1]} vs {sizes[0]} nodes: x{growth:.3f}" + (f"  MISSED (target x{TARGET})" if missed else ""))
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
