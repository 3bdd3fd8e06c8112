// Sort predicates and plane geometry.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "utils.h"

namespace {

// ---- sort predicates ------------------------------------------------------------

template <typename T>
void expectStrictOrder(bool (*pred)(T, T), const T& first, const T& second, const char* name) {
  EXPECT_TRUE(pred(first, second)) << name;
  EXPECT_FALSE(pred(second, first)) << name;
  EXPECT_FALSE(pred(first, first)) << name << " (equal keys)";
}

TEST(SortPredicates, OrderOfEachKey) {
  expectStrictOrder<cv::RotatedRect>(comp, cv::RotatedRect({0, 0}, {10, 60}, 0),
                                     cv::RotatedRect({0, 0}, {50, 50}, 0), "comp: longer long side");
  expectStrictOrder<cv::Rect>(comp_x, {1, 9, 1, 1}, {2, 0, 1, 1}, "comp_x");
  expectStrictOrder<cv::Rect>(comp_y, {9, -3, 1, 1}, {0, 2, 1, 1}, "comp_y");
  expectStrictOrder<cv::Point>(compoint_x, {-5, 100}, {4, 0}, "compoint_x");
  expectStrictOrder<cv::Point>(compoint_y, {100, -5}, {0, 4}, "compoint_y");
  expectStrictOrder<cv::RotatedRect>(comp_area, cv::RotatedRect({0, 0}, {10, 60}, 0),
                                     cv::RotatedRect({0, 0}, {20, 20}, 0), "comp_area");
  expectStrictOrder<cv::Rect>(comp_area_2, {0, 0, 10, 60}, {0, 0, 20, 20}, "comp_area_2");
  // Areas past 2^31 must not wrap negative.
  expectStrictOrder<cv::Rect>(comp_area_2, {0, 0, 50000, 50000}, {0, 0, 1, 1}, "comp_area_2 large");
  expectStrictOrder<cv::RotatedRect>(comp_rotcenter, cv::RotatedRect({50, 10}, {1, 1}, 0),
                                     cv::RotatedRect({0, 11}, {1, 1}, 0), "comp_rotcenter");
  expectStrictOrder<std::vector<cv::Point>>(compContours, std::vector<cv::Point>(12),
                                            std::vector<cv::Point>(7), "compContours");

  const cv::RotatedRect nan({0, std::nanf("")}, {1, 1}, 0), one({0, 1}, {1, 1}, 0);
  EXPECT_FALSE(comp_rotcenter(nan, one));
  EXPECT_FALSE(comp_rotcenter(one, nan));
}

TEST(SortPredicates, WorkWithStandardSort) {
  std::vector<cv::RotatedRect> boxes{cv::RotatedRect({0, 0}, {5, 5}, 0), cv::RotatedRect({0, 0}, {90, 8}, 0),
                                     cv::RotatedRect({0, 0}, {12, 40}, 0)};
  std::sort(boxes.begin(), boxes.end(), comp);
  EXPECT_EQ(boxes[0].size.width, 90);
  EXPECT_EQ(boxes[1].size.height, 40);

  // Corner points in single precision are compared as rounded integer points
  // (halves to even), the way the visa reader sorts them.
  std::vector<cv::Point2f> pts{{3.5f, 0}, {2.5f, 9}, {1.4f, 4}};
  std::sort(pts.begin(), pts.end(), compoint_x);
  EXPECT_EQ(pts[0], cv::Point2f(1.4f, 4));
  EXPECT_EQ(pts[2], cv::Point2f(3.5f, 0));
  EXPECT_FALSE(compoint_x(cv::Point2f(1.6f, 0), cv::Point2f(2.5f, 0)));  // both round to 2
  EXPECT_FALSE(compoint_x(cv::Point2f(2.5f, 0), cv::Point2f(1.6f, 0)));
}

// ---- distances and angles ----------------------------------------------------------

TEST(PlaneGeometry, PointLen) {
  EXPECT_EQ(pointLen({0, 0}, {3, 4}), 5);
  EXPECT_EQ(pointLen({0, 0}, {1, 1}), 1);
  EXPECT_EQ(pointLen({-30000, 0}, {30000, 80000}), 100000);
}

TEST(PlaneGeometry, CalcDist) {
  struct Row {
    cv::Point2f a, b, p;
    double want;
  };
  for (const Row& r : {Row{{0, 0}, {10, 0}, {5, 3}, 3.0}, Row{{0, 0}, {10, 0}, {5, 0}, 0.0},
                       Row{{0, 0}, {0, 10}, {0, 5}, 0.1}, Row{{0, 0}, {10, 10}, {10, 0}, 7.0710678},
                       Row{{2, 7}, {12, 9}, {2, 7}, 0.1}}) {
    EXPECT_NEAR(calc_dist(r.a, r.b, r.p), r.want, 1e-6) << r.a << r.b << r.p;
  }
}

TEST(PlaneGeometry, LineAngle) {
  struct Row {
    cv::Point a, b, c;
    double want, tol;
  };
  for (const Row& r : {Row{{1, 0}, {0, 1}, {0, 0}, 90.0, 1e-9}, Row{{1, 0}, {1, 0}, {0, 0}, 0.000573, 1e-6},
                       Row{{0, 0}, {5, 5}, {0, 0}, 90.0, 1e-9}, Row{{11, 5}, {5, 11}, {5, 5}, 90.0, 1e-9},
                       Row{{1, 0}, {-1, 0}, {0, 0}, 180.0, 1e-3},
                       // long parallel rays: rounding must not push the cosine past 1
                       Row{{99991, 3}, {199982, 6}, {0, 0}, 0.0, 1e-3}}) {
    const double got = lineAngle(r.a, r.b, r.c);
    EXPECT_FALSE(std::isnan(got));
    EXPECT_NEAR(got, r.want, r.tol) << r.a << r.b << r.c;
  }
}

TEST(PlaneGeometry, CornerDirect) {
  struct Row {
    cv::Point a, b, c, d;
    int want;
  };
  for (const Row& r : {Row{{0, 0}, {10, 1}, {5, 5}, {0, 5}, -1}, Row{{0, 0}, {10, 1}, {0, 5}, {5, 5}, 1},
                       Row{{0, 0}, {10, 1}, {5, 5}, {5, 5}, -1},
                       // steep: compared on y, where an x test would see 0
                       Row{{0, 0}, {1, 10}, {5, 0}, {5, 7}, 1}, Row{{0, 0}, {1, 10}, {5, 7}, {5, 0}, -1}}) {
    EXPECT_EQ(cornerDirect(r.a, r.b, r.c, r.d), r.want) << r.a << r.b << r.c << r.d;
  }
}

// ---- perpendicularity ----------------------------------------------------------------

TEST(PlaneGeometry, VerticalBySlopes) {
  EXPECT_TRUE(vertical({0, 0}, {5, 100}, {110, 110}));    // pixel shortcut
  EXPECT_TRUE(vertical({0, 0}, {100, 5}, {110, 110}));    // the other shortcut
  EXPECT_TRUE(vertical({0, 0}, {20, 100}, {120, 80}));    // slopes 5 and -0.2
  EXPECT_FALSE(vertical({0, 0}, {50, 50}, {100, 100}));   // slopes 1 and 1
  EXPECT_FALSE(vertical({0, 0}, {0, 100}, {0, 300}));     // infinite slopes
}

struct PerpCase {
  cv::Point a, b, c, d;
  bool tight, wide;  // vertical2 (0.1 rad), vertical2_wx (0.15 rad)
};

class Perpendicular : public ::testing::TestWithParam<PerpCase> {};

TEST_P(Perpendicular, Segments) {
  const PerpCase& p = GetParam();
  EXPECT_EQ(vertical2(p.a, p.b, p.c, p.d), p.tight);
  EXPECT_EQ(vertical_dj(p.a, p.b, p.c, p.d), p.tight);
  EXPECT_EQ(vertical2_wx(p.a, p.b, p.c, p.d), p.wide);
  if (p.b == p.c) {  // a corner: the three-point forms test ab against bc
    EXPECT_EQ(vertical3(p.a, p.b, p.d), p.tight);
    EXPECT_EQ(vertical3_wx(p.a, p.b, p.d), p.wide);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, Perpendicular,
    ::testing::Values(PerpCase{{0, 0}, {100, 0}, {0, 0}, {0, 100}, true, true},
                      PerpCase{{0, 0}, {10, 10}, {0, 10}, {10, 0}, true, true},
                      PerpCase{{0, 0}, {10, 10}, {5, 0}, {15, 10}, false, false},     // parallel
                      PerpCase{{10, 0}, {0, 10}, {15, 0}, {5, 10}, false, false},     // parallel
                      PerpCase{{0, 0}, {100, 0}, {0, 0}, {12, 100}, false, true},     // 0.119 rad off
                      PerpCase{{0, 0}, {100, 0}, {100, 0}, {100, 100}, true, true},   // corner
                      PerpCase{{0, 0}, {100, 0}, {100, 0}, {112, 100}, false, true},  // corner, 0.119 off
                      PerpCase{{0, 0}, {100, 0}, {200, 0}, {300, 0}, false, false}));

// ---- line crossings ------------------------------------------------------------------

TEST(PlaneGeometry, CrossPoint) {
  struct Row {
    cv::Point a, b, c, d, want;
  };
  for (const Row& r : {Row{{0, 0}, {10, 10}, {0, 10}, {10, 0}, {5, 5}},
                       Row{{0, 0}, {10, 0}, {0, 5}, {10, 5}, {5, 2}},        // parallel: midpoint of b, c
                       Row{{0, 0}, {-10, 0}, {3, -5}, {10, -5}, {-3, -2}},  // halves truncate towards 0
                       // coordinates past ~1,300 overflowed 32-bit intermediates
                       Row{{0, 0}, {3000, 3000}, {0, 3000}, {3000, 0}, {1500, 1500}},
                       Row{{1300, 1400}, {4000, 2500}, {1500, 4000}, {3500, 900}, {2786, 2005}},
                       Row{{1800, 100}, {1900, 2600}, {100, 1700}, {2700, 1750}, {1865, 1733}}}) {
    EXPECT_EQ(CrossPoint(r.a, r.b, r.c, r.d), r.want) << r.a << r.b << r.c << r.d;
  }
}

TEST(PlaneGeometry, CircleCross) {
  struct Row {
    const char* name;
    cv::Point p1, p2, p3, p4;
    int r1, r2;
    cv::Point want, wantOut;
  };
  for (const Row& r : {
           Row{"near horizontal", {100, 100}, {300, 105}, {180, 50}, {400, 400}, 100, 50, {184, 47}, {180, 50}},
           Row{"near vertical", {100, 100}, {105, 300}, {400, 400}, {150, 190}, 100, 50, {153, 184}, {150, 190}},
           Row{"near vertical, upwards", {100, 100}, {95, -100}, {40, 10}, {400, 400}, 100, 50, {47, 16}, {40, 10}},
           Row{"circles meet", {0, 0}, {100, 100}, {90, 10}, {500, 500}, 100, 100, {100, 0}, {90, 10}},
           // circles that do not meet: both candidates fall on the foot point
           Row{"apart", {0, 0}, {100, 100}, {0, 0}, {100, 100}, 10, 10, {49, 50}, {0, 0}},
           Row{"nested", {0, 0}, {100, 100}, {0, 0}, {300, 300}, 200, 10, {149, 150}, {0, 0}}}) {
    cv::Point out(-7, -7);
    EXPECT_EQ(CircleCross(r.p1, r.p2, r.p3, r.p4, out, r.r1, r.r2), r.want) << r.name;
    EXPECT_EQ(out, r.wantOut) << r.name;
  }
}

}  // namespace
