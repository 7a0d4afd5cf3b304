// The simulated device library's streams: subscription bookkeeping, delivery
// guarantees, generated records and the eye images' GIF encoding.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gif_lib.h>
#include <gtest/gtest.h>

#include "device/velto.h"
#include "velto_sim.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

std::vector<velto_eyetracker*> all_trackers() {
  size_t count = 0;
  EXPECT_EQ(velto_find_all_eyetrackers(nullptr, 0, &count), 0);
  std::vector<velto_eyetracker*> handles(count);
  EXPECT_EQ(velto_find_all_eyetrackers(handles.data(), count, &count), 0);
  return handles;
}

int64_t id(velto_eyetracker* t) { return static_cast<int64_t>(reinterpret_cast<intptr_t>(t)); }

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

Recorder<velto_gaze_data>* gaze_rec;
void on_gaze(const velto_gaze_data* d, void* u) { gaze_rec->add(*d, u); }
void on_gaze_other(const velto_gaze_data* d, void* u) { gaze_rec->add(*d, u); }

Recorder<velto_notification>* note_rec;
void on_note(const velto_notification* d, void* u) { note_rec->add(*d, u); }

Recorder<velto_stream_error_data>* error_rec;
void on_error(const velto_stream_error_data* d, void* u) { error_rec->add(*d, u, d->message); }

Recorder<velto_time_synchronization_data>* sync_rec;
void on_sync(const velto_time_synchronization_data* d, void* u) { sync_rec->add(*d, u); }

Recorder<velto_external_signal_data>* signal_rec;
void on_signal(const velto_external_signal_data* d, void* u) { signal_rec->add(*d, u); }

Recorder<velto_eye_image>* image_rec;
void on_image(const velto_eye_image* d, void* u) {
  image_rec->add(*d, u, std::string(static_cast<const char*>(d->image_data), d->image_size));
}

Recorder<int64_t>* log_rec;
void on_log(int64_t stamp, int32_t source, int32_t level, const char* message) {
  log_rec->add(stamp, reinterpret_cast<void*>(static_cast<intptr_t>(source * 10 + level)), message);
}

class SimStreamsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(velto_sim_reset(), 0);
    gaze_rec = new Recorder<velto_gaze_data>();
    note_rec = new Recorder<velto_notification>();
    error_rec = new Recorder<velto_stream_error_data>();
    sync_rec = new Recorder<velto_time_synchronization_data>();
    signal_rec = new Recorder<velto_external_signal_data>();
    image_rec = new Recorder<velto_eye_image>();
    log_rec = new Recorder<int64_t>();
  }
  void TearDown() override {
    // Reset returns only when no callback runs any more.
    velto_sim_reset();
    delete gaze_rec;
    delete note_rec;
    delete error_rec;
    delete sync_rec;
    delete signal_rec;
    delete image_rec;
    delete log_rec;
  }
  // The default trackers without generation threads.
  std::vector<velto_eyetracker*> quiet_world() {
    EXPECT_EQ(velto_sim_configure("{\"generate\": false}"), 0);
    return all_trackers();
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
  EXPECT_EQ(velto_sim_emit(1, id(t[0]), &record), 3);
  EXPECT_EQ(gaze_rec->user_data, (std::vector<intptr_t>{1, 2, 3}));
  EXPECT_EQ(gaze_rec->records[0].device_time_stamp, 77);
  EXPECT_EQ(gaze_rec->threads[0], std::this_thread::get_id());  // synchronous
  EXPECT_EQ(velto_sim_emit(2, id(t[0]), &record), 0);  // another stream
  EXPECT_EQ(velto_sim_emit(1, 12345, &record), 0);    // no such tracker
  EXPECT_EQ(velto_sim_emit(7, id(t[0]), &record), -1);
  EXPECT_EQ(velto_sim_emit(1, id(t[0]), nullptr), -1);

  // Unsubscribing a callback removes all of its subscriptions, only those.
  ASSERT_EQ(velto_unsubscribe_from_gaze_data(t[0], on_gaze), 0);
  EXPECT_EQ(velto_sim_emit(1, id(t[0]), &record), 1);
  EXPECT_EQ(velto_sim_emit_burst(1, id(t[0]), &record, 1000), 1000);
  EXPECT_EQ(velto_sim_emit_burst(1, id(t[1]), &record, 3), 3);
  ASSERT_EQ(velto_unsubscribe_from_gaze_data(t[0], on_gaze_other), 0);
  EXPECT_EQ(velto_sim_emit(1, id(t[0]), &record), 0);
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
  EXPECT_EQ(velto_sim_emit_burst(1, id(t[0]), &record, 100), 110);
  EXPECT_EQ(g_burst_calls, 10);
  EXPECT_EQ(g_burst_other_calls, 100);
  EXPECT_EQ(velto_sim_emit_burst(1, id(t[0]), &record, 5), 5);
  EXPECT_EQ(velto_sim_emit_burst(7, id(t[0]), &record, 5), -1);
  EXPECT_EQ(velto_sim_emit_burst(1, id(t[0]), nullptr, 5), -1);
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
  EXPECT_EQ(velto_sim_emit(5, id(t[0]), &n), 0);  // nothing was subscribed
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
  std::thread emitter([&] { velto_sim_emit(1, id(t[0]), &record); });
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
  EXPECT_EQ(velto_sim_emit(1, id(t[0]), &record), 0);
}

velto_eyetracker* self_tracker;
void on_gaze_unsubscribing(const velto_gaze_data* d, void* u) {
  gaze_rec->add(*d, u);
  // From inside its own callback: must not wait for itself.
  EXPECT_EQ(velto_unsubscribe_from_gaze_data(self_tracker, on_gaze_unsubscribing), 0);
}

TEST_F(SimStreamsTest, UnsubscribeFromInsideItsOwnCallbackReturns) {
  auto t = quiet_world();
  self_tracker = t[0];
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze_unsubscribing, nullptr), 0);
  velto_gaze_data record{};
  EXPECT_EQ(velto_sim_emit(1, id(t[0]), &record), 1);
  EXPECT_EQ(velto_sim_emit(1, id(t[0]), &record), 0);
}

std::atomic<int> terminate_calls;
void on_gaze_terminating(const velto_gaze_data* d, void* u) {
  if (terminate_calls++ == 0) {
    // On the library's own generation thread: terminate joins every other
    // thread and must not join this one.
    EXPECT_EQ(velto_terminate(), 0);
    gaze_rec->add(*d, u);
  }
}

TEST_F(SimStreamsTest, TerminateFromInsideAGeneratedCallbackDoesNotDeadlock) {
  auto t = all_trackers();
  terminate_calls = 0;
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze_terminating, nullptr), 0);
  ASSERT_TRUE(gaze_rec->wait_for(1));
  EXPECT_NE(gaze_rec->threads[0], std::this_thread::get_id());
  size_t count = 0;
  EXPECT_EQ(velto_find_all_eyetrackers(nullptr, 0, &count), VELTO_SIM_STATUS_NOT_INITIALIZED);
  ASSERT_EQ(velto_initialize(), 0);
  velto_gaze_data record{};
  EXPECT_EQ(velto_sim_emit(1, id(t[0]), &record), 0);  // terminate dropped the subscription
}

TEST_F(SimStreamsTest, NoCallbackRunsAfterResetReturns) {
  auto t = all_trackers();
  ASSERT_EQ(velto_set_gaze_output_frequency(t[0], 600.0f), 0);
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_time_synchronization_data(t[0], on_sync, nullptr), 0);
  ASSERT_TRUE(gaze_rec->wait_for(20));
  ASSERT_EQ(velto_sim_reset(), 0);
  const size_t at_reset = gaze_rec->size();
  std::this_thread::sleep_for(milliseconds(100));
  EXPECT_EQ(gaze_rec->size(), at_reset);
}

TEST_F(SimStreamsTest, GeneratedGazeIsPlausibleAndOnSchedule) {
  auto t = all_trackers();
  velto_display_area area{};
  ASSERT_EQ(velto_get_display_area(t[0], &area), 0);
  ASSERT_EQ(velto_set_gaze_output_frequency(t[0], 120.0f), 0);
  int64_t before = 0;
  ASSERT_EQ(velto_get_system_time_stamp(&before), 0);
  ASSERT_EQ(velto_subscribe_to_gaze_data(t[0], on_gaze, reinterpret_cast<void*>(5)), 0);
  ASSERT_TRUE(gaze_rec->wait_for(60));
  ASSERT_EQ(velto_unsubscribe_from_gaze_data(t[0], on_gaze), 0);
  std::vector<velto_gaze_data> records = gaze_rec->records;
  EXPECT_NE(gaze_rec->threads[0], std::this_thread::get_id());
  EXPECT_EQ(gaze_rec->user_data[0], 5);
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
  auto t = all_trackers();
  ASSERT_EQ(velto_subscribe_to_time_synchronization_data(t[0], on_sync, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_external_signal_data(t[0], on_signal, nullptr), 0);
  ASSERT_EQ(velto_subscribe_to_eye_image_as_gif(t[0], on_image, nullptr), 0);
  ASSERT_TRUE(sync_rec->wait_for(2));
  ASSERT_TRUE(signal_rec->wait_for(1));
  ASSERT_TRUE(image_rec->wait_for(1));
  velto_sim_reset();
  const auto& s = sync_rec->records[1];
  EXPECT_LE(s.system_request_time_stamp, s.system_response_time_stamp);
  EXPECT_NEAR(s.device_time_stamp - s.system_request_time_stamp, 25000, 1000);
  EXPECT_NEAR(sync_rec->records[1].system_request_time_stamp - sync_rec->records[0].system_request_time_stamp,
              250000, 50000);
  EXPECT_EQ(signal_rec->records[0].change_type, 1);  // the initial value comes first

  // The image is a GIF that giflib decodes: 64x48 gray with a dark pupil.
  const std::string gif = image_rec->texts[0];
  EXPECT_EQ(image_rec->records[0].image_size, gif.size());
  ASSERT_EQ(gif.compare(0, 6, "GIF89a") == 0 || gif.compare(0, 6, "GIF87a") == 0, true);
  struct Reader {
    const std::string* data;
    size_t pos;
  } reader{&gif, 0};
  auto read = [](GifFileType* f, GifByteType* out, int n) -> int {
    Reader* r = static_cast<Reader*>(f->UserData);
    int k = static_cast<int>(std::min<size_t>(n, r->data->size() - r->pos));
    std::memcpy(out, r->data->data() + r->pos, k);
    r->pos += k;
    return k;
  };
  int error = 0;
  GifFileType* f = DGifOpen(&reader, read, &error);
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(DGifSlurp(f), GIF_OK);
  EXPECT_EQ(f->SWidth, 64);
  EXPECT_EQ(f->SHeight, 48);
  ASSERT_EQ(f->ImageCount, 1);
  const ColorMapObject* map = f->SColorMap;
  ASSERT_NE(map, nullptr);
  int darkest = 255, brightest = 0;
  for (int i = 0; i < 64 * 48; ++i) {
    const GifColorType c = map->Colors[f->SavedImages[0].RasterBits[i]];
    EXPECT_EQ(c.Red, c.Blue);  // gray
    darkest = std::min<int>(darkest, c.Red);
    brightest = std::max<int>(brightest, c.Red);
  }
  EXPECT_LT(darkest, 50);
  EXPECT_GT(brightest, 140);
  DGifCloseFile(f, &error);
}

TEST_F(SimStreamsTest, StateChangesNotifyOnALibraryThread) {
  auto t = quiet_world();
  ASSERT_EQ(velto_subscribe_to_notifications(t[0], on_note, reinterpret_cast<void*>(9)), 0);
  ASSERT_EQ(velto_set_gaze_output_frequency(t[0], 23.976f), 0);
  ASSERT_EQ(velto_set_gaze_output_frequency(t[0], 23.976f), 0);  // no change, no notification
  ASSERT_EQ(velto_screen_based_calibration_enter_calibration_mode(t[0]), 0);
  ASSERT_EQ(velto_screen_based_calibration_leave_calibration_mode(t[0]), 0);
  ASSERT_EQ(velto_screen_based_calibration_enter_calibration_mode(t[1]), 0);  // other tracker
  ASSERT_TRUE(note_rec->wait_for(3));
  std::this_thread::sleep_for(milliseconds(50));
  ASSERT_EQ(note_rec->size(), 3u);
  EXPECT_EQ(note_rec->records[0].notification_type, VELTO_NOTIFICATION_GAZE_OUTPUT_FREQUENCY_CHANGED);
  EXPECT_EQ(note_rec->records[0].value.gaze_output_frequency, 23.976f);
  EXPECT_EQ(note_rec->records[1].notification_type, 2);
  EXPECT_EQ(note_rec->records[2].notification_type, 3);
  EXPECT_EQ(note_rec->user_data[2], 9);
  EXPECT_NE(note_rec->threads[0], std::this_thread::get_id());
}

TEST_F(SimStreamsTest, ReportedStreamErrorsReachThatTrackersSubscribers) {
  auto t = quiet_world();
  ASSERT_EQ(velto_subscribe_to_stream_errors(t[0], on_error, nullptr), 0);
  ASSERT_EQ(velto_report_stream_error(t[1], "elsewhere"), 0);
  ASSERT_EQ(velto_report_stream_error(t[0], "bad frame"), 0);
  ASSERT_TRUE(error_rec->wait_for(1));
  EXPECT_EQ(error_rec->texts[0], "bad frame");
  EXPECT_EQ(error_rec->records[0].error, 4);
  EXPECT_EQ(error_rec->records[0].source, 0);
  EXPECT_EQ(velto_report_stream_error(t[0], nullptr), VELTO_SIM_STATUS_INVALID_ARGUMENT);
}

TEST_F(SimStreamsTest, LogCarriesLibraryMessagesAndEmittedOnes) {
  auto t = all_trackers();
  ASSERT_EQ(velto_logging_subscribe(on_log), 0);
  ASSERT_EQ(velto_screen_based_calibration_enter_calibration_mode(t[0]), 0);
  ASSERT_TRUE(log_rec->wait_for(2));  // subscription started, calibration entered
  EXPECT_NE(log_rec->threads[0], std::this_thread::get_id());
  ASSERT_EQ(velto_logging_unsubscribe(), 0);
  const size_t before = log_rec->size();
  EXPECT_EQ(velto_sim_emit_log(1, 0, 4, "nobody"), 0);

  // A quiet world logs only what is emitted.
  auto q = quiet_world();
  ASSERT_EQ(velto_logging_subscribe(on_log), 0);
  ASSERT_EQ(velto_screen_based_calibration_enter_calibration_mode(q[0]), 0);
  EXPECT_EQ(velto_sim_emit_log(123, 2, 4, "emitted"), 1);
  EXPECT_EQ(log_rec->size(), before + 1);
  EXPECT_EQ(log_rec->records.back(), 123);
  EXPECT_EQ(log_rec->texts.back(), "emitted");
  EXPECT_EQ(log_rec->user_data.back(), 24);
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
        auto t = all_trackers();
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
