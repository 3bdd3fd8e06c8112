#include "passport_detect.h"

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "rotated_rect34.h"
#include "vyr_log.h"
#include "vyr_textbox.h"

namespace {

// The band is reduced so that its width is about 600 / 1.8 .. 1200 / 1.8 pixels.
constexpr int kBandUnit = 600;
constexpr double kWidthFactor = 1.8;
constexpr int kPadRows = 10;
constexpr double kMinLongFraction = 0.55;
constexpr int kMinShort = 10;
constexpr int kMaxDetectorSide = 600;
// Tightening of the detected (unclipped) boxes.
constexpr float kShortShrink = 5.f;
constexpr float kLongShrink = 3.f;
// Neighbouring lines lie at most this many times their summed heights apart.
constexpr double kMaxGapFactor = 1.2;
// Boxes whose centres are closer (vertically) than half the thinner one lie on
// the same line: the merge can leave several overlapping boxes of one line.
constexpr double kSameLineFactor = 0.5;

int longSide(const cv::RotatedRect& r) {
  return static_cast<int>(std::max(r.size.width, r.size.height));
}

int shortSide(const cv::RotatedRect& r) {
  return static_cast<int>(std::min(r.size.width, r.size.height));
}

// Two rectangles lie on one text line when their centres are closer
// vertically than half the thinner one: neighbouring lines never are.
bool sameLine(const cv::RotatedRect& a, const cv::RotatedRect& b) {
  const double dy = std::fabs(static_cast<double>(a.center.y) - b.center.y);
  return dy < kSameLineFactor * std::min(shortSide(a), shortSide(b));
}

// Index of the first rectangle with the greatest truncated longer side; with
// `other` set, only rectangles that are neither it nor on its line count.
// -1 when none is above 0.
int longest(const std::vector<cv::RotatedRect>& rects, int other) {
  int best = 0;
  int index = -1;
  for (size_t i = 0; i < rects.size(); ++i) {
    if (other >= 0 && (static_cast<int>(i) == other || sameLine(rects[i], rects[other]))) continue;
    const int m = longSide(rects[i]);
    if (m > best) {
      best = m;
      index = static_cast<int>(i);
    }
  }
  return index;
}

// The shorter side loses 5 and the longer 3; equal sides count the width as
// the shorter one.
cv::RotatedRect tighten(cv::RotatedRect r) {
  if (r.size.width <= r.size.height) {
    r.size.width -= kShortShrink;
    r.size.height -= kLongShrink;
  } else {
    r.size.width -= kLongShrink;
    r.size.height -= kShortShrink;
  }
  return r;
}

cv::RotatedRect mapToBand(const cv::RotatedRect& r, float fx, float fy) {
  cv::Point2f p[4];
  r.points(p);
  std::vector<cv::Point> corners(4);
  for (int i = 0; i < 4; ++i)
    corners[i] = cv::Point(static_cast<int>(p[i].x * fx), static_cast<int>(p[i].y * fy));
  return minAreaRect34(corners);
}

}  // namespace

int detectMrz(cv::Mat& band, std::vector<cv::RotatedRect>& lines) {
  if (band.empty() || band.cols <= 0 || band.rows <= 0) return -1;

  const int k = band.cols / kBandUnit;
  if (k < 1) return -1;
  const float fx = static_cast<float>(k * kWidthFactor);
  const float fy = static_cast<float>(k);
  const int W = static_cast<int>(static_cast<float>(band.cols) / fx);
  const int H = static_cast<int>(static_cast<float>(band.rows) / fy);
  if (H < 1 || W < 1) return -1;

  try {
    cv::Mat resizeimg, padimg;
    cv::resize(band, resizeimg, cv::Size(W, H), 0, 0, cv::INTER_LINEAR);
    cv::copyMakeBorder(resizeimg, padimg, 0, kPadRows, 0, 0, cv::BORDER_CONSTANT,
                       cv::Scalar(127, 127, 127));

    const int minLong = static_cast<int>(W * kMinLongFraction);
    std::vector<cv::RotatedRect> result;
    const int found = crnn_detect_textbox2(padimg, minLong, kMinShort, kMaxDetectorSide, result);
    draw_text_allboxs(padimg, result, "search_mrz");
    if (found < 2) return -1;

    const int a = longest(result, -1);
    const int b = longest(result, a);
    if (a < 0 || b < 0) return -1;

    std::vector<cv::RotatedRect> result_two;
    if (result[b].center.y > result[a].center.y)
      result_two = {result[a], result[b]};
    else
      result_two = {result[b], result[a]};
    result_two[0] = tighten(result_two[0]);
    result_two[1] = tighten(result_two[1]);

    const int su = shortSide(result_two[0]);
    const int sl = shortSide(result_two[1]);
    const double d = static_cast<double>(result_two[1].center.y) - result_two[0].center.y;
    if (d > kMaxGapFactor * (su + sl)) return -1;

    std::vector<cv::RotatedRect> fix_result = {mapToBand(result_two[0], fx, fy),
                                               mapToBand(result_two[1], fx, fy)};
    if (fix_result[1].center.y > fix_result[0].center.y) {
      // already upper first
    } else if (fix_result[0].center.y > fix_result[1].center.y) {
      std::swap(fix_result[0], fix_result[1]);
    } else {
      return -1;
    }
    lines.clear();
    lines.push_back(fix_result[0]);
    lines.push_back(fix_result[1]);
    return 0;
  } catch (const cv::Exception& e) {
    vyr_log(1, "detectMrz: %s", e.what());
    return -1;
  }
}
