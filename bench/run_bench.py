"""Benchmark of velto_internal against its reference implementations.

Run through scripts/bench.sh, which builds a Release tree per interpreter
(Python 2.7 and 3.x) and prints their figures side by side, or alone:
    python run_bench.py --lib-dir BUILD/lib [--value-bench BUILD/bin/value_bench]
One source for Python 2.7 and 3.x; the report itself is bench/report.py.

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

Gaze latency: a simulated tracker generating gaze at 1200 Hz; the callable
reads CLOCK_MONOTONIC (bench_limit.now_ns()) first thing and keeps it with the
sample's system time stamp (the library's monotonic clock, the same clock, in
microseconds) in preallocated lists; p50, p99 and max afterwards, and the
samples delivered against those the tracker should have produced. Once with
the main thread blocked in time.sleep, once with it running a pure-Python loop.

Request round trip: N call_function('get_system_time_stamp') requests queued,
the main thread then blocked on the last callback (threading.Event.wait,
interpreter lock released); against bench_limit's bare queue (one C++ queue,
one worker taking the interpreter lock per request, calling back with (0,)).

Memory: VmRSS before and after one million delivered samples, after a warm-up.

Value tree: the Google Benchmark figures of value_bench.
"""
from __future__ import print_function

import argparse
import ctypes
import json
import os
import platform
import struct
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(os.path.dirname(HERE), 'simulator'))
import report  # noqa: E402  (bench/report.py, beside this file)
import velto_sim  # noqa: E402  (simulator/velto_sim.py)

# ---- Python 2.7 and 3.x ----------------------------------------------------------
if sys.version_info[0] >= 3:
    LONG = int  # the module's time stamps: long on 2.7, int on 3.x
    xrange = range
else:
    LONG = long  # noqa: F821

# ---- command line and libraries ---------------------------------------------

SECTIONS = 'gaze,busy,latency,requests,memory,value'
parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
parser.add_argument('--lib-dir', required=True, help='the build tree lib/ folder')
parser.add_argument('--value-bench', help='the value_bench executable (skipped when absent)')
parser.add_argument('--rounds', type=int, default=15)
parser.add_argument('--samples', type=int, default=20000, help='gaze samples per chunk')
parser.add_argument('--busy-samples', type=int, default=10000,
                    help='gaze samples per chunk with the main thread busy')
parser.add_argument('--latency-seconds', type=float, default=5.0,
                    help='seconds of gaze latency measured in each mode')
parser.add_argument('--latency-hz', type=float, default=1200.0,
                    help='the simulated tracker\'s gaze output frequency for the latency')
parser.add_argument('--switch-interval', type=float,
                    help='Python 3: sys.setswitchinterval() before measuring (default: the '
                    'interpreter\'s, 0.005 s); 2.7 has none (ignored there)')
parser.add_argument('--requests', type=int, default=10000, help='requests per chunk')
parser.add_argument('--memory-samples', type=int, default=1000000)
parser.add_argument('--profile', choices=['limit', 'module', 'module-main', 'ctypes', 'ctypes-tuned',
                                          'requests', 'requests-limit', 'latency',
                                          'latency-busy'],
                    help='run only this variant (for a profiler) and print nothing else')
parser.add_argument('--profile-count', type=int, default=200000)
parser.add_argument('--json', help='also write every raw figure to this file')
parser.add_argument('--quiet', action='store_true',
                    help='print no report (with --json: for bench/report.py to print)')
parser.add_argument('--only', default=SECTIONS,
                    help='comma-separated sections to run (%s)' % SECTIONS)
options = parser.parse_args()
sections = set(options.only.split(','))
unknown = sections - set(SECTIONS.split(','))
if unknown:
    parser.error('unknown section(s): %s' % ', '.join(sorted(unknown)))

if options.switch_interval is not None and hasattr(sys, 'setswitchinterval'):
    sys.setswitchinterval(options.switch_interval)

sys.path.insert(0, options.lib_dir)
import velto_internal  # noqa: E402
import bench_limit  # noqa: E402

sim = velto_sim.Simulator(options.lib_dir)
native = ctypes.CDLL(bench_limit.__file__)

native.bench_limit_run.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_int64]
native.bench_limit_run.restype = ctypes.c_int64
for name in ('bench_burst_native', 'bench_burst_here'):
    getattr(native, name).argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_void_p,
                                      ctypes.c_int64, ctypes.POINTER(ctypes.c_int64)]
    getattr(native, name).restype = ctypes.c_int64
native.bench_callback_native.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_int64]
native.bench_callback_native.restype = ctypes.c_int64
native.bench_floor_subscribe.argtypes = [ctypes.c_int64, ctypes.c_void_p, ctypes.c_void_p,
                                         ctypes.c_int64]
native.bench_floor_subscribe.restype = ctypes.c_int32
native.bench_floor_unsubscribe.argtypes = [ctypes.c_int64]
native.bench_floor_unsubscribe.restype = ctypes.c_int64

now_ns = bench_limit.now_ns  # CLOCK_MONOTONIC, ns; the interpreter lock kept


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
    in Python. (ctypes reads an int64 as int; the module gives 2.7 long time
    stamps, hence LONG(), which on 3.x is int() of an int, about 10 ns.)"""
    def on_gaze(pointer, user_data):
        r = pointer.contents
        d = {}
        d['device_time_stamp'] = LONG(r.device_time_stamp)
        d['system_time_stamp'] = LONG(r.system_time_stamp)
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
        d = {'device_time_stamp': LONG(r.device_time_stamp),
             'system_time_stamp': LONG(r.system_time_stamp)}
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


def only_tracker(world):
    """Replaces the simulated world; the handle of its one tracker."""
    sim.configure(world)
    status, devices = call('find_all_eyetrackers')
    assert status == 0 and len(devices) == 1, (status, devices)
    return devices[0]['core_eyetracker']


def module_setup():
    """The module started on a world whose one tracker generates nothing:
    only the records the benchmark emits reach the subscriptions."""
    velto_internal.startup()
    sim.reset()
    return only_tracker({'generate': False, 'trackers': [{'address': 'velto-sim://bench'}]})


def subscribe(device, fn):
    status = call('subscribe_to', (velto_sim.GAZE_DATA, device, fn))
    assert status == (0,), status


def unsubscribe(device):
    status = call('unsubscribe_from', (velto_sim.GAZE_DATA, device))
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
    assert all(r[0] == 0 and isinstance(r[1], LONG) for r in box), box
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


# ---- gaze latency ---------------------------------------------------------------

LATENCY_WARMUP_S = 0.5  # the generation thread starts and settles before the window
LATENCY_TAIL_S = 0.3    # after it, so that every sample due in the window has arrived
                        # (the simulator gives up on samples over 0.2 s late)


def check_same_clock():
    """The library's system time stamps must be CLOCK_MONOTONIC (in us), the
    clock now_ns() reads, or the latency means nothing: a time stamp taken
    between two readings of now_ns() must lie between them."""
    for _ in range(3):
        before = now_ns()
        status, stamp = call('get_system_time_stamp')
        after = now_ns()
        assert status == 0, status
        if not before // 1000 <= stamp <= after // 1000:
            raise RuntimeError('the system time stamp %d us is not between %d and %d ns of '
                               'CLOCK_MONOTONIC' % (stamp, before, after))


def clock_read_ns(n=200000):
    """What one now_ns() costs inside a Python loop (loop included)."""
    now = now_ns
    start = now()
    for _ in xrange(n):
        now()
    return (now() - start) / float(n)


def spin_until(deadline_ns):
    """The main thread busy in a pure-Python loop until the deadline (the
    clock read once per thousand additions)."""
    x = 0
    while now_ns() < deadline_ns:
        for _ in xrange(1000):
            x += 1
    return x


def gaze_latency(busy, seconds, hz):
    """Subscribes a recording callable to a tracker generating gaze at `hz`
    and, after a warm-up, keeps the main thread idle (blocked in time.sleep,
    the interpreter lock released) or busy for `seconds`. Returns the
    latencies (us) of the samples whose system time stamps fall in that
    window, how many samples the tracker should have produced in it, and the
    same for the floor: a C subscriber called by the library just before the
    module (bench_floor_subscribe), the latency of the library's thread itself."""
    device = only_tracker({'generate': True, 'trackers': [{
        'address': 'velto-sim://latency', 'gaze_output_frequencies': [hz],
        'gaze_output_frequency': hz}]})
    assert call('get_gaze_output_frequency', (device,)) == (0, hz)
    capacity = int((LATENCY_WARMUP_S + seconds + LATENCY_TAIL_S + 1) * hz * 1.5)
    arrivals = [0] * capacity
    stamps = [0] * capacity
    count = [0]

    def on_gaze(sample, now=now_ns, arrivals=arrivals, stamps=stamps, count=count,
                capacity=capacity):
        t = now()  # first, before anything else the callable does
        i = count[0]
        if i < capacity:
            arrivals[i] = t
            stamps[i] = sample['system_time_stamp']
        count[0] = i + 1

    floor_stamps = (ctypes.c_int64 * capacity)()
    floor_arrivals = (ctypes.c_int64 * capacity)()
    status = native.bench_floor_subscribe(device, ctypes.addressof(floor_stamps),
                                          ctypes.addressof(floor_arrivals), capacity)
    assert status == 0, status
    subscribe(device, on_gaze)
    start = now_ns() + int(LATENCY_WARMUP_S * 1e9)
    end = start + int(seconds * 1e9)
    stop = end + int(LATENCY_TAIL_S * 1e9)
    if busy:
        spin_until(stop)
    else:
        time.sleep((stop - now_ns()) / 1e9)
    unsubscribe(device)
    floor_count = native.bench_floor_unsubscribe(device)
    if max(count[0], floor_count) > capacity:
        raise RuntimeError('%d samples, room for %d' % (max(count[0], floor_count), capacity))
    figures = latency_figures(stamps, arrivals, count[0], start, end, hz)
    figures['floor'] = latency_figures(floor_stamps, floor_arrivals, floor_count, start, end, hz)
    # Per sample, from the floor's callback to the callable: the module's part
    # (the interpreter lock, the dict, the call), whatever the library added.
    at_floor = dict((floor_stamps[i], floor_arrivals[i]) for i in xrange(floor_count))
    handover = sorted((arrivals[i] - at_floor[stamps[i]]) / 1000.0 for i in xrange(count[0])
                      if stamps[i] in at_floor and start // 1000 <= stamps[i] < end // 1000)
    figures['handover'] = summary(handover)
    return figures


def latency_figures(stamps, arrivals, count, start_ns, end_ns, hz):
    """Latencies (us, ascending) of the first `count` samples whose time
    stamps (us) lie in [start_ns, end_ns), their percentiles, and the samples
    expected in that window and missing from it."""
    start_us, end_us = start_ns // 1000, end_ns // 1000
    window = [(stamps[i], arrivals[i]) for i in xrange(count) if start_us <= stamps[i] < end_us]
    latencies = sorted(a / 1000.0 - s for s, a in window)
    period = 1e6 / hz
    ordered = sorted(s for s, _ in window)
    gaps = [b - a for a, b in zip(ordered, ordered[1:]) if b - a > 1.5 * period]
    figures = summary(latencies)
    figures.update(expected=int(round((end_us - start_us) / period)), gaps=len(gaps),
                   missing=sum(int(round(g / period)) - 1 for g in gaps))
    return figures


def summary(latencies):
    """count, p50, p99, max and mean of ascending latencies (us), and the latencies."""
    figures = {'count': len(latencies), 'latencies_us': [round(x, 1) for x in latencies]}
    if latencies:
        figures.update(p50_us=report.percentile(latencies, 0.5),
                       p99_us=report.percentile(latencies, 0.99), max_us=latencies[-1],
                       mean_us=sum(latencies) / len(latencies))
    return figures


def latency_section():
    check_same_clock()
    figures = {'hz': options.latency_hz, 'seconds': options.latency_seconds,
               'clock': 'CLOCK_MONOTONIC through bench_limit.now_ns()',
               'clock_read_ns': clock_read_ns()}
    for mode in ('idle', 'busy'):
        figures[mode] = gaze_latency(mode == 'busy', options.latency_seconds, options.latency_hz)
    return figures


# ---- the run -------------------------------------------------------------------------

def machine():
    model = '?'
    with open('/proc/cpuinfo') as f:
        for line in f:
            if line.startswith('model name'):
                model = line.split(':', 1)[1].strip()
                break
    cores = os.sysconf('SC_NPROCESSORS_ONLN')
    return '%s, %d cores; %s %s' % (model, cores, platform.system(), platform.release())


def progress(text, started):
    sys.stderr.write('  Python %s, %s: %.0f s\n' % (platform.python_version(), text,
                                                    time.time() - started))
    sys.stderr.flush()


def main():
    raw = {'python': platform.python_version(), 'executable': sys.executable,
           'machine': machine(),
           'interpreter_lock': ('switch interval %g ms' % (sys.getswitchinterval() * 1e3)
                                if hasattr(sys, 'getswitchinterval') else
                                'check interval %d bytecodes' % sys.getcheckinterval()),
           'options': {'rounds': options.rounds, 'samples': options.samples,
                       'busy_samples': options.busy_samples, 'requests': options.requests}}

    device = module_setup()
    subscribe(device, trivial)
    gaze = Gaze(device)
    check_same_dicts(gaze)

    gaze_variants = [('limit', gaze.limit), ('module', gaze.module),
                     ('module (burst on the Python main thread)', gaze.module_here),
                     ('ctypes', gaze.ctypes_plain),
                     ('ctypes (hand-tuned binding)', gaze.ctypes_ref)]
    if 'gaze' in sections:
        started = time.time()
        raw.setdefault('gaze', {})['idle'] = interleaved(gaze_variants, options.rounds,
                                                         options.samples)
        progress('gaze delivery, main thread idle', started)
    if 'busy' in sections:
        started = time.time()
        with Spinner():
            raw.setdefault('gaze', {})['busy'] = interleaved(gaze_variants, options.rounds,
                                                             options.busy_samples)
        progress('gaze delivery, a thread spinning', started)

    if 'requests' in sections:
        started = time.time()
        bench_limit.queue_start()
        try:
            check_requests()
            raw['requests'] = interleaved(
                [('limit', lambda n: round_trip(bench_limit.queue_call, n)),
                 ('module', lambda n: round_trip(velto_internal.call_function, n))],
                options.rounds, options.requests)
        finally:
            bench_limit.queue_stop()
        progress('request round trip', started)

    if 'memory' in sections:
        started = time.time()
        warmup = 100000
        before, after = memory(gaze, options.memory_samples, warmup, options.samples)
        raw['memory'] = {'before_kib': before, 'after_kib': after,
                         'samples': options.memory_samples, 'warmup': warmup}
        progress('memory', started)
    unsubscribe(device)

    if 'latency' in sections:  # last: it replaces the simulated world
        started = time.time()
        raw['latency'] = latency_section()
        progress('gaze latency', started)
    velto_internal.cleanup()

    if 'value' in sections and options.value_bench and os.path.exists(options.value_bench):
        started = time.time()
        raw['value_bench'] = value_bench(options.value_bench, options.rounds)
        progress('value tree', started)

    if not options.quiet:
        report.render([raw])
    if options.json:
        with open(options.json, 'w') as f:
            json.dump(raw, f, indent=1, sort_keys=True)


def profile(variant, n):
    """One variant alone, n samples or requests (or --latency-seconds of
    latency), for callgrind or perf."""
    device = module_setup()
    if variant.startswith('latency'):
        figures = gaze_latency(variant == 'latency-busy', options.latency_seconds,
                               options.latency_hz)
        print('%s (Python %s): p50 %.0f us, p99 %.0f us, max %.0f us; %d of %d samples '
              'delivered' % (variant, platform.python_version(), figures['p50_us'],
                             figures['p99_us'], figures['max_us'], figures['count'],
                             figures['expected']))
        velto_internal.cleanup()
        return
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
    print('%s (Python %s): %.0f ns per unit' % (variant, platform.python_version(), ns))
    unsubscribe(device)
    velto_internal.cleanup()


if options.profile:
    profile(options.profile, options.profile_count)
else:
    main()
