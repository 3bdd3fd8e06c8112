#include "passport_detect_mrz.h"

#include <cstdlib>
#include <vector>

#include <opencv2/features2d.hpp>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "error_def.h"
#include "global.h"
#include "rotated_rect34.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

constexpr int kBandUnit = 600;
// Bars of an MRZ line in mask pixels (a 1600-column page at half scale).
constexpr float kMinBarShort = 13.f;
constexpr float kMaxBarShort = 120.f;
constexpr float kMinBarLong = 440.f;
constexpr std::size_t kMinContourPoints = 101;


}  // namespace

cv::Mat mrz_get_mser_region(cv::Mat& band, cv::Mat& small, float f, float delta, float minArea,
                            float maxArea, float maxVariation, int) {
  cv::Mat gray;
  if (small.channels() > 1)
    BGR2GRAY(small, gray, 1);
  else
    gray = small;
  cv::GaussianBlur(gray, gray, cv::Size(3, 3), 1.0, 0.0);
  const int bright = adjustBright(gray);
  const float variation = bright < 0 ? 0.8f : maxVariation;

  cv::Ptr<cv::MSER> mser =
      cv::MSER::create(static_cast<int>(delta), static_cast<int>(minArea), static_cast<int>(maxArea),
                       variation, 0.2, 200, 1.01, 0.003, 5);
  std::vector<std::vector<cv::Point>> points;
  std::vector<cv::Rect> rects;
  mser->detectRegions(gray, points, rects);

  cv::Mat mask = cv::Mat::zeros(small.rows, small.cols, CV_8UC1);
  std::vector<cv::Rect> charRects;
  for (const std::vector<cv::Point>& region : points) {
    const cv::Rect brect = cv::boundingRect(region);
    const float ratio = static_cast<float>(brect.height) / static_cast<float>(brect.width);
    if (ratio > 0.25f && ratio < 4.f) charRects.push_back(brect);
  }
  for (const cv::Rect& r : charRects) cv::rectangle(mask, r, cv::Scalar(255), cv::FILLED, cv::LINE_8, 0);

  const cv::Size maskSize(static_cast<int>(static_cast<float>(band.cols) / f),
                          static_cast<int>(static_cast<float>(band.rows) / f));
  cv::resize(mask, mask, maskSize, 0, 0, cv::INTER_LINEAR);
  return mask;
}

int mrz_detect_rect(cv::Mat&, cv::Mat& mask, int kernelWidth, float) {
  if (mask.empty() || mask.type() != CV_8UC1 || kernelWidth < 1) return -1;
  cv::Mat linemask;
  const cv::Mat element = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(kernelWidth, 1));
  cv::morphologyEx(mask, linemask, cv::MORPH_CLOSE, element);
  debugShow("mrz_mser", mask);
  debugShow("mrz_mser_close", linemask);

  std::vector<std::vector<cv::Point>> contours_mask;
  cv::findContours(linemask, contours_mask, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  std::vector<cv::RotatedRect> rotatedRect;
  for (const std::vector<cv::Point>& contour : contours_mask) {
    if (contour.size() < kMinContourPoints) continue;
    std::vector<cv::Point> contours_poly;
    cv::approxPolyDP(contour, contours_poly, 0.0, true);
    const cv::Rect appRect = cv::boundingRect(contours_poly);
    if (appRect.width > appRect.height) rotatedRect.push_back(minAreaRect34(contours_poly));
  }
  if (rotatedRect.empty()) return -1;

  int chosen = -1;
  float longest = 0.f;
  for (std::size_t i = 0; i < rotatedRect.size(); ++i) {
    const cv::Size2f s = rotatedRect[i].size;
    const float shortSide = std::min(s.width, s.height);
    const float longSide = std::max(s.width, s.height);
    if (shortSide > kMinBarShort && shortSide < kMaxBarShort && longSide > kMinBarLong &&
        (chosen < 0 || longSide > longest)) {
      chosen = static_cast<int>(i);
      longest = longSide;
    }
  }
  if (chosen < 0) return -2;

  const cv::Point2f centre = rotatedRect[static_cast<std::size_t>(chosen)].center;
  vyr_log(0, "max_length_mrz_center: %.2f, %.2f", centre.x, centre.y);
  return isMoved(0, centre.x, centre.y) < 0 ? -80 : 0;
}

int check_mrz_main(cv::Mat& band, cv::Mat& mserMask) {
  // The scan path always hands over a 1600 x 480 band; anything that cannot
  // be brought to the working scale is refused rather than divided by zero.
  if (band.empty() || band.cols < kBandUnit || band.depth() != CV_8U ||
      (band.channels() != 1 && band.channels() != 3 && band.channels() != 4)) {
    showError(-7);
    return -7;
  }
  const float f = static_cast<float>(band.cols / kBandUnit);
  const int width = static_cast<int>(static_cast<int>(static_cast<float>(band.cols) / f) * 0.75);
  const int height = static_cast<int>(static_cast<int>(static_cast<float>(band.rows) / f) * 0.75);
  if (width <= 0 || height <= 0) {
    showError(-7);
    return -7;
  }
  cv::Mat rzimg;
  cv::resize(band, rzimg, cv::Size(width, height), 0, 0, cv::INTER_LINEAR);
  cv::Mat this_mserMask = mrz_get_mser_region(band, rzimg, f, 5, 8, 100, 0.5f, 0);
  const int r = mrz_detect_rect(rzimg, this_mserMask, 20, 0.f);
  if (r == 0) mserMask = this_mserMask.clone();
  return r;
}
