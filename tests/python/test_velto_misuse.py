"""The velto package used carelessly: closes that race, non-ASCII and bytes
paths, arguments refused before any work, Ctrl-C during calibration, and
which calibration a recording names."""
from __future__ import absolute_import, division, print_function, unicode_literals

import os
import shutil
import signal
import sys
import tempfile
import threading
import time
import unittest

import support
import velto
import velto_internal
from velto import _runtime

PY2 = sys.version_info[0] == 2
NAN, INF = float('nan'), float('inf')


def block_worker(seconds):
    """Keeps the module's worker busy for `seconds` (requests run one at a time)."""
    velto_internal.call_function('get_sdk_version', (), lambda result: time.sleep(seconds))


def native_path(text):
    """`text` as the bytes path a script would pass: a UTF-8 str on 2.7, bytes on 3.x."""
    return text.encode('utf-8') if PY2 else os.fsencode(text)


class Case(unittest.TestCase):
    def setUp(self):
        support.reset()
        self.trackers = velto.find_trackers()
        self.tracker = self.trackers[0]
        self.folder = tempfile.mkdtemp(prefix='velto-misuse-')

    def tearDown(self):
        for tracker in self.trackers:
            tracker.close()
        shutil.rmtree(self.folder, ignore_errors=True)
        self.assertEqual(_runtime.users(), 0, 'something was left open')

    def calibrate(self, tracker, points):
        with tracker.calibrate(measure_eyes=False) as calibration:
            for x, y in points:
                calibration.collect(x, y)
            return calibration.compute()

    def assert_one_line_value_error(self, action):
        with self.assertRaises(ValueError) as caught:
            action()
        self.assertNotIn('\n', str(caught.exception))


class Races(Case):
    def test_concurrent_closes_release_the_module_exactly_once(self):
        # Regression: two threads closing one tracker both released the module, stopping it under another open tracker.
        other = self.trackers[1]
        for _ in range(5):
            tracker = velto.open_tracker(address=self.tracker.address)
            children = [tracker.gaze(), tracker.clock(), tracker.calibrate(measure_eyes=False)]
            children[2].start()
            self.assertEqual(_runtime.users(), 5)  # two trackers here, this one, gaze, clock
            closers = [threading.Thread(target=o.close) for o in [tracker] * 4 + children * 2]
            for thread in closers:
                thread.start()
            for thread in closers:
                thread.join(10)
            self.assertTrue(all(c.closed if hasattr(c, 'closed') else not c.active for c in children))
            self.assertEqual(_runtime.users(), 2)
            self.assertIn(other.get_frequency(), other.get_frequencies())  # the module still runs
        self.assertEqual(len(support.calls('velto_screen_based_calibration_leave_calibration_mode')), 5)


class Paths(Case):
    def test_non_ascii_and_bytes_paths_work_everywhere(self):
        # Regression: a non-ASCII folder as a UTF-8 str on 2.7 failed with UnicodeDecodeError after record() made it, and in load_recording().
        folder = native_path(os.path.join(self.folder, 'M\xfcller-\u00e9t\u00e9'))
        calibration_file = native_path(os.path.join(self.folder, 'M\xfcller.cal'))
        self.calibrate(self.tracker, velto.FIVE_POINTS)
        self.assertGreater(self.tracker.save_calibration(calibration_file), 0)
        self.assertGreater(velto.load_calibration(self.tracker, calibration_file), 0)
        with self.tracker.record(folder) as recording:
            recording.wait(0.5)
        self.assertTrue(os.path.isdir(os.path.join(self.folder, 'M\xfcller-\u00e9t\u00e9')))
        saved = velto.load_recording(folder)
        self.assertTrue(saved.complete)
        self.assertGreater(len(saved.gaze), 0)
        self.assertEqual(velto.recording_quality(folder)['state'], 'complete')
        result = velto.export_bids(folder, native_path(os.path.join(self.folder, 'B\xefds')),
                                   subject='01', task='t', screen_resolution=(1920, 1080),
                                   screen_distance_m=0.65)
        self.assertTrue(result.files)
        # An empty folder name would have recorded into the current folder.
        before = os.listdir(os.getcwd())
        self.assert_one_line_value_error(lambda: self.tracker.record(''))
        self.assert_one_line_value_error(lambda: velto.load_recording(b''))
        self.assertEqual(os.listdir(os.getcwd()), before)


class Arguments(Case):
    def test_bad_arguments_raise_one_value_error_before_any_call(self):
        # Regression: timeout=inf raised OverflowError; NaN/negative timeouts, queue_size=inf, times=-1 and NUL texts were not refused up front.
        tracker = self.tracker
        for unlimited in (INF, 1e12, 10 ** 400):
            self.assertEqual(velto.library_version(timeout=unlimited), '1.9.2.1187')
        tracker.timeout = INF
        self.assertEqual(tracker.get_frequency(), 60.0)
        with tracker.gaze() as gaze:
            self.assertIsNotNone(gaze.get(timeout=INF))
            self.assertLessEqual(len(list(gaze.for_seconds(0.05))), 1000)
        support.clear_calls()
        for bad in (NAN, -1, -INF):
            self.assert_one_line_value_error(lambda: velto.system_time(timeout=bad))
            self.assert_one_line_value_error(lambda: velto.call('get_system_time_stamp', timeout=bad))
            self.assert_one_line_value_error(lambda: velto.Tracker(tracker.description, timeout=bad))
        for bad in (NAN, INF, 0, 1e300):
            self.assert_one_line_value_error(lambda: tracker.gaze(queue_size=bad))
        self.assert_one_line_value_error(lambda: setattr(tracker, 'name', 'a\x00b'))
        self.assert_one_line_value_error(lambda: setattr(tracker, 'mode', 'Infant\x00junk'))
        self.assert_one_line_value_error(lambda: velto.open_tracker(address='sim\x00x'))
        self.assertEqual(support.calls(), [])
        with tracker.calibrate(measure_eyes=False) as calibration:
            support.clear_calls()
            for bad in (-1, 0, 10 ** 9):
                self.assert_one_line_value_error(lambda: calibration.collect(0.5, 0.5, times=bad))
            self.assertEqual(support.calls('velto_screen_based_calibration_collect_data'), [])
        self.assertEqual(tracker.get_mode(), 'Default')

    def test_one_event_stream_given_as_a_string_is_that_stream(self):
        # Regression: events='log' was taken as the streams 'l', 'o', 'g'.
        folder = os.path.join(self.folder, 'one-stream')
        with self.tracker.record(folder, events='log') as recording:
            recording.wait(0.2)
        self.assertEqual(velto.load_recording(folder).metadata['streams'], ['gaze', 'log', 'time_sync'])


class Calibration(Case):
    def interrupt_soon(self, seconds):
        """A real SIGINT to this process after `seconds` (what Ctrl-C sends)."""
        previous = signal.signal(signal.SIGINT, signal.default_int_handler)
        self.addCleanup(signal.signal, signal.SIGINT, previous)
        timer = threading.Timer(seconds, os.kill, (os.getpid(), signal.SIGINT))
        timer.start()
        self.addCleanup(timer.join)

    def test_ctrl_c_during_any_step_leaves_calibration_mode(self):
        # Regression: Ctrl-C while entering calibration mode left the tracker in it; every later calibrate() failed "already in calibration mode".
        block_worker(0.8)
        self.interrupt_soon(0.3)
        with self.assertRaises(KeyboardInterrupt):
            with self.tracker.calibrate(measure_eyes=False):
                self.fail('entered despite Ctrl-C')
        session = self.tracker.calibrate(measure_eyes=False)
        session.start()  # not "already in calibration mode"
        block_worker(0.8)
        self.interrupt_soon(0.3)
        with self.assertRaises(KeyboardInterrupt):
            session.collect(0.5, 0.5)
        self.assertFalse(session.active)
        self.assertEqual(self.calibrate(self.tracker, velto.FIVE_POINTS).left.samples, 5)

    def test_the_recording_names_the_calibration_in_use(self):
        # Regression: metadata.json named the last calibration computed in the process, not the file loaded since, and null for a session that only loads one.
        five, nine = (os.path.join(self.folder, name) for name in ('cal5.bin', 'cal9.bin'))
        self.assertIsNone(self.tracker.calibration_in_use)
        result5 = self.calibrate(self.tracker, velto.FIVE_POINTS)
        self.tracker.save_calibration(five)
        self.calibrate(self.tracker, velto.NINE_POINTS)
        self.assertEqual(self.tracker.calibration_in_use['source'], 'computed')
        self.tracker.save_calibration(nine)
        self.tracker.load_calibration(five)

        def recorded(tracker, name):
            folder = os.path.join(self.folder, name)
            tracker.record(folder).close()
            return velto.load_recording(folder).metadata['calibration']
        in_use = recorded(self.tracker, 'a')
        self.assertEqual((in_use['source'], in_use['source_file']), ('file', five))
        self.assertEqual(len(in_use['points']), 5)
        self.assertEqual(in_use['left'], dict(result5.left._asdict()))
        with velto.open_tracker(address=self.tracker.address) as fresh:  # knows nothing yet
            self.assertIsNone(recorded(fresh, 'b'))
            fresh.load_calibration(nine)
            in_use = recorded(fresh, 'c')
        self.assertEqual((in_use['source'], in_use['source_file'], 'points' in in_use),
                         ('file', nine, False))


if __name__ == '__main__':
    unittest.main()
