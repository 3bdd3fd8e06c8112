// Skin and highlight masks, line-image merging and the debug drawing of boxes.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "utils.h"

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

// ---- SkinDetect ------------------------------------------------------------------

// Every BGR colour on a grid of step 3, with its YCrCb conversion.
struct ColourGrid {
  cv::Mat bgr, ycrcb;
  ColourGrid() {
    const int steps = 86;  // 0, 3, ..., 255
    bgr.create(steps * steps, steps, CV_8UC3);
    for (int b = 0; b < steps; ++b)
      for (int g = 0; g < steps; ++g)
        for (int r = 0; r < steps; ++r)
          bgr.at<cv::Vec3b>(b * steps + g, r) = cv::Vec3b(uchar(b * 3), uchar(g * 3), uchar(r * 3));
    cv::cvtColor(bgr, ycrcb, cv::COLOR_BGR2YCrCb);
  }
};

TEST(SkinDetect, ChromaWindowsAreInclusive) {
  ColourGrid grid;
  cv::Mat mask(grid.bgr.size(), CV_8UC1, cv::Scalar(7));
  SkinDetect(grid.bgr, mask);

  // Boundary rows: (Cr, Cb) pairs on and just past each window edge.
  struct Row {
    int cr, cb;
    bool skin;
  };
  const Row rows[] = {{130, 100, true}, {173, 100, true}, {129, 100, false}, {174, 100, false},
                      {150, 77, true},  {150, 130, true}, {150, 76, false},  {150, 131, false}};
  int seen[8] = {0};
  for (int y = 0; y < mask.rows; ++y)
    for (int x = 0; x < mask.cols; ++x) {
      const cv::Vec3b v = grid.ycrcb.at<cv::Vec3b>(y, x);
      const uchar m = mask.at<uchar>(y, x);
      const bool inside = v[1] >= 130 && v[1] <= 173 && v[2] >= 77 && v[2] <= 130;
      ASSERT_EQ(m, inside ? 255 : 7) << "Cr " << int(v[1]) << " Cb " << int(v[2]);
      for (int i = 0; i < 8; ++i) {
        const bool onCr = rows[i].cb == 100 && v[1] == rows[i].cr && v[2] >= 90 && v[2] <= 110;
        const bool onCb = rows[i].cr == 150 && v[2] == rows[i].cb && v[1] >= 140 && v[1] <= 160;
        if (onCr || onCb) {
          ++seen[i];
          EXPECT_EQ(m == 255, rows[i].skin) << rows[i].cr << "/" << rows[i].cb;
        }
      }
    }
  for (int i = 0; i < 8; ++i) EXPECT_GT(seen[i], 0) << "grid has no colour for row " << i;
}

TEST(SkinDetect, ClearedMaskHoldsOnly0And255) {
  cv::Mat src(4, 4, CV_8UC3, cv::Scalar(120, 140, 200));  // a skin tone
  src.row(0).setTo(cv::Scalar(255, 0, 0));               // blue: not skin
  cv::Mat mask = cv::Mat::zeros(4, 4, CV_8UC1);
  SkinDetect(src, mask);
  EXPECT_EQ(cv::countNonZero(mask == 255) + cv::countNonZero(mask == 0), 16);
  EXPECT_EQ(cv::countNonZero(mask.row(0)), 0);
  EXPECT_EQ(cv::countNonZero(mask.rowRange(1, 4)), 12);
}

TEST(SkinDetect, MaskOfTheWrongKind) {
  cv::Mat src(6, 8, CV_8UC3, cv::Scalar(120, 140, 200));

  cv::Mat empty;
  SkinDetect(src, empty);  // created at the source's size
  ASSERT_EQ(empty.size(), src.size());
  ASSERT_EQ(empty.type(), CV_8UC1);
  EXPECT_EQ(cv::countNonZero(empty), 48);

  cv::Mat larger(10, 10, CV_8UC1, cv::Scalar(0));  // larger is fine: its top-left part is used
  SkinDetect(src, larger);
  EXPECT_EQ(cv::countNonZero(larger), 48);

  struct Row {
    const char* name;
    cv::Mat mask;
  };
  for (const Row& r : {Row{"too small", cv::Mat(5, 8, CV_8UC1, cv::Scalar(3))},
                       Row{"three channels", cv::Mat(6, 8, CV_8UC3, cv::Scalar::all(3))},
                       Row{"float", cv::Mat(6, 8, CV_32FC1, cv::Scalar(3))}}) {
    const cv::Mat before = r.mask.clone();
    cv::Mat mask = r.mask;
    EXPECT_NO_THROW(SkinDetect(src, mask)) << r.name;
    EXPECT_TRUE(sameMat(mask, before)) << r.name;
  }

  cv::Mat grey(6, 8, CV_8UC1, cv::Scalar(100)), mask = cv::Mat::zeros(6, 8, CV_8UC1);
  EXPECT_NO_THROW(SkinDetect(grey, mask));
  EXPECT_EQ(cv::countNonZero(mask), 0);

  cv::Mat none;
  EXPECT_EQ(stdoutOf([&] { SkinDetect(none, mask); }), "Read image failure\n");
}

// ---- highlightDet ----------------------------------------------------------------

TEST(HighlightDet, ThresholdBetween247And248) {
  cv::Mat src = (cv::Mat_<uchar>(1, 4) << 0, 247, 248, 255);
  const cv::Mat before = src.clone();
  cv::Mat mask(3, 3, CV_32FC3, cv::Scalar::all(1));  // anything: it is replaced
  EXPECT_EQ(highlightDet(src, mask), 0);
  ASSERT_EQ(mask.type(), CV_8UC1);
  ASSERT_EQ(mask.size(), src.size());
  EXPECT_TRUE(sameMat(mask, (cv::Mat_<uchar>(1, 4) << 0, 0, 255, 255)));
  EXPECT_TRUE(sameMat(src, before));
}

TEST(HighlightDet, ColourSources) {
  struct Row {
    int type;
    cv::Scalar value;
    int want;
  };
  for (const Row& r : {Row{CV_8UC3, cv::Scalar::all(255), 255}, Row{CV_8UC3, cv::Scalar::all(0), 0},
                       Row{CV_8UC4, cv::Scalar::all(255), 255}}) {
    cv::Mat src(5, 7, r.type, r.value), mask;
    EXPECT_EQ(highlightDet(src, mask), 0);
    ASSERT_EQ(mask.type(), CV_8UC1);
    EXPECT_EQ(cv::countNonZero(mask == r.want), 35);
  }
}

TEST(HighlightDet, UnsupportedSourcesAreRefused) {
  const cv::Mat keep(2, 2, CV_8UC1, cv::Scalar(9));
  for (int type : {CV_8UC2, CV_16UC1, CV_32FC3}) {
    cv::Mat src(4, 4, type, cv::Scalar::all(1)), mask = keep;
    EXPECT_EQ(highlightDet(src, mask), -1) << type;
    EXPECT_EQ(mask.data, keep.data);
  }
  cv::Mat empty, mask = keep;
  int rc = 0;
  EXPECT_EQ(stdoutOf([&] { rc = highlightDet(empty, mask); }), "Read image failure\n");
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(mask.data, keep.data);
}

// ---- mergeCols and mergeRows ---------------------------------------------------------

cv::Mat ramp(int rows, int cols, int type, int start) {
  cv::Mat m(rows, cols, type);
  cv::Mat flat = m.reshape(1, 1);
  for (int i = 0; i < static_cast<int>(flat.total()); ++i) flat.at<uchar>(0, i) = uchar((start + i * 7) % 250);
  return m;
}

TEST(MergeCols, SideBySideWithWhiteBelowTheShorter) {
  const cv::Mat a = ramp(30, 500, CV_8UC1, 1), b = ramp(40, 480, CV_8UC1, 2);
  const cv::Mat a0 = a.clone(), b0 = b.clone();
  cv::Mat out(5, 5, CV_32FC3);
  mergeCols(a, b, out);
  ASSERT_EQ(out.size(), cv::Size(980, 40));
  ASSERT_EQ(out.type(), CV_8UC1);
  EXPECT_TRUE(sameMat(out(cv::Rect(0, 0, 500, 30)), a));
  EXPECT_TRUE(sameMat(out(cv::Rect(500, 0, 480, 40)), b));
  EXPECT_EQ(cv::countNonZero(out(cv::Rect(0, 30, 500, 10)) == 255), 5000);
  // The caller's images are untouched, and the result shares nothing with them.
  EXPECT_TRUE(sameMat(a, a0));
  EXPECT_TRUE(sameMat(b, b0));
  out.setTo(0);
  EXPECT_TRUE(sameMat(a, a0));
  EXPECT_TRUE(sameMat(b, b0));

  // Equal heights add no row; the taller first image pads the second.
  mergeCols(ramp(12, 3, CV_8UC1, 5), ramp(12, 4, CV_8UC1, 6), out);
  EXPECT_EQ(out.size(), cv::Size(7, 12));
  mergeCols(ramp(12, 3, CV_8UC1, 5), ramp(10, 4, CV_8UC1, 6), out);
  ASSERT_EQ(out.size(), cv::Size(7, 12));
  EXPECT_EQ(cv::countNonZero(out(cv::Rect(3, 10, 4, 2)) == 255), 8);
}

TEST(MergeCols, ColourFillIsWhite) {
  cv::Mat a(3, 2, CV_8UC3, cv::Scalar(1, 2, 3)), b(5, 2, CV_8UC3, cv::Scalar(4, 5, 6)), out;
  mergeCols(a, b, out);
  ASSERT_EQ(out.size(), cv::Size(4, 5));
  EXPECT_EQ(out.at<cv::Vec3b>(4, 0), cv::Vec3b(255, 255, 255));
  EXPECT_EQ(out.at<cv::Vec3b>(4, 3), cv::Vec3b(4, 5, 6));

  cv::Mat c(3, 2, CV_8UC4, cv::Scalar(1, 2, 3, 4)), d(5, 2, CV_8UC4, cv::Scalar(4, 5, 6, 7));
  mergeCols(c, d, out);
  EXPECT_EQ(out.at<cv::Vec4b>(4, 0), cv::Vec4b(255, 255, 255, 0));
}

TEST(MergeCols, ViewsArePaddedWithWhiteNotWithTheirParent) {
  // A line cut out of a page: the rows added below it must be white, not the
  // page rows that happen to lie under the view.
  cv::Mat page(100, 100, CV_8UC1, cv::Scalar(40));
  const cv::Mat line = page(cv::Rect(10, 10, 50, 20));
  const cv::Mat tall(30, 10, CV_8UC1, cv::Scalar(80));
  cv::Mat out;
  mergeCols(line, tall, out);
  ASSERT_EQ(out.size(), cv::Size(60, 30));
  EXPECT_EQ(cv::countNonZero(out(cv::Rect(0, 20, 50, 10)) == 255), 500);
  EXPECT_EQ(cv::countNonZero(page != 40), 0);

  mergeRows(line, tall, out);
  ASSERT_EQ(out.size(), cv::Size(50, 50));
  EXPECT_EQ(cv::countNonZero(out(cv::Rect(10, 20, 40, 30)) == 255), 1200);
}

TEST(MergeRows, StackedWithWhiteRightOfTheNarrower) {
  const cv::Mat a = ramp(20, 100, CV_8UC1, 3), b = ramp(30, 80, CV_8UC1, 4);
  const cv::Mat b0 = b.clone();
  cv::Mat out;
  mergeRows(a, b, out);
  ASSERT_EQ(out.size(), cv::Size(100, 50));
  EXPECT_TRUE(sameMat(out(cv::Rect(0, 0, 100, 20)), a));
  EXPECT_TRUE(sameMat(out(cv::Rect(0, 20, 80, 30)), b));
  EXPECT_EQ(out.at<uchar>(20, 0), b.at<uchar>(0, 0));
  EXPECT_EQ(cv::countNonZero(out(cv::Rect(80, 20, 20, 30)) == 255), 600);
  EXPECT_TRUE(sameMat(b, b0));
}

TEST(MergeBoth, EmptyOrMismatchedInputs) {
  const cv::Mat a = ramp(4, 5, CV_8UC1, 1), empty;
  for (auto merge : {mergeCols, mergeRows}) {
    cv::Mat out;
    merge(a, empty, out);
    EXPECT_TRUE(sameMat(out, a));
    EXPECT_NE(out.data, a.data);
    merge(empty, a, out);
    EXPECT_TRUE(sameMat(out, a));
    merge(empty, empty, out);
    EXPECT_TRUE(out.empty());
    out = a.clone();
    merge(a, cv::Mat(4, 5, CV_8UC3, cv::Scalar::all(0)), out);
    EXPECT_TRUE(out.empty());
  }
}

// ---- drawLineRects and showLineRect --------------------------------------------------

TEST(LineRects, DrawsGreenBoxesOnAColourCopy) {
  cv::Mat img(30, 60, CV_8UC1, cv::Scalar(100));
  const cv::Mat before = img.clone();
  const std::vector<cv::Rect> rects{{5, 5, 10, 10}, {30, 2, 20, 20}};
  const cv::Mat drawn = drawLineRects(img, rects);
  ASSERT_EQ(drawn.type(), CV_8UC3);
  ASSERT_EQ(drawn.size(), img.size());
  const cv::Vec3b green(0, 255, 0), grey(100, 100, 100);
  EXPECT_EQ(drawn.at<cv::Vec3b>(5, 5), green);     // corner
  EXPECT_EQ(drawn.at<cv::Vec3b>(14, 10), green);   // bottom edge
  EXPECT_EQ(drawn.at<cv::Vec3b>(10, 49), green);   // right edge of the second
  EXPECT_EQ(drawn.at<cv::Vec3b>(10, 10), grey);    // inside: one pixel wide only
  EXPECT_EQ(drawn.at<cv::Vec3b>(25, 2), grey);
  EXPECT_TRUE(sameMat(img, before));

  const cv::Mat plain = drawLineRects(img, {});
  cv::Mat colour;
  cv::cvtColor(img, colour, cv::COLOR_GRAY2BGR);
  EXPECT_TRUE(sameMat(plain, colour));
  EXPECT_TRUE(drawLineRects(cv::Mat(), rects).empty());
}

TEST(LineRects, ShowDoesNothingWhileDebugIsOff) {
  setDebugShow(0);
  cv::Mat img(10, 10, CV_8UC1, cv::Scalar(1));
  const cv::Mat before = img.clone();
  std::vector<cv::Rect> rects{{1, 1, 3, 3}};
  // A window without a display would abort this process.
  EXPECT_EQ(stdoutOf([&] { showLineRect(img, rects, const_cast<char*>("back")); }), "");
  EXPECT_TRUE(sameMat(img, before));
  setDebugShow(2);  // only exactly 1 switches the display on
  EXPECT_EQ(stdoutOf([&] { showLineRect(img, rects, "back"); }), "");
  setDebugShow(0);
}

// Every debug window of the system goes through these: without a display they
// must skip (imshow would abort the process) and say so once.
TEST(LineRects, ShowWithoutADisplayIsSkipped) {
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  unsetenv("QT_QPA_PLATFORM");
  setDebugShow(1);
  cv::Mat img(10, 10, CV_8UC1, cv::Scalar(1));
  std::vector<cv::Rect> rects{{1, 1, 3, 3}};
  const std::string out = stdoutOf([&] {
    showLineRect(img, rects, "back");
    showLineRect(img, rects, nullptr);
    debugShow("noblank", img);
    debugShow(nullptr, img);
  });
  setDebugShow(0);
  EXPECT_EQ(out, "no display: debug windows are skipped\n");
}

}  // namespace
