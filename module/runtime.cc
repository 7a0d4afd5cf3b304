#include "module/runtime.h"

Runtime* runtime_new() {
  Runtime* runtime = new Runtime();
  runtime->work = signal_new();
  runtime->stop = signal_new();
  return runtime;
}

void runtime_retain(Runtime* runtime) {
  if (runtime != nullptr) runtime->references.fetch_add(1);
}

void runtime_release(Runtime* runtime) {
  if (runtime == nullptr) return;
  if (runtime->references.fetch_sub(1) != 1) return;
  signal_free(runtime->work);
  signal_free(runtime->stop);
  delete runtime;
}

void runtime_push(Runtime* runtime, Request* request) {
  request->next = nullptr;
  MutexLock hold(&runtime->queue_lock);
  if (runtime->head == nullptr) runtime->head = request;
  if (runtime->tail != nullptr) runtime->tail->next = request;
  runtime->tail = request;
  signal_set(runtime->work);
}

Request* runtime_pop(Runtime* runtime) {
  MutexLock hold(&runtime->queue_lock);
  Request* request = runtime->head;
  if (request != nullptr) {
    runtime->head = request->next;
    if (runtime->head == nullptr) runtime->tail = nullptr;
    request->next = nullptr;
  }
  return request;
}

void runtime_mark_ended(Runtime* runtime) {
  MutexLock hold(&runtime->ended_mutex);
  runtime->ended = true;
  runtime->ended_changed.SignalAll();
}

void runtime_wait_ended(Runtime* runtime) {
  MutexLock hold(&runtime->ended_mutex);
  while (!runtime->ended) runtime->ended_changed.Wait(&runtime->ended_mutex);
}
