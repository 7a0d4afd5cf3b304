// Dicts built from device-library records that both operation results and
// stream dicts carry. Any thread; each returns a new tree owned by the caller.
#ifndef VELTO_STREAMS_RECORDS_H_
#define VELTO_STREAMS_RECORDS_H_

#include "device/velto.h"
#include "value/value.h"

// (x, y, z) as a tuple of three floats, each widened exactly.
Value* point3_to_value(const velto_point3& point);

// The six-entry display-area dict ("bottom_left", "bottom_right", "height",
// "top_left", "top_right", "width"), every float widened exactly: the result
// of get_display_area and the payload of a display-area notification.
Value* display_area_to_value(const velto_display_area* area);

#endif  // VELTO_STREAMS_RECORDS_H_
