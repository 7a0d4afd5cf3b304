// Device operation handlers called directly with crafted argument tuples.
//
// Most cases run against the simulated library. To check how the handlers
// treat a library that breaks its own promises (counts larger than the
// capacity given, unterminated texts), this file defines a few velto_*
// functions itself: the test executable's definitions take precedence over
// libvelto.so's, and each one forwards to the library's own (found with
// dlsym(RTLD_NEXT)) unless a test installs a hook.
#include <dlfcn.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <functional>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "device/velto.h"
#include "operations/calibration.h"
#include "operations/discovery.h"
#include "operations/settings.h"
#include "test_support.h"
#include "value/value.h"
#include "velto_sim.h"

namespace {

// Hooks for the interposed functions; empty means "forward to the library".
std::function<int32_t(velto_eyetracker*, int32_t, char*)> g_get_property;
std::function<int32_t(velto_eyetracker**, size_t, size_t*)> g_find_all;
std::function<int32_t(velto_eyetracker*, float*, int32_t, int32_t*)> g_frequencies;
std::function<int32_t(velto_eyetracker*, char (*)[VELTO_MODE_NAME_SIZE], int32_t, int32_t*)>
    g_modes;
std::function<int32_t(velto_eyetracker*, char*)> g_mode;
std::function<int32_t(velto_eyetracker*, velto_calibration_point*, size_t, size_t*)> g_points;
std::function<int32_t(velto_eyetracker*, uint8_t*, size_t, size_t*)> g_retrieve;

// The hook when one is installed, else the library's own function `name`.
template <typename... Params, typename... Args>
int32_t hooked(const std::function<int32_t(Params...)>& hook, const char* name, Args... args) {
  if (hook) return hook(args...);
  auto library = reinterpret_cast<int32_t (*)(Params...)>(dlsym(RTLD_NEXT, name));
  if (library == nullptr) abort();
  return library(args...);
}

}  // namespace

extern "C" {

int32_t velto_get_property(velto_eyetracker* handle, int32_t index, char* buffer) {
  return hooked(g_get_property, "velto_get_property", handle, index, buffer);
}
int32_t velto_find_all_eyetrackers(velto_eyetracker** handles, size_t capacity, size_t* count) {
  return hooked(g_find_all, "velto_find_all_eyetrackers", handles, capacity, count);
}
int32_t velto_get_all_gaze_output_frequencies(velto_eyetracker* handle, float* frequencies,
                                              int32_t capacity, int32_t* count) {
  return hooked(g_frequencies, "velto_get_all_gaze_output_frequencies", handle, frequencies,
                capacity, count);
}
int32_t velto_get_all_eye_tracking_modes(velto_eyetracker* handle,
                                         char (*modes)[VELTO_MODE_NAME_SIZE], int32_t capacity,
                                         int32_t* count) {
  return hooked(g_modes, "velto_get_all_eye_tracking_modes", handle, modes, capacity, count);
}
int32_t velto_get_eye_tracking_mode(velto_eyetracker* handle, char* mode) {
  return hooked(g_mode, "velto_get_eye_tracking_mode", handle, mode);
}
int32_t velto_screen_based_calibration_get_calibration_points(velto_eyetracker* handle,
                                                              velto_calibration_point* points,
                                                              size_t capacity, size_t* count) {
  return hooked(g_points, "velto_screen_based_calibration_get_calibration_points", handle,
                points, capacity, count);
}
int32_t velto_retrieve_calibration_data(velto_eyetracker* handle, uint8_t* data,
                                        size_t capacity, size_t* size) {
  return hooked(g_retrieve, "velto_retrieve_calibration_data", handle, data, capacity, size);
}

// Under AddressSanitizer an impossible allocation must return null (as the
// plain allocator does) so that the unallocatable-size case can be checked.
const char* __asan_default_options() { return "allocator_may_return_null=1"; }

}  // extern "C"

// The allocator as a fault-injecting environment: while g_fail_large_blocks is
// set, every single-block calloc() of more than 1 KiB fails (the value tree's
// large nodes, such as a long list's slot array), while arrays (calloc with a
// count) still succeed. AddressSanitizer has its own calloc, which this would
// bypass, so the test that needs it is skipped there.
#if !defined(__SANITIZE_ADDRESS__)
#define VELTO_TEST_CALLOC 1
namespace {
std::atomic<bool> g_fail_large_blocks{false};
}  // namespace
extern "C" void* __libc_calloc(size_t count, size_t size);
extern "C" void* calloc(size_t count, size_t size) {
  if (count == 1 && size > 1024 && g_fail_large_blocks.load()) return nullptr;
  return __libc_calloc(count, size);
}
#endif

namespace {

// The payload of a (0, payload) result; fails the test for any other shape.
const Value* payload_of(const Value* result) {
  const bool ok = result->kind == VALUE_TUPLE && result->count == 2 &&
                  show(result->payload.items[0]) == "i0";
  EXPECT_TRUE(ok) << show(result);
  return ok ? result->payload.items[1] : nullptr;
}

class OperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, velto_sim_reset());
    clear_hooks();
    const std::vector<velto_eyetracker*> trackers = sim_trackers();
    ASSERT_GE(trackers.size(), 1u);
    tracker = handle_value(trackers[0]);
    velto_sim_clear_calls();
  }
  void TearDown() override { clear_hooks(); }
  static void clear_hooks() {
    g_get_property = nullptr;
    g_find_all = nullptr;
    g_frequencies = nullptr;
    g_modes = nullptr;
    g_mode = nullptr;
    g_points = nullptr;
    g_retrieve = nullptr;
  }
  // The result of `handler` on the argument tuple (tracker,).
  Value* on_tracker(OperationHandler handler) {
    Tree args(value_build("L", tracker));
    return handler(args.v, nullptr);
  }

  int64_t tracker = 0;
};

// Argument trees Python can never produce still answer invalid parameter.
TEST_F(OperationsTest, MalformedArgumentTreesMakeNoLibraryCall) {
  struct Case {
    const char* name;
    OperationHandler handler;
    Value* args;
  };
  Case cases[] = {
      {"get_device_data null", op_get_device_data, nullptr},
      {"get_device_data list", op_get_device_data, value_new_container(VALUE_LIST, 0)},
      {"get_device int", op_get_device, value_build("i", 5)},
      {"track box bare int", op_get_track_box, value_new_int64(tracker)},
      {"collect null", op_screen_based_calibration_collect_data, nullptr},
      {"apply nested tuple", op_calibration_apply,
       value_build("LO", tracker, value_build("s", "ab"))},
  };
  for (Case& c : cases) {
    Tree args(c.args);
    Tree result(c.handler(args.v, nullptr));
    EXPECT_EQ("(i10)", show(result.v)) << c.name;
  }
  EXPECT_EQ("[]", sim_call_log());
}

// Fault pinned: a text with a NUL inside reached the library cut at the NUL ('a\0b' set 'a').
TEST_F(OperationsTest, TextWithEmbeddedNulIsRefusedBeforeTheLibrary) {
  const std::string text("Infant\0junk", 11);
  auto with_text = [&](const char* format, bool handle) {
    Value* item = value_new_string(text.data(), text.size());
    return handle ? value_build(format, tracker, item) : value_build(format, item);
  };
  struct Case {
    const char* name;
    OperationHandler handler;
    Value* args;
  };
  Case cases[] = {
      {"set_device_name", op_set_device_name, with_text("LO", true)},
      {"set_eye_tracking_mode", op_set_eye_tracking_mode, with_text("LO", true)},
      {"report_stream_error", op_report_stream_error, with_text("LO", true)},
      {"get_device", op_get_device, with_text("O", false)},
  };
  for (Case& c : cases) {
    Tree args(c.args);
    Tree result(c.handler(args.v, nullptr));
    EXPECT_EQ("(i10)", show(result.v)) << c.name;
  }
  EXPECT_EQ("[]", sim_call_log());
}

// Python sees the order of a dict's keys (3.7 and later); the description's
// order is checked by the Python suites, the geometry dicts' here.
TEST_F(OperationsTest, GeometryDictsKeepTheirKeyOrder) {
  Tree area(on_tracker(op_get_display_area));
  ASSERT_NE(nullptr, payload_of(area.v));
  EXPECT_EQ((std::vector<std::string>{"bottom_left", "bottom_right", "height", "top_left",
                                      "top_right", "width"}),
            dict_keys(payload_of(area.v)));
  Tree box(on_tracker(op_get_track_box));
  ASSERT_NE(nullptr, payload_of(box.v));
  EXPECT_EQ((std::vector<std::string>{"back_lower_left", "back_lower_right", "back_upper_left",
                                      "back_upper_right", "front_lower_left",
                                      "front_lower_right", "front_upper_left",
                                      "front_upper_right"}),
            dict_keys(payload_of(box.v)));
}

// Fault pinned: an unterminated 128-byte property buffer was read past its end.
TEST_F(OperationsTest, UnterminatedPropertyIsCutAt127Bytes) {
  g_get_property = [](velto_eyetracker*, int32_t index, char* buffer) {
    memset(buffer, 'a' + index, VELTO_PROPERTY_BUFFER_SIZE);
    return 0;
  };
  Tree result(on_tracker(op_get_device_data));
  const Value* description = payload_of(result.v);
  ASSERT_NE(nullptr, description);
  EXPECT_EQ(std::string(127, 'a'), value_bytes(dict_get(description, "address")));
  EXPECT_EQ(std::string(127, 'e'), value_bytes(dict_get(description, "firmware_version")));
}

// Fault pinned: a count larger than the capacity given made the handlers read past the array.
TEST_F(OperationsTest, OverReportedCountsAreClampedToCapacity) {
  g_find_all = [](velto_eyetracker** handles, size_t capacity, size_t* count) {
    if (handles == nullptr) {
      *count = 1;
      return 0;
    }
    handles[0] = reinterpret_cast<velto_eyetracker*>(uintptr_t{0x1234});
    *count = 50;
    return 0;
  };
  Tree found(op_find_all_eyetrackers(nullptr, nullptr));
  ASSERT_NE(nullptr, payload_of(found.v));
  ASSERT_EQ(1, payload_of(found.v)->count);
  EXPECT_EQ("L4660", show(dict_get(payload_of(found.v)->payload.items[0], "core_eyetracker")));

  g_frequencies = [](velto_eyetracker*, float* out, int32_t capacity, int32_t* count) {
    for (int32_t i = 0; i < capacity; ++i) out[i] = 30.0f * (i + 1);
    *count = 1000;
    return 0;
  };
  Tree frequencies(on_tracker(op_get_all_gaze_output_frequencies));
  EXPECT_EQ("(i0, [f30, f60, f90, f120])", show(frequencies.v));

  g_modes = [](velto_eyetracker*, char (*modes)[VELTO_MODE_NAME_SIZE], int32_t capacity,
               int32_t* count) {
    for (int32_t i = 0; i < capacity; ++i) strcpy(modes[i], "m");
    *count = capacity + 9;
    return 0;
  };
  Tree modes(on_tracker(op_get_all_eye_tracking_modes));
  EXPECT_EQ("(i0, ['m', 'm', 'm'])", show(modes.v));

  g_points = [](velto_eyetracker*, velto_calibration_point* points, size_t capacity,
                size_t* count) {
    if (points != nullptr) memset(points, 0, capacity * sizeof(*points));
    *count = points == nullptr ? 2 : 7;
    return 0;
  };
  Tree points(on_tracker(op_screen_based_calibration_get_calibration_points));
  ASSERT_NE(nullptr, payload_of(points.v));
  EXPECT_EQ(2, payload_of(points.v)->count);

  g_retrieve = [](velto_eyetracker*, uint8_t* data, size_t capacity, size_t* size) {
    if (data != nullptr) memset(data, 'x', capacity);
    *size = data == nullptr ? 3 : 4096;
    return 0;
  };
  Tree retrieved(on_tracker(op_calibration_retrieve));
  EXPECT_EQ("(i0, b'xxx')", show(retrieved.v));
}

// Fault pinned: a size the module cannot allocate ended the process.
TEST_F(OperationsTest, UnallocatableSizeIsRefusedWithoutCrash) {
  g_find_all = [](velto_eyetracker** handles, size_t, size_t* count) {
    *count = SIZE_MAX / 2;
    return handles == nullptr ? 0 : 99;
  };
  Tree found(op_find_all_eyetrackers(nullptr, nullptr));
  EXPECT_EQ("(i15)", show(found.v));

  g_retrieve = [](velto_eyetracker*, uint8_t* data, size_t, size_t* size) {
    *size = SIZE_MAX - 8;
    return data == nullptr ? 0 : 99;
  };
  Tree retrieved(on_tracker(op_calibration_retrieve));
  EXPECT_EQ("(i15)", show(retrieved.v));
}

// Fault pinned: a result list that could not be allocated was used unchecked
// and crashed the worker; the handler now answers (15,).
TEST_F(OperationsTest, UnallocatableResultListIsRefusedWithoutCrash) {
#ifndef VELTO_TEST_CALLOC
  GTEST_SKIP() << "the allocator cannot be interposed under AddressSanitizer";
#else
  constexpr size_t kCount = 200;  // a list of 200 slots needs a block of 1.6 KiB
  g_frequencies = [](velto_eyetracker*, float*, int32_t capacity, int32_t* count) {
    *count = kCount;
    return capacity < static_cast<int32_t>(kCount) ? VELTO_STATUS_BUFFER_TOO_SMALL : 0;
  };
  g_points = [](velto_eyetracker*, velto_calibration_point*, size_t, size_t* count) {
    *count = kCount;
    return 0;
  };
  g_find_all = [](velto_eyetracker**, size_t, size_t* count) {
    *count = kCount;
    return 0;
  };
  Tree args(value_build("L", tracker));
  g_fail_large_blocks = true;
  Tree frequencies(op_get_all_gaze_output_frequencies(args.v, nullptr));
  Tree points(op_screen_based_calibration_get_calibration_points(args.v, nullptr));
  Tree found(op_find_all_eyetrackers(nullptr, nullptr));
  g_fail_large_blocks = false;
  for (const Tree* result : {&frequencies, &points, &found}) EXPECT_EQ("(i15)", show(result->v));
#endif
}

TEST_F(OperationsTest, RetryHappensOnceWithTheReportedCapacity) {
  std::vector<int32_t> capacities;
  int32_t offered = 6;
  g_frequencies = [&](velto_eyetracker*, float* out, int32_t capacity, int32_t* count) {
    capacities.push_back(capacity);
    *count = offered;
    if (capacity < offered) return VELTO_STATUS_BUFFER_TOO_SMALL;
    for (int32_t i = 0; i < offered; ++i) out[i] = 23.976f;
    return 0;
  };
  Tree result(on_tracker(op_get_all_gaze_output_frequencies));
  const Value* list = payload_of(result.v);
  ASSERT_NE(nullptr, list);
  EXPECT_EQ((std::vector<int32_t>{4, 6}), capacities);
  ASSERT_EQ(6, list->count);
  EXPECT_EQ(static_cast<double>(23.976f), list->payload.items[5]->payload.f);
  // A list that fits the first guess takes exactly one call.
  offered = 4;
  capacities.clear();
  Tree fits(on_tracker(op_get_all_gaze_output_frequencies));
  EXPECT_EQ((std::vector<int32_t>{4}), capacities);

  // Too small twice: the second status is the answer, no third call. A
  // negative size after "too small" is not trusted as a capacity.
  int32_t reported = 0;  // the size reported: the capacity plus this, or this when negative
  g_modes = [&](velto_eyetracker*, char (*)[VELTO_MODE_NAME_SIZE], int32_t capacity,
                int32_t* count) {
    capacities.push_back(capacity);
    *count = reported < 0 ? reported : capacity + reported;
    return VELTO_STATUS_BUFFER_TOO_SMALL;
  };
  for (const auto& c : {std::make_pair(2, std::vector<int32_t>{3, 5}),
                        std::make_pair(-4, std::vector<int32_t>{3, 0})}) {
    reported = c.first;
    capacities.clear();
    Tree modes(on_tracker(op_get_all_eye_tracking_modes));
    EXPECT_EQ("(i15)", show(modes.v)) << reported;
    EXPECT_EQ(c.second, capacities) << reported;
  }
}

// Fault pinned: unterminated mode names were read past their 64-byte slot.
TEST_F(OperationsTest, UnterminatedModeNamesAreCutAt63Bytes) {
  g_modes = [](velto_eyetracker*, char (*modes)[VELTO_MODE_NAME_SIZE], int32_t capacity,
               int32_t* count) {
    memset(modes[0], 'q', VELTO_MODE_NAME_SIZE);
    memset(modes[1], 'r', VELTO_MODE_NAME_SIZE);
    strcpy(modes[2], "short");
    *count = 3;
    return 0;
  };
  g_mode = [](velto_eyetracker*, char* mode) {
    memset(mode, 'z', VELTO_MODE_NAME_SIZE);
    return 0;
  };
  Tree modes(on_tracker(op_get_all_eye_tracking_modes));
  const Value* list = payload_of(modes.v);
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(3, list->count);
  EXPECT_EQ(std::string(63, 'q'), value_bytes(list->payload.items[0]));
  EXPECT_EQ(std::string(63, 'r'), value_bytes(list->payload.items[1]));
  EXPECT_EQ("short", value_bytes(list->payload.items[2]));
  Tree mode(on_tracker(op_get_eye_tracking_mode));
  EXPECT_EQ(std::string(63, 'z'), value_bytes(payload_of(mode.v)));
}

// The target position reads as its nominal value (rounded to six decimals),
// the measured samples are exact widenings, validities pass unchanged, in
// this key order.
TEST_F(OperationsTest, CalibrationPointPositionIsRoundedSamplesAreExact) {
  g_points = [](velto_eyetracker*, velto_calibration_point* points, size_t capacity,
                size_t* count) {
    *count = 1;
    if (points == nullptr) return 0;
    points[0].position = {0.1f, 0.9f};
    points[0].left_sample_position = {0.1f, 0.9f};
    points[0].left_validity = 1;
    points[0].right_sample_position = {0.3f, 59.94f};
    points[0].right_validity = -7;
    return 0;
  };
  Tree result(on_tracker(op_screen_based_calibration_get_calibration_points));
  EXPECT_EQ("(i0, [{'position': (f0.10000000000000001, f0.90000000000000002), "
            "'left_sample_position': (f0.10000000149011612, f0.89999997615814209), "
            "'left_validity': i1, "
            "'right_sample_position': (f0.30000001192092896, f59.939998626708984), "
            "'right_validity': i-7}])",
            show(result.v));
}

}  // namespace
