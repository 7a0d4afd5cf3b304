// Device settings and geometry.
//
// The two list queries use the library's guess-and-retry-once pattern: a call
// with a fixed initial capacity and, on "buffer too small", exactly one more
// call with the capacity the library asked for.
#include "operations/settings.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "value/value.h"

namespace {

constexpr int32_t kInitialFrequencyCapacity = 4;
constexpr int32_t kInitialModeCapacity = 3;

typedef char ModeSlot[VELTO_MODE_NAME_SIZE];

velto_eyetracker* handle_from_int(int64_t value) {
  return reinterpret_cast<velto_eyetracker*>(static_cast<uintptr_t>(value));
}

// A zero-filled array of `count` entries (at least one, so the library always
// receives a real array), or null when it cannot be allocated.
template <typename T>
std::unique_ptr<T, decltype(&free)> zeroed_array(int32_t count) {
  size_t entries = count > 0 ? static_cast<size_t>(count) : 1;
  return std::unique_ptr<T, decltype(&free)>(static_cast<T*>(calloc(entries, sizeof(T))), &free);
}

// Guess and retry once. `fetch` is the library call (handle, array, capacity,
// count). On success `*array` holds the filled array and `*count` the number
// of entries to read, never more than the array holds. On failure the array
// is released and the status is returned.
template <typename T, typename Fetch>
int32_t fetch_with_retry(velto_eyetracker* handle, int32_t initial_capacity, Fetch fetch,
                         std::unique_ptr<T, decltype(&free)>* array, int32_t* count) {
  int32_t capacity = initial_capacity;
  *count = capacity;
  *array = zeroed_array<T>(capacity);
  // An array the library asks for but that cannot be allocated is answered
  // like a buffer that cannot be made big enough, rather than ending the
  // process.
  if (!*array) return STATUS_BUFFER_TOO_SMALL;
  int32_t status = fetch(handle, array->get(), capacity, count);
  if (status == STATUS_BUFFER_TOO_SMALL) {
    // A negative size from the library is no size at all.
    capacity = *count > 0 ? *count : 0;
    *count = capacity;
    array->reset();
    *array = zeroed_array<T>(capacity);
    if (!*array) return STATUS_BUFFER_TOO_SMALL;
    status = fetch(handle, array->get(), capacity, count);
  }
  if (status != STATUS_OK) {
    array->reset();
    return status;
  }
  // The library never reports more entries than the capacity it was given;
  // should one do so, only the array's own entries are read.
  if (*count > capacity) *count = capacity;
  if (*count < 0) *count = 0;
  return STATUS_OK;
}

Value* point3_to_value(const velto_point3& point) {
  return value_build("fff", static_cast<double>(point.x), static_cast<double>(point.y),
                     static_cast<double>(point.z));
}

// Parses the one-item argument tuple of the handle-only operations.
bool parse_handle(Value* args, velto_eyetracker** handle) {
  int64_t value = 0;
  if (!value_parse(args, "L", &value)) return false;
  *handle = handle_from_int(value);
  return true;
}

}  // namespace

Value* display_area_to_value(const velto_display_area* area) {
  return value_build_dict(6, "bottom_left", point3_to_value(area->bottom_left), "bottom_right",
                          point3_to_value(area->bottom_right), "height",
                          value_new_float(static_cast<double>(area->height)), "top_left",
                          point3_to_value(area->top_left), "top_right",
                          point3_to_value(area->top_right), "width",
                          value_new_float(static_cast<double>(area->width)));
}

Value* op_get_all_gaze_output_frequencies(Value* args, OutSlot* out) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  std::unique_ptr<float, decltype(&free)> frequencies(nullptr, &free);
  int32_t count = 0;
  int32_t status = fetch_with_retry<float>(handle, kInitialFrequencyCapacity,
                                           velto_get_all_gaze_output_frequencies, &frequencies,
                                           &count);
  if (status != STATUS_OK) return status_result(status);
  Value* list = value_new_container(VALUE_LIST, count);
  for (int32_t i = 0; i < count; ++i) {
    list->payload.items[i] = value_new_float(static_cast<double>(frequencies.get()[i]));
  }
  return value_build("iO", STATUS_OK, list);
}

Value* op_get_gaze_output_frequency(Value* args, OutSlot* out) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  float frequency = 0.0f;
  int32_t status = velto_get_gaze_output_frequency(handle, &frequency);
  if (status != STATUS_OK) return status_result(status);
  // The current frequency is reported rounded to six decimals (23.976 stays
  // 23.976), unlike the exact widening of the frequency list.
  return value_build("if", STATUS_OK, round_float(frequency));
}

Value* op_set_gaze_output_frequency(Value* args, OutSlot* out) {
  int64_t handle_value = 0;
  float frequency = 0.0f;
  if (!value_parse(args, "Lf", &handle_value, &frequency)) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  return status_result(velto_set_gaze_output_frequency(handle_from_int(handle_value), frequency));
}

Value* op_get_all_eye_tracking_modes(Value* args, OutSlot* out) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  std::unique_ptr<ModeSlot, decltype(&free)> modes(nullptr, &free);
  int32_t count = 0;
  int32_t status = fetch_with_retry<ModeSlot>(handle, kInitialModeCapacity,
                                              velto_get_all_eye_tracking_modes, &modes, &count);
  if (status != STATUS_OK) return status_result(status);
  Value* list = value_new_container(VALUE_LIST, count);
  for (int32_t i = 0; i < count; ++i) {
    char* slot = modes.get()[i];
    // A name is at most 63 bytes; an unterminated slot is cut there.
    slot[VELTO_MODE_NAME_SIZE - 1] = '\0';
    list->payload.items[i] = value_new_string(slot, strlen(slot));
  }
  return value_build("iO", STATUS_OK, list);
}

Value* op_get_eye_tracking_mode(Value* args, OutSlot* out) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  char mode[VELTO_MODE_NAME_SIZE] = {};
  int32_t status = velto_get_eye_tracking_mode(handle, mode);
  if (status != STATUS_OK) return status_result(status);
  // At most 63 bytes of text even if the library left the buffer unterminated.
  mode[VELTO_MODE_NAME_SIZE - 1] = '\0';
  return value_build("is", STATUS_OK, mode);
}

Value* op_set_eye_tracking_mode(Value* args, OutSlot* out) {
  int64_t handle_value = 0;
  const char* mode = nullptr;
  if (!value_parse(args, "Ls", &handle_value, &mode)) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  return status_result(velto_set_eye_tracking_mode(handle_from_int(handle_value), mode));
}

Value* op_set_device_name(Value* args, OutSlot* out) {
  int64_t handle_value = 0;
  const char* name = nullptr;
  if (!value_parse(args, "Ls", &handle_value, &name)) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  return status_result(velto_set_device_name(handle_from_int(handle_value), name));
}

Value* op_get_display_area(Value* args, OutSlot* out) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  velto_display_area area = {};
  int32_t status = velto_get_display_area(handle, &area);
  if (status != STATUS_OK) return status_result(status);
  return value_build("iO", STATUS_OK, display_area_to_value(&area));
}

Value* op_get_track_box(Value* args, OutSlot* out) {
  velto_eyetracker* handle = nullptr;
  if (!parse_handle(args, &handle)) return status_result(STATUS_INVALID_PARAMETER);
  velto_track_box box = {};
  int32_t status = velto_get_track_box(handle, &box);
  if (status != STATUS_OK) return status_result(status);
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
