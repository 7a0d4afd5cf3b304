// What the operation handlers share: the arrays the library fills, the
// handle-only argument, and the result of a payload that may be missing.
// Worker thread, like the handlers.
#ifndef VELTO_OPERATIONS_HANDLER_SUPPORT_H_
#define VELTO_OPERATIONS_HANDLER_SUPPORT_H_

#include <stdlib.h>

#include <memory>

#include "device/device_values.h"
#include "device/velto.h"
#include "value/value.h"

// A zero-filled array the library fills, released with the handle.
template <typename T>
using LibraryArray = std::unique_ptr<T, decltype(&free)>;

// A zero-filled array of `count` entries (at least one, so the library always
// receives a real array), or null when it cannot be allocated: a size taken
// from the library may be far too large, and is then answered like a buffer
// that cannot be made big enough rather than ending the process.
template <typename T>
LibraryArray<T> zeroed_array(size_t count) {
  return LibraryArray<T>(static_cast<T*>(calloc(count > 0 ? count : 1, sizeof(T))), &free);
}

// Parses the one-item argument tuple ("L") of the handle-only operations.
inline bool parse_handle(const Value* args, velto_eyetracker** handle) {
  int64_t value = 0;
  if (!value_parse(args, "L", &value)) return false;
  *handle = handle_from_int(value);
  return true;
}

// (0, payload), or (15,) when the payload could not be allocated (null): the
// module's answer to every allocation sized by the library that fails, so
// that a result is never missing an item it should hold.
inline Value* payload_result(Value* payload) {
  if (payload == nullptr) return status_result(VELTO_STATUS_BUFFER_TOO_SMALL);
  return value_build("iO", STATUS_OK, payload);
}

#endif  // VELTO_OPERATIONS_HANDLER_SUPPORT_H_
