#include "streams/records.h"

Value* point3_to_value(const velto_point3& point) {
  return value_build("fff", static_cast<double>(point.x), static_cast<double>(point.y),
                     static_cast<double>(point.z));
}

Value* display_area_to_value(const velto_display_area* area) {
  return value_build_dict(6, "bottom_left", point3_to_value(area->bottom_left), "bottom_right",
                          point3_to_value(area->bottom_right), "height",
                          value_new_float(static_cast<double>(area->height)), "top_left",
                          point3_to_value(area->top_left), "top_right",
                          point3_to_value(area->top_right), "width",
                          value_new_float(static_cast<double>(area->width)));
}
