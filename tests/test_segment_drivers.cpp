// The segmentation drivers on rendered OCR-B lines: exact counts across
// degradations, the repair and failure paths, and what is published.
#include <gtest/gtest.h>

#include "char_segment.h"
#include "global.h"
#include "passportSeg.h"
#include "preprocess.h"
#include "test_segment_fixtures.h"
#include "vyr_log.h"

namespace {

using segfix::Look;

struct Pair {
  cv::Mat grey1, grey2;
};

Pair loadPair(const std::string& set, Look look = Look::Clean) {
  return {segfix::degrade(segfix::loadLine(set, 1), look),
          segfix::degrade(segfix::loadLine(set, 2), look)};
}

// Glyph cell i of a rendered line: columns [36 + pitch * i, 36 + pitch * (i + 1)).
void paintCell(cv::Mat& grey, int pitch, int i, int cells = 1) {
  grey(cv::Rect(segfix::kMargin + pitch * i, 0, pitch * cells, grey.rows)).setTo(segfix::kPaperGrey);
}

// A dark mark about one glyph high, 16 columns wide, at column x of the line.
void paintMark(cv::Mat& grey, int x) {
  grey(cv::Rect(x, 10, 16, 30)).setTo(segfix::kInkGrey);
}

// Boxes that charseg finds on the binarised grey line, before any repair.
size_t rawCount(const cv::Mat& grey, int C = 17) {
  cv::Mat g = grey.clone(), bin, unused;
  preprocess1(g, g, bin, unused, 31, C);
  cv::Mat inverted = ~bin;
  std::vector<cv::Rect> boxes;
  charseg(inverted, boxes);
  return boxes.size();
}

struct Outcome {
  int ret, sz1, sz2;
  int cols1;  // columns of bordered line 1
  cv::Mat colour1, colour2;
};

Outcome segment(int kind, const Pair& p, int C = 17) {
  Outcome o{0, -100, -100, 0, segfix::toColour(p.grey1), segfix::toColour(p.grey2)};
  cv::Mat g1 = p.grey1.clone(), g2 = p.grey2.clone(), b1, b2;
  if (kind == 1) {
    preprocess_card(g1, g2, b1, b2);
  } else {
    preprocess1(g1, g2, b1, b2, 31, C);
  }
  o.cols1 = b1.cols;
  o.ret = char_segment(kind, b1, b2, o.colour1, o.colour2, o.sz1, o.sz2);
  return o;
}

class SegDrivers : public ::testing::Test {
 protected:
  void SetUp() override {
    g_debug_show = 0;
    vyr_set_log_dummy(1);
  }
  void TearDown() override { vyr_set_log_dummy(0); }
};

// ---- exact counts ----------------------------------------------------------------------------

struct CountCase {
  const char* set;
  int kind, count, pitch;
  Look look;
};

std::ostream& operator<<(std::ostream& os, const CountCase& c) {
  return os << c.set << "/" << segfix::lookName(c.look);
}

class SegExactCount : public ::testing::TestWithParam<CountCase> {
 protected:
  void SetUp() override {
    g_debug_show = 0;
    vyr_set_log_dummy(1);
  }
};

TEST_P(SegExactCount, OneBoxPerCharacterPublishedForMatching) {
  const CountCase& c = GetParam();
  const Pair p = loadPair(c.set, c.look);
  ASSERT_FALSE(p.grey1.empty());
  ASSERT_FALSE(p.grey2.empty());
  const Outcome o = segment(c.kind, p);
  ASSERT_EQ(o.ret, 0);
  EXPECT_EQ(o.sz1, c.count);
  EXPECT_EQ(o.sz2, c.count);
  const size_t n = static_cast<size_t>(c.count);

  ASSERT_EQ(g_posRect.size(), 2 * n);
  ASSERT_EQ(g_posRect_no_blank.size(), 2 * n);
  ASSERT_EQ(g_posRect1.size(), n);
  ASSERT_EQ(g_posRect2.size(), n);
  for (size_t i = n; i < 2 * n; ++i) EXPECT_GE(g_posRect[i].x, o.cols1);
  EXPECT_EQ(g_line12.cols, o.cols1 + g_line2.cols);
  EXPECT_EQ(g_line12.type(), CV_8UC1);
  EXPECT_EQ(g_line1.type(), CV_8UC3);
  EXPECT_EQ(g_rapidRec_line_2.size(), o.colour2.size());
  EXPECT_NEAR(g_aCharWidth, c.pitch, 1);
  EXPECT_GE(g_aCharHeight, 28);
  EXPECT_LE(g_aCharHeight, 40);

  // Every box lies on its own glyph: its centre falls in the glyph's cell of
  // the colour line, and the ink-tight box sits inside the box.
  for (const std::vector<cv::Rect>* line : {&g_posRect1_rgb, &g_posRect2_rgb}) {
    ASSERT_EQ(line->size(), n);
    for (size_t i = 0; i < n; ++i) {
      const cv::Rect& r = (*line)[i];
      EXPECT_EQ(r & cv::Rect(0, 0, o.colour1.cols, o.colour1.rows), r) << i;
      const int centre = r.x + r.width / 2;
      EXPECT_GE(centre, segfix::kMargin + c.pitch * static_cast<int>(i) - 3) << i;
      EXPECT_LT(centre, segfix::kMargin + c.pitch * static_cast<int>(i + 1) + 3) << i;
    }
  }
  for (size_t i = 0; i < 2 * n; ++i) {
    EXPECT_EQ(g_posRect_no_blank[i] & g_posRect[i], g_posRect_no_blank[i]) << i;
  }
}

std::vector<CountCase> countCases() {
  const CountCase sets[] = {{"td3_p26", 0, 44, 26, Look::Clean}, {"td3_p24", 0, 44, 24, Look::Clean},
                            {"td3_p30", 0, 44, 30, Look::Clean}, {"mrvb_p26", 0, 36, 26, Look::Clean},
                            {"td1_p25", 1, 30, 25, Look::Clean}, {"td3_touch", 0, 44, 26, Look::Clean}};
  std::vector<CountCase> cases;
  for (CountCase c : sets) {
    for (Look look : {Look::Clean, Look::Blurred, Look::Noisy, Look::LowContrast}) {
      c.look = look;
      cases.push_back(c);
    }
  }
  return cases;
}

INSTANTIATE_TEST_SUITE_P(RenderedLines, SegExactCount, ::testing::ValuesIn(countCases()),
                         [](const testing::TestParamInfo<CountCase>& info) {
                           return std::string(info.param.set) + "_" + segfix::lookName(info.param.look);
                         });

TEST_F(SegDrivers, TouchingGlyphsAreCutApart) {
  // The fixture really has touching pairs: fewer column runs than glyphs.
  const Pair p = loadPair("td3_touch");
  cv::Mat g = p.grey1.clone(), bin, unused;
  preprocess1(g, g, bin, unused, 31, 17);
  cv::Mat profile;
  cv::reduce(bin, profile, 0, cv::REDUCE_MAX);
  int runs = 0;
  for (int x = 1; x < profile.cols; ++x) runs += (profile.at<uchar>(x) && !profile.at<uchar>(x - 1));
  EXPECT_LT(runs, 44);
  EXPECT_EQ(rawCount(p.grey1), 44u);
}

// ---- the callers' retry, repair and failure ------------------------------------------------

TEST_F(SegDrivers, LowContrastFailsAtTheHighConstantAndPassesAtTheLowOne) {
  const Pair p = loadPair("td3_p26", Look::LowContrast);
  Outcome o = segment(0, p, 25);
  EXPECT_EQ(o.ret, -1);
  EXPECT_TRUE(g_posRect.empty());
  o = segment(0, p, 11);
  EXPECT_EQ(o.ret, 0);
  EXPECT_EQ(g_posRect.size(), 88u);
}

struct RepairPath {
  const char* name;
  void (*edit)(cv::Mat& line2);
  size_t raw;  // boxes of line 2 before repair
  int cell;    // a glyph cell whose box the repair must provide, or -1
};

std::ostream& operator<<(std::ostream& os, const RepairPath& c) { return os << c.name; }

class SegRepairPaths : public ::testing::TestWithParam<RepairPath> {
 protected:
  void SetUp() override {
    g_debug_show = 0;
    vyr_set_log_dummy(1);
  }
};

TEST_P(SegRepairPaths, BringLineTwoBackToFortyFour) {
  const RepairPath& c = GetParam();
  Pair p = loadPair("td3_p26");
  c.edit(p.grey2);
  ASSERT_EQ(rawCount(p.grey2), c.raw);
  const Outcome o = segment(0, p);
  ASSERT_EQ(o.ret, 0);
  EXPECT_EQ(o.sz2, 44);
  ASSERT_EQ(g_posRect2_rgb.size(), 44u);
  if (c.cell >= 0) {
    const cv::Rect r = g_posRect2_rgb[c.cell];
    const int centre = r.x + r.width / 2;
    EXPECT_GE(centre, segfix::kMargin + segfix::kPitch * c.cell - 3);
    EXPECT_LT(centre, segfix::kMargin + segfix::kPitch * (c.cell + 1) + 3);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Edits, SegRepairPaths,
    ::testing::Values(
        // A glyph lost in the middle: addCharBox fills the gap.
        RepairPath{"gap filled", [](cv::Mat& g) { paintCell(g, segfix::kPitch, 10); }, 43, 10},
        // The first glyph lost: no gap; fixLessOne adds it at the head.
        RepairPath{"head added", [](cv::Mat& g) { paintCell(g, segfix::kPitch, 0); }, 43, 0},
        // The last glyph lost: fixLessOne adds it at the tail.
        RepairPath{"tail added", [](cv::Mat& g) { paintCell(g, segfix::kPitch, 43); }, 43, 43},
        // A mark standing apart after the last glyph: removeHeadAndTail drops it.
        RepairPath{"tail mark dropped",
                   [](cv::Mat& g) { paintMark(g, segfix::kMargin + segfix::kPitch * 44 + 14); }, 45,
                   43}));

TEST_F(SegDrivers, RepairLogsTheShortLineAndStillSucceeds) {
  Pair p = loadPair("td3_p26");
  paintCell(p.grey2, segfix::kPitch, 0);
  vyr_set_log_dummy(0);
  testing::internal::CaptureStdout();
  const Outcome o = segment(0, p);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(o.ret, 0);
  EXPECT_NE(log.find("charseg line2 failed! ret=0, sz2=43\n"), std::string::npos);
  EXPECT_NE(log.find("mrz length invalid\n"), std::string::npos);

  // Level 0: quiet mode hides both.
  vyr_set_log_dummy(1);
  testing::internal::CaptureStdout();
  segment(0, p);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST_F(SegDrivers, UnrepairableLineFailsWithNothingPublishedButTheLines) {
  // A good pair first, so that the per-line globals hold something.
  ASSERT_EQ(segment(0, loadPair("td3_p30")).ret, 0);
  const std::vector<cv::Rect> previous = g_posRect1;

  Pair p = loadPair("td3_p26");
  paintCell(p.grey2, segfix::kPitch, 10, 3);  // three glyphs lost: the gap takes two
  const Outcome o = segment(0, p);
  EXPECT_EQ(o.ret, -1);
  EXPECT_EQ(o.sz1, 44);
  EXPECT_EQ(o.sz2, 43);
  EXPECT_TRUE(g_posRect.empty());
  EXPECT_EQ(g_posRect1, previous);  // stale until the next success
  EXPECT_EQ(g_line1.cols, o.cols1);  // the current lines
  EXPECT_EQ(g_line12.cols, o.cols1 + g_line2.cols);
}

TEST_F(SegDrivers, GlyphsTouchingAllAlongTheLineFail) {
  const Outcome o = segment(0, loadPair("td3_p21"));
  EXPECT_EQ(o.ret, -1);
  EXPECT_TRUE(g_posRect.empty());
}

TEST_F(SegDrivers, LineWithoutTextFailsBeforeTheSecondLine) {
  Pair p = loadPair("td3_p26");
  p.grey1.setTo(segfix::kPaperGrey);
  const Outcome o = segment(0, p);
  EXPECT_EQ(o.ret, -1);
  EXPECT_EQ(o.sz1, 0);
  EXPECT_EQ(o.sz2, -100);  // untouched
  EXPECT_TRUE(g_posRect.empty());
}

TEST_F(SegDrivers, FewerThanTwentyBoxesFail) {
  Pair p = loadPair("td3_p26");
  paintCell(p.grey2, segfix::kPitch, 19, 25);  // 19 glyphs left
  const Outcome o = segment(0, p);
  EXPECT_EQ(o.ret, -1);
  EXPECT_EQ(o.sz2, 19);
}

TEST_F(SegDrivers, AcceptanceFollowsTheDocumentKind) {
  // Passport kind: 36 and 44 are accepted each on its own.
  Pair mixed{loadPair("mrvb_p26").grey1, loadPair("td3_p26").grey2};
  Outcome o = segment(0, mixed);
  EXPECT_EQ(o.ret, 0);
  EXPECT_EQ(g_posRect.size(), 80u);
  // Card kind needs 30 and 30.
  o = segment(1, loadPair("mrvb_p26"));
  EXPECT_EQ(o.ret, -1);
  EXPECT_EQ(o.sz1, 36);
  o = segment(0, loadPair("td1_p25"));
  EXPECT_EQ(o.ret, -1);
}

TEST_F(SegDrivers, BadLinesAreRefusedWithoutThrowing) {
  cv::Mat good1, good2, unused;
  Pair p = loadPair("td3_p26");
  preprocess1(p.grey1, p.grey2, good1, good2, 31, 17);
  cv::Mat colour = segfix::toColour(p.grey1), empty, tiny(1, 1, CV_8UC1, cv::Scalar(255));
  cv::Mat colourLine = segfix::toColour(good1);
  int sz1 = -100, sz2 = -100;
  const cv::Mat* lines[][2] = {{&empty, &good2}, {&good1, &empty}, {&colourLine, &good2},
                               {&tiny, &tiny}, {&good1, &tiny}};
  for (auto& pair : lines) {
    cv::Mat a = pair[0]->clone(), b = pair[1]->clone();
    g_posRect.assign(3, cv::Rect(1, 1, 1, 1));
    EXPECT_EQ(char_segment(0, a, b, colour, colour, sz1, sz2), -1);
    EXPECT_TRUE(g_posRect.empty());
  }
}

// ---- the one-line driver ---------------------------------------------------------------------------

struct OneOutcome {
  int ret, sz3;
};

OneOutcome segmentOne(int kind, cv::Mat grey, int C = 17) {
  cv::Mat bin, unused, colour = segfix::toColour(grey);
  if (kind == 1) {
    bin = grey.clone();
    preprocess_card_one(bin, bin);
  } else {
    preprocess1(grey, grey, bin, unused, 31, C);
  }
  OneOutcome o{0, -100};
  o.ret = char_segment_one(kind, bin, colour, o.sz3);
  return o;
}

TEST_F(SegDrivers, ThirdCardLineIsPublishedBesideTheFirstTwo) {
  ASSERT_EQ(segment(1, loadPair("td1_p25")).ret, 0);
  const std::vector<cv::Rect> pair = g_posRect;
  const int width = g_aCharWidth;
  const cv::Mat line3 = segfix::loadLine("td1_p25", 3);
  const OneOutcome o = segmentOne(1, line3);
  EXPECT_EQ(o.ret, 0);
  EXPECT_EQ(o.sz3, 30);
  EXPECT_EQ(g_posRect3.size(), 30u);
  ASSERT_EQ(g_posRect3_rgb.size(), 30u);
  for (size_t i = 0; i < 30; ++i) {
    const cv::Rect& r = g_posRect3_rgb[i];
    EXPECT_EQ(r & cv::Rect(0, 0, line3.cols, line3.rows), r);
    const int centre = r.x + r.width / 2;
    EXPECT_GE(centre, segfix::kMargin + 25 * static_cast<int>(i) - 3) << i;
    EXPECT_LT(centre, segfix::kMargin + 25 * static_cast<int>(i + 1) + 3) << i;
  }
  EXPECT_EQ(g_posRect, pair);
  EXPECT_EQ(g_aCharWidth, width);
  EXPECT_EQ(g_line3.type(), CV_8UC1);
  EXPECT_EQ(g_rapidRec_line_3.size(), line3.size());
}

TEST_F(SegDrivers, OneLineFailuresGiveMinusFourAndKeepThePreviousBoxes) {
  ASSERT_EQ(segmentOne(1, segfix::loadLine("td1_p25", 3)).ret, 0);
  const std::vector<cv::Rect> previous = g_posRect3;

  struct Case {
    const char* name;
    int kind;
    cv::Mat grey;
    int sz3;
    const char* message;
  };
  cv::Mat lastLost = segfix::loadLine("td1_p25", 3), blank = lastLost.clone(),
          passport = segfix::loadLine("td3_p26", 2), with45 = passport.clone(),
          withMark = passport.clone();
  paintCell(lastLost, 25, 29);  // 29 boxes and no gap: nothing adds the last one
  blank.setTo(segfix::kPaperGrey);
  paintMark(with45, segfix::kMargin + segfix::kPitch * 44 + 14);
  paintCell(withMark, segfix::kPitch, 43);
  const Case cases[] = {
      {"29 boxes", 1, lastLost, 29, "charseg line1 failed! ret=0, sz3=29\n"},
      {"no text band", 1, blank, 0, "charseg line1 failed! ret=-1, sz3=0\n"},
      {"45 boxes on a card", 1, with45, 45, "charseg line1 failed! ret=0, sz3=45\n"},
      {"last glyph lost on a passport", 0, withMark, 43, "charseg line1 failed! ret=0, sz1=43\n"},
  };
  vyr_set_log_dummy(0);
  for (const Case& c : cases) {
    testing::internal::CaptureStdout();
    const OneOutcome o = segmentOne(c.kind, c.grey);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(o.ret, kCharSegOneFailed) << c.name;
    EXPECT_EQ(o.sz3, c.sz3) << c.name;
    EXPECT_NE(log.find(c.message), std::string::npos) << c.name << ": " << log;
    EXPECT_NE(log.find("mrz length invalid\n"), std::string::npos) << c.name;
    EXPECT_EQ(g_posRect3, previous) << c.name;
    EXPECT_EQ(g_line3.cols, c.grey.cols + 2 * g_line3_edge) << c.name;  // the current line
  }
  vyr_set_log_dummy(1);

  // A passport line is accepted with its own kind.
  EXPECT_EQ(segmentOne(0, passport).ret, 0);
  EXPECT_EQ(g_posRect3.size(), 44u);

  cv::Mat empty, colour;
  int sz3 = -100;
  EXPECT_EQ(char_segment_one(1, empty, colour, sz3), kCharSegOneFailed);
  EXPECT_EQ(sz3, 0);
}

}  // namespace
