"""Pace of a replayed recording at 1200 Hz, and the memory and scan time of
replaying a long one.

    ~/.pyenv/versions/2.7.18/bin/python bench/replay_bench.py [--seconds 10] [--long-minutes 10]
        [--lib-dir build/lib]

1. Records --seconds of the simulator's gaze at 1200 Hz (full columns), then
   replays it (velto.replay) with two subscribers: a C callback of the
   benchmark's extension (bench_limit.so) subscribed to the library directly,
   which notes each sample's time stamp and when the library's thread got to
   it, and a Python callable on the velto Tracker that reads the same clock
   (CLOCK_MONOTONIC) first thing. Each replayed interval (between consecutive
   samples) is compared with the recorded one (gaze.csv time_us): p50, p99 and
   max of the difference, for the time stamps, the library's delivery and the
   Python callable. Target: the library's delivery within 1 ms at p99.
2. Writes a synthetic compact recording of --long-minutes at 1200 Hz, times
   the configuration-time scan of it, replays it at speed 100 for a few
   seconds and prints the process's resident memory before and after: it
   stays flat whatever the length (the CSV is read line by line).
A benchmark, not a test.
"""
from __future__ import absolute_import, division, print_function

import argparse
import ctypes
import io
import os
import shutil
import sys
import tempfile
import threading
import time

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
RATE = 1200.0

parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
parser.add_argument('--lib-dir', default=os.path.join(ROOT, 'build', 'lib'),
                    help='the build tree lib/ folder (default build/lib)')
parser.add_argument('--seconds', type=float, default=10.0, help='length of the recording replayed')
parser.add_argument('--long-minutes', type=float, default=10.0,
                    help='length of the synthetic long recording (0: skip that part)')
options = parser.parse_args()
sys.path[:0] = [os.path.abspath(options.lib_dir), os.path.join(ROOT, 'python'),
                os.path.join(ROOT, 'simulator')]
import velto  # noqa: E402  (after the path is set)
import velto_sim  # noqa: E402  (simulator/velto_sim.py)
try:
    import bench_limit  # noqa: E402  (the benchmark's extension, built into lib/)
except ImportError as error:
    sys.exit('bench_limit is not built in %s (cmake --build <build> --target bench_limit): %s'
             % (options.lib_dir, error))

simulator = velto_sim.Simulator(os.path.abspath(options.lib_dir))
native = ctypes.CDLL(bench_limit.__file__)
native.bench_floor_subscribe.argtypes = [ctypes.c_int64, ctypes.c_void_p, ctypes.c_void_p,
                                         ctypes.c_int64]
native.bench_floor_subscribe.restype = ctypes.c_int32
native.bench_floor_unsubscribe.argtypes = [ctypes.c_int64]
native.bench_floor_unsubscribe.restype = ctypes.c_int64
now_ns = bench_limit.now_ns


def percentiles(values):
    values = sorted(values)
    if not values:
        return float('nan'), float('nan'), float('nan')
    pick = lambda q: values[min(len(values) - 1, int(q * len(values)))]  # noqa: E731
    return pick(0.5), pick(0.99), values[-1]


def recorded_times(folder):
    with io.open(os.path.join(folder, 'gaze.csv'), 'rb') as stream:
        stream.readline()
        return [int(line.split(b',', 1)[0]) for line in stream if line.endswith(b'\n')]


def vm_rss_kb():
    with io.open('/proc/self/status', 'rb') as stream:
        for line in stream:
            if line.startswith(b'VmRSS:'):
                return int(line.split()[1])
    return 0


def pace(scratch):
    folder = os.path.join(scratch, 'source')
    simulator.configure({'trackers': [{'address': 'velto-sim://bench',
                                       'gaze_output_frequencies': [RATE]}]})
    capacity = int(options.seconds * RATE * 1.1) + 1000
    stamps = (ctypes.c_int64 * capacity)()
    arrivals = (ctypes.c_int64 * capacity)()
    with velto.open_tracker() as tracker:
        with tracker.record(folder, columns='full', eye_images=True) as recording:
            # The same C subscriber on the live tracker meanwhile: how close
            # to its schedule the simulator's own generation thread delivers
            # on this machine now (the baseline of the replay's figures).
            native.bench_floor_subscribe(tracker.handle, ctypes.addressof(stamps),
                                         ctypes.addressof(arrivals), capacity)
            recording.wait(options.seconds)
            live = min(native.bench_floor_unsubscribe(tracker.handle), capacity)
    live_diffs = [abs((arrivals[i + 1] - arrivals[i]) / 1000.0 - (stamps[i + 1] - stamps[i]))
                  for i in range(live - 1)]
    recorded = recorded_times(folder)
    python_arrivals = []
    ended = threading.Event()

    def on_note(note):
        if note['notification_type'] == 'eyetracker_notification_connection_lost':
            ended.set()

    with velto.replay(folder) as tracker:
        notes = tracker.notifications(callback=on_note)
        gaze = tracker.gaze(callback=lambda sample, now=now_ns, keep=python_arrivals.append:
                            keep((now(), sample['system_time_stamp'])))
        # The C subscriber comes second: the first gaze subscription starts playback.
        status = native.bench_floor_subscribe(tracker.handle, ctypes.addressof(stamps),
                                              ctypes.addressof(arrivals), capacity)
        if status != 0:
            raise RuntimeError('bench_floor_subscribe: status %d' % status)
        ended.wait(options.seconds * 2 + 10)
        time.sleep(0.3)
        count = native.bench_floor_unsubscribe(tracker.handle)
        gaze.close()
        notes.close()
    # The C subscriber joined a few rows late at most: align on time stamps.
    first = stamps[0]
    python_arrivals = [a for a in python_arrivals if a[1] >= first]
    n = min(count, len(python_arrivals))
    offset = len(recorded) - count
    rec = recorded[offset:offset + n]
    rec_iv = [b - a for a, b in zip(rec, rec[1:])]

    def intervals(values):
        return [b - a for a, b in zip(values, values[1:])]

    rows = [('time stamps', intervals([stamps[i] for i in range(n)]), 1.0),
            ('library delivery', intervals([arrivals[i] for i in range(n)]), 1000.0),
            ('Python callable', intervals([a[0] for a in python_arrivals[:n]]), 1000.0)]
    print('replay pace: %d rows recorded at %g Hz over %.1f s, %d replayed to the C subscriber '
          '(joined %d rows in), %d to the Python callable, ended: %s'
          % (len(recorded), RATE, options.seconds, count, offset, len(python_arrivals),
             ended.is_set()))
    print('  |replayed interval - recorded interval|, us   p50      p99      max')
    figures = {}
    print('  %-40s %8.1f %8.1f %8.1f' % (('live generation (baseline, same machine)',)
                                          + percentiles(live_diffs)))
    for label, replayed, unit in rows:
        diffs = [abs(r / unit - e) for r, e in zip(replayed, rec_iv)]
        p50, p99, high = percentiles(diffs)
        figures[label] = p99
        print('  %-40s %8.1f %8.1f %8.1f' % (label, p50, p99, high))
    met = (figures['library delivery'] <= 1000 and figures['time stamps'] == 0
           and count == len(recorded) - offset)
    print('target (library delivery within 1 ms at p99, every row, stamps exact): %s'
          % ('met' if met else 'MISSED'))
    return met


def long_recording(scratch):
    rows = int(options.long_minutes * 60 * RATE)
    folder = os.path.join(scratch, 'long')
    os.mkdir(folder)
    period = 1e6 / RATE
    with io.open(os.path.join(folder, 'gaze.csv'), 'wb') as stream:
        stream.write(b'time_us,left_x,left_y,right_x,right_y,left_pupil,right_pupil,left_valid,'
                     b'right_valid\n')
        chunk = []
        for i in range(rows):
            x = 0.1 + (i % 8000) / 10000.0
            chunk.append('%d,%.4f,0.5,%.4f,0.5,3.61,3.64,7,7\n' % (int(i * period), x, x + 0.004))
            if len(chunk) == 10000:
                stream.write(''.join(chunk).encode('ascii'))
                chunk = []
        stream.write(''.join(chunk).encode('ascii'))
    size_mb = os.path.getsize(os.path.join(folder, 'gaze.csv')) / 1e6
    started = time.time()
    simulator.replay(folder)  # the configuration-time scan alone
    scan = time.time() - started
    before = vm_rss_kb()
    with velto.replay(folder, speed=100.0) as tracker:
        received = [0]
        during = []
        with tracker.gaze(callback=lambda s: received.__setitem__(0, received[0] + 1)):
            for _ in range(6):
                time.sleep(0.5)
                during.append(vm_rss_kb())
    print('long recording: %.1f min at %g Hz = %d rows, gaze.csv %.1f MB; configured (whole-file '
          'scan) in %.2f s = %.0f rows/s' % (options.long_minutes, RATE, rows, size_mb, scan,
                                                    rows / scan))
    print('  replayed at speed 100 for 3 s: %d rows; resident memory %d kB before, %s kB during '
          '(max growth %d kB)' % (received[0], before, ', '.join(str(m) for m in during),
                                  max(during) - before))


def main():
    scratch = tempfile.mkdtemp(prefix='velto-replay-bench-')
    try:
        met = pace(scratch)
        if options.long_minutes > 0:
            long_recording(scratch)
    finally:
        shutil.rmtree(scratch, ignore_errors=True)
        simulator.reset()
    return 0 if met else 1


if __name__ == '__main__':
    sys.exit(main())
