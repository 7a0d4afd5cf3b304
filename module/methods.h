// The four Python methods of velto_internal and the interpreter-exit hook.
// Python thread, interpreter lock held for the whole call, never released.
#ifndef VELTO_MODULE_METHODS_H_
#define VELTO_MODULE_METHODS_H_

typedef struct _object PyObject;

// startup(*ignored) -> None. Creates a fresh runtime and worker and calls
// velto_initialize() (its status is ignored). Calling it while a runtime is
// running stops that one first (as cleanup() would, without the registry
// teardown); its queued requests still run, before any of the new runtime's.
PyObject* method_startup(PyObject* self, PyObject* args);
// cleanup(*ignored) -> None. Stops the current worker after it has drained its
// queue and empties the subscription registry. Does not wait.
PyObject* method_cleanup(PyObject* self, PyObject* args);
// call_function(name, args, callback) -> 0 when queued, 10 when refused.
// Refused also when the module is not started (nothing would run it).
PyObject* method_call_function(PyObject* self, PyObject* args);
// get_kelmo_version(*ignored) -> (status,) or (0, "a.b.c.d").
PyObject* method_get_kelmo_version(PyObject* self, PyObject* args);

// The child's part of the module's fork routine: the parent's runtimes are
// forgotten, so the module counts as not started. Async-signal-safe.
void methods_after_fork_child();

// Registered with the interpreter's atexit: closes the gate through which
// native threads enter Python and waits for those inside to leave.
PyObject* method_at_exit(PyObject* self, PyObject* args);

#endif  // VELTO_MODULE_METHODS_H_
