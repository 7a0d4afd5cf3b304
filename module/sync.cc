#include "module/sync.h"

#include <condition_variable>
#include <mutex>
#include <thread>

struct Lock {
  std::mutex mutex;
};

struct Signal {
  std::mutex mutex;
  std::condition_variable event;
  int flag = 0;  // 1 exactly when set and not yet consumed
};

struct ThreadHandle {
  std::thread thread;
};

Lock* lock_new() { return new Lock(); }

void lock_free(Lock* lock) { delete lock; }

void lock_enter(Lock* lock) {
  if (lock != nullptr) lock->mutex.lock();
}

void lock_leave(Lock* lock) {
  if (lock != nullptr) lock->mutex.unlock();
}

Signal* signal_new() { return new Signal(); }

void signal_free(Signal* signal) { delete signal; }

void signal_set(Signal* signal) {
  if (signal == nullptr) return;
  std::lock_guard<std::mutex> guard(signal->mutex);
  signal->flag = 1;
  signal->event.notify_all();
}

bool signal_test_and_clear(Signal* signal) {
  if (signal == nullptr) return false;
  std::lock_guard<std::mutex> guard(signal->mutex);
  const bool was_set = signal->flag == 1;
  signal->flag = 0;
  return was_set;
}

void signal_wait(Signal* signal) {
  if (signal == nullptr) return;
  std::unique_lock<std::mutex> guard(signal->mutex);
  signal->event.wait(guard, [signal] { return signal->flag == 1; });
  signal->flag = 0;
}

ThreadHandle* thread_start(ThreadEntry entry, void* argument) {
  ThreadHandle* handle = new ThreadHandle();
  handle->thread = std::thread(entry, argument);
  return handle;
}

void thread_close(ThreadHandle* handle) {
  if (handle == nullptr) return;
  if (handle->thread.joinable()) handle->thread.detach();
  delete handle;
}
