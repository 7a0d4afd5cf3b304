"""Device settings and geometry against the simulated library: whole lists
from the guess-and-retry queries, float widening versus six-decimal rounding,
the setters, and the display area and track box dicts."""
import unittest

import support
from support import call, calls, f32, fail
from support import setUpModule, tearDownModule  # noqa: F401 (run by unittest)

TRACK_BOX_KEYS = ['back_lower_left', 'back_lower_right', 'back_upper_left', 'back_upper_right',
                  'front_lower_left', 'front_lower_right', 'front_upper_left',
                  'front_upper_right']


class Settings(unittest.TestCase):
    def setUp(self):
        support.reset()
        self.handle, self.other = support.handles()

    def test_lists_are_whole_and_exact_or_one_status(self):
        # The first tracker offers more than the first guess, the second fewer.
        cases = [('get_all_gaze_output_frequencies', float,
                  [f32(f) for f in (23.976, 30.0, 60.0, 120.0, 250.0, 600.0, 1200.0)], [30.0, 60.0]),
                 ('get_all_eye_tracking_modes', str,
                  ['Default', 'Human', 'Infant', 'Bright light', 'Monkey'], ['Default', 'Human'])]
        for name, kind, first, second in cases:
            status, listed = call(name, (self.handle,))
            self.assertEqual((status, listed), (0, first))
            self.assertEqual(set(type(x) for x in listed), set([kind]))
            self.assertIs(type(listed), list)
            # "Too small" with no count written still gets its one retry ...
            fail('velto_' + name, 15, 0, 1)
            self.assertEqual(call(name, (self.other,)), (0, second))
            # ... and a second "too small" is the answer.
            fail('velto_' + name, 15, 1, 1)
            self.assertEqual(call(name, (self.handle,)), (15,))
        self.assertEqual(call('get_all_gaze_output_frequencies', (self.handle,))[1][0],
                         23.97599983215332)

    def test_frequency_is_set_narrowed_and_read_rounded(self):
        handle = support.world([{'gaze_output_frequencies': [23.976, 59.94, 60.0, 120.0],
                                 'gaze_output_frequency': 23.976}])[0]
        self.assertEqual(call('get_gaze_output_frequency', (handle,)), (0, 23.976))
        for value, reported in [(59.94, 59.939999), (60.0, 60.0), (120.0, 120.0)]:
            self.assertEqual(call('set_gaze_output_frequency', (handle, value, 'extra')), (0,))
            status, current = call('get_gaze_output_frequency', (handle,))
            self.assertEqual((status, current), (0, reported))
            self.assertIs(type(current), float)
        self.assertEqual([e['frequency'] for e in calls('velto_set_gaze_output_frequency')],
                         [f32(59.94), 60.0, 120.0])
        # A frequency the device does not offer: the library's own status.
        self.assertEqual(call('set_gaze_output_frequency', (handle, 61.0)), (3,))

    def test_mode_and_name_are_set_and_read_back(self):
        self.assertEqual(call('get_eye_tracking_mode', (self.handle,)), (0, 'Default'))
        self.assertEqual(call('set_eye_tracking_mode', (self.handle, 'Infant')), (0,))
        self.assertEqual(call('get_eye_tracking_mode', (self.handle,)), (0, 'Infant'))
        self.assertEqual(call('set_eye_tracking_mode', (self.handle, 'Cat')), (3,))
        self.assertEqual(call('set_device_name', (self.handle, 'Bench 3')), (0,))
        self.assertEqual(call('get_device_data', (self.handle,))[1]['device_name'], 'Bench 3')
        self.assertEqual([(e['function'], e['handle'], e['text']) for e in calls()
                          if 'text' in e],
                         [('velto_set_eye_tracking_mode', self.handle, 'Infant'),
                          ('velto_set_eye_tracking_mode', self.handle, 'Cat'),
                          ('velto_set_device_name', self.handle, 'Bench 3')])

    def test_display_area_and_track_box_are_widened_exactly(self):
        area = {'bottom_left': [-0.1, 0.2, 0.3], 'bottom_right': [1.1, -1.2, 1.3],
                'top_left': [2.1, 2.2, -2.3], 'top_right': [3.1, 3.2, 3.3],
                'height': 298.9, 'width': 23.976}
        box = dict((key, [i + 0.1, -i - 0.2, 0.3 * i]) for i, key in enumerate(TRACK_BOX_KEYS))
        handle = support.world([{'display_area': area, 'track_box': box}])[0]
        for name, given in [('get_display_area', area), ('get_track_box', box)]:
            status, result = call(name, (handle,))
            self.assertEqual(status, 0)
            expected = dict((k, f32(v) if type(v) is float else tuple(f32(x) for x in v))
                            for k, v in given.items())
            self.assertEqual(result, expected, name)
            self.assertEqual(dict((k, type(v)) for k, v in result.items()),
                             dict((k, type(v)) for k, v in expected.items()), name)
        self.assertEqual(call('get_display_area', (handle,))[1]['width'], 23.97599983215332)


if __name__ == '__main__':
    unittest.main()
