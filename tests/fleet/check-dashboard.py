#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Checks the Grafana dashboard: valid JSON, every panel queries something,
and every rootscope metric its queries name is one rootscope-headroom
--prometheus prints. A renamed metric would otherwise leave a panel empty
without a word.

Usage: check-dashboard.py DASHBOARD.json
"""

import json
import re
import sys

# What rootscope-headroom --prometheus prints, and nothing else.
METRICS = {
    "rootscope_headroom_read_success",
    "rootscope_headroom_exact",
    "rootscope_bus_numbers",
    "rootscope_bus_range_first",
    "rootscope_bus_range_last",
    "rootscope_memory_free_bytes",
    "rootscope_memory_largest_block_bytes",
    "rootscope_io_free_ports",
    "rootscope_memory_window_above_4g",
    "rootscope_unassigned_functions",
    "rootscope_slot_bus_numbers",
    "rootscope_slot_largest_block_bytes",
}


def queries(node, where):
    """Every (place, PromQL text) of the dashboard: panel targets' expr and
    template variables' queries, at any depth (rows nest panels)."""
    if isinstance(node, dict):
        for key, value in node.items():
            here = f"{where}.{key}"
            if key in ("expr", "definition") and isinstance(value, str):
                yield here, value
            elif key == "query" and isinstance(value, str):
                yield here, value
            else:
                yield from queries(value, here)
    elif isinstance(node, list):
        for index, value in enumerate(node):
            yield from queries(value, f"{where}[{index}]")


def check(path):
    """The problems of the dashboard at PATH, as lines."""
    try:
        with open(path, encoding="utf-8") as file:
            dashboard = json.load(file)
    except (OSError, ValueError) as error:
        return [f"{path}: {error}"]
    problems = []
    panels = dashboard.get("panels") if isinstance(dashboard, dict) else None
    if not isinstance(panels, list) or not panels:
        return [f"{path}: no panels"]
    for index, panel in enumerate(panels):
        if not any(True for _ in queries(panel.get("targets", []), "")):
            problems.append(f"{path}: panel {index} ({panel.get('title')!r}) queries nothing")
    used = set()
    for where, text in queries(dashboard, "$"):
        for name in re.findall(r"\brootscope_[a-zA-Z0-9_]*", text):
            used.add(name)
            if name not in METRICS:
                problems.append(f"{path}: {where}: {name} is not a metric rootscope-headroom prints")
    if not used:
        problems.append(f"{path}: no query names a rootscope metric")
    return problems


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    problems = check(argv[1])
    for problem in problems:
        print(problem, file=sys.stderr)
    if not problems:
        print(f"{argv[1]}: valid JSON; its queries name only known metrics")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
