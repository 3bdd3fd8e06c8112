#include "passport_visa_utils.h"

#include <cstring>

#include "fixed_text.h"
#include "global.h"
#include "matchocr.h"
#include "passport_visa.h"
#include "vyr_log.h"

namespace {

// The working copy of a check: 99 characters and the NUL.
constexpr std::size_t kTextCharSize = 100;

const char* const kCategoryOne = "CDGZFMLRTW";
const char* const kCategoryTwoFirst = "QXSJ0";
const char* const kCategoryTwoSecond = "12IZ";

// c is one of the first `n` characters of set; the NUL never is.
bool inSet(char c, const char* set, std::size_t n) {
  return c != '\0' && std::memchr(set, c, n) != nullptr;
}

// The capital letters and digits: wl_2 without its leading '<'.
bool isLetterOrDigit(char c) { return inSet(c, wl_2 + 1, std::strlen(wl_2 + 1)); }
// The digits: wl_num without its trailing '<'.
bool isDigit(char c) { return inSet(c, wl_num, std::strlen(wl_num) - 1); }

// Rewrites text from the working copy and logs the change.
void repairCategory(TextLine* text, char* text_char, std::size_t at, char to) {
  vyr_log(0, "category : %s", text->text.c_str());
  text_char[at] = to;
  text->text = text_char;
  vyr_log(0, "change to : %s", text->text.c_str());
}

bool checkNumber(TextLine* text, char* text_char, int kind) {
  if (kind == 0) {
    bool replaced = false;
    const std::size_t length = std::strlen(text_char);
    for (std::size_t i = 2; i <= 7 && i < length; ++i)
      if (text_char[i] == 'O') {
        text_char[i] = '0';
        replaced = true;
      }
    if (replaced) {
      text->text = text_char;
      vyr_log(0, "replace text_line->text: %s", text->text.c_str());
    }
  }
  const std::size_t n = text->scores.size();
  const std::size_t expected = kind == 4 ? 9 : 8;
  const std::size_t leading = kind == 1 ? 1 : 2;
  if (n != expected) {
    vyr_log(0, "check visa no cnt error !");
    return false;
  }
  bool leadOk = true;
  for (std::size_t i = 0; i < leading; ++i)
    if (!isLetterOrDigit(text_char[i])) {
      vyr_log(0, "check visa no first char error !");
      leadOk = false;
    }
  if (!leadOk) return false;
  for (std::size_t i = leading; i < expected; ++i)
    if (!isDigit(text_char[i])) {
      vyr_log(0, "check visa no non_first char error !");
      return false;
    }
  return true;
}

bool checkCategory(TextLine* text, char* text_char) {
  const std::size_t n = text->scores.size();
  if (n == 1) {
    if (inSet(text_char[0], kCategoryOne, std::strlen(kCategoryOne))) return true;
    vyr_log(0, "check visa category first char error ! char=%c. ", text_char[0]);
    return false;
  }
  if (n != 2) {
    vyr_log(0, "check visa category cnt error ! cnt=%d", static_cast<int>(n));
    return false;
  }
  if (!inSet(text_char[0], kCategoryTwoFirst, std::strlen(kCategoryTwoFirst))) {
    vyr_log(0, "check visa category first char error !char=%c. ", text_char[0]);
    return false;
  }
  if (text_char[0] == '0') repairCategory(text, text_char, 0, 'Q');
  if (!inSet(text_char[1], kCategoryTwoSecond, std::strlen(kCategoryTwoSecond))) {
    vyr_log(0, "check visa category non_first char error ! num=%d. ",
            static_cast<int>(static_cast<unsigned char>(text_char[1])));
    return false;
  }
  if (text_char[1] == 'I') repairCategory(text, text_char, 1, '1');
  if (text_char[1] == 'Z') repairCategory(text, text_char, 1, '2');
  return true;
}

}  // namespace

void clearVisaIssueInfo() {
  for (PASSPORT_ROTATED_STRUCT& r : g_rotated_struct) {
    r.line_rect.width = 0.f;
    r.line_rect.height = 0.f;
    r.rotate_angle = 0.f;
    r.has_inverse = false;
    r.crop_x = 0;
    r.crop_y = 0;
    r.src_offset_x = 0;
    r.src_offset_y = 0;
  }
  g_point_list.clear();
}

// ---- MRZ-to-band mapping and clamps ---------------------------------------------

void get_roi_map_point(cv::Point2f p, cv::Point2f* out, float) {
  if (out == nullptr) return;
  const PASSPORT_ROTATED_STRUCT& r = g_get_issue_addr;
  const float e = static_cast<float>(g_line1_edge);
  const float u = p.x - e + static_cast<float>(r.crop_x);
  const float v = p.y - e + static_cast<float>(r.crop_y);
  double X = u;
  double Y = v;
  const cv::Mat& m = r.inverse_mat;
  if (m.rows == 2 && m.cols == 3 && m.type() == CV_64F) {
    X = m.at<double>(0, 0) * u + m.at<double>(0, 1) * v + m.at<double>(0, 2);
    Y = m.at<double>(1, 0) * u + m.at<double>(1, 1) * v + m.at<double>(1, 2);
  }
  out->x = static_cast<float>(X) - static_cast<float>(r.src_offset_x) + r.line_rect.x;
  out->y = static_cast<float>(Y) - static_cast<float>(r.src_offset_y) + r.line_rect.y;
}

void get_valid_point(cv::Point2f* p, cv::Size size) {
  if (p == nullptr) return;
  const float right = static_cast<float>(size.width - 1);
  const float bottom = static_cast<float>(size.height - 1);
  if (p->x < 0.f) p->x = 0.f;
  if (p->x > right) p->x = right;
  if (p->y < 0.f) p->y = 0.f;
  if (p->y > bottom) p->y = bottom;
}

void get_valid_rect(cv::Rect* r, cv::Size size) {
  if (r == nullptr) return;
  if (r->x < 0) r->x = 0;
  if (r->x + r->width >= size.width) r->width = size.width - r->x - 1;
  if (r->y < 0) r->y = 0;
  if (r->y + r->height >= size.height) r->height = size.height - r->y - 1;
}

// ---- checks ----------------------------------------------------------------------------

bool checkVisaText(TextLine* text, int kind) {
  if (text == nullptr) return false;
  const bool tooLong = text->text.size() >= kTextCharSize;
  char text_char[kTextCharSize];
  vyr::copy_text(text_char, text->text.c_str());
  if (static_cast<unsigned>(kind) > 4) return true;
  if (tooLong) {
    vyr_log(0, "check visa text too long: %d bytes", static_cast<int>(text->text.size()));
    return false;
  }
  if (kind == 2 || kind == 3) return checkCategory(text, text_char);
  return checkNumber(text, text_char, kind);
}

bool checkVisaNo_Ext(TextLine* text) {
  if (text == nullptr) return false;
  if (text->scores.size() != 9 || text->text.size() < 9) {
    vyr_log(0, "check visa ext no cnt error !");
    return false;
  }
  for (std::size_t i = 0; i < 9; ++i)
    if (!isDigit(text->text[i])) {
      vyr_log(0, "check visa no char error !");
      return false;
    }
  return true;
}
