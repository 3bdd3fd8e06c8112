#include "passport_locate.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>

#include "char_segment.h"
#include "error_def.h"
#include "passport_locate2.h"
#include "preprocess.h"
#include "rotated_rect34.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

constexpr int kBandUnit = 600;
constexpr int kBlockSize = 31;
constexpr int kBinC = 11;
constexpr std::size_t kMinContourPoints = 101;

int shortSide(const cv::RotatedRect& r) { return static_cast<int>(std::min(r.size.width, r.size.height)); }
int longSide(const cv::RotatedRect& r) { return static_cast<int>(std::max(r.size.width, r.size.height)); }

bool between(int v, int lo, int hi) { return v >= lo && v <= hi; }

// A line on its own: thin enough and long enough, but not the whole band.
bool loneLineFits(const cv::RotatedRect& r, int W, int maxShort) {
  return between(shortSide(r), 11, maxShort) && longSide(r) >= 501 && longSide(r) < W - 20;
}

// Joins two pieces of one line: the two leftmost and the two rightmost of
// their eight corners, rounded, and the minimum-area rectangle about them.
cv::RotatedRect joinPieces(const cv::RotatedRect& a, const cv::RotatedRect& b) {
  cv::Point2f pa[4], pb[4];
  a.points(pa);
  b.points(pb);
  std::vector<cv::Point2f> all;
  for (int i = 0; i < 4; ++i) {
    all.push_back(pa[i]);
    all.push_back(pb[i]);
  }
  std::sort(all.begin(), all.end(), comp_Point2f_x);
  std::vector<cv::Point> ends = {cv::Point(cvRound(all[0].x), cvRound(all[0].y)),
                                 cv::Point(cvRound(all[1].x), cvRound(all[1].y)),
                                 cv::Point(cvRound(all[6].x), cvRound(all[6].y)),
                                 cv::Point(cvRound(all[7].x), cvRound(all[7].y))};
  return minAreaRect34(ends);
}

// Picks the two MRZ lines into rr[0] and rr[1]: 0, or -2 / -3.
int chooseLines(std::vector<cv::RotatedRect>& rr, int W) {
  const std::size_t n = rr.size();
  if (n == 0) return -2;
  if (n == 1) return loneLineFits(rr[0], W, 30) ? -3 : -2;

  std::sort(rr.begin(), rr.end(), comp);
  const int s0 = shortSide(rr[0]), L0 = longSide(rr[0]);
  const int s1 = shortSide(rr[1]), L1 = longSide(rr[1]);
  if (between(s0, 11, 56) && between(s1, 11, 56) && L0 >= 441 && L0 < W - 20 && L1 >= 441 && L1 < W - 20 &&
      std::abs(L0 - L1) < 30)
    return 0;

  // The second line may have fallen apart into two pieces.
  if (n >= 3) {
    for (std::size_t i = 1; i + 1 < n; ++i) {
      for (std::size_t j = n - 1; j > i; --j) {
        if (!between(shortSide(rr[i]), 11, 56) || !between(shortSide(rr[j]), 11, 56)) continue;
        const cv::RotatedRect M = joinPieces(rr[i], rr[j]);
        const int sM = shortSide(M), LM = longSide(M);
        const float a = std::fabs(M.angle);
        if (!(a < 3.f || a > 87.f)) continue;
        if (!between(s0, 8, 56) || !between(sM, 8, 56)) continue;
        if (L0 < 501 || L0 >= W - 20 || LM < 501 || LM >= W - 20) continue;
        if (std::abs(L0 - LM) > 19) continue;
        rr[1] = M;
        if (static_cast<int>(std::fabs(rr[0].center.y - M.center.y)) < 40) return 0;
      }
    }
  }
  return loneLineFits(rr[0], W, 56) ? -3 : -2;
}

}  // namespace

bool comp_Point2f_x(cv::Point2f a, cv::Point2f b) { return a.x < b.x; }

_myTextRect detectLettersRect(cv::Mat& mask, int k) {
  _myTextRect result;
  if (mask.empty() || mask.type() != CV_8UC1 || k < 1) return result;
  const cv::Mat element = cv::getStructuringElement(cv::MORPH_RECT, cv::Size(k, 1));
  cv::Mat linemask;
  cv::morphologyEx(mask, linemask, cv::MORPH_CLOSE, element);
  std::vector<std::vector<cv::Point>> contours_mask;
  cv::findContours(linemask, contours_mask, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  for (const std::vector<cv::Point>& contour : contours_mask) {
    if (contour.size() < kMinContourPoints) continue;
    std::vector<cv::Point> poly;
    cv::approxPolyDP(contour, poly, 0.0, true);
    const cv::Rect appRect = cv::boundingRect(poly);
    if (appRect.width <= appRect.height) continue;
    result.bound_rects.push_back(appRect);
    result.rotated_rects.push_back(minAreaRect34(poly));
  }
  return result;
}

int checkLettersRect(cv::Mat& band, cv::Mat& reduced, _myTextRect& textRect, cv::Mat& line1_rgb,
                     cv::Mat& line2_rgb, cv::Mat& line1_gray, cv::Mat& line2_gray, float scale, int W,
                     int color_mode) {
  std::vector<cv::RotatedRect>& rr = textRect.rotated_rects;
  const int chosen = chooseLines(rr, W);
  if (chosen != 0) {
    showError(chosen);
    return chosen;
  }

  cv::Rect_<float> safe[2];
  if (!calcSafeRect(rr[0], reduced, safe[0]) || !calcSafeRect(rr[1], reduced, safe[1])) {
    showError(-5);
    return -5;
  }
  cv::RotatedRect line[2] = {rr[0], rr[1]};
  if (!(static_cast<int>(safe[0].y) < static_cast<int>(safe[1].y))) {
    std::swap(safe[0], safe[1]);
    std::swap(line[0], line[1]);
  }

  cv::Mat* rgb[2] = {&line1_rgb, &line2_rgb};
  cv::Mat* gray[2] = {&line1_gray, &line2_gray};
  // Either thread may report its line as failed; the flag is read after the
  // join only.
  std::atomic<bool> wrong{false};
  const cv::Rect whole(0, 0, band.cols, band.rows);

#pragma omp parallel for num_threads(2) schedule(static)
  for (int k = 0; k < 2; ++k) {
    const cv::Point2f relative(line[k].center.x - safe[k].x, line[k].center.y - safe[k].y);
    const float roi_angle = line[k].angle < -45 ? line[k].angle + 90 : line[k].angle;
    const cv::Rect_<float> srcrect(safe[k].x * scale, safe[k].y * scale, safe[k].width * scale,
                                   safe[k].height * scale);
    // The float-to-int conversion of a rectangle rounds each member; a cut
    // that would leave the band (never on the scan path) is clipped to it.
    const cv::Rect cut = cv::Rect(srcrect) & whole;
    cv::Mat crop = cut.area() > 0 ? band(cut) : cv::Mat();
    const float longer = std::max(line[k].size.width, line[k].size.height);
    const float shorter = std::min(line[k].size.width, line[k].size.height);
    const cv::Size lineSize(static_cast<int>(longer + 8), static_cast<int>(shorter + 5));
    const cv::Size deskewSize(static_cast<int>(lineSize.width * scale), static_cast<int>(lineSize.height * scale));
    const cv::Point2f deskewCentre = relative * scale;

    bool failed = deskewCentre.x + deskewSize.width / 2 > band.cols || deskewCentre.y - deskewSize.height / 2 < 0 ||
                  deskewCentre.y + deskewSize.height / 2 > band.rows;
    const bool ok = rotation_visa2(crop, *rgb[k], deskewSize, deskewCentre, roi_angle, g_rotated_struct[k], k == 0);
    if (ok) BGR2GRAY(*rgb[k], *gray[k], color_mode);
    g_rotated_struct[k].line_rect = srcrect;
    if (!ok || gray[k]->empty()) failed = true;
    if (failed) wrong.store(true);
  }

  if (wrong.load()) {
    showError(-6);
    return -6;
  }
  return 0;
}

int charDtct(cv::Mat& band, cv::Mat& mask, cv::Mat& line1_rgb, cv::Mat& line2_rgb, cv::Mat& line1,
             cv::Mat& line2, int& sz1, int& sz2) {
  if (band.cols <= kBandUnit - 1) {
    showError(-7);
    return -7;
  }
  if (band.rows <= 0) return -1;
  const int k = band.cols / kBandUnit;
  const int rw = static_cast<int>(static_cast<float>(band.cols) / static_cast<float>(k));
  const int rh = static_cast<int>(static_cast<float>(band.rows) / static_cast<float>(k));
  if (rw <= 0 || rh <= 0) return -1;

  cv::Mat resizeimg;
  cv::resize(band, resizeimg, cv::Size(rw, rh), 0, 0, cv::INTER_LINEAR);
  const float scale = static_cast<float>(k);
  cv::Mat line1_gray, line2_gray;

  vyr_log(0, "detect letter: 6");
  _myTextRect textRect = detectLettersRect(mask, 6);
  int r = checkLettersRect(band, resizeimg, textRect, line1_rgb, line2_rgb, line1_gray, line2_gray, scale,
                           resizeimg.cols, 0);
  bool wide = false;
  if (r == -3 || r == -2) {
    vyr_log(0, "detect letter: 20");
    textRect = detectLettersRect(mask, 20);
    r = checkLettersRect(band, resizeimg, textRect, line1_rgb, line2_rgb, line1_gray, line2_gray, scale,
                         resizeimg.cols, 0);
    wide = true;
  }
  if (r != 0) return r;

  preprocess1(line1_gray, line2_gray, line1, line2, kBlockSize, kBinC);
  const int s = char_segment(0, line1, line2, line1_rgb, line2_rgb, sz1, sz2);
  if (s == 0 || wide) return s;

  // The kernel-6 lines did not split: look again with the wider kernel. The
  // line about to be segmented is the one the visa reading must map through,
  // so line 1's record takes the new deskew's mapping.
  vyr_log(0, "detect letter: 20");
  textRect = detectLettersRect(mask, 20);
  g_rotated_struct[0].has_inverse = false;
  r = checkLettersRect(band, resizeimg, textRect, line1_rgb, line2_rgb, line1_gray, line2_gray, scale,
                       resizeimg.cols, 0);
  if (r != 0) return r;
  vyr_log(0, "try threshold 11");
  preprocess1(line1_gray, line2_gray, line1, line2, kBlockSize, kBinC);
  return char_segment(0, line1, line2, line1_rgb, line2_rgb, sz1, sz2);
}

bool rotation_visa(cv::Mat& input, cv::Mat& output, cv::Size size, cv::Point2f centre, double angle,
                   PASSPORT_ROTATED_STRUCT& record, bool keep) {
  return rotation_visa2(input, output, size, centre, angle, record, keep);
}

// ---- helpers off the scan path ------------------------------------------------

namespace {

// Character-sized regions of a grey band, as the band check finds them but
// with a fixed variation.
constexpr int kCharMserDelta = 5;
constexpr int kCharMserMinArea = 8;
constexpr int kCharMserMaxArea = 100;
constexpr double kCharMserVariation = 0.5;
constexpr double kCharWorkScale = 0.75;

// Light lines: print at least 33 levels darker than its 81 x 81 surroundings
// is dark; a stroke is at least 51 rows high and at most 14 columns wide.
constexpr int kLightBlock = 81;
constexpr double kLightC = 33;
constexpr int kLightCloseSide = 10;
constexpr int kLightErodeSide = 8;
constexpr int kStrokeMinHeight = 51;
constexpr int kStrokeMaxWidth = 14;
constexpr int kStrokeInset = 4;

}  // namespace

cv::Mat getMserRegion(cv::Mat& band, int grey_mode) {
  if (band.empty() || band.depth() != CV_8U || band.cols < kBandUnit) return cv::Mat();
  const float k = static_cast<float>(band.cols / kBandUnit);
  const cv::Size maskSize(static_cast<int>(static_cast<float>(band.cols) / k),
                          static_cast<int>(static_cast<float>(band.rows) / k));
  const cv::Size workSize(static_cast<int>(maskSize.width * kCharWorkScale),
                          static_cast<int>(maskSize.height * kCharWorkScale));
  if (workSize.width <= 0 || workSize.height <= 0) return cv::Mat();

  cv::Mat img, gray;
  cv::resize(band, img, workSize, 0, 0, cv::INTER_LINEAR);
  if (img.channels() > 1) {
    BGR2GRAY(img, gray, grey_mode);
    if (gray.empty()) return cv::Mat();  // a grey mode or channel count it refused
    debugShow("gray", gray);
  } else {
    gray = img;
  }
  cv::GaussianBlur(gray, gray, cv::Size(3, 3), 1.0, 0.0, cv::BORDER_DEFAULT);

  cv::Ptr<cv::MSER> mser = cv::MSER::create(kCharMserDelta, kCharMserMinArea, kCharMserMaxArea,
                                            kCharMserVariation, 0.2, 200, 1.01, 0.003, 5);
  std::vector<std::vector<cv::Point>> points;
  std::vector<cv::Rect> rects;
  mser->detectRegions(gray, points, rects);

  cv::Mat mask = cv::Mat::zeros(img.size(), CV_8UC1);
  for (const std::vector<cv::Point>& region : points) {
    const cv::Rect brect = cv::boundingRect(region);
    const float ratio = static_cast<float>(brect.height) / static_cast<float>(brect.width);
    if (ratio > 0.25f && ratio < 4.f) cv::rectangle(mask, brect, cv::Scalar(255), cv::FILLED, cv::LINE_8, 0);
  }
  cv::resize(mask, mask, maskSize, 0, 0, cv::INTER_LINEAR);
  return mask;
}

void addWhiteEdge(std::vector<cv::Rect>& rects, cv::Mat& image) {
  if (image.empty()) return;
  const auto corner = [](int64_t x, int64_t y) {
    return cv::Point(cv::saturate_cast<int>(x), cv::saturate_cast<int>(y));
  };
  const cv::Scalar white(255, 0, 0, 0);
  for (const cv::Rect& r : rects) {
    const int64_t x = r.x, y = r.y, right = x + r.width, bottom = y + r.height;
    cv::rectangle(image, corner(x, y), corner(right - 1, bottom - 1), white, 1, cv::LINE_8, 0);
    cv::rectangle(image, corner(x + 1, y + 1), corner(right - 2, bottom - 2), white, 1, cv::LINE_8, 0);
  }
}

std::vector<int> filterLightline(cv::Mat& image) {
  std::vector<int> result = {image.cols + kStrokeInset, -kStrokeInset};  // no stroke
  const int cn = image.channels();
  if (image.empty() || image.depth() != CV_8U || (cn != 1 && cn != 3 && cn != 4)) {
    vyr_log(1, "filterLightline: unsupported image (%d x %d, depth %d, %d channels)", image.cols, image.rows,
            image.depth(), cn);
    return result;
  }
  cv::Mat gray;
  if (cn > 1)
    cv::cvtColor(image, gray, cv::COLOR_BGR2GRAY);
  else
    gray = image;

  // Dark areas of the page, closed over thin print and grown by the erosion;
  // the column padded on the left darkens the first columns too.
  cv::Mat mask;
  cv::adaptiveThreshold(gray, mask, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, kLightBlock, kLightC);
  cv::morphologyEx(mask, mask, cv::MORPH_CLOSE,
                   cv::getStructuringElement(cv::MORPH_RECT, cv::Size(kLightCloseSide, kLightCloseSide)));
  cv::copyMakeBorder(mask, mask, 0, 0, 1, 0, cv::BORDER_CONSTANT, cv::Scalar(0));
  cv::erode(mask, mask, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(kLightErodeSide, kLightErodeSide)));
  mask = mask(cv::Rect(1, 0, image.cols, image.rows));

  // Rising brightness only: the 8-bit derivative drops falling edges.
  cv::Mat sobel, bright, strokes;
  cv::Sobel(gray, sobel, CV_8U, 1, 0, 3, 1, 0, cv::BORDER_DEFAULT);
  bright = cv::Mat::zeros(image.rows, image.cols, CV_8UC1);
  sobel.copyTo(bright, mask);
  cv::threshold(bright, strokes, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);

  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(strokes, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  int right = strokes.cols, left = 0;
  for (const std::vector<cv::Point>& contour : contours) {
    const cv::Rect box = cv::boundingRect(contour);
    if (box.height < kStrokeMinHeight || box.width > kStrokeMaxWidth) continue;
    right = std::min(right, box.x + box.width);
    left = std::max(left, box.x);
  }
  result = {right + kStrokeInset, left - kStrokeInset};
  return result;
}
