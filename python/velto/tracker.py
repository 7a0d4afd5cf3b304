"""Eye trackers as objects: discovery, description, settings, geometry,
calibration data, streams and recordings.

A Tracker keeps the module running while it is open; close it (or use it in
a `with` block) when done. Whatever is still open at interpreter exit is
closed then.
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import itertools
import math
import threading

from . import _runtime, streams
from ._compat import native_text, string_types, to_bytes, to_unicode
from .errors import VeltoError

# Capability strings of a device description and their short names.
CAPABILITIES = collections.OrderedDict([
    ('capability_can_set_display_area', 'display_area'),
    ('capability_has_external_signal', 'external_signal'),
    ('capability_has_eye_images', 'eye_images'),
])

_serials = itertools.count(1)


def _nominal(value):
    """A float the library holds as a 32-bit float, read as its nominal value
    (-265.65 rather than -265.6499938964844): seven significant digits."""
    return float('%.7g' % value)


def _point(value):
    return tuple(_nominal(v) for v in value)


class DisplayArea(collections.namedtuple('DisplayArea', (
        'top_left', 'top_right', 'bottom_left', 'bottom_right', 'width', 'height'))):
    """The screen in the user coordinate system: corners as (x, y, z) in mm
    (origin at the tracker, x to the user's right, y up, z towards the user),
    width and height in mm."""
    __slots__ = ()

    @classmethod
    def from_dict(cls, area):
        return cls(_point(area['top_left']), _point(area['top_right']),
                   _point(area['bottom_left']), _point(area['bottom_right']),
                   _nominal(area['width']), _nominal(area['height']))

    def to_dict(self):
        return dict((key, list(value) if isinstance(value, tuple) else value)
                    for key, value in self._asdict().items())

    def point(self, x, y):
        """The (x, y, z) mm position of a display-area normalised point, (0, 0)
        at the top-left corner, (1, 1) at the bottom-right one."""
        tl, tr, bl = self.top_left, self.top_right, self.bottom_left
        return tuple(tl[i] + x * (tr[i] - tl[i]) + y * (bl[i] - tl[i]) for i in range(3))

    def to_mm(self, x, y):
        """A normalised point as millimetres from the top-left corner."""
        return x * self.width, y * self.height


class TrackBox(collections.namedtuple('TrackBox', (
        'back_lower_left', 'back_lower_right', 'back_upper_left', 'back_upper_right',
        'front_lower_left', 'front_lower_right', 'front_upper_left', 'front_upper_right'))):
    """The volume in which the tracker finds the eyes: eight (x, y, z) mm corners."""
    __slots__ = ()

    @classmethod
    def from_dict(cls, box):
        return cls(*[_point(box[name]) for name in cls._fields])

    @property
    def center(self):
        return tuple(sum(corner[i] for corner in self) / 8.0 for i in range(3))


def _float(value, what):
    """A finite float from an int, float or numeric text: the module wants a
    Python float where the library takes a float (an int is refused)."""
    try:
        number = float(value)
    except (TypeError, ValueError):
        raise TypeError('%s must be a number, not %r' % (what, value))
    if math.isnan(number) or math.isinf(number):
        raise ValueError('%s must be finite, not %r' % (what, value))
    return number


class Tracker(_runtime.Closable):
    """One eye tracker.

    Description attributes (plain data, read at discovery; refresh() reads
    them again): `address`, `name`, `serial_number`, `model`,
    `firmware_version`, `capabilities` (a tuple of 'display_area',
    'external_signal', 'eye_images'), `handle` (the device handle),
    `description` (the module's dict). `timeout` (seconds) limits every wait
    for a result of this tracker's operations.
    """

    _exit_order = 1

    def __init__(self, description, timeout=_runtime.DEFAULT_TIMEOUT):
        self.timeout = timeout
        self.closed = False
        self.last_calibration = None  # the CalibrationResult of the last calibration here
        self._serial = next(_serials)
        self._children = []  # open subscriptions, calibrations and recordings
        self._children_lock = threading.Lock()
        self._describe(description)
        _runtime.acquire()
        _runtime.register(self)

    def _describe(self, description):
        self.description = description
        self.address = description['address']
        self._name = description['device_name']
        self.serial_number = description['serial_number']
        self.model = description['model']
        self.firmware_version = description['firmware_version']
        self.capabilities = tuple(CAPABILITIES.get(c, c) for c in description['device_capabilities'])
        self.handle = description['core_eyetracker']

    def _call(self, operation, *args):
        if self.closed:
            raise VeltoError(operation, None, name='the tracker is closed')
        return _runtime.call(operation, (self.handle,) + args, self.timeout)

    def refresh(self):
        """Reads the description again (get_device_data); returns self."""
        self._describe(self._call('get_device_data'))
        return self

    def report_stream_error(self, message):
        """Reports an error of your own; it comes back on the stream_errors stream."""
        self._call('report_stream_error', native_text(message))

    # ---------------------------------------------------------------- settings

    @property
    def name(self):
        """The tracker's name; assigning one renames the tracker."""
        return self._name

    @name.setter
    def name(self, value):
        self._call('set_device_name', native_text(value))
        self.refresh()

    @property
    def frequencies(self):
        """Every gaze output frequency offered, in Hz (tuple of floats)."""
        return tuple(round(f, 6) for f in self._call('get_all_gaze_output_frequencies'))

    @property
    def frequency(self):
        """The gaze output frequency in Hz; assign one of `frequencies` (an int is fine)."""
        return self._call('get_gaze_output_frequency')

    @frequency.setter
    def frequency(self, value):
        self.set_frequency(value)

    def set_frequency(self, hz, nearest=False):
        """Sets the gaze output frequency; with nearest=True the offered one
        closest to `hz`. Returns the frequency set."""
        hz = _float(hz, 'the frequency')
        offered = self.frequencies
        if nearest and offered:
            hz = min(offered, key=lambda f: abs(f - hz))
        try:
            self._call('set_gaze_output_frequency', hz)
        except VeltoError as error:
            if error.status is not None and all(abs(f - hz) > 1e-3 for f in offered):
                error.detail = 'offered: %s Hz' % ', '.join('%g' % f for f in offered)
                error.args = (error._message(),)
            raise
        return hz

    @property
    def modes(self):
        """Every eye tracking mode offered (tuple of str)."""
        return tuple(self._call('get_all_eye_tracking_modes'))

    @property
    def mode(self):
        """The eye tracking mode; assign one of `modes` to change it."""
        return self._call('get_eye_tracking_mode')

    @mode.setter
    def mode(self, value):
        self._call('set_eye_tracking_mode', native_text(value))

    @property
    def display_area(self):
        """The DisplayArea (screen geometry) the tracker uses."""
        return DisplayArea.from_dict(self._call('get_display_area'))

    @property
    def track_box(self):
        """The TrackBox in which the tracker finds the eyes."""
        return TrackBox.from_dict(self._call('get_track_box'))

    def settings(self):
        """Frequency, mode and geometry as plain data (for metadata files)."""
        return {'gaze_output_frequency_hz': self.frequency, 'eye_tracking_mode': to_unicode(self.mode),
                'display_area': self.display_area.to_dict(),
                'track_box': dict((k, list(v)) for k, v in self.track_box._asdict().items())}

    def to_dict(self):
        """The description as plain JSON-able data."""
        return {'address': to_unicode(self.address), 'name': to_unicode(self.name),
                'serial_number': to_unicode(self.serial_number), 'model': to_unicode(self.model),
                'firmware_version': to_unicode(self.firmware_version),
                'capabilities': [to_unicode(c) for c in self.capabilities]}

    # ---------------------------------------------------------------- calibration

    def retrieve_calibration(self):
        """The tracker's calibration as opaque bytes, or None when it has none."""
        return self._call('calibration_retrieve')

    def apply_calibration(self, data):
        """Applies calibration bytes from retrieve_calibration (also of an
        earlier session). Damaged data raises VeltoError (status 6 with the
        simulated library)."""
        self._call('calibration_apply', to_bytes(data))

    def save_calibration(self, path):
        """Writes the tracker's calibration to a file (replaced whole, never
        left half written); returns the number of bytes."""
        from .calibration import save_calibration
        return save_calibration(self, path)

    def load_calibration(self, path):
        """Applies a calibration saved by save_calibration; a missing,
        unreadable or damaged file raises CalibrationFileError."""
        from .calibration import load_calibration
        return load_calibration(self, path)

    def calibrate(self, **options):
        """A CalibrationSession for `with`: calibration mode while the block
        runs, left again on every way out. See velto.calibration."""
        from .calibration import CalibrationSession
        return CalibrationSession(self, **options)

    # ---------------------------------------------------------------- streams

    def subscribe(self, stream, callback=None, queue_size=streams.DEFAULT_QUEUE_SIZE):
        """A Subscription to one of this tracker's streams ('gaze',
        'external_signal', 'time_sync', 'stream_errors', 'notifications',
        'eye_images'; 'log' is library-wide: velto.log_messages)."""
        if stream == 'log':
            device = streams.LOG_DEVICE
        else:
            device = self.handle
            needed = streams.STREAM_CAPABILITIES.get(stream)
            if needed and needed not in self.capabilities:
                # Asking anyway would fail with the library's "not supported".
                raise VeltoError('subscribe_to', None, 'the %s stream needs the %s capability'
                                 % (stream, needed), name='not supported by this tracker')
        if self.closed:
            raise VeltoError('subscribe_to', None, name='the tracker is closed')
        subscription = streams.Subscription(stream, device, callback, queue_size, self.timeout,
                                            owner=self)
        self._adopt(subscription)
        return subscription

    def gaze(self, callback=None, queue_size=streams.DEFAULT_QUEUE_SIZE):
        """Gaze data: one dict per sample (docs/reference.md, 3.1)."""
        return self.subscribe('gaze', callback, queue_size)

    def external_signal(self, callback=None, queue_size=streams.DEFAULT_QUEUE_SIZE):
        return self.subscribe('external_signal', callback, queue_size)

    def time_sync(self, callback=None, queue_size=streams.DEFAULT_QUEUE_SIZE):
        return self.subscribe('time_sync', callback, queue_size)

    def stream_errors(self, callback=None, queue_size=streams.DEFAULT_QUEUE_SIZE):
        return self.subscribe('stream_errors', callback, queue_size)

    def notifications(self, callback=None, queue_size=streams.DEFAULT_QUEUE_SIZE):
        return self.subscribe('notifications', callback, queue_size)

    def eye_images(self, callback=None, queue_size=streams.DEFAULT_QUEUE_SIZE):
        return self.subscribe('eye_images', callback, queue_size)

    def clock(self):
        """A ClockSync: listens to time synchronisation and estimates the
        device clock's offset and drift against the system clock."""
        from .clock import ClockSync
        return ClockSync(self)

    def record(self, folder, **options):
        """Starts a Recording of gaze and events into `folder`; see
        velto.recording.Recording for the options."""
        from .recording import Recording
        return Recording(self, folder, **options)

    # ---------------------------------------------------------------- lifetime

    def _adopt(self, child):
        with self._children_lock:
            self._children.append(child)

    def _forget(self, child):
        with self._children_lock:
            if child in self._children:
                self._children.remove(child)

    def close(self, timeout=None):
        """Closes what is open on this tracker (recordings, calibration,
        subscriptions), then lets the module stop if nothing else uses it."""
        if self.closed:
            return
        with self._children_lock:
            children = list(self._children)
        for child in sorted(children, key=lambda c: getattr(c, '_exit_order', 0), reverse=True):
            try:
                child.close(timeout=timeout)
            except Exception:
                _runtime.report_exception('closing %r' % (child,))
        self.closed = True
        _runtime.unregister(self)
        _runtime.release()

    def __repr__(self):
        return '<velto.Tracker "%s" %s (%s, serial %s)%s>' % (
            to_unicode(self.name), to_unicode(self.address), to_unicode(self.model),
            to_unicode(self.serial_number), ' closed' if self.closed else '')


# -------------------------------------------------------------------- discovery

def find_trackers(timeout=_runtime.DEFAULT_TIMEOUT):
    """Every eye tracker found, as open Tracker objects (close the ones you
    do not use, or let them be closed at exit)."""
    with _runtime.Using():
        descriptions = _runtime.call_retrying('find_all_eyetrackers', (), timeout)
        return [Tracker(d, timeout) for d in descriptions]


def open_tracker(address=None, serial_number=None, name=None, capabilities=(),
                 timeout=_runtime.DEFAULT_TIMEOUT):
    """One tracker: the one at `address`, or the first found whose serial
    number, name and capabilities match what is given. Raises VeltoError
    when there is none."""
    with _runtime.Using():
        if address is not None:
            return Tracker(_runtime.call('get_device', (native_text(address),), timeout), timeout)
        wanted = (capabilities,) if isinstance(capabilities, string_types) else tuple(capabilities)
        for description in _runtime.call_retrying('find_all_eyetrackers', (), timeout):
            have = [CAPABILITIES.get(c, c) for c in description['device_capabilities']]
            if serial_number is not None and to_unicode(description['serial_number']) != \
                    to_unicode(serial_number):
                continue
            if name is not None and to_unicode(description['device_name']) != to_unicode(name):
                continue
            if any(c not in have for c in wanted):
                continue
            return Tracker(description, timeout)
    asked = ', '.join('%s %s' % (k, to_unicode(v)) for k, v in (
        ('serial number', serial_number), ('name', name)) if v is not None)
    if wanted:
        asked = ', '.join(filter(None, [asked, 'capabilities ' + ', '.join(wanted)]))
    raise VeltoError('find_all_eyetrackers', None, asked,
                     name='no eye tracker found' + (' matching' if asked else ''))


def log_messages(callback=None, queue_size=streams.DEFAULT_QUEUE_SIZE,
                 timeout=_runtime.DEFAULT_TIMEOUT):
    """A Subscription to the device library's log (library-wide)."""
    return streams.Subscription('log', streams.LOG_DEVICE, callback, queue_size, timeout)


def system_time(timeout=_runtime.DEFAULT_TIMEOUT):
    """The device library's current system time stamp (microseconds with
    the simulated library), the clock of every "system" time stamp."""
    with _runtime.Using():
        return _runtime.call('get_system_time_stamp', (), timeout)


def library_version(timeout=_runtime.DEFAULT_TIMEOUT):
    """The device library's version, 'a.b.c.d'."""
    with _runtime.Using():
        return _runtime.call('get_sdk_version', (), timeout)


def versions(timeout=_runtime.DEFAULT_TIMEOUT):
    """Versions of this package, the module, the device library and its
    engine (None where unknown), as a dict of text."""
    from . import __version__
    mod = _runtime.module()
    with _runtime.Using():
        try:
            library = _runtime.call('get_sdk_version', (), timeout)
        except VeltoError:
            library = None
        engine = mod.get_kelmo_version()
    return {'velto': __version__, 'velto_internal': to_unicode(mod.__version__),
            'device_library': to_unicode(library) if library is not None else None,
            'engine': to_unicode(engine[1]) if engine[0] == 0 else None}


def terminate(timeout=_runtime.DEFAULT_TIMEOUT):
    """Ends the device library (its threads and streams). Later operations
    fail with "library not initialised" until the module restarts, which
    happens when everything using it has been closed."""
    with _runtime.Using():
        _runtime.call('terminate', (), timeout)


def call(operation, *args, **options):
    """Any operation by its module name, for what the objects do not cover:
    call('get_display_area', tracker.handle). Returns the payload or raises
    VeltoError; `timeout=` seconds (default 10). Ints are not converted."""
    timeout = options.pop('timeout', _runtime.DEFAULT_TIMEOUT)
    if options:
        raise TypeError('unexpected keyword arguments: %s' % ', '.join(options))
    with _runtime.Using():
        return _runtime.call(native_text(operation), args, timeout)


__all__ = ['CAPABILITIES', 'DisplayArea', 'TrackBox', 'Tracker', 'find_trackers', 'open_tracker',
           'log_messages', 'system_time', 'library_version', 'versions', 'terminate', 'call']
