// Line binarisation and stray-blob removal.
#include <gtest/gtest.h>

#include <opencv2/core/core_c.h>
#include <opencv2/imgproc.hpp>

#include "char_segment.h"
#include "global.h"
#include "preprocess.h"
#include "test_segment_fixtures.h"

namespace {

// ---- binarisation ------------------------------------------------------------------

struct BorderCase {
  int rows, cols, edge;
};

class LineBinariseBorder : public ::testing::TestWithParam<BorderCase> {};

TEST_P(LineBinariseBorder, AddsFifthOfTheRowsAtLeastTwenty) {
  const BorderCase c = GetParam();
  cv::Mat g1(c.rows, c.cols, CV_8UC1, cv::Scalar(200)), g2(c.rows / 2 + 1, 50, CV_8UC1, cv::Scalar(200));
  cv::Mat b1, b2;
  preprocess1(g1, g2, b1, b2, 31, 11);
  EXPECT_EQ(g_line1_edge, c.edge);
  EXPECT_EQ(b1.rows, c.rows + 2 * c.edge);
  EXPECT_EQ(b1.cols, c.cols + 2 * c.edge);
  EXPECT_EQ(b1.type(), CV_8UC1);
  EXPECT_EQ(g_line2_edge, std::max(20, (c.rows / 2 + 1) / 5));
}

INSTANTIATE_TEST_SUITE_P(Sizes, LineBinariseBorder,
                         ::testing::Values(BorderCase{60, 900, 20}, BorderCase{150, 300, 30},
                                           BorderCase{104, 200, 20}, BorderCase{105, 200, 21},
                                           BorderCase{1, 1, 20}));

TEST(LineBinarise, InkIsWhiteAndGreyPixelMapsIntoTheBorderedFrame) {
  cv::Mat grey(60, 200, CV_8UC1, cv::Scalar(210));
  grey(cv::Rect(50, 20, 12, 20)).setTo(20);  // a dark bar
  cv::Mat bin, unused;
  preprocess1(grey, grey, bin, unused, 31, 11);
  const int e = g_line1_edge;
  EXPECT_EQ(bin.at<uchar>(30 + e, 55 + e), 255);
  EXPECT_EQ(bin.at<uchar>(5 + e, 150 + e), 0);
  // The border is background throughout.
  EXPECT_EQ(cv::countNonZero(bin.rowRange(0, e)), 0);
  EXPECT_EQ(cv::countNonZero(bin.colRange(0, e)), 0);
  EXPECT_EQ(cv::countNonZero(bin.rowRange(bin.rows - e, bin.rows)), 0);
  EXPECT_EQ(cv::countNonZero(bin.colRange(bin.cols - e, bin.cols)), 0);
}

TEST(LineBinarise, OpeningRemovesIsolatedDarkPixelAndFlatLinesAreBackground) {
  cv::Mat speck(60, 200, CV_8UC1, cv::Scalar(215));
  speck.at<uchar>(30, 100) = 0;
  const cv::Mat bright(60, 200, CV_8UC1, cv::Scalar(240));
  const cv::Mat dark(60, 200, CV_8UC1, cv::Scalar(10));
  for (cv::Mat grey : {speck, bright, dark}) {
    cv::Mat g2 = grey.clone(), b1, b2;
    preprocess1(grey, g2, b1, b2, 31, 11);
    EXPECT_EQ(cv::countNonZero(b1), 0);
    EXPECT_EQ(cv::countNonZero(b2), 0);
  }
}

TEST(LineBinarise, LargerConstantGivesLessInk) {
  cv::Mat grey = segfix::degrade(segfix::loadLine("td3_p26", 2), segfix::Look::Blurred);
  ASSERT_FALSE(grey.empty());
  cv::Mat b11, b25, unused;
  preprocess1(grey, grey, b11, unused, 31, 11);
  preprocess1(grey, grey, b25, unused, 31, 25);
  EXPECT_GT(cv::countNonZero(b11), cv::countNonZero(b25));
  EXPECT_GT(cv::countNonZero(b25), 0);
}

TEST(LineBinarise, InPlaceEqualsSeparateOutputsAndSeparateOutputsKeepTheGreyLines) {
  const cv::Mat g1 = segfix::loadLine("td3_p26", 1), g2 = segfix::loadLine("td3_p26", 2);
  ASSERT_FALSE(g1.empty());
  cv::Mat a1 = g1.clone(), a2 = g2.clone(), s1, s2;
  preprocess1(a1, a2, s1, s2, 31, 17);
  EXPECT_EQ(cv::norm(a1, g1, cv::NORM_INF), 0);  // grey lines untouched
  EXPECT_EQ(cv::norm(a2, g2, cv::NORM_INF), 0);

  cv::Mat i1 = g1.clone(), i2 = g2.clone();
  preprocess1(i1, i2, i1, i2, 31, 17);
  EXPECT_EQ(cv::norm(i1, s1, cv::NORM_INF), 0);
  EXPECT_EQ(cv::norm(i2, s2, cv::NORM_INF), 0);

  // The card entry points binarise in place.
  cv::Mat c1 = g1.clone(), c2 = g2.clone(), c3 = g2.clone(), r1, r2, r3;
  preprocess_card(c1, c2, c1, c2);
  cv::Mat k1 = g1.clone(), k2 = g2.clone();
  preprocess1(k1, k2, r1, r2, 31, card_preprocess_threshold);
  EXPECT_EQ(cv::norm(c1, r1, cv::NORM_INF), 0);
  preprocess_card_one(c3, c3);
  EXPECT_EQ(cv::norm(c3, r2, cv::NORM_INF), 0);
}

TEST(LineBinarise, EachEntryPointWritesOnlyItsOwnBorderGlobals) {
  const cv::Mat tall(150, 100, CV_8UC1, cv::Scalar(200));
  const cv::Mat small(50, 100, CV_8UC1, cv::Scalar(200));
  g_line1_edge = g_line2_edge = g_line3_edge = -5;
  cv::Mat g = tall.clone(), b;
  preprocess_card_one(g, b);
  EXPECT_EQ(g_line3_edge, 30);
  EXPECT_EQ(g_line1_edge, -5);
  EXPECT_EQ(g_line2_edge, -5);

  cv::Mat g1 = small.clone(), g2 = small.clone(), b1, b2;
  preprocess_card(g1, g2, b1, b2);
  EXPECT_EQ(g_line1_edge, 20);
  EXPECT_EQ(g_line2_edge, 20);
  EXPECT_EQ(g_line3_edge, 30);
}

TEST(LineBinarise, CardThresholdIsReadAtEveryCall) {
  const cv::Mat grey = segfix::loadLine("td1_p25", 1);
  ASSERT_FALSE(grey.empty());
  const int saved = card_preprocess_threshold;
  cv::Mat g = grey.clone(), b17, b200;
  preprocess_card_one(g, b17);
  // No pixel of the 215 paper can lie 200 levels below its neighbourhood.
  card_preprocess_threshold = 200;
  g = grey.clone();
  preprocess_card_one(g, b200);
  card_preprocess_threshold = saved;
  EXPECT_GT(cv::countNonZero(b17), 1000);
  EXPECT_EQ(cv::countNonZero(b200), 0);
}

TEST(LineBinarise, BadInputNeverThrows) {
  // An empty line gives an empty output and leaves its border global alone.
  g_line1_edge = g_line2_edge = 7;
  cv::Mat empty, ok(60, 100, CV_8UC1, cv::Scalar(200)), b1 = ok.clone(), b2;
  EXPECT_NO_THROW(preprocess1(empty, ok, b1, b2, 31, 11));
  EXPECT_TRUE(b1.empty());
  EXPECT_EQ(g_line1_edge, 7);
  EXPECT_EQ(g_line2_edge, 20);

  // A colour line is taken as its grey plane; other depths are converted.
  const cv::Mat grey = segfix::loadLine("td3_p26", 1);
  cv::Mat colour = segfix::toColour(grey), wide, fromGrey, fromColour, fromWide, unused;
  grey.convertTo(wide, CV_16U);
  cv::Mat g = grey.clone();
  preprocess1(g, g, fromGrey, unused, 31, 11);
  preprocess1(colour, colour, fromColour, unused, 31, 11);
  EXPECT_EQ(cv::norm(fromGrey, fromColour, cv::NORM_INF), 0);
  EXPECT_NO_THROW(preprocess1(wide, wide, fromWide, unused, 31, 11));
  EXPECT_EQ(fromWide.type(), CV_8UC1);

  // Block sizes the threshold cannot take are made valid instead of throwing.
  for (int block : {0, 1, 2, 30, -7}) {
    cv::Mat out;
    EXPECT_NO_THROW(preprocess1(g, g, out, unused, block, 11)) << block;
    EXPECT_EQ(out.size(), fromGrey.size()) << block;
  }
}

// ---- stray blobs ---------------------------------------------------------------------

int inkIn(const cv::Mat& img, const cv::Rect& r) { return cv::countNonZero(img(r)); }

void removeBlobs(cv::Mat& band, int mode) {
  IplImage ipl = cvIplImage(band);
  removeSmallContour(&ipl, mode);
}

TEST(SegBlobRemoval, ModeOneKeepsBlobsReachingTheBandsLastThreeRows) {
  cv::Mat band = segfix::paintedBinarised({200, 29}, {{10, 3, 20, 18}, {50, 10, 20, 17}});
  removeBlobs(band, 1);
  EXPECT_EQ(inkIn(band, {10, 3, 20, 18}), 0);             // rows 3..20: erased
  EXPECT_EQ(inkIn(band, {50, 10, 20, 17}), 20 * 17);      // rows 10..26: kept
}

TEST(SegBlobRemoval, ModeZeroKeepsBlobsReachingTheBandsFirstThreeRows) {
  cv::Mat band = segfix::paintedBinarised({200, 30}, {{10, 2, 30, 25}, {60, 3, 5, 5}, {90, 3, 40, 26}});
  removeBlobs(band, 0);
  EXPECT_EQ(inkIn(band, {10, 2, 30, 25}), 30 * 25);
  EXPECT_EQ(inkIn(band, {60, 3, 5, 5}), 0);
  EXPECT_EQ(inkIn(band, {90, 3, 40, 26}), 0);  // size does not matter
}

TEST(SegBlobRemoval, EmptyBandIsUnchangedAndOnlyTheBandsRowsChange) {
  cv::Mat empty(20, 50, CV_8UC1, cv::Scalar(0));
  removeBlobs(empty, 0);
  EXPECT_EQ(cv::countNonZero(empty), 0);

  // A header over rows 40..79 of a line, as the drivers pass it.
  cv::Mat line = segfix::paintedBinarised({120, 80}, {{5, 10, 10, 10}, {40, 50, 10, 10}, {70, 42, 10, 30}});
  const cv::Mat before = line.clone();
  cv::Mat band = line.rowRange(40, 80);
  removeBlobs(band, 0);
  EXPECT_EQ(inkIn(line, {40, 50, 10, 10}), 0);          // erased in the caller's line
  EXPECT_EQ(inkIn(line, {70, 42, 10, 30}), 10 * 30);    // reaches row 2 of the band
  EXPECT_EQ(cv::norm(line.rowRange(0, 40), before.rowRange(0, 40), cv::NORM_INF), 0);
}

TEST(SegBlobRemoval, KeptGlyphKeepsTheInkRoundItsHole) {
  // A ring touching the band's second row, with a hole well inside the band: a
  // hole judged on its own lies clear of the edge and would be filled together
  // with the ink along its border.
  cv::Mat band = segfix::paintedBinarised({100, 40}, {{20, 1, 30, 26}});
  band(cv::Rect(26, 6, 18, 15)).setTo(0);
  const int ink = cv::countNonZero(band);
  removeBlobs(band, 0);
  EXPECT_EQ(cv::countNonZero(band), ink);

  // Same for the area variant: the ring is large, its hole small.
  IplImage ipl = cvIplImage(band);
  removeSmallAreaContour(&ipl, 400);
  EXPECT_EQ(cv::countNonZero(band), ink);
}

TEST(SegBlobRemoval, AreaVariantErasesBlobsBelowTheMinimumOnly) {
  // A filled 5 x 5 square has a border enclosing 16 pixels of area.
  struct Case {
    int minArea;
    bool kept;
  } cases[] = {{0, true}, {16, true}, {17, false}};
  for (const Case& c : cases) {
    cv::Mat img = segfix::paintedBinarised({40, 40}, {{10, 10, 5, 5}});
    img.at<uchar>(30, 30) = 255;  // a single pixel encloses no area
    IplImage ipl = cvIplImage(img);
    removeSmallAreaContour(&ipl, c.minArea);
    EXPECT_EQ(inkIn(img, {10, 10, 5, 5}) == 25, c.kept) << c.minArea;
    EXPECT_EQ(img.at<uchar>(30, 30) == 255, c.minArea == 0) << c.minArea;
  }
}

TEST(SegBlobRemoval, RefusesWhatItCannotRead) {
  EXPECT_NO_THROW(removeSmallContour(nullptr, 1));
  EXPECT_NO_THROW(removeSmallAreaContour(nullptr, 10));
  cv::Mat colour(30, 30, CV_8UC3, cv::Scalar(255, 255, 255));
  colour(cv::Rect(0, 0, 30, 20)).setTo(cv::Scalar(0, 0, 0));
  const cv::Mat before = colour.clone();
  IplImage ipl = cvIplImage(colour);
  EXPECT_NO_THROW(removeSmallContour(&ipl, 0));
  EXPECT_EQ(cv::norm(colour, before, cv::NORM_INF), 0);
}

}  // namespace
