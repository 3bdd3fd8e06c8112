// The image side of the Chinese visa reading on small synthetic images: the
// deskew records and their reset, the mapping of MRZ positions onto the page
// and the item crop, the red-print gate and the category box.
#include <gtest/gtest.h>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "passport_visa.h"
#include "passport_visa_utils.h"

namespace {

// ---- deskew records ----------------------------------------------------------------

cv::Mat affine(double a, double b, double c, double d, double e, double f) {
  return (cv::Mat_<double>(2, 3) << a, b, c, d, e, f);
}

TEST(DeskewRecords, CopySharesTheMatrixAndResetKeepsCornerAndMatrix) {
  PASSPORT_ROTATED_STRUCT& r = g_rotated_struct[0];
  r.line_rect = cv::Rect_<float>(11.f, 22.f, 300.f, 40.f);
  r.rotate_angle = 1.5f;
  r.has_inverse = true;
  r.inverse_mat = affine(1, 0, 0, 0, 1, 0);
  r.crop_x = 3;
  r.crop_y = 4;
  g_rotated_struct[1].has_inverse = false;
  g_point_list = {cv::Point(1, 2)};

  g_get_issue_addr = r;
  EXPECT_EQ(g_get_issue_addr.inverse_mat.data, r.inverse_mat.data);
  r.inverse_mat.at<double>(0, 2) = 7.0;  // an in-place store shows through the copy
  EXPECT_EQ(g_get_issue_addr.inverse_mat.at<double>(0, 2), 7.0);
  g_get_issue_addr = g_get_issue_addr;  // self-assignment changes nothing
  EXPECT_EQ(g_get_issue_addr.crop_x, 3);

  for (int twice = 0; twice < 2; ++twice) {
    clearVisaIssueInfo();
    for (const PASSPORT_ROTATED_STRUCT& e : g_rotated_struct) {
      EXPECT_FALSE(e.has_inverse);
      EXPECT_EQ(e.line_rect.width, 0.f);
      EXPECT_EQ(e.line_rect.height, 0.f);
      EXPECT_EQ(e.rotate_angle, 0.f);
      EXPECT_EQ(e.crop_x + e.crop_y + e.src_offset_x + e.src_offset_y, 0);
    }
    EXPECT_EQ(r.line_rect.x, 11.f);
    EXPECT_EQ(r.line_rect.y, 22.f);
    EXPECT_FALSE(r.inverse_mat.empty());
    EXPECT_TRUE(g_point_list.empty());
    EXPECT_TRUE(g_get_issue_addr.has_inverse);  // the visa reading's copy is not touched
  }
}

// ---- mapping and clamps ------------------------------------------------------------------

class Mapping : public testing::Test {
 protected:
  void SetUp() override {
    g_get_issue_addr = PASSPORT_ROTATED_STRUCT();
    g_get_issue_addr.inverse_mat = affine(1, 0, 0, 0, 1, 0);
    g_get_issue_addr.has_inverse = true;
    g_line1_edge = 20;
    g_point_list.clear();
  }
  void TearDown() override {
    g_get_issue_addr = PASSPORT_ROTATED_STRUCT();
    g_point_list.clear();
  }
};

TEST_F(Mapping, PointGoesThroughBorderCropMatrixAndCut) {
  cv::Point2f out;
  get_roi_map_point({100.f, 30.f}, &out, 0.f);
  EXPECT_EQ(out, cv::Point2f(80.f, 10.f));  // identity: minus the border only

  PASSPORT_ROTATED_STRUCT& r = g_get_issue_addr;
  r.crop_x = 5;
  r.crop_y = 6;
  r.inverse_mat = affine(0, -1, 200, 1, 0, 10);  // a quarter turn and a shift
  r.src_offset_x = 2;
  r.src_offset_y = 3;
  r.line_rect = cv::Rect_<float>(40.f, 300.f, 900.f, 60.f);
  get_roi_map_point({100.f, 30.f}, &out, 0.f);
  // (u, v) = (85, 16); matrix: (200 - 16, 85 + 10); minus offsets, plus the cut.
  EXPECT_EQ(out, cv::Point2f(184.f - 2.f + 40.f, 95.f - 3.f + 300.f));

  r.inverse_mat.release();  // no usable matrix: the identity
  get_roi_map_point({100.f, 30.f}, &out, 0.f);
  EXPECT_EQ(out, cv::Point2f(85.f - 2.f + 40.f, 16.f - 3.f + 300.f));
  get_roi_map_point({1.f, 1.f}, nullptr, 0.f);
}

TEST(Clamps, PointsAndRectangles) {
  const cv::Size size(100, 50);
  const struct {
    cv::Point2f in, out;
  } points[] = {{{99.f, 0.f}, {99.f, 0.f}}, {{-0.5f, 49.f}, {0.f, 49.f}}, {{99.5f, -3.f}, {99.f, 0.f}},
                {{50.f, 49.5f}, {50.f, 49.f}}};
  for (const auto& c : points) {
    cv::Point2f p = c.in;
    get_valid_point(&p, size);
    EXPECT_EQ(p, c.out) << c.in;
  }
  const struct {
    cv::Rect in, out;
  } rects[] = {{{90, 0, 10, 5}, {90, 0, 9, 5}},   // reaching the last column loses it
               {{-3, 2, 5, 5}, {0, 2, 5, 5}},     // moved right, not cut
               {{10, 45, 5, 5}, {10, 45, 5, 4}},  // the last row likewise
               {{10, 10, 5, 5}, {10, 10, 5, 5}},
               {{120, 60, 5, 5}, {120, 60, -21, -11}}};  // wholly outside: no area
  for (const auto& c : rects) {
    cv::Rect r = c.in;
    get_valid_rect(&r, size);
    EXPECT_EQ(r, c.out) << c.in;
  }
  get_valid_point(nullptr, size);
  get_valid_rect(nullptr, size);
}

// A page of distinct pixel values, so a crop shows where it came from.
cv::Mat rampPage(int cols, int rows) {
  cv::Mat page(rows, cols, CV_8UC3);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x) page.at<cv::Vec3b>(y, x) = cv::Vec3b(x % 256, y % 256, (x / 256) * 16 + y / 256);
  return page;
}

TEST_F(Mapping, LevelLineCutsThePagePixelsAboveIt) {
  cv::Mat page = rampPage(400, 300);
  // Baseline (60, 220) .. (160, 220) in the line frame; with the border of 20
  // and dy = 100 that is page row 300, and the region lies 30 to 80 above.
  cv::Mat item = get_target_image(page, 100, 80.f, 30.f, {80.f, 220.f}, {180.f, 220.f});
  ASSERT_EQ(g_point_list.size(), 4u);
  EXPECT_EQ(g_point_list[0], cv::Point(60, 270));  // bl, tl, tr, br
  EXPECT_EQ(g_point_list[1], cv::Point(60, 220));
  EXPECT_EQ(g_point_list[2], cv::Point(160, 220));
  EXPECT_EQ(g_point_list[3], cv::Point(160, 270));
  const cv::Rect r = cv::minAreaRect(g_point_list).boundingRect();
  ASSERT_EQ(item.size(), r.size());
  EXPECT_EQ(cv::norm(item, page(r), cv::NORM_INF), 0.0);

  // Without emptying the list, the next cut spans all eight points.
  cv::Mat both = get_target_image(page, 100, 80.f, 30.f, {200.f, 220.f}, {260.f, 220.f});
  EXPECT_EQ(g_point_list.size(), 8u);
  EXPECT_EQ(both.cols, cv::minAreaRect(g_point_list).boundingRect().width);
}

TEST_F(Mapping, TurnedLineFillsUncoveredCornersWithGrey) {
  g_get_issue_addr.rotate_angle = 8.f;
  cv::Mat page(300, 400, CV_8UC3, cv::Scalar(10, 20, 30));
  cv::Mat item = get_target_image(page, 100, 80.f, 30.f, {80.f, 220.f}, {180.f, 220.f});
  ASSERT_FALSE(item.empty());
  EXPECT_EQ(item.at<cv::Vec3b>(0, 0), cv::Vec3b(200, 200, 200));
  EXPECT_EQ(item.at<cv::Vec3b>(item.rows / 2, item.cols / 2), cv::Vec3b(10, 20, 30));
}

TEST_F(Mapping, RegionClampedToNothingGivesAnEmptyCrop) {
  // An item far above a short page: every corner is clamped onto row 0, and
  // a region of less than 2 x 2 pixels is no crop (never an exception).
  cv::Mat page = rampPage(400, 300);
  const float lens[][2] = {{900.f, 700.f}, {300.4f, 299.6f}};
  for (const auto& l : lens) {
    g_point_list.clear();
    cv::Mat item;
    EXPECT_NO_THROW(item = get_target_image(page, 100, l[0], l[1], {80.f, 220.f}, {180.f, 220.f}));
    EXPECT_TRUE(item.empty());
    EXPECT_EQ(g_point_list.size(), 4u);
  }
  // A region on the last column only.
  g_point_list.clear();
  EXPECT_TRUE(get_target_image(page, 100, 80.f, 30.f, {600.f, 220.f}, {700.f, 220.f}).empty());
  cv::Mat none;
  EXPECT_TRUE(get_target_image(none, 100, 80.f, 30.f, {80.f, 220.f}, {180.f, 220.f}).empty());
}

// ---- red print ----------------------------------------------------------------------------

// A white crop of twice the given half-size frame with red rectangles drawn
// in half-size coordinates.
cv::Mat redCrop(cv::Size half, const std::vector<cv::Rect>& red) {
  cv::Mat crop(half.height * 2, half.width * 2, CV_8UC3, cv::Scalar::all(255));
  for (const cv::Rect& r : red)
    cv::rectangle(crop, cv::Rect(r.x * 2, r.y * 2, r.width * 2, r.height * 2), cv::Scalar(0, 0, 255), cv::FILLED);
  return crop;
}

TEST(RedPrint, LineShapedRedIsFound) {
  const struct {
    const char* what;
    cv::Mat crop;
    int location;
    int expected;
  } cases[] = {
      {"uniform", cv::Mat(100, 300, CV_8UC3, cv::Scalar(40, 60, 200)), 0, -1},
      {"white", cv::Mat(100, 300, CV_8UC3, cv::Scalar::all(255)), 0, -1},
      {"bar 200 x 16", redCrop({300, 80}, {{50, 30, 200, 16}}), 0, 0},
      {"bar, kernel 25", redCrop({300, 80}, {{50, 30, 200, 16}}), 1, 0},
      // The bar with a stroke hanging from it: one compact blob of 200 x 76
      // at first; clearing its sparse rows frees the bar.
      {"bar and stroke", redCrop({300, 120}, {{50, 20, 200, 16}, {148, 36, 4, 60}}), 0, 0},
      // A compact blob only 74 wide: no row is cleared.
      {"compact 74", redCrop({200, 140}, {{40, 20, 74, 70}}), 0, -1},
      // Exactly three times as long as high is no line.
      {"ratio 3", redCrop({300, 80}, {{50, 30, 120, 40}}), 0, -1},
      // Shorter side below 10.
      {"thin bar", redCrop({300, 80}, {{50, 30, 200, 8}}), 0, -1},
      // Red marks standing apart by less than the kernel merge into a line.
      {"digits", redCrop({300, 80}, {{40, 30, 12, 18}, {60, 30, 12, 18}, {80, 30, 12, 18}, {100, 30, 12, 18},
                                      {120, 30, 12, 18}, {140, 30, 12, 18}}),
       0, 0},
      {"too small", cv::Mat(1, 30, CV_8UC3, cv::Scalar(0, 0, 255)), 0, -1},
      {"grey", cv::Mat(100, 300, CV_8UC1, cv::Scalar(0)), 0, -1},
  };
  for (const auto& c : cases) {
    cv::Mat crop = c.crop.clone();
    EXPECT_EQ(check_red_contours(crop, c.location), c.expected) << c.what;
    EXPECT_EQ(cv::norm(crop, c.crop, cv::NORM_INF), 0.0) << c.what << ": the crop changed";
  }
}

TEST(RedPrint, KernelWidthFollowsTheLocation) {
  // Marks 23 half-size pixels apart: the 25-wide closing (location 1) joins
  // them into a line, the 20-wide one does not.
  std::vector<cv::Rect> marks;
  for (int i = 0; i < 6; ++i) marks.push_back({30 + i * 35, 30, 12, 18});
  cv::Mat crop = redCrop({300, 80}, marks);
  EXPECT_EQ(check_red_contours(crop, 1), 0);
  EXPECT_EQ(check_red_contours(crop, 0), -1);
  EXPECT_EQ(check_red_contours(crop, 3), -1);
}

TEST(RedPrint, SparseRowsAreCleared) {
  cv::Mat mask = cv::Mat::zeros(4, 10, CV_8UC1);
  mask.row(0).colRange(0, 3).setTo(255);  // 3 pixels: cleared with count 3
  mask.row(1).colRange(0, 4).setTo(255);  // 4 pixels: kept
  mask.row(2).colRange(0, 9).setTo(254);  // 254 does not count: cleared
  mask.row(3).setTo(255);
  cv::Mat m = mask.clone();
  rm_adjoin(m, 3);
  EXPECT_EQ(cv::countNonZero(m.row(0)), 0);
  EXPECT_EQ(cv::countNonZero(m.row(1)), 4);
  EXPECT_EQ(cv::countNonZero(m.row(2)), 0);
  EXPECT_EQ(cv::countNonZero(m.row(3)), 10);
  m = mask.clone();
  rm_adjoin(m, -1);
  EXPECT_EQ(cv::norm(m, mask, cv::NORM_INF), 0.0);
  cv::Mat empty;
  rm_adjoin(empty, 5);
  EXPECT_TRUE(empty.empty());
}

// ---- category box ---------------------------------------------------------------------------

class CategoryBox : public testing::Test {
 protected:
  void SetUp() override {
    g_aCharWidth = 30;
    g_aCharHeight = 40;
  }
  void TearDown() override { g_aCharWidth = g_aCharHeight = 0; }
  // A white crop with black boxes.
  static cv::Mat crop(cv::Size size, const std::vector<cv::Rect>& boxes) {
    cv::Mat c(size, CV_8UC3, cv::Scalar::all(240));
    for (const cv::Rect& b : boxes) cv::rectangle(c, b, cv::Scalar::all(10), cv::FILLED);
    return c;
  }
};

TEST_F(CategoryBox, SizeAndRatioLimits) {
  // Limits for 30 x 40: 18 <= w < 66, 24 <= h < 60, 0.48 <= w / h <= 1.45.
  const struct {
    cv::Size box;
    int expected;
  } cases[] = {{{30, 40}, 0},  {{66, 50}, -1}, {{65, 50}, 0},  {{30, 60}, -1}, {{30, 59}, 0},
               {{17, 30}, -1}, {{20, 23}, -1}, {{58, 40}, 0},  {{59, 40}, -1},  // 1.45 / 1.475
               {{24, 50}, 0},  {{23, 50}, -1}};                                  // 0.48 / 0.46
  for (const auto& c : cases) {
    cv::Mat img = crop({200, 120}, {cv::Rect(cv::Point(70, 30), c.box)});
    cv::Mat out;
    EXPECT_EQ(detect_category_box(img, out, {11, 5}, 3), c.expected) << c.box;
  }
}

TEST_F(CategoryBox, NearestTheCentreWithMargins) {
  cv::Mat img = crop({200, 120}, {{20, 10, 30, 40}, {90, 40, 30, 40}});
  cv::Mat out;
  ASSERT_EQ(detect_category_box(img, out, {11, 5}, 3), 0);
  // The box nearer the centre, grown by 10 left and right, 5 above and below.
  cv::Size whole;
  cv::Point at;
  out.locateROI(whole, at);
  EXPECT_EQ(cv::Rect(at, out.size()), cv::Rect(80, 35, 50, 50));
  // The output is a view of the smoothed crop.
  EXPECT_EQ(out.datastart, img.datastart);

  // Margins are cut by the crop's edges: none at x = 0, 8 when 8 remain on
  // the right, 4 when 4 remain above. (Print closer to an edge than half the
  // closing kernel joins the edge: the closing does not erode from outside.)
  const struct {
    cv::Rect box;
    cv::Rect roi;
  } edges[] = {{{0, 40, 30, 40}, {0, 35, 30, 50}}, {{162, 40, 30, 40}, {154, 35, 46, 50}},
               {{80, 4, 30, 40}, {70, 0, 50, 48}}, {{167, 40, 30, 40}, {167, 35, 33, 50}}};
  for (const auto& e : edges) {
    cv::Mat c = crop({200, 120}, {e.box});
    cv::Mat o;
    ASSERT_EQ(detect_category_box(c, o, {11, 5}, 3), 0) << e.box;
    o.locateROI(whole, at);
    EXPECT_EQ(cv::Rect(at, o.size()), e.roi) << e.box;
  }
}

TEST_F(CategoryBox, TwoCharactersCloseIntoOneBoxAndSpecksGoAtTheLeftPlace) {
  // Two glyphs 8 pixels apart join under the 11 x 5 closing.
  cv::Mat img = crop({200, 120}, {{80, 40, 20, 36}, {108, 40, 20, 36}});
  cv::Mat out;
  ASSERT_EQ(detect_category_box(img, out, {11, 5}, 3), 0);
  EXPECT_EQ(out.cols, 48 + 20);

  // A 3 x 2 speck next to a glyph: kept at location 3 (it widens the box),
  // erased at location 2. A speck 3 high stays at both.
  const cv::Rect glyph(80, 40, 30, 36);
  const struct {
    cv::Rect speck;
    int location;
    int width;
  } cases[] = {{{115, 60, 3, 2}, 3, 38 + 20}, {{115, 60, 3, 2}, 2, 30 + 20}, {{115, 60, 3, 3}, 2, 38 + 20}};
  for (const auto& c : cases) {
    cv::Mat s = crop({200, 120}, {glyph, c.speck});
    cv::Mat o;
    ASSERT_EQ(detect_category_box(s, o, c.location == 2 ? cv::Size(13, 9) : cv::Size(11, 5), c.location), 0);
    EXPECT_EQ(o.cols, c.width) << c.speck << " at " << c.location;
  }
}

TEST_F(CategoryBox, FailuresLeaveTheOutputAlone) {
  cv::Mat sentinel(3, 3, CV_8UC1, cv::Scalar(7));
  const struct {
    const char* what;
    cv::Mat crop;
    cv::Size kernel;
  } cases[] = {{"blank", crop({200, 120}, {}), {11, 5}},
               {"tiny", cv::Mat(1, 1, CV_8UC3, cv::Scalar::all(0)), {11, 5}},
               {"grey", cv::Mat(120, 200, CV_8UC1, cv::Scalar(0)), {11, 5}},
               {"no kernel", crop({200, 120}, {{80, 40, 30, 40}}), {0, 5}}};
  for (const auto& c : cases) {
    cv::Mat out = sentinel;
    cv::Mat img = c.crop.clone();
    EXPECT_EQ(detect_category_box(img, out, c.kernel, 3), -1) << c.what;
    EXPECT_EQ(out.data, sentinel.data) << c.what;
  }
  // Averages of 0 let nothing through.
  g_aCharWidth = 0;
  cv::Mat img = crop({200, 120}, {{80, 40, 30, 40}});
  cv::Mat out;
  EXPECT_EQ(detect_category_box(img, out, {11, 5}, 3), -1);
  // The crop is smoothed whatever the result.
  cv::Mat copy = crop({200, 120}, {{80, 40, 30, 40}});
  EXPECT_GT(cv::norm(img, copy, cv::NORM_INF), 0.0);
}

}  // namespace
