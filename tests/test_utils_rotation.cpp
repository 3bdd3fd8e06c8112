// Image rotation, safe rectangles and rotated crops.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <functional>
#include <string>

#include <opencv2/imgproc.hpp>

#include "rotated_rect34.h"
#include "utils.h"

namespace {

std::string stdoutOf(const std::function<void()>& f) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  f();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

void fillBox(cv::Mat& img, const cv::RotatedRect& r, const cv::Scalar& v) {
  cv::Point2f p[4];
  r.points(p);
  std::vector<cv::Point> q;
  for (const auto& c : p) q.emplace_back(cvRound(c.x), cvRound(c.y));
  cv::fillConvexPoly(img, q, v, cv::LINE_8);
}

// A white page with a mid-grey text box whose left end (the first quarter
// along its width axis) is black, tilted by `angle` (RotatedRect convention).
struct MarkedBox {
  cv::Mat page;
  cv::RotatedRect box;
};

MarkedBox markedBox(float angle, cv::Size pageSize = {320, 220}) {
  MarkedBox m;
  m.page = cv::Mat(pageSize, CV_8UC3, cv::Scalar::all(255));
  m.box = cv::RotatedRect(cv::Point2f(pageSize.width / 2.f, pageSize.height / 2.f), cv::Size2f(160, 36), angle);
  fillBox(m.page, m.box, cv::Scalar::all(128));
  const float a = angle * static_cast<float>(CV_PI) / 180.f;
  const cv::Point2f u(std::cos(a), std::sin(a));
  const cv::RotatedRect end(m.box.center - u * (m.box.size.width * 3.f / 8.f),
                            cv::Size2f(m.box.size.width / 4.f, m.box.size.height), angle);
  fillBox(m.page, end, cv::Scalar::all(0));
  return m;
}

// minAreaRect of the drawn box, as OpenCV 4.6 reports it ((0, 90] angles).
cv::RotatedRect modernRect(const MarkedBox& m) {
  cv::Mat grey, ink;
  cv::cvtColor(m.page, grey, cv::COLOR_BGR2GRAY);
  cv::findNonZero(grey < 200, ink);
  return cv::minAreaRect(ink);
}

double meanOf(const cv::Mat& img, cv::Rect r) { return cv::mean(img(r))[0]; }

// The patch is lying and its dark end is where `darkLeft` says.
void expectDarkEnd(const cv::Mat& patch, bool darkLeft) {
  ASSERT_FALSE(patch.empty());
  ASSERT_GE(patch.cols, patch.rows);
  const int q = patch.cols / 6;
  const cv::Rect mid(0, patch.rows / 4, q, patch.rows / 2);
  const double left = meanOf(patch, mid);
  const double right = meanOf(patch, mid + cv::Point(patch.cols - q, 0));
  if (darkLeft) {
    EXPECT_LT(left, 60);
    EXPECT_GT(right, 100);
  } else {
    EXPECT_LT(right, 60);
    EXPECT_GT(left, 100);
  }
}

// ---- getPointAffinedPos and imgRotate -----------------------------------------

TEST(PointRotation, MatchesTheWarpMatrix) {
  const cv::Point2f p = getPointAffinedPos({1, 0}, {0, 0}, 90);
  EXPECT_NEAR(p.x, 0, 1e-6);
  EXPECT_NEAR(p.y, -1, 1e-6);
  const cv::Point2f q = getPointAffinedPos({12.5f, -3}, {4, 7}, 0);
  EXPECT_EQ(q, cv::Point2f(12.5f, -3));

  for (float angle : {-73.f, -10.f, 33.f, 181.f}) {
    const cv::Point2f c(40.5f, 17.f), pt(3.f, 90.f);
    const cv::Mat m = cv::getRotationMatrix2D(c, angle, 1.0);
    const double x = m.at<double>(0, 0) * pt.x + m.at<double>(0, 1) * pt.y + m.at<double>(0, 2);
    const double y = m.at<double>(1, 0) * pt.x + m.at<double>(1, 1) * pt.y + m.at<double>(1, 2);
    const cv::Point2f got = getPointAffinedPos(pt, c, angle);
    EXPECT_NEAR(got.x, x, 1e-3) << angle;
    EXPECT_NEAR(got.y, y, 1e-3) << angle;
  }
}

TEST(ImgRotate, ZeroAngleKeepsTheImage) {
  cv::Mat img(7, 9, CV_8UC3);
  cv::randu(img, 0, 256);
  const cv::Mat before = img.clone();
  ASSERT_EQ(imgRotate(img, 0.f, 1.f), 0);
  EXPECT_EQ(cv::norm(img, before, cv::NORM_INF), 0);
}

TEST(ImgRotate, TurnsAboutTheTruncatedCentre) {
  // 5 x 3 turns about (2, 1): a half turn is then an exact flip.
  cv::Mat odd(3, 5, CV_8UC1);
  cv::randu(odd, 1, 256);
  cv::Mat flipped;
  cv::flip(odd, flipped, -1);
  ASSERT_EQ(imgRotate(odd, 180.f, 1.f), 0);
  EXPECT_EQ(cv::norm(odd, flipped, cv::NORM_INF), 0);

  // 6 x 4 turns about (3, 2), not (2.5, 1.5): column 0 takes source column 6,
  // which does not exist, so it turns black.
  cv::Mat even(4, 6, CV_8UC1, cv::Scalar(90));
  ASSERT_EQ(imgRotate(even, 180.f, 1.f), 0);
  EXPECT_EQ(cv::countNonZero(even.col(0)), 0);
  EXPECT_EQ(cv::countNonZero(even.row(0)), 0);
  EXPECT_EQ(even.at<uchar>(1, 1), 90);
}

TEST(ImgRotate, EmptyImageIsRefused) {
  cv::Mat empty;
  int rc = 0;
  const std::string out = stdoutOf([&] { rc = imgRotate(empty, 30.f, 1.f); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, "Read image failure\n");
  EXPECT_TRUE(empty.empty());
}

// ---- imgRotate_2 ---------------------------------------------------------------

struct CropCase {
  const char* name;
  float angle;     // classic angle of the drawn box
  bool modern;     // hand over minAreaRect as OpenCV 4.6 gives it
  bool darkLeft;   // where the marked end must come out
};

void PrintTo(const CropCase& c, std::ostream* os) { *os << c.name; }

class UprightCut : public ::testing::TestWithParam<CropCase> {};

TEST_P(UprightCut, ImgRotate2KeepsTheTextReadable) {
  const CropCase& c = GetParam();
  MarkedBox m = markedBox(c.angle);
  cv::RotatedRect rr = c.modern ? modernRect(m) : m.box;
  cv::Rect_<float> roi;
  ASSERT_TRUE(calcSafeRect(rr, m.page, roi));
  cv::Mat dst;
  ASSERT_EQ(imgRotate_2(m.page, dst, roi, rr, 1), 0) << c.name;
  EXPECT_NEAR(dst.cols, 160, 3) << c.name;
  EXPECT_NEAR(dst.rows, 36, 3) << c.name;
  expectDarkEnd(dst, c.darkLeft);
}

TEST_P(UprightCut, CropRotateRectKeepsTheTextReadable) {
  const CropCase& c = GetParam();
  MarkedBox m = markedBox(c.angle);
  cv::RotatedRect rr = c.modern ? modernRect(m) : m.box;
  const cv::Mat patch = cropRotateRect(m.page, rr);
  EXPECT_NEAR(patch.cols, 160, 3) << c.name;
  EXPECT_NEAR(patch.rows, 36, 3) << c.name;
  expectDarkEnd(patch, c.darkLeft);
}

INSTANTIATE_TEST_SUITE_P(
    Boxes, UprightCut,
    ::testing::Values(
        CropCase{"tilt_minus10_classic", -10.f, false, true},
        CropCase{"tilt_minus10_opencv46", -10.f, true, true},
        CropCase{"tilt_plus10_opencv46", 10.f, true, true},
        CropCase{"level_opencv46", 0.f, true, true},
        CropCase{"tilt_minus45", -45.f, false, true}),
    [](const testing::TestParamInfo<CropCase>& i) { return std::string(i.param.name); });

TEST(ImgRotate2, AngleBelowMinus45TurnsByTheComplement) {
  // (160 x 36, -60): turned by +30 the box stands, and the quarter turn that
  // lays it down brings its lower-left end to the right.
  MarkedBox m = markedBox(-60.f, {320, 320});
  cv::Rect_<float> roi;
  ASSERT_TRUE(calcSafeRect(m.box, m.page, roi));
  cv::Mat dst;
  ASSERT_EQ(imgRotate_2(m.page, dst, roi, m.box, 1), 0);
  EXPECT_EQ(dst.cols, 160);
  EXPECT_EQ(dst.rows, 36);
  expectDarkEnd(dst, false);
}

TEST(ImgRotate2, StandingBoxIsLaidDown) {
  cv::Mat page(200, 200, CV_8UC1, cv::Scalar(255));
  cv::RotatedRect rr({100, 100}, {40, 100}, -10);
  fillBox(page, rr, cv::Scalar(0));
  cv::Rect_<float> roi;
  ASSERT_TRUE(calcSafeRect(rr, page, roi));
  cv::Mat dst;
  ASSERT_EQ(imgRotate_2(page, dst, roi, rr, 1), 0);
  EXPECT_EQ(dst.cols, 100);
  EXPECT_EQ(dst.rows, 40);
  EXPECT_LT(cv::mean(dst(cv::Rect(5, 5, 90, 30)))[0], 5);
}

TEST(ImgRotate2, ScaledSourceCutsTheScaledRectangle) {
  MarkedBox m = markedBox(-10.f);
  cv::Mat big;
  cv::resize(m.page, big, m.page.size() * 2, 0, 0, cv::INTER_NEAREST);
  cv::RotatedRect rr(m.box.center, cv::Size2f(160.3f, 36.7f), m.box.angle);
  cv::Rect_<float> roi;
  ASSERT_TRUE(calcSafeRect(rr, m.page, roi));
  cv::Mat dst;
  ASSERT_EQ(imgRotate_2(big, dst, roi, rr, 2), 0);
  EXPECT_EQ(dst.cols, 320);  // trunc(160.3 * 2)
  EXPECT_EQ(dst.rows, 73);   // trunc(36.7 * 2)
  expectDarkEnd(dst, true);

  // The crop is (10, 20, 50, 30) scaled by 2: a rectangle that lies in it is
  // found in the enlarged image; had the roi not been scaled it would be missed.
  cv::Mat ref(100, 100, CV_8UC1, cv::Scalar(255));
  cv::RotatedRect small({35, 35}, {30, 10}, 0);
  fillBox(ref, small, cv::Scalar(0));
  cv::resize(ref, big, ref.size() * 2, 0, 0, cv::INTER_NEAREST);
  cv::Rect_<float> given(10, 20, 50, 30);
  ASSERT_EQ(imgRotate_2(big, dst, given, small, 2), 0);
  EXPECT_EQ(dst.size(), cv::Size(60, 20));
  EXPECT_LT(cv::mean(dst(cv::Rect(4, 4, 52, 12)))[0], 5);
}

TEST(ImgRotate2, RefusesWithoutTouchingTheDestination) {
  cv::Mat page(100, 100, CV_8UC1, cv::Scalar(255));
  cv::RotatedRect rr({90, 90}, {40, 10}, -5);
  const cv::Mat keep(3, 3, CV_8UC1, cv::Scalar(7));

  struct Row {
    const char* name;
    cv::Rect_<float> roi;
    int s;
  };
  for (const Row& r : {Row{"partly_outside", {80, 80, 50, 50}, 1},
                       Row{"scaled_past_the_source", {40, 40, 50, 50}, 2},
                       Row{"negative_origin", {-4, 10, 30, 30}, 1},
                       Row{"zero_scale", {10, 10, 30, 30}, 0}}) {
    cv::Mat dst = keep;
    cv::Rect_<float> roi = r.roi;
    int rc = 0;
    EXPECT_NO_THROW(rc = imgRotate_2(page, dst, roi, rr, r.s)) << r.name;
    EXPECT_EQ(rc, -1) << r.name;
    EXPECT_EQ(dst.data, keep.data) << r.name;
  }

  cv::Mat empty, dst = keep;
  cv::Rect_<float> roi(0, 0, 10, 10);
  int rc = 0;
  const std::string out = stdoutOf([&] { rc = imgRotate_2(empty, dst, roi, rr, 1); });
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(out, "Read image failure\n");
  EXPECT_EQ(dst.data, keep.data);

  cv::RotatedRect flat({50, 50}, {0, 0}, 0);
  roi = cv::Rect_<float>(40, 40, 20, 20);
  EXPECT_EQ(imgRotate_2(page, dst, roi, flat, 1), -1);
  EXPECT_EQ(dst.data, keep.data);
}

// ---- rotation --------------------------------------------------------------------

TEST(Rotation, CentreLeftOfTheSource) {
  cv::Mat src(10, 20, CV_8UC1, cv::Scalar(100));
  src.col(0).setTo(50);
  cv::Mat dst = cv::Mat(2, 2, CV_8UC1, cv::Scalar(9));
  EXPECT_FALSE(rotation(src, dst, {3, 3}, {-1.f, 5.f}, 0.0));
  EXPECT_EQ(dst.at<uchar>(0, 0), 9);

  // The fraction of -0.5 is dropped: the patch centres on source column 0,
  // with the grey canvas to its left.
  ASSERT_TRUE(rotation(src, dst, {3, 3}, {-0.5f, 5.f}, 0.0));
  ASSERT_EQ(dst.size(), cv::Size(3, 3));
  EXPECT_EQ(dst.at<uchar>(1, 0), 200);
  EXPECT_EQ(dst.at<uchar>(1, 1), 50);
  EXPECT_EQ(dst.at<uchar>(1, 2), 100);
}

TEST(Rotation, TurnsThePatch) {
  cv::Mat src(40, 40, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::rectangle(src, cv::Rect(20, 18, 15, 4), cv::Scalar(0, 0, 0), cv::FILLED);  // bar right of (20, 20)
  cv::Mat dst;
  ASSERT_TRUE(rotation(src, dst, {21, 21}, {20.f, 20.f}, 90.0));
  ASSERT_EQ(dst.type(), CV_8UC3);
  // A quarter turn counter-clockwise moves the bar above the centre.
  EXPECT_LT(cv::mean(dst(cv::Rect(9, 0, 3, 8)))[0], 60);
  EXPECT_GT(cv::mean(dst(cv::Rect(13, 9, 8, 3)))[0], 200);
}

TEST(Rotation, BadArguments) {
  cv::Mat src(10, 10, CV_8UC1, cv::Scalar(1)), dst;
  EXPECT_FALSE(rotation(src, dst, {0, 5}, {5.f, 5.f}, 10.0));
  EXPECT_FALSE(rotation(src, dst, {5, 5}, {std::nanf(""), 5.f}, 10.0));
  cv::Mat empty;
  bool ok = true;
  EXPECT_EQ(stdoutOf([&] { ok = rotation(empty, dst, {5, 5}, {5.f, 5.f}, 0.0); }), "Read image failure\n");
  EXPECT_FALSE(ok);
  EXPECT_TRUE(dst.empty());
}

// ---- getSafeRect and calcSafeRect ---------------------------------------------------

TEST(GetSafeRect, ClampsWithAVerticalMargin) {
  struct Row {
    int w, h, margin;
    cv::Rect in, want;
  };
  for (const Row& r : {Row{100, 50, 5, {-3, 2, 20, 60}, {0, 5, 17, 40}},
                       Row{100, 50, 0, {120, 10, 10, 10}, {120, 10, -20, 10}},
                       Row{100, 50, 0, {10, 10, 20, 20}, {10, 10, 20, 20}},
                       Row{100, 50, 0, {90, 45, 30, 30}, {90, 45, 10, 5}}}) {
    cv::Rect rect = r.in;
    getSafeRect(r.w, r.h, r.margin, rect);
    EXPECT_EQ(rect, r.want) << r.in;
  }
}

// A rotated rectangle whose integer bounding rectangle is exactly b.
cv::RotatedRect withBoundingRect(cv::Rect b, float angle = 0.f) {
  cv::RotatedRect r(cv::Point2f(b.x + (b.width - 1) / 2.f, b.y + (b.height - 1) / 2.f),
                    cv::Size2f(b.width - 1.4f, b.height - 1.4f), angle);
  return r;
}

TEST(CalcSafeRect, GrowsByFiveAndClamps) {
  const cv::Mat image(100, 100, CV_8UC1);
  struct Row {
    cv::Rect bound;
    bool ok;
    cv::Rect_<float> want;
  };
  const cv::Rect_<float> untouched(1, 2, 3, 4);
  for (const Row& r : {Row{{10, 20, 30, 40}, true, {5, 15, 40, 50}},
                       Row{{90, 0, 20, 10}, true, {85, 0, 15, 15}},
                       Row{{2, 80, 20, 30}, true, {0, 75, 27, 25}},
                       Row{{120, 10, 20, 10}, false, untouched}}) {
    const cv::RotatedRect rr = withBoundingRect(r.bound);
    ASSERT_EQ(rr.boundingRect(), r.bound);
    cv::Rect_<float> out = untouched;
    EXPECT_EQ(calcSafeRect(rr, image, out), r.ok) << r.bound;
    EXPECT_EQ(out, r.want) << r.bound;
    if (r.ok) {
      EXPECT_LE(out.x + out.width, image.cols);
      EXPECT_LE(out.y + out.height, image.rows);
    }
  }
  cv::Rect_<float> out = untouched;
  EXPECT_FALSE(calcSafeRect(cv::RotatedRect({std::nanf(""), 5}, {10, 10}, 0), image, out));
  EXPECT_FALSE(calcSafeRect(withBoundingRect({10, 10, 5, 5}), cv::Mat(), out));
  EXPECT_EQ(out, untouched);
}

// ---- cropRotateRect ------------------------------------------------------------------

TEST(CropRotateRect, PatchShapeAndTurn) {
  // A page with a horizontal gradient: the turn shows in where the values grow.
  cv::Mat page(200, 200, CV_8UC1);
  for (int x = 0; x < 200; ++x) page.col(x).setTo(x);

  struct Row {
    cv::Size2f size;
    float angle;
    cv::Size want;
  };
  for (const Row& r : {Row{{20, 60}, -10, {60, 20}}, Row{{60, 20}, -10, {60, 20}},
                       Row{{20.5f, 50}, 0, {50, 20}}, Row{{50, 21.5f}, 0, {50, 22}},
                       Row{{30, 30}, 0, {30, 30}}}) {
    cv::RotatedRect rr({100, 100}, r.size, r.angle);
    const cv::Mat patch = cropRotateRect(page, rr);
    EXPECT_EQ(patch.size(), r.want) << r.size << " " << r.angle;
    EXPECT_EQ(patch.type(), page.type());
  }

  // (20 x 60, -10) is turned by 80: what lay right of the centre is now above
  // it, so the gradient grows from bottom to top.
  cv::RotatedRect standing({100, 100}, {20, 60}, -10);
  cv::Mat p = cropRotateRect(page, standing);
  EXPECT_GT(p.at<uchar>(0, 30), p.at<uchar>(19, 30) + 10);
  // (60 x 20, -10) by -10: it still runs from left to right.
  cv::RotatedRect lying({100, 100}, {60, 20}, -10);
  p = cropRotateRect(page, lying);
  EXPECT_GT(p.at<uchar>(10, 59), p.at<uchar>(10, 0) + 40);
}

TEST(CropRotateRect, SameAsTurningTheWholeImage) {
  // Inside the image the patch is what turning the whole image about the
  // centre and cutting it out gives, up to the warp's fixed-point rounding.
  cv::Mat page(240, 320, CV_8UC3);
  cv::randu(page, 0, 256);
  cv::GaussianBlur(page, page, cv::Size(7, 7), 2.0);
  for (const cv::RotatedRect& r : {cv::RotatedRect({150.5f, 120.f}, {90.f, 24.3f}, -12.f),
                                   cv::RotatedRect({160.f, 100.7f}, {30.f, 70.f}, -33.f),
                                   cv::RotatedRect({100.f, 140.f}, {60.f, 20.f}, 0.f)}) {
    cv::RotatedRect rr = r;
    const float a = rr.size.width > rr.size.height ? rr.angle : rr.angle + 90.f;
    cv::Mat turned, want;
    cv::warpAffine(page, turned, cv::getRotationMatrix2D(rr.center, a, 1.0), page.size(), cv::INTER_LINEAR,
                   cv::BORDER_CONSTANT, cv::Scalar(200, 200, 200, 0));
    const cv::Size2f s = rr.size.height < rr.size.width ? rr.size : cv::Size2f(rr.size.height, rr.size.width);
    cv::getRectSubPix(turned, cv::Size(s), rr.center, want);
    const cv::Mat got = cropRotateRect(page, rr);
    ASSERT_EQ(got.size(), want.size());
    EXPECT_LE(cv::norm(got, want, cv::NORM_INF), 1.0) << rr.size << " " << rr.angle;
  }
}

TEST(CropRotateRect, OutsideTheImageIsGrey) {
  cv::Mat page(100, 100, CV_8UC3, cv::Scalar::all(0));
  cv::RotatedRect rr({5, 50}, {40, 10}, 0);
  const cv::Mat patch = cropRotateRect(page, rr);
  ASSERT_EQ(patch.size(), cv::Size(40, 10));
  EXPECT_EQ(patch.at<cv::Vec3b>(5, 3), cv::Vec3b(200, 200, 200));
  EXPECT_EQ(patch.at<cv::Vec3b>(5, 30), cv::Vec3b(0, 0, 0));

  cv::RotatedRect far({500, 500}, {20, 10}, -30);
  const cv::Mat away = cropRotateRect(page, far);
  ASSERT_EQ(away.size(), cv::Size(20, 10));
  EXPECT_EQ(cv::norm(away, cv::Mat(away.size(), away.type(), cv::Scalar::all(200)), cv::NORM_INF), 0);
}

TEST(CropRotateRect, DegenerateInputGivesAnEmptyPatch) {
  cv::Mat page(50, 50, CV_8UC1, cv::Scalar(1));
  cv::RotatedRect flat({25, 25}, {0.2f, 30}, 0);
  EXPECT_TRUE(cropRotateRect(page, flat).empty());
  cv::RotatedRect bad({std::nanf(""), 25}, {10, 10}, 0);
  EXPECT_TRUE(cropRotateRect(page, bad).empty());
  cv::Mat empty;
  cv::RotatedRect ok({25, 25}, {10, 10}, 0);
  cv::Mat out;
  EXPECT_EQ(stdoutOf([&] { out = cropRotateRect(empty, ok); }), "Read image failure\n");
  EXPECT_TRUE(out.empty());
}

// ---- SortRotatedRectPoints -------------------------------------------------------------

TEST(SortRotatedRectPoints, OrderBySignOfTheAngle) {
  struct Row {
    float angle;
    int first;
  };
  for (const Row& r : {Row{-30, 1}, Row{0, 0}, Row{30, 2}, Row{std::nanf(""), 0}}) {
    cv::RotatedRect rr({50, 40}, {40, 10}, r.angle);
    cv::Point2f p[4], got[4];
    rr.points(p);
    SortRotatedRectPoints(got, rr);
    for (int i = 0; i < 4; ++i) {
      const cv::Point2f& want = p[(r.first + i) % 4];
      if (std::isnan(r.angle)) continue;
      EXPECT_EQ(got[i], want) << r.angle << " corner " << i;
    }
  }
}

}  // namespace
