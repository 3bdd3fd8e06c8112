// The checks of a Chinese visa's printed number and category (formats,
// repairs, log lines), the box test before reading, and the reading
// functions without a recogniser.
#include <gtest/gtest.h>

#include <string>

#include "passport_visa.h"
#include "passport_visa_utils.h"
#include "test_scan_fixtures.h"
#include "vyr_log.h"

namespace {

using scanfx::captured;

TextLine line(const std::string& text) {
  TextLine t;
  t.text = text;
  t.scores.assign(text.size(), 0.9f);
  return t;
}

int occurrences(const std::string& hay, const std::string& needle) {
  int n = 0;
  for (std::size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

struct CheckCase {
  int kind;
  std::string text;
  bool accept;
  std::string after;  // the text after the check
  std::string log;    // a line the check writes ("" for none)
  int times;          // how often it appears
};

class VisaText : public testing::TestWithParam<CheckCase> {
 protected:
  void SetUp() override { vyr_set_log_dummy(0); }
  void TearDown() override { vyr_set_log_dummy(1); }
};

TEST_P(VisaText, AcceptsRepairsAndLogs) {
  const CheckCase& c = GetParam();
  TextLine t = line(c.text);
  bool ok = false;
  const std::string log = captured([&] { ok = checkVisaText(&t, c.kind); });
  EXPECT_EQ(ok, c.accept);
  EXPECT_EQ(t.text, c.after);
  if (c.log.empty())
    EXPECT_EQ(log, "");
  else
    EXPECT_EQ(occurrences(log, c.log + "\n"), c.times) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Numbers, VisaText,
    testing::Values(
        // Kind 0: two letters or digits, six digits; O at 2..7 becomes 0.
        CheckCase{0, "AB12O4O6", true, "AB120406", "replace text_line->text: AB120406", 1},
        CheckCase{0, "OB123456", true, "OB123456", "", 0},
        CheckCase{0, "12345678", true, "12345678", "", 0},
        CheckCase{0, "<<123456", false, "<<123456", "check visa no first char error !", 2},
        CheckCase{0, "AB12C456", false, "AB12C456", "check visa no non_first char error !", 1},
        CheckCase{0, "AB12345", false, "AB12345", "check visa no cnt error !", 1},
        CheckCase{0, "AB1O345", false, "AB10345", "check visa no cnt error !", 1},
        // Kind 1: one letter or digit, seven digits, no repair.
        CheckCase{1, "E1091149", true, "E1091149", "", 0},
        CheckCase{1, "<1234567", false, "<1234567", "check visa no first char error !", 1},
        CheckCase{1, "EB234567", false, "EB234567", "check visa no non_first char error !", 1},
        CheckCase{1, "E12O4567", false, "E12O4567", "check visa no non_first char error !", 1},
        CheckCase{1, "E12345678", false, "E12345678", "check visa no cnt error !", 1},
        // Kind 4: nine symbols, two leading.
        CheckCase{4, "AB1234567", true, "AB1234567", "", 0},
        CheckCase{4, "AB12345678", false, "AB12345678", "check visa no cnt error !", 1},
        // Kinds above 4 (unsigned) are accepted unseen.
        CheckCase{7, "anything", true, "anything", "", 0},
        CheckCase{-1, "", true, "", "", 0}));

INSTANTIATE_TEST_SUITE_P(
    Categories, VisaText,
    testing::Values(CheckCase{3, "L", true, "L", "", 0},
                    CheckCase{2, "A", false, "A", "check visa category first char error ! char=A. ", 1},
                    CheckCase{3, "0I", true, "Q1", "change to : Q1", 1},
                    CheckCase{2, "XZ", true, "X2", "change to : X2", 1},
                    CheckCase{3, "S2", true, "S2", "", 0},
                    CheckCase{2, "Q3", false, "Q3", "check visa category non_first char error ! num=51. ", 1},
                    CheckCase{3, "0A", false, "QA", "check visa category non_first char error ! num=65. ", 1},
                    CheckCase{3, "L2", false, "L2", "check visa category first char error !char=L. ", 1},
                    CheckCase{2, "ABC", false, "ABC", "check visa category cnt error ! cnt=3", 1},
                    CheckCase{3, "", false, "", "check visa category cnt error ! cnt=0", 1}));

TEST(VisaTextRepairs, BothCategoryRepairsAreLoggedInOrder) {
  vyr_set_log_dummy(0);
  TextLine t = line("0I");
  const std::string log = captured([&] { EXPECT_TRUE(checkVisaText(&t, 3)); });
  vyr_set_log_dummy(1);
  EXPECT_EQ(log, "category : 0I\nchange to : QI\ncategory : QI\nchange to : Q1\n");
}

TEST(VisaTextRepairs, SymbolsAreCountedByScores) {
  // Eight characters with seven scores: the count decides.
  TextLine t = line("AB123456");
  t.scores.pop_back();
  EXPECT_FALSE(checkVisaText(&t, 0));
  // A text of 100 bytes or more cannot be examined: refused for the checked
  // kinds, accepted unseen above them.
  TextLine big = line(std::string(120, '1'));
  big.scores.assign(8, 0.9f);
  EXPECT_FALSE(checkVisaText(&big, 0));
  EXPECT_TRUE(checkVisaText(&big, 9));
  EXPECT_FALSE(checkVisaText(nullptr, 0));
}

TEST(VisaNumberExt, NineDigitsOnly) {
  const struct {
    const char* text;
    bool accept;
  } cases[] = {{"046218395", true}, {"04621839<", false}, {"0462A8395", false}, {"04621839", false},
               {"0462183950", false}};
  for (const auto& c : cases) {
    TextLine t = line(c.text);
    EXPECT_EQ(checkVisaNo_Ext(&t), c.accept) << c.text;
    EXPECT_EQ(t.text, c.text);
  }
  EXPECT_FALSE(checkVisaNo_Ext(nullptr));
}

TEST(VisaTextBox, MustLieStrictlyInsideTheCrop) {
  cv::Mat crop(50, 100, CV_8UC3);
  const struct {
    cv::RotatedRect box;
    int expected;
  } cases[] = {
      {cv::RotatedRect({50.f, 25.f}, {40.f, 20.f}, 0.f), 0},
      {cv::RotatedRect({50.f, 25.f}, {40.f, 20.f}, 30.f), 0},
      {cv::RotatedRect({20.f, 25.f}, {40.f, 20.f}, 0.f), -1},  // left side on x = 0
      {cv::RotatedRect({79.f, 25.f}, {40.f, 20.f}, 0.f), -1},  // right side on x = cols - 1
      {cv::RotatedRect({78.9f, 25.f}, {40.f, 20.f}, 0.f), 0},
      {cv::RotatedRect({50.f, 10.f}, {40.f, 20.f}, 0.f), -1},  // top on y = 0
      {cv::RotatedRect({50.f, 39.f}, {40.f, 20.f}, 0.f), -1},  // bottom on y = rows - 1
      {cv::RotatedRect({0.f, 0.f}, {0.f, 0.f}, 0.f), -1},      // the zero box of a failed search
  };
  for (const auto& c : cases)
    EXPECT_EQ(check_crnn_extract_en_result(crop, c.box), c.expected)
        << c.box.center << " " << c.box.size << " " << c.box.angle;
  cv::Mat none;
  EXPECT_EQ(check_crnn_extract_en_result(none, cv::RotatedRect({5.f, 5.f}, {2.f, 2.f}, 0.f)), -1);
}

TEST(VisaReading, WithoutARecogniserNothingIsRead) {
  // No recogniser is loaded in this program: every reading is empty, which
  // the number gates refuse and the category gate lets through to its check.
  cv::Mat crop(40, 120, CV_8UC3, cv::Scalar::all(255));
  TextLine t = line("stale");
  EXPECT_EQ(scanVisaNo(crop, t, 0), -1);
  EXPECT_EQ(t.text, "");
  EXPECT_EQ(scanVisaNo(crop, t, 1), -1);
  EXPECT_EQ(scanVisaNo_Ext(crop, t), -1);
  EXPECT_EQ(scan_category(crop, t), 0);
  EXPECT_FALSE(checkVisaText(&t, 3));
}

}  // namespace
