#!/usr/bin/env python3
"""Survey against floor from the benchmark suite's JSON output.

Usage: bench/ratio.py RESULTS.json

Reads the `per_node_walk` counter of every survey/SHAPE/N, walks/SHAPE/N and
floor/SHAPE/N benchmark (the median when the run was repeated, the only run
otherwise), prints the time per node per walk of each, survey / floor, and
how the time per node grows from the smallest tree to the largest. Exits with 1 when a figure
misses its target: survey / floor at most 1.25 on the largest tree, and the
survey's time per node on the largest tree within 1.5 times that on the
smallest.
"""
import json
import sys

RATIO_TARGET = 1.25
SCALING_TARGET = 1.5


def figures(path):
    with open(path) as f:
        data = json.load(f)
    singles, medians = {}, {}
    for b in data["benchmarks"]:
        if b.get("error_occurred"):
            sys.exit(f"{b['name']}: {b.get('error_message', 'failed')}")
        name = b.get("run_name", b["name"])
        kind, shape, nodes = name.split("/")[:3]
        key = (kind, shape, int(nodes))
        value = b.get("per_node_walk")
        if value is None:
            continue
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                medians[key] = value
        else:
            singles.setdefault(key, value)
    singles.update(medians)
    return singles, bool(medians)


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    per_node, repeated = figures(sys.argv[1])
    shapes = sorted({shape for _, shape, _ in per_node})
    ok = True
    print(f"time per node per walk, ns ({'median of repetitions' if repeated else 'single run'})")
    print(f"{'shape':<16}{'nodes':>8}{'floor':>10}{'walks':>10}{'survey':>10}{'survey/floor':>14}")
    for shape in shapes:
        sizes = sorted({n for _, s, n in per_node if s == shape})
        for n in sizes:
            floor = per_node.get(("floor", shape, n))
            survey = per_node.get(("survey", shape, n))
            if floor is None or survey is None:
                continue
            ratio = survey / floor
            walks = per_node.get(("walks", shape, n))
            walks_text = f"{walks * 1e9:>10.2f}" if walks is not None else f"{'-':>10}"
            print(f"{shape:<16}{n:>8}{floor * 1e9:>10.2f}{walks_text}{survey * 1e9:>10.2f}{ratio:>14.3f}")
            if n == sizes[-1] and ratio > RATIO_TARGET:
                ok = False
                print(f"  MISSED: survey/floor {ratio:.3f} > {RATIO_TARGET} at {n} nodes")
        small, large = sizes[0], sizes[-1]
        for kind in ("survey", "floor"):
            a, b = per_node.get((kind, shape, small)), per_node.get((kind, shape, large))
            if a is None or b is None:
                continue
            growth = b / a
            print(f"  {kind} per node, {large} vs {small} nodes: x{growth:.3f}")
            if kind == "survey" and growth > SCALING_TARGET:
                ok = False
                print(f"  MISSED: survey per node grows x{growth:.3f} > x{SCALING_TARGET}")
    print("all targets met" if ok else "some targets missed")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
