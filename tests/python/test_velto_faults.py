"""Recordings under the faults of a real lab: a slow callback, a lost or
removed tracker, a second Ctrl-C, SIGTERM, a full disk, a failed start and
two recordings in one folder. Each ends with files whose every signal (end
marker, metadata, reader) agrees with what is on disk."""
from __future__ import absolute_import, division, print_function, unicode_literals

import io
import json
import os
import shutil
import signal
import sys
import tempfile
import threading
import time
import unittest
import warnings

import support
import velto
from velto import _runtime
from test_velto_api import VeltoTestCase, gaze_record, run_script

WORLD = {'trackers': [
    {'address': 'sim://a', 'gaze_output_frequencies': [600.0, 1200.0]},
    {'address': 'sim://b', 'gaze_output_frequencies': [60.0], 'capabilities': 0}]}


def events_of(folder):
    with io.open(os.path.join(folder, 'events.jsonl'), 'rb') as stream:
        return [json.loads(line.decode('utf-8')) for line in stream]


class Captured(list):
    """sys.stderr replaced for a block; `text` holds what was written."""

    def write(self, text):
        self.append(text.decode('utf-8', 'replace') if isinstance(text, bytes) else text)

    def flush(self):
        pass

    @property
    def text(self):
        return ''.join(self)

    def __enter__(self):
        self.saved, sys.stderr = sys.stderr, self
        return self

    def __exit__(self, *exc):
        sys.stderr = self.saved
        return False


class FaultCase(VeltoTestCase):
    world = WORLD

    def setUp(self):
        VeltoTestCase.setUp(self)
        self.root = tempfile.mkdtemp()
        self.folder = os.path.join(self.root, 'rec')

    mounted = None

    def tearDown(self):
        VeltoTestCase.tearDown(self)
        if self.mounted:
            support.subprocess.call(['umount', self.mounted])
        shutil.rmtree(self.root)

    def assert_agrees(self, folder, complete, intact):
        """The end marker, the metadata and the reader say the same, and match the files."""
        saved = velto.load_recording(folder)
        meta = saved.metadata
        self.assertEqual((saved.complete, meta['complete'], saved.end['complete']),
                         (complete, complete, complete), saved.damage)
        self.assertEqual((saved.intact, meta['intact']), (intact, intact), saved.damage)
        self.assertFalse(saved.truncated)
        self.assertEqual((saved.end['gaze_rows'], meta['gaze_rows']), (len(saved.gaze),) * 2)
        loss = meta['data_loss']
        self.assertEqual(loss['gaps'], len(saved.gaps))
        self.assertEqual(loss['missing_samples'], sum(g['missing_samples'] for g in saved.gaps))
        self.assertEqual(loss['longest_gap_us'], max([g['duration_us'] for g in saved.gaps] or [0]))
        return saved


class DataLoss(FaultCase):
    def test_a_slow_callback_leaves_gaps_that_are_counted(self):
        # Fault: samples the tracker dropped behind a slow callback left a recording "complete" with no word of the loss.
        self.tracker.frequency = 600
        with Captured() as stderr:
            with self.tracker.record(self.folder) as recording:
                with self.tracker.gaze(callback=lambda sample: time.sleep(0.003)):
                    recording.wait(1.5)
        saved = self.assert_agrees(self.folder, complete=True, intact=False)
        loss = saved.data_loss
        self.assertGreater(loss['gaps'], 0)
        self.assertGreater(loss['longest_gap_us'], 150000)  # the simulator skips ahead after 200 ms
        # Rows and missing samples together cover the recording's span at 600 Hz.
        span_us = saved.gaze[-1]['time_us'] - saved.gaze[0]['time_us']
        self.assertAlmostEqual(len(saved.gaze) + loss['missing_samples'], span_us / 1e6 * 600 + 1,
                               delta=5)
        gap = saved.gaps[0]
        self.assertEqual(gap['duration_us'], gap['device_time_stamp_after'] -
                         gap['device_time_stamp_before'] - 1667)
        self.assertEqual(gap['t_us'], gap['system_time_stamp'] - saved.metadata['start']['system_time_us'])
        for eye in ('left', 'right'):
            invalid = sum(1 for row in saved.gaze if row[eye + '_valid'] & 1 == 0)
            self.assertAlmostEqual(loss[eye + '_invalid_share'], invalid / len(saved.gaze), places=5)
        self.assertIn('gap(s) in the gaze data', saved.damage[0])
        warning = [line for line in stderr.text.splitlines() if 'not intact' in line]
        self.assertEqual(len(warning), 1, stderr.text)
        self.assertIn(self.folder, warning[0])

    def test_a_lost_then_removed_tracker_ends_iterators_and_is_recorded(self):
        # Fault: a removed tracker left a "complete" recording, a RuntimeWarning and a gaze iterator that never ended.
        tracker, address = self.tracker, self.tracker.address
        tracker.frequency = 1200
        with warnings.catch_warnings(record=True) as caught, Captured():
            warnings.simplefilter('always')
            recording = tracker.record(self.folder)
            with tracker.gaze() as gaze:
                support.simulator.cut_connection(address, after=0.3, duration=0.4)
                started = time.time()
                with self.assertRaises(velto.ConnectionLost) as lost:
                    for sample in gaze:
                        pass
                self.assertLess(time.time() - started, 2.0)
                self.assertIn(address, str(lost.exception))
                self.assertIsInstance(lost.exception, velto.VeltoError)
                # A synchronous call fails with the library's status meanwhile.
                with self.assertRaises(velto.VeltoError) as status:
                    tracker.get_frequency()
                self.assertEqual(status.exception.status, 2)
                # Restored: the same iterator goes on.
                while gaze.connection_lost and time.time() - started < 5:
                    time.sleep(0.01)
                self.assertIsNotNone(next(iter(gaze)))
                time.sleep(0.2)
                support.configure({'trackers': []})  # removed for good
                with self.assertRaises(velto.ConnectionLost):
                    while True:
                        gaze.get(timeout=5)
            time.sleep(0.2)
            recording.close()
        self.assertEqual([str(w.message) for w in caught], [])
        saved = self.assert_agrees(self.folder, complete=True, intact=False)
        kinds = [e['event'] for e in saved.events if e['stream'] == 'recording']
        self.assertEqual(kinds, ['start', 'connection_lost', 'connection_restored', 'connection_lost',
                                 'end'])
        self.assertEqual(saved.metadata['connection_losses'], 2)
        # The cut (about 400 ms) and the stretch from the removal to the end are gaps.
        self.assertEqual(len(saved.gaps), 2)
        self.assertAlmostEqual(saved.gaps[0]['duration_us'], 400000, delta=100000)
        self.assertGreater(saved.gaps[1]['duration_us'], 150000)
        self.assertIn("the tracker's connection was lost 2 time(s), not restored", saved.damage)
        self.assertEqual(saved.end['reason'], 'stopped')


class Interrupts(FaultCase):
    def test_a_second_ctrl_c_while_closing_finishes_the_close_first(self):
        # Fault: a second Ctrl-C 1-4 ms after the first broke the close: no end marker, subscriptions left open.
        pid = os.getpid()
        ask_time = velto.recording.system_time

        def second_ctrl_c(timeout):  # the end time is asked for in the middle of the close
            os.kill(pid, signal.SIGINT)
            time.sleep(0.004)
            return ask_time(timeout)
        interrupts = 0
        try:
            with self.tracker.record(self.folder) as recording:
                velto.recording.system_time = second_ctrl_c
                threading.Timer(0.3, os.kill, (pid, signal.SIGINT)).start()
                time.sleep(10)
        except KeyboardInterrupt:
            interrupts += 1
        finally:
            velto.recording.system_time = ask_time
        try:
            time.sleep(0.1)
        except KeyboardInterrupt:
            interrupts += 1
        self.assertEqual(interrupts, 1)  # the second one, raised once the close was done
        self.assertTrue(recording.closed)
        saved = self.assert_agrees(self.folder, complete=True, intact=True)
        self.assertEqual(saved.end['reason'], 'interrupted (Ctrl-C)')
        self.assertGreater(len(saved.gaze), 50)
        self.assertEqual([o.kind for o in _runtime.open_objects()], ['tracker', 'tracker'])
        recording.close()  # again: nothing to do
        self.assertIs(signal.getsignal(signal.SIGINT), signal.default_int_handler)

    def test_sigterm_closes_the_recording_like_ctrl_c(self):
        # Fault: SIGTERM killed a recording without an end marker, its metadata stale.
        self.assertEqual(signal.getsignal(signal.SIGTERM), signal.SIG_DFL)
        with self.tracker.record(self.folder):
            self.assertNotEqual(signal.getsignal(signal.SIGTERM), signal.SIG_DFL)
        self.assertEqual(signal.getsignal(signal.SIGTERM), signal.SIG_DFL)  # restored with the last
        folder = os.path.join(self.root, 'terminated')
        script = '\n'.join([
            'import sys, velto',
            'tracker = velto.open_tracker()',
            'with tracker.record(%r) as recording:' % folder,
            '    sys.stdout.write("recording\\n"); sys.stdout.flush()',
            '    recording.wait(30)',
            'print("not reached")'])
        path = os.pathsep.join([os.path.dirname(velto.__path__[0]), support.LIB_DIR,
                                os.path.dirname(os.path.abspath(__file__))])
        proc = support.subprocess.Popen([sys.executable, '-c', script], stdout=support.subprocess.PIPE,
                                        stderr=support.subprocess.PIPE,
                                        env=dict(os.environ, PYTHONPATH=path))
        self.assertEqual(proc.stdout.readline().strip(), b'recording')
        time.sleep(0.5)
        proc.send_signal(signal.SIGTERM)
        code, out, err = support.finish(proc, 30)
        self.assertEqual(code, 143, err)
        self.assertNotIn('not reached', out)
        saved = self.assert_agrees(folder, complete=True, intact=True)
        self.assertEqual(saved.end['reason'], 'terminated (SIGTERM)')
        self.assertGreater(len(saved.gaze), 10)

    def test_system_exit_and_ctrl_c_in_a_callback_are_printed_and_counted(self):
        # Fault: SystemExit or KeyboardInterrupt raised in a callback vanished without a trace or a count.
        support.configure({'generate': False, 'trackers': [{'address': 'sim://q'}]})
        raised = [SystemExit(3), KeyboardInterrupt()]

        def callback(record):
            raise raised.pop(0)
        with velto.open_tracker() as tracker, Captured() as stderr:
            with tracker.gaze(callback=callback) as gaze:
                for _ in range(2):
                    support.emit(1, tracker.handle, gaze_record(1000))
        self.assertEqual(gaze.errors, 2)
        self.assertIn('SystemExit', stderr.text)


class DiskAndStart(FaultCase):
    def test_a_full_disk_leaves_whole_rows_and_every_signal_saying_incomplete(self):
        # Fault: on a full disk the end marker, metadata and reader disagreed, a row was cut off and a failed start left files that blocked a retry.
        disk = os.path.join(self.root, 'disk')
        os.mkdir(disk)
        # A 200 KB file system where it can be mounted (root), else a file size limit.
        tmpfs = hasattr(os, 'geteuid') and os.geteuid() == 0 and support.subprocess.call(
            ['mount', '-t', 'tmpfs', '-o', 'size=200k', 'tmpfs', disk], stderr=support.subprocess.PIPE) == 0
        self.mounted = disk if tmpfs else None
        limit = ('resource.setrlimit(resource.RLIMIT_FSIZE, (%d, resource.RLIM_INFINITY))'
                 if not tmpfs else '%d')
        folder, first = os.path.join(disk, 'full'), os.path.join(disk, 'first')
        code, out, err = run_script('\n'.join([
            'import resource, signal, velto',
            'signal.signal(signal.SIGXFSZ, signal.SIG_IGN)  # writes past the limit fail (EFBIG)',
            limit % 70000,
            'tracker = velto.open_tracker()',
            'tracker.frequency = 1200',
            'try:',
            '    with tracker.record(%r) as recording:' % folder,
            '        recording.wait(10)',
            'except EnvironmentError as error:',
            '    print("write failed")',
            limit % 40,
            'try:',
            '    tracker.record(%r)' % first,
            'except EnvironmentError as error:',
            '    print("start failed")']))
        self.assertEqual(code, 0, err)
        self.assertEqual(out.splitlines(), ['write failed', 'start failed'])
        self.assertNotIn('Exception ignored', err)
        self.assertFalse(os.path.exists(first))  # made by the failed start, so removed
        saved = self.assert_agrees(folder, complete=False, intact=False)
        self.assertTrue(saved.damage[0].startswith('marked incomplete'), saved.damage)
        self.assertGreater(len(saved.gaze), 100)
        self.assertIsNotNone(saved.metadata['clock'])  # the final metadata, not the first
        with io.open(os.path.join(folder, 'gaze.csv'), 'rb') as stream:
            self.assertTrue(stream.read().endswith(b'\n'))
        # Nothing blocks a retry of the start that failed, once there is room.
        shutil.rmtree(folder)
        with self.trackers[0].record(first):
            pass
        self.assert_agrees(first, complete=True, intact=True)

    def test_a_refused_subscription_leaves_nothing_that_blocks_a_retry(self):
        # Fault: a recording that failed to start was marked complete and blocked a retry.
        support.fail('velto_subscribe_to_gaze_data', 6, 0, 1)
        with self.assertRaises(velto.VeltoError):
            self.tracker.record(self.folder)
        self.assertEqual(os.listdir(self.root), [])
        self.assertEqual([o.kind for o in _runtime.open_objects()], ['tracker', 'tracker'])
        with self.tracker.record(self.folder):
            pass
        saved = self.assert_agrees(self.folder, complete=True, intact=True)
        # A recording older than the checks: intact unknown, no loss figures.
        meta = dict(saved.metadata)
        for key in ('intact', 'damage', 'data_loss', 'connection_losses'):
            del meta[key]
        del meta['end']['complete']
        with io.open(os.path.join(self.folder, 'metadata.json'), 'wb') as stream:
            stream.write(json.dumps(meta).encode('utf-8'))
        older = velto.load_recording(self.folder)
        self.assertEqual((older.complete, older.intact, older.data_loss, older.gaps, older.markers),
                         (True, None, None, [], []))

    def test_a_folder_another_recording_writes_is_refused(self):
        # Fault: overwrite=True into the folder of an open recording was accepted and mixed two trackers' rows.
        with self.trackers[0].record(self.folder):
            for spelling in (self.folder, os.path.join(self.folder, '..', 'rec')):
                with self.assertRaises(velto.VeltoError) as caught:
                    self.trackers[1].record(spelling, overwrite=True)
                self.assertEqual(caught.exception.status_name,
                                 'another open recording writes to that folder')
        self.assert_agrees(self.folder, complete=True, intact=True)
        with self.trackers[1].record(self.folder, overwrite=True):
            pass
        saved = self.assert_agrees(self.folder, complete=True, intact=True)
        self.assertEqual(saved.metadata['tracker']['address'], 'sim://b')


if __name__ == '__main__':
    unittest.main()
