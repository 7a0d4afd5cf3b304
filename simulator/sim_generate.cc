// Generation threads: one per tracker with a generated stream subscribed
// (gaze data, time synchronisation, eye images, external signal), producing
// synthetic records on deadlines of the library's system clock.
//
// Scheduling sleeps until the next deadline (not for a fixed period), so the
// average rate matches the tracker's frequency. A consumer slower than the
// stream makes the thread fall behind; beyond kMaxLagUs it skips ahead to the
// present instead of bursting the backlog, as a real tracker drops samples.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>

#include "sim_internal.h"
#include "sim_replay.h"

namespace velto_sim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int64_t kMaxLagUs = 200000;
constexpr double kTimeSyncPeriodUs = 250000;  // 4 Hz
constexpr double kEyeImagePeriodUs = 200000;  // 5 Hz
constexpr int kEyeImageWidth = 64;
constexpr int kEyeImageHeight = 48;
constexpr double kHalfInterocularMm = 32.0;

const float kNaN = std::numeric_limits<float>::quiet_NaN();

// What a generation step needs of its tracker, copied under the lock.
struct TrackerView {
  float frequency;
  int32_t capabilities;
  velto_display_area display_area;
  velto_track_box track_box;
  int64_t clock_offset_us;
  double clock_drift_ppm;
};

// The simulated viewer: fixations, saccades between them and blinks.
struct EyeModel {
  enum Phase { kFixation, kSaccade, kBlink };
  std::mt19937 rng;
  Phase phase = kFixation;
  int64_t phase_start = 0;
  int64_t phase_end = 0;
  double from_u = 0.5, from_v = 0.5, to_u = 0.5, to_v = 0.5;
  int64_t next_blink = 0;
  bool started = false;
};

double uniform(EyeModel& m, double lo, double hi) {
  return std::uniform_real_distribution<double>(lo, hi)(m.rng);
}

double normal(EyeModel& m, double sigma) { return std::normal_distribution<double>(0.0, sigma)(m.rng); }

void start_fixation(EyeModel& m, int64_t t) {
  m.phase = EyeModel::kFixation;
  m.phase_start = t;
  m.phase_end = t + static_cast<int64_t>(uniform(m, 200000, 400000));
  m.from_u = m.to_u;
  m.from_v = m.to_v;
}

// Advances the model's phases up to time t (microseconds).
void advance(EyeModel& m, int64_t t) {
  if (!m.started) {
    m.started = true;
    m.to_u = 0.5;
    m.to_v = 0.5;
    m.next_blink = t + static_cast<int64_t>(uniform(m, 2e6, 6e6));
    start_fixation(m, t);
  }
  while (t >= m.phase_end) {
    const int64_t at = m.phase_end;
    if (m.phase == EyeModel::kFixation && at >= m.next_blink) {
      m.phase = EyeModel::kBlink;
      m.phase_start = at;
      m.phase_end = at + static_cast<int64_t>(uniform(m, 100000, 180000));
      m.next_blink = m.phase_end + static_cast<int64_t>(uniform(m, 2e6, 6e6));
    } else if (m.phase == EyeModel::kFixation) {
      m.from_u = m.to_u;
      m.from_v = m.to_v;
      m.to_u = uniform(m, 0.08, 0.92);
      m.to_v = uniform(m, 0.08, 0.92);
      // About 44 degrees of visual angle across the screen; saccade duration
      // grows with amplitude (20 ms + 2.2 ms per degree).
      const double amplitude =
          std::hypot(m.to_u - m.from_u, (m.to_v - m.from_v) * 0.5625) * 44.0;
      m.phase = EyeModel::kSaccade;
      m.phase_start = at;
      m.phase_end = at + static_cast<int64_t>(20000 + 2200 * amplitude);
    } else {
      start_fixation(m, at);
    }
  }
}

// The gaze position (display-area normalised) at time t, before per-eye noise.
void gaze_at(const EyeModel& m, int64_t t, double* u, double* v) {
  if (m.phase == EyeModel::kSaccade) {
    double s = static_cast<double>(t - m.phase_start) / static_cast<double>(m.phase_end - m.phase_start);
    s = std::min(1.0, std::max(0.0, s));
    s = s * s * (3 - 2 * s);
    *u = m.from_u + (m.to_u - m.from_u) * s;
    *v = m.from_v + (m.to_v - m.from_v) * s;
  } else {
    *u = m.to_u;
    *v = m.to_v;
  }
}

velto_point3 lerp3(const velto_point3& a, const velto_point3& b, double s) {
  return velto_point3{static_cast<float>(a.x + (b.x - a.x) * s), static_cast<float>(a.y + (b.y - a.y) * s),
                      static_cast<float>(a.z + (b.z - a.z) * s)};
}

// A display-area point (u right, v down, 0..1) in the user coordinate system.
velto_point3 on_display(const velto_display_area& a, double u, double v) {
  const velto_point3& tl = a.top_left;
  return velto_point3{
      static_cast<float>(tl.x + u * (a.top_right.x - tl.x) + v * (a.bottom_left.x - tl.x)),
      static_cast<float>(tl.y + u * (a.top_right.y - tl.y) + v * (a.bottom_left.y - tl.y)),
      static_cast<float>(tl.z + u * (a.top_right.z - tl.z) + v * (a.bottom_left.z - tl.z))};
}

// A user-coordinate point in track box coordinates: x 0 at the left face and
// 1 at the right face, y 0 at the upper face and 1 at the lower face, z 0 at
// the front face and 1 at the back face (faces interpolated with depth).
velto_point3 in_track_box(const velto_track_box& b, const velto_point3& p) {
  const double front_z = (b.front_lower_left.z + b.front_upper_right.z) / 2.0;
  const double back_z = (b.back_lower_left.z + b.back_upper_right.z) / 2.0;
  const double tz = back_z != front_z ? (p.z - front_z) / (back_z - front_z) : 0.0;
  const velto_point3 lower_left = lerp3(b.front_lower_left, b.back_lower_left, tz);
  const velto_point3 upper_right = lerp3(b.front_upper_right, b.back_upper_right, tz);
  const double w = upper_right.x - lower_left.x;
  const double h = upper_right.y - lower_left.y;
  return velto_point3{static_cast<float>(w != 0 ? (p.x - lower_left.x) / w : 0.0),
                      static_cast<float>(h != 0 ? (upper_right.y - p.y) / h : 0.0),
                      static_cast<float>(tz)};
}

// The centre of the head at time t: a slow sway around (0, 215, 640) mm,
// eye level with the upper third of the default screen.
velto_point3 head_at(int64_t t) {
  const double s = t * 1e-6;
  return velto_point3{static_cast<float>(10 * std::sin(s / 5.0)),
                      static_cast<float>(215 + 8 * std::sin(s / 7.0)),
                      static_cast<float>(640 + 15 * std::sin(s / 11.0))};
}

double pupil_at(EyeModel& m, int64_t t, double eye_offset) {
  const double d = 3.6 + 0.5 * std::sin(t * 1e-6 * 2 * M_PI / 7.0) + eye_offset + normal(m, 0.03);
  return std::min(8.0, std::max(2.0, d));
}

void fill_eye(EyeModel& m, const TrackerView& view, int64_t t, bool left, bool blink,
              velto_eye_data* eye) {
  if (blink) {
    // Closed eyes: no group has data.
    eye->gaze_point_on_display_area = velto_point2{kNaN, kNaN};
    eye->gaze_point_in_user_coordinate_system = velto_point3{kNaN, kNaN, kNaN};
    eye->gaze_point_validity = 0;
    eye->pupil_diameter = kNaN;
    eye->pupil_validity = 0;
    eye->gaze_origin_in_user_coordinate_system = velto_point3{kNaN, kNaN, kNaN};
    eye->gaze_origin_in_trackbox_coordinate_system = velto_point3{kNaN, kNaN, kNaN};
    eye->gaze_origin_validity = 0;
    return;
  }
  double u, v;
  gaze_at(m, t, &u, &v);
  // A slight vergence offset between the eyes plus fixational noise.
  u += (left ? -0.004 : 0.004) + normal(m, 0.0015);
  v += normal(m, 0.0015);
  eye->gaze_point_on_display_area = velto_point2{static_cast<float>(u), static_cast<float>(v)};
  eye->gaze_point_in_user_coordinate_system = on_display(view.display_area, u, v);
  eye->gaze_point_validity = 1;
  eye->pupil_diameter = static_cast<float>(pupil_at(m, t, left ? 0.0 : 0.05));
  eye->pupil_validity = 1;
  velto_point3 origin = head_at(t);
  origin.x += static_cast<float>(left ? -kHalfInterocularMm : kHalfInterocularMm);
  eye->gaze_origin_in_user_coordinate_system = origin;
  eye->gaze_origin_in_trackbox_coordinate_system = in_track_box(view.track_box, origin);
  eye->gaze_origin_validity = 1;
  // Now and then the tracker loses one eye's gaze point for a sample.
  if (uniform(m, 0, 1) < 0.005) {
    eye->gaze_point_on_display_area = velto_point2{kNaN, kNaN};
    eye->gaze_point_in_user_coordinate_system = velto_point3{kNaN, kNaN, kNaN};
    eye->gaze_point_validity = 0;
  }
}

velto_gaze_data make_gaze(EyeModel& m, const TrackerView& view, int64_t t) {
  advance(m, t);
  velto_gaze_data g{};
  g.system_time_stamp = t;
  g.device_time_stamp = device_time_us(view.clock_offset_us, view.clock_drift_ppm, t);
  const bool blink = m.phase == EyeModel::kBlink;
  fill_eye(m, view, t, true, blink, &g.left_eye);
  fill_eye(m, view, t, false, blink, &g.right_eye);
  return g;
}

std::vector<uint8_t> make_eye_image(EyeModel& m, int64_t t, int camera) {
  advance(m, t);
  double u, v;
  gaze_at(m, t, &u, &v);
  const double cx = kEyeImageWidth / 2.0 + (u - 0.5) * kEyeImageWidth * 0.3 + (camera ? 1.0 : -1.0);
  const double cy = kEyeImageHeight / 2.0 + (v - 0.5) * kEyeImageHeight * 0.25;
  const double r = pupil_at(m, t, 0) * 1.2;
  return encode_eye_gif(kEyeImageWidth, kEyeImageHeight, cx, cy, r, m.phase == EyeModel::kBlink);
}

Clock::time_point at_us(double us) {
  return Clock::time_point(std::chrono::microseconds(static_cast<int64_t>(std::ceil(us))));
}

void generator_loop(std::shared_ptr<Generator> g) {
  SimState& s = state();
  EyeModel model;
  bool gaze_on = false, sync_on = false, image_on = false, signal_on = false;
  double next_gaze = 0, next_sync = 0, next_image = 0, next_signal = 0;
  int camera = 0;
  std::unique_lock<std::mutex> lock(s.mu);
  {
    Tracker* t = find_tracker(s, g->handle);
    model.rng.seed(t ? t->noise_seed : 1u);
  }
  while (!g->stop) {
    Tracker* t = find_tracker(s, g->handle);
    if (t == nullptr) break;  // the world was replaced
    const TrackerView view{t->frequency, t->capabilities, t->display_area, t->track_box,
                           t->clock_offset_us, t->clock_drift_ppm};
    const int64_t h = t->handle;
    const int64_t now = system_now_us();
    // A tracker whose connection is cut sends nothing until it is restored.
    const bool linked = t->connected;
    const bool want_gaze = linked && has_subscription_locked(s, kStreamGaze, h);
    const bool want_sync = linked && has_subscription_locked(s, kStreamTimeSync, h);
    const bool want_image = linked && (view.capabilities & VELTO_CAPABILITY_HAS_EYE_IMAGES) &&
                            has_subscription_locked(s, kStreamEyeImages, h);
    const bool want_signal = linked && (view.capabilities & VELTO_CAPABILITY_HAS_EXTERNAL_SIGNAL) &&
                             has_subscription_locked(s, kStreamExternalSignal, h);
    if (want_gaze && !gaze_on) next_gaze = static_cast<double>(now);
    if (want_sync && !sync_on) next_sync = static_cast<double>(now);
    if (want_image && !image_on) next_image = static_cast<double>(now);
    if (want_signal && !signal_on) next_signal = now + uniform(model, 1e6, 4e6);
    gaze_on = want_gaze;
    sync_on = want_sync;
    image_on = want_image;
    signal_on = want_signal;

    // New external signal subscriptions first get the current value.
    std::vector<std::shared_ptr<Subscription>> initial;
    if (want_signal) {
      for (const auto& sub : s.subscriptions) {
        if (sub->kind == kStreamExternalSignal && sub->handle == h && !sub->initial_sent) {
          sub->initial_sent = true;
          initial.push_back(sub);
        }
      }
    }
    if (!gaze_on && !sync_on && !image_on && !signal_on) {
      s.work_cv.wait(lock);
      continue;
    }
    double next = std::numeric_limits<double>::infinity();
    if (gaze_on) next = std::min(next, next_gaze);
    if (sync_on) next = std::min(next, next_sync);
    if (image_on) next = std::min(next, next_image);
    if (signal_on) next = std::min(next, next_signal);
    if (initial.empty() && now < next) {
      s.work_cv.wait_until(lock, at_us(next));
      continue;
    }

    // Decide what is due while the tracker can be read, deliver unlocked.
    velto_external_signal_data signal{};
    signal.system_time_stamp = now;
    signal.device_time_stamp = device_time_us(view.clock_offset_us, view.clock_drift_ppm, now);
    signal.value = t->external_signal_value;
    signal.change_type = 1;  // initial value
    bool signal_due = signal_on && now >= next_signal;
    velto_external_signal_data change = signal;
    if (signal_due) {
      t->external_signal_value ^= 1;
      change.value = t->external_signal_value;
      change.change_type = 0;  // value changed
      next_signal = now + uniform(model, 1e6, 4e6);
    }
    const bool gaze_due = gaze_on && now >= next_gaze;
    const double gaze_time = next_gaze;
    if (gaze_due) {
      const double period = 1e6 / (view.frequency > 0 ? view.frequency : 60.0f);
      next_gaze += period;
      if (now - next_gaze > kMaxLagUs) next_gaze = now + period;
    }
    const bool sync_due = sync_on && now >= next_sync;
    if (sync_due) next_sync += kTimeSyncPeriodUs;
    if (now - next_sync > kMaxLagUs) next_sync = now + kTimeSyncPeriodUs;
    const bool image_due = image_on && now >= next_image;
    if (image_due) next_image += kEyeImagePeriodUs;
    if (now - next_image > kMaxLagUs) next_image = now + kEyeImagePeriodUs;
    lock.unlock();

    for (const auto& sub : initial) invoke(sub, &signal);
    if (signal_due) dispatch(kStreamExternalSignal, h, &change);
    if (gaze_due) {
      const velto_gaze_data gaze = make_gaze(model, view, static_cast<int64_t>(std::llround(gaze_time)));
      dispatch(kStreamGaze, h, &gaze);
    }
    if (sync_due) {
      // A request/response round trip of about 400 microseconds.
      const int64_t response = system_now_us();
      const int64_t request = response - 400;
      velto_time_synchronization_data sync{
          request, device_time_us(view.clock_offset_us, view.clock_drift_ppm, request + 200), response};
      dispatch(kStreamTimeSync, h, &sync);
    }
    if (image_due) {
      const int64_t when = system_now_us();
      std::vector<uint8_t> gif = make_eye_image(model, when, camera);
      velto_eye_image image{};
      image.system_time_stamp = when;
      image.device_time_stamp = device_time_us(view.clock_offset_us, view.clock_drift_ppm, when);
      image.type = 0;  // full image
      image.camera_id = camera;
      image.image_size = gif.size();
      image.image_data = gif.data();
      camera ^= 1;
      if (!gif.empty()) dispatch(kStreamEyeImages, h, &image);
    }
    lock.lock();
  }
  g->exited = true;
  if (s.callback_waiters > 0) s.callbacks_cv.notify_all();
}

}  // namespace

void ensure_generator_locked(SimState& s, int64_t handle) {
  if (!s.world.generate || s.exiting) return;
  for (const auto& g : s.generators) {
    if (g->handle == handle) {
      s.work_cv.notify_all();  // it may be idle; a new subscription is work
      return;
    }
  }
  auto g = std::make_shared<Generator>();
  g->handle = handle;
  const Tracker* t = find_tracker(s, handle);
  g->thread = (t != nullptr && t->replay) ? std::thread(replay_loop, g) : std::thread(generator_loop, g);
  s.generators.push_back(g);
}

void wake_generators_locked(SimState& s) { s.work_cv.notify_all(); }

}  // namespace velto_sim
