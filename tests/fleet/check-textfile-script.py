#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The timer's script over stand-ins for rootscope-headroom: what it leaves
in the textfile directory for each way the program can end, and that it
leaves no temporary file behind.

Usage: check-textfile-script.py SCRIPT
"""

import os
import stat
import subprocess
import sys
import tempfile

FAILED = ("# HELP rootscope_headroom_read_success x\n# TYPE rootscope_headroom_read_success gauge\n"
          "rootscope_headroom_read_success 0\n")
READ = ("# HELP rootscope_headroom_read_success x\n# TYPE rootscope_headroom_read_success gauge\n"
        "rootscope_headroom_read_success 1\n"
        'rootscope_bus_numbers{segment="0",bus="00",state="free"} 170\n')
OLD = 'rootscope_bus_numbers{segment="0",bus="00",state="free"} 3\n'

# name, what the stand-in prints, its exit code, the script's exit code,
# what rootscope.prom holds after (None: the samples of a failed read).
CASES = [
    ("read", READ, 0, 0, READ),
    ("failed read", FAILED, 1, 1, FAILED),
    ("crash after some series", READ, 139, 139, None),
    ("failed read with nothing printed", "", 1, 1, None),
    ("failed read printing more than read_success", FAILED + OLD, 1, 1, None),
]


def samples(text):
    return [line for line in text.splitlines() if line and not line.startswith("#")]


def run(script, directory, program, args=()):
    env = dict(os.environ, ROOTSCOPE_TEXTFILE_DIR=directory, ROOTSCOPE_HEADROOM=program)
    return subprocess.run([script, *args], env=env, capture_output=True, text=True, timeout=30, check=False)


def main(argv):
    if len(argv) != 2:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    script = os.path.abspath(argv[1])
    failures = []
    with tempfile.TemporaryDirectory(prefix="rootscope-textfile-") as work:
        directory = os.path.join(work, "textfile")
        os.mkdir(directory)
        target = os.path.join(directory, "rootscope.prom")
        for name, printed, code, expected_code, expected in CASES:
            with open(target, "w", encoding="utf-8") as file:
                file.write(OLD)  # an earlier read's series
            program = os.path.join(work, "stand-in")
            with open(program, "w", encoding="utf-8") as file:
                file.write(f"#!/bin/sh\n[ \"$1\" = --prometheus ] || exit 2\n"
                           f"[ \"$2\" = --sysroot ] || exit 2\nprintf '%s' '{printed}'\nexit {code}\n")
            os.chmod(program, 0o755)
            result = run(script, directory, program, ["--sysroot", "/machine"])
            with open(target, encoding="utf-8") as file:
                written = file.read()
            want = samples(expected if expected is not None else FAILED)
            mode = stat.S_IMODE(os.stat(target).st_mode)
            left = sorted(set(os.listdir(directory)) - {"rootscope.prom"})
            if result.returncode != expected_code or samples(written) != want or mode != 0o644 or left:
                failures.append(f"{name}: exit {result.returncode} (expected {expected_code}), mode {mode:o}, "
                                f"left {left}, wrote:\n{written}stderr: {result.stderr}")
            else:
                print(f"{name}: exit {result.returncode}, rootscope.prom holds {samples(written)}")

        # A directory that is not there: the script names it and fails.
        missing = os.path.join(work, "missing")
        result = run(script, missing, "/bin/true")
        if result.returncode == 0 or missing not in result.stderr:
            failures.append(f"missing directory: exit {result.returncode}, stderr {result.stderr!r}")
        else:
            print(f"missing directory: exit {result.returncode}, {result.stderr.strip()}")
    for failure in failures:
        print(failure, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
