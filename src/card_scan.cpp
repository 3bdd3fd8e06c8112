#include "card_scan.h"

#include <algorithm>
#include <cstdint>
#include <exception>

#include "card_scan_pattern.h"
#include "global.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

// Line selection, the same for both camera generations. The margins give the
// binarisation some paper round the ink of a tight detector box.
constexpr int kMarginX = 5;
constexpr int kMarginY = 2;
constexpr int kMinLineWidth = 651;
constexpr int kMinLineHeight = 26;
constexpr double kMinTopShare = 0.6;  // an MRZ line starts in the lower 40 % of the card
constexpr std::size_t kLineCount = 3;

// Document crop from the top MRZ line, per camera generation.
struct CropGeometry {
  int left, up, maxWidth, maxHeight;
};
constexpr CropGeometry kOldCameraCrop{45, 428, 1000, 630};
constexpr CropGeometry kNewCameraCrop{50, 362, 870, 544};

// Widens one candidate box; computed in 64 bits so that no box a caller
// hands in can overflow, and kept inside int since every result is bounded
// by the image size or the box's own fields.
cv::Rect widened(const cv::Rect& b, int cols, int rows) {
  const std::int64_t x = std::max<std::int64_t>(static_cast<std::int64_t>(b.x) - kMarginX, 0);
  const std::int64_t y = std::max<std::int64_t>(static_cast<std::int64_t>(b.y) - kMarginY, 0);
  const std::int64_t w = std::min<std::int64_t>(static_cast<std::int64_t>(b.width) + 2 * kMarginX, cols - x - 1);
  const std::int64_t h = std::min<std::int64_t>(static_cast<std::int64_t>(b.height) + 2 * kMarginY, rows - y - 1);
  const auto clampInt = [](std::int64_t v) {
    return static_cast<int>(std::clamp<std::int64_t>(v, INT32_MIN, INT32_MAX));
  };
  return cv::Rect(clampInt(x), clampInt(y), clampInt(w), clampInt(h));
}

bool isMrzLine(const cv::Rect& r, int rows) {
  return r.width >= kMinLineWidth && r.height >= kMinLineHeight &&
         static_cast<double>(r.y) > kMinTopShare * static_cast<double>(rows);
}

cv::Rect documentCrop(const cv::Rect& top, int cols, int rows, int oldCamera) {
  const CropGeometry& g = oldCamera == 1 ? kOldCameraCrop : kNewCameraCrop;
  const int x0 = std::max(top.x - g.left, 0);
  const int y0 = std::max(top.y - g.up, 0);
  return cv::Rect(x0, y0, std::min(cols - x0, g.maxWidth), std::min(rows - y0, g.maxHeight));
}

int readBack(cv::Mat& card, std::vector<cv::Rect>& lines, int oldCamera) {
  clearResult2();
  if (card.empty() || card.type() != CV_8UC3) {
    vyr_log(0, "card back: the card must be an 8-bit BGR image");
    return -1;
  }
  // The lines are views into a copy of their own, so nothing done to them
  // reaches the caller's card.
  cv::Mat copy = card.clone();
  if (isDebugShow()) showLineRect(card, lines, "back");

  std::vector<cv::Rect> selected;
  if (rectSelect2(copy, lines, selected) != 0) return -1;

  g_cropimg = card(documentCrop(selected[0], card.cols, card.rows, oldCamera)).clone();
  return getBackRslt2(card, copy(selected[0]), copy(selected[1]), copy(selected[2]));
}

}  // namespace

// ============================================================================
// Back side
// ============================================================================

void clearResult2() {
  OCR_RESULT& r = card_result;
  for (char* text : {r.certificate_name, r.id, r.name, r.name_en, r.nationality, r.ethnicity, r.address,
                     r.birthday, r.birth_at, r.sex, r.valid_from, r.valid_to, r.issue_date, r.issue_by,
                     r.issue_at, r.issue_country, r.issue_count, r.add_id, r.category, r.mrz})
    text[0] = '\0';
  r.mrz_type = 0;
}

int rectSelect2(cv::Mat& image, std::vector<cv::Rect>& boxes, std::vector<cv::Rect>& selected) {
  if (boxes.empty()) return -1;
  const int cols = image.cols, rows = image.rows;
  for (cv::Rect& b : boxes) b = widened(b, cols, rows);
  if (boxes.size() < kLineCount) return -1;

  // Stable, so that lines with equal tops always come out in one order.
  std::stable_sort(boxes.begin(), boxes.end(), comp_y);
  std::vector<cv::Rect> kept;
  for (auto it = boxes.rbegin(); it != boxes.rend(); ++it)
    if (isMrzLine(*it, rows)) kept.push_back(*it);
  if (kept.size() != kLineCount) return -1;
  selected.insert(selected.end(), kept.rbegin(), kept.rend());
  return 0;
}

int rapidocr_back(cv::Mat& card, std::vector<cv::Rect>& lines, int oldCamera) {
  try {
    return readBack(card, lines, oldCamera);
  } catch (const std::exception& e) {
    vyr_log(1, "rapidocr_back: %s", e.what());
  }
  // A reader stopped by an exception may have begun to fill the record.
  clearCardResult();
  return -1;
}
