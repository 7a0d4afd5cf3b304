"""Data quality of recordings and their BIDS export: figures of synthetic
folders with known gaps, blinks, noise and damage; the export checked against
the BIDS eye-tracking rules (no validator knows them yet); one recording made
against the simulator goes through both."""
from __future__ import absolute_import, division, print_function, unicode_literals

import gzip
import io
import json
import math
import os
import re
import shutil
import tempfile
import unittest

import support
import velto
from velto import bids, quality
from velto._compat import to_unicode
from test_velto_api import VeltoTestCase

COMPACT = ['time_us', 'left_x', 'left_y', 'right_x', 'right_y', 'left_pupil', 'right_pupil',
           'left_valid', 'right_valid']
AREA = {'top_left': [-265.65, 313.9, 0.0], 'top_right': [265.65, 313.9, 0.0],
        'bottom_left': [-265.65, 15.0, 0.0], 'bottom_right': [265.65, 15.0, 0.0],
        'width': 531.3, 'height': 298.9}
TRACK_BOX = dict((name, [x, y, z]) for name, x, y, z in (
    ('back_lower_left', -210, 20, 750), ('back_lower_right', 210, 20, 750),
    ('back_upper_left', -210, 320, 750), ('back_upper_right', 210, 320, 750),
    ('front_lower_left', -150, 50, 450), ('front_lower_right', 150, 50, 450),
    ('front_upper_left', -150, 290, 450), ('front_upper_right', 150, 290, 450)))
PERIOD = 16667  # 60 Hz
STEP = 0.002    # horizontal jitter of the synthetic gaze, display widths


CALIBRATION = {
    'left': {'accuracy_deg': 0.4}, 'right': {'accuracy_deg': 0.5},
    'points': [{'target': list(t), 'left': {'accuracy_deg': a}, 'right': {'accuracy_deg': a + 0.1}}
               for t, a in (((0.5, 0.5), 0.2), ((0.1, 0.1), 0.7), ((0.1, 0.9), 0.3),
                            ((0.9, 0.1), 0.4), ((0.9, 0.9), 0.4))]}


def metadata(**changes):
    data = {'format': 'velto-recording 1', 'column_set': 'compact', 'gaze_output_frequency_hz': 60.0,
            'display_area': AREA, 'track_box': TRACK_BOX, 'calibration': CALIBRATION,
            'columns': [{'name': name, 'unit': 'flags' if name.endswith('valid') else 'mm',
                         'description': name} for name in COMPACT],
            'tracker': {'model': 'Velto Spectra 5', 'serial_number': 'VS5-1',
                        'firmware_version': '2.14.1'},
            'versions': {'device_library': '1.9.2'}, 'start': {'system_time_us': 10 ** 9},
            'complete': True}
    data.update(changes)
    return data


def cell(value):
    return '' if value is None else ('%d' % value if isinstance(value, int) else repr(value))


def write_folder(folder, rows, events=(), meta=None, end=True, gaze_tail='', events_tail='',
                 columns=COMPACT):
    """A recording folder as the writer leaves it: rows are value lists in
    `columns` order (None: empty cell); `*_tail` is appended raw (damage)."""
    os.mkdir(folder)
    gaze = [','.join(columns)] + [','.join(cell(v) for v in row) for row in rows]
    write_text(os.path.join(folder, 'gaze.csv'), ''.join(line + '\n' for line in gaze) + gaze_tail)
    lines = [{'stream': 'recording', 'event': 'start', 't_us': 0}] + list(events)
    if end:
        last = rows[-1][0] if rows else 0
        lines.append({'stream': 'recording', 'event': 'end', 't_us': last + 5000,
                      'gaze_rows': len(rows), 'reason': 'stopped'})
    write_text(os.path.join(folder, 'events.jsonl'),
               ''.join(to_unicode(json.dumps(line, sort_keys=True)) + '\n' for line in lines)
               + events_tail)
    if meta is not False:
        write_text(os.path.join(folder, 'metadata.json'), to_unicode(json.dumps(meta or metadata())))


def write_text(path, text):
    with io.open(path, 'wb') as stream:
        stream.write(text.encode('utf-8'))


def sample(k, left=True, right=True):
    """Sample number k at 60 Hz: both eyes near the centre, x jittering by
    STEP every sample (so every sample-to-sample step is STEP)."""
    x = 0.5 + STEP * (k % 2)
    return [k * PERIOD + 1000,
            x if left else None, 0.5 if left else None, x if right else None, 0.5 if right else None,
            3.5 if left else None, 3.6 if right else None, 7 if left else 0, 7 if right else 0]


def known_rows():
    """120 samples minus two dropped in the open (30, 31), two in a blink
    (60..69 invalid, 64 and 65 missing) and two right after it (70, 71); the
    right eye also lost at 90..99."""
    rows = []
    for k in range(120):
        if k in (30, 31, 64, 65, 70, 71):
            continue
        blink = 60 <= k < 70
        rows.append(sample(k, left=not blink, right=not blink and not 90 <= k < 100))
    return rows


class Folders(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix='velto-quality-')
        self.addCleanup(shutil.rmtree, self.root)

    def folder(self, name, rows, **options):
        path = os.path.join(self.root, name)
        write_folder(path, rows, **options)
        return path


class Quality(Folders):
    def test_figures_of_a_known_recording(self):
        rows = known_rows()
        folder = self.folder('known', rows)
        report = velto.recording_quality(folder, viewing_distance_mm=600)
        self.assertEqual((report['state'], report['problems'], report['samples']),
                         ('complete', [], 114))
        span = (rows[-1][0] - rows[0][0]) / 1e6
        self.assertAlmostEqual(report['effective_rate_hz'], 113 / span, places=6)
        self.assertAlmostEqual(report['rate_ratio'], 113 / span / 60.0, places=6)
        gaps = report['gaps']
        self.assertEqual((gaps['source'], gaps['count'], gaps['missing_samples'], gaps['in_blinks']),
                         ('time stamps', 3, 6, 1))
        self.assertEqual(gaps['longest_us'], 3 * PERIOD - int(round(1e6 / 60)))
        loss = report['data_loss']
        self.assertAlmostEqual(loss['left']['invalid_share'], 8 / 114.0)
        self.assertAlmostEqual(loss['right']['invalid_share'], 18 / 114.0)
        self.assertAlmostEqual(loss['right']['loss_share'], 24 / 120.0)
        # One fixation over everything; every step between successive valid
        # samples is STEP display widths, seen from 600 mm in front of the centre.
        precision = report['precision']
        self.assertEqual(precision['fixations'], 1)
        left = precision['left']
        self.assertAlmostEqual(left['rms_s2s_mm'], STEP * AREA['width'], places=9)
        self.assertAlmostEqual(left['rms_s2s_deg'],
                               math.degrees(math.atan(STEP * AREA['width'] / 600)), places=6)
        xs = [r[1] * AREA['width'] for r in rows if r[1] is not None]
        mean = sum(xs) / len(xs)
        self.assertAlmostEqual(left['std_mm'],
                               math.sqrt(sum((x - mean) ** 2 for x in xs) / (len(xs) - 1)), places=9)
        self.assertEqual(left['samples'], 106)
        # Without a distance: seen from the track box centre, farther away.
        assumed = velto.recording_quality(folder)['precision']
        self.assertIn('track box', assumed['eye_position'])
        self.assertLess(assumed['left']['rms_s2s_deg'], left['rms_s2s_deg'])
        self.assertEqual(report['time_stamps']['backwards'] + report['time_stamps']['repeated'], 0)
        json.dumps(report, allow_nan=False)
        # Recorded gaze origins 600 mm in front of the display centre: the same angles.
        origin = [0.0, (AREA['top_left'][1] + AREA['bottom_left'][1]) / 2, 600.0]
        columns = COMPACT + ['%s_origin_%s_mm' % (eye, axis) for eye in ('left', 'right')
                             for axis in 'xyz']
        seen = self.folder('origins', [row + origin * 2 for row in rows], columns=columns)
        recorded = velto.recording_quality(seen)['precision']
        self.assertIn('recorded gaze origin', recorded['eye_position'])
        self.assertAlmostEqual(recorded['left']['rms_s2s_deg'], left['rms_s2s_deg'], places=9)
        self.assertAlmostEqual(recorded['left']['std_deg'], left['std_deg'], places=9)

    def test_gap_events_are_taken_as_they_are(self):
        rows = [sample(k) for k in range(60) if k not in (10, 11, 12)]
        gap = {'stream': 'gap', 't_us': rows[9][0] + PERIOD, 'duration_us': 2 * PERIOD + 3,
               'missing_samples': 3, 'device_time_stamp_before': 1, 'device_time_stamp_after': 2}
        gaps = velto.recording_quality(self.folder('gap', rows, events=[gap]))['gaps']
        self.assertEqual((gaps['source'], gaps['count'], gaps['longest_us'], gaps['missing_samples']),
                         ('gap events', 1, 2 * PERIOD + 3, 3))

    def test_damage_is_reported_with_what_could_be_read(self):
        rows = [sample(k) for k in range(30)]
        cases = {
            'no metadata': (dict(meta=False), 'metadata.json cannot be read'),
            'cut off': (dict(end=False, gaze_tail='517000,0.5,0.', events_tail='{"stream": "ti'),
                        'gaze.csv: 1 line cut off'),
            'bad metadata': (dict(meta=False), 'not valid JSON'),
        }
        for name, (options, expected) in sorted(cases.items()):
            folder = self.folder(name.replace(' ', '-'), rows, **options)
            if name == 'bad metadata':
                write_text(os.path.join(folder, 'metadata.json'), '{"format": "velto-rec')
            report = velto.recording_quality(folder)
            self.assertEqual(report['state'], 'damaged', name)
            self.assertEqual(report['samples'], 30, name)
            self.assertTrue(any(expected in p for p in report['problems']), (name, report['problems']))
            quality.format_report(report)
        cut = velto.recording_quality(os.path.join(self.root, 'cut-off'))
        self.assertTrue(any('no end marker' in p for p in cut['problems']))
        self.assertTrue(any('events.jsonl: 1 line' in p for p in cut['problems']))
        # Samples going backwards and repeated, and an empty gaze file.
        shuffled = [sample(k) for k in (0, 1, 2, 2, 4, 3, 5)]
        stamps = velto.recording_quality(self.folder('stamps', shuffled))['time_stamps']
        self.assertEqual((stamps['backwards'], stamps['repeated'], stamps['first_backwards_lines'],
                          stamps['first_repeated_lines']), (1, 1, [7], [5]))
        empty = self.folder('empty', [])
        write_text(os.path.join(empty, 'gaze.csv'), '')
        report = velto.recording_quality(empty)
        self.assertEqual((report['state'], report['samples']), ('damaged', 0))
        self.assertTrue(any('gaze.csv is empty' in p for p in report['problems']))

    def test_command_line(self):
        folder = self.folder('cut', [sample(k) for k in range(30)], meta=False, gaze_tail='9,')
        code, out, err, _ = support.run_python(['-m', 'velto', 'quality', folder])
        self.assertEqual((code, err), (0, ''))
        self.assertIn('state        damaged', out)
        self.assertIn('! metadata.json cannot be read', out)
        code, out, err, _ = support.run_python(['-m', 'velto', 'quality', '--json', folder])
        self.assertEqual((code, json.loads(out)['samples']), (0, 30), err)
        code, out, err, _ = support.run_python(['-m', 'velto', 'quality', os.path.join(folder, 'x')])
        self.assertEqual(code, 2)
        self.assertEqual(len(err.splitlines()), 1, err)


# -------------------------------------------------------------------- BIDS

NAME = re.compile(r'^sub-01_ses-02_task-search_run-3_(recording-eye[12]_physio(events)?\.(tsv\.gz|json)'
                  r'|events\.(tsv|json))$')
EVENT_TYPES = ('fixation', 'gap', 'stream_error', 'connection_lost', 'connection_restored', 'n/a')


def read_gz(path):
    with gzip.open(path, 'rb') as stream:
        return [line.split('\t') for line in stream.read().decode('utf-8').splitlines()]


def read_json(path):
    with io.open(path, 'rb') as stream:
        return json.loads(stream.read().decode('utf-8'))


class Bids(Folders):
    EVENTS = [{'stream': 'marker', 't_us': 250000, 'label': 'stimulus\ton', 'fields': {'n': 1},
               'time_source': 'mark', 'system_time_stamp': 10 ** 9 + 250000},
              {'stream': 'marker', 't_us': 900000, 'label': 'response', 'fields': {}},
              {'stream': 'stream_errors', 't_us': 400000, 'error': 'stream_error_internal_error',
               'source': 'stream_error_source_stream_pump', 'message': 'late'},
              {'stream': 'recording', 'event': 'connection_lost', 't_us': 700000}]

    def export(self, folder=None, **options):
        arguments = dict(subject='01', task='search', session='02', run=3,
                         screen_resolution=(1920, 1080), screen_distance_m=0.65)
        arguments.update(options)
        return velto.export_bids(folder or self.recording, self.bids_root, **arguments)

    def setUp(self):
        Folders.setUp(self)
        self.recording = self.folder('recording', known_rows(), events=self.EVENTS)
        self.bids_root = os.path.join(self.root, 'study')

    def test_export_follows_the_eyetracking_rules(self):
        result = self.export()
        folder = os.path.join(self.bids_root, 'sub-01', 'ses-02', 'beh')
        names = sorted(os.listdir(folder))
        self.assertEqual(len(names), 10)
        self.assertEqual([n for n in names if not NAME.match(n)], [])
        self.assertEqual(sorted(result.files), sorted([os.path.join(folder, n) for n in names] +
                                                      [os.path.join(self.bids_root,
                                                                    'dataset_description.json')]))
        stem = os.path.join(folder, 'sub-01_ses-02_task-search_run-3_')
        for eye, label, column in (('left', 'eye1', 1), ('right', 'eye2', 3)):
            sidecar = read_json(stem + 'recording-%s_physio.json' % label)
            self.assertEqual((sidecar['PhysioType'], sidecar['RecordedEye'],
                              sidecar['SampleCoordinateSystem'], sidecar['SamplingFrequency'],
                              sidecar['StartTime']), ('eyetrack', eye, 'gaze-on-screen', 60.0, 0.001))
            columns = sidecar['Columns']
            self.assertEqual(columns[:4], ['timestamp', 'x_coordinate', 'y_coordinate', 'pupil_size'])
            for name in columns:
                self.assertTrue(sidecar[name]['Units'] and sidecar[name]['Description'], name)
            self.assertEqual(sidecar['x_coordinate']['Units'], 'pixel')
            self.assertTrue(re.search("area|diameter", sidecar["pupil_size"]["Description"]))
            self.assertEqual((sidecar['CalibrationType'], sidecar['CalibrationCount'],
                              sidecar['AverageCalibrationError']),
                             ('HV5', 1, CALIBRATION[eye]['accuracy_deg']))
            self.assertAlmostEqual(sidecar['MaximalCalibrationError'], 0.7 if eye == 'left' else 0.8)
            self.assertEqual((sidecar['ManufacturersModelName'], sidecar['DeviceSerialNumber']),
                             ('Velto Spectra 5', 'VS5-1'))
            # No header line, every row as wide as Columns, n/a for missing
            # values, pixels from the normalised coordinates.
            gaze = read_gz(stem + 'recording-%s_physio.tsv.gz' % label)
            rows = known_rows()
            self.assertEqual(len(gaze), len(rows))
            self.assertEqual(set(len(line) for line in gaze), set([len(columns)]))
            for line, row in zip(gaze, rows):
                self.assertEqual(int(line[0]), row[0])
                if row[column] is None:
                    self.assertEqual(line[1:4], ['n/a'] * 3)
                else:
                    self.assertAlmostEqual(float(line[1]), row[column] * 1920, places=3)
                    self.assertAlmostEqual(float(line[2]), row[column + 1] * 1080, places=3)
            # Physiological events: onset first, its source a column of the gaze file.
            described = read_json(stem + 'recording-%s_physioevents.json' % label)
            self.assertEqual(described['Columns'][0], 'onset')
            self.assertIn(described['OnsetSource'], columns)
            self.assertTrue(described['Description'])
            events = read_gz(stem + 'recording-%s_physioevents.tsv.gz' % label)
            self.assertEqual(set(len(e) for e in events), set([len(described['Columns'])]))
            onsets = [int(e[0]) for e in events]
            self.assertEqual(onsets, sorted(onsets))
            kinds = [e[2] for e in events]
            self.assertEqual([k for k in kinds if k not in EVENT_TYPES], [])
            self.assertEqual((kinds.count('gap'), kinds.count('stream_error'), kinds.count('n/a')),
                             (3, 1, 2))
            self.assertGreaterEqual(kinds.count('fixation'), 1)
            messages = [e[3] for e in events if e[2] == 'n/a']
            self.assertEqual(messages, ['stimulus on {"n": 1}', 'response'])
        # Task events: the markers in seconds, the screen described completely.
        with io.open(stem + 'events.tsv', 'rb') as stream:
            lines = [l.split('\t') for l in stream.read().decode('utf-8').splitlines()]
        self.assertEqual(lines, [['onset', 'duration', 'trial_type', 'fields'],
                                 ['0.25', '0', 'stimulus on', '{"n": 1}'],
                                 ['0.9', '0', 'response', 'n/a']])
        screen = read_json(stem + 'events.json')['StimulusPresentation']
        self.assertEqual(screen, {'ScreenDistance': 0.65, 'ScreenOrigin': ['top', 'left'],
                                  'ScreenResolution': [1920, 1080],
                                  'ScreenSize': [AREA['width'] / 1000, AREA['height'] / 1000]})
        description = read_json(os.path.join(self.bids_root, 'dataset_description.json'))
        self.assertEqual((description['Name'], description['BIDSVersion']), ('study', '1.11.0'))

    def test_refusals_leave_nothing_behind(self):
        for options, option in (({'screen_resolution': None}, 'screen_resolution'),
                                ({'screen_distance_m': None}, 'screen_distance_m')):
            with self.assertRaises(ValueError) as caught:
                self.export(**options)
            self.assertIn(option, str(caught.exception))
        for options in ({'subject': 'sub-01'}, {'run': -1}, {'datatype': 'eyes'},
                        {'screen_resolution': (1920, 0)}):
            self.assertRaises(ValueError, self.export, **options)
        self.assertFalse(os.path.exists(self.bids_root))
        code, out, err, _ = support.run_python(['-m', 'velto', 'bids', self.recording, self.bids_root,
                                                '--subject', '01', '--task', 'search',
                                                '--screen-resolution', '1920', '1080'])
        self.assertEqual((code, out), (2, ''))
        self.assertEqual(err.splitlines(), ['python -m velto bids: error: a recording does not hold '
                                            'the viewing distance: give --screen-distance METRES'])
        self.assertFalse(os.path.exists(self.bids_root))
        # A failure while writing: no file, no temporary file, no folder made.
        original = bids._fixation_events

        def failing(saved, eye):
            if eye == 'right':
                raise IOError('disk full')
            return original(saved, eye)
        bids._fixation_events = failing
        try:
            self.assertRaises(IOError, self.export)
        finally:
            bids._fixation_events = original
        self.assertFalse(os.path.exists(self.bids_root))

    def test_an_earlier_export_and_dataset_description_are_kept(self):
        os.mkdir(self.bids_root)
        description = os.path.join(self.bids_root, 'dataset_description.json')
        write_text(description, '{"Name": "mine", "BIDSVersion": "1.10.0"}')
        first = self.export(run=None, session=None)
        self.assertNotIn(description, first.files)
        name = 'sub-01_task-search_recording-eye1_physio.tsv.gz'
        self.assertTrue(first.files[0].endswith(os.path.join('sub-01', 'beh', name)))
        with self.assertRaises(ValueError) as caught:
            self.export(run=None, session=None)
        self.assertIn('overwrite', str(caught.exception))
        self.export(run=None, session=None, overwrite=True)
        self.assertEqual(read_json(description)['Name'], 'mine')

    def test_a_cut_off_recording_exports_what_was_read(self):
        folder = self.folder('cut', [sample(k) for k in range(30)], end=False, gaze_tail='517000,0.')
        result = self.export(folder)
        self.assertTrue(any('no end marker' in p for p in result.problems), result.problems)
        self.assertEqual(len(read_gz(result.files[0])), 30)
        missing = self.folder('nometa', [sample(k) for k in range(30)], meta=False)
        with self.assertRaises(ValueError) as caught:
            self.export(missing, overwrite=True)
        self.assertIn('metadata', str(caught.exception))


class Simulated(VeltoTestCase):
    def test_a_recording_of_the_simulator(self):
        root = tempfile.mkdtemp(prefix='velto-quality-')
        self.addCleanup(shutil.rmtree, root)
        folder = os.path.join(root, 'session')
        with self.tracker.record(folder, columns='full') as recording:
            recording.wait(1.5)
        report = velto.recording_quality(folder)
        self.assertEqual((report['state'], report['problems']), ('complete', []))
        self.assertGreater(report['samples'], 60)
        self.assertAlmostEqual(report['rate_ratio'], 1.0, delta=0.05)
        self.assertGreater(report['precision']['fixations'], 0)
        self.assertIn('recorded gaze origin', report['precision']['eye_position'])
        self.assertGreater(report['precision']['left']['std_deg'], 0)
        self.assertIsNotNone(report['clock'])
        result = velto.export_bids(folder, os.path.join(root, 'bids'), 'p1', 'free',
                                   screen_resolution=(1920, 1080), screen_distance_m=0.6)
        self.assertEqual(result.problems, [])
        gaze = read_gz(result.files[0])
        self.assertEqual(len(gaze), report['samples'])
        columns = read_json(result.files[1])['Columns']
        self.assertEqual(set(len(line) for line in gaze), set([len(columns)]))
        self.assertIn('origin_z_mm', columns)
        self.assertNotIn('right_pupil', columns)


if __name__ == '__main__':
    unittest.main()
