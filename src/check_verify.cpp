#include "check_verify.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "fixed_text.h"
#include "global.h"
#include "ocr_o_0.h"
#include "scan_utils.h"
#include "verify.h"
#include "vyr_log.h"

namespace {

constexpr int kMrzLen = 88;  // two lines of 44, line 2 from index 44

// Optional data at stage 2: O/0 repair of the item's characters, confirmed by
// the composite check on a scratch copy of the record; first with the item as
// given, then with the template-matched characters.
bool optionByComposite(char* item, int start, int len) {
  if (start < 0 || len < 2 || start + len > kMrzLen) return false;
  const PASSPORT_OCR_RESULT& r = passport_ocr_result;
  for (int attempt = 0; attempt < 2; ++attempt) {
    char scratch[100] = {0};
    std::memcpy(scratch, r.mrz, sizeof(r.mrz));
    std::memcpy(scratch + start, attempt == 0 ? item : r.mrz + start, len);
    correctDiy_o0(scratch, scratch, start, len - 1);
    PASSPORT_OCR_RESULT copy = r;
    std::memcpy(copy.mrz + start, scratch + start, len);
    vyr::copy_text(copy.option, scratch + start, len);
    if (checkFinal(copy, 87)) {
      std::memcpy(item, scratch + start, len);
      return true;
    }
  }
  return false;
}

// Document number at stage 2: O/0 repair by the character images, confirmed
// by the check digit; first with the item as given, then with the
// template-matched characters.
bool docNoByImages(char* item, int start, int len) {
  if (start < 0 || len < 2 || start + len > kMrzLen) return false;
  const PASSPORT_OCR_RESULT& r = passport_ocr_result;
  for (int attempt = 0; attempt < 2; ++attempt) {
    char scratch[100] = {0};
    std::memcpy(scratch, r.mrz, sizeof(r.mrz));
    std::memcpy(scratch + start, attempt == 0 ? item : r.mrz + start, len);
    if (correctPassportid_o0(scratch, scratch, g_rapidRec_line_2, g_posRect2_rgb, start, len - 1)) {
      std::memcpy(item, scratch + start, len);
      return true;
    }
  }
  return false;
}

// `prefix` followed by the first nine characters of the item.
void withPrefix(char prefix, const char* item, char (&out)[11]) {
  out[0] = prefix;
  vyr::copy_text(out + 1, 10, item, 9);
}

}  // namespace

bool verify_item(char* item, int type, int stage, int, int start, int len) {
  if (item == nullptr) return false;
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  switch (type) {
    case ITEM_BIRTHDAY:
    case ITEM_EXPIRED:
      return verify(item) && verifyDate(item);
    case ITEM_SEX:
      return item[0] == 'M' || item[0] == 'F';
    case ITEM_NATIONALITY:
    case ITEM_ISSUE_STATE: {
      std::string name;
      return verifyNCode(item, name);
    }
    case ITEM_OPTION_NO:
    case ITEM_CARD_ID:
    case ITEM_11:
      return verify(item);
    case ITEM_OPTION:
      if (stage != 1 && stage != 2) return false;
      if (verify(item)) return true;
      if (r.mrz[0] == 'V') {
        // A visa's optional data carries no check digit of its own that
        // issuers keep; the composite decides.
        vyr::copy_text(r.option, item);
        if (checkFinal(r, 87)) return true;
      }
      if (stage == 1) return false;
      return optionByComposite(item, start, len);
    case ITEM_DOC_NO: {
      if (len < 1) return false;
      char& check = item[len - 1];
      if (check == 'O') check = '0';
      if (check >= 'A' && check <= 'Z') return false;
      if (stage != 1 && stage != 2) return false;
      if (stage == 1) return verify(item);
      if (verify(item)) return true;
      return docNoByImages(item, start, len);
    }
    case ITEM_LINE1_ID: {
      char text[11];
      withPrefix(r.mrz[2], item, text);
      return verify(text);
    }
    case ITEM_10: {
      char text[11];
      withPrefix(r.mrz[63], item, text);
      std::printf("%s, tmp[8]=%c\n", text, text[8]);
      return text[8] == '<' ? verify(text) : true;
    }
    default:
      return false;
  }
}

void save_verify_item(char* item, bool valid, int type) {
  if (item == nullptr) return;
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  const uint8_t v = valid ? 1 : 0;
  switch (type) {
    case ITEM_BIRTHDAY:
      vyr::copy_text(r.birthday, item, 7);
      r.birthday_valid = v;
      break;
    case ITEM_EXPIRED:
      vyr::copy_text(r.expired, item, 7);
      r.expired_valid = v;
      break;
    case ITEM_SEX:
      vyr::copy_text(r.sex, item, 1);
      r.sex_valid = v;
      break;
    case ITEM_NATIONALITY:
      vyr::copy_text(r.nationality, item, 3);
      r.nationality_valid = v;
      break;
    case ITEM_ISSUE_STATE:
      vyr::copy_text(r.issue_country, item, 3);
      r.issue_country_valid = v;
      break;
    case ITEM_OPTION_NO: {
      // The number keeps the five characters in front of it (line-2
      // positions 29 to 33) in the option field.
      char text[16] = {0};
      std::memcpy(text, r.mrz + 72, 5);
      vyr::copy_text(text + 5, 11, item, 10);
      vyr::copy_text(r.option, text, 15);
      r.option_valid = v;
      break;
    }
    case ITEM_CARD_ID:
    case ITEM_DOC_NO:
      vyr::copy_text(r.id, item, 10);
      r.id_valid = v;
      break;
    case ITEM_OPTION:
      vyr::copy_text(r.option, item, r.mrz_type == 0 ? 15 : 7);
      r.option_valid = v;
      break;
    case ITEM_LINE1_ID: {
      char text[11];
      withPrefix(r.mrz[2], item, text);
      vyr::copy_text(r.id, text, 10);
      r.id_valid = v;
      break;
    }
    case ITEM_10:
      vyr::copy_text(r.item10, item, 10);
      r.item10_valid = v;
      break;
    case ITEM_11:
      vyr::copy_text(r.item11, item, 3);
      r.item11_valid = v;
      break;
    default:
      break;
  }
}

bool check_verify_mrz_item(const char* name, char* mrz, int lineLen, int line, int start, int len,
                           char cls, int type) {
  if (name == nullptr) name = "";
  cv::Mat* image = nullptr;
  std::vector<cv::Rect>* boxes = nullptr;
  int offset = start;
  switch (line) {
    case 1:
      image = &g_rapidRec_line_1;
      boxes = &g_posRect1_rgb;
      break;
    case 2:
      image = &g_rapidRec_line_2;
      boxes = &g_posRect2_rgb;
      offset = start + 44;
      break;
    case 3:
      image = &g_rapidRec_line_3;
      boxes = &g_posRect3_rgb;
      break;
    default:
      vyr_log(0, "%s: line %d is no MRZ line", name, line);
      return false;
  }
  if (mrz == nullptr || start < 0 || len < 1 || offset + len > kMrzLen) {
    vyr_log(0, "%s: item %d+%d outside the MRZ", name, start, len);
    return false;
  }

  std::vector<char> item(len + 1, '\0');
  std::vector<char> reread(len + 1, '\0');
  std::memcpy(item.data(), mrz + offset, len);

  if (verify_item(item.data(), type, 1, 0, offset, len) && type != ITEM_SEX) {
    save_verify_item(item.data(), true, type);
    vyr_log(0, "%s: %s, v:%s", name, item.data(), "true");
    return true;
  }

  // Re-read the item from its image. Boxes that are not in the list, or a
  // crop with no area, make a failed re-read.
  bool outcome = false;
  const int nBoxes = static_cast<int>(boxes->size());
  cv::Mat crop;
  if (start + len <= nBoxes && !image->empty()) {
    if (len == 1) {
      crop = getRectImage(*image, (*boxes)[start]);
    } else {
      const int count = lineLen < nBoxes ? lineLen : nBoxes;
      const cv::Rect run = cropCharRect(*boxes, count, start, start + len - 1, image->cols, image->rows,
                                        2, 2, 2, 2);
      if (!run.empty()) crop = (*image)(run);
    }
  }
  if (!crop.empty()) {
    const TextLine t = reread_mrz(crop, cls);
    if (static_cast<int>(t.text.size()) == len) {
      std::memcpy(reread.data(), t.text.data(), len);
      if (verify_item(reread.data(), type, 2, 0, offset, len)) {
        std::memcpy(mrz + offset, reread.data(), len);
        std::memcpy(item.data(), reread.data(), len);
        outcome = true;
      }
    }
  }
  save_verify_item(item.data(), outcome, type);
  vyr_log(0, "%s: %s, v:%s", name, item.data(), outcome ? "true" : "false");
  return outcome;
}

bool verifyHead5(char* mrz) {
  if (mrz == nullptr) return false;
  char state[4] = {0};
  std::memcpy(state, mrz + 2, 3);
  const char code = mrz[0];
  if (code != 'P' && code != 'R' && code != 'S' && code != 'T' && code != 'V') return false;
  std::string name;
  return verifyNCode(state, name);
}

bool verifySex(char* s) { return s != nullptr && (s[0] == 'F' || s[0] == 'M'); }

bool verifyHead2(char* s) { return s != nullptr && s[0] == 'C'; }
