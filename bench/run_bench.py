"""Benchmark of velto_internal against its reference implementations.

Run through scripts/bench.sh, which builds a Release tree and calls
    python run_bench.py --lib-dir BUILD/lib [--value-bench BUILD/bin/value_bench]

Every figure is a median over rounds; within a round each variant runs one
chunk, in an order that rotates from round to round, so a slow phase of the
machine hits every variant alike. Ratios are the median over rounds of the
ratio within each round.

Gaze delivery (ns per sample, samples per second):
  limit   bench_limit.so: a native thread that keeps its thread state builds the
          18-entry dict straight from the record (interned keys) and calls the
          callable.
  module  velto_internal: a trivial callable subscribed to gaze data; a fresh
          native thread (a device-library thread, no Python thread state) runs
          velto_sim_emit_burst. Also shown: the burst run on the Python main
          thread itself (inside a ctypes call).
  ctypes  the same records handed to a ctypes CFUNCTYPE callback (from a fresh
          native thread) that builds the dict in Python from a ctypes.Structure.
Each once with the main thread idle (blocked in the ctypes call, interpreter
lock released) and once with a Python thread spinning `x += 1` meanwhile.

Request round trip: N call_function('get_system_time_stamp') requests queued,
the main thread then blocked on the last callback (threading.Event.wait,
interpreter lock released); against bench_limit's bare queue (one C++ queue,
one worker taking the interpreter lock per request, calling back with (0,)).

Memory: VmRSS before and after one million delivered samples, after a warm-up.

Value tree: the Google Benchmark figures of value_bench.
"""
import argparse
import ctypes
import json
import os
import platform
import struct
import subprocess
import sys
import threading

# ---- command line and libraries ---------------------------------------------

parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
parser.add_argument('--lib-dir', required=True, help='the build tree lib/ folder')
parser.add_argument('--value-bench', help='the value_bench executable (skipped when absent)')
parser.add_argument('--rounds', type=int, default=15)
parser.add_argument('--samples', type=int, default=20000, help='gaze samples per chunk')
parser.add_argument('--busy-samples', type=int, default=10000,
                    help='gaze samples per chunk with the main thread busy')
parser.add_argument('--requests', type=int, default=10000, help='requests per chunk')
parser.add_argument('--memory-samples', type=int, default=1000000)
parser.add_argument('--profile', choices=['limit', 'module', 'module-main', 'ctypes', 'ctypes-tuned',
                                          'requests', 'requests-limit'],
                    help='run only this variant (for a profiler) and print nothing else')
parser.add_argument('--profile-count', type=int, default=200000)
parser.add_argument('--json', help='also write every raw figure to this file')
parser.add_argument('--only', default='gaze,busy,requests,memory,value',
                    help='comma-separated sections to run')
options = parser.parse_args()
sections = set(options.only.split(','))

sys.path.insert(0, options.lib_dir)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                'simulator'))
import velto_internal  # noqa: E402
import bench_limit  # noqa: E402
import velto_sim  # noqa: E402  (simulator/velto_sim.py)

sim = velto_sim.Simulator(options.lib_dir)
native = ctypes.CDLL(os.path.join(options.lib_dir, 'bench_limit.so'))

native.bench_now_ns.restype = ctypes.c_int64
native.bench_limit_run.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int64]
native.bench_limit_run.restype = ctypes.c_int64
for name in ('bench_burst_native', 'bench_burst_here'):
    getattr(native, name).argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_void_p,
                                      ctypes.c_int64, ctypes.POINTER(ctypes.c_int64)]
    getattr(native, name).restype = ctypes.c_int64
native.bench_callback_native.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
native.bench_callback_native.restype = ctypes.c_int64

now_ns = native.bench_now_ns


# ---- records -----------------------------------------------------------------

from velto_sim import GazeData  # noqa: E402

GAZE_CALLBACK = ctypes.CFUNCTYPE(None, ctypes.POINTER(GazeData), ctypes.c_void_p)
NAN = struct.unpack('<d', struct.pack('<Q', 0xFFF8000000000000))[0]


def fill_eye(eye, base, valid):
    eye.gaze_point_on_display_area.x = base + 0.1
    eye.gaze_point_on_display_area.y = base + 0.2
    p = eye.gaze_point_in_user_coordinate_system
    p.x, p.y, p.z = base + 1.1, base + 1.2, base + 1.3
    eye.pupil_diameter = base + 3.7
    o = eye.gaze_origin_in_user_coordinate_system
    o.x, o.y, o.z = base + 4.1, base + 4.2, base + 4.3
    t = eye.gaze_origin_in_trackbox_coordinate_system
    t.x, t.y, t.z = base + 0.51, base + 0.52, base + 0.53
    v = 1 if valid else 0
    eye.gaze_point_validity = eye.pupil_validity = eye.gaze_origin_validity = v


def make_record(right_valid=True):
    r = GazeData()
    r.device_time_stamp = 1234567890123
    r.system_time_stamp = 9876543210987
    fill_eye(r.left_eye, 0.0, True)
    fill_eye(r.right_eye, 10.0, right_valid)
    return r


# ---- the ctypes reference ----------------------------------------------------

def make_plain_ctypes_binding(fn):
    """A ctypes binding written the straightforward way: the callback reads
    each field through the Structure where it is needed and builds the dict
    in Python."""
    def on_gaze(pointer, user_data):
        r = pointer.contents
        d = {}
        d['device_time_stamp'] = long(r.device_time_stamp)
        d['system_time_stamp'] = long(r.system_time_stamp)
        for side, eye in (('left_', r.left_eye), ('right_', r.right_eye)):
            if eye.gaze_point_validity == 1:
                d[side + 'gaze_point_on_display_area'] = (
                    eye.gaze_point_on_display_area.x, eye.gaze_point_on_display_area.y)
                d[side + 'gaze_point_in_user_coordinate_system'] = (
                    eye.gaze_point_in_user_coordinate_system.x,
                    eye.gaze_point_in_user_coordinate_system.y,
                    eye.gaze_point_in_user_coordinate_system.z)
            else:
                d[side + 'gaze_point_on_display_area'] = (NAN, NAN)
                d[side + 'gaze_point_in_user_coordinate_system'] = (NAN, NAN, NAN)
            d[side + 'gaze_point_validity'] = eye.gaze_point_validity
            if eye.pupil_validity == 1:
                d[side + 'pupil_diameter'] = eye.pupil_diameter
            else:
                d[side + 'pupil_diameter'] = NAN
            d[side + 'pupil_validity'] = eye.pupil_validity
            if eye.gaze_origin_validity == 1:
                d[side + 'gaze_origin_in_user_coordinate_system'] = (
                    eye.gaze_origin_in_user_coordinate_system.x,
                    eye.gaze_origin_in_user_coordinate_system.y,
                    eye.gaze_origin_in_user_coordinate_system.z)
                d[side + 'gaze_origin_in_trackbox_coordinate_system'] = (
                    eye.gaze_origin_in_trackbox_coordinate_system.x,
                    eye.gaze_origin_in_trackbox_coordinate_system.y,
                    eye.gaze_origin_in_trackbox_coordinate_system.z)
            else:
                d[side + 'gaze_origin_in_user_coordinate_system'] = (NAN, NAN, NAN)
                d[side + 'gaze_origin_in_trackbox_coordinate_system'] = (NAN, NAN, NAN)
            d[side + 'gaze_origin_validity'] = eye.gaze_origin_validity
        fn(d)

    return GAZE_CALLBACK(on_gaze)


def make_ctypes_binding(fn):
    """A hand-tuned ctypes binding: each nested Structure is read once, the
    keys are made once, the dict is built by a helper per eye."""
    def eye(e, d, k_pd, k_pu, k_pv, k_dia, k_dv, k_ou, k_ot, k_ov):
        gv = e.gaze_point_validity
        if gv == 1:
            p = e.gaze_point_on_display_area
            q = e.gaze_point_in_user_coordinate_system
            d[k_pd] = (p.x, p.y)
            d[k_pu] = (q.x, q.y, q.z)
        else:
            d[k_pd] = (NAN, NAN)
            d[k_pu] = (NAN, NAN, NAN)
        d[k_pv] = gv
        pv = e.pupil_validity
        d[k_dia] = e.pupil_diameter if pv == 1 else NAN
        d[k_dv] = pv
        ov = e.gaze_origin_validity
        if ov == 1:
            u = e.gaze_origin_in_user_coordinate_system
            t = e.gaze_origin_in_trackbox_coordinate_system
            d[k_ou] = (u.x, u.y, u.z)
            d[k_ot] = (t.x, t.y, t.z)
        else:
            d[k_ou] = (NAN, NAN, NAN)
            d[k_ot] = (NAN, NAN, NAN)
        d[k_ov] = ov

    left_keys = tuple('left_' + k for k in EYE_KEYS)
    right_keys = tuple('right_' + k for k in EYE_KEYS)

    def on_gaze(pointer, user_data):
        r = pointer.contents
        d = {'device_time_stamp': long(r.device_time_stamp),
             'system_time_stamp': long(r.system_time_stamp)}
        eye(r.left_eye, d, *left_keys)
        eye(r.right_eye, d, *right_keys)
        fn(d)

    return GAZE_CALLBACK(on_gaze)


EYE_KEYS = ('gaze_point_on_display_area', 'gaze_point_in_user_coordinate_system',
            'gaze_point_validity', 'pupil_diameter', 'pupil_validity',
            'gaze_origin_in_user_coordinate_system',
            'gaze_origin_in_trackbox_coordinate_system', 'gaze_origin_validity')


# ---- the module --------------------------------------------------------------

def call(name, args=(), timeout=30.0):
    done = threading.Event()
    box = []

    def callback(result):
        box.append(result)
        done.set()

    status = velto_internal.call_function(name, args, callback)
    if status != 0:
        raise RuntimeError('call_function(%r) refused with %r' % (name, status))
    if not done.wait(timeout):
        raise RuntimeError('no result for %r' % name)
    return box[0]


def trivial(d):
    pass


def module_setup():
    velto_internal.startup()
    sim.reset()
    sim.configure({'generate': False, 'trackers': [{'address': 'velto-sim://bench'}]})
    status, devices = call('find_all_eyetrackers')
    assert status == 0, status
    return devices[0]['core_eyetracker']


def subscribe(device, fn):
    status = call('subscribe_to', (1, device, fn))
    assert status == (0,), status


def unsubscribe(device):
    status = call('unsubscribe_from', (1, device))
    assert status == (0,), status


# ---- drivers: each returns ns per sample ---------------------------------------

class Gaze(object):
    def __init__(self, device):
        self.device = device
        self.record = make_record()
        self.address = ctypes.addressof(self.record)
        self.binding = make_ctypes_binding(trivial)
        self.binding_address = ctypes.cast(self.binding, ctypes.c_void_p).value
        self.plain_binding = make_plain_ctypes_binding(trivial)
        self.plain_binding_address = ctypes.cast(self.plain_binding, ctypes.c_void_p).value

    def limit(self, n, fn=trivial, record=None):
        address = self.address if record is None else ctypes.addressof(record)
        return native.bench_limit_run(fn, address, n) / float(n)

    def module(self, n, record=None, here=False):
        address = self.address if record is None else ctypes.addressof(record)
        made = ctypes.c_int64(0)
        burst = native.bench_burst_here if here else native.bench_burst_native
        elapsed = burst(1, self.device, address, n, ctypes.byref(made))
        if made.value != n:
            raise RuntimeError('burst of %d made %d callbacks' % (n, made.value))
        return elapsed / float(n)

    def module_here(self, n):
        return self.module(n, here=True)

    def ctypes_plain(self, n):
        return self.ctypes_ref(n, self.plain_binding_address)

    def ctypes_ref(self, n, binding_address=None, record=None):
        address = self.address if record is None else ctypes.addressof(record)
        fn = self.binding_address if binding_address is None else binding_address
        return native.bench_callback_native(fn, address, n) / float(n)


def check_same_dicts(gaze):
    """All three variants must hand the callable the same dict (NaN shapes
    included), or the comparison means nothing."""
    for record in (make_record(True), make_record(False)):
        got = {}
        for name in ('limit', 'module', 'ctypes', 'ctypes (tuned)'):
            box = []
            if name == 'limit':
                gaze.limit(1, box.append, record)
            elif name == 'module':
                unsubscribe(gaze.device)
                subscribe(gaze.device, box.append)
                gaze.module(1, record)
                unsubscribe(gaze.device)
                subscribe(gaze.device, trivial)
            else:
                make = make_ctypes_binding if name == 'ctypes (tuned)' else make_plain_ctypes_binding
                binding = make(box.append)
                gaze.ctypes_ref(1, ctypes.cast(binding, ctypes.c_void_p).value, record)
            assert len(box) == 1, (name, box)
            got[name] = repr(sorted(box[0].items()))
        if len(set(got.values())) != 1:
            raise RuntimeError('the variants deliver different dicts:\n%s' %
                               '\n'.join('%s: %s' % kv for kv in sorted(got.items())))


def median(values):
    s = sorted(values)
    n = len(s)
    return s[n // 2] if n % 2 else 0.5 * (s[n // 2 - 1] + s[n // 2])


def round_ratio(figures, a, b):
    """The median over rounds of a's figure divided by b's in the same round:
    the two ran moments apart, so a slow phase of the machine cancels out."""
    return median([x / y for x, y in zip(figures[a], figures[b])])


def interleaved(variants, rounds, chunk):
    """variants: list of (name, function(chunk) -> ns per unit). Returns
    name -> list of per-round figures."""
    figures = dict((name, []) for name, _ in variants)
    for name, run in variants:  # one unrecorded warm-up chunk each
        run(max(1, chunk // 10))
    for r in range(rounds):
        order = variants[r % len(variants):] + variants[:r % len(variants)]
        for name, run in order:
            figures[name].append(run(chunk))
    return figures


class Spinner(object):
    """A Python thread spinning `x += 1` until stopped."""

    def __enter__(self):
        self.running = True
        self.thread = threading.Thread(target=self.spin)
        self.thread.daemon = True
        self.thread.start()
        return self

    def spin(self):
        x = 0
        while self.running:
            x += 1

    def __exit__(self, *exc):
        self.running = False
        self.thread.join()


# ---- request round trip --------------------------------------------------------

def noop(result):
    pass


def round_trip(submit, n):
    done = threading.Event()

    def last(result):
        done.set()

    args = ()
    name = 'get_system_time_stamp'
    start = now_ns()
    for _ in xrange(n - 1):
        submit(name, args, noop)
    submit(name, args, last)
    done.wait()
    return (now_ns() - start) / float(n)


def check_requests():
    box = []
    for _ in range(3):
        box.append(call('get_system_time_stamp'))
    assert all(r[0] == 0 and isinstance(r[1], long) for r in box), box
    done = threading.Event()
    seen = []
    bench_limit.queue_call('x', (), seen.append)
    bench_limit.queue_call('x', (), lambda r: done.set())
    done.wait()
    assert seen == [(0,)], seen


# ---- memory ----------------------------------------------------------------------

def rss_kib():
    with open('/proc/self/status') as f:
        for line in f:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    return -1


def memory(gaze, total, warmup, chunk):
    done = 0
    while done < warmup:
        gaze.module(min(chunk, warmup - done))
        done += chunk
    before = rss_kib()
    done = 0
    while done < total:
        gaze.module(min(chunk, total - done))
        done += chunk
    after = rss_kib()
    return before, after


# ---- value_bench -------------------------------------------------------------

def value_bench(path, repetitions):
    out = subprocess.check_output([
        path, '--benchmark_format=json', '--benchmark_repetitions=%d' % repetitions,
        '--benchmark_report_aggregates_only=true', '--benchmark_min_time=0.2'])
    data = json.loads(out)
    rows = []
    for b in data['benchmarks']:
        if b.get('aggregate_name') == 'median':
            rows.append((b['run_name'], b['cpu_time'], b['time_unit']))
    return rows


# ---- report ------------------------------------------------------------------------

def machine():
    model = '?'
    with open('/proc/cpuinfo') as f:
        for line in f:
            if line.startswith('model name'):
                model = line.split(':', 1)[1].strip()
                break
    cores = os.sysconf('SC_NPROCESSORS_ONLN')
    return '%s, %d cores; Python %s; %s' % (model, cores, platform.python_version(),
                                           platform.platform())


def rate(ns):
    return '%.2f M/s' % (1e3 / ns) if ns > 0 else '-'


def verdict(ok):
    return 'met' if ok else 'NOT MET'


def main():
    raw = {'machine': machine(), 'rounds': options.rounds}
    print('velto_internal benchmark')
    print('machine: %s' % raw['machine'])
    print('rounds: %d, medians over rounds; variants interleaved, order rotating per round'
          % options.rounds)
    sys.stdout.flush()

    device = module_setup()
    subscribe(device, trivial)
    gaze = Gaze(device)
    check_same_dicts(gaze)

    gaze_variants = [('limit', gaze.limit), ('module', gaze.module),
                     ('module (burst on the Python main thread)', gaze.module_here),
                     ('ctypes', gaze.ctypes_plain),
                     ('ctypes (hand-tuned binding)', gaze.ctypes_ref)]
    results = {}
    if 'gaze' in sections:
        results['idle'] = interleaved(gaze_variants, options.rounds, options.samples)
    if 'busy' in sections:
        with Spinner():
            results['busy'] = interleaved(gaze_variants, options.rounds, options.busy_samples)
    raw['gaze'] = results

    targets = []
    if results:
        print('')
        print('Gaze delivery: 18-entry dict to a trivial callable, ns per sample (samples/s)')
        header = '  %-44s' % 'variant'
        for mode in ('idle', 'busy'):
            if mode in results:
                chunk = options.samples if mode == 'idle' else options.busy_samples
                label = ('main thread idle' if mode == 'idle' else 'main thread spinning x += 1')
                header += ' | %-28s' % ('%s (%dk/chunk)' % (label, chunk // 1000))
        print(header)
        med = {}
        for name, _ in gaze_variants:
            line = '  %-44s' % name
            for mode in ('idle', 'busy'):
                if mode in results:
                    m = median(results[mode][name])
                    med[(mode, name)] = m
                    line += ' | %9.0f ns  %-15s' % (m, '(' + rate(m) + ')')
            print(line)
        for label, a, b in (('ratio module/limit', 'module', 'limit'),
                            ('ratio ctypes/module', 'ctypes', 'module'),
                            ('ratio ctypes (hand-tuned)/module', 'ctypes (hand-tuned binding)',
                             'module')):
            line = '  %-44s' % label
            for mode in ('idle', 'busy'):
                if mode in results:
                    line += ' | %9.2f x %-16s' % (round_ratio(results[mode], a, b), '')
            print(line)
        print('  (ratios: median over rounds of the ratio within each round)')
        if 'idle' in results:
            r1 = round_ratio(results['idle'], 'module', 'limit')
            r2 = round_ratio(results['idle'], 'ctypes', 'module')
            targets.append(('gaze module/limit <= 1.3', r1, r1 <= 1.3))
            targets.append(('gaze ctypes/module >= 6', r2, r2 >= 6))
        for mode in ('idle', 'busy'):
            if mode in results:
                short = lambda name: (name.replace(' (burst on the Python main thread)', '@main')
                                      .replace(' (hand-tuned binding)', '-tuned'))
                spread = ', '.join('%s %.0f..%.0f' % (short(name), min(v), max(v))
                                   for name, v in sorted(results[mode].items()))
                print('  spread (%s, min..max ns): %s' % (mode, spread))

    if 'requests' in sections:
        bench_limit.queue_start()
        try:
            check_requests()
            req = interleaved(
                [('limit', lambda n: round_trip(bench_limit.queue_call, n)),
                 ('module', lambda n: round_trip(velto_internal.call_function, n))],
                options.rounds, options.requests)
        finally:
            bench_limit.queue_stop()
        raw['requests'] = req
        ml, mm = median(req['limit']), median(req['module'])
        print('')
        print('Request round trip: %d get_system_time_stamp requests queued, main thread '
              'blocked on the last callback' % options.requests)
        print('  %-44s | %9.0f ns  (%s)' % ('limit (bare queue + worker, callback (0,))', ml,
                                            rate(ml)))
        print('  %-44s | %9.0f ns  (%s)' % ('module (call_function)', mm, rate(mm)))
        rr = round_ratio(req, 'module', 'limit')
        print('  %-44s | %9.2f x   (median of the per-round ratios)' % ('ratio module/limit', rr))
        print('  spread (min..max ns): limit %.0f..%.0f, module %.0f..%.0f'
              % (min(req['limit']), max(req['limit']), min(req['module']), max(req['module'])))
        targets.append(('requests module/limit <= 1.3', rr, rr <= 1.3))

    if 'memory' in sections:
        warmup = 100000
        before, after = memory(gaze, options.memory_samples, warmup, options.samples)
        raw['memory'] = {'before_kib': before, 'after_kib': after}
        growth = (after - before) / 1024.0 * (1000000.0 / options.memory_samples)
        print('')
        print('Memory: VmRSS around %d delivered samples (after a %dk warm-up)'
              % (options.memory_samples, warmup // 1000))
        print('  before %d KiB, after %d KiB, growth %+d KiB (%.3f MiB per million samples)'
              % (before, after, after - before, growth))
        targets.append(('memory growth < 1 MiB per million', growth, growth < 1.0))

    if 'value' in sections and options.value_bench and os.path.exists(options.value_bench):
        rows = value_bench(options.value_bench, options.rounds)
        raw['value_bench'] = rows
        print('')
        print('Value tree (Google Benchmark, median of %d repetitions, CPU time)'
              % options.rounds)
        for name, t, unit in rows:
            print('  %-44s | %9.1f %s' % (name, t, unit))

    if targets:
        print('')
        print('Targets')
        for label, value, ok in targets:
            print('  %-44s | %9.3f   %s' % (label, value, verdict(ok)))

    unsubscribe(device)
    velto_internal.cleanup()
    if options.json:
        with open(options.json, 'w') as f:
            json.dump(raw, f, indent=1, sort_keys=True)


def profile(variant, n):
    """One variant alone, n samples or requests, for callgrind or perf."""
    device = module_setup()
    subscribe(device, trivial)
    gaze = Gaze(device)
    runs = {'limit': gaze.limit, 'module': gaze.module, 'module-main': gaze.module_here,
            'ctypes': gaze.ctypes_plain, 'ctypes-tuned': gaze.ctypes_ref}
    if variant in runs:
        ns = runs[variant](n)
    elif variant == 'requests':
        ns = round_trip(velto_internal.call_function, n)
    else:
        bench_limit.queue_start()
        ns = round_trip(bench_limit.queue_call, n)
        bench_limit.queue_stop()
    print('%s: %.0f ns per unit' % (variant, ns))
    unsubscribe(device)
    velto_internal.cleanup()


if options.profile:
    profile(options.profile, options.profile_count)
else:
    main()
