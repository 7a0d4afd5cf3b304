"""Device settings and geometry against the simulated library: the
guess-and-retry-once list queries, float widening versus six-decimal rounding,
the setters' status pass-through, display area and track box dicts."""
import unittest

import support
from support import call, calls, configure, f32, fail

import velto_internal

HANDLE_ONLY = ['get_all_gaze_output_frequencies', 'get_gaze_output_frequency',
               'get_all_eye_tracking_modes', 'get_eye_tracking_mode', 'get_display_area',
               'get_track_box']
TRACK_BOX_KEYS = ['back_lower_left', 'back_lower_right', 'back_upper_left', 'back_upper_right',
                  'front_lower_left', 'front_lower_right', 'front_upper_left',
                  'front_upper_right']


def setUpModule():
    velto_internal.startup()


def tearDownModule():
    velto_internal.cleanup()


def only_tracker(**fields):
    """Configures a world of one tracker and returns its handle."""
    configure({'trackers': [fields]})
    handle = support.devices()[0]['core_eyetracker']
    support.clear_calls()
    return handle


class SettingsCase(unittest.TestCase):
    def setUp(self):
        support.reset()
        self.handle = support.devices()[0]['core_eyetracker']
        support.clear_calls()


class Frequencies(SettingsCase):
    def test_up_to_four_frequencies_take_one_call(self):
        for listed in ([60.0], [30.0, 60.0], [30.0, 60.0, 90.0], [30.0, 60.0, 90.0, 120.0]):
            handle = only_tracker(gaze_output_frequencies=listed)
            self.assertEqual(call('get_all_gaze_output_frequencies', (handle,)), (0, listed))
            self.assertEqual([e['capacity'] for e in
                              calls('velto_get_all_gaze_output_frequencies')], [4])

    def test_six_frequencies_take_exactly_two_calls_listed_exactly(self):
        listed = [23.976, 30.0, 59.94, 120.0, 250.0, 600.0]
        handle = only_tracker(gaze_output_frequencies=listed)
        status, frequencies = call('get_all_gaze_output_frequencies', (handle,))
        self.assertEqual(status, 0)
        self.assertEqual(frequencies, [f32(f) for f in listed])
        self.assertEqual(frequencies[0], 23.97599983215332)
        for f in frequencies:
            self.assertIs(type(f), float)
        self.assertEqual([e['capacity'] for e in calls('velto_get_all_gaze_output_frequencies')],
                         [4, 6])

    def test_current_frequency_is_rounded_to_six_decimals(self):
        handle = only_tracker(gaze_output_frequencies=[23.976, 59.94, 60.0, 120.0],
                              gaze_output_frequency=23.976)
        self.assertEqual(call('get_gaze_output_frequency', (handle,)), (0, 23.976))
        for value, reported in [(59.94, 59.939999), (60.0, 60.0), (120.0, 120.0)]:
            self.assertEqual(call('set_gaze_output_frequency', (handle, value)), (0,))
            status, current = call('get_gaze_output_frequency', (handle,))
            self.assertEqual((status, current), (0, reported))
            self.assertIs(type(current), float)

    def test_retry_and_first_call_failures(self):
        # Too small twice: the second status is the answer, there is no third call.
        fail('velto_get_all_gaze_output_frequencies', 15, 1, 1)
        self.assertEqual(call('get_all_gaze_output_frequencies', (self.handle,)), (15,))
        self.assertEqual([e['capacity'] for e in calls('velto_get_all_gaze_output_frequencies')],
                         [4, 6])
        # The retry failing otherwise passes that status through.
        support.clear_calls()
        fail('velto_get_all_gaze_output_frequencies', 7, 1, 1)
        self.assertEqual(call('get_all_gaze_output_frequencies', (self.handle,)), (7,))
        self.assertEqual(len(calls('velto_get_all_gaze_output_frequencies')), 2)
        # A first call failing with anything but 15 is not retried.
        support.clear_calls()
        fail('velto_get_all_gaze_output_frequencies', 6, 0, 1)
        self.assertEqual(call('get_all_gaze_output_frequencies', (self.handle,)), (6,))
        self.assertEqual(len(calls('velto_get_all_gaze_output_frequencies')), 1)
        # A first call answering 15 by rule (nothing written) still gets one retry.
        support.clear_calls()
        second = support.devices()[1]['core_eyetracker']
        support.clear_calls()
        fail('velto_get_all_gaze_output_frequencies', 15, 0, 1)
        result = call('get_all_gaze_output_frequencies', (second,))
        self.assertEqual(len(calls('velto_get_all_gaze_output_frequencies')), 2)
        # The count was never written: the retry uses the initial guess again.
        self.assertEqual(result, (0, [30.0, 60.0]))

    def test_get_frequency_failure(self):
        fail('velto_get_gaze_output_frequency', 44, 0, 1)
        self.assertEqual(call('get_gaze_output_frequency', (self.handle,)), (44,))

    def test_set_frequency(self):
        self.assertEqual(call('set_gaze_output_frequency', (self.handle, 120.0, 'extra')), (0,))
        self.assertEqual(calls('velto_set_gaze_output_frequency')[0]['frequency'], 120.0)
        self.assertEqual(call('get_gaze_output_frequency', (self.handle,)), (0, 120.0))
        # Narrowed to float32 on the way to the library.
        support.clear_calls()
        call('set_gaze_output_frequency', (self.handle, 23.976))
        self.assertEqual(calls('velto_set_gaze_output_frequency')[0]['frequency'], f32(23.976))
        # A frequency the device does not offer: the library's own status.
        result = call('set_gaze_output_frequency', (self.handle, 61.0))
        self.assertEqual(len(result), 1)
        self.assertNotIn(result[0], (0, 10))
        fail('velto_set_gaze_output_frequency', 99, 0, 1)
        self.assertEqual(call('set_gaze_output_frequency', (self.handle, 60.0)), (99,))

    def test_set_frequency_refusals(self):
        for args in [(self.handle, 60), (self.handle, 60L), (self.handle, '60'),
                     (self.handle, None), (self.handle,), (60.0, self.handle)]:
            self.assertEqual(call('set_gaze_output_frequency', args), (10,), args)
        self.assertEqual(calls(), [])


class Modes(SettingsCase):
    def test_up_to_three_modes_take_one_call(self):
        for listed in (['Default'], ['Default', 'Human'], ['A', 'B', 'C']):
            handle = only_tracker(eye_tracking_modes=listed)
            self.assertEqual(call('get_all_eye_tracking_modes', (handle,)), (0, listed))
            self.assertEqual([e['capacity'] for e in calls('velto_get_all_eye_tracking_modes')],
                             [3])

    def test_five_modes_take_two_calls(self):
        status, modes = call('get_all_eye_tracking_modes', (self.handle,))
        self.assertEqual((status, modes),
                         (0, ['Default', 'Human', 'Infant', 'Bright light', 'Monkey']))
        for m in modes:
            self.assertIs(type(m), str)
        self.assertEqual([e['capacity'] for e in calls('velto_get_all_eye_tracking_modes')],
                         [3, 5])

    def test_longest_mode_names_reach_python_whole(self):
        names = ['m' * 63, 'n' * 63, 'o' * 62, 'p', 'q' * 63]
        handle = only_tracker(eye_tracking_modes=names, eye_tracking_mode='q' * 63)
        self.assertEqual(call('get_all_eye_tracking_modes', (handle,)), (0, names))
        self.assertEqual(call('get_eye_tracking_mode', (handle,)), (0, 'q' * 63))

    def test_retry_and_first_call_failures(self):
        fail('velto_get_all_eye_tracking_modes', 15, 1, 1)
        self.assertEqual(call('get_all_eye_tracking_modes', (self.handle,)), (15,))
        self.assertEqual([e['capacity'] for e in calls('velto_get_all_eye_tracking_modes')],
                         [3, 5])
        support.clear_calls()
        fail('velto_get_all_eye_tracking_modes', 8, 0, 1)
        self.assertEqual(call('get_all_eye_tracking_modes', (self.handle,)), (8,))
        self.assertEqual(len(calls('velto_get_all_eye_tracking_modes')), 1)

    def test_get_and_set_mode(self):
        self.assertEqual(call('get_eye_tracking_mode', (self.handle,)), (0, 'Default'))
        self.assertEqual(call('set_eye_tracking_mode', (self.handle, 'Infant')), (0,))
        self.assertEqual(calls('velto_set_eye_tracking_mode')[0]['text'], 'Infant')
        self.assertEqual(call('get_eye_tracking_mode', (self.handle,)), (0, 'Infant'))
        # A name the device does not know: the library's status, no module code.
        result = call('set_eye_tracking_mode', (self.handle, 'Cat'))
        self.assertEqual(len(result), 1)
        self.assertNotIn(result[0], (0, 10))
        fail('velto_get_eye_tracking_mode', 31, 0, 1)
        self.assertEqual(call('get_eye_tracking_mode', (self.handle,)), (31,))
        fail('velto_set_eye_tracking_mode', 32, 0, 1)
        self.assertEqual(call('set_eye_tracking_mode', (self.handle, 'Human')), (32,))

    def test_set_mode_refusals(self):
        for args in [(self.handle, u'Human'), (self.handle, 1), (self.handle,), ('Human',),
                     (self.handle, None)]:
            self.assertEqual(call('set_eye_tracking_mode', args), (10,), args)
        self.assertEqual(calls(), [])


class DeviceName(SettingsCase):
    def test_set_device_name(self):
        self.assertEqual(call('set_device_name', (self.handle, 'Bench 3')), (0,))
        self.assertEqual(calls('velto_set_device_name'),
                         [{'function': 'velto_set_device_name', 'handle': self.handle,
                           'text': 'Bench 3'}])
        status, description = call('get_device_data', (self.handle,))
        self.assertEqual(description['device_name'], 'Bench 3')
        fail('velto_set_device_name', 19, 0, 1)
        self.assertEqual(call('set_device_name', (self.handle, 'Other')), (19,))

    def test_set_device_name_refusals(self):
        for args in [(self.handle, u'Bench'), (self.handle, 3.0), (self.handle,), ()]:
            self.assertEqual(call('set_device_name', args), (10,), args)
        self.assertEqual(calls(), [])


class Geometry(SettingsCase):
    def test_display_area_is_widened_exactly(self):
        area = {'bottom_left': [-0.1, 0.2, 0.3], 'bottom_right': [1.1, -1.2, 1.3],
                'top_left': [2.1, 2.2, -2.3], 'top_right': [3.1, 3.2, 3.3],
                'height': 298.9, 'width': 23.976}
        handle = only_tracker(display_area=area)
        status, result = call('get_display_area', (handle,))
        self.assertEqual(status, 0)
        self.assertEqual(sorted(result.keys()), sorted(area.keys()))
        for key in ('height', 'width'):
            self.assertIs(type(result[key]), float)
            self.assertEqual(result[key], f32(area[key]), key)
        self.assertEqual(result['width'], 23.97599983215332)
        for key in ('bottom_left', 'bottom_right', 'top_left', 'top_right'):
            self.assertIs(type(result[key]), tuple)
            self.assertEqual(result[key], tuple(f32(v) for v in area[key]), key)
        self.assertEqual(calls(), [{'function': 'velto_get_display_area', 'handle': handle}])

    def test_track_box_has_eight_corners(self):
        box = dict((key, [i + 0.1, -i - 0.2, 0.3 * i]) for i, key in enumerate(TRACK_BOX_KEYS))
        handle = only_tracker(track_box=box)
        status, result = call('get_track_box', (handle,))
        self.assertEqual(status, 0)
        self.assertEqual(sorted(result.keys()), TRACK_BOX_KEYS)
        for key in TRACK_BOX_KEYS:
            self.assertIs(type(result[key]), tuple)
            self.assertEqual(len(result[key]), 3)
            self.assertEqual(result[key], tuple(f32(v) for v in box[key]), key)

    def test_geometry_failures(self):
        fail('velto_get_display_area', 13, 0, 1)
        self.assertEqual(call('get_display_area', (self.handle,)), (13,))
        fail('velto_get_track_box', 14, 0, 1)
        self.assertEqual(call('get_track_box', (self.handle,)), (14,))


class HandleOnlyRefusals(SettingsCase):
    def test_handle_only_operations_refuse_without_a_call(self):
        for name in HANDLE_ONLY:
            for args in [(), (1.5,), ('1',), (None,), (u'1',)]:
                self.assertEqual(call(name, args), (10,), (name, args))
        self.assertEqual(calls(), [])

    def test_unknown_handle_status_passes_through(self):
        for name in HANDLE_ONLY:
            result = call(name, (7,))
            self.assertEqual(len(result), 1, name)
            self.assertNotIn(result[0], (0, 10), name)


if __name__ == '__main__':
    unittest.main()
