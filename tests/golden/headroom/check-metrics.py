#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""rootscope-headroom --prometheus against --json, machine by machine.

check-metrics.py agree|promtool HEADROOM HEADROOM_SIM GOLDEN_DIR

GOLDEN_DIR is tests/golden: every NAME.json of headroom/ is a machine under
headroom/NAME (or sysroots/NAME, which it shares), every headroom/trees/NAME.json
that is not NAME.headroom.json a Windows device tree for HEADROOM_SIM --tree.

agree: the gauges are the JSON's numbers, worked out here again from the
JSON document, and nothing more: a value the JSON leaves null has no sample.
A machine that cannot be read gives read_success 0 alone, and exit 1.
promtool: `promtool check metrics` finds nothing to say of any output;
exit 77 (skipped) where promtool is missing.
"""
import json
import os
import re
import shutil
import subprocess
import sys
from collections import Counter

SAMPLE = re.compile(r'^([a-zA-Z_:][a-zA-Z0-9_:]*)(?:\{(.*)\})? (\S+)$')
LABEL = re.compile(r'([a-zA-Z_][a-zA-Z0-9_]*)="((?:[^"\\]|\\.)*)"(,|$)')
UNREAD = ('# HELP rootscope_headroom_read_success 1 when the machine\'s PCI tree was read, 0 when it could not be.\n'
          '# TYPE rootscope_headroom_read_success gauge\n'
          'rootscope_headroom_read_success 0\n')


def machines(golden):
    """(name, command arguments after the program, program index, linux)"""
    headroom = os.path.join(golden, 'headroom')
    for entry in sorted(os.listdir(headroom)):
        if not entry.endswith('.json'):
            continue
        name = entry[:-len('.json')]
        machine = os.path.join(headroom, name)
        if not os.path.isdir(machine):
            machine = os.path.join(golden, 'sysroots', name)
        if not os.path.isdir(machine):
            raise SystemExit(f'{os.path.join(headroom, entry)}: no machine headroom/{name} or sysroots/{name}')
        yield name, ['--sysroot', machine], 0, True
    trees = os.path.join(headroom, 'trees')
    for entry in sorted(os.listdir(trees)):
        if entry.endswith('.json') and not entry.endswith('.headroom.json'):
            yield 'tree ' + entry, ['--tree', os.path.join(trees, entry)], 1, False


def run(program, args):
    done = subprocess.run([program] + args, stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=False)
    return done.returncode, done.stdout.decode('utf-8')


def unescape(value):
    return re.sub(r'\\(.)', lambda m: '\n' if m.group(1) == 'n' else m.group(1), value)


def parse(text):
    """{(name, ((label, value), ...)): value}; a malformed line, a sample
    without its HELP and TYPE gauge lines or a series twice raise."""
    samples = {}
    helped, typed = set(), set()
    for line in text.splitlines():
        if line.startswith('# HELP '):
            helped.add(line.split(' ')[2])
            continue
        if line.startswith('# TYPE '):
            _, _, name, kind = line.split(' ')
            if kind != 'gauge':
                raise ValueError(f'{name} is a {kind}, not a gauge')
            typed.add(name)
            continue
        match = SAMPLE.match(line)
        if not match:
            raise ValueError(f'not a sample: {line!r}')
        name, labels, value = match.groups()
        if name not in helped or name not in typed:
            raise ValueError(f'{name} without HELP and TYPE before it')
        pairs = []
        rest = labels or ''
        while rest:
            label = LABEL.match(rest)
            if not label:
                raise ValueError(f'bad labels: {line!r}')
            pairs.append((label.group(1), unescape(label.group(2))))
            rest = rest[label.end():]
        key = (name, tuple(sorted(pairs)))
        if key in samples:
            raise ValueError(f'series twice: {line!r}')
        samples[key] = int(value)
    return samples


def expected(document, linux):
    want = {}

    def put(name, value, **labels):
        want[(name, tuple(sorted(labels.items())))] = value

    put('rootscope_headroom_read_success', 1)
    put('rootscope_headroom_exact', 1 if linux else 0)
    keys = Counter((root['segment'], root['bus']) for root in document['root_buses'])
    for root in document['root_buses']:
        if keys[(root['segment'], root['bus'])] > 1:
            continue  # numbered alike: no labels tell them apart
        names = Counter(slot['name'] for slot in root['slots'])
        at = {'segment': str(root['segment']), 'bus': '%02x' % root['bus']}
        for state, key in (('claimed', 'claimed'), ('in_use', 'buses'), ('reserved', 'reserved'), ('free', 'free')):
            if root[key] is not None:
                put('rootscope_bus_numbers', root[key], state=state, **at)
        if root['range'] is not None:
            put('rootscope_bus_range_first', root['range']['first'], **at)
            put('rootscope_bus_range_last', root['range']['last'], **at)
        memory = root['memory']
        if memory is not None:
            for kind in ('below_4g', 'above_4g'):
                put('rootscope_memory_free_bytes', memory[kind]['free'], type=kind, **at)
                put('rootscope_memory_largest_block_bytes', memory[kind]['largest_block'], type=kind, **at)
            put('rootscope_io_free_ports', memory['io']['free'], **at)
            put('rootscope_memory_window_above_4g', 1 if memory['above_4g']['size'] > 0 else 0, **at)
        # Both readers read the addresses; Windows says only that a function got
        # none (Code 12).
        stopped = {d['address'] for d in root['device_problems'] if d['problem'] == 12}
        put('rootscope_unassigned_functions', len({u['address'] for u in root['unassigned']} | stopped), **at)
        for slot in root['slots']:
            if slot['hotplug'] is not True or slot['occupied'] or names[slot['name']] > 1:
                continue
            if slot['usable'] is not None:
                put('rootscope_slot_bus_numbers', slot['usable'], slot=slot['name'], **at)
            for kind in ('memory', 'prefetchable'):
                blocks = [w['largest_block'] for w in slot['windows'] or [] if w['type'] == kind]
                if blocks:
                    put('rootscope_slot_largest_block_bytes', max(blocks), slot=slot['name'], type=kind, **at)
    return want


def agree(name, programs, args, program, linux):
    json_exit, json_text = run(programs[program], ['--json'] + args)
    prom_exit, prom_text = run(programs[program], ['--prometheus'] + args)
    if json_exit != 0:
        if prom_exit != json_exit or prom_text != (UNREAD if json_exit == 1 else ''):
            return [f'{name}: --json exits {json_exit}, --prometheus {prom_exit} with {prom_text!r}']
        return []
    if prom_exit != 0:
        return [f'{name}: --prometheus exits {prom_exit}']
    try:
        got = parse(prom_text)
    except ValueError as error:
        return [f'{name}: {error}']
    want = expected(json.loads(json_text), linux)
    problems = []
    for key in sorted(set(got) | set(want)):
        if got.get(key) != want.get(key):
            problems.append(f'{name}: {key[0]}{dict(key[1])}: metrics {got.get(key)}, JSON {want.get(key)}')
    return problems


def promtool(name, programs, args, program, _linux):
    _, text = run(programs[program], ['--prometheus'] + args)
    done = subprocess.run(['promtool', 'check', 'metrics'], input=text.encode('utf-8'), stdout=subprocess.PIPE,
                          stderr=subprocess.STDOUT, check=False)
    if done.returncode != 0 or done.stdout:
        return [f'{name}: promtool exits {done.returncode}: {done.stdout.decode("utf-8", "replace").strip()}']
    return []


def main():
    if len(sys.argv) != 5 or sys.argv[1] not in ('agree', 'promtool'):
        print(__doc__.strip().splitlines()[2], file=sys.stderr)
        return 2
    mode, programs, golden = sys.argv[1], sys.argv[2:4], sys.argv[4]
    if mode == 'promtool' and shutil.which('promtool') is None:
        print('promtool is missing (Debian package prometheus): skipped')
        return 77
    check = agree if mode == 'agree' else promtool
    problems = []
    count = 0
    for name, args, program, linux in machines(golden):
        problems += check(name, programs, args, program, linux)
        count += 1
    for problem in problems:
        print(problem, file=sys.stderr)
    print(f'{count} machines, {len(problems)} problems')
    return 1 if problems else 0


if __name__ == '__main__':
    sys.exit(main())
