"""The tracker's clock against the system clock, from time synchronisation.

Each time synchronisation record holds a system time stamp when the request
left, the tracker's time stamp when it answered, and a system time stamp when
the answer came back. Taking the tracker's stamp to belong to the middle of
that round trip gives one measurement of

    offset = device time - system time.

A straight line through these measurements, offset(t) = offset + drift * (t -
reference), gives the clock relation: `offset_us` at system time
`reference_us` and the `drift_ppm` (microseconds per second). Records with a
long round trip are the least certain, so only the faster part of them is
used (a real network has outliers; the simulated one does not).

Uncertainties are 95 % intervals (about two standard errors) of the fit, the
offset's plus half a microsecond for the stamps' resolution. The
middle-of-the-round-trip rule itself can be off by up to half a round trip if
the way there and back take different times; that bound is
`round_trip_us / 2` and no amount of data removes it.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import math
import sys
import threading
import time

from . import _runtime
from ._compat import in_foreign_thread
from .errors import VeltoError, VeltoTimeout

# Part of the records (those with the shortest round trips) used for the fit.
KEEP_FASTEST = 0.5
# Time stamps are whole microseconds: rounding alone leaves this variance (us^2),
# and whether the clocks truncate or round is not known, which can shift every
# stamp by up to half a microsecond the same way.
_ROUNDING_VARIANCE = 1.0 / 12
_RESOLUTION = 0.5


class ClockEstimate(collections.namedtuple('ClockEstimate', (
        'offset_us', 'drift_ppm', 'reference_us', 'offset_uncertainty_us',
        'drift_uncertainty_ppm', 'round_trip_us', 'samples', 'span_us'))):
    """device time = system time + offset_us + drift_ppm * 1e-6 * (system time - reference_us)

    offset_us: float, device minus system clock at system time reference_us;
    drift_ppm: how much faster the device clock runs, in parts per million
    (0.0 and drift_uncertainty_ppm None from a single record);
    offset_uncertainty_us, drift_uncertainty_ppm: 95 % intervals of the fit;
    round_trip_us: the median round trip of the records used;
    samples: records used; span_us: system time they cover.
    """
    __slots__ = ()

    def offset_at(self, system_us):
        """Device minus system time at `system_us` (float microseconds)."""
        return self.offset_us + self.drift_ppm * 1e-6 * (system_us - self.reference_us)

    def to_system(self, device_us):
        """The system time stamp (float microseconds) of a device time stamp."""
        rate = 1.0 + self.drift_ppm * 1e-6
        # device = reference + (s - reference) * rate + offset, solved for s.
        return self.reference_us + (device_us - self.reference_us - self.offset_us) / rate

    def to_device(self, system_us):
        """The device time stamp (float microseconds) of a system time stamp."""
        return system_us + self.offset_at(system_us)

    def to_dict(self):
        return dict(self._asdict())

    def __str__(self):
        drift = ('%+.2f ppm' % self.drift_ppm if self.drift_uncertainty_ppm is None else
                 '%+.2f +- %.2f ppm' % (self.drift_ppm, self.drift_uncertainty_ppm))
        return ('device clock = system clock %+.1f +- %.1f us, drift %s '
                '(%d records over %.1f s, round trip %.0f us)'
                % (self.offset_us, self.offset_uncertainty_us, drift, self.samples,
                   self.span_us / 1e6, self.round_trip_us))


def estimate_clock(records, keep=KEEP_FASTEST, most=None):
    """A ClockEstimate from time synchronisation records (dicts with
    system_request_time_stamp, device_time_stamp, system_response_time_stamp),
    or None when there is none with a consistent round trip. `most`: fit at
    most that many, taken evenly over the whole list."""
    if most and len(records) > most:
        records = records[::len(records) // most + 1]
    measured = []
    for record in records:
        request = record['system_request_time_stamp']
        response = record['system_response_time_stamp']
        if response < request:
            continue  # a record with its stamps out of order says nothing
        middle = request + (response - request) / 2.0
        measured.append((response - request, middle, record['device_time_stamp'] - middle))
    if not measured:
        return None
    measured.sort(key=lambda m: m[0])
    if len(measured) > 2:
        count = max(2, int(math.ceil(len(measured) * keep)))
        limit = measured[count - 1][0]
        measured = [m for m in measured if m[0] <= limit]  # ties stay in
    round_trip = _median([m[0] for m in measured])
    n = len(measured)
    # Fit offset against time relative to the mean time, where the intercept
    # is best known and the numbers stay small.
    reference = int(round(sum(m[1] for m in measured) / n))
    xs = [m[1] - reference for m in measured]
    ys = [m[2] for m in measured]
    mean_x = sum(xs) / n
    mean_y = sum(ys) / n
    sxx = sum((x - mean_x) ** 2 for x in xs)
    span = max(m[1] for m in measured) - min(m[1] for m in measured)
    if n < 2 or sxx <= 0:
        spread = _median([abs(y - mean_y) for y in ys]) if n > 1 else 0.0
        return ClockEstimate(mean_y, 0.0, reference,
                             2 * math.sqrt(spread ** 2 + _ROUNDING_VARIANCE) + _RESOLUTION,
                             None, round_trip, n, span)
    slope = sum((x - mean_x) * (y - mean_y) for x, y in zip(xs, ys)) / sxx
    intercept = mean_y - slope * mean_x  # at x = 0, the reference time
    residual = sum((y - intercept - slope * x) ** 2 for x, y in zip(xs, ys))
    variance = (residual / (n - 2) if n > 2 else 0.0) + _ROUNDING_VARIANCE
    se_intercept = math.sqrt(variance * (1.0 / n + mean_x ** 2 / sxx))
    se_slope = math.sqrt(variance / sxx)
    return ClockEstimate(intercept, slope * 1e6, reference, 2 * se_intercept + _RESOLUTION,
                         2 * se_slope * 1e6, round_trip, n, span)


def _median(values):
    ordered = sorted(values)
    middle = len(ordered) // 2
    if len(ordered) % 2:
        return float(ordered[middle])
    return (ordered[middle - 1] + ordered[middle]) / 2.0


class ClockSync(_runtime.Closable):
    """Listens to a tracker's time synchronisation stream and keeps the
    records, for `estimate()` at any time. Close it (or use `with`) to stop
    listening. Made by Tracker.clock(); adopted by the tracker."""

    kind = 'clock'

    def __init__(self, tracker, max_records=100000):
        self.tracker = tracker
        self.closed = False
        self.records = collections.deque(maxlen=max_records)
        self._arrived = threading.Event()
        self._close_lock = threading.Lock()
        self._subscription = tracker.subscribe('time_sync', callback=self._on_record)
        tracker.adopt(self)

    def _on_record(self, record):  # on a device library thread
        self.records.append(record)
        self._arrived.set()

    def wait(self, records=8, timeout=10.0):
        """Waits until at least `records` records arrived (the simulated
        tracker sends four a second); returns the estimate (None when none
        arrived in time). `timeout`: seconds, None or float('inf') for no limit."""
        timeout = _runtime.seconds(timeout)
        end = float('inf') if timeout is None else time.time() + timeout
        while len(self.records) < records and time.time() < end:
            self._arrived.clear()
            self._arrived.wait(min(0.25, max(0.0, end - time.time())))
        return self.estimate()

    def estimate(self):
        """The ClockEstimate from every record so far (None before the first)."""
        return estimate_clock(list(self.records))

    def close(self, timeout=None):
        """Stops listening. Idempotent."""
        with self._close_lock:
            if self.closed:
                return
            self.closed = True
        try:
            self._subscription.close(timeout)
        finally:
            self.tracker.disown(self)


# -------------------------------------------------------------------- Python's clock

def _python_clock():
    """(now: microseconds on a monotonic Python clock, the clock's name).
    CLOCK_MONOTONIC where Python can read it (time.monotonic_ns, 3.7+; on
    2.7 clock_gettime through ctypes on Linux), else time.time (wall clock:
    may be stepped or slewed, which the re-checks of a ClockLink notice)."""
    if hasattr(time, 'monotonic_ns'):
        read = time.monotonic_ns
        return (lambda: read() * 1e-3), 'time.monotonic_ns'
    if sys.platform.startswith('linux'):
        try:
            import ctypes
            import ctypes.util

            class Timespec(ctypes.Structure):
                _fields_ = [('tv_sec', ctypes.c_long), ('tv_nsec', ctypes.c_long)]
            libc = ctypes.CDLL(ctypes.util.find_library('c') or 'libc.so.6')
            clock_gettime = libc.clock_gettime
            clock_gettime.argtypes = [ctypes.c_int, ctypes.POINTER(Timespec)]
            clock_gettime.restype = ctypes.c_int
            byref = ctypes.byref

            def now():
                stamp = Timespec()  # one a call: callers may be on several threads
                clock_gettime(1, byref(stamp))  # CLOCK_MONOTONIC
                return stamp.tv_sec * 1e6 + stamp.tv_nsec * 1e-3
            if now() > 0:
                return now, 'clock_gettime(CLOCK_MONOTONIC) via ctypes'
        except (OSError, AttributeError, ImportError):
            pass
    return (lambda: time.time() * 1e6), 'time.time'


python_now_us, PYTHON_CLOCK = _python_clock()

# Library time stamps are whole microseconds (truncated): up to this much early.
_STAMP_RESOLUTION_US = 1.0


class ClockLink(collections.namedtuple('ClockLink', (
        'offset_us', 'uncertainty_us', 'python_us', 'system_us'))):
    """system time = Python clock + offset_us, within +- uncertainty_us:
    one bracket of a system time request between two Python clock reads
    (offset = system stamp - the reads' midpoint, uncertainty = half their
    distance plus the stamp's resolution); python_us, system_us: when."""
    __slots__ = ()


def bracket_system_time(timeout=_runtime.DEFAULT_TIMEOUT):
    """(before, system time stamp, after): a get_system_time_stamp request
    between two reads of the Python clock (microseconds). `after` is read on
    the module's worker thread as the result arrives, so the wait for it
    does not widen the bracket."""
    arrived = []
    done = threading.Event()

    def on_result(result):  # on the module's worker thread
        arrived.append((python_now_us(), result))
        done.set()
    if in_foreign_thread():
        raise VeltoError('get_system_time_stamp', None, 'call it from a Python thread of your own',
                         name='cannot wait for a result on a stream or result callback thread')
    before = python_now_us()
    status = _runtime.module().call_function('get_system_time_stamp', (), on_result)
    if status != 0:
        raise VeltoError('get_system_time_stamp', status, 'refused by call_function')
    if not done.wait(timeout):
        raise VeltoTimeout('get_system_time_stamp', timeout)
    after, result = arrived[0]
    if result[0] != 0:
        raise VeltoError('get_system_time_stamp', result[0])
    return before, result[1], after


def measure_link(tries=8, timeout=_runtime.DEFAULT_TIMEOUT, bracket=None):
    """The tightest ClockLink of `tries` brackets (bracket_system_time)."""
    bracket = bracket or bracket_system_time
    best = None
    for _ in range(tries):
        before, system, after = bracket(timeout)
        half = (after - before) / 2.0
        if best is None or half + _STAMP_RESOLUTION_US < best.uncertainty_us:
            middle = before + half
            best = ClockLink(system - middle, half + _STAMP_RESOLUTION_US, middle, system)
    return best


class LinkedClock(object):
    """The library's system time read from Python's clock, without a request
    round trip: now_us() = Python clock + the offset of the tightest recent
    ClockLink. check() measures again (every few seconds while recording);
    a new link that disagrees with the one in use beyond both uncertainties
    means a clock was stepped, and replaces it at once. to_dict() for
    metadata: offset, uncertainty (the largest of the links used, so it
    holds for every time read), method, checks, drift between the clocks."""

    RECENT = 3  # checks the link in use is chosen from

    def __init__(self, timeout=_runtime.DEFAULT_TIMEOUT, tries=8, bracket=None):
        self.method = PYTHON_CLOCK
        self.bracket = bracket  # bracket_system_time unless given
        self.steps = 0
        self.checks = []  # every ClockLink measured, oldest first
        self.link = None
        self.offset_us = None
        self.uncertainty_us = 0.0  # the largest of the links used so far
        self.check(tries, timeout)

    def now_us(self):
        """The library's system time now, in (float) microseconds."""
        return python_now_us() + self.offset_us

    def check(self, tries=5, timeout=1.0):
        """Measures a link and updates the one in use; returns the new link."""
        new = measure_link(tries, timeout, self.bracket)
        self.checks.append(new)
        current = self.link
        if current is not None and abs(new.offset_us - current.offset_us) > \
                new.uncertainty_us + current.uncertainty_us:
            self.steps += 1
            self.checks[:-1] = []  # the earlier links belong to the old relation
            chosen = new
        else:
            chosen = min(self.checks[-self.RECENT:], key=lambda link: link.uncertainty_us)
        self.link = chosen
        self.offset_us = chosen.offset_us
        self.uncertainty_us = max(self.uncertainty_us, chosen.uncertainty_us)
        return new

    def drift_ppm(self):
        """Slope of the measured offsets over Python time (ppm), or None."""
        points = [(c.python_us, c.offset_us) for c in self.checks]
        if len(points) < 2 or points[-1][0] - points[0][0] < 1e6:
            return None
        n = len(points)
        mx = sum(p[0] for p in points) / n
        my = sum(p[1] for p in points) / n
        sxx = sum((p[0] - mx) ** 2 for p in points)
        return sum((p[0] - mx) * (p[1] - my) for p in points) / sxx * 1e6

    def to_dict(self):
        offsets = [c.offset_us for c in self.checks]
        return {'offset_us': self.offset_us, 'uncertainty_us': self.uncertainty_us,
                'latest_uncertainty_us': self.link.uncertainty_us,
                'method': 'system time = %s + offset; offset from the tightest of the recent '
                          'brackets of get_system_time_stamp between two reads of it (the '
                          'second on the worker thread as the result arrives)' % self.method,
                'python_clock': self.method, 'checks': len(self.checks),
                'offset_spread_us': max(offsets) - min(offsets) if offsets else None,
                'drift_ppm': self.drift_ppm(), 'steps': self.steps}
