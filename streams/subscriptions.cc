// The subscription registry, the log slot, the operations subscribe_to and
// unsubscribe_from, the delivery of stream dicts to Python callables and the
// registry teardown.
//
// Locking. One registry mutex (private to this file) guards the slot array,
// its capacity and the subscription records in it. Three kinds of thread use
// the registry:
// - the worker thread (subscribe and unsubscribe routines), without the
//   interpreter lock: it holds the registry mutex only for one insert or one
//   removal, never across a device-library call and never while it waits for
//   the interpreter lock;
// - the device library's stream threads (stream_deliver): they take the
//   interpreter lock first, then the registry mutex only for the lookup, in
//   which they take their own reference on the callable; they unlock before
//   converting the dict and calling into Python;
// - the Python thread in cleanup() (registry_teardown), with the interpreter
//   lock held: it moves every callable out of the registry under the mutex,
//   unlocks, and only then drops the references (a __del__ may run Python
//   code, which may even call back into the module).
// The lock order is therefore always interpreter lock -> registry mutex, and
// no thread ever waits for the interpreter lock while it holds the registry
// mutex: there is no cycle. Growth replaces the slot array under the mutex, so
// a delivery never sees an array or record that is being replaced or freed.
//
// The log slot is an atomic word: log_callback reads it without any lock.
// Records carry their stream type and stream_deliver only calls a
// subscription of that same type, so a log message addressed through a log
// slot that outlived cleanup() can never reach the callable of another stream
// that has since taken that slot index.
#include "streams/subscriptions.h"

#include <pthread.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "device/velto.h"
#include "streams/translators.h"
#include "value/python_bridge.h"
#include "value/value.h"

namespace {

// One registry entry. A slot whose callable is null is empty.
struct Subscription {
  int32_t stream_type;
  int64_t device;
  PyObject* callable;  // one reference, owned by the registry
};

constexpr uint64_t kRegistryGrowth = 10;

std::mutex g_registry_mutex;
// Plain heap array (no destructor runs at process exit while a library
// thread might still be looking at it). Guarded by g_registry_mutex.
Subscription* g_slots = nullptr;
uint64_t g_capacity = 0;

std::atomic<int64_t> g_log_slot{-1};

// fork(): the forking thread holds the registry mutex across the fork, so
// the child never inherits it locked by a thread that does not exist there
// (its cleanup() or next subscription would wait forever). The only other
// holder is the worker, for one insert or removal, so the wait is short.
void lock_registry_before_fork() { g_registry_mutex.lock(); }
void unlock_registry_after_fork() { g_registry_mutex.unlock(); }
const int g_fork_handlers = pthread_atfork(lock_registry_before_fork, unlock_registry_after_fork,
                                           unlock_registry_after_fork);

velto_eyetracker* device_handle(int64_t device) {
  return reinterpret_cast<velto_eyetracker*>(static_cast<intptr_t>(device));
}

void* slot_user_data(uint64_t slot) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(slot));
}

// Puts `subscription` into the lowest empty slot, growing the array by 10
// slots (indices of existing subscriptions unchanged) when none is empty.
// Returns the slot index. Caller holds g_registry_mutex.
uint64_t registry_insert_locked(const Subscription& subscription) {
  for (uint64_t i = 0; i < g_capacity; ++i) {
    if (g_slots[i].callable == nullptr) {
      g_slots[i] = subscription;
      return i;
    }
  }
  const uint64_t old_capacity = g_capacity;
  auto* grown =
      static_cast<Subscription*>(std::calloc(old_capacity + kRegistryGrowth, sizeof(Subscription)));
  if (grown == nullptr) std::abort();  // out of memory: nothing sensible left to do
  if (old_capacity != 0) std::memcpy(grown, g_slots, old_capacity * sizeof(Subscription));
  std::free(g_slots);
  g_slots = grown;
  g_capacity = old_capacity + kRegistryGrowth;
  g_slots[old_capacity] = subscription;
  return old_capacity;
}

// Removes every subscription of (stream_type, device), then ends the stream
// at the device library. Every removed callable goes to `out` (the worker
// releases them all under the interpreter lock). Worker thread.
int32_t unsubscribe_routine(int32_t stream_type, int64_t device, OutSlot* out) {
  {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    for (uint64_t i = 0; i < g_capacity; ++i) {
      Subscription& s = g_slots[i];
      if (s.callable != nullptr && s.stream_type == stream_type && s.device == device) {
        out_slot_put(out, s.callable);
        s = Subscription{};
      }
    }
  }
  velto_eyetracker* handle = device_handle(device);
  switch (stream_type) {
    case STREAM_LOG: {
      const int32_t status = velto_logging_unsubscribe();
      g_log_slot.store(-1);
      return status;
    }
    case STREAM_GAZE_DATA:
      return velto_unsubscribe_from_gaze_data(handle, gaze_data_callback);
    case STREAM_EXTERNAL_SIGNAL:
      return velto_unsubscribe_from_external_signal_data(handle, external_signal_callback);
    case STREAM_TIME_SYNCHRONIZATION:
      return velto_unsubscribe_from_time_synchronization_data(handle,
                                                              time_synchronization_callback);
    case STREAM_STREAM_ERRORS:
      return velto_unsubscribe_from_stream_errors(handle, stream_error_callback);
    case STREAM_NOTIFICATIONS:
      return velto_unsubscribe_from_notifications(handle, notification_callback);
    case STREAM_EYE_IMAGES:
      return velto_unsubscribe_from_eye_image_as_gif(handle, eye_image_callback);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

// Registers `callable` (its reference is taken over) for (stream_type,
// device) and subscribes the stream's module callback at the device library.
// The entry is inserted before the library call, so a record arriving during
// that call already finds it. On any failure the unsubscribe routine of the
// pair runs, which removes the new entry again (with every other entry of the
// pair) and hands their callables to `out`. Worker thread.
int32_t subscribe_routine(int32_t stream_type, int64_t device, PyObject* callable,
                          OutSlot* out) {
  uint64_t slot;
  {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    slot = registry_insert_locked(Subscription{stream_type, device, callable});
  }
  velto_eyetracker* handle = device_handle(device);
  void* user_data = slot_user_data(slot);
  int32_t status;
  switch (stream_type) {
    case STREAM_LOG:
      if (g_log_slot.load() != -1) {
        status = STATUS_ALREADY_SUBSCRIBED;
      } else {
        status = velto_logging_subscribe(log_callback);
        if (status == STATUS_OK) g_log_slot.store(static_cast<int64_t>(slot));
      }
      break;
    case STREAM_GAZE_DATA:
      status = velto_subscribe_to_gaze_data(handle, gaze_data_callback, user_data);
      break;
    case STREAM_EXTERNAL_SIGNAL:
      status = velto_subscribe_to_external_signal_data(handle, external_signal_callback,
                                                       user_data);
      break;
    case STREAM_TIME_SYNCHRONIZATION:
      status = velto_subscribe_to_time_synchronization_data(
          handle, time_synchronization_callback, user_data);
      break;
    case STREAM_STREAM_ERRORS:
      status = velto_subscribe_to_stream_errors(handle, stream_error_callback, user_data);
      break;
    case STREAM_NOTIFICATIONS:
      status = velto_subscribe_to_notifications(handle, notification_callback, user_data);
      break;
    case STREAM_EYE_IMAGES:
      status = velto_subscribe_to_eye_image_as_gif(handle, eye_image_callback, user_data);
      break;
    default:
      status = STATUS_INVALID_PARAMETER;
      break;
  }
  if (status != STATUS_OK) unsubscribe_routine(stream_type, device, out);
  return status;
}

}  // namespace

Value* op_subscribe_to(Value* args, OutSlot* out) {
  int32_t stream_type = 0;
  int64_t device = 0;
  Value* item = nullptr;
  // A refusal here leaves the callable in the argument tree; the worker
  // releases it with the tree, so nothing leaks.
  if (!value_parse(args, "iLO", &stream_type, &device, &item) || item == nullptr ||
      item->kind != VALUE_PYOBJECT) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  auto* callable = static_cast<PyObject*>(value_take_pyobject(item));
  if (callable == nullptr) return status_result(STATUS_INVALID_PARAMETER);
  return status_result(subscribe_routine(stream_type, device, callable, out));
}

Value* op_unsubscribe_from(Value* args, OutSlot* out) {
  int32_t stream_type = 0;
  int64_t device = 0;
  if (!value_parse(args, "iL", &stream_type, &device)) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  return status_result(unsubscribe_routine(stream_type, device, out));
}

void stream_deliver(uint64_t slot, int32_t stream_type, const Value* dict) {
  // Device-library threads deliver thousands of records a second: each keeps
  // a Python thread state for its life, so a record costs a switch of the
  // interpreter lock rather than the creation of a thread state.
  python_keep_thread_state();
  PythonLockGuard python;
  if (!python.held()) return;  // interpreter exiting: drop the record
  PyObject* callable = nullptr;
  {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    if (slot < g_capacity) {
      const Subscription& s = g_slots[slot];
      if (s.callable != nullptr && s.stream_type == stream_type) {
        callable = s.callable;
        pyobject_retain(callable);  // keeps it alive if the slot is emptied during the call
      }
    }
  }
  if (callable == nullptr) return;
  python_call_with_value(callable, dict);
  pyobject_release(callable);
}

int64_t log_slot_current() { return g_log_slot.load(); }

void registry_teardown() {
  Subscription* slots;
  uint64_t capacity;
  {
    std::lock_guard<std::mutex> lock(g_registry_mutex);
    slots = g_slots;
    capacity = g_capacity;
    g_slots = nullptr;
    g_capacity = 0;
  }
  // The registry is already empty: a __del__ run by a release below sees
  // (and may change) only the new registry.
  for (uint64_t i = 0; i < capacity; ++i) pyobject_release(slots[i].callable);
  std::free(slots);
}
