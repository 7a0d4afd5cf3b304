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
  (device against system time), the data lost (gaps in the gaze data, the
  share of samples without a valid gaze point) and, once ended, how and
  when it ended, whether it is `complete` (ended normally with every record
  received on disk) and `intact` (complete, no gap, no lost connection).

The device library's threads only append records to a queue (gaze samples
to one of their own); a writer thread formats and writes them in batches,
the gaze rows through the column table's compiled formatter
(velto.columns), and flushes the files at least every `flush_interval`
seconds (0.5 by default), so whatever happens to the Python program, the
files hold what arrived up to the last flush, and everything when the
recording is closed normally. Closing finishes even when Ctrl-C comes
again meanwhile (the interrupt is raised once the files are closed); while a
recording is open on the main thread, SIGTERM ends it like Ctrl-C does.

Data layer: imports the device layer (tracker, streams, clock) and the
leaf helpers, and registers itself as what Tracker.record() makes.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import errno
import io
import os
import re
import signal
import sys
import threading
import time

from . import _runtime, streams
from ._compat import in_foreign_thread, on_main_thread, to_unicode
from .clock import estimate_clock
from .columns import COLUMN_SETS, column_dicts, format_rows, header
from .errors import CONNECTION_LOST, CONNECTION_RESTORED, VeltoError
from .files import EVENTS_FILE, GAZE_FILE, IMAGES_FOLDER, METADATA_FILE, json_line, jsonable, \
    now_iso, write_json_atomically
from .files import RECORDING_FORMAT as FORMAT
from .tracker import provide, system_time, versions

# Kept importable from here, where they lived before the reader and the
# column table had modules of their own.
from .columns import Column, gaze_row  # noqa: E402,F401
from .reader import SavedRecording, load_recording  # noqa: E402,F401


class Terminated(SystemExit):
    """SIGTERM arrived while a recording was open: raised on the main thread
    so that `with` blocks close their recordings; exits with status 143."""

    def __init__(self, code=128 + signal.SIGTERM):
        SystemExit.__init__(self, code)


# Folders open recordings write to, by real path: one recording a folder.
_folders = {}
_folders_lock = threading.Lock()
_sigterm = {'installed': False}


def _on_sigterm(signum, frame):
    with _folders_lock:
        recording = bool(_folders)
    if not recording:
        # Left installed past the last recording (restored only on the main
        # thread): what the default handler would have done.
        signal.signal(signal.SIGTERM, signal.SIG_DFL)
        _sigterm['installed'] = False
        os.kill(os.getpid(), signal.SIGTERM)
        return
    _sigterm['received'] = True
    raise Terminated()


def _claim_folder(path, recording):
    """Registers an open recording's folder (refusing a second one) and
    turns SIGTERM into Terminated while recordings are open."""
    with _folders_lock:
        if path in _folders:
            raise VeltoError('record', None, 'folder %s' % path,
                             name='another open recording writes to that folder')
        _folders[path] = recording
    if not _sigterm['installed'] and on_main_thread():
        try:
            if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
                signal.signal(signal.SIGTERM, _on_sigterm)
                _sigterm['installed'] = True
        except (ValueError, AttributeError):
            pass


def _release_folder(path, recording):
    with _folders_lock:
        if _folders.get(path) is recording:
            del _folders[path]
        last = not _folders
    if last and _sigterm['installed'] and on_main_thread():
        try:
            if signal.getsignal(signal.SIGTERM) is _on_sigterm:
                signal.signal(signal.SIGTERM, signal.SIG_DFL)
            _sigterm['installed'] = False
        except ValueError:
            pass


class _Shield(object):
    """Defers Ctrl-C (and SIGTERM when it is handled in Python) on the main
    thread while a block runs; the first deferred signal is delivered to its
    handler when the block ends. Elsewhere it does nothing (signals only
    interrupt the main thread)."""

    SIGNALS = tuple(getattr(signal, name) for name in ('SIGINT', 'SIGTERM') if hasattr(signal, name))

    def __enter__(self):
        self.saved = {}
        self.caught = []
        if not on_main_thread():
            return self
        for signum in self.SIGNALS:
            try:
                handler = signal.getsignal(signum)
                if callable(handler):
                    self.saved[signum] = handler
                    signal.signal(signum, self._defer)
            except ValueError:
                pass
        return self

    def _defer(self, signum, frame):
        self.caught.append((signum, frame))

    def __exit__(self, *exc):
        for signum, handler in self.saved.items():
            signal.signal(signum, handler)
        if self.caught:
            signum, frame = self.caught[0]
            self.saved[signum](signum, frame)  # raises KeyboardInterrupt or Terminated, as it would have
        return False


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

    Attributes: `folder`, `gaze_rows` (received), `rows_written` (on
    disk), `event_counts` (per stream), `start_system_us`, `clock` (the
    latest ClockEstimate, or None), `data_loss` (as in the metadata),
    `connection_lost` (now), `complete` and `intact` (None until closed),
    `closed`. Adopted by its tracker while open; one open recording a folder.
    """

    kind = 'recording'

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
        self.rows_written = 0
        self.event_counts = collections.Counter()
        self.clock = None
        self.closed = False
        self.complete = self.intact = None
        self.write_error = None
        self.connection_lost = False
        self.data_loss = {'gaps': 0, 'missing_samples': 0, 'longest_gap_us': 0,
                          'left_invalid_share': None, 'right_invalid_share': None}
        self._connection_losses = 0
        self._invalid = {'left': 0, 'right': 0}
        self._last_sample = None   # (device, system time stamp) of the last sample written
        self._interval_us = None   # the nominal sample interval
        self._closed_event = threading.Event()
        self._events_written = 0
        self._scanned = 0
        self._interval_change = None  # (system time, the interval before) of a new frequency
        self._gaze = collections.deque()     # gaze dicts, appended on a library thread
        self._pending = collections.deque()  # (stream, record) of the event streams, likewise
        self._sync_records = []
        self._subscriptions = []
        self._stop = threading.Event()
        self._interrupted = False
        self._close_lock = threading.Lock()
        self._images = 0
        self._created = []
        self._key = os.path.realpath(self.folder)
        _claim_folder(self._key, self)
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
            _release_folder(self._key, self)
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
            'calibration': tracker.last_calibration.to_dict() if tracker.last_calibration else None,
            'streams': ['gaze'] + [e for e in self._streams if e not in self._unwritten],
            'clock': None, 'end': None, 'complete': False, 'intact': False,
            'data_loss': self.data_loss, 'connection_losses': 0,
        }
        self.metadata.update(tracker.settings())
        frequency = self.metadata.get('gaze_output_frequency_hz')
        self._interval_us = 1e6 / frequency if frequency and frequency > 0 else None
        self.start_system_us = system_time(tracker.timeout)
        self.metadata['start'] = {'system_time_us': self.start_system_us, 'wall_clock_utc': now_iso(),
                                  'unix_time': time.time()}
        self._writer = None
        try:
            # Unbuffered: each write reaches the file whole or is taken back
            # (_append), so a full disk leaves whole lines, and no buffer is
            # left to fail at garbage collection.
            self._gaze_file = self._open(GAZE_FILE)
            self._events_file = self._open(EVENTS_FILE)
            self._append(self._gaze_file, (header(self.columns) + '\n').encode('ascii'))
            self._append(self._events_file, json_line({
                'stream': 'recording', 'event': 'start', 't_us': 0,
                'system_time_stamp': self.start_system_us}))
            self._created.append(os.path.join(self.folder, METADATA_FILE))
            self._write_metadata()
        except BaseException:
            self._abandon()
            raise
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
            # The gaze callback is the queue's own append: no Python frame a sample.
            self._subscriptions.append(tracker.subscribe('gaze', callback=self._gaze.append))
            if 'streams_missing' in self.metadata:
                self._guard(self._write_metadata)
        except BaseException:
            with _Shield():
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
            try:
                subscription.close()
            except Exception:
                pass
        if self._writer is not None and self._writer.is_alive():
            self._writer.join()
        for stream in (getattr(self, '_gaze_file', None), getattr(self, '_events_file', None)):
            if stream is not None:
                try:
                    stream.close()
                except EnvironmentError:
                    pass
        self._remove_created()
        self.tracker.disown(self)
        self._closed_event.set()

    def _remove_created(self):
        if self._images and os.path.isdir(self._image_folder):
            for name in os.listdir(self._image_folder):
                match = re.match(r'^(\d{6})_cam\d+\.gif$', name)
                if match and int(match.group(1)) <= self._images:
                    self._created.append(os.path.join(self._image_folder, name))
        for path in reversed(self._created):
            try:
                if os.path.isdir(path):
                    os.rmdir(path)
                else:
                    os.unlink(path)
            except EnvironmentError:
                pass
        del self._created[:]

    def _append(self, stream, data):
        """Writes `data` to an unbuffered file whole; after a failure the file
        is cut back to where it was, so it never ends in half a line."""
        at = stream.tell()
        try:
            view = memoryview(data)
            while len(view):
                written = stream.write(view)
                if not written:
                    raise IOError(errno.ENOSPC, 'nothing could be written')
                view = view[written:]
        except BaseException:
            try:
                stream.truncate(at)
                stream.seek(at)
            except EnvironmentError:
                pass
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
            return action(*args)
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
            self._guard(self._write_event, stream, record)
        gaze = self._gaze
        popleft = gaze.popleft
        batch = [popleft() for _ in range(len(gaze))]  # only this thread takes from it
        if batch:
            self.gaze_rows += len(batch)
            self._scan(batch)
            if self.write_error is None:
                self._guard(self._write_gaze, batch)

    def _write_gaze(self, batch):
        text = format_rows(batch, self.start_system_us, self.columns)
        self._append(self._gaze_file, text if isinstance(text, bytes) else text.encode('ascii'))
        self.rows_written += len(batch)

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
                    self._append(image, record['image_data'])
            except BaseException:
                try:
                    os.unlink(path)  # no image without its events line
                except EnvironmentError:
                    pass
                raise
            line['file'] = name
            line['bytes'] = len(record['image_data'])
        self._append(self._events_file, json_line(line))
        self._events_written += 1

    def _on_notification(self, record):
        """Notes a lost or restored connection (an events line each) and a
        new gaze output frequency (the nominal interval of the gap check)."""
        kind = to_unicode(record.get('notification_type', ''))
        stamp = record.get('system_time_stamp')
        if 'gaze_output_frequency' in record and record['gaze_output_frequency'] > 0:
            self._interval_change = (stamp, self._interval_us)
            self._interval_us = 1e6 / record['gaze_output_frequency']
        if kind == CONNECTION_LOST and not self.connection_lost:
            self.connection_lost = True
            self._connection_losses += 1
        elif kind == CONNECTION_RESTORED and self.connection_lost:
            self.connection_lost = False
        else:
            return
        if self.write_error is None:
            self._append(self._events_file, json_line(jsonable({
                'stream': 'recording', 'event': 'connection_lost' if self.connection_lost
                else 'connection_restored', 'system_time_stamp': stamp,
                't_us': None if stamp is None else stamp - self.start_system_us})))

    def _scan(self, batch):
        """Finds the gaps in a batch of gaze samples (an events line each: a
        gap is more than 1.5 nominal intervals between device time stamps)
        and counts the samples without a valid gaze point."""
        self._scanned += len(batch)
        for eye in ('left', 'right'):
            key = eye + '_gaze_point_validity'
            self._invalid[eye] += len(batch) - [s[key] for s in batch].count(1)
        interval = self._interval_us
        stamps = [s['device_time_stamp'] for s in batch]
        last = self._last_sample
        if interval and last is not None and stamps[0] - last[0] > 1.5 * interval:
            self._gap(last[0], last[1], stamps[0])
        if interval:
            limit = 1.5 * interval
            for i in range(1, len(stamps)):
                if stamps[i] - stamps[i - 1] > limit:
                    self._gap(stamps[i - 1], batch[i - 1]['system_time_stamp'], stamps[i])
        self._last_sample = (stamps[-1], batch[-1]['system_time_stamp'])

    def _gap(self, device_before, system_before, device_after):
        interval = self._interval_us
        change = self._interval_change
        if change is not None and change[1] and change[0] is not None and system_before < change[0]:
            interval = max(interval, change[1])  # a sample of the frequency before the change
        span = device_after - device_before
        if span <= 1.5 * interval:
            return
        loss = self.data_loss
        missing = max(1, int(round(span / interval)) - 1)
        duration = int(round(span - interval))
        loss['gaps'] += 1
        loss['missing_samples'] += missing
        loss['longest_gap_us'] = max(loss['longest_gap_us'], duration)
        if self.write_error is None:
            first = int(round(system_before + interval))
            self._guard(self._append, self._events_file, json_line({
                'stream': 'gap', 't_us': first - self.start_system_us, 'system_time_stamp': first,
                'duration_us': duration, 'missing_samples': missing,
                'device_time_stamp_before': device_before, 'device_time_stamp_after': device_after}))

    def _gap_to_end(self, end_us):
        """A connection still lost at the end: the stretch from the last
        sample to the end counts as a gap (its device time from the elapsed
        system time)."""
        last = self._last_sample
        if self.connection_lost and last is not None and end_us is not None and self._interval_us:
            self._gap(last[0], last[1], last[0] + (end_us - last[1]))

    def _update_clock(self):
        estimate = estimate_clock(self._sync_records)
        if estimate is not None:
            self.clock = estimate
            self.metadata['clock'] = estimate.to_dict()

    def _write_metadata(self):
        scanned = self._scanned
        for eye in ('left', 'right'):
            self.data_loss[eye + '_invalid_share'] = (round(self._invalid[eye] / scanned, 6)
                                                      if scanned else None)
        self.metadata['gaze_rows'] = self.rows_written
        self.metadata['event_counts'] = dict(self.event_counts)
        self.metadata['connection_losses'] = self._connection_losses
        self.metadata['data_loss'] = self.data_loss
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

    def close(self, timeout=None, reason=None):
        """Ends the recording: unsubscribes, writes what is still queued, the
        end marker and the final metadata, and closes the files. Ctrl-C (or
        SIGTERM) meanwhile is raised once that is done. Closing again, or
        while another thread closes it, returns once it is closed."""
        try:
            with _Shield():
                self._close(timeout, reason)
        finally:
            _release_folder(self._key, self)

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
            reason = ('terminated (SIGTERM)' if _sigterm.get('received') else
                      'interrupted (Ctrl-C)' if self._interrupted else
                      'closed at interpreter exit' if _runtime.exiting() else 'stopped')
        try:
            # Stopping the streams first: nothing arrives after the end marker.
            for subscription in reversed(self._subscriptions):
                try:
                    subscription.close(timeout)
                except Exception:
                    _runtime.report_exception('closing %r' % (subscription,))
        finally:
            try:
                self._finish(reason)
            finally:
                self.tracker.disown(self)
                self._closed_event.set()

    def _finish(self, reason):
        self._stop.set()
        if self._writer.is_alive():
            self._writer.join()
        self._write_pending()  # anything that came after the writer's last pass
        end_us = None
        try:
            end_us = system_time(min(self.tracker.timeout, 3.0))
        except VeltoError:
            pass
        self._gap_to_end(end_us)
        self._update_clock()
        end = {'reason': reason, 'wall_clock_utc': now_iso(), 'unix_time': time.time(),
               'system_time_us': end_us, 'gaze_rows': self.rows_written,
               'events': self._events_written, 'complete': self.write_error is None}
        line = {'stream': 'recording', 'event': 'end', 't_us': None if end_us is None
                else end_us - self.start_system_us}
        line.update(end)
        events = self._events_file
        before_end = self._guard(events.tell)
        try:  # after a write error too: the marker says what is on disk, and not complete
            self._append(events, json_line(jsonable(line)))
        except Exception as error:
            before_end = None
            if self.write_error is None:
                self.write_error = error
        for stream in (self._gaze_file, events):
            self._guard(os.fsync, stream.fileno())
        # Every signal agrees: complete only with the end marker, the metadata
        # and every row and event line on disk.
        complete = self.write_error is None
        damage = self._damage()
        self.metadata.update(end=dict(end, complete=complete), complete=complete,
                             intact=complete and not damage, damage=damage)
        self._guard(self._write_metadata)
        if complete and self.write_error is not None and before_end is not None:
            # The metadata could not say so: the end marker goes again.
            complete = False
            try:
                events.truncate(before_end)
            except EnvironmentError:
                pass
        for stream in (self._gaze_file, events):
            self._guard(stream.close)
        self.complete = complete
        self.intact = complete and not damage
        if not self.intact:
            damage = self._damage() or ['not complete']
            try:
                sys.stderr.write('velto: the recording in %s is not intact: %s\n'
                                 % (self.folder, '; '.join(damage)))
            except Exception:
                pass

    def _damage(self):
        """What keeps the recording from being intact, one short text each."""
        damage = []
        if self.write_error is not None:
            damage.append('write error: %s' % (self.write_error,))
        loss = self.data_loss
        if loss['gaps']:
            damage.append('%d gap(s) in the gaze data, about %d samples missing (longest %.0f ms)'
                          % (loss['gaps'], loss['missing_samples'], loss['longest_gap_us'] / 1e3))
        if self._connection_losses:
            damage.append('the tracker\'s connection was lost %d time(s)%s' % (
                self._connection_losses, ', not restored' if self.connection_lost else ''))
        return damage

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
