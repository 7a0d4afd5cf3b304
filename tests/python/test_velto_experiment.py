"""The velto package's experiment tools against the simulator: markers in a
recording, the validation step, and the quality record both reports share."""
from __future__ import absolute_import, division, print_function, unicode_literals

import json
import math
import os
import shutil
import tempfile
import threading
import time
import unittest

import support
import velto
from velto import measures
from test_velto_api import VeltoTestCase, gaze_record

QUIET_WORLD = {'generate': False, 'trackers': [
    {'address': 'sim://a', 'capabilities': 7, 'gaze_output_frequencies': [120.0]}]}


class QualityRecord(unittest.TestCase):
    def test_centroid_and_bcea_of_known_geometry(self):
        # Four samples 1 deg left/right and 0.5 deg up/down of a point 2 deg
        # right of the target, seen straight on from 600 mm.
        origin, target = (0.0, 0.0, 600.0), (0.0, 0.0, 0.0)

        def at(h, v):  # the display-plane point h, v degrees away (small-angle exact per axis)
            return (600 * math.tan(math.radians(h)), 600 * math.tan(math.radians(v)), 0.0)
        samples = [at(1, 0), None, at(3, 0), at(2, 0.5), at(2, -0.5)]
        quality = measures.eye_quality(target, samples, origin)
        self.assertEqual((quality.valid_samples, quality.samples), (4, 5))
        self.assertAlmostEqual(quality.data_loss, 0.2)
        self.assertAlmostEqual(quality.accuracy_centroid_deg, 2.0, places=3)
        # Sample SDs (n - 1): horizontal sqrt(2/3), vertical sqrt(0.5/3), no correlation.
        k = -math.log(1 - 0.68)
        expected = 2 * k * math.pi * math.sqrt(2 / 3.0) * math.sqrt(0.5 / 3.0)
        self.assertAlmostEqual(quality.bcea_deg2, expected, delta=0.01 * expected)
        # Steps across the invalid sample do not count: (3, 0)-(2, .5) and (2, .5)-(2, -.5).
        self.assertAlmostEqual(quality.precision_rms_deg, math.sqrt((1.25 + 1.0) / 2), delta=0.01)
        overall = measures.overall_quality([quality, measures.eye_quality(target, [None], origin)])
        self.assertEqual((overall.valid_samples, overall.samples), (4, 6))
        self.assertAlmostEqual(overall.data_loss, 2 / 6.0)
        self.assertAlmostEqual(overall.accuracy_centroid_deg, quality.accuracy_centroid_deg)


class MarkerClock(unittest.TestCase):
    def test_tightest_recent_link_steps_and_drift(self):
        # Brackets of (Python time, offset, half width) given one by one.
        script = []

        def bracket(timeout):
            python_us, offset, half = script.pop(0)
            return python_us - half, python_us + offset, python_us + half
        script.extend([(1e6, 100.0, 40.0), (1.001e6, 103.0, 4.0)])
        link = velto.clock.LinkedClock(tries=2, bracket=bracket)
        self.assertEqual((link.offset_us, link.link.uncertainty_us), (103.0, 5.0))
        script.append((6e6, 110.0, 30.0))   # looser and within both: the tight one stays
        link.check(tries=1)
        self.assertEqual((link.offset_us, link.uncertainty_us), (103.0, 5.0))
        script.append((11e6, 400.0, 20.0))  # beyond both uncertainties: a step, used at once
        link.check(tries=1)
        self.assertEqual((link.offset_us, link.steps), (400.0, 1))
        self.assertEqual(link.uncertainty_us, 21.0)  # the loosest link used so far
        for n in range(1, 4):                # then 2 us more every 5 s: 0.4 ppm
            script.append((11e6 + n * 5e6, 400.0 + 2 * n, 3.0))
            link.check(tries=1)
        self.assertAlmostEqual(link.drift_ppm(), 0.4, places=6)
        self.assertEqual(link.to_dict()['checks'], 4)


class Markers(VeltoTestCase):
    def setUp(self):
        VeltoTestCase.setUp(self)
        self.tmp = tempfile.mkdtemp(prefix='velto-markers-')
        self.folder = os.path.join(self.tmp, 'rec')

    def tearDown(self):
        VeltoTestCase.tearDown(self)
        shutil.rmtree(self.tmp, ignore_errors=True)

    def test_markers_land_in_order_on_the_gaze_clock(self):
        brackets = []
        with self.tracker.record(self.folder) as recording:
            recording.wait(0.2)
            for i in range(5):
                before = velto.system_time()
                recording.mark('trial', number=i, names=['a', 'b'])
                brackets.append((before, velto.system_time()))
                time.sleep(0.05)
            future = int(recording.now_us()) + 300000
            recording.mark('flip', system_time_us=future, frame=7)
            recording.wait(0.6)
        saved = velto.load_recording(self.folder)
        uncertainty = saved.metadata['marker_clock']['uncertainty_us']
        self.assertLess(uncertainty, 5000)
        start = saved.metadata['start']['system_time_us']
        self.assertEqual(saved.metadata['markers'], 6)
        self.assertEqual([m['label'] for m in saved.markers], ['trial'] * 5 + ['flip'])
        for marker, (before, after), i in zip(saved.markers, brackets, range(5)):
            self.assertEqual(marker['fields'], {'number': i, 'names': ['a', 'b']})
            self.assertEqual(marker['time_source'], 'mark')
            self.assertEqual(marker['t_us'], marker['system_time_stamp'] - start)
            self.assertGreaterEqual(marker['system_time_stamp'], before - uncertainty)
            self.assertLessEqual(marker['system_time_stamp'], after + uncertainty)
        flip = saved.markers[-1]
        self.assertEqual((flip['system_time_stamp'], flip['time_source'], flip['fields']),
                         (future, 'caller', {'frame': 7}))
        # In events.jsonl each marker sits between the events around its time,
        # the caller's future one too (held until the writer had passed it).
        timed = [e for e in saved.events if e.get('t_us') is not None and e['stream'] != 'recording']
        self.assertGreater(len(timed), 12)
        for index, event in enumerate(timed):
            if event['stream'] == 'marker':
                self.assertTrue(all(e['t_us'] <= event['t_us'] for e in timed[:index]), event)
                self.assertTrue(all(e['t_us'] >= event['t_us'] for e in timed[index + 1:]), event)
        self.assertTrue(any(e['t_us'] > flip['t_us'] for e in timed))

    def test_bad_input_is_refused_before_anything_is_written(self):
        with self.tracker.record(self.folder) as recording:
            for label, fields, error in [
                    (b'bytes' if support.PY3 else 3, {}, TypeError),
                    (None, {}, TypeError),
                    ('', {}, ValueError),
                    ('nan', {'value': float('nan')}, ValueError),
                    ('inf', {'value': [1, float('inf')]}, ValueError),
                    ('object', {'value': object()}, TypeError),
                    ('time', {'system_time_us': float('nan')}, TypeError),
                    ('time', {'system_time_us': '12'}, TypeError),
                    ('time', {'system_time_us': True}, TypeError)]:
                with self.assertRaises(error):
                    recording.mark(label, **fields)
            if support.PY3:
                with self.assertRaises(TypeError):
                    recording.mark('bytes', value=b'raw')
            recording.mark('good', value=1.5)
        with self.assertRaises(velto.VeltoError) as caught:
            recording.mark('late')
        self.assertIn('closed', str(caught.exception))
        saved = velto.load_recording(self.folder)
        self.assertEqual([(m['label'], m['fields']) for m in saved.markers], [('good', {'value': 1.5})])
        self.assertEqual(saved.metadata['markers'], 1)


class Validation(VeltoTestCase):
    world = QUIET_WORLD
    BIAS = {'left': (0.03, 0.0), 'right': (0.0, -0.02)}

    def emit_gaze(self, stop, state):
        """Emits 120 Hz gaze: at `state['away']` for 0.15 s after each target
        change, then at the target plus BIAS (left eye: every 10th sample lost)."""
        handle = self.tracker.handle
        clock = velto.clock.LinkedClock()  # the library's time without a round trip a sample
        count = 0
        while not stop.is_set():
            now = int(clock.now_us())
            x, y = state['target']
            if now - state['since'] < 150000:
                x, y = state['away']
            record = gaze_record(now, x, y)
            for eye, data in (('left', record.left_eye), ('right', record.right_eye)):
                data.gaze_point_on_display_area = support.Point2(x + self.BIAS[eye][0],
                                                                 y + self.BIAS[eye][1])
            count += 1
            if count % 10 == 0:
                record.left_eye.gaze_point_validity = 0
            support.emit(1, handle, record)
            time.sleep(1 / 120.0)

    def test_bad_arguments_are_refused(self):
        for options, error in (({'window': None}, TypeError), ({'window': 0}, ValueError),
                               ({'settle': -0.1}, ValueError), ({'settle': 'soon'}, TypeError)):
            with self.assertRaises(error):
                self.tracker.validate(**options)
        with self.tracker.validate(settle=0, window=0.01) as validation:
            for times, error in ((0, ValueError), (1.5, ValueError), (True, ValueError)):
                with self.assertRaises(error):
                    validation.collect(0.5, 0.5, times=times)
            with self.assertRaises(TypeError):
                validation.collect(None, 0.5)
        self.assertEqual(validation.result().points, [])

    def test_validation_measures_the_bias_and_leaves_the_calibration(self):
        with self.tracker.calibrate(measure_eyes=False) as calibration:
            for x, y in velto.FIVE_POINTS:
                calibration.collect(x, y)
            calibration.compute()
        stored = self.tracker.retrieve_calibration()
        support.clear_calls()
        state = {'target': (0.5, 0.5), 'away': (0.5, 0.5), 'since': 0}
        stop = threading.Event()
        emitter = threading.Thread(target=self.emit_gaze, args=(stop, state))
        emitter.start()
        targets = [(0.5, 0.5), (0.1, 0.9), (0.9, 0.1)]
        try:
            with self.tracker.validate(settle=0.3, window=0.4) as validation:
                for x, y in targets:
                    state.update(away=state['target'], target=(x, y),
                                 since=support.call('get_system_time_stamp')[1])
                    point = validation.collect(x, y)
                    self.assertEqual(point.target, (x, y))
                result = validation.result()
        finally:
            stop.set()
            emitter.join()
        self.assertEqual(self.tracker.retrieve_calibration(), stored)
        self.assertEqual([c['function'] for c in support.calls() if 'calibration' in c['function']],
                         ['velto_retrieve_calibration_data'] * 2)  # the size, then the data
        self.assertIs(self.tracker.last_validation, result)
        self.assertEqual([p.target for p in result.points], targets)
        area = self.tracker.display_area
        for point in result.points:
            target = area.point(*point.target)
            for eye in ('left', 'right'):
                quality = getattr(point, eye)
                self.assertAlmostEqual(quality.samples, 0.4 * 120, delta=8)
                origin = (0.0, 215.0, 640.0)  # where gaze_record puts both eyes
                biased = area.point(point.target[0] + self.BIAS[eye][0],
                                    point.target[1] + self.BIAS[eye][1])
                expected = velto.visual_angle(origin, target, biased)
                # The samples of the settle time (elsewhere) are left out: no spread.
                self.assertAlmostEqual(quality.accuracy_centroid_deg, expected, delta=0.02)
                self.assertAlmostEqual(quality.accuracy_deg, expected, delta=0.02)
                self.assertLess(quality.precision_rms_deg, 0.01)
                self.assertLess(quality.bcea_deg2, 0.001)
            self.assertAlmostEqual(point.left.data_loss, 0.1, delta=0.04)
            self.assertEqual(point.right.data_loss, 0.0)
        self.assertGreater(result.left.accuracy_deg, 1.0)   # 0.03 of 531 mm at 640 mm
        self.assertAlmostEqual(result.left.data_loss, 0.1, delta=0.03)
        self.assertEqual(result.left.samples, sum(p.left.samples for p in result.points))
        text = str(result)
        self.assertIn('Validation quality', text)
        self.assertIn('(0.10, 0.90)', text)
        # A recording started afterwards keeps the result beside the calibration.
        folder = tempfile.mkdtemp(prefix='velto-validation-')
        try:
            with self.tracker.record(os.path.join(folder, 'r')):
                pass
            metadata = velto.load_recording(os.path.join(folder, 'r')).metadata
        finally:
            shutil.rmtree(folder, ignore_errors=True)
        self.assertEqual(metadata['validation'], json.loads(json.dumps(result.to_dict())))
        self.assertEqual(len(metadata['calibration']['points']), 5)
        self.assertIn('accuracy_centroid_deg', metadata['calibration']['left'])


if __name__ == '__main__':
    unittest.main()
