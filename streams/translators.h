// The module's stream callbacks: each turns one device-library record into a
// stream dict, hands it to stream_deliver() and frees it. Device-library
// threads, no lock; the gaze callback keeps one prepared dict per thread.
#ifndef VELTO_STREAMS_TRANSLATORS_H_
#define VELTO_STREAMS_TRANSLATORS_H_

#include "device/velto.h"
#include "value/value.h"

extern "C" {
void gaze_data_callback(const velto_gaze_data* data, void* user_data);
void external_signal_callback(const velto_external_signal_data* data, void* user_data);
void time_synchronization_callback(const velto_time_synchronization_data* data,
                                   void* user_data);
void stream_error_callback(const velto_stream_error_data* data, void* user_data);
void notification_callback(const velto_notification* data, void* user_data);
void eye_image_callback(const velto_eye_image* data, void* user_data);
void log_callback(int64_t system_time_stamp, int32_t source, int32_t level,
                  const char* message);
}

// The dict builders behind the callbacks (new trees owned by the caller);
// exposed for unit tests, fuzzing and benchmarks. The gaze dict is built in
// `arena` when one is given (released with the arena; gaze_data_callback
// does this), otherwise on the heap (freed with value_free). Null only when
// memory runs out.
Value* gaze_data_to_value(const velto_gaze_data* data, ValueArena* arena = nullptr);
Value* external_signal_to_value(const velto_external_signal_data* data);
Value* time_synchronization_to_value(const velto_time_synchronization_data* data);
Value* stream_error_to_value(const velto_stream_error_data* data);
Value* notification_to_value(const velto_notification* data);
Value* eye_image_to_value(const velto_eye_image* data);
Value* log_message_to_value(int64_t system_time_stamp, int32_t source, int32_t level,
                            const char* message);

#endif  // VELTO_STREAMS_TRANSLATORS_H_
