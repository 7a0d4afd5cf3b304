// bench_limit.so: the reference implementations the module is measured
// against, and the native drivers the benchmark calls through ctypes.
//
// - bench_limit_run: the gaze "limit". A native thread it creates keeps one
//   Python thread state for its whole life and, per sample, takes the
//   interpreter lock with that state, builds the 18-entry gaze dict straight
//   from the record (interned keys made once, presized dict), calls the
//   callable with it and gives the lock back. No Value tree, no registry, no
//   gate: the least any module must do per sample.
// - bench_burst_native / bench_burst_here: velto_sim_emit_burst on a fresh
//   native thread (a device-library thread: no Python thread state) or on the
//   calling thread, timed around the burst.
// - bench_callback_native: a fresh native thread calls a function pointer
//   (a ctypes CFUNCTYPE callback) with the record `count` times.
// - bench_floor_subscribe / bench_floor_unsubscribe: a C subscriber to a
//   tracker's gaze data that keeps each sample's arrival time and system time
//   stamp: the gaze latency's floor, on the device library's own thread with
//   no Python involved.
// - The Python module bench_limit: the bare request queue (queue_start,
//   queue_call, queue_stop): one C++ queue and one worker thread that keeps
//   its thread state, takes the interpreter lock once per request and calls
//   the callback with (0,); and now_ns(), the clock the gaze latency reads.
//
// Threads: the C entry points are called through ctypes, which releases the
// interpreter lock around them; each one that starts a thread joins it before
// returning. Every time is measured on the thread doing the work, from just
// before its loop to just after it, in nanoseconds of CLOCK_MONOTONIC.
#define PY_SSIZE_T_CLEAN
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wregister"
#include <Python.h>
#pragma GCC diagnostic pop

#include <stdint.h>
#include <string.h>
#include <time.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "bench/gaze_direct.h"
#include "device/device_values.h"
#include "device/velto.h"
#include "velto_sim.h"

#define BENCH_API extern "C" __attribute__((visibility("default")))

namespace {

int64_t now_ns() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---- The gaze limit ----------------------------------------------------------

using gaze_direct::gaze_dict;
using gaze_direct::make_keys;

// Calls fn(dict) once; the result and any exception are dropped.
void deliver(PyObject* fn, const velto_gaze_data* record) {
  PyObject* args = PyTuple_New(1);
  PyTuple_SET_ITEM(args, 0, gaze_dict(record));
  PyObject* result = PyObject_Call(fn, args, nullptr);
  Py_XDECREF(result);
  Py_DECREF(args);
  if (PyErr_Occurred()) PyErr_Clear();
}

// ---- The bare request queue --------------------------------------------------

struct RefRequest {
  PyObject* callback;  // one reference
  RefRequest* next;
};

struct RefQueue {
  std::mutex mutex;
  std::condition_variable wake;
  RefRequest* head = nullptr;
  RefRequest* tail = nullptr;
  bool stop = false;
  std::thread worker;
  bool running = false;
};
RefQueue g_queue;

void ref_worker() {
  PyGILState_STATE state = PyGILState_Ensure();
  PyThreadState* thread_state = PyEval_SaveThread();
  for (;;) {
    RefRequest* request;
    {
      std::unique_lock<std::mutex> lock(g_queue.mutex);
      g_queue.wake.wait(lock, [] { return g_queue.head != nullptr || g_queue.stop; });
      request = g_queue.head;
      if (request == nullptr) break;  // stopped and drained
      g_queue.head = request->next;
      if (g_queue.head == nullptr) g_queue.tail = nullptr;
    }
    PyEval_RestoreThread(thread_state);
    PyObject* args = Py_BuildValue("((i))", 0);
    PyObject* result = PyObject_Call(request->callback, args, nullptr);
    Py_XDECREF(result);
    Py_DECREF(args);
    if (PyErr_Occurred()) PyErr_Clear();
    Py_DECREF(request->callback);
    PyEval_SaveThread();
    delete request;
  }
  PyEval_RestoreThread(thread_state);
  PyGILState_Release(state);
}

PyObject* queue_start(PyObject*, PyObject*) {
  if (!g_queue.running) {
    g_queue.stop = false;
    g_queue.worker = std::thread(ref_worker);
    g_queue.running = true;
  }
  Py_RETURN_NONE;
}

PyObject* queue_stop(PyObject*, PyObject*) {
  if (g_queue.running) {
    {
      std::lock_guard<std::mutex> lock(g_queue.mutex);
      g_queue.stop = true;
    }
    g_queue.wake.notify_one();
    Py_BEGIN_ALLOW_THREADS
    g_queue.worker.join();
    Py_END_ALLOW_THREADS
    g_queue.running = false;
  }
  Py_RETURN_NONE;
}

// queue_call(name, args, callback): the same arguments as call_function, so
// Python pays the same call cost; name and args are only type-checked.
PyObject* queue_call(PyObject*, PyObject* args) {
  const char* name;
  PyObject* arguments;
  PyObject* callback;
  if (!PyArg_ParseTuple(args, "sOO", &name, &arguments, &callback)) {
    PyErr_Clear();
    return bench_int(10);
  }
  if (!PyTuple_Check(arguments) || !PyCallable_Check(callback) || !g_queue.running)
    return bench_int(10);
  Py_INCREF(callback);
  RefRequest* request = new RefRequest{callback, nullptr};
  {
    std::lock_guard<std::mutex> lock(g_queue.mutex);
    if (g_queue.tail) g_queue.tail->next = request;
    else g_queue.head = request;
    g_queue.tail = request;
  }
  g_queue.wake.notify_one();
  return bench_int(0);
}

// ---- The latency floor ------------------------------------------------------

struct Floor {
  int64_t* stamps = nullptr;    // system time stamps, us
  int64_t* arrivals = nullptr;  // CLOCK_MONOTONIC at the callback, ns
  int64_t capacity = 0;
  std::atomic<int64_t> count{0};
};
Floor g_floor;

void floor_on_gaze(const velto_gaze_data* data, void*) {
  const int64_t t = now_ns();
  const int64_t i = g_floor.count.fetch_add(1, std::memory_order_relaxed);
  if (i < g_floor.capacity) {
    g_floor.arrivals[i] = t;
    g_floor.stamps[i] = data->system_time_stamp;
  }
}

// now_ns(): CLOCK_MONOTONIC in ns as a Python int, the clock of the device
// library's system time stamps (microseconds of the same clock). One C call
// with no arguments and the interpreter lock kept: the cheapest "now" a
// Python callable can read, for the gaze latency.
PyObject* py_now_ns(PyObject*, PyObject*) { return bench_int(static_cast<long>(now_ns())); }

PyMethodDef kMethods[] = {
    {"now_ns", py_now_ns, METH_NOARGS, ""},
    {"queue_start", queue_start, METH_NOARGS, ""},
    {"queue_stop", queue_stop, METH_NOARGS, ""},
    {"queue_call", queue_call, METH_VARARGS, ""},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

// The gaze limit: `count` samples delivered to `fn` from a new native thread
// that keeps its thread state. Returns the time of the loop in ns.
BENCH_API int64_t bench_limit_run(PyObject* fn, const velto_gaze_data* record, int64_t count) {
  int64_t elapsed = 0;
  std::thread thread([&] {
    PyGILState_STATE state = PyGILState_Ensure();
    make_keys();
    PyThreadState* thread_state = PyEval_SaveThread();
    const int64_t start = now_ns();
    for (int64_t i = 0; i < count; ++i) {
      PyEval_RestoreThread(thread_state);
      deliver(fn, record);
      PyEval_SaveThread();
    }
    elapsed = now_ns() - start;
    PyEval_RestoreThread(thread_state);
    PyGILState_Release(state);
  });
  thread.join();
  return elapsed;
}

// velto_sim_emit_burst on a new native thread. *callbacks gets its result.
BENCH_API int64_t bench_burst_native(int stream_type, int64_t device, const void* record,
                                     int64_t count, int64_t* callbacks) {
  int64_t elapsed = 0;
  std::thread thread([&] {
    const int64_t start = now_ns();
    const int64_t made = velto_sim_emit_burst(stream_type, device, record, count);
    elapsed = now_ns() - start;
    if (callbacks) *callbacks = made;
  });
  thread.join();
  return elapsed;
}

// velto_sim_emit_burst on the calling thread (a Python thread, its state kept
// by the interpreter).
BENCH_API int64_t bench_burst_here(int stream_type, int64_t device, const void* record,
                                   int64_t count, int64_t* callbacks) {
  const int64_t start = now_ns();
  const int64_t made = velto_sim_emit_burst(stream_type, device, record, count);
  const int64_t elapsed = now_ns() - start;
  if (callbacks) *callbacks = made;
  return elapsed;
}

typedef void (*GazeCallback)(const velto_gaze_data* data, void* user_data);

// `callback` (e.g. a ctypes CFUNCTYPE) called `count` times with the record
// from a new native thread, as a device library would.
BENCH_API int64_t bench_callback_native(GazeCallback callback, const velto_gaze_data* record,
                                        int64_t count) {
  int64_t elapsed = 0;
  std::thread thread([&] {
    const int64_t start = now_ns();
    for (int64_t i = 0; i < count; ++i) callback(record, nullptr);
    elapsed = now_ns() - start;
  });
  thread.join();
  return elapsed;
}

// Subscribes the floor's C callback to the gaze data of `device` (subscribed
// before the module's, the library calls it first for each sample); it fills
// stamps[i] and arrivals[i] of the first `capacity` samples. The arrays must
// outlive bench_floor_unsubscribe. Returns the library's status.
BENCH_API int32_t bench_floor_subscribe(int64_t device, int64_t* stamps, int64_t* arrivals,
                                        int64_t capacity) {
  g_floor.stamps = stamps;
  g_floor.arrivals = arrivals;
  g_floor.capacity = capacity;
  g_floor.count.store(0);
  return velto_subscribe_to_gaze_data(handle_from_int(device),
                                      floor_on_gaze, nullptr);
}

// Ends the floor's subscription (no callback runs after this returns) and
// returns the number of samples it received.
BENCH_API int64_t bench_floor_unsubscribe(int64_t device) {
  velto_unsubscribe_from_gaze_data(handle_from_int(device), floor_on_gaze);
  return g_floor.count.load();
}

#if PY_MAJOR_VERSION >= 3
BENCH_API PyObject* PyInit_bench_limit(void) {
  static PyModuleDef module = {PyModuleDef_HEAD_INIT, "bench_limit", nullptr, -1, kMethods,
                               nullptr, nullptr, nullptr, nullptr};
  return PyModule_Create(&module);
}
#else
BENCH_API void initbench_limit(void) {
  Py_InitModule4("bench_limit", kMethods, nullptr, nullptr, PYTHON_API_VERSION);
  if (!PyEval_ThreadsInitialized()) PyEval_InitThreads();
}
#endif
