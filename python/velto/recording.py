"""Recording gaze and events to disk as they arrive (velto.reader reads
them back).

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

The device library's threads only append records to a queue (gaze samples
to one of their own); a writer thread formats and writes them in batches,
the gaze rows through the column table's compiled formatter
(velto.columns), and flushes the files at least every `flush_interval`
seconds (0.5 by default), so whatever happens to the Python program, the
files hold what arrived up to the last flush, and everything when the
recording is closed normally.

Data layer: imports the device layer (tracker, streams, clock) and the
leaf helpers, and registers itself as what Tracker.record() makes.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import heapq
import io
import itertools
import json
import os
import re
import threading
import time

from . import _runtime, streams
from ._compat import integer_types, string_types, to_unicode
from .clock import LinkedClock, estimate_clock
from .columns import COLUMN_SETS, column_dicts, format_rows, header
from .errors import VeltoError
from .files import EVENTS_FILE, GAZE_FILE, IMAGES_FOLDER, METADATA_FILE, json_line, jsonable, \
    now_iso, path_text, write_json_atomically
from .files import RECORDING_FORMAT as FORMAT
from .tracker import provide, system_time, versions

# Seconds between re-checks of the marker clock (LinkedClock) on the writer thread.
MARKER_CLOCK_CHECK_S = 5.0
# A queued marker is written at the latest once the library's clock is this
# far past its time, even when no gaze or event came after it.
MARKER_HOLD_US = 1000000
# Checks and keeps a marker's fields as JSON text on the calling thread (made once: cheaper).
_FIELDS_ENCODER = json.JSONEncoder(allow_nan=False, ensure_ascii=True)

# Kept importable from here, where they lived before the reader and the
# column table had modules of their own.
from .columns import Column, gaze_row  # noqa: E402,F401
from .reader import SavedRecording, load_recording  # noqa: E402,F401


def _record_time(record):
    """The system time stamp a record is filed under."""
    if 'system_time_stamp' in record:
        return record['system_time_stamp']
    return record.get('system_request_time_stamp')


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
    `markers` (written), `start_system_us`, `clock` (the latest
    ClockEstimate, or None), `closed`. mark() puts a marker on the gaze
    rows' clock (docs/python-api.md, "Markers").
    Adopted by its tracker while open.
    """

    kind = 'recording'

    def __init__(self, tracker, folder, columns='compact', events=streams.EVENT_STREAMS,
                 eye_images=True, overwrite=False, flush_interval=0.5):
        if columns not in COLUMN_SETS:
            raise ValueError('columns must be one of %s' % ', '.join(sorted(COLUMN_SETS)))
        if not 0 < flush_interval <= 1.0:
            raise ValueError('flush_interval must be between 0 and 1 s')
        if isinstance(events, string_types):
            events = (events,)  # one stream's name, not its letters
        unknown = [e for e in events if e not in streams.EVENT_STREAMS]
        if unknown:
            raise ValueError('unknown event streams: %s' % ', '.join(unknown))
        self.tracker = tracker
        self.folder = os.path.abspath(path_text(folder, 'the recording folder'))
        self.columns = columns
        self.flush_interval = flush_interval
        self.gaze_rows = 0
        self.event_counts = collections.Counter()
        self.clock = None
        self.closed = False
        self.write_error = None
        self._gaze = collections.deque()     # gaze dicts, appended on a library thread
        self._pending = collections.deque()  # (stream, record) of the event streams, likewise
        self._sync_records = []
        self._subscriptions = []
        self._stop = threading.Event()
        self._interrupted = False
        self._close_lock = threading.Lock()
        self._images = 0
        # Markers: mark() appends (system time, order, label, fields JSON, source);
        # the writer keeps them in a heap until it has written past their time.
        self.markers = 0
        self._marks = collections.deque()
        self._held_marks = []
        self._mark_order = itertools.count()
        self._mark_lock = threading.Lock()
        self._marking = False
        self._marker_clock = None
        self._marker_clock_checked = 0.0
        self._written_until = None
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
            'columns': column_dicts(self.columns),
            'column_set': self.columns,
            'tracker': tracker.to_dict(),
            'versions': versions(tracker.timeout),
            'calibration': tracker.calibration_in_use,
            'validation': (tracker.last_validation.to_dict()
                           if getattr(tracker, 'last_validation', None) else None),
            'markers': 0, 'marker_clock': None,
            'streams': ['gaze'] + list(self._streams),
            'clock': None, 'end': None, 'complete': False,
        }
        self.metadata.update(tracker.settings())
        self._marker_clock = LinkedClock(tracker.timeout)
        self._marker_clock_checked = time.time()
        self.start_system_us = system_time(tracker.timeout)
        self.metadata['start'] = {'system_time_us': self.start_system_us, 'wall_clock_utc': now_iso(),
                                  'unix_time': time.time()}
        self._gaze_file = io.open(os.path.join(self.folder, GAZE_FILE), 'wb')
        self._events_file = io.open(os.path.join(self.folder, EVENTS_FILE), 'wb')
        self._gaze_file.write((header(self.columns) + '\n').encode('ascii'))
        self._events_file.write(json_line({'stream': 'recording', 'event': 'start', 't_us': 0,
                                            'system_time_stamp': self.start_system_us}))
        self._write_metadata()
        self._marking = True
        self._writer = threading.Thread(target=self._write_loop, name='velto-recording-writer')
        self._writer.daemon = True  # at exit the exit hook closes the recording first
        self._writer.start()
        tracker.adopt(self)
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
            # The gaze callback is the queue's own append: no Python frame a sample.
            self._subscriptions.append(tracker.subscribe('gaze', callback=self._gaze.append))
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

    # ---------------------------------------------------------------- writer thread

    def _write_loop(self):
        last_flush = last_metadata = time.time()
        while True:
            # A plain sleep: a timed Event.wait polls on 2.7, dozens of wake-ups a second.
            time.sleep(0.1)
            stopping = self._stop.is_set()
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
        while pending:
            stream, record = pending.popleft()
            self._write_markers(_record_time(record))
            self._guard(self._write_event, stream, record)
        gaze = self._gaze
        popleft = gaze.popleft
        batch = [popleft() for _ in range(len(gaze))]  # only this thread takes from it
        if batch:
            self.gaze_rows += len(batch)
            if self.write_error is None:
                self._guard(self._write_gaze, batch)
        self._write_markers(batch[-1].get('system_time_stamp') if batch else None, True)

    def _write_gaze(self, batch):
        text = format_rows(batch, self.start_system_us, self.columns)
        self._gaze_file.write(text if isinstance(text, bytes) else text.encode('ascii'))

    def _write_event(self, stream, record):
        self.event_counts[stream] += 1
        if stream == 'time_sync':
            self._sync_records.append(record)
        if self.write_error is not None:
            return
        line = jsonable(dict((k, v) for k, v in record.items() if k != 'image_data'))
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
        self._events_file.write(json_line(line))

    def _write_markers(self, until=None, passing=False, final=False):
        """Writes the queued markers up to system time `until` (the latest
        written so far), in time order; with `passing` also those the
        library's clock has passed by MARKER_HOLD_US (and, on the writer
        thread, re-checks the marker clock when due); `final`: all."""
        marks, held = self._marks, self._held_marks
        while marks:
            heapq.heappush(held, marks.popleft())
        if until is not None:
            self._written_until = max(until, self._written_until or until)
        limit = self._written_until
        if passing:
            if time.time() - self._marker_clock_checked >= MARKER_CLOCK_CHECK_S and \
                    threading.current_thread() is self._writer:
                self._marker_clock_checked = time.time()
                try:
                    self._marker_clock.check()
                except VeltoError:
                    pass  # the library busy or gone: the link in use stays
            limit = max(limit, self._marker_clock.now_us() - MARKER_HOLD_US) \
                if limit is not None else self._marker_clock.now_us() - MARKER_HOLD_US
        while held and (final or limit is not None and held[0][0] <= limit):
            stamp, _, label, fields, source = heapq.heappop(held)
            self.markers += 1
            if self.write_error is None:
                self._guard(self._events_file.write, json_line({
                    'stream': 'marker', 't_us': stamp - self.start_system_us,
                    'system_time_stamp': stamp, 'label': label,
                    'fields': json.loads(fields) if fields else {}, 'time_source': source}))

    def _update_clock(self):
        estimate = estimate_clock(self._sync_records)
        if estimate is not None:
            self.clock = estimate
            self.metadata['clock'] = estimate.to_dict()

    def _write_metadata(self):
        self.metadata['gaze_rows'] = self.gaze_rows
        self.metadata['markers'] = self.markers
        if self._marker_clock is not None:
            self.metadata['marker_clock'] = self._marker_clock.to_dict()
        self.metadata['event_counts'] = dict(self.event_counts)
        write_json_atomically(os.path.join(self.folder, METADATA_FILE), jsonable(self.metadata))

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

    def now_us(self):
        """The library's system time now (float microseconds), read from
        Python's clock through the marker clock: no request round trip."""
        return self._marker_clock.now_us()

    def mark(self, label, system_time_us=None, **fields):
        """Puts a marker into events.jsonl at the time of this call (the
        gaze rows' clock), or at `system_time_us` (an int, library system
        time, as from now_us()) measured by the caller. `label`: text;
        `fields`: JSON data kept with it. Returns at once: the writer thread
        writes it once past its time. Raises TypeError / ValueError for bad
        input and VeltoError on a closed recording, writing nothing then."""
        now = self._marker_clock.now_us() if system_time_us is None else None
        if not self._marking:
            raise VeltoError('mark', None, 'folder %s' % self.folder,
                             name='the recording is closed' if self.closed else
                             'the recording is not started')
        if not isinstance(label, string_types):
            raise TypeError('mark: the label must be text, not %s' % type(label).__name__)
        try:
            label = label.decode('utf-8') if isinstance(label, bytes) else label
        except UnicodeDecodeError:
            raise ValueError('mark: the label is not UTF-8 text: %r' % (label,))
        if not label:
            raise ValueError('mark: the label is empty')
        if system_time_us is None:
            stamp, source = int(round(now)), 'mark'
        elif isinstance(system_time_us, integer_types) and not isinstance(system_time_us, bool):
            stamp, source = system_time_us, 'caller'
        elif isinstance(system_time_us, float) and system_time_us - system_time_us == 0:
            stamp, source = int(round(system_time_us)), 'caller'
        else:
            raise TypeError('mark: system_time_us must be a finite number of microseconds '
                            '(library system time), not %r' % (system_time_us,))
        text = None
        if fields:
            try:
                text = _FIELDS_ENCODER.encode(fields)
            except (TypeError, ValueError) as error:
                kind = TypeError if isinstance(error, TypeError) else ValueError
                raise kind('mark(%r): fields must be JSON data (text, finite numbers, True, '
                           'False, None, lists and dicts of them): %s' % (label, error))
        with self._mark_lock:
            if not self._marking:
                raise VeltoError('mark', None, 'folder %s' % self.folder,
                                 name='the recording is closed')
            self._marks.append((stamp, next(self._mark_order), label, text, source))

    def close(self, timeout=None, reason=None):
        """Ends the recording: unsubscribes, writes what is still queued, the
        end marker and the final metadata, and closes the files."""
        with self._close_lock:
            if self.closed:
                return
            self.closed = True
        if reason is None:
            reason = ('interrupted (Ctrl-C)' if self._interrupted else
                      'closed at interpreter exit' if _runtime.exiting() else 'stopped')
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
        with self._mark_lock:
            self._marking = False  # later marks raise: the end line is next
        self._write_markers(final=True)
        end_us = None
        try:
            end_us = system_time(min(self.tracker.timeout, 3.0))
        except VeltoError:
            pass
        self._update_clock()
        end = {'reason': reason, 'wall_clock_utc': now_iso(), 'unix_time': time.time(),
               'system_time_us': end_us, 'gaze_rows': self.gaze_rows,
               'events': sum(self.event_counts.values())}
        line = {'stream': 'recording', 'event': 'end', 't_us': None if end_us is None
                else end_us - self.start_system_us}
        line.update(end)
        self._guard(self._events_file.write, json_line(jsonable(line)))
        for stream in (self._gaze_file, self._events_file):
            self._guard(stream.flush)
            self._guard(os.fsync, stream.fileno())
            self._guard(stream.close)
        self.metadata['end'] = end
        self.metadata['complete'] = self.write_error is None
        self._guard(self._write_metadata)
        self.tracker.disown(self)

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


provide('record', Recording)
