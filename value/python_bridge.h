// The Python boundary: conversion between Value trees and Python objects,
// the one way a native thread calls a Python callable with a Value, and the
// one way it takes the interpreter lock.
//
// Only value/python_bridge.cc (below the module's entry and methods) includes
// the Python headers, and it holds every difference between Python 2.7 and
// 3.x below them; this header names PyObject by its forward declaration.
//
// Thread safety: the reference, conversion and call functions must be called
// by a thread holding the interpreter lock (that lock also guards the bridge's
// dict-key cache). PythonLockGuard, python_keep_thread_state() and the gate
// functions say at each which thread may call them.
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
// VALUE_TUPLE owned by the caller; never null. Per item, the first matching
// test wins: callable -> VALUE_PYOBJECT; text -> VALUE_STRING (2.7: str, all
// bytes; 3.x: str as UTF-8, surrogate escapes undone, and bytes); 2.7 long ->
// VALUE_INT64; float -> VALUE_FLOAT; an integer within 32 bits (2.7 int and
// bool, 3.x int and bool) -> VALUE_INT32, a wider one -> VALUE_INT64 (-1 when
// outside 64 bits); tuple -> VALUE_TUPLE (recursively); anything else ->
// VALUE_NONE. Leaves no Python error set.
Value* value_from_python_tuple(PyObject* tuple);

// A new reference to the Python object for `v`, or null (no error set) for a
// null pointer, a VALUE_PYOBJECT, an unknown kind, or when Python runs out of
// memory. VALUE_STRING is text (2.7 str; 3.x str, bytes that are not UTF-8
// decoded with surrogate escapes), VALUE_BYTES binary data (2.7 str; 3.x
// bytes). An item without a Python form becomes None in its container.
PyObject* value_to_python(const Value* v);

// Releases the reference of every VALUE_PYOBJECT still holding one in `tree`
// (recursively) and empties those nodes.
void value_release_pyobjects(Value* tree);

// ---- Calls (interpreter lock held) --------------------------------------------

// Calls `callable` with one argument, `value` converted. The module's one rule
// for a value that cannot be converted (Python out of memory): the callable
// is still called, with None, so a result callback always runs and a stream
// subscriber can count what it lost. The return value is released unexamined
// and an exception raised by the callable is dropped unreported.
void python_call_with_value(PyObject* callable, const Value* value);

// ---- The interpreter lock from native threads --------------------------------
//
// Native threads (the worker, the device library's stream threads) enter
// Python only through PythonLockGuard. Once the interpreter starts to exit
// (the module's atexit hook) the exit gate closes: a guard then takes nothing
// and the caller drops its work without touching Python. The hook waits,
// bounded in time and with the lock released, for every thread already
// through the gate, so no native thread is inside Python while the interpreter
// is torn down (on 3.x a thread that asks for the lock after that would block
// forever or be ended by the interpreter).

// How a native thread enters Python. kStreamRecord: a stream thread delivering
// a record: it keeps a Python thread state from its first record on (see
// python_keep_thread_state), and asks the main thread to hand the lock over
// rather than wait for the interpreter to do so (see the .cc). kAny: any other
// entry, such as the worker's result callbacks, which wait their turn.
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

// Keeps a Python thread state on the calling native thread until it ends, so
// that its guards switch to that state instead of creating and deleting one
// each time. Does nothing on a thread that has a Python thread state of its
// own (a Python thread) or already keeps one, or when the gate is closed.
// Called without the interpreter lock; cheap after the first call.
void python_keep_thread_state();

// Opens the gate; called by the module's initialisation (lock held).
void python_gate_open();
// Closes the gate and waits for the threads inside to leave; called from the
// interpreter's atexit hook (lock held, released while waiting).
void python_gate_close_and_drain();
// Whether the gate is open (diagnostics and tests).
bool python_gate_is_open();
// In the child of a fork(): forgets the parent's threads counted inside the
// gate or caught asking for a hand-over (only the forking thread exists
// there). Part of the module's fork routine; async-signal-safe.
void python_gate_after_fork_child();

#endif  // VELTO_VALUE_PYTHON_BRIDGE_H_
