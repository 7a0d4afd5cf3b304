// Library-wide calls and device discovery.
//
// Three producers build device descriptions (find_all_eyetrackers,
// get_device, get_device_data); they share the description queries below and
// differ only in where the handle comes from and in whether the statuses of
// the queries count.
#include "operations/discovery.h"

#include <stdint.h>
#include <string.h>

#include "operations/handler_support.h"

namespace {

// Names of the capability bits, in bit order (bit k has the mask 1 << k).
constexpr const char* kCapabilityNames[] = {
    "capability_can_set_display_area",
    "capability_has_external_signal",
    "capability_has_eye_images",
};
constexpr int kCapabilityCount = sizeof(kCapabilityNames) / sizeof(kCapabilityNames[0]);

// Keys of the five text properties, in property index order.
constexpr const char* kPropertyKeys[] = {
    "address", "device_name", "serial_number", "model", "firmware_version",
};
constexpr int kPropertyCount = sizeof(kPropertyKeys) / sizeof(kPropertyKeys[0]);

// The tuple of capability names for the bits 0..2 of `mask`, in bit order;
// null when memory runs out.
Value* capabilities_to_value(int32_t mask) {
  int32_t set = 0;
  for (int bit = 0; bit < kCapabilityCount; ++bit) {
    if (mask & (1 << bit)) ++set;
  }
  Value* tuple = value_new_container(VALUE_TUPLE, set);
  if (!tuple) return nullptr;
  int32_t next = 0;
  for (int bit = 0; bit < kCapabilityCount; ++bit) {
    if (mask & (1 << bit)) {
      const char* name = kCapabilityNames[bit];
      tuple->payload.items[next++] = value_new_string(name, strlen(name));
    }
  }
  return tuple;
}

// Runs the five property queries and the capability query for one device and
// builds its seven-entry description with `handle_value` under
// "core_eyetracker". With `stop_on_failure` the first non-zero status ends the
// queries: *status receives it and the result is null. Without it every status
// is ignored and a failed query leaves an empty text (or no capabilities),
// because every buffer is cleared and the mask starts at 0 before its query.
// Null with *status 15 when memory runs out.
Value* describe_device(velto_eyetracker* handle, int64_t handle_value, bool stop_on_failure,
                       int32_t* status) {
  char properties[kPropertyCount][VELTO_PROPERTY_BUFFER_SIZE];
  *status = STATUS_OK;
  for (int index = 0; index < kPropertyCount; ++index) {
    memset(properties[index], 0, VELTO_PROPERTY_BUFFER_SIZE);
    int32_t rc = velto_get_property(handle, index, properties[index]);
    if (stop_on_failure && rc != VELTO_STATUS_OK) {
      *status = rc;
      return nullptr;
    }
    // The library promises a terminated text within the buffer; make sure of
    // it so that a library breaking the promise can never make us read past.
    properties[index][VELTO_PROPERTY_BUFFER_SIZE - 1] = '\0';
  }
  int32_t mask = 0;
  int32_t rc = velto_get_capabilities(handle, &mask);
  if (stop_on_failure && rc != VELTO_STATUS_OK) {
    *status = rc;
    return nullptr;
  }
  Value* capabilities = capabilities_to_value(mask);
  if (!capabilities) {
    *status = VELTO_STATUS_BUFFER_TOO_SMALL;
    return nullptr;
  }
  Value* texts[kPropertyCount];
  for (int index = 0; index < kPropertyCount; ++index) {
    texts[index] = value_new_string(properties[index], strlen(properties[index]));
  }
  return value_build_dict(7, kPropertyKeys[0], texts[0], kPropertyKeys[1], texts[1],
                          kPropertyKeys[2], texts[2], kPropertyKeys[3], texts[3],
                          kPropertyKeys[4], texts[4], "device_capabilities",
                          capabilities, "core_eyetracker",
                          value_new_int64(handle_value));
}

}  // namespace

Value* op_terminate(Value* args, RequestContext* request) {
  return status_result(velto_terminate());
}

Value* op_get_system_time_stamp(Value* args, RequestContext* request) {
  int64_t time_stamp = 0;
  int32_t status = velto_get_system_time_stamp(&time_stamp);
  if (status != VELTO_STATUS_OK) return status_result(status);
  return value_build("iL", STATUS_OK, time_stamp);
}

Value* op_get_sdk_version(Value* args, RequestContext* request) {
  velto_version version = {};
  int32_t status = velto_get_sdk_version(&version);
  if (status != VELTO_STATUS_OK) return status_result(status);
  return value_build("is", STATUS_OK, version_text(version).text);
}

Value* op_find_all_eyetrackers(Value* args, RequestContext* request) {
  size_t count = 0;
  int32_t status = velto_find_all_eyetrackers(nullptr, 0, &count);
  if (status != VELTO_STATUS_OK) return status_result(status);

  // The array always has at least one entry so that the second call passes a
  // real array (capacity `count`, possibly 0) rather than repeating the size
  // query form.
  size_t capacity = count;
  LibraryArray<velto_eyetracker*> handles = zeroed_array<velto_eyetracker*>(capacity);
  if (!handles) return status_result(VELTO_STATUS_BUFFER_TOO_SMALL);

  status = velto_find_all_eyetrackers(handles.get(), capacity, &count);
  if (status != VELTO_STATUS_OK) return status_result(status);
  // A library must never report more handles than it was given room for;
  // should one do so, only the array's own entries are read.
  if (count > capacity) count = capacity;

  Value* list = value_new_container(VALUE_LIST, static_cast<int32_t>(count));
  for (size_t i = 0; list && i < count; ++i) {
    velto_eyetracker* handle = handles.get()[i];
    int32_t ignored = STATUS_OK;
    Value* description = describe_device(handle, handle_to_int(handle), false, &ignored);
    if (!description) {
      // No partial list reaches Python: the descriptions made so far go too
      // (value_free stops at the first empty slot).
      value_free(list);
      list = nullptr;
      break;
    }
    list->payload.items[i] = description;
  }
  return payload_result(list);
}

Value* op_get_device(Value* args, RequestContext* request) {
  const char* address = nullptr;
  if (!value_parse(args, "s", &address)) return status_result(STATUS_INVALID_PARAMETER);
  velto_eyetracker* handle = nullptr;
  int32_t status = velto_get_eyetracker(address, &handle);
  if (status != VELTO_STATUS_OK) return status_result(status);
  int32_t ignored = STATUS_OK;
  return payload_result(describe_device(handle, handle_to_int(handle), false, &ignored));
}

Value* op_get_device_data(Value* args, RequestContext* request) {
  int64_t handle_value = 0;
  if (!value_parse(args, "L", &handle_value)) return status_result(STATUS_INVALID_PARAMETER);
  int32_t status = STATUS_OK;
  Value* description = describe_device(handle_from_int(handle_value), handle_value, true, &status);
  if (description == nullptr) return status_result(status);
  return value_build("iO", STATUS_OK, description);
}

Value* op_report_stream_error(Value* args, RequestContext* request) {
  int64_t handle_value = 0;
  const char* message = nullptr;
  if (!value_parse(args, "Ls", &handle_value, &message)) {
    return status_result(STATUS_INVALID_PARAMETER);
  }
  return status_result(velto_report_stream_error(handle_from_int(handle_value), message));
}
