"""The demo and the examples run as a user runs them: subprocesses against
the simulated trackers, with the module and the velto package on the path."""
from __future__ import absolute_import, division, print_function, unicode_literals

import io
import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

import support

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, '..', '..'))
EXAMPLES = os.path.join(ROOT, 'examples')
LIB_DIR = os.environ.get('VELTO_LIB_DIR') or os.path.join(ROOT, 'build', 'lib')
SVG = '{http://www.w3.org/2000/svg}'
if not hasattr(unittest.TestCase, 'assertRegex'):  # Python 2
    unittest.TestCase.assertRegex = unittest.TestCase.assertRegexpMatches


def start(argv, cwd=None, env=None):
    environment = dict(os.environ)
    environment['PYTHONPATH'] = os.pathsep.join([LIB_DIR, os.path.join(ROOT, 'python')])
    environment.update(env or {})
    # Ctrl-C must reach the child even when this runs in the background.
    return subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, cwd=cwd,
                            env=environment,
                            preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))


def finish(proc, timeout=120):
    """(exit code, stdout, stderr), the process killed after `timeout`."""
    code, out, err = support.finish(proc, timeout)
    # Texts on 2.7 too, as the checks below compare with unicode literals.
    return code, out.decode('utf-8', 'replace') if isinstance(out, bytes) else out, \
        err.decode('utf-8', 'replace') if isinstance(err, bytes) else err


def run_example(name, *args):
    return finish(start([sys.executable, '-u', os.path.join(EXAMPLES, name + '.py')] + list(args)))


def temporary_folder(case):
    folder = tempfile.mkdtemp(prefix='velto-examples-')
    case.addCleanup(shutil.rmtree, folder, True)
    return folder


def read_json_lines(path):
    with io.open(path, 'rb') as stream:
        return [json.loads(line.decode('utf-8')) for line in stream]


class Demo(unittest.TestCase):
    """One short demo run; each test looks at a different part of its output."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.mkdtemp(prefix='velto-demo-')
        cls.out = os.path.join(cls.tmp, 'out')  # made by the demo
        cls.code, cls.stdout, cls.stderr = run_example('demo', '--seconds', '1', '--out', cls.out)

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.tmp, ignore_errors=True)

    def summary(self, label):
        match = re.search(r'\n\s+%s\s+(\d+)' % label, self.stdout)
        self.assertIsNotNone(match, 'no %r in the output:\n%s' % (label, self.stdout))
        return int(match.group(1))

    def test_runs_cleanly_and_reports_calibration_quality(self):
        self.assertEqual(self.code, 0, self.stdout + self.stderr)
        self.assertEqual(self.stderr, '')
        for name in ('Velto Lab A', 'Velto Nano'):
            self.assertIn(name, self.stdout)
        calibration, validation = self.stdout.split('Validation quality')
        self.assertEqual(len(re.findall(r'\n  \((0\.[19]0|0\.50), (0\.[19]0|0\.50)\)\s+left\s+\d\.\d\d',
                                        calibration)), 5)
        self.assertRegex(calibration, r'\n  overall\s+left(\s+\d+\.\d\d){5}\s+\d+ %\s+1\d/15')
        # The validation's table reads like the calibration's: 0.5 s of 120 Hz gaze a target.
        self.assertEqual(len(re.findall(r'\n  \((0\.[19]0|0\.50), (0\.[19]0|0\.50)\)\s+left(\s+\d+\.\d\d){5}'
                                        r'\s+\d+ %\s+\d+/6\d', validation)), 5)

    def test_markers_quality_report_and_bids_export(self):
        saved_markers = [e for e in read_json_lines(os.path.join(self.out, 'events.jsonl'))
                         if e['stream'] == 'marker']
        labels = [m['label'] for m in saved_markers]
        self.assertEqual(labels, ['calibration', 'validation', 'recording start',
                                  'stream error reported'])
        # The phases before the recording carry the times they began: before its start.
        self.assertTrue(saved_markers[0]['t_us'] < saved_markers[1]['t_us'] < 0, saved_markers)
        self.assertEqual([m['time_source'] for m in saved_markers], ['caller', 'caller', 'mark', 'mark'])
        self.assertRegex(self.stdout, r'\nmarkers\s+4\n')
        self.assertRegex(self.stdout, r'\nsamples\s+\d+; effective rate')
        tree = self.stdout.split('  BIDS export\n')[1].splitlines()
        self.assertEqual(tree[0].strip(), os.path.join(self.out, 'bids') + '/')
        written = sorted(os.path.join(root, name) for root, _, names in
                         os.walk(os.path.join(self.out, 'bids')) for name in names)
        self.assertEqual(sorted(line.strip() for line in tree if not line.endswith('/')),
                         sorted(os.path.basename(path) for path in written))
        self.assertIn('BIDS dataset (%d files)' % len(written), self.stdout)
        with io.open(os.path.join(self.out, 'bids', 'sub-01', 'beh', 'sub-01_task-demo_events.tsv'),
                     'rb') as stream:
            self.assertIn(b'recording start', stream.read())

    def test_files_agree_with_the_summary(self):
        with io.open(os.path.join(self.out, 'gaze.csv'), 'rb') as stream:
            rows = stream.read().decode('ascii').splitlines()
        self.assertEqual(rows[0], 'time_us,left_x,left_y,right_x,right_y,left_pupil,right_pupil,'
                                  'left_valid,right_valid')
        self.assertEqual(len(rows) - 1, self.summary('gaze samples recorded'))
        self.assertGreater(len(rows), 100)  # 120 Hz for a second
        events = read_json_lines(os.path.join(self.out, 'events.jsonl'))
        self.assertEqual(events[-1]['event'], 'end')
        self.assertEqual(events[-1]['reason'], 'stopped')
        for stream, label in (('log', 'log'), ('external_signal', 'external signal'),
                              ('time_sync', 'time synchronization'), ('stream_errors', 'stream errors'),
                              ('eye_images', 'eye images')):
            count = len([e for e in events if e['stream'] == stream])
            self.assertEqual(count, self.summary(label), stream)
            self.assertGreater(count, 0, stream)
        self.assertIn('demo: halfway through the recording',
                      [e.get('message') for e in events if e['stream'] == 'stream_errors'])
        images = os.listdir(os.path.join(self.out, 'eye_images'))
        self.assertEqual(len(images), self.summary('eye images'))
        with io.open(os.path.join(self.out, 'metadata.json'), 'rb') as stream:
            metadata = json.loads(stream.read().decode('utf-8'))
        self.assertTrue(metadata['complete'])
        self.assertEqual(metadata['gaze_output_frequency_hz'], 120.0)
        self.assertEqual(len(metadata['calibration']['points']), 5)
        self.assertAlmostEqual(metadata['clock']['drift_ppm'], 12.0, delta=1.5)
        for name in ('gaze.csv', 'events.jsonl', 'metadata.json', 'scanpath.svg', 'calibration.bin'):
            self.assertIn(os.path.join(self.out, name), self.stdout)

    def test_scanpath_shows_gaze_axes_and_durations(self):
        root = ElementTree.parse(os.path.join(self.out, 'scanpath.svg')).getroot()
        circles = [c for c in root.iter(SVG + 'circle') if c.get('class') == 'fixation']
        self.assertEqual(len(circles), int(re.search(r'SVG, (\d+) fixations', self.stdout).group(1)))
        self.assertGreater(len(circles), 0)
        labels = [t.text for t in root.iter(SVG + 'text') if t.get('class') == 'fixation-label']
        self.assertEqual(len(labels), len(circles))
        for number, label in enumerate(labels, 1):
            self.assertRegex(label, r'^%d: \d+ ms$' % number)
        ticks = [t.text for t in root.iter(SVG + 'text') if t.get('class') == 'tick-x']
        self.assertEqual(ticks[:3], ['0', '100', '200'])
        self.assertIn('x (mm from the left edge)', [t.text for t in root.iter(SVG + 'text')])
        self.assertTrue([p for p in root.iter(SVG + 'polyline') if p.get('class') == 'gaze'])
        (area,) = [r for r in root.iter(SVG + 'rect') if r.get('class') == 'display-area']
        self.assertEqual((area.get('width'), area.get('height')), ('531.3', '298.9'))


class Examples(unittest.TestCase):
    def test_ctrl_c_during_the_demo_recording_keeps_it(self):
        out = os.path.join(temporary_folder(self), 'out')
        proc = start([sys.executable, '-u', os.path.join(EXAMPLES, 'demo.py'), '--seconds', '60',
                      '--out', out])
        while True:
            line = proc.stdout.readline().decode('utf-8')
            if not line or line.startswith('Recording'):
                break
        time.sleep(1.0)
        proc.send_signal(signal.SIGINT)
        code, stdout, stderr = finish(proc)
        self.assertEqual(code, 0, stdout + stderr)
        self.assertIn('Summary (recording stopped early by Ctrl-C)', stdout)
        self.assertNotIn('Traceback', stderr)
        events = read_json_lines(os.path.join(out, 'events.jsonl'))
        self.assertEqual(events[-1]['reason'], 'interrupted (Ctrl-C)')
        self.assertGreater(events[-1]['gaze_rows'], 60)
        with io.open(os.path.join(out, 'gaze.csv'), 'rb') as stream:
            self.assertEqual(len(stream.read().splitlines()) - 1, events[-1]['gaze_rows'])

    def test_options_are_refused_before_any_work(self):
        folder = temporary_folder(self)
        read_only = os.path.join(folder, 'read-only')
        os.mkdir(read_only)
        os.chmod(read_only, 0o555)
        locked = os.path.join(folder, 'locked.bin')
        io.open(locked, 'wb').close()
        os.chmod(locked, 0)
        frozen = os.path.join(folder, 'frozen.bin')
        io.open(frozen, 'wb').close()
        os.chmod(frozen, 0o444)
        for example, args, message in (
                ('demo', ['--frequency', '99999'], 'at most 2000 Hz'),
                ('demo', ['--frequency', 'nan'], 'must be a finite number'),
                ('demo', ['--frequency', '-5'], 'must be above 0'),
                ('demo', ['--seconds', '0'], 'must be above zero'),
                ('demo', ['--seconds', '-1'], 'must be above zero'),
                ('demo', ['--out', os.path.join(folder, 'missing', 'out')], 'does not exist'),
                ('demo', ['--out', os.path.join(read_only, 'out')], 'is not writable'),
                ('demo', ['--out', frozen], 'is not a folder'),
                ('stream_gaze', ['--seconds', 'nan'], 'must be a finite number'),
                ('event_streams', ['--seconds', '0'], 'must be above zero'),
                ('calibrate', ['--file', folder], 'is a folder'),
                ('calibrate', ['--file', frozen], 'is read-only'),
                ('calibrate', ['--restore-only', '--file', os.path.join(folder, 'none.bin')],
                 'does not exist'),
                ('calibrate', ['--restore-only', '--file', locked], 'is not readable')):
            code, out, err = run_example(example, *args)
            what = '%s %s' % (example, ' '.join(args))
            self.assertEqual(code, 2, what + out + err)
            self.assertEqual(out, '', what)  # nothing started
            self.assertEqual(len(err.splitlines()), 1, what + err)
            self.assertIn(message, err, what)
        self.assertEqual(sorted(os.listdir(folder)), ['frozen.bin', 'locked.bin', 'read-only'])

    def test_discover_stream_and_events(self):
        code, out, err = run_example('discover')
        self.assertEqual(code, 0, out + err)
        self.assertIn('2 eye tracker(s) found', out)
        self.assertEqual(out.count('same handle'), 2)
        self.assertIn('display_area, external_signal, eye_images', out)
        code, out, err = run_example('stream_gaze', '--seconds', '0.5')
        self.assertEqual(code, 0, out + err)
        shown = int(re.search(r'(\d+) samples shown, 0 dropped', out).group(1))
        self.assertGreater(shown, 10)
        self.assertEqual(len(re.findall(r'(?m)^\s+\d+\s+left ', out)), shown)
        code, out, err = run_example('event_streams', '--seconds', '1')
        self.assertEqual(code, 0, out + err)
        self.assertIn('message=hello from event_streams.py', out)
        for stream in ('log', 'external_signal', 'time_sync', 'stream_errors', 'notifications',
                       'eye_images'):
            self.assertRegex(out, r'(?m)^%s\s+\w+=' % stream)
        self.assertIn('eyetracker_notification_calibration_mode_left', out)

    def test_calibrate_saves_restores_and_refuses_damage(self):
        path = os.path.join(temporary_folder(self), 'calibration.bin')
        code, out, err = run_example('calibrate', '--file', path)
        self.assertEqual(code, 0, out + err)
        size = os.path.getsize(path)
        self.assertIn('Saved %d bytes' % size, out)
        self.assertIn('overall', out)
        code, out, err = run_example('calibrate', '--restore-only', '--file', path)
        self.assertEqual(code, 0, out + err)
        self.assertIn('Applied %d bytes' % size, out)
        with io.open(path, 'r+b') as stream:
            stream.seek(size // 2)
            byte = bytearray(stream.read(1))
            stream.seek(size // 2)
            stream.write(bytes(bytearray([byte[0] ^ 0xFF])))
        code, out, err = run_example('calibrate', '--restore-only', '--file', path)
        self.assertEqual(code, 1)
        self.assertEqual(err, 'calibrate.py: error: calibration_apply: damaged calibration data '
                              '(status 6); file %s\n' % path)

    @unittest.skipIf(os.environ.get('LD_PRELOAD'), 'builds with the normal tools; not under a sanitizer')
    def test_launcher_runs_an_example_from_any_folder(self):
        launcher = os.path.join(ROOT, 'scripts', 'example.sh')
        build = os.path.dirname(LIB_DIR)
        env = {'PYTHON': sys.executable, 'VELTO_BUILD_DIR': build}
        code, out, err = finish(start([launcher, 'discover'], cwd='/', env=env))
        self.assertEqual(code, 0, out + err)
        self.assertIn('2 eye tracker(s) found', out)
        code, out, err = finish(start([launcher, 'nonesuch'], cwd='/', env=env))
        self.assertEqual(code, 2)
        self.assertIn("no example 'nonesuch'; examples: calibrate demo discover", err)


if __name__ == '__main__':
    unittest.main()
