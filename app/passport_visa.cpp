#include "passport_visa.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "fixed_text.h"
#include "global.h"
#include "passport_visa_utils.h"
#include "utils.h"
#include "vyr_crnn.h"
#include "vyr_log.h"

PASSPORT_ROTATED_STRUCT g_rotated_struct[2];
PASSPORT_ROTATED_STRUCT g_get_issue_addr;
std::vector<cv::Point> g_point_list;

PASSPORT_ROTATED_STRUCT& PASSPORT_ROTATED_STRUCT::operator=(const PASSPORT_ROTATED_STRUCT& other) {
  if (this == &other) return *this;
  line_rect = other.line_rect;
  rotate_angle = other.rotate_angle;
  has_inverse = other.has_inverse;
  inverse_mat = other.inverse_mat;  // shares the data, no pixel copy
  crop_x = other.crop_x;
  crop_y = other.crop_y;
  src_offset_x = other.src_offset_x;
  src_offset_y = other.src_offset_y;
  return *this;
}

// In pitches of MRZ line 1 (character n is box n - 1):
// 0: characters 36 to 44 + 4, 1 to 5 pitches above the box tops;
// 1: characters 29 to 44 + 7.5, 20 to 26 above;
// 2: characters 12 to 16, 16 to 19 above;
// 3: characters 5 to 13, 17 to 20 above.
const SCAN_ITEM_LOCATION scan_item_location[4] = {
    {VISA_ISSUE_NO_BOTTOM, 0, 0, 36, 44, 6, 11, 7, 50, 5, 1, TEXT_BOX_FILTER_LONG_SIDE},
    {VISA_ISSUE_NO_TOP, 0, 0, 29, 44, 6, 32, 26, 50, 5, 1, TEXT_BOX_FILTER_LONG_SIDE},
    {VISA_ISSUE_CATEGORY_MID, 0, 0, 12, 16, 4, 20, 23, 0, 1, 1, TEXT_BOX_FILTER_SHORT_SIDE},
    {VISA_ISSUE_CATEGORY_LEFT, 0, 0, 5, 13, 4, 21, 24, 0, 1, 1, TEXT_BOX_FILTER_SHORT_SIDE},
};

namespace {

using Recogniser = std::function<TextLine(const cv::Mat&, char)>;

bool isColourCrop(const cv::Mat& m) { return m.type() == CV_8UC3 && m.cols >= 2 && m.rows >= 2; }

// The weakest symbols a number or category may have. The restricted
// alphabets make the recogniser pick a symbol of the allowed set wherever it
// sees one, e.g. a letter for the first digit of a nine-digit number read
// letter-first, and such a pick can pass the format check; its own score is
// then near 0. A capital with a lowercase twin (C, S, X, Z, J ...) is split
// between the two cases by the English model and may score 0.04 when right;
// a digit has no such twin and scored 0.52 or more on every right reading of
// the rendered pages (tools/models/visa_report.md).
constexpr float kMinLetterScore = 0.02f;
constexpr float kMinDigitScore = 0.5f;

// The reading, as the recogniser gave it, is sure of every symbol.
bool confident(const TextLine& text, const char* what) {
  for (std::size_t i = 0; i < text.scores.size(); ++i) {
    const bool digit = i < text.text.size() && text.text[i] >= '0' && text.text[i] <= '9';
    const float s = text.scores[i];
    if (!(s >= (digit ? kMinDigitScore : kMinLetterScore))) {
      vyr_log(0, "%s %s refused: symbol %d scores %.3f", what, text.text.c_str(), static_cast<int>(i), s);
      return false;
    }
  }
  return true;
}

// The English recogniser behind the reading functions.
TextLine readEnglish(const cv::Mat& image, char mode) { return crnn_extract_en(image, mode); }

int readNumber(const Recogniser& rec, cv::Mat& image, TextLine& text, int kind) {
  text = rec(image, kind == VISA_ISSUE_NO_TOP ? 'A' : 'O');
  return text.text.size() == 8 ? 0 : -1;
}

int readNumberExt(const Recogniser& rec, cv::Mat& image, TextLine& text) {
  text = rec(image, 'N');
  return text.text.size() == 9 ? 0 : -1;
}

int readCategory(const Recogniser& rec, cv::Mat& image, TextLine& text) {
  text = rec(image, 'O');
  return text.text.size() < 3 ? 0 : -1;
}

// Bounding rectangles of contours with at least `minPoints` points whose
// shorter side is at least minShort and whose ratio exceeds 3 go to
// candidates; with `ambiguity`, compact ones (ratio <= 3, shorter side >= 60)
// go there.
void lineShapedRed(const std::vector<std::vector<cv::Point>>& contours, int minShort,
                   std::vector<cv::Rect>& candidates, std::vector<cv::Rect>* ambiguity) {
  for (const auto& c : contours) {
    if (c.size() < 151) continue;
    const cv::Rect b = cv::boundingRect(c);
    const int s = std::min(b.width, b.height);
    const int l = std::max(b.width, b.height);
    if (s < minShort) continue;
    if (static_cast<double>(l) / static_cast<double>(s) > 3.0)
      candidates.push_back(b);
    else if (ambiguity != nullptr && s >= 60)
      ambiguity->push_back(b);
  }
}

}  // namespace

VisaItemReaders defaultVisaItemReaders() {
  VisaItemReaders r;
  r.red_print = [](cv::Mat& crop, int location) { return check_red_contours(crop, location); };
  r.text_box = [](cv::Mat& crop, int minLong, int minShort, TEXT_BOX_FILTER_TYPE filter, SCAN_LOCATION location,
                  cv::RotatedRect& box) { return crnn_detect_textbox(crop, minLong, minShort, filter, location, box); };
  r.category_box = [](cv::Mat& crop, cv::Mat& box, cv::Size kernel, int location) {
    return detect_category_box(crop, box, kernel, location);
  };
  r.recognise = readEnglish;
  return r;
}

// ---- item crop ---------------------------------------------------------------------------

void get_src_map_point(cv::Point2f p, cv::Point2f* out, int dy, float len, cv::Size size) {
  if (out == nullptr) return;
  const float a = static_cast<float>(static_cast<double>(g_get_issue_addr.rotate_angle) * 3.141592653589793 / 180.0);
  cv::Point2f q;
  get_roi_map_point(p, &q, 0.f);
  get_valid_point(&q, size);
  const float t = static_cast<float>(dy) + q.y;
  q.x = q.x + std::sin(a) * len;
  q.y = t - std::cos(a) * len;
  get_valid_point(&q, size);
  *out = q;
}

cv::Mat get_target_image(cv::Mat& page, int dy, float len1, float len2, cv::Point2f p1, cv::Point2f p2) {
  const double t0 = vyr_get_current_time();
  if (page.empty()) return cv::Mat();
  const cv::Size size = page.size();
  cv::Point2f tl, tr, bl, br;
  get_src_map_point(p1, &tl, dy, len1, size);
  get_src_map_point(p2, &tr, dy, len1, size);
  get_src_map_point(p1, &bl, dy, len2, size);
  get_src_map_point(p2, &br, dy, len2, size);
  for (const cv::Point2f& c : {bl, tl, tr, br}) g_point_list.push_back(cv::Point(cvRound(c.x), cvRound(c.y)));

  const cv::RotatedRect rotated = cv::minAreaRect(g_point_list);
  cv::Rect rect = rotated.boundingRect();
  get_valid_rect(&rect, size);
  // A region clamped to (almost) nothing, e.g. one lying above a short page
  // with all its corners on row 0: nothing to cut, and the warp and the
  // readers need at least 2 x 2 pixels.
  if (std::min(rotated.size.width, rotated.size.height) < 1.f || rect.width < 2 || rect.height < 2 ||
      (rect & cv::Rect(0, 0, size.width, size.height)) != rect)
    return cv::Mat();
  cv::Mat item = page(rect);

  const float angle = g_get_issue_addr.rotate_angle;
  const cv::Point2f centre(rotated.center.x - static_cast<float>(rect.x), rotated.center.y - static_cast<float>(rect.y));
  cv::Mat rot = cv::getRotationMatrix2D(centre, angle, 1.0);
  const float a = static_cast<float>(static_cast<double>(angle) * 3.141592653589793 / 180.0);
  const float s = std::fabs(std::sin(a));
  const float c = std::fabs(std::cos(a));
  const int w = rect.width;
  const int h = rect.height;
  const int new_w = static_cast<int>(c * static_cast<float>(w) + s * static_cast<float>(h));
  const int new_h = static_cast<int>(s * static_cast<float>(w) + c * static_cast<float>(h));
  if (new_w < 2 || new_h < 2) return cv::Mat();
  rot.at<double>(0, 2) += static_cast<double>(new_w / 2 - w / 2);
  rot.at<double>(1, 2) += static_cast<double>(new_h / 2 - h / 2);
  cv::Mat out;
  cv::warpAffine(item, out, rot, cv::Size(new_w, new_h), cv::INTER_LINEAR, cv::BORDER_CONSTANT,
                 cv::Scalar(200, 200, 200));
  vyr_log(0, "get_target_image cost %f ms", vyr_get_current_time() - t0);
  return out;
}

// ---- red print ---------------------------------------------------------------------------

void rm_adjoin(cv::Mat& mask, int count) {
  if (mask.empty() || mask.type() != CV_8UC1) return;
  for (int y = 0; y < mask.rows; ++y) {
    uchar* row = mask.ptr<uchar>(y);
    const int on = static_cast<int>(std::count(row, row + mask.cols, static_cast<uchar>(255)));
    if (on <= count) std::fill(row, row + mask.cols, static_cast<uchar>(0));
  }
}

int check_red_contours(cv::Mat& crop, int location) {
  if (!isColourCrop(crop)) return -1;
  cv::Mat half;
  cv::resize(crop, half, cv::Size(crop.cols / 2, crop.rows / 2), 0, 0, cv::INTER_LINEAR);
  cv::Mat lab;
  cv::cvtColor(half, lab, cv::COLOR_BGR2Lab);
  std::vector<cv::Mat> channels;
  cv::split(lab, channels);
  cv::Mat img_mask;
  cv::adaptiveThreshold(channels[1], img_mask, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY, 71, -7);
  const cv::Mat element =
      cv::getStructuringElement(cv::MORPH_RECT, cv::Size(location == VISA_ISSUE_NO_TOP ? 25 : 20, 1));
  cv::Mat img_mask_mop_colse;
  cv::morphologyEx(img_mask, img_mask_mop_colse, cv::MORPH_CLOSE, element, cv::Point(-1, -1), 1,
                   cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());

  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(img_mask_mop_colse, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  std::vector<cv::Rect> candidates, ambiguity;
  lineShapedRed(contours, 10, candidates, &ambiguity);
  if (!candidates.empty()) return 0;
  if (ambiguity.empty()) return -1;

  // Large compact red blobs: a line of print joined to other red marks.
  // Clearing the sparse rows may free the line.
  int widest = 0;
  for (const cv::Rect& r : ambiguity) widest = std::max(widest, r.width);
  if (widest < 75) return -1;
  rm_adjoin(img_mask_mop_colse, widest / 3);
  contours.clear();
  cv::findContours(img_mask_mop_colse, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);
  lineShapedRed(contours, 13, candidates, nullptr);
  return candidates.empty() ? -1 : 0;
}

// ---- category box -------------------------------------------------------------------------

int detect_category_box(cv::Mat& crop, cv::Mat& box, cv::Size kernel, int location) {
  if (!isColourCrop(crop) || kernel.width < 1 || kernel.height < 1) return -1;
  const int cw = g_aCharWidth;
  const int ch = g_aCharHeight;
  cv::GaussianBlur(crop, crop, cv::Size(5, 5), 1.0, 1.0);
  cv::Mat gray;
  cv::cvtColor(crop, gray, cv::COLOR_BGR2GRAY);
  cv::Mat threshold_img;
  cv::adaptiveThreshold(gray, threshold_img, 255, cv::ADAPTIVE_THRESH_MEAN_C, cv::THRESH_BINARY_INV, 101, 80);

  if (location == VISA_ISSUE_CATEGORY_LEFT) {
    cv::Mat crude_img = threshold_img.clone();
    std::vector<std::vector<cv::Point>> crude;
    cv::findContours(crude_img, crude, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
    for (std::size_t i = 0; i < crude.size(); ++i) {
      const cv::Rect b = cv::boundingRect(crude[i]);
      if (crude[i].size() <= 10 && b.height <= 2 && b.width <= 7)
        cv::drawContours(threshold_img, crude, static_cast<int>(i), cv::Scalar(0), cv::FILLED, cv::LINE_8);
    }
  }

  cv::Mat tmp_img;
  cv::morphologyEx(threshold_img, tmp_img, cv::MORPH_CLOSE, cv::getStructuringElement(cv::MORPH_RECT, kernel),
                   cv::Point(-1, -1), 1, cv::BORDER_CONSTANT, cv::morphologyDefaultBorderValue());
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(tmp_img, contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_NONE);

  const int minW = static_cast<int>(cw * 0.6);
  const int minH = static_cast<int>(ch * 0.6);
  const int maxH = static_cast<int>(ch * 1.5);
  const int maxW = static_cast<int>(cw * 2.2);
  std::vector<cv::Rect> candidates;
  for (const auto& c : contours) {
    if (c.size() < 21) continue;
    const cv::Rect b = cv::boundingRect(c);
    if (b.height < minH || b.width < minW || b.height >= maxH || b.width >= maxW) continue;
    const double ratio = static_cast<double>(b.width) / static_cast<double>(b.height);
    if (ratio < 0.48 || ratio > 1.45) continue;
    candidates.push_back(b);
  }
  if (candidates.empty()) return -1;

  cv::Rect chosen = candidates[0];
  if (candidates.size() > 1) {
    int best = 32767;
    bool found = false;
    for (const cv::Rect& b : candidates) {
      const int dx = b.x + b.width / 2 - crop.cols / 2;
      const int dy = b.y + b.height / 2 - crop.rows / 2;
      const int d = static_cast<int>(std::sqrt(static_cast<double>(dx) * dx + static_cast<double>(dy) * dy));
      if (d < best) {
        best = d;
        chosen = b;
        found = true;
      }
    }
    if (!found) return -2;
  }

  const int right = crop.cols - (chosen.x + chosen.width);
  if (right < 0) return -3;
  const int px = std::min({10, chosen.x, right});
  const int bottom = crop.rows - (chosen.y + chosen.height);
  if (bottom < 0) return -3;
  const int py = std::min({5, chosen.y, bottom});
  const cv::Rect roi(chosen.x - px, chosen.y - py, chosen.width + 2 * px, chosen.height + 2 * py);
  box = crop(roi);
  return 0;
}

// ---- reading and checking ------------------------------------------------------------------

int scanVisaNo(cv::Mat& image, TextLine& text, int kind) { return readNumber(readEnglish, image, text, kind); }

int scanVisaNo_Ext(cv::Mat& image, TextLine& text) { return readNumberExt(readEnglish, image, text); }

int scan_category(cv::Mat& image, TextLine& text) { return readCategory(readEnglish, image, text); }

int check_crnn_extract_en_result(cv::Mat& image, cv::RotatedRect box) {
  cv::Point2f pts[4];
  box.points(pts);
  std::sort(pts, pts + 4, [](const cv::Point2f& a, const cv::Point2f& b) { return compoint_x(a, b); });
  const int cols = image.cols;
  if (cols <= 0 || pts[0].x <= 0.f || pts[3].x >= static_cast<float>(cols - 1)) return -1;
  std::sort(pts, pts + 4, [](const cv::Point2f& a, const cv::Point2f& b) { return compoint_y(a, b); });
  const int rows = image.rows;
  if (rows <= 0 || pts[0].y <= 0.f || pts[3].y >= static_cast<float>(rows - 1)) return -1;
  return 0;
}

// ---- the walk ----------------------------------------------------------------------------------

int get_visa_issue_info(cv::Mat& page, OCR_RESULT& result) {
  return get_visa_issue_info(page, result, defaultVisaItemReaders());
}

int get_visa_issue_info(cv::Mat& page, OCR_RESULT& result, const VisaItemReaders& readers) {
  TextLine text;
  if (g_rotated_struct[0].has_inverse == g_rotated_struct[1].has_inverse) {
    vyr_log(0, "no invertAffineTransform result. ");
    return -41;
  }
  g_get_issue_addr = g_rotated_struct[0].has_inverse ? g_rotated_struct[0] : g_rotated_struct[1];
  if (result.mrz[0] != 'V') {
    g_point_list.clear();
    return 0;
  }
  const int dy = page.rows - CUT_SIZE - 1;
  const int boxes = static_cast<int>(g_posRect.size());
  int visa_layout = -1;

  for (const SCAN_ITEM_LOCATION& item : scan_item_location) {
    const bool numberItem = item.location == VISA_ISSUE_NO_BOTTOM || item.location == VISA_ISSUE_NO_TOP;
    // Once a number is read the walk goes on with the category records.
    if (numberItem && visa_layout != -1) continue;
    g_point_list.clear();
    cv::RotatedRect rotated_rect(cv::Point2f(0.f, 0.f), cv::Size2f(0.f, 0.f), 0.f);
    if (item.skip != 0 || item.mrz_type != result.mrz_type) continue;
    // Every index lies on MRZ line 1; a box list too short for one of them
    // (not a two-line MRZ of 44) has nothing to place the item by.
    const int last = std::max({item.first_box - 1, item.last_box - 1, item.base_box, item.offset1_box, item.offset2_box});
    if (item.first_box < 1 || item.last_box < 1 || last >= boxes) continue;
    const cv::Rect& A = g_posRect[item.first_box - 1];
    const cv::Rect& B = g_posRect[item.last_box - 1];
    const int xb = g_posRect[item.base_box].x;
    const int x1 = g_posRect[item.offset1_box].x;
    const int x2 = g_posRect[item.offset2_box].x;

    const cv::Point2f p1(static_cast<float>(A.x), static_cast<float>(A.y));
    const cv::Point2f p2(
        static_cast<float>(static_cast<double>((B.x - A.x) * item.extend_percent) / 100.0 + B.x),
        static_cast<float>(B.y));
    const float len1 = static_cast<float>(x1 - xb);
    const float len2 = static_cast<float>(x2 - xb);
    cv::Mat rotate_mat = get_target_image(page, dy, len1, len2, p1, p2);
    if (rotate_mat.empty()) continue;

    const int location = item.location;
    if (numberItem) {
      const int red = readers.red_print(rotate_mat, location);
      if (red != 0) {
        vyr_log(0, "visa issue no check red contour failed. ret=%d. ", red);
        continue;
      }
      cv::Mat box_mat = readers.text_box(rotate_mat, item.min_long_chars * g_aCharWidth,
                                         item.min_short_chars * g_aCharHeight,
                                         static_cast<TEXT_BOX_FILTER_TYPE>(item.filter_type),
                                         static_cast<SCAN_LOCATION>(location), rotated_rect);
      if (box_mat.empty()) {
        vyr_log(0, "box_mat error.");
        continue;
      }
      if (check_crnn_extract_en_result(rotate_mat, rotated_rect) != 0) {
        vyr_log(0, "check_crnn_extract_en_result error = %d", -1);
        continue;
      }
      cv::GaussianBlur(box_mat, box_mat, cv::Size(3, 3), 1.0, 0.0);
      if (readNumber(readers.recognise, box_mat, text, location) == 0) {
        if (!confident(text, "visa no") || !checkVisaText(&text, location)) continue;
        vyr::copy_text(result.add_id, text.text.c_str());
        visa_layout = location;
        continue;
      }
      vyr_log(0, "scanVisaNo error = %d. need exe scanVisaNo_Ext.", -1);
      if (readNumberExt(readers.recognise, box_mat, text) != 0) {
        vyr_log(0, "scanVisaNo_Ext error = %d", -1);
        continue;
      }
      if (!confident(text, "visa no") || !checkVisaNo_Ext(&text)) continue;
      vyr::copy_text(result.add_id, text.text.c_str());
      return 0;
    }

    // A category record.
    const double t0 = vyr_get_current_time();
    cv::Mat category_box_mat;
    int found = 0;
    if (visa_layout == VISA_ISSUE_NO_BOTTOM && location == VISA_ISSUE_CATEGORY_MID) {
      found = readers.category_box(rotate_mat, category_box_mat, cv::Size(11, 5), VISA_ISSUE_CATEGORY_MID);
    } else if (visa_layout == VISA_ISSUE_NO_TOP && location == VISA_ISSUE_CATEGORY_LEFT) {
      found = readers.category_box(rotate_mat, category_box_mat, cv::Size(13, 9), VISA_ISSUE_CATEGORY_LEFT);
    } else if (visa_layout == -1) {
      vyr_log(0, "no visa type. ");
      return -41;
    } else {
      continue;
    }
    if (found != 0) {
      vyr_log(0, location == VISA_ISSUE_CATEGORY_MID ? "VISA_ISSUE_CATEGORY_MID detect failed. ret=%d. "
                                                     : "VISA_ISSUE_CATEGORY_LEFT detect failed. ret=%d. ",
              found);
      return -41;
    }
    vyr_log(0, "detect_category_box cost %f ms", vyr_get_current_time() - t0);
    if (readCategory(readers.recognise, category_box_mat, text) != 0) {
      vyr_log(0, "scan_category error = %d", -1);
      continue;
    }
    if (!confident(text, "visa category") || !checkVisaText(&text, location)) continue;
    vyr::copy_text(result.category, text.text.c_str());
    return 0;
  }
  return 0;
}
