// Device settings and geometry: gaze output frequencies, eye tracking modes,
// device name, display area and track box. Worker thread (operation.h).
#ifndef VELTO_OPERATIONS_SETTINGS_H_
#define VELTO_OPERATIONS_SETTINGS_H_

#include "operations/operation.h"

Value* op_get_all_gaze_output_frequencies(Value* args, RequestContext* request);
Value* op_get_gaze_output_frequency(Value* args, RequestContext* request);
Value* op_set_gaze_output_frequency(Value* args, RequestContext* request);
Value* op_get_all_eye_tracking_modes(Value* args, RequestContext* request);
Value* op_get_eye_tracking_mode(Value* args, RequestContext* request);
Value* op_set_eye_tracking_mode(Value* args, RequestContext* request);
Value* op_set_device_name(Value* args, RequestContext* request);
Value* op_get_display_area(Value* args, RequestContext* request);
Value* op_get_track_box(Value* args, RequestContext* request);

#endif  // VELTO_OPERATIONS_SETTINGS_H_
