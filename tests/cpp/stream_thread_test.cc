// Device-library threads and the interpreter: a native thread that delivers
// records keeps one Python thread state for its life (so Python sees one
// thread, with its thread-local data, across records) and gives it back when
// it ends; Python threads that deliver records themselves keep their own.
#include <Python.h>

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "operations/subscriptions.h"
#include "streams/registry.h"
#include "streams/stream_types.h"
#include "test_support.h"
#include "streams/translators.h"
#include "value/python_bridge.h"
#include "value/value.h"
#include "velto_sim.h"

namespace {

const char kPrelude[] =
    "import threading\n"
    "try:\n"
    "    import thread\n"
    "except ImportError:\n"
    "    import _thread as thread\n"
    "local = threading.local()\n"
    "seen = []\n"
    "texts = []\n"
    "def text(d):\n"
    "    return repr(sorted(d.items()))\n"
    "def on_gaze(d):\n"
    "    local.n = getattr(local, 'n', 0) + 1\n"
    "    seen.append((thread.get_ident(), local.n, d['device_time_stamp']))\n"
    "    texts.append(text(d))\n";

int thread_states() {
  PythonLockGuard python;
  int count = 0;
  for (PyThreadState* t = PyInterpreterState_ThreadHead(PyThreadState_Get()->interp); t;
       t = PyThreadState_Next(t))
    ++count;
  return count;
}

// The user-data word of the one gaze subscription.
uint64_t g_word = 0;

void deliver(int count, int64_t first_stamp) {
  for (int k = 0; k < count; ++k) {
    velto_gaze_data g{};
    g.device_time_stamp = first_stamp + k;
    gaze_data_callback(&g, reinterpret_cast<void*>(static_cast<uintptr_t>(g_word)));
  }
}

class StreamThreadTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    python_env_ensure();
    globals_ = py_module(kPrelude);
    ASSERT_NE(nullptr, globals_);
    PyEval_SaveThread();  // from here on every Python touch takes the lock itself
  }

  void SetUp() override {
    // The library's (un)subscribe calls succeed without doing anything: the
    // test drives the callback itself.
    ASSERT_EQ(velto_sim_reset(), 0);
    ASSERT_EQ(velto_sim_fail("velto_subscribe_to_gaze_data", 0, 0, -1), 0);
    ASSERT_EQ(velto_sim_fail("velto_unsubscribe_from_gaze_data", 0, 0, -1), 0);
    Value* args;
    {
      PythonLockGuard python;
      registry_teardown();
      for (const char* name : {"seen", "texts"}) {
        PyObject* list = PyDict_GetItemString(globals_, name);
        PyList_SetSlice(list, 0, PyList_GET_SIZE(list), nullptr);
      }
      args = value_build("iLO", STREAM_GAZE_DATA, int64_t{1},
                         value_new_pyobject(PyDict_GetItemString(globals_, "on_gaze")));
    }
    ASSERT_EQ(run_handler(op_subscribe_to, args), 0);
    g_word = sim_last_user_data();
  }

  void TearDown() override {
    run_handler(op_unsubscribe_from, value_build("iL", STREAM_GAZE_DATA, int64_t{1}));
    velto_sim_reset();
  }

  // (thread id, thread-local count, device time stamp) of every call so far.
  static std::vector<std::vector<long>> seen() {
    PythonLockGuard python;
    std::vector<std::vector<long>> calls;
    PyObject* list = PyDict_GetItemString(globals_, "seen");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list); ++i) {
      PyObject* t = PyList_GET_ITEM(list, i);
      calls.push_back({py_int_value(PyTuple_GET_ITEM(t, 0)), py_int_value(PyTuple_GET_ITEM(t, 1)),
                       PyLong_AsLong(PyTuple_GET_ITEM(t, 2))});
    }
    return calls;
  }

  static PyObject* globals_;
};
PyObject* StreamThreadTest::globals_ = nullptr;

// A stream thread builds its gaze dict once and then refills it: every
// delivered dict must equal the one built afresh for its record, whichever
// groups are valid from one record to the next.
TEST_F(StreamThreadTest, RefilledGazeDictEqualsAFreshOne) {
  std::vector<velto_gaze_data> records;
  for (int k = 0; k < 16; ++k) {
    velto_gaze_data g{};
    g.device_time_stamp = 1000 + k;
    g.system_time_stamp = -k;
    velto_eye_data* eyes[2] = {&g.left_eye, &g.right_eye};
    for (int e = 0; e < 2; ++e) {
      velto_eye_data& eye = *eyes[e];
      eye.gaze_point_on_display_area = {0.25f * k, 0.5f + e};
      eye.gaze_point_in_user_coordinate_system = {1.0f * k, 2.0f, 3.0f + e};
      eye.gaze_origin_in_user_coordinate_system = {-4.0f, 5.5f * k, 6.0f};
      eye.gaze_origin_in_trackbox_coordinate_system = {0.1f, 0.2f, 0.3f * k};
      eye.pupil_diameter = 3.0f + k;
      // Each group's validity changes in its own rhythm (2 is not valid).
      eye.gaze_point_validity = (k >> e) & 1;
      eye.pupil_validity = ((k >> (e + 1)) & 1) ? 1 : 2;
      eye.gaze_origin_validity = (k >> (e + 2)) & 1;
    }
    records.push_back(g);
  }
  std::thread stream([&records] {
    for (const velto_gaze_data& g : records)
      gaze_data_callback(&g, reinterpret_cast<void*>(static_cast<uintptr_t>(g_word)));
  });
  stream.join();
  PythonLockGuard python;
  PyObject* texts = PyDict_GetItemString(globals_, "texts");
  ASSERT_EQ(static_cast<Py_ssize_t>(records.size()), PyList_GET_SIZE(texts));
  PyObject* text = PyDict_GetItemString(globals_, "text");
  for (size_t k = 0; k < records.size(); ++k) {
    Value* fresh = gaze_data_to_value(&records[k]);
    PyObject* dict = value_to_python(fresh);
    value_free(fresh);
    PyObject* expected = PyObject_CallFunctionObjArgs(text, dict, nullptr);
    ASSERT_NE(nullptr, expected);
    EXPECT_EQ(py_text(expected), py_text(PyList_GET_ITEM(texts, k))) << "record " << k;
    Py_DECREF(expected);
    Py_DECREF(dict);
  }
}

// Regression: every record of a native thread ran on a fresh thread state, so
// Python saw a new thread each time and its thread-local data vanished.
TEST_F(StreamThreadTest, NativeThreadKeepsOneThreadStateAcrossRecords) {
  const int before = thread_states();
  std::thread first(deliver, 5, 100);
  first.join();
  std::thread second(deliver, 3, 200);
  second.join();
  // Each thread gave its state back when it ended.
  EXPECT_EQ(before, thread_states());

  const auto calls = seen();
  ASSERT_EQ(8u, calls.size());
  for (int k = 0; k < 5; ++k) {
    EXPECT_EQ(k + 1, calls[k][1]) << "thread-local data lost at record " << k;
    EXPECT_EQ(100 + k, calls[k][2]);
    EXPECT_EQ(calls[0][0], calls[k][0]);
  }
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(k + 1, calls[5 + k][1]) << "the second thread started from a fresh state";
    EXPECT_EQ(200 + k, calls[5 + k][2]);
  }
}

// A thread that already has a Python thread state (this test's main thread,
// like any Python thread emitting records itself) keeps using its own: no
// second state is made for it, and its own state survives.
TEST_F(StreamThreadTest, PythonThreadKeepsItsOwnThreadState) {
  const int before = thread_states();
  PyThreadState* own = nullptr;
  {
    PythonLockGuard python;
    own = PyThreadState_Get();
  }
  deliver(3, 300);
  EXPECT_EQ(before, thread_states());
  {
    PythonLockGuard python;
    EXPECT_EQ(own, PyThreadState_Get());
  }
  const auto calls = seen();
  ASSERT_EQ(3u, calls.size());
  for (int k = 0; k < 3; ++k) EXPECT_EQ(300 + k, calls[k][2]);
}

// Many short-lived native threads: the thread states do not pile up.
TEST_F(StreamThreadTest, ShortLivedThreadsLeaveNoThreadStates) {
  const int before = thread_states();
  for (int round = 0; round < 50; ++round) {
    std::thread a(deliver, 2, 0);
    std::thread b(deliver, 2, 0);
    a.join();
    b.join();
  }
  EXPECT_EQ(before, thread_states());
  EXPECT_EQ(200u, seen().size());
}

}  // namespace
