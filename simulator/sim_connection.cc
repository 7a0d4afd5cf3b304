// A tracker's connection: cut and restored by the control calls
// velto_sim_disconnect / velto_sim_reconnect / velto_sim_cut_connection, and
// lost for good when a new world leaves the tracker out.
//
// A cut tracker keeps its handle, its subscriptions and its settings; its
// handle answers "invalid handle" (unsubscribes excepted), discovery does not
// list it and its generated streams pause. Its subscribers hear of the cut and
// of the restore as from a real tracker: a notification (0 lost, 1 restored),
// a stream error (connection lost, source stream pump) on the cut, and an
// external signal record of change type 2 with the current value on the
// restore. Scheduled changes are applied by the event thread when they fall
// due, and by any call that looks the tracker up, whichever comes first.
#include <algorithm>
#include <set>

#include "sim_internal.h"

namespace velto_sim {
namespace {

constexpr int32_t kNotificationConnectionLost = 0;
constexpr int32_t kNotificationConnectionRestored = 1;
constexpr int32_t kStreamErrorConnectionLost = 0;
constexpr int32_t kStreamErrorSourceStreamPump = 1;
constexpr int32_t kChangeTypeConnectionRestored = 2;

QueuedEvent notification_event(int64_t handle, int32_t type, int64_t now) {
  QueuedEvent e;
  e.kind = kStreamNotifications;
  e.handle = handle;
  e.notification.system_time_stamp = now;
  e.notification.notification_type = type;
  return e;
}

QueuedEvent lost_error_event(const Tracker& t, int64_t now) {
  QueuedEvent e;
  e.kind = kStreamStreamErrors;
  e.handle = t.handle;
  e.time_stamp = now;
  e.error = kStreamErrorConnectionLost;
  e.source = kStreamErrorSourceStreamPump;
  e.message = "connection lost: " + t.address;
  return e;
}

void cut_locked(SimState& s, Tracker& t, int64_t now) {
  if (!t.connected) return;
  t.connected = false;
  queue_event_locked(s, notification_event(t.handle, kNotificationConnectionLost, now));
  queue_event_locked(s, lost_error_event(t, now));
  log_locked(s, 0, "connection lost: " + t.address);
}

void restore_locked(SimState& s, Tracker& t, int64_t now) {
  if (t.connected) return;
  t.connected = true;
  queue_event_locked(s, notification_event(t.handle, kNotificationConnectionRestored, now));
  // The external signal resumes with its current value, as after a restart
  // of the stream; a world that does not generate sends none of its own.
  if (s.world.generate && (t.capabilities & VELTO_CAPABILITY_HAS_EXTERNAL_SIGNAL)) {
    QueuedEvent e;
    e.kind = kStreamExternalSignal;
    e.handle = t.handle;
    e.signal.system_time_stamp = now;
    e.signal.device_time_stamp = device_time_us(t.clock_offset_us, t.clock_drift_ppm, now);
    e.signal.value = t.external_signal_value;
    e.signal.change_type = kChangeTypeConnectionRestored;
    queue_event_locked(s, std::move(e));
  }
  log_locked(s, 2, "connection restored: " + t.address);
  wake_generators_locked(s);  // paused streams resume
}

Tracker* by_address_locked(SimState& s, const char* address) {
  if (address == nullptr) return nullptr;
  for (Tracker& t : s.world.trackers) {
    if (t.address == address) return &t;
  }
  return nullptr;
}

int unknown_address(const char* function, const char* address) {
  set_last_error(std::string(function) + ": no tracker has the address " +
                 (address ? address : "(null)"));
  return 1;
}

// Schedules a cut of the tracker at `address` (arguments checked by the caller).
int schedule_cut(const char* function, const char* address, int64_t after_us, int64_t duration_us) {
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  connection_tick_locked(s);
  Tracker* t = by_address_locked(s, address);
  if (t == nullptr) return unknown_address(function, address);
  const int64_t now = system_now_us();
  const int64_t span = INT64_MAX - now;
  if (after_us >= span || (duration_us > 0 && duration_us >= span - after_us)) {
    set_last_error(std::string(function) + ": the cut would end after the clock's range");
    return 1;
  }
  t->cut_at_us = now + after_us;
  t->restore_at_us = duration_us < 0 ? INT64_MAX : now + after_us + duration_us;
  connection_tick_locked(s);  // a cut due now happens before this returns
  s.work_cv.notify_all();     // the event thread's next deadline changed
  return 0;
}

}  // namespace

void connection_tick_locked(SimState& s) {
  bool pending = false;
  int64_t now = 0;
  for (Tracker& t : s.world.trackers) {
    if (t.cut_at_us == INT64_MAX && t.restore_at_us == INT64_MAX) continue;
    if (now == 0) now = system_now_us();
    // Notices carry the scheduled time, however late the tick that applies it.
    if (now >= t.cut_at_us) {
      const int64_t at = t.cut_at_us;
      t.cut_at_us = INT64_MAX;
      cut_locked(s, t, at);
    }
    if (now >= t.restore_at_us) {
      const int64_t at = t.restore_at_us;
      t.restore_at_us = INT64_MAX;
      restore_locked(s, t, at);
    }
    pending = pending || t.cut_at_us != INT64_MAX || t.restore_at_us != INT64_MAX;
  }
  if (pending) ensure_event_worker_locked(s);
}

int64_t next_connection_change_locked(SimState& s) {
  int64_t next = INT64_MAX;
  for (const Tracker& t : s.world.trackers) {
    next = std::min(next, std::min(t.cut_at_us, t.restore_at_us));
  }
  return next;
}

Tracker* find_connected_locked(SimState& s, int64_t handle) {
  connection_tick_locked(s);
  Tracker* t = find_tracker(s, handle);
  return t != nullptr && t->connected ? t : nullptr;
}

void announce_leaving(const World& next) {
  SimState& s = state();
  std::vector<std::shared_ptr<Subscription>> notes, errors;
  std::vector<std::string> messages;  // one per entry of `errors`
  std::vector<QueuedEvent> pending;   // queued notices of leaving trackers
  const int64_t now = system_now_us();
  {
    std::lock_guard<std::mutex> lock(s.mu);
    connection_tick_locked(s);
    std::set<std::string> staying;
    for (const Tracker& t : next.trackers) staying.insert(t.address);
    std::set<int64_t> leaving;
    for (const Tracker& t : s.world.trackers) {
      if (staying.count(t.address) == 0) leaving.insert(t.handle);
    }
    // The new world's shutdown drops the event queue; the notices a leaving
    // tracker still has queued (a cut just before) go out here, first.
    if (s.events) {
      auto& queue = s.events->queue;
      for (auto it = queue.begin(); it != queue.end();) {
        if (it->kind != kStreamLog && leaving.count(it->handle) != 0) {
          pending.push_back(std::move(*it));
          it = queue.erase(it);
        } else {
          ++it;
        }
      }
    }
    for (const Tracker& t : s.world.trackers) {
      // A tracker already cut has had its notice.
      if (!t.connected || staying.count(t.address) != 0) continue;
      for (const auto& sub : matching_locked(s, kStreamNotifications, t.handle)) notes.push_back(sub);
      for (const auto& sub : matching_locked(s, kStreamStreamErrors, t.handle)) {
        errors.push_back(sub);
        messages.push_back("connection lost: " + t.address);
      }
    }
  }
  for (const QueuedEvent& e : pending) deliver_event(e);
  velto_notification note{};
  note.system_time_stamp = now;
  note.notification_type = kNotificationConnectionLost;
  for (const auto& sub : notes) invoke(sub, &note);
  for (size_t i = 0; i < errors.size(); ++i) {
    velto_stream_error_data error{now, kStreamErrorConnectionLost, kStreamErrorSourceStreamPump,
                                  messages[i].c_str()};
    invoke(errors[i], &error);
  }
}

}  // namespace velto_sim

using namespace velto_sim;

extern "C" {

int velto_sim_cut_connection(const char* address, int64_t after_us, int64_t duration_us) {
  if (after_us < 0 || duration_us == 0 || duration_us < -1) {
    set_last_error("velto_sim_cut_connection needs after_us >= 0 and duration_us > 0 or -1");
    return 1;
  }
  return schedule_cut("velto_sim_cut_connection", address, after_us, duration_us);
}

int velto_sim_disconnect(const char* address) {
  return schedule_cut("velto_sim_disconnect", address, 0, -1);
}


int velto_sim_reconnect(const char* address) {
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  connection_tick_locked(s);
  Tracker* t = by_address_locked(s, address);
  if (t == nullptr) return unknown_address("velto_sim_reconnect", address);
  t->cut_at_us = INT64_MAX;
  t->restore_at_us = INT64_MAX;
  restore_locked(s, *t, system_now_us());
  return 0;
}

int velto_sim_connected(const char* address) {
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  connection_tick_locked(s);
  Tracker* t = by_address_locked(s, address);
  if (t == nullptr) {
    unknown_address("velto_sim_connected", address);
    return -1;
  }
  return t->connected ? 1 : 0;
}

}  // extern "C"
