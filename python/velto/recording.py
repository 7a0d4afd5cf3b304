"""Recording gaze and events to disk as they arrive (velto.reader reads
them back); the folder's files and metadata: docs/python-api.md, "Recording".

    with tracker.record('session-01') as recording:
        recording.wait(60)          # one minute; Ctrl-C ends it early

The device library's threads only append records to queues; a writer thread
formats them in batches (velto.columns) and writes them straight to the
files, each write whole or taken back, so the files hold what arrived up to
the writer's last pass. Losses: velto.losses; markers: velto.markers; Ctrl-C
and SIGTERM: velto.interrupts. Registers itself as what Tracker.record() makes.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import io
import os
import sys
import threading
import time

from . import _runtime, streams
from ._compat import in_foreign_thread, string_types, to_unicode
from .clock import estimate_clock
from .columns import COLUMN_SETS, GazeSink, column_dicts, header
from .errors import VeltoError
from .files import EVENTS_FILE, GAZE_FILE, IMAGES_FOLDER, METADATA_FILE, RESERVE_BYTES, RESERVE_FILE, \
    append_whole, image_files, json_line, jsonable, now_iso, path_text, remove_paths, reserve_space, \
    write_json_atomically
from .files import RECORDING_FORMAT as FORMAT
from .losses import KEPT_KEYS, KEPT_SYSTEM_TIME, Losses
from .interrupts import Shield, Terminated, claim_folder, release_folder, sigterm_received
from .markers import MarkerQueue
from .tracker import provide, system_time, versions


# Kept importable from here, where they lived before the reader and the
# column table had modules of their own.
from .columns import Column, gaze_row  # noqa: E402,F401
from .reader import SavedRecording, load_recording  # noqa: E402,F401


# How often the writer writes what arrived (at most what a crash loses); each
# pass starts cold, so fewer cost less (docs/design-recording.md).
WRITE_INTERVAL_S = 0.25
# The 10-second metadata updates fit the clock to at most this many time sync
# records, so their cost stays flat however long the recording (the end's: all).
PERIODIC_CLOCK_RECORDS = 2000


def _record_time(record):
    """The system time stamp a record is filed under."""
    if 'system_time_stamp' in record:
        return record['system_time_stamp']
    return record.get('system_request_time_stamp')


class Recording(_runtime.Closable):
    """Gaze and events of one tracker written to a folder while they arrive.
    Made by Tracker.record(folder, columns='compact', events=..., eye_images=True,
    overwrite=False, flush_interval=0.5); ends with close(), its `with` block,
    its tracker, or interpreter exit. Options and attributes (`gaze_rows`,
    `rows_written`, `data_loss`, `complete`, `intact`, `markers`, ...):
    docs/python-api.md, "Recording and SavedRecording". One open recording a folder.
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
        self.rows_written = 0
        self.event_counts = collections.Counter()
        self.clock = None
        self.closed = False
        self.complete = self.intact = None
        self.write_error = None
        self.losses = Losses(None, 0)  # replaced at the start
        self._closed_event = threading.Event()
        self._events_written = 0
        self._sink = None                    # where the gaze samples go (made at the start)
        self._pending = collections.deque()  # (stream, record) of the event streams, from library threads
        self._sync_records = []
        self._subscriptions = []
        self._stop = threading.Event()
        self._interrupted = False
        self._close_lock = threading.Lock()
        self._images = 0
        self._markers = MarkerQueue(self.folder)
        self._created = []
        self._key = os.path.realpath(self.folder)
        claim_folder(self._key, self)
        try:
            self._prepare_folder(overwrite)
            wanted = [e for e in events if e != 'eye_images' or eye_images]
            offered = [e for e in wanted
                       if streams.STREAM_CAPABILITIES.get(e) in (None,) + tuple(tracker.capabilities)]
            if 'time_sync' not in offered:
                offered.append('time_sync')  # needed for the clock relation
            # Notifications tell of a lost connection; written only when asked for.
            self._unwritten = set() if 'notifications' in offered else {'notifications'}
            self._streams = offered + sorted(self._unwritten)
            self._start()
        except BaseException:
            if not self.closed:  # failed before the files were made: the folder goes again
                self._remove_created()
            release_folder(self._key, self)
            raise

    def _prepare_folder(self, overwrite):
        if not os.path.isdir(self.folder):
            os.mkdir(self.folder)  # one level: a missing parent is a mistake worth reporting
            self._created.append(self.folder)
        for name in (GAZE_FILE, EVENTS_FILE, METADATA_FILE):
            path = os.path.join(self.folder, name)
            if os.path.exists(path) and not overwrite:
                raise VeltoError('record', None, 'folder %s; pass overwrite=True to replace it'
                                 % self.folder, name='the folder holds a recording already')
        self._image_folder = os.path.join(self.folder, IMAGES_FOLDER)
        if overwrite:  # images of the earlier recording would otherwise mix with the new ones
            remove_paths(image_files(self._image_folder))

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
            'streams': ['gaze'] + [e for e in self._streams if e not in self._unwritten],
            'clock': None, 'end': None, 'complete': False, 'intact': False,
        }
        self.metadata.update(tracker.settings())
        self._markers.start(tracker.timeout)
        self.start_system_us = system_time(tracker.timeout)
        self.losses = Losses(self.metadata.get('gaze_output_frequency_hz'), self.start_system_us)
        self._sink = GazeSink(self.start_system_us, self.columns, KEPT_KEYS)
        self.metadata['start'] = {'system_time_us': self.start_system_us, 'wall_clock_utc': now_iso(),
                                  'unix_time': time.time()}
        self._writer = None
        try:
            # Unbuffered: each write reaches the file whole or is taken back
            # (_append), so a full disk leaves whole lines, and no buffer is
            # left to fail at garbage collection.
            self._gaze_file = self._open(GAZE_FILE)
            self._events_file = self._open(EVENTS_FILE)
            append_whole(self._gaze_file, (header(self.columns) + '\n').encode('ascii'))
            append_whole(self._events_file, json_line({
                'stream': 'recording', 'event': 'start', 't_us': 0,
                'system_time_stamp': self.start_system_us}))
            self._created.append(os.path.join(self.folder, METADATA_FILE))
            self._write_metadata()
            self._created.append(os.path.join(self.folder, RESERVE_FILE))
            reserve_space(self._created[-1], RESERVE_BYTES)  # for the end on a full disk
        except BaseException:
            self._abandon()
            raise
        self._markers.open()
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
                    # someone else, say) is noted, not fatal; without
                    # notifications a lost connection shows as a gap only.
                    if stream in self.metadata['streams']:
                        self.metadata['streams'].remove(stream)
                    self.metadata.setdefault('streams_missing', {})[stream] = to_unicode(error.args[0])
            # The gaze callback only queues: no Python frame a sample.
            self._subscriptions.append(tracker.subscribe('gaze', callback=self._sink.callback))
            if 'streams_missing' in self.metadata:
                self._guard(self._write_metadata)
        except BaseException:
            with Shield():
                self._abandon()
            raise

    def _open(self, name):
        path = os.path.join(self.folder, name)
        stream = io.open(path, 'wb', buffering=0)
        self._created.append(path)
        return stream

    def _abandon(self):
        """Undoes a start that failed: nothing stays open and nothing is left
        in the folder that would refuse a second attempt."""
        self.closed = True
        self._stop.set()
        for subscription in reversed(self._subscriptions):
            self._quietly(subscription.close)
        if self._writer is not None:
            self._writer.join()
        for stream in (getattr(self, '_gaze_file', None), getattr(self, '_events_file', None)):
            if stream is not None:
                self._guard(stream.close)
        self._remove_created()
        self.tracker.disown(self)
        self._closed_event.set()

    def _remove_created(self):
        if self._images:
            self._created.extend(image_files(self._image_folder, self._images))
        remove_paths(reversed(self._created))
        del self._created[:]

    def _listener(self, stream):
        append = self._pending.append

        def on_record(record):  # on a device library thread: append only
            append((stream, record))
        return on_record

    # ---------------------------------------------------------------- writer thread

    def _write_loop(self):
        last_metadata = time.time()
        while True:
            # A plain sleep: a timed Event.wait polls on 2.7, dozens of wake-ups a second.
            time.sleep(WRITE_INTERVAL_S)
            stopping = self._stop.is_set()
            self._write_pending()  # straight to the unbuffered files: nothing to flush
            now = time.time()
            if now - last_metadata >= 10.0 and not stopping:
                # A crash leaves a recent clock relation behind too.
                self._update_clock(PERIODIC_CLOCK_RECORDS)
                self._guard(self._write_metadata)
                last_metadata = now
            if stopping:
                return

    def _guard(self, action, *args):
        """action(*args), its result; False after a failure (the first one is
        kept in write_error and printed)."""
        try:
            return action(*args)
        except Exception as error:  # disk full, folder removed, ...
            if self.write_error is None:
                self.write_error = error
                _runtime.report_exception('writing the recording in %s' % self.folder)
            return False

    def _write_pending(self):
        pending = self._pending
        while pending:
            stream, record = pending.popleft()
            self._write_markers(_record_time(record))
            self._guard(self._write_event, stream, record)
        taken = self._guard(self._sink.take)
        rows, kept = taken or (b'', [])
        if kept:
            self.gaze_rows += len(kept)
            self._write_gaps(self.losses.scan_kept(kept))
            if self.write_error is None:
                self._guard(self._write_gaze, rows, len(kept))
        self._write_markers(kept[-1][KEPT_SYSTEM_TIME] if kept else None, True)

    def _write_gaze(self, rows, count):
        append_whole(self._gaze_file, rows)
        self.rows_written += count

    def _write_event(self, stream, record):
        if stream == 'notifications':
            self._on_notification(record)
            if stream in self._unwritten:
                return
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
                self._created.append(self._image_folder)
            name = '%s/%06d_cam%d.gif' % (IMAGES_FOLDER, self._images, record['camera_id'])
            path = os.path.join(self.folder, name)
            try:
                with io.open(path, 'wb', buffering=0) as image:
                    append_whole(image, record['image_data'])
            except BaseException:
                remove_paths([path])  # no image without its events line
                raise
            line['file'] = name
            line['bytes'] = len(record['image_data'])
        append_whole(self._events_file, json_line(line))
        self._events_written += 1

    def _on_notification(self, record):
        """A lost or restored connection: an events line each."""
        change = self.losses.notification(record)
        if change is not None and self.write_error is None:
            stamp = record.get('system_time_stamp')
            append_whole(self._events_file, json_line(jsonable({
                'stream': 'recording', 'event': change, 'system_time_stamp': stamp,
                't_us': None if stamp is None else stamp - self.start_system_us})))

    def _append_event(self, line):
        if self.write_error is None:
            self._guard(append_whole, self._events_file, json_line(line))

    def _write_gaps(self, gaps):
        for gap in gaps:
            self._append_event(gap)

    data_loss = property(lambda self: self.losses.data_loss)
    connection_lost = property(lambda self: self.losses.connection_lost)

    def _write_markers(self, until=None, passing=False, final=False):
        """Writes the markers due (MarkerQueue.due) among the events."""
        recheck = threading.current_thread() is self._writer
        for line in self._markers.due(self.start_system_us, until, passing, final, recheck):
            self._append_event(line)

    def _update_clock(self, most=None):
        estimate = estimate_clock(self._sync_records, most=most)
        if estimate is not None:
            self.clock = estimate
            self.metadata['clock'] = estimate.to_dict()

    def _write_metadata(self):
        self.metadata['gaze_rows'] = self.rows_written
        self.metadata['markers'] = self._markers.written
        if self._markers.clock is not None:
            self.metadata['marker_clock'] = self._markers.to_dict()
        self.metadata['event_counts'] = dict(self.event_counts)
        self.metadata['connection_losses'] = self.losses.connection_losses
        self.metadata['data_loss'] = self.losses.data_loss
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
        return self._markers.now_us()

    def mark(self, label, system_time_us=None, **fields):
        """Puts a marker on the gaze rows' clock, now or at `system_time_us`
        (library system time, as from now_us()); returns at once. Bad input
        raises TypeError / ValueError, a closed recording VeltoError."""
        self._markers.add(label, system_time_us, fields)

    markers = property(lambda self: self._markers.written, doc='markers written so far')

    def close(self, timeout=None, reason=None):
        """Ends the recording: unsubscribes, writes what is still queued, the
        end marker and the final metadata, and closes the files. Ctrl-C (or
        SIGTERM) meanwhile is raised once that is done. Closing again, or
        while another thread closes it, returns once it is closed."""
        try:
            with Shield():
                self._close(timeout, reason)
        finally:
            release_folder(self._key, self)

    stop = close

    def _close(self, timeout, reason):
        with self._close_lock:
            closing = not self.closed
            self.closed = True
        if not closing:
            if not in_foreign_thread():
                while not self._closed_event.wait(0.25):  # slices keep Ctrl-C working on 2.7
                    pass
            return
        if reason is None:
            reason = ('terminated (SIGTERM)' if sigterm_received() else
                      'interrupted (Ctrl-C)' if self._interrupted else
                      'closed at interpreter exit' if _runtime.exiting() else 'stopped')
        try:
            # Stopping the streams first: nothing arrives after the end marker.
            for subscription in reversed(self._subscriptions):
                self._quietly(subscription.close, timeout)
        finally:
            try:
                self._finish(reason)
            finally:
                self.tracker.disown(self)
                self._closed_event.set()

    def _finish(self, reason):
        self._stop.set()
        self._writer.join()
        self._write_pending()  # anything that came after the writer's last pass
        self._markers.close()  # later marks raise: the end line is next
        self._write_markers(final=True)
        end_us = None
        try:
            end_us = system_time(min(self.tracker.timeout, 3.0))
        except VeltoError:
            pass
        remove_paths([os.path.join(self.folder, RESERVE_FILE)])
        self._write_gaps([g for g in [self.losses.gap_to_end(end_us)] if g])
        self._update_clock()
        end = {'reason': reason, 'wall_clock_utc': now_iso(), 'unix_time': time.time(),
               'system_time_us': end_us, 'gaze_rows': self.rows_written,
               'events': self._events_written, 'complete': self.write_error is None}
        line = {'stream': 'recording', 'event': 'end', 't_us': None if end_us is None
                else end_us - self.start_system_us}
        line.update(end)
        events = self._events_file
        before_end = self._guard(events.tell)
        # After a write error too: the marker says what is on disk, and not complete.
        if self._guard(append_whole, events, json_line(jsonable(line))) is False:
            before_end = False
        for stream in (self._gaze_file, events):
            self._guard(os.fsync, stream.fileno())
        # Every signal agrees: complete only with the end marker, the metadata
        # and every row and event line on disk.
        complete = self.write_error is None
        damage = self._damage()
        self.metadata.update(end=dict(end, complete=complete), complete=complete,
                             intact=complete and not damage, damage=damage)
        self._guard(self._write_metadata)
        if complete and self.write_error is not None and before_end is not False:
            complete = False  # the metadata could not say so: the end marker goes again
            self._quietly(events.truncate, before_end)
        for stream in (self._gaze_file, events):
            self._guard(stream.close)
        self.complete = complete
        self.intact = complete and not damage
        if not self.intact:
            self._quietly(sys.stderr.write, 'velto: the recording in %s is not intact: %s\n'
                          % (self.folder, '; '.join(self._damage() or ['not complete'])))

    @staticmethod
    def _quietly(action, *args):
        try:
            action(*args)
        except Exception:
            _runtime.report_exception('closing a recording')

    def _damage(self):
        """What keeps the recording from being intact, one short text each."""
        damage = [] if self.write_error is None else ['write error: %s' % (self.write_error,)]
        return damage + self.losses.damage()

    def __exit__(self, kind, value, trace):
        reason = None
        if kind is not None:
            reason = ('terminated (SIGTERM)' if issubclass(kind, Terminated) else
                      'interrupted (Ctrl-C)' if issubclass(kind, KeyboardInterrupt)
                      else 'exception: %s: %s' % (kind.__name__, value))
        self.close(reason=reason)
        return False

    def __repr__(self):
        return '<velto.Recording %s%s, %d gaze rows>' % (
            self.folder, ' closed' if self.closed else '', self.gaze_rows)


provide('record', Recording)
