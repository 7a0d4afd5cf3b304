// The subscription registry driven through subscribe_to / unsubscribe_from (as
// the worker runs them) and stream_deliver (as the library's threads call it):
// slot placement and growth, delivery only to the subscription a user-data
// word names, reference counts, and delivery racing with subscribe,
// unsubscribe, growth and teardown. What a pair unsubscribe and the log
// stream's single subscriber release is checked end to end by
// test_subscriptions.
#include <Python.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "operations/subscriptions.h"
#include "test_support.h"
#include "streams/registry.h"
#include "streams/stream_types.h"
#include "streams/translators.h"
#include "value/python_bridge.h"
#include "value/value.h"
#include "velto_sim.h"

namespace {

constexpr int kCallables = 48;
std::atomic<int> g_calls[kCallables];
std::atomic<int> g_not_a_dict{0};

// A C-level callable: counts its calls under the index held as `self`.
PyObject* counting(PyObject* self, PyObject* arg) {
  const long i = py_int_value(self);
  if (!PyDict_Check(arg)) g_not_a_dict++;
  if (i >= 0 && i < kCallables) g_calls[i]++;
  Py_RETURN_NONE;
}
PyMethodDef g_counting_def = {"counting", counting, METH_O, nullptr};

// A callable that empties the registry (as cleanup() does) from inside its
// own delivery.
std::atomic<int> g_teardown_calls{0};
PyObject* tearing_down(PyObject* self, PyObject* arg) {
  registry_teardown();
  g_teardown_calls++;
  Py_RETURN_NONE;
}
PyMethodDef g_tearing_down_def = {"tearing_down", tearing_down, METH_O, nullptr};

const char* const kStreamFunctions[] = {
    "velto_subscribe_to_gaze_data",          "velto_unsubscribe_from_gaze_data",
    "velto_subscribe_to_external_signal_data", "velto_unsubscribe_from_external_signal_data",
    "velto_logging_subscribe",               "velto_logging_unsubscribe",
};

// A word for `slot` with a serial no subscription has.
uint64_t unknown_word(uint64_t slot) { return (uint64_t{1} << 38) << 24 | slot; }

class RegistryTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    python_env_ensure();
    PyEval_SaveThread();  // from here on every Python touch takes the lock itself
  }

  void SetUp() override {
    // Every (un)subscribe call succeeds without doing anything, so the tests
    // exercise the registry alone, independent of any simulated device.
    ASSERT_EQ(velto_sim_reset(), 0);
    for (const char* f : kStreamFunctions) ASSERT_EQ(velto_sim_fail(f, 0, 0, -1), 0) << f;
    teardown();
    for (auto& c : g_calls) c = 0;
    g_not_a_dict = 0;
    PythonLockGuard python;
    for (int i = 0; i < kCallables; ++i) {
      PyObject* self = py_int(i);
      callables_[i] = PyCFunction_NewEx(&g_counting_def, self, nullptr);
      Py_DECREF(self);
    }
  }

  void TearDown() override {
    teardown();
    PythonLockGuard python;
    for (PyObject* c : callables_) Py_XDECREF(c);
  }

  static void teardown() {
    PythonLockGuard python;
    registry_teardown();
  }

  Py_ssize_t refcount(int i) {
    PythonLockGuard python;
    return Py_REFCNT(callables_[i]);
  }

  // Subscribes callable `callable`; its user-data word goes to word_.
  int32_t subscribe(int32_t type, int64_t device, int callable,
                    uint64_t epoch = registry_epoch()) {
    Value* args;
    {
      PythonLockGuard python;
      args = value_build("iLO", type, device, value_new_pyobject(callables_[callable]));
    }
    velto_sim_clear_calls();
    const int32_t status = run_handler(op_subscribe_to, args, epoch);
    word_ = type == STREAM_LOG ? registry_log() : sim_last_user_data();
    return status;
  }

  static int32_t unsubscribe(int32_t type, int64_t device) {
    return run_handler(op_unsubscribe_from, value_build("iL", type, device));
  }

  // Delivers one gaze dict under `word` and returns which callables were called.
  std::vector<int> deliver(uint64_t word, int32_t type = STREAM_GAZE_DATA) {
    for (auto& c : g_calls) c = 0;
    velto_gaze_data g{};
    Value* dict = gaze_data_to_value(&g);
    stream_deliver(word, type, dict);
    value_free(dict);
    std::vector<int> called;
    for (int i = 0; i < kCallables; ++i) {
      for (int n = g_calls[i]; n > 0; --n) called.push_back(i);
    }
    return called;
  }

  PyObject* callables_[kCallables] = {};
  uint64_t word_ = kNoSubscription;
};

using V = std::vector<int>;

TEST_F(RegistryTest, LowestEmptySlotGrowthAndReuse) {
  // Slots 0..10: the eleventh subscription grows the registry and lands at 10.
  std::vector<uint64_t> words;
  for (int i = 0; i <= 10; ++i) {
    ASSERT_EQ(subscribe(STREAM_GAZE_DATA, 100 + i, i), 0);
    words.push_back(word_);
  }
  for (int i = 0; i <= 10; ++i) {  // every one delivered to after the growth
    EXPECT_EQ(words[i] & 0xffffff, static_cast<uint64_t>(i));
    EXPECT_EQ(deliver(words[i]), V{i}) << "slot " << i;
  }
  EXPECT_EQ(deliver(unknown_word(11)), V{});  // empty slot inside the grown capacity
  EXPECT_EQ(deliver(unknown_word(20)), V{});  // past the capacity of 20
  EXPECT_EQ(deliver(kNoSubscription), V{});
  EXPECT_EQ(g_not_a_dict, 0);

  // Slot 3 freed. Refusals leave it empty, holding nothing: an unknown stream
  // type, the library's refusal, a third item that is not a callable, too few
  // items. The next subscription takes it, under a word of its own.
  EXPECT_EQ(refcount(3), 2);
  ASSERT_EQ(unsubscribe(STREAM_GAZE_DATA, 103), 0);
  EXPECT_EQ(refcount(3), 1);
  EXPECT_EQ(subscribe(7, 1, 30), STATUS_INVALID_PARAMETER);
  ASSERT_EQ(velto_sim_fail("velto_subscribe_to_gaze_data", 6, 0, 1), 0);
  EXPECT_EQ(subscribe(STREAM_GAZE_DATA, 1, 30), 6);
  ASSERT_EQ(velto_sim_fail("velto_subscribe_to_gaze_data", 0, 0, -1), 0);
  EXPECT_EQ(run_handler(op_subscribe_to, value_build("iLi", STREAM_GAZE_DATA, int64_t{1}, 5)),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(run_handler(op_subscribe_to, value_build("iL", STREAM_GAZE_DATA, int64_t{1})),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(refcount(30), 1);
  ASSERT_EQ(subscribe(STREAM_GAZE_DATA, 200, 30), 0);
  EXPECT_EQ(word_ & 0xffffff, 3u);
  EXPECT_EQ(deliver(word_), V{30});
  EXPECT_EQ(deliver(words[10]), V{10});
}

// Regression: records of a library subscription that outlived cleanup() (or
// that the library refused to end) reached whichever subscription took its
// slot next, on another device.
TEST_F(RegistryTest, ARecordReachesOnlyTheSubscriptionMadeForIt) {
  ASSERT_EQ(subscribe(STREAM_GAZE_DATA, 1, 0), 0);
  const uint64_t before_cleanup = word_;
  teardown();
  ASSERT_EQ(subscribe(STREAM_GAZE_DATA, 2, 1), 0);
  EXPECT_EQ(word_ & 0xffffff, before_cleanup & 0xffffff);  // the same slot...
  EXPECT_EQ(deliver(before_cleanup), V{});                  // ...but not its records
  EXPECT_TRUE(registry_is_stale(before_cleanup));
  EXPECT_EQ(deliver(word_), V{1});
  EXPECT_FALSE(registry_is_stale(word_));

  // The library refuses to end a subscription: the entry goes all the same,
  // and its records reach nobody, not the next subscriber of that slot.
  const uint64_t refused = word_;
  ASSERT_EQ(velto_sim_fail("velto_unsubscribe_from_gaze_data", 6, 0, 1), 0);
  EXPECT_EQ(unsubscribe(STREAM_GAZE_DATA, 2), 6);
  EXPECT_EQ(refcount(1), 1);
  ASSERT_EQ(subscribe(STREAM_GAZE_DATA, 3, 2), 0);
  EXPECT_EQ(deliver(refused), V{});
  EXPECT_EQ(deliver(word_), V{2});
  EXPECT_EQ(deliver(word_, STREAM_EXTERNAL_SIGNAL), V{});  // and only as its own stream
}

// Regression: a subscribe_to accepted before cleanup() and run after it made
// a live subscription that kept receiving records and held its callable.
TEST_F(RegistryTest, SubscribeAcceptedBeforeACleanupSubscribesNothing) {
  const uint64_t accepted = registry_epoch();
  teardown();
  velto_sim_clear_calls();
  EXPECT_EQ(subscribe(STREAM_GAZE_DATA, 1, 0, accepted), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(refcount(0), 1);  // released, not kept
  EXPECT_EQ(sim_last_user_data(), kNoSubscription);  // the library was not asked
  ASSERT_EQ(subscribe(STREAM_GAZE_DATA, 1, 1), 0);
  EXPECT_EQ(word_ & 0xffffff, 0u);  // slot 0 was never taken
}

TEST_F(RegistryTest, SubscriberMayEmptyTheRegistryDuringItsOwnCall) {
  {
    PythonLockGuard python;
    Py_DECREF(callables_[0]);
    callables_[0] = PyCFunction_NewEx(&g_tearing_down_def, nullptr, nullptr);
  }
  ASSERT_EQ(subscribe(STREAM_GAZE_DATA, 1, 0), 0);
  const uint64_t tearing = word_;
  ASSERT_EQ(subscribe(STREAM_GAZE_DATA, 2, 1), 0);
  g_teardown_calls = 0;
  deliver(tearing);  // must neither deadlock nor free the callable while it runs
  EXPECT_EQ(g_teardown_calls, 1);
  EXPECT_EQ(refcount(0), 1);
  EXPECT_EQ(refcount(1), 1);
  EXPECT_EQ(deliver(word_), V{});
}

TEST_F(RegistryTest, ExceptionsOfSubscribersAreDropped) {
  PyObject* raiser;
  {
    PythonLockGuard python;
    PyObject* globals =
        py_module("seen = []\ndef f(d):\n    seen.append(len(d))\n    raise ValueError('x')\n");
    ASSERT_NE(globals, nullptr);
    raiser = PyDict_GetItemString(globals, "f");
    Py_INCREF(raiser);
    Py_DECREF(callables_[0]);
    callables_[0] = raiser;  // released by TearDown
    Py_DECREF(globals);      // `f` keeps its globals alive
  }
  ASSERT_EQ(subscribe(STREAM_GAZE_DATA, 1, 0), 0);
  deliver(word_);
  deliver(word_);
  PythonLockGuard python;
  EXPECT_EQ(PyErr_Occurred(), nullptr);
  PyObject* seen = PyDict_GetItemString(PyFunction_GetGlobals(raiser), "seen");
  ASSERT_NE(seen, nullptr);
  EXPECT_EQ(PyList_Size(seen), 2);  // both records reached it, with 18 entries each
  EXPECT_EQ(py_int_value(PyList_GetItem(seen, 1)), 18);
}

TEST_F(RegistryTest, DeliveryRacesSubscribeUnsubscribeGrowthAndTeardown) {
  std::atomic<bool> stop{false};
  std::atomic<long> delivered_rounds{0};
  std::atomic<uint64_t> newest_serial{1};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&, t] {
      velto_gaze_data g{};
      g.left_eye.gaze_point_validity = 1;
      Value* dict = gaze_data_to_value(&g);
      while (!stop) {
        // Every slot under the newest serials: live, stale or never made.
        const uint64_t newest = newest_serial;
        for (uint64_t slot = 0; slot < 35; ++slot) {
          for (uint64_t serial = newest > 40 ? newest - 40 : 1; serial <= newest + 1; ++serial) {
            stream_deliver(serial << 24 | slot, (slot + t) % 7 == 0 ? STREAM_LOG : STREAM_GAZE_DATA,
                           dict);
          }
        }
        delivered_rounds++;
      }
      value_free(dict);
    });
  }
  threads.emplace_back([&] {  // cleanup() now and then
    while (!stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(3));
      teardown();
    }
  });

  // The worker: subscriptions pile up past 10, 20 and 30 slots, pairs are
  // removed, the log stream comes and goes.
  const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  int i = 0;
  while (std::chrono::steady_clock::now() < until) {
    subscribe(STREAM_GAZE_DATA, i % 31, i % kCallables);
    newest_serial = word_ >> 24;
    if (i % 3 == 0) unsubscribe(STREAM_GAZE_DATA, (i * 7) % 31);
    if (i % 11 == 0) subscribe(STREAM_LOG, 0, (i + 1) % kCallables);
    if (i % 13 == 0) unsubscribe(STREAM_LOG, 0);
    ++i;
  }
  stop = true;
  for (auto& t : threads) t.join();
  EXPECT_GT(delivered_rounds, 0);
  EXPECT_GT(i, 100);

  teardown();
  PythonLockGuard python;
  long total = 0;
  for (int k = 0; k < kCallables; ++k) {
    EXPECT_EQ(Py_REFCNT(callables_[k]), 1) << "callable " << k;  // none leaked, none lost
    total += g_calls[k];
  }
  EXPECT_GT(total, 0);
  EXPECT_EQ(g_not_a_dict, 0);
}

}  // namespace
