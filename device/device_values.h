// Conversions of the library's own types into what the module carries: device
// handles to and from the 64-bit integers Python holds them as, version records
// to their "a.b.c.d" text. Pure functions; any thread.
#ifndef VELTO_DEVICE_DEVICE_VALUES_H_
#define VELTO_DEVICE_DEVICE_VALUES_H_

#include <stdint.h>
#include <stdio.h>

#include "device/velto.h"

// A handle travels through Python as a 64-bit integer and comes back unchanged.
inline velto_eyetracker* handle_from_int(int64_t value) {
  return reinterpret_cast<velto_eyetracker*>(static_cast<uintptr_t>(value));
}
inline int64_t handle_to_int(velto_eyetracker* handle) {
  return static_cast<int64_t>(reinterpret_cast<uintptr_t>(handle));
}

// "%d.%d.%d.%d" of the four parts in record order; 128 bytes hold the longest
// (47 characters).
struct VersionText {
  char text[128];
};
inline VersionText version_text(const velto_version& version) {
  VersionText out;
  snprintf(out.text, sizeof out.text, "%d.%d.%d.%d", version.major, version.minor,
           version.revision, version.build);
  return out;
}

#endif  // VELTO_DEVICE_DEVICE_VALUES_H_
