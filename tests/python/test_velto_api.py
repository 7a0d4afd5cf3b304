"""The velto package against the simulator: errors and statuses, timeouts and
late results, the module's lifetime, trackers, settings and streams."""
from __future__ import absolute_import, division, print_function, unicode_literals

import os
import shutil
import tempfile
import threading
import time
import unittest

import support
import velto
import velto_internal
from velto import _runtime
from velto._compat import to_unicode

HERE = os.path.dirname(os.path.abspath(__file__))
PYTHON_DIR = os.path.normpath(os.path.join(HERE, '..', '..', 'python'))
QUIET_WORLD = {'generate': False, 'trackers': [
    {'address': 'sim://a', 'capabilities': 7, 'gaze_output_frequencies': [30.0, 60.0]},
    {'address': 'sim://b', 'capabilities': 0}]}


def gaze_record(t, x=0.5, y=0.5, valid=1):
    """A simulator gaze record at system time t (us), both eyes at (x, y)."""
    record = support.GazeData(device_time_stamp=t + 1000, system_time_stamp=t)
    for eye in (record.left_eye, record.right_eye):
        eye.gaze_point_on_display_area = support.Point2(x, y)
        eye.gaze_point_validity = eye.pupil_validity = eye.gaze_origin_validity = valid
        eye.pupil_diameter = 3.5
        eye.gaze_origin_in_user_coordinate_system = support.Point3(0, 215, 640)
    return record


def block_worker(seconds):
    """Keeps the module's worker busy: the result callback of a request queued
    directly sleeps, and requests run one at a time."""
    velto_internal.call_function('get_sdk_version', (), lambda result: time.sleep(seconds))


def run_script(source, timeout=60):
    """Runs Python source in a fresh interpreter with the package, the module
    and the suites' helpers on the path; (status, stdout, stderr) as text."""
    path = os.pathsep.join([PYTHON_DIR, support.LIB_DIR, HERE])
    return support.run_python(['-c', source], timeout, env={'PYTHONPATH': path})[:3]


class VeltoTestCase(unittest.TestCase):
    world = None

    def setUp(self):
        support.reset()
        if self.world is not None:
            support.configure(self.world)
        self.trackers = velto.find_trackers()
        self.tracker = self.trackers[0]

    def tearDown(self):
        for tracker in self.trackers:
            tracker.close()
        self.assertEqual(_runtime.users(), 0, 'something was left open')


class Errors(VeltoTestCase):
    def assert_fails(self, action, operation, status, name):
        with self.assertRaises(velto.VeltoError) as caught:
            action()
        error = caught.exception
        self.assertEqual((error.operation, error.status, error.status_name), (operation, status, name))
        if status is not None:
            self.assertIn('(status %d)' % status, str(error))
        return error

    def test_statuses_carry_operation_number_and_name(self):
        tracker = self.tracker
        error = self.assert_fails(lambda: setattr(tracker, 'frequency', 99999),
                                  'set_gaze_output_frequency', 3, 'invalid argument')
        self.assertIn('offered: 23.976, 30, 60, 120, 250, 600, 1200 Hz', str(error))
        self.assert_fails(lambda: tracker.calibrate(measure_eyes=False).collect(0.5, 0.5),
                          'screen_based_calibration_collect_data', 4, 'not in calibration mode')
        self.assert_fails(lambda: velto.call('get_display_area', 'not a handle'),
                          'get_display_area', 10, 'invalid parameter')
        self.assert_fails(lambda: velto.open_tracker(address='sim://nowhere'),
                          'get_device', 2, 'no tracker at that address')
        support.fail('velto_get_track_box', 42, 0, 1)
        self.assert_fails(lambda: tracker.track_box, 'get_track_box', 42, 'unknown status 42')
        # The module's own "already subscribed" for a second log subscriber.
        velto_internal.call_function('subscribe_to', (0, 0, lambda e: None), lambda r: None)
        try:
            self.assert_fails(velto.log_messages, 'subscribe_to', 11,
                              'the log stream already has a subscriber')
        finally:
            velto_internal.call_function('unsubscribe_from', (0, 0), lambda r: None)

    def test_timeout_then_late_result_is_dropped(self):
        block_worker(1.0)
        with self.assertRaises(velto.VeltoTimeout) as caught:
            velto.call('get_sdk_version', timeout=0.2)
        self.assertIsInstance(caught.exception, velto.VeltoError)
        self.assertEqual(caught.exception.operation, 'get_sdk_version')
        self.assertIsNone(caught.exception.status)
        self.assertEqual(velto.library_version(), '1.9.2.1187')  # the late result did no harm

    def test_late_subscription_after_a_timeout_is_ended(self):
        # Regression: a subscribe_to that succeeded after its wait timed out stayed live, unowned.
        self.tracker.timeout = 0.2
        block_worker(1.0)
        with self.assertRaises(velto.VeltoTimeout):
            self.tracker.gaze()
        time.sleep(1.5)
        self.assertEqual(len(support.calls('velto_subscribe_to_gaze_data')), 1)
        self.assertEqual(len(support.calls('velto_unsubscribe_from_gaze_data')), 1)

    def test_waiting_on_a_library_thread_fails_at_once_and_closing_there_works(self):
        seen = []
        done = threading.Event()

        def on_gaze(sample):  # on the simulator's generation thread
            if done.is_set() or not holder:
                return
            try:
                self.tracker.frequency
            except velto.VeltoError as error:
                seen.append(error.status_name)
            holder[0].close()  # from the library's thread: no deadlock
            done.set()
        holder = []
        holder.append(self.tracker.gaze(callback=on_gaze))
        subscription = holder[0]
        self.assertTrue(done.wait(5))
        self.assertEqual(seen, ['cannot wait for a result on a stream or result callback thread'])
        for _ in range(100):  # the unsubscribing finishes on a helper thread
            if _runtime.users() == len(self.trackers):
                break
            time.sleep(0.05)
        self.assertTrue(subscription.closed)
        self.assertEqual(len(support.calls('velto_unsubscribe_from_gaze_data')), 1)


class Trackers(VeltoTestCase):
    def test_description_and_discovery(self):
        self.assertEqual(len(self.trackers), 2)
        first = self.tracker
        self.assertEqual((first.address, first.name, first.serial_number, first.model,
                          first.firmware_version),
                         ('velto-tcp://192.168.71.20', 'Velto Lab A', 'VS5-2041-0187',
                          'Velto Spectra 5', '2.14.1'))
        self.assertEqual(first.capabilities, ('display_area', 'external_signal', 'eye_images'))
        self.assertEqual(self.trackers[1].capabilities, ())
        with velto.open_tracker(serial_number='VN2-0038-0921') as nano:
            self.assertEqual(nano.handle, self.trackers[1].handle)
        with velto.open_tracker(address=first.address) as again:
            self.assertEqual(again.handle, first.handle)
        with self.assertRaises(velto.VeltoError) as caught:
            velto.open_tracker(name='Velto Nano', capabilities='eye_images')
        self.assertIn('no eye tracker found matching', str(caught.exception))
        # "Buffer too small" (a tracker appeared meanwhile) is tried again.
        support.fail('velto_find_all_eyetrackers', 15, 0, 1)
        for tracker in velto.find_trackers():
            tracker.close()

    def test_settings_with_plain_python_values(self):
        tracker = self.tracker
        self.assertEqual(tracker.frequencies, (23.976, 30.0, 60.0, 120.0, 250.0, 600.0, 1200.0))
        tracker.frequency = 120  # an int; the module itself wants a float
        self.assertEqual(tracker.frequency, 120.0)
        self.assertEqual(tracker.set_frequency(25, nearest=True), 23.976)
        self.assertEqual(tracker.frequency, 23.976)
        self.assertEqual(tracker.modes, ('Default', 'Human', 'Infant', 'Bright light', 'Monkey'))
        tracker.mode = 'Infant'
        self.assertEqual(tracker.mode, 'Infant')
        tracker.name = 'Lab \u00e9'  # text, sent as UTF-8
        self.assertEqual(to_unicode(tracker.name), 'Lab \u00e9')
        area = tracker.display_area
        self.assertEqual((area.width, area.height, area.top_left), (531.3, 298.9, (-265.65, 313.9, 0.0)))
        self.assertEqual(area.point(0.5, 1.0), (0.0, 15.0, 0.0))
        self.assertEqual(tracker.track_box.center, (0.0, 170.0, 600.0))
        with self.assertRaises(ValueError):
            tracker.frequency = float('nan')

    def test_module_runs_while_used_and_restarts(self):
        self.assertEqual(_runtime.users(), 2)
        subscription = self.tracker.gaze()
        self.assertEqual(_runtime.users(), 3)
        self.tracker.close()  # closes its subscription too
        self.assertTrue(subscription.closed)
        self.trackers[1].close()
        self.assertEqual(_runtime.users(), 0)
        self.assertEqual(velto_internal.call_function('get_sdk_version', (), lambda r: None), 10)
        with velto.open_tracker() as tracker:  # starts again
            self.assertEqual(tracker.frequency, 60.0)
        with self.assertRaises(velto.VeltoError) as caught:
            self.tracker.frequency
        self.assertEqual(caught.exception.status_name, 'the tracker is closed')


class Streams(VeltoTestCase):
    world = QUIET_WORLD

    def test_two_subscriptions_of_one_stream_end_independently(self):
        # The module ends every subscription of a stream at once; the package must not.
        handle = self.tracker.handle
        first, second = self.tracker.gaze(), self.tracker.gaze()
        support.emit(1, handle, gaze_record(1))
        first.close()
        support.emit(1, handle, gaze_record(2))
        self.assertEqual([s['system_time_stamp'] for s in first.drain()], [1])
        self.assertEqual([s['system_time_stamp'] for s in second.drain()], [1, 2])
        second.close()
        self.assertEqual(support.emit(1, handle, gaze_record(3)), 0)

    def test_full_queue_drops_the_oldest_and_counts(self):
        handle = self.tracker.handle
        with self.tracker.gaze(queue_size=10) as gaze:
            for t in range(1, 51):
                support.emit(1, handle, gaze_record(t))
            self.assertEqual((gaze.received, gaze.dropped), (50, 40))
            self.assertEqual([s['system_time_stamp'] for s in gaze.drain()], list(range(41, 51)))
            support.emit(1, handle, gaze_record(99))
        # Closed: what is queued is still read, then the iteration ends.
        self.assertEqual([s['system_time_stamp'] for s in gaze], [99])
        self.assertIsNone(gaze.get(timeout=0.01))

    def test_event_streams_callbacks_and_capabilities(self):
        got = []
        with self.tracker.stream_errors(callback=got.append), velto.log_messages() as log:
            self.tracker.report_stream_error('marker')
            support.emit_log(7, 1, 2, b'hello')
            self.assertEqual(to_unicode(log.get(timeout=5)['message']), 'hello')
            for _ in range(100):
                if got:
                    break
                time.sleep(0.02)
        self.assertEqual((got[0]['message'], got[0]['source']), ('marker', 'stream_error_source_user'))
        with self.assertRaises(velto.VeltoError) as caught:
            self.trackers[1].eye_images()
        self.assertEqual(caught.exception.status_name, 'not supported by this tracker')
        self.assertEqual(support.calls('velto_subscribe_to_eye_image_as_gif'), [])


class ChildResources(VeltoTestCase):
    world = QUIET_WORLD

    def test_a_tracker_closes_its_children_by_kind_then_newest_first(self):
        folder = tempfile.mkdtemp(prefix='velto-children-')
        self.addCleanup(shutil.rmtree, folder)
        tracker = self.tracker
        closed = []

        def watch(child, label):
            close = child.close

            def logged(timeout=None, **options):
                closed.append(label)
                return close(timeout=timeout, **options)
            child.close = logged
            return child
        # Opened oldest-first in the reverse of the close order, so that
        # newest-first alone would close them the wrong way round.
        watch(tracker.gaze(), 'gaze 1')
        watch(tracker.gaze(), 'gaze 2')
        watch(tracker.clock(), 'clock')
        calibration = tracker.calibrate()
        calibration.start()
        watch(calibration, 'calibration')
        watch(tracker.record(os.path.join(folder, 'rec')), 'recording')
        with self.assertRaises(ValueError):
            tracker.adopt(object())  # a child without a kind of CLOSE_ORDER is refused
        tracker.close()
        self.assertEqual(closed, ['recording', 'calibration', 'clock', 'gaze 2', 'gaze 1'])
        self.assertEqual(_runtime.open_objects(), [self.trackers[1]])  # disowned everywhere


class Exit(unittest.TestCase):
    def test_open_objects_are_closed_at_exit(self):
        # Regression: at exit 2.7 drops the main thread's object, which made
        # every wait look like one on a library thread and fail.
        folder = tempfile.mkdtemp(prefix='velto-exit-')
        self.addCleanup(shutil.rmtree, folder)
        code, out, err = run_script('\n'.join([
            'from __future__ import print_function',
            'import atexit, support',
            # Runs after the package's exit hook, which is registered later.
            'atexit.register(lambda: print(" ".join(c["function"] for c in support.calls())))',
            'import time, velto',
            'tracker = velto.open_tracker()',
            'gaze = tracker.gaze()',
            'calibration = tracker.calibrate()',
            'calibration.__enter__()',
            'recording = tracker.record(%r)' % folder,
            'time.sleep(0.2)',
            'raise RuntimeError("left everything open")']))
        self.assertEqual(code, 1, err)
        self.assertIn('RuntimeError: left everything open', err)
        self.assertNotIn('velto:', err)  # no failure while closing
        self.assertEqual(err.count('Traceback'), 1)
        for call in ('velto_unsubscribe_from_gaze_data',
                     'velto_screen_based_calibration_leave_calibration_mode'):
            self.assertIn(call, out)
        saved = velto.load_recording(folder)
        self.assertEqual(saved.end['reason'], 'closed at interpreter exit')
        self.assertEqual(saved.end['gaze_rows'], len(saved.gaze))


if __name__ == '__main__':
    unittest.main()
