#include "nn/OcrUtils.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>
#include <polyclipping/clipper.hpp>

#include "rotated_rect34.h"
#include "vyr_log.h"

namespace {

// Rounds a side down to a multiple of 32, at least 32.
int roundDown32(int side) {
  if (side % 32 != 0) side = side / 32 * 32;
  return side < 32 ? 32 : side;
}

// Rounds a side down to a multiple of 32 and one step further, at least 32.
int roundDown32Further(int side) {
  if (side % 32 != 0) side = side / 32 * 32 - 32;
  return side < 32 ? 32 : side;
}

// float -> int truncation that cannot overflow.
int truncSide(float v) {
  if (!(v > 0.f)) return 0;
  if (v > 1e9f) return 1000000000;
  return static_cast<int>(v);
}

ScaleParam geometry(const cv::Mat& src, int dstCols, int dstRows) {
  ScaleParam s;
  s.srcCols = src.cols;
  s.srcRows = src.rows;
  s.dstCols = dstCols;
  s.dstRows = dstRows;
  s.scaleX = static_cast<float>(dstCols) / static_cast<float>(src.cols);
  s.scaleY = static_cast<float>(dstRows) / static_cast<float>(src.rows);
  return s;
}

ScaleParam noGeometry(const cv::Mat& src) {
  ScaleParam s;
  s.srcCols = src.cols;
  s.srcRows = src.rows;
  return s;
}

const cv::Scalar kRed(0, 0, 255);

}  // namespace

// ---- detector input geometry ---------------------------------------------------

ScaleParam getScaleParam(cv::Mat& src, int targetSize) {
  if (src.empty() || src.cols <= 0 || src.rows <= 0 || targetSize <= 0) return noGeometry(src);
  const float ratio = static_cast<float>(targetSize) / static_cast<float>(std::max(src.cols, src.rows));
  const int dstCols = roundDown32(truncSide(ratio * static_cast<float>(src.cols)));
  const int dstRows = roundDown32(truncSide(ratio * static_cast<float>(src.rows)));
  return geometry(src, dstCols, dstRows);
}

ScaleParam getScaleParam(cv::Mat& src, float scale) {
  if (src.empty() || src.cols <= 0 || src.rows <= 0 || !(scale > 0.f) || !std::isfinite(scale))
    return noGeometry(src);
  const int dstCols = roundDown32Further(truncSide(static_cast<float>(src.cols) * scale));
  const int dstRows = roundDown32Further(truncSide(scale * static_cast<float>(src.rows)));
  return geometry(src, dstCols, dstRows);
}

// ---- text-box geometry -------------------------------------------------------

std::vector<cv::Point2f> getBox(const cv::RotatedRect& rect) {
  cv::Point2f p[4];
  rect.points(p);
  return {p[0], p[1], p[2], p[3]};
}

bool cvPointCompare(const cv::Point& a, const cv::Point& b) { return a.x < b.x; }

std::vector<cv::Point2f> getMinBoxes(const cv::RotatedRect& rect, float& longSide) {
  longSide = std::max(rect.size.width, rect.size.height);
  std::vector<cv::Point2f> p = getBox(rect);
  // The sort key is x rounded to the nearest integer (halves to even).
  std::stable_sort(p.begin(), p.end(), [](const cv::Point2f& a, const cv::Point2f& b) {
    return cvPointCompare(cv::Point(a), cv::Point(b));
  });

  cv::Point2f topLeft, bottomLeft, topRight, bottomRight;
  if (p[1].y > p[0].y) {
    topLeft = p[0];
    bottomLeft = p[1];
  } else {
    topLeft = p[1];
    bottomLeft = p[0];
  }
  if (p[3].y > p[2].y) {
    topRight = p[2];
    bottomRight = p[3];
  } else {
    topRight = p[3];
    bottomRight = p[2];
  }
  return {topLeft, topRight, bottomRight, bottomLeft};
}

float boxScoreFast(const std::vector<cv::Point2f>& corners, const cv::Mat& probMap) {
  if (corners.size() < 4 || probMap.empty() || probMap.type() != CV_32FC1) return 0.f;
  for (size_t i = 0; i < 4; ++i)
    if (!std::isfinite(corners[i].x) || !std::isfinite(corners[i].y)) return 0.f;

  const int w = probMap.cols;
  const int h = probMap.rows;
  float minX = corners[0].x, maxX = minX, minY = corners[0].y, maxY = minY;
  for (size_t i = 1; i < 4; ++i) {
    minX = std::min(minX, corners[i].x);
    maxX = std::max(maxX, corners[i].x);
    minY = std::min(minY, corners[i].y);
    maxY = std::max(maxY, corners[i].y);
  }
  const int xmin = std::clamp(static_cast<int>(std::floor(minX)), 0, w - 1);
  const int xmax = std::clamp(static_cast<int>(std::ceil(maxX)), 0, w - 1);
  const int ymin = std::clamp(static_cast<int>(std::floor(minY)), 0, h - 1);
  const int ymax = std::clamp(static_cast<int>(std::ceil(maxY)), 0, h - 1);

  cv::Mat mask = cv::Mat::zeros(ymax - ymin + 1, xmax - xmin + 1, CV_8UC1);
  cv::Point poly[4];
  for (int i = 0; i < 4; ++i)
    poly[i] = cv::Point(static_cast<int>(corners[i].x) - xmin, static_cast<int>(corners[i].y) - ymin);
  const cv::Point* polys[1] = {poly};
  const int counts[1] = {4};
  cv::fillPoly(mask, polys, counts, 1, cv::Scalar(1), cv::LINE_8, 0, cv::Point());

  cv::Mat croppedImg;
  probMap(cv::Rect(xmin, ymin, mask.cols, mask.rows)).copyTo(croppedImg);
  return static_cast<float>(cv::mean(croppedImg, mask)[0]);
}

float getContourArea(const std::vector<cv::Point2f>& corners, float unClipRatio) {
  const size_t n = corners.size();
  float area = 0.f;
  float perimeter = 0.f;
  for (size_t i = 0; i < n; ++i) {
    const size_t j = (i + 1) % n;
    area += corners[i].x * corners[j].y - corners[j].x * corners[i].y;
    perimeter += std::sqrt((corners[i].x - corners[j].x) * (corners[i].x - corners[j].x) +
                           (corners[i].y - corners[j].y) * (corners[i].y - corners[j].y));
  }
  area /= 2.f;
  // No perimeter, no offset (0 / 0 would be handed on as NaN).
  if (!(perimeter > 0.f)) return 0.f;
  return std::fabs(area) * unClipRatio / perimeter;
}

cv::RotatedRect unClip(std::vector<cv::Point2f> corners, float unClipRatio) {
  const cv::RotatedRect none(cv::Point2f(0.f, 0.f), cv::Size2f(1.f, 1.f), 0.f);
  if (corners.size() < 4) return none;
  const float distance = getContourArea(corners, unClipRatio);
  if (!std::isfinite(distance)) return none;
  for (size_t i = 0; i < 4; ++i)
    if (!std::isfinite(corners[i].x) || !std::isfinite(corners[i].y)) return none;

  ClipperLib::ClipperOffset offset(2.0, 0.25);
  ClipperLib::Path p;
  for (size_t i = 0; i < 4; ++i)
    p << ClipperLib::IntPoint(static_cast<ClipperLib::cInt>(static_cast<int>(corners[i].x)),
                              static_cast<ClipperLib::cInt>(static_cast<int>(corners[i].y)));
  offset.AddPath(p, ClipperLib::jtRound, ClipperLib::etClosedPolygon);
  ClipperLib::Paths soln;
  offset.Execute(soln, static_cast<double>(distance));

  std::vector<cv::Point2f> points;
  for (const ClipperLib::Path& path : soln)
    for (const ClipperLib::IntPoint& q : path)
      points.emplace_back(static_cast<float>(q.X), static_cast<float>(q.Y));
  if (points.empty()) return none;
  return minAreaRect34(points);
}

// ---- images for a line recogniser -------------------------------------------------

cv::Mat getRotateCropImage(const cv::Mat& src, std::vector<cv::Point> box) {
  if (src.empty() || box.size() < 4) return cv::Mat();
  try {
    std::vector<cv::Point> points(box.begin(), box.begin() + 4);
    int left = points[0].x, right = left, top = points[0].y, bottom = top;
    for (const cv::Point& p : points) {
      left = std::min(left, p.x);
      right = std::max(right, p.x);
      top = std::min(top, p.y);
      bottom = std::max(bottom, p.y);
    }
    // The crop is kept inside the image; what the box holds beyond it warps
    // to black, as samples outside the crop do.
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, src.cols);
    bottom = std::min(bottom, src.rows);
    if (right - left <= 0 || bottom - top <= 0) return cv::Mat();
    cv::Mat imgCrop = src(cv::Rect(left, top, right - left, bottom - top)).clone();
    for (cv::Point& p : points) p -= cv::Point(left, top);

    const double dx01 = points[0].x - points[1].x, dy01 = points[0].y - points[1].y;
    const double dx03 = points[0].x - points[3].x, dy03 = points[0].y - points[3].y;
    const int width = static_cast<int>(std::sqrt(dx01 * dx01 + dy01 * dy01));
    const int height = static_cast<int>(std::sqrt(dx03 * dx03 + dy03 * dy03));
    if (width <= 0 || height <= 0) return cv::Mat();

    const cv::Point2f ptsSrc[4] = {points[0], points[1], points[2], points[3]};
    const cv::Point2f ptsDst[4] = {cv::Point2f(0.f, 0.f), cv::Point2f(static_cast<float>(width), 0.f),
                                   cv::Point2f(static_cast<float>(width), static_cast<float>(height)),
                                   cv::Point2f(0.f, static_cast<float>(height))};
    cv::Mat m = cv::getPerspectiveTransform(ptsSrc, ptsDst);
    cv::Mat partImg;
    cv::warpPerspective(imgCrop, partImg, m, cv::Size(width, height), cv::INTER_LINEAR,
                        cv::BORDER_CONSTANT, cv::Scalar::all(0));
    if (static_cast<float>(partImg.rows) >= static_cast<float>(partImg.cols) * 1.5f) {
      cv::Mat turned;
      cv::transpose(partImg, turned);
      cv::flip(turned, turned, 0);
      return turned;
    }
    return partImg;
  } catch (const cv::Exception& e) {
    vyr_log(1, "getRotateCropImage: %s", e.what());
    return cv::Mat();
  }
}

cv::Mat adjustTargetImg(cv::Mat& src, int dstWidth, int dstHeight) {
  if (src.empty() || src.depth() != CV_8U || dstWidth <= 0 || dstHeight <= 0) return cv::Mat();
  try {
    cv::Mat bgr;
    if (src.channels() == 1)
      cv::cvtColor(src, bgr, cv::COLOR_GRAY2BGR);
    else if (src.channels() == 4)
      cv::cvtColor(src, bgr, cv::COLOR_BGRA2BGR);
    else if (src.channels() == 3)
      bgr = src;
    else
      return cv::Mat();

    const float scaled = static_cast<float>(dstHeight) / static_cast<float>(bgr.rows) *
                         static_cast<float>(bgr.cols);
    // A tall, narrow source keeps at least one column.
    const int resizeWidth = std::max(1, truncSide(scaled));
    cv::Mat srcResize;
    cv::resize(bgr, srcResize, cv::Size(resizeWidth, dstHeight), 0, 0, cv::INTER_LINEAR);

    cv::Mat srcFit(dstHeight, dstWidth, CV_8UC3, cv::Scalar(255, 255, 255));
    if (resizeWidth < dstWidth)
      srcResize.copyTo(srcFit(cv::Rect(0, 0, srcResize.cols, srcResize.rows)));
    else
      srcResize(cv::Rect(0, 0, dstWidth, dstHeight)).copyTo(srcFit);
    return srcFit;
  } catch (const cv::Exception& e) {
    vyr_log(1, "adjustTargetImg: %s", e.what());
    return cv::Mat();
  }
}

std::vector<float> substractMeanNormalize(cv::Mat& src, const float* meanVals,
                                          const float* normVals) {
  if (src.empty() || src.depth() != CV_8U || meanVals == nullptr || normVals == nullptr) return {};
  const int channels = src.channels();
  const size_t plane = static_cast<size_t>(src.rows) * static_cast<size_t>(src.cols);
  std::vector<float> out(plane * static_cast<size_t>(channels), 0.f);
  // Row by row, so a matrix with row padding (a sub-image) reads correctly.
  for (int r = 0; r < src.rows; ++r) {
    const unsigned char* row = src.ptr<unsigned char>(r);
    for (int c = 0; c < src.cols; ++c) {
      const size_t pixel = static_cast<size_t>(r) * static_cast<size_t>(src.cols) + c;
      for (int ch = 0; ch < channels; ++ch) {
        const float v = static_cast<float>(row[c * channels + ch]);
        out[static_cast<size_t>(ch) * plane + pixel] = v * normVals[ch] - meanVals[ch] * normVals[ch];
      }
    }
  }
  return out;
}

std::vector<int> getAngleIndexes(std::vector<Angle>& angles) {
  std::vector<int> indexes;
  indexes.reserve(angles.size());
  for (const Angle& a : angles) indexes.push_back(a.index);
  return indexes;
}

// ---- drawing, turning, files ---------------------------------------------------

double getCurrentTime() {
  return static_cast<double>(cv::getTickCount()) / cv::getTickFrequency() * 1000.0;
}

std::wstring strToWstr(std::string str) {
  std::wstring out;
  out.reserve(str.size());
  for (char c : str) out.push_back(static_cast<wchar_t>(static_cast<signed char>(c)));
  return out;
}

int getThickness(cv::Mat& img) { return std::min(img.cols, img.rows) / 1000 + 2; }

void drawTextBox(cv::Mat& img, cv::RotatedRect& rect, int thickness) {
  if (img.empty()) return;
  try {
    cv::Point2f p[4];
    rect.points(p);
    for (int i = 0; i < 4; ++i)
      cv::line(img, cv::Point(p[i]), cv::Point(p[(i + 1) % 4]), kRed, thickness, cv::LINE_8, 0);
  } catch (const cv::Exception& e) {
    vyr_log(1, "drawTextBox: %s", e.what());
  }
}

void drawTextBox(cv::Mat& img, const std::vector<cv::Point>& box, int thickness) {
  if (img.empty() || box.size() < 4) return;
  try {
    for (int i = 0; i < 4; ++i)
      cv::line(img, box[i], box[(i + 1) % 4], kRed, thickness, cv::LINE_8, 0);
  } catch (const cv::Exception& e) {
    vyr_log(1, "drawTextBox: %s", e.what());
  }
}

void drawTextBoxes(cv::Mat& img, std::vector<TextBox>& textBoxes, int thickness) {
  for (const TextBox& box : textBoxes) drawTextBox(img, box.points, thickness);
}

cv::Mat matRotateClockWise180(cv::Mat src) {
  if (src.empty()) return src;
  cv::flip(src, src, 0);
  cv::flip(src, src, 1);
  return src;
}

cv::Mat matRotateClockWise90(cv::Mat src) {
  if (src.empty()) return src;
  cv::transpose(src, src);
  cv::flip(src, src, 1);
  return src;
}

bool saveImg(cv::Mat& img, const char* imgPath) {
  if (imgPath == nullptr || img.empty()) return false;
  try {
    return cv::imwrite(imgPath, img);
  } catch (const cv::Exception& e) {
    vyr_log(1, "saveImg %s: %s", imgPath, e.what());
    return false;
  }
}

std::string getSrcImgFilePath(const char* imgDir, const char* imgName) {
  return std::string(imgDir ? imgDir : "") + (imgName ? imgName : "");
}

std::string getResultTxtFilePath(const char* imgDir, const char* imgName) {
  return getSrcImgFilePath(imgDir, imgName) + "-result.txt";
}

std::string getResultImgFilePath(const char* imgDir, const char* imgName) {
  return getSrcImgFilePath(imgDir, imgName) + "-result.jpg";
}
