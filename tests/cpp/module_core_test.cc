// Unit tests of the worker's building blocks: signals, locks, the request
// queue and the function table.
#include <string.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "operations/function_table.h"
#include "module/runtime.h"
#include "module/sync.h"

namespace {

using std::chrono::milliseconds;

TEST(Signal, SetsBeforeAWaitAreAllConsumedByIt) {
  Signal* signal = signal_new();
  signal_set(signal);
  signal_set(signal);
  signal_wait(signal);  // returns at once

  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    signal_wait(signal);
    woke = true;
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(woke.load()) << "the second wait must block until the next set";
  signal_set(signal);
  waiter.join();
  EXPECT_TRUE(woke.load());
  signal_free(signal);
}

TEST(Signal, TestAndClearReportsASetOnce) {
  Signal* signal = signal_new();
  EXPECT_FALSE(signal_test_and_clear(signal));
  signal_set(signal);
  EXPECT_TRUE(signal_test_and_clear(signal));
  EXPECT_FALSE(signal_test_and_clear(signal));
  // A cleared signal no longer satisfies a wait.
  std::atomic<bool> woke{false};
  std::thread waiter([&] {
    signal_wait(signal);
    woke = true;
  });
  std::this_thread::sleep_for(milliseconds(30));
  EXPECT_FALSE(woke.load());
  signal_set(signal);
  waiter.join();
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

TEST(Primitives, NullObjectsAreIgnored) {
  lock_enter(nullptr);
  lock_leave(nullptr);
  lock_free(nullptr);
  signal_set(nullptr);
  signal_wait(nullptr);
  signal_free(nullptr);
  EXPECT_FALSE(signal_test_and_clear(nullptr));
  thread_close(nullptr);
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

Request* make_request(int tag) {
  Request* request = new Request();
  request->arguments = value_new_int32(tag);
  return request;
}

TEST(RequestQueue, PopsInAppendOrderAndEmptiesHeadAndTail) {
  Runtime* runtime = runtime_new();
  EXPECT_EQ(runtime_pop(runtime), nullptr);
  for (int i = 0; i < 5; ++i) runtime_push(runtime, make_request(i));
  EXPECT_TRUE(signal_test_and_clear(runtime->work)) << "an append sets the work signal";
  for (int i = 0; i < 5; ++i) {
    Request* request = runtime_pop(runtime);
    ASSERT_NE(request, nullptr);
    EXPECT_EQ(request->arguments->payload.i32, i);
    value_free(request->arguments);
    delete request;
  }
  EXPECT_EQ(runtime->head, nullptr);
  EXPECT_EQ(runtime->tail, nullptr);
  // The queue works again after being emptied.
  runtime_push(runtime, make_request(9));
  Request* request = runtime_pop(runtime);
  ASSERT_NE(request, nullptr);
  EXPECT_EQ(request->arguments->payload.i32, 9);
  value_free(request->arguments);
  delete request;
  runtime_release(runtime);
}

TEST(RequestQueue, ConcurrentProducersLoseNothing) {
  Runtime* runtime = runtime_new();
  std::vector<std::thread> producers;
  for (int t = 0; t < 4; ++t) {
    producers.emplace_back([runtime, t] {
      for (int i = 0; i < 1000; ++i) runtime_push(runtime, make_request(t * 1000 + i));
    });
  }
  int popped = 0;
  std::vector<int> last(4, -1);
  while (popped < 4000) {
    Request* request = runtime_pop(runtime);
    if (request == nullptr) continue;
    const int tag = request->arguments->payload.i32;
    EXPECT_GT(tag % 1000, last[tag / 1000]) << "one producer's requests stay in order";
    last[tag / 1000] = tag % 1000;
    value_free(request->arguments);
    delete request;
    ++popped;
  }
  for (auto& p : producers) p.join();
  EXPECT_EQ(runtime_pop(runtime), nullptr);
  runtime_release(runtime);
}

TEST(FunctionTable, HoldsTheTwentySixOperationsInOrder) {
  const char* expected[] = {"terminate",
                            "get_system_time_stamp",
                            "get_sdk_version",
                            "find_all_eyetrackers",
                            "get_device",
                            "get_device_data",
                            "report_stream_error",
                            "subscribe_to",
                            "unsubscribe_from",
                            "get_all_gaze_output_frequencies",
                            "get_gaze_output_frequency",
                            "set_gaze_output_frequency",
                            "get_all_eye_tracking_modes",
                            "get_eye_tracking_mode",
                            "set_eye_tracking_mode",
                            "get_display_area",
                            "get_track_box",
                            "calibration_retrieve",
                            "calibration_apply",
                            "set_device_name",
                            "screen_based_calibration_enter_calibration_mode",
                            "screen_based_calibration_leave_calibration_mode",
                            "screen_based_calibration_collect_data",
                            "screen_based_calibration_discard_data",
                            "screen_based_calibration_compute_and_apply",
                            "screen_based_calibration_get_calibration_points"};
  size_t rows = 0;
  while (kFunctionTable[rows].name != nullptr) ++rows;
  ASSERT_EQ(rows, 26u);
  for (size_t i = 0; i < rows; ++i) {
    EXPECT_STREQ(kFunctionTable[i].name, expected[i]);
    EXPECT_NE(kFunctionTable[i].handler, nullptr);
    EXPECT_EQ(function_table_lookup(expected[i]), kFunctionTable[i].handler);
  }
  EXPECT_EQ(kFunctionTable[rows].handler, nullptr);
}

TEST(FunctionTable, LookupIsExactAndCaseSensitive) {
  EXPECT_EQ(function_table_lookup("Terminate"), nullptr);
  EXPECT_EQ(function_table_lookup("terminate "), nullptr);
  EXPECT_EQ(function_table_lookup("termin"), nullptr);
  EXPECT_EQ(function_table_lookup(""), nullptr);
  EXPECT_EQ(function_table_lookup(nullptr), nullptr);
}

}  // namespace
