// The permit and APEC card MRZ readers on rendered OCR-B zones published as
// segmentation hands them over: template matching with the real sheets,
// re-reading through a scripted recogniser, and the card record field by
// field; then every result code, and that no failure leaves anything in it.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "card_scan_apec.h"
#include "card_scan_pattern.h"
#include "global.h"
#include "matchocr.h"
#include "passport_scan.h"
#include "result.h"
#include "test_card_back_fixtures.h"
#include "test_mrz_reader_fixtures.h"
#include "verify.h"

namespace {

using mrzfx::answer;
using mrzfx::boxOutside;
using mrzfx::captured;
using mrzfx::Read;
using mrzfx::Script;
using mrzfx::withChar;


using namespace cardfx;

class CardReader : public mrzfx::ZoneTest {
 protected:
  void SetUp() override {
    ZoneTest::SetUp();
    clearCardResult();
  }
  // Publishes lines 1 and 2 and draws line 3 (colour, at the same pitch);
  // the recogniser reads what is drawn unless `truth` says otherwise.
  void publish(const std::string& l1, const std::string& l2, const std::string& l3 = "") {
    mrzfx::publishZone(glyphs_, l1, l2);
    line3_.release();
    if (!l3.empty()) cv::cvtColor(mrzfx::drawLine(glyphs_, l3), line3_, cv::COLOR_GRAY2BGR);
    rec_.truth[1] = l1;
    rec_.truth[2] = l2;
    rec_.truth[3] = l3;
  }
  int read() {
    cv::Mat card;
    std::vector<cv::Rect> boxes = g_posRect;
    int rc = 0;
    log_ = captured([&] { rc = cardMatchOcr(card, boxes, card_result, line3_); });
    return rc;
  }
  int read(const std::string& l1, const std::string& l2, const std::string& l3 = "") {
    publish(l1, l2, l3);
    return read();
  }
  // card_result as clearCardResult left it, byte for byte.
  static void expectCleared() {
    OCR_RESULT cleared;
    clearOcrResult(cleared);
    EXPECT_EQ(std::memcmp(&card_result, &cleared, sizeof(OCR_RESULT)), 0)
        << "status " << card_result.status << " type " << card_result.cert_type << " id " << card_result.id;
  }

  cv::Mat line3_;
};

// ---- cards read into the exact fields ----------------------------------------------------

class Cards : public CardReader, public testing::WithParamInterface<BackCase> {};

TEST_P(Cards, ReadIntoTheCardRecord) {
  const BackCase& c = GetParam();
  ASSERT_EQ(read(c.lines[0], c.lines[1], c.lines[2]), 0) << log_;
  expectCard(card_result, c);
}

INSTANTIATE_TEST_SUITE_P(Zones, Cards, testing::ValuesIn(backCases()), caseName);

TEST_F(CardReader, WorkingRecordHoldsTheItems) {
  ASSERT_EQ(read(kHk1, kHk2), 0) << log_;
  EXPECT_EQ(passport_ocr_result.mrz_type, 2);
  EXPECT_EQ(passport_ocr_result.sex_valid, 1);
  EXPECT_STREQ(passport_ocr_result.sex, "M");
  EXPECT_NE(log_.find("birthday: 8501019, v:true"), std::string::npos) << log_;
  EXPECT_NE(log_.find("expired: 3001019, v:true"), std::string::npos) << log_;
  EXPECT_NE(log_.find("id: H123456783, v:true"), std::string::npos) << log_;

  // A nationality missing from the code table does not stop an APEC read:
  // the field holds what was read, the working record says it failed.
  ASSERT_EQ(read(kAp1, "8501019M2901019ZZZ000000000000", kAp3), 0) << log_;
  EXPECT_STREQ(card_result.nationality, "ZZZ");
  const PASSPORT_OCR_RESULT& r = passport_ocr_result;
  EXPECT_STREQ(r.id, "1234567897");
  EXPECT_STREQ(r.birthday, "8501019");
  EXPECT_STREQ(r.expired, "2901019");
  EXPECT_STREQ(r.issue_country, "CHN");
  EXPECT_STREQ(r.nationality, "ZZZ");
  EXPECT_EQ(r.nationality_valid, 0);
  for (uint8_t v : {r.id_valid, r.birthday_valid, r.expired_valid, r.issue_country_valid, r.sex_valid}) EXPECT_EQ(v, 1);
  EXPECT_NE(log_.find("en_name: SMITH<<JOHN"), std::string::npos) << log_;
}

// What template matching misreads, the recogniser repairs, and the repair
// reaches the MRZ text of the record.
TEST_F(CardReader, RereadsRepairTheMatchedText) {
  publish(withChar(kHk1, 29, '8'), withChar(kHk2, 3, 'E'));
  rec_.truth[1] = kHk1;
  rec_.truth[2] = kHk2;
  ASSERT_EQ(read(), 0) << log_;
  EXPECT_EQ(std::string(card_result.mrz), kHk1 + std::string(14, ' ') + kHk2 + std::string(14, ' '));
  EXPECT_STREQ(card_result.name, "张三");

  publish(kAp1, withChar(kAp2, 6, '8'), kAp3);
  rec_.truth[2] = kAp2;
  ASSERT_EQ(read(), 0) << log_;
  EXPECT_STREQ(card_result.birthday, "850101");
  EXPECT_EQ(std::string(card_result.mrz).substr(44, 30), kAp2);
}

// A position that template matching finds empty, in a run no check covers:
// the recognisers read it, or the read fails; the MRZ text handed out never
// holds a blank.
TEST_F(CardReader, BlankPositionsAreReadAgain) {
  const struct {
    const char* label;
    std::vector<std::string> lines;
    int line, position;  // left unprinted
    Script script;
    int code;
  } cases[] = {
      {"permit line 2 digit", {kHk1, kHk2, ""}, 2, 25, nullptr, 0},
      {"permit line 1 digit", {kTw1, kTw2, ""}, 1, 13, nullptr, 0},
      {"permit filler", {kHk1, kHk2, ""}, 2, 17, nullptr, 0},
      {"APEC line 1 filler", {kAp1, kAp2, kAp3}, 1, 25, nullptr, 0},
      {"permit, unsettled", {kHk1, kHk2, ""}, 2, 25, answer(2, 25, "", "X"), MRZ_ERR_MATCH},
      {"APEC, unsettled", {kAp1, kAp2, kAp3}, 2, 20, answer(2, 20, "", "X"), MRZ_ERR_MATCH},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    std::vector<std::string> printed = c.lines;
    printed[c.line - 1][c.position] = ' ';
    publish(printed[0], printed[1], printed[2]);
    rec_.truth[c.line] = c.lines[c.line - 1];
    rec_.script = c.script;
    clearCardResult();
    ASSERT_EQ(read(), c.code) << log_;
    if (c.code == 0)
      EXPECT_EQ(std::string(card_result.mrz), c.lines[0] + std::string(14, ' ') + c.lines[1] + std::string(14, ' '));
    else
      expectCleared();
  }
}

// The century of the birth date.
TEST_F(CardReader, CenturyLetterGivesTheFirstTwoDigits) {
  const struct {
    char letter;
    const char* birthday;
  } cases[] = {{'A', "18850101"}, {'B', "19850101"}, {'C', "20850101"}};
  for (const auto& c : cases) {
    ASSERT_EQ(read(kHk1, withChar(kHk2, 18, c.letter)), 0) << c.letter << log_;
    EXPECT_STREQ(card_result.birthday, c.birthday);
  }
}

// ---- result codes -------------------------------------------------------------------------

struct CodeCase {
  const char* label;
  std::string l1, l2, l3;
  int code;
  Script script;
  std::function<void()> tweak;  // applied to the published hand-over
  const char* logged;           // a line the read must log, or nullptr
};

void PrintTo(const CodeCase& c, std::ostream* os) { *os << c.label; }

class Codes : public CardReader, public testing::WithParamInterface<CodeCase> {};

TEST_P(Codes, EndTheReadWithAnEmptyRecord) {
  const CodeCase& c = GetParam();
  publish(c.l1, c.l2, c.l3);
  rec_.script = c.script;
  if (c.tweak) c.tweak();
  EXPECT_EQ(read(), c.code) << log_;
  expectCleared();
  if (c.logged != nullptr) {
    EXPECT_NE(log_.find(c.logged), std::string::npos) << log_;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Permit, Codes,
    testing::Values(
        CodeCase{"DocumentCodeMatchingFails", kHk1, kHk2, "", MRZ_ERR_MATCH, nullptr, boxOutside(1), nullptr},
        CodeCase{"LinePassFails", kHk1, kHk2, "", MRZ_ERR_MATCH, nullptr, boxOutside(30 + 5), nullptr},
        CodeCase{"DocumentCodeRereadFails", kHk1, kHk2, "", MRZ_ERR_HEAD, answer(1, 0, "C", "X"), nullptr, nullptr},
        CodeCase{"FirstLetterNotC", withChar(kHk1, 0, 'P'), kHk2, "", MRZ_ERR_UNSUPPORTED, nullptr, nullptr, nullptr},
        CodeCase{"SecondLetterA", withChar(kHk1, 1, 'A'), kHk2, "", MRZ_ERR_UNSUPPORTED, nullptr, nullptr, nullptr},
        CodeCase{"HongKongNumberStartsWithK", withChar(kHk1, 2, 'K'), kHk2, "", MRZ_ERR_DOC_NO, nullptr, nullptr,
                 nullptr},
        CodeCase{"HongKongFirstCharacterRereadFails", kHk1, kHk2, "", MRZ_ERR_DOC_NO, answer(1, 2, "", "X"), nullptr,
                 nullptr},
        CodeCase{"SexX", withChar(kHk1, 22, 'X'), kHk2, "", MRZ_ERR_SEX, nullptr, nullptr, nullptr},
        CodeCase{"SexFiller", withChar(kHk1, 22, '<'), kHk2, "", MRZ_ERR_SEX, nullptr, nullptr, nullptr},
        CodeCase{"SexRereadFails", kHk1, kHk2, "", MRZ_ERR_SEX, answer(1, 22, "", "X"), nullptr, nullptr},
        CodeCase{"BirthCheckDigitWrong", withChar(kHk1, 29, '8'), kHk2, "", MRZ_ERR_BIRTHDAY, nullptr, nullptr,
                 "birthday: 8501018, v:false"},
        // A filler check digit passes; month 13 does not.
        CodeCase{"BirthMonthThirteen", "CRH1234567830003001019M851301<", kHk2, "", MRZ_ERR_BIRTHDAY, nullptr,
                 nullptr, "birthday: 851301<, v:false"},
        CodeCase{"BirthRereadFails", kHk1, kHk2, "", MRZ_ERR_BIRTHDAY, answer(1, 23, "850", "X"), nullptr,
                 nullptr},
        CodeCase{"ExpiryCheckDigitWrong", withChar(kHk1, 21, '8'), kHk2, "", MRZ_ERR_EXPIRY, nullptr, nullptr,
                 "expired: 3001018, v:false"},
        CodeCase{"ExpiryRereadFails", kHk1, kHk2, "", MRZ_ERR_EXPIRY, answer(1, 15, "300", "X"), nullptr,
                 nullptr},
        CodeCase{"NumberCheckDigitWrong", withChar(kHk1, 11, '4'), kHk2, "", MRZ_ERR_DOC_NO, nullptr, nullptr,
                 "id: H123456784, v:false"},
        CodeCase{"NumberRereadFails", kHk1, kHk2, "", MRZ_ERR_DOC_NO, answer(1, 3, "1234", "X"), nullptr,
                 nullptr},
        CodeCase{"TaiwanNumberCheckDigitWrong", withChar(kTw1, 11, '9'), kTw2, "", MRZ_ERR_DOC_NO, nullptr, nullptr,
                 nullptr},
        CodeCase{"CenturyRereadFails", kHk1, kHk2, "", MRZ_ERR_HEAD, answer(2, 18, "", "X"), nullptr, nullptr},
        // Tested before any field is written: nothing says success.
        CodeCase{"CenturyD", kHk1, withChar(kHk2, 18, 'D'), "", MRZ_ERR_BIRTHDAY, nullptr, nullptr, nullptr},
        CodeCase{"NameLetterOutsideAToP", kHk1, "QQQQ" + kHk2.substr(4), "", MRZ_ERR_NAME, nullptr, nullptr,
                 "get_chinese_name=-1"},
        CodeCase{"NameOfFiveLetters", kHk1, "NFMFM" + std::string(11, '<') + kHk2.substr(16), "", MRZ_ERR_NAME, nullptr, nullptr,
                 "get_chinese_name=-1"},
        CodeCase{"NameRereadOfAnotherLength", kHk1, kHk2, "", MRZ_ERR_NAME, answer(2, 0, "NFMFMIP", "X"), nullptr,
                 nullptr}),
    [](const testing::TestParamInfo<CodeCase>& i) { return std::string(i.param.label); });

INSTANTIATE_TEST_SUITE_P(
    Apec, Codes,
    testing::Values(
        CodeCase{"LineThreeNotThirtyBoxes", kAp1, kAp2, "SMITH<<JOHN", MRZ_ERR_BOX_COUNT, nullptr, nullptr, nullptr},
        CodeCase{"LinePassFails", kAp1, kAp2, kAp3, MRZ_ERR_MATCH, nullptr, boxOutside(30 + 20), nullptr},
        CodeCase{"NumberRereadFails", kAp1, kAp2, kAp3, MRZ_ERR_HEAD, answer(1, 5, "123", "X"), nullptr,
                 nullptr},
        CodeCase{"LineTwoDigitRereadFails", kAp1, kAp2, kAp3, MRZ_ERR_HEAD, answer(2, 29, "", "X"), nullptr,
                 nullptr},
        CodeCase{"SexX", kAp1, withChar(kAp2, 7, 'X'), kAp3, MRZ_ERR_SEX, nullptr, nullptr, nullptr},
        CodeCase{"SexRereadFails", kAp1, kAp2, kAp3, MRZ_ERR_SEX, answer(2, 7, "", "X"), nullptr, nullptr},
        CodeCase{"BirthCheckDigitWrong", kAp1, withChar(kAp2, 6, '8'), kAp3, MRZ_ERR_BIRTHDAY, nullptr, nullptr,
                 "birthday: 8501018, v:false"},
        CodeCase{"ExpiryCheckDigitWrong", kAp1, withChar(kAp2, 14, '8'), kAp3, MRZ_ERR_EXPIRY, nullptr, nullptr,
                 "expired: 2901018, v:false"},
        CodeCase{"NumberCheckDigitWrong", withChar(kAp1, 14, '6'), kAp2, kAp3, MRZ_ERR_DOC_NO, nullptr, nullptr,
                 "id: 1234567896, v:false"},
        CodeCase{"IssuingStateUnknown", "CPZZZ" + kAp1.substr(5), kAp2, kAp3, MRZ_ERR_NATIONALITY, nullptr, nullptr,
                 "签发国: ZZZ, v:false"},
        CodeCase{"NameRereadOfAnotherLength", kAp1, kAp2, kAp3, MRZ_ERR_NAME, answer(3, 0, "SMITH<<JO", "X"),
                 nullptr, nullptr},
        // Fewer than four characters: refused before the record is filled.
        CodeCase{"NameTooShort", kAp1, kAp2, mrzfx::pad("AB", 30), MRZ_ERR_NAME, nullptr, nullptr, nullptr}),
    [](const testing::TestParamInfo<CodeCase>& i) { return std::string(i.param.label); });

TEST_F(CardReader, WrongBoxCountEndsTheReadBeforeMatching) {
  for (std::size_t n : {59u, 0u, 61u, 88u}) {
    publish(kHk1, kHk2);
    std::vector<cv::Rect> boxes(n, cv::Rect(0, 0, 10, 10));
    cv::Mat card;
    int rc = 0;
    log_ = captured([&] { rc = cardMatchOcr(card, boxes, card_result, line3_); });
    EXPECT_EQ(rc, MRZ_ERR_BOX_COUNT) << n;
    EXPECT_NE(log_.find("posRect size " + std::to_string(n) + " error"), std::string::npos) << log_;
    // The working record is already cleared, nothing matched.
    EXPECT_EQ(std::string(passport_ocr_result.mrz), std::string(88, ' '));
    EXPECT_EQ(passport_ocr_result.mrz_type, 0);
    expectCleared();
  }
}

// The readers write the record they are given, and only that one.
TEST_F(CardReader, ReadersWriteTheRecordTheyAreGiven) {
  for (const auto& lines : {std::vector<std::string>{kHk1, kHk2, ""}, std::vector<std::string>{kAp1, kAp2, kAp3}}) {
    publish(lines[0], lines[1], lines[2]);
    OCR_RESULT mine;
    clearOcrResult(mine);
    cv::Mat card;
    std::vector<cv::Rect> boxes = g_posRect;
    int rc = 0;
    log_ = captured([&] { rc = cardMatchOcr(card, boxes, mine, line3_); });
    ASSERT_EQ(rc, 0) << log_;
    EXPECT_EQ(mine.status, 1);
    EXPECT_STRNE(mine.id, "");
    expectCleared();
  }
}

// ---- hostile hand-over -------------------------------------------------------------------

// Recogniser readings far longer than the run asked for: the readers take no
// more than they asked for, and a name reading of the wrong length fails.
TEST_F(CardReader, OverlongReadingsDoNotOverrun) {
  for (const auto& lines : {std::vector<std::string>{kHk1, kHk2, ""}, std::vector<std::string>{kAp1, kAp2, kAp3}}) {
    publish(lines[0], lines[1], lines[2]);
    rec_.script = [this](const Read& r) -> std::optional<std::string> {
      if (r.line < 1 || r.first < 0) return std::string(500, 'M');
      return rec_.truth[r.line].substr(static_cast<std::size_t>(r.first)) + std::string(400, '7');
    };
    EXPECT_EQ(read(), MRZ_ERR_NAME) << log_;
    expectCleared();
    rec_.script = [](const Read&) -> std::optional<std::string> { return std::string(1000, 'W'); };
    EXPECT_LT(read(), 0) << log_;
    expectCleared();
    rec_.script = nullptr;
  }
}

// Box lists shorter than the lines: every read that would reach past a list
// fails instead.
TEST_F(CardReader, ShortBoxListsEndTheRead) {
  const struct {
    const char* label;
    std::vector<std::string> lines;
    std::vector<cv::Rect>* list;
    std::size_t keep;
    int code;
  } cases[] = {
      {"line 1 colour boxes", {kHk1, kHk2, ""}, &g_posRect1_rgb, 20, MRZ_ERR_SEX},
      {"line 1 colour boxes, none", {kHk1, kHk2, ""}, &g_posRect1_rgb, 0, MRZ_ERR_HEAD},
      {"line 2 colour boxes", {kHk1, kHk2, ""}, &g_posRect2_rgb, 12, MRZ_ERR_HEAD},
      {"ink boxes", {kHk1, kHk2, ""}, &g_posRect_no_blank, 59, MRZ_ERR_MATCH},
      {"APEC line 2 colour boxes", {kAp1, kAp2, kAp3}, &g_posRect2_rgb, 10, MRZ_ERR_HEAD},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    publish(c.lines[0], c.lines[1], c.lines[2]);
    c.list->resize(c.keep);
    EXPECT_EQ(read(), c.code) << log_;
    expectCleared();
  }
}

TEST(CardLineTotal, LineLengthOfTheLayoutCode) {
  const struct {
    int code, length;
  } cases[] = {{0, 44}, {1, 36}, {2, 30}, {7, 44}, {-1, 44}};
  for (const auto& c : cases) EXPECT_EQ(get_line_total(c.code), c.length) << c.code;
}

TEST(CardFormats, OneClassLetterPerBox) {
  for (const char* f : {lineformat_90_head, lineformat_60, lineformat_60_L, lineformat_60_N, lineformat_90})
    EXPECT_EQ(std::strlen(f), 60u) << f;
  EXPECT_EQ(std::strlen(lineformat_line3), 30u);
}

}  // namespace
