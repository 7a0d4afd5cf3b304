#include "streams/stream_types.h"

#include "device/device_values.h"
#include "streams/translators.h"

namespace {

// Each stream type's library calls, with its own module callback bound in.
struct StreamCalls {
  StreamType type;
  int32_t (*subscribe)(velto_eyetracker* device, void* user_data);
  int32_t (*unsubscribe)(velto_eyetracker* device);
};

constexpr StreamCalls kStreamCalls[] = {
    {STREAM_LOG,
     [](velto_eyetracker*, void*) { return velto_logging_subscribe(log_callback); },
     [](velto_eyetracker*) { return velto_logging_unsubscribe(); }},
    {STREAM_GAZE_DATA,
     [](velto_eyetracker* d, void* u) { return velto_subscribe_to_gaze_data(d, gaze_data_callback, u); },
     [](velto_eyetracker* d) { return velto_unsubscribe_from_gaze_data(d, gaze_data_callback); }},
    {STREAM_EXTERNAL_SIGNAL,
     [](velto_eyetracker* d, void* u) {
       return velto_subscribe_to_external_signal_data(d, external_signal_callback, u);
     },
     [](velto_eyetracker* d) {
       return velto_unsubscribe_from_external_signal_data(d, external_signal_callback);
     }},
    {STREAM_TIME_SYNCHRONIZATION,
     [](velto_eyetracker* d, void* u) {
       return velto_subscribe_to_time_synchronization_data(d, time_synchronization_callback, u);
     },
     [](velto_eyetracker* d) {
       return velto_unsubscribe_from_time_synchronization_data(d, time_synchronization_callback);
     }},
    {STREAM_STREAM_ERRORS,
     [](velto_eyetracker* d, void* u) {
       return velto_subscribe_to_stream_errors(d, stream_error_callback, u);
     },
     [](velto_eyetracker* d) { return velto_unsubscribe_from_stream_errors(d, stream_error_callback); }},
    {STREAM_NOTIFICATIONS,
     [](velto_eyetracker* d, void* u) {
       return velto_subscribe_to_notifications(d, notification_callback, u);
     },
     [](velto_eyetracker* d) { return velto_unsubscribe_from_notifications(d, notification_callback); }},
    {STREAM_EYE_IMAGES,
     [](velto_eyetracker* d, void* u) {
       return velto_subscribe_to_eye_image_as_gif(d, eye_image_callback, u);
     },
     [](velto_eyetracker* d) { return velto_unsubscribe_from_eye_image_as_gif(d, eye_image_callback); }},
};
constexpr int32_t kStreamTypes = sizeof(kStreamCalls) / sizeof(kStreamCalls[0]);

// The table is indexed by stream type: row k must be type k, every type once.
constexpr bool rows_follow_types() {
  for (int32_t k = 0; k < kStreamTypes; ++k) {
    if (kStreamCalls[k].type != k) return false;
  }
  return true;
}
static_assert(rows_follow_types(), "kStreamCalls: row k must hold stream type k");
static_assert(kStreamTypes == STREAM_EYE_IMAGES + 1, "kStreamCalls: one row per stream type");

}  // namespace

bool stream_type_is_known(int32_t stream_type) {
  return stream_type >= 0 && stream_type < kStreamTypes;
}

int32_t stream_library_subscribe(int32_t stream_type, int64_t device, uint64_t user_data) {
  return kStreamCalls[stream_type].subscribe(handle_from_int(device),
                                             reinterpret_cast<void*>(static_cast<uintptr_t>(user_data)));
}

int32_t stream_library_unsubscribe(int32_t stream_type, int64_t device) {
  return kStreamCalls[stream_type].unsubscribe(handle_from_int(device));
}
