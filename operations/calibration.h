// Screen-based calibration and calibration data. Worker thread (operation.h).
#ifndef VELTO_OPERATIONS_CALIBRATION_H_
#define VELTO_OPERATIONS_CALIBRATION_H_

#include "operations/operation.h"

Value* op_screen_based_calibration_enter_calibration_mode(Value* args, RequestContext* request);
Value* op_screen_based_calibration_leave_calibration_mode(Value* args, RequestContext* request);
Value* op_screen_based_calibration_collect_data(Value* args, RequestContext* request);
Value* op_screen_based_calibration_discard_data(Value* args, RequestContext* request);
Value* op_screen_based_calibration_compute_and_apply(Value* args, RequestContext* request);
Value* op_screen_based_calibration_get_calibration_points(Value* args, RequestContext* request);
Value* op_calibration_retrieve(Value* args, RequestContext* request);
Value* op_calibration_apply(Value* args, RequestContext* request);

#endif  // VELTO_OPERATIONS_CALIBRATION_H_
