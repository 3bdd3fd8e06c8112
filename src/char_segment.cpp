#include "char_segment.h"

#include <algorithm>
#include <cstdlib>
#include <functional>

#include <opencv2/core/core_c.h>
#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "error_def.h"
#include "global.h"
#include "passportSeg.h"
#include "posrect.h"
#include "utils.h"
#include "vyr_log.h"

int this_char_width = 0;
int this_char_height = 0;

namespace {

constexpr int kInk = 128;  // binarised lines: values above are ink

const cv::Scalar kRed(0, 0, 255);
const cv::Scalar kGreen(0, 255, 0);
const cv::Scalar kCyan(255, 255, 0);
const cv::Scalar kYellow(0, 255, 255);
const cv::Scalar kMagenta(255, 0, 255);

bool canDraw(const cv::Mat& canvas) { return isDebugShow() && !canvas.empty(); }

void showCanvas(const std::string& name, const cv::Mat& canvas) {
  debugShow(name.c_str(), canvas);
}

void drawBox(cv::Mat& canvas, const cv::Rect& r, const cv::Scalar& colour) {
  if (canDraw(canvas)) cv::rectangle(canvas, r, colour, 1, cv::LINE_8, 0);
}

// The red stroke across a box that is about to be removed.
void strikeBox(cv::Mat& canvas, const cv::Rect& r) {
  if (canDraw(canvas)) {
    cv::line(canvas, r.tl(), cv::Point(r.x + r.width, r.y + r.height), kRed, 1, cv::LINE_8, 0);
  }
}

int expectedSurplusTarget(int kind, int n) {
  if (kind == 1) return (n == 31 || n == 32) ? 30 : 0;
  if (n == 45 || n == 46) return 44;
  if (n == 37 || n == 38) return 36;
  return 0;
}

bool isExpectedCount(int kind, int n) { return kind == 1 ? n == 30 : (n == 36 || n == 44); }

// Removes the last box, then the first one when `head` is set, striking each
// on the canvas first.
void dropEnds(bool tail, bool head, std::vector<cv::Rect>& boxes, cv::Mat& canvas) {
  if (tail && !boxes.empty()) {
    strikeBox(canvas, boxes.back());
    boxes.pop_back();
  }
  if (head && !boxes.empty()) {
    strikeBox(canvas, boxes.front());
    boxes.erase(boxes.begin());
  }
}

// One of the two odd-end tests of removeHeadAndTail: removes the ends that
// `odd` finds when their number matches the surplus.
void dropOddEnds(int expected, int& count, std::vector<cv::Rect>& boxes, cv::Mat& canvas,
                 const std::string& name,
                 const std::function<bool(const cv::Rect&, const cv::Rect&)>& odd) {
  const int n = static_cast<int>(boxes.size());
  count = n;
  if (!(expected < n && n < expected + 3)) return;
  const bool headOdd = odd(boxes[0], boxes[1]);
  const bool tailOdd = odd(boxes[n - 1], boxes[n - 2]);
  const int surplus = n - expected;
  bool removed = false;
  if (tailOdd) {
    if ((headOdd ? 1 : 0) + 1 == surplus) {
      dropEnds(true, headOdd, boxes, canvas);
      removed = true;
    }
  } else if (headOdd && surplus == 1) {
    dropEnds(false, true, boxes, canvas);
    removed = true;
  }
  if (removed) {
    count = static_cast<int>(boxes.size());
    showCanvas(name, canvas);
  }
}

bool outOfScale(float v, float ref) { return v > 1.4f * ref || v < 0.5f * ref; }

bool probeable(const cv::Mat& img, const cv::Rect& r, bool needHeight, bool needWidth) {
  return img.type() == CV_8UC1 && r.x + r.width < img.cols && r.y + r.height < img.rows &&
         r.x >= 0 && r.y > 0 && (!needHeight || r.height > 0) && (!needWidth || r.width > 0);
}

bool rowHasInk(const cv::Mat& img, int row, int x, int w) {
  const uchar* p = img.ptr<uchar>(row) + x;
  for (int j = 0; j < w; ++j) {
    if (p[j] > kInk) return true;
  }
  return false;
}

// Grows box to the ink found in its columns between rows s and e, when that
// ink is at least 10 rows high and ends 5 rows above the line's bottom.
bool remeasure(cv::Mat& line, cv::Rect& box, int s, int e) {
  const cv::Rect probe(box.x, s, box.width, e - s + 1);
  const int top = searchTopPoint(line, probe);
  const int bottom = searchBottomPoint(line, probe);
  if (top < 0 || bottom < 0) return false;
  const int T = std::min(s + top, box.y);
  const int B = std::max(s + bottom, box.y + box.height - 1);
  if (T < 0 || B - T < 9 || B > line.rows - 5) return false;
  box.y = T;
  box.height = B - T + 1;
  return true;
}

void verticalClamp(cv::Rect& r, int R) {
  if (r.y < 0) r.y = 1;
  if (r.y > R - 10) r.y = R - 10;
  if (r.y + r.height >= R - 5) r.height = R - 5 - r.y;
}

void setNominalSize(int kind) {
  this_char_width = (kind == 1) ? 25 : 26;
  this_char_height = (kind == 1) ? 30 : 33;
}

bool usableLine(const cv::Mat& line) { return !line.empty() && line.type() == CV_8UC1; }

void removeBandBlobs(cv::Mat& line, int top, int rows, int mode) {
  if (rows < 1 || top < 0 || top + rows > line.rows) return;
  cv::Mat band = line.rowRange(top, top + rows);
  IplImage ipl = cvIplImage(band);
  removeSmallContour(&ipl, mode);
}

// Top band in mode 1, bottom band in mode 0, in the order given.
void removeTopBlobs(cv::Mat& line) {
  removeBandBlobs(line, 0, static_cast<int>(0.4 * line.rows), 1);
}
void removeBottomBlobs(cv::Mat& line) {
  removeBandBlobs(line, static_cast<int>(0.6 * line.rows), static_cast<int>(0.4 * line.rows), 0);
}

// The driver's debug canvas of one line: empty with the display off.
cv::Mat lineCanvas(const cv::Mat& line, const std::vector<cv::Rect>& boxes,
                   const std::string& name) {
  cv::Mat canvas;
  if (!isDebugShow()) return canvas;
  canvas = line.clone();
  if (boxes.size() >= 11) {
    cv::cvtColor(canvas, canvas, cv::COLOR_GRAY2BGR);
    for (const cv::Rect& r : boxes) cv::rectangle(canvas, r, kGreen, 1, cv::LINE_8, 0);
    debugShow(name.c_str(), canvas);
  }
  return canvas;
}

// Count repair shared by both drivers: surplus boxes first, then gaps.
void repairCount(int kind, cv::Mat& line, int& count, std::vector<cv::Rect>& boxes,
                 cv::Mat& canvas, const std::string& name) {
  if (kind == 1) {
    if (count == 31 || count == 32) removeHeadAndTail(1, line, count, boxes, canvas, name);
    if (count >= 27 && count <= 29) addCharBox(count, boxes, canvas, name);
  } else {
    if (count == 37 || count == 38 || count == 45 || count == 46) {
      removeHeadAndTail(kind, line, count, boxes, canvas, name);
    }
    if ((count >= 33 && count <= 35) || (count >= 41 && count <= 43)) {
      addCharBox(count, boxes, canvas, name);
    }
  }
}

// Steps of the two-line driver for one line: split, pad, repair. Returns
// charseg's result; count receives the final number of boxes.
int segmentOneOfTwo(int kind, int index, cv::Mat& line, cv::Mat& inverted,
                    std::vector<cv::Rect>& boxes, cv::Mat& canvas, int& count) {
  const std::string name = index == 1 ? "line1" : "line2";
  const int ret = charseg(inverted, boxes);
  count = static_cast<int>(boxes.size());
  if (ret < 0) return ret;
  canvas = lineCanvas(line, boxes, name);
  padTopBottom(kind, line, boxes, canvas, name);
  repairCount(kind, line, count, boxes, canvas, name);
  if (!isExpectedCount(kind, count)) {
    if (index == 1) {
      vyr_log(0, "charseg line1 failed! ret=%d, sz1=%d", ret, count);
    } else {
      vyr_log(0, "charseg line2 failed! ret=%d, sz2=%d", ret, count);
    }
    showError(-4);
    fixLessOne(kind, count, line, boxes, canvas, name);
  }
  fixHalfBox(count, line, boxes, canvas, name);
  return ret;
}

int charSegmentTwo(int kind, cv::Mat& bin1, cv::Mat& bin2, cv::Mat& colour1, cv::Mat& colour2,
                   int& sz1, int& sz2) {
  g_posRect.clear();
  setNominalSize(kind);
  if (!usableLine(bin1) || !usableLine(bin2)) {
    vyr_log(1, "char_segment: the binarised lines must be non-empty 8-bit one-channel images");
    g_line1.release();
    g_line2.release();
    g_line12.release();
    return -1;
  }

  removeTopBlobs(bin1);
  removeBottomBlobs(bin1);
  removeBottomBlobs(bin2);
  removeTopBlobs(bin2);

  cv::cvtColor(bin1, g_line1, cv::COLOR_GRAY2BGR);
  cv::cvtColor(bin2, g_line2, cv::COLOR_GRAY2BGR);
  cv::Mat line1_not, line2_not;
  cv::bitwise_not(bin1, line1_not);
  cv::bitwise_not(bin2, line2_not);
  mergeCols(line1_not, line2_not, g_line12);

  std::vector<cv::Rect> posRect1, posRect2;
  cv::Mat showmat_line1, showmat_line2;
  int count1 = 0, count2 = 0;
  int ret = segmentOneOfTwo(kind, 1, bin1, line1_not, posRect1, showmat_line1, count1);
  sz1 = count1;
  if (ret < 0) return ret;
  ret = segmentOneOfTwo(kind, 2, bin2, line2_not, posRect2, showmat_line2, count2);
  sz2 = count2;
  if (ret < 0) return ret;

  if (count1 < 20 || count2 < 20) return -1;
  removeEdgeOf45(count1, posRect1);
  removeEdgeOf45(count2, posRect2);
  sz1 = count1;
  sz2 = count2;
  if (!isExpectedCount(kind, count1) || !isExpectedCount(kind, count2)) return -1;

  g_posRect1 = posRect1;
  g_posRect2 = posRect2;
  fixCharSegment(bin1, posRect1, showmat_line1, "line1");
  fixCharSegment(bin2, posRect2, showmat_line2, "line2");
  g_posRect1_rgb = posRect1;
  g_posRect2_rgb = posRect2;
  g_posRect.insert(g_posRect.end(), posRect1.begin(), posRect1.end());
  for (cv::Rect& r : posRect2) r.x += bin1.cols;
  g_posRect.insert(g_posRect.end(), posRect2.begin(), posRect2.end());
  fix_posRect(colour1, colour2, count1, count2);
  return 0;
}

int charSegmentOne(int kind, cv::Mat& bin, cv::Mat& colour, int& sz3) {
  setNominalSize(kind);
  int ret = -1;
  std::vector<cv::Rect> boxes;
  cv::Mat canvas;
  if (usableLine(bin)) {
    removeTopBlobs(bin);
    removeBottomBlobs(bin);
    g_line3 = bin.clone();
    cv::Mat inverted;
    cv::bitwise_not(bin, inverted);
    ret = charseg(inverted, boxes);
    sz3 = static_cast<int>(boxes.size());
    canvas = lineCanvas(bin, boxes, "line3");
    padTopBottom(kind, bin, boxes, canvas, "line3");
    repairCount(kind, bin, sz3, boxes, canvas, "line3");
  } else {
    vyr_log(1, "char_segment_one: the binarised line must be a non-empty 8-bit one-channel image");
    g_line3.release();
    sz3 = 0;
  }

  if (ret != 0 || !isExpectedCount(kind, sz3)) {
    if (kind == 1) {
      vyr_log(0, "charseg line1 failed! ret=%d, sz3=%d", ret, sz3);
    } else {
      vyr_log(0, "charseg line1 failed! ret=%d, sz1=%d", ret, sz3);
    }
    showError(kCharSegOneFailed);
    return kCharSegOneFailed;
  }

  g_posRect3 = boxes;
  fixCharSegment(bin, boxes, canvas, "line3");
  g_posRect3_rgb = boxes;
  fix_posRect_one(colour, sz3);
  return 0;
}

// Erases the blobs for which `erase` holds, judged on outer borders only: a
// hole border runs over the ink round the hole, and filling it would eat into
// a character that stays.
void eraseBlobs(IplImage* image, const std::function<bool(const std::vector<cv::Point>&)>& erase) {
  if (image == nullptr) return;
  try {
    cv::Mat band = cv::cvarrToMat(image);
    if (band.empty() || band.type() != CV_8UC1) return;
    cv::Mat input = band.clone();
    std::vector<std::vector<cv::Point>> contours;
    std::vector<cv::Vec4i> hierarchy;
    cv::findContours(input, contours, hierarchy, cv::RETR_CCOMP, cv::CHAIN_APPROX_SIMPLE);
    for (size_t i = 0; i < contours.size(); ++i) {
      if (hierarchy[i][3] >= 0) continue;
      if (erase(contours[i])) {
        cv::drawContours(band, contours, static_cast<int>(i), cv::Scalar(0), cv::FILLED,
                         cv::LINE_8);
      }
    }
  } catch (const cv::Exception& e) {
    vyr_log(1, "blob removal failed: %s", e.what());
  }
}

}  // namespace

// ---- stray blobs ---------------------------------------------------------------

void removeSmallContour(IplImage* band, int mode) {
  if (band == nullptr) return;
  const int H = band->height;
  eraseBlobs(band, [H, mode](const std::vector<cv::Point>& contour) {
    const cv::Rect r = cv::boundingRect(contour);
    return mode == 1 ? r.y + r.height < H - 2 : r.y >= 3;
  });
}

void removeSmallAreaContour(IplImage* image, int minArea) {
  eraseBlobs(image, [minArea](const std::vector<cv::Point>& contour) {
    const float area = static_cast<float>(cv::contourArea(contour));
    return static_cast<float>(minArea) > area;
  });
}

// ---- box-count repair ------------------------------------------------------------

void removeHeadAndTail(int kind, cv::Mat& line, int& count, std::vector<cv::Rect>& boxes,
                       cv::Mat& canvas, std::string name) {
  const int n = static_cast<int>(boxes.size());
  const int expected = expectedSurplusTarget(kind, n);
  if (expected == 0) return;

  // Spacing: an end box standing apart from the rest of the line.
  {
    // Each end compares its own step with the step next to it.
    const auto apart = [](int step, int pitch) {
      return static_cast<float>(step) > 1.4f * static_cast<float>(pitch);
    };
    const bool headApart = apart(boxes[1].x - boxes[0].x, boxes[2].x - boxes[1].x);
    const bool tailApart =
        apart(boxes[n - 1].x - boxes[n - 2].x, boxes[n - 2].x - boxes[n - 3].x);
    if ((headApart ? 1 : 0) + (tailApart ? 1 : 0) == n - expected) {
      dropEnds(tailApart, headApart, boxes, canvas);
      if (headApart && !boxes.empty()) {
        cv::Rect& first = boxes.front();
        const int W = this_char_width;
        if (first.width < W && first.x >= 7 && first.x + first.width - W >= 6) {
          first.x = first.x + first.width - W;
          first.width = W;
        }
      }
      count = static_cast<int>(boxes.size());
      showCanvas(name, canvas);
    }
  }

  dropOddEnds(expected, count, boxes, canvas, name, [](const cv::Rect& a, const cv::Rect& b) {
    return outOfScale(static_cast<float>(a.height), static_cast<float>(b.height));
  });
  dropOddEnds(expected, count, boxes, canvas, name, [](const cv::Rect& a, const cv::Rect& b) {
    return outOfScale(static_cast<float>(a.y + a.height), static_cast<float>(b.y + b.height)) ||
           outOfScale(static_cast<float>(a.y), static_cast<float>(b.y));
  });

  mergeTwoChar(kind, line, count, boxes, canvas, name);
}

void mergeTwoChar(int /*kind*/, cv::Mat& line, int& count, std::vector<cv::Rect>& boxes,
                  cv::Mat& canvas, std::string name) {
  const int R = line.rows;
  const int n = static_cast<int>(boxes.size());
  std::vector<int> erase_item;
  for (int i = 0; i + 1 < n;) {
    cv::Rect& a = boxes[i];
    const cv::Rect& b = boxes[i + 1];
    if (a.x + a.width > b.x && a.width + b.width <= 37 &&
        a.y + std::max(a.height, b.height) <= R + 5) {
      const int width = b.x + b.width - a.x;
      if (width >= 1) a.width = width;  // b lying left of a cannot shrink a to nothing
      a.height = std::max(a.height, b.height);
      erase_item.push_back(i + 1);
      drawBox(canvas, a, kRed);
      i += 2;
    } else {
      i += 1;
    }
  }
  showCanvas(name, canvas);
  if (erase_item.empty()) return;

  const std::vector<cv::Rect> tmp = boxes;
  boxes.clear();
  size_t e = 0;
  for (int i = 0; i < static_cast<int>(tmp.size()); ++i) {
    if (e < erase_item.size() && erase_item[e] == i) {
      ++e;
      continue;
    }
    boxes.push_back(tmp[i]);
  }
  count = static_cast<int>(boxes.size());
}

void addCharBox(int& count, std::vector<cv::Rect>& boxes, cv::Mat& canvas, std::string name) {
  const int n = static_cast<int>(boxes.size());
  if (n < 2) return;
  std::vector<cv::Rect> tmpRect;
  bool added = false;
  for (int i = 0; i + 1 < n; ++i) {
    const cv::Rect a = boxes[i];
    const cv::Rect b = boxes[i + 1];
    tmpRect.push_back(a);
    const int p = b.x - a.x;
    if (!(static_cast<float>(p) > 1.8f * static_cast<float>(a.width))) continue;
    const int nx = a.x + a.width + 2;
    const int nw = b.x - nx - 3;
    std::vector<cv::Rect> fill;
    if (static_cast<double>(p) > 3.1 * a.width) {
      const int half = nw / 2;
      fill.emplace_back(nx, a.y, half, a.height);
      fill.emplace_back(nx + half, a.y, half, a.height);
    } else {
      fill.emplace_back(nx, a.y, nw, a.height);
    }
    for (const cv::Rect& r : fill) {
      if (r.width < 1) continue;  // no room between the neighbours
      tmpRect.push_back(r);
      drawBox(canvas, r, kRed);
      added = true;
    }
  }
  if (!added) return;
  tmpRect.push_back(boxes.back());
  boxes = tmpRect;
  count = static_cast<int>(boxes.size());
  showCanvas(name, canvas);
}

void fixLessOne(int kind, int& count, cv::Mat& line, std::vector<cv::Rect>& boxes,
                cv::Mat& canvas, std::string /*name*/) {
  const int n = static_cast<int>(boxes.size());
  const bool oneShort = kind == 1 ? n == 29 : (n == 35 || n == 43);
  if (!oneShort) return;
  const int C = line.cols;
  const cv::Rect first = boxes.front();
  const cv::Rect last = boxes.back();
  const int L = first.x;
  const int Rm = C - (last.x + last.width);

  cv::Rect rect;
  if (L > Rm + 15) {
    if (L < 30) return;
    const int w = std::max(first.width, this_char_width);
    const int x = (L - w >= 8) ? L - w - 4 : 4;
    rect = cv::Rect(x, first.y, w, first.height);
    boxes.insert(boxes.begin(), rect);
  } else if (Rm > L + 15) {
    if (Rm < 30) return;
    const int w = std::max(last.width, this_char_width);
    const int x = std::min(last.x + w + 4, C - 4);
    // The missing last character cannot reach past the line's right edge.
    rect = cv::Rect(x, last.y, std::min(w, C - x), last.height);
    if (rect.width < 1) return;
    boxes.push_back(rect);
  } else {
    return;
  }
  count = static_cast<int>(boxes.size());
  drawBox(canvas, rect, kYellow);
}

// ---- box shaping ------------------------------------------------------------------

int searchTopPoint(cv::Mat& image, cv::Rect r) {
  if (!probeable(image, r, true, true)) return -1;
  for (int i = 0; i < r.height; ++i) {
    if (rowHasInk(image, r.y + i, r.x, r.width)) return i;
  }
  return -1;
}

int searchBottomPoint(cv::Mat& image, cv::Rect r) {
  if (!probeable(image, r, false, false)) return 0;
  if (r.height <= 0 || r.width <= 0) return -1;
  for (int i = r.height - 1; i >= 0; --i) {
    if (rowHasInk(image, r.y + i, r.x, r.width)) return i;
  }
  return -1;
}

int searchRightPoint(cv::Mat& image, cv::Rect r) {
  if (!probeable(image, r, true, false)) return 0;
  int right = 0;
  for (int i = 0; i < r.height; ++i) {
    const uchar* p = image.ptr<uchar>(r.y + i) + r.x;
    for (int j = r.width - 1; j > right; --j) {
      if (p[j] > kInk) {
        right = j;
        break;
      }
    }
  }
  return right;
}

int checkPosValid(int /*kind*/, cv::Mat& /*line*/, std::vector<cv::Rect>& /*boxes*/) { return 0; }

void padTopBottom(int kind, cv::Mat& line, std::vector<cv::Rect>& boxes, cv::Mat& canvas,
                  std::string name) {
  const int R = line.rows, C = line.cols;
  const int minHeight = (kind == 1) ? 25 : 28;
  const int margin = static_cast<int>(R * 0.15);
  const int H = this_char_height;
  const int bandTop = std::max(R / 2 - H / 2, 2);
  const int bandBottom = std::min(R / 2 + H / 2, R - 2);

  for (size_t i = 0; i < boxes.size(); ++i) {
    cv::Rect& box = boxes[i];
    if (box.height >= minHeight) continue;
    if (i > 0) {
      const cv::Rect& p = boxes[i - 1];
      cv::Rect padded = box;
      bool fromNeighbour = true;
      if (std::abs(box.y - p.y) <= 9) {
        padded.height = (p.height + H) / 2;
      } else if (std::abs((box.y + box.height) - (p.y + p.height)) <= 4) {
        padded.y = p.y;
        padded.height = (p.height + H) / 2;
      } else {
        fromNeighbour = false;
      }
      if (fromNeighbour) {
        getSafeRect(C, R, margin, padded);
        // A box pushed out of the margins would come back without area.
        if (padded.width >= 1 && padded.height >= 1) {
          box = padded;
          drawBox(canvas, box, kCyan);
        }
        continue;
      }
    }
    if (remeasure(line, box, bandTop, bandBottom)) {
      drawBox(canvas, box, kYellow);
      showCanvas(name, canvas);
    }
  }
  showCanvas(name, canvas);
}

void fixHalfBox(int count, cv::Mat& /*line*/, std::vector<cv::Rect>& boxes, cv::Mat& canvas,
                std::string name) {
  const int n = std::min(count, static_cast<int>(boxes.size()));
  for (int i = 0; i + 1 < n; ++i) {
    cv::Rect& a = boxes[i];
    cv::Rect& b = boxes[i + 1];
    if (b.x - (a.x + a.width) < 10) continue;
    const int span = b.x + b.width - a.x;
    const int half = span / 2;
    if (half - 2 < 1) continue;
    a.width = half - 2;
    b = cv::Rect(a.x + half + 2, a.y, half - 2, a.height);
    if (canDraw(canvas)) {
      drawBox(canvas, a, kRed);
      drawBox(canvas, b, kRed);
      showCanvas(name, canvas);
    }
  }
}

void fixCharSegment(cv::Mat& line, std::vector<cv::Rect>& boxes, cv::Mat& canvas,
                    std::string name) {
  const int n = static_cast<int>(boxes.size());
  const auto near = [](int v, int r) {
    const float fv = static_cast<float>(v), fr = static_cast<float>(r);
    return 0.88f * fr < fv && fv < 1.1f * fr;
  };
  for (int k = 0; k + 2 < n; ++k) {
    const cv::Rect& a = boxes[k];
    cv::Rect& b = boxes[k + 1];
    const cv::Rect& c = boxes[k + 2];
    const bool topFits = near(b.y, a.y) || near(b.y, c.y);
    const bool bottomFits = near(b.y + b.height, a.y + a.height) || near(b.y + b.height, c.y + c.height);
    const bool heightFits = near(b.height, a.height) && near(b.height, c.height);
    if (topFits && bottomFits && heightFits) continue;
    const int y = std::abs(a.y - b.y) > std::abs(c.y - b.y) ? c.y : a.y;
    const int h = std::abs(a.height - b.height) > std::abs(c.height - b.height) ? c.height : a.height;
    b.y = y;
    b.height = h;
    drawBox(canvas, b, kRed);
  }
  showCanvas(name, canvas);
  fixCharSegment2(line, boxes, canvas, name);
}

void fixCharSegment2(cv::Mat& line, std::vector<cv::Rect>& boxes, cv::Mat& canvas,
                     std::string name) {
  const int n = static_cast<int>(boxes.size());
  if (n < 2) return;
  const int R = line.rows, C = line.cols;

  // First box height.
  {
    cv::Rect& b0 = boxes[0];
    const cv::Rect b1 = boxes[1];
    if (b0.height < 32 || b0.height < b1.height - 4) {
      b0.y = b1.y;
      b0.height = std::max(b1.height, 32);
      verticalClamp(b0, R);
      drawBox(canvas, b0, kMagenta);
      showCanvas(name, canvas);
    }
  }
  // Last box height: keep whichever edge lies nearer to its neighbour's.
  {
    const cv::Rect P = boxes[n - 2];
    cv::Rect& L = boxes[n - 1];
    if (L.height < 32 || L.height < P.height - 4) {
      const int h = std::max(P.height, 32);
      if (std::abs(L.y - P.y) - 5 > std::abs((L.y + L.height) - (P.y + P.height))) {
        L.y = L.y + L.height - h;
      } else {
        L.y = P.y;
      }
      L.height = h;
      verticalClamp(L, R);
      drawBox(canvas, L, kMagenta);
      showCanvas(name, canvas);
    }
  }
  // First box width: it ends 4 pixels before box 1.
  {
    cv::Rect& b0 = boxes[0];
    const cv::Rect b1 = boxes[1];
    if (b0.width < 20 || b0.width < b1.width) {
      const int w = std::max(b1.width, 25);
      int x = b1.x - 4 - w;
      if (x < 5) x = 4;
      const int width = (b1.x - 4) - x;
      if (width >= 1) {
        b0.x = x;
        b0.width = width;
      }
      drawBox(canvas, b0, kYellow);
      showCanvas(name, canvas);
    }
  }
  // Last box width: centred where it was, when it fits the line.
  {
    const cv::Rect P = boxes[n - 2];
    cv::Rect& L = boxes[n - 1];
    if (L.width < 20 || L.width < P.width) {
      const int w = std::max(P.width, 25);
      const int c = L.x + L.width / 2;
      if (c + w / 2 < C - 2) {
        L.x = c - w / 2;
        L.width = w;
      }
      drawBox(canvas, L, kYellow);
      showCanvas(name, canvas);
    }
  }
  // Short inner boxes grow to the ink around them.
  for (int i = 1; i <= n - 2; ++i) {
    cv::Rect& b = boxes[i];
    if (b.height > 34) continue;
    const int pad = (38 - b.height) / 2;
    const int s = std::max(b.y - pad, 2);
    const int e = std::min(b.y + b.height - 1 + pad, R - 2);
    if (remeasure(line, b, s, e)) {
      drawBox(canvas, b, kYellow);
      showCanvas(name, canvas);
    }
  }
  showCanvas(name, canvas);
}

void removeEdgeOf45(int& count, std::vector<cv::Rect>& boxes) {
  if (count != 45 || boxes.size() != 45) return;
  const auto gapAfter = [&boxes](size_t i) { return boxes[i + 1].x - (boxes[i].x + boxes[i].width); };
  if (gapAfter(0) >= 9) {
    boxes.erase(boxes.begin());
  } else if (gapAfter(43) >= 9) {
    boxes.pop_back();
  }
  count = static_cast<int>(boxes.size());
  if (count != 45) return;

  const auto bottom = [](const cv::Rect& r) { return r.y + r.height; };
  if (boxes[1].y - boxes[0].y > 8 || std::abs(bottom(boxes[1]) - bottom(boxes[0])) >= 9) {
    boxes.erase(boxes.begin());
    count = static_cast<int>(boxes.size());
  }
  const int n = count;
  if (boxes[n - 2].y - boxes[n - 1].y > 8 ||
      std::abs(bottom(boxes[n - 2]) - bottom(boxes[n - 1])) >= 9) {
    boxes.pop_back();
    count = static_cast<int>(boxes.size());
  }
}

// ---- drivers --------------------------------------------------------------------------

int char_segment(int kind, cv::Mat& bin1, cv::Mat& bin2, cv::Mat& colour1, cv::Mat& colour2,
                 int& sz1, int& sz2) {
  try {
    return charSegmentTwo(kind, bin1, bin2, colour1, colour2, sz1, sz2);
  } catch (const std::exception& e) {
    vyr_log(1, "char_segment failed: %s", e.what());
    g_posRect.clear();
    return -1;
  }
}

int char_segment_one(int kind, cv::Mat& bin, cv::Mat& colour, int& sz3) {
  try {
    return charSegmentOne(kind, bin, colour, sz3);
  } catch (const std::exception& e) {
    vyr_log(1, "char_segment_one failed: %s", e.what());
    return kCharSegOneFailed;
  }
}
