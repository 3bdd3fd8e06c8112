// Item verification with re-reading: the stage-1 test, the re-read through
// the (scripted) MRZ recogniser, the write-back, the store by type, and the
// document-head test.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "check_verify.h"
#include "result.h"
#include "test_mrz_reader_fixtures.h"
#include "verify.h"

namespace {

using mrzfx::captured;
using mrzfx::Read;

constexpr int kPitch = 20;
const std::string kL1 = "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<";
const std::string kL2 = "L898902C36UTO7408122F1204159ZE184226B<<<<<10";

// The check digit that makes `body` + digit pass.
char digitFor(const std::string& body) {
  for (char d = '0'; d <= '9'; ++d) {
    std::string f = body + d;
    if (verify(&f[0])) return d;
  }
  return '?';
}

class Items : public testing::Test {
 protected:
  void SetUp() override {
    init_ncode_map();
    clearResult();
    for (cv::Mat* m : {&g_rapidRec_line_1, &g_rapidRec_line_2, &g_rapidRec_line_3})
      *m = cv::Mat(40, 2 * mrzfx::kMargin + 44 * kPitch, CV_8UC3, cv::Scalar::all(200));
    g_posRect1_rgb = g_posRect2_rgb = g_posRect3_rgb = mrzfx::cellBoxes(kPitch, 40, 44);
    setMrz(kL1, kL2);
  }
  void setMrz(const std::string& l1, const std::string& l2) {
    std::memcpy(passport_ocr_result.mrz, (l1 + l2).data(), 88);
    rec_.truth[1] = l1;
    rec_.truth[2] = l2;
  }
  bool check(const char* name, int line, int start, int len, char cls, int type) {
    bool ok = false;
    log_ = captured([&] { ok = check_verify_mrz_item(name, passport_ocr_result.mrz, 44, line, start, len, cls, type); });
    return ok;
  }
  std::string line2() const { return std::string(passport_ocr_result.mrz + 44, 44); }

  mrzfx::ScriptedRecognisers rec_{kPitch};
  std::string log_;
};

TEST_F(Items, PassingDateIsStoredWithoutRereading) {
  EXPECT_TRUE(check("birthday", 2, 13, 7, 'N', ITEM_BIRTHDAY));
  EXPECT_STREQ(passport_ocr_result.birthday, "7408122");
  EXPECT_EQ(passport_ocr_result.birthday_valid, 1);
  EXPECT_EQ(line2(), kL2);
  EXPECT_TRUE(rec_.reads.empty());
  EXPECT_NE(log_.find("birthday: 7408122, v:true"), std::string::npos) << log_;
}

TEST_F(Items, FailingDateIsRereadAndWrittenBack) {
  std::string bad = kL2;
  bad[19] = '3';
  setMrz(kL1, bad);
  rec_.truth[2] = kL2;  // the image shows the right digit
  EXPECT_TRUE(check("birthday", 2, 13, 7, 'N', ITEM_BIRTHDAY));
  EXPECT_EQ(line2(), kL2);
  EXPECT_STREQ(passport_ocr_result.birthday, "7408122");
  ASSERT_EQ(rec_.reads.size(), 1u);
  EXPECT_EQ(rec_.reads[0].line, 2);
  EXPECT_EQ(rec_.reads[0].first, 13);  // the crop holds exactly the item
  EXPECT_EQ(rec_.reads[0].count, 7);
  EXPECT_EQ(rec_.reads[0].mode, 'N');
}

struct FailCase {
  const char* label;
  std::string reading;
};
class FailedReread : public Items, public testing::WithParamInterface<FailCase> {};
TEST_P(FailedReread, KeepsTheTemplateItem) {
  std::string bad = kL2;
  bad[19] = '3';
  setMrz(kL1, bad);
  rec_.script = [&](const Read&) { return std::optional<std::string>(GetParam().reading); };
  EXPECT_FALSE(check("birthday", 2, 13, 7, 'N', ITEM_BIRTHDAY));
  EXPECT_EQ(line2(), bad);
  EXPECT_STREQ(passport_ocr_result.birthday, "7408123");
  EXPECT_EQ(passport_ocr_result.birthday_valid, 0);
  EXPECT_EQ(rec_.reads.size(), 1u);  // no second attempt
  EXPECT_NE(log_.find("birthday: 7408123, v:false"), std::string::npos) << log_;
}
INSTANTIATE_TEST_SUITE_P(Readings, FailedReread,
                         testing::Values(FailCase{"OneTooMany", "74081222"}, FailCase{"OneTooFew", "740812"},
                                         FailCase{"Empty", ""}, FailCase{"StillWrong", "7408124"},
                                         FailCase{"Implausible", std::string("741312") + digitFor("741312")}),
                         [](const testing::TestParamInfo<FailCase>& i) { return std::string(i.param.label); });

TEST_F(Items, SexIsAlwaysReread) {
  EXPECT_TRUE(check("sex", 2, 20, 1, 'L', ITEM_SEX));
  EXPECT_EQ(rec_.reads.size(), 1u);
  EXPECT_EQ(passport_ocr_result.sex_valid, 1);
  rec_.script = [](const Read&) { return std::optional<std::string>("X"); };
  EXPECT_FALSE(check("sex", 2, 20, 1, 'L', ITEM_SEX));
  EXPECT_STREQ(passport_ocr_result.sex, "F");
  EXPECT_EQ(passport_ocr_result.sex_valid, 0);
  // a single character is cut with getRectImage: one cell
  EXPECT_EQ(rec_.reads.back().first, 20);
  EXPECT_EQ(rec_.reads.back().count, 1);
}

TEST_F(Items, NationalityRepairIsStoredNotWritten) {
  std::string l2 = kL2;
  l2.replace(10, 3, "0MN");
  setMrz(kL1, l2);
  EXPECT_TRUE(check("国籍", 2, 10, 3, 'L', ITEM_NATIONALITY));
  EXPECT_STREQ(passport_ocr_result.nationality, "OMN");
  EXPECT_EQ(line2().substr(10, 3), "0MN");
  EXPECT_TRUE(rec_.reads.empty());
}

TEST_F(Items, DocumentNumberCheckPlace) {
  std::string l2 = kL2;
  l2.replace(0, 10, "A00000000O");  // 'O' in the check place is read as 0
  setMrz(kL1, l2);
  EXPECT_TRUE(check("id", 2, 0, 10, 'O', ITEM_DOC_NO));
  EXPECT_STREQ(passport_ocr_result.id, "A000000000");
  EXPECT_TRUE(rec_.reads.empty());

  l2.replace(0, 10, "A00000000X");  // any other letter fails in both stages
  setMrz(kL1, l2);
  EXPECT_FALSE(check("id", 2, 0, 10, 'O', ITEM_DOC_NO));
  EXPECT_EQ(rec_.reads.size(), 1u);
  EXPECT_EQ(passport_ocr_result.id_valid, 0);

  rec_.truth[2] = kL2;  // the re-read sees the real number
  EXPECT_TRUE(check("id", 2, 0, 10, 'O', ITEM_DOC_NO));
  EXPECT_EQ(line2().substr(0, 10), "L898902C36");
  EXPECT_STREQ(passport_ocr_result.id, "L898902C36");
}

TEST_F(Items, VisaOptionalDataAcceptedByTheComposite) {
  const std::string l1 = "V<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<";
  const std::string l2 = "L8988901C4XXX4009078F96121096ZE184226B<<<<16";  // own digit 1 is off
  setMrz(l1, l2);
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  std::strcpy(r.id, "L8988901C4");
  std::strcpy(r.birthday, "4009078");
  std::strcpy(r.expired, "9612109");
  EXPECT_TRUE(check("option", 2, 28, 15, 'O', ITEM_OPTION));
  EXPECT_TRUE(rec_.reads.empty());
  EXPECT_STREQ(r.option, "6ZE184226B<<<<1");
  EXPECT_EQ(r.option_valid, 1);
  // On a passport the composite is consulted only for the re-read item.
  r.mrz[0] = 'P';
  EXPECT_TRUE(check("option", 2, 28, 15, 'O', ITEM_OPTION));
  EXPECT_EQ(rec_.reads.size(), 1u);
}

// Optional data whose letter O stands where a digit belongs: the re-read item
// is repaired when the composite then holds.
TEST_F(Items, OptionalDataOZeroRepairByTheComposite) {
  std::string opt = "103456789<<<<<";
  opt += digitFor(opt);
  std::string l2 = "L898902C36UTO7408122F1204159" + opt;
  l2 += digitFor(l2.substr(0, 10) + l2.substr(13, 7) + l2.substr(21, 22));
  std::string misread = l2;
  misread[29] = 'O';
  setMrz(kL1, misread);
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  std::strcpy(r.id, "L898902C36");
  std::strcpy(r.birthday, "7408122");
  std::strcpy(r.expired, "1204159");
  EXPECT_TRUE(check("option", 2, 28, 15, 'O', ITEM_OPTION)) << log_;
  EXPECT_EQ(line2(), l2);
  EXPECT_EQ(std::string(r.option), opt);
  EXPECT_EQ(r.option_valid, 1);
}

TEST_F(Items, NumberInsideOptionalDataKeepsItsPrefix) {
  std::string l2 = "PA12345673USA8503150M3001019AB<<<12345678972";
  setMrz(kL1, l2);
  EXPECT_TRUE(check("visa_no", 2, 33, 10, 'N', ITEM_OPTION_NO));
  EXPECT_STREQ(passport_ocr_result.option, "AB<<<1234567897");
  EXPECT_EQ(passport_ocr_result.option_valid, 1);
}

// A line number outside 1..3 names no image: false, nothing stored, no read.
// Boxes outside the list make a failed re-read that keeps the stage-1 item.
TEST_F(Items, BadLineOrBoxesAreAFailedReread) {
  std::string bad = kL2;
  bad[19] = '3';
  setMrz(kL1, bad);
  for (int line : {0, 4, -1}) {
    EXPECT_FALSE(check("birthday", line, 13, 7, 'N', ITEM_BIRTHDAY));
    EXPECT_STREQ(passport_ocr_result.birthday, "       ");  // untouched since clearResult
  }
  g_posRect2_rgb.resize(15);
  EXPECT_FALSE(check("birthday", 2, 13, 7, 'N', ITEM_BIRTHDAY));
  EXPECT_STREQ(passport_ocr_result.birthday, "7408123");
  EXPECT_EQ(passport_ocr_result.birthday_valid, 0);
  g_posRect2_rgb.clear();
  EXPECT_FALSE(check("birthday", 2, 13, 7, 'N', ITEM_BIRTHDAY));
  EXPECT_FALSE(check("birthday", 2, 40, 7, 'N', ITEM_BIRTHDAY));  // past the MRZ
  EXPECT_FALSE(check("birthday", 2, -2, 7, 'N', ITEM_BIRTHDAY));
  EXPECT_TRUE(rec_.reads.empty());
  EXPECT_EQ(line2(), bad);
}

TEST_F(Items, ItemEndingOnTheLastBoxOfAShortLine) {
  // Lines of 36 boxes with a caller that passes 44: the crop reaches the
  // image's edge instead of a 37th box.
  g_posRect2_rgb.resize(36);
  const std::string l2 = "L8988901C4XXX4009078F9612109<<<<<12" + std::string(1, digitFor("12"));
  ASSERT_EQ(l2.size(), 36u);
  std::string bad = l2;
  bad[34] = '9';
  setMrz(kL1, bad + std::string(8, '<'));
  rec_.truth[2] = l2;
  EXPECT_TRUE(check("num", 2, 33, 3, 'N', ITEM_11)) << log_;
  EXPECT_EQ(line2().substr(33, 3), l2.substr(33, 3));
  ASSERT_EQ(rec_.reads.size(), 1u);
  EXPECT_EQ(rec_.reads[0].count, 3);
}

struct TypeCase {
  const char* label;
  int type;
  std::string item;
  bool ok;
};
class ItemTypes : public Items, public testing::WithParamInterface<TypeCase> {};
TEST_P(ItemTypes, Table) {
  passport_ocr_result.mrz[2] = 'A';
  passport_ocr_result.mrz[63] = 'A';
  std::string item = GetParam().item;
  std::string out;
  bool ok = false;
  out = captured([&] { ok = verify_item(&item[0], GetParam().type, 1, 0, 44, static_cast<int>(item.size())); });
  EXPECT_EQ(ok, GetParam().ok);
  if (GetParam().type == ITEM_10) {
    EXPECT_NE(out.find(", tmp[8]="), std::string::npos);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Tests, ItemTypes,
    testing::Values(TypeCase{"DateImplausible", ITEM_EXPIRED, std::string("991301") + digitFor("991301"), false},
                    TypeCase{"SexM", ITEM_SEX, "M", true}, TypeCase{"SexX", ITEM_SEX, "X", false},
                    TypeCase{"IssueState", ITEM_ISSUE_STATE, "D<<", true},
                    TypeCase{"CardNumber", ITEM_CARD_ID, "L898902C36", true},
                    TypeCase{"CardNumberWrong", ITEM_CARD_ID, "L898902C37", false},
                    TypeCase{"Three", ITEM_11, "123", true},
                    // 'A' (MRZ character 2) in front of the first nine
                    TypeCase{"Line1Id", ITEM_LINE1_ID, "000000000", true},
                    TypeCase{"Line1IdWrong", ITEM_LINE1_ID, "000000001", false},
                    // 'A' (MRZ character 63) in front; tested only when its 9th is '<'
                    TypeCase{"Item10Untested", ITEM_10, "000000001", true},
                    TypeCase{"Item10Tested", ITEM_10, "0000000<1", false},
                    TypeCase{"Unknown", 12, "123", false}, TypeCase{"Negative", -1, "123", false}),
    [](const testing::TestParamInfo<TypeCase>& i) { return std::string(i.param.label); });

TEST_F(Items, StoreByType) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  r.mrz[2] = 'Z';
  char date[] = "7408122", sex[] = "F", code[] = "UTO", num[] = "L898902C36";
  char opt[] = "ZE184226B<<<<<1", nine[] = "123456789", three[] = "ABC";
  save_verify_item(date, true, ITEM_EXPIRED);
  EXPECT_STREQ(r.expired, "7408122");
  save_verify_item(sex, true, ITEM_SEX);
  EXPECT_STREQ(r.sex, "F");
  save_verify_item(code, true, ITEM_ISSUE_STATE);
  EXPECT_STREQ(r.issue_country, "UTO");
  save_verify_item(num, true, ITEM_CARD_ID);
  EXPECT_STREQ(r.id, "L898902C36");
  r.mrz_type = 1;
  save_verify_item(opt, false, ITEM_OPTION);
  EXPECT_STREQ(r.option, "ZE18422");  // 7 characters on two lines of 36
  EXPECT_EQ(r.option_valid, 0);
  r.mrz_type = 0;
  save_verify_item(opt, true, ITEM_OPTION);
  EXPECT_STREQ(r.option, "ZE184226B<<<<<1");
  save_verify_item(nine, true, ITEM_LINE1_ID);
  EXPECT_STREQ(r.id, "Z123456789");
  save_verify_item(nine, true, ITEM_10);
  EXPECT_STREQ(r.item10, "123456789");
  EXPECT_EQ(r.item10_valid, 1);
  save_verify_item(three, true, ITEM_11);
  EXPECT_EQ(std::string(r.item11, 3), "ABC");
  const PASSPORT_OCR_RESULT before = r;
  save_verify_item(three, true, 12);
  EXPECT_EQ(std::memcmp(&before, &r, sizeof(r)), 0);
}

TEST(Head, DocumentCodeAndIssuingState) {
  init_ncode_map();
  struct {
    const char* mrz;
    bool ok;
  } cases[] = {{"P<UTO", true},  {"V<0MN", true},  {"R<CHN", true},  {"S<D<<", true}, {"T<GBR", true},
               {"Q<UTO", false}, {"I<UTO", false}, {"P<ZZZ", false}, {"p<UTO", false}};
  for (const auto& c : cases) {
    char mrz[8];
    std::strcpy(mrz, c.mrz);
    EXPECT_EQ(verifyHead5(mrz), c.ok) << c.mrz;
    EXPECT_STREQ(mrz, c.mrz);  // repairs stay in the look-up's own buffer
  }
  char f[] = "F", m[] = "M", x[] = "X", c[] = "C";
  EXPECT_TRUE(verifySex(f));
  EXPECT_TRUE(verifySex(m));
  EXPECT_FALSE(verifySex(x));
  EXPECT_TRUE(verifyHead2(c));
  EXPECT_FALSE(verifyHead2(f));
}

}  // namespace
