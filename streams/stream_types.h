// The seven stream types and, per type, the device-library calls that start
// and end the module's callback for it. Constant tables; any thread.
#ifndef VELTO_STREAMS_STREAM_TYPES_H_
#define VELTO_STREAMS_STREAM_TYPES_H_

#include <stdint.h>

enum StreamType : int32_t {
  STREAM_LOG = 0,
  STREAM_GAZE_DATA = 1,
  STREAM_EXTERNAL_SIGNAL = 2,
  STREAM_TIME_SYNCHRONIZATION = 3,
  STREAM_STREAM_ERRORS = 4,
  STREAM_NOTIFICATIONS = 5,
  STREAM_EYE_IMAGES = 6,
};

// Whether `stream_type` is one of the seven.
bool stream_type_is_known(int32_t stream_type);

// Subscribes the module's callback of `stream_type` at the device library:
// velto_logging_subscribe for the log stream (device and user data unused),
// the per-device subscribe call with `user_data` for the others. Returns the
// library's status. The type must be known.
int32_t stream_library_subscribe(int32_t stream_type, int64_t device, uint64_t user_data);
// Ends it: velto_logging_unsubscribe, or the per-device unsubscribe call for
// (device, the stream's callback). Returns the library's status. The type must
// be known.
int32_t stream_library_unsubscribe(int32_t stream_type, int64_t device);

#endif  // VELTO_STREAMS_STREAM_TYPES_H_
