#include "utils.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "gamma.h"
#include "global.h"
#include "rotated_rect34.h"
#include "vyr_log.h"

namespace {

constexpr double kPi = 3.141592653589793;
constexpr double kHalfPi = 1.5707963267948966;

// Written straight to standard output, not through the logger, so that the
// quiet mode does not hide it.
void readFailure() {
  fputs("Read image failure\n", stdout);
  fflush(stdout);
}

// double -> int dropping the fraction; out-of-range values saturate and NaN
// gives 0 instead of undefined behaviour.
int truncInt(double v) {
  if (!(v == v)) return 0;
  if (v >= 2147483647.0) return INT_MAX;
  if (v <= -2147483648.0) return INT_MIN;
  return static_cast<int>(v);
}

int saturateInt(long long v) {
  if (v > INT_MAX) return INT_MAX;
  if (v < INT_MIN) return INT_MIN;
  return static_cast<int>(v);
}

bool finitePoint(const cv::Point2f& p) { return std::isfinite(p.x) && std::isfinite(p.y); }

// Finite, and small enough that integer corner coordinates cannot overflow.
bool finiteRect(const cv::RotatedRect& r) {
  const float limit = 1e8f;
  return finitePoint(r.center) && std::isfinite(r.size.width) && std::isfinite(r.size.height) &&
         std::isfinite(r.angle) && std::fabs(r.center.x) < limit && std::fabs(r.center.y) < limit &&
         std::fabs(r.size.width) < limit && std::fabs(r.size.height) < limit;
}


// Brightness statistics of an 8-bit one-channel image (any row stride):
// da = mean (v - 128), cast = |da| / mean |v - 128 - da|. The spread is summed
// over the histogram, not over the pixels again.
void brightnessStats(const cv::Mat& img, float& cast, float& da) {
  int hist[256] = {0};
  float sum = 0.f;
  for (int r = 0; r < img.rows; ++r) {
    const unsigned char* p = img.ptr<unsigned char>(r);
    for (int c = 0; c < img.cols; ++c) {
      ++hist[p[c]];
      sum += static_cast<float>(p[c] - 128);
    }
  }
  const float n = static_cast<float>(img.rows * img.cols);
  da = sum / n;
  float spread = 0.f;
  for (int k = 0; k < 256; ++k)
    spread += static_cast<float>(hist[k]) * std::fabs(static_cast<float>(k - 128) - da);
  spread /= n;
  cast = std::fabs(da / spread);
}

bool isGreyPlane(const cv::Mat& m) { return m.type() == CV_8UC1; }

}  // namespace

// cv::imshow aborts the process when no display can be opened, which would
// take the embedding application down with it.
bool canShowWindows() {
  static const bool ok = std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY") ||
                         std::getenv("QT_QPA_PLATFORM");
  static bool warned = false;
  if (!ok && !warned) {
    warned = true;
    vyr_log(1, "no display: debug windows are skipped");
  }
  return ok;
}

void debugShow(const char* name, const cv::Mat& img) {
  if (!isDebugShow() || img.empty() || !canShowWindows()) return;
  try {
    cv::imshow(name ? name : "", img);
  } catch (const cv::Exception& e) {
    vyr_log(1, "debug window %s failed: %s", name ? name : "", e.what());
  }
}

// ---- motion gate ---------------------------------------------------------------

int isMoved(int slot, float x, float y) {
  if (g_set_detect_mode > 0) return 0;
  float& px = slot == 1 ? g_next_frame.card_x : g_next_frame.mrz_x;
  float& py = slot == 1 ? g_next_frame.card_y : g_next_frame.mrz_y;
  const float dx = x - px;
  const float dy = y - py;
  const float d = std::sqrt(dx * dx + dy * dy);
  int result = 0;
  if (d > 5.0f) {
    g_detect_mode = 0;
    vyr_log(0, "dist: %.2f, moved.", static_cast<double>(d));
    result = -1;
  } else {
    vyr_log(0, "dist: %.2f", static_cast<double>(d));
  }
  g_next_frame.has_point = 1;
  px = x;
  py = y;
  return result;
}

// ---- image rotation -----------------------------------------------------------

int imgRotate(cv::Mat& image, float angle, float scale) {
  if (image.empty()) {
    readFailure();
    return -1;
  }
  try {
    const cv::Point2f centre(static_cast<float>(image.cols / 2), static_cast<float>(image.rows / 2));
    const cv::Mat m = cv::getRotationMatrix2D(centre, angle, scale);
    cv::warpAffine(image, image, m, image.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar::all(0));
  } catch (const cv::Exception& e) {
    vyr_log(1, "imgRotate failed: %s", e.what());
    return -1;
  }
  return 0;
}

int imgRotate_2(cv::Mat& src, cv::Mat& dst, cv::Rect_<float>& roi, cv::RotatedRect& rr_in, int s) {
  if (src.empty()) {
    readFailure();
    return -1;
  }
  // The angle rule below is written for the classic [-90, 0) convention; a
  // rectangle in OpenCV's newer (0, 90] form would come out turned by 180.
  const cv::RotatedRect rr = toLegacyRect(rr_in);
  const float fs = static_cast<float>(s);
  const float px = roi.x * fs, py = roi.y * fs, pw = roi.width * fs, ph = roi.height * fs;
  const float limit = 1e9f;
  if (s <= 0 || !finiteRect(rr) || !(std::fabs(px) < limit && std::fabs(py) < limit &&
                                     std::fabs(pw) < limit && std::fabs(ph) < limit)) {
    vyr_log(1, "imgRotate_2: invalid rectangle");
    return -1;
  }
  const cv::Rect crop(cvRound(px), cvRound(py), cvRound(pw), cvRound(ph));
  if (crop.width <= 0 || crop.height <= 0 || crop.x < 0 || crop.y < 0 ||
      crop.x > src.cols - crop.width || crop.y > src.rows - crop.height) {
    vyr_log(1, "imgRotate_2: crop (%d, %d, %d, %d) is not inside the %dx%d image", crop.x, crop.y,
            crop.width, crop.height, src.cols, src.rows);
    return -1;
  }
  const int longSide = truncInt(std::max(rr.size.width, rr.size.height) * fs);
  const int shortSide = truncInt(std::min(rr.size.width, rr.size.height) * fs);
  if (longSide <= 0 || shortSide <= 0 || longSide >= SHRT_MAX) {
    vyr_log(1, "imgRotate_2: empty patch %dx%d", longSide, shortSide);
    return -1;
  }
  try {
    const cv::Mat view = src(crop);
    const cv::Point2f c((rr.center.x - roi.x) * fs, (rr.center.y - roi.y) * fs);
    const float a = rr.angle < -45.f ? rr.angle + 90.f : rr.angle;
    const cv::Mat m = cv::getRotationMatrix2D(c, a, 1.0);
    cv::Mat turned;
    cv::warpAffine(view, turned, m, view.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar::all(0));

    cv::Point2f corners[4];
    rr.points(corners);
    std::vector<cv::Point2f> mapped;
    for (const cv::Point2f& p : corners) mapped.push_back(getPointAffinedPos(p, c, a));
    const cv::Rect box = cv::boundingRect(mapped);
    const bool stands = box.width < box.height;

    const cv::Size patchSize = stands ? cv::Size(shortSide, longSide) : cv::Size(longSide, shortSide);
    cv::Mat patch;
    cv::getRectSubPix(turned, patchSize, c, patch, turned.type());
    if (patch.cols < patch.rows) {
      cv::transpose(patch, patch);
      cv::flip(patch, patch, 0);
    }
    dst = patch;
  } catch (const cv::Exception& e) {
    vyr_log(1, "imgRotate_2 failed: %s", e.what());
    return -1;
  }
  return 0;
}

bool rotation(cv::Mat& src, cv::Mat& dst, cv::Size_<int> size, cv::Point_<float> centre,
              double angle) {
  if (src.empty()) {
    readFailure();
    return false;
  }
  if (size.width <= 0 || size.height <= 0 || !finitePoint(centre)) return false;
  try {
    cv::Mat canvas(2 * src.rows, 2 * src.cols, src.type());
    canvas.setTo(cv::Scalar(200, 200, 200, 0));
    // Offsets that put the centre point on the canvas centre; anything beyond
    // the canvas fails the fit test below, so the clamp only keeps the
    // truncation defined.
    const float fx = std::min(std::max(static_cast<float>(canvas.cols / 2) - centre.x, 0.f),
                              static_cast<float>(canvas.cols + 1));
    const float fy = std::min(std::max(static_cast<float>(canvas.rows / 2) - centre.y, 0.f),
                              static_cast<float>(canvas.rows + 1));
    const int x = static_cast<int>(fx);
    const int y = static_cast<int>(fy);
    const int placedW = x + src.cols < canvas.cols ? src.cols : canvas.cols - x;
    const int placedH = y + src.rows < canvas.rows ? src.rows : canvas.rows - y;
    if (placedW != src.cols || placedH != src.rows) return false;
    src.copyTo(canvas(cv::Rect(x, y, placedW, placedH)));

    const cv::Point2f newCentre(static_cast<float>(canvas.cols / 2),
                                static_cast<float>(canvas.rows / 2));
    const cv::Mat m = cv::getRotationMatrix2D(newCentre, angle, 1.0);
    cv::Mat turned;
    cv::warpAffine(canvas, turned, m, canvas.size(), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar(200, 200, 200, 0));
    cv::Mat patch;
    cv::getRectSubPix(turned, size, newCentre, patch, turned.type());
    dst = patch;
  } catch (const cv::Exception& e) {
    vyr_log(1, "rotation failed: %s", e.what());
    return false;
  }
  return true;
}

cv::Point_<float> getPointAffinedPos(cv::Point_<float> point, cv::Point_<float> centre,
                                     float angle) {
  const double a = angle * kPi / 180.0;
  const double dx = point.x - centre.x;
  const double dy = point.y - centre.y;
  const double x = centre.x + (std::cos(a) * dx + std::sin(a) * dy);
  const double y = centre.y + (std::cos(a) * dy - std::sin(a) * dx);
  return {static_cast<float>(x), static_cast<float>(y)};
}

// ---- safe rectangles and rotated crops ----------------------------------------

void getSafeRect(int width, int height, int margin, cv::Rect_<int>& r) {
  const long long left = std::max<long long>(r.x, 0);
  const long long top = std::max<long long>(r.y, margin);
  const long long right = std::min<long long>(static_cast<long long>(r.x) + r.width, width);
  const long long bottom =
      std::min<long long>(static_cast<long long>(r.y) + r.height, static_cast<long long>(height) - margin);
  r = cv::Rect_<int>(saturateInt(left), saturateInt(top), saturateInt(right - left),
                     saturateInt(bottom - top));
}

bool calcSafeRect(const cv::RotatedRect& rr, const cv::Mat& image, cv::Rect_<float>& out) {
  if (!finiteRect(rr)) return false;
  const cv::Rect b = rr.boundingRect();
  const float left = std::max(static_cast<float>(b.x) - 5.f, 0.f);
  const float top = std::max(static_cast<float>(b.y) - 5.f, 0.f);
  const double endX = static_cast<double>(b.x) + b.width;
  const double endY = static_cast<double>(b.y) + b.height;
  const float right = endX + 5 < image.cols ? static_cast<float>(endX + 4) : static_cast<float>(image.cols - 1);
  const float bottom = endY + 5 < image.rows ? static_cast<float>(endY + 4) : static_cast<float>(image.rows - 1);
  const float width = right - left + 1.f;
  const float height = bottom - top + 1.f;
  if (!(width > 0.f && height > 0.f)) return false;
  out = cv::Rect_<float>(left, top, width, height);
  return true;
}

cv::Mat cropRotateRect(cv::Mat& image, cv::RotatedRect& rr_in) {
  if (image.empty()) {
    readFailure();
    return cv::Mat();
  }
  // Text boxes come from minAreaRect; in OpenCV's newer (0, 90] form a box
  // tilted by -10 degrees reads (short x long, 80), which the rule below would
  // turn by 170 degrees, upside down. The classic form keeps the turn small.
  const cv::RotatedRect rr = toLegacyRect(rr_in);
  if (!finiteRect(rr)) {
    vyr_log(1, "cropRotateRect: invalid rectangle");
    return cv::Mat();
  }
  const float a = rr.size.width > rr.size.height ? rr.angle : rr.angle + 90.f;
  const cv::Size patchSize = rr.size.height < rr.size.width
                                 ? cv::Size(cvRound(rr.size.width), cvRound(rr.size.height))
                                 : cv::Size(cvRound(rr.size.height), cvRound(rr.size.width));
  if (patchSize.width <= 0 || patchSize.height <= 0 || patchSize.width >= SHRT_MAX - 8 ||
      patchSize.height >= SHRT_MAX - 8) {
    vyr_log(1, "cropRotateRect: no patch for a %.1fx%.1f rectangle",
            static_cast<double>(rr.size.width), static_cast<double>(rr.size.height));
    return cv::Mat();
  }
  try {
    // Only the window around the patch is turned, with a little margin for
    // the sub-pixel cut: it is all the cut reads, and the fill value then
    // also covers the parts of the rectangle that lie past the image frame.
    const int ox = cvFloor(rr.center.x - patchSize.width * 0.5f) - 2;
    const int oy = cvFloor(rr.center.y - patchSize.height * 0.5f) - 2;
    const cv::Size window(patchSize.width + 5, patchSize.height + 5);
    cv::Mat m = cv::getRotationMatrix2D(rr.center, a, 1.0);
    m.at<double>(0, 2) -= ox;
    m.at<double>(1, 2) -= oy;
    cv::Mat turned;
    cv::warpAffine(image, turned, m, window, cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                   cv::Scalar(200, 200, 200, 0));
    cv::Mat patch;
    cv::getRectSubPix(turned, patchSize, cv::Point2f(rr.center.x - ox, rr.center.y - oy), patch,
                      turned.type());
    return patch;
  } catch (const cv::Exception& e) {
    vyr_log(1, "cropRotateRect failed: %s", e.what());
    return cv::Mat();
  }
}

void SortRotatedRectPoints(cv::Point_<float>* pts, cv::RotatedRect rr) {
  if (pts == nullptr) return;
  cv::Point2f p[4];
  rr.points(p);
  int start = 0;
  if (rr.angle > 0.f)
    start = 2;
  else if (rr.angle < 0.f)
    start = 1;
  for (int i = 0; i < 4; ++i) pts[i] = p[(start + i) % 4];
}

// ---- grey planes and brightness --------------------------------------------------

void BGR2GRAY(cv::Mat& src, cv::Mat& dst, int mode) {
  if (mode < 0 || mode > 2) {
    printf("BGR2GRAY mode=%d not support\n", mode);
    fflush(stdout);
    return;
  }
  if (src.empty()) {
    readFailure();
    return;
  }
  const int cn = src.channels();
  if (src.depth() != CV_8U || (cn != 1 && cn != 3 && cn != 4)) {
    vyr_log(1, "BGR2GRAY: unsupported image (depth %d, %d channels)", src.depth(), cn);
    return;
  }
  try {
    if (mode == 0) {
      if (cn == 1)
        src.copyTo(dst);
      else
        cv::cvtColor(src, dst, cv::COLOR_BGR2GRAY);
      return;
    }
    cv::Mat colour = src;
    if (cn == 1) cv::cvtColor(src, colour, cv::COLOR_GRAY2BGR);
    cv::Mat converted;
    cv::cvtColor(colour, converted, mode == 1 ? cv::COLOR_BGR2Lab : cv::COLOR_BGR2HSV);
    std::vector<cv::Mat> planes;
    cv::split(converted, planes);
    dst = planes[mode == 1 ? 0 : 2].clone();
  } catch (const cv::Exception& e) {
    vyr_log(1, "BGR2GRAY failed: %s", e.what());
  }
}

cv::Mat convertTo3Channels(cv::Mat const& gray) {
  if (gray.empty()) return cv::Mat();
  if (gray.channels() != 1) {
    vyr_log(1, "convertTo3Channels: a one-channel plane is needed, not %d channels", gray.channels());
    return cv::Mat();
  }
  cv::Mat three = cv::Mat::zeros(gray.rows, gray.cols, CV_MAKETYPE(gray.depth(), 3));
  std::vector<cv::Mat> planes{gray, gray, gray};
  cv::merge(planes, three);
  return three;
}

void detect_brightness(cv::Mat image, float& cast, float& da) {
  if (!image.empty() && !isGreyPlane(image)) {
    vyr_log(1, "detect_brightness: an 8-bit one-channel image is needed");
    cast = da = std::numeric_limits<float>::quiet_NaN();
    return;
  }
  brightnessStats(image, cast, da);
}

int getBinThreshold(cv::Mat& image) {
  if (image.empty()) {
    readFailure();
    return 17;
  }
  if (!isGreyPlane(image)) {
    vyr_log(1, "getBinThreshold: an 8-bit one-channel image is needed");
    return 17;
  }
  const int s = image.rows - 2;
  const cv::Rect square(image.cols / 2 - s / 2, image.rows / 2 - s / 2, s, s);
  // A line narrower than it is high has no such square; measure what of it
  // lies in the image (nothing at all reads as a bright line).
  const cv::Rect patch = square & cv::Rect(0, 0, image.cols, image.rows);
  float cast = 0.f, da = 0.f;
  brightnessStats(image(patch), cast, da);
  const int thres = da < 0.f ? 11 : 17;
  vyr_log(0, "cast=%.3f, da=%.3f, thres=%d", static_cast<double>(cast), static_cast<double>(da), thres);
  return thres;
}

int adjustBright(cv::Mat& gray) {
  if (gray.empty()) {
    readFailure();
    return 0;
  }
  if (!isGreyPlane(gray)) {
    vyr_log(1, "adjustBright: an 8-bit one-channel plane is needed");
    return 0;
  }
  const int x = gray.cols / 2 - 20;
  const int y = std::max(24, static_cast<int>(gray.rows * 0.32)) - 20;
  // A plane smaller than the sample patch is measured on what of the patch it holds.
  const cv::Rect patch = cv::Rect(x, y, 40, 40) & cv::Rect(0, 0, gray.cols, gray.rows);
  float cast = 0.f, da = 0.f;
  brightnessStats(gray(patch), cast, da);
  vyr_log(0, "cast=%.3f, da=%.3f", static_cast<double>(cast), static_cast<double>(da));
  if (da < 20.0f) {
    // Row by row: the plane may be a view whose rows do not follow each other.
    for (int r = 0; r < gray.rows; ++r) gamma_correction(gray.ptr<unsigned char>(r), gray.cols, 1, 1.8f);
    return -1;
  }
  return 0;
}

// ---- skin and highlight masks -----------------------------------------------------

void SkinDetect(cv::Mat& src, cv::Mat& mask) {
  if (src.empty()) {
    readFailure();
    return;
  }
  if (src.type() != CV_8UC3) {
    vyr_log(1, "SkinDetect: an 8-bit BGR image is needed");
    return;
  }
  if (mask.empty()) {
    mask = cv::Mat::zeros(src.rows, src.cols, CV_8UC1);
  } else if (mask.type() != CV_8UC1 || mask.rows < src.rows || mask.cols < src.cols) {
    vyr_log(1, "SkinDetect: the mask must be 8-bit one-channel and at least %dx%d", src.cols, src.rows);
    return;
  }
  try {
    cv::Mat ycrcb;
    cv::cvtColor(src, ycrcb, cv::COLOR_BGR2YCrCb);
    for (int r = 0; r < ycrcb.rows; ++r) {
      const cv::Vec3b* p = ycrcb.ptr<cv::Vec3b>(r);
      unsigned char* m = mask.ptr<unsigned char>(r);
      for (int c = 0; c < ycrcb.cols; ++c) {
        const int cr = p[c][1], cb = p[c][2];
        if (cr >= 130 && cr <= 173 && cb >= 77 && cb <= 130) m[c] = 255;
      }
    }
  } catch (const cv::Exception& e) {
    vyr_log(1, "SkinDetect failed: %s", e.what());
  }
}

int highlightDet(cv::Mat& src, cv::Mat& mask) {
  if (src.empty()) {
    readFailure();
    return -1;
  }
  const int cn = src.channels();
  if (src.depth() != CV_8U || (cn != 1 && cn != 3 && cn != 4)) {
    vyr_log(1, "highlightDet: unsupported image (depth %d, %d channels)", src.depth(), cn);
    return -1;
  }
  try {
    cv::Mat grey;
    if (cn > 1)
      cv::cvtColor(src, grey, cv::COLOR_BGR2GRAY);
    else
      grey = src.clone();
    cv::Mat f;
    grey.convertTo(f, CV_32F, 1.0 / 255.0, 0);
    cv::Mat sq = f.mul(f, 1.0);
    cv::threshold(sq, sq, 0.94, 255.0, cv::THRESH_BINARY);
    cv::Mat out;
    sq.convertTo(out, CV_8U, 1.0, 0);
    mask = out;
  } catch (const cv::Exception& e) {
    vyr_log(1, "highlightDet failed: %s", e.what());
    return -1;
  }
  return 0;
}

// ---- line-image merging and debug drawing --------------------------------------

namespace {

// BORDER_ISOLATED: for a view into a larger image OpenCV would otherwise take
// the "border" from the parent's pixels instead of the fill value.
constexpr int kWhiteBorder = cv::BORDER_CONSTANT | cv::BORDER_ISOLATED;
const cv::Scalar kWhite(255, 255, 255, 0);

// Shared checks of the two merges; true when the caller has nothing left to do.
bool mergeTrivial(const cv::Mat& a, const cv::Mat& b, cv::Mat& out, const char* who) {
  if (a.empty() || b.empty()) {
    out = a.empty() ? b.clone() : a.clone();
    return true;
  }
  if (a.type() != b.type()) {
    vyr_log(1, "%s: images of different types (%d, %d)", who, a.type(), b.type());
    out.release();
    return true;
  }
  return false;
}

}  // namespace

void mergeCols(cv::Mat a, cv::Mat b, cv::Mat& out) {
  if (mergeTrivial(a, b, out, "mergeCols")) return;
  try {
    if (a.rows > b.rows)
      cv::copyMakeBorder(b, b, 0, a.rows - b.rows, 0, 0, kWhiteBorder, kWhite);
    else if (b.rows > a.rows)
      cv::copyMakeBorder(a, a, 0, b.rows - a.rows, 0, 0, kWhiteBorder, kWhite);
    cv::Mat merged(a.rows, a.cols + b.cols, a.type());
    a.copyTo(merged(cv::Rect(0, 0, a.cols, a.rows)));
    b.copyTo(merged(cv::Rect(a.cols, 0, b.cols, b.rows)));
    out = merged;
  } catch (const cv::Exception& e) {
    vyr_log(1, "mergeCols failed: %s", e.what());
    out.release();
  }
}

void mergeRows(cv::Mat a, cv::Mat b, cv::Mat& out) {
  if (mergeTrivial(a, b, out, "mergeRows")) return;
  try {
    if (a.cols > b.cols)
      cv::copyMakeBorder(b, b, 0, 0, 0, a.cols - b.cols, kWhiteBorder, kWhite);
    else if (b.cols > a.cols)
      cv::copyMakeBorder(a, a, 0, 0, 0, b.cols - a.cols, kWhiteBorder, kWhite);
    cv::Mat merged(a.rows + b.rows, a.cols, a.type());
    a.copyTo(merged(cv::Rect(0, 0, a.cols, a.rows)));
    b.copyTo(merged(cv::Rect(0, a.rows, b.cols, b.rows)));
    out = merged;
  } catch (const cv::Exception& e) {
    vyr_log(1, "mergeRows failed: %s", e.what());
    out.release();
  }
}

cv::Mat drawLineRects(const cv::Mat& img, const std::vector<cv::Rect>& rects) {
  if (img.empty()) return cv::Mat();
  try {
    cv::Mat canvas = img.clone();
    if (canvas.channels() == 1) cv::cvtColor(canvas, canvas, cv::COLOR_GRAY2BGR);
    for (const cv::Rect& r : rects) cv::rectangle(canvas, r, cv::Scalar(0, 255, 0), 1, cv::LINE_8, 0);
    return canvas;
  } catch (const cv::Exception& e) {
    vyr_log(1, "drawLineRects failed: %s", e.what());
    return cv::Mat();
  }
}

void showLineRect(cv::Mat& img, std::vector<cv::Rect>& rects, const char* name) {
  if (!isDebugShow()) return;
  if (!canShowWindows()) return;
  const cv::Mat canvas = drawLineRects(img, rects);
  if (canvas.empty()) return;
  try {
    cv::imshow(name ? name : "", canvas);
  } catch (const cv::Exception& e) {
    vyr_log(1, "showLineRect failed: %s", e.what());
  }
}

// ---- sort predicates ------------------------------------------------------------

bool comp(cv::RotatedRect a, cv::RotatedRect b) {
  return std::max(a.size.width, a.size.height) > std::max(b.size.width, b.size.height);
}
bool comp_x(cv::Rect a, cv::Rect b) { return a.x < b.x; }
bool comp_y(cv::Rect a, cv::Rect b) { return a.y < b.y; }
bool compoint_x(cv::Point a, cv::Point b) { return a.x < b.x; }
bool compoint_y(cv::Point a, cv::Point b) { return a.y < b.y; }
bool comp_area(cv::RotatedRect a, cv::RotatedRect b) {
  return a.size.width * a.size.height > b.size.width * b.size.height;
}
bool comp_area_2(cv::Rect a, cv::Rect b) {
  // 64-bit products: the same order as 32-bit ones wherever those are defined.
  return static_cast<long long>(a.width) * a.height > static_cast<long long>(b.width) * b.height;
}
bool comp_rotcenter(cv::RotatedRect a, cv::RotatedRect b) { return a.center.y < b.center.y; }
bool compContours(std::vector<cv::Point> a, std::vector<cv::Point> b) { return a.size() > b.size(); }

// ---- plane geometry --------------------------------------------------------------

int pointLen(cv::Point a, cv::Point b) {
  const double dx = static_cast<double>(a.x) - b.x;
  const double dy = static_cast<double>(a.y) - b.y;
  return truncInt(std::sqrt(dx * dx + dy * dy));
}

bool vertical(cv::Point a, cv::Point b, cv::Point c) {
  const auto absDiff = [](int p, int q) { return std::llabs(static_cast<long long>(p) - q); };
  if (absDiff(a.x, b.x) <= 14 && absDiff(b.y, c.y) <= 14) return true;
  if (absDiff(a.y, b.y) <= 14 && absDiff(b.x, c.x) <= 14) return true;
  const float k1 = static_cast<float>((static_cast<double>(b.y) - a.y) / (static_cast<double>(b.x) - a.x));
  const float k2 = static_cast<float>((static_cast<double>(c.y) - b.y) / (static_cast<double>(c.x) - b.x));
  return std::fabs(k1 * k2 + 1.0f) < 0.3f;
}

namespace {

// Whether segment pq is perpendicular to segment rs within tolerance t (radians).
bool perpendicular(cv::Point p, cv::Point q, cv::Point r, cv::Point s, double t) {
  double th1 = std::atan2(std::fabs(static_cast<double>(q.y) - p.y), std::fabs(static_cast<double>(q.x) - p.x));
  double th2 = std::atan2(std::fabs(static_cast<double>(s.y) - r.y), std::fabs(static_cast<double>(s.x) - r.x));
  if (std::fabs(th1) < t && std::fabs(th2 - kHalfPi) < t) return true;
  if (std::fabs(th2) < t && std::fabs(th1 - kHalfPi) < t) return true;
  // A segment running down to the right on screen gets a negative angle.
  if ((static_cast<long long>(p.x) - q.x) * (static_cast<long long>(p.y) - q.y) > 0) th1 = -th1;
  if ((static_cast<long long>(r.x) - s.x) * (static_cast<long long>(r.y) - s.y) > 0) th2 = -th2;
  if (th1 * th2 < 0) return std::fabs(std::max(th1, th2) - std::min(th1, th2) - kHalfPi) < t;
  return false;
}

const double kTight = static_cast<double>(0.1f);
const double kWide = static_cast<double>(0.15f);

double distD(cv::Point p, cv::Point q) {
  const double dx = static_cast<double>(p.x) - q.x;
  const double dy = static_cast<double>(p.y) - q.y;
  return std::sqrt(dx * dx + dy * dy);
}

}  // namespace

bool vertical2(cv::Point a, cv::Point b, cv::Point c, cv::Point d) { return perpendicular(a, b, c, d, kTight); }
bool vertical_dj(cv::Point a, cv::Point b, cv::Point c, cv::Point d) { return perpendicular(a, b, c, d, kTight); }
bool vertical2_wx(cv::Point a, cv::Point b, cv::Point c, cv::Point d) { return perpendicular(a, b, c, d, kWide); }
bool vertical3(cv::Point a, cv::Point b, cv::Point c) { return perpendicular(a, b, b, c, kTight); }
bool vertical3_wx(cv::Point a, cv::Point b, cv::Point c) { return perpendicular(a, b, b, c, kWide); }

cv::Point CircleCross(cv::Point p1, cv::Point p2, cv::Point p3, cv::Point p4, cv::Point& out, int r1,
                      int r2) {
  cv::Point c1, c2;
  const long long ady = std::llabs(static_cast<long long>(p2.y) - p1.y);
  const long long adx = std::llabs(static_cast<long long>(p2.x) - p1.x);
  if (ady <= 9 || adx <= 9) {
    const int e1 = truncInt(0.846637 * r1);
    const int e2 = truncInt(0.532172 * r1);
    if (ady <= 9) {
      const int x = saturateInt(p1.x < p2.x ? static_cast<long long>(p1.x) + e1 : static_cast<long long>(p1.x) - e1);
      c1 = cv::Point(x, saturateInt(static_cast<long long>(p1.y) + e2));
      c2 = cv::Point(x, saturateInt(static_cast<long long>(p1.y) - e2));
    } else {
      const int y = saturateInt(p2.y > p1.y ? static_cast<long long>(p1.y) + e1 : static_cast<long long>(p1.y) - e1);
      c1 = cv::Point(saturateInt(static_cast<long long>(p1.x) - e2), y);
      c2 = cv::Point(saturateInt(static_cast<long long>(p1.x) + e2), y);
    }
  } else {
    // Crossings of the circle of radius r1 about p1 with that of radius r2
    // about p2; here p1p2 is neither near horizontal nor near vertical, so
    // d >= 10 and both slopes are finite.
    const long long d = truncInt(distD(p1, p2));
    const float dx = static_cast<float>(p2.x - static_cast<long long>(p1.x));
    const float dy = static_cast<float>(p2.y - static_cast<long long>(p1.y));
    const float k = dy / dx;
    const __int128 a128 = (static_cast<__int128>(d) * d + static_cast<__int128>(r1) * r1 -
                           static_cast<__int128>(r2) * r2) / (2 * static_cast<__int128>(d));
    const double a = static_cast<double>(a128);
    const float ad = static_cast<float>(a) / static_cast<float>(d);
    const float mx = static_cast<float>(p1.x) + ad * dx;
    const float my = static_cast<float>(p1.y) + ad * dy;
    const double mix = truncInt(mx), miy = truncInt(my);
    const double h2 = static_cast<double>(r1) * r1 - (mix - p1.x) * (mix - p1.x) - (miy - p1.y) * (miy - p1.y);
    // Circles that do not meet have no crossing: take the foot point itself,
    // the nearest the two circles come, instead of a NaN.
    const int h = h2 > 0.0 ? truncInt(std::sqrt(h2)) : 0;
    const float kp = -1.0f / k;
    const double root = std::sqrt(static_cast<double>(kp) * kp + 1.0);
    const int x1 = truncInt(mx - h / root);
    const int x2 = truncInt(mx + h / root);
    const int y1 = truncInt(my + kp * (static_cast<float>(x1) - mx));
    const int y2 = truncInt(my + kp * (static_cast<float>(x2) - mx));
    c1 = cv::Point(x1, y1);
    c2 = cv::Point(x2, y2);
  }
  const int n1 = std::min(truncInt(distD(c1, p3)), truncInt(distD(c1, p4)));
  const int n2 = std::min(truncInt(distD(c2, p3)), truncInt(distD(c2, p4)));
  const cv::Point result = n1 > n2 ? c2 : c1;
  out = truncInt(distD(result, p4)) < truncInt(distD(result, p3)) ? p4 : p3;
  return result;
}

cv::Point CrossPoint(cv::Point a, cv::Point b, cv::Point c, cv::Point d) {
  // 128-bit intermediates: with 32-bit ones the products overflow once
  // coordinates pass about 1,300 pixels.
  using Wide = __int128;
  const Wide abx = static_cast<Wide>(a.x) - b.x, aby = static_cast<Wide>(a.y) - b.y;
  const Wide cdx = static_cast<Wide>(c.x) - d.x, cdy = static_cast<Wide>(c.y) - d.y;
  const Wide den = abx * cdy - aby * cdx;
  if (den == 0) {
    return cv::Point(static_cast<int>((static_cast<long long>(b.x) + c.x) / 2),
                     static_cast<int>((static_cast<long long>(b.y) + c.y) / 2));
  }
  const Wide p1 = static_cast<Wide>(a.x) * b.y - static_cast<Wide>(a.y) * b.x;
  const Wide p2 = static_cast<Wide>(c.x) * d.y - static_cast<Wide>(c.y) * d.x;
  const Wide x = (p1 * cdx - p2 * abx) / den;
  const Wide y = (p1 * cdy - p2 * aby) / den;
  const auto clampInt = [](Wide v) {
    return static_cast<int>(v > INT_MAX ? INT_MAX : (v < INT_MIN ? INT_MIN : v));
  };
  return cv::Point(clampInt(x), clampInt(y));
}

double calc_dist(cv::Point2f a, cv::Point2f b, cv::Point2f p) {
  if (a.y == b.y) return std::fabs(p.y - b.y);
  const double m = static_cast<double>(b.x - a.x) / static_cast<double>(a.y - b.y);
  const double d = std::fabs(m * p.y + p.x - m * a.y - a.x) / std::sqrt(m * m + 1.0);
  return d <= 1e-15 ? 0.1 : d;
}

int cornerDirect(cv::Point a, cv::Point b, cv::Point c, cv::Point d) {
  const double th = std::atan2(std::fabs(static_cast<double>(a.y) - b.y), std::fabs(static_cast<double>(a.x) - b.x));
  const bool steep = th > 0.7853981633974483 && th < 2.356194490192345;
  const long long s = steep ? (static_cast<long long>(d.y) - c.y) * (static_cast<long long>(b.y) - a.y)
                            : (static_cast<long long>(d.x) - c.x) * (static_cast<long long>(b.x) - a.x);
  return s > 0 ? 1 : -1;
}

double lineAngle(cv::Point a, cv::Point b, cv::Point c) {
  const double ux = static_cast<double>(a.x) - c.x, uy = static_cast<double>(a.y) - c.y;
  const double vx = static_cast<double>(b.x) - c.x, vy = static_cast<double>(b.y) - c.y;
  double cosv = (ux * vx + uy * vy) / std::sqrt((ux * ux + uy * uy) * (vx * vx + vy * vy) + 1e-10);
  // Rounding can put parallel rays a hair past 1, where acos is NaN.
  cosv = std::max(-1.0, std::min(1.0, cosv));
  return std::acos(cosv) * 180.0 / kPi;
}
