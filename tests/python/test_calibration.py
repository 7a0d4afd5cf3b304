"""Screen-based calibration and calibration data against the simulated
library: a full calibration run, the size queries of the points query and of
calibration_retrieve, byte-exact calibration data both ways, refusals."""
import unittest

import support
from support import call, calls, configure, f32, fail

import velto_internal

POINTS = [(0.5, 0.5), (0.1, 0.1), (0.1, 0.9), (0.9, 0.1), (0.9, 0.9)]
POINT_KEYS = set(['position', 'left_sample_position', 'left_validity', 'right_sample_position',
                  'right_validity'])
HANDLE_ONLY = ['screen_based_calibration_enter_calibration_mode',
               'screen_based_calibration_leave_calibration_mode',
               'screen_based_calibration_compute_and_apply',
               'screen_based_calibration_get_calibration_points', 'calibration_retrieve']
POINT_STEPS = ['screen_based_calibration_collect_data', 'screen_based_calibration_discard_data']


def setUpModule():
    velto_internal.startup()


def tearDownModule():
    velto_internal.cleanup()


class CalibrationCase(unittest.TestCase):
    def setUp(self):
        support.reset()
        found = support.devices()
        self.handle = found[0]['core_eyetracker']
        self.other = found[1]['core_eyetracker']
        support.clear_calls()

    def collect_all(self, handle):
        self.assertEqual(call('screen_based_calibration_enter_calibration_mode', (handle,)), (0,))
        for x, y in POINTS:
            self.assertEqual(call('screen_based_calibration_collect_data', (handle, x, y)), (0,))


class FullRun(CalibrationCase):
    def test_calibrate_save_and_restore_on_the_other_tracker(self):
        self.collect_all(self.handle)
        self.assertEqual(call('screen_based_calibration_compute_and_apply', (self.handle,)), (0,))

        status, points = call('screen_based_calibration_get_calibration_points', (self.handle,))
        self.assertEqual(status, 0)
        self.assertIs(type(points), list)
        self.assertEqual(len(points), len(POINTS))
        for point in points:
            self.assertEqual(set(point.keys()), POINT_KEYS)
            # Positions come back rounded to six decimals: exactly as given.
            self.assertIn(point['position'], POINTS)
            for key in ('left_sample_position', 'right_sample_position'):
                self.assertIs(type(point[key]), tuple)
                self.assertEqual(len(point[key]), 2)
                for v in point[key]:
                    self.assertIs(type(v), float)
                    self.assertEqual(v, f32(v))  # exact widenings of float32 values
            self.assertIs(type(point['left_validity']), int)
            self.assertIs(type(point['right_validity']), int)
        self.assertEqual(sorted(p['position'] for p in points), sorted(POINTS))

        status, data = call('calibration_retrieve', (self.handle,))
        self.assertEqual(status, 0)
        self.assertIs(type(data), str)
        self.assertGreater(len(data), 0)
        retrieves = calls('velto_retrieve_calibration_data')
        self.assertEqual([e['capacity'] for e in retrieves], [0, len(data)])

        self.assertEqual(call('calibration_retrieve', (self.other,)), (0, None))
        support.clear_calls()
        self.assertEqual(call('calibration_apply', (self.other, data)), (0,))
        self.assertEqual(calls(), [{'function': 'velto_apply_calibration_data',
                                    'handle': self.other, 'length': len(data)}])
        self.assertEqual(call('calibration_retrieve', (self.other,)), (0, data))

        self.assertEqual(call('screen_based_calibration_leave_calibration_mode', (self.handle,)),
                         (0,))
        # Every step reached the library in the order it was queued.
        steps = [e['function'] for e in calls() if 'calibration' in e['function']]
        self.assertEqual(steps[-1], 'velto_screen_based_calibration_leave_calibration_mode')

    def test_coordinates_reach_the_library_as_float32(self):
        call('screen_based_calibration_enter_calibration_mode', (self.handle,))
        support.clear_calls()
        call('screen_based_calibration_collect_data', (self.handle, 0.5, 0.1, 'extra'))
        call('screen_based_calibration_discard_data', (self.handle, 0.1, 0.5))
        log = calls()
        self.assertEqual([(e['function'], e['x'], e['y']) for e in log],
                         [('velto_screen_based_calibration_collect_data', 0.5, f32(0.1)),
                          ('velto_screen_based_calibration_discard_data', f32(0.1), 0.5)])

    def test_discarded_point_is_gone(self):
        self.collect_all(self.handle)
        self.assertEqual(call('screen_based_calibration_discard_data', (self.handle, 0.1, 0.9)),
                         (0,))
        self.assertEqual(call('screen_based_calibration_compute_and_apply', (self.handle,)), (0,))
        status, points = call('screen_based_calibration_get_calibration_points', (self.handle,))
        self.assertEqual(status, 0)
        self.assertEqual(sorted(p['position'] for p in points),
                         sorted(p for p in POINTS if p != (0.1, 0.9)))

    def test_library_judges_the_order_of_steps(self):
        # Outside calibration mode the library refuses; its status passes unchanged.
        result = call('screen_based_calibration_collect_data', (self.handle, 0.5, 0.5))
        self.assertEqual(len(result), 1)
        self.assertNotIn(result[0], (0, 10))
        self.assertEqual(len(calls('velto_screen_based_calibration_collect_data')), 1)

    def test_steps_pass_injected_statuses_through(self):
        cases = [('screen_based_calibration_enter_calibration_mode', (self.handle,)),
                 ('screen_based_calibration_leave_calibration_mode', (self.handle,)),
                 ('screen_based_calibration_collect_data', (self.handle, 0.5, 0.5)),
                 ('screen_based_calibration_discard_data', (self.handle, 0.5, 0.5)),
                 ('screen_based_calibration_compute_and_apply', (self.handle,)),
                 ('calibration_apply', (self.handle, 'abc'))]
        for status, (name, args) in enumerate(cases, 40):
            function = 'velto_' + name.replace('calibration_apply', 'apply_calibration_data')
            fail(function, status, 0, 1)
            self.assertEqual(call(name, args), (status,), name)


class CalibrationPoints(CalibrationCase):
    def test_no_points_after_a_single_call(self):
        self.assertEqual(call('screen_based_calibration_get_calibration_points', (self.handle,)),
                         (0, []))
        self.assertEqual([e['capacity'] for e in
                          calls('velto_screen_based_calibration_get_calibration_points')], [0])

    def test_second_call_capacity_and_failures(self):
        self.collect_all(self.handle)
        support.clear_calls()
        status, points = call('screen_based_calibration_get_calibration_points', (self.handle,))
        self.assertEqual(status, 0)
        self.assertEqual([e['capacity'] for e in
                          calls('velto_screen_based_calibration_get_calibration_points')],
                         [0, len(points)])
        for injected in (15, 6):
            support.clear_calls()
            fail('velto_screen_based_calibration_get_calibration_points', injected, 1, 1)
            self.assertEqual(call('screen_based_calibration_get_calibration_points',
                                  (self.handle,)), (injected,))
            self.assertEqual(len(calls('velto_screen_based_calibration_get_calibration_points')),
                             2)
        support.clear_calls()
        fail('velto_screen_based_calibration_get_calibration_points', 3, 0, 1)
        self.assertEqual(call('screen_based_calibration_get_calibration_points', (self.handle,)),
                         (3,))
        self.assertEqual(len(calls('velto_screen_based_calibration_get_calibration_points')), 1)


class CalibrationData(CalibrationCase):
    def test_no_data_gives_none_after_a_single_call(self):
        self.assertEqual(call('calibration_retrieve', (self.handle,)), (0, None))
        self.assertEqual([e['capacity'] for e in calls('velto_retrieve_calibration_data')], [0])

    def test_stored_bytes_come_back_exactly(self):
        # Whatever the device stores, NUL and high bytes included, arrives whole.
        configure({'trackers': [{'address': 'a', 'calibration_data': '00410000ff4200'}]})
        handle = support.devices()[0]['core_eyetracker']
        support.clear_calls()
        self.assertEqual(call('calibration_retrieve', (handle,)), (0, '\x00A\x00\x00\xffB\x00'))
        self.assertEqual([e['capacity'] for e in calls('velto_retrieve_calibration_data')], [0, 7])

    def test_computed_block_goes_back_whole(self):
        self.collect_all(self.handle)
        self.assertEqual(call('screen_based_calibration_compute_and_apply', (self.handle,)), (0,))
        status, data = call('calibration_retrieve', (self.handle,))
        self.assertEqual(status, 0)
        support.clear_calls()
        self.assertEqual(call('calibration_apply', (self.handle, data)), (0,))
        self.assertEqual(calls()[0]['length'], len(data))
        self.assertEqual(call('calibration_retrieve', (self.handle,)), (0, data))

    def test_retrieve_failures(self):
        self.collect_all(self.handle)
        call('screen_based_calibration_compute_and_apply', (self.handle,))
        support.clear_calls()
        fail('velto_retrieve_calibration_data', 15, 1, 1)
        self.assertEqual(call('calibration_retrieve', (self.handle,)), (15,))
        self.assertEqual(len(calls('velto_retrieve_calibration_data')), 2)
        support.clear_calls()
        fail('velto_retrieve_calibration_data', 8, 0, 1)
        self.assertEqual(call('calibration_retrieve', (self.handle,)), (8,))
        self.assertEqual(len(calls('velto_retrieve_calibration_data')), 1)

    def test_apply_refuses_everything_but_a_str(self):
        for args in [(self.handle, None), (self.handle, 5), (self.handle, 1.5),
                     (self.handle, ('a',)), (self.handle, u'abc'), (self.handle,),
                     ('abc', 'abc')]:
            self.assertEqual(call('calibration_apply', args), (10,), args)
        self.assertEqual(calls(), [])

    def test_apply_empty_string_reaches_the_library(self):
        result = call('calibration_apply', (self.handle, ''))
        self.assertEqual(calls(), [{'function': 'velto_apply_calibration_data',
                                    'handle': self.handle, 'length': 0}])
        self.assertEqual(len(result), 1)
        self.assertNotEqual(result[0], 10)

    def test_apply_passes_the_full_length_not_up_to_the_first_nul(self):
        call('calibration_apply', (self.handle, 'ab\0cd\0'))
        self.assertEqual(calls()[0]['length'], 6)


class Refusals(CalibrationCase):
    def test_refused_arguments_make_no_call(self):
        for name in HANDLE_ONLY:
            for args in [(), (0.5,), ('h',), (None,)]:
                self.assertEqual(call(name, args), (10,), (name, args))
        for name in POINT_STEPS:
            for args in [(self.handle,), (self.handle, 0.5), (self.handle, 1, 0.5),
                         (self.handle, 0.5, 1), (self.handle, 0.5, '0.5'), (0.5, 0.5, 0.5)]:
                self.assertEqual(call(name, args), (10,), (name, args))
        self.assertEqual(calls(), [])


if __name__ == '__main__':
    unittest.main()
