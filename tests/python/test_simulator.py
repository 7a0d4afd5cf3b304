"""The simulated device library driven through its control interface (ctypes)
and through the module: configured worlds, fault rules, the call log, emitted
records, and generated streams as an experiment would receive them."""
import threading
import time
import unittest

import support
from support import call, calls, configure, fail

import velto_internal


def setUpModule():
    velto_internal.startup()


def tearDownModule():
    velto_internal.cleanup()


class Collector(object):
    """A stream subscriber that keeps every dict and can wait for some."""

    def __init__(self):
        self.items = []
        self.cond = threading.Condition()

    def __call__(self, item):
        with self.cond:
            self.items.append(item)
            self.cond.notify_all()

    def wait_for(self, n, timeout=10.0):
        end = time.time() + timeout
        with self.cond:
            while len(self.items) < n and time.time() < end:
                self.cond.wait(0.05)
            return len(self.items) >= n


class ControlInterface(unittest.TestCase):
    def setUp(self):
        support.reset()

    def test_configured_world_is_what_the_module_discovers(self):
        configure({'trackers': [{'address': 'sim://b', 'device_name': 'B', 'capabilities': 2},
                                {'address': 'sim://a', 'model': 'M'}]})
        found = support.devices()
        self.assertEqual([d['address'] for d in found], ['sim://b', 'sim://a'])
        self.assertEqual(found[0]['device_capabilities'], ('capability_has_external_signal',))
        self.assertEqual(found[1]['model'], 'M')
        self.assertEqual(found[1]['device_name'], 'Simulated Tracker 2')

    def test_refused_world_changes_nothing(self):
        before = support.devices()
        for text in ['{"trackers": [', '{"trackers": [{"adress": "typo"}]}',
                     '{"generate": "yes"}']:
            with self.assertRaises(ValueError) as raised:
                configure(text)
            self.assertTrue(str(raised.exception), text)
        self.assertEqual(support.devices(), before)

    def test_fault_rule_reaches_python_after_skipped_calls(self):
        device = support.devices()[0]['core_eyetracker']
        fail('velto_get_gaze_output_frequency', 31, 1, 1)
        self.assertEqual(call('get_gaze_output_frequency', (device,)), (0, 60.0))
        self.assertEqual(call('get_gaze_output_frequency', (device,)), (31,))
        self.assertEqual(call('get_gaze_output_frequency', (device,)), (0, 60.0))
        # Terminate itself can fail, and then the library stays usable.
        fail('velto_terminate', 12, 0, 1)
        self.assertEqual(call('terminate'), (12,))
        self.assertEqual(call('get_gaze_output_frequency', (device,)), (0, 60.0))
        self.assertNotEqual(support.sim.velto_sim_fail('velto_nonexistent', 1, 0, 1), 0)

    def test_call_log_shows_the_module_calls_with_their_arguments(self):
        device = support.devices()[0]['core_eyetracker']
        support.clear_calls()
        call('get_all_gaze_output_frequencies', (device,))
        call('set_eye_tracking_mode', (device, 'Infant'))
        call('screen_based_calibration_collect_data', (device, 0.5, 0.25))
        entries = calls()
        self.assertEqual([e['function'] for e in entries],
                         ['velto_get_all_gaze_output_frequencies'] * 2 +
                         ['velto_set_eye_tracking_mode',
                          'velto_screen_based_calibration_collect_data'])
        self.assertEqual([e['capacity'] for e in entries[:2]], [4, 6])
        self.assertEqual(entries[0]['handle'], device)
        self.assertEqual(entries[2]['text'], 'Infant')
        self.assertEqual((entries[3]['x'], entries[3]['y']), (0.5, 0.25))

    def test_emitted_records_reach_only_that_trackers_subscribers(self):
        configure({'generate': False})
        first, second = [d['core_eyetracker'] for d in support.devices()]
        got = Collector()
        self.assertEqual(call('subscribe_to', (1, first, got)), (0,))
        record = support.GazeData()
        record.device_time_stamp = 4242
        self.assertEqual(support.emit(1, first, record), 1)
        self.assertEqual(support.emit(1, second, record), 0)
        self.assertEqual(support.emit(3, first, support.TimeSynchronizationData()), 0)
        self.assertEqual([g['device_time_stamp'] for g in got.items], [4242])
        self.assertEqual(call('unsubscribe_from', (1, first)), (0,))
        self.assertEqual(support.emit(1, first, record), 0)


class ExperimentSession(unittest.TestCase):
    """What a Python experiment would do against the default world."""

    def setUp(self):
        support.reset()
        self.device = support.devices()[0]['core_eyetracker']

    def tearDown(self):
        for stream in (1, 5, 6):
            call('unsubscribe_from', (stream, self.device))

    def test_gaze_images_and_notifications_arrive(self):
        gaze, images, notes = Collector(), Collector(), Collector()
        self.assertEqual(call('subscribe_to', (5, self.device, notes)), (0,))
        self.assertEqual(call('set_gaze_output_frequency', (self.device, 120.0)), (0,))
        self.assertEqual(call('subscribe_to', (1, self.device, gaze)), (0,))
        self.assertEqual(call('subscribe_to', (6, self.device, images)), (0,))
        self.assertTrue(gaze.wait_for(30))
        self.assertTrue(images.wait_for(1))
        self.assertTrue(notes.wait_for(1))
        self.assertEqual(notes.items[0]['gaze_output_frequency'], 120.0)
        stamps = [g['system_time_stamp'] for g in gaze.items[:30]]
        self.assertTrue(all(b > a for a, b in zip(stamps, stamps[1:])))
        valid = [g for g in gaze.items if g['left_gaze_point_validity'] == 1]
        self.assertTrue(valid)
        for g in valid:
            x, y = g['left_gaze_point_on_display_area']
            self.assertTrue(-0.1 < x < 1.1 and -0.1 < y < 1.1, (x, y))
        self.assertTrue(images.items[0]['image_data'].startswith('GIF8'))


if __name__ == '__main__':
    unittest.main()
