// The gaze dict built straight from the record, as the limit reference does
// it: no Value tree; interned keys made once, a presized dict, objects made
// from the record's fields. Shared by bench_limit.so and value_bench.
//
// Thread safety: every function needs the interpreter lock.
#ifndef VELTO_BENCH_GAZE_DIRECT_H_
#define VELTO_BENCH_GAZE_DIRECT_H_

#include <Python.h>
#include <stdint.h>
#include <string.h>

#include "device/velto.h"

// The two calls whose names differ between Python 2.7 and 3.x.
#if PY_MAJOR_VERSION >= 3
inline PyObject* bench_int(long v) { return PyLong_FromLong(v); }
inline PyObject* bench_intern(const char* text) { return PyUnicode_InternFromString(text); }
#else
inline PyObject* bench_int(long v) { return PyInt_FromLong(v); }
inline PyObject* bench_intern(const char* text) { return PyString_InternFromString(text); }
#endif

namespace gaze_direct {

constexpr int kGazeEntries = 18;
inline const char* const kGazeKeys[kGazeEntries] = {
    "device_time_stamp",
    "system_time_stamp",
    "left_gaze_point_on_display_area",
    "left_gaze_point_in_user_coordinate_system",
    "left_gaze_point_validity",
    "left_pupil_diameter",
    "left_pupil_validity",
    "left_gaze_origin_in_user_coordinate_system",
    "left_gaze_origin_in_trackbox_coordinate_system",
    "left_gaze_origin_validity",
    "right_gaze_point_on_display_area",
    "right_gaze_point_in_user_coordinate_system",
    "right_gaze_point_validity",
    "right_pupil_diameter",
    "right_pupil_validity",
    "right_gaze_origin_in_user_coordinate_system",
    "right_gaze_origin_in_trackbox_coordinate_system",
    "right_gaze_origin_validity",
};
inline PyObject* g_keys[kGazeEntries];  // interned, made once under the interpreter lock

inline void make_keys() {
  if (g_keys[0] != nullptr) return;
  for (int k = 0; k < kGazeEntries; ++k) g_keys[k] = bench_intern(kGazeKeys[k]);
}

inline double missing() {
  const uint64_t bits = 0xFFF8000000000000ULL;
  double d;
  memcpy(&d, &bits, sizeof d);
  return d;
}

inline PyObject* point2(const velto_point2& p, bool valid) {
  const double m = missing();
  PyObject* t = PyTuple_New(2);
  PyTuple_SET_ITEM(t, 0, PyFloat_FromDouble(valid ? p.x : m));
  PyTuple_SET_ITEM(t, 1, PyFloat_FromDouble(valid ? p.y : m));
  return t;
}

inline PyObject* point3(const velto_point3& p, bool valid) {
  const double m = missing();
  PyObject* t = PyTuple_New(3);
  PyTuple_SET_ITEM(t, 0, PyFloat_FromDouble(valid ? p.x : m));
  PyTuple_SET_ITEM(t, 1, PyFloat_FromDouble(valid ? p.y : m));
  PyTuple_SET_ITEM(t, 2, PyFloat_FromDouble(valid ? p.z : m));
  return t;
}

// One eye's eight entries, in dict order, into v[0..7].
inline void eye_values(const velto_eye_data& e, PyObject** v) {
  const bool point = e.gaze_point_validity == 1;
  const bool origin = e.gaze_origin_validity == 1;
  v[0] = point2(e.gaze_point_on_display_area, point);
  v[1] = point3(e.gaze_point_in_user_coordinate_system, point);
  v[2] = bench_int(e.gaze_point_validity);
  v[3] = PyFloat_FromDouble(e.pupil_validity == 1 ? e.pupil_diameter : missing());
  v[4] = bench_int(e.pupil_validity);
  v[5] = point3(e.gaze_origin_in_user_coordinate_system, origin);
  v[6] = point3(e.gaze_origin_in_trackbox_coordinate_system, origin);
  v[7] = bench_int(e.gaze_origin_validity);
}

inline PyObject* gaze_dict(const velto_gaze_data* d) {
  PyObject* v[kGazeEntries];
  v[0] = PyLong_FromLongLong(d->device_time_stamp);
  v[1] = PyLong_FromLongLong(d->system_time_stamp);
  eye_values(d->left_eye, v + 2);
  eye_values(d->right_eye, v + 10);
  PyObject* dict = _PyDict_NewPresized(kGazeEntries);
  for (int k = 0; k < kGazeEntries; ++k) {
    PyDict_SetItem(dict, g_keys[k], v[k]);
    Py_DECREF(v[k]);
  }
  return dict;
}

}  // namespace gaze_direct

#endif  // VELTO_BENCH_GAZE_DIRECT_H_
