// The module's methods raced against each other from native threads, as Python
// threads would call them: call_function from several threads while another
// cycles cleanup()/startup(), with the workers of successive runtimes
// draining, waiting for their predecessors and ending. Run under
// ThreadSanitizer by scripts/sanitize.sh thread (and AddressSanitizer by
// scripts/sanitize.sh address): the runtime's reference counts, the queue,
// the signals and the worker hand-over must show no race, no use after free
// and no leak, and every accepted request must be called back exactly once.
#include <Python.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "module/methods.h"
#include "test_support.h"
#include "value/python_bridge.h"

namespace {

constexpr long kCycles = 60;
std::atomic<long> g_called{0};
std::atomic<long> g_bad_results{0};

// The result callback: counts, and checks it got one (status, ...) tuple.
PyObject* counting(PyObject* self, PyObject* args) {
  PyObject* result = nullptr;
  if (!PyArg_ParseTuple(args, "O", &result) || !PyTuple_Check(result) ||
      PyTuple_Size(result) < 1 || !py_is_small_int(PyTuple_GetItem(result, 0))) {
    PyErr_Clear();
    g_bad_results++;
  }
  g_called++;
  Py_RETURN_NONE;
}
PyMethodDef g_counting_def = {"counting", counting, METH_VARARGS, nullptr};


// Calls a method with an argument tuple and returns its integer result (or -1
// for None / a tuple). Interpreter lock held by the caller.
long call_method(PyObject* (*method)(PyObject*, PyObject*), PyObject* args) {
  PyObject* result = method(nullptr, args);
  long value = (result != nullptr && py_is_small_int(result)) ? py_int_value(result) : -1;
  Py_XDECREF(result);
  return value;
}

TEST(RuntimeRace, CallsRaceCleanupAndStartupAndEveryAcceptedRequestIsAnsweredOnce) {
  python_env_ensure();  // this thread now holds the interpreter lock
  PyObject* callback = PyCFunction_New(&g_counting_def, nullptr);
  PyObject* empty = PyTuple_New(0);
  PyObject* request = Py_BuildValue("(sOO)", "get_system_time_stamp", empty, callback);
  PyObject* unknown = Py_BuildValue("(sOO)", "no_such_operation", empty, callback);
  const Py_ssize_t callback_refs = Py_REFCNT(callback);
  call_method(method_startup, empty);
  PyThreadState* main_state = PyEval_SaveThread();

  std::atomic<bool> stop{false};
  std::atomic<long> accepted{0};
  std::atomic<long> refused{0};
  std::atomic<long> cycles{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 3; ++t) {
    threads.emplace_back([&] {
      while (!stop) {
        PythonLockGuard python;
        for (int k = 0; k < 20; ++k) {
          const long status = call_method(method_call_function, request);
          if (status == 0) accepted++;
          else if (status == 10) refused++;
          else ADD_FAILURE() << "call_function returned " << status;
        }
        EXPECT_EQ(call_method(method_call_function, unknown), 10);
      }
    });
  }
  threads.emplace_back([&] {  // cleanup()/startup() cycles, some back to back
    int i = 0;
    while (!stop) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      if (i % 3 != 0) {
        PythonLockGuard python;
        call_method(method_cleanup, empty);
        if (i % 5 == 0) call_method(method_cleanup, empty);  // twice is harmless
      }
      // Stopped for a moment: call_function refuses meanwhile (every third
      // cycle is a startup() without cleanup(), replacing a running runtime).
      if (i % 2 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      {
        PythonLockGuard python;
        call_method(method_startup, empty);
      }
      ++cycles;
      ++i;
    }
  });

  // Runs for a number of cycles, not a time: the threads share one
  // interpreter lock, and a loaded machine only makes the run longer.
  const auto cap = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((cycles.load() < kCycles || accepted.load() < 2000) &&
         std::chrono::steady_clock::now() < cap) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  stop = true;
  for (auto& t : threads) t.join();

  // A request on a fresh runtime runs only after every earlier worker ended,
  // so once it is answered every earlier request has been answered too.
  {
    PythonLockGuard python;
    call_method(method_cleanup, empty);
    call_method(method_startup, empty);
    ASSERT_EQ(call_method(method_call_function, request), 0);
    accepted++;
  }
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (g_called.load() < accepted.load() && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  {
    PythonLockGuard python;
    call_method(method_cleanup, empty);
  }
  // The last worker releases the callback's reference after calling it; give
  // it a moment to finish and end.
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  PyEval_RestoreThread(main_state);

  EXPECT_EQ(g_called.load(), accepted.load());  // exactly once: none lost, none twice
  EXPECT_EQ(g_bad_results.load(), 0);
  EXPECT_GE(accepted.load(), 2000);
  EXPECT_GT(refused.load(), 0);
  EXPECT_GE(cycles.load(), kCycles);
  EXPECT_EQ(Py_REFCNT(callback), callback_refs);  // every request's reference dropped
  Py_DECREF(unknown);
  Py_DECREF(request);
  Py_DECREF(empty);
  Py_DECREF(callback);
}

}  // namespace
