// Stream dict builders: the gaze dict (key order, kinds, exact widening and
// the NaN marker of each invalid group, alike on the heap and in an arena)
// and every enumeration table with the codes outside it. Each event dict as
// its subscribers receive it is checked by the Python suites
// (test_event_streams, test_gaze_stream).
#include <gtest/gtest.h>

#include <stdio.h>

#include <string>
#include <vector>

#include "device/velto.h"
#include "streams/translators.h"
#include "test_support.h"
#include "value/value.h"

namespace {

// Numbers of one group as show() writes them: exact widenings, or the NaN
// marker when the group's validity is not 1.
std::string group(std::vector<float> numbers, int32_t validity) {
  std::string out;
  for (float x : numbers) {
    char text[40];
    snprintf(text, sizeof text, "f%.17g", static_cast<double>(x));
    out += (out.empty() ? "" : ", ") + (validity == 1 ? std::string(text) : "N");
  }
  return numbers.size() > 1 ? "(" + out + ")" : out;
}

// The dict the NaN rule makes of `g`, in the documented key order.
std::string expected_gaze(const velto_gaze_data& g) {
  std::string out = "{'device_time_stamp': L" + std::to_string(g.device_time_stamp) +
                    ", 'system_time_stamp': L" + std::to_string(g.system_time_stamp);
  for (const velto_eye_data* e : {&g.left_eye, &g.right_eye}) {
    const std::string p = std::string(", '") + (e == &g.left_eye ? "left" : "right") + "_";
    const auto& d = e->gaze_point_on_display_area;
    const auto &u = e->gaze_point_in_user_coordinate_system,
               &ou = e->gaze_origin_in_user_coordinate_system;
    const auto &ot = e->gaze_origin_in_trackbox_coordinate_system;
    out += p + "gaze_point_on_display_area': " + group({d.x, d.y}, e->gaze_point_validity) + p +
           "gaze_point_in_user_coordinate_system': " +
           group({u.x, u.y, u.z}, e->gaze_point_validity) + p + "gaze_point_validity': i" +
           std::to_string(e->gaze_point_validity) + p + "pupil_diameter': " +
           group({e->pupil_diameter}, e->pupil_validity) + p + "pupil_validity': i" +
           std::to_string(e->pupil_validity) + p + "gaze_origin_in_user_coordinate_system': " +
           group({ou.x, ou.y, ou.z}, e->gaze_origin_validity) + p +
           "gaze_origin_in_trackbox_coordinate_system': " +
           group({ot.x, ot.y, ot.z}, e->gaze_origin_validity) + p + "gaze_origin_validity': i" +
           std::to_string(e->gaze_origin_validity);
  }
  return out + "}";
}

// Every group of each eye valid, then each of the six invalid on its own,
// with validities that all count as "not 1"; built on the heap and in an
// arena (whose keys refer to the translator's key table), the 64-byte one
// spilling into heap chunks.
TEST(GazeTranslator, EachGroupOfEachEyeJudgedAloneOnTheHeapAndInAnArena) {
  for (int32_t bad : {0, 2, -1, INT32_MIN}) {
    for (int invalid = -1; invalid < 6; ++invalid) {
      SCOPED_TRACE("validity " + std::to_string(bad) + " group " + std::to_string(invalid));
      velto_gaze_data g{};
      g.device_time_stamp = -5;
      g.system_time_stamp = INT64_MAX;
      auto v = [&](int k) { return invalid == k ? bad : 1; };
      g.left_eye = eye_record(0, v(0), v(1), v(2));
      g.right_eye = eye_record(20, v(3), v(4), v(5));
      const std::string expected = expected_gaze(g);
      Tree heap(gaze_data_to_value(&g));
      EXPECT_EQ(expected, show(heap.v));
      for (size_t buffer_size : {size_t{4096}, size_t{64}}) {
        std::vector<char> buffer(buffer_size);
        ValueArena arena;
        value_arena_init(&arena, buffer.data(), buffer.size());
        Value* dict = gaze_data_to_value(&g, &arena);
        ASSERT_NE(nullptr, dict);
        EXPECT_EQ(expected, show(dict));
        for (int64_t i = 0; i < dict->count; ++i) {
          EXPECT_TRUE(value_string_is_static(dict->payload.items[2 * i])) << i;
        }
        value_free(dict);  // leaves the arena's nodes alone
        value_arena_release(&arena);
      }
    }
  }
}

// The text `key` of the dict of a record whose codes are all `code`.
std::string enumeration(const std::string& key, int32_t code) {
  velto_external_signal_data signal{};
  signal.change_type = code;
  velto_stream_error_data error{};
  error.error = error.source = code;
  velto_notification notification{};
  notification.notification_type = code;
  velto_eye_image image{};
  image.type = code;
  Tree dict(key == "change_type"    ? external_signal_to_value(&signal)
            : key.find("error") == 0 ? stream_error_to_value(&error)
            : key == "notification_type" ? notification_to_value(&notification)
            : key == "image_type"        ? eye_image_to_value(&image)
                                         : log_message_to_value(0, code, code, "m"));
  return value_bytes(dict_get(dict.v, key.substr(key.find(' ') + 1)));
}

// Each table's rows by code ("" where a code has no row), its "unknown"
// string, and the codes outside the table that must give it.
TEST(EventTranslators, EnumerationTablesAndCodesOutsideThem) {
  const struct {
    const char* key;  // the dict key, after a qualifier where two tables share it
    std::vector<std::string> rows;
    const char* unknown;
  } tables[] = {
      {"change_type",
       {"external_signal_change_type_value_changed", "external_signal_change_type_initial_value",
        "external_signal_change_type_connection_restored"},
       "external_signal_change_type_unknown"},
      {"error",
       {"stream_error_connection_lost", "", "stream_error_not_supported",
        "stream_error_internal_error", "stream_error_user_error"},
       "stream_error_unknown"},
      {"error source",
       {"stream_error_source_user", "stream_error_source_stream_pump",
        "stream_error_source_subscription_gaze_data",
        "stream_error_source_subscription_external_signal",
        "stream_error_source_subscription_time_synchronization_data",
        "stream_error_source_subscription_eye_image",
        "stream_error_source_subscription_notification"},
       "stream_error_source_unknown"},
      {"notification_type",
       {"eyetracker_notification_connection_lost", "eyetracker_notification_connection_restored",
        "eyetracker_notification_calibration_mode_entered",
        "eyetracker_notification_calibration_mode_left",
        "eyetracker_notification_track_box_changed",
        "eyetracker_notification_display_area_changed",
        "eyetracker_notification_gaze_output_frequency_changed"},
       "eyetracker_notification_unknown"},
      {"image_type", {"eye_image_type_full", "eye_image_type_cropped", ""},
       "eye_image_type_unknown"},
      {"log source", {"Kelmo", "SDK", "FirmwareUpgrade"}, "Unknown"},
      {"log level", {"Error", "Warning", "Information", "Debug", "Trace"}, "Unknown"},
  };
  for (const auto& table : tables) {
    const int32_t rows = static_cast<int32_t>(table.rows.size());
    for (int32_t code : {0, 1, 2, 3, 4, 5, 6, 7, -1, INT32_MIN, INT32_MAX}) {
      const std::string row = code >= 0 && code < rows ? table.rows[code] : "";
      EXPECT_EQ(row.empty() ? table.unknown : row, enumeration(table.key, code))
          << table.key << " " << code;
    }
  }
  // Defensive: a null log message is an empty text.
  Tree log(log_message_to_value(0, 0, 0, nullptr));
  EXPECT_EQ("''", show(dict_get(log.v, "message")));
}

}  // namespace
