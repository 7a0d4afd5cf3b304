"""The demo and the examples run as a user runs them (subprocesses against the
simulated trackers), and the gaze tools the demo is built on."""
import csv
import json
import os
import re
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import unittest
import xml.etree.ElementTree as ElementTree

import velto_internal

HERE = os.path.dirname(os.path.abspath(__file__))
EXAMPLES = os.path.normpath(os.path.join(HERE, '..', '..', 'examples'))
LIB_DIR = os.environ.get('VELTO_LIB_DIR') or os.path.dirname(
    os.path.abspath(velto_internal.__file__))
sys.path.insert(0, EXAMPLES)

import gaze_tools  # noqa: E402  (needs EXAMPLES on the path)

SVG = '{http://www.w3.org/2000/svg}'
NAN = float('nan')

# Written out rather than derived from gaze_tools, so that a fault there shows.
EXPECTED_HEADER = (
    'device_time_stamp,system_time_stamp,'
    'left_gaze_point_on_display_area_x,left_gaze_point_on_display_area_y,'
    'left_gaze_point_in_user_coordinate_system_x,left_gaze_point_in_user_coordinate_system_y,'
    'left_gaze_point_in_user_coordinate_system_z,left_gaze_point_validity,'
    'left_pupil_diameter,left_pupil_validity,'
    'left_gaze_origin_in_user_coordinate_system_x,left_gaze_origin_in_user_coordinate_system_y,'
    'left_gaze_origin_in_user_coordinate_system_z,'
    'left_gaze_origin_in_trackbox_coordinate_system_x,'
    'left_gaze_origin_in_trackbox_coordinate_system_y,'
    'left_gaze_origin_in_trackbox_coordinate_system_z,left_gaze_origin_validity,'
    'right_gaze_point_on_display_area_x,right_gaze_point_on_display_area_y,'
    'right_gaze_point_in_user_coordinate_system_x,right_gaze_point_in_user_coordinate_system_y,'
    'right_gaze_point_in_user_coordinate_system_z,right_gaze_point_validity,'
    'right_pupil_diameter,right_pupil_validity,'
    'right_gaze_origin_in_user_coordinate_system_x,right_gaze_origin_in_user_coordinate_system_y,'
    'right_gaze_origin_in_user_coordinate_system_z,'
    'right_gaze_origin_in_trackbox_coordinate_system_x,'
    'right_gaze_origin_in_trackbox_coordinate_system_y,'
    'right_gaze_origin_in_trackbox_coordinate_system_z,right_gaze_origin_validity').split(',')


def setUpModule():
    velto_internal.startup()


def tearDownModule():
    velto_internal.cleanup()


def run_python(argv, timeout=120, cwd=None):
    """Runs python2.7 with `argv` and only the build's lib folder on the path,
    as a user would. Returns (exit code, stdout, stderr); killed after timeout."""
    env = dict(os.environ)
    env['PYTHONPATH'] = LIB_DIR
    proc = subprocess.Popen([sys.executable, '-u'] + list(argv), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=env, cwd=cwd)
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    try:
        out, err = proc.communicate()
    finally:
        timer.cancel()
    return proc.returncode, out, err


def run_example(name, *args):
    return run_python([os.path.join(EXAMPLES, name)] + list(args))


def run_demo_in_world(world, args, faults=()):
    """Runs demo.main(args) in a subprocess after replacing the simulated world
    and setting fault rules; prints the demo's exit code and the simulator's
    call log as the last line."""
    script = '\n'.join([
        'import ctypes, json, os, sys',
        'sys.path.insert(0, %r)' % EXAMPLES,
        'sim = ctypes.CDLL(os.path.join(%r, "libvelto.so"))' % LIB_DIR,
        'assert sim.velto_sim_configure(%r) == 0' % json.dumps(world),
        'for name, status in %r:' % (list(faults),),
        '    assert sim.velto_sim_fail(name, status, 0, -1) == 0',
        'import demo',
        'code = demo.main(%r)' % (list(args),),
        'sim.velto_sim_calls.restype = ctypes.c_size_t',
        'size = sim.velto_sim_calls(None, 0)',
        'buf = ctypes.create_string_buffer(size + 1)',
        'sim.velto_sim_calls(buf, size + 1)',
        'print("CALLS " + buf.value)',
        'sys.exit(code)',
    ])
    code, out, err = run_python(['-c', script])
    calls = []
    for line in out.splitlines():
        if line.startswith('CALLS '):
            calls = [c['function'] for c in json.loads(line[6:])]
    return code, out, err, calls


class Demo(unittest.TestCase):
    """One short demo run; every test looks at a different part of its output."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix='velto-demo-')
        # A folder that does not exist yet: the demo creates it.
        cls.out = os.path.join(cls.tmp, 'nested', 'out')
        cls.code, cls.stdout, cls.stderr = run_python(
            [os.path.join(EXAMPLES, 'demo.py'), '--seconds', '1', '--out', cls.out])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def summary_number(self, pattern):
        match = re.search(pattern, self.stdout)
        self.assertIsNotNone(match, 'no %r in the output:\n%s' % (pattern, self.stdout))
        return float(match.group(1))

    def read_csv(self):
        with open(os.path.join(self.out, 'gaze.csv'), 'rb') as stream:
            rows = list(csv.reader(stream))
        return rows[0], rows[1:]

    def test_exits_cleanly(self):
        self.assertEqual(self.code, 0, self.stdout + self.stderr)
        self.assertNotIn('Traceback', self.stderr)
        self.assertNotIn('error in', self.stderr)  # an exception inside a stream callable
        self.assertNotIn('warning', self.stderr)   # an unsubscribe that failed

    def test_prints_every_tracker_and_the_calibration_of_each_point(self):
        for name in ('Velto Lab A', 'Velto Nano'):
            self.assertIn(name, self.stdout)
        for point in ('(0.50, 0.50)', '(0.10, 0.10)', '(0.10, 0.90)', '(0.90, 0.10)',
                      '(0.90, 0.90)'):
            self.assertRegexpMatches(self.stdout, re.escape(point) + r' .*(off by|not found)')

    def test_csv_has_the_flattened_header_and_plausible_rows(self):
        header, rows = self.read_csv()
        self.assertEqual(header, EXPECTED_HEADER)
        self.assertGreaterEqual(len(rows), 20)
        column = dict((name, i) for i, name in enumerate(header))
        stamps = [int(row[column['system_time_stamp']]) for row in rows]
        self.assertEqual(stamps, sorted(set(stamps)), 'time stamps must increase')
        valid = 0
        for row in rows:
            self.assertEqual(len(row), 32)
            for eye in ('left', 'right'):
                x = row[column[eye + '_gaze_point_on_display_area_x']]
                y = row[column[eye + '_gaze_point_on_display_area_y']]
                if row[column[eye + '_gaze_point_validity']] == '1':
                    valid += 1
                    self.assertTrue(-0.5 <= float(x) <= 1.5 and -0.5 <= float(y) <= 1.5, row)
                else:
                    self.assertEqual((x, y), ('nan', 'nan'), row)
                pupil = row[column[eye + '_pupil_diameter']]
                if row[column[eye + '_pupil_validity']] == '1':
                    self.assertTrue(0.5 < float(pupil) < 12.0, row)
                else:
                    self.assertEqual(pupil, 'nan')
        self.assertGreater(valid, len(rows))  # most samples have both eyes

    def test_summary_agrees_with_the_csv(self):
        _, rows = self.read_csv()
        self.assertEqual(self.summary_number(r'gaze samples received\s+(\d+)'), len(rows))
        stamps = [int(row[1]) for row in rows]
        rate = (len(stamps) - 1) / ((stamps[-1] - stamps[0]) / 1e6)
        self.assertAlmostEqual(self.summary_number(r'effective rate\s+([\d.]+) Hz'), rate, delta=0.1)
        left = sum(1 for row in rows if row[7] == '1') * 100.0 / len(rows)
        self.assertAlmostEqual(self.summary_number(r'valid gaze points\s+left ([\d.]+) %'), left,
                               delta=0.051)

    def test_eye_image_is_a_gif(self):
        with open(os.path.join(self.out, 'eye_image.gif'), 'rb') as stream:
            data = stream.read()
        self.assertEqual(data[:4], 'GIF8')
        width, height = struct.unpack('<HH', data[6:10])
        self.assertTrue(width > 0 and height > 0)
        self.assertEqual(data[-1], ';')  # the GIF trailer: the image is complete
        self.assertIn('%dx%d GIF' % (width, height), self.stdout)

    def test_scanpath_svg_parses_with_fixations_and_the_screen(self):
        root = ElementTree.parse(os.path.join(self.out, 'scanpath.svg')).getroot()
        self.assertEqual(root.tag, SVG + 'svg')
        fixations = [c for c in root.iter(SVG + 'circle') if c.get('class') == 'fixation']
        self.assertGreaterEqual(len(fixations), 1)
        self.assertEqual(len(fixations), self.summary_number(r'SVG, (\d+) fixations'))
        saccades = [l for l in root.iter(SVG + 'line') if l.get('class') == 'saccade']
        self.assertEqual(len(saccades), len(fixations) - 1)
        self.assertGreaterEqual(len([p for p in root.iter(SVG + 'polyline')
                                     if p.get('class') == 'gaze']), 1)
        (screen,) = [r for r in root.iter(SVG + 'rect') if r.get('class') == 'display-area']
        self.assertEqual((screen.get('width'), screen.get('height')), ('531.3', '298.9'))

    def test_events_of_every_stream_arrive_and_are_counted(self):
        counts = {}
        with open(os.path.join(self.out, 'events.jsonl')) as stream:
            for line in stream:
                event = json.loads(line)
                counts[event['stream']] = counts.get(event['stream'], 0) + 1
        for stream in ('log', 'external signal', 'time synchronization', 'stream errors',
                       'notifications', 'eye images'):
            printed = self.summary_number(r'\n\s+%s\s+(\d+)' % stream)
            self.assertEqual(printed, counts.get(stream, 0), stream)
            self.assertGreater(printed, 0, stream)
        # Calibration mode entered and left, and the frequency changed to 120 Hz.
        self.assertGreaterEqual(counts['notifications'], 3)

    def test_summary_names_every_file_and_they_exist(self):
        for name in ('gaze.csv', 'eye_image.gif', 'scanpath.svg', 'events.jsonl',
                     'calibration.bin'):
            path = os.path.join(self.out, name)
            self.assertIn(path, self.stdout)
            self.assertGreater(os.path.getsize(path), 0, name)


class DemoFailures(unittest.TestCase):
    def test_bad_option_is_a_usage_error(self):
        code, _, err = run_example('demo.py', '--seconds', '0')
        self.assertEqual(code, 2)
        self.assertIn('--seconds must be positive', err)

    def test_no_tracker_is_reported_clearly(self):
        tmp = tempfile.mkdtemp(prefix='velto-demo-')
        try:
            code, out, err, _ = run_demo_in_world({'trackers': []},
                                                  ['--seconds', '0.2', '--out', tmp])
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        self.assertEqual(code, 1, out + err)
        self.assertIn('demo failed: no eye tracker found', err)
        self.assertNotIn('Traceback', err)

    def test_tracker_without_eye_images_still_gives_csv_and_scanpath(self):
        tmp = tempfile.mkdtemp(prefix='velto-demo-')
        try:
            world = {'trackers': [{'device_name': 'Plain', 'capabilities': 0,
                                   'gaze_output_frequencies': [30.0, 90.0]}]}
            code, out, err, calls = run_demo_in_world(world, ['--seconds', '0.5', '--out', tmp])
            self.assertEqual(code, 0, out + err)
            self.assertIn('set 90 Hz', out)  # the offered frequency nearest to 120
            self.assertIn('eye images             skipped', out)
            self.assertFalse(os.path.exists(os.path.join(tmp, 'eye_image.gif')))
            for name in ('gaze.csv', 'scanpath.svg', 'events.jsonl', 'calibration.bin'):
                self.assertIn(os.path.join(tmp, name), out)
                self.assertTrue(os.path.getsize(os.path.join(tmp, name)) > 0, name)
            # Neither capability-bound stream was asked for.
            self.assertNotIn('velto_subscribe_to_eye_image_as_gif', calls)
            self.assertNotIn('velto_subscribe_to_external_signal_data', calls)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)

    def test_failed_calibration_still_leaves_calibration_mode_and_cleans_up(self):
        # Regression: a failing compute step must not leave the tracker in calibration mode.
        tmp = tempfile.mkdtemp(prefix='velto-demo-')
        try:
            code, out, err, calls = run_demo_in_world(
                {}, ['--seconds', '0.2', '--out', tmp],
                faults=[('velto_screen_based_calibration_compute_and_apply', 5)])
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        self.assertEqual(code, 1, out + err)
        self.assertIn('screen_based_calibration_compute_and_apply: failed with status 5', err)
        self.assertIn('velto_screen_based_calibration_leave_calibration_mode', calls)
        # Every event stream subscribed was unsubscribed again.
        subscribed = [c for c in calls if c.startswith('velto_subscribe_to_')]
        unsubscribed = [c for c in calls if c.startswith('velto_unsubscribe_from_')]
        self.assertEqual(len(subscribed), 5)
        self.assertEqual(sorted(c.replace('unsubscribe_from', 'subscribe_to') for c in unsubscribed),
                         sorted(subscribed))
        self.assertIn('velto_logging_unsubscribe', calls)


class Examples(unittest.TestCase):
    def test_discover_lists_both_trackers_and_finds_them_by_address(self):
        code, out, err = run_example('discover.py')
        self.assertEqual(code, 0, out + err)
        self.assertIn('2 eye tracker(s) found', out)
        self.assertIn('Velto Lab A', out)
        self.assertIn('capability_has_eye_images', out)
        self.assertEqual(out.count('same handle'), 2)

    def test_stream_gaze_prints_samples(self):
        code, out, err = run_example('stream_gaze.py', '--seconds', '0.5')
        self.assertEqual(code, 0, out + err)
        shown = int(re.search(r'(\d+) samples shown', out).group(1))
        self.assertGreater(shown, 5)
        self.assertEqual(len(re.findall(r'^\s+\d+\s+left ', out, re.M)), shown)

    def test_calibrate_saves_and_restores(self):
        tmp = tempfile.mkdtemp(prefix='velto-cal-')
        try:
            path = os.path.join(tmp, 'calibration.bin')
            code, out, err = run_example('calibrate.py', '--file', path)
            self.assertEqual(code, 0, out + err)
            size = os.path.getsize(path)
            self.assertIn('Saved %d bytes' % size, out)
            self.assertEqual(out.count('target ('), 5)
            # A fresh process applies the saved file.
            code, out, err = run_example('calibrate.py', '--file', path, '--restore-only')
            self.assertEqual(code, 0, out + err)
            self.assertIn('Applied %d bytes' % size, out)
            # A damaged file is refused with a clear message, not a traceback.
            with open(path, 'r+b') as stream:
                stream.seek(size // 2)
                byte = stream.read(1)
                stream.seek(size // 2)
                stream.write(chr(ord(byte) ^ 0xFF))
            code, out, err = run_example('calibrate.py', '--file', path, '--restore-only')
            self.assertEqual(code, 1)
            self.assertIn('calibration failed: calibration_apply: failed with status', err)
            self.assertNotIn('Traceback', err)
        finally:
            shutil.rmtree(tmp, ignore_errors=True)

    def test_event_streams_prints_events_of_each_stream(self):
        code, out, err = run_example('event_streams.py', '--seconds', '1')
        self.assertEqual(code, 0, out + err)
        self.assertEqual(out.count('-> 0 (ok)'), 6)
        self.assertIn("message='hello from event_streams.py'", out)
        self.assertIn('eyetracker_notification_calibration_mode_entered', out)
        self.assertIn('eyetracker_notification_gaze_output_frequency_changed', out)
        for stream in ('log', 'external signal', 'time synchronization', 'eye images'):
            self.assertRegexpMatches(out, r'(?m)^%s\s+\w+=' % stream)


def sample(left=(0.25, 0.5), right=(0.75, 0.5), left_valid=1, right_valid=1, t=0):
    """A gaze dict as the module delivers it (NaN where a group is not valid)."""
    def eye(point, valid):
        return (point if valid == 1 else (NAN, NAN),
                (1.0, 2.0, 3.0) if valid == 1 else (NAN, NAN, NAN))
    lp, lu = eye(left, left_valid)
    rp, ru = eye(right, right_valid)
    return {
        'device_time_stamp': t + 5, 'system_time_stamp': t,
        'left_gaze_point_on_display_area': lp, 'left_gaze_point_in_user_coordinate_system': lu,
        'left_gaze_point_validity': left_valid, 'left_pupil_diameter': 3.5,
        'left_pupil_validity': 1, 'left_gaze_origin_in_user_coordinate_system': (4.0, 5.0, 6.0),
        'left_gaze_origin_in_trackbox_coordinate_system': (0.1, 0.2, 0.3),
        'left_gaze_origin_validity': 1,
        'right_gaze_point_on_display_area': rp, 'right_gaze_point_in_user_coordinate_system': ru,
        'right_gaze_point_validity': right_valid, 'right_pupil_diameter': NAN,
        'right_pupil_validity': 0, 'right_gaze_origin_in_user_coordinate_system': (7.0, 8.0, 9.0),
        'right_gaze_origin_in_trackbox_coordinate_system': (0.4, 0.5, 0.6),
        'right_gaze_origin_validity': 1,
    }


def steady(x, y, start, duration, rate=100.0):
    """A track of points at (x, y) mm from `start` for `duration` seconds."""
    count = int(round(duration * rate))
    return [(start + i / rate, x, y) for i in range(count)]


class GazeTools(unittest.TestCase):
    def test_csv_rows_follow_the_header_and_write_nan(self):
        self.assertEqual(gaze_tools.csv_header(), EXPECTED_HEADER)
        tmp = tempfile.mkdtemp(prefix='velto-csv-')
        try:
            path = os.path.join(tmp, 'gaze.csv')
            self.assertEqual(gaze_tools.write_csv(path, [sample(right_valid=0, t=1000)]), 1)
            with open(path, 'rb') as stream:
                header, row = list(csv.reader(stream))
        finally:
            shutil.rmtree(tmp, ignore_errors=True)
        values = dict(zip(header, row))
        self.assertEqual(values['system_time_stamp'], '1000')
        self.assertEqual(values['device_time_stamp'], '1005')
        self.assertEqual(values['left_gaze_point_on_display_area_y'], '0.5')
        self.assertEqual(values['left_gaze_origin_in_user_coordinate_system_z'], '6.0')
        self.assertEqual(values['left_gaze_origin_in_trackbox_coordinate_system_x'], '0.1')
        self.assertEqual(values['right_gaze_point_on_display_area_x'], 'nan')
        self.assertEqual(values['right_gaze_point_in_user_coordinate_system_z'], 'nan')
        self.assertEqual(values['right_pupil_diameter'], 'nan')
        self.assertEqual(values['right_gaze_origin_validity'], '1')

    def test_average_uses_only_valid_eyes(self):
        self.assertEqual(gaze_tools.average_point(sample()), (0.5, 0.5))
        self.assertEqual(gaze_tools.average_point(sample(left_valid=0)), (0.75, 0.5))
        self.assertEqual(gaze_tools.average_point(sample(right_valid=0)), (0.25, 0.5))
        self.assertIsNone(gaze_tools.average_point(sample(left_valid=0, right_valid=0)))
        # A validity other than 1 is not valid even when numbers are present.
        odd = sample()
        odd['left_gaze_point_validity'] = 2
        self.assertEqual(gaze_tools.average_point(odd), (0.75, 0.5))

    def test_track_rate_and_valid_share(self):
        samples = [sample(t=i * 10000, left_valid=0 if i % 4 == 0 else 1) for i in range(9)]
        samples[8]['right_gaze_point_validity'] = 0
        samples[8]['left_gaze_point_validity'] = 0
        track = gaze_tools.gaze_track(samples, 500.0, 300.0)
        self.assertEqual(len(track), 8)  # the last sample has no valid eye
        self.assertEqual(track[1], (0.01, 250.0, 150.0))
        self.assertEqual(track[0], (0.0, 375.0, 150.0))  # right eye only
        self.assertAlmostEqual(gaze_tools.effective_rate(samples), 100.0)
        self.assertEqual(gaze_tools.effective_rate(samples[:1]), 0.0)
        self.assertAlmostEqual(gaze_tools.valid_share(samples, 'left'), 6 / 9.0)
        self.assertAlmostEqual(gaze_tools.valid_share(samples, 'right'), 8 / 9.0)
        self.assertEqual(gaze_tools.valid_share([], 'left'), 0.0)

    def test_fixations_and_saccades_are_told_apart(self):
        saccade = [(0.30 + i / 100.0, 100 + 50 * i, 100 + 25 * i) for i in range(1, 3)]
        track = steady(100, 100, 0.0, 0.30) + saccade + steady(300, 200, 0.33, 0.20)
        fixations = gaze_tools.detect_fixations(track, 30.0, 0.1, 0.1)
        self.assertEqual(len(fixations), 2)
        first, second = fixations
        self.assertEqual((first.x, first.y, first.samples), (100, 100, 30))
        self.assertAlmostEqual(first.duration, 0.29)
        self.assertEqual((second.x, second.y, second.samples), (300, 200, 20))
        self.assertAlmostEqual(second.start, 0.33)

    def test_short_dispersed_and_interrupted_runs(self):
        # Too short: 80 ms is below the 100 ms minimum.
        self.assertEqual(gaze_tools.detect_fixations(steady(50, 50, 0.0, 0.08)), [])
        # Too dispersed: alternating 20 mm apart in x and y (40 mm dispersion).
        zigzag = [(i / 100.0, 50 + 20 * (i % 2), 50 + 20 * (i % 2)) for i in range(30)]
        self.assertEqual(gaze_tools.detect_fixations(zigzag, max_dispersion=30.0), [])
        self.assertEqual(len(gaze_tools.detect_fixations(zigzag, max_dispersion=40.0)), 1)
        # A pause longer than max_gap splits a fixation at the same place.
        split = steady(50, 50, 0.0, 0.2) + steady(50, 50, 0.5, 0.2)
        self.assertEqual(len(gaze_tools.detect_fixations(split, max_gap=0.1)), 2)
        self.assertEqual(len(gaze_tools.detect_fixations(split, max_gap=0.5)), 1)
        # By default a blink (a pause of under 0.25 s) at one place is one fixation.
        blink = steady(50, 50, 0.0, 0.2) + steady(50, 50, 0.37, 0.2)
        (whole,) = gaze_tools.detect_fixations(blink)
        self.assertAlmostEqual(whole.duration, 0.56)
        # A pause inside what would be the first window: the run after it still counts.
        cut = steady(50, 50, 0.0, 0.05) + steady(80, 80, 0.3, 0.2)
        (only,) = gaze_tools.detect_fixations(cut, max_gap=0.1)
        self.assertEqual((only.x, only.y), (80, 80))
        self.assertEqual(gaze_tools.detect_fixations([]), [])

    def test_svg_draws_each_fixation_and_saccade_and_escapes_text(self):
        track = steady(100, 100, 0.0, 0.3) + steady(300, 200, 0.35, 0.2) + steady(50, 250, 0.6, 0.4)
        fixations = gaze_tools.detect_fixations(track)
        self.assertEqual(len(fixations), 3)
        text = gaze_tools.scanpath_svg(track, fixations, 500.0, 300.0, title='a < b & "c"',
                                       notes=['x > y'])
        root = ElementTree.fromstring(text)
        circles = [c for c in root.iter(SVG + 'circle') if c.get('class') == 'fixation']
        self.assertEqual(len(circles), 3)
        # Longer fixations get larger circles.
        radii = [float(c.get('r')) for c in circles]
        self.assertTrue(radii[2] > radii[0] > radii[1], radii)
        saccades = [l for l in root.iter(SVG + 'line') if l.get('class') == 'saccade']
        ends = [(l.get('x1'), l.get('y1'), l.get('x2'), l.get('y2')) for l in saccades]
        centres = [(c.get('cx'), c.get('cy')) for c in circles]
        self.assertEqual(ends, [centres[0] + centres[1], centres[1] + centres[2]])
        texts = [t.text for t in root.iter(SVG + 'text')]
        self.assertIn('a < b & "c"', texts)
        self.assertIn('x > y', texts)


if __name__ == '__main__':
    unittest.main()
