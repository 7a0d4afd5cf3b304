"""Shared helpers for the end-to-end suites.

Imports the built module, loads the simulator's control interface through
velto_sim (simulator/velto_sim.py, on the suites' PYTHONPATH; the same
libvelto.so the module is linked against) and re-exports its record layouts,
offers a synchronous `call` on top of the asynchronous `call_function`, and
keeps every difference between Python 2.7 and 3.x in the first block below.
"""
import ctypes
import os
import struct
import subprocess
import sys
import threading
import time

import velto_internal
try:
    import velto_sim  # simulator/: the simulator's control interface and the record layouts
except ImportError:  # a child interpreter given only this folder and the module's on its path
    sys.path.append(os.path.join(os.path.dirname(os.path.abspath(__file__)), os.pardir, os.pardir,
                                 'simulator'))
    import velto_sim
from velto_sim import (  # noqa: E402,F401 (re-exported: the suites build records through support)
    DisplayArea, EyeData, EyeImage, ExternalSignalData, GazeData, Notification,
    NotificationValue, Point2, Point3, StreamErrorData, TimeSynchronizationData, to_bytes)

# ---- Python 2.7 and 3.x ----------------------------------------------------
PY3 = sys.version_info[0] >= 3
if PY3:
    LONG = int                        # handles and time stamps
    TEXT_ARGS = (str, bytes)          # what an operation takes as text
    NOT_TEXT = bytearray(b'Default')  # looks like text, is "no value"
    ORDERED_DICTS = sys.version_info >= (3, 7)  # a dict shows the order of its keys
    EMPTY_DOC = None                  # a builtin's empty docstring reads as None
else:
    LONG = long  # noqa: F821
    TEXT_ARGS = (str,)
    NOT_TEXT = u'Default'
    ORDERED_DICTS = False
    EMPTY_DOC = ''


def native(data):
    """The text Python gets for the library's bytes `data`: the bytes on 2.7,
    their UTF-8 decoding on 3.x (bytes that are not UTF-8 as surrogate escapes)."""
    return data.decode('utf-8', 'surrogateescape') if PY3 else data


def key_order(keys):
    """`keys` (a dict's, say) in their order where a dict keeps one, else sorted."""
    return list(keys) if ORDERED_DICTS else sorted(keys)


def decoded(output):
    """A subprocess's output as text."""
    return output.decode('utf-8', 'replace') if PY3 else output


# ---- the module --------------------------------------------------------------
OPERATIONS = [
    'terminate', 'get_system_time_stamp', 'get_sdk_version', 'find_all_eyetrackers',
    'get_device', 'get_device_data', 'report_stream_error', 'subscribe_to', 'unsubscribe_from',
    'get_all_gaze_output_frequencies', 'get_gaze_output_frequency',
    'set_gaze_output_frequency', 'get_all_eye_tracking_modes', 'get_eye_tracking_mode',
    'set_eye_tracking_mode', 'get_display_area', 'get_track_box', 'calibration_retrieve',
    'calibration_apply', 'set_device_name', 'screen_based_calibration_enter_calibration_mode',
    'screen_based_calibration_leave_calibration_mode', 'screen_based_calibration_collect_data',
    'screen_based_calibration_discard_data', 'screen_based_calibration_compute_and_apply',
    'screen_based_calibration_get_calibration_points']
SANITIZED = bool(os.environ.get('VELTO_SANITIZED'))
PyErr_Occurred = ctypes.pythonapi.PyErr_Occurred
PyErr_Occurred.restype = ctypes.c_void_p


def setUpModule():
    velto_internal.startup()


def tearDownModule():
    velto_internal.cleanup()


class Timeout(Exception):
    pass


class Refused(AssertionError):
    """call_function refused the request (the module is not running, or a bad call)."""


class Collector(object):
    """A callable that keeps every argument it is called with and can wait for them."""

    def __init__(self):
        self.items = []
        self.cond = threading.Condition()

    def __call__(self, item):
        with self.cond:
            self.items.append(item)
            self.cond.notify_all()

    def wait_for(self, count, timeout=10.0):
        end = time.time() + timeout
        with self.cond:
            while len(self.items) < count and time.time() < end:
                self.cond.wait(0.05)
            return len(self.items) >= count


def call(name, args=(), timeout=10.0):
    """Runs one operation and returns its result tuple (waits for the callback)."""
    box = Collector()
    status = velto_internal.call_function(name, args, box)
    if status != 0:
        raise Refused('call_function(%r) refused with %r' % (name, status))
    if not box.wait_for(1, timeout):
        raise Timeout('no result for %r within %s s' % (name, timeout))
    return box.items[0]


def refcounts(objects):
    return [sys.getrefcount(x) for x in objects]


def run_python(args, timeout=60, env=None, cwd=None):
    """Runs this interpreter with `args` (['-c', script, ...] or [path, ...]),
    the environment updated by `env`; killed after `timeout` s.
    Returns (status, stdout, stderr, seconds), the outputs as text."""
    started = time.time()
    proc = subprocess.Popen([sys.executable] + list(args), stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, env=dict(os.environ, **(env or {})), cwd=cwd)
    code, out, err = finish(proc, timeout)
    return code, out, err, time.time() - started


def finish(proc, timeout):
    """Waits for a process started with piped outputs; (status, stdout,
    stderr), the outputs as text. The process is killed after `timeout` s."""
    timer = threading.Timer(timeout, proc.kill)
    timer.start()
    try:
        out, err = proc.communicate()
    finally:
        timer.cancel()
    return proc.returncode, decoded(out), decoded(err)


# ---- the simulated library ---------------------------------------------------
# velto_sim (simulator/velto_sim.py) is the one ctypes binding of the
# simulator's control interface and of the records; its names are re-exported
# here for the suites.
LIB_DIR = os.environ.get('VELTO_LIB_DIR') or os.path.dirname(
    os.path.abspath(velto_internal.__file__))
simulator = velto_sim.Simulator(LIB_DIR)
sim = simulator.lib
configure = simulator.configure  # a dict or a JSON text; raises ValueError on refusal
fail = simulator.fail            # (function, status, skip=0, times=-1)
calls = simulator.calls          # the call log, optionally one function's entries
clear_calls = simulator.clear_calls
emit = simulator.emit            # (stream_type, device, ctypes record): callbacks made
emit_log = simulator.emit_log


def reset():
    """Back to the simulator's default world with no fault rules and no calls logged."""
    simulator.reset()


def world(trackers=None, generate=False):
    """Configures a world of `trackers` (dicts of fields; None: the default two)
    and returns their handles, with the call log emptied."""
    description = {'generate': generate}
    if trackers is not None:
        description['trackers'] = trackers
    configure(description)
    found = handles()
    clear_calls()
    return found


def devices():
    """The device descriptions of the current world."""
    result = call('find_all_eyetrackers')
    assert result[0] == 0, result
    return result[1]


def handles():
    return [d['core_eyetracker'] for d in devices()]


NAN_BITS = 0xFFF8000000000000


def float_bits(value):
    return struct.unpack('<Q', struct.pack('<d', value))[0]


def f32(value):
    """The double that a float32 of `value` widens to exactly."""
    return struct.unpack('<f', struct.pack('<f', value))[0]


# ---- stream dicts: every key, in the documented order, and its value's type -----
EYE_TYPES = [('gaze_point_on_display_area', tuple),
             ('gaze_point_in_user_coordinate_system', tuple), ('gaze_point_validity', int),
             ('pupil_diameter', float), ('pupil_validity', int),
             ('gaze_origin_in_user_coordinate_system', tuple),
             ('gaze_origin_in_trackbox_coordinate_system', tuple), ('gaze_origin_validity', int)]
GAZE_TYPES = dict([('device_time_stamp', LONG), ('system_time_stamp', LONG)] +
                  [(side + '_' + key, kind)
                   for side in ('left', 'right') for key, kind in EYE_TYPES])
STREAM_TYPES = {
    0: {'system_time_stamp': LONG, 'source': str, 'level': str, 'message': str},
    1: GAZE_TYPES,
    2: {'value': int, 'change_type': str, 'device_time_stamp': LONG, 'system_time_stamp': LONG},
    3: {'system_request_time_stamp': LONG, 'device_time_stamp': LONG,
        'system_response_time_stamp': LONG},
    4: {'system_time_stamp': LONG, 'error': str, 'source': str, 'message': str},
    5: {'notification_type': str, 'system_time_stamp': LONG},
    6: {'device_time_stamp': LONG, 'system_time_stamp': LONG, 'camera_id': int,
        'image_type': str, 'image_data': bytes},
}
# Notifications of two types carry one entry more.
NOTIFICATION_PAYLOADS = {'display_area': dict, 'gaze_output_frequency': float}


def dict_problem(stream_type, record):
    """Why `record` is not a well-formed dict of that stream, or None."""
    if type(record) is not dict:
        return 'stream %d got %r' % (stream_type, record)
    expected = STREAM_TYPES[stream_type]
    extra = set(record) - set(expected)
    if stream_type == 5 and len(extra) == 1 and extra <= set(NOTIFICATION_PAYLOADS):
        expected = dict(expected, **dict((k, NOTIFICATION_PAYLOADS[k]) for k in extra))
    if key_order(record) != key_order(expected):
        return 'stream %d got keys %s' % (stream_type, list(record))
    wrong = sorted(k for k, v in record.items() if type(v) is not expected[k])
    return 'stream %d: wrong types of %s' % (stream_type, wrong) if wrong else None
