#include "postprocess_op.h"

#include <algorithm>
#include <cmath>

#include <opencv2/imgproc.hpp>
#include <polyclipping/clipper.hpp>

#include "rotated_rect34.h"

namespace {

// Contours beyond this many are not examined.
constexpr size_t kMaxCandidates = 1000;

template <typename T>
T clampTo(T v, T lo, T hi) {
  return std::max(lo, std::min(v, hi));
}

}  // namespace

bool PostProcessor::XsortInt(std::vector<int> a, std::vector<int> b) { return a[0] < b[0]; }

bool PostProcessor::XsortFp32(std::vector<float> a, std::vector<float> b) { return a[0] < b[0]; }

PostProcessor::Quad PostProcessor::Mat2Vector(cv::Mat mat) {
  Quad out;
  if (mat.empty() || mat.type() != CV_32FC1) return out;
  out.reserve(mat.rows);
  for (int r = 0; r < mat.rows; ++r) {
    const float* row = mat.ptr<float>(r);
    out.emplace_back(row, row + mat.cols);
  }
  return out;
}

float** PostProcessor::Mat2Vec(cv::Mat mat) {
  if (mat.empty() || mat.type() != CV_32FC1) return nullptr;
  float** rows = new float*[mat.rows];
  for (int r = 0; r < mat.rows; ++r) {
    rows[r] = new float[mat.cols];
    const float* src = mat.ptr<float>(r);
    std::copy(src, src + mat.cols, rows[r]);
  }
  return rows;
}

PostProcessor::Quad PostProcessor::GetMiniBoxes(cv::RotatedRect box, float& ssid) {
  ssid = std::max(box.size.width, box.size.height);

  cv::Mat points;
  cv::boxPoints(box, points);
  Quad array = Mat2Vector(points);
  std::stable_sort(array.begin(), array.end(), XsortFp32);

  const std::vector<float>& p0 = array[0];
  const std::vector<float>& p1 = array[1];
  const std::vector<float>& p2 = array[2];
  const std::vector<float>& p3 = array[3];
  // Within a pair the later-sorted point becomes the top one on equal y.
  std::vector<float> topRight, bottomRight, topLeft, bottomLeft;
  if (p3[1] <= p2[1]) {
    topRight = p3;
    bottomRight = p2;
  } else {
    topRight = p2;
    bottomRight = p3;
  }
  if (p1[1] <= p0[1]) {
    topLeft = p1;
    bottomLeft = p0;
  } else {
    topLeft = p0;
    bottomLeft = p1;
  }
  return {topLeft, topRight, bottomRight, bottomLeft};
}

float PostProcessor::BoxScoreFast(Quad boxArray, cv::Mat pred) {
  if (boxArray.size() < 4 || pred.empty() || pred.type() != CV_32FC1) return 0.f;
  for (size_t i = 0; i < 4; ++i)
    if (boxArray[i].size() < 2 || !std::isfinite(boxArray[i][0]) || !std::isfinite(boxArray[i][1]))
      return 0.f;

  const int width = pred.cols;
  const int height = pred.rows;
  float minX = boxArray[0][0], maxX = minX, minY = boxArray[0][1], maxY = minY;
  for (size_t i = 1; i < 4; ++i) {
    minX = std::min(minX, boxArray[i][0]);
    maxX = std::max(maxX, boxArray[i][0]);
    minY = std::min(minY, boxArray[i][1]);
    maxY = std::max(maxY, boxArray[i][1]);
  }
  const int xmin = clampTo(static_cast<int>(std::floor(minX)), 0, width - 1);
  const int xmax = clampTo(static_cast<int>(std::ceil(maxX)), 0, width - 1);
  const int ymin = clampTo(static_cast<int>(std::floor(minY)), 0, height - 1);
  const int ymax = clampTo(static_cast<int>(std::ceil(maxY)), 0, height - 1);

  cv::Mat mask = cv::Mat::zeros(ymax - ymin + 1, xmax - xmin + 1, CV_8UC1);
  cv::Point poly[4];
  for (int i = 0; i < 4; ++i)
    poly[i] = cv::Point(static_cast<int>(boxArray[i][0]) - xmin,
                        static_cast<int>(boxArray[i][1]) - ymin);
  const cv::Point* polys[1] = {poly};
  const int counts[1] = {4};
  cv::fillPoly(mask, polys, counts, 1, cv::Scalar(1), cv::LINE_8, 0, cv::Point());

  cv::Mat cropped;
  pred(cv::Rect(xmin, ymin, mask.cols, mask.rows)).copyTo(cropped);
  return static_cast<float>(cv::mean(cropped, mask)[0]);
}

float PostProcessor::PolygonScoreAcc(std::vector<cv::Point> contour, cv::Mat pred) {
  if (contour.empty() || pred.empty() || pred.type() != CV_32FC1) return 0.f;
  const int width = pred.cols;
  const int height = pred.rows;
  float minX = static_cast<float>(contour[0].x), maxX = minX;
  float minY = static_cast<float>(contour[0].y), maxY = minY;
  for (const cv::Point& p : contour) {
    minX = std::min(minX, static_cast<float>(p.x));
    maxX = std::max(maxX, static_cast<float>(p.x));
    minY = std::min(minY, static_cast<float>(p.y));
    maxY = std::max(maxY, static_cast<float>(p.y));
  }
  const int xmin = clampTo(static_cast<int>(std::floor(minX)), 0, width - 1);
  const int xmax = clampTo(static_cast<int>(std::ceil(maxX)), 0, width - 1);
  const int ymin = clampTo(static_cast<int>(std::floor(minY)), 0, height - 1);
  const int ymax = clampTo(static_cast<int>(std::ceil(maxY)), 0, height - 1);

  cv::Mat mask = cv::Mat::zeros(ymax - ymin + 1, xmax - xmin + 1, CV_8UC1);
  std::vector<cv::Point> shifted(contour.size());
  for (size_t i = 0; i < contour.size(); ++i)
    shifted[i] = cv::Point(contour[i].x - xmin, contour[i].y - ymin);
  const cv::Point* polys[1] = {shifted.data()};
  const int counts[1] = {static_cast<int>(shifted.size())};
  cv::fillPoly(mask, polys, counts, 1, cv::Scalar(1), cv::LINE_8, 0, cv::Point());

  cv::Mat cropped;
  pred(cv::Rect(xmin, ymin, mask.cols, mask.rows)).copyTo(cropped);
  return static_cast<float>(cv::mean(cropped, mask)[0]);
}

void PostProcessor::GetContourArea(const Quad& box, float unClipRatio, float& distance) {
  float area = 0.f;
  float perimeter = 0.f;
  const size_t n = std::min<size_t>(box.size(), 4);
  for (size_t i = 0; i < n; ++i) {
    const size_t j = (i + 1) % n;
    area += box[i][0] * box[j][1] - box[i][1] * box[j][0];
    perimeter += std::sqrt((box[i][0] - box[j][0]) * (box[i][0] - box[j][0]) +
                           (box[i][1] - box[j][1]) * (box[i][1] - box[j][1]));
  }
  area = std::fabs(area * 0.5f);
  // A box without extent has no offset; 0/0 would hand NaN to the offsetter.
  distance = perimeter > 0.f ? area * unClipRatio / perimeter : 0.f;
}

cv::RotatedRect PostProcessor::UnClip(Quad box, const float& unClipRatio) {
  const cv::RotatedRect none(cv::Point2f(0.f, 0.f), cv::Size2f(1.f, 1.f), 0.f);
  if (box.size() < 4) return none;

  float distance = 0.f;
  GetContourArea(box, unClipRatio, distance);
  if (!std::isfinite(distance)) return none;

  ClipperLib::ClipperOffset offset(2.0, 0.25);
  ClipperLib::Path path;
  for (size_t i = 0; i < 4; ++i)
    path << ClipperLib::IntPoint(static_cast<ClipperLib::cInt>(static_cast<int>(box[i][0])),
                                 static_cast<ClipperLib::cInt>(static_cast<int>(box[i][1])));
  offset.AddPath(path, ClipperLib::jtRound, ClipperLib::etClosedPolygon);
  ClipperLib::Paths solution;
  offset.Execute(solution, static_cast<double>(distance));

  std::vector<cv::Point2f> points;
  for (const ClipperLib::Path& p : solution)
    for (const ClipperLib::IntPoint& q : p)
      points.emplace_back(static_cast<float>(q.X), static_cast<float>(q.Y));
  if (points.empty()) return none;
  return minAreaRect34(points);
}

PostProcessor::IntQuad PostProcessor::OrderPointsClockwise(IntQuad pts) {
  if (pts.size() != 4) return pts;
  IntQuad sorted = pts;
  std::stable_sort(sorted.begin(), sorted.end(), XsortInt);

  std::vector<int> leftTop = sorted[0], leftBottom = sorted[1];
  std::vector<int> rightTop = sorted[2], rightBottom = sorted[3];
  if (leftTop[1] > leftBottom[1]) std::swap(leftTop, leftBottom);
  if (rightTop[1] > rightBottom[1]) std::swap(rightTop, rightBottom);
  return {leftTop, rightTop, rightBottom, leftBottom};
}

PostProcessor::BoxList PostProcessor::BoxesFromBitmap(const cv::Mat pred, const cv::Mat bitmap,
                                                      const float& boxThresh,
                                                      const float& unClipRatio,
                                                      const bool& polygonScore) {
  BoxList boxes;
  if (pred.empty() || bitmap.empty() || pred.type() != CV_32FC1 || bitmap.type() != CV_8UC1)
    return boxes;

  const float wb = static_cast<float>(bitmap.cols);
  const float hb = static_cast<float>(bitmap.rows);
  const float wp = static_cast<float>(pred.cols);
  const float hp = static_cast<float>(pred.rows);

  std::vector<std::vector<cv::Point>> contours;
  std::vector<cv::Vec4i> hierarchy;
  cv::findContours(bitmap, contours, hierarchy, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE,
                   cv::Point(0, 0));

  const size_t count = std::min(contours.size(), kMaxCandidates);
  for (size_t i = 0; i < count; ++i) {
    const std::vector<cv::Point>& contour = contours[i];
    if (contour.size() < 3) continue;

    float ssid = 0.f;
    Quad array = GetMiniBoxes(minAreaRect34(contour), ssid);
    if (ssid < 3.f) continue;

    const float score = polygonScore ? PolygonScoreAcc(contour, pred) : BoxScoreFast(array, pred);
    if (score < boxThresh) continue;

    cv::RotatedRect expanded = UnClip(array, unClipRatio);
    if (expanded.size.width < 1.001f && expanded.size.height < 1.001f) continue;

    Quad cliparray = GetMiniBoxes(expanded, ssid);
    if (ssid < 5.f) continue;

    IntQuad intcliparray;
    intcliparray.reserve(4);
    for (size_t k = 0; k < 4; ++k) {
      const float x = clampTo(std::roundf(cliparray[k][0] / wb * wp), 0.f, wp);
      const float y = clampTo(std::roundf(cliparray[k][1] / hb * hp), 0.f, hp);
      intcliparray.push_back({static_cast<int>(x), static_cast<int>(y)});
    }
    boxes.push_back(intcliparray);
  }
  return boxes;
}

PostProcessor::BoxList PostProcessor::FilterTagDetRes(BoxList boxes, float ratioH, float ratioW,
                                                      int offset, int rows, int cols) {
  BoxList kept;
  // Scale factors of zero (or not numbers) have no inverse; an empty image has
  // no pixel to clamp into.
  if (!(ratioH > 0.f) || !(ratioW > 0.f) || !std::isfinite(ratioH) || !std::isfinite(ratioW) ||
      rows <= 0 || cols <= 0)
    return kept;

  for (IntQuad& box : boxes) {
    if (box.size() != 4) continue;
    box = OrderPointsClockwise(box);
    for (std::vector<int>& p : box) {
      // Bounded before the cast: a tiny scale factor must not overflow int.
      const float x = clampTo(static_cast<float>(p[0]) / ratioW, -1e9f, 1e9f);
      const float y = clampTo(static_cast<float>(p[1]) / ratioH, -1e9f, 1e9f);
      p[0] = clampTo(static_cast<int>(x) - offset, 0, cols - 1);
      p[1] = clampTo(static_cast<int>(y) - offset, 0, rows - 1);
    }
  }
  for (const IntQuad& box : boxes) {
    if (box.size() != 4) continue;
    const double dx01 = box[0][0] - box[1][0], dy01 = box[0][1] - box[1][1];
    const double dx03 = box[0][0] - box[3][0], dy03 = box[0][1] - box[3][1];
    const int w = static_cast<int>(std::sqrt(dx01 * dx01 + dy01 * dy01));
    if (w <= 4) continue;
    const int h = static_cast<int>(std::sqrt(dx03 * dx03 + dy03 * dy03));
    if (h <= 4) continue;
    kept.push_back(box);
  }
  return kept;
}
