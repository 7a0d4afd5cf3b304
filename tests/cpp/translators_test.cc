// Stream dict builders: shapes, key order, kinds, the NaN marker of invalid
// groups, exact float widening, enumeration tables and their out-of-range
// codes, byte-exact eye images.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "device/velto.h"
#include "streams/translators.h"
#include "value/value.h"

namespace {

uint64_t bits_of(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}

std::string key_at(const Value* dict, int64_t i) {
  const Value* k = dict->payload.items[2 * i];
  return std::string(k->payload.s, static_cast<size_t>(k->count));
}

std::vector<std::string> keys_of(const Value* dict) {
  std::vector<std::string> keys;
  for (int64_t i = 0; i < dict->count; ++i) keys.push_back(key_at(dict, i));
  return keys;
}

const Value* get(const Value* dict, const std::string& key) {
  for (int64_t i = 0; i < dict->count; ++i) {
    if (key_at(dict, i) == key) return dict->payload.items[2 * i + 1];
  }
  ADD_FAILURE() << "missing key " << key;
  static Value none{VALUE_NONE, 0, {0}};
  return &none;
}

std::string text(const Value* v) {
  EXPECT_EQ(v->kind, VALUE_STRING);
  return std::string(v->payload.s, static_cast<size_t>(v->count));
}

// Every item of a float tuple of `n` items: real `expected` values or NaN marker.
void expect_floats(const Value* tuple, std::vector<float> expected, bool valid) {
  ASSERT_EQ(tuple->kind, VALUE_TUPLE);
  ASSERT_EQ(tuple->count, static_cast<int64_t>(expected.size()));
  for (size_t i = 0; i < expected.size(); ++i) {
    const Value* item = tuple->payload.items[i];
    ASSERT_EQ(item->kind, VALUE_FLOAT);
    if (valid) {
      EXPECT_EQ(item->payload.f, static_cast<double>(expected[i])) << "item " << i;
    } else {
      EXPECT_EQ(bits_of(item->payload.f), kValueNanBits) << "item " << i;
    }
  }
  EXPECT_EQ(tuple->payload.items[expected.size()], nullptr);
}

velto_eye_data eye(float base, int32_t point_validity, int32_t pupil_validity,
                   int32_t origin_validity) {
  velto_eye_data e{};
  e.gaze_point_on_display_area = {base + 0.1f, base + 0.2f};
  e.gaze_point_in_user_coordinate_system = {base + 1.1f, base + 1.2f, base + 1.3f};
  e.gaze_point_validity = point_validity;
  e.pupil_diameter = base + 3.5f;
  e.pupil_validity = pupil_validity;
  e.gaze_origin_in_user_coordinate_system = {base + 4.1f, base + 4.2f, base + 4.3f};
  e.gaze_origin_in_trackbox_coordinate_system = {base + 5.1f, base + 5.2f, base + 5.3f};
  e.gaze_origin_validity = origin_validity;
  return e;
}

// Checks one eye's seven entries against the record's eye block.
void expect_eye(const Value* dict, const char* side, const velto_eye_data& e) {
  const std::string p(side);
  const bool point = e.gaze_point_validity == 1;
  const bool pupil = e.pupil_validity == 1;
  const bool origin = e.gaze_origin_validity == 1;
  expect_floats(get(dict, p + "_gaze_point_on_display_area"),
                {e.gaze_point_on_display_area.x, e.gaze_point_on_display_area.y}, point);
  const auto& u = e.gaze_point_in_user_coordinate_system;
  expect_floats(get(dict, p + "_gaze_point_in_user_coordinate_system"), {u.x, u.y, u.z}, point);
  const auto& ou = e.gaze_origin_in_user_coordinate_system;
  expect_floats(get(dict, p + "_gaze_origin_in_user_coordinate_system"), {ou.x, ou.y, ou.z},
                origin);
  const auto& ot = e.gaze_origin_in_trackbox_coordinate_system;
  expect_floats(get(dict, p + "_gaze_origin_in_trackbox_coordinate_system"),
                {ot.x, ot.y, ot.z}, origin);
  const Value* diameter = get(dict, p + "_pupil_diameter");
  ASSERT_EQ(diameter->kind, VALUE_FLOAT);
  if (pupil) {
    EXPECT_EQ(diameter->payload.f, static_cast<double>(e.pupil_diameter));
  } else {
    EXPECT_EQ(bits_of(diameter->payload.f), kValueNanBits);
  }
  const Value* v = get(dict, p + "_gaze_point_validity");
  EXPECT_EQ(v->kind, VALUE_INT32);
  EXPECT_EQ(v->payload.i32, e.gaze_point_validity);
  v = get(dict, p + "_pupil_validity");
  EXPECT_EQ(v->kind, VALUE_INT32);
  EXPECT_EQ(v->payload.i32, e.pupil_validity);
  v = get(dict, p + "_gaze_origin_validity");
  EXPECT_EQ(v->kind, VALUE_INT32);
  EXPECT_EQ(v->payload.i32, e.gaze_origin_validity);
}

TEST(GazeTranslator, ShapeKeyOrderAndKinds) {
  velto_gaze_data g{};
  g.device_time_stamp = -5;
  g.system_time_stamp = INT64_MAX;
  g.left_eye = eye(0, 1, 1, 1);
  g.right_eye = eye(10, 1, 1, 1);
  Value* d = gaze_data_to_value(&g);
  ASSERT_EQ(d->kind, VALUE_DICT);
  const std::vector<std::string> expected = {
      "device_time_stamp",
      "system_time_stamp",
      "left_gaze_point_on_display_area",
      "left_gaze_point_in_user_coordinate_system",
      "left_gaze_point_validity",
      "left_pupil_diameter",
      "left_pupil_validity",
      "left_gaze_origin_in_user_coordinate_system",
      "left_gaze_origin_in_trackbox_coordinate_system",
      "left_gaze_origin_validity",
      "right_gaze_point_on_display_area",
      "right_gaze_point_in_user_coordinate_system",
      "right_gaze_point_validity",
      "right_pupil_diameter",
      "right_pupil_validity",
      "right_gaze_origin_in_user_coordinate_system",
      "right_gaze_origin_in_trackbox_coordinate_system",
      "right_gaze_origin_validity",
  };
  EXPECT_EQ(keys_of(d), expected);
  EXPECT_EQ(d->payload.items[36], nullptr);
  EXPECT_EQ(get(d, "device_time_stamp")->kind, VALUE_INT64);
  EXPECT_EQ(get(d, "device_time_stamp")->payload.i64, -5);
  EXPECT_EQ(get(d, "system_time_stamp")->payload.i64, INT64_MAX);
  expect_eye(d, "left", g.left_eye);
  expect_eye(d, "right", g.right_eye);
  // Exact widening: the float nearest 0.1 is not rounded back to 0.1.
  EXPECT_EQ(get(d, "left_gaze_point_on_display_area")->payload.items[0]->payload.f,
            0.10000000149011612);
  value_free(d);
}

TEST(GazeTranslator, EachGroupOfEachEyeJudgedAlone) {
  // Each of the six groups invalid on its own, with the validities 0, 2, -1 and
  // INT32_MIN, which all count as "not 1".
  const int32_t invalid[] = {0, 2, -1, INT32_MIN};
  for (int32_t bad : invalid) {
    for (int group = 0; group < 6; ++group) {
      velto_gaze_data g{};
      g.left_eye = eye(0, group == 0 ? bad : 1, group == 1 ? bad : 1, group == 2 ? bad : 1);
      g.right_eye = eye(20, group == 3 ? bad : 1, group == 4 ? bad : 1, group == 5 ? bad : 1);
      Value* d = gaze_data_to_value(&g);
      ASSERT_EQ(d->count, 18);
      SCOPED_TRACE("validity " + std::to_string(bad) + " group " + std::to_string(group));
      expect_eye(d, "left", g.left_eye);
      expect_eye(d, "right", g.right_eye);
      value_free(d);
    }
  }
}

TEST(GazeTranslator, FullyInvalidEyeKeepsShapeAndNaNFromDeviceStaysWhenValid) {
  velto_gaze_data g{};
  g.left_eye = eye(0, 1, 1, 1);
  g.left_eye.pupil_diameter = NAN;  // a NaN the library marks valid passes through
  g.right_eye = eye(0, 0, 0, 0);
  Value* d = gaze_data_to_value(&g);
  EXPECT_TRUE(std::isnan(get(d, "left_pupil_diameter")->payload.f));
  EXPECT_EQ(get(d, "left_gaze_point_on_display_area")->payload.items[1]->payload.f,
            static_cast<double>(0.2f));
  EXPECT_EQ(get(d, "right_gaze_point_on_display_area")->count, 2);
  EXPECT_EQ(get(d, "right_gaze_point_in_user_coordinate_system")->count, 3);
  expect_eye(d, "right", g.right_eye);
  value_free(d);
}

// Whether two trees hold the same kinds, counts, bytes and bits.
bool same_tree(const Value* a, const Value* b) {
  if (a == nullptr || b == nullptr) return a == b;
  if (a->kind != b->kind || a->count != b->count) return false;
  switch (a->kind) {
    case VALUE_STRING:
      return std::memcmp(a->payload.s, b->payload.s, static_cast<size_t>(a->count) + 1) == 0;
    case VALUE_TUPLE:
    case VALUE_LIST:
    case VALUE_DICT: {
      const int64_t slots = a->kind == VALUE_DICT ? 2 * a->count : a->count;
      for (int64_t i = 0; i <= slots; ++i) {
        if (!same_tree(a->payload.items[i], b->payload.items[i])) return false;
      }
      return true;
    }
    default:
      return a->payload.i64 == b->payload.i64;  // bit for bit, NaN markers included
  }
}

// The dict the gaze callback builds in its stack arena is the very dict the
// heap builder makes, with keys referring to the translator's key table.
TEST(GazeTranslator, ArenaDictEqualsHeapDict) {
  for (int32_t validity : {1, 0}) {
    velto_gaze_data g{};
    g.device_time_stamp = 123;
    g.system_time_stamp = -456;
    g.left_eye = eye(0, validity, 1, validity);
    g.right_eye = eye(10, 1, validity, 2);
    Value* heap = gaze_data_to_value(&g);
    for (size_t buffer_size : {size_t{4096}, size_t{64}}) {  // 64: spills to heap chunks
      std::vector<char> buffer(buffer_size);
      ValueArena arena;
      value_arena_init(&arena, buffer.data(), buffer.size());
      Value* arena_dict = gaze_data_to_value(&g, &arena);
      ASSERT_NE(arena_dict, nullptr);
      EXPECT_TRUE(same_tree(heap, arena_dict)) << "validity " << validity;
      for (int64_t i = 0; i < arena_dict->count; ++i) {
        EXPECT_TRUE(value_string_is_static(arena_dict->payload.items[2 * i])) << key_at(heap, i);
      }
      value_free(arena_dict);  // leaves the arena's nodes alone
      value_arena_release(&arena);
    }
    value_free(heap);
  }
}

TEST(EventTranslators, ExternalSignalAndTimeSynchronization) {
  velto_external_signal_data s{};
  s.device_time_stamp = 7;
  s.system_time_stamp = -8;
  s.value = static_cast<int32_t>(0xFFFFFFFFu);
  s.change_type = 2;
  Value* d = external_signal_to_value(&s);
  EXPECT_EQ(keys_of(d), (std::vector<std::string>{"value", "change_type", "device_time_stamp",
                                                  "system_time_stamp"}));
  EXPECT_EQ(get(d, "value")->kind, VALUE_INT32);
  EXPECT_EQ(get(d, "value")->payload.i32, -1);
  EXPECT_EQ(text(get(d, "change_type")), "external_signal_change_type_connection_restored");
  EXPECT_EQ(get(d, "device_time_stamp")->payload.i64, 7);
  EXPECT_EQ(get(d, "system_time_stamp")->payload.i64, -8);
  value_free(d);

  // The device time stamp outside the system interval is copied unchanged.
  velto_time_synchronization_data t{100, 50, 200};
  d = time_synchronization_to_value(&t);
  EXPECT_EQ(keys_of(d), (std::vector<std::string>{"system_request_time_stamp",
                                                  "device_time_stamp",
                                                  "system_response_time_stamp"}));
  EXPECT_EQ(get(d, "system_request_time_stamp")->payload.i64, 100);
  EXPECT_EQ(get(d, "device_time_stamp")->payload.i64, 50);
  EXPECT_EQ(get(d, "system_response_time_stamp")->kind, VALUE_INT64);
  EXPECT_EQ(get(d, "system_response_time_stamp")->payload.i64, 200);
  value_free(d);
}

// The string each enumeration table yields for `code`.
std::string change_type(int32_t code) {
  velto_external_signal_data s{};
  s.change_type = code;
  Value* d = external_signal_to_value(&s);
  std::string r = text(get(d, "change_type"));
  value_free(d);
  return r;
}

std::string stream_error(int32_t error, int32_t source, std::string* source_text) {
  velto_stream_error_data e{};
  e.error = error;
  e.source = source;
  e.message = "m";
  Value* d = stream_error_to_value(&e);
  std::string r = text(get(d, "error"));
  *source_text = text(get(d, "source"));
  value_free(d);
  return r;
}

std::string notification_type(int32_t code) {
  velto_notification n{};
  n.notification_type = code;
  Value* d = notification_to_value(&n);
  std::string r = text(get(d, "notification_type"));
  value_free(d);
  return r;
}

std::string image_type(int32_t code) {
  velto_eye_image im{};
  im.type = code;
  Value* d = eye_image_to_value(&im);
  std::string r = text(get(d, "image_type"));
  value_free(d);
  return r;
}

std::string log_field(int32_t source, int32_t level, const char* key) {
  Value* d = log_message_to_value(0, source, level, "x");
  std::string r = text(get(d, key));
  value_free(d);
  return r;
}

TEST(EventTranslators, EnumerationTablesAndCodesOutsideThem) {
  EXPECT_EQ(change_type(0), "external_signal_change_type_value_changed");
  EXPECT_EQ(change_type(1), "external_signal_change_type_initial_value");
  EXPECT_EQ(change_type(3), "external_signal_change_type_unknown");
  EXPECT_EQ(change_type(-1), "external_signal_change_type_unknown");
  EXPECT_EQ(change_type(INT32_MIN), "external_signal_change_type_unknown");

  std::string src;
  EXPECT_EQ(stream_error(0, 0, &src), "stream_error_connection_lost");
  EXPECT_EQ(src, "stream_error_source_user");
  // Code 1 has no row of its own.
  EXPECT_EQ(stream_error(1, 6, &src), "stream_error_unknown");
  EXPECT_EQ(src, "stream_error_source_subscription_notification");
  EXPECT_EQ(stream_error(2, 1, &src), "stream_error_not_supported");
  EXPECT_EQ(src, "stream_error_source_stream_pump");
  EXPECT_EQ(stream_error(3, 5, &src), "stream_error_internal_error");
  EXPECT_EQ(src, "stream_error_source_subscription_eye_image");
  EXPECT_EQ(stream_error(4, 7, &src), "stream_error_user_error");
  EXPECT_EQ(src, "stream_error_source_unknown");
  EXPECT_EQ(stream_error(5, -1, &src), "stream_error_unknown");
  EXPECT_EQ(src, "stream_error_source_unknown");
  EXPECT_EQ(stream_error(-1, INT32_MAX, &src), "stream_error_unknown");

  EXPECT_EQ(notification_type(0), "eyetracker_notification_connection_lost");
  EXPECT_EQ(notification_type(4), "eyetracker_notification_track_box_changed");
  EXPECT_EQ(notification_type(7), "eyetracker_notification_unknown");
  EXPECT_EQ(notification_type(-1), "eyetracker_notification_unknown");

  EXPECT_EQ(image_type(0), "eye_image_type_full");
  EXPECT_EQ(image_type(1), "eye_image_type_cropped");
  EXPECT_EQ(image_type(2), "eye_image_type_unknown");
  EXPECT_EQ(image_type(3), "eye_image_type_unknown");
  EXPECT_EQ(image_type(-7), "eye_image_type_unknown");

  EXPECT_EQ(log_field(0, 0, "source"), "Kelmo");
  EXPECT_EQ(log_field(1, 0, "source"), "SDK");
  EXPECT_EQ(log_field(2, 4, "source"), "FirmwareUpgrade");
  EXPECT_EQ(log_field(2, 4, "level"), "Trace");
  EXPECT_EQ(log_field(0, 0, "level"), "Error");
  EXPECT_EQ(log_field(0, 1, "level"), "Warning");
  EXPECT_EQ(log_field(0, 2, "level"), "Information");
  EXPECT_EQ(log_field(0, 3, "level"), "Debug");
  EXPECT_EQ(log_field(3, 5, "source"), "Unknown");
  EXPECT_EQ(log_field(-1, -1, "level"), "Unknown");
}

TEST(EventTranslators, StreamErrorAndLogTexts) {
  velto_stream_error_data e{};
  e.system_time_stamp = 42;
  e.message = "";
  Value* d = stream_error_to_value(&e);
  EXPECT_EQ(keys_of(d),
            (std::vector<std::string>{"system_time_stamp", "error", "source", "message"}));
  EXPECT_EQ(get(d, "system_time_stamp")->payload.i64, 42);
  EXPECT_EQ(text(get(d, "message")), "");
  value_free(d);

  e.message = nullptr;  // defensive: a null message is an empty text
  d = stream_error_to_value(&e);
  EXPECT_EQ(text(get(d, "message")), "");
  value_free(d);

  d = log_message_to_value(-3, 1, 2, "hello log");
  EXPECT_EQ(keys_of(d),
            (std::vector<std::string>{"system_time_stamp", "source", "level", "message"}));
  EXPECT_EQ(get(d, "system_time_stamp")->payload.i64, -3);
  EXPECT_EQ(text(get(d, "message")), "hello log");
  value_free(d);

  d = log_message_to_value(0, 0, 0, nullptr);
  EXPECT_EQ(text(get(d, "message")), "");
  value_free(d);
}

TEST(EventTranslators, NotificationShapesByType) {
  velto_notification n{};
  n.system_time_stamp = 99;
  // Type 3 carries nothing: whatever lies in the payload is not read.
  n.notification_type = 3;
  n.value.gaze_output_frequency = 12.5f;
  Value* d = notification_to_value(&n);
  EXPECT_EQ(keys_of(d), (std::vector<std::string>{"notification_type", "system_time_stamp"}));
  EXPECT_EQ(text(get(d, "notification_type")), "eyetracker_notification_calibration_mode_left");
  EXPECT_EQ(get(d, "system_time_stamp")->payload.i64, 99);
  value_free(d);

  n.notification_type = 6;
  n.value.gaze_output_frequency = 119.99999f;
  d = notification_to_value(&n);
  EXPECT_EQ(keys_of(d), (std::vector<std::string>{"notification_type", "system_time_stamp",
                                                  "gaze_output_frequency"}));
  EXPECT_EQ(text(get(d, "notification_type")),
            "eyetracker_notification_gaze_output_frequency_changed");
  EXPECT_EQ(get(d, "gaze_output_frequency")->kind, VALUE_FLOAT);
  EXPECT_EQ(get(d, "gaze_output_frequency")->payload.f, 119.99999237060547);
  value_free(d);

  n.notification_type = 5;
  n.value.display_area = velto_display_area{{1.5f, 2.5f, 3.5f}, {4, 5, 6}, 0.1f,
                                            {7, 8, 9},          {10, 11, 12}, 0.3f};
  d = notification_to_value(&n);
  EXPECT_EQ(keys_of(d), (std::vector<std::string>{"notification_type", "system_time_stamp",
                                                  "display_area"}));
  EXPECT_EQ(text(get(d, "notification_type")), "eyetracker_notification_display_area_changed");
  const Value* area = get(d, "display_area");
  ASSERT_EQ(area->kind, VALUE_DICT);
  EXPECT_EQ(keys_of(area), (std::vector<std::string>{"bottom_left", "bottom_right", "height",
                                                     "top_left", "top_right", "width"}));
  expect_floats(get(area, "bottom_left"), {1.5f, 2.5f, 3.5f}, true);
  expect_floats(get(area, "top_right"), {10, 11, 12}, true);
  EXPECT_EQ(get(area, "height")->payload.f, static_cast<double>(0.1f));
  EXPECT_EQ(get(area, "width")->payload.f, static_cast<double>(0.3f));
  value_free(d);

  // A code outside the table takes the two-entry shape.
  n.notification_type = -6;
  d = notification_to_value(&n);
  EXPECT_EQ(d->count, 2);
  value_free(d);
}

TEST(EventTranslators, EyeImageBytesCopiedByCount) {
  const unsigned char gif[] = {'G', 'I', 'F', 0, 0, '8', 0, 0xFF};
  velto_eye_image im{};
  im.device_time_stamp = 1;
  im.system_time_stamp = 2;
  im.type = 1;
  im.camera_id = -4;
  im.image_size = sizeof gif;
  im.image_data = gif;
  Value* d = eye_image_to_value(&im);
  EXPECT_EQ(keys_of(d), (std::vector<std::string>{"device_time_stamp", "system_time_stamp",
                                                  "camera_id", "image_type", "image_data"}));
  EXPECT_EQ(get(d, "camera_id")->kind, VALUE_INT32);
  EXPECT_EQ(get(d, "camera_id")->payload.i32, -4);
  EXPECT_EQ(get(d, "device_time_stamp")->payload.i64, 1);
  EXPECT_EQ(get(d, "system_time_stamp")->payload.i64, 2);
  const Value* data = get(d, "image_data");
  ASSERT_EQ(data->kind, VALUE_BYTES);  // binary: bytes on Python 3
  ASSERT_EQ(data->count, static_cast<int64_t>(sizeof gif));
  EXPECT_EQ(std::memcmp(data->payload.s, gif, sizeof gif), 0);
  value_free(d);

  im.image_size = 0;
  d = eye_image_to_value(&im);
  EXPECT_EQ(get(d, "image_data")->count, 0);
  value_free(d);

  // Defensive: a null pointer with a non-zero size is an empty image.
  im.image_size = 1000;
  im.image_data = nullptr;
  d = eye_image_to_value(&im);
  EXPECT_EQ(get(d, "image_data")->kind, VALUE_BYTES);
  EXPECT_EQ(get(d, "image_data")->count, 0);
  value_free(d);
}

}  // namespace
