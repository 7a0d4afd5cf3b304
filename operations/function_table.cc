#include "operations/function_table.h"

#include <string.h>

#include "operations/calibration.h"
#include "operations/discovery.h"
#include "operations/settings.h"
#include "operations/subscriptions.h"

const FunctionTableRow kFunctionTable[] = {
    {"terminate", op_terminate},
    {"get_system_time_stamp", op_get_system_time_stamp},
    {"get_sdk_version", op_get_sdk_version},
    {"find_all_eyetrackers", op_find_all_eyetrackers},
    {"get_device", op_get_device},
    {"get_device_data", op_get_device_data},
    {"report_stream_error", op_report_stream_error},
    {"subscribe_to", op_subscribe_to},
    {"unsubscribe_from", op_unsubscribe_from},
    {"get_all_gaze_output_frequencies", op_get_all_gaze_output_frequencies},
    {"get_gaze_output_frequency", op_get_gaze_output_frequency},
    {"set_gaze_output_frequency", op_set_gaze_output_frequency},
    {"get_all_eye_tracking_modes", op_get_all_eye_tracking_modes},
    {"get_eye_tracking_mode", op_get_eye_tracking_mode},
    {"set_eye_tracking_mode", op_set_eye_tracking_mode},
    {"get_display_area", op_get_display_area},
    {"get_track_box", op_get_track_box},
    {"calibration_retrieve", op_calibration_retrieve},
    {"calibration_apply", op_calibration_apply},
    {"set_device_name", op_set_device_name},
    {"screen_based_calibration_enter_calibration_mode",
     op_screen_based_calibration_enter_calibration_mode},
    {"screen_based_calibration_leave_calibration_mode",
     op_screen_based_calibration_leave_calibration_mode},
    {"screen_based_calibration_collect_data", op_screen_based_calibration_collect_data},
    {"screen_based_calibration_discard_data", op_screen_based_calibration_discard_data},
    {"screen_based_calibration_compute_and_apply",
     op_screen_based_calibration_compute_and_apply},
    {"screen_based_calibration_get_calibration_points",
     op_screen_based_calibration_get_calibration_points},
    {nullptr, nullptr},
};

OperationHandler function_table_lookup(const char* name) {
  if (name == nullptr) return nullptr;
  for (const FunctionTableRow* row = kFunctionTable; row->name != nullptr; ++row) {
    if (strcmp(row->name, name) == 0) return row->handler;
  }
  return nullptr;
}
