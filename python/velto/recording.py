"""Recording gaze and events to disk as they arrive, and reading it back.

    with tracker.record('session-01') as recording:
        recording.wait(60)          # one minute; Ctrl-C ends it early

A recording folder holds:

- gaze.csv: one row per gaze sample (columns below; `columns='full'` for all
  of the tracker's data);
- events.jsonl: one JSON object per line for every record of the event
  streams (external signal, time synchronisation, stream errors,
  notifications, eye images, log), in arrival order, framed by a
  {"stream": "recording", "event": "start"} line and, when the recording
  ended normally (stopped, Ctrl-C, an exception in your code, interpreter
  exit), an {"stream": "recording", "event": "end"} line;
- eye_images/: each eye image as a GIF file named in its events line;
- metadata.json: the tracker, its settings, the last calibration's quality,
  versions, the start time, the column list with units, the clock relation
  (device against system time) and, once ended, how and when it ended.

The device library's threads only append records to a queue; a writer
thread formats and writes them and flushes the files at least every
`flush_interval` seconds (0.5 by default), so whatever happens to the
Python program, the files hold what arrived up to the last flush, and
everything when the recording is closed normally.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import csv
import io
import json
import math
import os
import re
import tempfile
import threading
import time

from . import _runtime, streams
from ._compat import PY2, binary_type, text_type, to_unicode
from .clock import ClockEstimate, estimate_clock
from .errors import VeltoError
from .tracker import DisplayArea, system_time, versions

FORMAT = 'velto-recording 1'
GAZE_FILE = 'gaze.csv'
EVENTS_FILE = 'events.jsonl'
METADATA_FILE = 'metadata.json'
IMAGES_FOLDER = 'eye_images'

Column = collections.namedtuple('Column', 'name unit description')

_VALID_FLAGS = ('which of the {eye} eye\'s data are valid, as a sum: 1 gaze point, 2 pupil, '
                '4 gaze origin (7: all; 0: none, e.g. during a blink)')
_XY = ('{eye} eye\'s gaze point on the display area, normalised: 0 at the {low} edge, 1 at the '
       '{high} edge (outside 0..1: off the screen); 4 decimals; empty when not valid')


def _eye_columns(eye, full):
    columns = [Column(eye + '_x', 'display width', _XY.format(eye=eye, low='left', high='right')),
               Column(eye + '_y', 'display height', _XY.format(eye=eye, low='top', high='bottom'))]
    if full:
        columns += [Column('%s_gaze_%s_mm' % (eye, axis), 'mm',
                           '%s eye\'s gaze point in the user coordinate system (origin at the '
                           'tracker, x right, y up, z towards the user); 1 decimal' % eye)
                    for axis in 'xyz']
    columns.append(Column(eye + '_pupil', 'mm', '%s pupil diameter; 2 decimals; empty when not '
                                                'valid' % eye))
    if full:
        columns += [Column('%s_origin_%s_mm' % (eye, axis), 'mm',
                           '%s eye\'s position (gaze origin), user coordinate system; 1 decimal'
                           % eye) for axis in 'xyz']
        columns += [Column('%s_origin_box_%s' % (eye, axis), 'track box',
                           '%s eye\'s position in the track box, 0..1 (x from the left face, y '
                           'from the upper face, z from the front face); 4 decimals' % eye)
                    for axis in 'xyz']
        columns += [Column('%s_%s_validity' % (eye, group), 'code',
                           'the tracker\'s validity value of the %s eye\'s %s (1: valid)'
                           % (eye, group.replace('_', ' '))) for group in ('gaze', 'pupil', 'origin')]
    return columns


_TIME = Column('time_us', 'us', 'sample time (system clock) minus the recording start '
                                '(metadata start.system_time_us); integer microseconds')
COLUMN_SETS = {
    'compact': [_TIME] + _eye_columns('left', False)[:2] + _eye_columns('right', False)[:2] + [
        Column('left_pupil', 'mm', 'left pupil diameter; 2 decimals; empty when not valid'),
        Column('right_pupil', 'mm', 'right pupil diameter; 2 decimals; empty when not valid'),
        Column('left_valid', 'flags', _VALID_FLAGS.format(eye='left')),
        Column('right_valid', 'flags', _VALID_FLAGS.format(eye='right'))],
    'full': [_TIME,
             Column('system_time_us', 'us', 'sample time stamp, system clock (absolute)'),
             Column('device_time_us', 'us', 'sample time stamp, the tracker\'s clock (absolute)')]
            + _eye_columns('left', True) + _eye_columns('right', True),
}


# -------------------------------------------------------------------- formatting

def _fixed(value, digits):
    """`value` with at most `digits` decimals and no trailing zeros; '' for NaN."""
    if value != value:
        return ''
    text = '%.*f' % (digits, value)
    if '.' in text:
        text = text.rstrip('0').rstrip('.')
    return '0' if text == '-0' else text


def _flags(sample, eye):
    return ((sample[eye + '_gaze_point_validity'] == 1) +
            2 * (sample[eye + '_pupil_validity'] == 1) +
            4 * (sample[eye + '_gaze_origin_validity'] == 1))


def _compact_row(sample, start):
    out = ['%d' % (sample['system_time_stamp'] - start)]
    for eye in ('left', 'right'):
        if sample[eye + '_gaze_point_validity'] == 1:
            x, y = sample[eye + '_gaze_point_on_display_area']
            out.append(_fixed(x, 4))
            out.append(_fixed(y, 4))
        else:
            out.append('')
            out.append('')
    for eye in ('left', 'right'):
        out.append(_fixed(sample[eye + '_pupil_diameter'], 2)
                   if sample[eye + '_pupil_validity'] == 1 else '')
    out.append('%d' % _flags(sample, 'left'))
    out.append('%d' % _flags(sample, 'right'))
    return ','.join(out)


def _full_row(sample, start):
    out = ['%d' % (sample['system_time_stamp'] - start), '%d' % sample['system_time_stamp'],
           '%d' % sample['device_time_stamp']]
    for eye in ('left', 'right'):
        gaze_ok = sample[eye + '_gaze_point_validity'] == 1
        origin_ok = sample[eye + '_gaze_origin_validity'] == 1
        point = sample[eye + '_gaze_point_on_display_area']
        out.extend(_fixed(v, 4) if gaze_ok else '' for v in point)
        out.extend(_fixed(v, 1) if gaze_ok else ''
                   for v in sample[eye + '_gaze_point_in_user_coordinate_system'])
        out.append(_fixed(sample[eye + '_pupil_diameter'], 2)
                   if sample[eye + '_pupil_validity'] == 1 else '')
        out.extend(_fixed(v, 1) if origin_ok else ''
                   for v in sample[eye + '_gaze_origin_in_user_coordinate_system'])
        out.extend(_fixed(v, 4) if origin_ok else ''
                   for v in sample[eye + '_gaze_origin_in_trackbox_coordinate_system'])
        for key in ('_gaze_point_validity', '_pupil_validity', '_gaze_origin_validity'):
            out.append('%d' % sample[eye + key])
    return ','.join(out)


_ROW_FORMATS = {'compact': _compact_row, 'full': _full_row}


def gaze_row(sample, start=0, columns='compact'):
    """One gaze dict as the CSV line (without the newline) a recording writes."""
    return _ROW_FORMATS[columns](sample, start)


def _jsonable(value):
    """Stream values as JSON: texts as text whatever their bytes, tuples as
    lists, NaN as null (strict JSON has no NaN)."""
    if isinstance(value, dict):
        return dict((to_unicode(k), _jsonable(v)) for k, v in value.items())
    if isinstance(value, (tuple, list)):
        return [_jsonable(v) for v in value]
    if isinstance(value, (text_type, binary_type)):
        return to_unicode(value)
    if isinstance(value, float) and (math.isnan(value) or math.isinf(value)):
        return None
    return value


def _json_line(obj):
    return (json.dumps(obj, sort_keys=True, ensure_ascii=True, allow_nan=False) + '\n').encode('ascii')


def _record_time(record):
    """The system time stamp a record is filed under."""
    if 'system_time_stamp' in record:
        return record['system_time_stamp']
    return record.get('system_request_time_stamp')


def _now_iso():
    return time.strftime('%Y-%m-%dT%H:%M:%SZ', time.gmtime())


def _write_json_atomically(path, obj):
    """Replaces `path` whole: a reader never sees a half-written file."""
    folder = os.path.dirname(path)
    handle, temporary = tempfile.mkstemp(prefix='.metadata-', dir=folder)
    try:
        with io.open(handle, 'wb') as stream:
            stream.write(json.dumps(obj, sort_keys=True, indent=2, allow_nan=False).encode('utf-8'))
            stream.write(b'\n')
        os.chmod(temporary, 0o644)
        os.rename(temporary, path)
    except BaseException:
        if os.path.exists(temporary):
            os.unlink(temporary)
        raise


# -------------------------------------------------------------------- recording

class Recording(_runtime.Closable):
    """Gaze and events of one tracker written to a folder while they arrive.
    Made (and started) by Tracker.record(folder, ...); ends with close(), at
    the end of its `with` block, with its tracker, or at interpreter exit.

    Options: `columns` 'compact' (default, about 50 bytes a row) or 'full';
    `events`: the event streams to record (default all the tracker offers,
    the library's log included); `eye_images` False to leave them out;
    `overwrite` True to replace an earlier recording in the folder;
    `flush_interval`: seconds between flushes (at most 1).

    Attributes: `folder`, `gaze_rows`, `event_counts` (per stream),
    `start_system_us`, `clock` (the latest ClockEstimate, or None), `closed`.
    """

    _exit_order = 4

    def __init__(self, tracker, folder, columns='compact', events=streams.EVENT_STREAMS,
                 eye_images=True, overwrite=False, flush_interval=0.5):
        if columns not in COLUMN_SETS:
            raise ValueError('columns must be one of %s' % ', '.join(sorted(COLUMN_SETS)))
        if not 0 < flush_interval <= 1.0:
            raise ValueError('flush_interval must be between 0 and 1 s')
        unknown = [e for e in events if e not in streams.EVENT_STREAMS]
        if unknown:
            raise ValueError('unknown event streams: %s' % ', '.join(unknown))
        self.tracker = tracker
        self.folder = os.path.abspath(folder)
        self.columns = columns
        self.flush_interval = flush_interval
        self.gaze_rows = 0
        self.event_counts = collections.Counter()
        self.clock = None
        self.closed = False
        self.write_error = None
        self._serial = tracker._serial
        self._format = _ROW_FORMATS[columns]
        self._pending = collections.deque()  # (stream, record), appended on library threads
        self._sync_records = []
        self._subscriptions = []
        self._stop = threading.Event()
        self._interrupted = False
        self._close_lock = threading.Lock()
        self._images = 0
        self._prepare_folder(overwrite)
        wanted = [e for e in events if e != 'eye_images' or eye_images]
        offered = [e for e in wanted
                   if streams.STREAM_CAPABILITIES.get(e) in (None,) + tuple(tracker.capabilities)]
        if 'time_sync' not in offered:
            offered.append('time_sync')  # needed for the clock relation
        self._streams = offered
        self._start()

    def _prepare_folder(self, overwrite):
        if not os.path.isdir(self.folder):
            os.mkdir(self.folder)  # one level: a missing parent is a mistake worth reporting
        for name in (GAZE_FILE, EVENTS_FILE, METADATA_FILE):
            path = os.path.join(self.folder, name)
            if os.path.exists(path) and not overwrite:
                raise VeltoError('record', None, 'folder %s; pass overwrite=True to replace it'
                                 % self.folder, name='the folder holds a recording already')
        self._image_folder = os.path.join(self.folder, IMAGES_FOLDER)
        if overwrite and os.path.isdir(self._image_folder):
            # Images of the earlier recording would otherwise mix with the new ones.
            for name in os.listdir(self._image_folder):
                if re.match(r'^\d{6}_cam\d+\.gif$', name):
                    os.unlink(os.path.join(self._image_folder, name))

    def _start(self):
        tracker = self.tracker
        self.metadata = {
            'format': FORMAT,
            'files': {'gaze': GAZE_FILE, 'events': EVENTS_FILE, 'eye_images': IMAGES_FOLDER},
            'columns': [dict(c._asdict()) for c in COLUMN_SETS[self.columns]],
            'column_set': self.columns,
            'tracker': tracker.to_dict(),
            'versions': versions(tracker.timeout),
            'calibration': tracker.last_calibration.to_dict() if tracker.last_calibration else None,
            'streams': ['gaze'] + list(self._streams),
            'clock': None, 'end': None, 'complete': False,
        }
        self.metadata.update(tracker.settings())
        self.start_system_us = system_time(tracker.timeout)
        self.metadata['start'] = {'system_time_us': self.start_system_us, 'wall_clock_utc': _now_iso(),
                                  'unix_time': time.time()}
        self._gaze_file = io.open(os.path.join(self.folder, GAZE_FILE), 'wb')
        self._events_file = io.open(os.path.join(self.folder, EVENTS_FILE), 'wb')
        self._gaze_file.write((','.join(c.name for c in COLUMN_SETS[self.columns]) + '\n')
                              .encode('ascii'))
        self._events_file.write(_json_line({'stream': 'recording', 'event': 'start', 't_us': 0,
                                            'system_time_stamp': self.start_system_us}))
        self._write_metadata()
        self._writer = threading.Thread(target=self._write_loop, name='velto-recording-writer')
        self._writer.daemon = True  # at exit the exit hook closes the recording first
        self._writer.start()
        _runtime.register(self)
        tracker._adopt(self)
        try:
            # Events first, gaze last, so the clock and context are there from the first sample.
            for stream in self._streams:
                try:
                    self._subscriptions.append(tracker.subscribe(stream, callback=self._listener(stream)))
                except VeltoError as error:
                    if stream == 'time_sync':
                        raise
                    # An event stream that cannot be had (the log taken by
                    # someone else, say) is noted, not fatal.
                    self.metadata['streams'].remove(stream)
                    self.metadata.setdefault('streams_missing', {})[stream] = to_unicode(error.args[0])
            self._subscriptions.append(tracker.subscribe('gaze', callback=self._on_gaze))
            if 'streams_missing' in self.metadata:
                self._guard(self._write_metadata)
        except BaseException:
            self.close(reason='failed to start')
            raise

    def _listener(self, stream):
        append = self._pending.append

        def on_record(record):  # on a device library thread: append only
            append((stream, record))
        return on_record

    def _on_gaze(self, sample):  # on a device library thread: append only
        self._pending.append(('gaze', sample))

    # ---------------------------------------------------------------- writer thread

    def _write_loop(self):
        last_flush = last_metadata = time.time()
        while True:
            stopping = self._stop.wait(0.1)
            self._write_pending()
            now = time.time()
            if now - last_flush >= self.flush_interval or stopping:
                self._flush()
                last_flush = now
            if now - last_metadata >= 10.0 and not stopping:
                # A crash leaves a recent clock relation behind too.
                self._update_clock()
                self._guard(self._write_metadata)
                last_metadata = now
            if stopping:
                return

    def _guard(self, action, *args):
        try:
            action(*args)
        except Exception as error:  # disk full, folder removed, ...
            if self.write_error is None:
                self.write_error = error
                _runtime.report_exception('writing the recording in %s' % self.folder)

    def _flush(self):
        self._guard(self._gaze_file.flush)
        self._guard(self._events_file.flush)

    def _write_pending(self):
        pending = self._pending
        gaze_lines = []
        start = self.start_system_us
        while pending:
            stream, record = pending.popleft()
            if stream == 'gaze':
                gaze_lines.append(self._format(record, start))
                continue
            if gaze_lines:  # keep the files' order of arrival within one batch simple
                self._write_gaze(gaze_lines)
                gaze_lines = []
            self._guard(self._write_event, stream, record)
        if gaze_lines:
            self._write_gaze(gaze_lines)

    def _write_gaze(self, lines):
        self.gaze_rows += len(lines)
        if self.write_error is None:
            self._guard(self._gaze_file.write, ('\n'.join(lines) + '\n').encode('ascii'))

    def _write_event(self, stream, record):
        self.event_counts[stream] += 1
        if stream == 'time_sync':
            self._sync_records.append(record)
        if self.write_error is not None:
            return
        line = _jsonable(dict((k, v) for k, v in record.items() if k != 'image_data'))
        stamp = _record_time(record)
        line['stream'] = stream
        line['t_us'] = None if stamp is None else stamp - self.start_system_us
        if stream == 'eye_images':
            self._images += 1
            if self._images == 1 and not os.path.isdir(self._image_folder):
                os.mkdir(self._image_folder)
            name = '%s/%06d_cam%d.gif' % (IMAGES_FOLDER, self._images, record['camera_id'])
            with io.open(os.path.join(self.folder, name), 'wb') as image:
                image.write(record['image_data'])
            line['file'] = name
            line['bytes'] = len(record['image_data'])
        self._events_file.write(_json_line(line))

    def _update_clock(self):
        estimate = estimate_clock(self._sync_records)
        if estimate is not None:
            self.clock = estimate
            self.metadata['clock'] = estimate.to_dict()

    def _write_metadata(self):
        self.metadata['gaze_rows'] = self.gaze_rows
        self.metadata['event_counts'] = dict(self.event_counts)
        _write_json_atomically(os.path.join(self.folder, METADATA_FILE), _jsonable(self.metadata))

    # ---------------------------------------------------------------- control

    def wait(self, seconds=None):
        """Records for `seconds` (None: until Ctrl-C). Ctrl-C ends the wait
        early: returns False then (the recording goes on until closed, and
        its end is marked "interrupted"), True after the full time."""
        end = None if seconds is None else time.time() + seconds
        try:
            while end is None or time.time() < end:
                time.sleep(0.1 if end is None else max(0.0, min(0.1, end - time.time())))
                if self.write_error is not None:
                    raise self.write_error
        except KeyboardInterrupt:
            self._interrupted = True
            return False
        return True

    def close(self, timeout=None, reason=None):
        """Ends the recording: unsubscribes, writes what is still queued, the
        end marker and the final metadata, and closes the files."""
        with self._close_lock:
            if self.closed:
                return
            self.closed = True
        if reason is None:
            reason = ('interrupted (Ctrl-C)' if self._interrupted else
                      'closed at interpreter exit' if _runtime._exiting else 'stopped')
        try:
            # Stopping the streams first: nothing arrives after the end marker.
            for subscription in reversed(self._subscriptions):
                subscription.close(timeout)
        finally:
            self._finish(reason)

    stop = close

    def _finish(self, reason):
        self.closed = True
        self._stop.set()
        if self._writer.is_alive():
            self._writer.join()
        self._write_pending()  # anything that came after the writer's last pass
        end_us = None
        try:
            end_us = system_time(min(self.tracker.timeout, 3.0))
        except VeltoError:
            pass
        self._update_clock()
        end = {'reason': reason, 'wall_clock_utc': _now_iso(), 'unix_time': time.time(),
               'system_time_us': end_us, 'gaze_rows': self.gaze_rows,
               'events': sum(self.event_counts.values())}
        line = {'stream': 'recording', 'event': 'end', 't_us': None if end_us is None
                else end_us - self.start_system_us}
        line.update(end)
        self._guard(self._events_file.write, _json_line(_jsonable(line)))
        for stream in (self._gaze_file, self._events_file):
            self._guard(stream.flush)
            self._guard(os.fsync, stream.fileno())
            self._guard(stream.close)
        self.metadata['end'] = end
        self.metadata['complete'] = self.write_error is None
        self._guard(self._write_metadata)
        _runtime.unregister(self)
        self.tracker._forget(self)

    def __exit__(self, kind, value, trace):
        reason = None
        if kind is not None:
            reason = ('interrupted (Ctrl-C)' if issubclass(kind, KeyboardInterrupt)
                      else 'exception: %s: %s' % (kind.__name__, value))
        self.close(reason=reason)
        return False

    def __repr__(self):
        return '<velto.Recording %s%s, %d gaze rows>' % (
            self.folder, ' closed' if self.closed else '', self.gaze_rows)


# -------------------------------------------------------------------- reading back

def _number(text, integer):
    if text == '':
        return float('nan')
    return int(text) if integer else float(text)


class SavedRecording(object):
    """A recording folder read back (velto.load_recording).

    `metadata` (dict), `columns` (names), `gaze` (list of dicts, one per
    row: integers for times and validity, floats elsewhere, NaN where the
    file is empty), `events` (list of dicts, the start and end markers
    included), `complete` (an end marker is there), `end` (its dict or None),
    `display_area` (DisplayArea), `clock` (ClockEstimate from the metadata,
    or worked out from the time synchronisation events), `truncated` (the
    last gaze line was cut off, as by a crash while writing).
    """

    def __init__(self, folder):
        self.folder = os.path.abspath(folder)
        with io.open(os.path.join(self.folder, METADATA_FILE), 'rb') as stream:
            self.metadata = json.loads(stream.read().decode('utf-8'))
        self._read_gaze()
        self._read_events()
        ends = [e for e in self.events if e.get('stream') == 'recording' and e.get('event') == 'end']
        self.end = ends[-1] if ends else None
        self.complete = self.end is not None
        self.display_area = DisplayArea.from_dict(self.metadata['display_area'])
        clock = self.metadata.get('clock')
        if clock:
            self.clock = ClockEstimate(**dict((str(k), v) for k, v in clock.items()))
        else:
            self.clock = estimate_clock([e for e in self.events if e.get('stream') == 'time_sync'])

    def _read_gaze(self):
        path = os.path.join(self.folder, GAZE_FILE)
        if PY2:
            stream = io.open(path, 'rb')
        else:
            stream = io.open(path, 'r', newline='', encoding='ascii')
        with stream:
            rows = list(csv.reader(stream))
        self.columns = [str(c) for c in rows[0]]
        integer = [c == 'time_us' or c.endswith(('_us', '_valid', '_validity')) for c in self.columns]
        self.truncated = False
        self.gaze = []
        for row in rows[1:]:
            if len(row) != len(self.columns):
                self.truncated = True
                continue
            try:
                values = [_number(t, i) for t, i in zip(row, integer)]
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
