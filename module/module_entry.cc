// The extension's initialisation entry: initvelto_internal on Python 2.7,
// PyInit_velto_internal on 3.x. Registers the four methods and __version__,
// and the atexit hook that closes the gate native threads enter Python by.
#include <Python.h>

#include "module/fork.h"
#include "module/methods.h"
#include "value/python_bridge.h"

namespace {

char kEmptyDoc[] = "";

PyMethodDef kMethods[] = {
    {"startup", method_startup, METH_VARARGS, kEmptyDoc},
    {"cleanup", method_cleanup, METH_VARARGS, kEmptyDoc},
    {"call_function", method_call_function, METH_VARARGS, kEmptyDoc},
    {"get_kelmo_version", method_get_kelmo_version, METH_VARARGS, kEmptyDoc},
    {nullptr, nullptr, 0, nullptr},
};

// Not part of the module's namespace: handed to atexit only.
PyMethodDef kAtExit = {"velto_internal_at_exit", method_at_exit, METH_VARARGS, kEmptyDoc};

// Native threads (the worker, the device library's stream threads) must stop
// entering Python before the interpreter is torn down: the atexit hook closes
// the gate they pass. A failure to register is not fatal to the import.
void register_at_exit() {
  PyObject* atexit = PyImport_ImportModule("atexit");
  PyObject* hook = PyCFunction_New(&kAtExit, nullptr);
  PyObject* result = nullptr;
  if (atexit != nullptr && hook != nullptr) {
    result = PyObject_CallMethod(atexit, const_cast<char*>("register"), const_cast<char*>("O"),
                                 hook);
  }
  Py_XDECREF(result);
  Py_XDECREF(hook);
  Py_XDECREF(atexit);
  PyErr_Clear();
}

// What both entries do once the module object exists.
void finish_module(PyObject* module) {
  PyModule_AddStringConstant(module, "__version__", VELTO_VERSION);
  register_at_exit();
  fork_routine_register();
  python_gate_open();
}

}  // namespace

#if PY_MAJOR_VERSION >= 3

namespace {
PyModuleDef kModule = {PyModuleDef_HEAD_INIT, "velto_internal", nullptr, -1, kMethods,
                       nullptr, nullptr, nullptr, nullptr};
}  // namespace

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_velto_internal(void) {
  PyObject* module = PyModule_Create(&kModule);
  if (module == nullptr) return nullptr;
  finish_module(module);
  return module;
}

#else

extern "C" __attribute__((visibility("default"))) void initvelto_internal(void) {
  PyObject* module = Py_InitModule4("velto_internal", kMethods, nullptr, nullptr, 1013);
  if (module == nullptr) return;
  // The worker and the stream threads take the interpreter lock from native
  // threads, which needs the interpreter's thread support.
  if (!PyEval_ThreadsInitialized()) PyEval_InitThreads();
  finish_module(module);
}

#endif
