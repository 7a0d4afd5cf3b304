#include "module/sync.h"

#include <stdio.h>
#include <stdlib.h>

#include <thread>

struct Signal {
  Mutex mutex;
  CondVar event;
  bool flag GUARDED_BY(mutex) = false;  // set and not yet consumed
};

struct ThreadHandle {
  std::thread thread;
};

namespace {

// A null object is a caller's bug: stop where it is made, not at a later crash.
void require(const void* object, const char* function) {
  if (object != nullptr) return;
  fprintf(stderr, "velto_internal: %s() given a null object\n", function);
  abort();
}

}  // namespace

Lock* lock_new() { return new Lock(); }

void lock_free(Lock* lock) { delete lock; }

void lock_enter(Lock* lock) {
  require(lock, "lock_enter");
  lock->Lock();
}

void lock_leave(Lock* lock) {
  require(lock, "lock_leave");
  lock->Unlock();
}

Signal* signal_new() { return new Signal(); }

void signal_free(Signal* signal) { delete signal; }

void signal_set(Signal* signal) {
  require(signal, "signal_set");
  MutexLock hold(&signal->mutex);
  signal->flag = true;
  signal->event.SignalAll();
}

bool signal_test_and_clear(Signal* signal) {
  require(signal, "signal_test_and_clear");
  MutexLock hold(&signal->mutex);
  const bool was_set = signal->flag;
  signal->flag = false;
  return was_set;
}

void signal_wait(Signal* signal) {
  require(signal, "signal_wait");
  MutexLock hold(&signal->mutex);
  while (!signal->flag) signal->event.Wait(&signal->mutex);
  signal->flag = false;
}

ThreadHandle* thread_start(ThreadEntry entry, void* argument) {
  ThreadHandle* handle = new ThreadHandle();
  handle->thread = std::thread(entry, argument);
  return handle;
}

void thread_close(ThreadHandle* handle) {
  require(handle, "thread_close");
  if (handle->thread.joinable()) handle->thread.detach();
  delete handle;
}
