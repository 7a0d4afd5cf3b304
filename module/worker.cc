#include "module/worker.h"

#include <Python.h>

#include "module/python_lock.h"
#include "value/python_bridge.h"

namespace {

// Converts the result, calls back, and releases every Python reference the
// request still holds: the callback, the argument wrapper, the out-slot's
// objects and any callable left in the arguments. Interpreter lock held.
void call_back(Request* request, const Value* result, OutSlot* out) {
  PyObject* converted = value_to_python(result);
  if (converted == nullptr) {
    // Result tuples never hold objects without a Python form; should one
    // appear, the callback still gets a complete object.
    Py_INCREF(Py_None);
    converted = Py_None;
  }
  // The one-item argument tuple takes the converted result over.
  PyObject* arguments = PyTuple_New(1);
  if (arguments == nullptr) {
    Py_DECREF(converted);
  } else {
    PyTuple_SET_ITEM(arguments, 0, converted);
    PyObject* returned = PyEval_CallObjectWithKeywords(request->callback, arguments, nullptr);
    Py_XDECREF(returned);
  }
  // An exception raised by the callback (or a failed allocation) is dropped.
  PyErr_Clear();
  pyobject_release(request->callback);
  request->callback = nullptr;
  pyobject_release(arguments);
  worker_release_leftovers(request->arguments, out);
}

void worker_main(void* argument) {
  Runtime* runtime = static_cast<Runtime*>(argument);
  if (runtime->previous != nullptr) {
    runtime_wait_ended(runtime->previous);
    runtime_release(runtime->previous);
    runtime->previous = nullptr;
  }
  PythonLockToken thread_state;
  const bool attached = python_thread_attach(&thread_state);
  for (;;) {
    signal_wait(runtime->work);
    while (Request* request = runtime_pop(runtime)) worker_run_request(request);
    if (signal_test_and_clear(runtime->stop)) {
      // Every append happened before cleanup() set the stop signal, so one more
      // drain catches a request appended after the pop above found the queue
      // empty; after that, nobody appends to this runtime any more.
      while (Request* request = runtime_pop(runtime)) worker_run_request(request);
      break;
    }
  }
  if (attached) python_thread_detach(&thread_state);
  runtime_mark_ended(runtime);
  runtime_release(runtime);
}

}  // namespace

void worker_release_leftovers(Value* arguments, OutSlot* out) {
  for (void* object : out->objects) pyobject_release(static_cast<PyObject*>(object));
  out->objects.clear();
  value_release_pyobjects(arguments);
}

void worker_run_request(Request* request) {
  OutSlot out;
  Value* result = request->handler(request->arguments, &out);
  PythonLockToken token;
  if (python_lock_take(&token)) {
    call_back(request, result, &out);
    python_lock_give(&token);
  }
  // Otherwise the interpreter is finalizing: its objects can no longer be
  // touched, so the callback is not called and its references go away with
  // the interpreter.
  value_free(request->arguments);
  value_free(result);
  delete request;
}

void worker_start(Runtime* runtime) {
  runtime_retain(runtime);
  thread_close(thread_start(worker_main, runtime));
}
