// Projection segmentation of a text line, and the segmenters off the scan path.
#include <gtest/gtest.h>

#include "passportSeg.h"
#include "preprocess.h"
#include "test_segment_fixtures.h"

namespace {

using segfix::columnRuns;
using segfix::paintedInverted;

const cv::Rect kSentinel(1, 2, 3, 4);

// ---- band choice ----------------------------------------------------------------------

TEST(Charseg, NoTextBandLeavesTheListAlone) {
  const cv::Mat cases[] = {cv::Mat(60, 300, CV_8UC1, cv::Scalar(255)),  // all white
                           paintedInverted({300, 2}, {{10, 0, 5, 2}}),  // two rows
                           cv::Mat()};
  for (cv::Mat img : cases) {
    std::vector<cv::Rect> boxes{kSentinel};
    EXPECT_EQ(charseg(img, boxes), -1);
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0], kSentinel);
  }
}

TEST(Charseg, SevenRunsGiveSuccessWithoutBoxesAndEightRunsGiveEightBoxes) {
  for (int runs : {7, 8}) {
    cv::Mat img = paintedInverted({400, 90}, columnRuns(30, 30, 30, std::vector<int>(runs, 20), 10));
    std::vector<cv::Rect> boxes;
    EXPECT_EQ(charseg(img, boxes), 0) << runs;
    EXPECT_EQ(boxes.size(), runs == 7 ? 0u : 8u);
  }
}

TEST(Charseg, BoxesOfAPaintedLineSpanTheirRunAndTheInk) {
  cv::Mat img = paintedInverted({400, 90}, columnRuns(30, 30, 30, std::vector<int>(10, 20), 10));
  std::vector<cv::Rect> boxes{kSentinel};
  ASSERT_EQ(charseg(img, boxes), 0);
  ASSERT_EQ(boxes.size(), 11u);
  EXPECT_EQ(boxes[0], kSentinel);  // appended, never cleared
  for (int i = 0; i < 10; ++i) {
    const cv::Rect b = boxes[i + 1];
    EXPECT_EQ(b.x, 30 + 30 * i - 3);
    EXPECT_EQ(b.width, 25);
    EXPECT_EQ(b.y, 28);            // 2 rows above the ink
    EXPECT_EQ(b.height, 30 + 5);   // to 3 rows below it
  }
}

TEST(Charseg, ColourInputReadsLikeItsGreyPlane) {
  cv::Mat grey = paintedInverted({400, 90}, columnRuns(30, 30, 30, std::vector<int>(9, 20), 10));
  cv::Mat colour = segfix::toColour(grey);
  std::vector<cv::Rect> a, b;
  EXPECT_EQ(charseg(grey, a), 0);
  EXPECT_EQ(charseg(colour, b), 0);
  EXPECT_EQ(a, b);
}

TEST(Charseg, RenderedLinesGiveOneBoxPerCharacterInsideTheImage) {
  struct Case {
    const char* set;
    size_t boxes;
  } cases[] = {{"td3_p26", 44}, {"mrvb_p26", 36}, {"td1_p25", 30}};
  for (const Case& c : cases) {
    cv::Mat grey = segfix::loadLine(c.set, 2), bin, unused;
    ASSERT_FALSE(grey.empty()) << c.set;
    preprocess1(grey, grey, bin, unused, 31, 17);
    cv::Mat inverted = ~bin;
    std::vector<cv::Rect> boxes;
    ASSERT_EQ(charseg(inverted, boxes), 0) << c.set;
    ASSERT_EQ(boxes.size(), c.boxes) << c.set;
    for (size_t i = 0; i < boxes.size(); ++i) {
      EXPECT_EQ(boxes[i] & cv::Rect(0, 0, inverted.cols, inverted.rows), boxes[i]);
      if (i > 0) {
        EXPECT_GT(boxes[i].x, boxes[i - 1].x);
      }
    }
  }
}

// ---- column runs -------------------------------------------------------------------------

// horizonseg over rows 0..69 of a 100-row image with runs of the given widths,
// ink in rows 20..49.
std::vector<cv::Rect> segmentRuns(const std::vector<int>& widths, int* result = nullptr) {
  cv::Mat img = paintedInverted({1000, 100}, columnRuns(30, 20, 30, widths, 12));
  std::vector<cv::Rect> boxes;
  const int r = horizonseg(img, cv::Rect(0, 0, 1000, 70), boxes);
  if (result != nullptr) *result = r;
  return boxes;
}

TEST(Horizonseg, TypicalWidthIsTheMostFrequentOneLeftmostOnTies) {
  // A trailing run of 12 columns survives only while W / 2 <= 12, i.e. W = 25.
  EXPECT_EQ(segmentRuns({25, 26, 26, 25, 24, 30, 31, 32, 12}).size(), 9u);  // W = 25
  EXPECT_EQ(segmentRuns({24, 26, 26, 25, 25, 30, 31, 32, 12}).size(), 8u);  // W = 26
}

struct RunCase {
  int width;        // of the run under test, among runs of the typical width
  int typical;
  std::vector<int> boxWidths;  // boxes starting at the run's start - 3 and after it
};

class HorizonsegRun : public ::testing::TestWithParam<RunCase> {};

TEST_P(HorizonsegRun, KeepsDropsOrCutsTheRun) {
  const RunCase c = GetParam();
  std::vector<int> widths(8, c.typical);
  widths.push_back(c.width);
  int result = 1;
  const std::vector<cv::Rect> boxes = segmentRuns(widths, &result);
  EXPECT_EQ(result, 0);
  const int start = 30 + 8 * (c.typical + 12);
  ASSERT_EQ(boxes.size(), 8 + c.boxWidths.size());
  int x = start - 3;
  for (size_t i = 0; i < c.boxWidths.size(); ++i) {
    const cv::Rect b = boxes[8 + i];
    EXPECT_EQ(b.x, x) << i;
    EXPECT_EQ(b.width, c.boxWidths[i]) << i;
    x += b.width;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Widths, HorizonsegRun,
    ::testing::Values(RunCase{30, 20, {35}},      // good: 3 left, run, 2 right
                      RunCase{31, 20, {24, 12}},  // wide: 36 / 24 = 1.5 -> 2 slices
                      RunCase{9, 20, {}},         // below W / 2
                      RunCase{10, 20, {15}},
                      RunCase{2, 5, {}},          // W = 5: neither good nor wide
                      RunCase{60, 20, {24, 24, 17}}));

TEST(Horizonseg, RunReachingTheLastColumnEndsThere) {
  // The last run's ink reaches the image's last column (999).
  std::vector<cv::Rect> ink = columnRuns(30, 20, 30, std::vector<int>(8, 20), 12);
  ink.emplace_back(980, 20, 20, 30);
  cv::Mat img = paintedInverted({1000, 100}, ink);
  std::vector<cv::Rect> boxes;
  ASSERT_EQ(horizonseg(img, cv::Rect(0, 0, 1000, 70), boxes), 0);
  ASSERT_EQ(boxes.size(), 9u);
  EXPECT_EQ(boxes.back().x, 977);
  // The run counts 19 columns; its box is min(1000 - 980, 19 + 4) + 1 wide.
  EXPECT_EQ(boxes.back().width, 21);
}

TEST(Horizonseg, RunAtTheVeryLeftIsClampedInsteadOfFailingTheLine) {
  cv::Mat img = paintedInverted({1000, 100}, columnRuns(1, 20, 30, std::vector<int>(8, 20), 12));
  std::vector<cv::Rect> boxes;
  ASSERT_EQ(horizonseg(img, cv::Rect(0, 0, 1000, 70), boxes), 0);
  ASSERT_EQ(boxes.size(), 8u);
  EXPECT_EQ(boxes[0].x, 0);
  EXPECT_EQ(boxes[0].x + boxes[0].width, 1 - 3 + 25);
}

TEST(Horizonseg, FailureAppendsNothing) {
  // Eight boxes fit; the ninth run's ink reaches the image's bottom, so its
  // trimmed box would end below the image.
  std::vector<cv::Rect> ink = columnRuns(30, 20, 30, std::vector<int>(8, 20), 12);
  ink.emplace_back(600, 20, 20, 80);
  cv::Mat img = paintedInverted({1000, 100}, ink);
  std::vector<cv::Rect> boxes{kSentinel};
  EXPECT_EQ(horizonseg(img, cv::Rect(0, 0, 1000, 98), boxes), -1);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0], kSentinel);

  // A band reaching the image's bottom makes every box reach below it.
  img = paintedInverted({1000, 100}, columnRuns(30, 20, 30, std::vector<int>(8, 20), 12));
  EXPECT_EQ(horizonseg(img, cv::Rect(0, 0, 1000, 100), boxes), -1);
  EXPECT_EQ(boxes.size(), 1u);

  // Bands and images without pixels.
  cv::Mat empty;
  EXPECT_EQ(horizonseg(empty, cv::Rect(0, 0, 10, 10), boxes), -1);
  EXPECT_EQ(horizonseg(img, cv::Rect(2000, 0, 10, 10), boxes), -1);
  EXPECT_EQ(boxes.size(), 1u);
}

// ---- vertical trims -------------------------------------------------------------------------

struct TrimCase {
  const char* name;
  std::vector<cv::Rect> ink;  // relative to the box at (40, 20), 10 x 25
  int top, height;            // expected, relative to the box's top
};

class ClipCharTrim : public ::testing::TestWithParam<TrimCase> {};

TEST_P(ClipCharTrim, KeepsTheLongestRunOfInk) {
  const TrimCase c = GetParam();
  std::vector<cv::Rect> ink;
  for (cv::Rect r : c.ink) ink.push_back(r + cv::Point(40, 20));
  cv::Mat img = paintedInverted({100, 80}, ink);
  const cv::Rect box(40, 20, 10, 25);
  const cv::Rect out = clipChar(img, box);
  EXPECT_EQ(out.x, box.x) << c.name;
  EXPECT_EQ(out.width, box.width) << c.name;
  EXPECT_EQ(out.y, 20 + c.top) << c.name;
  EXPECT_EQ(out.height, c.height) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, ClipCharTrim,
    ::testing::Values(
        TrimCase{"no ink", {}, -2, 25 + 5},
        TrimCase{"one blank row inside", {{0, 3, 10, 6}, {0, 10, 10, 6}}, 1, 16 - 3 + 5},
        TrimCase{"ink from row 2 to the end", {{0, 2, 10, 23}}, 0, 25 + 2},
        TrimCase{"two equal runs, upper wins", {{0, 3, 10, 5}, {0, 12, 10, 5}}, 1, 10}));

TEST(ClipChar, TopIsClampedAtTheImagesFirstRowAndOutsideRowsHoldNoInk) {
  cv::Mat img = paintedInverted({60, 40}, {{10, 0, 10, 15}});
  const cv::Rect out = clipChar(img, cv::Rect(10, 0, 10, 30));
  EXPECT_EQ(out.y, 0);
  EXPECT_EQ(out.height, 15 + 5);
  // A box reaching past the image is read only where it overlaps it.
  const cv::Rect past = clipChar(img, cv::Rect(50, 30, 40, 40));
  EXPECT_EQ(past, cv::Rect(50, 28, 40, 45));
}

TEST(ClipChar1, TrimsFromTwoAboveTheFirstToTwoBelowTheLastInkedRow) {
  cv::Mat img = paintedInverted({100, 80}, {{40, 25, 10, 16}, {70, 0, 10, 5}});
  EXPECT_EQ(clipChar1(img, cv::Rect(40, 20, 10, 30)), cv::Rect(40, 23, 10, 20));
  EXPECT_EQ(clipChar1(img, cv::Rect(5, 20, 10, 30)), cv::Rect(5, 48, 10, 4));  // no ink
  EXPECT_EQ(clipChar1(img, cv::Rect(70, 0, 10, 20)).y, -2);  // not clamped
  // Rows and columns outside the image are not read.
  EXPECT_EQ(clipChar1(img, cv::Rect(90, 70, 30, 30)), cv::Rect(90, 98, 30, 4));
  cv::Mat empty;
  EXPECT_EQ(clipChar1(empty, cv::Rect(0, 0, 5, 5)), cv::Rect(0, 3, 5, 4));
}

// ---- segmenters off the scan path -----------------------------------------------------------

// Two lines of 12 runs each: rows 20..49 and 90..119 of a 170-row image.
cv::Mat twoLines(bool second = true) {
  std::vector<cv::Rect> ink = columnRuns(30, 20, 30, std::vector<int>(12, 20), 12);
  if (second) {
    for (const cv::Rect& r : columnRuns(40, 90, 30, std::vector<int>(12, 20), 12)) ink.push_back(r);
  }
  return paintedInverted({600, 170}, ink);
}

TEST(Twolineseg, LowerLineComesFirst) {
  cv::Mat img = twoLines();
  std::vector<cv::Rect> boxes;
  ASSERT_EQ(twolineseg(img, boxes), 0);
  ASSERT_EQ(boxes.size(), 24u);
  EXPECT_EQ(boxes[0].x, 37);  // lower line, first run at column 40
  EXPECT_GT(boxes[0].y, 80);
  EXPECT_EQ(boxes[12].x, 27);
  EXPECT_LT(boxes[12].y, 30);
}

TEST(Twolineseg, SingleLineFailsAfterSegmentingIt) {
  cv::Mat img = twoLines(false);
  std::vector<cv::Rect> boxes;
  EXPECT_EQ(twolineseg(img, boxes), -1);
  EXPECT_EQ(boxes.size(), 12u);  // the one line, taken as the lower
}

TEST(CharsegCard, SegmentsTheHeaviestRunAndAlwaysSucceeds) {
  cv::Mat img = twoLines();
  // Make the lower line heavier: more runs, more transitions.
  for (const cv::Rect& r : columnRuns(420, 90, 30, std::vector<int>(4, 20), 12)) img(r).setTo(0);
  std::vector<cv::Rect> boxes;
  EXPECT_EQ(charseg_card(img, boxes), 0);
  ASSERT_FALSE(boxes.empty());
  for (const cv::Rect& b : boxes) EXPECT_GT(b.y, 60);

  for (cv::Mat degenerate : {cv::Mat(), cv::Mat(0, 50, CV_8UC1), cv::Mat(50, 0, CV_8UC1)}) {
    std::vector<cv::Rect> none;
    EXPECT_EQ(charseg_card(degenerate, none), 0);
    EXPECT_TRUE(none.empty());
    EXPECT_EQ(twolineseg(degenerate, none), -1);
  }
}

TEST(CRangeOrder, ShorterRunComesFirst) {
  EXPECT_TRUE((CRange{10, 12} < CRange{0, 5}));
  EXPECT_FALSE((CRange{0, 5} < CRange{10, 12}));
  EXPECT_FALSE((CRange{0, 5} < CRange{20, 25}));
}

}  // namespace
