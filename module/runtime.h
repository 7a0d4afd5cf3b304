// One worker generation's request queue and the objects its worker shares
// with the Python threads; reference counted, freed with the last reference
// (lifetime and lock rules: docs/design-locking.md).
#ifndef VELTO_MODULE_RUNTIME_H_
#define VELTO_MODULE_RUNTIME_H_

#include <atomic>

#include "module/sync.h"
#include "operations/operation.h"
#include "value/mutex.h"

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
  Mutex queue_lock;
  Request* head GUARDED_BY(queue_lock) = nullptr;
  Request* tail GUARDED_BY(queue_lock) = nullptr;
  Signal* work = nullptr;  // set after each append and by cleanup()
  Signal* stop = nullptr;  // set by cleanup(); tested when the queue is found empty
  std::atomic<int> references{1};
  // The generation this one replaced (null for the first), whose worker must
  // end before this one runs a request. Read only by this runtime's worker.
  Runtime* previous = nullptr;
  Mutex ended_mutex;
  CondVar ended_changed;
  bool ended GUARDED_BY(ended_mutex) = false;  // this runtime's worker has ended
};

// A new runtime with one reference, fresh signals and an empty queue.
Runtime* runtime_new();
void runtime_retain(Runtime* runtime);
// Drops one reference; the last one frees the signals and the record.
void runtime_release(Runtime* runtime);

// Appends under the queue lock and sets the work signal while still holding it.
void runtime_push(Runtime* runtime, Request* request) EXCLUDES(runtime->queue_lock);
// Takes the oldest request, or null when the queue is empty.
Request* runtime_pop(Runtime* runtime) EXCLUDES(runtime->queue_lock);

// Marks the worker of `runtime` as ended / waits until it has.
void runtime_mark_ended(Runtime* runtime) EXCLUDES(runtime->ended_mutex);
void runtime_wait_ended(Runtime* runtime) EXCLUDES(runtime->ended_mutex);

#endif  // VELTO_MODULE_RUNTIME_H_
