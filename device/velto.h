// The device library `velto` as the module uses it: functions, records,
// callbacks and status codes.
//
// The library is closed; the module links it by name (libvelto.so) and the
// stand-in in simulator/ implements exactly these declarations.
//
// Conventions of the library:
// - Every function returns a 32-bit signed status; 0 is success. Non-zero
//   statuses are passed to Python unchanged, except VELTO_STATUS_BUFFER_TOO_SMALL
//   which the module's guess-and-retry pattern interprets.
// - A device handle is an opaque pointer-sized value that the module never
//   dereferences; Python carries it as a long.
// - Time stamps are signed 64-bit integers in the library's own units
//   (microseconds).
// - Arrays are filled with (array, capacity, pointer to count). The size-query
//   functions take size_t capacity/count; the guess-and-retry functions take
//   int32_t capacity/count.
// - Stream callbacks run on threads of the library. The record they receive is
//   valid only for the duration of the call.
//
// Thread safety: every function may be called from any thread.
#ifndef VELTO_DEVICE_VELTO_H_
#define VELTO_DEVICE_VELTO_H_

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define VELTO_API __declspec(dllimport)
#elif defined(__GNUC__)
#define VELTO_API __attribute__((visibility("default")))
#else
#define VELTO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// The library's status codes the module knows by name (the module's own
// statuses are in value/value.h).
#define VELTO_STATUS_OK 0
#define VELTO_STATUS_BUFFER_TOO_SMALL 15

// Property indices of velto_get_property.
#define VELTO_PROPERTY_ADDRESS 0
#define VELTO_PROPERTY_DEVICE_NAME 1
#define VELTO_PROPERTY_SERIAL_NUMBER 2
#define VELTO_PROPERTY_MODEL 3
#define VELTO_PROPERTY_FIRMWARE_VERSION 4
// A property buffer: the library writes at most this many bytes, NUL included.
#define VELTO_PROPERTY_BUFFER_SIZE 128

// Capability mask bits of velto_get_capabilities.
#define VELTO_CAPABILITY_CAN_SET_DISPLAY_AREA 1
#define VELTO_CAPABILITY_HAS_EXTERNAL_SIGNAL 2
#define VELTO_CAPABILITY_HAS_EYE_IMAGES 4

// One eye tracking mode name, NUL-terminated (at most 63 bytes of text).
#define VELTO_MODE_NAME_SIZE 64

// Notification type codes that carry a payload.
#define VELTO_NOTIFICATION_DISPLAY_AREA_CHANGED 5
#define VELTO_NOTIFICATION_GAZE_OUTPUT_FREQUENCY_CHANGED 6

// Opaque device handle.
typedef struct velto_eyetracker velto_eyetracker;

// Four version parts, in order.
typedef struct velto_version {
  int32_t major;
  int32_t minor;
  int32_t revision;
  int32_t build;
} velto_version;

typedef struct velto_point2 {
  float x;
  float y;
} velto_point2;

typedef struct velto_point3 {
  float x;
  float y;
  float z;
} velto_point3;

typedef struct velto_display_area {
  velto_point3 bottom_left;
  velto_point3 bottom_right;
  float height;
  velto_point3 top_left;
  velto_point3 top_right;
  float width;
} velto_display_area;

typedef struct velto_track_box {
  velto_point3 back_lower_left;
  velto_point3 back_lower_right;
  velto_point3 back_upper_left;
  velto_point3 back_upper_right;
  velto_point3 front_lower_left;
  velto_point3 front_lower_right;
  velto_point3 front_upper_left;
  velto_point3 front_upper_right;
} velto_track_box;

typedef struct velto_calibration_point {
  velto_point2 position;
  velto_point2 left_sample_position;
  int32_t left_validity;
  velto_point2 right_sample_position;
  int32_t right_validity;
} velto_calibration_point;

// One eye of a gaze sample. A validity of exactly 1 means the group is valid.
typedef struct velto_eye_data {
  velto_point2 gaze_point_on_display_area;
  velto_point3 gaze_point_in_user_coordinate_system;
  int32_t gaze_point_validity;
  float pupil_diameter;
  int32_t pupil_validity;
  velto_point3 gaze_origin_in_user_coordinate_system;
  velto_point3 gaze_origin_in_trackbox_coordinate_system;
  int32_t gaze_origin_validity;
} velto_eye_data;

typedef struct velto_gaze_data {
  int64_t device_time_stamp;
  int64_t system_time_stamp;
  velto_eye_data left_eye;
  velto_eye_data right_eye;
} velto_gaze_data;

typedef struct velto_external_signal_data {
  int64_t device_time_stamp;
  int64_t system_time_stamp;
  int32_t value;
  int32_t change_type;
} velto_external_signal_data;

typedef struct velto_time_synchronization_data {
  int64_t system_request_time_stamp;
  int64_t device_time_stamp;
  int64_t system_response_time_stamp;
} velto_time_synchronization_data;

typedef struct velto_stream_error_data {
  int64_t system_time_stamp;
  int32_t error;
  int32_t source;
  const char* message;
} velto_stream_error_data;

typedef struct velto_notification {
  int64_t system_time_stamp;
  int32_t notification_type;
  union {
    velto_display_area display_area;  // type 5
    float gaze_output_frequency;      // type 6
  } value;
} velto_notification;

typedef struct velto_eye_image {
  int64_t device_time_stamp;
  int64_t system_time_stamp;
  int32_t type;
  int32_t camera_id;
  uint64_t image_size;
  const void* image_data;  // image_size bytes of a GIF image
} velto_eye_image;

// Stream callbacks. user_data is the word given at subscription.
typedef void (*velto_gaze_data_callback)(const velto_gaze_data* data, void* user_data);
typedef void (*velto_external_signal_callback)(const velto_external_signal_data* data,
                                               void* user_data);
typedef void (*velto_time_synchronization_callback)(
    const velto_time_synchronization_data* data, void* user_data);
typedef void (*velto_stream_error_callback)(const velto_stream_error_data* data,
                                            void* user_data);
typedef void (*velto_notification_callback)(const velto_notification* data, void* user_data);
typedef void (*velto_eye_image_callback)(const velto_eye_image* data, void* user_data);
typedef void (*velto_log_callback)(int64_t system_time_stamp, int32_t source, int32_t level,
                                   const char* message);

// Library lifecycle and versions.
VELTO_API int32_t velto_initialize(void);
VELTO_API int32_t velto_terminate(void);
VELTO_API int32_t velto_get_kelmo_api_version(velto_version* version);
VELTO_API int32_t velto_get_sdk_version(velto_version* version);
VELTO_API int32_t velto_get_system_time_stamp(int64_t* time_stamp);

// Discovery and description.
VELTO_API int32_t velto_find_all_eyetrackers(velto_eyetracker** handles, size_t capacity,
                                             size_t* count);
VELTO_API int32_t velto_get_eyetracker(const char* address, velto_eyetracker** handle);
VELTO_API int32_t velto_get_property(velto_eyetracker* handle, int32_t index,
                                     char* buffer /* VELTO_PROPERTY_BUFFER_SIZE */);
VELTO_API int32_t velto_get_capabilities(velto_eyetracker* handle, int32_t* mask);
VELTO_API int32_t velto_report_stream_error(velto_eyetracker* handle, const char* message);

// Settings and geometry.
VELTO_API int32_t velto_get_all_gaze_output_frequencies(velto_eyetracker* handle,
                                                        float* frequencies, int32_t capacity,
                                                        int32_t* count);
VELTO_API int32_t velto_get_gaze_output_frequency(velto_eyetracker* handle, float* frequency);
VELTO_API int32_t velto_set_gaze_output_frequency(velto_eyetracker* handle, float frequency);
VELTO_API int32_t velto_get_all_eye_tracking_modes(velto_eyetracker* handle,
                                                   char (*modes)[VELTO_MODE_NAME_SIZE],
                                                   int32_t capacity, int32_t* count);
VELTO_API int32_t velto_get_eye_tracking_mode(velto_eyetracker* handle,
                                              char* mode /* VELTO_MODE_NAME_SIZE */);
VELTO_API int32_t velto_set_eye_tracking_mode(velto_eyetracker* handle, const char* mode);
VELTO_API int32_t velto_set_device_name(velto_eyetracker* handle, const char* name);
VELTO_API int32_t velto_get_display_area(velto_eyetracker* handle,
                                         velto_display_area* display_area);
VELTO_API int32_t velto_get_track_box(velto_eyetracker* handle, velto_track_box* track_box);

// Calibration.
VELTO_API int32_t velto_screen_based_calibration_enter_calibration_mode(
    velto_eyetracker* handle);
VELTO_API int32_t velto_screen_based_calibration_leave_calibration_mode(
    velto_eyetracker* handle);
VELTO_API int32_t velto_screen_based_calibration_collect_data(velto_eyetracker* handle, float x,
                                                              float y);
VELTO_API int32_t velto_screen_based_calibration_discard_data(velto_eyetracker* handle, float x,
                                                              float y);
VELTO_API int32_t velto_screen_based_calibration_compute_and_apply(velto_eyetracker* handle);
VELTO_API int32_t velto_screen_based_calibration_get_calibration_points(
    velto_eyetracker* handle, velto_calibration_point* points, size_t capacity, size_t* count);
VELTO_API int32_t velto_retrieve_calibration_data(velto_eyetracker* handle, uint8_t* data,
                                                  size_t capacity, size_t* size);
VELTO_API int32_t velto_apply_calibration_data(velto_eyetracker* handle, const uint8_t* data,
                                               size_t size);

// Streams. After an unsubscribe function returns, no callback of the removed
// subscriptions is running or will start.
VELTO_API int32_t velto_subscribe_to_gaze_data(velto_eyetracker* handle,
                                               velto_gaze_data_callback callback,
                                               void* user_data);
VELTO_API int32_t velto_unsubscribe_from_gaze_data(velto_eyetracker* handle,
                                                   velto_gaze_data_callback callback);
VELTO_API int32_t velto_subscribe_to_external_signal_data(
    velto_eyetracker* handle, velto_external_signal_callback callback, void* user_data);
VELTO_API int32_t velto_unsubscribe_from_external_signal_data(
    velto_eyetracker* handle, velto_external_signal_callback callback);
VELTO_API int32_t velto_subscribe_to_time_synchronization_data(
    velto_eyetracker* handle, velto_time_synchronization_callback callback, void* user_data);
VELTO_API int32_t velto_unsubscribe_from_time_synchronization_data(
    velto_eyetracker* handle, velto_time_synchronization_callback callback);
VELTO_API int32_t velto_subscribe_to_stream_errors(velto_eyetracker* handle,
                                                   velto_stream_error_callback callback,
                                                   void* user_data);
VELTO_API int32_t velto_unsubscribe_from_stream_errors(velto_eyetracker* handle,
                                                       velto_stream_error_callback callback);
VELTO_API int32_t velto_subscribe_to_notifications(velto_eyetracker* handle,
                                                   velto_notification_callback callback,
                                                   void* user_data);
VELTO_API int32_t velto_unsubscribe_from_notifications(velto_eyetracker* handle,
                                                       velto_notification_callback callback);
VELTO_API int32_t velto_subscribe_to_eye_image_as_gif(velto_eyetracker* handle,
                                                      velto_eye_image_callback callback,
                                                      void* user_data);
VELTO_API int32_t velto_unsubscribe_from_eye_image_as_gif(velto_eyetracker* handle,
                                                          velto_eye_image_callback callback);
VELTO_API int32_t velto_logging_subscribe(velto_log_callback callback);
VELTO_API int32_t velto_logging_unsubscribe(void);

#ifdef __cplusplus
}  // extern "C"
#endif

// Record layouts are fixed by the library; check every size and offset.
#ifdef __cplusplus
#define VELTO_STATIC_ASSERT static_assert
#else
#define VELTO_STATIC_ASSERT _Static_assert
#endif
#define VELTO_CHECK_OFFSET(type, field, offset) \
  VELTO_STATIC_ASSERT(offsetof(type, field) == (offset), #type "." #field " offset")

VELTO_STATIC_ASSERT(sizeof(velto_version) == 16, "version record size");
VELTO_CHECK_OFFSET(velto_version, major, 0);
VELTO_CHECK_OFFSET(velto_version, minor, 4);
VELTO_CHECK_OFFSET(velto_version, revision, 8);
VELTO_CHECK_OFFSET(velto_version, build, 12);

VELTO_STATIC_ASSERT(sizeof(velto_point2) == 8, "point2 size");
VELTO_STATIC_ASSERT(sizeof(velto_point3) == 12, "point3 size");

VELTO_STATIC_ASSERT(sizeof(velto_display_area) == 56, "display area size");
VELTO_CHECK_OFFSET(velto_display_area, bottom_left, 0);
VELTO_CHECK_OFFSET(velto_display_area, bottom_right, 12);
VELTO_CHECK_OFFSET(velto_display_area, height, 24);
VELTO_CHECK_OFFSET(velto_display_area, top_left, 28);
VELTO_CHECK_OFFSET(velto_display_area, top_right, 40);
VELTO_CHECK_OFFSET(velto_display_area, width, 52);

VELTO_STATIC_ASSERT(sizeof(velto_track_box) == 96, "track box size");
VELTO_CHECK_OFFSET(velto_track_box, back_lower_left, 0);
VELTO_CHECK_OFFSET(velto_track_box, back_lower_right, 12);
VELTO_CHECK_OFFSET(velto_track_box, back_upper_left, 24);
VELTO_CHECK_OFFSET(velto_track_box, back_upper_right, 36);
VELTO_CHECK_OFFSET(velto_track_box, front_lower_left, 48);
VELTO_CHECK_OFFSET(velto_track_box, front_lower_right, 60);
VELTO_CHECK_OFFSET(velto_track_box, front_upper_left, 72);
VELTO_CHECK_OFFSET(velto_track_box, front_upper_right, 84);

VELTO_STATIC_ASSERT(sizeof(velto_calibration_point) == 32, "calibration point size");
VELTO_CHECK_OFFSET(velto_calibration_point, position, 0);
VELTO_CHECK_OFFSET(velto_calibration_point, left_sample_position, 8);
VELTO_CHECK_OFFSET(velto_calibration_point, left_validity, 16);
VELTO_CHECK_OFFSET(velto_calibration_point, right_sample_position, 20);
VELTO_CHECK_OFFSET(velto_calibration_point, right_validity, 28);

VELTO_STATIC_ASSERT(sizeof(velto_eye_data) == 60, "eye block size");
VELTO_CHECK_OFFSET(velto_eye_data, gaze_point_on_display_area, 0);
VELTO_CHECK_OFFSET(velto_eye_data, gaze_point_in_user_coordinate_system, 8);
VELTO_CHECK_OFFSET(velto_eye_data, gaze_point_validity, 20);
VELTO_CHECK_OFFSET(velto_eye_data, pupil_diameter, 24);
VELTO_CHECK_OFFSET(velto_eye_data, pupil_validity, 28);
VELTO_CHECK_OFFSET(velto_eye_data, gaze_origin_in_user_coordinate_system, 32);
VELTO_CHECK_OFFSET(velto_eye_data, gaze_origin_in_trackbox_coordinate_system, 44);
VELTO_CHECK_OFFSET(velto_eye_data, gaze_origin_validity, 56);

VELTO_STATIC_ASSERT(sizeof(velto_gaze_data) == 136, "gaze data record size");
VELTO_CHECK_OFFSET(velto_gaze_data, device_time_stamp, 0);
VELTO_CHECK_OFFSET(velto_gaze_data, system_time_stamp, 8);
VELTO_CHECK_OFFSET(velto_gaze_data, left_eye, 16);
VELTO_CHECK_OFFSET(velto_gaze_data, right_eye, 76);

VELTO_STATIC_ASSERT(sizeof(velto_external_signal_data) == 24, "external signal size");
VELTO_CHECK_OFFSET(velto_external_signal_data, device_time_stamp, 0);
VELTO_CHECK_OFFSET(velto_external_signal_data, system_time_stamp, 8);
VELTO_CHECK_OFFSET(velto_external_signal_data, value, 16);
VELTO_CHECK_OFFSET(velto_external_signal_data, change_type, 20);

VELTO_STATIC_ASSERT(sizeof(velto_time_synchronization_data) == 24, "time sync size");
VELTO_CHECK_OFFSET(velto_time_synchronization_data, system_request_time_stamp, 0);
VELTO_CHECK_OFFSET(velto_time_synchronization_data, device_time_stamp, 8);
VELTO_CHECK_OFFSET(velto_time_synchronization_data, system_response_time_stamp, 16);

VELTO_STATIC_ASSERT(sizeof(velto_stream_error_data) == 24, "stream error size");
VELTO_CHECK_OFFSET(velto_stream_error_data, system_time_stamp, 0);
VELTO_CHECK_OFFSET(velto_stream_error_data, error, 8);
VELTO_CHECK_OFFSET(velto_stream_error_data, source, 12);
VELTO_CHECK_OFFSET(velto_stream_error_data, message, 16);

VELTO_CHECK_OFFSET(velto_notification, system_time_stamp, 0);
VELTO_CHECK_OFFSET(velto_notification, notification_type, 8);
VELTO_CHECK_OFFSET(velto_notification, value, 12);
VELTO_CHECK_OFFSET(velto_notification, value.display_area, 12);
VELTO_CHECK_OFFSET(velto_notification, value.gaze_output_frequency, 12);
VELTO_STATIC_ASSERT(sizeof(velto_notification) >= 68, "notification holds 68 bytes");

VELTO_STATIC_ASSERT(sizeof(velto_eye_image) == 40, "eye image size");
VELTO_CHECK_OFFSET(velto_eye_image, device_time_stamp, 0);
VELTO_CHECK_OFFSET(velto_eye_image, system_time_stamp, 8);
VELTO_CHECK_OFFSET(velto_eye_image, type, 16);
VELTO_CHECK_OFFSET(velto_eye_image, camera_id, 20);
VELTO_CHECK_OFFSET(velto_eye_image, image_size, 24);
VELTO_CHECK_OFFSET(velto_eye_image, image_data, 32);

#endif  // VELTO_DEVICE_VELTO_H_
