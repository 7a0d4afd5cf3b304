"""The gaze data stream: the 18-entry dict, exact floats, the NaN marker of
invalid groups, raw validities, and a real generated stream."""
import math
import os
import subprocess
import sys
import textwrap
import threading
import time
import unittest

import support
import velto_internal

KEYS = ['device_time_stamp', 'system_time_stamp',
        'left_gaze_point_on_display_area', 'left_gaze_point_in_user_coordinate_system',
        'left_gaze_point_validity', 'left_pupil_diameter', 'left_pupil_validity',
        'left_gaze_origin_in_user_coordinate_system',
        'left_gaze_origin_in_trackbox_coordinate_system', 'left_gaze_origin_validity',
        'right_gaze_point_on_display_area', 'right_gaze_point_in_user_coordinate_system',
        'right_gaze_point_validity', 'right_pupil_diameter', 'right_pupil_validity',
        'right_gaze_origin_in_user_coordinate_system',
        'right_gaze_origin_in_trackbox_coordinate_system', 'right_gaze_origin_validity']

# Entries of each eye by the validity that governs them.
GROUPS = {'gaze_point': ['gaze_point_on_display_area', 'gaze_point_in_user_coordinate_system'],
          'pupil': ['pupil_diameter'],
          'gaze_origin': ['gaze_origin_in_user_coordinate_system',
                          'gaze_origin_in_trackbox_coordinate_system']}


def setUpModule():
    velto_internal.startup()


def tearDownModule():
    velto_internal.cleanup()


def fill_eye(eye, base):
    eye.gaze_point_on_display_area.x = base + 0.1
    eye.gaze_point_on_display_area.y = base + 0.2
    p = eye.gaze_point_in_user_coordinate_system
    p.x, p.y, p.z = base + 1.1, base + 1.2, base + 1.3
    eye.pupil_diameter = base + 3.7
    o = eye.gaze_origin_in_user_coordinate_system
    o.x, o.y, o.z = base + 4.1, base + 4.2, base + 4.3
    t = eye.gaze_origin_in_trackbox_coordinate_system
    t.x, t.y, t.z = base + 0.51, base + 0.52, base + 0.53
    eye.gaze_point_validity = eye.pupil_validity = eye.gaze_origin_validity = 1


def record(device_ts=1000, system_ts=2000):
    r = support.GazeData()
    r.device_time_stamp = device_ts
    r.system_time_stamp = system_ts
    fill_eye(r.left_eye, 0.0)
    fill_eye(r.right_eye, 10.0)
    return r


def expected_numbers(eye, name):
    """The exact doubles of one entry of an eye block, as a tuple or a float."""
    value = getattr(eye, name)
    if name == 'pupil_diameter':
        return value  # ctypes already widened the float exactly
    fields = ('x', 'y') if name == 'gaze_point_on_display_area' else ('x', 'y', 'z')
    return tuple(getattr(value, f) for f in fields)


def is_marker(x):
    return isinstance(x, float) and support.float_bits(x) == support.NAN_BITS


class GazeDict(unittest.TestCase):
    def setUp(self):
        support.reset()
        support.configure({'generate': False,
                           'trackers': [{'address': 'tet-tcp://gaze', 'capabilities': 7}]})
        self.device = support.devices()[0]['core_eyetracker']
        self.received = []
        self.assertEqual(support.call('subscribe_to', (1, self.device, self.received.append)),
                         (0,))

    def tearDown(self):
        self.assertEqual(support.call('unsubscribe_from', (1, self.device)), (0,))

    def deliver(self, r):
        del self.received[:]
        self.assertEqual(support.emit(1, self.device, r), 1)
        self.assertEqual(len(self.received), 1)
        return self.received[0]

    def check_eye(self, d, side, eye):
        for validity, names in sorted(GROUPS.items()):
            raw = getattr(eye, validity + '_validity')
            self.assertIs(type(d['%s_%s_validity' % (side, validity)]), int)
            self.assertEqual(d['%s_%s_validity' % (side, validity)], raw)
            for name in names:
                got = d['%s_%s' % (side, name)]
                want = expected_numbers(eye, name)
                if isinstance(want, tuple):
                    self.assertIs(type(got), tuple)
                    self.assertEqual(len(got), len(want), name)
                    for x in got:
                        self.assertIs(type(x), float)
                    if raw == 1:
                        self.assertEqual(got, want, name)
                    else:
                        self.assertTrue(all(is_marker(x) for x in got), (side, name, got))
                else:
                    self.assertIs(type(got), float)
                    if raw == 1:
                        self.assertEqual(got, want)
                    else:
                        self.assertTrue(is_marker(got), (side, name, got))

    def test_keys_types_and_exact_floats(self):
        r = record()
        d = self.deliver(r)
        self.assertEqual(sorted(d), sorted(KEYS))
        self.assertEqual(d['device_time_stamp'], 1000)
        self.assertIs(type(d['device_time_stamp']), long)
        self.assertIs(type(d['system_time_stamp']), long)
        self.assertEqual(d['system_time_stamp'], 2000)
        self.check_eye(d, 'left', r.left_eye)
        self.check_eye(d, 'right', r.right_eye)
        # Widened exactly, not rounded to decimals.
        self.assertEqual(d['left_gaze_point_on_display_area'][0], 0.10000000149011612)

    def test_each_group_of_each_eye_is_judged_alone(self):
        for bad in (0, 2, -1):
            for side in ('left', 'right'):
                for group in GROUPS:
                    r = record()
                    eye = getattr(r, side + '_eye')
                    setattr(eye, group + '_validity', bad)
                    d = self.deliver(r)
                    self.assertEqual(len(d), 18)
                    self.check_eye(d, 'left', r.left_eye)
                    self.check_eye(d, 'right', r.right_eye)
                    self.assertEqual(d['%s_%s_validity' % (side, group)], bad)

    def test_left_valid_right_fully_invalid(self):
        r = record()
        r.right_eye.gaze_point_validity = 0
        r.right_eye.pupil_validity = 0
        r.right_eye.gaze_origin_validity = 0
        d = self.deliver(r)
        self.check_eye(d, 'left', r.left_eye)
        for name in KEYS:
            if name.startswith('right_') and not name.endswith('_validity'):
                value = d[name]
                numbers = value if isinstance(value, tuple) else (value,)
                self.assertTrue(all(is_marker(x) for x in numbers), name)
        self.assertEqual(len(d['right_gaze_point_on_display_area']), 2)
        self.assertEqual(len(d['right_gaze_origin_in_trackbox_coordinate_system']), 3)

    def test_time_stamps_and_device_nan_pass_through(self):
        r = record(device_ts=-(2 ** 63), system_ts=0)
        r.left_eye.pupil_diameter = float('nan')  # valid group holding a NaN
        d = self.deliver(r)
        self.assertEqual(d['device_time_stamp'], -(2 ** 63))
        self.assertEqual(d['system_time_stamp'], 0)
        self.assertTrue(math.isnan(d['left_pupil_diameter']))
        self.assertEqual(d['left_pupil_validity'], 1)

    def test_record_after_unsubscribe_is_dropped(self):
        self.assertEqual(support.call('unsubscribe_from', (1, self.device)), (0,))
        del self.received[:]
        support.emit(1, self.device, record())
        self.assertEqual(self.received, [])
        self.assertEqual(support.call('subscribe_to', (1, self.device, self.received.append)),
                         (0,))


class GeneratedStream(unittest.TestCase):
    def test_default_tracker_streams_at_its_frequency(self):
        support.reset()  # default world, generation on
        device = support.devices()[0]['core_eyetracker']
        status, frequency = support.call('get_gaze_output_frequency', (device,))
        self.assertEqual(status, 0)
        stamps = []

        def on_gaze(d):
            stamps.append(d['system_time_stamp'])

        self.assertEqual(support.call('subscribe_to', (1, device, on_gaze)), (0,))
        started = time.time()
        time.sleep(1.0)
        self.assertEqual(support.call('unsubscribe_from', (1, device)), (0,))
        elapsed = time.time() - started
        count = len(stamps)
        time.sleep(0.1)
        self.assertEqual(len(stamps), count)  # nothing after unsubscribe returned
        # Loose bounds: this checks the stream flows, it is not a timing test.
        self.assertGreaterEqual(count, 0.5 * frequency * elapsed, (count, frequency))
        self.assertLessEqual(count, 1.5 * frequency * elapsed + 5, (count, frequency))
        self.assertTrue(all(a < b for a, b in zip(stamps, stamps[1:])))

    def test_interpreter_exits_cleanly_while_gaze_streams(self):
        # Records keep arriving on the library's threads while the interpreter
        # finalizes, with and without cleanup() before exit.
        for ending in ('', 'vi.cleanup()', 'vi.cleanup(); vi.startup()'):
            script = textwrap.dedent("""
                import time
                import support
                import velto_internal as vi
                vi.startup()
                support.reset()
                device = support.devices()[0]['core_eyetracker']
                got = []
                assert support.call('subscribe_to', (1, device, got.append)) == (0,)
                assert support.call('subscribe_to', (3, device, got.append)) == (0,)
                time.sleep(0.3)
                assert got
                %s
                time.sleep(0.05)
                print('reached the end')
                """) % ending
            proc = subprocess.Popen([sys.executable, '-c', script], stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, env=dict(os.environ))
            timer = threading.Timer(60, proc.kill)
            timer.start()
            try:
                out, err = proc.communicate()
            finally:
                timer.cancel()
            self.assertEqual((proc.returncode, out.strip()), (0, 'reached the end'),
                             (ending, err))
            self.assertEqual(err, '', ending)


if __name__ == '__main__':
    unittest.main()
