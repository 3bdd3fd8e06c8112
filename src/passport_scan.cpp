#include "passport_scan.h"

#include <cstring>
#include <exception>

#include "check_verify.h"
#include "enname.h"
#include "fixed_text.h"
#include "global.h"
#include "matchocr.h"
#include "scan_utils.h"
#include "verify.h"
#include "vyr_log.h"

namespace {

bool isDocCode(char c) { return c == 'P' || c == 'R' || c == 'S' || c == 'T' || c == 'V'; }
bool isUpper(char c) { return c >= 'A' && c <= 'Z'; }
bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isOor0(char c) { return c == 'O' || c == '0'; }
bool issuedBy(const char* mrz, const char* state) { return std::strncmp(mrz + 2, state, 3) == 0; }

// O/0 repair of the five characters in front of a residence permit's visa
// number (line-2 positions 29 to 33), each change visible to the next test.
// True when a character changed.
bool repairFive(char* s) {
  char before[5];
  std::memcpy(before, s, 5);
  if (s[0] == 'O' && isDigit(s[1]))
    s[0] = '0';
  else if (s[0] == '0' && isUpper(s[1]))
    s[0] = 'O';
  for (int i = 1; i <= 3; ++i) {
    if (s[i] == 'O' && isDigit(s[i - 1]) && isDigit(s[i + 1]))
      s[i] = '0';
    else if (s[i] == '0' && isUpper(s[i - 1]) && isUpper(s[i + 1]))
      s[i] = 'O';
  }
  if (s[4] == 'O' && isDigit(s[3]))
    s[4] = '0';
  else if (s[4] == '0' && isUpper(s[3]))
    s[4] = 'O';
  return std::memcmp(before, s, 5) != 0;
}

// In the name field of a 2 x 44 line 1, after the first run of three fillers,
// a 'C' or 'K' standing alone between two fillers is a stray mark.
void repairNameFillers(char* mrz) {
  int k = -1;
  for (int i = 0; i <= 34; ++i)
    if (mrz[i + 5] == '<' && mrz[i + 6] == '<' && mrz[i + 7] == '<') {
      k = i;
      break;
    }
  if (k < 0 || k > 32) return;
  for (int j = k; j <= 32; ++j)
    if (mrz[j + 7] == '<' && mrz[j + 9] == '<' && (mrz[j + 8] == 'C' || mrz[j + 8] == 'K'))
      mrz[j + 8] = '<';
}

// Composite check of a 2 x 44 Chinese residence permit; when it fails, an O/0
// repair of line-2 positions 29 to 33 that makes it pass is kept.
void repairResidenceComposite() {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  PASSPORT_OCR_RESULT copy = r;
  if (checkFinal(copy, 87)) return;
  char five[6] = {0};
  std::memcpy(five, r.mrz + 72, 5);
  if (!repairFive(five)) return;
  std::memcpy(copy.mrz + 72, five, 5);
  std::memcpy(copy.option, five, 5);
  if (!checkFinal(copy, 87)) return;
  std::memcpy(r.mrz + 72, five, 5);
  std::memcpy(r.option, five, 5);
}

// The check digit weighs a character by its value modulo 10, so it cannot
// tell a digit from the letter of the same weight (0 from U, 8 from S, 6 from
// G ...), and one in ten random misreadings of a run passes it too. The
// matched characters of an alphanumeric line-2 item that carries its own
// check digit (`start`, `len` with the digit) are therefore put to the
// recognisers:
// - where both agree on another reading, it replaces the matched one,
//   provided the item still passes its check digit with it;
// - when they cannot settle it and the MRZ recogniser's reading of the run
//   passes the check digit as well, two readings stand that the check cannot
//   choose between: the item is doubtful.
// False only for a doubtful item.
bool confirmAlnumItem(char* mrz, int start, int len, int type) {
  if (start < 0 || len < 2 || start + len > 44) return true;
  char* item = mrz + 44 + start;
  if (!isDigit(item[len - 1])) return true;  // no digit: nothing can confirm a reading
  const int n = static_cast<int>(g_posRect2_rgb.size());
  if (start + len - 1 > n || g_rapidRec_line_2.empty()) return true;

  // The MRZ recogniser's own reading of the run, with the item's check digit.
  char own[16] = {0};
  const cv::Rect run = cropCharRect(g_posRect2_rgb, n, start, start + len - 2, g_rapidRec_line_2.cols,
                                    g_rapidRec_line_2.rows, 2, 2, 2, 2);
  if (!run.empty()) {
    const TextLine t = reread_mrz(g_rapidRec_line_2(run), 'O');
    if (static_cast<int>(t.text.size()) == len - 1) {
      std::memcpy(own, t.text.data(), len - 1);
      own[len - 1] = item[len - 1];
    }
  }

  // Both recognisers' repairs; the O/0 choices they leave to the matched
  // text are also tried the MRZ recogniser's way.
  char scratch[sizeof(passport_ocr_result.mrz)];
  std::memcpy(scratch, mrz, sizeof(scratch));
  const bool settled = ocr_chars(g_rapidRec_line_2, g_posRect2_rgb, 2, scratch, start, len - 1, 'O') == 0;
  char repaired[2][16] = {{0}, {0}};
  std::memcpy(repaired[0], scratch + 44 + start, len);
  std::memcpy(repaired[1], repaired[0], len);
  if (own[0] != '\0')
    for (int i = 0; i < len - 1; ++i)
      if (isOor0(own[i]) && isOor0(repaired[1][i])) repaired[1][i] = own[i];
  for (char* candidate : repaired) {
    if (std::memcmp(candidate, item, len) == 0) break;  // the matched reading stands as it is
    if (std::memchr(candidate, ' ', len) != nullptr || !verify(candidate)) continue;
    vyr_log(0, "item %d+%d: %.*s -> %s", start, len, len, item, candidate);
    std::memcpy(item, candidate, len);
    save_verify_item(candidate, true, type);
    break;
  }
  // A repair that stopped at a position the recognisers could not settle
  // may be partial: the MRZ recogniser's own reading still has a say.
  if (settled || own[0] == '\0') return true;

  bool differs = false;
  for (int i = 0; i < len - 1; ++i) differs = differs || !check_eq(own[i], item[i]);
  if (!differs || std::memchr(own, ' ', len) != nullptr || !verify(own)) return true;
  vyr_log(0, "item %d+%d: %.*s or %s", start, len, len, item, own);
  return false;
}

int readMrz(std::vector<cv::Rect>& boxes, OCR_RESULT& res) {
  const std::size_t nBoxes = boxes.size();
  const char* format = nullptr;
  if (nBoxes == 72)
    format = lineformat_72;
  else if (nBoxes == 88)
    format = lineformat;
  else
    return MRZ_ERR_BOX_COUNT;
  const bool td3 = nBoxes == 88;

  clearResult();
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  char* mrz = r.mrz;
  r.mrz_type = td3 ? 0 : 1;

  if (process_matchocr(wl_num, format, "N", -1) != 0) return MRZ_ERR_MATCH;
  if (process_matchocr(wl_let, format, "L", -1) != 0) return MRZ_ERR_MATCH;
  if (process_matchocr(wl_2, format, "O", -1) != 0) return MRZ_ERR_MATCH;

  // Document head: code and issuing state.
  if (ocr_chars(g_rapidRec_line_1, g_posRect1_rgb, 1, mrz, 0, 5, 'L') < 0) return MRZ_ERR_HEAD;
  if (!verifyHead5(mrz)) return isDocCode(mrz[0]) ? MRZ_ERR_HEAD : MRZ_ERR_UNSUPPORTED;

  if (td3) {
    if (ocr_chars(g_rapidRec_line_2, g_posRect2_rgb, 2, mrz, 0, 1, 'O') < 0) return MRZ_ERR_DOC_NO;
    if (ocr_chars(g_rapidRec_line_2, g_posRect2_rgb, 2, mrz, 4, 1, 'O') < 0) return MRZ_ERR_DOC_NO;
    if (ocr_chars(g_rapidRec_line_2, g_posRect2_rgb, 2, mrz, 9, 1, 'N') < 0) return MRZ_ERR_DOC_NO;
    if (ocr_chars(g_rapidRec_line_2, g_posRect2_rgb, 2, mrz, 43, 1, 'N') < 0) return MRZ_ERR_HEAD;
  }

  vyr::copy_text(r.issue_country, mrz + 2, 3);
  r.issue_country_valid = 1;

  if (ocr_chars(g_rapidRec_line_2, g_posRect2_rgb, 2, mrz, 20, 1, 'L') < 0) return MRZ_ERR_SEX;
  if (mrz[64] != 'M' && mrz[64] != 'F') return MRZ_ERR_SEX;
  vyr::copy_text(r.sex, mrz + 64, 1);
  r.sex_valid = 1;

  if (!check_verify_mrz_item("birthday", mrz, 44, 2, 13, 7, 'N', ITEM_BIRTHDAY)) return MRZ_ERR_BIRTHDAY;
  if (!check_verify_mrz_item("expired", mrz, 44, 2, 21, 7, 'N', ITEM_EXPIRED)) return MRZ_ERR_EXPIRY;
  if (!check_verify_mrz_item("id", mrz, 44, 2, 0, 10, 'O', ITEM_DOC_NO)) return MRZ_ERR_DOC_NO;
  if (!confirmAlnumItem(mrz, 0, 10, ITEM_DOC_NO)) return MRZ_ERR_DOC_NO;
  if (!check_verify_mrz_item("国籍", mrz, 44, 2, 10, 3, 'L', ITEM_NATIONALITY)) return MRZ_ERR_NATIONALITY;

  const int compositeRead = ocr_one_char(g_rapidRec_line_2, g_posRect2_rgb, 2, mrz, td3 ? 43 : 35, 'N');
  if (td3) repairNameFillers(mrz);
  if (compositeRead < 0) return MRZ_ERR_HEAD;

  // Optional data.
  const bool chinaResidence = mrz[0] == 'R' && issuedBy(mrz, "CHN");
  bool residence = false;
  char visaNo[20] = {0};
  bool optionOk = false;
  if (!td3) {
    optionOk = check_verify_mrz_item("option", mrz, 44, 2, 28, 7, 'O', ITEM_OPTION);
    if (optionOk && !confirmAlnumItem(mrz, 28, 7, ITEM_OPTION)) optionOk = false;
    residence = chinaResidence;
  } else if (chinaResidence) {
    if (process_matchocr(wl_num, lineformat_RN, "N", -1) != 0) return MRZ_ERR_MATCH;
    std::memcpy(visaNo, mrz + 77, 10);
    optionOk = check_verify_mrz_item("visa_no", mrz, 44, 2, 33, 10, 'N', ITEM_OPTION_NO);
    repairResidenceComposite();
    residence = true;
  } else {
    if (process_matchocr(wl_2, lineformat_RO, "O", -1) != 0) return MRZ_ERR_MATCH;
    optionOk = check_verify_mrz_item("option", mrz, 44, 2, 28, 15, 'O', ITEM_OPTION);
    if (optionOk && !confirmAlnumItem(mrz, 28, 15, ITEM_OPTION)) optionOk = false;
  }
  if (!optionOk && mrz[0] != 'V') return MRZ_ERR_OPTION;

  // Composite. Visas (MRV) carry no composite digit; the Chinese embassy in
  // South Africa issues passports whose composite does not hold.
  if (!checkFinal(r, 87)) {
    if (td3 && mrz[0] == 'P' && issuedBy(mrz, "CHN") && std::strncmp(mrz + 76, "ZAFA", 4) == 0) {
      vyr_log(0, "Embassy of the P.R.C in South Africa");
    } else {
      vyr_log(0, "\n>>>>>>>>>  FINAL CHECK ERROR  <<<<<<<\n");
      if (mrz[0] != 'V') return MRZ_ERR_COMPOSITE;
    }
  }

  if (passportCrnnOcr2_line1(g_rapidRec_line_1, g_posRect1_rgb) != 0) return MRZ_ERR_NAME;

  copy_ocr_result(r, res);

  // Name: Latin into name_en, a letter-coded Chinese name into name.
  vyr::copy_text(res.name, "");
  char name[kNameBufSize] = {0};
  std::memcpy(name, mrz + 5, td3 ? 39 : 31);
  const int kind = get_name(name);
  if (kind < 0) return MRZ_ERR_NAME;
  if (kind == 0)
    vyr::copy_text(res.name_en, name);
  else
    vyr::copy_text(res.name, name);

  // Category and additional number of Chinese documents.
  const bool china = issuedBy(mrz, "CHN");
  switch (mrz[0]) {
    case 'P':
      if (china && std::strchr("<LRX", mrz[1]) != nullptr && mrz[1] != '\0' &&
          (mrz[44] == 'R' || mrz[44] == 'X'))
        vyr::copy_text(res.category, "免签");
      break;
    case 'T':
      if (china) vyr::copy_text(res.category, "其它");
      break;
    case 'R':
    case 'V':
      if (residence) {
        vyr::copy_text(res.category, "居留证");
        if (td3) {
          std::memset(res.add_id, 0, sizeof(res.add_id));
          vyr::copy_text(res.add_id, visaNo, 9);
        }
      }
      if (china && !td3) {
        std::memset(res.add_id, 0, sizeof(res.add_id));
        vyr::copy_text(res.add_id, r.id, 9);
        vyr::copy_text(res.id, "");
        for (int i = 8; i >= 0 && res.add_id[i] == '<'; --i) res.add_id[i] = '\0';
      }
      break;
    default:
      break;
  }
  return 0;
}

}  // namespace

int passportCrnnOcr2_line1(cv::Mat& line, std::vector<cv::Rect>& boxes) {
  char* mrz = passport_ocr_result.mrz;
  int length = 31;
  if (passport_ocr_result.mrz_type != 1) {
    length = 39;
    if (std::strncmp(mrz + 40, "<<<<", 4) != 0 &&
        ocr_chars(g_rapidRec_line_1, g_posRect1_rgb, 1, mrz, 40, 4, 'L') < 0)
      return -1;
  }
  const int rc = extract_en_name(line, boxes, 5, length, mrz);
  return isDocCode(mrz[0]) ? rc : -37;
}

int passportMatchOcr2(cv::Mat& image, std::vector<cv::Rect>& boxes, OCR_RESULT& res) {
  (void)image;  // matching and re-reading use the hand-over images
  try {
    return readMrz(boxes, res);
  } catch (const cv::Exception& e) {
    vyr_log(1, "passportMatchOcr2: %s", e.what());
  } catch (const std::exception& e) {
    vyr_log(1, "passportMatchOcr2: %s", e.what());
  }
  return MRZ_ERR_GENERIC;
}
