#include "posrect.h"

#include <algorithm>
#include <vector>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "matchocr.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

// Moves the first `count` boxes of `boxes` from the bordered frame (border
// `edge`) onto a colour line of `size`, cut at its edges. A box that lies
// wholly in the border keeps one pixel at the nearest edge, so that nothing
// downstream meets a box without area.
void mapToColour(std::vector<cv::Rect>& boxes, size_t count, int edge, cv::Size size) {
  count = std::min(count, boxes.size());
  for (size_t i = 0; i < count; ++i) {
    cv::Rect& r = boxes[i];
    if (size.width < 1 || size.height < 1) {
      r = cv::Rect();
      continue;
    }
    int left = std::max(0, r.x - edge);
    int top = std::max(0, r.y - edge);
    int right = std::min(size.width - 1, r.x + r.width - 1 - edge);
    int bottom = std::min(size.height - 1, r.y + r.height - 1 - edge);
    left = std::min(left, size.width - 1);
    top = std::min(top, size.height - 1);
    right = std::max(right, left);
    bottom = std::max(bottom, top);
    r = cv::Rect(left, top, right - left + 1, bottom - top + 1);
  }
}

// The bounding box of the ink (below 128) of `line` inside r, or r itself when
// it holds none; either way cut to the line, so that a box reaching past the
// merged line cannot send a crop outside it.
cv::Rect inkBox(const cv::Mat& line, const cv::Rect& r) {
  if (line.empty()) return r;
  int left = r.x + r.width - 1, right = r.x;
  int top = r.y + r.height - 1, bottom = r.y;
  if (r.width > 0 && r.height > 0 && line.type() == CV_8UC1) {
    const cv::Rect inside = r & cv::Rect(0, 0, line.cols, line.rows);
    for (int y = inside.y; y < inside.y + inside.height; ++y) {
      const uchar* p = line.ptr<uchar>(y);
      for (int x = inside.x; x < inside.x + inside.width; ++x) {
        if (p[x] < 128) {
          left = std::min(left, x);
          right = std::max(right, x);
          top = std::min(top, y);
          bottom = std::max(bottom, y);
        }
      }
    }
  }
  left = std::clamp(left, 0, line.cols - 1);
  right = std::clamp(right, 0, line.cols - 1);
  top = std::clamp(top, 0, line.rows - 1);
  bottom = std::clamp(bottom, 0, line.rows - 1);
  if (left > right) std::swap(left, right);
  if (top > bottom) std::swap(top, bottom);
  return cv::Rect(left, top, right - left + 1, bottom - top + 1);
}

}  // namespace

void fix_posRect(cv::Mat& colour1, cv::Mat& colour2, int /*count1*/, int count2) {
  mapToColour(g_posRect1_rgb, g_posRect1.size(), g_line1_edge, colour1.size());
  mapToColour(g_posRect2_rgb, g_posRect2.size(), g_line2_edge, colour2.size());
  g_rapidRec_line_1 = colour1.clone();
  g_rapidRec_line_2 = colour2.clone();

  // Pitch and height from the inner boxes of line 2; the end boxes are often
  // padded and would skew both.
  const std::vector<cv::Rect>& R = g_posRect2;
  const int n = std::min(count2, static_cast<int>(R.size()));
  if (n >= 3) {
    const int width = (R[n - 2].x + R[n - 2].width - R[1].x + 4) / (n - 2);
    int heights = 0;
    for (int i = 1; i <= n - 2; ++i) heights += R[i].height;
    const int height = heights / (n - 2);
    vyr_log(0, "aCharWidth=%d, aCharHeight=%d", width, height);
    g_aCharWidth = width;
    g_aCharHeight = height;
    vyr_log(0, "tpl=%d", sheetForPitch(width));
  } else {
    vyr_log(0, "fix_posRect: %d line-2 boxes, character size kept", n);
  }

  g_posRect_no_blank.clear();
  g_posRect_no_blank.reserve(g_posRect.size());
  for (const cv::Rect& r : g_posRect) g_posRect_no_blank.push_back(inkBox(g_line12, r));

  if (isDebugShow() && !g_line12.empty()) {
    cv::Mat view = g_line12.clone();
    for (const cv::Rect& r : g_posRect_no_blank) {
      cv::rectangle(view, r, cv::Scalar(0, 255, 0), 1, cv::LINE_8, 0);
    }
    debugShow("noblank", view);
  }
}

void fix_posRect_one(cv::Mat& colour3, int /*count3*/) {
  mapToColour(g_posRect3_rgb, g_posRect3.size(), g_line3_edge, colour3.size());
  g_rapidRec_line_3 = colour3.clone();
}
