"""Screen-based calibration and calibration data against the simulated
library: a full calibration saved and restored on another tracker, points
and their types, calibration data as bytes both ways."""
import unittest

import support
from support import call, calls, configure, fail
from support import setUpModule, tearDownModule  # noqa: F401 (run by unittest)

POINTS = [(0.5, 0.5), (0.1, 0.1), (0.1, 0.9), (0.9, 0.1), (0.9, 0.9)]
STEP = 'screen_based_calibration_'


class Calibration(unittest.TestCase):
    def setUp(self):
        support.reset()
        self.handle, self.other = support.handles()

    def test_calibrate_save_and_restore_on_the_other_tracker(self):
        h = self.handle
        # The library alone judges the order of the steps.
        self.assertEqual(call(STEP + 'collect_data', (h, 0.5, 0.5)), (4,))
        self.assertEqual(call(STEP + 'get_calibration_points', (h,)), (0, []))
        self.assertEqual(call('calibration_retrieve', (h,)), (0, None))
        self.assertEqual(call(STEP + 'enter_calibration_mode', (h,)), (0,))
        for x, y in POINTS + [(0.3, 0.7)]:
            self.assertEqual(call(STEP + 'collect_data', (h, x, y)), (0,))
        self.assertEqual(call(STEP + 'discard_data', (h, 0.3, 0.7)), (0,))
        self.assertEqual(call(STEP + 'compute_and_apply', (h,)), (0,))

        status, points = call(STEP + 'get_calibration_points', (h,))
        self.assertEqual(status, 0)
        self.assertIs(type(points), list)
        # Positions come back rounded to six decimals: exactly as given.
        self.assertEqual(sorted(p['position'] for p in points), sorted(POINTS))
        kinds = {'position': tuple, 'left_sample_position': tuple, 'left_validity': int,
                 'right_sample_position': tuple, 'right_validity': int}
        for point in points:
            self.assertEqual(dict((k, type(v)) for k, v in point.items()), kinds)
            for key in ('left_sample_position', 'right_sample_position'):
                self.assertEqual([type(v) for v in point[key]], [float, float])

        # The second call of a size query failing is the answer, even "too small".
        for name, function in [(STEP + 'get_calibration_points', STEP + 'get_calibration_points'),
                               ('calibration_retrieve', 'retrieve_calibration_data')]:
            fail('velto_' + function, 15, 1, 1)
            self.assertEqual(call(name, (h,)), (15,))
        status, data = call('calibration_retrieve', (h,))
        self.assertEqual(status, 0)
        self.assertIs(type(data), bytes)
        self.assertTrue(data.startswith(b'VCAL'), data)
        support.clear_calls()
        self.assertEqual(call('calibration_apply', (self.other, data)), (0,))
        self.assertEqual(calls(), [{'function': 'velto_apply_calibration_data',
                                    'handle': self.other, 'length': len(data)}])
        self.assertEqual(call('calibration_retrieve', (self.other,)), (0, data))
        self.assertEqual(call(STEP + 'leave_calibration_mode', (h,)), (0,))
        self.assertEqual(call(STEP + 'leave_calibration_mode', (h,)), (4,))

    def test_calibration_data_is_bytes_every_byte_both_ways(self):
        # Whatever the device stores, NUL and high bytes included, arrives whole.
        configure({'trackers': [{'address': 'a', 'calibration_data': '00410000ff4200'}]})
        handle = support.handles()[0]
        result = call('calibration_retrieve', (handle,))
        self.assertEqual(result, (0, b'\x00A\x00\x00\xffB\x00'))
        self.assertIs(type(result[1]), bytes)
        # Handed back: all of it, to the first NUL and past it; text as its UTF-8 bytes.
        support.clear_calls()
        for data in (b'', b'ab\0cd\0', 'ab\0cd\0', support.native(b'\xc3\xa9\xff')):
            self.assertEqual(call('calibration_apply', (handle, data)), (6,))
        self.assertEqual([e['length'] for e in calls()], [0, 6, 6, 3])


if __name__ == '__main__':
    unittest.main()
