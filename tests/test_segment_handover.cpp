// Hand-over of accepted boxes: mapping onto the colour lines, the average
// character size and the ink-tight boxes.
#include <gtest/gtest.h>

#include "global.h"
#include "posrect.h"
#include "vyr_log.h"

namespace {

using Boxes = std::vector<cv::Rect>;

// 44 line-2 boxes 24 wide at a pitch of 26, from column 14: R[1].x = 40 and
// R[42] ends at 40 + 41 * 26 + 24 = 1130.
Boxes line2Boxes(int n = 44) {
  Boxes b;
  for (int i = 0; i < n; ++i) b.emplace_back(14 + 26 * i, 20, 24, 30 + i % 3);
  return b;
}

class BoxHandover : public ::testing::Test {
 protected:
  void SetUp() override {
    g_debug_show = 0;
    vyr_set_log_dummy(0);
    g_line1_edge = g_line2_edge = g_line3_edge = 20;
    colour1 = cv::Mat(60, 900, CV_8UC3, cv::Scalar(200, 200, 200));
    colour2 = cv::Mat(60, 1200, CV_8UC3, cv::Scalar(100, 100, 100));
    g_posRect1 = g_posRect1_rgb = {{25, 22, 26, 34}, {17, 30, 26, 33}, {905, 25, 20, 30}};
    g_posRect2 = g_posRect2_rgb = line2Boxes();
    g_line12 = cv::Mat(100, 2200, CV_8UC1, cv::Scalar(255));
    g_posRect.clear();
    g_posRect_no_blank = {{1, 1, 1, 1}};
    g_aCharWidth = g_aCharHeight = -1;
  }
  cv::Mat colour1, colour2;
};

TEST_F(BoxHandover, MapsBoxesOntoTheColourLinesCutAtTheirEdges) {
  fix_posRect(colour1, colour2, 3, 44);
  EXPECT_EQ(g_posRect1_rgb, (Boxes{{5, 2, 26, 34}, {0, 10, 23, 33}, {885, 5, 15, 30}}));
  ASSERT_EQ(g_posRect2_rgb.size(), 44u);
  EXPECT_EQ(g_posRect2_rgb[1], cv::Rect(20, 0, 24, 31));  // (40, 20) moved by 20
  // The accepted lists themselves stay in the bordered frame.
  EXPECT_EQ(g_posRect1[0], cv::Rect(25, 22, 26, 34));
}

TEST_F(BoxHandover, BoxInTheBorderKeepsOnePixelInsideTheColourLine) {
  g_posRect1 = g_posRect1_rgb = {{2, 2, 10, 10}, {930, 70, 10, 10}, {40, 30, 0, 0}};
  fix_posRect(colour1, colour2, 3, 44);
  EXPECT_EQ(g_posRect1_rgb, (Boxes{{0, 0, 1, 1}, {899, 50, 1, 10}, {20, 10, 1, 1}}));
  for (const cv::Rect& r : g_posRect1_rgb) {
    EXPECT_EQ(r & cv::Rect(0, 0, colour1.cols, colour1.rows), r);
  }
}

TEST_F(BoxHandover, MapsOnlyAsManyBoxesAsTheAcceptedListHolds) {
  g_posRect1 = {{25, 22, 26, 34}};
  fix_posRect(colour1, colour2, 3, 44);
  EXPECT_EQ(g_posRect1_rgb, (Boxes{{5, 2, 26, 34}, {17, 30, 26, 33}, {905, 25, 20, 30}}));
}

TEST_F(BoxHandover, CharacterSizeFromTheInnerBoxesOfLineTwo) {
  testing::internal::CaptureStdout();
  fix_posRect(colour1, colour2, 3, 44);
  const std::string log = testing::internal::GetCapturedStdout();
  // (1130 - 40 + 4) / 42 = 26 (26.05); heights 30, 31, 32 repeating over R[1..42].
  int heights = 0;
  for (int i = 1; i <= 42; ++i) heights += 30 + i % 3;
  EXPECT_EQ(g_aCharWidth, 26);
  EXPECT_EQ(g_aCharHeight, heights / 42);
  EXPECT_NE(log.find("aCharWidth=26, aCharHeight=" + std::to_string(heights / 42)),
            std::string::npos);
  EXPECT_NE(log.find("tpl=2"), std::string::npos);
}

TEST_F(BoxHandover, PitchIsTruncatedAndNamesItsTemplateSheet) {
  struct Case {
    int lastRight;  // right edge of R[42]; R[1].x is 40
    int width, sheet;
  } cases[] = {{1116, 25, 2},   // (1116 - 40 + 4) / 42 = 25.7
               {960, 22, 0},    {1002, 23, 1}, {1338, 31, 4}, {1380, 32, 5}};
  for (const Case& c : cases) {
    g_posRect2 = g_posRect2_rgb = line2Boxes();
    g_posRect2[42] = cv::Rect(c.lastRight - 26, 20, 26, 30);
    testing::internal::CaptureStdout();
    fix_posRect(colour1, colour2, 3, 44);
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_EQ(g_aCharWidth, c.width) << c.lastRight;
    EXPECT_NE(log.find("tpl=" + std::to_string(c.sheet) + "\n"), std::string::npos) << log;
  }
}

TEST_F(BoxHandover, CountIsBoundedByTheListAndShortListsKeepTheSize) {
  // A count larger than the list uses the list's length.
  fix_posRect(colour1, colour2, 3, 60);
  EXPECT_EQ(g_aCharWidth, 26);

  // Fewer than three boxes leave no inner box to average.
  g_aCharWidth = g_aCharHeight = 7;
  for (int n : {0, 1, 2}) {
    g_posRect2 = g_posRect2_rgb = line2Boxes(n);
    fix_posRect(colour1, colour2, 3, 44);
    fix_posRect(colour1, colour2, 3, n);
    EXPECT_EQ(g_aCharWidth, 7) << n;
    EXPECT_EQ(g_aCharHeight, 7) << n;
  }
  g_posRect2 = g_posRect2_rgb = line2Boxes();
  fix_posRect(colour1, colour2, 3, 2);
  EXPECT_EQ(g_aCharWidth, 7);
}

TEST_F(BoxHandover, KeepsDeepCopiesOfTheColourLines) {
  fix_posRect(colour1, colour2, 3, 44);
  colour1.setTo(cv::Scalar(0, 0, 0));
  colour2.setTo(cv::Scalar(0, 0, 0));
  EXPECT_EQ(g_rapidRec_line_1.at<cv::Vec3b>(0, 0), cv::Vec3b(200, 200, 200));
  EXPECT_EQ(g_rapidRec_line_2.at<cv::Vec3b>(0, 0), cv::Vec3b(100, 100, 100));
}

TEST_F(BoxHandover, InkTightBoxesHugTheInkOfTheMergedLine) {
  g_line12(cv::Rect(14, 9, 20, 32)).setTo(0);  // columns 14..33, rows 9..40
  g_line12.at<uchar>(5, 300) = 127;            // ink
  g_line12.at<uchar>(5, 400) = 128;            // not ink
  g_posRect = {{10, 5, 30, 40}, {290, 2, 20, 10}, {395, 2, 20, 10}, {600, 20, 20, 30},
               {2190, 90, 30, 30}};
  fix_posRect(colour1, colour2, 3, 44);
  ASSERT_EQ(g_posRect_no_blank.size(), g_posRect.size());
  EXPECT_EQ(g_posRect_no_blank[0], cv::Rect(14, 9, 20, 32));
  EXPECT_EQ(g_posRect_no_blank[1], cv::Rect(300, 5, 1, 1));
  EXPECT_EQ(g_posRect_no_blank[2], cv::Rect(395, 2, 20, 10));  // no ink: the box itself
  EXPECT_EQ(g_posRect_no_blank[3], cv::Rect(600, 20, 20, 30));
  // A box reaching past the merged line reads nothing outside it and is cut.
  EXPECT_EQ(g_posRect_no_blank[4], cv::Rect(2190, 90, 10, 10));
}

TEST_F(BoxHandover, OneLineHandOverLeavesTheSizeAndInkBoxesOfTheFirstTwoLines) {
  fix_posRect(colour1, colour2, 3, 44);
  const int w = g_aCharWidth, h = g_aCharHeight;
  const Boxes noBlank = g_posRect_no_blank;
  g_line3_edge = 23;
  g_posRect3 = g_posRect3_rgb = {{30, 25, 20, 30}, {60, 25, 20, 30}};
  cv::Mat colour3(50, 700, CV_8UC3, cv::Scalar(9, 9, 9));
  fix_posRect_one(colour3, 2);
  EXPECT_EQ(g_posRect3_rgb, (Boxes{{7, 2, 20, 30}, {37, 2, 20, 30}}));
  EXPECT_EQ(g_posRect3[0], cv::Rect(30, 25, 20, 30));
  EXPECT_EQ(g_aCharWidth, w);
  EXPECT_EQ(g_aCharHeight, h);
  EXPECT_EQ(g_posRect_no_blank, noBlank);
  colour3.setTo(cv::Scalar(0, 0, 0));
  EXPECT_EQ(g_rapidRec_line_3.at<cv::Vec3b>(0, 0), cv::Vec3b(9, 9, 9));
}

TEST_F(BoxHandover, EmptyColourLinesGiveEmptyBoxesInsteadOfCrashing) {
  cv::Mat none;
  EXPECT_NO_THROW(fix_posRect(none, none, 3, 44));
  for (const cv::Rect& r : g_posRect1_rgb) EXPECT_EQ(r.area(), 0);
  EXPECT_TRUE(g_rapidRec_line_1.empty());
  g_line12.release();
  g_posRect = {{10, 5, 30, 40}};
  EXPECT_NO_THROW(fix_posRect(colour1, colour2, 3, 44));
  EXPECT_EQ(g_posRect_no_blank.size(), 1u);
}

}  // namespace
