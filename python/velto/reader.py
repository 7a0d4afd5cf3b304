"""Recordings read back: load_recording(folder) gives a SavedRecording.

Data layer: the column types come from the column table (velto.columns);
the file names from velto.files. Metadata keys a later writer adds are
kept as they are; readers treat the newer ones as optional.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import csv
import io
import json
import os

from ._compat import PY2, integer_types
from .clock import ClockEstimate, estimate_clock
from .columns import reader_types
from .files import EVENTS_FILE, GAZE_FILE, METADATA_FILE, path_text, read_json
from .geometry import DisplayArea

_NAN = float('nan')


# Analyses of a saved recording that modules above this one provide, by name:
# SavedRecording.quality() calls ANALYSES['quality'] (velto.quality fills it).
ANALYSES = {}


class SavedRecording(object):
    """A recording folder read back (velto.load_recording).

    `metadata` (dict), `columns` (names), `gaze` (list of dicts, one per
    row: integers for times and validity, floats elsewhere, NaN where the
    file is empty), `events` (list of dicts, the start and end markers
    included), `end` (the end marker's dict or None), `complete` (the end
    marker is there, nothing says otherwise and the rows on disk are the
    rows it counts), `intact` (complete, no gap, no lost connection; None
    for a recording older than that check), `damage` (why not, one text
    each), `data_loss` (the metadata's, or None), `gaps` (the gap events),
    `markers` (the marker events), `display_area` (DisplayArea), `clock`
    (ClockEstimate from the metadata, or worked out from the time
    synchronisation events), `truncated` (a line cut off, as by a crash
    while writing).
    """

    def __init__(self, folder):
        self.folder = os.path.abspath(path_text(folder, 'the recording folder'))
        self.metadata = read_json(os.path.join(self.folder, METADATA_FILE))
        self._read_gaze()
        self._read_events()
        ends = [e for e in self.events if e.get('stream') == 'recording' and e.get('event') == 'end']
        self.end = ends[-1] if ends else None
        self._judge()
        self.display_area = DisplayArea.from_dict(self.metadata['display_area'])
        clock = self.metadata.get('clock')
        if clock:
            self.clock = ClockEstimate(**dict((str(k), v) for k, v in clock.items()))
        else:
            self.clock = estimate_clock([e for e in self.events if e.get('stream') == 'time_sync'])

    def _judge(self):
        """complete, intact and damage from every signal there is: the end
        marker, the metadata and what the files hold."""
        meta, end = self.metadata, self.end
        self.data_loss = meta.get('data_loss')
        self.gaps = [e for e in self.events if e.get('stream') == 'gap']
        marks = [e for e in self.events if e.get('stream') == 'marker']
        self.markers = sorted(marks, key=lambda e: (e.get('t_us') is None, e.get('t_us')))
        damage = []
        if end is None:
            damage.append('no end marker: the recording did not end normally or is still being written')
        else:
            rows = end.get('gaze_rows')
            if isinstance(rows, integer_types) and rows != len(self.gaze):
                damage.append('the end marker counts %d gaze rows, %s holds %d'
                              % (rows, GAZE_FILE, len(self.gaze)))
            if end.get('complete') is False or meta.get('complete') is False:
                damage.append('marked incomplete (a write error while recording)')
        if self.truncated:
            damage.append('a line cut off or damaged')
        self.complete = not damage
        for text in meta.get('damage') or ():
            if text not in damage:
                damage.append(text)
        self.damage = damage
        if 'intact' in meta:
            self.intact = self.complete and bool(meta['intact']) and not damage
        else:
            self.intact = None if self.complete else False

    def _read_gaze(self):
        path = os.path.join(self.folder, GAZE_FILE)
        if PY2:
            stream = io.open(path, 'rb')
        else:
            stream = io.open(path, 'r', newline='', encoding='ascii')
        with stream:
            rows = list(csv.reader(stream))
        self.columns = [str(c) for c in rows[0]]
        types = reader_types(self.columns)
        width = len(self.columns)
        self.truncated = False
        self.gaze = []
        for row in rows[1:]:
            if len(row) != width:
                self.truncated = True
                continue
            try:
                values = [read(t) if t else _NAN for t, read in zip(row, types)]
            except ValueError:
                self.truncated = True
                continue
            self.gaze.append(dict(zip(self.columns, values)))

    def _read_events(self):
        self.events = []
        with io.open(os.path.join(self.folder, EVENTS_FILE), 'rb') as stream:
            for line in stream:
                try:
                    self.events.append(json.loads(line.decode('utf-8')))
                except ValueError:
                    self.truncated = True  # a line cut off while being written

    def quality(self, **options):
        """The data quality report of this recording (velto.recording_quality)."""
        return ANALYSES['quality'](self, **options)

    def column(self, name):
        """One gaze column as a list."""
        return [row[name] for row in self.gaze]

    def event_counts(self):
        """Events per stream (the start and end markers not counted)."""
        counts = collections.Counter(e.get('stream') for e in self.events)
        counts.pop('recording', None)
        return dict(counts)

    def system_time(self, row):
        """A row's absolute system time stamp."""
        return self.metadata['start']['system_time_us'] + row['time_us']


def load_recording(folder):
    """Reads a recording folder back: a SavedRecording."""
    return SavedRecording(folder)
