#include "passport_locate2.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "char_segment.h"
#include "error_def.h"
#include "global.h"
#include "passport_detect.h"
#include "passport_detect_mrz.h"
#include "passport_locate.h"
#include "passport_visa_utils.h"
#include "preprocess.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

constexpr int kBandRows = 480;
constexpr int kBandUnit = 600;
constexpr int kBlockSize = 31;

// Deskew choices (degrees and pixels).
constexpr double kLevelAngle = 0.2;      // below: never rotate
constexpr double kNearLevelAngle = 1.0;  // below: rotate only when the bottom edge is inside
constexpr double kOverhangAngle = 1.5;   // above: correct a bottom edge that leaves the cut
constexpr double kOverhangRows = -7.0;
constexpr float kProbe = 45.f;           // bottom-edge probe, in from the pivot

}  // namespace

bool rotation_visa2(cv::Mat& input, cv::Mat& output, cv::Size size, cv::Point2f centre, double angle,
                    PASSPORT_ROTATED_STRUCT& record, bool keep) {
  if (input.empty() || size.width <= 0 || size.height <= 0) return false;
  try {
    const cv::RotatedRect R(centre, cv::Size2f(static_cast<float>(size.width), static_cast<float>(size.height)),
                            static_cast<float>(angle));
    cv::Point2f c[4];
    R.points(c);

    // The pivot is the lowest corner of the line; the probe measures where
    // the bottom edge runs 45 pixels in from it.
    const cv::Point2f P = angle < 0 ? c[0] : c[3];
    const float probe = angle < 0 ? P.x + kProbe : P.x - kProbe;
    const float k = (c[3].y - c[0].y) / (c[3].x - c[0].x);
    const double y_edge = static_cast<double>(P.y) + static_cast<double>(k * (probe - P.x));
    const double absAngle = std::fabs(angle);
    const double rows = static_cast<double>(input.rows);
    const bool level = absAngle < kLevelAngle || (absAngle < kNearLevelAngle && rows - y_edge < 1.0);

    cv::Mat work;
    cv::Mat M;
    int w = 0;
    int h = 0;
    float xc = 0.f;
    float yc = 0.f;
    float storedAngle = 0.f;
    if (level) {
      work = input;
      M = cv::getRotationMatrix2D(P, 0, 1.0);
      w = static_cast<int>(std::fabs(c[2].x - c[0].x));
      h = static_cast<int>(std::fabs(c[2].y - c[0].y));
      float xmin = c[0].x;
      float ymin = c[0].y;
      for (int i = 1; i < 4; ++i) {
        xmin = std::min(xmin, c[i].x);
        ymin = std::min(ymin, c[i].y);
      }
      if (xmin < 0) {
        w = input.cols;
        xmin = 0;
      }
      if (P.y > static_cast<float>(input.rows)) h = static_cast<int>(static_cast<float>(input.rows) - ymin);
      xc = xmin + static_cast<float>(w / 2);
      yc = ymin + static_cast<float>(h / 2);
    } else {
      M = cv::getRotationMatrix2D(P, angle, 1.0);
      std::vector<cv::Point2f> corners = {
          cv::Point2f(0.f, 0.f), cv::Point2f(static_cast<float>(input.cols - 1), 0.f),
          cv::Point2f(static_cast<float>(input.cols - 1), static_cast<float>(input.rows - 1)),
          cv::Point2f(0.f, static_cast<float>(input.rows - 1))};
      std::vector<cv::Point2f> turned;
      cv::transform(corners, turned, M);
      const cv::Rect B = cv::boundingRect(turned);
      M.at<double>(0, 2) -= B.x;
      M.at<double>(1, 2) -= B.y;
      cv::warpAffine(input, work, M, cv::Size(B.width, B.height), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
      const double x1 = M.at<double>(0, 0) * centre.x + M.at<double>(0, 1) * centre.y + M.at<double>(0, 2);
      const double y1 = M.at<double>(1, 0) * centre.x + M.at<double>(1, 1) * centre.y + M.at<double>(1, 2);
      if (absAngle > kOverhangAngle && rows - y_edge < kOverhangRows) {
        const float d = P.y - static_cast<float>(input.rows);
        if (0.4 * size.height > d) {
          h = static_cast<int>(size.height - d + 10.0);
          yc = static_cast<float>(y1 - 0.5 * d + 2.0);
        } else {
          h = size.height - 10;
          yc = static_cast<float>(y1) - 4.f;
        }
      } else {
        h = size.height;
        yc = static_cast<float>(y1);
      }
      w = size.width;
      xc = static_cast<float>(x1);
      storedAngle = static_cast<float>(angle);
    }

    // A thin line near the bottom of its cut can leave no rows to crop.
    if (w < 1 || h < 1) return false;
    cv::Mat out;
    cv::getRectSubPix(work, cv::Size(w, h), cv::Point2f(xc, yc), out, work.type());
    output = out;

    if (keep && !record.has_inverse) {
      cv::invertAffineTransform(M, record.inverse_mat);
      record.src_offset_x = 0;
      record.src_offset_y = 0;
      record.crop_x = (work.cols - w) / 2;
      record.crop_y = (work.rows - h) / 2;
      record.rotate_angle = storedAngle;
      record.has_inverse = true;
    }
    return true;
  } catch (const cv::Exception& e) {
    vyr_log(1, "rotation_visa2: %s", e.what());
    return false;
  }
}

cv::Mat drawRotatedRect(cv::Mat& image, cv::Size size, cv::Point2f centre, double angle) {
  cv::Mat canvas;
  image.copyTo(canvas);
  if (canvas.empty()) return canvas;
  const cv::RotatedRect R(centre, cv::Size2f(static_cast<float>(size.width), static_cast<float>(size.height)),
                          static_cast<float>(angle));
  cv::Point2f c[4];
  R.points(c);
  const cv::Scalar red(0, 0, 255);
  for (int i = 0; i < 4; ++i)
    cv::line(canvas, cv::Point(cvRound(c[i].x), cvRound(c[i].y)),
             cv::Point(cvRound(c[(i + 1) % 4].x), cvRound(c[(i + 1) % 4].y)), red, 2, cv::LINE_8);
  const cv::Point2f P = angle < 0 ? c[0] : c[3];
  cv::circle(canvas, cv::Point(cvRound(P.x), cvRound(P.y)), 2, red, cv::FILLED, cv::LINE_8);
  return canvas;
}

int charDtct2(cv::Mat& band, cv::Mat& line1_rgb, cv::Mat& line2_rgb, cv::Mat& line1, cv::Mat& line2,
              int& sz1, int& sz2) {
  if (band.cols <= kBandUnit - 1) {
    showError(-7);
    return -7;
  }
  if (band.rows <= 0) return -1;
  const int k = band.cols / kBandUnit;
  if (static_cast<int>(static_cast<float>(band.cols) / static_cast<float>(k)) <= 0 ||
      static_cast<int>(static_cast<float>(band.rows) / static_cast<float>(k)) <= 0)
    return -1;

  std::vector<cv::RotatedRect> rr;
  if (detectMrz(band, rr) < 0 || rr.size() < 2) return -1;
  vyr_log(0, "color_mode:%d, threshold:%d,%d", 0, kBlockSize, 17);

  cv::Rect_<float> safe_rect[2];
  cv::Mat small[2];
  cv::Point2f new_center[2];
  const cv::Rect whole(0, 0, band.cols, band.rows);
  for (int i = 0; i < 2; ++i) {
    cv::RotatedRect& r = rr[static_cast<std::size_t>(i)];
    if (r.angle < -45) r.angle += 90;
    if (r.size.height > r.size.width) std::swap(r.size.width, r.size.height);
    // A line without a safe rectangle keeps the empty one and fails its deskew.
    calcSafeRect(r, band, safe_rect[i]);
    const cv::Rect cut = cv::Rect(cvRound(safe_rect[i].x), cvRound(safe_rect[i].y), cvRound(safe_rect[i].width),
                                  cvRound(safe_rect[i].height)) &
                         whole;
    small[i] = cut.area() > 0 ? band(cut) : cv::Mat();
    new_center[i] = cv::Point2f(r.center.x - safe_rect[i].x, r.center.y - safe_rect[i].y);
  }

  cv::Mat line1_gray, line2_gray;
  bool rets[2] = {false, false};
  rets[0] = rotation_visa2(small[0], line1_rgb, cv::Size(cvRound(rr[0].size.width), cvRound(rr[0].size.height)),
                           new_center[0], rr[0].angle, g_rotated_struct[0], true);
  g_rotated_struct[0].line_rect = safe_rect[0];
  if (rets[0]) BGR2GRAY(line1_rgb, line1_gray, 0);
  rets[1] = rotation_visa2(small[1], line2_rgb, cv::Size(cvRound(rr[1].size.width), cvRound(rr[1].size.height)),
                           new_center[1], rr[1].angle, g_rotated_struct[1], false);
  if (rets[1]) BGR2GRAY(line2_rgb, line2_gray, 0);
  if (!rets[0] || !rets[1] || line1_gray.empty() || line2_gray.empty()) return -1;

  preprocess1(line1_gray, line2_gray, line1, line2, kBlockSize, 17);
  if (char_segment(0, line1, line2, line1_rgb, line2_rgb, sz1, sz2) == 0) return 0;

  // More boxes than the longest line has characters: too much became ink,
  // so the larger constant goes first.
  const int order[2] = {sz1 > 44 || sz2 > 44 ? 25 : 11, sz1 > 44 || sz2 > 44 ? 11 : 25};
  int s = -1;
  for (int C : order) {
    vyr_log(0, "try threshold %d", C);
    preprocess1(line1_gray, line2_gray, line1, line2, kBlockSize, C);
    s = char_segment(0, line1, line2, line1_rgb, line2_rgb, sz1, sz2);
    if (s == 0) return 0;
  }
  return s;
}

int passport_location(cv::Mat& page, int& sz1, int& sz2) {
  const double t0 = vyr_get_current_time();
  clearVisaIssueInfo();
  CUT_SIZE = kBandRows;
  // The scan entry always hands over 1600 columns and 800 rows or more;
  // anything that cannot hold the band is refused here.
  if (page.empty() || page.rows < kBandRows + 1 || page.cols < kBandUnit || page.depth() != CV_8U) {
    showError(-7);
    return -7;
  }
  cv::Mat roi = page(cv::Rect(0, page.rows - kBandRows - 1, page.cols, kBandRows));
  cv::Mat mserMask;
  int r = check_mrz_main(roi, mserMask);
  vyr_log(0, "mrz check: %d", r);
  if (r != 0) return r;
  if (g_scan_none == 1) return 0;

  if (g_set_detect_mode > 0) g_detect_mode = g_set_detect_mode - 1;
  vyr_log(0, "detect_mode: %d, cut_size: %d", g_detect_mode, CUT_SIZE);
  cv::Mat line1_rgb, line2_rgb, line1, line2;
  if (g_detect_mode == 0)
    r = charDtct(roi, mserMask, line1_rgb, line2_rgb, line1, line2, sz1, sz2);
  else
    r = charDtct2(roi, line1_rgb, line2_rgb, line1, line2, sz1, sz2);
  g_detect_mode = g_detect_mode <= 0 ? g_detect_mode + 1 : 0;
  vyr_log(0, "locat and split char cost %.3f ms", vyr_get_current_time() - t0);
  return r;
}
