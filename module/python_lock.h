// Taking the interpreter lock from native threads (the worker thread and the
// device library's stream threads), safely with respect to interpreter exit.
//
// Once the interpreter starts finalizing (the module's atexit hook), the
// gate closes: python_lock_take() returns false and the caller must drop its
// work without touching Python. The atexit hook waits (with the interpreter
// lock released, bounded in time) for every holder that got through the gate,
// so no native thread is inside Python while the interpreter is torn down.
//
// Thread safety: python_lock_take/give may be called from any thread that
// does not already hold the interpreter lock. The same thread must give what it
// took, with the token it got.
#ifndef VELTO_MODULE_PYTHON_LOCK_H_
#define VELTO_MODULE_PYTHON_LOCK_H_

struct PythonLockToken {
  int gil_state;  // PyGILState_STATE
};

// Takes the interpreter lock. Returns false, taking nothing, when the
// interpreter is finalizing or the module was never initialised.
bool python_lock_take(PythonLockToken* token);
// Gives back what python_lock_take took.
void python_lock_give(PythonLockToken* token);

// Keeps a Python thread state alive on the calling native thread, so that its
// later python_lock_take() calls only switch to that state instead of creating
// and destroying one each time. Returns false when the gate is closed. Only
// for threads without a Python thread state of their own (not Python threads:
// their state is deleted when they end). Pair with python_thread_detach() on
// the same thread before it ends.
bool python_thread_attach(PythonLockToken* token);
// Deletes the kept thread state (skipped when the interpreter is finalizing:
// it then goes away with the interpreter).
void python_thread_detach(PythonLockToken* token);

// Opens the gate; called by the module's initialisation (interpreter lock held).
void python_gate_open();
// Closes the gate and waits for the current holders to leave; called from
// the interpreter's atexit hook with the interpreter lock held.
void python_gate_close_and_drain();
// Whether the gate is open (for diagnostics and tests).
bool python_gate_is_open();
// In the child of a fork(): forgets the threads of the parent that were
// inside (async-signal-safe; called from the module's fork handler).
void python_gate_after_fork_in_child();

#endif  // VELTO_MODULE_PYTHON_LOCK_H_
