#include "vyr_textbox.h"

#include <algorithm>
#include <cstdio>

#include <opencv2/highgui.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "nn/DbNet.h"
#include "rotated_rect34.h"
#include "rrnms.h"
#include "utils.h"
#include "vyr_crnn.h"
#include "vyr_log.h"

namespace {

// Detector settings of the three callers.
constexpr int kBoxTargetSide = 256;
constexpr int kBorderedTargetSide = 160;
constexpr int kDefaultBorder = 25;
constexpr float kPixThreshBox = 0.7f;
constexpr float kPixThresh = 0.55f;
constexpr float kBoxThresh = 0.3f;
constexpr float kUnclipRatio = 2.0f;
constexpr double kMergeThresh = 0.001;

// Truncated longer and shorter side and their product.
struct Measure {
  int L = 0;
  int S = 0;
  int area = 0;
};

Measure measure(const cv::RotatedRect& r) {
  auto side = [](float v) {
    if (!(v > 0.f)) return 0;
    return v > 1e9f ? 1000000000 : static_cast<int>(v);
  };
  const int w = side(r.size.width);
  const int h = side(r.size.height);
  Measure m;
  m.L = std::max(w, h);
  m.S = std::min(w, h);
  m.area = static_cast<int>(std::min<long long>(static_cast<long long>(m.L) * m.S, 2147483647LL));
  return m;
}

bool passes(const Measure& m, int minLong, int minShort) {
  return (minLong <= 0 || m.L >= minLong) && (minShort <= 0 || m.S >= minShort);
}

bool loaded(const DbNet* net) { return net != nullptr && net->isLoaded(); }

// Runs a detector and returns its boxes with their minimum-area rectangles.
std::vector<TextBox> detect(DbNet* net, cv::Mat& image, int target, float pixThresh,
                            std::vector<cv::RotatedRect>& rects) {
  ScaleParam s = getScaleParam(image, target);
  std::vector<TextBox> boxes = net->getTextBoxes(image, s, pixThresh, kBoxThresh, kUnclipRatio);
  rects.clear();
  rects.reserve(boxes.size());
  for (const TextBox& b : boxes) rects.push_back(minAreaRect34(b.points));
  return boxes;
}

// Index of the first strictly greatest value above 0, or -1.
template <typename Key>
int firstBest(const std::vector<Measure>& m, const std::vector<bool>& ok, Key key) {
  int best = 0;
  int index = -1;
  for (size_t i = 0; i < m.size(); ++i) {
    if (!ok[i]) continue;
    if (key(m[i]) > best) {
      best = key(m[i]);
      index = static_cast<int>(i);
    }
  }
  return index;
}

// ---- drawing ----

const cv::Scalar kBlue(255, 0, 0), kGreen(0, 255, 0), kRed(0, 0, 255), kCyan(255, 255, 0);
const cv::Scalar kWhite(255, 255, 255), kBlack(0, 0, 0);

void outline(cv::Mat& canvas, const cv::RotatedRect& r, const cv::Scalar& color) {
  cv::Point2f p[4];
  r.points(p);
  for (int i = 0; i < 4; ++i)
    cv::line(canvas, cv::Point(cvRound(p[i].x), cvRound(p[i].y)),
             cv::Point(cvRound(p[(i + 1) % 4].x), cvRound(p[(i + 1) % 4].y)), color, 1,
             cv::LINE_8, 0);
}

void outline(cv::Mat& canvas, const std::vector<cv::Point>& pts, const cv::Scalar& color) {
  if (pts.size() < 4) return;
  for (int i = 0; i < 4; ++i) cv::line(canvas, pts[i], pts[(i + 1) % 4], color, 1, cv::LINE_8, 0);
}

void cornerMarks(cv::Mat& canvas, const cv::RotatedRect& r) {
  cv::Point2f p[4];
  r.points(p);
  const cv::Scalar colors[4] = {kBlue, kGreen, kRed, kCyan};
  const int thickness[4] = {2, 2, 2, 3};
  for (int i = 0; i < 4; ++i)
    cv::circle(canvas, cv::Point(cvRound(p[i].x), cvRound(p[i].y)), 3, colors[i], thickness[i]);
}

// The score label: anchored above (ax, ay), kept inside the top and right edges.
void scoreLabel(cv::Mat& canvas, float score, int ax, int ay) {
  char text[32];
  snprintf(text, sizeof(text), "%.1f%%", score * 100.f);
  int baseline = 0;
  const cv::Size ts = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline);
  int x = ax;
  int y = ay - ts.height - baseline;
  if (y < 0) y = 0;
  if (x + ts.width > canvas.cols) x = canvas.cols - ts.width;
  cv::rectangle(canvas, cv::Rect(x, y, ts.width, ts.height + baseline), kWhite, cv::FILLED);
  cv::putText(canvas, text, cv::Point(x, y + ts.height), cv::FONT_HERSHEY_SIMPLEX, 0.5, kBlack, 1,
              cv::LINE_8);
}

void show(const char* title, const cv::Mat& canvas) { debugShow(title, canvas); }

}  // namespace

// ---- text-box functions ----------------------------------------------------------

cv::Mat crnn_detect_textbox(cv::Mat& img, int minLong, int minShort, TEXT_BOX_FILTER_TYPE filter,
                            SCAN_LOCATION location, cv::RotatedRect& box) {
  cv::Mat result;
  if (!loaded(g_dbNet)) {
    vyr_log(1, "load textbox model first!\n");
    return result;
  }
  if (img.empty()) {
    vyr_log(0, "crnn_detect_textbox empty");
    return result;
  }
  try {
    const int target = std::min(std::max(img.rows, img.cols), kBoxTargetSide);
    std::vector<cv::RotatedRect> rects;
    std::vector<TextBox> boxes = detect(g_dbNet, img, target, kPixThreshBox, rects);

    std::vector<Measure> m(rects.size());
    std::vector<bool> ok(rects.size());
    for (size_t i = 0; i < rects.size(); ++i) {
      m[i] = measure(rects[i]);
      ok[i] = passes(m[i], minLong, minShort);
    }
    int chosen = -1;
    switch (filter) {
      case TEXT_BOX_FILTER_LONG_SIDE: chosen = firstBest(m, ok, [](const Measure& x) { return x.L; }); break;
      case TEXT_BOX_FILTER_SHORT_SIDE: chosen = firstBest(m, ok, [](const Measure& x) { return x.S; }); break;
      case TEXT_BOX_FILTER_AREA: chosen = firstBest(m, ok, [](const Measure& x) { return x.area; }); break;
      default: break;
    }
    if (chosen < 0) return result;

    cv::RotatedRect rect = rects[chosen];
    result = cropRotateRect(img, rect);
    draw_text_boxs(img, boxes, rect, location);
    box = rect;
  } catch (const cv::Exception& e) {
    vyr_log(1, "crnn_detect_textbox: %s", e.what());
    return cv::Mat();
  }
  return result;
}

cv::Mat crnn_detect_textbox(cv::Mat& img, int minLong, int minShort) {
  return _crnn_detect_textbox(img, minLong, minShort, kDefaultBorder);
}

cv::Mat _crnn_detect_textbox(cv::Mat& img, int minLong, int minShort, int border) {
  cv::Mat result;
  if (!loaded(g_dbNet)) {
    vyr_log(1, "load textbox model first!\n");
    return result;
  }
  // No geometry can be taken of an empty image.
  if (img.empty()) return result;
  try {
    if (border < 0) border = 0;
    cv::Mat padded;
    cv::copyMakeBorder(img, padded, border, border, border, border, cv::BORDER_CONSTANT,
                       cv::Scalar(200, 200, 200));
    const int target = std::min(std::max(img.rows, img.cols), kBorderedTargetSide) + 2 * border;
    std::vector<cv::RotatedRect> rects;
    std::vector<TextBox> boxes = detect(g_dbNet, padded, target, kPixThresh, rects);

    std::vector<cv::RotatedRect> merged;
    RR_NMS(rects, merged, kMergeThresh);
    std::vector<Measure> m(merged.size());
    std::vector<bool> ok(merged.size());
    for (size_t i = 0; i < merged.size(); ++i) {
      m[i] = measure(merged[i]);
      ok[i] = passes(m[i], minLong, minShort);
    }
    const int a = firstBest(m, ok, [](const Measure& x) { return x.area; });
    const int b = firstBest(m, ok, [](const Measure& x) { return x.S; });
    if (a < 0) return result;
    const int chosen =
        (b >= 0 && b != a && static_cast<double>(m[b].L) > 0.5 * static_cast<double>(m[a].L)) ? b : a;

    cv::RotatedRect rect = merged[chosen];
    result = cropRotateRect(padded, rect);
    draw_text_boxs(padded, boxes, rect, VISA_ISSUE_NO_BOTTOM);
  } catch (const cv::Exception& e) {
    vyr_log(1, "_crnn_detect_textbox: %s", e.what());
    return cv::Mat();
  }
  return result;
}

int crnn_detect_textbox2(cv::Mat& img, int minLong, int minShort, int maxSide,
                         std::vector<cv::RotatedRect>& boxes) {
  // The detector that is checked is the one that runs.
  if (!loaded(g_dbNet_mrz)) {
    vyr_log(1, "load mrz detect model first!\n");
    return -1;
  }
  if (img.empty()) return -1;
  try {
    const int longer = std::max(img.rows, img.cols);
    const int target = maxSide > 0 ? std::min(longer, maxSide) : longer;
    std::vector<cv::RotatedRect> rects;
    std::vector<TextBox> found = detect(g_dbNet_mrz, img, target, kPixThresh, rects);
    if (found.empty()) return -1;

    std::vector<cv::RotatedRect> merged;
    RR_NMS(rects, merged, kMergeThresh);
    boxes.clear();
    for (const cv::RotatedRect& r : merged)
      if (passes(measure(r), minLong, minShort)) boxes.push_back(r);
    return static_cast<int>(boxes.size());
  } catch (const cv::Exception& e) {
    vyr_log(1, "crnn_detect_textbox2: %s", e.what());
    return -1;
  }
}

// ---- debug views ---------------------------------------------------------------

cv::Mat paint_text_boxs(const cv::Mat& img, const std::vector<TextBox>& boxes,
                        const cv::RotatedRect& rect) {
  if (img.empty()) return cv::Mat();
  cv::Mat canvas = img.clone();
  try {
    cornerMarks(canvas, rect);
    for (const TextBox& b : boxes) {
      if (b.points.size() < 4) continue;
      outline(canvas, b.points, kRed);
      scoreLabel(canvas, b.score, b.points[0].x, b.points[0].y);
    }
    outline(canvas, rect, kGreen);
  } catch (const cv::Exception& e) {
    vyr_log(0, "paint_text_boxs: %s", e.what());
  }
  return canvas;
}

cv::Mat paint_text_boxs2(const cv::Mat& img, const std::vector<RRBOX>& boxes, int index) {
  if (img.empty()) return cv::Mat();
  cv::Mat canvas = img.clone();
  try {
    const bool valid = index >= 0 && static_cast<size_t>(index) < boxes.size();
    if (valid) cornerMarks(canvas, boxes[index].rect);
    for (size_t i = 0; i < boxes.size(); ++i) {
      const bool chosen = valid && i == static_cast<size_t>(index);
      outline(canvas, boxes[i].rect, chosen ? kGreen : kRed);
      cv::Point2f p[4];
      boxes[i].rect.points(p);
      char text[32];
      snprintf(text, sizeof(text), "%.1f%%", boxes[i].score * 100.f);
      int baseline = 0;
      const cv::Size ts = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline);
      // The anchor is a float corner: y is formed in float, then truncated.
      const float fy = p[0].y - static_cast<float>(ts.height) - static_cast<float>(baseline);
      scoreLabel(canvas, boxes[i].score, static_cast<int>(p[0].x),
                 static_cast<int>(fy) + ts.height + baseline);
    }
  } catch (const cv::Exception& e) {
    vyr_log(0, "paint_text_boxs2: %s", e.what());
  }
  return canvas;
}

cv::Mat paint_text_allboxs(const cv::Mat& img, const std::vector<cv::RotatedRect>& rects) {
  if (img.empty()) return cv::Mat();
  cv::Mat canvas = img.clone();
  try {
    for (const cv::RotatedRect& r : rects) outline(canvas, r, kGreen);
  } catch (const cv::Exception& e) {
    vyr_log(0, "paint_text_allboxs: %s", e.what());
  }
  return canvas;
}

cv::Mat paint_text_box(const cv::Mat& img, const CvRect& rect) {
  if (img.empty()) return cv::Mat();
  cv::Mat canvas = img.clone();
  if (rect.width > 0) {
    try {
      cv::rectangle(canvas, cv::Rect(rect.x, rect.y, rect.width, rect.height), kGreen, 1,
                    cv::LINE_8, 0);
    } catch (const cv::Exception& e) {
      vyr_log(0, "paint_text_box: %s", e.what());
    }
  }
  return canvas;
}

void draw_text_boxs(const cv::Mat& img, std::vector<TextBox>& boxes, cv::RotatedRect rect,
                    SCAN_LOCATION /*location*/) {
  if (!isDebugShow()) return;
  show("box", paint_text_boxs(img, boxes, rect));
}

void draw_text_boxs2(const cv::Mat& img, std::vector<RRBOX>& boxes, int index,
                     SCAN_LOCATION /*location*/) {
  if (!isDebugShow()) return;
  show("box2", paint_text_boxs2(img, boxes, index));
}

void draw_text_allboxs(const cv::Mat& img, std::vector<cv::RotatedRect>& rects,
                       const char* title) {
  if (!isDebugShow()) return;
  show(title != nullptr ? title : "", paint_text_allboxs(img, rects));
}

void draw_text_box(const cv::Mat& img, CvRect& rect) {
  if (!isDebugShow()) return;
  show("textbox", paint_text_box(img, rect));
}
