"""Memory soak of velto_internal: resident memory around one million gaze
samples delivered to a Python callable and one hundred thousand operations.

    python bench/memory_soak.py --lib-dir BUILD/lib [--samples 1000000] [--operations 100000]

The samples are emitted with velto_sim_emit_burst (the simulator's world has
"generate": false, so nothing else streams), in chunks, from a native thread
that the device library would use: here the main thread inside one ctypes
call (interpreter lock released), and a second Python thread alternately. The
operations are a mix of every kind of request the module serves, including
subscribe/unsubscribe churn and cleanup()/startup() cycles, with at most a
few hundred outstanding.

Prints VmRSS at start, after a warm-up (a tenth of the work) and at the end,
and the growth per million samples after the warm-up. Target: under 1 MiB.
Exit status 1 when the target is missed. A benchmark, not a test: run it on a
Release (or RelWithDebInfo) build, never under a sanitizer. One source for
Python 2.7 and 3.x.
"""
from __future__ import print_function

import argparse
import gc
import itertools
import os
import sys
import threading
import time

parser = argparse.ArgumentParser(description=__doc__.split('\n')[0])
parser.add_argument('--lib-dir', required=True, help='the build tree lib/ folder')
parser.add_argument('--samples', type=int, default=1000000)
parser.add_argument('--operations', type=int, default=100000)
parser.add_argument('--target-kib', type=int, default=1024,
                    help='largest acceptable growth per million samples')
options = parser.parse_args()

sys.path.insert(0, os.path.abspath(options.lib_dir))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                'simulator'))
import velto_internal  # noqa: E402  (after the path is set)
import velto_sim  # noqa: E402  (simulator/velto_sim.py)
from velto_sim import GazeData, Point2, Point3  # noqa: E402

sim = velto_sim.Simulator(os.path.abspath(options.lib_dir))

WORLD = {'generate': False,
         'trackers': [{'address': 'velto-sim://soak-a', 'capabilities': 7},
                      {'address': 'velto-sim://soak-b', 'capabilities': 7}]}
MAX_OUTSTANDING = 300


def rss_kib():
    with open('/proc/self/status') as status:
        for line in status:
            if line.startswith('VmRSS:'):
                return int(line.split()[1])
    raise RuntimeError('no VmRSS in /proc/self/status')


def call(name, args=(), timeout=30.0):
    done = threading.Event()
    box = []

    def callback(result):
        box.append(result)
        done.set()
    if velto_internal.call_function(name, args, callback) != 0:
        raise RuntimeError('%s refused' % name)
    if not done.wait(timeout):
        raise RuntimeError('no answer to %s' % name)
    return box[0]


def gaze_record(n):
    record = GazeData()
    record.device_time_stamp = 1000 + n
    record.system_time_stamp = 2000 + n
    for eye, base in ((record.left_eye, 0.25), (record.right_eye, 0.75)):
        eye.gaze_point_on_display_area = Point2(base, 0.5)
        eye.gaze_point_in_user_coordinate_system = Point3(base * 100, 20.0, 5.0)
        eye.gaze_point_validity = 1
        eye.pupil_diameter = 3.5
        eye.pupil_validity = 1 if n % 7 else 0  # now and then an invalid group (NaN)
        eye.gaze_origin_in_user_coordinate_system = Point3(30.0, 200.0, 600.0)
        eye.gaze_origin_in_trackbox_coordinate_system = Point3(0.5, 0.5, 0.5)
        eye.gaze_origin_validity = 1
    return record


class Soak(object):
    def __init__(self):
        velto_internal.startup()
        sim.reset()
        sim.configure(WORLD)
        call('unsubscribe_from', (0, 0))
        devices = call('find_all_eyetrackers')[1]
        self.handles = [d['core_eyetracker'] for d in devices]
        self.records = [gaze_record(n) for n in range(8)]
        # next() of an itertools.count is one C call, so two delivering threads
        # never lose a count (`n += 1` in Python could, between its bytecodes).
        self.delivered_counter = itertools.count()
        self.answered = [0]
        self.sent = 0
        bump = getattr(self.delivered_counter, 'next', None) or self.delivered_counter.__next__
        self.on_gaze = lambda sample, bump=bump: bump()
        self.subscribe_gaze()

    def delivered(self):
        return int(repr(self.delivered_counter)[len('count('):-1])  # its value, uncounted

    def subscribe_gaze(self):
        for handle in self.handles:
            assert call('subscribe_to', (velto_sim.GAZE_DATA, handle, self.on_gaze)) == (0,)

    def emit(self, samples):
        """Delivers `samples` gaze samples: half from the main thread, half from
        a second Python thread, both inside ctypes calls (lock released)."""
        chunk = 20000
        sent = [0]

        def emit_chunks(share, sent=sent):
            n = 0
            while n < share:
                count = min(chunk, share - n)
                record = self.records[(n // chunk) % len(self.records)]
                handle = self.handles[(n // chunk) % len(self.handles)]
                made = sim.emit_burst(velto_sim.GAZE_DATA, handle, record, count)
                if made != count:
                    raise RuntimeError('emit_burst made %d of %d callbacks' % (made, count))
                n += count
                sent[0] += count
        other = threading.Thread(target=emit_chunks, args=(samples // 2,))
        other.start()
        emit_chunks(samples - samples // 2)
        other.join()
        return sent[0]

    def operations(self, count):
        """`count` requests of every kind; a cleanup()/startup() cycle every 10000."""
        answered = self.answered

        def callback(result, answered=answered):
            answered[0] += 1
        handle_a, handle_b = self.handles
        gaze_sink = lambda record: None
        plan = [
            ('get_system_time_stamp', ()), ('get_sdk_version', ()),
            ('find_all_eyetrackers', ()), ('get_device', ('velto-sim://soak-a',)),
            ('get_device_data', (handle_b,)), ('report_stream_error', (handle_a, 'soak')),
            ('subscribe_to', (3, handle_a, gaze_sink)), ('unsubscribe_from', (3, handle_a)),
            ('get_all_gaze_output_frequencies', (handle_a,)),
            ('get_gaze_output_frequency', (handle_b,)),
            ('set_gaze_output_frequency', (handle_b, 60.0)),
            ('get_all_eye_tracking_modes', (handle_a,)), ('get_eye_tracking_mode', (handle_a,)),
            ('set_eye_tracking_mode', (handle_b, 'Default')),
            ('set_device_name', (handle_b, 'Soak')),
            ('get_display_area', (handle_a,)), ('get_track_box', (handle_b,)),
            ('calibration_retrieve', (handle_a,)), ('calibration_apply', (handle_b, 'junk\0')),
            ('screen_based_calibration_enter_calibration_mode', (handle_b,)),
            ('screen_based_calibration_collect_data', (handle_b, 0.5, 0.5)),
            ('screen_based_calibration_discard_data', (handle_b, 0.5, 0.5)),
            ('screen_based_calibration_collect_data', (handle_b, 0.1, 0.1)),
            ('screen_based_calibration_compute_and_apply', (handle_b,)),
            ('screen_based_calibration_get_calibration_points', (handle_b,)),
            ('screen_based_calibration_leave_calibration_mode', (handle_b,)),
            ('get_device_data', ('bad argument',)),
        ]
        done = 0
        while done < count:
            if self.sent - answered[0] >= MAX_OUTSTANDING:
                time.sleep(0.0005)
                continue
            name, args = plan[done % len(plan)]
            if velto_internal.call_function(name, args, callback) != 0:
                raise RuntimeError('%s refused' % name)
            self.sent += 1
            done += 1
            if done % 1000 == 0:
                # The simulator logs every library call (up to 100000 of them);
                # emptied often so that its log does not count as growth.
                sim.clear_calls()
            if done % 10000 == 0:
                # A restart: streams ended first (cleanup() leaves them live at
                # the library), then subscribed again to the fresh registry.
                for handle in self.handles:
                    call('unsubscribe_from', (1, handle))
                call('unsubscribe_from', (3, handle_a))
                velto_internal.cleanup()
                velto_internal.startup()
                self.subscribe_gaze()
        deadline = time.time() + 60
        while answered[0] < self.sent and time.time() < deadline:
            time.sleep(0.01)
        if answered[0] != self.sent:
            raise RuntimeError('%d of %d requests answered' % (answered[0], self.sent))

    def work(self, samples, operations):
        self.emit(samples // 2)
        self.operations(operations)
        self.emit(samples - samples // 2)
        gc.collect()


def main():
    soak = Soak()
    start = rss_kib()
    warm_samples = max(options.samples // 10, 1)
    warm_operations = max(options.operations // 10, 1)
    soak.work(warm_samples, warm_operations)
    warm = rss_kib()
    began = time.time()
    soak.work(options.samples, options.operations)
    elapsed = time.time() - began
    end = rss_kib()
    velto_internal.cleanup()

    delivered = soak.delivered()
    expected = warm_samples + options.samples
    growth = end - warm
    per_million = growth * 1e6 / options.samples if options.samples else 0.0
    print('Memory soak of velto_internal (%s)' % os.path.abspath(options.lib_dir))
    print('  work: %d gaze samples delivered to a Python callable, %d operations answered, '
          '%.1f s after warm-up' % (delivered, soak.answered[0], elapsed))
    print('  VmRSS at start:         %8d KiB' % start)
    print('  VmRSS after warm-up:    %8d KiB  (%d samples, %d operations)'
          % (warm, warm_samples, warm_operations))
    print('  VmRSS at end:           %8d KiB' % end)
    print('  growth after warm-up:   %8d KiB  = %.1f KiB per million samples (target < %d KiB)'
          % (growth, per_million, options.target_kib))
    if delivered != expected:
        print('  FAILED: %d samples delivered, %d expected' % (delivered, expected))
        return 1
    if per_million >= options.target_kib:
        print('  FAILED: growth over the target')
        return 1
    print('  ok')
    return 0


if __name__ == '__main__':
    sys.exit(main())
