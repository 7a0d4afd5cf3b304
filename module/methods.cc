#include "module/methods.h"

#include <Python.h>

#include "device/device_values.h"
#include "device/velto.h"
#include "module/runtime.h"
#include "module/worker.h"
#include "operations/function_table.h"
#include "streams/registry.h"
#include "value/python_bridge.h"

namespace {

// The most recently started runtime; the module holds one reference to it
// until the next startup(), which hands that reference to the new runtime as
// its predecessor (even after cleanup(), so a restarted worker waits for the
// old one to finish draining). Guarded by the interpreter lock (see methods.h).
Runtime* g_latest = nullptr;
// The runtime that call_function appends to: g_latest while running, null
// before startup() and after cleanup(). Guarded by the interpreter lock.
Runtime* g_current = nullptr;

// Asks the worker of `runtime` to end once its queue is drained. The stop
// signal is set before the work signal, so the woken worker sees it.
void stop_runtime(Runtime* runtime) {
  signal_set(runtime->stop);
  signal_set(runtime->work);
}

}  // namespace

// The child of a fork() forgets the parent's runtimes, which no worker serves
// there, and counts as not started (docs/design-requests.md).
void methods_after_fork_child() {
  g_latest = nullptr;
  g_current = nullptr;
}

PyObject* method_startup(PyObject* self, PyObject* args) {
  Runtime* runtime = runtime_new();  // the module's reference
  if (g_current != nullptr) stop_runtime(g_current);
  // The module's reference to the old runtime becomes the new worker's
  // reference to its predecessor, released once that one has ended.
  runtime->previous = g_latest;
  g_latest = runtime;
  g_current = runtime;
  worker_start(runtime);
  velto_initialize();
  return Py_BuildValue("");
}

PyObject* method_cleanup(PyObject* self, PyObject* args) {
  if (g_current != nullptr) {
    stop_runtime(g_current);
    g_current = nullptr;
  }
  registry_teardown();
  return Py_BuildValue("");
}

PyObject* method_call_function(PyObject* self, PyObject* args) {
  const char* name = nullptr;
  PyObject* arguments = nullptr;
  PyObject* callback = nullptr;
  if (!PyArg_ParseTuple(args, "sOO", &name, &arguments, &callback)) {
    // A refusal is reported by the status alone; no exception is left behind.
    PyErr_Clear();
    return Py_BuildValue("i", STATUS_INVALID_PARAMETER);
  }
  if (!PyTuple_Check(arguments) || !PyCallable_Check(callback)) {
    return Py_BuildValue("i", STATUS_INVALID_PARAMETER);
  }
  OperationHandler handler = function_table_lookup(name);
  // Without a running worker the request would never run and its callback
  // never be called, so it is refused instead of accepted.
  if (handler == nullptr || g_current == nullptr) {
    return Py_BuildValue("i", STATUS_INVALID_PARAMETER);
  }
  // Converting the arguments can run Python code: callable() of an old-style
  // instance looks up __call__ through its __getattr__, which may call
  // cleanup() or startup(), or let another thread run them. The runtime is
  // therefore read again after the conversion; nothing between that read and
  // the append below can run Python code.
  Value* tree = value_from_python_tuple(arguments);
  Runtime* runtime = g_current;
  if (runtime == nullptr) {
    value_release_pyobjects(tree);
    value_free(tree);
    return Py_BuildValue("i", STATUS_INVALID_PARAMETER);
  }
  Request* request = new Request();
  request->handler = handler;
  request->arguments = tree;
  request->callback = callback;
  request->registry_epoch = registry_epoch();
  pyobject_retain(callback);
  runtime_push(runtime, request);
  return Py_BuildValue("i", STATUS_OK);
}

PyObject* method_get_kelmo_version(PyObject* self, PyObject* args) {
  velto_version version = {0, 0, 0, 0};
  const int32_t status = velto_get_kelmo_api_version(&version);
  if (status != VELTO_STATUS_OK) return Py_BuildValue("(i)", status);
  return Py_BuildValue("(i,s)", STATUS_OK, version_text(version).text);
}

PyObject* method_at_exit(PyObject* self, PyObject* args) {
  python_gate_close_and_drain();
  return Py_BuildValue("");
}
