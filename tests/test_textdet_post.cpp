// Text detection without a network: the box post-processor, the detector input
// geometry, the map stage of the detector, rotated-rectangle merging, the
// text-box geometry helpers, the utilities and the debug canvases.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <limits>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "nn/DbNet.h"
#include "nn/OcrUtils.h"
#include "postprocess_op.h"
#include "rrnms.h"
#include "vyr_textbox.h"

namespace {

using Quad = PostProcessor::Quad;
using IntQuad = PostProcessor::IntQuad;

std::vector<cv::Point> toPoints(const IntQuad& q) {
  std::vector<cv::Point> out;
  for (const auto& p : q) out.emplace_back(p[0], p[1]);
  return out;
}

// ---- PostProcessor: corner order -------------------------------------------------

TEST(PostProcessorOrder, MiniBoxesOfUprightRectangle) {
  PostProcessor pp;
  float longSide = 0.f;
  Quad q = pp.GetMiniBoxes(cv::RotatedRect({30, 25}, {40, 10}, 0), longSide);
  EXPECT_FLOAT_EQ(longSide, 40.f);
  const float want[4][2] = {{10, 20}, {50, 20}, {50, 30}, {10, 30}};
  ASSERT_EQ(q.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(q[i][0], want[i][0], 1e-4) << i;
    EXPECT_NEAR(q[i][1], want[i][1], 1e-4) << i;
  }
}

TEST(PostProcessorOrder, ClockwiseWhateverTheInputOrder) {
  PostProcessor pp;
  IntQuad corners = {{10, 20}, {50, 20}, {50, 30}, {10, 30}};
  std::vector<int> idx = {0, 1, 2, 3};
  do {
    IntQuad in = {corners[idx[0]], corners[idx[1]], corners[idx[2]], corners[idx[3]]};
    EXPECT_EQ(pp.OrderPointsClockwise(in), corners);
  } while (std::next_permutation(idx.begin(), idx.end()));
}

TEST(PostProcessorOrder, EqualYKeepsTheFirstPointOnTop) {
  PostProcessor pp;
  IntQuad in = {{0, 5}, {2, 5}, {10, 0}, {10, 10}};
  IntQuad want = {{0, 5}, {10, 0}, {10, 10}, {2, 5}};
  EXPECT_EQ(pp.OrderPointsClockwise(in), want);
}

// ---- PostProcessor: score and expansion ------------------------------------------

TEST(PostProcessorScore, MeanInsideTheBoxAlsoPastTheEdge) {
  PostProcessor pp;
  cv::Mat map(40, 60, CV_32FC1, cv::Scalar(0.5));
  EXPECT_FLOAT_EQ(pp.BoxScoreFast({{10, 10}, {30, 10}, {30, 20}, {10, 20}}, map), 0.5f);
  EXPECT_FLOAT_EQ(pp.BoxScoreFast({{50, 30}, {80, 30}, {80, 50}, {50, 50}}, map), 0.5f);
  // only the masked region counts: the box covers the 1.0 block, not the 0 rest
  cv::Mat split = cv::Mat::zeros(40, 60, CV_32FC1);
  split(cv::Rect(10, 10, 21, 11)).setTo(1.0);
  EXPECT_FLOAT_EQ(pp.BoxScoreFast({{10, 10}, {30, 10}, {30, 20}, {10, 20}}, split), 1.0f);
  // fewer than four corners score nothing
  EXPECT_FLOAT_EQ(pp.BoxScoreFast({{10, 10}, {30, 10}}, map), 0.f);
}

TEST(PostProcessorUnclip, OffsetsByAreaTimesRatioOverPerimeter) {
  PostProcessor pp;
  Quad box = {{0, 0}, {100, 0}, {100, 10}, {0, 10}};
  float distance = 0.f;
  pp.GetContourArea(box, 2.0f, distance);
  EXPECT_NEAR(distance, 2000.0 / 220.0, 1e-4);
  cv::RotatedRect r = pp.UnClip(box, 2.0f);
  EXPECT_NEAR(r.center.x, 50, 0.6);
  EXPECT_NEAR(r.center.y, 5, 0.6);
  EXPECT_NEAR(std::max(r.size.width, r.size.height), 118, 1.0);
  EXPECT_NEAR(std::min(r.size.width, r.size.height), 28, 1.0);
  EXPECT_LE(r.angle, 0.f);  // classic angle convention
}

TEST(PostProcessorUnclip, DegenerateBoxesGiveTheUnitRectangle) {
  PostProcessor pp;
  for (const Quad& box : {Quad{{5, 5}, {5, 5}, {5, 5}, {5, 5}}, Quad{{1, 2}, {3, 4}}}) {
    cv::RotatedRect r = pp.UnClip(box, 2.0f);
    EXPECT_EQ(r.center, cv::Point2f(0, 0));
    EXPECT_EQ(r.size, cv::Size2f(1, 1));
  }
  float distance = -1.f;
  pp.GetContourArea({{5, 5}, {5, 5}, {5, 5}, {5, 5}}, 2.0f, distance);
  EXPECT_EQ(distance, 0.f);  // not 0/0
}

// ---- PostProcessor: box extraction --------------------------------------------------

struct BitmapCase {
  const char* name;
  cv::Rect block;  // the text pixels (255 in the bitmap, value p in the map)
  float p;
  float boxThresh;
  size_t want;
};

class BoxesFromBitmapCase : public ::testing::TestWithParam<BitmapCase> {};

TEST_P(BoxesFromBitmapCase, Thresholds) {
  const BitmapCase& c = GetParam();
  cv::Mat pred = cv::Mat::zeros(64, 96, CV_32FC1);
  cv::Mat bitmap = cv::Mat::zeros(64, 96, CV_8UC1);
  if (c.block.area() > 0) {
    pred(c.block).setTo(c.p);
    bitmap(c.block).setTo(255);
  }
  PostProcessor pp;
  auto boxes = pp.BoxesFromBitmap(pred, bitmap, c.boxThresh, 2.0f, false);
  EXPECT_EQ(boxes.size(), c.want) << c.name;
  for (const auto& b : boxes) EXPECT_EQ(b.size(), 4u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, BoxesFromBitmapCase,
    ::testing::Values(
        BitmapCase{"empty map", {}, 1.f, 0.3f, 0},
        BitmapCase{"one pixel: one contour point", {40, 30, 1, 1}, 1.f, 0.3f, 0},
        BitmapCase{"two pixels: two contour points", {40, 30, 2, 1}, 1.f, 0.3f, 0},
        BitmapCase{"3x3 block: longer side 2", {40, 30, 3, 3}, 1.f, 0.3f, 0},
        BitmapCase{"4x4 block: longer side 3 passes", {40, 30, 4, 4}, 1.f, 0.3f, 1},
        BitmapCase{"score equal to the threshold passes", {20, 20, 30, 10}, 0.3f, 0.3f, 1},
        BitmapCase{"score below the threshold", {20, 20, 30, 10}, 0.3f, 0.31f, 0}),
    [](const ::testing::TestParamInfo<BitmapCase>& i) { return std::to_string(i.index); });

TEST(PostProcessorBoxes, CornersClampToTheMapSizeItself) {
  cv::Mat pred = cv::Mat::zeros(32, 64, CV_32FC1);
  cv::Mat bitmap = cv::Mat::zeros(32, 64, CV_8UC1);
  pred(cv::Rect(44, 10, 20, 8)).setTo(1.0);
  bitmap(cv::Rect(44, 10, 20, 8)).setTo(255);
  PostProcessor pp;
  auto boxes = pp.BoxesFromBitmap(pred, bitmap, 0.3f, 2.0f, false);
  ASSERT_EQ(boxes.size(), 1u);
  int maxX = 0;
  for (const auto& p : boxes[0]) maxX = std::max(maxX, p[0]);
  EXPECT_EQ(maxX, 64);  // the width, not width - 1
}

TEST(PostProcessorBoxes, BitmapCornersScaleToThePredictionSize) {
  cv::Mat pred(64, 128, CV_32FC1, cv::Scalar(1.0));
  cv::Mat bitmap = cv::Mat::zeros(32, 64, CV_8UC1);
  bitmap(cv::Rect(20, 10, 20, 8)).setTo(255);
  PostProcessor pp;
  auto small = pp.BoxesFromBitmap(pred(cv::Rect(0, 0, 64, 32)).clone(), bitmap, 0.3f, 2.0f, false);
  auto big = pp.BoxesFromBitmap(pred, bitmap, 0.3f, 2.0f, false);
  ASSERT_EQ(small.size(), 1u);
  ASSERT_EQ(big.size(), 1u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(big[0][i][0], 2 * small[0][i][0], 1) << i;
    EXPECT_NEAR(big[0][i][1], 2 * small[0][i][1], 1) << i;
  }
}

TEST(PostProcessorBoxes, OnlyTheFirstThousandContoursCount) {
  // 40 x 28 = 1120 separate 4 x 4 blobs, each good for a box
  cv::Mat bitmap = cv::Mat::zeros(28 * 8, 40 * 8, CV_8UC1);
  for (int r = 0; r < 28; ++r)
    for (int c = 0; c < 40; ++c) bitmap(cv::Rect(c * 8 + 2, r * 8 + 2, 4, 4)).setTo(255);
  cv::Mat pred;
  bitmap.convertTo(pred, CV_32FC1, 1.0 / 255);
  PostProcessor pp;
  EXPECT_EQ(pp.BoxesFromBitmap(pred, bitmap, 0.3f, 2.0f, false).size(), 1000u);
}

TEST(PostProcessorBoxes, WrongMatrixTypesGiveNothing) {
  PostProcessor pp;
  cv::Mat pred8 = cv::Mat::ones(32, 32, CV_8UC1);
  cv::Mat bitmap = cv::Mat::ones(32, 32, CV_8UC1) * 255;
  EXPECT_TRUE(pp.BoxesFromBitmap(pred8, bitmap, 0.3f, 2.0f, false).empty());
  EXPECT_TRUE(pp.BoxesFromBitmap(cv::Mat(), bitmap, 0.3f, 2.0f, false).empty());
}

// ---- PostProcessor: back to the source ---------------------------------------------

TEST(PostProcessorFilter, MapsClampsAndDropsSmallBoxes) {
  PostProcessor pp;
  // 100 / 0.32 = 312.5 truncates to 312
  auto mapped = pp.FilterTagDetRes({{{0, 0}, {100, 0}, {100, 20}, {0, 20}}}, 0.32f, 0.32f, 0, 500, 500);
  ASSERT_EQ(mapped.size(), 1u);
  EXPECT_EQ(mapped[0][1][0], 312);

  auto kept = pp.FilterTagDetRes({{{0, 0}, {5, 0}, {5, 5}, {0, 5}},     // w = h = 5: kept
                                  {{0, 0}, {4, 0}, {4, 10}, {0, 10}},   // w = 4: dropped
                                  {{0, 0}, {10, 0}, {10, 4}, {0, 4}}},  // h = 4: dropped
                                 1.f, 1.f, 0, 100, 100);
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(kept[0][2], (std::vector<int>{5, 5}));

  auto clamped = pp.FilterTagDetRes({{{-8, -3}, {150, -3}, {150, 40}, {-8, 40}}}, 1.f, 1.f, 0, 30, 100);
  ASSERT_EQ(clamped.size(), 1u);
  EXPECT_EQ(toPoints(clamped[0]), (std::vector<cv::Point>{{0, 0}, {99, 0}, {99, 29}, {0, 29}}));
}

TEST(PostProcessorFilter, UnusableScalesOrImageGiveNothing) {
  PostProcessor pp;
  PostProcessor::BoxList one = {{{0, 0}, {50, 0}, {50, 20}, {0, 20}}};
  EXPECT_TRUE(pp.FilterTagDetRes(one, 0.f, 1.f, 0, 100, 100).empty());
  EXPECT_TRUE(pp.FilterTagDetRes(one, 1.f, std::nanf(""), 0, 100, 100).empty());
  EXPECT_TRUE(pp.FilterTagDetRes(one, 1.f, 1.f, 0, 0, 0).empty());
  EXPECT_TRUE(pp.FilterTagDetRes({{{0, 0}, {50, 0}}}, 1.f, 1.f, 0, 100, 100).empty());
}

// ---- detector input geometry --------------------------------------------------------

struct ScaleCase {
  int cols, rows, target;
  int dstCols, dstRows;
};

class ScaleParamCase : public ::testing::TestWithParam<ScaleCase> {};

TEST_P(ScaleParamCase, RoundsDownToMultiplesOf32) {
  const ScaleCase& c = GetParam();
  cv::Mat img(c.rows, c.cols, CV_8UC3);
  ScaleParam s = getScaleParam(img, c.target);
  EXPECT_EQ(s.srcCols, c.cols);
  EXPECT_EQ(s.srcRows, c.rows);
  EXPECT_EQ(s.dstCols, c.dstCols);
  EXPECT_EQ(s.dstRows, c.dstRows);
  EXPECT_FLOAT_EQ(s.scaleX, static_cast<float>(c.dstCols) / c.cols);
  EXPECT_FLOAT_EQ(s.scaleY, static_cast<float>(c.dstRows) / c.rows);
}

INSTANTIATE_TEST_SUITE_P(Table, ScaleParamCase,
                         ::testing::Values(ScaleCase{800, 600, 256, 256, 192},
                                           ScaleCase{1000, 300, 256, 256, 64},
                                           ScaleCase{1600, 480, 600, 576, 160},
                                           ScaleCase{250, 90, 160, 160, 32},
                                           ScaleCase{100, 50, 256, 256, 128},
                                           ScaleCase{2000, 5, 256, 256, 32},
                                           ScaleCase{444, 250, 444, 416, 224}));

TEST(ScaleParam, FactorOverloadRoundsOneStepFurther) {
  cv::Mat a(600, 800, CV_8UC3), b(40, 100, CV_8UC3);
  ScaleParam s = getScaleParam(a, 0.5f);
  EXPECT_EQ(s.dstCols, 352);
  EXPECT_EQ(s.dstRows, 256);
  s = getScaleParam(b, 0.5f);
  EXPECT_EQ(s.dstCols, 32);
  EXPECT_EQ(s.dstRows, 32);
}

TEST(ScaleParam, EmptyImageOrNoTargetGivesNoInputSize) {
  cv::Mat empty, img(100, 200, CV_8UC3);
  for (ScaleParam s : {getScaleParam(empty, 256), getScaleParam(img, 0), getScaleParam(img, -5),
                       getScaleParam(empty, 0.5f), getScaleParam(img, 0.f)}) {
    EXPECT_EQ(s.dstCols, 0);
    EXPECT_EQ(s.dstRows, 0);
    EXPECT_TRUE(std::isfinite(s.scaleX));
  }
}

// ---- the map stage of the detector ----------------------------------------------------

ScaleParam unitGeometry(int cols, int rows) {
  cv::Mat img(rows, cols, CV_8UC3);
  return getScaleParam(img, std::max(cols, rows));
}

struct MapCase {
  const char* name;
  float p;  // value of the text block
  size_t want;
};

class ProbMapCase : public ::testing::TestWithParam<MapCase> {};

TEST_P(ProbMapCase, BinarisesAtThePixelThreshold) {
  const MapCase& c = GetParam();
  ScaleParam s = unitGeometry(128, 96);
  cv::Mat map = cv::Mat::zeros(96, 128, CV_32FC1);
  map(cv::Rect(30, 40, 60, 12)).setTo(c.p);
  EXPECT_EQ(textBoxesFromProbMap(map, s, 0.7f, 0.3f, 2.0f).size(), c.want) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ProbMapCase,
    ::testing::Values(MapCase{"0.70 is 178, below 178.5", 0.70f, 0},
                      MapCase{"0.71 is 181", 0.71f, 1},
                      MapCase{"above 1 saturates instead of wrapping", 1.5f, 1},
                      MapCase{"far above 1", 1e6f, 1},
                      MapCase{"negative", -3.f, 0},
                      MapCase{"not a number", std::numeric_limits<float>::quiet_NaN(), 0}),
    [](const ::testing::TestParamInfo<MapCase>& i) { return std::to_string(i.index); });

TEST(ProbMap, BoxSurroundsTheBarClockwiseWithScoreZero) {
  ScaleParam s = unitGeometry(256, 192);
  cv::Mat map = cv::Mat::zeros(192, 256, CV_32FC1);
  const cv::Rect bar(40, 80, 120, 16);
  map(bar).setTo(1.0);
  auto boxes = textBoxesFromProbMap(map, s, 0.7f, 0.3f, 2.0f);
  ASSERT_EQ(boxes.size(), 1u);
  const TextBox& b = boxes[0];
  ASSERT_EQ(b.points.size(), 4u);
  EXPECT_EQ(b.score, 0.f);
  // top-left, top-right, bottom-right, bottom-left
  EXPECT_LT(b.points[0].x, b.points[1].x);
  EXPECT_LT(b.points[1].y, b.points[2].y);
  EXPECT_GT(b.points[2].x, b.points[3].x);
  EXPECT_GT(b.points[3].y, b.points[0].y);
  // the dilated bar (121 x 17 after the 2 x 2 dilation) grown by
  // area * 2 / perimeter on each side
  const double d = 120.0 * 16 * 2 / (2 * (120.0 + 16));
  cv::Rect bound = cv::boundingRect(b.points);
  EXPECT_NEAR(bound.x, bar.x - d, 2.5);
  EXPECT_NEAR(bound.y, bar.y - d, 2.5);
  EXPECT_NEAR(bound.br().x, bar.br().x + d, 2.5);
  EXPECT_NEAR(bound.br().y, bar.br().y + d, 2.5);
}

TEST(ProbMap, CornersMapBackThroughTheScale) {
  cv::Mat src(384, 512, CV_8UC3);
  ScaleParam s = getScaleParam(src, 256);  // 256 x 192, scale 0.5
  ASSERT_EQ(s.dstCols, 256);
  cv::Mat map = cv::Mat::zeros(192, 256, CV_32FC1);
  map(cv::Rect(40, 80, 120, 16)).setTo(1.0);
  auto half = textBoxesFromProbMap(map, unitGeometry(256, 192), 0.7f, 0.3f, 2.0f);
  auto full = textBoxesFromProbMap(map, s, 0.7f, 0.3f, 2.0f);
  ASSERT_EQ(half.size(), 1u);
  ASSERT_EQ(full.size(), 1u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_NEAR(full[0].points[i].x, 2 * half[0].points[i].x, 1);
    EXPECT_NEAR(full[0].points[i].y, 2 * half[0].points[i].y, 1);
  }
}

TEST(ProbMap, MapThatDoesNotMatchTheGeometryGivesNothing) {
  ScaleParam s = unitGeometry(128, 96);
  cv::Mat half = cv::Mat::ones(48, 64, CV_32FC1);
  cv::Mat wrongType = cv::Mat::ones(96, 128, CV_8UC1);
  EXPECT_TRUE(textBoxesFromProbMap(half, s, 0.7f, 0.3f, 2.0f).empty());
  EXPECT_TRUE(textBoxesFromProbMap(wrongType, s, 0.7f, 0.3f, 2.0f).empty());
  EXPECT_TRUE(textBoxesFromProbMap(cv::Mat(), s, 0.7f, 0.3f, 2.0f).empty());
}

// ---- merging of rotated rectangles ---------------------------------------------------

using Rects = std::vector<cv::RotatedRect>;

struct NmsCase {
  const char* name;
  Rects kept;  // out before the call
  Rects in;
  size_t want;
};

class RrNmsCase : public ::testing::TestWithParam<NmsCase> {};

TEST_P(RrNmsCase, MergesOverlapsOnOneLine) {
  NmsCase c = GetParam();
  Rects out = c.kept;
  RR_NMS(c.in, out, 0.001);
  EXPECT_EQ(out.size(), c.want) << c.name;
}

const cv::RotatedRect kPieceA({50, 100}, {100, 20}, 0);
const cv::RotatedRect kPieceB({140, 100}, {100, 20}, 0);  // overlaps A and C
const cv::RotatedRect kPieceC({230, 100}, {100, 20}, 0);  // overlaps B, not A

INSTANTIATE_TEST_SUITE_P(
    Table, RrNmsCase,
    ::testing::Values(
        NmsCase{"centres 10 apart merge", {}, {kPieceA, {{120, 110}, {100, 20}, 0}}, 1},
        NmsCase{"centres 20 apart merge", {}, {kPieceA, {{120, 120}, {100, 30}, 0}}, 1},
        NmsCase{"centres 21 apart stay", {}, {kPieceA, {{120, 121}, {100, 30}, 0}}, 2},
        NmsCase{"shared edge only", {}, {kPieceA, {{150, 100}, {100, 20}, 0}}, 2},
        NmsCase{"width 0 is dropped", {}, {{{50, 50}, {0, 20}, 0}}, 0},
        NmsCase{"NaN size is dropped", {}, {{{50, 50}, {std::nanf(""), 20}, 0}}, 0},
        NmsCase{"A, B, C give one", {}, {kPieceA, kPieceB, kPieceC}, 1},
        NmsCase{"A, C, B give two", {}, {kPieceA, kPieceC, kPieceB}, 2},
        NmsCase{"identical rectangles", {}, {kPieceA, kPieceA}, 1},
        NmsCase{"empty in keeps out", {kPieceA, kPieceC}, {}, 2},
        NmsCase{"kept rectangles absorb inputs", {kPieceA}, {kPieceB}, 1}),
    [](const ::testing::TestParamInfo<NmsCase>& i) { return std::to_string(i.index); });

TEST(RrNms, MergedRectangleCoversBothInTheClassicConvention) {
  Rects in = {kPieceA, kPieceB, kPieceC}, out;
  RR_NMS(in, out, 0.001);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_NEAR(out[0].center.x, 140, 0.5);
  EXPECT_NEAR(out[0].center.y, 100, 0.5);
  EXPECT_NEAR(std::max(out[0].size.width, out[0].size.height), 280, 0.5);
  EXPECT_NEAR(std::min(out[0].size.width, out[0].size.height), 20, 0.5);
  EXPECT_GE(out[0].angle, -90.f);
  EXPECT_LE(out[0].angle, 0.f);
}

TEST(RrNms, IdenticalRectanglesHaveOverlapOne) {
  EXPECT_NEAR(rr_calculateIou(kPieceA, kPieceA), 1.0, 1e-6);
  EXPECT_EQ(rr_calculateIou(kPieceA, {{150, 100}, {100, 20}, 0}), 0.0);
  cv::RotatedRect m = rr_mergeRotatedRects(kPieceA, kPieceA);
  EXPECT_NEAR(m.size.area(), kPieceA.size.area(), 1.0);
}

TEST(RrNms, DrawsOutlinesTwoPixelsWide) {
  cv::Mat img = cv::Mat::zeros(60, 60, CV_8UC3);
  rr_drawRotatedRectangles(img, {{{30, 30}, {40, 20}, 0}}, cv::Scalar(0, 255, 0));
  EXPECT_EQ(img.at<cv::Vec3b>(20, 30), cv::Vec3b(0, 255, 0));
  EXPECT_EQ(img.at<cv::Vec3b>(30, 30), cv::Vec3b(0, 0, 0));
}

// ---- text-box geometry helpers -----------------------------------------------------

TEST(TextBoxGeometry, MinBoxesOrderAndRoundedSortKey) {
  float longSide = 0.f;
  auto q = getMinBoxes(cv::RotatedRect({30, 25}, {40, 10}, 0), longSide);
  EXPECT_FLOAT_EQ(longSide, 40.f);
  const std::vector<cv::Point2f> want = {{10, 20}, {50, 20}, {50, 30}, {10, 30}};
  for (int i = 0; i < 4; ++i) EXPECT_NEAR(cv::norm(q[i] - want[i]), 0, 1e-4) << i;
  EXPECT_FALSE(cvPointCompare(cv::Point(cv::Point2f(9.6f, 0)), cv::Point(cv::Point2f(10.4f, 0))));
}

TEST(TextBoxGeometry, ContourAreaAndUnclip) {
  const std::vector<cv::Point2f> rect = {{0, 0}, {10, 0}, {10, 20}, {0, 20}};
  EXPECT_NEAR(getContourArea(rect, 2.0f), 200.0 * 2.0 / 60.0, 1e-4);
  EXPECT_EQ(getContourArea({}, 2.0f), 0.f);  // not 0 / 0
  cv::RotatedRect r = unClip({{1, 2}}, 2.0f);
  EXPECT_EQ(r.size, cv::Size2f(1, 1));
  cv::Mat map(40, 40, CV_32FC1, cv::Scalar(0.5));
  EXPECT_FLOAT_EQ(boxScoreFast(rect, map), 0.5f);
  EXPECT_FLOAT_EQ(boxScoreFast({{0, 0}}, map), 0.f);
}

TEST(TextBoxGeometry, FindRsBoxesKeepsScoresAndReversesTheOrder) {
  cv::Mat prob = cv::Mat::zeros(96, 128, CV_32FC1);
  cv::Mat bin = cv::Mat::zeros(96, 128, CV_8UC1);
  const float values[3] = {0.6f, 0.8f, 1.0f};
  for (int i = 0; i < 3; ++i) {
    cv::Rect r(10, 10 + i * 30, 60, 8);
    prob(r).setTo(values[i]);
    bin(r).setTo(255);
  }
  cv::Mat src(96, 128, CV_8UC3);
  ScaleParam s = getScaleParam(src, 128);
  auto boxes = findRsBoxes(prob, bin, s, 0.3f, 2.0f);
  std::vector<std::vector<cv::Point>> contours;
  cv::findContours(bin.clone(), contours, cv::RETR_LIST, cv::CHAIN_APPROX_SIMPLE);
  ASSERT_EQ(contours.size(), 3u);
  ASSERT_EQ(boxes.size(), 3u);
  // box i belongs to contour n - 1 - i and carries that bar's mean
  for (size_t i = 0; i < 3; ++i) {
    const int bar = (cv::boundingRect(contours[2 - i]).y - 10) / 30;
    EXPECT_FLOAT_EQ(boxes[i].score, values[bar]) << i;
    for (const cv::Point& p : boxes[i].points) {
      EXPECT_GE(p.x, 0);
      EXPECT_LT(p.x, 128);
    }
  }
  EXPECT_TRUE(findRsBoxes(prob, bin, s, 1.1f, 2.0f).empty());
}

TEST(TextBoxGeometry, RotateCropTurnsTallBoxes) {
  cv::Mat src(100, 100, CV_8UC3, cv::Scalar(50, 60, 70));
  cv::Mat tall = getRotateCropImage(src, {{10, 10}, {20, 10}, {20, 30}, {10, 30}});
  EXPECT_EQ(tall.size(), cv::Size(20, 10));
  cv::Mat upright = getRotateCropImage(src, {{10, 10}, {20, 10}, {20, 24}, {10, 24}});
  EXPECT_EQ(upright.size(), cv::Size(10, 14));
  // a box reaching past the image is cut, not an error
  cv::Mat outside = getRotateCropImage(src, {{80, 80}, {130, 80}, {130, 95}, {80, 95}});
  EXPECT_EQ(outside.size(), cv::Size(50, 15));
  EXPECT_TRUE(getRotateCropImage(src, {{200, 200}, {230, 200}, {230, 210}, {200, 210}}).empty());
  EXPECT_TRUE(getRotateCropImage(src, {{10, 10}, {20, 10}}).empty());
}

TEST(TextBoxGeometry, AdjustTargetImgFitsOnWhite) {
  cv::Mat src(50, 100, CV_8UC3, cv::Scalar(0, 0, 0));
  cv::Mat fit = adjustTargetImg(src, 320, 32);
  ASSERT_EQ(fit.size(), cv::Size(320, 32));
  EXPECT_EQ(fit.at<cv::Vec3b>(16, 10), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(fit.at<cv::Vec3b>(16, 63), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(fit.at<cv::Vec3b>(16, 64), cv::Vec3b(255, 255, 255));
  cv::Mat wide(32, 1000, CV_8UC3, cv::Scalar(9, 9, 9));
  EXPECT_EQ(adjustTargetImg(wide, 320, 32).at<cv::Vec3b>(5, 319), cv::Vec3b(9, 9, 9));
  cv::Mat grey(2000, 1, CV_8UC1, cv::Scalar(0));  // scaled width 0 becomes 1
  cv::Mat g = adjustTargetImg(grey, 320, 32);
  ASSERT_EQ(g.type(), CV_8UC3);
  EXPECT_EQ(g.at<cv::Vec3b>(5, 0), cv::Vec3b(0, 0, 0));
  EXPECT_TRUE(adjustTargetImg(src, 0, 32).empty());
}

TEST(TextBoxGeometry, PlanarTensorAlsoFromASubImage) {
  cv::Mat img(1, 2, CV_8UC3);
  img.at<cv::Vec3b>(0, 0) = {10, 20, 30};
  img.at<cv::Vec3b>(0, 1) = {40, 50, 60};
  const float mean[3] = {1, 2, 3}, norm[3] = {1, 0.5f, 2};
  EXPECT_EQ(substractMeanNormalize(img, mean, norm),
            (std::vector<float>{9, 39, 9, 24, 54, 114}));
  cv::Mat big(4, 4, CV_8UC3, cv::Scalar(0, 0, 0));
  img.copyTo(big(cv::Rect(1, 2, 2, 1)));
  cv::Mat sub = big(cv::Rect(1, 2, 2, 1));
  EXPECT_EQ(substractMeanNormalize(sub, mean, norm), (std::vector<float>{9, 39, 9, 24, 54, 114}));
  EXPECT_TRUE(substractMeanNormalize(img, nullptr, norm).empty());
}

TEST(TextBoxGeometry, AngleIndexes) {
  std::vector<Angle> a = {{2, 0.9f}, {0, 0.1f}, {1, 0.5f}};
  EXPECT_EQ(getAngleIndexes(a), (std::vector<int>{2, 0, 1}));
}

// ---- utilities -------------------------------------------------------------------

TEST(TextdetUtilities, ThicknessWideStringsAndPaths) {
  cv::Mat a(3000, 1999, CV_8UC1), b(500, 999, CV_8UC1);
  EXPECT_EQ(getThickness(a), 3);
  EXPECT_EQ(getThickness(b), 2);
  std::wstring w = strToWstr(std::string("\xC3\xA9"));
  ASSERT_EQ(w.size(), 2u);
  EXPECT_EQ(static_cast<int>(w[0]), -61);
  EXPECT_EQ(static_cast<int>(w[1]), -87);
  EXPECT_TRUE(strToWstr("").empty());
  EXPECT_EQ(getResultTxtFilePath("out/", "a"), "out/a-result.txt");
  EXPECT_EQ(getResultImgFilePath("out/", "a"), "out/a-result.jpg");
  EXPECT_EQ(getSrcImgFilePath("out", "a"), "outa");
  EXPECT_GT(getCurrentTime(), 0.0);
}

TEST(TextdetUtilities, DrawTextBoxRoundsCornersHalfToEven) {
  cv::Mat img = cv::Mat::zeros(24, 24, CV_8UC3);
  cv::RotatedRect r({10.5f, 10.5f}, {4, 4}, 0);
  drawTextBox(img, r, 1);
  EXPECT_EQ(img.at<cv::Vec3b>(8, 8), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(img.at<cv::Vec3b>(12, 12), cv::Vec3b(0, 0, 255));
  EXPECT_EQ(img.at<cv::Vec3b>(13, 13), cv::Vec3b(0, 0, 0));
  std::vector<TextBox> boxes = {{{{1, 1}, {5, 1}, {5, 5}, {1, 5}}, 0.f}, {{{2, 2}}, 0.f}};
  drawTextBoxes(img, boxes, 1);  // the short list draws nothing and does not fail
  EXPECT_EQ(img.at<cv::Vec3b>(1, 3), cv::Vec3b(0, 0, 255));
}

TEST(TextdetUtilities, TurnsShareTheCallersBuffer) {
  cv::Mat img = (cv::Mat_<uchar>(2, 2) << 1, 2, 3, 4);
  cv::Mat turned = matRotateClockWise180(img);
  EXPECT_EQ(img.at<uchar>(0, 0), 4);
  EXPECT_EQ(turned.at<uchar>(0, 0), 4);
  cv::Mat wide = (cv::Mat_<uchar>(1, 3) << 1, 2, 3);
  cv::Mat r90 = matRotateClockWise90(wide);
  EXPECT_EQ(r90.size(), cv::Size(1, 3));
  EXPECT_EQ(wide.at<uchar>(0, 0), 1);  // a non-square image gets a new buffer
}

TEST(TextdetUtilities, SaveImgReportsTheWriter) {
  cv::Mat img(4, 4, CV_8UC3, cv::Scalar(1, 2, 3));
  const std::string dir = std::string(VYR_BINARY_DIR) + "/textdet_out";
  std::filesystem::create_directories(dir);
  EXPECT_TRUE(saveImg(img, (dir + "/x.png").c_str()));
  EXPECT_FALSE(saveImg(img, (dir + "/no/such/dir/x.png").c_str()));
  EXPECT_FALSE(saveImg(img, (dir + "/x.unknown").c_str()));
}

// ---- debug canvases ----------------------------------------------------------------

bool anyPixel(const cv::Mat& img, const cv::Rect& area, const cv::Vec3b& color) {
  cv::Rect r = area & cv::Rect(0, 0, img.cols, img.rows);
  for (int y = r.y; y < r.br().y; ++y)
    for (int x = r.x; x < r.br().x; ++x)
      if (img.at<cv::Vec3b>(y, x) == color) return true;
  return false;
}

const cv::Vec3b kGreen(0, 255, 0), kRed(0, 0, 255), kWhite(255, 255, 255);

TEST(TextBoxCanvas, BoxesLabelsAndChosenRectangle) {
  cv::Mat img = cv::Mat::zeros(120, 200, CV_8UC3);
  std::vector<TextBox> boxes = {{{{20, 60}, {80, 60}, {80, 80}, {20, 80}}, 0.f},
                                {{{170, 2}, {199, 2}, {199, 20}, {170, 20}}, 0.5f}};
  cv::RotatedRect chosen({50, 70}, {60, 20}, 0);
  cv::Mat canvas = paint_text_boxs(img, boxes, chosen);
  ASSERT_EQ(canvas.size(), img.size());
  EXPECT_EQ(cv::countNonZero(img.reshape(1)), 0);  // the image itself is untouched
  // the chosen rectangle lies on top (green), the other box is red
  EXPECT_TRUE(anyPixel(canvas, {20, 60, 61, 1}, kGreen));
  EXPECT_TRUE(anyPixel(canvas, {170, 20, 30, 1}, kRed));
  // labels: above the first box; at row 0 near the top; moved left at the right edge
  EXPECT_TRUE(anyPixel(canvas, {20, 40, 40, 20}, kWhite));
  int baseline = 0;
  const cv::Size ts = cv::getTextSize("50.0%", cv::FONT_HERSHEY_SIMPLEX, 0.5, 1, &baseline);
  EXPECT_TRUE(anyPixel(canvas, {200 - ts.width, 0, 3, 1}, kWhite));
  EXPECT_TRUE(anyPixel(canvas, {197, 0, 3, 1}, kWhite));
  EXPECT_FALSE(anyPixel(canvas, {150, 0, 200 - ts.width - 150, 3}, kWhite));
}

TEST(TextBoxCanvas, HighlightedIndexAndAllBoxes) {
  cv::Mat img = cv::Mat::zeros(100, 100, CV_8UC3);
  std::vector<RRBOX> boxes = {{{{30, 30}, {40, 10}, 0}, 0.9f, 0}, {{{50, 70}, {40, 10}, 0}, 0.1f, 0}};
  cv::Mat one = paint_text_boxs2(img, boxes, 1);
  EXPECT_TRUE(anyPixel(one, {30, 75, 40, 1}, kGreen));
  EXPECT_FALSE(anyPixel(one, {10, 35, 40, 1}, kGreen));
  cv::Mat none = paint_text_boxs2(img, boxes, -1);  // no element to mark: all red
  EXPECT_FALSE(anyPixel(none, {0, 0, 100, 100}, kGreen));
  EXPECT_TRUE(anyPixel(none, {10, 35, 40, 1}, kRed));
  std::vector<cv::RotatedRect> rects = {boxes[0].rect};
  EXPECT_TRUE(anyPixel(paint_text_allboxs(img, rects), {10, 25, 40, 1}, kGreen));
  EXPECT_EQ(cv::countNonZero(paint_text_allboxs(img, {}).reshape(1)), 0);
}

TEST(TextBoxCanvas, UprightBoxOnlyWithPositiveWidth) {
  cv::Mat img = cv::Mat::zeros(50, 50, CV_8UC3);
  CvRect r = cvRect(10, 10, 20, 20);
  EXPECT_EQ(paint_text_box(img, r).at<cv::Vec3b>(10, 15), kGreen);
  r.width = 0;
  EXPECT_EQ(cv::countNonZero(paint_text_box(img, r).reshape(1)), 0);
}

TEST(TextBoxCanvas, ViewsAreInertWithTheDisplayOff) {
  ASSERT_FALSE(isDebugShow());
  cv::Mat img = cv::Mat::zeros(50, 50, CV_8UC3);
  std::vector<TextBox> boxes;
  std::vector<RRBOX> rboxes;
  std::vector<cv::RotatedRect> rects;
  CvRect r = cvRect(1, 1, 5, 5);
  // would abort without a display if they opened a window
  draw_text_boxs(img, boxes, cv::RotatedRect(), VISA_ISSUE_NO_BOTTOM);
  draw_text_boxs2(img, rboxes, 3, VISA_ISSUE_NO_TOP);
  draw_text_allboxs(img, rects, "search_mrz");
  draw_text_box(img, r);
  EXPECT_EQ(cv::countNonZero(img.reshape(1)), 0);
}

}  // namespace
