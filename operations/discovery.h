// Library-wide calls and device discovery: terminate, get_system_time_stamp,
// get_sdk_version, find_all_eyetrackers, get_device, get_device_data,
// report_stream_error. Worker thread (operation.h).
#ifndef VELTO_OPERATIONS_DISCOVERY_H_
#define VELTO_OPERATIONS_DISCOVERY_H_

#include "operations/operation.h"

Value* op_terminate(Value* args, RequestContext* request);
Value* op_get_system_time_stamp(Value* args, RequestContext* request);
Value* op_get_sdk_version(Value* args, RequestContext* request);
Value* op_find_all_eyetrackers(Value* args, RequestContext* request);
Value* op_get_device(Value* args, RequestContext* request);
Value* op_get_device_data(Value* args, RequestContext* request);
Value* op_report_stream_error(Value* args, RequestContext* request);

#endif  // VELTO_OPERATIONS_DISCOVERY_H_
