"""The benchmark's report: the figures of one or more interpreters side by
side, one column each, and the targets checked per interpreter.

    python bench/report.py RUN.json [RUN.json ...] [--json ALL.json]

Each RUN.json is what `run_bench.py --json` wrote. Files of the same
interpreter are merged (scripts/bench.sh runs each section in a process of
its own, alternating between the interpreters), so a section measured in any
of them shows. run_bench.py prints its own figures through render() too.
Python 2.7 and 3.x, standard library only.
"""
from __future__ import print_function

import argparse
import json
import math
import sys

GAZE_VARIANTS = ['limit', 'module', 'module (burst on the Python main thread)', 'ctypes',
                 'ctypes (hand-tuned binding)']
GAZE_RATIOS = [('ratio module/limit', 'module', 'limit'),
               ('ratio ctypes/module', 'ctypes', 'module'),
               ('ratio ctypes (hand-tuned)/module', 'ctypes (hand-tuned binding)', 'module')]
GAZE_MODES = [('idle', 'main thread idle', 'samples'),
              ('busy', 'a Python thread spinning x += 1', 'busy_samples')]
LATENCY_MODES = [('idle', 'main thread idle (time.sleep)'),
                 ('busy', 'main thread busy (pure-Python loop)')]
LABEL = 46   # width of the row labels
COLUMN = 28  # width of one interpreter's column


# ---- arithmetic over rounds -----------------------------------------------------
def median(values):
    s = sorted(values)
    n = len(s)
    return s[n // 2] if n % 2 else 0.5 * (s[n // 2 - 1] + s[n // 2])


def round_ratio(figures, a, b):
    """The median over rounds of a's figure divided by b's in the same round:
    the two ran moments apart, so a slow phase of the machine cancels out."""
    return median([x / y for x, y in zip(figures[a], figures[b])])


def percentile(ordered, q):
    """The nearest-rank q-quantile (0 < q <= 1) of an ascending list."""
    return ordered[max(0, min(len(ordered) - 1, int(math.ceil(q * len(ordered))) - 1))]


# ---- merging runs -------------------------------------------------------------------
def merged(runs):
    """One run per interpreter, in the order first seen; the sections of runs
    of the same interpreter put together."""
    by_python = []
    for run in runs:
        for known in by_python:
            if known['python'] == run['python']:
                deep_update(known, run)
                break
        else:
            by_python.append(deep_update({}, run))
    return by_python


def deep_update(into, other):
    for key, value in other.items():
        if isinstance(value, dict) and isinstance(into.get(key), dict):
            deep_update(into[key], value)
        else:
            into[key] = value
    return into


# ---- targets ---------------------------------------------------------------------------
def targets(run):
    """(label, value or None, limit, 'max' or 'min') of one interpreter's run."""
    rows = []
    idle = run.get('gaze', {}).get('idle')
    rows.append(('gaze module/limit <= 1.3 (main thread idle)',
                 round_ratio(idle, 'module', 'limit') if idle else None, 1.3, 'max'))
    rows.append(('gaze ctypes/module >= 6 (main thread idle)',
                 round_ratio(idle, 'ctypes', 'module') if idle else None, 6.0, 'min'))
    busy = run.get('latency', {}).get('busy')
    rows.append(('gaze latency p99 < 2 ms (main thread busy)',
                 busy['p99_us'] / 1000.0 if busy and busy['count'] else None, 2.0, 'max'))
    requests = run.get('requests')
    rows.append(('requests module/limit <= 1.3',
                 round_ratio(requests, 'module', 'limit') if requests else None, 1.3, 'max'))
    memory = run.get('memory')
    rows.append(('memory growth < 1 MiB per million samples',
                 memory_growth_mib(memory) if memory else None, 1.0, 'below'))
    return rows


def memory_growth_mib(memory):
    return ((memory['after_kib'] - memory['before_kib']) / 1024.0 *
            (1000000.0 / memory['samples']))


def verdict(value, limit, kind):
    if value is None:
        return '-'
    ok = value <= limit if kind == 'max' else value < limit if kind == 'below' else value >= limit
    if ok:
        return '%.3f met' % value
    if kind == 'min':
        return '%.3f NOT MET (%.1f%% short)' % (value, 100.0 * (1 - value / limit))
    return '%.3f NOT MET (%.1f%% over)' % (value, 100.0 * (value / limit - 1))


# ---- printing ------------------------------------------------------------------------------
def rate(ns):
    return '%.2f M/s' % (1e3 / ns) if ns > 0 else '-'


def row(label, cells, indent='  '):
    return (indent + label).ljust(LABEL) + ''.join(' | ' + c.ljust(COLUMN) for c in cells).rstrip()


def short(name):
    return (name.replace(' (burst on the Python main thread)', '@main')
            .replace(' (hand-tuned binding)', '-tuned'))


def render(runs, out=None):
    out = out or sys.stdout

    def say(text=''):
        print(text, file=out)

    runs = merged(runs)
    pythons = ['Python ' + r['python'] for r in runs]
    first = runs[0]
    say('velto_internal benchmark: %s' % ' and '.join(pythons)
        + (' side by side' if len(runs) > 1 else ''))
    say('machine: %s' % first['machine'])
    say('rounds: %d, medians over rounds; variants interleaved, order rotating per round'
        % first['options']['rounds'])
    say('interpreter lock handed over by: %s' % '; '.join(
        '%s %s' % (python, r['interpreter_lock']) for python, r in zip(pythons, runs)))

    for mode, label, chunk_key in GAZE_MODES:
        if not any(mode in r.get('gaze', {}) for r in runs):
            continue
        say()
        say('Gaze delivery, %s: 18-entry dict to a trivial callable, ns per sample '
            '(samples/s), %dk samples per chunk' % (label, first['options'][chunk_key] // 1000))
        say(row('variant', pythons))
        figures = [r.get('gaze', {}).get(mode) for r in runs]
        for name in GAZE_VARIANTS:
            cells = []
            for f in figures:
                m = median(f[name]) if f else None
                cells.append('%7.0f ns  (%s)' % (m, rate(m)) if f else '-')
            say(row(name, cells))
        for label_, a, b in GAZE_RATIOS:
            say(row(label_, ['%7.2f x' % round_ratio(f, a, b) if f else '-' for f in figures]))
        say('  (ratios: median over rounds of the ratio within each round)')
        for python, f in zip(pythons, figures):
            if f:
                say('  spread of %s, min..max ns: %s' % (python, ', '.join(
                    '%s %.0f..%.0f' % (short(n), min(f[n]), max(f[n])) for n in GAZE_VARIANTS)))

    if any('latency' in r for r in runs):
        render_latency(runs, pythons, say)

    if any('requests' in r for r in runs):
        say()
        say('Request round trip: %d get_system_time_stamp requests queued, main thread '
            'blocked on the last callback, ns per request' % first['options']['requests'])
        say(row('variant', pythons))
        figures = [r.get('requests') for r in runs]
        for label, name in (('limit (bare queue + worker, callback (0,))', 'limit'),
                            ('module (call_function)', 'module')):
            say(row(label, ['%7.0f ns  (%s)' % (median(f[name]), rate(median(f[name])))
                            if f else '-' for f in figures]))
        say(row('ratio module/limit', ['%7.2f x' % round_ratio(f, 'module', 'limit')
                                       if f else '-' for f in figures]))
        for python, f in zip(pythons, figures):
            if f:
                say('  spread of %s, min..max ns: limit %.0f..%.0f, module %.0f..%.0f'
                    % (python, min(f['limit']), max(f['limit']), min(f['module']),
                       max(f['module'])))

    if any('memory' in r for r in runs):
        say()
        memory = [r.get('memory') for r in runs]
        known = [m for m in memory if m][0]
        say('Memory: VmRSS around %d delivered samples (after a %dk warm-up)'
            % (known['samples'], known['warmup'] // 1000))
        say(row('', pythons))
        for label, cell in (('before', lambda m: '%d KiB' % m['before_kib']),
                            ('after', lambda m: '%d KiB' % m['after_kib']),
                            ('growth per million samples',
                             lambda m: '%+d KiB (%.3f MiB)' % (
                                 (m['after_kib'] - m['before_kib']) * 1000000 // m['samples'],
                                 memory_growth_mib(m)))):
            say(row(label, [cell(m) if m else '-' for m in memory]))

    if any('value_bench' in r for r in runs):
        say()
        say('Value tree (Google Benchmark, median of %d repetitions, CPU time)'
            % first['options']['rounds'])
        say(row('', pythons))
        tables = [dict((name, (t, unit)) for name, t, unit in r.get('value_bench', []))
                  for r in runs]
        names = []
        for r in runs:
            names += [name for name, _, _ in r.get('value_bench', []) if name not in names]
        for name in names:
            say(row(name, ['%9.1f %s' % t[name] if name in t else '-' for t in tables]))

    rows = [targets(r) for r in runs]
    if any(value is not None for target in rows for _, value, _, _ in target):
        say()
        say(row('Targets, per version', pythons, indent=''))
        for i, (label, _, _, _) in enumerate(rows[0]):
            cells = [verdict(*target[i][1:]) for target in rows]
            if any(c != '-' for c in cells):
                say(row(label, cells))


def render_latency(runs, pythons, say):
    first = [r['latency'] for r in runs if 'latency' in r][0]
    say()
    say('Gaze latency at %g Hz: from a sample\'s system time stamp to its callable running, '
        'us; %g s per mode' % (first['hz'], first['seconds']))
    say('  (now: %s, read first thing in the callable; %s)' % (first['clock'], ', '.join(
        '%.0f ns a read on %s' % (r['latency']['clock_read_ns'], python)
        for python, r in zip(pythons, runs) if 'latency' in r)))
    say('  (library: a C callback the library calls just before the module\'s for the same '
        'sample, no Python;')
    say('   it shows when the library\'s thread got to the sample: its wake-up, and any wait '
        'behind earlier samples)')
    say('  (module: from that C callback to the callable, per sample: the interpreter lock, '
        'the dict, the call)')
    for mode, label in LATENCY_MODES:
        figures = [r.get('latency', {}).get(mode) for r in runs]
        if not any(figures):
            continue
        say(row(label, pythons))
        for name, key in (('p50', 'p50_us'), ('p99', 'p99_us'), ('max', 'max_us')):
            say(row(name, ['%7.0f us' % f[key] if f and f['count'] else '-' for f in figures],
                    indent='    '))
        for name, part in (('library p50 / p99 / max', 'floor'),
                           ('module p50 / p99 / max', 'handover')):
            say(row(name, ['%.0f / %.0f / %.0f us' % (f[part]['p50_us'], f[part]['p99_us'],
                                                      f[part]['max_us'])
                           if f and f[part]['count'] else '-' for f in figures], indent='    '))
        say(row('delivered of expected', [
            '%d of %d (%.1f%%)' % (f['count'], f['expected'], 100.0 * f['count'] / f['expected'])
            if f else '-' for f in figures], indent='    '))
        say(row('missing: callable / library', [
            '%d in %d gaps / %d' % (f['missing'], f['gaps'], f['floor']['missing'])
            if f else '-' for f in figures], indent='    '))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
    parser.add_argument('runs', nargs='+', help='files written by run_bench.py --json')
    parser.add_argument('--json', help='also write the merged figures to this file')
    options = parser.parse_args()
    runs = []
    for path in options.runs:
        with open(path) as f:
            runs.append(json.load(f))
    render(runs)
    if options.json:
        with open(options.json, 'w') as f:
            json.dump(merged(runs), f, indent=1, sort_keys=True)


if __name__ == '__main__':
    main()
