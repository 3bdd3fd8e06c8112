#include "result.h"

#include <cstring>
#include <string>
#include <string_view>

#include "fixed_text.h"
#include "global.h"
#include "vyr_log.h"

namespace {

// Enough blanks for the widest blank-filled field (the 88-character MRZ).
constexpr char kBlanks[] =
    "                                                                                        "
    "        ";
static_assert(sizeof(kBlanks) > 88, "blank source too short");

// Fills a field with n blanks and a NUL.
template <std::size_t N>
void fill_blanks(char (&field)[N], std::size_t n) {
  static_assert(N > 0, "empty field");
  vyr::copy_text(field, kBlanks, n);
}

// Empties a text: a NUL in front, the bytes behind keep what they held.
template <std::size_t N>
void empty_text(char (&field)[N]) {
  vyr::copy_text(field, "");
}

// The text of a fixed-width field, up to its NUL or its width.
template <std::size_t N>
std::string_view field_text(const char (&field)[N]) {
  return std::string_view(field, strnlen(field, N));
}

struct CertType {
  int type;
  const char* name;
};

// The certificate type that an MRZ text's document code names. Only the first
// `width` bytes of mrz are looked at, and none behind its NUL, so a short text
// counts as missing the later characters.
CertType certificate_type_of(const char* mrz, std::size_t width) {
  const std::size_t len = mrz ? strnlen(mrz, width < 45 ? width : 45) : 0;
  auto at = [&](std::size_t i) { return i < len ? mrz[i] : '\0'; };
  switch (at(0)) {
    case 'P': {
      const bool chn = at(2) == 'C' && at(3) == 'H' && at(4) == 'N';
      const char c1 = at(1);
      const char c44 = at(44);
      if (chn && ((c44 == 'X' && c1 == '<') || (c44 == 'R' && (c1 == '<' || c1 == 'L'))))
        return {CERT_EXIT_ENTRY_PERMIT, "中华人民共和国出入境通行证"};
      return {CERT_PASSPORT, "护照"};
    }
    case 'R':
      return {CERT_RESIDENCE_PERMIT, "外国人居留许可证"};
    case 'S':
      return {CERT_SEAMAN, "海员证"};
    case 'T':
      return {CERT_TAIWAN_PERMIT, "台湾居民来往大陆通行证"};
    case 'V':
      return {CERT_VISA, "签证"};
    default:
      return {CERT_UNKNOWN, "未知"};
  }
}

void set_certificate_type(const char* mrz, std::size_t width, OCR_RESULT& r) {
  const CertType t = certificate_type_of(mrz, width);
  r.cert_type = t.type;
  vyr::copy_text(r.certificate_name, t.name);
}

}  // namespace

void clearResult() {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  r.status = 0;
  fill_blanks(r.mrz, 88);
  std::memset(r.char_conf, 0, sizeof(r.char_conf));
  fill_blanks(r.spare_text, 50);
  std::memset(r.spare_bytes, 0, 15);
  r.spare_ints[0] = 0;
  r.spare_int = 0;
  r.id_valid = 0;
  fill_blanks(r.id, 10);
  r.nationality_valid = 0;
  fill_blanks(r.nationality, 3);
  r.issue_country_valid = 0;
  fill_blanks(r.issue_country, 3);
  r.birthday_valid = 0;
  fill_blanks(r.birthday, 7);
  r.sex_valid = 0;
  fill_blanks(r.sex, 1);
  r.expired_valid = 0;
  fill_blanks(r.expired, 7);
  r.option_valid = 0;
  fill_blanks(r.option, 15);
  r.final_valid = 0;
  fill_blanks(r.final_check, 1);
  r.mrz_type = 0;
}

void clearCardResult() { clearOcrResult(card_result); }

void clearOcrResult(OCR_RESULT& r) {
  std::memset(&r, 0, sizeof(r));
  r.status = -1;
  r.cert_type = 0;
  r.mrz_type = -1;
  r.mrz_state = -1;
}

int copy_ocr_result(PASSPORT_OCR_RESULT& src, OCR_RESULT& dst) {
  dst.status = src.status;
  set_certificate_type(src.mrz, sizeof(src.mrz), dst);

  // Document number without its check digit and without trailing fillers.
  std::size_t n = vyr::copy_text(dst.id, src.id, 9);
  while (n > 0 && dst.id[n - 1] == '<') dst.id[--n] = '\0';

  vyr::copy_field(dst.nationality, src.nationality);
  empty_text(dst.ethnicity);
  empty_text(dst.address);
  vyr::copy_text(dst.birthday, src.birthday, 6);  // YYMMDD, fillers kept
  empty_text(dst.birth_at);
  if (src.sex[0] == 'M') {
    vyr::copy_text(dst.sex, "男");
  } else if (src.sex[0] == 'F') {
    vyr::copy_text(dst.sex, "女");
  }
  empty_text(dst.valid_from);
  // An expiry date never keeps a filler: each one becomes a blank.
  n = vyr::copy_text(dst.valid_to, src.expired, 6);
  for (std::size_t i = 0; i < n; ++i)
    if (dst.valid_to[i] == '<') dst.valid_to[i] = ' ';
  empty_text(dst.issue_date);
  empty_text(dst.issue_by);
  empty_text(dst.issue_at);

  // The issuing state as the MRZ text has it (characters 2 to 4).
  const std::size_t mrz_len = strnlen(src.mrz, sizeof(src.mrz));
  if (mrz_len > 2)
    vyr::copy_text(dst.issue_country, src.mrz + 2, mrz_len - 2 < 3 ? mrz_len - 2 : 3);
  else
    empty_text(dst.issue_country);

  empty_text(dst.issue_count);
  vyr::copy_field(dst.mrz, src.mrz);
  dst.mrz_state = 0;
  empty_text(dst.category);
  empty_text(dst.add_id);
  dst.mrz_type = src.mrz_type;
  return 0;
}

int copy_ocr_result(OCR_RESULT& src, OCR_RESULT& dst) {
  dst.status = src.status;
  dst.cert_type = src.cert_type;
  vyr::copy_field(dst.certificate_name, src.certificate_name);
  vyr::copy_field(dst.id, src.id);
  vyr::copy_field(dst.name, src.name);
  vyr::copy_field(dst.name_en, src.name_en);
  vyr::copy_field(dst.nationality, src.nationality);
  vyr::copy_field(dst.ethnicity, src.ethnicity);
  vyr::copy_field(dst.address, src.address);
  vyr::copy_field(dst.birthday, src.birthday);
  vyr::copy_field(dst.birth_at, src.birth_at);
  vyr::copy_field(dst.sex, src.sex);
  vyr::copy_field(dst.valid_from, src.valid_from);
  vyr::copy_field(dst.valid_to, src.valid_to);
  vyr::copy_field(dst.issue_date, src.issue_date);
  vyr::copy_field(dst.issue_by, src.issue_by);
  vyr::copy_field(dst.issue_at, src.issue_at);
  vyr::copy_field(dst.issue_country, src.issue_country);
  vyr::copy_field(dst.issue_count, src.issue_count);
  vyr::copy_field(dst.add_id, src.add_id);
  vyr::copy_field(dst.category, src.category);
  vyr::copy_field(dst.mrz, src.mrz);
  dst.mrz_state = src.mrz_state;
  dst.mrz_type = src.mrz_type;
  return 0;
}

int copy_passport_result(PASSPORT_OCR_RESULT& src, PASSPORT_OCR_RESULT& dst) {
  dst.status = src.status;
  vyr::copy_field(dst.mrz, src.mrz);
  if (&src != &dst) std::memcpy(dst.char_conf, src.char_conf, sizeof(dst.char_conf));
  dst.id_valid = src.id_valid;
  vyr::copy_field(dst.id, src.id);
  dst.nationality_valid = src.nationality_valid;
  vyr::copy_field(dst.nationality, src.nationality);
  dst.issue_country_valid = src.issue_country_valid;
  vyr::copy_field(dst.issue_country, src.issue_country);
  dst.birthday_valid = src.birthday_valid;
  vyr::copy_field(dst.birthday, src.birthday);
  dst.sex_valid = src.sex_valid;
  vyr::copy_field(dst.sex, src.sex);
  dst.expired_valid = src.expired_valid;
  vyr::copy_field(dst.expired, src.expired);
  dst.option_valid = src.option_valid;
  vyr::copy_field(dst.option, src.option);
  dst.final_valid = src.final_valid;
  vyr::copy_field(dst.final_check, src.final_check);
  dst.mrz_type = src.mrz_type;
  return 0;
}

void copy_certificate_type(char* mrz, OCR_RESULT& r) {
  // The text has no declared width: look no further than character 44.
  set_certificate_type(mrz, 45, r);
}

void print_passport_result(OCR_RESULT& r) {
  if (g_scan_none == 1) return;
  std::string t;
  t.reserve(1024);
  t += "证件名称:";
  t += field_text(r.certificate_name);
  t += "\n证件类型:";
  t += std::to_string(r.cert_type);
  t += "\n机读类型:";
  if (r.mrz_type == 0) t += "MRVA";
  else if (r.mrz_type == 1) t += "MRVB";
  t += "\n证件号码:";
  t += field_text(r.id);
  t += "\n姓名:";
  t += field_text(r.name);
  t += "\n姓名(eng):";
  t += field_text(r.name_en);
  t += "\n国籍:";
  t += field_text(r.nationality);
  t += "\n住址:";
  t += field_text(r.address);
  t += "\n生日:";
  t += field_text(r.birthday);
  t += "\n出生地:";
  t += field_text(r.birth_at);
  t += "\n性别:";
  t += field_text(r.sex);
  t += "\n有效起始日:";
  t += field_text(r.valid_from);
  t += "\n有效终止日:";
  t += field_text(r.valid_to);
  t += "\n签发日期:";
  t += field_text(r.issue_date);
  t += "\n发证机关:";
  t += field_text(r.issue_by);
  t += "\n签发地:";
  t += field_text(r.issue_at);
  t += "\n签发国:";
  t += field_text(r.issue_country);
  t += "\n签证种类:";
  t += field_text(r.category);
  t += "\n附加号码:";
  t += field_text(r.add_id);
  t += "\n签发次数:";
  t += field_text(r.issue_count);
  t += "\n机读区:";
  t += field_text(r.mrz);
  vyr_log(0, "%s", t.c_str());
}
