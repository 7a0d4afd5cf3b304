"""Validation: how well the tracker's calibration fits, from its gaze data
at known targets, without entering calibration mode or changing the
calibration.

    with tracker.validate() as validation:
        for x, y in velto.FIVE_POINTS:
            show_target(x, y)              # your stimulus, shown first
            validation.collect(x, y)       # waits `settle`, then takes `window` s of gaze
    print(validation.result())             # the calibration report's table

For each target, the gaze samples whose system time stamps fall within
[collect time + settle, + window] count; their quality per eye (accuracy,
precision, BCEA, data loss, in degrees of visual angle from the eye's gaze
origin) is velto.measures' record, the same as the calibration report's.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import math
import threading
import time

from . import _runtime, measures
from ._compat import integer_types
from .geometry import finite_float
from .measures import EYES, PointQuality

DEFAULT_SETTLE_S = 0.3
DEFAULT_WINDOW_S = 0.5
# Samples kept between collections (about 16 s at 1200 Hz).
_KEPT_SAMPLES = 20000


def _finite_point(point):
    return point is not None and all(not (math.isnan(v) or math.isinf(v)) for v in point)


class ValidationResult(object):
    """A validation's quality: `points` (PointQuality per target, in
    collection order), `left`, `right` (overall EyeQuality), `settle_s`,
    `window_s`, `origin_source`. str() gives the calibration report's table."""

    def __init__(self, points, left, right, settle_s, window_s, origin_source='gaze data'):
        self.points = points
        self.left = left
        self.right = right
        self.settle_s = settle_s
        self.window_s = window_s
        self.origin_source = origin_source

    def to_dict(self):
        """Plain JSON-able data (for a recording's metadata)."""
        data = measures.quality_dict(self.points, self.left, self.right)
        data.update(settle_s=self.settle_s, window_s=self.window_s,
                    origin_source=self.origin_source)
        return data

    def report(self):
        text = measures.quality_table('Validation quality', self.points, self.left, self.right)
        text += '\n  (samples %g s to %g s after each collect)' % (
            self.settle_s, self.settle_s + self.window_s)
        if self.origin_source != 'gaze data':
            text += '\n  (eye position: %s; no gaze origin was reported)' % self.origin_source
        return text

    __str__ = report

    def __repr__(self):
        def deg(q):
            return '-' if q.accuracy_deg is None else '%.2f' % q.accuracy_deg
        return '<velto.ValidationResult left %s deg, right %s deg>' % (deg(self.left),
                                                                      deg(self.right))


class ValidationSession(_runtime.Closable):
    """Gaze data at known targets, for a `with` block; never enters
    calibration mode. Made by Tracker.validate(settle=0.3, window=0.5).

    collect(x, y) waits `settle` seconds for the eyes to land, takes the
    gaze samples of the next `window` seconds and returns that target's
    PointQuality; discard(x, y) drops a target; result() (or compute(), as
    in the calibration session) gives the ValidationResult (also kept as
    tracker.last_validation). Adopted by the
    tracker while open.
    """

    kind = 'validation'

    def __init__(self, tracker, settle=DEFAULT_SETTLE_S, window=DEFAULT_WINDOW_S):
        settle = finite_float(settle, 'settle')
        if settle < 0:
            raise ValueError('settle must be 0 or more seconds, not %r' % settle)
        self.tracker = tracker
        self.settle = settle
        self.window = finite_float(window, 'window')
        if self.window <= 0:
            raise ValueError('window must be above 0 seconds, not %r' % window)
        self.active = False
        self.closed = False
        self._samples = collections.deque(maxlen=_KEPT_SAMPLES)
        self._arrived = threading.Event()
        self._targets = collections.OrderedDict()  # target -> list of samples (dicts)
        self._gaze = None
        self._area = None
        self._track_box_centre = None

    def _on_gaze(self, sample):  # on a device library thread: append only
        self._samples.append(sample)
        self._arrived.set()

    def __enter__(self):
        self.start()
        return self

    def start(self):
        """Reads the geometry and starts listening to gaze data (done by `with`)."""
        tracker = self.tracker
        self._area = tracker.get_display_area()
        self._track_box_centre = tracker.get_track_box().center
        self._gaze = tracker.gaze(callback=self._on_gaze)
        self.active = True
        tracker.adopt(self)

    def _xy(self, x, y):
        if y is None:
            x, y = x
        return finite_float(x, 'x'), finite_float(y, 'y')

    def collect(self, x, y=None, times=1):
        """Takes the gaze samples at target (x, y) (display-area normalised,
        or a tuple) from `settle` to `settle + times * window` seconds after
        now (`times` as in the calibration session's collect); returns the
        target's PointQuality. Waits at most the window's end plus the
        tracker's timeout for samples to arrive."""
        x, y = self._xy(x, y)
        if isinstance(times, bool) or not isinstance(times, integer_types) or times < 1:
            raise ValueError('times must be a whole number of 1 or more, not %r' % (times,))
        if not self.active:
            raise ValueError('collect: the validation is not started (use it in a with block)')
        now = _runtime.call('get_system_time_stamp', (), self.tracker.timeout)
        begin = now + int(round(self.settle * 1e6))
        end = begin + int(round(self.window * times * 1e6))
        deadline = time.time() + self.settle + self.window * times + self.tracker.timeout
        taken = []
        samples = self._samples
        while True:
            self._arrived.clear()
            latest = None
            while samples:
                sample = samples.popleft()
                stamp = sample['system_time_stamp']
                latest = stamp
                if begin <= stamp < end:
                    taken.append(sample)
                elif stamp >= end:
                    samples.appendleft(sample)  # belongs to the next target
                    break
            if latest is not None and latest >= end or samples:
                break
            if time.time() >= deadline:
                break
            self._arrived.wait(0.05)
        key = (round(x, 6), round(y, 6))
        self._targets.setdefault(key, []).extend(taken)
        return self._point(key, self._targets[key])[0]

    def discard(self, x, y=None):
        """Drops what was collected at target (x, y)."""
        x, y = self._xy(x, y)
        self._targets.pop((round(x, 6), round(y, 6)), None)

    def _point(self, target, taken):
        """(PointQuality, True if every eye's position came from gaze origins)."""
        area = self._area
        target_mm = area.point(*target)
        across = tuple(r - l for r, l in zip(area.top_right, area.top_left))
        per_eye, measured = {}, True
        for eye in EYES:
            points, origins = [], []
            for sample in taken:
                point = sample[eye + '_gaze_point_on_display_area']
                valid = sample[eye + '_gaze_point_validity'] == 1 and _finite_point(point)
                points.append(area.point(*point) if valid else None)
                origin = sample[eye + '_gaze_origin_in_user_coordinate_system']
                if sample[eye + '_gaze_origin_validity'] == 1 and _finite_point(origin):
                    origins.append(origin)
            if origins:
                origin = tuple(sum(o[i] for o in origins) / len(origins) for i in range(3))
            else:
                origin, measured = self._track_box_centre, False
            per_eye[eye] = measures.eye_quality(target_mm, points, origin, across)
        return PointQuality(target, per_eye['left'], per_eye['right']), measured

    def result(self):
        """The ValidationResult of every target collected so far (kept as
        tracker.last_validation)."""
        points, measured = [], True
        for target, taken in self._targets.items():
            point, ok = self._point(target, taken)
            points.append(point)
            measured = measured and ok
        overall = dict((eye, measures.overall_quality([getattr(p, eye) for p in points]))
                       for eye in EYES)
        result = ValidationResult(points, overall['left'], overall['right'], self.settle,
                                  self.window, 'gaze data' if measured else
                                  'track box centre (for some targets)')
        self.tracker.last_validation = result
        return result

    compute = result  # the calibration session's name for it

    def close(self, timeout=None):
        """Stops listening to gaze data (done at the end of `with`)."""
        if self.closed:
            return
        self.closed = True
        self.active = False
        try:
            if self._gaze is not None:
                self._gaze.close(timeout)
                self._gaze = None
        finally:
            self.tracker.disown(self)

    def __exit__(self, kind, value, trace):
        if kind is None:
            self.close()
        else:
            try:
                self.close()
            except Exception:
                _runtime.report_exception('ending the validation')
        return False
