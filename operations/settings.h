// Device settings and geometry: gaze output frequencies, eye tracking modes,
// device name, display area and track box.
//
// Every handler runs on the worker thread without the interpreter lock (see
// module/operation.h); none uses the out-slot.
#ifndef VELTO_OPERATIONS_SETTINGS_H_
#define VELTO_OPERATIONS_SETTINGS_H_

#include "device/velto.h"
#include "module/operation.h"

Value* op_get_all_gaze_output_frequencies(Value* args, OutSlot* out);
Value* op_get_gaze_output_frequency(Value* args, OutSlot* out);
Value* op_set_gaze_output_frequency(Value* args, OutSlot* out);
Value* op_get_all_eye_tracking_modes(Value* args, OutSlot* out);
Value* op_get_eye_tracking_mode(Value* args, OutSlot* out);
Value* op_set_eye_tracking_mode(Value* args, OutSlot* out);
Value* op_set_device_name(Value* args, OutSlot* out);
Value* op_get_display_area(Value* args, OutSlot* out);
Value* op_get_track_box(Value* args, OutSlot* out);

// The six-entry display-area dict ("bottom_left", "bottom_right", "height",
// "top_left", "top_right", "width"), every float widened exactly. Shared with
// the display-area notification. Any thread; returns a new tree.
Value* display_area_to_value(const velto_display_area* area);

#endif  // VELTO_OPERATIONS_SETTINGS_H_
