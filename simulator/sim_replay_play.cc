// Replay of a recording folder as a simulated tracker, during playback
// (replay_loop): the thread that plays the rows and events at their recorded
// times; the recording was checked at configuration time (sim_replay.cc).
//
// Memory stays constant whatever the recording's length: playback reads
// gaze.csv and events.jsonl one line at a time and holds only the current
// row, the next event and one eye image.
#include "sim_replay.h"

#include <chrono>
#include <cmath>
#include <limits>

#include "sim_internal.h"
#include "sim_replay_read.h"

namespace velto_sim {
namespace {

using replay::Event;
using replay::kMaxEventLine;
using replay::kMaxGazeLine;
using replay::LineFile;
using replay::parse_event;
using replay::parse_row;
using replay::read_whole;
using replay::Row;

constexpr size_t kMaxImage = 64 * 1024 * 1024;
constexpr double kTimeSyncPeriodUs = 250000;
// A stream other than gaze subscribed alone starts playback after this long
// (gaze data starts it at once: a recorder subscribes its event streams
// first and gaze last, and must not miss the first rows).
constexpr int64_t kSideStartUs = 500000;
constexpr int32_t kNotificationConnectionLost = 0;
// The reading side of playback: the next row and the next event.
struct Playback {
  const ReplayPlan& plan;
  LineFile gaze, events;
  int64_t rows_read = 0;
  bool have_row = false, have_event = false;
  Row row;
  Event event;
  std::string line, problem;

  explicit Playback(const ReplayPlan& s) : plan(s) {}

  // (Re)opens the files at their start; false with `problem` set.
  bool rewind() {
    rows_read = 0;
    have_row = have_event = false;
    bool complete, too_long;
    if (!gaze.open(plan.folder + "/gaze.csv") || !gaze.next(&line, &complete, &too_long, kMaxGazeLine)) {
      problem = plan.folder + "/gaze.csv cannot be read any more";
      return false;
    }
    if (plan.has_events && !events.open(plan.folder + "/events.jsonl")) {
      problem = plan.folder + "/events.jsonl cannot be read any more";
      return false;
    }
    next_row();
    next_event();
    return problem.empty();
  }

  void next_row() {
    have_row = false;
    if (rows_read >= plan.rows) return;
    bool complete, too_long;
    std::string why;
    if (!gaze.next(&line, &complete, &too_long, kMaxGazeLine) || !complete ||
        !parse_row(line, plan.columns, &row, &why)) {
      problem =
          plan.folder + "/gaze.csv:" + std::to_string(gaze.line) + " changed since the replay was configured";
      return;
    }
    ++rows_read;
    have_row = true;
  }

  void next_event() {
    have_event = false;
    if (events.f == nullptr) return;
    bool complete, too_long;
    std::string why;
    while (events.line < plan.event_lines && events.next(&line, &complete, &too_long, kMaxEventLine)) {
      if (!complete || !parse_event(line, plan.folder, false, &event, &why)) {
        problem = plan.folder + "/events.jsonl:" + std::to_string(events.line) +
                  " changed since the replay was configured";
        return;
      }
      if (event.kind != 0) {
        have_event = true;
        return;
      }
    }
  }
};

using Clock = std::chrono::steady_clock;

Clock::time_point at_us(double us) {
  return Clock::time_point(std::chrono::microseconds(static_cast<int64_t>(std::ceil(us))));
}

bool read_image(const std::string& path, std::vector<uint8_t>* out) {
  std::string data;
  bool missing = false;
  if (!read_whole(path, &data, kMaxImage, &missing)) return false;
  out->assign(data.begin(), data.end());
  return true;
}

}  // namespace

void replay_loop(std::shared_ptr<Generator> g) {
  SimState& s = state();
  std::unique_lock<std::mutex> lock(s.mu);
  std::shared_ptr<const ReplayPlan> held;
  if (Tracker* t = find_tracker(s, g->handle)) held = t->replay;
  if (!held) {
    g->exited = true;
    if (s.callback_waiters > 0) s.callbacks_cv.notify_all();
    return;
  }
  const ReplayPlan& plan = *held;
  Playback p(plan);
  lock.unlock();
  bool ready = p.rewind();
  lock.lock();

  bool started = false, ended = false, sync_on = false;
  int64_t side_since = -1;  // a stream other than gaze subscribed alone, since
  int64_t start_sys = 0;    // system time of the recorded origin in cycle 0
  int64_t device_base = 0;  // device stamp of the first row (full columns)
  int64_t first_device = 0;
  bool have_first_device = false;
  int64_t cycle = 0;
  double next_sync = 0;
  // The system time at which a recorded time plays.
  auto play_time = [&](int64_t recorded) -> int64_t {
    const int64_t since = recorded - plan.origin_us + cycle * plan.cycle_us;
    if (plan.speed == 1.0) return start_sys + since;
    return start_sys + static_cast<int64_t>(std::llround(static_cast<double>(since) / plan.speed));
  };
  while (!g->stop) {
    Tracker* t = find_tracker(s, g->handle);
    if (t == nullptr) break;  // the world was replaced
    const int64_t h = t->handle;
    const int64_t offset = t->clock_offset_us;
    const double drift = t->clock_drift_ppm;
    const std::string address = t->address;
    const int64_t now = system_now_us();
    const bool want_gaze = has_subscription_locked(s, kStreamGaze, h);
    const bool want_sync = has_subscription_locked(s, kStreamTimeSync, h);
    const bool want_side = has_subscription_locked(s, kStreamExternalSignal, h) ||
                           has_subscription_locked(s, kStreamEyeImages, h);
    if (want_sync && !sync_on) next_sync = static_cast<double>(now);
    sync_on = want_sync && !ended;
    if (!started && ready) {
      if (!want_side) side_since = -1;
      if (want_side && side_since < 0) side_since = now;
      if (want_gaze || (side_since >= 0 && now - side_since >= kSideStartUs)) {
        started = true;
        start_sys = now;
        log_locked(s, 2,
                   "replay of " + plan.folder + " started on " + address +
                       (plan.note.empty() ? std::string() : "; " + plan.note));
      }
    }
    if (!ready && !ended) {
      ended = true;
      log_locked(s, 0, "replay of " + plan.folder + " failed: " + p.problem);
    }
    // The next item: the earlier of the next row and the next event.
    bool item_is_row = false;
    double next = std::numeric_limits<double>::infinity();
    int64_t item_time = 0;
    if (started && !ended && (p.have_row || p.have_event)) {
      item_is_row = p.have_row && (!p.have_event || p.row.t <= p.event.t);
      item_time = play_time(item_is_row ? p.row.t : p.event.t);
      next = static_cast<double>(item_time);
    }
    const bool finished = started && !ended && ((!p.have_row && !p.have_event) || !p.problem.empty());
    if (!started && side_since >= 0) next = std::min(next, static_cast<double>(side_since + kSideStartUs));
    if (sync_on) next = std::min(next, next_sync);
    if (!finished && next == std::numeric_limits<double>::infinity()) {
      s.work_cv.wait(lock);
      continue;
    }
    if (!finished && now < next) {
      s.work_cv.wait_until(lock, at_us(next));
      continue;
    }
    const bool sync_due = sync_on && now >= next_sync;
    if (sync_due) next_sync += kTimeSyncPeriodUs;
    if (now - next_sync > 200000) next_sync = now + kTimeSyncPeriodUs;
    const bool item_due = started && !ended && !finished && now >= item_time;
    bool end_now = false;
    if (finished) {
      if (plan.loop && plan.rows + plan.events > 0 && p.problem.empty()) {
        ++cycle;  // time stamps go on increasing across the seam
      } else {
        ended = true;
        end_now = true;
        log_locked(s, 2,
                   "replay of " + plan.folder + " on " + address + " ended" +
                       (p.problem.empty() ? std::string() : ": " + p.problem));
      }
    }
    lock.unlock();

    if (sync_due) {
      const int64_t response = system_now_us();
      const int64_t request = response - 400;
      velto_time_synchronization_data sync{request, device_time_us(offset, drift, request + 200), response};
      dispatch(kStreamTimeSync, h, &sync);
    }
    if (finished && !end_now) ready = p.rewind();
    if (end_now) {
      // The end of a replay that does not loop: no more gaze or events, and
      // subscribers of notifications hear "connection lost".
      velto_notification n{};
      n.system_time_stamp = system_now_us();
      n.notification_type = kNotificationConnectionLost;
      dispatch(kStreamNotifications, h, &n);
    }
    if (item_due && item_is_row) {
      velto_gaze_data gaze = p.row.gaze;
      gaze.system_time_stamp = item_time;
      if (plan.device_column) {
        // Device stamps keep their recorded intervals, counted from the
        // tracker's device clock at the first row.
        if (!have_first_device) {
          have_first_device = true;
          first_device = p.row.device;
          device_base = device_time_us(offset, drift, item_time);
        }
        const int64_t since = p.row.device - first_device + cycle * plan.cycle_us;
        gaze.device_time_stamp =
            device_base + (plan.speed == 1.0 ? since : std::llround(static_cast<double>(since) / plan.speed));
      } else {
        gaze.device_time_stamp = device_time_us(offset, drift, item_time);
      }
      dispatch(kStreamGaze, h, &gaze);
      p.next_row();
    } else if (item_due) {
      const Event& e = p.event;
      const int64_t device = device_time_us(offset, drift, item_time);
      switch (e.kind) {
        case kStreamExternalSignal: {
          velto_external_signal_data r{device, item_time, e.a, e.b};
          dispatch(kStreamExternalSignal, h, &r);
          break;
        }
        case kStreamStreamErrors: {
          velto_stream_error_data r{item_time, e.a, e.b, e.text.c_str()};
          dispatch(kStreamStreamErrors, h, &r);
          break;
        }
        case kStreamNotifications: {
          velto_notification r = e.notification;
          r.system_time_stamp = item_time;
          dispatch(kStreamNotifications, h, &r);
          break;
        }
        case kStreamEyeImages: {
          std::vector<uint8_t> gif;
          if (read_image(e.text, &gif) && !gif.empty()) {
            velto_eye_image r{};
            r.device_time_stamp = device;
            r.system_time_stamp = item_time;
            r.type = e.b;
            r.camera_id = e.a;
            r.image_size = gif.size();
            r.image_data = gif.data();
            dispatch(kStreamEyeImages, h, &r);
          }
          break;
        }
        default: break;
      }
      p.next_event();
    }
    lock.lock();
  }
  g->exited = true;
  if (s.callback_waiters > 0) s.callbacks_cv.notify_all();
}

}  // namespace velto_sim
