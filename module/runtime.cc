#include "module/runtime.h"

Runtime* runtime_new() {
  Runtime* runtime = new Runtime();
  runtime->queue_lock = lock_new();
  runtime->work = signal_new();
  runtime->stop = signal_new();
  runtime->head = nullptr;
  runtime->tail = nullptr;
  runtime->references.store(1);
  runtime->previous = nullptr;
  runtime->ended = false;
  return runtime;
}

void runtime_retain(Runtime* runtime) {
  if (runtime != nullptr) runtime->references.fetch_add(1);
}

void runtime_release(Runtime* runtime) {
  if (runtime == nullptr) return;
  if (runtime->references.fetch_sub(1) != 1) return;
  lock_free(runtime->queue_lock);
  signal_free(runtime->work);
  signal_free(runtime->stop);
  delete runtime;
}

void runtime_push(Runtime* runtime, Request* request) {
  request->next = nullptr;
  lock_enter(runtime->queue_lock);
  if (runtime->head == nullptr) runtime->head = request;
  if (runtime->tail != nullptr) runtime->tail->next = request;
  runtime->tail = request;
  signal_set(runtime->work);
  lock_leave(runtime->queue_lock);
}

Request* runtime_pop(Runtime* runtime) {
  lock_enter(runtime->queue_lock);
  Request* request = runtime->head;
  if (request != nullptr) {
    runtime->head = request->next;
    if (runtime->head == nullptr) runtime->tail = nullptr;
    request->next = nullptr;
  }
  lock_leave(runtime->queue_lock);
  return request;
}

void runtime_mark_ended(Runtime* runtime) {
  std::lock_guard<std::mutex> guard(runtime->ended_mutex);
  runtime->ended = true;
  runtime->ended_changed.notify_all();
}

void runtime_wait_ended(Runtime* runtime) {
  std::unique_lock<std::mutex> guard(runtime->ended_mutex);
  runtime->ended_changed.wait(guard, [runtime] { return runtime->ended; });
}
