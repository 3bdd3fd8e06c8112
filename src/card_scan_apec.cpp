#include "card_scan_apec.h"

#include <cstring>
#include <exception>
#include <string>

#include "char_segment.h"
#include "check_verify.h"
#include "enname.h"
#include "fixed_text.h"
#include "global.h"
#include "matchocr.h"
#include "passport_scan.h"
#include "preprocess.h"
#include "scan_utils.h"
#include "vyr_log.h"

namespace {

constexpr int kLineLength = 30;
constexpr int kLine2 = 44;  // MRZ-text index of line-2 position 0

struct Reread {
  int line, start, count;
};
// The card number with its check digit, and the line-2 check digits.
constexpr Reread kDigitRereads[] = {{1, 5, 10}, {2, 6, 1}, {2, 14, 1}, {2, 29, 1}};

struct Item {
  const char* name;
  int line, start, length;
  char cls;
  int type;
  int failure;  // 0: the read goes on
};
constexpr Item kItems[] = {
    {"birthday", 2, 0, 7, 'N', ITEM_BIRTHDAY, MRZ_ERR_BIRTHDAY},
    {"expired", 2, 8, 7, 'N', ITEM_EXPIRED, MRZ_ERR_EXPIRY},
    {"id", 1, 5, 10, 'N', ITEM_CARD_ID, MRZ_ERR_DOC_NO},
    // A nationality missing from the code table does not stop the read.
    {"国籍", 2, 15, 3, 'L', ITEM_NATIONALITY, 0},
    {"签发国", 1, 2, 3, 'L', ITEM_ISSUE_STATE, MRZ_ERR_NATIONALITY},
};

int readApec(OCR_RESULT& res, cv::Mat& line3) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  char* mrz = r.mrz;

  // Binarised in place: never the caller's pixels.
  cv::Mat grey = greyPlane(line3);
  if (grey.data == line3.data) grey = grey.clone();
  preprocess_card_one(grey, grey);
  int count = 0;
  if (char_segment_one(1, grey, line3, count) != 0) return MRZ_ERR_BOX_COUNT;

  char line3Text[kNameBufSize] = {0};
  if (process_matchocr(wl_num, lineformat_90, "N", -1) != 0) return MRZ_ERR_MATCH;
  if (process_matchocr(wl_let, lineformat_90, "L", -1) != 0) return MRZ_ERR_MATCH;
  if (process_matchocr(wl_2, lineformat_90, "O", -1) != 0) return MRZ_ERR_MATCH;
  if (process_matchocr_one(wl_let, lineformat_line3, "L", -1, line3Text, sizeof(line3Text)) != 0)
    return MRZ_ERR_MATCH;

  for (const Reread& d : kDigitRereads)
    if (ocr_line_chars(d.line, mrz, d.start, d.count, 'N') < 0) return MRZ_ERR_HEAD;

  if (ocr_line_chars(2, mrz, 7, 1, 'L') < 0) return MRZ_ERR_SEX;
  const char sex = mrz[kLine2 + 7];
  if (sex != 'M' && sex != 'F') return MRZ_ERR_SEX;
  vyr::copy_text(r.sex, &mrz[kLine2 + 7], 1);
  r.sex_valid = 1;

  for (const Item& it : kItems)
    if (!check_verify_mrz_item(it.name, mrz, kLineLength, it.line, it.start, it.length, it.cls, it.type) &&
        it.failure != 0)
      return it.failure;

  char name[kNameBufSize] = {0};
  vyr::copy_text(name, line3Text, kLineLength);
  if (extract_en_name(g_rapidRec_line_3, g_posRect3_rgb, 0, kLineLength, name) != 0) return MRZ_ERR_NAME;
  vyr_log(0, "en_name: %s", name);
  // The printable name before anything is written, so that a name too short
  // to stand never leaves a record that reads as a success.
  if (get_name(name) != 0) return MRZ_ERR_NAME;

  // The MRZ text is handed out whole, runs that no check covers included.
  std::string classes(lineformat_90);
  classes[0] = classes[1] = 'L';
  if (reread_blanks(classes.c_str(), mrz, kLineLength) != 0) return MRZ_ERR_MATCH;

  copy_ocr_result(r, res);
  res.status = 1;
  res.cert_type = CERT_APEC;
  vyr::copy_text(res.certificate_name, "APEC商务旅行卡");
  vyr::copy_text(res.category, "APEC商务旅行卡");
  vyr::copy_text(res.name_en, name);
  return 0;
}

}  // namespace

int cardMatchOcrApec(cv::Mat& card, std::vector<cv::Rect>& boxes, OCR_RESULT& result, cv::Mat& line3) {
  (void)card;  // the lines come through the hand-over globals and line3
  (void)boxes;
  try {
    return readApec(result, line3);
  } catch (const std::exception& e) {
    vyr_log(1, "cardMatchOcrApec: %s", e.what());
  }
  return MRZ_ERR_GENERIC;
}

int get_line_total(int mrzType) {
  switch (mrzType) {
    case 1: return 36;
    case 2: return 30;
    default: return 44;
  }
}
