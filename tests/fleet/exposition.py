# SPDX-License-Identifier: MIT
"""Reads Prometheus' text exposition format into {(name, labels): value}.

Shared by the fleet tests: they compare what rootscope-headroom prints with
what the node exporter serves, which writes the same numbers differently
(68719476736 as 6.8719476736e+10) and may order labels its own way, so both
sides are read into one form before they are compared.
"""

import re

_NAME = re.compile(r"[a-zA-Z_:][a-zA-Z0-9_:]*")
_LABEL = re.compile(r'\s*([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"\s*(,|(?=\}))')
_UNESCAPE = {"\\\\": "\\", '\\"': '"', "\\n": "\n"}


def _unescape(value):
    return re.sub(r"\\[\\\"n]", lambda m: _UNESCAPE[m.group(0)], value)


def parse(text):
    """The samples of TEXT; raises ValueError naming the line it cannot read
    or a series given twice."""
    samples = {}
    for number, line in enumerate(text.splitlines(), 1):
        if not line.strip() or line.startswith("#"):
            continue
        match = _NAME.match(line)
        if not match:
            raise ValueError(f"line {number}: no metric name: {line!r}")
        name, rest = match.group(0), line[match.end():]
        labels = []
        if rest.startswith("{"):
            rest = rest[1:]
            while not rest.lstrip().startswith("}"):
                label = _LABEL.match(rest)
                if not label:
                    raise ValueError(f"line {number}: bad labels: {line!r}")
                labels.append((label.group(1), _unescape(label.group(2))))
                rest = rest[label.end():]
            rest = rest.lstrip()[1:]
        fields = rest.split()
        if len(fields) not in (1, 2):
            raise ValueError(f"line {number}: no value: {line!r}")
        key = (name, tuple(sorted(labels)))
        if key in samples:
            raise ValueError(f"line {number}: series given twice: {line!r}")
        samples[key] = float(fields[0])
    return samples


def series(name, **labels):
    """The key parse() gives the series NAME{LABELS}."""
    return (name, tuple(sorted(labels.items())))


def show(key):
    name, labels = key
    if not labels:
        return name
    return name + "{" + ",".join(f'{k}="{v}"' for k, v in labels) + "}"
