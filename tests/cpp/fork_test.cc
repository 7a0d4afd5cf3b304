// The module's fork routine: a fork() while another thread holds one of the
// module's locks gives the child that lock free.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "module/fork.h"
#include "value/value.h"
#include "value/value_block.h"

namespace {

// Runs `child` in a forked child with a 5 s alarm; true when it exited 0.
template <typename Child>
bool child_succeeds(Child child) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(5);
    child();
    _exit(0);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Regression: a fork() while a thread held a node pool's central list (as it
// does to move one batch) left the child hanging at its next allocation.
TEST(ForkRoutine, ChildAllocatesWhileAnotherThreadHeldThePool) {
  fork_routine_register();
  std::atomic<bool> holding{false};
  std::thread holder([&holding] {
    value_internal::lock_central_lists();
    holding = true;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    value_internal::unlock_central_lists();
  });
  while (!holding) std::this_thread::yield();
  // Enough nodes that the child's own free lists run dry and it must take
  // blocks from the central lists.
  const bool ok = child_succeeds([] {
    for (int k = 0; k < 20000; ++k) value_new_int32(k);
  });
  holder.join();
  EXPECT_TRUE(ok) << "the child hung or failed";
}

}  // namespace
