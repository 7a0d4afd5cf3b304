// The Python boundary: conversion between Value trees and Python objects,
// the one way a native thread calls a Python callable with a Value, and the
// one way it takes the interpreter lock (docs/design-python-bridge.md).
// Unless a function says otherwise, call it holding the interpreter lock.
#ifndef VELTO_VALUE_PYTHON_BRIDGE_H_
#define VELTO_VALUE_PYTHON_BRIDGE_H_

#include "value/value.h"

typedef struct _object PyObject;

// ---- References (interpreter lock held) -------------------------------------

// Take / drop one reference; null is ignored.
void pyobject_retain(PyObject* object);
void pyobject_release(PyObject* object);

// ---- Conversions (interpreter lock held) ------------------------------------

// A new VALUE_PYOBJECT holding a new reference to `object`.
Value* value_new_pyobject(PyObject* object);

// Converts a Python tuple (the caller has checked it is one) into a new
// VALUE_TUPLE, item by item as docs/reference.md (1.3) lists; never null, and
// leaves no Python error set.
Value* value_from_python_tuple(PyObject* tuple);

// A new reference to the Python object for `v` (docs/reference.md, 1.4), or
// null, no error set, for null, a VALUE_PYOBJECT, an unknown kind or no memory.
// An item without a Python form becomes None in its container.
PyObject* value_to_python(const Value* v);

// Releases the reference of every VALUE_PYOBJECT still holding one in `tree`
// (recursively) and empties those nodes.
void value_release_pyobjects(Value* tree);

// ---- Calls (interpreter lock held) --------------------------------------------

// Calls `callable` with `value` converted, or with None when it cannot be
// (so a result callback always runs); the return value and any exception are
// dropped.
void python_call_with_value(PyObject* callable, const Value* value);

// ---- The interpreter lock from native threads --------------------------------
//
// Native threads enter Python only through PythonLockGuard. Once the
// interpreter starts to exit the gate closes: a guard then takes nothing.

// How a native thread enters Python. kStreamRecord: a stream thread, which
// keeps a thread state and asks the main thread to hand the lock over. kAny:
// any other entry (the worker's result callbacks), which waits its turn.
enum class PythonEntry { kAny, kStreamRecord };

// Takes the interpreter lock for its lifetime when the gate lets it through
// (held()), and gives it back on every path. Any thread; nesting is allowed.
class PythonLockGuard {
 public:
  explicit PythonLockGuard(PythonEntry entry = PythonEntry::kAny);
  ~PythonLockGuard();
  PythonLockGuard(const PythonLockGuard&) = delete;
  PythonLockGuard& operator=(const PythonLockGuard&) = delete;
  bool held() const { return mode_ != kNotHeld; }

 private:
  enum Mode { kNotHeld, kKeptState, kGilState };
  Mode mode_;
  int gil_state_;  // PyGILState_STATE, when mode_ is kGilState
  void* thread_;   // this thread's own record in the bridge
};

// Keeps a Python thread state on the calling native thread until it ends (not
// on a Python thread, nor once the gate is closed). Without the interpreter
// lock; cheap after the first call.
void python_keep_thread_state();

// Opens the gate; called by the module's initialisation (lock held).
void python_gate_open();
// Closes the gate and waits for the threads inside to leave; called from the
// interpreter's atexit hook (lock held, released while waiting).
void python_gate_close_and_drain();
// Whether the gate is open (diagnostics and tests).
bool python_gate_is_open();
// In the child of a fork(): forgets the parent's threads inside the gate or
// asking for a hand-over. Part of the fork routine; async-signal-safe.
void python_gate_after_fork_child();

#endif  // VELTO_VALUE_PYTHON_BRIDGE_H_
