#include "module/fork.h"

#include <pthread.h>

#include <mutex>

#include "module/methods.h"
#include "streams/registry.h"
#include "value/python_bridge.h"
#include "value/value.h"

namespace {

// The locks are taken in one fixed order. No holder of one waits for another
// of them, and the forking thread holds the interpreter lock (os.fork()),
// which the registry mutex is always taken after, so no order can deadlock.
void before_fork() {
  registry_fork_prepare();
  value_pool_fork_prepare();
}

void after_fork_in_parent() {
  value_pool_fork_parent();
  registry_fork_parent();
}

// Only the forking thread exists in the child: no worker serves the parent's
// runtimes there and no library thread is inside Python.
void after_fork_in_child() {
  value_pool_fork_child();
  registry_fork_child();
  python_gate_after_fork_child();
  methods_after_fork_child();
}

}  // namespace

void fork_routine_register() {
  static std::once_flag registered;
  std::call_once(registered,
                 [] { pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child); });
}
