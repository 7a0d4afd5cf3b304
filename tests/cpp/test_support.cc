#include "test_support.h"

#include <Python.h>

#include "value/python_bridge.h"
#include "velto_sim.h"

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

uint64_t sim_last_user_data() {
  const size_t size = velto_sim_calls(nullptr, 0);
  std::string log(size + 1, '\0');
  velto_sim_calls(&log[0], size + 1);
  const size_t at = log.rfind("\"user_data\":");
  if (at == std::string::npos) return ~uint64_t{0};
  return static_cast<uint64_t>(strtoll(log.c_str() + at + 12, nullptr, 10));
}
