#include "rotated_rect34.h"

#include <opencv2/imgproc.hpp>

cv::RotatedRect toLegacyRect(const cv::RotatedRect& r) {
  if (!(r.angle > 0.f)) return r;
  return cv::RotatedRect(r.center, cv::Size2f(r.size.height, r.size.width), r.angle - 90.f);
}

cv::RotatedRect minAreaRect34(cv::InputArray points) {
  cv::Mat m = points.getMat();
  if (m.empty() || m.checkVector(2) <= 0) return cv::RotatedRect();
  return toLegacyRect(cv::minAreaRect(points));
}
