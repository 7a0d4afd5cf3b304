#include "module/python_lock.h"

#include <Python.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

// The gate: `g_open` is cleared once at interpreter exit; `g_inside` counts
// threads between passing the gate and giving the lock back. Both are
// sequentially consistent, so a thread that saw the gate open is always
// counted before the closer reads the count.
std::atomic<bool> g_open{false};
std::atomic<int> g_inside{0};

// How long interpreter exit waits for native threads still inside Python. A
// callback blocked on something the main thread would do after exit cannot be
// waited for forever; past this bound exit proceeds.
constexpr auto kDrainLimit = std::chrono::seconds(5);

bool gate_enter() {
  g_inside.fetch_add(1);
  if (g_open.load()) return true;
  g_inside.fetch_sub(1);
  return false;
}

void gate_leave() { g_inside.fetch_sub(1); }

// The thread state an attached thread keeps (python_thread_attach), null on
// every other thread. With it, taking the lock is a plain switch to that state:
// no lookup of the thread's state (a locked list walk in Python 2.7) and no
// use count to maintain.
thread_local PyThreadState* t_kept = nullptr;

// Token value of a take that switched to the kept thread state; distinct from
// both PyGILState_STATE values.
constexpr int kTakenWithKeptState = 2;

}  // namespace

bool python_lock_take(PythonLockToken* token) {
  if (!gate_enter()) return false;
  PyThreadState* kept = t_kept;
  // _PyThreadState_Current equals `kept` only if this very thread holds the
  // lock already (a nested take); PyGILState_Ensure handles that case.
  if (kept != nullptr && kept != _PyThreadState_Current) {
    PyEval_RestoreThread(kept);
    token->gil_state = kTakenWithKeptState;
    return true;
  }
  token->gil_state = static_cast<int>(PyGILState_Ensure());
  return true;
}

void python_lock_give(PythonLockToken* token) {
  if (token->gil_state == kTakenWithKeptState) {
    PyEval_SaveThread();
  } else {
    PyGILState_Release(static_cast<PyGILState_STATE>(token->gil_state));
  }
  gate_leave();
}

bool python_thread_attach(PythonLockToken* token) {
  if (!gate_enter()) return false;
  token->gil_state = static_cast<int>(PyGILState_Ensure());
  // Keep the thread state (its use count stays at one) and drop the lock.
  t_kept = PyEval_SaveThread();
  gate_leave();
  return true;
}

void python_thread_detach(PythonLockToken* token) {
  t_kept = nullptr;
  if (!gate_enter()) return;  // finalizing: the thread state dies with the interpreter
  PyGILState_Ensure();
  // Undo this Ensure without releasing the lock, then the attach's Ensure,
  // which brings the use count to zero and deletes the thread state.
  PyGILState_Release(PyGILState_LOCKED);
  PyGILState_Release(static_cast<PyGILState_STATE>(token->gil_state));
  gate_leave();
}

void python_gate_open() { g_open.store(true); }

bool python_gate_is_open() { return g_open.load(); }

void python_gate_close_and_drain() {
  g_open.store(false);
  if (g_inside.load() == 0) return;
  // Let the threads already inside take the interpreter lock, finish and leave.
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  while (g_inside.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Py_END_ALLOW_THREADS
}

void python_gate_after_fork_in_child() {
  // Only the forking thread runs in the child: threads counted inside in the
  // parent never leave here, and exit would wait for them in vain.
  g_inside.store(0);
}
