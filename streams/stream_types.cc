#include "streams/stream_types.h"

#include "device/device_values.h"
#include "streams/translators.h"

namespace {

// One row per stream type, in code order: its library calls, each with the
// stream's own module callback bound in.
struct StreamCalls {
  int32_t (*subscribe)(velto_eyetracker* device, void* user_data);
  int32_t (*unsubscribe)(velto_eyetracker* device);
};

const StreamCalls kStreamCalls[] = {
    {[](velto_eyetracker*, void*) { return velto_logging_subscribe(log_callback); },
     [](velto_eyetracker*) { return velto_logging_unsubscribe(); }},
    {[](velto_eyetracker* d, void* u) { return velto_subscribe_to_gaze_data(d, gaze_data_callback, u); },
     [](velto_eyetracker* d) { return velto_unsubscribe_from_gaze_data(d, gaze_data_callback); }},
    {[](velto_eyetracker* d, void* u) {
       return velto_subscribe_to_external_signal_data(d, external_signal_callback, u);
     },
     [](velto_eyetracker* d) {
       return velto_unsubscribe_from_external_signal_data(d, external_signal_callback);
     }},
    {[](velto_eyetracker* d, void* u) {
       return velto_subscribe_to_time_synchronization_data(d, time_synchronization_callback, u);
     },
     [](velto_eyetracker* d) {
       return velto_unsubscribe_from_time_synchronization_data(d, time_synchronization_callback);
     }},
    {[](velto_eyetracker* d, void* u) {
       return velto_subscribe_to_stream_errors(d, stream_error_callback, u);
     },
     [](velto_eyetracker* d) { return velto_unsubscribe_from_stream_errors(d, stream_error_callback); }},
    {[](velto_eyetracker* d, void* u) {
       return velto_subscribe_to_notifications(d, notification_callback, u);
     },
     [](velto_eyetracker* d) { return velto_unsubscribe_from_notifications(d, notification_callback); }},
    {[](velto_eyetracker* d, void* u) {
       return velto_subscribe_to_eye_image_as_gif(d, eye_image_callback, u);
     },
     [](velto_eyetracker* d) { return velto_unsubscribe_from_eye_image_as_gif(d, eye_image_callback); }},
};
constexpr int32_t kStreamTypes = sizeof(kStreamCalls) / sizeof(kStreamCalls[0]);

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
