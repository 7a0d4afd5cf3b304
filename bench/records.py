"""ctypes layouts of the device library's gaze record, shared by the benchmark
scripts (the same layout as device/velto.h)."""
import ctypes


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


assert ctypes.sizeof(GazeData) == 136
