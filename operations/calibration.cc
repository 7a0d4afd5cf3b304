// Screen-based calibration and calibration data.
//
// The module keeps no calibration state: every step is forwarded to the
// library, which alone judges whether it is allowed, and its status is the
// answer. The points query and the data retrieval use the library's size
// query: one call to learn the size, then one call to fill an array of it.
#include "operations/calibration.h"

#include <stdint.h>

#include "operations/handler_support.h"

namespace {

// The handle-only steps: parse, call, answer with the library's status.
Value* forward_handle_call(Value* args, int32_t (*call)(velto_eyetracker*)) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  return status_result(call(handle));
}

// The point steps (collect, discard): handle and two float coordinates.
Value* forward_point_call(Value* args, int32_t (*call)(velto_eyetracker*, float, float)) {
  int64_t handle_value = 0;
  float x = 0.0f;
  float y = 0.0f;
  if (!value_parse(args, "Lff", &handle_value, &x, &y)) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  return status_result(call(handle_from_int(handle_value), x, y));
}

Value* calibration_point_to_value(const velto_calibration_point& point) {
  // The target position is reported rounded to six decimals (0.1 stays 0.1);
  // the measured sample positions are exact widenings.
  return value_build_dict(
      5, "position",
      value_build("ff", round_float(point.position.x), round_float(point.position.y)),
      "left_sample_position",
      value_build("ff", static_cast<double>(point.left_sample_position.x),
                  static_cast<double>(point.left_sample_position.y)),
      "left_validity", value_new_int32(point.left_validity), "right_sample_position",
      value_build("ff", static_cast<double>(point.right_sample_position.x),
                  static_cast<double>(point.right_sample_position.y)),
      "right_validity", value_new_int32(point.right_validity));
}

}  // namespace

Value* op_screen_based_calibration_enter_calibration_mode(Value* args, RequestContext* request) {
  return forward_handle_call(args, velto_screen_based_calibration_enter_calibration_mode);
}

Value* op_screen_based_calibration_leave_calibration_mode(Value* args, RequestContext* request) {
  return forward_handle_call(args, velto_screen_based_calibration_leave_calibration_mode);
}

Value* op_screen_based_calibration_collect_data(Value* args, RequestContext* request) {
  return forward_point_call(args, velto_screen_based_calibration_collect_data);
}

Value* op_screen_based_calibration_discard_data(Value* args, RequestContext* request) {
  return forward_point_call(args, velto_screen_based_calibration_discard_data);
}

Value* op_screen_based_calibration_compute_and_apply(Value* args, RequestContext* request) {
  return forward_handle_call(args, velto_screen_based_calibration_compute_and_apply);
}

Value* op_screen_based_calibration_get_calibration_points(Value* args, RequestContext* request) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  size_t count = 0;
  int32_t status = velto_screen_based_calibration_get_calibration_points(handle, nullptr, 0,
                                                                         &count);
  if (status != VELTO_STATUS_OK) return status_result(status);
  if (count == 0) return payload_result(value_new_container(VALUE_LIST, 0));

  size_t capacity = count;
  LibraryArray<velto_calibration_point> points = zeroed_array<velto_calibration_point>(capacity);
  if (!points) return status_result(VELTO_STATUS_BUFFER_TOO_SMALL);
  status = velto_screen_based_calibration_get_calibration_points(handle, points.get(), capacity,
                                                                 &count);
  if (status != VELTO_STATUS_OK) return status_result(status);
  // The library never reports more records than it was given room for;
  // should one do so, only the array's own records are read.
  if (count > capacity) count = capacity;

  Value* list = value_new_container(VALUE_LIST, static_cast<int32_t>(count));
  for (size_t i = 0; list && i < count; ++i) {
    list->payload.items[i] = calibration_point_to_value(points.get()[i]);
  }
  return payload_result(list);
}

Value* op_calibration_retrieve(Value* args, RequestContext* request) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  size_t size = 0;
  int32_t status = velto_retrieve_calibration_data(handle, nullptr, 0, &size);
  if (status != VELTO_STATUS_OK) return status_result(status);
  // No calibration data on the device: (0, None).
  if (size == 0) return value_build("iO", STATUS_OK, value_new_none());

  size_t capacity = size;
  LibraryArray<uint8_t> data = zeroed_array<uint8_t>(capacity);
  if (!data) return status_result(VELTO_STATUS_BUFFER_TOO_SMALL);
  status = velto_retrieve_calibration_data(handle, data.get(), capacity, &size);
  if (status != VELTO_STATUS_OK) return status_result(status);
  // Never read past the buffer, whatever size the library reports.
  if (size > capacity) size = capacity;
  // Binary data: Python 3 receives it as bytes.
  return payload_result(value_new_bytes(reinterpret_cast<const char*>(data.get()), size));
}

Value* op_calibration_apply(Value* args, RequestContext* request) {
  int64_t handle_value = 0;
  Value* data = nullptr;
  if (!value_parse(args, "LO", &handle_value, &data) || data->kind != VALUE_STRING) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  // The whole string, NUL bytes included: its count, not its first NUL.
  return status_result(velto_apply_calibration_data(
      handle_from_int(handle_value), reinterpret_cast<const uint8_t*>(data->payload.s),
      static_cast<size_t>(data->count)));
}
