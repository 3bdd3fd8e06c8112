// Grey planes, brightness statistics, brightness correction and the gamma table.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "gamma.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

std::string stdoutOf(const std::function<void()>& f) {
  fflush(stdout);
  testing::internal::CaptureStdout();
  f();
  fflush(stdout);
  return testing::internal::GetCapturedStdout();
}

bool sameMat(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// The 1/1.8 curve that adjustBright builds; every test of this file that
// needs the table builds this one, so test order does not matter.
unsigned char brighten(unsigned char v) {
  unsigned char b = v;
  gamma_correction(&b, 1, 1, 1.8f);
  return b;
}

// ---- gamma table ---------------------------------------------------------------------

TEST(Gamma, BrighteningTable) {
  unsigned char bytes[] = {0, 1, 64, 128, 147, 192, 255};
  gamma_correction(bytes, 7, 1, 1.8f);
  const unsigned char want[] = {0, 11, 118, 173, 187, 217, 255};
  for (int i = 0; i < 7; ++i) EXPECT_EQ(bytes[i], want[i]) << i;
  EXPECT_EQ(g_gamma_init, 1);
  for (int i = 1; i < 256; ++i) EXPECT_GE(g_GammaLUT[i], g_GammaLUT[i - 1]);
}

TEST(Gamma, TheFirstTableStays) {
  brighten(0);
  unsigned char b[] = {0, 1, 128, 255};
  gamma_correction(b, 4, 1, 2.2f);
  EXPECT_EQ(b[2], 173);
  gamma_build_table(1.8f);
  unsigned char c[] = {128};
  gamma_correction(c, 1, 1, 1.8f);
  EXPECT_EQ(c[0], 173);
}

TEST(Gamma, NothingToMap) {
  unsigned char b[] = {128, 64};
  gamma_correction(b, 0, 5, 1.8f);
  gamma_correction(b, -2, 1, 1.8f);
  gamma_correction(b, 2, -1, 1.8f);
  gamma_correction(nullptr, 4, 4, 1.8f);
  EXPECT_EQ(b[0], 128);
  EXPECT_EQ(b[1], 64);
  EXPECT_EQ(g_gamma_init, 1);  // still built on that first call
}

// The table is per process: these run in a fresh child process, where no
// call has built it yet. Each returns the child's exit code.
int buildTableFirst() {
  bool ok = g_gamma_init == 0;
  gamma_build_table(1.8f);
  ok = ok && g_GammaLUT[64] == 21 && g_GammaLUT[128] == 73 && g_GammaLUT[254] == 253 &&
       g_GammaLUT[255] == 255;
  unsigned char b = 128;
  gamma_correction(&b, 1, 1, 1.8f);
  return ok && b == 73 ? 0 : 1;
}

int concurrentFirstUse() {
  constexpr int kThreads = 8;
  std::vector<std::vector<unsigned char>> bufs(kThreads, std::vector<unsigned char>(256));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < 256; ++i) bufs[t][i] = static_cast<unsigned char>(i);
    threads.emplace_back([&bufs, t] { gamma_correction(bufs[t].data(), 16, 16, 1.8f); });
  }
  for (auto& th : threads) th.join();
  bool ok = bufs[0][128] == 173 && bufs[0][1] == 11;
  for (int t = 1; t < kThreads; ++t) ok = ok && bufs[t] == bufs[0];
  return ok ? 0 : 1;
}

int negativeExponent() {
  gamma_build_table(-2.f);  // x^-2: entry 0 would be infinite
  return g_GammaLUT[0] == 255 && g_GammaLUT[255] == 255 ? 0 : 1;
}

int zeroGamma() {
  unsigned char b[] = {0, 100, 255};
  gamma_correction(b, 3, 1, 0.f);  // exponent 1/0: all 0 but the top entry
  return b[0] == 0 && b[1] == 0 && b[2] == 255 ? 0 : 1;
}

class FreshProcess : public ::testing::Test {
 protected:
  void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

TEST_F(FreshProcess, BuildingTheTableFirstKeepsItsCurve) {
  EXPECT_EXIT(std::exit(buildTableFirst()), ::testing::ExitedWithCode(0), "");
}

TEST_F(FreshProcess, ConcurrentFirstUseGivesOneTable) {
  EXPECT_EXIT(std::exit(concurrentFirstUse()), ::testing::ExitedWithCode(0), "");
}

TEST_F(FreshProcess, UnusualExponentsStayInRange) {
  EXPECT_EXIT(std::exit(negativeExponent()), ::testing::ExitedWithCode(0), "");
  EXPECT_EXIT(std::exit(zeroGamma()), ::testing::ExitedWithCode(0), "");
}

// ---- brightness statistics -------------------------------------------------------------

TEST(Brightness, DetectBrightness) {
  cv::Mat img(2, 2, CV_8UC1);
  img.at<uchar>(0, 0) = img.at<uchar>(0, 1) = 100;
  img.at<uchar>(1, 0) = img.at<uchar>(1, 1) = 200;
  float cast = 0, da = 0;
  detect_brightness(img, cast, da);
  EXPECT_FLOAT_EQ(da, 22.f);     // mean offset from 128
  EXPECT_FLOAT_EQ(cast, 0.44f);  // 22 / 50

  // A view measures only its own pixels.
  cv::Mat page(10, 10, CV_8UC1, cv::Scalar(0));
  page(cv::Rect(3, 3, 4, 4)).setTo(138);
  detect_brightness(page(cv::Rect(3, 3, 4, 4)), cast, da);
  EXPECT_FLOAT_EQ(da, 10.f);
  EXPECT_TRUE(std::isinf(cast));

  detect_brightness(cv::Mat(), cast, da);
  EXPECT_TRUE(std::isnan(cast));
  EXPECT_TRUE(std::isnan(da));
  da = 0;
  detect_brightness(cv::Mat(3, 3, CV_8UC3, cv::Scalar::all(1)), cast, da);
  EXPECT_TRUE(std::isnan(da));
}

TEST(Brightness, BinThresholdSquare) {
  // A 40 x 400 line measures the 38 x 38 square at (181, 1). The square holds
  // 127 (just dark); any shift would take in the white around it.
  struct Row {
    cv::Point at;
    int value, want;
  };
  for (const Row& r : {Row{{181, 1}, 127, 11}, Row{{181, 1}, 128, 17}, Row{{182, 1}, 127, 17},
                       Row{{180, 1}, 127, 17}, Row{{181, 0}, 127, 17}, Row{{181, 2}, 127, 17}}) {
    cv::Mat line(40, 400, CV_8UC1, cv::Scalar(255));
    line(cv::Rect(r.at, cv::Size(38, 38))).setTo(r.value);
    int got = 0;
    const std::string out = stdoutOf([&] { got = getBinThreshold(line); });
    EXPECT_EQ(got, r.want) << r.at << " " << r.value;
    EXPECT_NE(out.find("thres=" + std::to_string(r.want)), std::string::npos) << out;
  }
}

TEST(Brightness, BinThresholdOddInput) {
  cv::Mat narrow(40, 20, CV_8UC1, cv::Scalar(100));  // no 38 x 38 square fits
  EXPECT_EQ(getBinThreshold(narrow), 11);
  cv::Mat tiny(1, 1, CV_8UC1, cv::Scalar(0));  // a square of side -1
  EXPECT_EQ(getBinThreshold(tiny), 17);
  cv::Mat colour(40, 400, CV_8UC3, cv::Scalar::all(0));
  EXPECT_EQ(getBinThreshold(colour), 17);
  cv::Mat empty;
  int got = 0;
  EXPECT_EQ(stdoutOf([&] { got = getBinThreshold(empty); }), "Read image failure\n");
  EXPECT_EQ(got, 17);
}

// ---- adjustBright ---------------------------------------------------------------------

struct PatchCase {
  cv::Size plane;
  cv::Point patch;  // where the 40 x 40 block of 147 is put
  int want;
};

void PrintTo(const PatchCase& c, std::ostream* os) { *os << c.plane << " block at " << c.patch; }

class AdjustBrightPatch : public ::testing::TestWithParam<PatchCase> {};

TEST_P(AdjustBrightPatch, MeasuresExactlyTheSamplePatch) {
  // White plane with a block of 147 (da 19, dark): only a block exactly on the
  // sample patch reads dark; one pixel off takes in 40 white pixels (da > 20).
  const PatchCase& c = GetParam();
  cv::Mat plane(c.plane, CV_8UC1, cv::Scalar(255));
  plane(cv::Rect(c.patch, cv::Size(40, 40))).setTo(147);
  EXPECT_EQ(adjustBright(plane), c.want);
  EXPECT_EQ(plane.at<uchar>(c.patch.y + 1, c.patch.x + 1), c.want == -1 ? 187 : 147);
}

INSTANTIATE_TEST_SUITE_P(
    Table, AdjustBrightPatch,
    ::testing::Values(PatchCase{{300, 100}, {130, 12}, -1}, PatchCase{{300, 100}, {131, 12}, 0},
                      PatchCase{{300, 100}, {129, 12}, 0}, PatchCase{{300, 100}, {130, 13}, 0},
                      PatchCase{{300, 100}, {130, 11}, 0},
                      PatchCase{{300, 60}, {130, 4}, -1},     // max(24, 19) - 20
                      PatchCase{{301, 200}, {130, 44}, -1}));  // (int)(200 * 0.32) - 20

TEST(AdjustBright, DarknessThreshold) {
  struct Row {
    int value, want, after;
  };
  for (const Row& r : {Row{148, 0, 148}, Row{147, -1, 187}, Row{0, -1, 0}, Row{255, 0, 255}}) {
    cv::Mat plane(100, 300, CV_8UC1, cv::Scalar(r.value));
    std::string out;
    int got = 1;
    out = stdoutOf([&] { got = adjustBright(plane); });
    EXPECT_EQ(got, r.want) << r.value;
    EXPECT_EQ(cv::countNonZero(plane != r.after), 0) << r.value;  // the whole plane is mapped
    EXPECT_EQ(out.rfind("cast=", 0), 0u) << out;
  }
  // A uniform 148 patch: da exactly 20, spread 0, so cast is infinite.
  cv::Mat plane(100, 300, CV_8UC1, cv::Scalar(148));
  EXPECT_EQ(stdoutOf([&] { adjustBright(plane); }), "cast=inf, da=20.000\n");
}

TEST(AdjustBright, ViewIsMappedRowByRow) {
  // The plane is a view into a wider image: its rows do not follow each
  // other. Every pixel of the view is mapped, and nothing around it.
  cv::Mat parent(160, 400, CV_8UC1, cv::Scalar(100));
  cv::Mat view = parent(cv::Rect(50, 30, 300, 100));
  view.setTo(90);
  view.row(99).setTo(60);
  const cv::Mat continuous = view.clone();
  ASSERT_FALSE(view.isContinuous());

  EXPECT_EQ(adjustBright(view), -1);
  EXPECT_EQ(cv::countNonZero(view.rowRange(0, 99) != brighten(90)), 0);
  EXPECT_EQ(cv::countNonZero(view.row(99) != brighten(60)), 0);
  cv::Mat outside = parent.clone();
  outside(cv::Rect(50, 30, 300, 100)).setTo(100);
  EXPECT_EQ(cv::countNonZero(outside != 100), 0);

  // The same plane stored in one run gives the same result.
  cv::Mat copy = continuous.clone();
  EXPECT_EQ(adjustBright(copy), -1);
  EXPECT_TRUE(sameMat(copy, view));
}

TEST(AdjustBright, PlanesSmallerThanThePatch) {
  struct Row {
    cv::Size size;
    int want;
  };
  // 30 x 20: the patch (-5, 4, 40, 40) is measured where it overlaps the plane.
  // 3 x 3: it does not overlap at all, so nothing reads dark.
  for (const Row& r : {Row{{30, 20}, -1}, Row{{39, 43}, -1}, Row{{3, 3}, 0}, Row{{1, 1}, 0}}) {
    cv::Mat plane(r.size, CV_8UC1, cv::Scalar(100));
    int got = 1;
    EXPECT_NO_THROW(got = adjustBright(plane)) << r.size;
    EXPECT_EQ(got, r.want) << r.size;
    EXPECT_EQ(plane.at<uchar>(0, 0), r.want == -1 ? brighten(100) : 100) << r.size;
  }
}

TEST(AdjustBright, UnsupportedPlanes) {
  cv::Mat colour(100, 300, CV_8UC3, cv::Scalar::all(10));
  const cv::Mat before = colour.clone();
  EXPECT_EQ(adjustBright(colour), 0);
  EXPECT_TRUE(sameMat(colour, before));
  cv::Mat wide(100, 300, CV_16UC1, cv::Scalar(10));
  EXPECT_EQ(adjustBright(wide), 0);
  cv::Mat empty;
  int got = 1;
  EXPECT_EQ(stdoutOf([&] { got = adjustBright(empty); }), "Read image failure\n");
  EXPECT_EQ(got, 0);
}

// ---- BGR2GRAY and convertTo3Channels --------------------------------------------------

TEST(Bgr2Gray, Modes) {
  cv::Mat black(2, 3, CV_8UC3, cv::Scalar::all(0)), dst;
  BGR2GRAY(black, dst, 1);  // Lab lightness of black is 0 (a and b would be 128)
  ASSERT_EQ(dst.type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(dst), 0);

  cv::Mat px(1, 1, CV_8UC3, cv::Scalar(10, 200, 30));
  BGR2GRAY(px, dst, 2);  // HSV value
  EXPECT_EQ(dst.at<uchar>(0, 0), 200);
  dst.at<uchar>(0, 0) = 1;  // the plane owns its pixels
  EXPECT_EQ(px.at<cv::Vec3b>(0, 0), cv::Vec3b(10, 200, 30));

  cv::Mat noise(9, 11, CV_8UC3), want;
  cv::randu(noise, 0, 256);
  cv::cvtColor(noise, want, cv::COLOR_BGR2GRAY);
  BGR2GRAY(noise, dst, 0);
  EXPECT_TRUE(sameMat(dst, want));
  cv::Mat bgra;
  cv::cvtColor(noise, bgra, cv::COLOR_BGR2BGRA);
  BGR2GRAY(bgra, dst, 0);
  EXPECT_TRUE(sameMat(dst, want));
}

TEST(Bgr2Gray, GreySourceIsTakenAsGrey) {
  cv::Mat grey(4, 4, CV_8UC1, cv::Scalar(77)), dst;
  for (int mode : {0, 2}) {
    BGR2GRAY(grey, dst, mode);
    ASSERT_EQ(dst.type(), CV_8UC1) << mode;
    EXPECT_EQ(cv::countNonZero(dst != 77), 0) << mode;
    EXPECT_NE(dst.data, grey.data);
  }
}

TEST(Bgr2Gray, UnsupportedModeOrSourceLeavesDst) {
  cv::Mat src(3, 3, CV_8UC3, cv::Scalar::all(50));
  cv::Mat empty;
  EXPECT_EQ(stdoutOf([&] { BGR2GRAY(src, empty, 3); }), "BGR2GRAY mode=3 not support\n");
  EXPECT_TRUE(empty.empty());

  const cv::Mat keep(2, 2, CV_8UC1, cv::Scalar(9));
  cv::Mat dst = keep;
  EXPECT_EQ(stdoutOf([&] { BGR2GRAY(src, dst, -1); }), "BGR2GRAY mode=-1 not support\n");
  EXPECT_EQ(dst.data, keep.data);

  for (int type : {CV_8UC2, CV_16UC3, CV_32FC3}) {
    cv::Mat odd(3, 3, type, cv::Scalar::all(1));
    EXPECT_NO_THROW(BGR2GRAY(odd, dst, 0)) << type;
    EXPECT_EQ(dst.data, keep.data) << type;
  }
  cv::Mat none;
  EXPECT_EQ(stdoutOf([&] { BGR2GRAY(none, dst, 1); }), "Read image failure\n");
  EXPECT_EQ(dst.data, keep.data);
}

TEST(Bgr2Gray, TwoThreadsAtOnce) {
  cv::Mat a(200, 300, CV_8UC3), b(200, 300, CV_8UC3), wa, wb, da, db;
  cv::randu(a, 0, 256);
  cv::randu(b, 0, 256);
  cv::cvtColor(a, wa, cv::COLOR_BGR2GRAY);
  cv::cvtColor(b, wb, cv::COLOR_BGR2GRAY);
  std::thread ta([&] { for (int i = 0; i < 20; ++i) BGR2GRAY(a, da, 0); });
  std::thread tb([&] { for (int i = 0; i < 20; ++i) BGR2GRAY(b, db, 0); });
  ta.join();
  tb.join();
  EXPECT_TRUE(sameMat(da, wa));
  EXPECT_TRUE(sameMat(db, wb));
}

TEST(ConvertTo3Channels, EqualChannels) {
  cv::Mat g = (cv::Mat_<uchar>(2, 2) << 1, 2, 3, 4);
  const cv::Mat three = convertTo3Channels(g);
  ASSERT_EQ(three.type(), CV_8UC3);
  ASSERT_EQ(three.size(), g.size());
  std::vector<cv::Mat> planes;
  cv::split(three, planes);
  for (const cv::Mat& p : planes) EXPECT_TRUE(sameMat(p, g));
  EXPECT_TRUE(convertTo3Channels(cv::Mat()).empty());
  EXPECT_TRUE(convertTo3Channels(three).empty());
}

}  // namespace
