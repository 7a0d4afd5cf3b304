// Screen-based calibration and calibration data.
//
// Every handler runs on the worker thread without the interpreter lock (see
// module/operation.h); none uses the out-slot.
#ifndef VELTO_OPERATIONS_CALIBRATION_H_
#define VELTO_OPERATIONS_CALIBRATION_H_

#include "module/operation.h"

Value* op_screen_based_calibration_enter_calibration_mode(Value* args, OutSlot* out);
Value* op_screen_based_calibration_leave_calibration_mode(Value* args, OutSlot* out);
Value* op_screen_based_calibration_collect_data(Value* args, OutSlot* out);
Value* op_screen_based_calibration_discard_data(Value* args, OutSlot* out);
Value* op_screen_based_calibration_compute_and_apply(Value* args, OutSlot* out);
Value* op_screen_based_calibration_get_calibration_points(Value* args, OutSlot* out);
Value* op_calibration_retrieve(Value* args, OutSlot* out);
Value* op_calibration_apply(Value* args, OutSlot* out);

#endif  // VELTO_OPERATIONS_CALIBRATION_H_
