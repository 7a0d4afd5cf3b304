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
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "device/velto.h"
#include "operations/calibration.h"
#include "operations/discovery.h"
#include "operations/settings.h"
#include "streams/records.h"
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

template <typename F>
F real(const char* name) {
  void* symbol = dlsym(RTLD_NEXT, name);
  if (symbol == nullptr) abort();
  return reinterpret_cast<F>(symbol);
}

}  // namespace

extern "C" {

int32_t velto_get_property(velto_eyetracker* handle, int32_t index, char* buffer) {
  if (g_get_property) return g_get_property(handle, index, buffer);
  static auto fn = real<int32_t (*)(velto_eyetracker*, int32_t, char*)>("velto_get_property");
  return fn(handle, index, buffer);
}

int32_t velto_find_all_eyetrackers(velto_eyetracker** handles, size_t capacity, size_t* count) {
  if (g_find_all) return g_find_all(handles, capacity, count);
  static auto fn = real<int32_t (*)(velto_eyetracker**, size_t, size_t*)>(
      "velto_find_all_eyetrackers");
  return fn(handles, capacity, count);
}

int32_t velto_get_all_gaze_output_frequencies(velto_eyetracker* handle, float* frequencies,
                                              int32_t capacity, int32_t* count) {
  if (g_frequencies) return g_frequencies(handle, frequencies, capacity, count);
  static auto fn = real<int32_t (*)(velto_eyetracker*, float*, int32_t, int32_t*)>(
      "velto_get_all_gaze_output_frequencies");
  return fn(handle, frequencies, capacity, count);
}

int32_t velto_get_all_eye_tracking_modes(velto_eyetracker* handle,
                                         char (*modes)[VELTO_MODE_NAME_SIZE], int32_t capacity,
                                         int32_t* count) {
  if (g_modes) return g_modes(handle, modes, capacity, count);
  static auto fn = real<int32_t (*)(velto_eyetracker*, char(*)[VELTO_MODE_NAME_SIZE], int32_t,
                                    int32_t*)>("velto_get_all_eye_tracking_modes");
  return fn(handle, modes, capacity, count);
}

int32_t velto_get_eye_tracking_mode(velto_eyetracker* handle, char* mode) {
  if (g_mode) return g_mode(handle, mode);
  static auto fn = real<int32_t (*)(velto_eyetracker*, char*)>("velto_get_eye_tracking_mode");
  return fn(handle, mode);
}

int32_t velto_screen_based_calibration_get_calibration_points(velto_eyetracker* handle,
                                                              velto_calibration_point* points,
                                                              size_t capacity, size_t* count) {
  if (g_points) return g_points(handle, points, capacity, count);
  static auto fn =
      real<int32_t (*)(velto_eyetracker*, velto_calibration_point*, size_t, size_t*)>(
          "velto_screen_based_calibration_get_calibration_points");
  return fn(handle, points, capacity, count);
}

int32_t velto_retrieve_calibration_data(velto_eyetracker* handle, uint8_t* data,
                                        size_t capacity, size_t* size) {
  if (g_retrieve) return g_retrieve(handle, data, capacity, size);
  static auto fn = real<int32_t (*)(velto_eyetracker*, uint8_t*, size_t, size_t*)>(
      "velto_retrieve_calibration_data");
  return fn(handle, data, capacity, size);
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

// Owns a result or argument tree for the length of a test.
struct Tree {
  Value* v;
  explicit Tree(Value* value) : v(value) {}
  ~Tree() { value_free(v); }
  Tree(const Tree&) = delete;
  Tree& operator=(const Tree&) = delete;
};

int32_t status_of(const Value* result) {
  EXPECT_EQ(VALUE_TUPLE, result->kind);
  EXPECT_GE(result->count, 1);
  EXPECT_EQ(VALUE_INT32, result->payload.items[0]->kind);
  return result->payload.items[0]->payload.i32;
}

// The payload of a (0, payload) result; fails the test for any other shape.
const Value* payload_of(const Value* result) {
  EXPECT_EQ(0, status_of(result));
  EXPECT_EQ(2, result->count);
  return result->count == 2 ? result->payload.items[1] : nullptr;
}

const Value* dict_get(const Value* dict, const char* key) {
  for (int64_t i = 0; i < dict->count; ++i) {
    if (strcmp(dict->payload.items[2 * i]->payload.s, key) == 0) {
      return dict->payload.items[2 * i + 1];
    }
  }
  ADD_FAILURE() << "no key " << key;
  return nullptr;
}

std::vector<std::string> dict_keys(const Value* dict) {
  std::vector<std::string> keys;
  for (int64_t i = 0; i < dict->count; ++i) keys.push_back(dict->payload.items[2 * i]->payload.s);
  return keys;
}

// The bytes of a text (VALUE_STRING) or binary (VALUE_BYTES) node.
std::string string_of(const Value* v, int32_t kind = VALUE_STRING) {
  EXPECT_EQ(kind, v->kind);
  return std::string(v->payload.s, static_cast<size_t>(v->count));
}

std::string call_log() {
  size_t size = velto_sim_calls(nullptr, 0);
  std::string text(size + 1, '\0');
  velto_sim_calls(&text[0], size + 1);
  text.resize(size);
  return text;
}

// The numbers logged under `key` in the simulator's call log, in call order.
std::vector<long long> logged_numbers(const char* key) {
  std::string log = call_log();
  std::string needle = std::string("\"") + key + "\"";
  std::vector<long long> numbers;
  for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) {
    size_t colon = log.find(':', at + needle.size());
    if (colon == std::string::npos) break;
    numbers.push_back(strtoll(log.c_str() + colon + 1, nullptr, 10));
  }
  return numbers;
}

class OperationsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, velto_sim_reset());
    clear_hooks();
    size_t count = 0;
    velto_eyetracker* handles[8] = {};
    ASSERT_EQ(0, velto_find_all_eyetrackers(handles, 8, &count));
    ASSERT_GE(count, 1u);
    tracker = static_cast<int64_t>(reinterpret_cast<uintptr_t>(handles[0]));
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
  Value* handle_args() { return value_build("L", tracker); }

  int64_t tracker = 0;
};

TEST(DisplayAreaToValue, WidensEveryFloatExactlyInKeyOrder) {
  velto_display_area area = {};
  area.bottom_left = {0.1f, -0.2f, 0.3f};
  area.bottom_right = {1.1f, 1.2f, 1.3f};
  area.height = 23.976f;
  area.top_left = {2.1f, 2.2f, 2.3f};
  area.top_right = {3.1f, 3.2f, 3.3f};
  area.width = 59.94f;
  Tree dict(display_area_to_value(&area));
  ASSERT_EQ(VALUE_DICT, dict.v->kind);
  EXPECT_EQ((std::vector<std::string>{"bottom_left", "bottom_right", "height", "top_left",
                                      "top_right", "width"}),
            dict_keys(dict.v));
  const Value* height = dict_get(dict.v, "height");
  ASSERT_EQ(VALUE_FLOAT, height->kind);
  EXPECT_EQ(static_cast<double>(23.976f), height->payload.f);
  EXPECT_NE(round_float(23.976f), height->payload.f);
  EXPECT_EQ(static_cast<double>(59.94f), dict_get(dict.v, "width")->payload.f);
  const velto_point3* corners[] = {&area.bottom_left, &area.bottom_right, &area.top_left,
                                   &area.top_right};
  const char* keys[] = {"bottom_left", "bottom_right", "top_left", "top_right"};
  for (int c = 0; c < 4; ++c) {
    const Value* triple = dict_get(dict.v, keys[c]);
    ASSERT_EQ(VALUE_TUPLE, triple->kind);
    ASSERT_EQ(3, triple->count);
    EXPECT_EQ(static_cast<double>(corners[c]->x), triple->payload.items[0]->payload.f) << keys[c];
    EXPECT_EQ(static_cast<double>(corners[c]->y), triple->payload.items[1]->payload.f) << keys[c];
    EXPECT_EQ(static_cast<double>(corners[c]->z), triple->payload.items[2]->payload.f) << keys[c];
  }
}

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
    EXPECT_EQ(STATUS_INVALID_PARAMETER, status_of(result.v)) << c.name;
    EXPECT_EQ(1, result.v->count) << c.name;
  }
  EXPECT_EQ("[]", call_log());
}

TEST_F(OperationsTest, DictsKeepTheirKeyOrder) {
  Tree args(handle_args());
  Tree result(op_get_device_data(args.v, nullptr));
  const Value* description = payload_of(result.v);
  ASSERT_NE(nullptr, description);
  EXPECT_EQ((std::vector<std::string>{"address", "device_name", "serial_number", "model",
                                      "firmware_version", "device_capabilities",
                                      "core_eyetracker"}),
            dict_keys(description));
  Tree box(op_get_track_box(args.v, nullptr));
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
  Tree args(handle_args());
  Tree result(op_get_device_data(args.v, nullptr));
  const Value* description = payload_of(result.v);
  ASSERT_NE(nullptr, description);
  EXPECT_EQ(std::string(127, 'a'), string_of(dict_get(description, "address")));
  EXPECT_EQ(std::string(127, 'e'), string_of(dict_get(description, "firmware_version")));
}

// Fault pinned: a failed property query in find_all_eyetrackers showed stale text.
TEST_F(OperationsTest, FailedPropertyQueryLeavesEmptyTextInFindAll) {
  g_get_property = [](velto_eyetracker*, int32_t index, char* buffer) {
    if (index == 1) return 6;  // fails without writing
    strcpy(buffer, "text");
    return 0;
  };
  Tree result(op_find_all_eyetrackers(nullptr, nullptr));
  const Value* list = payload_of(result.v);
  ASSERT_NE(nullptr, list);
  ASSERT_GE(list->count, 1);
  EXPECT_EQ("", string_of(dict_get(list->payload.items[0], "device_name")));
  EXPECT_EQ("text", string_of(dict_get(list->payload.items[0], "model")));
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
  EXPECT_EQ(0x1234, dict_get(payload_of(found.v)->payload.items[0], "core_eyetracker")
                        ->payload.i64);

  g_frequencies = [](velto_eyetracker*, float* out, int32_t capacity, int32_t* count) {
    for (int32_t i = 0; i < capacity; ++i) out[i] = 30.0f * (i + 1);
    *count = 1000;
    return 0;
  };
  Tree args(handle_args());
  Tree frequencies(op_get_all_gaze_output_frequencies(args.v, nullptr));
  ASSERT_NE(nullptr, payload_of(frequencies.v));
  ASSERT_EQ(4, payload_of(frequencies.v)->count);
  EXPECT_EQ(120.0, payload_of(frequencies.v)->payload.items[3]->payload.f);

  g_modes = [](velto_eyetracker*, char (*modes)[VELTO_MODE_NAME_SIZE], int32_t capacity,
               int32_t* count) {
    for (int32_t i = 0; i < capacity; ++i) strcpy(modes[i], "m");
    *count = capacity + 9;
    return 0;
  };
  Tree modes(op_get_all_eye_tracking_modes(args.v, nullptr));
  ASSERT_NE(nullptr, payload_of(modes.v));
  EXPECT_EQ(3, payload_of(modes.v)->count);

  g_points = [](velto_eyetracker*, velto_calibration_point* points, size_t capacity,
                size_t* count) {
    if (points != nullptr) memset(points, 0, capacity * sizeof(*points));
    *count = points == nullptr ? 2 : 7;
    return 0;
  };
  Tree points(op_screen_based_calibration_get_calibration_points(args.v, nullptr));
  ASSERT_NE(nullptr, payload_of(points.v));
  EXPECT_EQ(2, payload_of(points.v)->count);

  g_retrieve = [](velto_eyetracker*, uint8_t* data, size_t capacity, size_t* size) {
    if (data != nullptr) memset(data, 'x', capacity);
    *size = data == nullptr ? 3 : 4096;
    return 0;
  };
  Tree retrieved(op_calibration_retrieve(args.v, nullptr));
  ASSERT_NE(nullptr, payload_of(retrieved.v));
  EXPECT_EQ("xxx", string_of(payload_of(retrieved.v), VALUE_BYTES));
}

// Fault pinned: a size the module cannot allocate ended the process.
TEST_F(OperationsTest, UnallocatableSizeIsRefusedWithoutCrash) {
  g_find_all = [](velto_eyetracker** handles, size_t, size_t* count) {
    *count = SIZE_MAX / 2;
    return handles == nullptr ? 0 : 99;
  };
  Tree found(op_find_all_eyetrackers(nullptr, nullptr));
  EXPECT_EQ(VELTO_STATUS_BUFFER_TOO_SMALL, status_of(found.v));
  EXPECT_EQ(1, found.v->count);

  g_retrieve = [](velto_eyetracker*, uint8_t* data, size_t, size_t* size) {
    *size = SIZE_MAX - 8;
    return data == nullptr ? 0 : 99;
  };
  Tree args(handle_args());
  Tree retrieved(op_calibration_retrieve(args.v, nullptr));
  EXPECT_EQ(VELTO_STATUS_BUFFER_TOO_SMALL, status_of(retrieved.v));
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
  Tree args(handle_args());
  g_fail_large_blocks = true;
  Tree frequencies(op_get_all_gaze_output_frequencies(args.v, nullptr));
  Tree points(op_screen_based_calibration_get_calibration_points(args.v, nullptr));
  Tree found(op_find_all_eyetrackers(nullptr, nullptr));
  g_fail_large_blocks = false;
  for (const Tree* result : {&frequencies, &points, &found}) {
    EXPECT_EQ(VELTO_STATUS_BUFFER_TOO_SMALL, status_of(result->v));
    EXPECT_EQ(1, result->v->count);
  }
#endif
}

TEST_F(OperationsTest, RetryHappensOnceWithTheReportedCapacity) {
  std::vector<int32_t> capacities;
  g_frequencies = [&capacities](velto_eyetracker*, float* out, int32_t capacity, int32_t* count) {
    capacities.push_back(capacity);
    if (capacity < 6) {
      *count = 6;
      return VELTO_STATUS_BUFFER_TOO_SMALL;
    }
    for (int32_t i = 0; i < 6; ++i) out[i] = 23.976f;
    *count = 6;
    return 0;
  };
  Tree args(handle_args());
  Tree result(op_get_all_gaze_output_frequencies(args.v, nullptr));
  const Value* list = payload_of(result.v);
  ASSERT_NE(nullptr, list);
  EXPECT_EQ((std::vector<int32_t>{4, 6}), capacities);
  ASSERT_EQ(6, list->count);
  EXPECT_EQ(static_cast<double>(23.976f), list->payload.items[5]->payload.f);

  // Too small twice: the second status is the answer, no third call.
  capacities.clear();
  g_modes = [&capacities](velto_eyetracker*, char (*)[VELTO_MODE_NAME_SIZE], int32_t capacity,
                          int32_t* count) {
    capacities.push_back(capacity);
    *count = capacity + 2;
    return VELTO_STATUS_BUFFER_TOO_SMALL;
  };
  Tree modes(op_get_all_eye_tracking_modes(args.v, nullptr));
  EXPECT_EQ(VELTO_STATUS_BUFFER_TOO_SMALL, status_of(modes.v));
  EXPECT_EQ(1, modes.v->count);
  EXPECT_EQ((std::vector<int32_t>{3, 5}), capacities);

  // A negative size after "too small" is not trusted as a capacity.
  capacities.clear();
  g_modes = [&capacities](velto_eyetracker*, char (*)[VELTO_MODE_NAME_SIZE], int32_t capacity,
                          int32_t* count) {
    capacities.push_back(capacity);
    *count = -4;
    return VELTO_STATUS_BUFFER_TOO_SMALL;
  };
  Tree negative(op_get_all_eye_tracking_modes(args.v, nullptr));
  EXPECT_EQ(VELTO_STATUS_BUFFER_TOO_SMALL, status_of(negative.v));
  EXPECT_EQ((std::vector<int32_t>{3, 0}), capacities);
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
  Tree args(handle_args());
  Tree modes(op_get_all_eye_tracking_modes(args.v, nullptr));
  const Value* list = payload_of(modes.v);
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(3, list->count);
  EXPECT_EQ(std::string(63, 'q'), string_of(list->payload.items[0]));
  EXPECT_EQ(std::string(63, 'r'), string_of(list->payload.items[1]));
  EXPECT_EQ("short", string_of(list->payload.items[2]));
  Tree mode(op_get_eye_tracking_mode(args.v, nullptr));
  EXPECT_EQ(std::string(63, 'z'), string_of(payload_of(mode.v)));
}

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
  Tree args(handle_args());
  Tree result(op_screen_based_calibration_get_calibration_points(args.v, nullptr));
  const Value* list = payload_of(result.v);
  ASSERT_NE(nullptr, list);
  ASSERT_EQ(1, list->count);
  const Value* point = list->payload.items[0];
  EXPECT_EQ((std::vector<std::string>{"position", "left_sample_position", "left_validity",
                                      "right_sample_position", "right_validity"}),
            dict_keys(point));
  const Value* position = dict_get(point, "position");
  EXPECT_EQ(0.1, position->payload.items[0]->payload.f);
  EXPECT_EQ(0.9, position->payload.items[1]->payload.f);
  const Value* left = dict_get(point, "left_sample_position");
  EXPECT_EQ(static_cast<double>(0.1f), left->payload.items[0]->payload.f);
  EXPECT_EQ(static_cast<double>(0.9f), left->payload.items[1]->payload.f);
  EXPECT_EQ(static_cast<double>(59.94f),
            dict_get(point, "right_sample_position")->payload.items[1]->payload.f);
  EXPECT_EQ(1, dict_get(point, "left_validity")->payload.i32);
  EXPECT_EQ(-7, dict_get(point, "right_validity")->payload.i32);
}

TEST_F(OperationsTest, CalibrationDataKeepsNulBytesBothWays) {
  static const uint8_t kBlock[] = {0x00, 0x41, 0x00, 0xff, 0x42};
  g_retrieve = [](velto_eyetracker*, uint8_t* data, size_t capacity, size_t* size) {
    *size = sizeof(kBlock);
    if (data != nullptr) memcpy(data, kBlock, sizeof(kBlock));
    return 0;
  };
  Tree args(handle_args());
  Tree retrieved(op_calibration_retrieve(args.v, nullptr));
  const Value* data = payload_of(retrieved.v);
  ASSERT_NE(nullptr, data);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(kBlock), sizeof(kBlock)), string_of(data, VALUE_BYTES));

  // Handing the block back passes all five bytes, not the length up to the first NUL.
  Tree apply_args(value_build("LO", tracker, value_new_string(data->payload.s, data->count)));
  velto_sim_clear_calls();
  Tree applied(op_calibration_apply(apply_args.v, nullptr));
  (void)status_of(applied.v);
  EXPECT_EQ(std::vector<long long>{5}, logged_numbers("length")) << call_log();
}

TEST_F(OperationsTest, FailingSecondSizeQueryCallReturnsOnlyTheStatus) {
  int calls = 0;
  g_points = [&calls](velto_eyetracker*, velto_calibration_point* points, size_t, size_t* count) {
    ++calls;
    *count = 3;
    return points == nullptr ? 0 : VELTO_STATUS_BUFFER_TOO_SMALL;
  };
  Tree args(handle_args());
  Tree result(op_screen_based_calibration_get_calibration_points(args.v, nullptr));
  EXPECT_EQ(VELTO_STATUS_BUFFER_TOO_SMALL, status_of(result.v));
  EXPECT_EQ(1, result.v->count);
  EXPECT_EQ(2, calls);
}

}  // namespace
