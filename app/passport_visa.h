// Deskew records of the two MRZ lines of a passport or visa page. The record
// of the upper line tells how its deskewed image lies in the MRZ band, so
// that positions read in the line can be carried back onto the page (the
// visa number and category of a Chinese visa are cut out that way).
#pragma once
#include <vector>

#include <opencv2/core.hpp>

// How one deskewed MRZ line maps back into the band. A point (u, v) of the
// deskewed line lies at inverse_mat * (u + crop_x, v + crop_y, 1) of the cut
// the deskew was given, minus (src_offset_x, src_offset_y) plus the cut's
// top-left corner (line_rect.x, line_rect.y) in the band.
struct PASSPORT_ROTATED_STRUCT {
  cv::Rect_<float> line_rect;  // the cut of the band that was deskewed (written by the caller)
  float rotate_angle = 0.f;    // degrees; 0 when the deskew did not rotate
  bool has_inverse = false;    // a mapping is stored; the deskew stores one only while false
  cv::Mat inverse_mat;         // 2 x 3 CV_64F: working image -> cut
  int crop_x = 0;              // (working width - output width) / 2
  int crop_y = 0;              // (working height - output height) / 2
  int src_offset_x = 0;
  int src_offset_y = 0;

  // Member by member; the copy shares inverse_mat with the source, so a
  // later in-place store into the source's matrix shows through the copy.
  PASSPORT_ROTATED_STRUCT& operator=(const PASSPORT_ROTATED_STRUCT& other);
  PASSPORT_ROTATED_STRUCT() = default;
  PASSPORT_ROTATED_STRUCT(const PASSPORT_ROTATED_STRUCT& other) = default;
  ~PASSPORT_ROTATED_STRUCT() = default;
};

// Entry 0: the upper MRZ line (the only one that ever gets a mapping);
// entry 1: the lower line.
extern PASSPORT_ROTATED_STRUCT g_rotated_struct[2];
// The copy of the upper line's record that the visa reading maps through.
extern PASSPORT_ROTATED_STRUCT g_get_issue_addr;
// The four corners of the visa item being cut out.
extern std::vector<cv::Point> g_point_list;
