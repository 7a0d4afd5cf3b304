// Stream subscriptions, delivery, the event thread and shutdown.
//
// Delivery protocol: a deliverer copies the matching subscriptions (shared
// pointers) under mu, then for each one re-checks under mu that it is still
// active and records its own thread id in Subscription::running, drops mu,
// calls the callback, and takes mu again to remove its id. Unsubscribe marks
// the subscriptions inactive and removes them under mu, then waits until no
// thread other than itself is listed in their `running`. So after an
// unsubscribe function returns no callback of the removed subscriptions runs
// or will start, except one that is running on the unsubscribing thread
// itself (an unsubscribe called from inside that very callback).
#include <chrono>

#include "sim_internal.h"

namespace velto_sim {
namespace {

using Clock = std::chrono::steady_clock;

void call_callback(const Subscription& sub, const void* record) {
  switch (sub.kind) {
    case kStreamLog: {
      const LogRecord* r = static_cast<const LogRecord*>(record);
      reinterpret_cast<velto_log_callback>(sub.callback)(r->system_time_stamp, r->source, r->level,
                                                         r->message);
      break;
    }
    case kStreamGaze:
      reinterpret_cast<velto_gaze_data_callback>(sub.callback)(
          static_cast<const velto_gaze_data*>(record), sub.user_data);
      break;
    case kStreamExternalSignal:
      reinterpret_cast<velto_external_signal_callback>(sub.callback)(
          static_cast<const velto_external_signal_data*>(record), sub.user_data);
      break;
    case kStreamTimeSync:
      reinterpret_cast<velto_time_synchronization_callback>(sub.callback)(
          static_cast<const velto_time_synchronization_data*>(record), sub.user_data);
      break;
    case kStreamStreamErrors:
      reinterpret_cast<velto_stream_error_callback>(sub.callback)(
          static_cast<const velto_stream_error_data*>(record), sub.user_data);
      break;
    case kStreamNotifications:
      reinterpret_cast<velto_notification_callback>(sub.callback)(
          static_cast<const velto_notification*>(record), sub.user_data);
      break;
    case kStreamEyeImages:
      reinterpret_cast<velto_eye_image_callback>(sub.callback)(
          static_cast<const velto_eye_image*>(record), sub.user_data);
      break;
    default:
      break;
  }
}

// Whether a thread other than the caller runs a callback of one of `subs`.
bool others_running(const std::vector<std::shared_ptr<Subscription>>& subs) {
  const std::thread::id self = std::this_thread::get_id();
  for (const auto& sub : subs) {
    for (const std::thread::id& id : sub->running) {
      if (id != self) return true;
    }
  }
  return false;
}

// Waits (mu held through `lock`) until no other thread runs a callback of
// `subs`; with `deadline` set, gives up at that time.
void wait_for_callbacks(SimState& s, std::unique_lock<std::mutex>& lock,
                        const std::vector<std::shared_ptr<Subscription>>& subs,
                        const Clock::time_point* deadline) {
  ++s.callback_waiters;
  while (others_running(subs)) {
    if (deadline == nullptr) {
      s.callbacks_cv.wait(lock);
    } else if (s.callbacks_cv.wait_until(lock, *deadline) == std::cv_status::timeout) {
      break;
    }
  }
  --s.callback_waiters;
}

// Removes every subscription matching `pred` (mu held), returning them.
template <typename Pred>
std::vector<std::shared_ptr<Subscription>> remove_locked(SimState& s, Pred pred) {
  std::vector<std::shared_ptr<Subscription>> removed;
  auto& subs = s.subscriptions;
  for (size_t i = 0; i < subs.size();) {
    if (pred(*subs[i])) {
      subs[i]->active = false;
      removed.push_back(subs[i]);
      subs.erase(subs.begin() + i);
    } else {
      ++i;
    }
  }
  return removed;
}

void event_loop(std::shared_ptr<EventWorker> worker) {
  SimState& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  for (;;) {
    // Besides its queue, the thread keeps the connection schedule's deadlines.
    while (!worker->stop) {
      connection_tick_locked(s);
      if (!worker->queue.empty()) break;
      const int64_t next = next_connection_change_locked(s);
      if (next == INT64_MAX) {
        s.work_cv.wait(lock);
      } else {
        s.work_cv.wait_until(lock, Clock::time_point(std::chrono::microseconds(next)));
      }
    }
    if (worker->stop) break;
    QueuedEvent e = std::move(worker->queue.front());
    worker->queue.pop_front();
    lock.unlock();
    deliver_event(e);
    lock.lock();
  }
  worker->exited = true;
  if (s.callback_waiters > 0) s.callbacks_cv.notify_all();
}

// Joins a library thread unless it is the calling thread (a shutdown from
// inside one of its callbacks) or, in a bounded shutdown, it has not ended
// in time: those are detached and end on their own.
void join_or_detach(std::thread& thread, bool exited) {
  if (!thread.joinable()) return;
  if (thread.get_id() == std::this_thread::get_id() || !exited) {
    thread.detach();
  } else {
    thread.join();
  }
}

// A subscribe needs a connected tracker; an unsubscribe also works on a
// tracker whose connection is cut, so that its subscriber can clean up.
int32_t lookup_for_stream(SimState& s, velto_eyetracker* handle, const void* callback, int kind,
                          bool need_connected, Tracker** out) {
  if (!s.initialized) return VELTO_SIM_STATUS_NOT_INITIALIZED;
  if (callback == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  Tracker* t = need_connected ? find_connected_locked(s, handle_value(handle))
                              : find_tracker(s, handle_value(handle));
  if (t == nullptr) return VELTO_SIM_STATUS_INVALID_HANDLE;
  if (kind == kStreamExternalSignal && !(t->capabilities & VELTO_CAPABILITY_HAS_EXTERNAL_SIGNAL)) {
    return VELTO_SIM_STATUS_NOT_SUPPORTED;
  }
  if (kind == kStreamEyeImages && !(t->capabilities & VELTO_CAPABILITY_HAS_EYE_IMAGES)) {
    return VELTO_SIM_STATUS_NOT_SUPPORTED;
  }
  *out = t;
  return VELTO_STATUS_OK;
}

const char* const kStreamNames[kStreamKindCount] = {
    "log", "gaze data", "external signal", "time synchronization", "stream errors",
    "notifications", "eye images"};

int32_t subscribe(int kind, velto_eyetracker* handle, void* callback, void* user_data) {
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  Tracker* t = nullptr;
  int32_t status = lookup_for_stream(s, handle, callback, kind, true, &t);
  if (status != VELTO_STATUS_OK) return status;
  // The same callback with the same user data twice is one subscription;
  // with other user data it is another one.
  for (const auto& sub : s.subscriptions) {
    if (sub->kind == kind && sub->handle == t->handle && sub->callback == callback &&
        sub->user_data == user_data) {
      return VELTO_STATUS_OK;
    }
  }
  auto sub = std::make_shared<Subscription>();
  sub->kind = kind;
  sub->handle = t->handle;
  sub->callback = callback;
  sub->user_data = user_data;
  s.subscriptions.push_back(sub);
  log_locked(s, 3, std::string("subscribed to ") + kStreamNames[kind] + " of " + t->address);
  if (kind == kStreamGaze || kind == kStreamExternalSignal || kind == kStreamTimeSync ||
      kind == kStreamEyeImages) {
    ensure_generator_locked(s, t->handle);
  }
  return VELTO_STATUS_OK;
}

int32_t unsubscribe(int kind, velto_eyetracker* handle, void* callback) {
  SimState& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  Tracker* t = nullptr;
  int32_t status = lookup_for_stream(s, handle, callback, kind, false, &t);
  // A tracker without the capability has no subscription to remove; that is
  // not an error of the unsubscribe.
  if (status == VELTO_SIM_STATUS_NOT_SUPPORTED) return VELTO_STATUS_OK;
  if (status != VELTO_STATUS_OK) return status;
  const int64_t h = t->handle;
  auto removed = remove_locked(s, [&](const Subscription& sub) {
    return sub.kind == kind && sub.handle == h && sub.callback == callback;
  });
  if (!removed.empty()) {
    log_locked(s, 3, std::string("unsubscribed from ") + kStreamNames[kind] + " of " + t->address);
  }
  wait_for_callbacks(s, lock, removed, nullptr);
  return VELTO_STATUS_OK;
}

}  // namespace

void deliver_event(const QueuedEvent& e) {
  switch (e.kind) {
    case kStreamLog:
      dispatch_log(e.time_stamp, e.source, e.level, e.message.c_str());
      break;
    case kStreamStreamErrors: {
      velto_stream_error_data record{e.time_stamp, e.error, e.source, e.message.c_str()};
      dispatch(kStreamStreamErrors, e.handle, &record);
      break;
    }
    case kStreamNotifications:
      dispatch(kStreamNotifications, e.handle, &e.notification);
      break;
    case kStreamExternalSignal:
      dispatch(kStreamExternalSignal, e.handle, &e.signal);
      break;
    default:
      break;
  }
}

bool invoke(const std::shared_ptr<Subscription>& sub, const void* record) {
  SimState& s = state();
  const std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    if (!sub->active) return false;
    sub->running.push_back(self);
  }
  call_callback(*sub, record);
  std::lock_guard<std::mutex> lock(s.mu);
  for (size_t i = 0; i < sub->running.size(); ++i) {
    if (sub->running[i] == self) {
      sub->running.erase(sub->running.begin() + i);
      break;
    }
  }
  if (s.callback_waiters > 0) s.callbacks_cv.notify_all();
  return true;
}

std::vector<std::shared_ptr<Subscription>> matching_locked(SimState& s, int kind, int64_t handle) {
  std::vector<std::shared_ptr<Subscription>> out;
  for (const auto& sub : s.subscriptions) {
    if (sub->kind == kind && sub->handle == handle && sub->active) out.push_back(sub);
  }
  return out;
}

bool has_subscription_locked(SimState& s, int kind, int64_t handle) {
  for (const auto& sub : s.subscriptions) {
    if (sub->kind == kind && sub->handle == handle) return true;
  }
  return false;
}

int dispatch(int kind, int64_t handle, const void* record) {
  SimState& s = state();
  std::vector<std::shared_ptr<Subscription>> subs;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    subs = matching_locked(s, kind, handle);
  }
  int calls = 0;
  for (const auto& sub : subs) {
    if (invoke(sub, record)) ++calls;
  }
  return calls;
}

int dispatch_log(int64_t time_stamp, int source, int level, const char* message) {
  SimState& s = state();
  std::shared_ptr<Subscription> sub;
  {
    std::lock_guard<std::mutex> lock(s.mu);
    sub = s.log_subscription;
  }
  if (!sub) return 0;
  LogRecord record{time_stamp, source, level, message ? message : ""};
  return invoke(sub, &record) ? 1 : 0;
}

void queue_event_locked(SimState& s, QueuedEvent event) {
  // Nobody to tell: drop it rather than start a thread or grow a queue.
  if (event.kind == kStreamLog) {
    if (!s.log_subscription) return;
  } else if (!has_subscription_locked(s, event.kind, event.handle)) {
    return;
  }
  if (s.exiting) return;
  ensure_event_worker_locked(s);
  s.events->queue.push_back(std::move(event));
  s.work_cv.notify_all();
}

void ensure_event_worker_locked(SimState& s) {
  if (s.events || s.exiting) return;
  auto worker = std::make_shared<EventWorker>();
  worker->thread = std::thread(event_loop, worker);
  s.events = worker;
}

void log_locked(SimState& s, int level, const std::string& message) {
  // A world that does not generate stays silent: only emitted log messages
  // reach the log subscription, which keeps tests deterministic.
  if (!s.world.generate || !s.log_subscription) return;
  QueuedEvent e;
  e.kind = kStreamLog;
  e.time_stamp = system_now_us();
  e.source = 1;  // "SDK"
  e.level = level;
  e.message = message;
  queue_event_locked(s, std::move(e));
}

void shut_down_locked(SimState& s, std::unique_lock<std::mutex>& lock, bool bounded) {
  std::vector<std::shared_ptr<Subscription>> removed = std::move(s.subscriptions);
  s.subscriptions.clear();
  for (const auto& sub : removed) sub->active = false;
  if (s.log_subscription) {
    s.log_subscription->active = false;
    removed.push_back(s.log_subscription);
    s.log_subscription.reset();
  }
  std::vector<std::shared_ptr<Generator>> generators = std::move(s.generators);
  s.generators.clear();
  for (const auto& g : generators) g->stop = true;
  std::shared_ptr<EventWorker> events = std::move(s.events);
  s.events.reset();
  if (events) {
    events->stop = true;
    events->queue.clear();
  }
  s.work_cv.notify_all();

  // Let the threads see their stop flags and end.
  const Clock::time_point deadline = Clock::now() + std::chrono::seconds(2);
  const std::thread::id self = std::this_thread::get_id();
  auto all_exited = [&] {
    for (const auto& g : generators) {
      if (!g->exited && g->thread.get_id() != self) return false;
    }
    return !events || events->exited || events->thread.get_id() == self;
  };
  ++s.callback_waiters;
  while (!all_exited()) {
    if (!bounded) {
      s.callbacks_cv.wait(lock);
    } else if (s.callbacks_cv.wait_until(lock, deadline) == std::cv_status::timeout) {
      break;
    }
  }
  --s.callback_waiters;
  std::vector<std::pair<std::thread, bool>> to_join;
  for (const auto& g : generators) to_join.emplace_back(std::move(g->thread), g->exited);
  if (events) to_join.emplace_back(std::move(events->thread), events->exited);
  lock.unlock();
  for (auto& entry : to_join) join_or_detach(entry.first, entry.second);
  lock.lock();
  // Callbacks of the removed subscriptions still running on other threads
  // (velto_sim_emit callers) finish before shutdown returns.
  wait_for_callbacks(s, lock, removed, bounded ? &deadline : nullptr);
}

}  // namespace velto_sim

using namespace velto_sim;

#define SIM_STREAM(name, kind, cbtype)                                                        \
  int32_t velto_subscribe_to_##name(velto_eyetracker* handle, cbtype callback,                \
                                    void* user_data) {                                        \
    SIM_CALL("velto_subscribe_to_" #name,                                                     \
             arg_handle(handle) +                                                             \
                 arg_int("user_data", static_cast<int64_t>(reinterpret_cast<intptr_t>(user_data)))); \
    return subscribe(kind, handle, reinterpret_cast<void*>(callback), user_data);            \
  }                                                                                           \
  int32_t velto_unsubscribe_from_##name(velto_eyetracker* handle, cbtype callback) {          \
    SIM_CALL("velto_unsubscribe_from_" #name, arg_handle(handle));                            \
    return unsubscribe(kind, handle, reinterpret_cast<void*>(callback));                      \
  }

extern "C" {

SIM_STREAM(gaze_data, kStreamGaze, velto_gaze_data_callback)
SIM_STREAM(external_signal_data, kStreamExternalSignal, velto_external_signal_callback)
SIM_STREAM(time_synchronization_data, kStreamTimeSync, velto_time_synchronization_callback)
SIM_STREAM(stream_errors, kStreamStreamErrors, velto_stream_error_callback)
SIM_STREAM(notifications, kStreamNotifications, velto_notification_callback)
SIM_STREAM(eye_image_as_gif, kStreamEyeImages, velto_eye_image_callback)

int32_t velto_logging_subscribe(velto_log_callback callback) {
  SIM_CALL("velto_logging_subscribe", "");
  SIM_LOCK_INITIALIZED(s, lock);
  if (callback == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  // One log subscription per library: a new callback replaces the old one.
  // The old one may still be finishing a message on another thread; waiting
  // for it here is what unsubscribe does, so do the same.
  std::vector<std::shared_ptr<Subscription>> removed;
  if (s.log_subscription) {
    s.log_subscription->active = false;
    removed.push_back(s.log_subscription);
  }
  auto sub = std::make_shared<Subscription>();
  sub->kind = kStreamLog;
  sub->callback = reinterpret_cast<void*>(callback);
  s.log_subscription = sub;
  log_locked(s, 2, "log subscription started");
  wait_for_callbacks(s, lock, removed, nullptr);
  return VELTO_STATUS_OK;
}

int32_t velto_logging_unsubscribe(void) {
  SIM_CALL("velto_logging_unsubscribe", "");
  SIM_LOCK_INITIALIZED(s, lock);
  std::vector<std::shared_ptr<Subscription>> removed;
  if (s.log_subscription) {
    s.log_subscription->active = false;
    removed.push_back(s.log_subscription);
    s.log_subscription.reset();
  }
  wait_for_callbacks(s, lock, removed, nullptr);
  return VELTO_STATUS_OK;
}

}  // extern "C"
