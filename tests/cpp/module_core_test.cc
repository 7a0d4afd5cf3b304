// Unit tests of the worker's building blocks: signals, locks and the request
// queue.
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "module/runtime.h"
#include "module/sync.h"

namespace {

using std::chrono::milliseconds;

// A wait on `signal` blocks until the next set (which it consumes).
void expect_wait_blocks_until_set(Signal* signal) {
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    signal_wait(signal);
    woke = true;
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(woke.load()) << "a wait returned without a set";
  signal_set(signal);
  waiter.join();
}

TEST(Signal, SetsBeforeAWaitAreConsumedByItTestAndClearReportsASetOnce) {
  Signal* signal = signal_new();
  signal_set(signal);
  signal_set(signal);
  signal_wait(signal);  // returns at once, consuming both sets
  expect_wait_blocks_until_set(signal);
  EXPECT_FALSE(signal_test_and_clear(signal));
  signal_set(signal);
  EXPECT_TRUE(signal_test_and_clear(signal));
  EXPECT_FALSE(signal_test_and_clear(signal));
  expect_wait_blocks_until_set(signal);  // a cleared set no longer satisfies a wait
  signal_free(signal);
}

TEST(Signal, NoSetIsLostBetweenManyThreads) {
  // Every set made by a producer after the consumer's last wait must wake it.
  Signal* signal = signal_new();
  std::atomic<int> produced{0};
  std::atomic<bool> done{false};
  std::thread consumer([&] {
    while (!done.load()) signal_wait(signal);
  });
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([&] {
      for (int i = 0; i < 2000; ++i) {
        produced.fetch_add(1);
        signal_set(signal);
      }
    });
  }
  for (auto& p : producers) p.join();
  done = true;
  signal_set(signal);
  consumer.join();  // hangs (test timeout) if a final set were lost
  EXPECT_EQ(produced.load(), 8000);
  signal_free(signal);
}

// Fault pinned: a null lock or signal was silently a no-op, hiding the caller's bug.
TEST(PrimitivesDeathTest, NullObjectsStopTheProcessFreeingNullDoesNothing) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  lock_free(nullptr);
  signal_free(nullptr);
  EXPECT_DEATH(lock_enter(nullptr), "lock_enter\\(\\) given a null object");
  EXPECT_DEATH(lock_leave(nullptr), "lock_leave");
  EXPECT_DEATH(signal_set(nullptr), "signal_set");
  EXPECT_DEATH(signal_wait(nullptr), "signal_wait");
  EXPECT_DEATH(signal_test_and_clear(nullptr), "signal_test_and_clear");
  EXPECT_DEATH(thread_close(nullptr), "thread_close");
}

TEST(Primitives, LockExcludesAndThreadsRun) {
  Lock* lock = lock_new();
  long counter = 0;
  struct Shared {
    Lock* lock;
    long* counter;
    std::atomic<int> finished{0};
  } shared{lock, &counter};
  auto entry = [](void* argument) {
    Shared* s = static_cast<Shared*>(argument);
    for (int i = 0; i < 100000; ++i) {
      lock_enter(s->lock);
      ++*s->counter;
      lock_leave(s->lock);
    }
    s->finished.fetch_add(1);
  };
  for (int t = 0; t < 3; ++t) thread_close(thread_start(entry, &shared));
  while (shared.finished.load() < 3) std::this_thread::sleep_for(milliseconds(1));
  EXPECT_EQ(counter, 300000);
  lock_free(lock);
}

void push_tag(Runtime* runtime, int tag) {
  Request* request = new Request();
  request->arguments = value_new_int32(tag);
  runtime_push(runtime, request);
}

// Pops one request and frees it: its tag, or -1 when the queue is empty.
int pop_tag(Runtime* runtime) {
  Request* request = runtime_pop(runtime);
  if (request == nullptr) return -1;
  const int tag = request->arguments->payload.i32;
  value_free(request->arguments);
  delete request;
  return tag;
}

TEST(RequestQueue, PopsInAppendOrderAndEmptiesHeadAndTail) {
  Runtime* runtime = runtime_new();
  EXPECT_EQ(-1, pop_tag(runtime));
  for (int i = 0; i < 5; ++i) push_tag(runtime, i);
  EXPECT_TRUE(signal_test_and_clear(runtime->work)) << "an append sets the work signal";
  for (int i = 0; i < 5; ++i) EXPECT_EQ(i, pop_tag(runtime));
  EXPECT_EQ(nullptr, runtime->head);
  EXPECT_EQ(nullptr, runtime->tail);
  push_tag(runtime, 9);  // the queue works again after being emptied
  EXPECT_EQ(9, pop_tag(runtime));
  runtime_release(runtime);
}

TEST(RequestQueue, ConcurrentProducersLoseNothing) {
  Runtime* runtime = runtime_new();
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([runtime, t] {
      for (int i = 0; i < 1000; ++i) push_tag(runtime, t * 1000 + i);
    });
  }
  std::vector<int> last(4, -1);
  for (int popped = 0; popped < 4000;) {
    const int tag = pop_tag(runtime);
    if (tag < 0) continue;
    EXPECT_GT(tag % 1000, last[tag / 1000]) << "one producer's requests stay in order";
    last[tag / 1000] = tag % 1000;
    ++popped;
  }
  for (auto& p : producers) p.join();
  EXPECT_EQ(-1, pop_tag(runtime));
  runtime_release(runtime);
}

}  // namespace
