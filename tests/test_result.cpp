// Result records: clearing, copying, the certificate-type rule and the report.
#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "global.h"
#include "result.h"
#include "vyr_log.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr unsigned char kCanary = 0x5A;  // 'Z'

std::string field(const char* f, std::size_t width) { return std::string(f, strnlen(f, width)); }
#define FIELD(f) field(f, sizeof(f))

// Writes text into a fixed field without a terminating NUL when it fills it:
// tests need records in every state, also the malformed ones.
template <std::size_t N>
void put(char (&f)[N], const std::string& text) {
  ASSERT_LE(text.size(), N);
  std::memcpy(f, text.data(), text.size());
  if (text.size() < N) f[text.size()] = '\0';
}

// Keeps the library-wide records and switches the same in every test.
class ResultTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_passport_ = passport_ocr_result;
    saved_card_ = card_result;
    saved_scan_none_ = g_scan_none;
    saved_dummy_ = g_log_dummy;
    g_scan_none = 0;
    g_log_dummy = 0;
  }
  void TearDown() override {
    passport_ocr_result = saved_passport_;
    card_result = saved_card_;
    g_scan_none = saved_scan_none_;
    g_log_dummy = saved_dummy_;
  }

  // A working record as the MRZ reader leaves it: the two lines at 0 and 44.
  static PASSPORT_OCR_RESULT read_mrz(const std::string& line1, const std::string& line2) {
    clearResult();
    PASSPORT_OCR_RESULT r = passport_ocr_result;
    std::memcpy(r.mrz, line1.data(), std::min<std::size_t>(line1.size(), 44));
    std::memcpy(r.mrz + 44, line2.data(), std::min<std::size_t>(line2.size(), 44));
    return r;
  }

  static std::string printed(OCR_RESULT& r) {
    CaptureStdout();
    print_passport_result(r);
    return GetCapturedStdout();
  }

 private:
  PASSPORT_OCR_RESULT saved_passport_{};
  OCR_RESULT saved_card_{};
  int saved_scan_none_ = 0;
  int saved_dummy_ = 0;
};

// ---- clearing -----------------------------------------------------------------

void expect_cleared(const OCR_RESULT& r) {
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.cert_type, 0);
  EXPECT_EQ(r.mrz_type, -1);
  EXPECT_EQ(r.mrz_state, -1);
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&r);
  for (std::size_t i = offsetof(OCR_RESULT, certificate_name); i < offsetof(OCR_RESULT, mrz_type);
       ++i)
    ASSERT_EQ(b[i], 0) << "text byte " << i;
  for (unsigned char f : r.check_flags) EXPECT_EQ(f, 0);
}

TEST_F(ResultTest, ClearOcrResultWritesEveryByte) {
  OCR_RESULT r;
  std::memset(&r, kCanary, sizeof(r));
  clearOcrResult(r);
  expect_cleared(r);
}

TEST_F(ResultTest, ClearCardResultClearsTheLibraryCardRecord) {
  std::memset(&card_result, kCanary, sizeof(card_result));
  clearCardResult();
  expect_cleared(card_result);
}

TEST_F(ResultTest, ClearResultWritesExactlyTheAfterClearValues) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  std::memset(&r, kCanary, sizeof(r));
  clearResult();
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(FIELD(r.mrz), std::string(88, ' '));
  for (int c : r.char_conf) EXPECT_EQ(c, 0);
  EXPECT_EQ(FIELD(r.spare_text), std::string(50, ' '));
  for (int i = 0; i < 60; ++i) EXPECT_EQ(r.spare_bytes[i], i < 15 ? 0 : kCanary) << i;
  EXPECT_EQ(r.spare_ints[0], 0);
  for (int i = 1; i < 36; ++i) EXPECT_EQ(r.spare_ints[i], 0x5A5A5A5A) << i;
  EXPECT_EQ(r.spare_int, 0);
  const struct {
    uint8_t valid;
    std::string text;
    std::size_t blanks;
  } items[] = {{r.id_valid, FIELD(r.id), 10},
               {r.nationality_valid, FIELD(r.nationality), 3},
               {r.issue_country_valid, FIELD(r.issue_country), 3},
               {r.birthday_valid, FIELD(r.birthday), 7},
               {r.sex_valid, FIELD(r.sex), 1},
               {r.expired_valid, FIELD(r.expired), 7},
               {r.option_valid, FIELD(r.option), 15},
               {r.final_valid, FIELD(r.final_check), 1}};
  for (const auto& it : items) {
    EXPECT_EQ(it.valid, 0);
    EXPECT_EQ(it.text, std::string(it.blanks, ' '));
  }
  // The two items that nothing on the scan path uses are not touched.
  EXPECT_EQ(r.item11_valid, kCanary);
  EXPECT_EQ(r.item10_valid, kCanary);
  for (char c : r.item11) EXPECT_EQ(static_cast<unsigned char>(c), kCanary);
  for (char c : r.item10) EXPECT_EQ(static_cast<unsigned char>(c), kCanary);
  EXPECT_EQ(r.mrz_type, 0);
}

// ---- certificate type -----------------------------------------------------------

struct CertCase {
  const char* line1;
  const char* line2;
  int type;
  const char* name;
};

void PrintTo(const CertCase& c, std::ostream* os) { *os << c.line1 << " / " << c.line2; }

class CertificateType : public ResultTest, public testing::WithParamInterface<CertCase> {};

TEST_P(CertificateType, DocumentCodeNamesTheType) {
  const CertCase& c = GetParam();
  PASSPORT_OCR_RESULT src = read_mrz(c.line1, c.line2);
  OCR_RESULT dst;
  clearOcrResult(dst);
  std::memset(dst.certificate_name, 'z', sizeof(dst.certificate_name));
  EXPECT_EQ(copy_ocr_result(src, dst), 0);
  EXPECT_EQ(dst.cert_type, c.type);
  EXPECT_STREQ(dst.certificate_name, c.name);
  // The name and its NUL go to the front; the bytes behind keep their value.
  const std::size_t n = std::strlen(c.name);
  for (std::size_t i = n + 1; i < sizeof(dst.certificate_name); ++i)
    ASSERT_EQ(dst.certificate_name[i], 'z') << i;

  // The same rule from a bare MRZ text, held in a buffer of exactly its size.
  const std::string text = field(src.mrz, sizeof(src.mrz));
  std::unique_ptr<char[]> bare(new char[text.size() + 1]);
  std::memcpy(bare.get(), text.c_str(), text.size() + 1);
  OCR_RESULT r;
  clearOcrResult(r);
  copy_certificate_type(bare.get(), r);
  EXPECT_EQ(r.cert_type, c.type);
  EXPECT_STREQ(r.certificate_name, c.name);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, CertificateType,
    testing::Values(CertCase{"P<CHNZHANG<<SAN", "E12345678", 1, "护照"},
                    CertCase{"PLCHNZHANG<<SAN", "R12345678", 10, "中华人民共和国出入境通行证"},
                    CertCase{"PLCHNZHANG<<SAN", "X12345678", 1, "护照"},
                    CertCase{"P<CHNZHANG<<SAN", "X12345678", 10, "中华人民共和国出入境通行证"},
                    CertCase{"P<CHNZHANG<<SAN", "R12345678", 10, "中华人民共和国出入境通行证"},
                    CertCase{"PACHNZHANG<<SAN", "R12345678", 1, "护照"},
                    CertCase{"P<USASMITH<<JOHN", "X12345678", 1, "护照"},
                    CertCase{"P<CHXZHANG", "R12345678", 1, "护照"},
                    CertCase{"V<CHNZHANG<<SAN", "E12345678", 7, "签证"},
                    CertCase{"R<CHNSMITH", "123", 8, "外国人居留许可证"},
                    CertCase{"S<CHNWANG", "123", 9, "海员证"},
                    CertCase{"T<CHNLI", "123", 12, "台湾居民来往大陆通行证"},
                    CertCase{"I<UTOD23145890", "7408122", 0, "未知"},
                    CertCase{"C<CHNLI", "123", 0, "未知"},
                    CertCase{"Q<CHNLI", "123", 0, "未知"},
                    CertCase{"U<CHNLI", "123", 0, "未知"},
                    CertCase{"", "", 0, "未知"}));  // a freshly cleared, all-blank MRZ

TEST_F(ResultTest, CertificateTypeOfShortTextsReadsNothingBehindTheText) {
  const struct {
    const char* text;
    int type;
  } cases[] = {{"P<CHN", 1}, {"PLCHN", 1}, {"V", 7}, {"T<", 12}, {"", 0}, {"I<", 0}};
  for (const auto& c : cases) {
    // Exactly sized heap copies: any read behind the NUL is caught under ASan.
    const std::size_t n = std::strlen(c.text) + 1;
    std::unique_ptr<char[]> text(new char[n]);
    std::memcpy(text.get(), c.text, n);
    OCR_RESULT r;
    clearOcrResult(r);
    copy_certificate_type(text.get(), r);
    EXPECT_EQ(r.cert_type, c.type) << c.text;
  }
  OCR_RESULT r;
  clearOcrResult(r);
  copy_certificate_type(nullptr, r);
  EXPECT_EQ(r.cert_type, 0);
  EXPECT_STREQ(r.certificate_name, "未知");
}

// ---- copy from the working record ---------------------------------------------------

struct ItemCase {
  const char* id;        // document number and check digit
  const char* birthday;  // YYMMDD and check digit
  const char* expired;
  const char* want_id;
  const char* want_birthday;
  const char* want_valid_to;
};

void PrintTo(const ItemCase& c, std::ostream* os) {
  *os << c.id << " " << c.birthday << " " << c.expired;
}

class ItemConversion : public ResultTest, public testing::WithParamInterface<ItemCase> {};

TEST_P(ItemConversion, DropsCheckDigitsAndTreatsFillersPerField) {
  const ItemCase& c = GetParam();
  PASSPORT_OCR_RESULT src = read_mrz("P<CHNZHANG<<SAN", "E12345678");
  put(src.id, c.id);
  put(src.birthday, c.birthday);
  put(src.expired, c.expired);
  OCR_RESULT dst;
  clearOcrResult(dst);
  copy_ocr_result(src, dst);
  EXPECT_STREQ(dst.id, c.want_id);
  EXPECT_STREQ(dst.birthday, c.want_birthday);
  EXPECT_STREQ(dst.valid_to, c.want_valid_to);
}

INSTANTIATE_TEST_SUITE_P(
    Items, ItemConversion,
    testing::Values(ItemCase{"E1234567<5", "8501017", "3012315", "E1234567", "850101", "301231"},
                    ItemCase{"<<<<<<<<<<", "85<<<<<", "<<<<<<<", "", "85<<<<", "      "},
                    ItemCase{"1234567890", "<<<<<<<", "2501<<0", "123456789", "<<<<<<",
                             "2501  "},
                    ItemCase{"E12<4567<<", "0001018", "<<01014", "E12<4567", "000101", "  0101"},
                    ItemCase{"AB<<<<<<<3", "85", "25", "AB", "85", "25"}));

TEST_F(ResultTest, SexBecomesChineseAndOtherCharactersLeaveItAlone) {
  const struct {
    char sex;
    const char* before;
    const char* after;
  } cases[] = {{'M', "", "男"}, {'F', "", "女"}, {'<', "", ""},
               {'X', "", ""},   {'<', "男", "男"}, {'F', "男", "女"}};
  for (const auto& c : cases) {
    PASSPORT_OCR_RESULT src = read_mrz("P<CHN", "E1");
    src.sex[0] = c.sex;
    OCR_RESULT dst;
    clearOcrResult(dst);
    put(dst.sex, c.before);
    copy_ocr_result(src, dst);
    EXPECT_STREQ(dst.sex, c.after) << c.sex << " over '" << c.before << "'";
  }
}

TEST_F(ResultTest, CopyFromWorkingRecordFillsEmptiesAndKeepsTheRightFields) {
  PASSPORT_OCR_RESULT src =
      read_mrz("P<UTOERIKSSON<<ANNA<MARIA", "L898902C36UTO7408122F1204159ZE184226B<<<<<10");
  src.status = 3;
  src.mrz_type = 0;
  put(src.id, "L898902C3");
  put(src.nationality, "UTO");
  put(src.issue_country, "XXX");  // the item; the copy reads the MRZ text instead
  put(src.birthday, "7408122");
  put(src.sex, "F");
  put(src.expired, "1204159");

  OCR_RESULT dst;
  std::memset(&dst, 'z', sizeof(dst));
  dst.certificate_name[sizeof(dst.certificate_name) - 1] = '\0';
  put(dst.name, "ANNA MARIA");
  put(dst.name_en, "ERIKSSON");
  const uint8_t flags[8] = {1, 0, 1, 0, 1, 1, 0, 1};
  std::memcpy(dst.check_flags, flags, 8);

  EXPECT_EQ(copy_ocr_result(src, dst), 0);
  EXPECT_EQ(dst.status, 3);
  EXPECT_EQ(dst.cert_type, 1);
  EXPECT_STREQ(dst.certificate_name, "护照");
  EXPECT_STREQ(dst.id, "L898902C3");
  EXPECT_STREQ(dst.nationality, "UTO");
  EXPECT_STREQ(dst.birthday, "740812");
  EXPECT_STREQ(dst.sex, "女");
  EXPECT_STREQ(dst.valid_to, "120415");
  EXPECT_STREQ(dst.issue_country, "UTO");
  EXPECT_EQ(FIELD(dst.mrz), field(src.mrz, sizeof(src.mrz)));
  EXPECT_EQ(std::strlen(dst.mrz), 88u);
  EXPECT_EQ(dst.mrz_state, 0);
  EXPECT_EQ(dst.mrz_type, 0);

  // Emptied fields get a NUL in front; the rest of the field is unchanged.
  for (const char* f : {dst.ethnicity, dst.address, dst.birth_at, dst.valid_from, dst.issue_date,
                        dst.issue_by, dst.issue_at, dst.issue_count, dst.category, dst.add_id}) {
    EXPECT_EQ(f[0], '\0');
    EXPECT_EQ(f[1], 'z');
  }
  // The names and the check flags belong to the readers.
  EXPECT_STREQ(dst.name, "ANNA MARIA");
  EXPECT_STREQ(dst.name_en, "ERIKSSON");
  EXPECT_EQ(std::memcmp(dst.check_flags, flags, 8), 0);
}

// A working record whose texts all fill their fields without a NUL.
PASSPORT_OCR_RESULT unterminated_working_record() {
  PASSPORT_OCR_RESULT src;
  std::memset(&src, 'A', sizeof(src));
  src.status = 9;
  src.mrz_type = 1;
  src.sex[0] = 'M';
  return src;
}

TEST_F(ResultTest, CopyFromUnterminatedWorkingRecordStaysInsideEveryField) {
  PASSPORT_OCR_RESULT src = unterminated_working_record();
  OCR_RESULT dst;
  clearOcrResult(dst);
  put(dst.name, "KEEP");
  put(dst.name_en, "KEEP EN");
  EXPECT_EQ(copy_ocr_result(src, dst), 0);
  EXPECT_EQ(dst.cert_type, 0);  // 'A' is no document code
  EXPECT_STREQ(dst.id, "AAAAAAAAA");
  EXPECT_STREQ(dst.nationality, "AAAA");  // all four bytes of the item, then a NUL
  EXPECT_STREQ(dst.birthday, "AAAAAA");
  EXPECT_STREQ(dst.valid_to, "AAAAAA");
  EXPECT_STREQ(dst.issue_country, "AAA");
  EXPECT_STREQ(dst.sex, "男");
  EXPECT_EQ(FIELD(dst.mrz), std::string(89, 'A'));  // the whole 89-byte source field
  EXPECT_EQ(dst.mrz[89], '\0');
  EXPECT_STREQ(dst.name, "KEEP");
  EXPECT_STREQ(dst.name_en, "KEEP EN");
  EXPECT_EQ(dst.mrz_type, 1);
  EXPECT_EQ(dst.status, 9);
  for (unsigned char f : dst.check_flags) EXPECT_EQ(f, 0);
}

TEST_F(ResultTest, IssueCountryOfAShortMrzTextIsTakenOnlyFromTheText) {
  const struct {
    const char* mrz;
    const char* want;
  } cases[] = {{"P<", ""}, {"P<U", "U"}, {"P<UT", "UT"}, {"P<UTO", "UTO"}, {"", ""}};
  for (const auto& c : cases) {
    PASSPORT_OCR_RESULT src;
    std::memset(&src, 'B', sizeof(src));  // stale bytes behind the text
    put(src.mrz, c.mrz);
    OCR_RESULT dst;
    clearOcrResult(dst);
    copy_ocr_result(src, dst);
    EXPECT_STREQ(dst.issue_country, c.want) << c.mrz;
    EXPECT_STREQ(dst.mrz, c.mrz);
  }
}

// ---- copy between results -------------------------------------------------------------

// Fills every text of r with its own recognisable text.
void fill_texts(OCR_RESULT& r, const char* tag) {
  int i = 0;
  for (char* f : {r.certificate_name, r.id, r.name, r.name_en, r.nationality, r.ethnicity,
                  r.address, r.birthday, r.birth_at, r.sex, r.valid_from, r.valid_to,
                  r.issue_date, r.issue_by, r.issue_at, r.issue_country, r.issue_count, r.add_id,
                  r.category, r.mrz}) {
    const std::string t = tag + std::to_string(i++);  // at most 4 bytes with the NUL
    std::memcpy(f, t.c_str(), t.size() + 1);
  }
}

TEST_F(ResultTest, CopyBetweenResultsCopiesTextsAndNumbersButNotCheckFlags) {
  OCR_RESULT src;
  clearOcrResult(src);
  fill_texts(src, "s");
  src.status = 1;
  src.cert_type = 11;
  src.mrz_type = 2;
  src.mrz_state = 0;
  const uint8_t src_flags[8] = {1, 1, 1, 1, 1, 1, 1, 1};
  std::memcpy(src.check_flags, src_flags, 8);

  OCR_RESULT dst;
  std::memset(&dst, 'z', sizeof(dst));
  const uint8_t dst_flags[8] = {0, 1, 0, 1, 0, 1, 0, 1};
  std::memcpy(dst.check_flags, dst_flags, 8);

  EXPECT_EQ(copy_ocr_result(src, dst), 0);
  EXPECT_EQ(dst.status, 1);
  EXPECT_EQ(dst.cert_type, 11);
  EXPECT_EQ(dst.mrz_type, 2);
  EXPECT_EQ(dst.mrz_state, 0);
  EXPECT_EQ(std::memcmp(dst.check_flags, dst_flags, 8), 0);
  const char* s[] = {src.certificate_name, src.id,         src.name,       src.name_en,
                     src.nationality,      src.ethnicity,  src.address,    src.birthday,
                     src.birth_at,         src.sex,        src.valid_from, src.valid_to,
                     src.issue_date,       src.issue_by,   src.issue_at,   src.issue_country,
                     src.issue_count,      src.add_id,     src.category,   src.mrz};
  const char* d[] = {dst.certificate_name, dst.id,         dst.name,       dst.name_en,
                     dst.nationality,      dst.ethnicity,  dst.address,    dst.birthday,
                     dst.birth_at,         dst.sex,        dst.valid_from, dst.valid_to,
                     dst.issue_date,       dst.issue_by,   dst.issue_at,   dst.issue_country,
                     dst.issue_count,      dst.add_id,     dst.category,   dst.mrz};
  for (int i = 0; i < 20; ++i) {
    EXPECT_STREQ(d[i], s[i]) << "field " << i;
    const std::size_t n = std::strlen(s[i]);
    EXPECT_EQ(d[i][n + 1], 'z') << "field " << i << " changed behind its text";
  }
}

TEST_F(ResultTest, CopyBetweenResultsBoundsUnterminatedTexts) {
  OCR_RESULT src;
  std::memset(&src, 'x', sizeof(src));  // no text has a NUL
  src.mrz_type = 0;
  src.mrz_state = 0;
  OCR_RESULT dst;
  clearOcrResult(dst);
  copy_ocr_result(src, dst);
  const struct {
    const char* text;
    std::size_t width;
  } fields[] = {{dst.certificate_name, 48}, {dst.id, 32},         {dst.name, 40},
                {dst.name_en, 40},          {dst.nationality, 32}, {dst.ethnicity, 16},
                {dst.address, 64},          {dst.birthday, 32},    {dst.birth_at, 32},
                {dst.sex, 8},               {dst.valid_from, 16},  {dst.valid_to, 16},
                {dst.issue_date, 16},       {dst.issue_by, 32},    {dst.issue_at, 32},
                {dst.issue_country, 32},    {dst.issue_count, 16}, {dst.add_id, 32},
                {dst.category, 32},         {dst.mrz, 100}};
  for (const auto& f : fields) {
    EXPECT_EQ(field(f.text, f.width), std::string(f.width - 1, 'x'));
    EXPECT_EQ(f.text[f.width - 1], '\0');
  }
  EXPECT_EQ(dst.mrz_type, 0);
  for (unsigned char f : dst.check_flags) EXPECT_EQ(f, 0);
}

TEST_F(ResultTest, CopyOfAResultOntoItselfChangesNothing) {
  OCR_RESULT r;
  clearOcrResult(r);
  fill_texts(r, "t");
  OCR_RESULT before = r;
  EXPECT_EQ(copy_ocr_result(r, r), 0);
  EXPECT_EQ(std::memcmp(&r, &before, sizeof(r)), 0);
}

TEST_F(ResultTest, CopyPassportResultCopiesTheItemsNotTheSpareAreas) {
  PASSPORT_OCR_RESULT src = read_mrz("P<UTOERIKSSON", "L898902C36");
  src.status = 4;
  src.mrz_type = 1;
  for (int i = 0; i < 89; ++i) src.char_conf[i] = 1000 - i;
  put(src.id, "L898902C36");
  src.id_valid = 1;
  put(src.nationality, "UTO");
  src.nationality_valid = 1;
  put(src.issue_country, "UTO");
  put(src.birthday, "7408122");
  src.birthday_valid = 1;
  put(src.sex, "F");
  put(src.expired, "1204159");
  put(src.option, "ZE184226B<<<<<1");
  src.option_valid = 1;
  put(src.final_check, "0");
  src.final_valid = 1;

  PASSPORT_OCR_RESULT dst;
  std::memset(&dst, kCanary, sizeof(dst));
  EXPECT_EQ(copy_passport_result(src, dst), 0);
  EXPECT_EQ(dst.status, 4);
  EXPECT_EQ(dst.mrz_type, 1);
  EXPECT_EQ(FIELD(dst.mrz), FIELD(src.mrz));
  EXPECT_EQ(std::memcmp(dst.char_conf, src.char_conf, sizeof(src.char_conf)), 0);
  EXPECT_STREQ(dst.id, "L898902C36");
  EXPECT_STREQ(dst.nationality, "UTO");
  EXPECT_STREQ(dst.issue_country, "UTO");
  EXPECT_STREQ(dst.birthday, "7408122");
  EXPECT_STREQ(dst.sex, "F");
  EXPECT_STREQ(dst.expired, "1204159");
  EXPECT_STREQ(dst.option, "ZE184226B<<<<<1");
  EXPECT_STREQ(dst.final_check, "0");
  EXPECT_EQ(dst.id_valid, 1);
  EXPECT_EQ(dst.nationality_valid, 1);
  EXPECT_EQ(dst.issue_country_valid, 0);
  EXPECT_EQ(dst.birthday_valid, 1);
  EXPECT_EQ(dst.sex_valid, 0);
  EXPECT_EQ(dst.expired_valid, 0);
  EXPECT_EQ(dst.option_valid, 1);
  EXPECT_EQ(dst.final_valid, 1);
  // Spare areas and the two unused items stay as they were.
  const unsigned char* b = reinterpret_cast<const unsigned char*>(&dst);
  for (std::size_t i = offsetof(PASSPORT_OCR_RESULT, spare_text);
       i < offsetof(PASSPORT_OCR_RESULT, id_valid); ++i)
    ASSERT_EQ(b[i], kCanary) << i;
  for (std::size_t i = offsetof(PASSPORT_OCR_RESULT, item11_valid);
       i < offsetof(PASSPORT_OCR_RESULT, final_valid); ++i)
    ASSERT_EQ(b[i], kCanary) << i;
}

TEST_F(ResultTest, CopyPassportResultBoundsUnterminatedTexts) {
  PASSPORT_OCR_RESULT src = unterminated_working_record();
  PASSPORT_OCR_RESULT dst;
  std::memset(&dst, kCanary, sizeof(dst));
  copy_passport_result(src, dst);
  EXPECT_EQ(FIELD(dst.mrz), std::string(88, 'A'));
  EXPECT_EQ(FIELD(dst.id), std::string(10, 'A'));
  EXPECT_EQ(FIELD(dst.nationality), "AAA");
  EXPECT_EQ(FIELD(dst.option), std::string(15, 'A'));
  EXPECT_EQ(FIELD(dst.final_check), "A");
  EXPECT_EQ(dst.mrz_type, 1);
  EXPECT_EQ(dst.item11_valid, kCanary);
}

// ---- report -----------------------------------------------------------------------------

const char* const kLabels[21] = {
    "证件名称:",    "\n证件类型:", "\n机读类型:", "\n证件号码:", "\n姓名:",    "\n姓名(eng):",
    "\n国籍:",      "\n住址:",     "\n生日:",     "\n出生地:",   "\n性别:",    "\n有效起始日:",
    "\n有效终止日:", "\n签发日期:", "\n发证机关:", "\n签发地:",   "\n签发国:",  "\n签证种类:",
    "\n附加号码:",  "\n签发次数:", "\n机读区:"};

TEST_F(ResultTest, ReportOfAClearedRecordIsTheBareLabels) {
  OCR_RESULT r;
  clearOcrResult(r);
  EXPECT_EQ(printed(r),
            "证件名称:\n证件类型:0\n机读类型:\n证件号码:\n姓名:\n姓名(eng):\n国籍:\n住址:\n"
            "生日:\n出生地:\n性别:\n有效起始日:\n有效终止日:\n签发日期:\n发证机关:\n签发地:\n"
            "签发国:\n签证种类:\n附加号码:\n签发次数:\n机读区:\n");
}

TEST_F(ResultTest, ReportOfAPassportRead) {
  PASSPORT_OCR_RESULT src =
      read_mrz("P<UTOERIKSSON<<ANNA<MARIA", "L898902C36UTO7408122F1204159ZE184226B<<<<<10");
  put(src.id, "L898902C3");
  put(src.nationality, "UTO");
  put(src.birthday, "7408122");
  put(src.sex, "F");
  put(src.expired, "1204159");
  OCR_RESULT r;
  clearOcrResult(r);
  copy_ocr_result(src, r);
  put(r.name, "ERIKSSON ANNA MARIA");
  put(r.name_en, "ERIKSSON ANNA MARIA");
  const OCR_RESULT before = r;
  EXPECT_EQ(printed(r),
            "证件名称:护照\n证件类型:1\n机读类型:MRVA\n证件号码:L898902C3\n"
            "姓名:ERIKSSON ANNA MARIA\n姓名(eng):ERIKSSON ANNA MARIA\n国籍:UTO\n住址:\n"
            "生日:740812\n出生地:\n性别:女\n有效起始日:\n有效终止日:120415\n签发日期:\n"
            "发证机关:\n签发地:\n签发国:UTO\n签证种类:\n附加号码:\n签发次数:\n"
            "机读区:P<UTOERIKSSON<<ANNA<MARIA                   "
            "L898902C36UTO7408122F1204159ZE184226B<<<<<10\n");
  EXPECT_EQ(std::memcmp(&r, &before, sizeof(r)), 0);  // the report only reads
}

TEST_F(ResultTest, ReportShowsVisaFieldsInCategoryAddIdCountOrder) {
  OCR_RESULT r;
  clearOcrResult(r);
  r.cert_type = 7;
  r.mrz_type = 1;
  put(r.certificate_name, "签证");
  put(r.category, "L");
  put(r.add_id, "012345678");
  put(r.issue_count, "2");
  put(r.address, "  spaced\ttext ");  // taken as it is, nothing trimmed
  const std::string out = printed(r);
  EXPECT_NE(out.find("\n机读类型:MRVB\n"), std::string::npos);
  EXPECT_NE(out.find("\n住址:  spaced\ttext \n"), std::string::npos);
  EXPECT_NE(out.find("\n签证种类:L\n附加号码:012345678\n签发次数:2\n机读区:\n"),
            std::string::npos);
}

TEST_F(ResultTest, ReportNamesOnlyMrzTypesZeroAndOne) {
  const struct {
    int mrz_type;
    int cert_type;
    const char* lines;
  } cases[] = {{0, 1, "\n证件类型:1\n机读类型:MRVA\n"},
               {1, 10, "\n证件类型:10\n机读类型:MRVB\n"},
               {2, 11, "\n证件类型:11\n机读类型:\n"},
               {-1, 0, "\n证件类型:0\n机读类型:\n"},
               {7, -3, "\n证件类型:-3\n机读类型:\n"}};
  for (const auto& c : cases) {
    OCR_RESULT r;
    clearOcrResult(r);
    r.mrz_type = c.mrz_type;
    r.cert_type = c.cert_type;
    EXPECT_NE(printed(r).find(c.lines), std::string::npos) << c.mrz_type;
  }
}

TEST_F(ResultTest, ReportOfFullFieldsFitsOneMessage) {
  // Every field full: width-1 characters, or the whole width without a NUL.
  for (std::size_t spare : {1, 0}) {
    OCR_RESULT r;
    clearOcrResult(r);
    r.cert_type = INT_MIN;
    r.mrz_type = 1;
    char* texts[] = {r.certificate_name, r.id,         r.name,          r.name_en,
                     r.nationality,      r.address,    r.birthday,      r.birth_at,
                     r.sex,              r.valid_from, r.valid_to,      r.issue_date,
                     r.issue_by,         r.issue_at,   r.issue_country, r.category,
                     r.add_id,           r.issue_count, r.mrz};
    const std::size_t widths[] = {48, 32, 40, 40, 32, 64, 32, 32, 8, 16,
                                  16, 16, 32, 32, 32, 32, 32, 16, 100};
    std::string want;
    for (int i = 0, t = 0; i < 21; ++i) {
      want += kLabels[i];
      if (i == 1) {
        want += "-2147483648";
      } else if (i == 2) {
        want += "MRVB";
      } else {
        const std::string v(widths[t] - spare, static_cast<char>('a' + t));
        std::memcpy(texts[t], v.data(), v.size());
        want += v;
        ++t;
      }
    }
    std::memset(r.ethnicity, 'e', sizeof(r.ethnicity));  // never printed
    if (spare == 1) {
      EXPECT_EQ(want.size(), 904u);
    }
    EXPECT_EQ(printed(r), want + "\n");
  }
}

TEST_F(ResultTest, ReportIsSilentInLocationOnlyAndQuietModes) {
  OCR_RESULT r;
  clearOcrResult(r);
  put(r.id, "E12345678");
  g_scan_none = 1;
  EXPECT_EQ(printed(r), "");
  g_scan_none = 0;
  vyr_set_log_dummy(1);
  EXPECT_EQ(printed(r), "");
  vyr_set_log_dummy(0);
  EXPECT_NE(printed(r).find("\n证件号码:E12345678\n"), std::string::npos);
}

}  // namespace
