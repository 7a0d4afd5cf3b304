// The simulated device library without streams: lifecycle, discovery,
// settings, calibration, the control interface (world, fault rules, call log).
#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/velto.h"
#include "sim_json.h"
#include "test_support.h"
#include "velto_sim.h"

namespace {

using velto_sim::JsonValue;

std::string property(velto_eyetracker* t, int index) {
  char buffer[VELTO_PROPERTY_BUFFER_SIZE];
  std::memset(buffer, 'x', sizeof buffer);
  EXPECT_EQ(velto_get_property(t, index, buffer), 0);
  return std::string(buffer);
}

// The call log, read with the simulator's own JSON reader (the Python suites
// read it with Python's json module).
JsonValue call_log() {
  JsonValue log;
  std::string error;
  EXPECT_TRUE(velto_sim::json_parse(sim_call_log().c_str(), &log, &error)) << error;
  return log;
}

// Member `key` of call log entry `i` (a null value when absent).
const JsonValue& entry(const JsonValue& log, size_t i, const char* key) {
  static const JsonValue kAbsent;
  const JsonValue* v = velto_sim::json_member(log.items.at(i), key);
  return v ? *v : kAbsent;
}

velto_eyetracker* bogus_handle() { return reinterpret_cast<velto_eyetracker*>(0x1234); }

class SimDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(velto_sim_reset(), 0); }
  void TearDown() override { velto_sim_reset(); }
};

TEST_F(SimDeviceTest, LifecycleGatesEveryDeviceFunction) {
  ASSERT_EQ(velto_terminate(), 0);
  size_t count = 0;
  velto_eyetracker* t = nullptr;
  float frequency = 0;
  EXPECT_EQ(velto_find_all_eyetrackers(nullptr, 0, &count), VELTO_SIM_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(velto_get_eyetracker("velto-tcp://192.168.71.20", &t), VELTO_SIM_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(velto_get_gaze_output_frequency(bogus_handle(), &frequency), VELTO_SIM_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(velto_terminate(), VELTO_SIM_STATUS_NOT_INITIALIZED);
  // Versions and the clock answer without initialisation.
  velto_version v{};
  int64_t stamp = 0;
  EXPECT_EQ(velto_get_sdk_version(&v), 0);
  EXPECT_EQ(v.major, 1);
  EXPECT_EQ(v.build, 1187);
  EXPECT_EQ(velto_get_kelmo_api_version(&v), 0);
  EXPECT_EQ(v.major, 3);
  EXPECT_EQ(velto_get_system_time_stamp(&stamp), 0);
  EXPECT_GT(stamp, 0);
  ASSERT_EQ(velto_initialize(), 0);
  EXPECT_EQ(velto_initialize(), 0);
  EXPECT_EQ(sim_trackers().size(), 2u);
  // Reset leaves the library initialised even after a terminate.
  ASSERT_EQ(velto_terminate(), 0);
  ASSERT_EQ(velto_sim_reset(), 0);
  EXPECT_EQ(sim_trackers().size(), 2u);
}

TEST_F(SimDeviceTest, DiscoveryFollowsTheSizeQueryPattern) {
  size_t count = 99;
  ASSERT_EQ(velto_find_all_eyetrackers(nullptr, 0, &count), 0);
  ASSERT_EQ(count, 2u);
  velto_eyetracker* one[1] = {nullptr};
  EXPECT_EQ(velto_find_all_eyetrackers(one, 1, &count), VELTO_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 1u);
  EXPECT_NE(one[0], nullptr);
  velto_eyetracker* three[3] = {nullptr, nullptr, nullptr};
  EXPECT_EQ(velto_find_all_eyetrackers(three, 3, &count), 0);
  EXPECT_EQ(count, 2u);
  EXPECT_EQ(three[0], one[0]);
  EXPECT_NE(three[0], three[1]);
  EXPECT_EQ(three[2], nullptr);
  EXPECT_EQ(velto_find_all_eyetrackers(nullptr, 3, &count), VELTO_SIM_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(velto_find_all_eyetrackers(three, 3, nullptr), VELTO_SIM_STATUS_INVALID_ARGUMENT);

  velto_eyetracker* found = nullptr;
  EXPECT_EQ(velto_get_eyetracker("velto-usb://VN2-0038-0921", &found), 0);
  EXPECT_EQ(found, three[1]);
  EXPECT_EQ(velto_get_eyetracker("velto-usb://nothing", &found), VELTO_SIM_STATUS_INVALID_HANDLE);
}

// The default world's properties and capabilities are test_discovery's; the
// refusals are the simulator's own.
TEST_F(SimDeviceTest, PropertyIndexAndHandleAreChecked) {
  velto_eyetracker* t = sim_trackers()[0];
  char buffer[VELTO_PROPERTY_BUFFER_SIZE];
  int32_t mask = -1;
  EXPECT_EQ(velto_get_property(t, 5, buffer), VELTO_SIM_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(velto_get_property(t, -1, buffer), VELTO_SIM_STATUS_INVALID_ARGUMENT);
  // Unknown and null handles are looked up, never dereferenced.
  EXPECT_EQ(velto_get_property(bogus_handle(), 0, buffer), VELTO_SIM_STATUS_INVALID_HANDLE);
  EXPECT_EQ(velto_get_property(nullptr, 0, buffer), VELTO_SIM_STATUS_INVALID_HANDLE);
  EXPECT_EQ(velto_get_capabilities(bogus_handle(), &mask), VELTO_SIM_STATUS_INVALID_HANDLE);
}

TEST_F(SimDeviceTest, HandlesAreNeverReusedAcrossWorlds) {
  auto before = sim_trackers();
  ASSERT_EQ(velto_sim_reset(), 0);
  auto after = sim_trackers();
  ASSERT_EQ(velto_sim_configure("{}"), 0);
  auto configured = sim_trackers();
  for (velto_eyetracker* old : before) {
    int32_t mask = 0;
    EXPECT_EQ(velto_get_capabilities(old, &mask), VELTO_SIM_STATUS_INVALID_HANDLE);
    for (velto_eyetracker* h : after) EXPECT_NE(old, h);
    for (velto_eyetracker* h : configured) EXPECT_NE(old, h);
  }
  for (velto_eyetracker* a : after) {
    for (velto_eyetracker* c : configured) EXPECT_NE(a, c);
  }
}

// The lists themselves are test_settings'; the pattern is the simulator's.
TEST_F(SimDeviceTest, FrequenciesAndModesUseGuessAndRetry) {
  velto_eyetracker* t = sim_trackers()[0];
  float freqs[8];
  std::fill(freqs, freqs + 8, -1.0f);
  int32_t count = 0;
  EXPECT_EQ(velto_get_all_gaze_output_frequencies(t, freqs, 4, &count), VELTO_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 7);
  EXPECT_EQ(freqs[0], -1.0f);  // nothing written on a refusal
  EXPECT_EQ(velto_get_all_gaze_output_frequencies(t, freqs, 6, &count), VELTO_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(velto_get_all_gaze_output_frequencies(t, freqs, 7, &count), 0);
  EXPECT_EQ(count, 7);
  EXPECT_EQ(freqs[6], 1200.0f);
  char modes[8][VELTO_MODE_NAME_SIZE];
  EXPECT_EQ(velto_get_all_eye_tracking_modes(t, modes, 3, &count), VELTO_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(velto_get_all_eye_tracking_modes(t, modes, 5, &count), 0);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(velto_get_all_eye_tracking_modes(t, modes, -1, &count), VELTO_SIM_STATUS_INVALID_ARGUMENT);
}

// Setting and reading back through the module is test_settings'; the limits
// of each value are the simulator's own.
TEST_F(SimDeviceTest, SettersKeepToTheTrackersOffersAndLimits) {
  auto t = sim_trackers();
  EXPECT_EQ(velto_set_gaze_output_frequency(t[1], 120.0f), VELTO_SIM_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(velto_set_eye_tracking_mode(t[1], "Infant"), VELTO_SIM_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(velto_set_device_name(t[0], ""), VELTO_SIM_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(velto_set_device_name(t[0], std::string(128, 'n').c_str()),
            VELTO_SIM_STATUS_INVALID_ARGUMENT);
  EXPECT_EQ(velto_set_device_name(t[0], nullptr), VELTO_SIM_STATUS_INVALID_ARGUMENT);
  const std::string longest(127, 'n');
  EXPECT_EQ(velto_set_device_name(t[0], longest.c_str()), 0);
  EXPECT_EQ(property(t[0], VELTO_PROPERTY_DEVICE_NAME), longest);
  EXPECT_EQ(velto_set_device_name(bogus_handle(), "x"), VELTO_SIM_STATUS_INVALID_HANDLE);
}

TEST_F(SimDeviceTest, DisplayAreaIsA24InchWideScreenAboveTheTracker) {
  auto t = sim_trackers();
  velto_display_area a{};
  ASSERT_EQ(velto_get_display_area(t[0], &a), 0);
  EXPECT_NEAR(std::hypot(a.width, a.height), 609.6, 1.0);  // 24 inches in mm
  EXPECT_NEAR(a.width / a.height, 16.0 / 9.0, 0.01);
  EXPECT_NEAR(a.bottom_right.x - a.bottom_left.x, a.width, 0.01);
  EXPECT_NEAR(a.top_left.y - a.bottom_left.y, a.height, 0.01);
  EXPECT_GT(a.bottom_left.y, 0.0f);  // the screen stands above the tracker
  velto_track_box b{};
  ASSERT_EQ(velto_get_track_box(t[0], &b), 0);
  EXPECT_GT(b.back_lower_left.z, b.front_lower_left.z);
  EXPECT_LT(b.front_lower_left.x, b.front_lower_right.x);
  EXPECT_EQ(velto_get_track_box(bogus_handle(), &b), VELTO_SIM_STATUS_INVALID_HANDLE);
}

// A whole calibration through the module (collect before entering, leave
// twice, the points' positions, the data applied to the other tracker) is
// test_calibration's; the other refusals and the samples are checked here.
TEST_F(SimDeviceTest, CalibrationStateMachine) {
  velto_eyetracker* t = sim_trackers()[0];
  size_t count = 99;
  EXPECT_EQ(velto_screen_based_calibration_discard_data(t, 0.5f, 0.5f), VELTO_SIM_STATUS_NOT_IN_CALIBRATION_MODE);
  EXPECT_EQ(velto_screen_based_calibration_compute_and_apply(t), VELTO_SIM_STATUS_NOT_IN_CALIBRATION_MODE);
  ASSERT_EQ(velto_screen_based_calibration_enter_calibration_mode(t), 0);
  EXPECT_EQ(velto_screen_based_calibration_enter_calibration_mode(t), VELTO_SIM_STATUS_ALREADY_IN_CALIBRATION_MODE);
  EXPECT_EQ(velto_screen_based_calibration_compute_and_apply(t), VELTO_SIM_STATUS_NO_DATA);
  EXPECT_EQ(velto_screen_based_calibration_collect_data(t, NAN, 0.5f), VELTO_SIM_STATUS_INVALID_ARGUMENT);
  ASSERT_EQ(velto_screen_based_calibration_collect_data(t, 0.1f, 0.1f), 0);
  ASSERT_EQ(velto_screen_based_calibration_collect_data(t, 0.9f, 0.1f), 0);
  ASSERT_EQ(velto_screen_based_calibration_collect_data(t, 0.5f, 0.9f), 0);
  ASSERT_EQ(velto_screen_based_calibration_discard_data(t, 0.9f, 0.1f), 0);

  ASSERT_EQ(velto_screen_based_calibration_get_calibration_points(t, nullptr, 0, &count), 0);
  ASSERT_EQ(count, 2u);
  velto_calibration_point points[2];
  EXPECT_EQ(velto_screen_based_calibration_get_calibration_points(t, points, 1, &count), VELTO_STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(count, 1u);
  ASSERT_EQ(velto_screen_based_calibration_get_calibration_points(t, points, 2, &count), 0);
  for (const auto& p : points) {
    EXPECT_NEAR(p.left_sample_position.x, p.position.x, 0.05);
    EXPECT_NEAR(p.right_sample_position.y, p.position.y, 0.05);
    EXPECT_TRUE(p.left_validity == 0 || p.left_validity == 1);
  }

  ASSERT_EQ(velto_screen_based_calibration_compute_and_apply(t), 0);
  ASSERT_EQ(velto_screen_based_calibration_leave_calibration_mode(t), 0);
  // The session's points stay readable after leaving.
  EXPECT_EQ(velto_screen_based_calibration_get_calibration_points(t, nullptr, 0, &count), 0);
  EXPECT_EQ(count, 2u);
}

TEST_F(SimDeviceTest, CalibrationDataDamageIsRejected) {
  velto_eyetracker* t = sim_trackers()[0];
  ASSERT_EQ(velto_screen_based_calibration_enter_calibration_mode(t), 0);
  ASSERT_EQ(velto_screen_based_calibration_collect_data(t, 0.3f, 0.7f), 0);
  ASSERT_EQ(velto_screen_based_calibration_compute_and_apply(t), 0);
  ASSERT_EQ(velto_screen_based_calibration_leave_calibration_mode(t), 0);
  size_t size = 0;
  ASSERT_EQ(velto_retrieve_calibration_data(t, nullptr, 0, &size), 0);
  ASSERT_GT(size, 16u);
  std::vector<uint8_t> block(size);
  EXPECT_EQ(velto_retrieve_calibration_data(t, block.data(), size - 1, &size), VELTO_STATUS_BUFFER_TOO_SMALL);
  ASSERT_EQ(velto_retrieve_calibration_data(t, block.data(), block.size(), &size), 0);
  ASSERT_EQ(size, block.size());
  EXPECT_NE(std::find(block.begin(), block.end(), 0), block.end());  // binary, with NUL bytes
  EXPECT_EQ(velto_apply_calibration_data(t, block.data(), block.size()), 0);

  std::vector<uint8_t> bad = block;
  bad[0] ^= 0xFF;  // magic
  EXPECT_EQ(velto_apply_calibration_data(t, bad.data(), bad.size()), VELTO_SIM_STATUS_OPERATION_FAILED);
  bad = block;
  bad[block.size() / 2] ^= 0x01;  // payload: checksum no longer matches
  EXPECT_EQ(velto_apply_calibration_data(t, bad.data(), bad.size()), VELTO_SIM_STATUS_OPERATION_FAILED);
  EXPECT_EQ(velto_apply_calibration_data(t, block.data(), block.size() - 1), VELTO_SIM_STATUS_OPERATION_FAILED);
  bad = block;
  bad.push_back(0);  // trailing byte: length no longer matches
  EXPECT_EQ(velto_apply_calibration_data(t, bad.data(), bad.size()), VELTO_SIM_STATUS_OPERATION_FAILED);
  EXPECT_EQ(velto_apply_calibration_data(t, block.data(), 0), VELTO_SIM_STATUS_OPERATION_FAILED);
  EXPECT_EQ(velto_apply_calibration_data(t, nullptr, 10), VELTO_SIM_STATUS_INVALID_ARGUMENT);
}

TEST_F(SimDeviceTest, FaultRulesSkipThenFailThenExpire) {
  velto_eyetracker* t = sim_trackers()[0];
  int32_t mask = 0;
  ASSERT_EQ(velto_sim_fail("velto_get_capabilities", 42, 1, 2), 0);
  EXPECT_EQ(velto_get_capabilities(t, &mask), 0);
  EXPECT_EQ(velto_get_capabilities(t, &mask), 42);
  EXPECT_EQ(velto_get_capabilities(t, &mask), 42);
  EXPECT_EQ(velto_get_capabilities(t, &mask), 0);

  // A firing rule does nothing else: the frequency stays.
  ASSERT_EQ(velto_sim_fail("velto_set_gaze_output_frequency", 9, 0, -1), 0);
  EXPECT_EQ(velto_set_gaze_output_frequency(t, 120.0f), 9);
  EXPECT_EQ(velto_set_gaze_output_frequency(t, 120.0f), 9);
  float frequency = 0;
  EXPECT_EQ(velto_get_gaze_output_frequency(t, &frequency), 0);
  EXPECT_EQ(frequency, 60.0f);
  ASSERT_EQ(velto_sim_fail("velto_set_gaze_output_frequency", 9, 0, 0), 0);  // cleared
  EXPECT_EQ(velto_set_gaze_output_frequency(t, 120.0f), 0);

  // Lifecycle functions can fail too.
  ASSERT_EQ(velto_sim_fail("velto_initialize", 3, 0, 1), 0);
  ASSERT_EQ(velto_terminate(), 0);
  EXPECT_EQ(velto_initialize(), 3);
  EXPECT_EQ(velto_get_capabilities(t, &mask), VELTO_SIM_STATUS_NOT_INITIALIZED);
  EXPECT_EQ(velto_initialize(), 0);

  EXPECT_NE(velto_sim_fail("velto_no_such_function", 1, 0, 1), 0);
  EXPECT_NE(std::string(velto_sim_last_error()), "");
  EXPECT_NE(velto_sim_fail("velto_sim_reset", 1, 0, 1), 0);
  EXPECT_NE(velto_sim_fail("velto_get_capabilities", 1, 0, -2), 0);
  // Reset removes every rule.
  ASSERT_EQ(velto_sim_fail("velto_get_capabilities", 5, 0, -1), 0);
  ASSERT_EQ(velto_sim_reset(), 0);
  EXPECT_EQ(velto_get_capabilities(sim_trackers()[0], &mask), 0);
}

TEST_F(SimDeviceTest, CallLogRecordsScalarArguments) {
  velto_eyetracker* t = sim_trackers()[0];
  velto_sim_clear_calls();
  char buffer[VELTO_PROPERTY_BUFFER_SIZE];
  velto_get_property(t, 3, buffer);
  velto_set_gaze_output_frequency(t, 23.976f);
  velto_set_device_name(t, "quote \" and \\ backslash");
  velto_screen_based_calibration_collect_data(t, 0.25f, 0.75f);
  velto_apply_calibration_data(t, reinterpret_cast<const uint8_t*>("abc"), 3);
  velto_sim_fail("velto_get_capabilities", 4, 0, 1);
  int32_t mask;
  velto_get_capabilities(t, &mask);  // a failed call is logged as well
  const JsonValue log = call_log();
  ASSERT_EQ(log.items.size(), 6u);
  EXPECT_EQ(entry(log, 0, "function").text, "velto_get_property");
  EXPECT_EQ(entry(log, 0, "handle").integer, handle_value(t));
  EXPECT_EQ(entry(log, 0, "index").integer, 3);
  EXPECT_EQ(entry(log, 1, "frequency").number, static_cast<double>(23.976f));
  EXPECT_EQ(entry(log, 2, "text").text, "quote \" and \\ backslash");
  EXPECT_EQ(entry(log, 3, "x").number, 0.25);
  EXPECT_EQ(entry(log, 3, "y").number, 0.75);
  EXPECT_EQ(entry(log, 4, "length").integer, 3);
  EXPECT_EQ(entry(log, 5, "function").text, "velto_get_capabilities");

  // The text is cut to the buffer, NUL-terminated, and the full length returned.
  const size_t full = velto_sim_calls(nullptr, 0);
  char small[8];
  EXPECT_EQ(velto_sim_calls(small, sizeof small), full);
  EXPECT_EQ(std::string(small), "[{\"func");
  velto_sim_clear_calls();
  EXPECT_EQ(call_log().items.size(), 0u);
  EXPECT_EQ(velto_sim_calls(nullptr, 0), 2u);
}

TEST_F(SimDeviceTest, CallLogKeepsTheLatestHundredThousandCalls) {
  int64_t stamp;
  for (int i = 0; i < 100005; ++i) velto_get_system_time_stamp(&stamp);
  velto_get_sdk_version(nullptr);
  const JsonValue log = call_log();
  ASSERT_EQ(log.items.size(), 100000u);
  EXPECT_EQ(entry(log, log.items.size() - 1, "function").text, "velto_get_sdk_version");
}

TEST_F(SimDeviceTest, ConfigureReplacesTheWorldOrChangesNothing) {
  auto before = sim_trackers();
  const char* refused[] = {
      "{",                                                   // malformed
      "[]",                                                  // not an object
      "{\"colour\": 1}",                                     // unknown key
      "{\"generate\": 1}",                                   // wrong type
      "{\"trackers\": [{\"address\": 5}]}",                  // wrong type
      "{\"trackers\": [{\"gaze_output_frequencies\": [30], \"gaze_output_frequency\": 60}]}",
      "{\"trackers\": [{\"eye_tracking_modes\": []}]}",
      "{\"trackers\": [{\"calibration_data\": \"0g\"}]}",
      "{\"trackers\": [{\"address\": \"a\"}, {\"address\": \"a\"}]}",
      "{\"trackers\": [{\"display_area\": {\"centre\": [0, 0, 0]}}]}",
      "{\"sdk_version\": [1, 2, 3]}",
      "{\"sdk_version\": [1, 2, 3, 4294967296]}",
      "{\"kelmo_version\": [1, 2, 3, 18446744073709551615]}",
  };
  for (const char* text : refused) {
    EXPECT_NE(velto_sim_configure(text), 0) << text;
    EXPECT_NE(std::string(velto_sim_last_error()), "") << text;
  }
  EXPECT_EQ(sim_trackers(), before);

  const std::string name127(127, 'N');
  const std::string world = R"({"sdk_version": [1, 5, 0, 43], "trackers": [
      {"address": "sim://one", "device_name": ")" + name127 + R"(", "capabilities": 2,
       "gaze_output_frequencies": [30, 90], "gaze_output_frequency": 90,
       "eye_tracking_modes": ["A"], "calibration_data": "00ff0010",
       "display_area": {"width": 100.5}}]})";
  ASSERT_EQ(velto_sim_configure(world.c_str()), 0) << velto_sim_last_error();
  auto t = sim_trackers();
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(property(t[0], VELTO_PROPERTY_ADDRESS), "sim://one");
  EXPECT_EQ(property(t[0], VELTO_PROPERTY_DEVICE_NAME), name127);
  EXPECT_EQ(property(t[0], VELTO_PROPERTY_MODEL), "Velto Sim");  // default
  float frequency = 0;
  EXPECT_EQ(velto_get_gaze_output_frequency(t[0], &frequency), 0);
  EXPECT_EQ(frequency, 90.0f);
  velto_version v{};
  EXPECT_EQ(velto_get_sdk_version(&v), 0);
  EXPECT_EQ(v.minor, 5);
  EXPECT_EQ(v.build, 43);
  uint8_t data[4];
  size_t size = 0;
  ASSERT_EQ(velto_retrieve_calibration_data(t[0], data, 4, &size), 0);
  EXPECT_EQ(std::vector<uint8_t>(data, data + 4), (std::vector<uint8_t>{0x00, 0xff, 0x00, 0x10}));
  velto_display_area a{};
  ASSERT_EQ(velto_get_display_area(t[0], &a), 0);
  EXPECT_EQ(a.width, 100.5f);
  EXPECT_EQ(a.height, 298.9f);  // the rest stays default

  ASSERT_EQ(velto_sim_configure("{\"trackers\": []}"), 0);
  EXPECT_TRUE(sim_trackers().empty());
  // A name one byte too long for the property buffer is refused.
  const std::string too_long = "{\"trackers\": [{\"model\": \"" + std::string(128, 'm') + "\"}]}";
  EXPECT_NE(velto_sim_configure(too_long.c_str()), 0);
}

}  // namespace

// The calibration samples of `t` at a few points (inside a session).
std::vector<velto_calibration_point> collected_samples(velto_eyetracker* t) {
  EXPECT_EQ(velto_screen_based_calibration_enter_calibration_mode(t), 0);
  for (int i = 0; i < 20; ++i) {
    EXPECT_EQ(velto_screen_based_calibration_collect_data(t, 0.05f * i, 0.5f), 0);
  }
  std::vector<velto_calibration_point> points(20);
  size_t count = 0;
  EXPECT_EQ(velto_screen_based_calibration_get_calibration_points(t, points.data(), 20, &count), 0);
  EXPECT_EQ(velto_screen_based_calibration_leave_calibration_mode(t), 0);
  points.resize(count);
  return points;
}

// Clock offsets are seen through the time sync stream; here the calibration
// keys, the refusals, and that a configured tracker without the keys gets
// the same calibration samples as the default world's tracker at its place.
TEST_F(SimDeviceTest, TrackersTakeClockAndCalibrationKeysOrThePositionDefaults) {
  const char* refused[] = {
      "{\"trackers\": [{\"clock_offset_us\": 1.5}]}",
      "{\"trackers\": [{\"clock_offset_us\": 1000000000000001}]}",
      "{\"trackers\": [{\"clock_drift_ppm\": 100001}]}",
      "{\"trackers\": [{\"calibration_noise\": -0.1}]}",
      "{\"trackers\": [{\"calibration_bias\": {\"up\": [0, 0]}}]}",
      "{\"trackers\": [{\"calibration_bias\": {\"left\": [0, 0, 0]}}]}",
      "{\"trackers\": [{\"calibration_bias\": {\"left\": [2, 0]}}]}",
  };
  for (const char* text : refused) EXPECT_NE(velto_sim_configure(text), 0) << text;

  const auto default_samples = collected_samples(sim_trackers()[1]);
  ASSERT_EQ(velto_sim_configure(R"({"trackers": [{}, {},
      {"calibration_bias": {"left": [0.125, -0.25]}, "calibration_noise": 0}]})"), 0)
      << velto_sim_last_error();
  auto t = sim_trackers();
  ASSERT_EQ(t.size(), 3u);
  const auto configured = collected_samples(t[1]);
  ASSERT_EQ(configured.size(), default_samples.size());
  EXPECT_EQ(std::memcmp(configured.data(), default_samples.data(),
                        configured.size() * sizeof(velto_calibration_point)), 0);
  int valid = 0;
  for (const auto& p : collected_samples(t[2])) {
    if (p.left_validity == 1) {
      ++valid;
      EXPECT_EQ(p.left_sample_position.x, p.position.x + 0.125f);
      EXPECT_EQ(p.left_sample_position.y, p.position.y - 0.25f);
    }
    if (p.right_validity == 1) {  // the right eye keeps the default bias, noise 0 here
      EXPECT_EQ(p.right_sample_position.x, p.position.x + 0.005f);
      EXPECT_EQ(p.right_sample_position.y, p.position.y + 0.003f);
    }
  }
  EXPECT_GT(valid, 10);
}
