// The simulated device library's streams: subscription bookkeeping, delivery
// guarantees, generated records and the eye images' GIF encoding.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "device/velto.h"
#include "test_support.h"
#include "velto_sim.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Records of one type collected by callbacks, with the user data and the
// thread of each call.
template <typename Record>
struct Recorder {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Record> records;
  std::vector<intptr_t> user_data;
  std::vector<std::thread::id> threads;
  std::vector<std::string> texts;  // copies of message / image bytes

  void add(const Record& r, void* u, std::string text = std::string()) {
    std::lock_guard<std::mutex> lock(mu);
    records.push_back(r);
    user_data.push_back(reinterpret_cast<intptr_t>(u));
    threads.push_back(std::this_thread::get_id());
    texts.push_back(std::move(text));
    cv.notify_all();
  }
  // Waits until at least n records arrived (false after 10 s).
  bool wait_for(size_t n) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, seconds(10), [&] { return records.size() >= n; });
  }
  size_t size() {
    std::lock_guard<std::mutex> lock(mu);
    return records.size();
  }
};

// One recorder per stream, made afresh for each test (and never destroyed
// while a library thread may still call in: see the process exit test).
struct Recorders {
  Recorder<velto_gaze_data> gaze;
  Recorder<velto_notification> note;
  Recorder<velto_stream_error_data> error;
  Recorder<velto_time_synchronization_data> sync;
  Recorder<velto_external_signal_data> signal;
  Recorder<velto_eye_image> image;
  Recorder<int64_t> log;
};
Recorders* rec;

void on_gaze(const velto_gaze_data* d, void* u) { rec->gaze.add(*d, u); }
void on_gaze_other(const velto_gaze_data* d, void* u) { rec->gaze.add(*d, u); }
void on_note(const velto_notification* d, void* u) { rec->note.add(*d, u); }
void on_error(const velto_stream_error_data* d, void* u) { rec->error.add(*d, u, d->message); }
void on_sync(const velto_time_synchronization_data* d, void* u) { rec->sync.add(*d, u); }
void on_signal(const velto_external_signal_data* d, void* u) { rec->signal.add(*d, u); }
void on_image(const velto_eye_image* d, void* u) {
  rec->image.add(*d, u, std::string(static_cast<const char*>(d->image_data), d->image_size));
}
void on_log(int64_t stamp, int32_t source, int32_t level, const char* message) {
  rec->log.add(stamp, reinterpret_cast<void*>(static_cast<intptr_t>(source * 10 + level)), message);
}

class SimStreamsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(velto_sim_reset(), 0);
    rec = new Recorders();
  }
  void TearDown() override {
    velto_sim_reset();  // returns only when no callback runs any more
    delete rec;
  }
  // The default trackers without generation threads.
  std::vector<velto_eyetracker*> quiet_world() {
    EXPECT_EQ(velto_sim_configure("{\"generate\": false}"), 0);
    return sim_trackers();
  }
};

TEST_F(SimStreamsTest, EmitReachesEverySubscriptionOfThatStreamAndTracker) {
  auto t = quiet_world();
  velto_gaze_data record{};
  record.device_time_stamp = 77;
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze, reinterpret_cast<void*>(1)), 0);
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze, reinterpret_cast<void*>(2)), 0);
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze, reinterpret_cast<void*>(2)), 0);  // same pair: one
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze_other, reinterpret_cast<void*>(3)), 0);
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[1], on_gaze, reinterpret_cast<void*>(4)), 0);
  EXPECT_EQ(velto_sim_emit(1, handle_value(t[0]), &record), 3);
  EXPECT_EQ(rec->gaze.user_data, (std::vector<intptr_t>{1, 2, 3}));
  EXPECT_EQ(rec->gaze.records[0].device_time_stamp, 77);
  EXPECT_EQ(rec->gaze.threads[0], std::this_thread::get_id());  // synchronous
  EXPECT_EQ(velto_sim_emit(2, handle_value(t[0]), &record), 0);  // another stream
  EXPECT_EQ(velto_sim_emit(1, 12345, &record), 0);    // no such tracker
  EXPECT_EQ(velto_sim_emit(7, handle_value(t[0]), &record), -1);
  EXPECT_EQ(velto_sim_emit(1, handle_value(t[0]), nullptr), -1);

  // Unsubscribing a callback removes all of its subscriptions, only those.
  ASSERT_EQ(velto_unsubscribe_from_gaze_data(t[0], on_gaze), 0);
  EXPECT_EQ(velto_sim_emit(1, handle_value(t[0]), &record), 1);
  EXPECT_EQ(velto_sim_emit_burst(1, handle_value(t[0]), &record, 1000), 1000);
  EXPECT_EQ(velto_sim_emit_burst(1, handle_value(t[1]), &record, 3), 3);
  ASSERT_EQ(velto_unsubscribe_from_gaze_data(t[0], on_gaze_other), 0);
  EXPECT_EQ(velto_sim_emit(1, handle_value(t[0]), &record), 0);
  EXPECT_EQ(velto_unsubscribe_from_gaze_data(t[0], on_gaze_other), 0);  // nothing left: fine
}

// A burst looks its subscriptions up once: one ended by a callback in the
// middle of the burst receives nothing after that, and the others go on.
std::atomic<int> g_burst_calls{0};
std::atomic<int> g_burst_other_calls{0};
velto_eyetracker* g_burst_tracker = nullptr;
void on_burst_gaze(const velto_gaze_data*, void*) {
  if (++g_burst_calls == 10) velto_unsubscribe_from_gaze_data(g_burst_tracker, on_burst_gaze);
}
void on_burst_other(const velto_gaze_data*, void*) { ++g_burst_other_calls; }

TEST_F(SimStreamsTest, BurstStopsAtASubscriptionEndedDuringIt) {
  auto t = quiet_world();
  g_burst_tracker = t[0];
  g_burst_calls = 0;
  g_burst_other_calls = 0;
  velto_gaze_data record{};
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_burst_gaze, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_burst_other, nullptr), 0);
  EXPECT_EQ(velto_sim_emit_burst(1, handle_value(t[0]), &record, 100), 110);
  EXPECT_EQ(g_burst_calls, 10);
  EXPECT_EQ(g_burst_other_calls, 100);
  EXPECT_EQ(velto_sim_emit_burst(1, handle_value(t[0]), &record, 5), 5);
  EXPECT_EQ(velto_sim_emit_burst(7, handle_value(t[0]), &record, 5), -1);
  EXPECT_EQ(velto_sim_emit_burst(1, handle_value(t[0]), nullptr, 5), -1);
}

TEST_F(SimStreamsTest, SubscriptionArgumentsAreChecked) {
  auto t = quiet_world();
  EXPECT_EQ(velto_subscribe_to_gaze_data(reinterpret_cast<velto_eyetracker*>(8), on_gaze, nullptr),
            VELTO_SIM_STATUS_INVALID_HANDLE);
  EXPECT_EQ(velto_subscribe_to_gaze_data(t[0], nullptr, nullptr), VELTO_SIM_STATUS_INVALID_ARGUMENT);
  // The second tracker has neither external signal nor eye images.
  EXPECT_EQ(velto_subscribe_to_external_signal_data(t[1], on_signal, nullptr), VELTO_SIM_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(velto_subscribe_to_eye_image_as_gif(t[1], on_image, nullptr), VELTO_SIM_STATUS_NOT_SUPPORTED);
  EXPECT_EQ(velto_unsubscribe_from_eye_image_as_gif(t[1], on_image), 0);
  EXPECT_EQ(velto_logging_subscribe(nullptr), VELTO_SIM_STATUS_INVALID_ARGUMENT);
  ASSERT_EQ(velto_terminate(), 0);
  EXPECT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze, nullptr), VELTO_SIM_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(velto_logging_subscribe(on_log), VELTO_SIM_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(velto_unsubscribe_from_gaze_data(t[0], on_gaze), VELTO_SIM_STATUS_NOT_INITIALIZED);
}

TEST_F(SimStreamsTest, FaultRulesApplyToSubscribeFunctions) {
  auto t = quiet_world();
  ASSERT_EQ(velto_sim_fail("velto_subscribe_to_notifications", 13, 0, 1), 0);
  EXPECT_EQ(velto_subscribe_to_notifications(t[0], on_note, nullptr), 13);
  velto_notification n{};
  EXPECT_EQ(velto_sim_emit(5, handle_value(t[0]), &n), 0);  // nothing was subscribed
  ASSERT_EQ(velto_sim_fail("velto_logging_unsubscribe", 14, 0, 1), 0);
  ASSERT_EQ(velto_logging_subscribe(on_log), 0);
  EXPECT_EQ(velto_logging_unsubscribe(), 14);
  EXPECT_EQ(velto_sim_emit_log(5, 1, 2, "still subscribed"), 1);
}

struct Blocking {
  std::atomic<bool> entered{false};
  std::atomic<bool> release{false};
  std::atomic<bool> finished{false};
};
Blocking* blocking;
void on_gaze_blocking(const velto_gaze_data*, void*) {
  blocking->entered = true;
  while (!blocking->release) std::this_thread::sleep_for(milliseconds(1));
  blocking->finished = true;
}

TEST_F(SimStreamsTest, UnsubscribeWaitsForARunningCallback) {
  // Fault pinned: unsubscribe returning while the callback still runs elsewhere.
  auto t = quiet_world();
  Blocking b;
  blocking = &b;
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze_blocking, nullptr), 0);
  velto_gaze_data record{};
  std::thread emitter([&] { velto_sim_emit(1, handle_value(t[0]), &record); });
  while (!b.entered) std::this_thread::sleep_for(milliseconds(1));
  std::atomic<bool> returned{false};
  std::atomic<bool> finished_at_return{false};
  std::thread unsubscriber([&] {
    velto_unsubscribe_from_gaze_data(t[0], on_gaze_blocking);
    finished_at_return = b.finished.load();
    returned = true;
  });
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_FALSE(returned);
  b.release = true;
  unsubscriber.join();
  emitter.join();
  EXPECT_TRUE(finished_at_return);
  EXPECT_EQ(velto_sim_emit(1, handle_value(t[0]), &record), 0);
}

velto_eyetracker* self_tracker;
void on_gaze_unsubscribing(const velto_gaze_data* d, void* u) {
  rec->gaze.add(*d, u);
  // From inside its own callback: must not wait for itself.
  EXPECT_EQ(velto_unsubscribe_from_gaze_data(self_tracker, on_gaze_unsubscribing), 0);
}

TEST_F(SimStreamsTest, UnsubscribeFromInsideItsOwnCallbackReturns) {
  auto t = quiet_world();
  self_tracker = t[0];
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze_unsubscribing, nullptr), 0);
  velto_gaze_data record{};
  EXPECT_EQ(velto_sim_emit(1, handle_value(t[0]), &record), 1);
  EXPECT_EQ(velto_sim_emit(1, handle_value(t[0]), &record), 0);
}

std::atomic<int> terminate_calls;
void on_gaze_terminating(const velto_gaze_data* d, void* u) {
  if (terminate_calls++ == 0) {
    // On the library's own generation thread: terminate joins every other
    // thread and must not join this one.
    EXPECT_EQ(velto_terminate(), 0);
    rec->gaze.add(*d, u);
  }
}

TEST_F(SimStreamsTest, TerminateFromInsideAGeneratedCallbackDoesNotDeadlock) {
  auto t = sim_trackers();
  terminate_calls = 0;
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze_terminating, nullptr), 0);
  ASSERT_TRUE(rec->gaze.wait_for(1));
  EXPECT_NE(rec->gaze.threads[0], std::this_thread::get_id());
  size_t count = 0;
  EXPECT_EQ(velto_find_all_eyetrackers(nullptr, 0, &count), VELTO_SIM_STATUS_NOT_INITIALIZED);
  ASSERT_EQ(velto_initialize(), 0);
  velto_gaze_data record{};
  EXPECT_EQ(velto_sim_emit(1, handle_value(t[0]), &record), 0);  // terminate dropped the subscription
}

TEST_F(SimStreamsTest, NoCallbackRunsAfterResetReturns) {
  auto t = sim_trackers();
  ASSERT_EQ(velto_set_gaze_output_frequency(t[0], 600.0f), 0);
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_time_synchronization_data(t[0], on_sync, nullptr), 0);
  ASSERT_TRUE(rec->gaze.wait_for(20));
  ASSERT_EQ(velto_sim_reset(), 0);
  const size_t at_reset = rec->gaze.size();
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(rec->gaze.size(), at_reset);
}

TEST_F(SimStreamsTest, GeneratedGazeIsPlausibleAndOnSchedule) {
  auto t = sim_trackers();
  velto_display_area area{};
  ASSERT_EQ(velto_get_display_area(t[0], &area), 0);
  ASSERT_EQ(velto_set_gaze_output_frequency(t[0], 120.0f), 0);
  int64_t before = 0;
  ASSERT_EQ(velto_get_system_time_stamp(&before), 0);
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze, reinterpret_cast<void*>(5)), 0);
  ASSERT_TRUE(rec->gaze.wait_for(60));
  ASSERT_EQ(velto_unsubscribe_from_gaze_data(t[0], on_gaze), 0);
  std::vector<velto_gaze_data> records = rec->gaze.records;
  EXPECT_NE(rec->gaze.threads[0], std::this_thread::get_id());
  EXPECT_EQ(rec->gaze.user_data[0], 5);
  EXPECT_GE(records[0].system_time_stamp, before);
  for (size_t i = 1; i < records.size(); ++i) {
    // Sample times lie on the 120 Hz grid (rounded to microseconds).
    EXPECT_NEAR(records[i].system_time_stamp - records[i - 1].system_time_stamp, 8333.3, 1.0);
  }
  size_t valid = 0;
  for (const velto_gaze_data& g : records) {
    // Device clock: a separate clock with a small offset.
    EXPECT_NEAR(g.device_time_stamp - g.system_time_stamp, 25000, 1000);
    for (const velto_eye_data* eye : {&g.left_eye, &g.right_eye}) {
      if (eye->pupil_validity == 1) {
        EXPECT_GE(eye->pupil_diameter, 2.0f);
        EXPECT_LE(eye->pupil_diameter, 8.0f);
      }
      if (eye->gaze_point_validity != 1) continue;
      ++valid;
      const velto_point2 p = eye->gaze_point_on_display_area;
      EXPECT_GT(p.x, -0.05f);
      EXPECT_LT(p.x, 1.05f);
      // The user-coordinate gaze point is the same point on the screen plane.
      const velto_point3 u = eye->gaze_point_in_user_coordinate_system;
      EXPECT_NEAR(u.x, area.top_left.x + p.x * area.width, 0.5);
      EXPECT_NEAR(u.y, area.top_left.y - p.y * area.height, 0.5);
      EXPECT_NEAR(u.z, 0.0f, 0.01);
      EXPECT_GT(eye->gaze_origin_in_user_coordinate_system.z, 500.0f);
      const velto_point3 box = eye->gaze_origin_in_trackbox_coordinate_system;
      EXPECT_TRUE(box.x > 0 && box.x < 1 && box.y > 0 && box.y < 1 && box.z > 0 && box.z < 1);
    }
    EXPECT_LT(g.left_eye.gaze_origin_in_user_coordinate_system.x,
              g.right_eye.gaze_origin_in_user_coordinate_system.x);
  }
  EXPECT_GT(valid, records.size());  // mostly both eyes
}

TEST_F(SimStreamsTest, TimeSyncExternalSignalAndEyeImagesAreGenerated) {
  auto t = sim_trackers();
  ASSERT_EQ(velto_subscribe_to_time_synchronization_data(t[0], on_sync, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_external_signal_data(t[0], on_signal, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_eye_image_as_gif(t[0], on_image, nullptr), 0);
  ASSERT_TRUE(rec->sync.wait_for(2));
  ASSERT_TRUE(rec->signal.wait_for(1));
  ASSERT_TRUE(rec->image.wait_for(1));
  velto_sim_reset();
  const auto& s = rec->sync.records[1];
  EXPECT_LE(s.system_request_time_stamp, s.system_response_time_stamp);
  EXPECT_NEAR(s.device_time_stamp - s.system_request_time_stamp, 25000, 1000);
  EXPECT_NEAR(rec->sync.records[1].system_request_time_stamp - rec->sync.records[0].system_request_time_stamp,
              250000, 50000);
  EXPECT_EQ(rec->signal.records[0].change_type, 1);  // the initial value comes first

  // The image is a GIF that giflib decodes: 64x48 gray with a dark pupil.
  const std::string gif = rec->image.texts[0];
  EXPECT_EQ(rec->image.records[0].image_size, gif.size());
  int width = 0, height = 0;
  std::vector<uint8_t> pixels;
  ASSERT_TRUE(decode_gray_gif(gif, &width, &height, &pixels));
  EXPECT_EQ(width, 64);
  EXPECT_EQ(height, 48);
  EXPECT_LT(*std::min_element(pixels.begin(), pixels.end()), 50);
  EXPECT_GT(*std::max_element(pixels.begin(), pixels.end()), 140);
}

TEST_F(SimStreamsTest, StateChangesNotifyOnALibraryThread) {
  auto t = quiet_world();
  ASSERT_EQ(velto_subscribe_to_notifications(t[0], on_note, reinterpret_cast<void*>(9)), 0);
  ASSERT_EQ(velto_set_gaze_output_frequency(t[0], 23.976f), 0);
  ASSERT_EQ(velto_set_gaze_output_frequency(t[0], 23.976f), 0);  // no change, no notification
  ASSERT_EQ(velto_screen_based_calibration_enter_calibration_mode(t[0]), 0);
  ASSERT_EQ(velto_screen_based_calibration_leave_calibration_mode(t[0]), 0);
  ASSERT_EQ(velto_screen_based_calibration_enter_calibration_mode(t[1]), 0);  // other tracker
  ASSERT_TRUE(rec->note.wait_for(3));
  std::this_thread::sleep_for(milliseconds(50));
  ASSERT_EQ(rec->note.size(), 3u);
  EXPECT_EQ(rec->note.records[0].notification_type, VELTO_NOTIFICATION_GAZE_OUTPUT_FREQUENCY_CHANGED);
  EXPECT_EQ(rec->note.records[0].value.gaze_output_frequency, 23.976f);
  EXPECT_EQ(rec->note.records[1].notification_type, 2);
  EXPECT_EQ(rec->note.records[2].notification_type, 3);
  EXPECT_EQ(rec->note.user_data[2], 9);
  EXPECT_NE(rec->note.threads[0], std::this_thread::get_id());
}

TEST_F(SimStreamsTest, ReportedStreamErrorsReachThatTrackersSubscribers) {
  auto t = quiet_world();
  ASSERT_EQ(velto_subscribe_to_stream_errors(t[0], on_error, nullptr), 0);
  ASSERT_EQ(velto_report_stream_error(t[1], "elsewhere"), 0);
  ASSERT_EQ(velto_report_stream_error(t[0], "bad frame"), 0);
  ASSERT_TRUE(rec->error.wait_for(1));
  EXPECT_EQ(rec->error.texts[0], "bad frame");
  EXPECT_EQ(rec->error.records[0].error, 4);
  EXPECT_EQ(rec->error.records[0].source, 0);
  EXPECT_EQ(velto_report_stream_error(t[0], nullptr), VELTO_SIM_STATUS_INVALID_ARGUMENT);
}

TEST_F(SimStreamsTest, LogCarriesLibraryMessagesAndEmittedOnes) {
  auto t = sim_trackers();
  ASSERT_EQ(velto_logging_subscribe(on_log), 0);
  ASSERT_EQ(velto_screen_based_calibration_enter_calibration_mode(t[0]), 0);
  ASSERT_TRUE(rec->log.wait_for(2));  // subscription started, calibration entered
  EXPECT_NE(rec->log.threads[0], std::this_thread::get_id());
  ASSERT_EQ(velto_logging_unsubscribe(), 0);
  const size_t before = rec->log.size();
  EXPECT_EQ(velto_sim_emit_log(1, 0, 4, "nobody"), 0);

  // A quiet world logs only what is emitted.
  auto q = quiet_world();
  ASSERT_EQ(velto_logging_subscribe(on_log), 0);
  ASSERT_EQ(velto_screen_based_calibration_enter_calibration_mode(q[0]), 0);
  EXPECT_EQ(velto_sim_emit_log(123, 2, 4, "emitted"), 1);
  EXPECT_EQ(rec->log.size(), before + 1);
  EXPECT_EQ(rec->log.records.back(), 123);
  EXPECT_EQ(rec->log.texts.back(), "emitted");
  EXPECT_EQ(rec->log.user_data.back(), 24);
}

const char kLabAddress[] = "velto-tcp://192.168.71.20";

TEST_F(SimStreamsTest, ACutConnectionIsReportedPausesTheStreamsAndComesBack) {
  auto t = sim_trackers();
  ASSERT_EQ(velto_set_gaze_output_frequency(t[0], 250.0f), 0);
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_notifications(t[0], on_note, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_stream_errors(t[0], on_error, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_external_signal_data(t[0], on_signal, nullptr), 0);
  ASSERT_TRUE(rec->gaze.wait_for(10));
  ASSERT_TRUE(rec->signal.wait_for(1));  // the initial value

  ASSERT_EQ(velto_sim_disconnect(kLabAddress), 0);
  EXPECT_EQ(velto_sim_connected(kLabAddress), 0);
  ASSERT_TRUE(rec->note.wait_for(1));
  ASSERT_TRUE(rec->error.wait_for(1));
  EXPECT_EQ(rec->note.records[0].notification_type, 0);  // connection lost
  EXPECT_NE(rec->note.threads[0], std::this_thread::get_id());
  EXPECT_EQ(rec->error.records[0].error, 0);   // connection lost
  EXPECT_EQ(rec->error.records[0].source, 1);  // stream pump
  EXPECT_EQ(rec->error.texts[0], std::string("connection lost: ") + kLabAddress);
  // Its handle answers "invalid handle", discovery does not list it; an
  // unsubscribe still works so that subscribers can clean up.
  int32_t mask = 0;
  EXPECT_EQ(velto_get_capabilities(t[0], &mask), VELTO_SIM_STATUS_INVALID_HANDLE);
  EXPECT_EQ(velto_subscribe_to_time_synchronization_data(t[0], on_sync, nullptr),
            VELTO_SIM_STATUS_INVALID_HANDLE);
  EXPECT_EQ(sim_trackers(), std::vector<velto_eyetracker*>{t[1]});
  velto_eyetracker* found = nullptr;
  EXPECT_EQ(velto_get_eyetracker(kLabAddress, &found), VELTO_SIM_STATUS_INVALID_HANDLE);
  EXPECT_EQ(velto_unsubscribe_from_time_synchronization_data(t[0], on_sync), 0);
  // The gaze stream stops (one sample already on its way may still arrive).
  std::this_thread::sleep_for(milliseconds(30));
  const size_t paused = rec->gaze.size();
  std::this_thread::sleep_for(milliseconds(150));
  EXPECT_EQ(rec->gaze.size(), paused);
  EXPECT_EQ(velto_sim_disconnect(kLabAddress), 0);  // already cut: no second notice
  EXPECT_EQ(velto_sim_disconnect("velto-sim://nowhere"), 1);
  EXPECT_EQ(velto_sim_connected("velto-sim://nowhere"), -1);

  ASSERT_EQ(velto_sim_reconnect(kLabAddress), 0);
  ASSERT_TRUE(rec->note.wait_for(2));
  ASSERT_TRUE(rec->signal.wait_for(2));
  ASSERT_TRUE(rec->gaze.wait_for(paused + 10));  // same handle, same subscription
  EXPECT_EQ(rec->note.size(), 2u);
  EXPECT_EQ(rec->error.size(), 1u);
  EXPECT_EQ(rec->note.records[1].notification_type, 1);  // connection restored
  EXPECT_EQ(rec->signal.records[1].change_type, 2);      // connection restored
  EXPECT_EQ(rec->signal.records[1].value, rec->signal.records[0].value);
  EXPECT_EQ(velto_get_capabilities(t[0], &mask), 0);
  EXPECT_EQ(sim_trackers(), t);
}

TEST_F(SimStreamsTest, AScheduledCutEndsByItself) {
  auto t = quiet_world();
  ASSERT_EQ(velto_subscribe_to_notifications(t[0], on_note, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_external_signal_data(t[0], on_signal, nullptr), 0);
  EXPECT_EQ(velto_sim_cut_connection(kLabAddress, -1, 1000), 1);
  EXPECT_EQ(velto_sim_cut_connection(kLabAddress, 0, 0), 1);
  EXPECT_EQ(velto_sim_cut_connection(kLabAddress, 0, -2), 1);
  EXPECT_EQ(velto_sim_cut_connection(nullptr, 0, -1), 1);
  int64_t before = 0;
  ASSERT_EQ(velto_get_system_time_stamp(&before), 0);
  ASSERT_EQ(velto_sim_cut_connection(kLabAddress, 50000, 100000), 0);
  EXPECT_EQ(velto_sim_connected(kLabAddress), 1);  // not yet
  ASSERT_TRUE(rec->note.wait_for(2));
  EXPECT_EQ(rec->note.records[0].notification_type, 0);
  EXPECT_EQ(rec->note.records[1].notification_type, 1);
  EXPECT_GE(rec->note.records[0].system_time_stamp, before + 50000);
  EXPECT_EQ(rec->note.records[1].system_time_stamp, rec->note.records[0].system_time_stamp + 100000);
  EXPECT_EQ(velto_sim_connected(kLabAddress), 1);
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(rec->signal.size(), 0u);  // a world that does not generate sends no signal record
}

TEST_F(SimStreamsTest, ATrackerLeftOutOfANewWorldTellsItsSubscribers) {
  auto t = quiet_world();
  ASSERT_EQ(velto_subscribe_to_notifications(t[0], on_note, reinterpret_cast<void*>(1)), 0);
  ASSERT_EQ(velto_subscribe_to_notifications(t[1], on_note, reinterpret_cast<void*>(2)), 0);
  ASSERT_EQ(velto_subscribe_to_stream_errors(t[0], on_error, nullptr), 0);
  // The second tracker stays (its address is in the new world), the first leaves.
  ASSERT_EQ(velto_sim_configure(
                R"({"generate": false, "trackers": [{"address": "velto-usb://VN2-0038-0921"}]})"),
            0);
  ASSERT_EQ(rec->note.size(), 1u);  // delivered before configure returned
  EXPECT_EQ(rec->note.user_data[0], 1);
  EXPECT_EQ(rec->note.records[0].notification_type, 0);
  EXPECT_EQ(rec->note.threads[0], std::this_thread::get_id());
  ASSERT_EQ(rec->error.size(), 1u);
  EXPECT_EQ(rec->error.records[0].error, 0);
  int32_t mask = 0;
  EXPECT_EQ(velto_get_capabilities(t[0], &mask), VELTO_SIM_STATUS_INVALID_HANDLE);
  // A tracker cut just before the new world has its queued notice delivered
  // before configure returns, once.
  auto staying = sim_trackers();
  ASSERT_EQ(staying.size(), 1u);
  ASSERT_EQ(velto_subscribe_to_notifications(staying[0], on_note, reinterpret_cast<void*>(3)), 0);
  ASSERT_EQ(velto_sim_disconnect("velto-usb://VN2-0038-0921"), 0);
  ASSERT_EQ(velto_sim_configure("{\"generate\": false, \"trackers\": []}"), 0);
  ASSERT_EQ(rec->note.size(), 2u);
  EXPECT_EQ(rec->note.user_data[1], 3);
  EXPECT_EQ(rec->note.records[1].notification_type, 0);
}

// A configured tracker's clock keys, and the position defaults (the default
// world's second tracker runs 7 120 us behind, so does a configured second one).
TEST_F(SimStreamsTest, ConfiguredClocksShowInTheTimeSyncStream) {
  ASSERT_EQ(velto_sim_configure(R"({"trackers": [{"address": "a"}, {"address": "b"},
      {"address": "c", "clock_offset_us": -3000000}]})"), 0);
  auto t = sim_trackers();
  for (velto_eyetracker* tracker : t) {
    ASSERT_EQ(velto_subscribe_to_time_synchronization_data(tracker, on_sync,
                                                           reinterpret_cast<void*>(tracker)), 0);
  }
  ASSERT_TRUE(rec->sync.wait_for(6));
  velto_sim_reset();
  for (size_t i = 0; i < rec->sync.size(); ++i) {
    const auto& s = rec->sync.records[i];
    const int64_t offset = s.device_time_stamp - (s.system_request_time_stamp + 200);
    const intptr_t who = rec->sync.user_data[i];
    const int64_t expected = who == handle_value(t[0]) ? 25000 : who == handle_value(t[1]) ? -7120 : -3000000;
    EXPECT_NEAR(offset, expected, 1000) << i;
  }
}

std::atomic<int> exit_callbacks;
void on_gaze_calling_in(const velto_gaze_data*, void*) {
  int32_t mask = 0;
  size_t count = 0;
  velto_find_all_eyetrackers(nullptr, 0, &count);
  velto_get_capabilities(nullptr, &mask);
  ++exit_callbacks;
}

TEST_F(SimStreamsTest, ProcessExitWithLiveStreamsAndCallsInFlightIsClean) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        auto t = sim_trackers();
        velto_set_gaze_output_frequency(t[0], 600.0f);
        velto_subscribe_to_gaze_data(t[0], on_gaze_calling_in, nullptr);
        velto_subscribe_to_eye_image_as_gif(t[0], on_image, nullptr);
        velto_logging_subscribe(on_log);
        // Another thread keeps calling into the library while the process exits.
        std::thread([] {
          for (;;) {
            size_t count = 0;
            velto_find_all_eyetrackers(nullptr, 0, &count);
            velto_report_stream_error(nullptr, "x");
          }
        }).detach();
        while (exit_callbacks < 50) std::this_thread::sleep_for(milliseconds(1));
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
