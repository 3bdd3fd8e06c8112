// Character re-reading: the crop geometry, the decisions of ocr_one_char and
// ocr_chars between the two recognisers (scripted through the seam), and the
// small helpers of the same topic.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "scan_utils.h"
#include "test_mrz_reader_fixtures.h"
#include "vyr_crnn.h"

namespace {

using mrzfx::captured;
using mrzfx::Read;

// ---- geometry ----------------------------------------------------------------------------

TEST(RectImage, GrowsByFourAndClipsToTheImage) {
  cv::Mat img(50, 200, CV_8UC3, cv::Scalar::all(0));
  cv::Mat corner = getRectImage(img, cv::Rect(2, 1, 10, 20));
  cv::Size whole;
  cv::Point ofs;
  corner.locateROI(whole, ofs);
  EXPECT_EQ(ofs, cv::Point(0, 0));
  EXPECT_EQ(corner.size(), cv::Size(16, 25));  // to x 15 and y 24: 4 past the box
  EXPECT_EQ(corner.datastart, img.datastart);  // a view, not a copy

  cv::Mat right = getRectImage(img, cv::Rect(190, 10, 10, 20));
  right.locateROI(whole, ofs);
  EXPECT_EQ(ofs, cv::Point(186, 6));
  EXPECT_EQ(ofs.x + right.cols, 200);  // ends at the last column
  EXPECT_EQ(right.rows, 28);

  EXPECT_TRUE(getRectImage(img, cv::Rect(260, 10, 10, 20)).empty());
  EXPECT_TRUE(getRectImage(img, cv::Rect(-40, 10, 10, 20)).empty());
  cv::Mat none;
  EXPECT_TRUE(getRectImage(none, cv::Rect(0, 0, 5, 5)).empty());
}

std::vector<cv::Rect> row(int n, int pitch = 20) {
  std::vector<cv::Rect> b;
  for (int i = 0; i < n; ++i) b.emplace_back(pitch * i + 5, 10, 15, 20);
  return b;
}

struct CropCase {
  const char* label;
  std::vector<cv::Rect> boxes;
  int count, first, last, leftMargin;
  cv::Rect expected;
};
class CropRun : public testing::TestWithParam<CropCase> {};
TEST_P(CropRun, Table) {
  const CropCase& c = GetParam();
  EXPECT_EQ(cropCharRect(c.boxes, c.count, c.first, c.last, 250, 60, c.leftMargin, 2, 2, 2), c.expected);
}
std::vector<cv::Rect> tallFirst() {
  auto b = row(10);
  b[0] = cv::Rect(5, 0, 15, 50);
  return b;
}
std::vector<cv::Rect> overlapping() {
  auto b = row(10);
  b[3].x = b[2].x - 5;
  return b;
}
INSTANTIATE_TEST_SUITE_P(
    Geometry, CropRun,
    testing::Values(
        // just before the next box; vertically over boxes 0..last
        CropCase{"Inner", row(10), 10, 2, 4, 2, cv::Rect(43, 8, 61, 24)},
        CropCase{"EndsTheLine", row(10), 10, 7, 9, 2, cv::Rect(143, 8, 107, 24)},
        CropCase{"LeftMarginAtMost7", row(10), 10, 2, 4, 10, cv::Rect(38, 8, 66, 24)},
        CropCase{"NotBelowZero", row(10), 10, 0, 0, 7, cv::Rect(0, 8, 24, 24)},
        CropCase{"TallBoxZeroWidens", tallFirst(), 10, 5, 6, 2, cv::Rect(103, 0, 41, 52)},
        // the list is shorter than the count: no box after the run
        CropCase{"NoNextBox", row(10), 12, 7, 9, 2, cv::Rect()},
        CropCase{"FirstAfterLast", row(10), 10, 5, 4, 2, cv::Rect()},
        CropCase{"LastOutsideList", row(10), 10, 5, 10, 2, cv::Rect()},
        CropCase{"NegativeFirst", row(10), 10, -1, 3, 2, cv::Rect()},
        // the next box starts left of the run: no area
        CropCase{"NoArea", overlapping(), 10, 2, 2, 2, cv::Rect()}),
    [](const testing::TestParamInfo<CropCase>& i) { return std::string(i.param.label); });

TEST(MinRect, HalfABoxLeftOfTheFirst) {
  const auto b = row(10);
  EXPECT_EQ(minRect(b, 10, 4, 250, 60), cv::Rect(0, 6, 104, 28));  // 5 - 7 raised to 0
  auto shifted = row(10);
  for (auto& r : shifted) r.x += 30;
  EXPECT_EQ(minRect(shifted, 10, 9, 250, 60), cv::Rect(28, 6, 222, 28));
  EXPECT_EQ(minRect(b, 12, 9, 250, 60), cv::Rect());
}

// ---- re-reading decisions ------------------------------------------------------------------

constexpr int kPitch = 20;

// Line 2 of 44 cells on a plain colour image; the recognisers are scripted.
class Reread : public testing::Test {
 protected:
  void SetUp() override {
    g_rapidRec_line_1 = cv::Mat(40, 2 * mrzfx::kMargin + 44 * kPitch, CV_8UC3, cv::Scalar::all(200));
    g_rapidRec_line_2 = cv::Mat(40, 2 * mrzfx::kMargin + 44 * kPitch, CV_8UC3, cv::Scalar::all(200));
    boxes_ = mrzfx::cellBoxes(kPitch, 40, 44);
    std::memset(text_, '<', 88);
    text_[88] = '\0';
    rec_.truth[1] = rec_.truth[2] = std::string(44, '?');
    rec_.script = [this](const Read& r) -> std::optional<std::string> {
      if (!r.en) return mrz_;
      auto it = en_.find(r.first);
      return it == en_.end() ? std::string() : it->second;
    };
  }
  void put(int position, const std::string& s) { std::memcpy(text_ + 44 + position, s.data(), s.size()); }
  std::string at(int position, int n) const { return std::string(text_ + 44 + position, n); }

  mrzfx::ScriptedRecognisers rec_{kPitch};
  std::vector<cv::Rect> boxes_;
  char text_[89];
  std::string mrz_;                  // the MRZ recogniser's answer
  std::map<int, std::string> en_;    // the English recogniser's answer per cell
};

struct OneCase {
  const char* label;
  char c;              // the text's character
  std::string mrz, en; // the two recognisers' answers
  int rc;
  char after;
  bool askedEnglish;
  const char* log;     // expected log fragment or ""
};
class OneChar : public Reread, public testing::WithParamInterface<OneCase> {};
TEST_P(OneChar, Table) {
  const OneCase& c = GetParam();
  text_[44 + 7] = c.c;
  mrz_ = c.mrz;
  en_[7] = c.en;
  int rc = 0;
  const std::string log = captured([&] { rc = ocr_one_char(g_rapidRec_line_2, boxes_, 2, text_, 7, 'O'); });
  EXPECT_EQ(rc, c.rc);
  EXPECT_EQ(text_[44 + 7], c.after);
  EXPECT_EQ(rec_.count(true), c.askedEnglish ? 1 : 0);
  ASSERT_FALSE(rec_.reads.empty());
  EXPECT_EQ(rec_.reads[0].first, 7);  // the crop holds that one character
  EXPECT_EQ(rec_.reads[0].count, 1);
  EXPECT_EQ(rec_.reads[0].mode, 'O');
  if (*c.log) {
    EXPECT_NE(log.find(c.log), std::string::npos) << log;
  } else {
    EXPECT_EQ(log, "");
  }
}
INSTANTIATE_TEST_SUITE_P(
    Decisions, OneChar,
    testing::Values(OneCase{"Agrees", 'A', "A", "", 0, 'A', false, ""},
                    OneCase{"ZeroForO", 'O', "0", "", 0, 'O', false, ""},
                    OneCase{"EnglishConfirmsText", 'A', "B", "A", 0, 'A', true, ""},
                    OneCase{"EnglishConfirmsOForZero", '0', "B", "O", 0, '0', true, ""},
                    OneCase{"BothAgree", 'A', "B", "B", 0, 'B', true, "fix: A -> B"},
                    OneCase{"BothOAndZero", 'A', "O", "0", 0, 'O', true, "fix: A -> O"},
                    OneCase{"AllDiffer", 'A', "B", "C", -1, 'A', true, ""},
                    OneCase{"NoEnglishFillerWins", 'K', "<", "", 0, '<', true, "fix: K -> <"},
                    OneCase{"NoEnglishZeroStands", '0', "Q", "", 0, '0', true, ""},
                    OneCase{"NoEnglishFillerStands", '<', "Q", "", 0, '<', true, ""},
                    OneCase{"NoEnglishUnsettled", 'A', "Q", "", -1, 'A', true, ""},
                    OneCase{"NoAnswerAtAll", 'A', "", "", -1, 'A', true, ""},
                    OneCase{"NoAnswerOnFiller", '<', "", "", 0, '<', true, ""}),
    [](const testing::TestParamInfo<OneCase>& i) { return std::string(i.param.label); });

TEST_F(Reread, OneCharRefusesBadLinesAndBoxes) {
  text_[44 + 7] = 'A';
  mrz_ = "B";
  EXPECT_EQ(ocr_one_char(g_rapidRec_line_2, boxes_, 3, text_, 7, 'O'), -1);
  EXPECT_EQ(ocr_one_char(g_rapidRec_line_2, boxes_, 0, text_, 7, 'O'), -1);
  EXPECT_EQ(ocr_one_char(g_rapidRec_line_2, boxes_, 2, text_, 44, 'O'), -1);
  EXPECT_EQ(ocr_one_char(g_rapidRec_line_2, boxes_, 2, text_, -1, 'O'), -1);
  boxes_[7] = cv::Rect(5000, 0, 20, 40);  // outside the image
  EXPECT_EQ(ocr_one_char(g_rapidRec_line_2, boxes_, 2, text_, 7, 'O'), -1);
  EXPECT_TRUE(rec_.reads.empty());
  EXPECT_EQ(text_[44 + 7], 'A');
}

TEST_F(Reread, OneCharOnLineOneWritesFromIndexZero) {
  text_[7] = 'K';
  mrz_ = "<";
  captured([&] { EXPECT_EQ(ocr_one_char(g_rapidRec_line_1, boxes_, 1, text_, 7, 'L'), 0); });
  EXPECT_EQ(text_[7], '<');
  EXPECT_EQ(rec_.reads[0].line, 1);
}

struct RunCase {
  const char* label;
  std::string text;                // the three characters from position 2
  std::string mrz;                 // the MRZ recogniser on the run
  std::map<int, std::string> en;   // the English recogniser per cell (the run itself: cell 2)
  int rc;
  std::string after;
  int englishReads;
  const char* log;
};
class Chars : public Reread, public testing::WithParamInterface<RunCase> {};
TEST_P(Chars, Table) {
  const RunCase& c = GetParam();
  put(2, c.text);
  mrz_ = c.mrz;
  en_ = c.en;
  int rc = 0;
  const std::string log = captured([&] { rc = ocr_chars(g_rapidRec_line_2, boxes_, 2, text_, 2, 3, 'N'); });
  EXPECT_EQ(rc, c.rc);
  EXPECT_EQ(at(2, 3), c.after);
  EXPECT_EQ(rec_.count(true), c.englishReads);
  ASSERT_FALSE(rec_.reads.empty());
  EXPECT_EQ(rec_.reads[0].first, 2);
  EXPECT_EQ(rec_.reads[0].count, 3);  // one read of the whole run
  if (*c.log) {
    EXPECT_NE(log.find(c.log), std::string::npos) << log;
  }
}
INSTANTIATE_TEST_SUITE_P(
    Decisions, Chars,
    testing::Values(
        RunCase{"Agrees", "123", "123", {}, 0, "123", 0, ""},
        RunCase{"OZeroAgree", "1O3", "103", {}, 0, "1O3", 0, ""},
        RunCase{"LongerReadingUsesItsStart", "123", "1234", {}, 0, "123", 0, ""},
        // shorter: only a whole-run confirmation by the English recogniser
        RunCase{"ShortConfirmed", "123", "12", {{2, "123"}}, 0, "123", 1, ""},
        RunCase{"ShortNotConfirmed", "123", "12", {{2, "1234"}}, -1, "123", 1, ""},
        RunCase{"ShortNoOZeroRule", "1O3", "", {{2, "103"}}, -1, "1O3", 1, ""},
        RunCase{"BothAgreeOnRepair", "123", "183", {{3, "8"}}, 0, "183", 1, "2 -> 8"},
        RunCase{"EnglishConfirmsText", "123", "183", {{3, "2"}}, 0, "123", 1, ""},
        RunCase{"AllDiffer", "123", "183", {{3, "7"}}, -1, "123", 1, "2 8 7"},
        RunCase{"NoEnglishFillerWins", "1K3", "1<3", {}, 0, "1<3", 1, "K -> <"},
        RunCase{"NoEnglishOStands", "1O3", "1Q3", {}, 0, "1O3", 1, ""},
        // unlike a single character, a 0 in the text does not stand
        RunCase{"NoEnglishZeroDoesNotStand", "103", "1Q3", {}, -1, "103", 1, "0 Q O/<"},
        // stops at the first unsettled position; earlier repairs stay
        RunCase{"StopsAtFirstUnsettled", "123", "<QQ", {{3, "7"}}, -1, "<23", 2, "2 Q 7"}),
    [](const testing::TestParamInfo<RunCase>& i) { return std::string(i.param.label); });

TEST_F(Reread, CharsRefusesBadArguments) {
  put(2, "123");
  mrz_ = "999";
  EXPECT_EQ(ocr_chars(g_rapidRec_line_2, boxes_, 3, text_, 2, 3, 'N'), -1);
  EXPECT_EQ(ocr_chars(g_rapidRec_line_2, boxes_, 2, text_, 42, 3, 'N'), -1);  // past the list
  EXPECT_EQ(ocr_chars(g_rapidRec_line_2, boxes_, 2, text_, 2, 0, 'N'), -1);
  // a run rectangle without area is a failed re-read, not a crop
  boxes_[5].x = boxes_[2].x - 10;
  EXPECT_EQ(ocr_chars(g_rapidRec_line_2, boxes_, 2, text_, 2, 3, 'N'), -1);
  EXPECT_TRUE(rec_.reads.empty());
  EXPECT_EQ(at(2, 3), "123");
}

// A line of 36 boxes: a run that ends on the last box reaches the image's
// edge instead of looking for a 37th box.
TEST_F(Reread, RunEndingOnTheLastOf36Boxes) {
  boxes_.resize(36);
  g_rapidRec_line_2 = g_rapidRec_line_2.colRange(0, 2 * mrzfx::kMargin + 36 * kPitch).clone();
  rec_.truth[2] = std::string(36, '?');
  put(33, "<<8");
  mrz_ = "<<8";
  captured([&] { EXPECT_EQ(ocr_chars(g_rapidRec_line_2, boxes_, 2, text_, 33, 3, 'N'), 0); });
  ASSERT_EQ(rec_.reads.size(), 1u);
  EXPECT_EQ(rec_.reads[0].first, 33);
  EXPECT_EQ(rec_.reads[0].count, 3);
  // a 30-box card line likewise
  boxes_.resize(30);
  rec_.reads.clear();
  rec_.truth[2] = std::string(30, '?');
  put(27, "<<1");
  mrz_ = "<<1";
  captured([&] { EXPECT_EQ(ocr_chars(g_rapidRec_line_2, boxes_, 2, text_, 27, 3, 'N'), 0); });
  EXPECT_EQ(rec_.reads.size(), 1u);
}

TEST(RereadSeam, DefaultsToTheLibraryRecognisers) {
  set_reread_recognisers(nullptr, nullptr);
  uninit_crnn();
  cv::Mat line(40, 100, CV_8UC3, cv::Scalar::all(200));
  std::vector<cv::Rect> boxes = mrzfx::cellBoxes(kPitch, 40, 3);
  char text[89];
  std::memset(text, '<', 88);
  text[88] = '\0';
  text[1] = 'A';
  int rc0 = 0, rc1 = 0;
  const std::string log = captured([&] {
    rc0 = ocr_one_char(line, boxes, 1, text, 0, 'O');  // a filler stands without answers
    rc1 = ocr_one_char(line, boxes, 1, text, 1, 'O');  // a letter does not
  });
  EXPECT_EQ(rc0, 0);
  EXPECT_EQ(rc1, -1);
  EXPECT_NE(log.find("load  model first!"), std::string::npos) << log;
}

TEST(CheckEq, OAndZeroAreOne) {
  EXPECT_TRUE(check_eq('O', '0'));
  EXPECT_TRUE(check_eq('0', 'O'));
  EXPECT_TRUE(check_eq('A', 'A'));
  EXPECT_FALSE(check_eq('O', '<'));
  EXPECT_FALSE(check_eq('0', 'Q'));
}

// ---- helpers ---------------------------------------------------------------------------------

struct FixCase {
  std::string in;
  int rc;
  std::string out;
};
class FixTextLine : public testing::TestWithParam<FixCase> {};
TEST_P(FixTextLine, PadsLostFillers) {
  TextLine line;
  line.text = GetParam().in;
  line.scores.assign(line.text.size(), 0.9f);
  char pattern[] = "AB<<CD";
  int rc = 0;
  const std::string log = captured([&] { rc = fix_text_line(line, pattern, 6); });
  EXPECT_EQ(rc, GetParam().rc);
  EXPECT_EQ(line.text, GetParam().out);
  if (rc == 0) {
    EXPECT_EQ(line.scores.size(), 6u);
    EXPECT_NE(log.find("fix=>" + GetParam().out), std::string::npos);
  } else {
    EXPECT_EQ(line.scores.size(), GetParam().in.size());
  }
}
INSTANTIATE_TEST_SUITE_P(Pattern, FixTextLine,
                         testing::Values(FixCase{"ABCD", 0, "AB<<CD"}, FixCase{"AB<CD", 0, "AB<<CD"},
                                         FixCase{"AB<<CD", 0, "AB<<CD"}, FixCase{"ABC", -1, "ABC"},
                                         FixCase{"ABCDE", -1, "ABCDE"}, FixCase{"ABCDEFG", -1, "ABCDEFG"},
                                         FixCase{"", -1, ""}));

TEST(FixTextLine, ScoresCarryForward) {
  TextLine line;
  line.text = "XYZ";
  line.scores = {0.9f, 0.05f, 0.8f};
  char pattern[] = "XYZ<<";
  captured([&] { ASSERT_EQ(fix_text_line(line, pattern, 5), -1); });  // ends early
  char open[] = "XYZQQ";
  line.text = "XYZ";
  captured([&] { ASSERT_EQ(fix_text_line(line, open, 3), 0); });
  // n = 5 with a pattern of letters: the reading must fill all five
  line.text = "XYZAB";
  line.scores = {0.9f, 0.05f, 0.8f};
  captured([&] { ASSERT_EQ(fix_text_line(line, open, 5), 0); });
  EXPECT_EQ(line.scores, (std::vector<float>{0.9f, 0.9f, 0.8f, 0.8f, 0.8f}));
}

TEST(SmallHelpers, EndOfRightLine1AndFix) {
  char a[] = "AB<<<<", b[] = "ABCDE<", c[] = "ABC<", d[] = "ABCD";
  EXPECT_EQ(endof_right(a, 6), 2);
  EXPECT_EQ(endof_right(b, 6), 1);
  EXPECT_EQ(endof_right(c, 4), 1);
  EXPECT_EQ(endof_right(d, 4), 0);
  EXPECT_EQ(endof_right(a, 0), 0);  // nothing before index 0 is read
  char many[] = "AB<<<<<<<<<<";
  EXPECT_EQ(endof_right(many, 12), 8);

  char x[] = "A<B<C", y[] = "ABC<<<<";
  EXPECT_EQ(verifyLine1(x, y, 7), 0);
  char longer[] = "ABCDEFGHIJ";  // more non-fillers than n: no overrun, just unequal
  EXPECT_NE(verifyLine1(longer, y, 3), 0);

  char f[] = "ABCDE", g[] = "A<C<E";
  fixLine1(f, g, 5);
  EXPECT_STREQ(f, "A<C<E");
}

}  // namespace
