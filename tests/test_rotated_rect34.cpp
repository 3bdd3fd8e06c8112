#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "rotated_rect34.h"

namespace {

std::vector<cv::Point2f> corners(cv::Point2f c, cv::Size2f s, float angle) {
  cv::Point2f p[4];
  cv::RotatedRect(c, s, angle).points(p);
  return {p[0], p[1], p[2], p[3]};
}

struct AngleCase {
  const char* name;
  float w, h, angle;        // the box drawn
  float want_w, want_h, want_angle;  // what the classic convention gives
};

class LegacyAngle : public ::testing::TestWithParam<AngleCase> {};

TEST_P(LegacyAngle, GivesClassicAngleAndSides) {
  const AngleCase& c = GetParam();
  cv::RotatedRect r = minAreaRect34(corners({200, 200}, {c.w, c.h}, c.angle));
  EXPECT_NEAR(r.angle, c.want_angle, 0.05) << c.name;
  EXPECT_NEAR(r.size.width, c.want_w, 0.5) << c.name;
  EXPECT_NEAR(r.size.height, c.want_h, 0.5) << c.name;
  EXPECT_GE(r.angle, -90.f);
  EXPECT_LE(r.angle, 0.f);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, LegacyAngle,
    ::testing::Values(
        // a level text line: no rotation at all
        AngleCase{"level", 100, 10, 0, 100, 10, 0},
        // slightly tilted clockwise on screen (right end higher)
        AngleCase{"tilted", 80, 20, -10, 80, 20, -10},
        // tilted the other way: the classic form reports it near -90 with the sides swapped
        AngleCase{"tilted_other_way", 80, 20, 3, 20, 80, -87},
        // a vertical box
        AngleCase{"vertical", 10, 100, 0, 10, 100, 0}));

TEST(LegacyAngle, EmptyInputGivesEmptyRect) {
  std::vector<cv::Point2f> none;
  cv::RotatedRect r = minAreaRect34(none);
  EXPECT_EQ(r.size.area(), 0.f);
}

TEST(LegacyAngle, LeavesClassicRectanglesAlone) {
  cv::RotatedRect r({10, 10}, {30, 5}, -20.f);
  cv::RotatedRect l = toLegacyRect(r);
  EXPECT_EQ(l.angle, -20.f);
  EXPECT_EQ(l.size.width, 30.f);
}

}  // namespace
