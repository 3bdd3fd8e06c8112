// Check digits, dates, the composite check, the per-field checks and the
// nationality-code table.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <set>
#include <string>

#include "global.h"
#include "result.h"
#include "verify.h"

namespace {

std::string quiet(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

bool verifyText(std::string s) { return verify(&s[0]); }

// Independent 7-3-1 sum for the long-field case.
char checkDigitOf(const std::string& s) {
  static const int w[3] = {7, 3, 1};
  int sum = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const int v = c >= '0' && c <= '9' ? c - '0' : c >= 'A' && c <= 'Z' ? c - 'A' + 10 : 0;
    sum += v * w[i % 3];
  }
  return static_cast<char>('0' + sum % 10);
}

// ---- verify ------------------------------------------------------------------------

struct DigitCase {
  const char* field;
  bool ok;
};

class CheckDigit : public testing::TestWithParam<DigitCase> {};

TEST_P(CheckDigit, Table) {
  std::string f = GetParam().field;
  const std::string before = f;
  EXPECT_EQ(verify(&f[0]), GetParam().ok) << before;
  EXPECT_EQ(f, before);  // never changes the field
}

INSTANTIATE_TEST_SUITE_P(
    Icao, CheckDigit,
    testing::Values(
        // ICAO 9303 TD3 specimen, line 2: number, birth, expiry, optional data
        DigitCase{"L898902C36", true}, DigitCase{"7408122", true}, DigitCase{"1204159", true},
        DigitCase{"ZE184226B<<<<<1", true},
        // and its composite over positions 1-10, 14-20, 22-43
        DigitCase{"L898902C3674081221204159ZE184226B<<<<<10", true},
        DigitCase{"L898902C3674081221204159ZE184226B<<<<<11", false},
        // TD2 specimen: number and the composite (with and without the fillers)
        DigitCase{"D231458907", true}, DigitCase{"D23145890774081221204159<<<<<<<6", true},
        DigitCase{"D231458907740812212041596", true},
        // MRV-A / MRV-B specimen visa: number, birth, expiry
        DigitCase{"L8988901C4", true}, DigitCase{"4009078", true}, DigitCase{"9612109", true},
        DigitCase{"L8988901C5", false}, DigitCase{"4009079", false},
        // edge cases
        DigitCase{"1234567897", true}, DigitCase{"1234567898", false},
        DigitCase{"AB<126", true},            // '<' counts 0 but keeps its place
        DigitCase{"ab<126", true},            // lower case counts like upper case
        DigitCase{"E0000000A", true},         // a letter in the check place passes unchecked
        DigitCase{"1234567<", true},          // so does a filler
        DigitCase{"A", true}, DigitCase{"<", true}, DigitCase{"7", false}, DigitCase{"", false},
        DigitCase{"12345 67897", false},      // a blank anywhere fails
        DigitCase{"123456789 ", false}, DigitCase{"12#4566", false}),
    [](const testing::TestParamInfo<DigitCase>& i) { return "case" + std::to_string(i.index); });

TEST(CheckDigit, FieldsLongerThan128CharactersAreSummedWhole) {
  std::string body;
  for (int i = 0; i < 300; ++i) body += "AB7<9"[i % 5];
  EXPECT_TRUE(verifyText(body + checkDigitOf(body)));
  const char wrong = checkDigitOf(body) == '0' ? '1' : '0';
  EXPECT_FALSE(verifyText(body + wrong));
  // A change beyond character 128 still counts.
  std::string changed = body + checkDigitOf(body);
  changed[250] = changed[250] == '7' ? '8' : '7';
  EXPECT_FALSE(verifyText(changed));
}

// ---- verifyDate ----------------------------------------------------------------------

struct DateCase {
  const char* date;
  bool ok;
};
class Dates : public testing::TestWithParam<DateCase> {};
TEST_P(Dates, Table) {
  std::string d = GetParam().date;
  EXPECT_EQ(verifyDate(&d[0]), GetParam().ok) << GetParam().date;
  EXPECT_EQ(d, GetParam().date);
}
INSTANTIATE_TEST_SUITE_P(
    Plausibility, Dates,
    testing::Values(DateCase{"<<<<<<", true}, DateCase{"740812", true}, DateCase{"7408122", true},
                    DateCase{"991301", false},  // month 13
                    DateCase{"990001", false},  // month 0
                    DateCase{"990100", false},  // day 0
                    DateCase{"990132", false}, DateCase{"990131", true},
                    DateCase{"990231", true},   // no tie between day and month
                    DateCase{"XX0101", true},   // the year is never tested
                    DateCase{"9901<5", true},   // a filler in the day
                    DateCase{"99<<31", true}, DateCase{"99<<32", false},  // open month, day tested
                    DateCase{"991A01", true},   // atoi stops at the letter: month 1
                    DateCase{"99A101", false},  // month 0
                    DateCase{"99010", false},   // too short
                    DateCase{"", false}),
    [](const testing::TestParamInfo<DateCase>& i) { return "case" + std::to_string(i.index); });

// ---- checkFinal ------------------------------------------------------------------------

class Composite : public testing::Test {
 protected:
  void SetUp() override {
    clearResult();
    PASSPORT_OCR_RESULT& r = passport_ocr_result;
    std::memcpy(r.mrz, "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<L898902C36UTO7408122F1204159ZE184226B<<<<<10", 88);
    std::strcpy(r.id, "L898902C36");
    std::strcpy(r.birthday, "7408122");
    std::strcpy(r.expired, "1204159");
    std::strcpy(r.option, "ZE184226B<<<<<1");
  }
};

TEST_F(Composite, Td3SpecimenPasses) {
  const std::string log = quiet([] { EXPECT_TRUE(checkFinal(passport_ocr_result, 87)); });
  EXPECT_STREQ(passport_ocr_result.final_check, "0");
  EXPECT_EQ(passport_ocr_result.final_valid, 1);
  EXPECT_NE(log.find("final:[L898902C3674081221204159ZE184226B<<<<<10] v:true"), std::string::npos) << log;
}

TEST_F(Composite, WrongDigitFailsAndLetterOBecomesZeroInTheRecord) {
  passport_ocr_result.mrz[87] = '1';
  quiet([] { EXPECT_FALSE(checkFinal(passport_ocr_result, 87)); });
  EXPECT_EQ(passport_ocr_result.final_valid, 0);
  passport_ocr_result.mrz[87] = 'O';
  quiet([] { EXPECT_TRUE(checkFinal(passport_ocr_result, 87)); });
  EXPECT_EQ(passport_ocr_result.mrz[87], '0');  // the repair stays
}

TEST_F(Composite, FillerDigitPassesWhateverTheItems) {
  passport_ocr_result.mrz[87] = '<';
  std::strcpy(passport_ocr_result.id, "XXXXXXXXX9");
  quiet([] { EXPECT_TRUE(checkFinal(passport_ocr_result, 87)); });
  EXPECT_EQ(passport_ocr_result.final_valid, 1);
}

TEST_F(Composite, TwoLinesOf36IgnoreOptionAndPosition) {
  PASSPORT_OCR_RESULT& r = passport_ocr_result;
  r.mrz_type = 1;
  std::memset(r.mrz + 44, ' ', 44);
  std::memcpy(r.mrz + 44, "D231458907UTO7408122F1204159<<<<<<<6", 36);
  std::strcpy(r.id, "D231458907");
  std::strcpy(r.option, "garbage");
  std::string log = quiet([&] { EXPECT_TRUE(checkFinal(r, 3)); });
  EXPECT_NE(log.find("final:[D231458907740812212041596]"), std::string::npos) << log;
  r.mrz[79] = 'O';
  quiet([&] { EXPECT_FALSE(checkFinal(r, 87)); });
  EXPECT_EQ(r.mrz[79], '0');
  EXPECT_STREQ(r.final_check, "0");
}

TEST_F(Composite, DigitIndexOutsideTheMrzFails) {
  quiet([] { EXPECT_FALSE(checkFinal(passport_ocr_result, 88)); });
  quiet([] { EXPECT_FALSE(checkFinal(passport_ocr_result, -1)); });
  EXPECT_EQ(passport_ocr_result.final_valid, 0);
}

// ---- per-field checks ---------------------------------------------------------------------

TEST(FieldChecks, DatesSexAndIssueCountStoreAndLog) {
  clearResult();
  char line[] = "L898902C36UTO7408122F1204159ZE184226B<<<<<10";
  std::string log = quiet([&] {
    EXPECT_TRUE(checkBirthDate(line, 13));
    EXPECT_TRUE(checkExpiredDate(line, 21));
    EXPECT_TRUE(checkSex(line, 20));
    EXPECT_FALSE(checkSex(line, 0));
  });
  EXPECT_STREQ(passport_ocr_result.birthday, "7408122");
  EXPECT_STREQ(passport_ocr_result.expired, "1204159");
  EXPECT_EQ(passport_ocr_result.birthday_valid, 1);
  EXPECT_STREQ(passport_ocr_result.sex, "L");
  EXPECT_EQ(passport_ocr_result.sex_valid, 0);
  EXPECT_NE(log.find("Birthday: [7408122] v:true"), std::string::npos);
  EXPECT_NE(log.find("Sex: [F] v:true"), std::string::npos);
  EXPECT_NE(log.find("Sex: [L] v:false"), std::string::npos);

  char count[] = "xx123";
  log = quiet([&] { EXPECT_TRUE(checkIssueCount(count, 2)); });
  EXPECT_NE(log.find("Issue_count: [123] v:true"), std::string::npos);
  // no date test in this family: month 13 with its right digit passes
  std::string month13 = std::string("991301") + checkDigitOf("991301");
  quiet([&] { EXPECT_TRUE(checkBirthDate(&month13[0], 0)); });
}

TEST(FieldChecks, StateCodesAreRepairedIntoTheText) {
  init_ncode_map();
  clearResult();
  char text[] = "P<0MNX";
  std::string log = quiet([&] { EXPECT_TRUE(checkNCode1(text, 2)); });
  EXPECT_STREQ(text, "P<OMNX");
  EXPECT_STREQ(passport_ocr_result.issue_country, "OMN");
  EXPECT_EQ(passport_ocr_result.issue_country_valid, 1);
  EXPECT_NE(log.find("issue_country: [OMN] v:true"), std::string::npos);

  char other[] = "C8NQ";
  log = quiet([&] { EXPECT_FALSE(checkNCode(other, 0)); });
  EXPECT_STREQ(other, "C8NQ");  // only a success is written back
  EXPECT_STREQ(passport_ocr_result.nationality, "CSN");
  EXPECT_EQ(passport_ocr_result.nationality_valid, 0);
}

TEST(FieldChecks, DocumentNumber) {
  clearResult();
  char text[] = "xxL898902C3O";  // 'O' in the check place is read as '0'
  std::string log = quiet([&] { EXPECT_FALSE(checkID(text, 2, 10)); });
  EXPECT_STREQ(text, "xxL898902C30");
  char good[] = "L898902C36";
  quiet([&] { EXPECT_TRUE(checkID(good, 0, 10)); });
  EXPECT_STREQ(passport_ocr_result.id, "L898902C36");
  EXPECT_EQ(passport_ocr_result.id_valid, 1);
  char filler[] = "12345<<<<<";
  quiet([&] { EXPECT_TRUE(checkID(filler, 0, 10)); });
  char tooLong[] = "12345678901";
  quiet([&] { EXPECT_FALSE(checkID(tooLong, 0, 11)); });
}

TEST(FieldChecks, OptionalData) {
  clearResult();
  // 2 x 36: always true, valid byte 0, O/0 between neighbours repaired
  passport_ocr_result.mrz_type = 1;
  char td2[] = "AB0CD1O2";
  std::string log = quiet([&] { EXPECT_TRUE(checkSelectData2(td2, 0)); });
  EXPECT_STREQ(passport_ocr_result.option, "ABOCD1O");  // the O of position 6 is the field's last
  EXPECT_EQ(passport_ocr_result.option_valid, 0);
  EXPECT_STREQ(td2, "ABOCD1O2");
  EXPECT_NE(log.find("seleData:[ABOCD1O] v:None"), std::string::npos);

  passport_ocr_result.mrz_type = 0;
  char filler[] = "ZE184226B<<<<<<";
  log = quiet([&] { EXPECT_TRUE(checkSelectData2(filler, 0)); });
  EXPECT_NE(log.find("v:None"), std::string::npos);
  EXPECT_EQ(passport_ocr_result.option_valid, 1);

  char good[] = "ZE184226B<<<<<1";
  log = quiet([&] { EXPECT_TRUE(checkSelectData2(good, 0)); });
  EXPECT_EQ(log.find("seleData"), std::string::npos);  // accepted silently

  // An O between two digits is repaired to 0 when that makes the digit hold.
  std::string field = "120456789<<<<<";
  field += checkDigitOf(field);
  field[2] = 'O';
  log = quiet([&] { EXPECT_TRUE(checkSelectData2(&field[0], 0)); });
  EXPECT_EQ(field.substr(0, 3), "120");
  EXPECT_EQ(std::string(passport_ocr_result.option).substr(0, 3), "120");
  EXPECT_NE(log.find("v:true"), std::string::npos) << log;
  // A repair that does not make the digit hold is not kept.
  std::string wrong = "1O3456789<<<<<0";
  log = quiet([&] { EXPECT_FALSE(checkSelectData2(&wrong[0], 0)); });
  EXPECT_EQ(wrong, "1O3456789<<<<<0");
  EXPECT_EQ(passport_ocr_result.option_valid, 0);
}

TEST(FieldChecks, SmallTextTests) {
  char t[] = "0O0X0";
  EXPECT_TRUE(verifyLine1(t, 3));
  EXPECT_STREQ(t, "OOOX0");
  for (char c : std::string("EIUV")) EXPECT_FALSE(verifyFamilyName(c));
  for (char c : std::string("AZ<0")) EXPECT_TRUE(verifyFamilyName(c));
}

// ---- nationality codes ---------------------------------------------------------------------

TEST(Nationality, TableHolds365RecordsAnd362Codes) {
  std::set<std::string> codes;
  for (int i = 0; i < kNcodeRecordCount; ++i) {
    const std::string code = C_PASSPORT_NCODE[i].code;
    ASSERT_EQ(code.size(), 3u) << i;
    for (char c : code) EXPECT_TRUE(c >= 'A' && c <= 'Z') << code;
    const std::string name = C_PASSPORT_NCODE[i].name;
    EXPECT_FALSE(name.empty()) << code;
    // Chinese names first, English names for the last nine records.
    const bool ascii = std::all_of(name.begin(), name.end(), [](char c) { return (c & 0x80) == 0; });
    if (i < 356) {
      EXPECT_FALSE(ascii) << code << " " << name;
    }
    codes.insert(code);
  }
  EXPECT_EQ(codes.size(), 362u);
  EXPECT_STREQ(C_PASSPORT_NCODE[0].code, "ABW");
  EXPECT_STREQ(C_PASSPORT_NCODE[356].code, "CUW");
  EXPECT_STREQ(C_PASSPORT_NCODE[364].code, "INP");

  EXPECT_EQ(init_ncode_map(), 0);
  EXPECT_EQ(g_ncode_map.size(), 362u);
  EXPECT_EQ(init_ncode_map(), 0);  // a second call rebuilds the same map
  EXPECT_EQ(g_ncode_map.size(), 362u);
}

TEST(Nationality, TellingRowsKeepTheirFirstName) {
  init_ncode_map();
  const std::pair<const char*, const char*> rows[] = {
      {"CHN", "中国"}, {"HKG", "中国香港"}, {"MAC", "澳门"}, {"TWN", "台湾"}, {"DMA", "多米尼克"},
      {"VEN", "委内瑞拉"}, {"DEU", "德国"}, {"GER", "德国"}, {"GBR", "英国"}, {"GBN", "英国"},
      {"EUE", "欧盟"}, {"UNO", "联合国组织"}, {"UNA", "联合国专门机构"}, {"UNK", "科索沃居民"},
      {"XOM", "马耳他最高军教团"}, {"XPO", "国际刑事警察组织"}, {"XXA", "无国籍"}, {"XXB", "难民"},
      {"XXC", "难民"}, {"XXX", "未确定国籍"}, {"CUW", "Curaçao"}, {"NTZ", "Neutral Zone"},
      {"SXM", "Sint Maarten"}, {"GBD", "British Overseas Territories"},
      {"GBO", "British Overseas Citizen"}, {"GBP", "British Protected"}, {"UTO", "Utopia"},
      {"RKS", "Kosovo"}, {"INP", "Interpol"}};
  for (const auto& row : rows) {
    std::string code = row.first, name;
    EXPECT_TRUE(verifyNCode(&code[0], name)) << row.first;
    EXPECT_EQ(name, row.second) << row.first;
  }
}

struct CodeCase {
  const char* in;
  bool ok;
  const char* after;  // the caller's text afterwards
  const char* name;   // what `name` receives
};
class StateCodes : public testing::TestWithParam<CodeCase> {
 protected:
  static void SetUpTestSuite() { init_ncode_map(); }
};
TEST_P(StateCodes, Table) {
  const CodeCase c = GetParam();
  std::string code = c.in, name = "stale";
  EXPECT_EQ(verifyNCode(&code[0], name), c.ok) << c.in;
  EXPECT_STREQ(code.c_str(), c.after);
  EXPECT_EQ(name, c.name);
  std::string again = c.in;
  EXPECT_EQ(verifyNcode(&again[0]), c.ok);
}
INSTANTIATE_TEST_SUITE_P(
    Lookup, StateCodes,
    testing::Values(CodeCase{"UTO", true, "UTO", "Utopia"}, CodeCase{"0MN", true, "OMN", "阿曼"},
                    CodeCase{"C8N", false, "CSN", "C8N"},  // repaired, rejected, repair kept
                    CodeCase{"D<<", true, "D<<", "D<<"},   // third filler: no look-up
                    CodeCase{"1#<", true, "1#<", "1#<"}, CodeCase{"D<E", false, "D<E", "D<E"},
                    CodeCase{"chn", false, "chn", "chn"},  // no case folding
                    CodeCase{"ZZZ", false, "ZZZ", "ZZZ"}, CodeCase{"CH", false, "CH", "CH"}),
    [](const testing::TestParamInfo<CodeCase>& i) { return "case" + std::to_string(i.index); });

}  // namespace
