// The driver's test-info line and rotate status, and the expected-results
// file "test_ocr_result.txt" with the comparison of scan results against it.
#include <cstring>

#include "test_driver_fixtures.h"
#include "test_ocr_result.h"
#include "vyr_log.h"

using namespace driver_test;

namespace {

class TestInfoLine : public ::testing::Test {
 protected:
  void SetUp() override {
    vyr_set_log_dummy(0);
    init_test_info_item();
  }
  TempCwd cwd_;
};

TEST_F(TestInfoLine, ItemsCountTheirBytes) {
  struct Case {
    const char* label;
    int value;
    const char* item;
  };
  const Case cases[] = {
      {"执行结果: ", -1003, "执行结果: -1003\t"},        // 14 + 5 + 1 = 20 bytes
      {"信息校验成功", TEST_INFO_NO_VALUE, "信息校验成功\t"},  // 18 + 1 = 19 bytes
      {"执行结果: ", 0, "执行结果: 0\t"},
      {"vyr_passport_scan: ", 183, "vyr_passport_scan: 183\t"},
      {"x: ", -285212672, "x: -285212672\t"},
  };
  std::string expected;
  for (const Case& c : cases) {
    EXPECT_EQ(append_test_info_item(c.label, c.value), 0) << c.item;
    expected += c.item;
  }
  EXPECT_EQ(std::strlen("执行结果: -1003\t"), 20u);
  EXPECT_EQ(std::strlen("信息校验成功\t"), 19u);
  EXPECT_EQ(current_test_info_line(), expected);
}

TEST_F(TestInfoLine, LineStaysBelow800Bytes) {
  // 400 + 390 bytes bring the line to 790.
  ASSERT_EQ(append_test_info_item(std::string(399, 'a').c_str(), TEST_INFO_NO_VALUE), 0);
  ASSERT_EQ(append_test_info_item(std::string(389, 'b').c_str(), TEST_INFO_NO_VALUE), 0);
  ASSERT_EQ(current_test_info_line().size(), 790u);
  std::string log = captured([] { EXPECT_EQ(append_test_info_item("123456789", TEST_INFO_NO_VALUE), -1); });
  EXPECT_TRUE(contains(log, "测试信息超过缓冲区")) << log;
  EXPECT_EQ(current_test_info_line().size(), 790u);
  EXPECT_EQ(append_test_info_item("12345678", TEST_INFO_NO_VALUE), 0);
  EXPECT_EQ(current_test_info_line().size(), 799u);
  // An item too long for the item buffer is dropped even on an empty line.
  init_test_info_item();
  EXPECT_EQ(append_test_info_item(std::string(498, 'c').c_str(), TEST_INFO_NO_VALUE), 0);
  init_test_info_item();
  EXPECT_EQ(append_test_info_item(std::string(499, 'c').c_str(), TEST_INFO_NO_VALUE), -1);
  EXPECT_EQ(current_test_info_line(), "");
}

TEST_F(TestInfoLine, WritesOneLinePerImageEndingInTabAndLineFeed) {
  append_test_info_item("执行结果: ", -1);
  write_test_info("img/a.png");
  init_test_info_item();
  append_test_info_item("执行结果: ", 0);
  append_test_info_item("信息校验成功", TEST_INFO_NO_VALUE);
  write_test_info("img/b b.png");
  EXPECT_EQ(read_file("test_info.txt"), "执行结果: -1\timg/a.png\t\n执行结果: 0\t信息校验成功\timg/b b.png\t\n");
}

TEST_F(TestInfoLine, PathOverTheLimitIsDroppedNotOverrun) {
  append_test_info_item(std::string(399, 'a').c_str(), TEST_INFO_NO_VALUE);
  append_test_info_item(std::string(389, 'b').c_str(), TEST_INFO_NO_VALUE);
  write_test_info("some/longer/path.png");
  const std::string line = read_file("test_info.txt");
  EXPECT_EQ(line, std::string(399, 'a') + "\t" + std::string(389, 'b') + "\t\n");
  // A path beyond the item buffer on an empty line is dropped as well.
  init_test_info_item();
  write_test_info(std::string(600, 'p').c_str());
  EXPECT_EQ(lines_of(read_file("test_info.txt")).back(), "");
}

TEST_F(TestInfoLine, UnwritableFileIsReportedAndTheLineLost) {
  fs::create_directory("test_info.txt");
  append_test_info_item("执行结果: ", 0);
  std::string out = captured([] { write_test_info("a.png"); });
  EXPECT_TRUE(contains(out, "write result file error!")) << out;
}

TEST_F(TestInfoLine, InitDiscardsTheLine) {
  append_test_info_item("vyrocr_set_scan_type: ", 1);
  init_test_info_item();
  append_test_info_item("执行结果: ", -1);
  write_test_info("a.png");
  EXPECT_EQ(read_file("test_info.txt"), "执行结果: -1\ta.png\t\n");
}

TEST(RotateStatus, SetClearGet) {
  clear_rotate_status();
  EXPECT_EQ(get_rotate_status(), 0);
  set_rotate_status();
  set_rotate_status();
  EXPECT_EQ(get_rotate_status(), 1);
  clear_rotate_status();
  EXPECT_EQ(get_rotate_status(), 0);
}

// ---- loader -------------------------------------------------------------------------

class ExpectedResults : public ::testing::Test {
 protected:
  void SetUp() override { vyr_set_log_dummy(0); }
  // Loads `text` as ./test_ocr_result.txt; returns the loader's result.
  int load(const std::string& text) {
    write_file("test_ocr_result.txt", text);
    return init_check_ocr_1("./");
  }
  TempCwd cwd_;
};

std::string block(const std::string& body) { return "item_start:\n" + body + "item_end.\n"; }

struct ValueCase {
  const char* name;
  const char* line;
  const char* id;       // expected `id` afterwards
  const char* name_en;  // expected `name_en` afterwards
};

class ValueLines : public ExpectedResults, public ::testing::WithParamInterface<ValueCase> {};

TEST_P(ValueLines, StoreAsTheFormatSays) {
  const ValueCase& c = GetParam();
  ASSERT_EQ(load(block(std::string(c.line) + "\n")), 0);
  ASSERT_EQ(ocr_info_list.size(), 1u);
  EXPECT_STREQ(ocr_info_list[0].id, c.id);
  EXPECT_STREQ(ocr_info_list[0].name_en, c.name_en);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, ValueLines,
    ::testing::Values(ValueCase{"KeyLowerValueUpper", "ID:e123", "E123", ""},
                      ValueCase{"NameEn", "Name_EN:ab cd", "", "AB CD"},
                      ValueCase{"LeadingColon", ":id:X", "X", ""},
                      ValueCase{"ColonRun", "id::X", "X", ""},
                      ValueCase{"ValueEndsAtColon", "id:12:30", "12", ""},
                      ValueCase{"EmptyValue", "id:", "", ""},
                      ValueCase{"NoColon", "id", "", ""},
                      ValueCase{"BlankInKey", "id : X", "", ""},
                      ValueCase{"BlankInValue", "id: X", " X", ""},
                      ValueCase{"UnknownKey", "passport:X", "", ""},
                      ValueCase{"NameEn39", "name_en:AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA", "",
                                "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"},
                      ValueCase{"NameEn40Cut", "name_en:BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBX", "",
                                "BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB"}),
    [](const ::testing::TestParamInfo<ValueCase>& i) { return std::string(i.param.name); });

TEST_F(ExpectedResults, ChineseValuesStayAndNameEnCutIsLogged) {
  std::string log = captured([&] {
    EXPECT_EQ(load(block("certificate_name:护照\nsex:男\nname_en:" + std::string(45, 'q') + "\n")), 0);
  });
  ASSERT_EQ(ocr_info_list.size(), 1u);
  EXPECT_STREQ(ocr_info_list[0].certificate_name, "护照");
  EXPECT_STREQ(ocr_info_list[0].sex, "男");
  EXPECT_TRUE(contains(log, "real name_en = " + std::string(39, 'Q'))) << log;
  EXPECT_TRUE(contains(log, " check_info_cnt:  1")) << log;
}

TEST_F(ExpectedResults, OverlongValueIsCutWithinItsField) {
  std::string log = captured([&] {
    EXPECT_EQ(load(block("sex:" + std::string(90, 'M') + "\nvalid_from:123\nissue_by:" +
                         std::string(20, 'x') + "公安局" + "\n")),
              0);
  });
  ASSERT_EQ(ocr_info_list.size(), 1u);
  EXPECT_STREQ(ocr_info_list[0].sex, "MMMMMMM");
  EXPECT_STREQ(ocr_info_list[0].valid_from, "123");
  // 20 + 9 bytes fit 31; a cut never splits a character.
  EXPECT_EQ(std::string(ocr_info_list[0].issue_by), std::string(20, 'X') + "公安局");
  EXPECT_TRUE(contains(log, "value of sex longer than 7 bytes")) << log;
  ASSERT_EQ(load(block("issue_by:" + std::string(29, 'x') + "公" + "\n")), 0);
  EXPECT_EQ(std::string(ocr_info_list[0].issue_by), std::string(29, 'X'));
}

TEST_F(ExpectedResults, RecordsOpenAndCloseAsTheFormatSays) {
  const std::string text =
      "item_end.\n"                          // before any start: nothing
      "id:OUTSIDE\n"                         // outside a record: ignored
      "item_start:\nid:DROPPED\n"            // never closed, replaced by the next start
      "item_start: trailing text\nid:A12\nid:B\nitem_end. trailing\n"  // later value wins
      "item_end.\n"                          // right after another end: nothing
      "\n"
      "item_start:\nsex:F\nitem_end.\n"
      "item_start:\nid:UNFINISHED\n";       // open at the end: dropped
  ASSERT_EQ(load(text), 0);
  ASSERT_EQ(ocr_info_list.size(), 2u);
  EXPECT_STREQ(ocr_info_list[0].id, "B");
  EXPECT_EQ(ocr_info_list[0].id[2], '2');  // the shorter later value leaves the old byte behind
  EXPECT_STREQ(ocr_info_list[1].sex, "F");
  EXPECT_STREQ(ocr_info_list[1].id, "");
}

TEST_F(ExpectedResults, NoCompleteBlockLoadsNothing) {
  EXPECT_EQ(load("item_start:\nid:X\n"), 0);
  EXPECT_TRUE(ocr_info_list.empty());
  OCR_RESULT r{};
  EXPECT_EQ(check_ocr_by_read_ocr_info(r), -1);
}

TEST_F(ExpectedResults, CrlfKeepsCarriageReturnAndWarnsOnce) {
  std::string log = captured([&] { EXPECT_EQ(load("item_start:\r\nid:X\r\nsex:M\r\nitem_end.\r\n"), 0); });
  ASSERT_EQ(ocr_info_list.size(), 1u);
  EXPECT_STREQ(ocr_info_list[0].id, "X\r");
  EXPECT_EQ(log.find("carriage return"), log.rfind("carriage return")) << log;
  EXPECT_TRUE(contains(log, "test_ocr_result.txt:1: line ends in a carriage return")) << log;
}

TEST_F(ExpectedResults, LineOf99BytesIsReadAndLongerLinesAreReportedAndSkipped) {
  const std::string mrz95 = std::string(95, 'M');  // "mrz:" + 95 = 99 bytes
  const std::string mrz96 = std::string(96, 'N');  // 100 bytes
  std::string log = captured([&] {
    EXPECT_EQ(load(block("mrz:" + mrz95 + "\n") + block("id:LOST\nmrz:" + mrz96 + "\n") + block("id:AFTER\n")), 0);
  });
  ASSERT_EQ(ocr_info_list.size(), 2u);
  EXPECT_EQ(std::string(ocr_info_list[0].mrz), mrz95);
  EXPECT_STREQ(ocr_info_list[1].id, "AFTER");
  EXPECT_TRUE(contains(log, "test_ocr_result.txt:6: line longer than 99 bytes ignored, its record is dropped"))
      << log;
}

TEST_F(ExpectedResults, MissingFileLeavesTheListAlone) {
  ASSERT_EQ(load(block("id:KEEP\n")), 0);
  fs::remove("test_ocr_result.txt");
  std::string log = captured([] { EXPECT_EQ(init_check_ocr_1("./"), -1); });
  EXPECT_EQ(log, "");
  ASSERT_EQ(ocr_info_list.size(), 1u);
  EXPECT_STREQ(ocr_info_list[0].id, "KEEP");
}

TEST_F(ExpectedResults, FileLocationFromThePath) {
  write_file("a/b/test_ocr_result.txt", block("id:AB\n"));
  write_file("test_ocr_result.txt", block("id:HERE\n"));
  EXPECT_EQ(init_check_ocr_1("a/b/"), 0);
  ASSERT_EQ(ocr_info_list.size(), 1u);
  EXPECT_STREQ(ocr_info_list[0].id, "AB");
  EXPECT_EQ(init_check_ocr_1("a/b/whatever.png"), 0);
  EXPECT_STREQ(ocr_info_list[0].id, "AB");
  for (const char* bad : {"/x", "x", ""}) EXPECT_EQ(init_check_ocr_1(bad), -1) << bad;
  EXPECT_EQ(init_check_ocr_1(nullptr), -1);
  EXPECT_EQ(init_check_ocr_1("./"), 0);
  EXPECT_STREQ(ocr_info_list[0].id, "HERE");
}

// ---- comparison -------------------------------------------------------------------

OCR_RESULT passport_result() {
  OCR_RESULT r{};
  std::strcpy(r.certificate_name, "护照");
  std::strcpy(r.id, "E12345678");
  std::strcpy(r.name, "张三");
  std::strcpy(r.name_en, "ZHANG SAN");
  std::strcpy(r.nationality, "CHN");
  std::strcpy(r.birthday, "900115");
  std::strcpy(r.sex, "男");
  std::strcpy(r.valid_to, "300101");
  std::strcpy(r.issue_country, "CHN");
  std::strcpy(r.issue_at, "BEIJING");
  std::strcpy(r.mrz, "P<CHNZHANG<<SAN");
  return r;
}

TEST(Comparison, FieldsComparedInOrderWithTheirMessages) {
  vyr_set_log_dummy(0);
  const OCR_RESULT r = passport_result();
  struct Case {
    const char* name;
    void (*set)(TEST_OCR_RESULT&);
    int result;
    const char* message;  // "" when none is expected
  };
  const Case cases[] = {
      {"AllAgree", [](TEST_OCR_RESULT& e) { std::strcpy(e.id, "E12345678"); std::strcpy(e.sex, "男"); }, 0, ""},
      {"IdSilent", [](TEST_OCR_RESULT& e) { std::strcpy(e.id, "E1234567"); }, -1, ""},
      {"NameSilent", [](TEST_OCR_RESULT& e) { std::strcpy(e.name, "李四"); }, -1, ""},
      {"NameEn", [](TEST_OCR_RESULT& e) { std::strcpy(e.name_en, "ZHANG"); }, -1,
       "name_en error : ZHANG != ZHANG SAN\nname_en error : 9 != 5\n"},
      {"FirstOfTwo",
       [](TEST_OCR_RESULT& e) {
         std::strcpy(e.certificate_name, "签证");
         std::strcpy(e.nationality, "UTO");
       },
       -1, "certificate_name error : 签证 != 护照\n"},
      {"IssueDateNoBlank", [](TEST_OCR_RESULT& e) { std::strcpy(e.issue_date, "20200101"); }, -1,
       "issue_date error: 20200101 != \n"},
      {"Category", [](TEST_OCR_RESULT& e) { std::strcpy(e.category, "L"); }, -1, "category error : L != \n"},
      {"Mrz", [](TEST_OCR_RESULT& e) { std::strcpy(e.mrz, "P<CHN"); }, -1,
       "15 5\nmrz mismatch:\nP<CHNZHANG<<SAN\nP<CHN\n"},
      {"IssueAtIgnored", [](TEST_OCR_RESULT& e) { std::strcpy(e.issue_at, "SHANGHAI"); }, 0, ""},
      {"EmptyRecordMatchesAll", [](TEST_OCR_RESULT&) {}, 0, ""},
  };
  for (const Case& c : cases) {
    TEST_OCR_RESULT e;
    std::memset(&e, 0, sizeof e);
    c.set(e);
    int got = 1;
    const std::string log = captured([&] { got = check_ocr_result(r, e); });
    EXPECT_EQ(got, c.result) << c.name;
    if (c.message[0]) {
      EXPECT_EQ(log, c.message) << c.name;
    } else {
      EXPECT_EQ(log, "") << c.name;
    }
  }
}

TEST(Comparison, NameWithin32Bytes) {
  OCR_RESULT r{};
  TEST_OCR_RESULT e;
  std::memset(&e, 0, sizeof e);
  std::strcpy(r.name, std::string(31, 'N').c_str());
  std::strcpy(e.name, std::string(31, 'N').c_str());
  EXPECT_EQ(check_ocr_result(r, e), 0);
  std::strcpy(r.name, std::string(32, 'N').c_str());  // can never be expected
  EXPECT_EQ(check_ocr_result(r, e), -1);
}

TEST(Comparison, UnterminatedResultFieldNeverAgrees) {
  OCR_RESULT r{};
  std::memset(r.sex, 'M', sizeof r.sex);  // no terminator within the field
  TEST_OCR_RESULT e;
  std::memset(&e, 0, sizeof e);
  std::strcpy(e.sex, "MMMMMMM");
  captured([&] { EXPECT_EQ(check_ocr_result(r, e), -1); });
}

TEST_F(ExpectedResults, AnyRecordMatchesAndEachMismatchLogs) {
  ASSERT_EQ(load(block("certificate_name:签证\n") + block("certificate_name:护照\nid:X\n") +
                 block("certificate_name:护照\nid:e12345678\n") + block("certificate_name:never\n")),
            0);
  ASSERT_EQ(ocr_info_list.size(), 4u);
  const OCR_RESULT r = passport_result();
  std::string log = captured([&] { EXPECT_EQ(check_ocr_by_read_ocr_info(r), 0); });
  EXPECT_TRUE(contains(log, "certificate_name error : 签证 != 护照")) << log;
  EXPECT_FALSE(contains(log, "NEVER")) << log;  // records after a match are not tried
  OCR_RESULT other = passport_result();
  std::strcpy(other.id, "G0");
  log = captured([&] { EXPECT_EQ(check_ocr_by_read_ocr_info(other), -1); });
  EXPECT_TRUE(contains(log, "certificate_name error : NEVER != 护照")) << log;
}

TEST(DisplayRecord, LogsNonEmptyFieldsWithoutIssueAt) {
  vyr_set_log_dummy(0);
  TEST_OCR_RESULT e;
  clear_test_ocr_result(e);
  std::strcpy(e.certificate_name, "护照");
  std::strcpy(e.id, "E1");
  std::strcpy(e.issue_at, "BJ");
  std::strcpy(e.mrz, "P<CHN");
  const std::string log = captured([&] { display_cur_ocr(e); });
  EXPECT_EQ(log, std::string(43, '-') + "\ncertificate_name : 护照\nid : E1\nmrz : P<CHN 5\n");
}

}  // namespace
