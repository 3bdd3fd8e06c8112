// The MRZ line deskew and its records: where the deskew cuts, when it rotates,
// what the upper line's record keeps, and the records' reset and copy.
#include <gtest/gtest.h>

#include <cmath>

#include <opencv2/imgproc.hpp>

#include "passport_locate.h"
#include "passport_locate2.h"
#include "passport_visa.h"
#include "passport_visa_utils.h"

namespace {

// A float image whose pixel (x, y) holds (x, y, 0): whatever the deskew
// samples tells where in the input it sampled.
cv::Mat coordImage(int cols, int rows) {
  cv::Mat img(rows, cols, CV_32FC3);
  for (int y = 0; y < rows; ++y)
    for (int x = 0; x < cols; ++x)
      img.at<cv::Vec3f>(y, x) = cv::Vec3f(static_cast<float>(x), static_cast<float>(y), 0.f);
  return img;
}

cv::Point2d apply(const cv::Mat& m, cv::Point2d p) {
  return {m.at<double>(0, 0) * p.x + m.at<double>(0, 1) * p.y + m.at<double>(0, 2),
          m.at<double>(1, 0) * p.x + m.at<double>(1, 1) * p.y + m.at<double>(1, 2)};
}

// The centre the output was cut about, in the working image, recovered from a
// pixel of the output and the stored mapping.
cv::Point2d cutCentre(const cv::Mat& out, const PASSPORT_ROTATED_STRUCT& rec) {
  cv::Mat forward;
  cv::invertAffineTransform(rec.inverse_mat, forward);
  const int u = out.cols / 2, v = out.rows / 2;
  const cv::Vec3f s = out.at<cv::Vec3f>(v, u);
  const cv::Point2d work = apply(forward, {s[0], s[1]});
  return {work.x - u + (out.cols - 1) / 2.0, work.y - v + (out.rows - 1) / 2.0};
}

struct DeskewCase {
  const char* name;
  int rows;             // rows of the 900-column cut-out
  cv::Point2f centre;
  cv::Size size;
  double angle;
  bool rotates;
  cv::Size out;
  // Expected cut centre: absolute without rotation, relative to the
  // transformed line centre with rotation; NAN where not pinned.
  double cx, cy;
  int crop_x, crop_y;  // -1 where not pinned
};

class Deskew : public ::testing::TestWithParam<DeskewCase> {};

TEST_P(Deskew, CutsWhereExpectedAndKeepsTheMapping) {
  const DeskewCase& c = GetParam();
  cv::Mat input = coordImage(900, c.rows);
  cv::Mat out;
  PASSPORT_ROTATED_STRUCT rec;
  ASSERT_TRUE(rotation_visa2(input, out, c.size, c.centre, c.angle, rec, true));
  EXPECT_EQ(out.size(), c.out);
  EXPECT_EQ(out.type(), input.type());
  ASSERT_TRUE(rec.has_inverse);
  EXPECT_EQ(rec.rotate_angle, c.rotates ? static_cast<float>(c.angle) : 0.f);
  EXPECT_EQ(rec.src_offset_x, 0);
  EXPECT_EQ(rec.src_offset_y, 0);
  EXPECT_EQ(rec.line_rect, cv::Rect_<float>());  // the caller's to write
  ASSERT_EQ(rec.inverse_mat.type(), CV_64FC1);
  ASSERT_EQ(rec.inverse_mat.size(), cv::Size(3, 2));
  if (!c.rotates) {
    EXPECT_LT(cv::norm(rec.inverse_mat, cv::Mat::eye(2, 3, CV_64F), cv::NORM_INF), 1e-12);
  }
  if (c.crop_x >= 0) {
    EXPECT_EQ(rec.crop_x, c.crop_x);
  }
  if (c.crop_y >= 0) {
    EXPECT_EQ(rec.crop_y, c.crop_y);
  }

  const cv::Point2d got = cutCentre(out, rec);
  cv::Point2d want(c.cx, c.cy);
  if (c.rotates) {
    cv::Mat forward;
    cv::invertAffineTransform(rec.inverse_mat, forward);
    want += apply(forward, c.centre);
  }
  if (!std::isnan(c.cx)) {
    EXPECT_NEAR(got.x, want.x, 0.02);
  }
  if (!std::isnan(c.cy)) {
    EXPECT_NEAR(got.y, want.y, 0.02);
  }
  // The output owns its pixels.
  EXPECT_TRUE(out.datastart >= input.dataend || out.dataend <= input.datastart);
}

const cv::Point2f kCentre(450, 30);
const cv::Size kSize(800, 30);

INSTANTIATE_TEST_SUITE_P(
    Table, Deskew,
    ::testing::Values(
        DeskewCase{"level_0_1", 60, kCentre, kSize, 0.1, false, {800, 28}, 449.97, 28.30, 50, 16},
        DeskewCase{"level_minus_0_1", 60, kCentre, kSize, -0.1, false, {799, 31}, 448.97, 29.30, 50, 14},
        DeskewCase{"bound_0_2_rotates", 60, kCentre, kSize, 0.2, true, {800, 30}, 0, 0, -1, -1},
        DeskewCase{"edge_inside_0_5", 60, kCentre, kSize, 0.5, true, {800, 30}, 0, 0, -1, -1},
        DeskewCase{"pivot_below_0_5", 48, kCentre, kSize, 0.5, false, {800, 36}, NAN, NAN, 50, 6},
        DeskewCase{"pivot_below_0_99", 48, kCentre, kSize, 0.99, false, {800, 39}, NAN, NAN, 50, -1},
        DeskewCase{"pivot_below_1_0_rotates", 48, kCentre, kSize, 1.0, true, {800, 30}, 0, 0, -1, -1},
        DeskewCase{"two_degrees", 60, kCentre, kSize, 2.0, true, {800, 30}, 0, 0, -1, -1},
        DeskewCase{"overhang_small", 50, kCentre, kSize, 2.0, true, {800, 31}, 0, -2.475, -1, -1},
        DeskewCase{"overhang_large", 46, kCentre, kSize, 2.0, true, {800, 20}, 0, -4.0, -1, -1},
        DeskewCase{"bound_1_5_no_correction", 50, kCentre, kSize, 1.5, true, {800, 30}, 0, 0, -1, -1},
        DeskewCase{"corner_left_of_cut", 60, {400, 30}, {820, 30}, 0.1, false, {900, 28}, 450.0, NAN, 0, -1}),
    [](const ::testing::TestParamInfo<DeskewCase>& i) { return std::string(i.param.name); });

TEST(DeskewRecord, KeptMappingIsNotReplacedAndLineTwoGetsNone) {
  cv::Mat input = coordImage(900, 60);
  cv::Mat out;
  PASSPORT_ROTATED_STRUCT rec;
  ASSERT_TRUE(rotation_visa2(input, out, kSize, kCentre, 2.0, rec, true));
  const PASSPORT_ROTATED_STRUCT before = rec;
  const cv::Mat matrix = rec.inverse_mat.clone();
  rec.line_rect = cv::Rect_<float>(1, 2, 3, 4);

  // Another angle with the mapping already kept: new output, same record.
  ASSERT_TRUE(rotation_visa2(input, out, kSize, kCentre, 0.1, rec, true));
  EXPECT_EQ(out.size(), cv::Size(800, 28));
  EXPECT_EQ(rec.rotate_angle, 2.f);
  EXPECT_EQ(rec.crop_x, before.crop_x);
  EXPECT_EQ(rec.crop_y, before.crop_y);
  EXPECT_EQ(rec.line_rect, cv::Rect_<float>(1, 2, 3, 4));
  EXPECT_EQ(cv::norm(rec.inverse_mat, matrix, cv::NORM_INF), 0.0);

  // Without the keep flag nothing is stored.
  PASSPORT_ROTATED_STRUCT other;
  ASSERT_TRUE(rotation_visa2(input, out, kSize, kCentre, 2.0, other, false));
  EXPECT_FALSE(other.has_inverse);
  EXPECT_TRUE(other.inverse_mat.empty());
  EXPECT_EQ(other.crop_x, 0);

  // The second entry point does the same.
  cv::Mat out2;
  PASSPORT_ROTATED_STRUCT rec2;
  ASSERT_TRUE(rotation_visa(input, out2, kSize, kCentre, 2.0, rec2, true));
  EXPECT_EQ(cv::norm(out, out2, cv::NORM_INF), 0.0);
  EXPECT_EQ(cv::norm(rec2.inverse_mat, matrix, cv::NORM_INF), 0.0);
}

TEST(DeskewRecord, RefusedInputsTouchNothing) {
  cv::Mat input = coordImage(900, 60);
  const struct {
    const char* name;
    cv::Mat in;
    cv::Size size;
    double angle;
    int rows;
  } cases[] = {
      {"zero height", input, {800, 0}, 0.1, 60},
      {"zero width", input, {0, 30}, 0.1, 60},
      {"empty input", cv::Mat(), kSize, 0.1, 60},
      // h = size.height - 10 <= 0 after the bottom-overhang correction
      {"thin overhanging line", coordImage(900, 30), {800, 8}, 2.0, 30},
      // no rotation, |c2.y - c0.y| below one row
      {"degenerate level crop", input, {800, 1}, 0.1, 60},
  };
  for (const auto& c : cases) {
    cv::Mat out(3, 3, CV_8UC1, cv::Scalar(7));
    const uchar* data = out.data;
    PASSPORT_ROTATED_STRUCT rec;
    rec.crop_x = 99;
    cv::Mat in = c.in;
    EXPECT_FALSE(rotation_visa2(in, out, c.size, kCentre, c.angle, rec, true)) << c.name;
    EXPECT_EQ(out.data, data) << c.name;
    EXPECT_FALSE(rec.has_inverse) << c.name;
    EXPECT_EQ(rec.crop_x, 99) << c.name;
  }
}

TEST(DeskewRecord, ColourLinesKeepTheirType) {
  cv::Mat band(60, 900, CV_8UC3, cv::Scalar(200, 210, 220));
  cv::rectangle(band, cv::Rect(60, 20, 780, 20), cv::Scalar(20, 20, 20), cv::FILLED);
  cv::Mat out;
  PASSPORT_ROTATED_STRUCT rec;
  ASSERT_TRUE(rotation_visa2(band, out, kSize, kCentre, -1.2, rec, true));
  EXPECT_EQ(out.type(), CV_8UC3);
  EXPECT_EQ(out.size(), kSize);
  // A four-channel cut cannot be cropped: refused, not thrown.
  cv::Mat bgra;
  cv::cvtColor(band, bgra, cv::COLOR_BGR2BGRA);
  PASSPORT_ROTATED_STRUCT rec4;
  EXPECT_FALSE(rotation_visa2(bgra, out, kSize, kCentre, -1.2, rec4, true));
  EXPECT_FALSE(rec4.has_inverse);
}

TEST(DeskewDrawing, OutlinesTheRectangleOnACopy) {
  cv::Mat img(80, 120, CV_8UC3, cv::Scalar::all(255));
  const cv::Mat before = img.clone();
  cv::Mat level = drawRotatedRect(img, cv::Size(80, 40), cv::Point2f(60, 40), 0);
  EXPECT_EQ(cv::norm(img, before, cv::NORM_INF), 0.0);  // the image is not drawn on
  const cv::Vec3b red(0, 0, 255), white(255, 255, 255);
  EXPECT_EQ(level.at<cv::Vec3b>(20, 60), red);    // top edge
  EXPECT_EQ(level.at<cv::Vec3b>(60, 60), red);    // bottom edge
  EXPECT_EQ(level.at<cv::Vec3b>(40, 20), red);    // left edge
  EXPECT_EQ(level.at<cv::Vec3b>(40, 100), red);   // right edge
  EXPECT_EQ(level.at<cv::Vec3b>(40, 60), white);  // inside
  EXPECT_EQ(level.at<cv::Vec3b>(5, 5), white);    // outside
  cv::Mat none;
  EXPECT_TRUE(drawRotatedRect(none, cv::Size(8, 4), cv::Point2f(4, 4), 0).empty());
}

// ---- records and their reset --------------------------------------------------------

TEST(Records, ResetClearsBothLinesAndThePointList) {
  for (PASSPORT_ROTATED_STRUCT& r : g_rotated_struct) {
    r.line_rect = cv::Rect_<float>(11, 12, 13, 14);
    r.rotate_angle = 1.5f;
    r.has_inverse = true;
    r.inverse_mat = cv::Mat::eye(2, 3, CV_64F);
    r.crop_x = r.crop_y = r.src_offset_x = r.src_offset_y = 5;
  }
  g_get_issue_addr.has_inverse = true;
  g_get_issue_addr.crop_x = 8;
  g_point_list = {cv::Point(1, 2), cv::Point(3, 4)};
  for (int round = 0; round < 2; ++round) {
    clearVisaIssueInfo();
    for (const PASSPORT_ROTATED_STRUCT& r : g_rotated_struct) {
      EXPECT_EQ(r.line_rect, cv::Rect_<float>(11, 12, 0, 0));
      EXPECT_EQ(r.rotate_angle, 0.f);
      EXPECT_FALSE(r.has_inverse);
      EXPECT_EQ(cv::norm(r.inverse_mat, cv::Mat::eye(2, 3, CV_64F), cv::NORM_INF), 0.0);  // kept
      EXPECT_EQ(r.crop_x + r.crop_y + r.src_offset_x + r.src_offset_y, 0);
    }
    EXPECT_TRUE(g_point_list.empty());
    EXPECT_TRUE(g_get_issue_addr.has_inverse);
    EXPECT_EQ(g_get_issue_addr.crop_x, 8);
  }
  g_get_issue_addr = PASSPORT_ROTATED_STRUCT();
}

TEST(Records, CopySharesTheMatrix) {
  PASSPORT_ROTATED_STRUCT a;
  cv::Mat input = coordImage(900, 60);
  cv::Mat out;
  ASSERT_TRUE(rotation_visa2(input, out, kSize, kCentre, 2.0, a, true));
  a.line_rect = cv::Rect_<float>(1, 2, 3, 4);
  PASSPORT_ROTATED_STRUCT b;
  b = a;
  EXPECT_EQ(b.line_rect, a.line_rect);
  EXPECT_EQ(b.rotate_angle, 2.f);
  EXPECT_TRUE(b.has_inverse);
  EXPECT_EQ(b.crop_x, a.crop_x);
  EXPECT_EQ(b.crop_y, a.crop_y);
  EXPECT_EQ(b.inverse_mat.data, a.inverse_mat.data);
  // A later store into the source's matrix shows through the copy.
  a.has_inverse = false;
  ASSERT_TRUE(rotation_visa2(input, out, kSize, kCentre, -2.0, a, true));
  EXPECT_EQ(b.inverse_mat.data, a.inverse_mat.data);
  EXPECT_EQ(cv::norm(b.inverse_mat, a.inverse_mat, cv::NORM_INF), 0.0);
  EXPECT_EQ(b.rotate_angle, 2.f);  // the plain members are the copy's own
  // Assigning a record to itself changes nothing.
  const uchar* data = a.inverse_mat.data;
  PASSPORT_ROTATED_STRUCT& self = a;
  a = self;
  EXPECT_EQ(a.inverse_mat.data, data);
  EXPECT_EQ(a.line_rect, cv::Rect_<float>(1, 2, 3, 4));
}

}  // namespace
