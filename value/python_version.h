// The Python headers and every difference between Python 2.7 and 3.x below
// the module's entry, as inline shims for the bridge's files (value/python_*.cc).
#ifndef VELTO_VALUE_PYTHON_VERSION_H_
#define VELTO_VALUE_PYTHON_VERSION_H_

#define PY_SSIZE_T_CLEAN
// The Python 2.7 headers use `register`, which C++17 warns about.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#pragma GCC diagnostic pop

#include "value/value.h"

namespace python_internal {

// Stops asking the main thread for hand-overs (value/python_lock.cc).
void stop_hand_over();

// Text, binary data and integers per version: docs/design-python-bridge.md.

// A VALUE_STRING of those bytes; a string too large to copy arrives as "no
// value" (the handler then answers invalid parameter) rather than taking the
// process down.
inline Value* string_or_none(const char* bytes, Py_ssize_t length) {
  Value* v = value_new_string(bytes, static_cast<uint64_t>(length));
  return v ? v : value_new_none();
}

#if PY_MAJOR_VERSION >= 3

#if PY_VERSION_HEX < 0x03090000
// 3.8 crashes a native thread that asks for a pending call once exit has
// started: there the hand-over stops when threading._shutdown starts.
inline PyObject* shutdown_hook(PyObject* original, PyObject*) {
  stop_hand_over();
  return PyObject_CallObject(original, nullptr);
}
inline PyMethodDef g_shutdown_hook = {"_shutdown", shutdown_hook, METH_NOARGS, nullptr};

inline void stop_hand_over_when_exit_starts() {
  PyObject* threading = PyImport_ImportModule("threading");
  PyObject* original = threading ? PyObject_GetAttrString(threading, "_shutdown") : nullptr;
  PyObject* hook = original ? PyCFunction_New(&g_shutdown_hook, original) : nullptr;
  if (hook == nullptr || PyObject_SetAttrString(threading, "_shutdown", hook) != 0) {
    // No way to know when exit starts: no hand-overs at all on this interpreter.
    stop_hand_over();
  }
  Py_XDECREF(hook);
  Py_XDECREF(original);
  Py_XDECREF(threading);
  PyErr_Clear();
}
#else
inline void stop_hand_over_when_exit_starts() {}
#endif

inline PyObject* text_object(const char* bytes, Py_ssize_t length) {
  return PyUnicode_DecodeUTF8(bytes, length, "surrogateescape");
}
inline PyObject* binary_object(const char* bytes, Py_ssize_t length) {
  return PyBytes_FromStringAndSize(bytes, length);
}
inline PyObject* int32_object(int32_t v) { return PyLong_FromLong(v); }
inline void intern_text(PyObject** text) { PyUnicode_InternInPlace(text); }

// The VALUE_STRING for a text or bytes argument, or null when `object` is
// neither (a str that cannot be encoded becomes VALUE_NONE, never an error).
inline Value* string_argument(PyObject* object) {
  if (PyBytes_Check(object)) {
    return string_or_none(PyBytes_AS_STRING(object), PyBytes_GET_SIZE(object));
  }
  if (!PyUnicode_Check(object)) return nullptr;
  Py_ssize_t length = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(object, &length);
  if (bytes != nullptr) return string_or_none(bytes, length);
  // Lone surrogates: those that escape bytes go back to those bytes.
  PyErr_Clear();
  PyObject* encoded = PyUnicode_AsEncodedString(object, "utf-8", "surrogateescape");
  if (encoded == nullptr) {
    PyErr_Clear();
    return value_new_none();
  }
  Value* v = string_or_none(PyBytes_AS_STRING(encoded), PyBytes_GET_SIZE(encoded));
  Py_DECREF(encoded);
  return v;
}

// The integer Value of `object`, or null when it is not an integer. Within 32
// bits it is what a 2.7 int becomes, otherwise what a 2.7 long becomes (-1
// outside 64 bits, as PyLong_AsLongLong answers there).
inline Value* integer_argument(PyObject* object) {
  if (!PyLong_Check(object)) return nullptr;
  int overflow = 0;
  PY_LONG_LONG n = PyLong_AsLongLongAndOverflow(object, &overflow);
  if (overflow != 0) n = -1;
  if (n == -1 && PyErr_Occurred()) PyErr_Clear();
  if (overflow == 0 && n >= INT32_MIN && n <= INT32_MAX) {
    return value_new_int32(static_cast<int32_t>(n));
  }
  return value_new_int64(static_cast<int64_t>(n));
}

#else  // Python 2.7

inline void stop_hand_over_when_exit_starts() {}

inline PyObject* text_object(const char* bytes, Py_ssize_t length) {
  return PyString_FromStringAndSize(bytes, length);
}
inline PyObject* binary_object(const char* bytes, Py_ssize_t length) {
  return PyString_FromStringAndSize(bytes, length);
}
inline PyObject* int32_object(int32_t v) { return PyInt_FromLong(v); }
inline void intern_text(PyObject** text) { PyString_InternInPlace(text); }

// Only str is text: unicode is not taken (it becomes VALUE_NONE).
inline Value* string_argument(PyObject* object) {
  if (!PyString_Check(object)) return nullptr;
  return string_or_none(PyString_AS_STRING(object), PyString_GET_SIZE(object));
}

// long -> VALUE_INT64 whatever its value (-1 outside 64 bits); int and bool ->
// VALUE_INT32, an int wider than 32 bits -> VALUE_INT64 (kept whole).
inline Value* integer_argument(PyObject* object) {
  if (PyLong_Check(object)) {
    PY_LONG_LONG n = PyLong_AsLongLong(object);
    if (n == -1 && PyErr_Occurred()) PyErr_Clear();
    return value_new_int64(static_cast<int64_t>(n));
  }
  if (!PyInt_Check(object)) return nullptr;
  const long n = PyInt_AS_LONG(object);
  if (n < INT32_MIN || n > INT32_MAX) return value_new_int64(static_cast<int64_t>(n));
  return value_new_int32(static_cast<int32_t>(n));
}

#endif

}  // namespace python_internal

#endif  // VELTO_VALUE_PYTHON_VERSION_H_
