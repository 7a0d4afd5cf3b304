"""Screen-based calibration: a session that always leaves calibration mode,
its quality in degrees of visual angle, and calibration files.

    with tracker.calibrate() as calibration:
        for x, y in velto.FIVE_POINTS:
            show_target(x, y)              # your stimulus; let the eyes settle
            calibration.collect(x, y)
        result = calibration.compute()
    print(result)                          # accuracy and precision per point and eye

Quality, per calibration point and eye, from the samples the tracker
collected there (only those it marks valid):

- accuracy: the mean angular distance between each sample and the target,
  seen from the eye (its gaze origin), in degrees;
- precision (RMS): the root mean square of the angular distances between
  successive samples, in degrees (needs two or more samples at the point);
- precision (SD): the standard deviation of the samples' angular distances
  from their own mean position, sqrt(sum d^2 / (n - 1)), in degrees.

The overall figures of an eye are the means of its per-point figures (every
point weighs the same). Positions on the screen become millimetres through
the display area; the eye position is the mean gaze origin the tracker
reported around each collection (the session listens to gaze data for it),
or the centre of the track box when it reported none.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import math
import os
import threading

from . import _runtime
from ._compat import integer_types, to_unicode
from .errors import VeltoError, VeltoTimeout
from .files import file_reason, path_text, replace_file
from .geometry import finite_float, visual_angle

FIVE_POINTS = ((0.5, 0.5), (0.1, 0.1), (0.1, 0.9), (0.9, 0.1), (0.9, 0.9))
NINE_POINTS = ((0.5, 0.5), (0.1, 0.1), (0.5, 0.1), (0.9, 0.1), (0.1, 0.5), (0.9, 0.5),
               (0.1, 0.9), (0.5, 0.9), (0.9, 0.9))

EYES = ('left', 'right')
# Collections of one collect() call: each is a device round trip.
MAX_COLLECTIONS = 100
# Gaze origins averaged for the eye position at a collection.
_ORIGIN_SAMPLES = 30


class CalibrationFileError(VeltoError):
    """A calibration file could not be saved or restored: missing, not
    readable, not writable, or holding damaged data. `path` names the file."""

    def __init__(self, operation, path, reason, status=None):
        self.path = path
        VeltoError.__init__(self, operation, status, 'file %s' % to_unicode(path), name=reason)

    def __reduce__(self):
        return (self.__class__, (self.operation, self.path, self.status_name, self.status))


# -------------------------------------------------------------------- quality

class EyeQuality(collections.namedtuple('EyeQuality', (
        'accuracy_deg', 'precision_rms_deg', 'precision_sd_deg', 'valid_samples', 'samples'))):
    """Calibration quality of one eye (at one point, or overall). Figures are
    None where there is not enough valid data (precision needs two samples)."""
    __slots__ = ()


class PointQuality(collections.namedtuple('PointQuality', 'target left right')):
    """target: (x, y) normalised; left, right: EyeQuality at that point."""
    __slots__ = ()


def _mean(values):
    values = [v for v in values if v is not None]
    return sum(values) / len(values) if values else None


def eye_quality(target, samples, origin):
    """EyeQuality of samples ((x, y, z) mm, in collection order) around a
    target ((x, y, z) mm) seen from `origin`; `samples` holds only valid ones."""
    n = len(samples)
    if n == 0:
        return EyeQuality(None, None, None, 0, 0)
    accuracy = sum(visual_angle(origin, target, s) for s in samples) / n
    rms = sd = None
    if n >= 2:
        steps = [visual_angle(origin, a, b) for a, b in zip(samples, samples[1:])]
        rms = math.sqrt(sum(d * d for d in steps) / len(steps))
        centre = tuple(sum(s[i] for s in samples) / n for i in range(3))
        sd = math.sqrt(sum(visual_angle(origin, centre, s) ** 2 for s in samples) / (n - 1))
    return EyeQuality(accuracy, rms, sd, n, n)


def target_key(x, y):
    """A target as the module reports it back (rounded to six decimals)."""
    return (round(x, 6), round(y, 6))


def calibration_quality(points, display_area, origins):
    """A CalibrationResult from the calibration points of the module (dicts
    with position, left/right_sample_position, left/right_validity), a
    DisplayArea and the eye positions: `origins` maps (target, eye) to an
    (x, y, z) mm gaze origin, with (None, eye) as the fallback for targets
    not listed."""
    by_target = collections.OrderedDict()
    for point in points:
        by_target.setdefault(target_key(*point['position']), []).append(point)
    qualities = []
    for target, collected in by_target.items():
        target_mm = display_area.point(*target)
        per_eye = {}
        for eye in EYES:
            origin = origins.get((target, eye)) or origins.get((None, eye))
            if origin is None:
                raise ValueError('no eye position for the %s eye at %r' % (eye, target))
            valid = [display_area.point(*p[eye + '_sample_position'])
                     for p in collected if p[eye + '_validity'] == 1]
            quality = eye_quality(target_mm, valid, origin)
            per_eye[eye] = quality._replace(samples=len(collected))
        qualities.append(PointQuality(target, per_eye['left'], per_eye['right']))
    overall = {}
    for eye in EYES:
        at_points = [getattr(q, eye) for q in qualities]
        overall[eye] = EyeQuality(_mean(q.accuracy_deg for q in at_points),
                                  _mean(q.precision_rms_deg for q in at_points),
                                  _mean(q.precision_sd_deg for q in at_points),
                                  sum(q.valid_samples for q in at_points),
                                  sum(q.samples for q in at_points))
    return CalibrationResult(qualities, overall['left'], overall['right'], list(points))


def _deg(value):
    return '   -  ' if value is None else '%6.2f' % value


class CalibrationResult(object):
    """The quality of a calibration: `points` (PointQuality per target, in
    collection order), `left` and `right` (overall EyeQuality), `raw_points`
    (the module's calibration point dicts), `origin_source` ('gaze data' or
    'track box centre'). str() gives a readable table."""

    def __init__(self, points, left, right, raw_points, origin_source='gaze data'):
        self.points = points
        self.left = left
        self.right = right
        self.raw_points = raw_points
        self.origin_source = origin_source

    def to_dict(self):
        """Plain JSON-able data (for a recording's metadata)."""
        def eye(q):
            return dict(q._asdict())
        return {'points': [{'target': list(p.target), 'left': eye(p.left), 'right': eye(p.right)}
                           for p in self.points],
                'left': eye(self.left), 'right': eye(self.right),
                'origin_source': self.origin_source,
                'definitions': {'accuracy_deg': 'mean angular offset of the valid samples '
                                                'from the target',
                                'precision_rms_deg': 'RMS of sample-to-sample angular distances',
                                'precision_sd_deg': 'SD of angular distances from the samples\' mean'}}

    def report(self):
        lines = ['Calibration quality (degrees of visual angle; accuracy = mean offset from the '
                 'target, precision = RMS sample-to-sample / SD)',
                 '  %-14s %-30s %-30s' % ('target', 'left eye', 'right eye'),
                 '  %-14s %-30s %-30s' % ('', 'accuracy  RMS     SD    n', 'accuracy  RMS     SD    n')]

        def eye(q):
            return '%s  %s %s %2d/%-2d' % (_deg(q.accuracy_deg), _deg(q.precision_rms_deg),
                                          _deg(q.precision_sd_deg), q.valid_samples, q.samples)
        for point in self.points:
            lines.append('  (%.2f, %.2f)   %-30s %-30s' % (point.target + (eye(point.left),
                                                                        eye(point.right))))
        lines.append('  %-14s %-30s %-30s' % ('overall', eye(self.left), eye(self.right)))
        if self.origin_source != 'gaze data':
            lines.append('  (eye position: %s; no gaze origin was reported)' % self.origin_source)
        return '\n'.join(lines)

    __str__ = report

    def __repr__(self):
        return '<velto.CalibrationResult left %s deg, right %s deg>' % (
            _deg(self.left.accuracy_deg).strip(), _deg(self.right.accuracy_deg).strip())


# -------------------------------------------------------------------- session

def _leaving_on_interrupt(step):
    """A session step after which Ctrl-C (or SystemExit) leaves calibration
    mode before it propagates: the tracker never stays in it."""
    def run(self, *args, **options):
        try:
            return step(self, *args, **options)
        except (KeyboardInterrupt, SystemExit):
            try:
                self.close()
            except BaseException:
                _runtime.report_exception('leaving calibration mode after an interrupt')
            raise
    run.__name__, run.__doc__ = step.__name__, step.__doc__
    return run


class CalibrationSession(_runtime.Closable):
    """Calibration mode on one tracker, for a `with` block: entered on entry,
    left on every way out (an exception, Ctrl-C, a failed step). Made by
    Tracker.calibrate().

    collect(x, y) gathers data at a target (display-area normalised, 0..1
    from the top-left corner; ints are fine); discard(x, y) drops what was
    collected there; compute() computes and applies the calibration and
    returns its CalibrationResult, also kept as tracker.last_calibration
    (and in tracker.calibration_in_use). Ctrl-C during any step leaves
    calibration mode, then propagates. Adopted by the tracker while in
    calibration mode.
    """

    kind = 'calibration'

    def __init__(self, tracker, measure_eyes=True):
        self.tracker = tracker
        self.active = False
        self.result = None
        self._measure_eyes = measure_eyes
        self._recent = dict((eye, collections.deque(maxlen=_ORIGIN_SAMPLES)) for eye in EYES)
        self._origins = {}
        self._gaze = None
        self._lock = threading.Lock()

    def _on_gaze(self, sample):  # on a device library thread: only appends
        for eye in EYES:
            if sample[eye + '_gaze_origin_validity'] == 1:
                self._recent[eye].append(sample[eye + '_gaze_origin_in_user_coordinate_system'])

    def __enter__(self):
        self.start()
        return self

    def start(self):
        """Enters calibration mode (done by `with`)."""
        tracker = self.tracker
        if self._measure_eyes:
            try:
                self._gaze = tracker.gaze(callback=self._on_gaze)
            except VeltoError:
                pass  # the quality figures fall back to the track box centre
        try:
            tracker.call('screen_based_calibration_enter_calibration_mode')
            self.active = True
        except BaseException as error:
            if not isinstance(error, VeltoError) or isinstance(error, VeltoTimeout):
                # Timed out or interrupted (Ctrl-C) while the request may
                # still run: requests run in order, so this leaves after it.
                _runtime.call_async('screen_based_calibration_leave_calibration_mode',
                                    (tracker.handle,))
            self._stop_listening()
            raise
        tracker.adopt(self)

    def _xy(self, x, y):
        if y is None:
            x, y = x
        return finite_float(x, 'x'), finite_float(y, 'y')

    @_leaving_on_interrupt
    def collect(self, x, y=None, times=1):
        """Collects calibration data at the target (x, y), or at a tuple (x, y),
        `times` times, 1 to MAX_COLLECTIONS (each collection adds a sample per
        eye; precision needs two or more at a target)."""
        x, y = self._xy(x, y)
        if (isinstance(times, bool) or not isinstance(times, integer_types)
                or not 1 <= times <= MAX_COLLECTIONS):
            raise ValueError('times must be a whole number from 1 to %d, not %r'
                             % (MAX_COLLECTIONS, times))
        for _ in range(times):
            self.tracker.call('screen_based_calibration_collect_data', x, y)
        for eye in EYES:
            recent = list(self._recent[eye])
            if recent:
                self._origins[(target_key(x, y), eye)] = tuple(sum(o[i] for o in recent) / len(recent)
                                                     for i in range(3))

    @_leaving_on_interrupt
    def discard(self, x, y=None):
        """Drops the data collected at the target (x, y)."""
        x, y = self._xy(x, y)
        self.tracker.call('screen_based_calibration_discard_data', x, y)

    @_leaving_on_interrupt
    def compute(self):
        """Computes and applies the calibration; returns its CalibrationResult.
        VeltoError "no calibration data collected" when nothing was collected."""
        tracker = self.tracker
        try:
            tracker.call('screen_based_calibration_compute_and_apply')
        except VeltoTimeout:
            tracker.set_calibration_in_use('unknown', detail='computing it timed out')
            raise
        except (KeyboardInterrupt, SystemExit):
            tracker.set_calibration_in_use('unknown', detail='computing it was interrupted')
            raise
        tracker.set_calibration_in_use('computed')  # its quality follows
        points = tracker.call('screen_based_calibration_get_calibration_points')
        origins = dict(self._origins)
        source = 'gaze data'
        if not origins:
            source = 'track box centre'
        for eye in EYES:
            # Targets without a measured eye position fall back to the eye's
            # mean over the session, or to the track box centre.
            measured = [o for (t, e), o in self._origins.items() if e == eye]
            if measured:
                origins[(None, eye)] = tuple(sum(o[i] for o in measured) / len(measured)
                                             for i in range(3))
            else:
                origins[(None, eye)] = tracker.get_track_box().center
        result = calibration_quality(points, tracker.get_display_area(), origins)
        result.origin_source = source
        self.result = tracker.last_calibration = result
        tracker.set_calibration_in_use('computed', quality=result.to_dict())
        return result

    def _stop_listening(self):
        with self._lock:
            gaze, self._gaze = self._gaze, None
        if gaze is not None:
            gaze.close()

    def close(self, timeout=None):
        """Leaves calibration mode (done at the end of `with`). Idempotent."""
        with self._lock:
            active, self.active = self.active, False
        try:
            if active:
                try:
                    _runtime.call('screen_based_calibration_leave_calibration_mode',
                                  (self.tracker.handle,),
                                  self.tracker.timeout if timeout is None else timeout)
                except VeltoError as error:
                    if error.status not in (1, 4):  # terminated, or left already
                        raise
        finally:
            self._stop_listening()
            self.tracker.disown(self)

    def __exit__(self, kind, value, trace):
        if kind is None:
            self.close()
        else:
            # Leave without hiding the exception that ends the block.
            try:
                self.close()
            except Exception:
                _runtime.report_exception('leaving calibration mode')
        return False


# -------------------------------------------------------------------- files

def save_calibration(tracker, path):
    """Writes the tracker's calibration to `path`, through a temporary file
    in the same folder so that an existing file is never left half written.
    Returns the number of bytes written."""
    path = path_text(path, 'the calibration file')
    data = tracker.retrieve_calibration()
    if data is None:
        raise CalibrationFileError('calibration_retrieve', path,
                                   'the tracker holds no calibration to save')
    if os.path.isdir(path):
        raise CalibrationFileError('calibration_retrieve', path, 'is a folder, not a file')
    if os.path.exists(path) and not os.stat(path).st_mode & 0o222:
        raise CalibrationFileError('calibration_retrieve', path, 'the file is read-only')
    try:
        replace_file(path, data, prefix='.calibration-')
    except EnvironmentError as error:
        raise CalibrationFileError('calibration_retrieve', path, 'cannot write: %s'
                                   % file_reason(error))
    tracker.remember_saved_calibration(data)
    return len(data)


def load_calibration(tracker, path):
    """Applies the calibration saved in `path` to the tracker. Raises
    CalibrationFileError for a missing or unreadable file and for data the
    tracker refuses as damaged. Returns the number of bytes applied; the
    file is then named in tracker.calibration_in_use."""
    path = path_text(path, 'the calibration file')
    try:
        with open(path, 'rb') as stream:
            data = stream.read()
    except EnvironmentError as error:
        raise CalibrationFileError('calibration_apply', path, 'cannot read: %s'
                                   % file_reason(error))
    if not data:
        raise CalibrationFileError('calibration_apply', path,
                                   'damaged calibration data (the file is empty)')
    try:
        tracker.apply_calibration(data, source_file=os.path.abspath(path))
    except VeltoTimeout:
        raise
    except VeltoError as error:
        # With the simulated library 6 means damaged or foreign data; a real
        # library's own code for it reads as "unknown status" here.
        if error.status == 6:
            raise CalibrationFileError('calibration_apply', path, 'damaged calibration data', 6)
        raise
    return len(data)
