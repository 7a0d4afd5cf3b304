// The velto_* functions of lifecycle, discovery, description, settings and
// geometry.
//
// Every function first records itself in the call log and applies its fault
// rule (a firing rule returns its status and does nothing else), then checks
// that the library is initialised, then its arguments, then the handle.
#include <cmath>
#include <cstring>

#include "sim_internal.h"

namespace velto_sim {
namespace {

void copy_text(char* buffer, size_t size, const std::string& text) {
  size_t n = text.size() < size - 1 ? text.size() : size - 1;
  std::memcpy(buffer, text.data(), n);
  std::memset(buffer + n, 0, size - n);
}

}  // namespace
}  // namespace velto_sim

using namespace velto_sim;

extern "C" {

int32_t velto_initialize(void) {
  SIM_CALL("velto_initialize", "");
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  if (!s.initialized) {
    s.initialized = true;
    log_locked(s, 2, "velto library initialised (simulated)");
  }
  return VELTO_STATUS_OK;
}

int32_t velto_terminate(void) {
  SIM_CALL("velto_terminate", "");
  SIM_LOCK_INITIALIZED(s, lock);
  // Not initialised from here on, so no subscription can start while the
  // threads are being joined.
  s.initialized = false;
  // Calibration sessions end with the library.
  for (Tracker& t : s.world.trackers) {
    t.in_calibration = false;
    t.collected.clear();
  }
  shut_down_locked(s, lock);
  return VELTO_STATUS_OK;
}

int32_t velto_get_kelmo_api_version(velto_version* version) {
  SIM_CALL("velto_get_kelmo_api_version", "");
  if (version == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  *version = s.world.kelmo_version;
  return VELTO_STATUS_OK;
}

int32_t velto_get_sdk_version(velto_version* version) {
  SIM_CALL("velto_get_sdk_version", "");
  if (version == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SimState& s = state();
  std::lock_guard<std::mutex> lock(s.mu);
  *version = s.world.sdk_version;
  return VELTO_STATUS_OK;
}

int32_t velto_get_system_time_stamp(int64_t* time_stamp) {
  SIM_CALL("velto_get_system_time_stamp", "");
  if (time_stamp == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  *time_stamp = system_now_us();
  return VELTO_STATUS_OK;
}

int32_t velto_find_all_eyetrackers(velto_eyetracker** handles, size_t capacity, size_t* count) {
  SIM_CALL("velto_find_all_eyetrackers", arg_int("capacity", static_cast<int64_t>(capacity)));
  SIM_LOCK_INITIALIZED(s, lock);
  if (count == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  // A tracker whose connection is cut is not found.
  connection_tick_locked(s);
  std::vector<int64_t> found;
  for (const Tracker& t : s.world.trackers) {
    if (t.connected) found.push_back(t.handle);
  }
  size_t total = found.size();
  if (handles == nullptr) {
    // Size query; a null array with a capacity is a caller error.
    if (capacity != 0) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
    *count = total;
    return VELTO_STATUS_OK;
  }
  size_t n = total < capacity ? total : capacity;
  for (size_t i = 0; i < n; ++i) {
    handles[i] = reinterpret_cast<velto_eyetracker*>(static_cast<intptr_t>(found[i]));
  }
  *count = n;
  return n < total ? VELTO_STATUS_BUFFER_TOO_SMALL : VELTO_STATUS_OK;
}

int32_t velto_get_eyetracker(const char* address, velto_eyetracker** handle) {
  SIM_CALL("velto_get_eyetracker", arg_text("text", address));
  SIM_LOCK_INITIALIZED(s, lock);
  if (address == nullptr || handle == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  connection_tick_locked(s);
  for (const Tracker& t : s.world.trackers) {
    if (t.address == address && t.connected) {
      *handle = reinterpret_cast<velto_eyetracker*>(static_cast<intptr_t>(t.handle));
      return VELTO_STATUS_OK;
    }
  }
  return VELTO_SIM_STATUS_INVALID_HANDLE;
}

int32_t velto_get_property(velto_eyetracker* handle, int32_t index, char* buffer) {
  SIM_CALL("velto_get_property", arg_handle(handle) + arg_int("index", index));
  SIM_LOCK_INITIALIZED(s, lock);
  if (buffer == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  const std::string* text = nullptr;
  switch (index) {
    case VELTO_PROPERTY_ADDRESS: text = &t->address; break;
    case VELTO_PROPERTY_DEVICE_NAME: text = &t->device_name; break;
    case VELTO_PROPERTY_SERIAL_NUMBER: text = &t->serial_number; break;
    case VELTO_PROPERTY_MODEL: text = &t->model; break;
    case VELTO_PROPERTY_FIRMWARE_VERSION: text = &t->firmware_version; break;
    default: return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  }
  copy_text(buffer, VELTO_PROPERTY_BUFFER_SIZE, *text);
  return VELTO_STATUS_OK;
}

int32_t velto_get_capabilities(velto_eyetracker* handle, int32_t* mask) {
  SIM_CALL("velto_get_capabilities", arg_handle(handle));
  SIM_LOCK_INITIALIZED(s, lock);
  if (mask == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  *mask = t->capabilities;
  return VELTO_STATUS_OK;
}

int32_t velto_report_stream_error(velto_eyetracker* handle, const char* message) {
  SIM_CALL("velto_report_stream_error", arg_handle(handle) + arg_text("text", message));
  SIM_LOCK_INITIALIZED(s, lock);
  if (message == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  // Delivered by the event thread: a user error (4) from the user (0).
  QueuedEvent e;
  e.kind = kStreamStreamErrors;
  e.handle = t->handle;
  e.time_stamp = system_now_us();
  e.error = 4;
  e.source = 0;
  e.message = message;
  queue_event_locked(s, std::move(e));
  return VELTO_STATUS_OK;
}

int32_t velto_get_all_gaze_output_frequencies(velto_eyetracker* handle, float* frequencies,
                                              int32_t capacity, int32_t* count) {
  SIM_CALL("velto_get_all_gaze_output_frequencies", arg_handle(handle) + arg_int("capacity", capacity));
  SIM_LOCK_INITIALIZED(s, lock);
  if (count == nullptr || capacity < 0 || (frequencies == nullptr && capacity > 0)) {
    return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  }
  SIM_TRACKER(t, s, handle);
  int32_t total = static_cast<int32_t>(t->frequencies.size());
  if (capacity < total) {
    // Nothing is written to the array; the count says how many are needed.
    *count = total;
    return VELTO_STATUS_BUFFER_TOO_SMALL;
  }
  for (int32_t i = 0; i < total; ++i) frequencies[i] = t->frequencies[i];
  *count = total;
  return VELTO_STATUS_OK;
}

int32_t velto_get_gaze_output_frequency(velto_eyetracker* handle, float* frequency) {
  SIM_CALL("velto_get_gaze_output_frequency", arg_handle(handle));
  SIM_LOCK_INITIALIZED(s, lock);
  if (frequency == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  *frequency = t->frequency;
  return VELTO_STATUS_OK;
}

int32_t velto_set_gaze_output_frequency(velto_eyetracker* handle, float frequency) {
  SIM_CALL("velto_set_gaze_output_frequency", arg_handle(handle) + arg_float("frequency", frequency));
  SIM_LOCK_INITIALIZED(s, lock);
  SIM_TRACKER(t, s, handle);
  bool listed = false;
  for (float f : t->frequencies) listed = listed || f == frequency;
  if (!listed) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  if (t->replay && t->frequency != frequency) return VELTO_SIM_STATUS_INVALID_ARGUMENT;  // plays as recorded
  if (t->frequency != frequency) {
    t->frequency = frequency;
    QueuedEvent e;
    e.kind = kStreamNotifications;
    e.handle = t->handle;
    e.notification.system_time_stamp = system_now_us();
    e.notification.notification_type = VELTO_NOTIFICATION_GAZE_OUTPUT_FREQUENCY_CHANGED;
    e.notification.value.gaze_output_frequency = frequency;
    queue_event_locked(s, std::move(e));
    log_locked(s, 2, "gaze output frequency of " + t->address + " set to " + std::to_string(frequency));
    wake_generators_locked(s);
  }
  return VELTO_STATUS_OK;
}

int32_t velto_get_all_eye_tracking_modes(velto_eyetracker* handle,
                                         char (*modes)[VELTO_MODE_NAME_SIZE], int32_t capacity,
                                         int32_t* count) {
  SIM_CALL("velto_get_all_eye_tracking_modes", arg_handle(handle) + arg_int("capacity", capacity));
  SIM_LOCK_INITIALIZED(s, lock);
  if (count == nullptr || capacity < 0 || (modes == nullptr && capacity > 0)) {
    return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  }
  SIM_TRACKER(t, s, handle);
  int32_t total = static_cast<int32_t>(t->modes.size());
  if (capacity < total) {
    *count = total;
    return VELTO_STATUS_BUFFER_TOO_SMALL;
  }
  for (int32_t i = 0; i < total; ++i) copy_text(modes[i], VELTO_MODE_NAME_SIZE, t->modes[i]);
  *count = total;
  return VELTO_STATUS_OK;
}

int32_t velto_get_eye_tracking_mode(velto_eyetracker* handle, char* mode) {
  SIM_CALL("velto_get_eye_tracking_mode", arg_handle(handle));
  SIM_LOCK_INITIALIZED(s, lock);
  if (mode == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  copy_text(mode, VELTO_MODE_NAME_SIZE, t->mode);
  return VELTO_STATUS_OK;
}

int32_t velto_set_eye_tracking_mode(velto_eyetracker* handle, const char* mode) {
  SIM_CALL("velto_set_eye_tracking_mode", arg_handle(handle) + arg_text("text", mode));
  SIM_LOCK_INITIALIZED(s, lock);
  if (mode == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  for (const std::string& m : t->modes) {
    if (m == mode) {
      t->mode = m;
      log_locked(s, 2, "eye tracking mode of " + t->address + " set to " + m);
      return VELTO_STATUS_OK;
    }
  }
  return VELTO_SIM_STATUS_INVALID_ARGUMENT;
}

int32_t velto_set_device_name(velto_eyetracker* handle, const char* name) {
  SIM_CALL("velto_set_device_name", arg_handle(handle) + arg_text("text", name));
  SIM_LOCK_INITIALIZED(s, lock);
  if (name == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  size_t length = std::strlen(name);
  if (length == 0 || length > VELTO_PROPERTY_BUFFER_SIZE - 1) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  t->device_name.assign(name, length);
  log_locked(s, 2, "device name of " + t->address + " set");
  return VELTO_STATUS_OK;
}

int32_t velto_get_display_area(velto_eyetracker* handle, velto_display_area* display_area) {
  SIM_CALL("velto_get_display_area", arg_handle(handle));
  SIM_LOCK_INITIALIZED(s, lock);
  if (display_area == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  *display_area = t->display_area;
  return VELTO_STATUS_OK;
}

int32_t velto_get_track_box(velto_eyetracker* handle, velto_track_box* track_box) {
  SIM_CALL("velto_get_track_box", arg_handle(handle));
  SIM_LOCK_INITIALIZED(s, lock);
  if (track_box == nullptr) return VELTO_SIM_STATUS_INVALID_ARGUMENT;
  SIM_TRACKER(t, s, handle);
  *track_box = t->track_box;
  return VELTO_STATUS_OK;
}

}  // extern "C"
