// The interpreter lock taken from native threads: the guard, the hand-over
// by the main thread, the thread states native threads keep
// (docs/design-python-bridge.md).
#include "value/python_version.h"

#include "value/python_bridge.h"
#include "value/python_gate.h"

#include <atomic>
#include <chrono>
#include <thread>

using python_internal::gate_enter;
using python_internal::gate_leave;

namespace {

// ---- Handing the lock over ----------------------------------------------------
//
// A stream thread about to wait asks the main thread, by a pending call, to
// give the lock up until a waiter has taken it (at most kHandOverLimit).
std::atomic<int> g_waiters{0};            // native threads about to block on the lock
std::atomic<bool> g_hand_over_asked{false};  // a pending call is queued
std::atomic<bool> g_handing_over{false};  // the main thread waits for a taker
std::atomic<uint64_t> g_takes{0};         // locks taken while handing over
std::atomic<bool> g_hand_over_off{false};  // no more pending calls: the interpreter exits
std::atomic<int> g_asking{0};             // threads between the check of that and the ask
constexpr auto kHandOverLimit = std::chrono::milliseconds(2);

int hand_over(void*) {
  g_hand_over_asked.store(false);
  if (g_waiters.load() == 0 || !python_internal::g_gate_open.load()) return 0;
  const uint64_t before = g_takes.load();
  g_handing_over.store(true);
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + kHandOverLimit;
  while (g_takes.load() == before && g_waiters.load() != 0 &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
  Py_END_ALLOW_THREADS
  g_handing_over.store(false);
  return 0;
}

// Takes the lock with `take` (which blocks until it has it), asking the main
// thread to hand it over first when `ask` is set (stream records only).
template <typename Take>
inline void take_as_waiter(bool ask, Take take) {
  if (!ask) {
    take();
    return;
  }
  g_waiters.fetch_add(1);
  if (!g_hand_over_asked.load(std::memory_order_relaxed)) {
    g_asking.fetch_add(1);
    if (!g_hand_over_off.load() && !g_hand_over_asked.exchange(true) &&
        Py_AddPendingCall(hand_over, nullptr) != 0) {
      g_hand_over_asked.store(false);  // the queue is full: the interpreter hands over in time
    }
    g_asking.fetch_sub(1);
  }
  take();
  g_waiters.fetch_sub(1);
  if (g_handing_over.load()) g_takes.fetch_add(1);
}

// What a thread knows of itself: one trivially destructible thread-local, so
// a delivery finds it with one lookup.
struct ThreadPython {
  PyThreadState* kept;  // the state a native thread keeps; null elsewhere
  int depth;            // guards this thread holds
  bool asked;           // python_keep_thread_state looked at this thread
  int gil_state;  // the PyGILState_STATE of the Ensure that made `kept`
};
thread_local ThreadPython t_python;

// Deletes the kept thread state when its thread ends (skipped once the
// interpreter is exiting: the state then goes away with the interpreter).
// Made only on threads that keep a state.
struct KeptStateOwner {
  ~KeptStateOwner() {
    ThreadPython& self = t_python;
    if (self.kept == nullptr) return;
    self.kept = nullptr;
    if (!gate_enter()) return;
    PyGILState_Ensure();
    // Undo this Ensure without releasing the lock, then the one that made the
    // state, which brings its use count to zero and deletes it.
    PyGILState_Release(PyGILState_LOCKED);
    PyGILState_Release(static_cast<PyGILState_STATE>(self.gil_state));
    gate_leave();
  }
};
thread_local KeptStateOwner t_owner;

// The work of python_keep_thread_state on `self`, the calling thread's record
// (first call on the thread only).
void keep_thread_state(ThreadPython& self) {
  self.asked = true;
  // A thread with a Python thread state of its own (a Python thread emitting
  // records itself) is left to PyGILState: the interpreter deletes its state
  // when it ends. Asked once per thread (a locked list walk on 2.7).
  if (PyGILState_GetThisThreadState() != nullptr) return;
  if (!gate_enter()) return;
  self.gil_state = static_cast<int>(PyGILState_Ensure());
  // Keep the thread state (its use count stays at one) and drop the lock.
  self.kept = PyEval_SaveThread();
  KeptStateOwner& owner = t_owner;  // deletes the state when the thread ends
  (void)owner;
  gate_leave();
}
}  // namespace

namespace python_internal {

// Stops asking for hand-overs for good, once no thread is in the middle of
// asking. Any thread.
void stop_hand_over() {
  g_hand_over_off.store(true);
  while (g_asking.load() != 0) std::this_thread::yield();
}

// A parent's thread caught asking would make the child's exit wait forever in
// stop_hand_over(), and a pending call the child never got would keep it from
// ever asking again.
void hand_over_after_fork_child() {
  g_waiters.store(0);
  g_asking.store(0);
  g_handing_over.store(false);
  g_hand_over_asked.store(false);
}

}  // namespace python_internal

PythonLockGuard::PythonLockGuard(PythonEntry entry)
    : mode_(kNotHeld), gil_state_(0), thread_(nullptr) {
  ThreadPython& self = t_python;
  if (entry == PythonEntry::kStreamRecord && !self.asked) keep_thread_state(self);
  if (!gate_enter()) return;
  thread_ = &self;
  const bool ask = entry == PythonEntry::kStreamRecord;
  if (self.kept != nullptr && self.depth == 0) {
    take_as_waiter(ask, [&self] { PyEval_RestoreThread(self.kept); });
    mode_ = kKeptState;
  } else if (self.depth == 0) {
    take_as_waiter(ask, [this] { gil_state_ = static_cast<int>(PyGILState_Ensure()); });
    mode_ = kGilState;
  } else {
    // Nested: this thread holds the lock already.
    gil_state_ = static_cast<int>(PyGILState_Ensure());
    mode_ = kGilState;
  }
  ++self.depth;
}

PythonLockGuard::~PythonLockGuard() {
  if (mode_ == kNotHeld) return;
  --static_cast<ThreadPython*>(thread_)->depth;
  if (mode_ == kKeptState) {
    PyEval_SaveThread();
  } else {
    PyGILState_Release(static_cast<PyGILState_STATE>(gil_state_));
  }
  gate_leave();
}

void python_keep_thread_state() {
  ThreadPython& self = t_python;
  if (!self.asked) keep_thread_state(self);
}
