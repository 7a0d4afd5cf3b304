// The request queue and the objects one worker generation shares with the
// Python threads: the queue lock, the work and stop signals, and the queue.
//
// Lifetime: every startup() creates a fresh Runtime. It is reference counted:
// the module holds one reference while it is the latest runtime (handed to
// the next startup()'s runtime as its predecessor), its worker holds one until
// it ends, and the next generation's worker holds that predecessor reference
// until this worker has ended. The lock
// and signals are freed with the last reference, so no thread can ever use
// them after they are freed, however cleanup(), startup() and the worker's
// shutdown interleave.
//
// Thread safety: runtime_push and runtime_pop may be called from any thread
// (they take the queue lock). The reference count is atomic. `previous` and
// `ended` are described at their fields.
#ifndef VELTO_MODULE_RUNTIME_H_
#define VELTO_MODULE_RUNTIME_H_

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "operations/operation.h"
#include "module/sync.h"

typedef struct _object PyObject;

// One accepted call_function request. Owned by the queue while queued, then by
// the worker, which frees it after the callback has run.
struct Request {
  OperationHandler handler;
  Value* arguments;    // owned
  PyObject* callback;  // one reference held
  uint64_t registry_epoch;  // registry_epoch() when call_function accepted it
  Request* next;
};

struct Runtime {
  Lock* queue_lock;
  Signal* work;  // set after each append and by cleanup()
  Signal* stop;  // set by cleanup(); tested when the queue is found empty
  Request* head;
  Request* tail;
  std::atomic<int> references;
  // The generation this one replaced (null for the first): its worker must end
  // before this one runs a request, so requests keep their acceptance order
  // and no two handlers ever run at once. Read only by this runtime's worker.
  Runtime* previous;
  // Set when this runtime's worker has ended; guarded by ended_mutex.
  std::mutex ended_mutex;
  std::condition_variable ended_changed;
  bool ended;
};

// A new runtime with one reference, fresh lock and signals, an empty queue.
Runtime* runtime_new();
void runtime_retain(Runtime* runtime);
// Drops one reference; the last one frees the lock, the signals and the record.
void runtime_release(Runtime* runtime);

// Appends under the queue lock and sets the work signal while still holding it.
void runtime_push(Runtime* runtime, Request* request);
// Takes the oldest request, or null when the queue is empty.
Request* runtime_pop(Runtime* runtime);

// Marks the worker of `runtime` as ended / waits until it has.
void runtime_mark_ended(Runtime* runtime);
void runtime_wait_ended(Runtime* runtime);

#endif  // VELTO_MODULE_RUNTIME_H_
