// Box-count repair on hand-made box lists: only the line's size is read.
#include <gtest/gtest.h>

#include <functional>

#include "char_segment.h"
#include "global.h"

namespace {

using Boxes = std::vector<cv::Rect>;

// n boxes of w x h at y, the first at x0, one every `pitch` columns.
Boxes line(int n, int x0, int pitch, int y = 30, int w = 22, int h = 33) {
  Boxes b;
  for (int i = 0; i < n; ++i) b.emplace_back(x0 + pitch * i, y, w, h);
  return b;
}

Boxes with(Boxes b, int index, cv::Rect r) {
  b[index < 0 ? b.size() + index : index] = r;
  return b;
}

Boxes without(Boxes b, bool head, bool tail) {
  if (tail) b.pop_back();
  if (head) b.erase(b.begin());
  return b;
}

enum class Op { HeadTail, Merge, Add, LessOne };

struct RepairCase {
  const char* name;
  Op op;
  int kind;
  cv::Size lineSize;
  Boxes in;
  Boxes want;
};

std::ostream& operator<<(std::ostream& os, const RepairCase& c) { return os << c.name; }

class BoxRepair : public ::testing::TestWithParam<RepairCase> {
 protected:
  void SetUp() override { g_debug_show = 0; }
};

TEST_P(BoxRepair, GivesTheExpectedListAndKeepsTheCountInStep) {
  const RepairCase& c = GetParam();
  this_char_width = c.kind == 1 ? 25 : 26;
  cv::Mat lineImg(c.lineSize, CV_8UC1, cv::Scalar(0));
  cv::Mat canvas;
  Boxes boxes = c.in;
  int count = static_cast<int>(boxes.size());
  switch (c.op) {
    case Op::HeadTail: removeHeadAndTail(c.kind, lineImg, count, boxes, canvas, "line1"); break;
    case Op::Merge: mergeTwoChar(c.kind, lineImg, count, boxes, canvas, "line1"); break;
    case Op::Add: addCharBox(count, boxes, canvas, "line1"); break;
    case Op::LessOne: fixLessOne(c.kind, count, lineImg, boxes, canvas, "line1"); break;
  }
  EXPECT_EQ(boxes, c.want);
  EXPECT_EQ(count, static_cast<int>(boxes.size()));
}

// A card line whose first three boxes start at 10, 50 and 77.
Boxes cardHeadApart() {
  Boxes b = line(30, 50, 27);
  b[0].width = 20;
  b.insert(b.begin(), cv::Rect(10, 30, 22, 33));
  return b;
}

// An overlapping narrow pair at boxes 5 and 6 that mergeTwoChar would join.
Boxes withOverlap(Boxes b) {
  b[6].x = b[5].x + 10;
  b[5].width = b[6].width = 15;
  return b;
}

const cv::Size kLine(1300, 90);

INSTANTIATE_TEST_SUITE_P(
    RemoveHeadAndTail, BoxRepair,
    ::testing::Values(
        // Counts it does not handle return at once, without mergeTwoChar.
        RepairCase{"count 44", Op::HeadTail, 0, kLine, withOverlap(line(44, 40, 26)),
                   withOverlap(line(44, 40, 26))},
        RepairCase{"card count 33", Op::HeadTail, 1, kLine, withOverlap(line(33, 40, 26)),
                   withOverlap(line(33, 40, 26))},
        // 40 > 1.4 * 27: the head goes and the new head widens to the left.
        RepairCase{"card head apart", Op::HeadTail, 1, kLine, cardHeadApart(),
                   with(line(30, 50, 27), 0, {45, 30, 25, 33})},
        // One end apart does not match a surplus of two; heights and tops agree.
        RepairCase{"46 head apart only", Op::HeadTail, 0, kLine,
                   with(line(46, 60, 26), 0, {10, 30, 22, 33}),
                   with(line(46, 60, 26), 0, {10, 30, 22, 33})},
        RepairCase{"46 both ends short", Op::HeadTail, 0, kLine,
                   with(with(line(46, 60, 26), 0, {60, 30, 22, 12}), -1, {1230, 30, 22, 12}),
                   without(line(46, 60, 26), true, true)},
        RepairCase{"37 short tail", Op::HeadTail, 0, kLine,
                   with(line(37, 60, 26, 30, 22, 30), -1, {996, 30, 22, 12}),
                   without(line(37, 60, 26, 30, 22, 30), false, true)},
        // The position test: the tail sits far below its neighbour.
        RepairCase{"37 low tail", Op::HeadTail, 0, kLine,
                   with(line(37, 60, 26), -1, {996, 50, 22, 33}),
                   without(line(37, 60, 26), false, true)},
        // One end apart against a surplus of two, and no end odd: unchanged.
        RepairCase{"38 tail apart", Op::HeadTail, 0, kLine,
                   with(line(38, 60, 26), -1, {1100, 30, 22, 33}),
                   with(line(38, 60, 26), -1, {1100, 30, 22, 33})}));

INSTANTIATE_TEST_SUITE_P(
    MergeTwoChar, BoxRepair,
    ::testing::Values(
        RepairCase{"narrow overlap", Op::Merge, 0, {300, 45}, {{100, 20, 15, 30}, {110, 22, 12, 28}},
                   {{100, 20, 22, 30}}},
        RepairCase{"too wide", Op::Merge, 0, {300, 45}, {{100, 20, 20, 30}, {110, 22, 18, 28}},
                   {{100, 20, 20, 30}, {110, 22, 18, 28}}},
        RepairCase{"three in a row", Op::Merge, 0, {300, 45},
                   {{100, 20, 15, 30}, {110, 20, 12, 30}, {118, 20, 12, 30}},
                   {{100, 20, 22, 30}, {118, 20, 12, 30}}},
        RepairCase{"reaching below the line", Op::Merge, 0, {300, 30},
                   {{100, 20, 15, 30}, {110, 22, 12, 28}},
                   {{100, 20, 15, 30}, {110, 22, 12, 28}}},
        RepairCase{"one box", Op::Merge, 0, {300, 45}, {{100, 20, 15, 30}}, {{100, 20, 15, 30}}},
        RepairCase{"no boxes", Op::Merge, 0, {300, 45}, {}, {}}));

INSTANTIATE_TEST_SUITE_P(
    AddCharBox, BoxRepair,
    ::testing::Values(
        RepairCase{"one gap box", Op::Add, 0, kLine, {{100, 30, 25, 33}, {150, 31, 25, 30}},
                   {{100, 30, 25, 33}, {127, 30, 20, 33}, {150, 31, 25, 30}}},
        RepairCase{"two gap boxes", Op::Add, 0, kLine, {{100, 30, 25, 33}, {180, 31, 25, 30}},
                   {{100, 30, 25, 33}, {127, 30, 25, 33}, {152, 30, 25, 33}, {180, 31, 25, 30}}},
        RepairCase{"no gap", Op::Add, 0, kLine, line(10, 40, 26), line(10, 40, 26)},
        // A narrow left box leaves no room for a box of positive width.
        RepairCase{"no room for one", Op::Add, 0, kLine, {{100, 30, 6, 33}, {111, 30, 25, 33}},
                   {{100, 30, 6, 33}, {111, 30, 25, 33}}},
        RepairCase{"no room for two", Op::Add, 0, kLine, {{100, 30, 2, 33}, {108, 30, 25, 33}},
                   {{100, 30, 2, 33}, {108, 30, 25, 33}}},
        RepairCase{"one box", Op::Add, 0, kLine, {{100, 30, 6, 33}}, {{100, 30, 6, 33}}}));

// 43 boxes: the first at 60 and 20 wide, the last ending 22 columns before the
// right edge of a 1200-column line.
Boxes headShort() {
  Boxes b = line(43, 86, 26);
  b[0] = {60, 30, 20, 33};
  b.back() = {1154, 30, 24, 33};
  return b;
}

// 35 boxes: the first at 20, the last 24 wide ending 50 columns before the edge.
Boxes tailShort(int firstX, int rightMargin, int lastWidth = 24) {
  Boxes b = line(35, 50, 26);
  b[0].x = firstX;
  b.back() = {1200 - rightMargin - lastWidth, 30, lastWidth, 33};
  return b;
}

Boxes plus(Boxes b, cv::Rect r, bool front) {
  if (front) {
    b.insert(b.begin(), r);
  } else {
    b.push_back(r);
  }
  return b;
}

const cv::Size kWide(1200, 90);

INSTANTIATE_TEST_SUITE_P(
    FixLessOne, BoxRepair,
    ::testing::Values(
        RepairCase{"head", Op::LessOne, 0, kWide, headShort(),
                   plus(headShort(), {30, 30, 26, 33}, true)},
        RepairCase{"tail", Op::LessOne, 0, kWide, tailShort(20, 50),
                   plus(tailShort(20, 50), {1126 + 30, 30, 26, 33}, false)},
        RepairCase{"right margin below 30", Op::LessOne, 0, kWide, tailShort(10, 29),
                   tailShort(10, 29)},
        RepairCase{"left margin below 30", Op::LessOne, 0, kWide, tailShort(29, 10),
                   tailShort(29, 10)},
        RepairCase{"margins alike", Op::LessOne, 0, kWide, tailShort(40, 30), tailShort(40, 30)},
        RepairCase{"count 44", Op::LessOne, 0, kWide, line(44, 90, 24), line(44, 90, 24)},
        RepairCase{"card count 30", Op::LessOne, 1, kWide, line(30, 90, 24), line(30, 90, 24)},
        // The tail box is cut at the line's right edge.
        RepairCase{"tail at the edge", Op::LessOne, 1, {800, 90},
                   with(line(29, 10, 26), -1, {765, 30, 5, 33}),
                   plus(with(line(29, 10, 26), -1, {765, 30, 5, 33}), {794, 30, 6, 33}, false)}));

}  // namespace
