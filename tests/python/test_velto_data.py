"""The velto package's numbers and files against the simulator: the clock
relation, calibration quality in degrees, calibration files, recordings and
their native row formatter."""
from __future__ import absolute_import, division, print_function, unicode_literals

import io
import math
import os
import random
import shutil
import tempfile
import time
import unittest

import support
import velto
from velto import columns
from velto._compat import integer_types
from test_velto_api import QUIET_WORLD, VeltoTestCase, gaze_record, run_script

# The simulator's calibration model (simulator/sim_calibration.cc): per-eye
# bias in display-area units and normal noise of SD 0.008 per axis.
BIAS = {'left': (-0.006, 0.004), 'right': (0.005, 0.003)}
NOISE = 0.008
ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', '..'))
# Its eyes: 64 mm apart around (0, 215, 640) mm (simulator/README.md).
EYE = {'left': (-32.0, 215.0, 640.0), 'right': (32.0, 215.0, 640.0)}


def sync_record(request, offset, round_trip=400):
    return support.TimeSynchronizationData(request, request + round_trip // 2 + offset,
                                           request + round_trip)


class Clock(VeltoTestCase):
    def test_fit_keeps_the_fast_round_trips(self):
        rng = random.Random(7)
        records = []
        for i in range(40):
            request = 10 ** 9 + i * 250000
            slow = i % 3 == 0  # a slow round trip whose answer came early in it
            rtt = 5000 if slow else 100 + rng.randint(0, 20)
            device = request + (200 if slow else rtt // 2) + 1000 + int(50e-6 * (request - 10 ** 9))
            records.append({'system_request_time_stamp': request, 'device_time_stamp': device,
                            'system_response_time_stamp': request + rtt})
        records.append({'system_request_time_stamp': 5, 'device_time_stamp': 0,
                        'system_response_time_stamp': 1})  # out of order: ignored
        estimate = velto.estimate_clock(records)
        self.assertAlmostEqual(estimate.offset_at(10 ** 9), 1000, delta=2)
        self.assertAlmostEqual(estimate.drift_ppm, 50, delta=0.2)
        self.assertLess(estimate.round_trip_us, 130)
        self.assertAlmostEqual(estimate.to_device(estimate.to_system(123456789)), 123456789, delta=1e-3)
        thinned = velto.estimate_clock(records, most=20)  # spread over the whole time, not the first 20
        self.assertLess(thinned.samples, estimate.samples)
        self.assertGreater(thinned.span_us, 0.9 * estimate.span_us)
        self.assertAlmostEqual(thinned.drift_ppm, 50, delta=0.5)
        single = velto.estimate_clock(records[1:2])
        self.assertEqual((single.drift_ppm, single.drift_uncertainty_ppm, single.samples), (0.0, None, 1))
        self.assertIsNone(velto.estimate_clock([]))

    def test_simulated_clocks(self):
        # Tracker 1: device = system + 25000 us, +12 ppm; tracker 2: -7120 us, -8 ppm
        # (drift counted from when the library was loaded, in this process).
        for tracker, offset, drift in ((self.trackers[0], 25000, 12.0), (self.trackers[1], -7120, -8.0)):
            with tracker.clock() as clock, tracker.gaze() as gaze:
                estimate = clock.wait(records=12, timeout=10)
                samples = gaze.drain()
            self.assertGreaterEqual(estimate.samples, 12)
            self.assertLess(abs(estimate.drift_ppm - drift), max(estimate.drift_uncertainty_ppm, 0.5))
            # Since loading, the drift has moved the offset by at most drift * uptime.
            uptime_us = (time.time() - START) * 1e6
            self.assertLess(abs(estimate.offset_us - offset), abs(drift) * 1e-6 * uptime_us + 2)
            # Device stamps of gaze samples map back to their system stamps.
            self.assertGreater(len(samples), 10)
            for sample in samples:
                self.assertAlmostEqual(estimate.to_system(sample['device_time_stamp']),
                                       sample['system_time_stamp'], delta=2.0)


class Calibration(VeltoTestCase):
    def test_angles_of_known_geometry(self):
        origin, target = (0.0, 0.0, 600.0), (0.0, 0.0, 0.0)
        one_degree = 600 * math.tan(math.radians(1))
        self.assertAlmostEqual(velto.visual_angle(origin, target, (one_degree, 0, 0)), 1.0, places=9)
        left, right = (-one_degree, 0.0, 0.0), (one_degree, 0.0, 0.0)
        quality = velto.calibration.eye_quality(target, [left, right, left], origin)
        self.assertAlmostEqual(quality.accuracy_deg, 1.0, places=9)
        self.assertAlmostEqual(quality.precision_rms_deg, 2.0, places=6)     # every step is 2 deg
        # The samples' mean position is a third of the way to the left one.
        centre = math.degrees(math.atan(one_degree / 1800.0))
        self.assertAlmostEqual(quality.precision_sd_deg,
                               math.sqrt((2 * (1 - centre) ** 2 + (1 + centre) ** 2) / 2), places=9)
        self.assertEqual(velto.calibration.eye_quality(target, [], origin),
                         velto.EyeQuality(None, None, None, 0, 0))

    def test_quality_matches_the_simulated_bias_and_noise(self):
        with self.tracker.calibrate() as calibration:
            time.sleep(0.3)  # gaze data for the eye positions
            for x, y in velto.FIVE_POINTS:
                calibration.collect(x, y, times=8)
            result = calibration.compute()
        self.assertEqual(result.origin_source, 'gaze data')
        self.assertIs(self.tracker.last_calibration, result)
        area = self.tracker.display_area
        for eye in ('left', 'right'):
            valid = [p for p in result.raw_points if p[eye + '_validity'] == 1]
            self.assertEqual(getattr(result, eye).valid_samples, len(valid))
            self.assertEqual(getattr(result, eye).samples, 40)
            # The mean offset is the simulator's bias, within three standard errors.
            for axis in (0, 1):
                mean = sum(p[eye + '_sample_position'][axis] - p['position'][axis]
                           for p in valid) / len(valid)
                self.assertAlmostEqual(mean, BIAS[eye][axis], delta=3 * NOISE / math.sqrt(len(valid)))
            # Accuracy, recomputed the flat way: offset in mm over the eye's distance
            # (which ignores the screen's slant to the line of sight: up to 8 % off).
            flat = []
            for quality in result.points:
                target = area.point(*quality.target)
                here = [p for p in valid if tuple(p['position']) == quality.target]
                distance = math.sqrt(sum((a - b) ** 2 for a, b in zip(target, EYE[eye])))
                offsets = [math.hypot((p[eye + '_sample_position'][0] - quality.target[0]) * area.width,
                                      (p[eye + '_sample_position'][1] - quality.target[1]) * area.height)
                           for p in here]
                flat.append(math.degrees(sum(offsets) / len(offsets) / distance))
            overall = getattr(result, eye)
            self.assertAlmostEqual(overall.accuracy_deg, sum(flat) / len(flat), delta=0.08 * overall.accuracy_deg)
            # Precision (SD) is the noise: 0.008 of the screen on each axis, about 0.44 deg.
            noise_deg = math.degrees(math.hypot(NOISE * area.width, NOISE * area.height) / 650.0)
            self.assertAlmostEqual(overall.precision_sd_deg, noise_deg, delta=0.25 * noise_deg)
            self.assertAlmostEqual(overall.precision_rms_deg, math.sqrt(2) * noise_deg,
                                   delta=0.3 * noise_deg)
        self.assertIn('overall', str(result))

    def test_calibration_mode_is_left_on_every_way_out(self):
        with self.assertRaises(ZeroDivisionError):
            with self.tracker.calibrate():
                1 / 0
        with self.assertRaises(velto.VeltoError) as caught:
            with self.tracker.calibrate() as calibration:
                calibration.compute()
        self.assertEqual((caught.exception.status, caught.exception.status_name),
                         (5, 'no calibration data collected'))
        self.assertEqual(len(support.calls('velto_screen_based_calibration_leave_calibration_mode')), 2)
        # The gaze listening for eye positions ended both times too.
        self.assertEqual(len(support.calls('velto_unsubscribe_from_gaze_data')), 2)

    def test_files_missing_unreadable_damaged(self):
        folder = tempfile.mkdtemp(prefix='velto-cal-')
        self.addCleanup(shutil.rmtree, folder)
        path = os.path.join(folder, 'calibration.bin')
        with self.assertRaises(velto.CalibrationFileError) as caught:
            self.tracker.save_calibration(path)
        self.assertIn('the tracker holds no calibration to save', str(caught.exception))
        with self.tracker.calibrate(measure_eyes=False) as calibration:
            calibration.collect(0.5, 0.5)
            calibration.compute()
        size = self.tracker.save_calibration(path)
        self.assertEqual(self.trackers[1].load_calibration(path), size)  # onto the other tracker
        with io.open(path, 'rb') as stream:
            data = bytearray(stream.read())
        data[size // 2] ^= 0xFF
        damaged = os.path.join(folder, 'damaged.bin')
        with io.open(damaged, 'wb') as stream:
            stream.write(bytes(data))
        io.open(os.path.join(folder, 'empty.bin'), 'wb').close()
        for name, reason, status in (
                ('missing.bin', 'cannot read: no such file', None),
                ('', 'cannot read: is a folder, not a file', None),
                ('damaged.bin', 'damaged calibration data', 6),
                ('empty.bin', 'damaged calibration data (the file is empty)', None)):
            with self.assertRaises(velto.CalibrationFileError) as caught:
                self.tracker.load_calibration(os.path.join(folder, name))
            self.assertEqual((caught.exception.status_name, caught.exception.status), (reason, status))
            self.assertIn(os.path.join(folder, name), str(caught.exception))


class Recording(VeltoTestCase):
    world = QUIET_WORLD

    def setUp(self):
        VeltoTestCase.setUp(self)
        self.folder = os.path.join(tempfile.mkdtemp(prefix='velto-rec-'), 'session')
        self.addCleanup(shutil.rmtree, os.path.dirname(self.folder))

    def test_rows_events_metadata_and_reading_back(self):
        tracker = self.tracker
        handle = tracker.handle
        with tracker.record(self.folder) as recording:
            start = recording.start_system_us
            sample = gaze_record(start + 1500, x=0.25, y=0.75)
            sample.right_eye.gaze_point_validity = 0  # the module puts NaN there
            sample.right_eye.gaze_point_on_display_area = support.Point2(float('nan'), float('nan'))
            support.emit(1, handle, sample)
            support.emit(1, handle, gaze_record(start + 3000, x=0.12345, y=-0.5))
            support.emit(1, handle, gaze_record(start + 4500, valid=0))
            for i in range(4):
                support.emit(3, handle, sync_record(start + i * 250000, 5000))
            support.emit(4, handle, support.StreamErrorData(start + 20, 4, 0, b'note'))
            image = b'GIF89a\x00\x01'
            support.emit(6, handle, support.EyeImage(start + 9, start + 30, 0, 1, len(image),
                                                     support.ctypes.cast(support.ctypes.c_char_p(image),
                                                                         support.ctypes.c_void_p).value))
        with io.open(os.path.join(self.folder, 'gaze.csv'), 'rb') as stream:
            lines = stream.read().decode('ascii').splitlines()
        self.assertEqual(lines, [
            'time_us,left_x,left_y,right_x,right_y,left_pupil,right_pupil,left_valid,right_valid',
            '1500,0.25,0.75,,,3.5,3.5,7,6',
            '3000,0.1235,-0.5,0.1235,-0.5,3.5,3.5,7,7',
            '4500,,,,,,,0,0'])
        saved = velto.load_recording(self.folder)
        self.assertTrue(saved.complete)
        self.assertEqual(saved.end['reason'], 'stopped')
        self.assertEqual(saved.gaze[0]['time_us'], 1500)
        self.assertTrue(math.isnan(saved.gaze[0]['right_x']))
        self.assertEqual(saved.event_counts(), {'time_sync': 4, 'stream_errors': 1, 'eye_images': 1})
        error = [e for e in saved.events if e['stream'] == 'stream_errors'][0]
        self.assertEqual((error['message'], error['t_us']), ('note', 20))
        picture = [e for e in saved.events if e['stream'] == 'eye_images'][0]
        with io.open(os.path.join(self.folder, picture['file']), 'rb') as stream:
            self.assertEqual(stream.read(), image)
        self.assertEqual([e['event'] for e in saved.events if e['stream'] == 'recording'], ['start', 'end'])
        meta = saved.metadata
        self.assertEqual((meta['tracker']['address'], meta['gaze_output_frequency_hz'], meta['complete']),
                         ('sim://a', 30.0, True))
        self.assertEqual(meta['display_area']['width'], 531.3)
        self.assertEqual(meta['versions']['device_library'], '1.9.2.1187')
        self.assertEqual([c['name'] for c in meta['columns']], lines[0].split(','))
        self.assertAlmostEqual(saved.clock.offset_us, 5000, delta=1)
        self.assertAlmostEqual(saved.clock.drift_ppm, 0, delta=0.1)
        with self.assertRaises(velto.VeltoError) as caught:
            tracker.record(self.folder)
        self.assertEqual(caught.exception.status_name, 'the folder holds a recording already')

    def test_full_columns(self):
        with self.tracker.record(self.folder, columns='full') as recording:
            support.emit(1, self.tracker.handle, gaze_record(recording.start_system_us + 7))
        saved = velto.load_recording(self.folder)
        self.assertEqual(len(saved.columns), 3 + 2 * 15)
        row = saved.gaze[0]
        self.assertEqual((row['time_us'], row['device_time_us'] - row['system_time_us']), (7, 1000))
        self.assertEqual((row['left_origin_y_mm'], row['right_pupil'], row['left_origin_validity']),
                         (215.0, 3.5, 1))

    def test_the_column_table_drives_header_metadata_rows_and_reader(self):
        rows = {}
        for columns in ('compact', 'full'):
            folder = os.path.join(os.path.dirname(self.folder), columns)
            with self.tracker.record(folder, columns=columns) as recording:
                support.emit(1, self.tracker.handle,
                             gaze_record(recording.start_system_us + 7, x=0.125, y=-0.5))
            saved = velto.load_recording(folder)
            table = velto.COLUMN_SETS[columns]
            self.assertEqual(saved.columns, [c.name for c in table])
            self.assertEqual(saved.metadata['columns'], [
                {'name': c.name, 'unit': c.unit, 'description': c.description} for c in table])
            row = rows[columns] = saved.gaze[0]
            for column in table:
                kind = integer_types if column.reader is int else float
                self.assertIsInstance(row[column.name], kind, column.name)
        shared = [name for name in rows['compact'] if name in rows['full']]
        self.assertEqual([rows['full'][n] for n in shared], [rows['compact'][n] for n in shared])
        self.assertEqual((rows['full']['left_x'], rows['full']['right_y'], rows['compact']['left_valid'],
                          rows['full']['left_origin_z_mm']), (0.125, -0.5, 7, 640.0))

    def test_docs_give_each_compact_column_the_tables_unit(self):
        with io.open(os.path.join(ROOT, 'docs', 'python-api.md'), encoding='utf-8') as stream:
            lines = stream.read().splitlines()
        units = {}
        for line in lines:
            if line.startswith('| `'):
                cells = [cell.strip() for cell in line.strip('|').split('|')]
                for name in cells[0].replace('`', '').split(','):
                    units[name.strip()] = cells[1]
        self.assertEqual(dict((c.name, units.get(c.name)) for c in velto.COLUMN_SETS['compact']),
                         dict((c.name, c.unit) for c in velto.COLUMN_SETS['compact']))

    def test_a_crash_leaves_what_was_flushed(self):
        code, out, err = run_script('\n'.join([
            'import os, time, velto',
            'tracker = velto.open_tracker()',
            'recording = tracker.record(%r)' % self.folder,
            'time.sleep(1.5)',
            'os._exit(3)  # no exit hooks, no close']))
        self.assertEqual(code, 3, err)
        saved = velto.load_recording(self.folder)
        self.assertFalse(saved.complete)
        self.assertFalse(saved.metadata['complete'])
        self.assertGreater(len(saved.gaze), 30)  # 60 Hz for about a second, flushed twice a second
        self.assertGreater(saved.event_counts().get('time_sync', 0), 2)


class Rows(unittest.TestCase):
    """velto_rows writes the bytes the column table's Python formatter writes."""

    SPECIAL = [float('nan'), float('inf'), -float('inf'), -0.0, -0.00001, 0.00005, 0.000049999,
               2.675, 0.12345, 0.99995, 1e20, -1e300, 5e-324, 123456.5, 1.7976931348623157e308]

    def sample(self, rnd):
        def number():
            pick = rnd.random()
            if pick < 0.2:
                return rnd.choice(self.SPECIAL)
            if pick < 0.4:  # ties and near-ties of every decimal count
                return (rnd.randint(-10 ** 6, 10 ** 6) + rnd.choice([0.5, 0.4999999, 0.5000001])) / 10 ** rnd.randint(0, 4)
            return rnd.uniform(-1, 1) * 10 ** rnd.randint(-6, 7)
        sample = {'system_time_stamp': rnd.choice([rnd.randint(0, 10 ** 12), -5, 2 ** 63 - 1, 2 ** 70]),
                  'device_time_stamp': rnd.randint(0, 10 ** 12)}
        for eye in ('left', 'right'):
            for key, size in (('gaze_point_on_display_area', 2), ('gaze_point_in_user_coordinate_system', 3),
                              ('gaze_origin_in_user_coordinate_system', 3),
                              ('gaze_origin_in_trackbox_coordinate_system', 3)):
                sample[eye + '_' + key] = tuple(number() for _ in range(size))
            sample[eye + '_pupil_diameter'] = rnd.choice([number(), number(), 3])  # an int: careful way
            for part in ('gaze_point', 'pupil', 'gaze_origin'):
                sample['%s_%s_validity' % (eye, part)] = rnd.choice([1, 1, 1, 0, 2, -1])
        return dict((str(k), v) for k, v in sample.items())

    def test_native_rows_match_the_tables_formatter(self):
        self.assertIsNotNone(columns.velto_rows, 'velto_rows was not built beside the module')
        rnd = random.Random(11)
        keys = ('device_time_stamp', 'system_time_stamp')
        for name in ('compact', 'full'):
            for _ in range(150):
                batch = [self.sample(rnd) for _ in range(rnd.randint(1, 30))]
                start = rnd.choice([0, 123456789, -7, 2 ** 62])
                sinks = [columns.GazeSink(start, name, keys, native) for native in (True, False)]
                self.assertEqual([sink.native for sink in sinks], [True, False])
                for sink in sinks:
                    for sample in batch:
                        sink.callback(sample)
                native, python = [sink.take() for sink in sinks]
                self.assertEqual(native, python)
                self.assertEqual(native[1][-1], (batch[-1]['device_time_stamp'], batch[-1]['system_time_stamp']))

    def test_a_column_beyond_the_program_is_formatted_by_python(self):
        distance = columns.COLUMN_SETS['compact'][0]._replace(
            value="sum(v * v for v in s['left_gaze_origin_in_user_coordinate_system']) ** 0.5")
        self.assertIsNone(columns.native_program([distance]))
        self.assertIsNotNone(columns.native_program(columns.COLUMN_SETS['full']))
        with self.assertRaises(TypeError):  # a malformed program is refused, not guessed at
            columns.velto_rows.format_rows([{}], ((0, 7, -1, 0, None, ()),), 0, repr)

    def test_a_failing_velto_rows_leaves_the_rows_to_python(self):
        # A velto_rows that raises (another build's, say) hands this batch and the next to Python.
        class Stale(object):
            def format_rows(self, *args):
                raise TypeError('another build')
        sink = columns.GazeSink(0, 'compact', ('device_time_stamp', 'system_time_stamp'))
        sample = self.sample(random.Random(1))
        saved, columns.velto_rows = columns.velto_rows, Stale()
        try:
            sink.callback(sample)
            rows, kept = sink.take()
        finally:
            columns.velto_rows = saved
        self.assertFalse(sink.native)
        self.assertEqual(rows, columns.format_rows([sample], 0).encode('ascii'))


START = time.time()

if __name__ == '__main__':
    unittest.main()
