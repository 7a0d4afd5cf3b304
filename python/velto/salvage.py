"""Tolerant reading of a recording folder: what load_recording gives, or,
for a damaged folder it refuses (metadata missing, a line cut off, a bad
JSON line), what can still be read part by part, with the damage found.

    saved, problems = read_recording('session-01')
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import io
import json
import os

from ._compat import integer_types, string_types
from .clock import ClockEstimate, estimate_clock
from .reader import load_recording

GAZE_FILE = 'gaze.csv'
EVENTS_FILE = 'events.jsonl'
METADATA_FILE = 'metadata.json'


class SalvagedRecording(object):
    """What could be read of a folder that load_recording refuses, with the
    attributes of a SavedRecording (empty where a part is missing) and
    `problems`, one line each."""

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        self.problems = []
        self.metadata = self._read_metadata()
        self.columns, self.gaze = [], []
        self.truncated = False
        self._read_gaze()
        self.events = self._read_events()
        ends = [e for e in self.events if e.get('stream') == 'recording' and e.get('event') == 'end']
        self.end = ends[-1] if ends else None
        self.complete = self.end is not None
        self.display_area = None
        self.clock = _clock_of(self.metadata, self.events)

    def _path(self, name):
        return os.path.join(self.folder, name)

    def _read_bytes(self, name):
        try:
            with io.open(self._path(name), 'rb') as stream:
                return stream.read()
        except (IOError, OSError) as error:
            self.problems.append('%s cannot be read (%s)' % (name, error.strerror or error))
            return None

    def _read_metadata(self):
        data = self._read_bytes(METADATA_FILE)
        if data is None:
            return {}
        try:
            metadata = json.loads(data.decode('utf-8'))
        except ValueError:
            self.problems.append('%s is not valid JSON (cut off or damaged)' % METADATA_FILE)
            return {}
        if not isinstance(metadata, dict):
            self.problems.append('%s holds no JSON object' % METADATA_FILE)
            return {}
        return metadata

    def _read_gaze(self):
        data = self._read_bytes(GAZE_FILE)
        if data is None:
            return
        lines = data.decode('ascii', 'replace').split('\n')
        if lines and lines[-1] == '':
            lines.pop()
        if not lines:
            self.problems.append('%s is empty (no header line)' % GAZE_FILE)
            return
        self.columns = [c.strip() for c in lines[0].split(',')]
        integer = [c == 'time_us' or c.endswith(('_us', '_valid', '_validity')) for c in self.columns]
        bad = 0
        for line in lines[1:]:
            cells = line.rstrip('\r').split(',')
            try:
                if len(cells) != len(self.columns):
                    raise ValueError(line)
                values = [_number(text, whole) for text, whole in zip(cells, integer)]
            except ValueError:
                bad += 1
                continue
            self.gaze.append(dict(zip(self.columns, values)))
        if bad:
            self.truncated = True
            self.problems.append('%s: %d line%s cut off or damaged, skipped'
                                 % (GAZE_FILE, bad, '' if bad == 1 else 's'))

    def _read_events(self):
        data = self._read_bytes(EVENTS_FILE)
        if data is None:
            return []
        events, bad = [], 0
        for line in data.split(b'\n'):
            if not line.strip():
                continue
            try:
                event = json.loads(line.decode('utf-8'))
            except ValueError:
                event = None
            if isinstance(event, dict):
                events.append(event)
            else:
                bad += 1
        if bad:
            self.truncated = True
            self.problems.append('%s: %d line%s not a JSON object, skipped'
                                 % (EVENTS_FILE, bad, '' if bad == 1 else 's'))
        return events


def _number(text, integer):
    if text == '':
        return float('nan')
    return int(text) if integer else float(text)


def _clock_of(metadata, events):
    clock = metadata.get('clock')
    try:
        if clock:
            return ClockEstimate(**dict((str(k), v) for k, v in clock.items()))
        return estimate_clock([e for e in events if e.get('stream') == 'time_sync'])
    except (TypeError, KeyError, ValueError):
        return None


def read_recording(recording):
    """(recording, problems): a SavedRecording (or what is given) and the
    damage found; a folder load_recording refuses gives a SalvagedRecording."""
    if not isinstance(recording, string_types):
        return recording, _problems(recording)
    if not os.path.isdir(recording):
        raise IOError('%s is not a folder' % recording)
    try:
        saved = load_recording(recording)
    except Exception:  # whatever the damage: read what can be read, part by part
        salvaged = SalvagedRecording(recording)
        return salvaged, salvaged.problems + _problems(salvaged, lines_checked=True)
    lines = []
    if saved.truncated:
        # Which lines were skipped: the files read once more, line by line.
        lines = [p for p in SalvagedRecording(recording).problems
                 if p.startswith((GAZE_FILE, EVENTS_FILE))]
    return saved, lines + _problems(saved, lines_checked=bool(lines))


def _problems(saved, lines_checked=False):
    problems = []
    if saved.truncated and not lines_checked:
        problems.append('a cut-off or damaged line in %s or %s was skipped' % (GAZE_FILE, EVENTS_FILE))
    if saved.end is None:
        problems.append('no end marker: the recording did not end normally (a crash?) or is '
                        'still being written')
    elif saved.metadata.get('complete') is False or saved.end.get('complete') is False:
        problems.append('the metadata marks the recording incomplete (a write error while recording)')
    end_rows = (saved.end or {}).get('gaze_rows')
    if isinstance(end_rows, integer_types) and end_rows != len(saved.gaze):
        problems.append('the end marker counts %d gaze rows, %s holds %d readable ones'
                        % (end_rows, GAZE_FILE, len(saved.gaze)))
    if saved.metadata and 'display_area' not in saved.metadata:
        problems.append('the metadata holds no display area')
    if saved.columns and 'time_us' not in saved.columns:
        problems.append('%s has no time_us column' % GAZE_FILE)
    return problems
