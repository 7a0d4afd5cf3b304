"""Shared helpers for the end-to-end suites.

Imports the built module, loads the simulator's control interface through
ctypes (the same libvelto.so the module is linked against), and offers a
synchronous `call` on top of the asynchronous `call_function`.
"""
import ctypes
import json
import os
import struct
import threading

import velto_internal

LIB_DIR = os.environ.get('VELTO_LIB_DIR') or os.path.dirname(
    os.path.abspath(velto_internal.__file__))
sim = ctypes.CDLL(os.path.join(LIB_DIR, 'libvelto.so'))

sim.velto_sim_reset.restype = ctypes.c_int
sim.velto_sim_configure.argtypes = [ctypes.c_char_p]
sim.velto_sim_configure.restype = ctypes.c_int
sim.velto_sim_last_error.restype = ctypes.c_char_p
sim.velto_sim_fail.argtypes = [ctypes.c_char_p, ctypes.c_int, ctypes.c_int, ctypes.c_int]
sim.velto_sim_fail.restype = ctypes.c_int
sim.velto_sim_calls.argtypes = [ctypes.c_char_p, ctypes.c_size_t]
sim.velto_sim_calls.restype = ctypes.c_size_t
sim.velto_sim_clear_calls.restype = None
sim.velto_sim_emit.argtypes = [ctypes.c_int, ctypes.c_int64, ctypes.c_void_p]
sim.velto_sim_emit.restype = ctypes.c_int
sim.velto_sim_emit_log.argtypes = [ctypes.c_int64, ctypes.c_int, ctypes.c_int, ctypes.c_char_p]
sim.velto_sim_emit_log.restype = ctypes.c_int

NAN_BITS = 0xFFF8000000000000


def float_bits(value):
    return struct.unpack('<Q', struct.pack('<d', value))[0]


def f32(value):
    """The double that a float32 of `value` widens to exactly."""
    return struct.unpack('<f', struct.pack('<f', value))[0]


class Timeout(Exception):
    pass


def call(name, args=(), timeout=10.0):
    """Runs one operation and returns its result tuple (waits for the callback)."""
    done = threading.Event()
    box = []

    def callback(result):
        box.append(result)
        done.set()

    status = velto_internal.call_function(name, args, callback)
    if status != 0:
        raise AssertionError('call_function(%r) refused with %r' % (name, status))
    if not done.wait(timeout):
        raise Timeout('no result for %r within %s s' % (name, timeout))
    return box[0]


def reset():
    """Back to the simulator's default world with no fault rules and no calls logged."""
    assert sim.velto_sim_reset() == 0


def configure(world):
    """Replaces the simulated world (a dict or a JSON text); raises on refusal."""
    text = world if isinstance(world, str) else json.dumps(world)
    if sim.velto_sim_configure(text) != 0:
        raise ValueError(sim.velto_sim_last_error())


def fail(function, status, skip=0, times=-1):
    assert sim.velto_sim_fail(function, status, skip, times) == 0, function


def calls(function=None):
    """The call log since the last reset, optionally only one function's entries."""
    size = sim.velto_sim_calls(None, 0)
    buf = ctypes.create_string_buffer(size + 1)
    sim.velto_sim_calls(buf, size + 1)
    entries = json.loads(buf.value)
    if function is not None:
        entries = [e for e in entries if e['function'] == function]
    return entries


def clear_calls():
    sim.velto_sim_clear_calls()


def emit(stream_type, device, record):
    """Delivers one ctypes record synchronously; returns the number of callbacks made."""
    return sim.velto_sim_emit(stream_type, device, ctypes.addressof(record))


def emit_log(system_time_stamp, source, level, message):
    return sim.velto_sim_emit_log(system_time_stamp, source, level, message)


def devices():
    """The device descriptions of the current world."""
    result = call('find_all_eyetrackers')
    assert result[0] == 0, result
    return result[1]


# Records of the device library, for velto_sim_emit.
class Point2(ctypes.Structure):
    _fields_ = [('x', ctypes.c_float), ('y', ctypes.c_float)]


class Point3(ctypes.Structure):
    _fields_ = [('x', ctypes.c_float), ('y', ctypes.c_float), ('z', ctypes.c_float)]


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


class DisplayArea(ctypes.Structure):
    _fields_ = [('bottom_left', Point3), ('bottom_right', Point3), ('height', ctypes.c_float),
                ('top_left', Point3), ('top_right', Point3), ('width', ctypes.c_float)]


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


assert ctypes.sizeof(GazeData) == 136
assert ctypes.sizeof(EyeImage) == 40
assert ctypes.sizeof(StreamErrorData) == 24
assert Notification.value.offset == 12
