#include "passport_visa_utils.h"

#include "passport_visa.h"

void clearVisaIssueInfo() {
  for (PASSPORT_ROTATED_STRUCT& r : g_rotated_struct) {
    r.line_rect.width = 0.f;
    r.line_rect.height = 0.f;
    r.rotate_angle = 0.f;
    r.has_inverse = false;
    r.crop_x = 0;
    r.crop_y = 0;
    r.src_offset_x = 0;
    r.src_offset_y = 0;
  }
  g_point_list.clear();
}
