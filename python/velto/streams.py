"""Stream subscriptions: records handed to a callable, or queued for iteration.

A Subscription is open from the moment it is made until close() (or the end
of its `with` block, or the close of its tracker). Records are the module's
dicts, unchanged (keys and units in docs/reference.md, section 3).

With a callback, the callback is called with each record on a thread of the
device library: return quickly (append, put on a queue) and do not wait for
tracker operations there. Without one, records go to a bounded queue that the
library's thread never waits for: when it is full the oldest record is
dropped and counted in `dropped`. A queue of a tracker's stream also listens
for the tracker's connection: once it is lost (cut, or the tracker removed),
reading past the records queued before raises ConnectionLost instead of
waiting for records that will not come.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import math
import sys
import threading
import time

from . import _runtime
from ._compat import in_foreign_thread, to_unicode
from .errors import CONNECTION_LOST, CONNECTION_RESTORED, ConnectionLost, VeltoError

# Stream names, their stream type numbers and the capability each needs.
STREAM_TYPES = collections.OrderedDict([
    ('log', 0),
    ('gaze', 1),
    ('external_signal', 2),
    ('time_sync', 3),
    ('stream_errors', 4),
    ('notifications', 5),
    ('eye_images', 6),
])
STREAM_CAPABILITIES = {'external_signal': 'external_signal', 'eye_images': 'eye_images'}
# Every stream but gaze: what a recording writes to its events file.
EVENT_STREAMS = ('external_signal', 'time_sync', 'stream_errors', 'notifications',
                 'eye_images', 'log')
# The log is library-wide; the module wants some device number all the same.
LOG_DEVICE = 0

DEFAULT_QUEUE_SIZE = 10000   # about 8 s of gaze at 1200 Hz

# Queued where the connection was lost, so that readers meet it in order.
_LOST = object()


def check_queue_size(queue_size):
    """A queue size argument: a finite whole number >= 1 (returned as int),
    else ValueError."""
    try:
        number = float(queue_size)
    except (TypeError, ValueError):
        number = float('nan')
    if isinstance(queue_size, bool) or math.isnan(number) or not 1 <= number <= sys.maxsize:
        raise ValueError('queue_size must be a finite number of records from 1 to %d, not %r'
                         % (sys.maxsize, queue_size))
    return int(number)


class Subscription(_runtime.Closable):
    """One open subscription to one stream of one tracker (or to the log).

    Attributes: `stream` (its name), `received` (records delivered so far),
    `dropped` (records dropped from a full queue), `errors` (exceptions the
    callback raised; the first is printed to stderr), `closed`.

    Without a callback it is an iterator: `for record in subscription:` waits
    for each record and ends once the subscription is closed and its queue is
    empty; `get(timeout)` returns the next record or None; `drain()` returns
    every queued record without waiting; `for_seconds(s)` iterates for a time.

    `owner`: the tracker that adopts it (None: library-wide, the runtime).
    `connection_lost`: True from a lost-connection notice of the tracker
    until it is restored (queues of a tracker's streams but notifications).
    Iteration and get() raise ConnectionLost where the connection was lost,
    and again whenever the queue is empty while it is still lost.
    """

    kind = 'subscription'

    def __init__(self, stream, device, callback=None, queue_size=DEFAULT_QUEUE_SIZE,
                 timeout=_runtime.DEFAULT_TIMEOUT, owner=None):
        if stream not in STREAM_TYPES:
            raise ValueError('unknown stream %r; streams: %s' % (stream, ', '.join(STREAM_TYPES)))
        if callback is not None and not callable(callback):
            raise TypeError('callback must be callable')
        queue_size = check_queue_size(queue_size)
        _runtime.seconds(timeout)
        self.stream = stream
        self.device = device
        self.callback = callback
        self.timeout = timeout
        self.received = 0
        self.dropped = 0
        self.errors = 0
        self.closed = False
        self.owner = owner if owner is not None else _runtime
        self._queue = collections.deque(maxlen=None if callback else int(queue_size))
        self._ready = threading.Condition(threading.Lock())
        self._close_lock = threading.Lock()
        self._listener = self._on_record  # one object, to be found again when closing
        self.connection_lost = False
        self._watcher = None
        _runtime.acquire()
        try:
            _runtime.subscribe(STREAM_TYPES[stream], device, self._listener, timeout)
            if callback is None and stream not in ('log', 'notifications') and owner is not None:
                self._watch_connection(timeout)
        except BaseException:
            self._end(timeout)
            raise
        self.owner.adopt(self)

    def _watch_connection(self, timeout):
        """Listens to the tracker's notifications for its connection; a
        tracker that refuses them is read without that watch."""
        watcher = self._on_notification
        try:
            _runtime.subscribe(STREAM_TYPES['notifications'], self.device, watcher, timeout)
        except VeltoError:
            return
        self._watcher = watcher

    def _on_notification(self, record):  # on a device library thread
        kind = to_unicode(record.get('notification_type', ''))
        if kind not in (CONNECTION_LOST, CONNECTION_RESTORED) or self.closed:
            return
        with self._ready:
            if kind == CONNECTION_RESTORED:
                self.connection_lost = False
            elif not self.connection_lost:
                self.connection_lost = True
                self._queue.append(_LOST)
            self._ready.notify_all()

    def _lost_error(self):
        address = getattr(self.owner, 'address', None)
        return ConnectionLost('the %s stream' % self.stream,
                              None if address is None else to_unicode(address))

    # ---------------------------------------------------------------- delivery

    def _on_record(self, record):  # on a device library thread
        if self.closed:
            return
        if self.callback is not None:
            self.received += 1
            try:
                self.callback(record)
            except BaseException:  # SystemExit and Ctrl-C too: this thread cannot end the program
                self.errors += 1
                if self.errors == 1:
                    _runtime.report_exception('the %s callback (further exceptions are '
                                              'only counted)' % self.stream)
            return
        with self._ready:
            self.received += 1
            if len(self._queue) == self._queue.maxlen:
                self.dropped += 1  # the deque drops the oldest on append
            self._queue.append(record)
            self._ready.notify()

    # ---------------------------------------------------------------- reading

    def get(self, timeout=None):
        """The next record, waiting up to `timeout` seconds (None: until one
        comes or the subscription is closed); None when there is none.
        Raises ConnectionLost where the tracker's connection was lost."""
        timeout = _runtime.seconds(timeout)
        deadline = None if timeout is None else time.time() + timeout
        with self._ready:
            while True:
                while not self._queue:
                    if self.closed:
                        return None
                    if self.connection_lost:
                        raise self._lost_error()
                    # Slices keep Ctrl-C working on 2.7.
                    wait = 0.25 if deadline is None else min(0.25, deadline - time.time())
                    if wait <= 0:
                        return None
                    self._ready.wait(wait)
                record = self._queue.popleft()
                if record is not _LOST:
                    return record
                if self.connection_lost:
                    raise self._lost_error()

    def drain(self):
        """Every record queued now, oldest first, without waiting."""
        with self._ready:
            records = [r for r in self._queue if r is not _LOST]
            self._queue.clear()
        return records

    def __iter__(self):
        return self

    def __next__(self):
        record = self.get()
        if record is None:
            raise StopIteration
        return record

    next = __next__  # Python 2

    def for_seconds(self, seconds):
        """Iterates over the records that arrive within `seconds` from now."""
        seconds = _runtime.seconds(seconds, 'seconds')
        return self._until(float('inf') if seconds is None else time.time() + seconds)

    def _until(self, end):
        while True:
            left = end - time.time()
            if left <= 0:
                return
            record = self.get(left)
            if record is None:
                if self.closed:
                    return
                continue
            yield record

    # ---------------------------------------------------------------- closing

    def close(self, timeout=None):
        """Ends the subscription; queued records can still be read. From a
        stream callback or another library thread, the unsubscribe request
        runs on a helper thread so that the library's thread is not held."""
        with self._close_lock:
            if self.closed:
                return
            self.closed = True
        with self._ready:
            self._ready.notify_all()
        self.owner.disown(self)
        if in_foreign_thread():
            _runtime.run_elsewhere(self._end, self.timeout)
        else:
            self._end(self.timeout if timeout is None else timeout)

    def _end(self, timeout):
        try:
            try:
                _runtime.unsubscribe(STREAM_TYPES[self.stream], self.device, self._listener, timeout)
            finally:
                if self._watcher is not None:
                    _runtime.unsubscribe(STREAM_TYPES['notifications'], self.device,
                                         self._watcher, timeout)
        finally:
            _runtime.release()

    def __repr__(self):
        return '<velto.Subscription %s%s, %d received, %d dropped>' % (
            self.stream, ' closed' if self.closed else '', self.received, self.dropped)
