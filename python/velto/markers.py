"""A recording's markers: checked and queued on the caller's thread, handed
to the writer in time order.

`MarkerQueue.add()` is what `Recording.mark()` does: it reads the library's
system time through a measured link to Python's clock (clock.LinkedClock; no
request round trip), checks the label and fields, and appends; no disk write
and no wait for the writer. The writer calls `due()` with the time it has
written up to and writes the lines it gets back, so markers land among the
other events in time order (docs/python-api.md, "Markers").
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import heapq
import itertools
import json
import threading
import time

from ._compat import integer_types, string_types
from .clock import LinkedClock
from .errors import VeltoError

# Seconds between re-checks of the marker clock on the writer thread.
MARKER_CLOCK_CHECK_S = 5.0
# A queued marker is written at the latest once the library's clock is this
# far past its time, even when no gaze or event came after it.
MARKER_HOLD_US = 1000000
# Checks and keeps a marker's fields as JSON text on the calling thread (made once: cheaper).
_FIELDS_ENCODER = json.JSONEncoder(allow_nan=False, ensure_ascii=True)


class MarkerQueue(object):
    """Markers of one recording. add() on any thread; due(), to_dict() and
    `written` on the writer's side; open()/close() bracket when add() is allowed."""

    def __init__(self, folder):
        self.folder = folder
        self.written = 0
        self.clock = None              # the LinkedClock, once started
        self._added = collections.deque()  # (system us, order, label, fields JSON, source)
        self._held = []                # heap of added markers not yet due
        self._order = itertools.count()
        self._lock = threading.Lock()  # add() against close()
        self._open = False
        self._ended = False
        self._checked = 0.0
        self._until = None

    def start(self, timeout):
        """Measures the link to the library's clock (a few requests)."""
        self.clock = LinkedClock(timeout)
        self._checked = time.time()

    def open(self):
        self._open = True

    def close(self):
        """Refuses later add()s: the recording's end line is next."""
        with self._lock:
            self._open = False
            self._ended = True

    def now_us(self):
        """The library's system time now (float microseconds)."""
        return self.clock.now_us()

    def add(self, label, system_time_us=None, fields=None):
        """Checks and queues one marker (see Recording.mark)."""
        now = self.clock.now_us() if system_time_us is None and self.clock else None
        if not self._open:
            raise self._refusal()
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
        with self._lock:
            if not self._open:
                raise self._refusal()
            self._added.append((stamp, next(self._order), label, text, source))

    def _refusal(self):
        return VeltoError('mark', None, 'folder %s' % self.folder,
                          name='the recording is closed' if self._ended else
                          'the recording is not started')

    def due(self, start_us, until=None, passing=False, final=False, recheck=False):
        """The marker lines now due, in time order: those up to system time
        `until` (the latest written so far); with `passing` also those the
        library's clock has passed by MARKER_HOLD_US (`recheck`: re-measure
        the clock link when due; the writer thread only); `final`: all."""
        added, held = self._added, self._held
        while added:
            heapq.heappush(held, added.popleft())
        if until is not None:
            self._until = max(until, self._until or until)
        limit = self._until
        if passing and self.clock is not None:
            if recheck and time.time() - self._checked >= MARKER_CLOCK_CHECK_S:
                self._checked = time.time()
                try:
                    self.clock.check()
                except VeltoError:
                    pass  # the library busy or gone: the link in use stays
            if not held:
                return []
            passed = self.clock.now_us() - MARKER_HOLD_US
            limit = passed if limit is None else max(limit, passed)
        lines = []
        while held and (final or limit is not None and held[0][0] <= limit):
            stamp, _, label, fields, source = heapq.heappop(held)
            self.written += 1
            lines.append({'stream': 'marker', 't_us': stamp - start_us, 'system_time_stamp': stamp,
                          'label': label, 'fields': json.loads(fields) if fields else {},
                          'time_source': source})
        return lines

    def to_dict(self):
        """The clock link as metadata.json's marker_clock (None before start)."""
        return self.clock.to_dict() if self.clock is not None else None
