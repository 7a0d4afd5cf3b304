#include "python_env.h"

#include <Python.h>

#include "value/python_bridge.h"

void python_env_ensure() {
  if (Py_IsInitialized()) return;
  Py_InitializeEx(0);
#if PY_MAJOR_VERSION < 3
  PyEval_InitThreads();
#endif
  python_gate_open();
}

#if PY_MAJOR_VERSION >= 3
PyObject* py_int(long value) { return PyLong_FromLong(value); }
bool py_is_small_int(PyObject* object) { return PyLong_CheckExact(object); }
long py_int_value(PyObject* object) { return PyLong_AsLong(object); }
std::string py_text(PyObject* object) {
  Py_ssize_t length = 0;
  const char* bytes = PyUnicode_AsUTF8AndSize(object, &length);
  return bytes ? std::string(bytes, static_cast<size_t>(length)) : std::string();
}
#else
PyObject* py_int(long value) { return PyInt_FromLong(value); }
bool py_is_small_int(PyObject* object) { return PyInt_CheckExact(object); }
long py_int_value(PyObject* object) {
  return PyInt_Check(object) ? PyInt_AsLong(object) : PyLong_AsLong(object);
}
std::string py_text(PyObject* object) {
  return std::string(PyString_AS_STRING(object), static_cast<size_t>(PyString_GET_SIZE(object)));
}
#endif
