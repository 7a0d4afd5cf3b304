"""ctypes binding of the simulator's control interface and the device
library's record layouts.

One table of the records of device/velto.h for every Python reader (the
end-to-end suites, the benchmark, the memory soak), checked at import against
the sizes and offsets that device/velto.h asserts, and the control functions
of simulator/velto_sim.h with their argument and result types set.
Python 2.7 and 3.x, standard library only.

    import velto_sim
    sim = velto_sim.Simulator('build/lib')             # its libvelto.so
    sim = velto_sim.Simulator()                        # installed: the one beside velto_internal
    sim.configure({'generate': False, 'trackers': [{'address': 'velto-sim://a'}]})
    record = velto_sim.GazeData()
    record.system_time_stamp = 1000
    sim.emit(velto_sim.GAZE_DATA, handle, record)      # callbacks made

`Simulator.lib` is the loaded library itself (ctypes.CDLL) for calls this
class does not wrap. `pip install .` installs this file as the top-level
module velto_sim next to velto_internal and libvelto.so.
"""
import ctypes
import json
import os

# Stream types of velto_sim_emit (and of the module's subscribe_to).
LOG = 0
GAZE_DATA = 1
EXTERNAL_SIGNAL = 2
TIME_SYNCHRONIZATION = 3
STREAM_ERRORS = 4
NOTIFICATIONS = 5
EYE_IMAGES = 6


def to_bytes(text):
    """The bytes the library gets for a text argument."""
    return text if isinstance(text, bytes) else text.encode('utf-8', 'surrogateescape')


# ---- record layouts of device/velto.h -----------------------------------------
class Point2(ctypes.Structure):
    _fields_ = [('x', ctypes.c_float), ('y', ctypes.c_float)]


class Point3(ctypes.Structure):
    _fields_ = [('x', ctypes.c_float), ('y', ctypes.c_float), ('z', ctypes.c_float)]


class DisplayArea(ctypes.Structure):
    _fields_ = [('bottom_left', Point3), ('bottom_right', Point3), ('height', ctypes.c_float),
                ('top_left', Point3), ('top_right', Point3), ('width', ctypes.c_float)]


class EyeData(ctypes.Structure):
    _fields_ = [('gaze_point_on_display_area', Point2),
                ('gaze_point_in_user_coordinate_system', Point3),
                ('gaze_point_validity', ctypes.c_int32),
                ('pupil_diameter', ctypes.c_float),
                ('pupil_validity', ctypes.c_int32),
                ('gaze_origin_in_user_coordinate_system', Point3),
                ('gaze_origin_in_trackbox_coordinate_system', Point3),
                ('gaze_origin_validity', ctypes.c_int32)]


class GazeData(ctypes.Structure):
    _fields_ = [('device_time_stamp', ctypes.c_int64),
                ('system_time_stamp', ctypes.c_int64),
                ('left_eye', EyeData),
                ('right_eye', EyeData)]


class ExternalSignalData(ctypes.Structure):
    _fields_ = [('device_time_stamp', ctypes.c_int64),
                ('system_time_stamp', ctypes.c_int64),
                ('value', ctypes.c_int32),
                ('change_type', ctypes.c_int32)]


class TimeSynchronizationData(ctypes.Structure):
    _fields_ = [('system_request_time_stamp', ctypes.c_int64),
                ('device_time_stamp', ctypes.c_int64),
                ('system_response_time_stamp', ctypes.c_int64)]


class StreamErrorData(ctypes.Structure):
    _fields_ = [('system_time_stamp', ctypes.c_int64),
                ('error', ctypes.c_int32),
                ('source', ctypes.c_int32),
                ('message', ctypes.c_char_p)]


class NotificationValue(ctypes.Union):
    _fields_ = [('display_area', DisplayArea), ('gaze_output_frequency', ctypes.c_float)]


class Notification(ctypes.Structure):
    _fields_ = [('system_time_stamp', ctypes.c_int64),
                ('notification_type', ctypes.c_int32),
                ('value', NotificationValue)]


class EyeImage(ctypes.Structure):
    _fields_ = [('device_time_stamp', ctypes.c_int64),
                ('system_time_stamp', ctypes.c_int64),
                ('type', ctypes.c_int32),
                ('camera_id', ctypes.c_int32),
                ('image_size', ctypes.c_uint64),
                ('image_data', ctypes.c_void_p)]


def _check_layout(record, size, offsets, at_least=False):
    """Raises (also under python -O) unless `record` has the C layout: its size
    (at least `size` bytes where the C side only bounds it) and each field's offset."""
    actual = ctypes.sizeof(record)
    if actual < size if at_least else actual != size:
        raise AssertionError('%s is %d bytes, device/velto.h says %s%d'
                             % (record.__name__, actual, 'at least ' if at_least else '', size))
    for field, offset in offsets:
        if getattr(record, field).offset != offset:
            raise AssertionError('%s.%s at offset %d, device/velto.h says %d'
                                 % (record.__name__, field, getattr(record, field).offset, offset))


_check_layout(Point2, 8, [('x', 0), ('y', 4)])
_check_layout(Point3, 12, [('x', 0), ('y', 4), ('z', 8)])
_check_layout(DisplayArea, 56, [('bottom_left', 0), ('bottom_right', 12), ('height', 24),
                                ('top_left', 28), ('top_right', 40), ('width', 52)])
_check_layout(EyeData, 60, [('gaze_point_on_display_area', 0),
                            ('gaze_point_in_user_coordinate_system', 8),
                            ('gaze_point_validity', 20), ('pupil_diameter', 24),
                            ('pupil_validity', 28), ('gaze_origin_in_user_coordinate_system', 32),
                            ('gaze_origin_in_trackbox_coordinate_system', 44),
                            ('gaze_origin_validity', 56)])
_check_layout(GazeData, 136, [('device_time_stamp', 0), ('system_time_stamp', 8),
                              ('left_eye', 16), ('right_eye', 76)])
_check_layout(ExternalSignalData, 24, [('device_time_stamp', 0), ('system_time_stamp', 8),
                                       ('value', 16), ('change_type', 20)])
_check_layout(TimeSynchronizationData, 24, [('system_request_time_stamp', 0),
                                            ('device_time_stamp', 8),
                                            ('system_response_time_stamp', 16)])
_check_layout(StreamErrorData, 24, [('system_time_stamp', 0), ('error', 8), ('source', 12),
                                    ('message', 16)])
_check_layout(NotificationValue, 56, [('display_area', 0), ('gaze_output_frequency', 0)])
_check_layout(Notification, 68, [('system_time_stamp', 0), ('notification_type', 8),
                                 ('value', 12)], at_least=True)
_check_layout(EyeImage, 40, [('device_time_stamp', 0), ('system_time_stamp', 8), ('type', 16),
                             ('camera_id', 20), ('image_size', 24), ('image_data', 32)])


# ---- the control interface of simulator/velto_sim.h -----------------------------
_CONTROL = [  # name, argument types, result type
    ('velto_sim_reset', [], ctypes.c_int),
    ('velto_sim_configure', [ctypes.c_char_p], ctypes.c_int),
    ('velto_sim_last_error', [], ctypes.c_char_p),
    ('velto_sim_fail', [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int], ctypes.c_int),
    ('velto_sim_calls', [ctypes.c_char_p, ctypes.c_size_t], ctypes.c_size_t),
    ('velto_sim_clear_calls', [], None),
    ('velto_sim_emit', [ctypes.c_int, ctypes.c_int64, ctypes.c_void_p], ctypes.c_int),
    ('velto_sim_emit_log', [ctypes.c_int64, ctypes.c_int, ctypes.c_int, ctypes.c_char_p],
     ctypes.c_int),
    ('velto_sim_emit_burst', [ctypes.c_int, ctypes.c_int64, ctypes.c_void_p, ctypes.c_int64],
     ctypes.c_int),
    ('velto_sim_cut_connection', [ctypes.c_char_p, ctypes.c_int64, ctypes.c_int64], ctypes.c_int),
    ('velto_sim_disconnect', [ctypes.c_char_p], ctypes.c_int),
    ('velto_sim_reconnect', [ctypes.c_char_p], ctypes.c_int),
    ('velto_sim_connected', [ctypes.c_char_p], ctypes.c_int),
    ('velto_sim_configure_replay', [ctypes.c_char_p, ctypes.c_int, ctypes.c_double], ctypes.c_int),
]


def replay_tracker(folder, loop=False, speed=1.0, **fields):
    """A world's tracker entry that replays the recording `folder` (other
    tracker fields, e.g. address, may be given too)."""
    entry = dict(fields)
    entry['replay'] = {'recording': folder.decode('utf-8') if isinstance(folder, bytes) else folder,
                       'loop': bool(loop), 'speed': float(speed)}
    return entry


def load(path):
    """The simulated library at `path` (a libvelto.so) with every control
    function's types set. ctypes releases the interpreter lock around each call."""
    lib = ctypes.CDLL(path)
    for name, argtypes, restype in _CONTROL:
        function = getattr(lib, name)
        function.argtypes = argtypes
        function.restype = restype
    return lib


def installed_library_dir():
    """The folder of the libvelto.so that velto_internal loads when both are
    installed: the folder of this file when the library lies beside it, else
    the folder of the velto_internal module."""
    here = os.path.dirname(os.path.abspath(__file__))
    if os.path.isfile(os.path.join(here, 'libvelto.so')):
        return here
    try:
        import velto_internal
    except ImportError:
        raise RuntimeError('no libvelto.so beside %s and no velto_internal module to look '
                           'beside; give Simulator the folder of libvelto.so' % here)
    return os.path.dirname(os.path.abspath(velto_internal.__file__))


# The world last set through this module (JSON text; None: the default
# world), so that a caller that sets a world of its own for a while (such as
# velto.replay) can put the earlier one back.
_world = [None]


def current_world():
    """The world last configured through velto_sim in this process, as JSON
    text, or None for the default world (after a reset, or never set)."""
    return _world[0]


class Simulator(object):
    """The control interface of the libvelto.so in `lib_dir` (the folder the
    module is built into, so the very library the module is linked against);
    by default the installed one (installed_library_dir())."""

    def __init__(self, lib_dir=None):
        self.path = os.path.join(lib_dir or installed_library_dir(), 'libvelto.so')
        self.lib = load(self.path)

    def last_error(self):
        """Why the last refusal happened, as text."""
        return self.lib.velto_sim_last_error().decode('utf-8', 'replace')

    def reset(self):
        """Back to the default world with no fault rules and no calls logged."""
        if self.lib.velto_sim_reset() != 0:
            raise RuntimeError('velto_sim_reset: ' + self.last_error())
        _world[0] = None

    def configure(self, world):
        """Replaces the simulated world (a dict or a JSON text); raises
        ValueError with the library's reason on refusal."""
        text = json.dumps(world) if isinstance(world, dict) else world
        if self.lib.velto_sim_configure(to_bytes(text)) != 0:
            raise ValueError(self.last_error())
        _world[0] = text

    def replay(self, folder, loop=False, speed=1.0):
        """Replaces the world with one tracker replaying the recording
        `folder`; raises ValueError with the library's reason (file:line
        where a file of the recording is at fault) on refusal."""
        if self.lib.velto_sim_configure_replay(to_bytes(folder), 1 if loop else 0,
                                               float(speed)) != 0:
            raise ValueError(self.last_error())
        _world[0] = json.dumps({'trackers': [replay_tracker(folder, loop, speed)]})

    def fail(self, function, status, skip=0, times=-1):
        """After `skip` normal calls of the velto_* `function`, the next
        `times` calls (-1: all) return `status`; raises ValueError on refusal."""
        if self.lib.velto_sim_fail(to_bytes(function), status, skip, times) != 0:
            raise ValueError('%s: %s' % (function, self.last_error()))

    def calls(self, function=None):
        """The call log since the last reset, optionally only one function's entries."""
        size = self.lib.velto_sim_calls(None, 0)
        buf = ctypes.create_string_buffer(size + 1)
        self.lib.velto_sim_calls(buf, size + 1)
        entries = json.loads(buf.value.decode('utf-8'))
        return [e for e in entries if function is None or e['function'] == function]

    def clear_calls(self):
        self.lib.velto_sim_clear_calls()

    def emit(self, stream_type, device, record):
        """Delivers one ctypes record synchronously on this thread; returns the
        number of callbacks made."""
        return self.lib.velto_sim_emit(stream_type, device, ctypes.addressof(record))

    def emit_burst(self, stream_type, device, record, count):
        """The same `count` times in a tight loop; returns the callbacks made."""
        return self.lib.velto_sim_emit_burst(stream_type, device, ctypes.addressof(record), count)

    def emit_log(self, system_time_stamp, source, level, message):
        """Delivers one log message to the log subscription (0 or 1 callbacks)."""
        return self.lib.velto_sim_emit_log(system_time_stamp, source, level, to_bytes(message))

    def disconnect(self, address):
        """Cuts the connection of the tracker at `address` until reconnect();
        raises ValueError for an unknown address."""
        if self.lib.velto_sim_disconnect(to_bytes(address)) != 0:
            raise ValueError(self.last_error())

    def reconnect(self, address):
        """Restores the connection now and drops any scheduled cut."""
        if self.lib.velto_sim_reconnect(to_bytes(address)) != 0:
            raise ValueError(self.last_error())

    def cut_connection(self, address, after=0.0, duration=None):
        """Cuts the connection `after` seconds from now for `duration` seconds
        (None: until reconnect()); replaces the tracker's earlier schedule."""
        after_us = int(round(after * 1e6))
        duration_us = -1 if duration is None else max(1, int(round(duration * 1e6)))
        if self.lib.velto_sim_cut_connection(to_bytes(address), after_us, duration_us) != 0:
            raise ValueError(self.last_error())

    def connected(self, address):
        """Whether the tracker at `address` is connected."""
        state = self.lib.velto_sim_connected(to_bytes(address))
        if state < 0:
            raise ValueError(self.last_error())
        return state == 1
