#include "card_detect.h"

#include <ctime>
#include <exception>

#include <opencv2/imgproc.hpp>

#include "getfaceimage.h"
#include "global.h"
#include "postprocess_cardai.h"
#include "rotated_rect34.h"
#include "scrfd.h"
#include "test_ocr_result.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

constexpr int kWorkUnit = 400;  // the working image is frame.cols / (cols / 400) wide

// The new camera's back side: a bright mark at the card slot's right edge
// tells where two rows of the sensor need smoothing.
constexpr int kBandFrameWidth = 1600;
const cv::Rect kMarkWindow(1420, 300, 150, 300);
constexpr std::size_t kMarkMinPoints = 101;
constexpr int kMarkMinWidth = 11;
constexpr int kMarkMinHeight = 21;
constexpr int kMarkMaxHeight = 49;
constexpr int kBandAHeight = 10;
constexpr int kBandBHeight = 8;
constexpr int kBandMedian = 5;

bool inside(const cv::Rect& r, const cv::Mat& m) {
  return r.width > 0 && r.height > 0 && (r & cv::Rect(0, 0, m.cols, m.rows)) == r;
}

// The corners and the card rectangle in random colours, then the crop.
void showCorners(const cv::Mat& small, const std::vector<cv::Point>& corner, const cv::RotatedRect& rr,
                 cv::Mat& showmat) {
  showmat = small.clone();
  cv::RNG rng(static_cast<uint64_t>(std::time(nullptr)));
  auto colour = [&rng] { return cv::Scalar(rng.uniform(0, 255), rng.uniform(0, 255), rng.uniform(0, 255)); };
  for (const cv::Point& p : corner) cv::circle(showmat, p, 5, colour(), 1, cv::LINE_8);
  cv::Point2f v[4];
  rr.points(v);
  for (int k = 0; k < 4; ++k)
    cv::line(showmat, cv::Point(cvRound(v[k].x), cvRound(v[k].y)),
             cv::Point(cvRound(v[(k + 1) % 4].x), cvRound(v[(k + 1) % 4].y)), colour(), 1, cv::LINE_8);
  debugShow("card_detect", showmat);
}

}  // namespace

CardSize expectedCardSize(int camera) { return camera == 1 ? CardSize{247, 154} : CardSize{210, 132}; }

int checkCardSize(const cv::RotatedRect& rr, int card_w, int card_h) {
  const int L = static_cast<int>(std::max(rr.size.width, rr.size.height));
  const int S = static_cast<int>(std::min(rr.size.width, rr.size.height));
  if (L < card_w - kCardSizeTolerance || L > card_w + kCardSizeTolerance || S < card_h - kCardSizeTolerance ||
      S > card_h + kCardSizeTolerance)
    return -3;
  return 0;
}

bool cardBackBands(const cv::Mat& frame, cv::Rect& bandA, cv::Rect& bandB) {
  if (frame.cols != kBandFrameWidth || !inside(kMarkWindow, frame) || frame.depth() != CV_8U) return false;
  cv::Mat window;
  if (frame.channels() == 3)
    cv::cvtColor(frame(kMarkWindow), window, cv::COLOR_BGR2GRAY);
  else if (frame.channels() == 1)
    window = frame(kMarkWindow).clone();
  else
    return false;
  cv::threshold(window, window, 0, 255, cv::THRESH_BINARY | cv::THRESH_OTSU);
  cv::morphologyEx(window, window, cv::MORPH_OPEN, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(5, 5)));
  cv::morphologyEx(window, window, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, cv::Size(1, 20)));
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(window, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  for (const std::vector<cv::Point>& c : contours) {
    if (c.size() < kMarkMinPoints) continue;
    const cv::Rect b = cv::boundingRect(c);
    if (b.width < kMarkMinWidth || b.height < kMarkMinHeight || b.height > kMarkMaxHeight) continue;
    // Only the first qualifying mark counts, even when it touches the edge.
    if (b.x <= 0 || b.y <= 0) return false;
    const int top = kMarkWindow.y + b.y;
    const cv::Rect a(0, top + b.height / 5, kBandFrameWidth, kBandAHeight);
    const cv::Rect bb(0, top + 6 * (b.height / 7), kBandFrameWidth, kBandBHeight);
    if (!inside(a, frame) || !inside(bb, frame)) return false;
    bandA = a;
    bandB = bb;
    return true;
  }
  return false;
}

bool smoothCardBackBands(cv::Mat& frame) {
  cv::Rect a, b;
  if (!cardBackBands(frame, a, b)) return false;
  for (const cv::Rect& band : {a, b}) {
    cv::Mat part = frame(band).clone();
    cv::medianBlur(part, part, kBandMedian);
    part.copyTo(frame(band));
  }
  return true;
}

int get_card_rect(cv::Mat& frame, cv::Mat& small_color, cv::Mat& small_gray, int card_w, int card_h,
                  int camera, std::vector<cv::Point>& corner, cv::Mat& card, bool& isfront,
                  cv::Rect& rectFace) {
  if (corner.empty() || frame.empty() || small_color.empty() || frame.cols < kWorkUnit) return -1;
  try {
    cv::RotatedRect roi_rect = minAreaRect34(corner);
    cv::Mat showmat;
    if (isDebugShow()) showCorners(small_color, corner, roi_rect, showmat);

    if (checkCardSize(roi_rect, card_w, card_h) != 0) return -3;

    cv::Rect_<float> safeBoundRct;
    if (!calcSafeRect(roi_rect, small_gray, safeBoundRct)) return -1;
    if (isDebugShow()) {
      cv::rectangle(showmat,
                    cv::Rect(cvRound(safeBoundRct.x), cvRound(safeBoundRct.y), cvRound(safeBoundRct.width),
                             cvRound(safeBoundRct.height)),
                    cv::Scalar(0, 0, 255), 1, cv::LINE_8);
      debugShow("card_detect", showmat);
    }

    cv::Mat card_small;
    if (imgRotate_2(small_color, card_small, safeBoundRct, roi_rect, 1) != 0) return -1;

    isfront = false;
    cv::Mat face;
    cv::Rect facerectTmp;
    const int r = getCardFaceImage(card_small, face, facerectTmp);
    const float s = static_cast<float>(frame.cols / kWorkUnit);
    if (r == 1 || r == 2) {
      isfront = true;
      rectFace = cv::Rect(static_cast<int>(facerectTmp.x * s), static_cast<int>(facerectTmp.y * s),
                          static_cast<int>(facerectTmp.width * s), static_cast<int>(facerectTmp.height * s));
    }

    cv::Mat srcbk = frame.clone();
    if (!isfront && camera != 1) smoothCardBackBands(srcbk);

    cv::Mat cut;
    if (imgRotate_2(srcbk, cut, safeBoundRct, roi_rect, static_cast<int>(s)) != 0) return -1;
    if (isfront && r == 2) cv::flip(cut, cut, -1);
    card = cut;
    return 0;
  } catch (const std::exception& e) {
    vyr_log(1, "card rect: %s", e.what());
    return -1;
  }
}

int detect_card(cv::Mat& frame, cv::Mat& card, bool& isfront, cv::Rect& rectFace, int camera) {
  const double start = vyr_get_current_time();
  const CardSize expected = expectedCardSize(camera);
  if (frame.empty() || frame.cols < kWorkUnit || frame.depth() != CV_8U) {
    vyr_log(0, "card detect: frame %dx%d cannot be searched", frame.cols, frame.rows);
    return -1;
  }
  try {
    const int g = frame.cols / kWorkUnit;
    const cv::Size work(frame.cols / g, frame.rows / g);
    if (work.height < 1) return -1;
    cv::Mat small_color;
    cv::resize(frame, small_color, work, 0, 0, cv::INTER_LINEAR);
    cv::Mat small_gray;
    if (small_color.channels() == 3)
      cv::cvtColor(small_color, small_gray, cv::COLOR_BGR2GRAY);
    else
      small_gray = small_color;

    std::vector<BoxfWithLandmarksType> detected_boxes_kps;
    int r = detect_card_ai(small_color, detected_boxes_kps);
    if (r != 0) return r;
    std::vector<cv::Point> corner;
    r = postprocess_card_ai(small_color, camera, detected_boxes_kps, corner, static_cast<float>(g));
    if (r != 0) return r;
    r = get_card_rect(frame, small_color, small_gray, expected.longSide, expected.shortSide, camera, corner, card,
                      isfront, rectFace);
    if (r != 0) return r;
  } catch (const std::exception& e) {
    vyr_log(1, "card detect: %s", e.what());
    return -1;
  }
  const double elapsed = vyr_get_current_time() - start;
  append_test_info_item("--卡片定位时间: ", static_cast<int>(elapsed));
  vyr_log(0, "card detect: %.3f ms", elapsed);
  return 0;
}
