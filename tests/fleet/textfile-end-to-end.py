#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""End to end through the real node exporter: the timer's script writes
rootscope-headroom's metrics of a golden machine into a textfile directory,
the exporter (textfile collector only, on 127.0.0.1) serves them, and a
scrape must show each series with its labels and value. A failed read then
leaves read_success 0 and none of the earlier series. Exits 77 (skipped)
where the exporter is not installed or the program has no --prometheus.

Usage: textfile-end-to-end.py HEADROOM SCRIPT EXPORTER GOLDEN_DIR
"""

import os
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import exposition  # noqa: E402
from exposition import series  # noqa: E402

SKIP = 77
SCRAPE_SECONDS = 20  # the exporter's start and a scrape, on a busy machine
STOP_SECONDS = 5

# What thunderbolt_egpu.json says of its one root bus, 0000:00, as series.
ROOT = {"segment": "0", "bus": "00"}
EXPECTED = {
    series("rootscope_headroom_read_success"): 1,
    series("rootscope_headroom_exact"): 1,
    series("rootscope_bus_numbers", **ROOT, state="claimed"): 86,
    series("rootscope_bus_numbers", **ROOT, state="in_use"): 7,
    series("rootscope_bus_numbers", **ROOT, state="reserved"): 79,
    series("rootscope_bus_numbers", **ROOT, state="free"): 170,
    series("rootscope_bus_range_first", **ROOT): 0,
    series("rootscope_bus_range_last", **ROOT): 255,
    series("rootscope_memory_free_bytes", **ROOT, type="below_4g"): 133234688,
    series("rootscope_memory_free_bytes", **ROOT, type="above_4g"): 273518952448,
    series("rootscope_memory_largest_block_bytes", **ROOT, type="below_4g"): 67108864,
    series("rootscope_memory_largest_block_bytes", **ROOT, type="above_4g"): 68719476736,
    series("rootscope_io_free_ports", **ROOT): 57272,
    series("rootscope_memory_window_above_4g", **ROOT): 1,
    series("rootscope_unassigned_functions", **ROOT): 1,
    # Slot 1 holds the enclosure: only the empty slot 2 has slot series.
    series("rootscope_slot_bus_numbers", **ROOT, slot="2"): 42,
    series("rootscope_slot_largest_block_bytes", **ROOT, slot="2", type="memory"): 268435456,
    series("rootscope_slot_largest_block_bytes", **ROOT, slot="2", type="prefetchable"): 536870912,
}


def log(message):
    print(f"textfile-end-to-end: {message}", flush=True)


def free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def scrape(url, exporter, deadline):
    """The samples at URL, retried until DEADLINE while the exporter starts;
    None when it exited or never answered."""
    while True:
        try:
            with urllib.request.urlopen(url, timeout=max(0.1, deadline - time.monotonic())) as response:
                return exposition.parse(response.read().decode("utf-8"))
        except (urllib.error.URLError, OSError):
            if exporter.poll() is not None or time.monotonic() >= deadline:
                return None
            time.sleep(0.1)


def stop(exporter):
    """Ends the exporter by its PID: asked, then killed, each bounded."""
    if exporter.poll() is not None:
        return
    exporter.send_signal(signal.SIGTERM)
    try:
        exporter.wait(timeout=STOP_SECONDS)
    except subprocess.TimeoutExpired:
        log(f"exporter {exporter.pid} still running {STOP_SECONDS} s after SIGTERM: SIGKILL")
        exporter.kill()
        exporter.wait(timeout=STOP_SECONDS)


def number(value):
    return str(int(value)) if float(value).is_integer() else repr(value)


def rootscope_series(samples):
    return {key: value for key, value in samples.items() if key[0].startswith("rootscope_")}


def compare(scraped, wanted, what):
    """The differences between the rootscope series SCRAPED and WANTED."""
    problems = []
    got = rootscope_series(scraped)
    for key, value in wanted.items():
        if key not in got:
            problems.append(f"{what}: {exposition.show(key)} missing from the scrape")
        elif got[key] != value:
            problems.append(f"{what}: {exposition.show(key)} is {number(got[key])}, expected {number(value)}")
    for key in sorted(set(got) - set(wanted)):
        problems.append(f"{what}: {exposition.show(key)} {number(got[key])} served but not written")
    return problems


def run_script(script, directory, headroom, sysroot):
    env = dict(os.environ, ROOTSCOPE_TEXTFILE_DIR=directory, ROOTSCOPE_HEADROOM=headroom)
    return subprocess.run([script, "--sysroot", sysroot], env=env, capture_output=True, text=True,
                          timeout=60, check=False)


def check(headroom, script, exporter_path, golden, work):
    problems = []
    directory = os.path.join(work, "textfile")
    os.mkdir(directory)
    good = os.path.join(golden, "thunderbolt_egpu")
    bad = os.path.join(golden, "pci_devices_loop")

    # What the program itself prints of the golden machine: the scrape must
    # carry all of it, and that must hold what the golden's JSON says.
    direct = subprocess.run([headroom, "--prometheus", "--sysroot", good], capture_output=True, text=True,
                            timeout=60, check=False)
    if direct.returncode != 0:
        return [f"{headroom} --prometheus --sysroot {good}: exit {direct.returncode}: {direct.stderr}"]
    printed = rootscope_series(exposition.parse(direct.stdout))
    for key, value in EXPECTED.items():
        if printed.get(key) != value:
            problems.append(f"{exposition.show(key)}: printed {printed.get(key)}, the golden says {number(value)}")

    result = run_script(script, directory, headroom, good)
    log(f"script over {os.path.basename(good)}: exit {result.returncode}")
    if result.returncode != 0:
        return problems + [f"{script}: exit {result.returncode}: {result.stderr}"]

    port = free_port()
    address = f"127.0.0.1:{port}"
    command = [exporter_path, "--collector.disable-defaults", "--collector.textfile",
               f"--collector.textfile.directory={directory}", f"--web.listen-address={address}"]
    with open(os.path.join(work, "exporter.log"), "w", encoding="utf-8") as exporter_log:
        exporter = subprocess.Popen(command, stdout=exporter_log, stderr=subprocess.STDOUT)
    log(f"exporter {exporter.pid} started on {address}")
    try:
        url = f"http://{address}/metrics"
        started = time.monotonic()
        scraped = scrape(url, exporter, started + SCRAPE_SECONDS)
        if scraped is None:
            with open(os.path.join(work, "exporter.log"), encoding="utf-8") as exporter_log:
                return problems + [f"{url}: no answer within {SCRAPE_SECONDS} s "
                                       f"(exporter exit {exporter.poll()}):\n{exporter_log.read()}"]
        log(f"first scrape answered after {time.monotonic() - started:.2f} s")
        problems += compare(scraped, printed, "after a read")
        if scraped.get(series("node_textfile_scrape_error")) != 0:
            problems.append(f"node_textfile_scrape_error is {scraped.get(series('node_textfile_scrape_error'))}")

        result = run_script(script, directory, headroom, bad)
        log(f"script over {os.path.basename(bad)}: exit {result.returncode}")
        if result.returncode == 0:
            problems.append(f"{script} --sysroot {bad}: exit 0 for a machine that cannot be read")
        started = time.monotonic()
        scraped = scrape(url, exporter, started + SCRAPE_SECONDS)
        if scraped is None:
            return problems + [f"{url}: no answer after the failed read"]
        log(f"second scrape answered after {time.monotonic() - started:.2f} s")
        problems += compare(scraped, {series("rootscope_headroom_read_success"): 0}, "after a failed read")
        if scraped.get(series("node_textfile_scrape_error")) != 0:
            problems.append("node_textfile_scrape_error is not 0 after the failed read")
        left = sorted(set(os.listdir(directory)) - {"rootscope.prom"})
        if left:
            problems.append(f"{directory}: left behind: {left}")
    finally:
        stop(exporter)
        log(f"exporter {exporter.pid} stopped, exit {exporter.returncode}")
    return problems


def main(argv):
    if len(argv) != 5:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    headroom, script, exporter, golden = argv[1:]
    if not os.access(exporter, os.X_OK):
        print(f"skipped: {exporter} not installed (Debian's prometheus-node-exporter)")
        return SKIP
    help_text = subprocess.run([headroom, "--help"], capture_output=True, text=True, timeout=30, check=False)
    if "--prometheus" not in help_text.stdout:
        print(f"skipped: {headroom} --help lists no --prometheus")
        return SKIP
    with tempfile.TemporaryDirectory(prefix="rootscope-fleet-") as work:
        try:
            problems = check(headroom, script, exporter, golden, work)
        except (OSError, ValueError, subprocess.SubprocessError) as error:
            problems = [f"{type(error).__name__}: {error}"]
    for problem in problems:
        print(problem, file=sys.stderr)
    if not problems:
        log(f"{len(EXPECTED)} series of the golden and the failed read arrived as written")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
