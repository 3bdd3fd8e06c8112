#include "card_main.h"

#include <exception>

#include <opencv2/imgproc.hpp>

#include "card_detect.h"
#include "card_locate.h"
#include "global.h"
#include "test_ocr_result.h"
#include "utils.h"
#include "vyr_log.h"

int cardClass = 1;

namespace {

constexpr double kFaceCropWidth = 1.7;
constexpr double kFaceCropHeight = 1.8;
constexpr int kFaceCropShiftX = 4;
constexpr int kFaceCropShiftY = -2;
constexpr int kCardInset = 10;

// Stands in for the permit back-side reader until the library offers it.
int backReaderMissing(cv::Mat&, std::vector<cv::Rect>& lines, int) {
  vyr_log(1, "card back: %d text lines found; the back-side reader is not available in this build",
          static_cast<int>(lines.size()));
  return -1;
}

// ---- back-side reading -------------------------------------------------------------
// The permit back-side reader of the library takes over here:
//   rapidocr_back(card, line rectangles, isOldCamera())
// becomes the built-in reader once the library offers it.
CardBackReader g_back_reader = nullptr;

int readBack(cv::Mat& card, std::vector<cv::Rect>& lines) {
  CardBackReader reader = g_back_reader ? g_back_reader : backReaderMissing;
  return reader(card, lines, isOldCamera());
}

}  // namespace

void cardMode(int mode) { cardClass = mode; }

void set_card_back_reader(CardBackReader reader) { g_back_reader = reader; }

cv::Rect cardFaceCrop(const cv::Rect& face, int cols, int rows) {
  const int cx = face.x + face.width / 2;
  const int cy = face.y + face.height / 2;
  const int hw = static_cast<int>(face.width * 0.5 * kFaceCropWidth);
  const int hh = static_cast<int>(face.height * 0.5 * kFaceCropHeight);
  const int left = std::max(0, cx - hw + kFaceCropShiftX);
  const int top = std::max(0, cy - hh + kFaceCropShiftY);
  const int right = cx + hw + kFaceCropShiftX < cols ? cx + hw + kFaceCropShiftX : cols - 1;
  const int bottom = cy + hh + kFaceCropShiftY < rows ? cy + hh + kFaceCropShiftY : rows - 1;
  const cv::Rect crop(left, top, right - left + 1, bottom - top + 1);
  const cv::Rect clipped = crop & cv::Rect(0, 0, cols, rows);
  return clipped.width > 0 && clipped.height > 0 ? clipped : cv::Rect();
}

int vyr_card_scan(cv::Mat& page, OCR_RESULT& result) {
  append_test_info_item("vyr_card_scan: ", TEST_INFO_NO_VALUE);
  const double start = vyr_get_current_time();
  clearCardResult();
  try {
    cv::Mat frame = page.clone();
    cv::Mat card;
    bool isfront = false;
    cv::Rect rectFace(0, 0, 0, 0);
    std::vector<cv::Rect> lineRect;
    int r = detect_card(frame, card, isfront, rectFace, isOldCamera());
    if (r != 0) {
      vyr_log(0, "card detect: %d", r);
      return r;
    }
    if (isfront) {
      r = check_and_rotated_card_front(card, rectFace, lineRect, cardClass, isOldCamera());
      if (r != 0) {
        vyr_log(0, "front title not found");
        return r;
      }
      const cv::Rect faceCrop = cardFaceCrop(rectFace, card.cols, card.rows);
      if (!faceCrop.empty()) g_faceimg = card(faceCrop).clone();
      const cv::Rect inset =
          cv::Rect(kCardInset, kCardInset, card.cols - 2 * kCardInset, card.rows - 2 * kCardInset) &
          cv::Rect(0, 0, card.cols, card.rows);
      if (inset.width > 0 && inset.height > 0) g_cropimg = card(inset).clone();
      if (isDebugShow()) {
        cv::Mat show = card.clone();
        cv::rectangle(show, rectFace, cv::Scalar(0, 255, 0), 2, cv::LINE_8);
        cv::rectangle(show, faceCrop, cv::Scalar(0, 0, 255), 2, cv::LINE_8);
        debugShow("face", show);
      }
    } else {
      r = detectLettersRect_back(card, lineRect, isOldCamera());
      if (r != 0) {
        vyr_log(0, "card back detect text: %d", r);
        return r;
      }
      r = readBack(card, lineRect);
      if (r < 0) {
        vyr_log(0, "card back scan: %d", r);
        return r;
      }
    }
  } catch (const std::exception& e) {
    vyr_log(1, "vyr_card_scan: %s", e.what());
    return -1;
  }
  copy_ocr_result(card_result, result);
  print_passport_result(result);
  const double elapsed = vyr_get_current_time() - start;
  vyr_log(0, "vyr_card_scan cost %.3f ms", elapsed);
  append_test_info_item("vyr_card_scan: ", static_cast<int>(elapsed));
  return 0;
}
