// The exit gate's counters, shared by the interpreter lock guard
// (value/python_lock.cc) and the gate's functions (value/python_gate.cc).
// Sequentially consistent: a thread that saw the gate open is always counted
// before the closer reads the count.
#ifndef VELTO_VALUE_PYTHON_GATE_H_
#define VELTO_VALUE_PYTHON_GATE_H_

#include <atomic>

namespace python_internal {

// Hidden, so the guard reads them directly rather than through the GOT.
extern std::atomic<bool> g_gate_open __attribute__((visibility("hidden")));  // cleared at exit
extern std::atomic<int> g_gate_inside __attribute__((visibility("hidden")));  // threads inside

// Counts the caller in when the gate is open; false (not counted) when closed.
inline bool gate_enter() {
  g_gate_inside.fetch_add(1);
  if (g_gate_open.load()) return true;
  g_gate_inside.fetch_sub(1);
  return false;
}

inline void gate_leave() { g_gate_inside.fetch_sub(1); }

// The hand-over's part of the gate (value/python_lock.cc): stop_hand_over()
// (python_version.h) at exit, and forgetting the parent's threads in a fork
// child (async-signal-safe).
void hand_over_after_fork_child();

}  // namespace python_internal

#endif  // VELTO_VALUE_PYTHON_GATE_H_
