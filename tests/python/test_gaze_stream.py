"""The gaze data stream: the 18-entry dict, its types, exact floats and the
NaN marker of invalid groups; and the generated streams of a default tracker
as an experiment receives them."""
import math
import time
import unittest

import support
from support import call
from support import setUpModule, tearDownModule  # noqa: F401 (run by unittest)

# Entries of each eye by the validity that governs them.
GROUPS = {'gaze_point': ['gaze_point_on_display_area', 'gaze_point_in_user_coordinate_system'],
          'pupil': ['pupil_diameter'],
          'gaze_origin': ['gaze_origin_in_user_coordinate_system',
                          'gaze_origin_in_trackbox_coordinate_system']}


def fill_eye(eye, base):
    eye.gaze_point_on_display_area = support.Point2(base + 0.1, base + 0.2)
    eye.gaze_point_in_user_coordinate_system = support.Point3(base + 1.1, base + 1.2, base + 1.3)
    eye.pupil_diameter = base + 3.7
    eye.gaze_origin_in_user_coordinate_system = support.Point3(base + 4.1, base + 4.2,
                                                               base + 4.3)
    eye.gaze_origin_in_trackbox_coordinate_system = support.Point3(base + 0.51, base + 0.52,
                                                                   base + 0.53)
    eye.gaze_point_validity = eye.pupil_validity = eye.gaze_origin_validity = 1


def numbers(value):
    """The exact doubles of a ctypes float, Point2 or Point3."""
    if isinstance(value, float):
        return value  # ctypes already widened the float exactly
    return tuple(getattr(value, f) for f, _ in value._fields_)


def is_marker(x):
    return type(x) is float and support.float_bits(x) == support.NAN_BITS


class GazeDict(unittest.TestCase):
    def test_entries_types_exact_floats_and_nan_markers(self):
        support.reset()
        device = support.world([{'address': 'velto-sim://gaze'}])[0]
        got = support.Collector()
        self.assertEqual(call('subscribe_to', (1, device, got)), (0,))
        record = support.GazeData(device_time_stamp=-(2 ** 63), system_time_stamp=2 ** 40)
        fill_eye(record.left_eye, 0.0)
        fill_eye(record.right_eye, 10.0)
        # Any validity but 1 means no data, each group judged alone; a valid
        # group keeps even a NaN of the device.
        record.left_eye.gaze_point_validity = 0
        record.left_eye.pupil_diameter = float('nan')
        record.right_eye.pupil_validity = 2
        record.right_eye.gaze_origin_validity = -1
        self.assertEqual(support.emit(1, device, record), 1)
        self.assertEqual(call('unsubscribe_from', (1, device)), (0,))
        self.assertEqual(support.emit(1, device, record), 0)
        d = got.items[0]
        self.assertIsNone(support.dict_problem(1, d))
        self.assertEqual((d['device_time_stamp'], d['system_time_stamp']), (-(2 ** 63), 2 ** 40))
        for side in ('left', 'right'):
            eye = getattr(record, side + '_eye')
            for group, names in GROUPS.items():
                validity = getattr(eye, group + '_validity')
                self.assertEqual(d['%s_%s_validity' % (side, group)], validity)
                for name in names:
                    value, want = d['%s_%s' % (side, name)], numbers(getattr(eye, name))
                    if validity != 1:
                        # Same shape, every number the NaN marker (sign bit set).
                        self.assertEqual(type(value), type(want), name)
                        items = value if type(value) is tuple else (value,)
                        self.assertEqual(len(items), len(want) if type(want) is tuple else 1)
                        self.assertTrue(all(is_marker(x) for x in items), (side, name, value))
                    elif name != 'pupil_diameter' or side != 'left':
                        self.assertEqual(value, want, (side, name))
        self.assertTrue(math.isnan(d['left_pupil_diameter']))
        # Widened exactly, not rounded to decimals.
        self.assertEqual(d['right_gaze_point_on_display_area'][0], 10.100000381469727)


class GeneratedStreams(unittest.TestCase):
    def test_an_experiment_receives_gaze_images_and_notifications(self):
        support.reset()  # the default world: generated streams
        device = support.handles()[0]
        gaze, images, notes = support.Collector(), support.Collector(), support.Collector()
        try:
            self.assertEqual(call('subscribe_to', (5, device, notes)), (0,))
            self.assertEqual(call('set_gaze_output_frequency', (device, 120.0)), (0,))
            self.assertEqual(call('subscribe_to', (6, device, images)), (0,))
            self.assertEqual(call('subscribe_to', (1, device, gaze)), (0,))
            started = time.time()
            time.sleep(1.0)
            self.assertEqual(call('unsubscribe_from', (1, device)), (0,))
            elapsed = time.time() - started
        finally:
            for stream in (1, 5, 6):
                call('unsubscribe_from', (stream, device))
        count = len(gaze.items)
        time.sleep(0.1)
        self.assertEqual(len(gaze.items), count)  # nothing after unsubscribe returned
        # Loose bounds: this checks the stream flows, it is not a timing test.
        self.assertGreaterEqual(count, 0.5 * 120 * elapsed)
        self.assertLessEqual(count, 1.5 * 120 * elapsed + 5)
        self.assertEqual([support.dict_problem(1, g) for g in gaze.items], [None] * count)
        stamps = [g['system_time_stamp'] for g in gaze.items]
        self.assertTrue(all(a < b for a, b in zip(stamps, stamps[1:])))
        valid = [g['left_gaze_point_on_display_area'] for g in gaze.items
                 if g['left_gaze_point_validity'] == 1]
        self.assertTrue(valid)
        for x, y in valid:
            self.assertTrue(-0.1 < x < 1.1 and -0.1 < y < 1.1, (x, y))
        self.assertEqual(notes.items[0]['gaze_output_frequency'], 120.0)
        self.assertTrue(images.items, 'no eye image in a second at 5 Hz')
        self.assertIsNone(support.dict_problem(6, images.items[0]))
        self.assertTrue(images.items[0]['image_data'].startswith(b'GIF8'))


if __name__ == '__main__':
    unittest.main()
