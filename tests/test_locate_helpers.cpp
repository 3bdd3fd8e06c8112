// Helpers of the page location that the scan path does not call: the
// character-box mask of an MRZ band, the white frames of rectangles and the
// light-line filter, on drawn bands and strokes.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "passport_locate.h"
#include "vyr_log.h"

namespace {

bool sameMat(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// ---- character-box mask ------------------------------------------------------------

// A white 1600 x 480 band with dark glyph-sized boxes of 16 x 32 in one row
// and, further right, thin upright bars of 8 x 64 (ratio 8 at any scale).
cv::Mat drawnBand(std::vector<cv::Rect>& glyphs, std::vector<cv::Rect>& bars) {
  cv::Mat band(480, 1600, CV_8UC3, cv::Scalar::all(235));
  for (int i = 0; i < 20; ++i) glyphs.emplace_back(100 + i * 40, 200, 16, 32);
  for (int i = 0; i < 5; ++i) bars.emplace_back(1000 + i * 60, 180, 8, 64);
  for (const cv::Rect& r : glyphs) cv::rectangle(band, r, cv::Scalar::all(30), cv::FILLED);
  for (const cv::Rect& r : bars) cv::rectangle(band, r, cv::Scalar::all(30), cv::FILLED);
  return band;
}

cv::Point halfCentre(const cv::Rect& r) { return (r.tl() + r.br()) / 2 / 2; }

TEST(MserRegionMask, GlyphBoxesAtTheReducedScale) {
  vyr_set_log_dummy(1);
  std::vector<cv::Rect> glyphs, bars;
  cv::Mat band = drawnBand(glyphs, bars);
  const cv::Mat before = band.clone();
  const cv::Mat mask = getMserRegion(band, 1);
  EXPECT_TRUE(sameMat(band, before));
  ASSERT_EQ(mask.size(), cv::Size(800, 240));  // 1600 / 2 x 480 / 2
  ASSERT_EQ(mask.type(), CV_8UC1);

  for (const cv::Rect& r : glyphs) EXPECT_EQ(mask.at<uchar>(halfCentre(r)), 255) << r;
  for (const cv::Rect& r : bars) EXPECT_EQ(mask.at<uchar>(halfCentre(r)), 0) << r;
  EXPECT_EQ(cv::countNonZero(mask.rowRange(0, 80)), 0);
  EXPECT_EQ(cv::countNonZero(mask.rowRange(140, 240)), 0);

  // A grey band is searched as it is: it gives the mask of the plain-grey
  // conversion of the colour band.
  cv::Mat grey;
  cv::cvtColor(band, grey, cv::COLOR_BGR2GRAY);
  EXPECT_TRUE(sameMat(getMserRegion(grey, 2), getMserRegion(band, 0)));
}

TEST(MserRegionMask, BandsItCannotMeasureGiveAnEmptyMask) {
  vyr_set_log_dummy(1);
  struct Row {
    const char* name;
    cv::Mat band;
    int mode;
  };
  const Row rows[] = {
      {"empty", cv::Mat(), 1},
      {"599 columns", cv::Mat(480, 599, CV_8UC3, cv::Scalar::all(200)), 1},
      {"one row", cv::Mat(1, 1600, CV_8UC3, cv::Scalar::all(200)), 1},
      {"16-bit", cv::Mat(480, 1600, CV_16UC3, cv::Scalar::all(200)), 1},
      {"two channels", cv::Mat(480, 1600, CV_8UC2, cv::Scalar::all(200)), 1},
      {"unknown grey mode", cv::Mat(480, 1600, CV_8UC3, cv::Scalar::all(200)), 5},
  };
  for (const Row& r : rows) {
    cv::Mat band = r.band;
    EXPECT_TRUE(getMserRegion(band, r.mode).empty()) << r.name;
  }
  // The working size follows k = cols / 600 in whole numbers.
  cv::Mat band1799(300, 1799, CV_8UC1, cv::Scalar(200));
  EXPECT_EQ(getMserRegion(band1799, 0).size(), cv::Size(899, 150));
}

// ---- white frames ---------------------------------------------------------------------

TEST(AddWhiteEdge, TwoOuterRingsOfEveryRectangle) {
  cv::Mat grey(20, 20, CV_8UC1, cv::Scalar(7));
  std::vector<cv::Rect> none;
  addWhiteEdge(none, grey);
  EXPECT_EQ(cv::countNonZero(grey != 7), 0);

  std::vector<cv::Rect> rects = {{0, 0, 10, 10}, {12, 12, 6, 5}};
  addWhiteEdge(rects, grey);
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 20; ++x) {
      const bool ring1 = x < 10 && y < 10 && (x < 2 || x > 7 || y < 2 || y > 7);
      const bool ring2 = x >= 12 && x < 18 && y >= 12 && y < 17 && (x < 14 || x > 15 || y < 14 || y > 14);
      EXPECT_EQ(grey.at<uchar>(y, x), ring1 || ring2 ? 255 : 7) << x << ", " << y;
    }

  cv::Mat colour(12, 12, CV_8UC3, cv::Scalar(1, 2, 3));
  std::vector<cv::Rect> one = {{1, 1, 10, 10}};
  addWhiteEdge(one, colour);
  EXPECT_EQ(colour.at<cv::Vec3b>(1, 1), cv::Vec3b(255, 0, 0));  // the colour (255, 0, 0): blue
  EXPECT_EQ(colour.at<cv::Vec3b>(5, 5), cv::Vec3b(1, 2, 3));

  // Rectangles reaching past the image, or past the int range, are clipped.
  std::vector<cv::Rect> wild = {{INT_MAX - 5, INT_MAX - 5, 100, 100}, {-5, 15, 40, INT_MAX}};
  cv::Mat img(20, 20, CV_8UC1, cv::Scalar(0));
  EXPECT_NO_THROW(addWhiteEdge(wild, img));
  cv::Mat empty;
  EXPECT_NO_THROW(addWhiteEdge(rects, empty));
}

// ---- light-line filter -----------------------------------------------------------------

constexpr int kBase = 150;

// Adds a stroke to rows [y, y + height) of a grey image: from column x on the
// brightness climbs in two interleaved staircases of `step`, so that
// I(c + 1) - I(c - 1) is exactly `step` for c in [x, x + width) and 0
// elsewhere. Its 3 x 3 Sobel is then 4 * step on those columns (3 * step on
// the first and last row, step on the rows just outside), and its outline
// after the Otsu cut is exactly width x height at (x, y). With step 2 and
// width up to 15 the image stays within 16 levels: no dark area anywhere.
void addStroke(cv::Mat& grey, int x, int y, int width, int height, int step) {
  for (int r = y; r < y + height; ++r)
    for (int c = x; c < grey.cols; ++c) {
      const int j = c - x;
      const int level = j % 2 == 0 ? std::min(j / 2, width / 2) : std::min(j / 2 + 1, (width + 1) / 2);
      grey.at<uchar>(r, c) = cv::saturate_cast<uchar>(grey.at<uchar>(r, c) + level * step);
    }
}

struct Stroke {
  int x, y, width, height, step;
};

TEST(FilterLightline, IntervalBetweenTheOutermostStrokes) {
  struct Row {
    const char* name;
    std::vector<Stroke> strokes;
    std::vector<int> want;
  };
  const int cols = 300;
  const std::vector<int> none = {cols + 4, -4};
  const Row rows[] = {
      {"no stroke", {}, none},
      {"one stroke", {{100, 40, 2, 60, 2}}, {106, 96}},
      {"51 high, 14 wide", {{100, 40, 14, 51, 2}}, {118, 96}},
      {"50 high", {{100, 40, 14, 50, 2}}, none},
      {"15 wide", {{100, 40, 15, 51, 2}}, none},
      {"two strokes", {{60, 10, 2, 60, 2}, {200, 100, 4, 60, 2}}, {66, 196}},
      {"a wide one beside a narrow one", {{60, 10, 2, 60, 2}, {200, 100, 15, 60, 2}}, {66, 56}},
      {"falling brightness", {{100, 40, 4, 60, -2}}, none},
      {"in the first four columns", {{1, 40, 2, 60, 2}}, none},
  };
  for (const Row& r : rows) {
    cv::Mat grey(200, cols, CV_8UC1, cv::Scalar(kBase));
    for (const Stroke& s : r.strokes) addStroke(grey, s.x, s.y, s.width, s.height, s.step);
    const cv::Mat before = grey.clone();
    EXPECT_EQ(filterLightline(grey), r.want) << r.name;
    EXPECT_TRUE(sameMat(grey, before)) << r.name;

    cv::Mat colour;
    cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);
    EXPECT_EQ(filterLightline(colour), r.want) << r.name << ", BGR";
  }
}

TEST(FilterLightline, StrokesAtTheEdgeOfDarkAreasDoNotCount) {
  // A dark block: its rising right edge is a tall thin stroke too, but the
  // block is dark to the threshold near its border, and the erosion grows it
  // over both edge columns.
  cv::Mat grey(200, 300, CV_8UC1, cv::Scalar(kBase));
  grey(cv::Rect(80, 40, 120, 120)).setTo(30);
  addStroke(grey, 86, 60, 2, 60, 2);  // inside the block, near its left edge
  EXPECT_EQ(filterLightline(grey), (std::vector<int>{304, -4}));

  addStroke(grey, 250, 60, 2, 60, 2);  // the same stroke in the open counts
  EXPECT_EQ(filterLightline(grey), (std::vector<int>{256, 246}));
}

TEST(FilterLightline, UnreadableImagesHaveNoStroke) {
  vyr_set_log_dummy(1);
  struct Row {
    const char* name;
    cv::Mat image;
    std::vector<int> want;
  };
  const Row rows[] = {
      {"empty", cv::Mat(), {4, -4}},
      {"two channels", cv::Mat(100, 120, CV_8UC2, cv::Scalar::all(9)), {124, -4}},
      {"16-bit", cv::Mat(100, 120, CV_16UC1, cv::Scalar(9)), {124, -4}},
      {"tiny", cv::Mat(3, 2, CV_8UC1, cv::Scalar(9)), {6, -4}},
  };
  for (const Row& r : rows) {
    cv::Mat image = r.image;
    EXPECT_EQ(filterLightline(image), r.want) << r.name;
  }
}

}  // namespace
