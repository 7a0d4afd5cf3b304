// The stream callbacks and the dict builders behind them.
//
// Each callback builds its dict from the record without any lock, hands it to
// stream_deliver() with its slot index and stream type, and frees it whether
// or not anything was delivered. Nothing here keeps state between calls.
#include "streams/translators.h"

#include <stdint.h>
#include <string.h>

#include "operations/settings.h"
#include "streams/subscriptions.h"

namespace {

// Enumeration tables, indexed by code. A code outside its table (negative,
// past the last row, or a hole such as code 1 of the stream error table)
// yields the table's fixed "unknown" string instead of reading outside it.
constexpr const char* kChangeTypes[] = {
    "external_signal_change_type_value_changed",
    "external_signal_change_type_initial_value",
    "external_signal_change_type_connection_restored",
};
constexpr const char* kChangeTypeUnknown = "external_signal_change_type_unknown";

constexpr const char* kStreamErrors[] = {
    "stream_error_connection_lost",
    nullptr,  // code 1 has no row
    "stream_error_not_supported",
    "stream_error_internal_error",
    "stream_error_user_error",
};
constexpr const char* kStreamErrorUnknown = "stream_error_unknown";

constexpr const char* kStreamErrorSources[] = {
    "stream_error_source_user",
    "stream_error_source_stream_pump",
    "stream_error_source_subscription_gaze_data",
    "stream_error_source_subscription_external_signal",
    "stream_error_source_subscription_time_synchronization_data",
    "stream_error_source_subscription_eye_image",
    "stream_error_source_subscription_notification",
};
constexpr const char* kStreamErrorSourceUnknown = "stream_error_source_unknown";

constexpr const char* kNotificationTypes[] = {
    "eyetracker_notification_connection_lost",
    "eyetracker_notification_connection_restored",
    "eyetracker_notification_calibration_mode_entered",
    "eyetracker_notification_calibration_mode_left",
    "eyetracker_notification_track_box_changed",
    "eyetracker_notification_display_area_changed",
    "eyetracker_notification_gaze_output_frequency_changed",
};
constexpr const char* kNotificationTypeUnknown = "eyetracker_notification_unknown";

// "eye_image_type_unknown" is also the row of code 2.
constexpr const char* kEyeImageTypes[] = {
    "eye_image_type_full",
    "eye_image_type_cropped",
    "eye_image_type_unknown",
};
constexpr const char* kEyeImageTypeUnknown = "eye_image_type_unknown";

constexpr const char* kLogSources[] = {"Kelmo", "SDK", "FirmwareUpgrade"};
constexpr const char* kLogLevels[] = {"Error", "Warning", "Information", "Debug", "Trace"};
constexpr const char* kLogUnknown = "Unknown";

template <size_t N>
const char* table_row(const char* const (&rows)[N], int32_t code, const char* unknown) {
  if (code < 0 || static_cast<size_t>(code) >= N || rows[code] == nullptr) return unknown;
  return rows[code];
}

Value* new_text(const char* text) {
  if (text == nullptr) text = "";  // defensive: a null text is taken as empty
  return value_new_string(text, strlen(text));
}

uint64_t slot_of(void* user_data) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(user_data));
}

// Every float is widened exactly; an invalid group keeps its shape with the
// NaN marker in place of each number.
Value* point2(const velto_point2& p, bool valid) {
  return valid ? value_build("ff", static_cast<double>(p.x), static_cast<double>(p.y))
               : value_build("nn");
}

Value* point3(const velto_point3& p, bool valid) {
  return valid ? value_build("fff", static_cast<double>(p.x), static_cast<double>(p.y),
                             static_cast<double>(p.z))
               : value_build("nnn");
}

}  // namespace

Value* gaze_data_to_value(const velto_gaze_data* data) {
  const velto_eye_data& l = data->left_eye;
  const velto_eye_data& r = data->right_eye;
  const bool l_point = l.gaze_point_validity == 1;
  const bool l_pupil = l.pupil_validity == 1;
  const bool l_origin = l.gaze_origin_validity == 1;
  const bool r_point = r.gaze_point_validity == 1;
  const bool r_pupil = r.pupil_validity == 1;
  const bool r_origin = r.gaze_origin_validity == 1;
  return value_build_dict(
      18,
      "device_time_stamp", value_new_int64(data->device_time_stamp),
      "system_time_stamp", value_new_int64(data->system_time_stamp),
      "left_gaze_point_on_display_area", point2(l.gaze_point_on_display_area, l_point),
      "left_gaze_point_in_user_coordinate_system",
      point3(l.gaze_point_in_user_coordinate_system, l_point),
      "left_gaze_point_validity", value_new_int32(l.gaze_point_validity),
      "left_pupil_diameter",
      l_pupil ? value_new_float(static_cast<double>(l.pupil_diameter)) : value_new_nan(),
      "left_pupil_validity", value_new_int32(l.pupil_validity),
      "left_gaze_origin_in_user_coordinate_system",
      point3(l.gaze_origin_in_user_coordinate_system, l_origin),
      "left_gaze_origin_in_trackbox_coordinate_system",
      point3(l.gaze_origin_in_trackbox_coordinate_system, l_origin),
      "left_gaze_origin_validity", value_new_int32(l.gaze_origin_validity),
      "right_gaze_point_on_display_area", point2(r.gaze_point_on_display_area, r_point),
      "right_gaze_point_in_user_coordinate_system",
      point3(r.gaze_point_in_user_coordinate_system, r_point),
      "right_gaze_point_validity", value_new_int32(r.gaze_point_validity),
      "right_pupil_diameter",
      r_pupil ? value_new_float(static_cast<double>(r.pupil_diameter)) : value_new_nan(),
      "right_pupil_validity", value_new_int32(r.pupil_validity),
      "right_gaze_origin_in_user_coordinate_system",
      point3(r.gaze_origin_in_user_coordinate_system, r_origin),
      "right_gaze_origin_in_trackbox_coordinate_system",
      point3(r.gaze_origin_in_trackbox_coordinate_system, r_origin),
      "right_gaze_origin_validity", value_new_int32(r.gaze_origin_validity));
}

Value* external_signal_to_value(const velto_external_signal_data* data) {
  return value_build_dict(
      4,
      "value", value_new_int32(data->value),
      "change_type", new_text(table_row(kChangeTypes, data->change_type, kChangeTypeUnknown)),
      "device_time_stamp", value_new_int64(data->device_time_stamp),
      "system_time_stamp", value_new_int64(data->system_time_stamp));
}

Value* time_synchronization_to_value(const velto_time_synchronization_data* data) {
  return value_build_dict(
      3,
      "system_request_time_stamp", value_new_int64(data->system_request_time_stamp),
      "device_time_stamp", value_new_int64(data->device_time_stamp),
      "system_response_time_stamp", value_new_int64(data->system_response_time_stamp));
}

Value* stream_error_to_value(const velto_stream_error_data* data) {
  return value_build_dict(
      4,
      "system_time_stamp", value_new_int64(data->system_time_stamp),
      "error", new_text(table_row(kStreamErrors, data->error, kStreamErrorUnknown)),
      "source",
      new_text(table_row(kStreamErrorSources, data->source, kStreamErrorSourceUnknown)),
      "message", new_text(data->message));
}

Value* notification_to_value(const velto_notification* data) {
  const int32_t type = data->notification_type;
  Value* type_name =
      new_text(table_row(kNotificationTypes, type, kNotificationTypeUnknown));
  Value* time_stamp = value_new_int64(data->system_time_stamp);
  // Only types 5 and 6 carry a payload; no other type reads past offset 12.
  if (type == VELTO_NOTIFICATION_DISPLAY_AREA_CHANGED) {
    return value_build_dict(3, "notification_type", type_name, "system_time_stamp", time_stamp,
                            "display_area", display_area_to_value(&data->value.display_area));
  }
  if (type == VELTO_NOTIFICATION_GAZE_OUTPUT_FREQUENCY_CHANGED) {
    // Widened exactly, not rounded through decimal text.
    return value_build_dict(
        3, "notification_type", type_name, "system_time_stamp", time_stamp,
        "gaze_output_frequency",
        value_new_float(static_cast<double>(data->value.gaze_output_frequency)));
  }
  return value_build_dict(2, "notification_type", type_name, "system_time_stamp", time_stamp);
}

Value* eye_image_to_value(const velto_eye_image* data) {
  // Copied by count: zero bytes stay in place. A null pointer is taken as an
  // empty image whatever the size says.
  const char* bytes = static_cast<const char*>(data->image_data);
  const uint64_t size = bytes != nullptr ? data->image_size : 0;
  return value_build_dict(
      5,
      "device_time_stamp", value_new_int64(data->device_time_stamp),
      "system_time_stamp", value_new_int64(data->system_time_stamp),
      "camera_id", value_new_int32(data->camera_id),
      "image_type", new_text(table_row(kEyeImageTypes, data->type, kEyeImageTypeUnknown)),
      "image_data", value_new_string(bytes != nullptr ? bytes : "", size));
}

Value* log_message_to_value(int64_t system_time_stamp, int32_t source, int32_t level,
                            const char* message) {
  return value_build_dict(
      4,
      "system_time_stamp", value_new_int64(system_time_stamp),
      "source", new_text(table_row(kLogSources, source, kLogUnknown)),
      "level", new_text(table_row(kLogLevels, level, kLogUnknown)),
      "message", new_text(message));
}

extern "C" {

void gaze_data_callback(const velto_gaze_data* data, void* user_data) {
  if (data == nullptr) return;
  Value* dict = gaze_data_to_value(data);
  stream_deliver(slot_of(user_data), STREAM_GAZE_DATA, dict);
  value_free(dict);
}

void external_signal_callback(const velto_external_signal_data* data, void* user_data) {
  if (data == nullptr) return;
  Value* dict = external_signal_to_value(data);
  stream_deliver(slot_of(user_data), STREAM_EXTERNAL_SIGNAL, dict);
  value_free(dict);
}

void time_synchronization_callback(const velto_time_synchronization_data* data,
                                   void* user_data) {
  if (data == nullptr) return;
  Value* dict = time_synchronization_to_value(data);
  stream_deliver(slot_of(user_data), STREAM_TIME_SYNCHRONIZATION, dict);
  value_free(dict);
}

void stream_error_callback(const velto_stream_error_data* data, void* user_data) {
  if (data == nullptr) return;
  Value* dict = stream_error_to_value(data);
  stream_deliver(slot_of(user_data), STREAM_STREAM_ERRORS, dict);
  value_free(dict);
}

void notification_callback(const velto_notification* data, void* user_data) {
  if (data == nullptr) return;
  Value* dict = notification_to_value(data);
  stream_deliver(slot_of(user_data), STREAM_NOTIFICATIONS, dict);
  value_free(dict);
}

void eye_image_callback(const velto_eye_image* data, void* user_data) {
  if (data == nullptr) return;
  Value* dict = eye_image_to_value(data);
  stream_deliver(slot_of(user_data), STREAM_EYE_IMAGES, dict);
  value_free(dict);
}

void log_callback(int64_t system_time_stamp, int32_t source, int32_t level,
                  const char* message) {
  // The log slot is read once per message. While there is no log
  // subscription (-1) nothing could be delivered, so no dict is built.
  const int64_t slot = log_slot_current();
  if (slot < 0) return;
  Value* dict = log_message_to_value(system_time_stamp, source, level, message);
  stream_deliver(static_cast<uint64_t>(slot), STREAM_LOG, dict);
  value_free(dict);
}

}  // extern "C"
