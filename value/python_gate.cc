// The exit gate native threads pass to enter Python (docs/design-python-bridge.md).
#include "value/python_version.h"

#include "value/python_bridge.h"
#include "value/python_gate.h"

#include <chrono>
#include <thread>

namespace python_internal {

std::atomic<bool> g_gate_open{false};
std::atomic<int> g_gate_inside{0};

}  // namespace python_internal

using python_internal::g_gate_inside;
using python_internal::g_gate_open;

namespace {

// How long interpreter exit waits for native threads still inside Python; a
// callback blocked on the main thread cannot be waited for forever.
constexpr auto kDrainLimit = std::chrono::seconds(5);

}  // namespace

void python_gate_open() {
  python_internal::stop_hand_over_when_exit_starts();
  g_gate_open.store(true);
}

bool python_gate_is_open() { return g_gate_open.load(); }

void python_gate_close_and_drain() {
  python_internal::stop_hand_over();
  g_gate_open.store(false);
  if (g_gate_inside.load() == 0) return;
  // Let the threads already inside take the interpreter lock, finish and leave.
  Py_BEGIN_ALLOW_THREADS
  const auto deadline = std::chrono::steady_clock::now() + kDrainLimit;
  while (g_gate_inside.load() != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  Py_END_ALLOW_THREADS
}

// Only the forking thread runs in the child: threads counted inside in the
// parent never leave there, and exit would wait for them in vain.
void python_gate_after_fork_child() {
  g_gate_inside.store(0);
  python_internal::hand_over_after_fork_child();
}
