// Device settings and geometry.
//
// The two list queries use the library's guess-and-retry-once pattern: a call
// with a fixed initial capacity and, on "buffer too small", exactly one more
// call with the capacity the library asked for.
#include "operations/settings.h"

#include <stdint.h>
#include <string.h>

#include "operations/handler_support.h"
#include "streams/records.h"

namespace {

constexpr int32_t kInitialFrequencyCapacity = 4;
constexpr int32_t kInitialModeCapacity = 3;

typedef char ModeSlot[VELTO_MODE_NAME_SIZE];

// Guess and retry once. `fetch` is the library call (handle, array, capacity,
// count). On success `*array` holds the filled array and `*count` the number
// of entries to read, never more than the array holds. On failure the array
// is released and the status is returned.
template <typename T, typename Fetch>
int32_t fetch_with_retry(velto_eyetracker* handle, int32_t initial_capacity, Fetch fetch,
                         LibraryArray<T>* array, int32_t* count) {
  int32_t capacity = initial_capacity;
  *count = capacity;
  *array = zeroed_array<T>(capacity);
  if (!*array) return VELTO_STATUS_BUFFER_TOO_SMALL;
  int32_t status = fetch(handle, array->get(), capacity, count);
  if (status == VELTO_STATUS_BUFFER_TOO_SMALL) {
    // A negative size from the library is no size at all.
    capacity = *count > 0 ? *count : 0;
    *count = capacity;
    array->reset();
    *array = zeroed_array<T>(capacity);
    if (!*array) return VELTO_STATUS_BUFFER_TOO_SMALL;
    status = fetch(handle, array->get(), capacity, count);
  }
  if (status != VELTO_STATUS_OK) {
    array->reset();
    return status;
  }
  // The library never reports more entries than the capacity it was given;
  // should one do so, only the array's own entries are read.
  if (*count > capacity) *count = capacity;
  if (*count < 0) *count = 0;
  return VELTO_STATUS_OK;
}

}  // namespace

Value* op_get_all_gaze_output_frequencies(Value* args, RequestContext* request) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  LibraryArray<float> frequencies(nullptr, &free);
  int32_t count = 0;
  const int32_t status = fetch_with_retry<float>(handle, kInitialFrequencyCapacity,
                                                 velto_get_all_gaze_output_frequencies,
                                                 &frequencies, &count);
  if (status != VELTO_STATUS_OK) return status_result(status);
  Value* list = value_new_container(VALUE_LIST, count);
  for (int32_t i = 0; list && i < count; ++i) {
    list->payload.items[i] = value_new_float(static_cast<double>(frequencies.get()[i]));
  }
  return payload_result(list);
}

Value* op_get_gaze_output_frequency(Value* args, RequestContext* request) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  float frequency = 0.0f;
  const int32_t status = velto_get_gaze_output_frequency(handle, &frequency);
  if (status != VELTO_STATUS_OK) return status_result(status);
  // The current frequency is reported rounded to six decimals (23.976 stays
  // 23.976), unlike the exact widening of the frequency list.
  return value_build("if", STATUS_OK, round_float(frequency));
}

Value* op_set_gaze_output_frequency(Value* args, RequestContext* request) {
  int64_t handle = 0;
  float frequency = 0.0f;
  if (!value_parse(args, "Lf", &handle, &frequency)) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  return status_result(velto_set_gaze_output_frequency(handle_from_int(handle), frequency));
}

Value* op_get_all_eye_tracking_modes(Value* args, RequestContext* request) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  LibraryArray<ModeSlot> modes(nullptr, &free);
  int32_t count = 0;
  const int32_t status = fetch_with_retry<ModeSlot>(
      handle, kInitialModeCapacity, velto_get_all_eye_tracking_modes, &modes, &count);
  if (status != VELTO_STATUS_OK) return status_result(status);
  Value* list = value_new_container(VALUE_LIST, count);
  for (int32_t i = 0; list && i < count; ++i) {
    char* slot = modes.get()[i];
    // A name is at most 63 bytes; an unterminated slot is cut there.
    slot[VELTO_MODE_NAME_SIZE - 1] = '\0';
    list->payload.items[i] = value_new_string(slot, strlen(slot));
  }
  return payload_result(list);
}

Value* op_get_eye_tracking_mode(Value* args, RequestContext* request) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  char mode[VELTO_MODE_NAME_SIZE] = {};
  const int32_t status = velto_get_eye_tracking_mode(handle, mode);
  if (status != VELTO_STATUS_OK) return status_result(status);
  // At most 63 bytes of text even if the library left the buffer unterminated.
  mode[VELTO_MODE_NAME_SIZE - 1] = '\0';
  return value_build("is", STATUS_OK, mode);
}

Value* op_set_eye_tracking_mode(Value* args, RequestContext* request) {
  int64_t handle = 0;
  const char* mode = nullptr;
  if (!value_parse(args, "Ls", &handle, &mode)) return status_result(STATUS_INVALID_PARAMETER);
  return status_result(velto_set_eye_tracking_mode(handle_from_int(handle), mode));
}

Value* op_set_device_name(Value* args, RequestContext* request) {
  int64_t handle = 0;
  const char* name = nullptr;
  if (!value_parse(args, "Ls", &handle, &name)) return status_result(STATUS_INVALID_PARAMETER);
  return status_result(velto_set_device_name(handle_from_int(handle), name));
}

Value* op_get_display_area(Value* args, RequestContext* request) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  velto_display_area area = {};
  const int32_t status = velto_get_display_area(handle, &area);
  if (status != VELTO_STATUS_OK) return status_result(status);
  return value_build("iO", STATUS_OK, display_area_to_value(&area));
}

Value* op_get_track_box(Value* args, RequestContext* request) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  velto_track_box box = {};
  const int32_t status = velto_get_track_box(handle, &box);
  if (status != VELTO_STATUS_OK) return status_result(status);
  Value* dict = value_build_dict(
      8, "back_lower_left", point3_to_value(box.back_lower_left), "back_lower_right",
      point3_to_value(box.back_lower_right), "back_upper_left",
      point3_to_value(box.back_upper_left), "back_upper_right",
      point3_to_value(box.back_upper_right), "front_lower_left",
      point3_to_value(box.front_lower_left), "front_lower_right",
      point3_to_value(box.front_lower_right), "front_upper_left",
      point3_to_value(box.front_upper_left), "front_upper_right",
      point3_to_value(box.front_upper_right));
  return value_build("iO", STATUS_OK, dict);
}
