"""Replaying a recording as a simulated tracker (velto.replay, the
simulator's "replay" trackers): a recording of the replay equals the
recording replayed, and bad recordings are refused at configuration time
with one line naming the fault."""
from __future__ import absolute_import, division, print_function, unicode_literals

import csv
import io
import json
import os
import shutil
import tempfile
import time
import unittest

import support
import velto
import velto_sim
from test_velto_api import VeltoTestCase

SOURCE_WORLD = {'trackers': [{'address': 'velto-sim://source',
                              'gaze_output_frequencies': [1200.0]}]}
COMPACT = 'time_us,left_x,left_y,right_x,right_y,left_pupil,right_pupil,left_valid,right_valid'
ENDED = 'eyetracker_notification_connection_lost'


def csv_rows(folder):
    """gaze.csv as (header, rows of cells); *_us cells as integers relative
    to the first row's."""
    with io.open(os.path.join(folder, 'gaze.csv'), 'rb') as stream:
        lines = [line.decode('ascii') for line in stream.read().splitlines()]
    rows = list(csv.reader(lines))
    header, body = rows[0], rows[1:]
    times = [i for i, name in enumerate(header) if name.endswith('_us')]
    first = dict((i, int(body[0][i])) for i in times)
    return header, [[int(cell) - first[i] if i in first else cell for i, cell in enumerate(row)]
                    for row in body]


def addresses():
    """The addresses of the trackers found now."""
    found = velto.find_trackers()
    for tracker in found:
        tracker.close()
    return [t.address for t in found]


def wait_for_end(notes, timeout=20.0):
    end = time.time() + timeout
    while time.time() < end:
        note = notes.get(0.1)
        if note is not None and note['notification_type'] == ENDED:
            time.sleep(0.3)  # rows delivered before it reach every subscriber
            return True
    return False


class RoundTrip(VeltoTestCase):
    world = SOURCE_WORLD

    def setUp(self):
        VeltoTestCase.setUp(self)
        self.folder = tempfile.mkdtemp(prefix='velto-replay-')

    def tearDown(self):
        VeltoTestCase.tearDown(self)
        shutil.rmtree(self.folder)

    def test_a_recording_of_the_replay_equals_the_recording(self):
        for columns in ('full', 'compact'):
            first = os.path.join(self.folder, 'first-' + columns)
            second = os.path.join(self.folder, 'second-' + columns)
            source = velto.open_tracker(address='velto-sim://source')
            self.trackers.append(source)
            with source.record(first, columns=columns) as recording:
                recording.wait(2.0)
            with velto.replay(first) as tracker:
                self.assertEqual((tracker.name, tracker.serial_number, tracker.frequencies),
                                 ('Replay of first-' + columns, 'REPLAY-SIM-0001', (1200.0,)))
                with self.assertRaises(velto.VeltoError) as refused:
                    tracker.frequency = 60.0  # offered only as recorded
                self.assertEqual(refused.exception.status, 3)
                with tracker.notifications() as notes:
                    with tracker.record(second, columns=columns):
                        self.assertTrue(wait_for_end(notes), 'the replay did not end')
                self.assertEqual(addresses(), ['velto-replay://first-' + columns])
            # The world from before the replay is back.
            self.assertEqual(addresses(), ['velto-sim://source'])

            header, recorded = csv_rows(first)
            header2, replayed = csv_rows(second)
            self.assertEqual(header, header2)
            self.assertGreater(len(recorded), 2000)
            empty = sum(1 for row in recorded if '' in row)
            self.assertGreater(empty, 0, 'no row with an invalid eye to replay')
            if columns == 'compact':
                # Gaze origins are not in the compact columns: replayed as
                # invalid, so their flag (4) is gone.
                flags = [header.index('left_valid'), header.index('right_valid')]
                for row in recorded:
                    for i in flags:
                        row[i] = str(int(row[i]) & 3)
            self.assertEqual(len(replayed), len(recorded))
            mismatches = [(a, b) for a, b in zip(recorded, replayed) if a != b]
            self.assertEqual(mismatches[:3], [], '%d rows differ (%s)' % (len(mismatches), columns))

            saved, again = velto.load_recording(first), velto.load_recording(second)
            counts = saved.event_counts()
            counts2 = again.event_counts()
            for stream in ('eye_images', 'external_signal'):
                self.assertEqual(counts2.get(stream), counts.get(stream), stream)
            self.assertGreater(counts2['eye_images'], 5)


def write_recording(folder, gaze, events=None, metadata=None):
    """A recording folder: gaze.csv text, events.jsonl lines (dicts or text), metadata dict."""
    os.mkdir(folder)
    with io.open(os.path.join(folder, 'gaze.csv'), 'wb') as stream:
        stream.write(gaze.encode('ascii'))
    if events is not None:
        with io.open(os.path.join(folder, 'events.jsonl'), 'wb') as stream:
            for line in events:
                text = line if not isinstance(line, dict) else json.dumps(line)
                stream.write((text + '\n').encode('ascii'))
    if metadata is not None:
        with io.open(os.path.join(folder, 'metadata.json'), 'wb') as stream:
            stream.write(json.dumps(metadata).encode('ascii') if isinstance(metadata, dict)
                         else metadata.encode('ascii'))
    return folder


def compact_rows(count, period=10000, start=5000):
    return ''.join('%d,0.%d,0.5,0.5,0.5,3.5,,3,1\n' % (start + i * period, i % 10)
                   for i in range(count))


class SmallRecordings(VeltoTestCase):
    world = {'generate': False}

    def setUp(self):
        VeltoTestCase.setUp(self)
        self.folder = tempfile.mkdtemp(prefix='velto-replay-')

    def tearDown(self):
        VeltoTestCase.tearDown(self)
        support.reset()
        shutil.rmtree(self.folder)

    def path(self, name):
        return os.path.join(self.folder, name)

    def test_bad_recordings_are_refused_with_one_line(self):
        image = {'stream': 'eye_images', 't_us': 6000, 'camera_id': 0,
                 'image_type': 'eye_image_type_full', 'file': 'eye_images/000001_cam0.gif',
                 'system_time_stamp': 1, 'device_time_stamp': 2}
        cases = [
            (self.path('nowhere'), 'no recording folder %s' % self.path('nowhere')),
            (write_recording(self.path('no-rows'), ''), 'no-rows/gaze.csv: no header line'),
            (write_recording(self.path('row'),
                             COMPACT + '\n' + compact_rows(2) + '25000,0.1,x,,,,,3,1\n'),
             'row/gaze.csv:4: cell 3 (x) is not a number'),
            (write_recording(self.path('cells'), COMPACT + '\n' + compact_rows(1) + '15000,1,2\n'),
             'cells/gaze.csv:3: 3 cells, the header has 9'),
            (write_recording(self.path('back'), COMPACT + '\n' + compact_rows(2) + compact_rows(1)),
             'back/gaze.csv:4: time_us goes back (5000 after 15000)'),
            (write_recording(self.path('column'), 'time_us,left_z\n1,2\n'),
             'column/gaze.csv:1: unknown column "left_z"'),
            (write_recording(self.path('meta'), COMPACT + '\n', metadata='{"tracker": '),
             'meta/metadata.json: malformed JSON: line 1'),
            (write_recording(self.path('events'), COMPACT + '\n',
                             events=['{"stream": "log"}', '{']),
             'events/events.jsonl:2: malformed JSON'),
            (write_recording(self.path('image'), COMPACT + '\n', events=[image]),
             'image/eye_images/000001_cam0.gif is missing'),
        ]
        os.mkdir(self.path('no-gaze'))
        cases.append((self.path('no-gaze'), 'no-gaze/gaze.csv: No such file'))
        for folder, expected in cases:
            with self.assertRaises(ValueError) as refused:
                with velto.replay(folder):
                    pass
            message = str(refused.exception)
            self.assertIn(expected, message)
            self.assertNotIn('\n', message)
        # Refusals change nothing: the world before stays.
        self.assertEqual(addresses(), [t.address for t in self.trackers])
        with self.assertRaises(ValueError) as refused:
            support.configure({'trackers': [velto_sim.replay_tracker(self.path('row'), speed=0)]})
        self.assertIn('replay speed must be a number above 0', str(refused.exception))

    def test_defaults_cut_off_line_and_loop(self):
        # No metadata.json; the last line was cut off while being written.
        folder = write_recording(self.path('short'), COMPACT + '\n' + compact_rows(3) + '35000,0.4')
        with velto.replay(folder) as tracker:
            self.assertEqual(
                (tracker.name, tracker.serial_number, tracker.address, tracker.frequency, tracker.mode),
                ('Replay of short', 'REPLAY-short', 'velto-replay://short', 100.0, 'Default'))
            self.assertEqual(tracker.display_area.width, 531.3)
            with tracker.notifications() as notes, tracker.gaze() as gaze:
                self.assertTrue(wait_for_end(notes))
                samples = gaze.drain()
        self.assertEqual([s['left_gaze_point_on_display_area'][0] for s in samples],
                         [support.f32(0.0), support.f32(0.1), support.f32(0.2)])
        first = samples[0]
        self.assertEqual((first['left_gaze_point_validity'], first['left_pupil_validity'],
                          first['left_gaze_origin_validity'], first['right_gaze_point_validity'],
                          first['right_pupil_validity']), (1, 1, 0, 1, 0))
        self.assertTrue(all(v != v for v in first['left_gaze_origin_in_user_coordinate_system']))
        self.assertTrue(all(v != v for v in first['left_gaze_point_in_user_coordinate_system']))

        # A loop: the rows again, time stamps one period apart across the seam
        # too; other fields of the world's entry stay as given.
        support.configure({'trackers': [
            velto_sim.replay_tracker(folder, loop=True, address='sim://loop'), {'address': 'sim://other'}]})
        tracker = velto.open_tracker(address='sim://loop')
        self.trackers.append(tracker)
        with tracker.gaze() as gaze:
            samples = [gaze.get(2.0) for _ in range(8)]
        self.assertNotIn(None, samples)
        self.assertEqual([s['left_gaze_point_on_display_area'][0] for s in samples],
                         [support.f32(v) for v in (0.0, 0.1, 0.2) * 2 + (0.0, 0.1)])
        stamps = [s['system_time_stamp'] for s in samples]
        self.assertEqual([b - a for a, b in zip(stamps, stamps[1:])], [10000] * 7)

        # Nothing to play (no rows, no replayed events): even a loop ends.
        empty = write_recording(self.path('empty'), COMPACT + '\n', events=['{"stream": "log"}'])
        with velto.replay(empty, loop=True) as tracker:
            with tracker.notifications() as notes, tracker.gaze():
                self.assertTrue(wait_for_end(notes, timeout=5))

    def test_example_prints_the_recording_until_its_end(self):
        folder = write_recording(self.path('demo'), COMPACT + '\n' + compact_rows(5))
        example = os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                               'examples', 'replay.py')
        code, out, err, _ = support.run_python([example, '--recording', folder], timeout=60)
        self.assertEqual(code, 0, out + err)
        self.assertIn('Replay of demo (serial REPLAY-demo) at 100 Hz', out)
        self.assertIn('5 samples shown, 0 dropped; the recording ended', out)
        self.assertEqual(len([line for line in out.splitlines() if ' left (' in line]), 5)
        code, out, err, _ = support.run_python([example, '--recording', self.path('none')],
                                               timeout=60)
        self.assertEqual((code, err), (1, 'replay: error: no recording folder %s\n'
                                       % self.path('none')))


if __name__ == '__main__':
    unittest.main()
