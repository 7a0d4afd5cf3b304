"""Eye trackers as objects: discovery, description, settings, geometry,
calibration data, streams and recordings.

A Tracker keeps the module running while it is open; close it (or use it in
a `with` block) when done. Whatever is still open at interpreter exit is
closed then. What is opened on a tracker (subscriptions, calibration
sessions, clock syncs, recordings) registers with it through
`tracker.adopt(child)` / `tracker.disown(child)` (see velto._runtime).

The tracker is the top of the device layer: it imports streams, calibration
and clock, never the data layer above. Tracker.record() reaches the
recording writer through a factory that velto.recording registers with
`provide('record', factory)` when it is imported (the package imports it).
"""
from __future__ import absolute_import, division, print_function, unicode_literals

import collections
import hashlib
import threading

from . import _runtime, calibration, clock, streams
from ._compat import in_foreign_thread, native_text, string_types, to_bytes, to_unicode
from .errors import VeltoError
from .geometry import DisplayArea, TrackBox, finite_float

# Capability strings of a device description and their short names.
CAPABILITIES = collections.OrderedDict([
    ('capability_can_set_display_area', 'display_area'),
    ('capability_has_external_signal', 'external_signal'),
    ('capability_has_eye_images', 'eye_images'),
])

# Factories of what higher layers make on a tracker, by name: provide().
_factories = {}


def provide(name, factory):
    """Registers `factory(tracker, *args, **options)` as what tracker.<name>
    makes, for a layer above this one (velto.recording provides 'record')."""
    _factories[name] = factory


def _made_above(name, tracker, *args, **options):
    try:
        factory = _factories[name]
    except KeyError:
        raise VeltoError(name, None, 'import velto (the package) to get it',
                         name='not available: nothing provides %r' % name)
    return factory(tracker, *args, **options)


class Tracker(_runtime.Closable):
    """One eye tracker.

    Description attributes (plain data, read at discovery; refresh() reads
    them again): `address`, `name`, `serial_number`, `model`,
    `firmware_version`, `capabilities` (a tuple of 'display_area',
    'external_signal', 'eye_images'), `handle` (the device handle),
    `description` (the module's dict). `timeout` (seconds; None or
    float('inf'): no limit) limits every wait for a result of this
    tracker's operations.

    `calibration_in_use`: what is known of the calibration the tracker
    applies, as set through this object (a dict, see set_calibration_in_use;
    None when nothing is known). `last_calibration`: the CalibrationResult
    of the last calibration computed here.

    Properties that ask the tracker (frequency, frequencies, mode, modes,
    display_area, track_box) make a device round trip on every read; the
    get_*() methods do the same and say so by their name.
    """

    kind = 'tracker'

    def __init__(self, description, timeout=_runtime.DEFAULT_TIMEOUT):
        _runtime.seconds(timeout)
        self.timeout = timeout
        self.closed = False
        self.last_calibration = None  # the CalibrationResult of the last calibration here
        self.calibration_in_use = None
        self._saved_calibrations = {}  # sha256 of data saved here -> calibration_in_use then
        self._close_lock = threading.Lock()
        self._closing = None          # the thread closing it, once close() began
        self._closed_event = threading.Event()
        self._children = _runtime.Children()
        self._describe(description)
        _runtime.acquire()
        _runtime.adopt(self)

    def _describe(self, description):
        self.description = description
        self.address = description['address']
        self._name = description['device_name']
        self.serial_number = description['serial_number']
        self.model = description['model']
        self.firmware_version = description['firmware_version']
        self.capabilities = tuple(CAPABILITIES.get(c, c) for c in description['device_capabilities'])
        self.handle = description['core_eyetracker']

    def call(self, operation, *args):
        """Runs a module operation on this tracker (its handle first, then
        `args`) within `timeout`; returns the payload or raises VeltoError."""
        if self.closed:
            raise VeltoError(operation, None, name='the tracker is closed')
        return _runtime.call(operation, (self.handle,) + args, self.timeout)

    def refresh(self):
        """Reads the description again (get_device_data); returns self."""
        self._describe(self.call('get_device_data'))
        return self

    def report_stream_error(self, message):
        """Reports an error of your own; it comes back on the stream_errors stream."""
        self.call('report_stream_error', native_text(message, 'the message'))

    # ---------------------------------------------------------------- settings

    # Device round trips have a get_*() method; the properties of the same
    # name are kept for convenience and ask the tracker on every read too.

    @property
    def name(self):
        """The tracker's name as read at discovery or refresh() (no round
        trip); assigning one renames the tracker (two round trips)."""
        return self._name

    @name.setter
    def name(self, value):
        self.set_name(value)

    def set_name(self, value):
        """Renames the tracker and reads its description again."""
        self.call('set_device_name', native_text(value, 'the name'))
        self.refresh()

    def get_frequencies(self):
        """Every gaze output frequency offered, in Hz (tuple of floats); asks the tracker."""
        return tuple(round(f, 6) for f in self.call('get_all_gaze_output_frequencies'))

    def get_frequency(self):
        """The gaze output frequency in Hz; asks the tracker."""
        return self.call('get_gaze_output_frequency')

    @property
    def frequencies(self):
        """get_frequencies(): a device round trip on every read."""
        return self.get_frequencies()

    @property
    def frequency(self):
        """get_frequency(): a device round trip on every read; assign one of
        `frequencies` (an int is fine) to set it."""
        return self.get_frequency()

    @frequency.setter
    def frequency(self, value):
        self.set_frequency(value)

    def set_frequency(self, hz, nearest=False):
        """Sets the gaze output frequency; with nearest=True the offered one
        closest to `hz`. Returns the frequency set."""
        hz = finite_float(hz, 'the frequency')
        offered = self.get_frequencies()
        if nearest and offered:
            hz = min(offered, key=lambda f: abs(f - hz))
        try:
            self.call('set_gaze_output_frequency', hz)
        except VeltoError as error:
            if error.status is not None and all(abs(f - hz) > 1e-3 for f in offered):
                error.add_detail('offered: %s Hz' % ', '.join('%g' % f for f in offered))
            raise
        return hz

    def get_modes(self):
        """Every eye tracking mode offered (tuple of str); asks the tracker."""
        return tuple(self.call('get_all_eye_tracking_modes'))

    def get_mode(self):
        """The eye tracking mode; asks the tracker."""
        return self.call('get_eye_tracking_mode')

    def set_mode(self, value):
        """Sets the eye tracking mode (one of get_modes())."""
        self.call('set_eye_tracking_mode', native_text(value, 'the mode'))

    @property
    def modes(self):
        """get_modes(): a device round trip on every read."""
        return self.get_modes()

    @property
    def mode(self):
        """get_mode(): a device round trip on every read; assign one of
        `modes` to change it."""
        return self.get_mode()

    @mode.setter
    def mode(self, value):
        self.set_mode(value)

    def get_display_area(self):
        """The DisplayArea (screen geometry) the tracker uses; asks the tracker."""
        return DisplayArea.from_dict(self.call('get_display_area'))

    def get_track_box(self):
        """The TrackBox in which the tracker finds the eyes; asks the tracker."""
        return TrackBox.from_dict(self.call('get_track_box'))

    @property
    def display_area(self):
        """get_display_area(): a device round trip on every read."""
        return self.get_display_area()

    @property
    def track_box(self):
        """get_track_box(): a device round trip on every read."""
        return self.get_track_box()

    def settings(self):
        """Frequency, mode and geometry as plain data (for metadata files);
        four round trips."""
        return {'gaze_output_frequency_hz': self.get_frequency(),
                'eye_tracking_mode': to_unicode(self.get_mode()),
                'display_area': self.get_display_area().to_dict(),
                'track_box': self.get_track_box().to_dict()}

    def to_dict(self):
        """The description as plain JSON-able data."""
        return {'address': to_unicode(self.address), 'name': to_unicode(self.name),
                'serial_number': to_unicode(self.serial_number), 'model': to_unicode(self.model),
                'firmware_version': to_unicode(self.firmware_version),
                'capabilities': [to_unicode(c) for c in self.capabilities]}

    # ---------------------------------------------------------------- calibration

    def retrieve_calibration(self):
        """The tracker's calibration as opaque bytes, or None when it has none."""
        return self.call('calibration_retrieve')

    def apply_calibration(self, data, source_file=None):
        """Applies calibration bytes from retrieve_calibration (also of an
        earlier session). Damaged data raises VeltoError (status 6 with the
        simulated library). `source_file`: the file the data came from, for
        calibration_in_use."""
        data = to_bytes(data)
        digest = hashlib.sha256(data).hexdigest()
        try:
            self.call('calibration_apply', data)
        except VeltoError as error:
            if error.status is None:  # timed out: it may have been applied
                self.set_calibration_in_use('unknown', detail='applying it timed out')
            raise
        except BaseException:
            self.set_calibration_in_use('unknown', detail='applying it was interrupted')
            raise
        self.set_calibration_in_use('file' if source_file is not None else 'data',
                                    quality=self._saved_calibrations.get(digest),
                                    source_file=source_file, sha256=digest)

    def set_calibration_in_use(self, source, quality=None, source_file=None, **details):
        """Sets calibration_in_use: the quality's CalibrationResult.to_dict()
        keys when known, with 'source' ('computed', 'file', 'data' or
        'unknown'), 'source_file' (absolute path or None) and `details`; a
        recording's metadata names it under 'calibration'."""
        in_use = dict(quality or {})
        in_use.update(details, source=source, source_file=source_file)
        self.calibration_in_use = in_use
        return in_use

    def remember_saved_calibration(self, data):
        """Notes that `data` (saved to a file here) is the calibration in use,
        so that loading that file again keeps what is known of it."""
        quality = dict((k, v) for k, v in (self.calibration_in_use or {}).items()
                       if k not in ('source', 'source_file', 'sha256', 'detail'))
        if 'points' in quality:
            self._saved_calibrations[hashlib.sha256(data).hexdigest()] = quality

    def save_calibration(self, path):
        """Writes the tracker's calibration to a file (replaced whole, never
        left half written); returns the number of bytes."""
        return calibration.save_calibration(self, path)

    def load_calibration(self, path):
        """Applies a calibration saved by save_calibration; a missing,
        unreadable or damaged file raises CalibrationFileError."""
        return calibration.load_calibration(self, path)

    def calibrate(self, **options):
        """A CalibrationSession for `with`: calibration mode while the block
        runs, left again on every way out. See velto.calibration."""
        return calibration.CalibrationSession(self, **options)

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
        return streams.Subscription(stream, device, callback, queue_size, self.timeout, owner=self)

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
        return clock.ClockSync(self)

    def record(self, folder, **options):
        """Starts a Recording of gaze and events into `folder`; see
        velto.recording.Recording for the options."""
        return _made_above('record', self, folder, **options)

    # ---------------------------------------------------------------- lifetime

    def adopt(self, child):
        """Registers an open child resource of this tracker (it has `kind`
        and close(timeout=None)): closed with the tracker and at exit."""
        self._children.add(child)
        _runtime.adopt(child)

    def disown(self, child):
        """The counterpart of adopt(), called by the child's close()."""
        self._children.remove(child)
        _runtime.disown(child)

    def close(self, timeout=None):
        """Closes what is open on this tracker (recordings, calibration,
        clock syncs, subscriptions, in that order), then lets the module stop
        if nothing else uses it. Idempotent; a second caller waits until the
        first one is done (unless it is a library thread, which must not wait)."""
        me = threading.current_thread()
        with self._close_lock:
            closing, first = self._closing, self._closing is None
            if first:
                self._closing = me
        if not first:
            if closing is not me and not in_foreign_thread():
                while not self._closed_event.wait(0.25):  # slices keep Ctrl-C working on 2.7
                    pass
            return
        try:
            self._children.close_all(timeout)
        finally:
            self.closed = True
            _runtime.disown(self)
            _runtime.release()
            self._closed_event.set()

    def __repr__(self):
        return '<velto.Tracker "%s" %s (%s, serial %s)%s>' % (
            to_unicode(self.name), to_unicode(self.address), to_unicode(self.model),
            to_unicode(self.serial_number), ' closed' if self.closed else '')


# -------------------------------------------------------------------- discovery

def find_trackers(timeout=_runtime.DEFAULT_TIMEOUT):
    """Every eye tracker found, as open Tracker objects (close the ones you
    do not use, or let them be closed at exit)."""
    _runtime.seconds(timeout)
    with _runtime.Using():
        descriptions = _runtime.call_retrying('find_all_eyetrackers', (), timeout)
        return [Tracker(d, timeout) for d in descriptions]


def open_tracker(address=None, serial_number=None, name=None, capabilities=(),
                 timeout=_runtime.DEFAULT_TIMEOUT):
    """One tracker: the one at `address`, or the first found whose serial
    number, name and capabilities match what is given. Raises VeltoError
    when there is none."""
    _runtime.seconds(timeout)
    if address is not None:
        address = native_text(address, 'the address')
    with _runtime.Using():
        if address is not None:
            return Tracker(_runtime.call('get_device', (address,), timeout), timeout)
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
    _runtime.seconds(timeout)
    with _runtime.Using():
        return _runtime.call('get_system_time_stamp', (), timeout)


def library_version(timeout=_runtime.DEFAULT_TIMEOUT):
    """The device library's version, 'a.b.c.d'."""
    _runtime.seconds(timeout)
    with _runtime.Using():
        return _runtime.call('get_sdk_version', (), timeout)


def versions(timeout=_runtime.DEFAULT_TIMEOUT):
    """Versions of this package, the module, the device library and its
    engine (None where unknown), as a dict of text."""
    _runtime.seconds(timeout)
    mod = _runtime.module()
    with _runtime.Using():
        try:
            library = _runtime.call('get_sdk_version', (), timeout)
        except VeltoError:
            library = None
        engine = mod.get_kelmo_version()
    return {'velto': _runtime.package_version(), 'velto_internal': to_unicode(mod.__version__),
            'device_library': to_unicode(library) if library is not None else None,
            'engine': to_unicode(engine[1]) if engine[0] == 0 else None}


def terminate(timeout=_runtime.DEFAULT_TIMEOUT):
    """Ends the device library (its threads and streams). Later operations
    fail with "library not initialised" until the module restarts, which
    happens when everything using it has been closed."""
    _runtime.seconds(timeout)
    with _runtime.Using():
        _runtime.call('terminate', (), timeout)


def call(operation, *args, **options):
    """Any operation by its module name, for what the objects do not cover:
    call('get_display_area', tracker.handle). Returns the payload or raises
    VeltoError; `timeout=` seconds (default 10). Ints are not converted."""
    timeout = options.pop('timeout', _runtime.DEFAULT_TIMEOUT)
    if options:
        raise TypeError('unexpected keyword arguments: %s' % ', '.join(options))
    _runtime.seconds(timeout)
    operation = native_text(operation, 'the operation')
    with _runtime.Using():
        return _runtime.call(operation, args, timeout)


__all__ = ['CAPABILITIES', 'DisplayArea', 'TrackBox', 'Tracker', 'find_trackers', 'open_tracker',
           'provide', 'log_messages', 'system_time', 'library_version', 'versions', 'terminate', 'call']
