#include "passport_visa.h"

PASSPORT_ROTATED_STRUCT g_rotated_struct[2];
PASSPORT_ROTATED_STRUCT g_get_issue_addr;
std::vector<cv::Point> g_point_list;

PASSPORT_ROTATED_STRUCT& PASSPORT_ROTATED_STRUCT::operator=(const PASSPORT_ROTATED_STRUCT& other) {
  if (this == &other) return *this;
  line_rect = other.line_rect;
  rotate_angle = other.rotate_angle;
  has_inverse = other.has_inverse;
  inverse_mat = other.inverse_mat;  // shares the data, no pixel copy
  crop_x = other.crop_x;
  crop_y = other.crop_y;
  src_offset_x = other.src_offset_x;
  src_offset_y = other.src_offset_y;
  return *this;
}
