#include "module/worker.h"

#include "value/python_bridge.h"

namespace {

void worker_main(void* argument) {
  Runtime* runtime = static_cast<Runtime*>(argument);
  if (runtime->previous != nullptr) {
    runtime_wait_ended(runtime->previous);
    runtime_release(runtime->previous);
    runtime->previous = nullptr;
  }
  python_keep_thread_state();
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
  runtime_mark_ended(runtime);
  runtime_release(runtime);
}

}  // namespace

void worker_release_leftovers(Value* arguments, RequestContext* request) {
  for (PyObject* object : request->released) pyobject_release(object);
  request->released.clear();
  value_release_pyobjects(arguments);
}

void worker_run_request(Request* request) {
  RequestContext context;
  context.registry_epoch = request->registry_epoch;
  Value* result = request->handler(request->arguments, &context);
  {
    PythonLockGuard python;
    // Without the lock the interpreter is exiting: its objects can no longer
    // be touched, so the callback is not called and its references go away
    // with the interpreter.
    if (python.held()) {
      python_call_with_value(request->callback, result);
      pyobject_release(request->callback);
      request->callback = nullptr;
      worker_release_leftovers(request->arguments, &context);
    }
  }
  value_free(request->arguments);
  value_free(result);
  delete request;
}

void worker_start(Runtime* runtime) {
  runtime_retain(runtime);
  thread_close(thread_start(worker_main, runtime));
}
