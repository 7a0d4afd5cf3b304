// The stream callbacks and the dict builders behind them
// (docs/design-requests.md).
#include "streams/translators.h"

#include <stdint.h>
#include <string.h>

#include <new>

#include "streams/records.h"
#include "streams/registry.h"
#include "streams/stream_types.h"

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

uint64_t word_of(void* user_data) {
  return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(user_data));
}

// Every float is widened exactly; an invalid group keeps its shape with the
// NaN marker in place of each number.
double nan_marker() {
  double d;
  memcpy(&d, &kValueNanBits, sizeof d);
  return d;
}

// One eye's numbers in dict order, the NaN marker in place of each number of
// a group without data: what the gaze dict holds and what a prepared dict is
// refilled with.
struct EyeNumbers {
  double display[2];      // gaze point on the display area
  double user[3];         // gaze point in the user coordinate system
  double pupil;           // pupil diameter
  double origin_user[3];  // gaze origin in the user coordinate system
  double origin_box[3];   // gaze origin in the track box coordinate system
};

inline EyeNumbers eye_numbers(const velto_eye_data& e) {
  const double m = nan_marker();
  const bool point = e.gaze_point_validity == 1;
  const bool origin = e.gaze_origin_validity == 1;
  const bool pupil = e.pupil_validity == 1;
  auto in = [m](bool valid, float number) { return valid ? static_cast<double>(number) : m; };
  const velto_point2& d = e.gaze_point_on_display_area;
  const velto_point3& u = e.gaze_point_in_user_coordinate_system;
  const velto_point3& ou = e.gaze_origin_in_user_coordinate_system;
  const velto_point3& ob = e.gaze_origin_in_trackbox_coordinate_system;
  return EyeNumbers{{in(point, d.x), in(point, d.y)},
                    {in(point, u.x), in(point, u.y), in(point, u.z)},
                    in(pupil, e.pupil_diameter),
                    {in(origin, ou.x), in(origin, ou.y), in(origin, ou.z)},
                    {in(origin, ob.x), in(origin, ob.y), in(origin, ob.z)}};
}

// The gaze dict's keys in dict order, with their lengths (no strlen per sample).
#define GAZE_KEY(text) \
  { text, sizeof(text) - 1 }
constexpr int kGazeEntries = 18;
constexpr ValueKey kGazeKeys[kGazeEntries] = {
    GAZE_KEY("device_time_stamp"),
    GAZE_KEY("system_time_stamp"),
    GAZE_KEY("left_gaze_point_on_display_area"),
    GAZE_KEY("left_gaze_point_in_user_coordinate_system"),
    GAZE_KEY("left_gaze_point_validity"),
    GAZE_KEY("left_pupil_diameter"),
    GAZE_KEY("left_pupil_validity"),
    GAZE_KEY("left_gaze_origin_in_user_coordinate_system"),
    GAZE_KEY("left_gaze_origin_in_trackbox_coordinate_system"),
    GAZE_KEY("left_gaze_origin_validity"),
    GAZE_KEY("right_gaze_point_on_display_area"),
    GAZE_KEY("right_gaze_point_in_user_coordinate_system"),
    GAZE_KEY("right_gaze_point_validity"),
    GAZE_KEY("right_pupil_diameter"),
    GAZE_KEY("right_pupil_validity"),
    GAZE_KEY("right_gaze_origin_in_user_coordinate_system"),
    GAZE_KEY("right_gaze_origin_in_trackbox_coordinate_system"),
    GAZE_KEY("right_gaze_origin_validity"),
};
#undef GAZE_KEY

// Room for one gaze dict built in an arena: its 43 nodes and 37 dict slots
// take about 1.8 KiB (its keys are the key table's shared nodes).
constexpr size_t kGazeArenaBytes = 4096;

// One eye's eight entries, in dict order.
void eye_values(ValueArena* arena, const velto_eye_data& e, Value** v) {
  const EyeNumbers n = eye_numbers(e);
  v[0] = value_arena_float_tuple(arena, 2, n.display);
  v[1] = value_arena_float_tuple(arena, 3, n.user);
  v[2] = value_arena_int32(arena, e.gaze_point_validity);
  v[3] = value_arena_float(arena, n.pupil);
  v[4] = value_arena_int32(arena, e.pupil_validity);
  v[5] = value_arena_float_tuple(arena, 3, n.origin_user);
  v[6] = value_arena_float_tuple(arena, 3, n.origin_box);
  v[7] = value_arena_int32(arena, e.gaze_origin_validity);
}

// A gaze dict kept by its stream thread (see gaze_data_callback) and the
// value of each of its entries, in dict order.
struct PreparedGaze {
  alignas(16) char buffer[kGazeArenaBytes];
  ValueArena arena;
  Value* dict;
  Value* entries[kGazeEntries];
};

// The thread's prepared dict, made on its first sample and freed when it
// ends. A plain pointer, so that a sample looks the thread-local up once.
thread_local PreparedGaze* t_gaze = nullptr;
struct PreparedGazeOwner {
  ~PreparedGazeOwner() {
    if (t_gaze == nullptr) return;
    value_arena_release(&t_gaze->arena);
    delete t_gaze;
    t_gaze = nullptr;
  }
};
thread_local PreparedGazeOwner t_gaze_owner;

// Builds this thread's gaze dict from `data`; null when memory runs out.
PreparedGaze* prepare_gaze(const velto_gaze_data* data) {
  auto* gaze = new (std::nothrow) PreparedGaze;
  if (gaze == nullptr) return nullptr;
  value_arena_init(&gaze->arena, gaze->buffer, sizeof gaze->buffer);
  gaze->dict = gaze_data_to_value(data, &gaze->arena);
  if (gaze->dict == nullptr) {
    value_arena_release(&gaze->arena);
    delete gaze;
    return nullptr;
  }
  for (int k = 0; k < kGazeEntries; ++k) gaze->entries[k] = gaze->dict->payload.items[2 * k + 1];
  PreparedGazeOwner& owner = t_gaze_owner;  // frees it when the thread ends
  (void)owner;
  return t_gaze = gaze;
}

// Puts `count` numbers into the items of a float tuple.
inline void refill_floats(Value* tuple, const double* numbers, int count) {
  for (int k = 0; k < count; ++k) tuple->payload.items[k]->payload.f = numbers[k];
}

// One eye's eight entries, as eye_values builds them.
inline void refill_eye(Value** v, const velto_eye_data& e) {
  const EyeNumbers n = eye_numbers(e);
  refill_floats(v[0], n.display, 2);
  refill_floats(v[1], n.user, 3);
  v[2]->payload.i32 = e.gaze_point_validity;
  v[3]->payload.f = n.pupil;
  v[4]->payload.i32 = e.pupil_validity;
  refill_floats(v[5], n.origin_user, 3);
  refill_floats(v[6], n.origin_box, 3);
  v[7]->payload.i32 = e.gaze_origin_validity;
}

// Puts a record's numbers into a dict gaze_data_to_value built, whose entry
// values `v` holds in dict order.
inline void refill_gaze(Value** v, const velto_gaze_data& data) {
  v[0]->payload.i64 = data.device_time_stamp;
  v[1]->payload.i64 = data.system_time_stamp;
  refill_eye(v + 2, data.left_eye);
  refill_eye(v + 10, data.right_eye);
}

}  // namespace

Value* gaze_data_to_value(const velto_gaze_data* data, ValueArena* arena) {
  Value* v[kGazeEntries];
  v[0] = value_arena_int64(arena, data->device_time_stamp);
  v[1] = value_arena_int64(arena, data->system_time_stamp);
  eye_values(arena, data->left_eye, v + 2);
  eye_values(arena, data->right_eye, v + 10);
  bool complete = true;
  for (Value* value : v) complete = complete && value != nullptr;
  Value* dict = complete ? value_arena_dict_static_keys(arena, kGazeEntries, kGazeKeys) : nullptr;
  if (dict == nullptr) {
    // Out of memory: drop the sample rather than hand on a dict with holes.
    for (Value* value : v) value_free(value);
    return nullptr;
  }
  for (int k = 0; k < kGazeEntries; ++k) dict->payload.items[2 * k + 1] = v[k];
  return dict;
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
      "image_data", value_new_bytes(bytes != nullptr ? bytes : "", size));
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

namespace {

// The body of every event callback: build the record's dict (unless its
// subscription is already stale), deliver it, free it.
template <auto build, StreamType type, typename Record>
void deliver_record(const Record* data, void* user_data) {
  if (data == nullptr || registry_is_stale(word_of(user_data))) return;
  Value* dict = build(data);
  stream_deliver(word_of(user_data), type, dict);
  value_free(dict);
}

}  // namespace

extern "C" {

// Each stream thread builds its gaze dict once and then refills only its
// numbers; stream_deliver converts it before the next sample.
void gaze_data_callback(const velto_gaze_data* data, void* user_data) {
  if (data == nullptr || registry_is_stale(word_of(user_data))) return;
  PreparedGaze* gaze = t_gaze;
  if (gaze == nullptr) {
    gaze = prepare_gaze(data);
    if (gaze == nullptr) return;  // out of memory: drop the sample, try again next time
  } else {
    refill_gaze(gaze->entries, *data);
  }
  stream_deliver(word_of(user_data), STREAM_GAZE_DATA, gaze->dict);
}

void external_signal_callback(const velto_external_signal_data* data, void* user_data) {
  deliver_record<external_signal_to_value, STREAM_EXTERNAL_SIGNAL>(data, user_data);
}

void time_synchronization_callback(const velto_time_synchronization_data* data,
                                   void* user_data) {
  deliver_record<time_synchronization_to_value, STREAM_TIME_SYNCHRONIZATION>(data, user_data);
}

void stream_error_callback(const velto_stream_error_data* data, void* user_data) {
  deliver_record<stream_error_to_value, STREAM_STREAM_ERRORS>(data, user_data);
}

void notification_callback(const velto_notification* data, void* user_data) {
  deliver_record<notification_to_value, STREAM_NOTIFICATIONS>(data, user_data);
}

void eye_image_callback(const velto_eye_image* data, void* user_data) {
  deliver_record<eye_image_to_value, STREAM_EYE_IMAGES>(data, user_data);
}

void log_callback(int64_t system_time_stamp, int32_t source, int32_t level,
                  const char* message) {
  // The log subscription is read once per message. While there is none, or
  // it is one a cleanup() ended, nothing could be delivered: no dict is built.
  const uint64_t log = registry_log();
  if (log == kNoSubscription || registry_is_stale(log)) return;
  Value* dict = log_message_to_value(system_time_stamp, source, level, message);
  stream_deliver(log, STREAM_LOG, dict);
  value_free(dict);
}

}  // extern "C"
