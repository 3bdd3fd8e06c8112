#include "rrnms.h"

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "rotated_rect34.h"
#include "vyr_log.h"

namespace {

// Centres further apart than this (vertically) belong to different lines.
constexpr float kMaxCentreDy = 20.f;

float area(const cv::RotatedRect& r) { return r.size.width * r.size.height; }

// Zero, negative and NaN areas take no part.
bool degenerate(const cv::RotatedRect& r) { return !(area(r) > 0.f); }

}  // namespace

double rr_calculateIou(const cv::RotatedRect& a, const cv::RotatedRect& b) {
  if (degenerate(a) || degenerate(b)) return 0.0;
  std::vector<cv::Point2f> intersectingRegion;
  try {
    cv::rotatedRectangleIntersection(a, b, intersectingRegion);
  } catch (const cv::Exception& e) {
    vyr_log(0, "rr_calculateIou: %s", e.what());
    return 0.0;
  }
  if (intersectingRegion.empty()) return 0.0;
  if (std::fabs(a.center.y - b.center.y) > kMaxCentreDy) return 0.0;
  const double inter = cv::contourArea(intersectingRegion);
  const double uni = static_cast<double>(area(a)) + static_cast<double>(area(b)) - inter;
  return uni > 0.0 ? inter / uni : 0.0;
}

cv::RotatedRect rr_mergeRotatedRects(const cv::RotatedRect& r1, const cv::RotatedRect& r2) {
  cv::Point2f rect1Points[4], rect2Points[4];
  r1.points(rect1Points);
  r2.points(rect2Points);
  std::vector<cv::Point2f> mergedPoints;
  mergedPoints.reserve(8);
  for (int i = 0; i < 4; ++i) {
    mergedPoints.push_back(rect1Points[i]);
    mergedPoints.push_back(rect2Points[i]);
  }
  std::vector<cv::Point2f> hull;
  try {
    cv::convexHull(mergedPoints, hull);
  } catch (const cv::Exception& e) {
    vyr_log(0, "rr_mergeRotatedRects: %s", e.what());
    return r1;
  }
  return minAreaRect34(hull);
}

void RR_NMS(std::vector<cv::RotatedRect>& in, std::vector<cv::RotatedRect>& out, double thresh) {
  for (const cv::RotatedRect& r : in) {
    if (degenerate(r)) continue;
    bool merged = false;
    // Only the rectangles kept before this one are visited; r is compared as
    // it came in, even after it grew one of them.
    const size_t kept = out.size();
    for (size_t k = 0; k < kept; ++k) {
      if (degenerate(out[k])) continue;
      if (rr_calculateIou(r, out[k]) > thresh) {
        out[k] = rr_mergeRotatedRects(r, out[k]);
        merged = true;
      }
    }
    if (!merged) out.push_back(r);
  }
}

void rr_drawRotatedRectangles(cv::Mat& img, const std::vector<cv::RotatedRect>& rects,
                              const cv::Scalar& color) {
  if (img.empty()) return;
  try {
    for (const cv::RotatedRect& r : rects) {
      cv::Point2f p[4];
      r.points(p);
      for (int i = 0; i < 4; ++i)
        cv::line(img, cv::Point(cvRound(p[i].x), cvRound(p[i].y)),
                 cv::Point(cvRound(p[(i + 1) % 4].x), cvRound(p[(i + 1) % 4].y)), color, 2,
                 cv::LINE_8, 0);
    }
  } catch (const cv::Exception& e) {
    vyr_log(0, "rr_drawRotatedRectangles: %s", e.what());
  }
}
