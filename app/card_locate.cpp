#include "card_locate.h"

#include <algorithm>
#include <cmath>
#include <exception>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "rotated_rect34.h"
#include "test_ocr_result.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

// The text search runs on the card at half its resolution.
constexpr int kHalf = 2;

// Photo side: margins around the photograph, in full-resolution pixels.
constexpr int kBlankSide = 50;
constexpr int kBlankAbove = 80;
constexpr int kBlankBelow = 90;
constexpr float kTitleAreaWidth = 0.65f;
constexpr float kTitleAreaHeight = 0.3f;
constexpr int kTitleMinCharHeight = 4;
constexpr int kTitleMinCharX = 25;

// Back side.
constexpr int kBackMinCharHeight = 6;
constexpr int kBackMargin = 5;       // MSER boxes this close to the left or top edge are noise
constexpr int kBackRightMargin = 6;
constexpr int kBackCloseWidth = 15;
constexpr float kBackUpsideDown = 0.6f;  // the longest line above this share of the height: upside down
constexpr float kBackUpperPart = 1.2f;   // boxes starting above 60 % of the card (in half-size rows)
constexpr float kBackThirdLineZone = 1.8f;  // both long lines above 90 % of the card
constexpr int kBackUncertainMaxHeight = 59;
constexpr int kBackHeightLimit = 60;
constexpr int kBackAlignMaxLeft = 100;
constexpr int kBackTallLine = 51;
constexpr int kBackTallLineHeight = 30;

cv::Mat halfGray(const cv::Mat& card) {
  cv::Mat half;
  cv::resize(card, half, cv::Size(card.cols / kHalf, card.rows / kHalf), 0, 0, cv::INTER_LINEAR);
  if (half.channels() == 3) {
    cv::Mat gray;
    cv::cvtColor(half, gray, cv::COLOR_BGR2GRAY);
    return gray;
  }
  if (half.channels() == 4) {
    cv::Mat gray;
    cv::cvtColor(half, gray, cv::COLOR_BGRA2GRAY);
    return gray;
  }
  return half;
}

int floorHalf(int v) { return v >= 0 ? v / 2 : -((-v + 1) / 2); }

std::vector<cv::Rect> mserBoxes(cv::Ptr<cv::MSER>& mser, const cv::Mat& gray) {
  std::vector<std::vector<cv::Point>> regions;
  std::vector<cv::Rect> boxes;
  mser->detectRegions(gray, regions, boxes);
  return boxes;
}

}  // namespace

float lineDeskewAngle(const cv::RotatedRect& classicRect) {
  return classicRect.angle < -45.f ? classicRect.angle + 90.f : classicRect.angle;
}

// ---- photo side: title line ---------------------------------------------------------

FrontTitleLimits frontTitleLimits(int oldCamera) {
  return oldCamera == 1 ? FrontTitleLimits{28, 50, 65, 17} : FrontTitleLimits{25, 40, 60, 15};
}

cv::Rect frontPhotoBlank(const cv::Rect& face, int gray_cols, int gray_rows) {
  if (face.width <= 0 || face.height <= 0) return cv::Rect();
  const int x0 = std::max(0, floorHalf(face.x - kBlankSide));
  const int y0 = std::max(0, floorHalf(face.y - kBlankAbove));
  const int x1 = std::min(floorHalf(face.x + face.width + kBlankSide), gray_cols);
  const int y1 = std::min(floorHalf(face.y + face.height + kBlankBelow), gray_rows);
  // A face reaching outside the card (never so from the location) is clipped.
  if (x1 <= x0 || y1 <= y0 || x0 >= gray_cols || y0 >= gray_rows) return cv::Rect();
  return cv::Rect(x0, y0, x1 - x0, y1 - y0);
}

int check_and_rotated_card_front(cv::Mat& card, cv::Rect face, std::vector<cv::Rect>&, int, int oldCamera) {
  const double start = vyr_get_current_time();
  if (card.empty() || card.depth() != CV_8U || card.cols < kHalf || card.rows < kHalf) return -1;
  try {
    const FrontTitleLimits lim = frontTitleLimits(oldCamera);
    cv::Mat gray = halfGray(card);
    const cv::Rect headRect = frontPhotoBlank(face, gray.cols, gray.rows);
    if (!headRect.empty()) gray(headRect).setTo(cv::Scalar(255));

    const cv::Rect detect_roi_rect(0, 0, static_cast<int>(kTitleAreaWidth * gray.cols),
                                   static_cast<int>(kTitleAreaHeight * gray.rows));
    if (detect_roi_rect.empty()) return -1;
    cv::Mat fgray = gray(detect_roi_rect).clone();

    cv::Ptr<cv::MSER> mser = cv::MSER::create(5, 25, 220, 0.7, 0.2, 200, 1.01, 0.003, 5);
    cv::Mat test_maskf = cv::Mat::zeros(fgray.size(), CV_8UC1);
    for (const cv::Rect& b : mserBoxes(mser, fgray)) {
      if (b.height < lim.charHeight && b.height >= kTitleMinCharHeight && b.x >= kTitleMinCharX)
        cv::rectangle(test_maskf, b, cv::Scalar(255), cv::FILLED);
    }
    cv::Mat firstlinemask;
    cv::morphologyEx(test_maskf, firstlinemask, cv::MORPH_CLOSE,
                     cv::getStructuringElement(cv::MORPH_RECT, cv::Size(lim.closeWidth, 2)), cv::Point(-1, -1), 1,
                     cv::BORDER_CONSTANT, cv::Scalar(0));
    debugShow("firstlinemask", firstlinemask);

    std::vector<std::vector<cv::Point>> contours;
    cv::findContours(firstlinemask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
    std::vector<cv::RotatedRect> firstlines;
    for (const std::vector<cv::Point>& c : contours) {
      std::vector<cv::Point> poly;
      cv::approxPolyDP(c, poly, 0, true);
      const cv::RotatedRect rr = minAreaRect34(poly);
      const int longSide = static_cast<int>(std::max(rr.size.width, rr.size.height));
      const int shortSide = static_cast<int>(std::min(rr.size.width, rr.size.height));
      if (longSide > lim.lineLength && shortSide > lim.lineThickness) firstlines.push_back(rr);
    }
    if (firstlines.empty()) return -1;
    std::sort(firstlines.begin(), firstlines.end(), comp_rotcenter);
    const float angle = lineDeskewAngle(firstlines[0]);
    if (angle != 0.f) imgRotate(card, angle, 1.0f);
  } catch (const std::exception& e) {
    vyr_log(1, "front title: %s", e.what());
    return -1;
  }
  vyr_log(0, "rotate: %.3f ms", vyr_get_current_time() - start);
  return 0;
}

// ---- back side: text lines -------------------------------------------------------------

int backLongLineWidth(int oldCamera) { return oldCamera == 1 ? 830 : 730; }

int process_indeterminacy_rect_back(std::vector<cv::Rect>& longRects, std::vector<cv::Rect>& indeterminacy_rect,
                                    int heightLimit, int widthLimit) {
  if (longRects.size() < 2) return -1;
  const int L = heightLimit;
  std::vector<cv::Rect> thirdlines;
  const bool tall0 = longRects[0].height > L;
  const bool tall1 = longRects[1].height > L;
  if (tall0 && tall1) return -1;
  if (tall0 || tall1) {
    // Two lines merged into one box: its lower half is the missing line.
    cv::Rect& r = longRects[tall0 ? 0 : 1];
    const int half = (r.height + 1) / 2;
    r.height = half;
    thirdlines.emplace_back(r.x, r.y + half, r.width, half);
  } else {
    const int top = std::min(longRects[0].y, longRects[1].y);
    const int bottom = std::max(longRects[0].y, longRects[1].y);
    if (bottom - top >= L) {
      for (const cv::Rect& e : indeterminacy_rect)
        if (e.y > top && e.y < bottom) thirdlines.push_back(e);
    } else {
      auto nearAbove = [&](const cv::Rect& e) { return top - e.y > 0 && top - e.y < L; };
      auto nearBelow = [&](const cv::Rect& e) { return e.y - bottom > 0 && e.y - bottom < L; };
      std::size_t i = 0;
      while (i < indeterminacy_rect.size() && !nearAbove(indeterminacy_rect[i]) && !nearBelow(indeterminacy_rect[i]))
        ++i;
      if (i == indeterminacy_rect.size()) return -1;
      const bool above = nearAbove(indeterminacy_rect[i]);
      for (; i < indeterminacy_rect.size(); ++i) {
        const cv::Rect& e = indeterminacy_rect[i];
        if (above ? !nearAbove(e) : !nearBelow(e)) return -1;
        thirdlines.push_back(e);
      }
    }
  }
  if (thirdlines.empty()) return -1;
  std::sort(thirdlines.begin(), thirdlines.end(), comp_x);
  cv::Rect thirdline;
  thirdline.x = thirdlines.front().x;
  thirdline.width = thirdlines.back().x + thirdlines.back().width - thirdline.x;
  if (thirdline.width > widthLimit / 2) {
    thirdline.y = thirdlines.front().y;
    thirdline.height = thirdlines.front().height;
    for (const cv::Rect& e : thirdlines) {
      thirdline.y = std::min(thirdline.y, e.y);
      thirdline.height = std::max(thirdline.height, e.height);
    }
    longRects.push_back(thirdline);
  }
  return 0;
}

void alignLongLines(std::vector<cv::Rect>& longRects) {
  int left = kBackAlignMaxLeft;
  for (const cv::Rect& r : longRects) left = std::min(left, r.x);
  int maxW = 0;
  for (cv::Rect& r : longRects) {
    r.width += r.x - left;
    r.x = left;
    if (r.height >= kBackTallLine) r.height = kBackTallLineHeight;
    maxW = std::max(maxW, r.width);
  }
  for (cv::Rect& r : longRects) r.width = std::max(r.width, maxW);
}

int lineSelect_back(cv::Mat& card, cv::Mat& gray, std::vector<cv::Rect>& lines, cv::Ptr<cv::MSER>& mser,
                    int scale, int oldCamera) {
  const double start = vyr_get_current_time();
  if (gray.empty() || gray.type() != CV_8UC1 || mser.empty() || scale < 1) return -1;
  const int W = backLongLineWidth(oldCamera);
  const int H = gray.rows;

  cv::Mat test_mask = cv::Mat::zeros(gray.size(), CV_8UC1);
  for (const cv::Rect& b : mserBoxes(mser, gray)) {
    const float ratio = static_cast<float>(b.height) / static_cast<float>(b.width);
    if (ratio > 0.25f && ratio < 4.0f && b.height >= kBackMinCharHeight && b.x >= kBackMargin &&
        b.y >= kBackMargin && b.x + b.width <= gray.cols - kBackRightMargin)
      cv::rectangle(test_mask, b, cv::Scalar(255), cv::FILLED);
  }
  cv::Mat linemask;
  cv::morphologyEx(test_mask, linemask, cv::MORPH_CLOSE,
                   cv::getStructuringElement(cv::MORPH_RECT, cv::Size(kBackCloseWidth, 1)), cv::Point(-1, -1), 1,
                   cv::BORDER_CONSTANT, cv::Scalar(255));

  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(linemask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  if (contours.empty()) return -1;
  std::vector<cv::RotatedRect> blobs;
  blobs.reserve(contours.size());
  for (const std::vector<cv::Point>& c : contours) blobs.push_back(minAreaRect34(c));
  std::sort(blobs.begin(), blobs.end(), comp);

  const int yc = static_cast<int>(blobs[0].center.y);
  const float angle = lineDeskewAngle(blobs[0]);
  const bool rotated = angle != 0.f;
  if (rotated) {
    imgRotate(linemask, angle, 1.0f);
    set_rotate_status();
  }
  const bool flipped = kBackUpsideDown * static_cast<float>(H) > static_cast<float>(yc);
  if (flipped) cv::flip(linemask, linemask, -1);
  debugShow("linemask", linemask);

  contours.clear();
  cv::findContours(linemask, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  std::vector<cv::Rect> longRects;
  std::vector<cv::Rect> indeterminacy_rect;
  const int upper = static_cast<int>(kBackUpperPart * static_cast<float>(H));
  for (const std::vector<cv::Point>& c : contours) {
    cv::Rect b = cv::boundingRect(c);
    b = cv::Rect(b.x * scale, b.y * scale, b.width * scale, b.height * scale);
    if (b.y < upper)
      lines.push_back(b);
    else if (b.width > W)
      longRects.push_back(b);
    else if (b.height <= kBackUncertainMaxHeight)
      indeterminacy_rect.push_back(b);
  }

  if (longRects.size() < 2) return -1;
  if (longRects.size() == 2) {
    const int zone = static_cast<int>(kBackThirdLineZone * static_cast<float>(H));
    if (longRects[0].y < zone && longRects[1].y < zone) {
      const int r = process_indeterminacy_rect_back(longRects, indeterminacy_rect, kBackHeightLimit, W);
      if (r != 0) return r;
    }
  }
  if (longRects.size() < 3) return -1;

  alignLongLines(longRects);
  lines.insert(lines.end(), longRects.begin(), longRects.end());

  if (rotated) imgRotate(card, angle, 1.0f);
  if (flipped) cv::flip(card, card, -1);

  const double ms = vyr_get_current_time() - start;
  vyr_log(0, "get_valid_lines_back cost time: %.3f ms", ms);
  append_test_info_item("---卡片后面有效字符行筛选: ", static_cast<int>(ms));
  return 0;
}

int detectLettersRect_back(cv::Mat& card, std::vector<cv::Rect>& lines, int oldCamera) {
  const double start = vyr_get_current_time();
  int result = -1;
  try {
    if (!card.empty() && card.depth() == CV_8U && card.cols >= kHalf && card.rows >= kHalf) {
      cv::Mat gray = halfGray(card);
      cv::blur(gray, gray, cv::Size(3, 1));
      cv::Ptr<cv::MSER> mser = cv::MSER::create(5, 20, 220, 0.37, 0.2, 200, 1.01, 0.003, 5);
      result = lineSelect_back(card, gray, lines, mser, kHalf, oldCamera);
      if (result < 0) {
        cv::Ptr<cv::MSER> loose = cv::MSER::create(5, 20, 220, 0.9, 0.2, 200, 1.01, 0.003, 5);
        std::vector<cv::Rect>().swap(lines);
        result = lineSelect_back(card, gray, lines, loose, kHalf, oldCamera) < 0 ? -1 : 0;
      } else {
        result = 0;
      }
    }
  } catch (const std::exception& e) {
    vyr_log(1, "card back lines: %s", e.what());
    result = -1;
  }
  const double ms = vyr_get_current_time() - start;
  vyr_log(0, "detectLettersRect_back cost : %.3f ms", ms);
  append_test_info_item("--卡片后面字符行定位: ", static_cast<int>(ms));
  return result;
}
