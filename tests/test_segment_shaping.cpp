// Box shaping and the ink probes, on hand-made box lists and painted lines.
#include <gtest/gtest.h>

#include "char_segment.h"
#include "global.h"
#include "test_segment_fixtures.h"

namespace {

using Boxes = std::vector<cv::Rect>;
using segfix::paintedBinarised;

class BoxShaping : public ::testing::Test {
 protected:
  void SetUp() override {
    g_debug_show = 0;
    this_char_width = 26;
    this_char_height = 33;
  }
  cv::Mat canvas;  // empty: the debug display is off
};

// ---- padTopBottom ----------------------------------------------------------------------

struct PadCase {
  const char* name;
  int kind;
  std::vector<cv::Rect> ink;  // painted on a 73 x 400 line
  Boxes in, want;
};

std::ostream& operator<<(std::ostream& os, const PadCase& c) { return os << c.name; }

class PadTopBottom : public ::testing::TestWithParam<PadCase> {
 protected:
  void SetUp() override {
    g_debug_show = 0;
    this_char_height = 33;
  }
};

TEST_P(PadTopBottom, GivesShortBoxesAPlausibleHeight) {
  const PadCase& c = GetParam();
  cv::Mat line = paintedBinarised({400, 73}, c.ink), canvas;
  Boxes boxes = c.in;
  padTopBottom(c.kind, line, boxes, canvas, "line1");
  EXPECT_EQ(boxes, c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PadTopBottom,
    ::testing::Values(
        PadCase{"tops agree", 0, {}, {{170, 25, 25, 33}, {200, 28, 24, 20}},
                {{170, 25, 25, 33}, {200, 28, 24, 33}}},
        PadCase{"bottoms agree", 0, {}, {{170, 25, 25, 33}, {200, 41, 24, 20}},
                {{170, 25, 25, 33}, {200, 25, 24, 33}}},
        // Ink rows 22..50 in the central band 20..52 of a first box.
        PadCase{"first box re-measured", 0, {{100, 22, 20, 29}}, {{100, 25, 20, 20}},
                {{100, 22, 20, 29}}},
        PadCase{"neither agrees: re-measured", 0, {{200, 30, 24, 20}},
                {{170, 2, 25, 33}, {200, 45, 24, 6}}, {{170, 2, 25, 33}, {200, 30, 24, 21}}},
        PadCase{"ink under 10 rows high", 0, {{100, 30, 20, 8}}, {{100, 30, 20, 5}},
                {{100, 30, 20, 5}}},
        PadCase{"tall enough", 0, {}, {{170, 25, 25, 33}, {200, 60, 24, 28}},
                {{170, 25, 25, 33}, {200, 60, 24, 28}}},
        PadCase{"card minimum is 25", 1, {}, {{170, 25, 25, 33}, {200, 28, 24, 26}},
                {{170, 25, 25, 33}, {200, 28, 24, 26}}},
        PadCase{"kind 0 minimum is 28", 0, {}, {{170, 25, 25, 33}, {200, 28, 24, 26}},
                {{170, 25, 25, 33}, {200, 28, 24, 33}}},
        // Padding below the bottom margin (row 63) would leave no height: kept.
        PadCase{"pushed out of the margins", 0, {}, {{170, 62, 25, 30}, {200, 65, 24, 10}},
                {{170, 62, 25, 30}, {200, 65, 24, 10}}},
        PadCase{"no boxes", 0, {}, {}, {}}));

// ---- fixHalfBox ------------------------------------------------------------------------

TEST_F(BoxShaping, FixHalfBoxResplitsWideGapsOnly) {
  cv::Mat line(90, 400, CV_8UC1, cv::Scalar(0));
  Boxes boxes{{100, 20, 10, 30}, {125, 22, 12, 28}};
  fixHalfBox(2, line, boxes, canvas, "line1");
  EXPECT_EQ(boxes, (Boxes{{100, 20, 16, 30}, {120, 20, 16, 30}}));

  Boxes close{{100, 20, 10, 30}, {119, 22, 12, 28}};  // gap 9
  const Boxes before = close;
  fixHalfBox(2, line, close, canvas, "line1");
  EXPECT_EQ(close, before);

  // Only the first `count` boxes are visited, and never more than the list holds.
  Boxes wide{{100, 20, 10, 30}, {125, 22, 12, 28}};
  fixHalfBox(1, line, wide, canvas, "line1");
  EXPECT_EQ(wide, (Boxes{{100, 20, 10, 30}, {125, 22, 12, 28}}));
  fixHalfBox(10, line, wide, canvas, "line1");
  EXPECT_EQ(wide, (Boxes{{100, 20, 16, 30}, {120, 20, 16, 30}}));
}

// ---- fixCharSegment and fixCharSegment2 ---------------------------------------------------

struct ShapeCase {
  const char* name;
  cv::Size lineSize;
  std::vector<cv::Rect> ink;
  Boxes in, want;
};

std::ostream& operator<<(std::ostream& os, const ShapeCase& c) { return os << c.name; }

class FixCharSegment : public ::testing::TestWithParam<ShapeCase> {
 protected:
  void SetUp() override { g_debug_show = 0; }
};

TEST_P(FixCharSegment, AlignsAndFixesTheEnds) {
  const ShapeCase& c = GetParam();
  cv::Mat line = paintedBinarised(c.lineSize, c.ink), canvas;
  Boxes boxes = c.in;
  fixCharSegment(line, boxes, canvas, "line1");
  EXPECT_EQ(boxes, c.want);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FixCharSegment,
    ::testing::Values(
        // 30 >= 1.1 * 21: the middle box takes the nearer top, 21, and height 33.
        ShapeCase{"inner box out of line", {400, 90}, {},
                  {{100, 20, 22, 33}, {130, 30, 22, 33}, {160, 21, 22, 33}},
                  {{100, 20, 22, 33}, {130, 21, 22, 33}, {160, 21, 22, 33}}},
        ShapeCase{"inner box in line", {400, 90}, {},
                  {{100, 20, 22, 33}, {130, 21, 22, 34}, {160, 21, 22, 33}},
                  {{100, 20, 22, 33}, {130, 21, 22, 34}, {160, 21, 22, 33}}},
        // Box 0, 25 high and 15 wide: it takes box 1's top and height, then ends 4
        // columns before box 1.
        ShapeCase{"short narrow first box", {400, 90}, {},
                  {{40, 30, 15, 25}, {60, 24, 22, 33}, {90, 24, 22, 33}},
                  {{31, 24, 25, 33}, {60, 24, 22, 33}, {90, 24, 22, 33}}},
        ShapeCase{"narrow last box centred", {921, 90}, {}, {{870, 24, 24, 33}, {900, 24, 12, 33}},
                  {{870, 24, 24, 33}, {894, 24, 25, 33}}},
        ShapeCase{"narrow last box at the edge stays", {920, 90}, {},
                  {{870, 24, 24, 33}, {900, 24, 12, 33}}, {{870, 24, 24, 33}, {900, 24, 12, 33}}},
        ShapeCase{"short last box keeps its bottom", {400, 90}, {},
                  {{100, 24, 24, 33}, {130, 45, 24, 20}}, {{100, 24, 24, 33}, {130, 32, 24, 33}}},
        ShapeCase{"short last box takes the top", {400, 90}, {},
                  {{100, 24, 24, 33}, {130, 30, 24, 10}}, {{100, 24, 24, 33}, {130, 24, 24, 33}}},
        // Rows 45 and below stay free: the height is cut to 45 - 30.
        ShapeCase{"vertical clamp", {400, 50}, {}, {{30, 5, 22, 20}, {60, 30, 22, 33}},
                  {{30, 30, 22, 15}, {60, 30, 22, 33}}},
        // Box 1 starts at column 6: box 0 could only end before column 3.
        ShapeCase{"no room before box 1", {400, 90}, {}, {{0, 20, 5, 33}, {6, 20, 22, 33}},
                  {{0, 20, 5, 33}, {6, 20, 22, 33}}},
        // Three short boxes in line: the ends take the 32-row minimum, the inner
        // one grows to the ink rows 25..55 around it.
        ShapeCase{"inner box re-measured", {400, 90}, {{100, 25, 22, 31}},
                  {{70, 30, 22, 20}, {100, 30, 22, 20}, {130, 30, 22, 20}},
                  {{70, 30, 22, 32}, {100, 25, 22, 31}, {130, 30, 22, 32}}},
        ShapeCase{"one box", {400, 90}, {}, {{70, 25, 5, 5}}, {{70, 25, 5, 5}}},
        ShapeCase{"no boxes", {400, 90}, {}, {}, {}}));

// ---- ink probes ----------------------------------------------------------------------------

TEST(InkProbes, FindTheFirstAndLastInkedRowsAndTheRightmostColumn) {
  cv::Mat line = paintedBinarised({200, 80}, {{50, 20, 5, 10}, {58, 25, 2, 20}});
  const cv::Rect r(45, 10, 30, 50);
  EXPECT_EQ(searchTopPoint(line, r), 10);
  EXPECT_EQ(searchBottomPoint(line, r), 34);
  EXPECT_EQ(searchRightPoint(line, r), 14);
  const cv::Rect blank(100, 10, 30, 50);
  EXPECT_EQ(searchTopPoint(line, blank), -1);
  EXPECT_EQ(searchBottomPoint(line, blank), -1);
  EXPECT_EQ(searchRightPoint(line, blank), 0);
}

struct ProbeCase {
  const char* name;
  cv::Rect r;
  int top, bottom, right;
};

class InkProbeRect : public ::testing::TestWithParam<ProbeCase> {};

TEST_P(InkProbeRect, ReadsNothingOutsideTheImage) {
  const ProbeCase& c = GetParam();
  cv::Mat line(80, 200, CV_8UC1, cv::Scalar(255));  // all ink
  EXPECT_EQ(searchTopPoint(line, c.r), c.top) << c.name;
  EXPECT_EQ(searchBottomPoint(line, c.r), c.bottom) << c.name;
  EXPECT_EQ(searchRightPoint(line, c.r), c.right) << c.name;
}

INSTANTIATE_TEST_SUITE_P(
    Rects, InkProbeRect,
    ::testing::Values(ProbeCase{"row 0", {10, 0, 10, 10}, -1, 0, 0},
                      ProbeCase{"height 0", {10, 5, 10, 0}, -1, -1, 0},
                      ProbeCase{"width 0", {10, 5, 0, 10}, -1, -1, 0},
                      ProbeCase{"last column", {190, 5, 10, 10}, -1, 0, 0},
                      ProbeCase{"last row", {10, 70, 10, 10}, -1, 0, 0},
                      ProbeCase{"left of the image", {-1, 5, 10, 10}, -1, 0, 0},
                      ProbeCase{"inside", {10, 5, 10, 10}, 0, 9, 9}));

TEST(InkProbes, OtherImageTypesAreNotProbed) {
  cv::Mat colour(80, 200, CV_8UC3, cv::Scalar(255, 255, 255)), empty;
  const cv::Rect r(10, 5, 10, 10);
  EXPECT_EQ(searchTopPoint(colour, r), -1);
  EXPECT_EQ(searchBottomPoint(empty, r), 0);
  EXPECT_EQ(searchRightPoint(colour, r), 0);
  Boxes boxes{r};
  EXPECT_EQ(checkPosValid(0, colour, boxes), 0);
}

// ---- the 45-box rules ------------------------------------------------------------------------

Boxes line45() {
  Boxes b;
  for (int i = 0; i < 45; ++i) b.emplace_back(40 + 26 * i, 30, 22, 33);
  return b;
}

struct RuleCase {
  const char* name;
  Boxes in, want;
};

std::ostream& operator<<(std::ostream& os, const RuleCase& c) { return os << c.name; }

class FortyFiveRule : public ::testing::TestWithParam<RuleCase> {};

TEST_P(FortyFiveRule, DropsTheEndBoxesThatDoNotBelong) {
  const RuleCase& c = GetParam();
  Boxes boxes = c.in;
  int count = static_cast<int>(boxes.size());
  removeEdgeOf45(count, boxes);
  EXPECT_EQ(boxes, c.want);
  EXPECT_EQ(count, static_cast<int>(boxes.size()));
}

Boxes edit(Boxes b, int i, int dx, int dy, int dh = 0) {
  cv::Rect& r = b[i < 0 ? b.size() + i : i];
  r.x += dx;
  r.y += dy;
  r.height += dh;
  return b;
}

Boxes drop(Boxes b, bool head, bool tail) {
  if (tail) b.pop_back();
  if (head) b.erase(b.begin());
  return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FortyFiveRule,
    ::testing::Values(
        RuleCase{"head gap 9", edit(line45(), 0, -5, 0), drop(edit(line45(), 0, -5, 0), true, false)},
        RuleCase{"head gap 8, tail gap 9", edit(edit(line45(), 0, -4, 0), -1, 5, 0),
                 drop(edit(edit(line45(), 0, -4, 0), -1, 5, 0), false, true)},
        // Close gaps; the first box starts 9 rows higher, the last ends 9 lower.
        RuleCase{"both ends misfit", edit(edit(line45(), 0, 0, -9, 9), -1, 0, 0, 9),
                 drop(line45(), true, true)},
        RuleCase{"top 8 higher is kept", edit(line45(), 0, 0, -8, 8), edit(line45(), 0, 0, -8, 8)},
        RuleCase{"44 boxes", drop(line45(), true, false), drop(line45(), true, false)}));

}  // namespace
