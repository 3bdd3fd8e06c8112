#include "card_scan_pattern.h"

#include <cstring>
#include <exception>
#include <string>

#include "card_scan_apec.h"
#include "char_segment.h"
#include "enname.h"
#include "fixed_text.h"
#include "global.h"
#include "matchocr.h"
#include "passport_scan.h"
#include "preprocess.h"
#include "scan_utils.h"
#include "verify.h"
#include "vyr_log.h"

namespace {

constexpr std::size_t kPermitBoxes = 60;
constexpr int kLineLength = 30;
constexpr int kLine2 = 44;       // MRZ-text index of line-2 position 0
constexpr int kNameLength = 16;  // line-2 positions 0-15
constexpr int kCenturyPos = 18;  // line-2 position of the birth-date century

const char* tf(bool b) { return b ? "true" : "false"; }

// A date of line 1 with its check digit: the check digit first, the date's
// plausibility only when that holds.
bool checkDateItem(const char* label, int start) {
  char item[8] = {0};
  std::memcpy(item, passport_ocr_result.mrz + start, 7);
  const bool valid = verify(item) && verifyDate(item);
  vyr_log(0, "%s: %s, v:%s", label, item, tf(valid));
  return valid;
}

const char* centuryOf(char letter) {
  switch (letter) {
    case 'A': return "18";
    case 'B': return "19";
    case 'C': return "20";
    default: return nullptr;
  }
}

int readPermit(cv::Mat& card, std::vector<cv::Rect>& boxes, OCR_RESULT& res, cv::Mat& line3) {
  clearResult();
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  char* mrz = r.mrz;
  if (boxes.size() != kPermitBoxes) {
    vyr_log(0, "posRect size %d error", static_cast<int>(boxes.size()));
    return MRZ_ERR_BOX_COUNT;
  }

  // Document code.
  if (process_matchocr(wl_let, lineformat_90_head, "L", -1) != 0) return MRZ_ERR_MATCH;
  r.mrz_type = 2;
  if (ocr_line_chars(1, mrz, 0, 2, 'L') < 0) return MRZ_ERR_HEAD;
  if (mrz[0] != 'C') return MRZ_ERR_UNSUPPORTED;
  const char kind = mrz[1];
  if (kind == 'P') return cardMatchOcrApec(card, boxes, res, line3);
  if (kind != 'R' && kind != 'T') return MRZ_ERR_UNSUPPORTED;

  if (process_matchocr(wl_num, lineformat_60, "N", -1) != 0) return MRZ_ERR_MATCH;
  if (process_matchocr(wl_let, lineformat_60, "L", -1) != 0) return MRZ_ERR_MATCH;

  // First character of the card number: a digit on the Taiwan permit, H
  // (Hong Kong) or M (Macau) on the other.
  int certType = CERT_TAIWAN_RESIDENT;
  if (kind == 'T') {
    if (process_matchocr(wl_num, lineformat_60_N, "N", -1) != 0) return MRZ_ERR_MATCH;
  } else {
    if (process_matchocr(wl_let, lineformat_60_L, "L", -1) != 0) return MRZ_ERR_MATCH;
    if (ocr_line_chars(1, mrz, 2, 1, 'L') < 0) return MRZ_ERR_DOC_NO;
    if (mrz[2] != 'H' && mrz[2] != 'M') return MRZ_ERR_DOC_NO;
    certType = CERT_HK_MACAU_RESIDENT;
  }

  if (ocr_line_chars(1, mrz, 22, 1, 'L') < 0) return MRZ_ERR_SEX;
  if (mrz[22] != 'M' && mrz[22] != 'F') return MRZ_ERR_SEX;
  vyr::copy_text(r.sex, mrz + 22, 1);
  r.sex_valid = 1;

  // The birth date is tested before the expiry date, though it follows it.
  if (ocr_line_chars(1, mrz, 23, 7, 'N') < 0) return MRZ_ERR_BIRTHDAY;
  if (!checkDateItem("birthday", 23)) return MRZ_ERR_BIRTHDAY;
  if (ocr_line_chars(1, mrz, 15, 7, 'N') < 0) return MRZ_ERR_EXPIRY;
  if (!checkDateItem("expired", 15)) return MRZ_ERR_EXPIRY;

  // Card number: position 2 (re-read above for CR, covered by the check
  // digit for CT) and positions 3-11.
  if (ocr_line_chars(1, mrz, 3, 9, 'N') < 0) return MRZ_ERR_DOC_NO;
  char number[11] = {0};
  std::memcpy(number, mrz + 2, 10);
  const bool numberValid = verify(number);
  vyr_log(0, "id: %s, v:%s", number, tf(numberValid));
  if (!numberValid) return MRZ_ERR_DOC_NO;

  if (ocr_line_chars(2, mrz, kCenturyPos, 1, 'L') < 0) return MRZ_ERR_HEAD;

  char name[kNameBufSize] = {0};
  std::memcpy(name, mrz + kLine2, kNameLength);
  if (extract_en_name(g_rapidRec_line_2, g_posRect2_rgb, 0, kNameLength, name) != 0) return MRZ_ERR_NAME;
  std::memcpy(mrz + kLine2, name, kNameLength);
  const int decoded = get_chinese_name(name);
  if (decoded != 0) {
    vyr_log(0, "get_chinese_name=%d", decoded);
    return MRZ_ERR_NAME;
  }

  // Tested before anything is written, so that a bad century never leaves
  // a record that reads as a success.
  const char* century = centuryOf(mrz[kLine2 + kCenturyPos]);
  if (century == nullptr) return MRZ_ERR_BIRTHDAY;

  // The MRZ text is handed out whole, runs that no check covers included.
  std::string classes(lineformat_60);
  classes[0] = classes[1] = 'L';
  classes[2] = kind == 'T' ? 'N' : 'L';
  if (reread_blanks(classes.c_str(), mrz, kLineLength) != 0) return MRZ_ERR_MATCH;

  res.status = 1;
  res.cert_type = certType;
  vyr::copy_text(res.certificate_name,
                 certType == CERT_HK_MACAU_RESIDENT ? "港澳居民来往内地通行证" : "台湾居民来往大陆通行证");
  std::size_t n = vyr::copy_text(res.id, mrz + 2, 9);
  while (n > 0 && res.id[n - 1] == '<') res.id[--n] = '\0';
  vyr::copy_text(res.name, name);
  char birthday[9] = {0};
  std::memcpy(birthday, century, 2);
  std::memcpy(birthday + 2, mrz + 23, 6);
  vyr::copy_text(res.birthday, birthday);
  vyr::copy_text(res.sex, mrz[22] == 'M' ? "男" : "女");
  vyr::copy_text(res.valid_to, mrz + 15, 6);
  vyr::copy_text(res.category, "其它");
  vyr::copy_field(res.mrz, r.mrz);
  res.mrz_type = r.mrz_type;
  res.check_flags[0] = 1;  // birth date
  res.check_flags[1] = 1;  // expiry date
  res.check_flags[2] = 1;  // card number
  res.check_flags[5] = 1;  // sex
  return 0;
}

}  // namespace

int getBackRslt2(cv::Mat card, cv::Mat line1, cv::Mat line2, cv::Mat line3) {
  try {
    // Binarised in place below: never the caller's pixels.
    cv::Mat grey1 = greyPlane(line1), grey2 = greyPlane(line2);
    if (grey1.data == line1.data) grey1 = grey1.clone();
    if (grey2.data == line2.data) grey2 = grey2.clone();
    preprocess_card(grey1, grey2, grey1, grey2);
    clearCardResult();
    int count1 = 0, count2 = 0;
    if (char_segment(1, grey1, grey2, line1, line2, count1, count2) != 0) return -1;
    cv::bitwise_not(g_line12, g_line12_2);
    return cardMatchOcr(card, g_posRect, card_result, line3);
  } catch (const std::exception& e) {
    vyr_log(1, "getBackRslt2: %s", e.what());
  }
  clearCardResult();
  return -1;
}

int cardMatchOcr(cv::Mat& card, std::vector<cv::Rect>& boxes, OCR_RESULT& result, cv::Mat& line3) {
  try {
    return readPermit(card, boxes, result, line3);
  } catch (const std::exception& e) {
    vyr_log(1, "cardMatchOcr: %s", e.what());
  }
  return MRZ_ERR_GENERIC;
}
