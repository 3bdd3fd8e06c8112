#include "postprocess_cardai.h"

#include <cmath>
#include <cstdlib>
#include <exception>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "rotated_rect34.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

// Accepted deviations of the keypoint rectangle from the expected size.
constexpr int kLongMin = -20, kLongMax = 30;
constexpr int kShortMin = -17, kShortMax = 27;
// Both deviations at or below this: the keypoints are far too close together
// and the detection box itself is tried.
constexpr int kFallbackDeviation = -31;
// The detection box must match the expected size this closely (exclusive).
constexpr float kFallbackTolerance = 10.f;

constexpr int kCardSlot = 1;  // the card path's slot of the motion gate

struct Candidate {
  cv::RotatedRect rect;
  int fit;
};

void show_boxes(const cv::Mat& image, const std::vector<BoxfWithLandmarksType>& boxes) {
  if (!isDebugShow() || image.empty()) return;
  cv::Mat canvas = image.clone();
  draw_boxes_with_landmarks_inplace(canvas, boxes, true);
  show_card_ai_window(canvas, false);
}

int choose_card(const cv::Mat& image, int camera, const std::vector<BoxfWithLandmarksType>& boxes,
                std::vector<cv::Point>& corners, float scale) {
  const int L = camera == 1 ? kCardLongOldCamera : kCardLongNewCamera;
  const int S = camera == 1 ? kCardShortOldCamera : kCardShortNewCamera;
  if (boxes.empty()) return -1;

  const float width = static_cast<float>(image.cols);
  const float height = static_cast<float>(image.rows);
  std::vector<Candidate> candidates;
  for (const BoxfWithLandmarksType& box : boxes) {
    if (box.landmarks.size() != 4) continue;
    const cv::RotatedRect rr = minAreaRect34(box.landmarks);
    const int long_side = static_cast<int>(std::max(rr.size.width, rr.size.height));
    const int short_side = static_cast<int>(std::min(rr.size.width, rr.size.height));
    const int dl = long_side - L;
    const int ds = short_side - S;
    const int fit = std::abs(dl) + std::abs(ds);
    if (dl >= kLongMin && dl <= kLongMax && ds >= kShortMin && ds <= kShortMax) {
      vyr_log(0, "card: w=%d/%d, h=%d/%d ==> T", dl, L, ds, S);
      candidates.push_back({rr, fit});
      continue;
    }
    vyr_log(0, "card: w=%d/%d, h=%d/%d ==> F", dl, L, ds, S);
    if (dl > kFallbackDeviation || ds > kFallbackDeviation) continue;

    if (!(box.x2 < width - 1.f) || !(box.y2 < height - 1.f) || !(box.x1 > 1.f) ||
        !(box.y1 > 1.f))
      continue;
    const float h = box.y2 - box.y1;
    if (h == 0.f) continue;
    const float w = box.x2 - box.x1;
    if (std::fabs(w - static_cast<float>(L)) < kFallbackTolerance &&
        std::fabs(h - static_cast<float>(S)) < kFallbackTolerance) {
      vyr_log(0, "w=%.2f, h=%.2f, w/h=%.2f ==> fixed", w, h, w / h);
      candidates.push_back(
          {cv::RotatedRect(cv::Point2f(box.x1 + w / 2.f, box.y1 + h / 2.f), cv::Size2f(w, h), 0.f),
           fit});
    } else {
      vyr_log(0, "w=%.2f, h=%.2f, w/h=%.2f", w, h, w / h);
    }
  }
  if (candidates.empty()) return -1;

  std::size_t best = 0;
  for (std::size_t i = 1; i < candidates.size(); ++i)
    if (candidates[i].fit < candidates[best].fit) best = i;
  const cv::RotatedRect& chosen = candidates[best].rect;

  cv::Point2f pts[4];
  chosen.points(pts);
  for (const cv::Point2f& p : pts) corners.emplace_back(cvRound(p.x), cvRound(p.y));

  if (isMoved(kCardSlot, chosen.center.x * scale, chosen.center.y * scale) < 0) {
    vyr_log(0, "card moved");
    return -80;
  }
  return 0;
}

}  // namespace

int postprocess_card_ai(cv::Mat& image, int camera, std::vector<BoxfWithLandmarksType>& boxes,
                        std::vector<cv::Point>& corners, float scale) {
  int result = -1;
  try {
    result = choose_card(image, camera, boxes, corners, scale);
  } catch (const std::exception& e) {
    vyr_log(1, "card: corner post-processing failed: %s", e.what());
    result = -1;
  }
  try {
    show_boxes(image, boxes);
  } catch (const std::exception& e) {
    vyr_log(1, "card: debug display failed: %s", e.what());
  }
  return result;
}
