// Text-box functions: run the DB text detectors of vyr_crnn on an image, turn
// the boxes into rotated rectangles, filter them by size and pick what the
// caller needs; and the debug views of detected boxes.
#pragma once
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/types_c.h>

#include "nn/OcrUtils.h"

// Which box crnn_detect_textbox picks; ties keep the first box.
enum TEXT_BOX_FILTER_TYPE {
  TEXT_BOX_FILTER_LONG_SIDE = 0,   // the longest long side
  TEXT_BOX_FILTER_SHORT_SIDE = 1,  // the longest short side
  TEXT_BOX_FILTER_AREA = 2,        // the largest long side x short side
};

// The page item a caller searches for (the visa reader's item kinds). Accepted
// and never read by the box functions.
enum SCAN_LOCATION {
  VISA_ISSUE_NO_BOTTOM = 0,      // visa number just above the MRZ
  VISA_ISSUE_NO_TOP = 1,         // visa number high above the MRZ
  VISA_ISSUE_CATEGORY_LEFT = 2,  // category box, left layout
  VISA_ISSUE_CATEGORY_MID = 3,   // category box, middle layout
};

// A scored rotated rectangle.
struct RRBOX {
  cv::RotatedRect rect;
  float score = 0.f;  // 0..1, shown as a percentage
  int spare = 0;      // not read
};

// ---- text-box functions ----------------------------------------------------------
// Size measures of a rectangle: L and S are the longer and shorter side, each
// truncated; a limit of 0 or less is not applied.

// Runs g_dbNet (longer side at most 256, threshold 0.7) and picks one box by
// filter among those that pass the limits. Returns its upright crop and writes
// the box (classic angle convention) to box; an empty matrix, box unchanged,
// when the detector is not loaded, the image is empty or nothing is picked.
cv::Mat crnn_detect_textbox(cv::Mat& img, int minLong, int minShort, TEXT_BOX_FILTER_TYPE filter,
                            SCAN_LOCATION location, cv::RotatedRect& box);

// _crnn_detect_textbox with a border of 25 pixels.
cv::Mat crnn_detect_textbox(cv::Mat& img, int minLong, int minShort);

// Runs g_dbNet on img with a grey (200) border of `border` pixels (longer side
// at most 160 plus both borders, threshold 0.55), merges overlapping boxes and
// takes the largest-area box, or the box with the longest short side when it
// is a different one whose long side is more than half the other's. Returns its
// crop from the bordered image; an empty matrix when the detector is not
// loaded, the image is empty or no box passes.
cv::Mat _crnn_detect_textbox(cv::Mat& img, int minLong, int minShort, int border);

// Runs g_dbNet_mrz (longer side capped at maxSide when that is positive,
// threshold 0.55), merges overlapping boxes and replaces boxes with those that
// pass the limits. Returns their number (possibly 0); -1 with boxes untouched
// when the detector is not loaded, the image is empty or nothing was found.
int crnn_detect_textbox2(cv::Mat& img, int minLong, int minShort, int maxSide,
                         std::vector<cv::RotatedRect>& boxes);

// ---- debug views ---------------------------------------------------------------
// The draw_* views show their canvas only while isDebugShow() is on and do
// nothing otherwise; the paint_* functions return that canvas (a deep copy of
// the image with the marks) whatever the switch.

void draw_text_boxs(const cv::Mat& img, std::vector<TextBox>& boxes, cv::RotatedRect rect,
                    SCAN_LOCATION location);  // window "box"
void draw_text_boxs2(const cv::Mat& img, std::vector<RRBOX>& boxes, int index,
                     SCAN_LOCATION location);  // window "box2"
void draw_text_allboxs(const cv::Mat& img, std::vector<cv::RotatedRect>& rects,
                       const char* title);
void draw_text_box(const cv::Mat& img, CvRect& rect);  // window "textbox"

// Corner marks of rect, every box outlined in red with its score label, rect
// outlined in green on top.
cv::Mat paint_text_boxs(const cv::Mat& img, const std::vector<TextBox>& boxes,
                        const cv::RotatedRect& rect);
// Corner marks of boxes[index], every rectangle outlined (green at index, red
// elsewhere) with its score label. An index outside the list marks none.
cv::Mat paint_text_boxs2(const cv::Mat& img, const std::vector<RRBOX>& boxes, int index);
// Every rectangle outlined in green.
cv::Mat paint_text_allboxs(const cv::Mat& img, const std::vector<cv::RotatedRect>& rects);
// The rectangle outlined in green when its width is positive.
cv::Mat paint_text_box(const cv::Mat& img, const CvRect& rect);
