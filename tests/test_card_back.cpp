// The back-side entry of the card readers: line selection and widening, the
// document crop of either camera, the card record along the road, and whole
// card backs read through the real binarisation, segmentation and template
// matching with a recogniser that reads what is printed.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>
#include <vector>

#include "card_scan.h"
#include "card_scan_pattern.h"
#include "global.h"
#include "passport_scan.h"
#include "result.h"
#include "test_card_back_fixtures.h"
#include "test_mrz_reader_fixtures.h"

namespace {

using mrzfx::captured;
using namespace cardfx;

// ---- line selection ---------------------------------------------------------------------

// A 1100 x 700 card: the lines start below row 420.
const cv::Mat kCard(700, 1100, CV_8UC3, cv::Scalar(255, 255, 255));

// Two boxes that pass every test (widened: (95, 498, 710, 34) and (95, 598, 710, 34)).
const cv::Rect kPassA(100, 500, 700, 30);
const cv::Rect kPassB(100, 600, 700, 30);

TEST(RectSelect, WidensEveryBoxInsideTheImage) {
  const struct {
    cv::Rect in, out;
  } cases[] = {
      {{3, 1, 700, 20}, {0, 0, 710, 24}},         // clamped at the top-left corner
      {{400, 500, 650, 30}, {395, 498, 660, 34}},  // plain margins
      {{900, 500, 300, 30}, {895, 498, 204, 34}},  // ends one pixel before the right edge
      {{10, 690, 700, 30}, {5, 688, 710, 11}},     // and before the bottom edge
  };
  for (const auto& c : cases) {
    std::vector<cv::Rect> boxes = {c.in, c.in};
    std::vector<cv::Rect> selected;
    cv::Mat card = kCard;
    EXPECT_EQ(rectSelect2(card, boxes, selected), -1);
    EXPECT_EQ(boxes[0], c.out) << c.in;
    EXPECT_TRUE(selected.empty());
  }
}

TEST(RectSelect, FewerThanThreeBoxesAreWidenedInTheirOrder) {
  cv::Mat card = kCard;
  std::vector<cv::Rect> selected = {cv::Rect(1, 2, 3, 4)};
  std::vector<cv::Rect> boxes;
  EXPECT_EQ(rectSelect2(card, boxes, selected), -1);
  EXPECT_TRUE(boxes.empty());
  boxes = {{400, 500, 650, 30}, {3, 1, 700, 20}};
  EXPECT_EQ(rectSelect2(card, boxes, selected), -1);
  EXPECT_EQ(boxes, (std::vector<cv::Rect>{{395, 498, 660, 34}, {0, 0, 710, 24}}));
  EXPECT_EQ(selected.size(), 1u);
}

// Each probe joins two passing boxes: it passes exactly when three lines
// are then selected.
TEST(RectSelect, SizeAndPositionLimits) {
  const struct {
    const char* label;
    cv::Rect probe;  // widened by 5 and 2 pixels on each side
    bool passes;
  } cases[] = {
      {"width 650", {100, 550, 640, 30}, false}, {"width 651", {100, 550, 641, 30}, true},
      {"height 25", {100, 550, 700, 21}, false}, {"height 26", {100, 550, 700, 22}, true},
      {"top 420", {100, 422, 700, 30}, false},   {"top 421", {100, 423, 700, 30}, true},
  };
  for (const auto& c : cases) {
    cv::Mat card = kCard;
    std::vector<cv::Rect> boxes = {kPassB, c.probe, kPassA};
    std::vector<cv::Rect> selected;
    EXPECT_EQ(rectSelect2(card, boxes, selected), c.passes ? 0 : -1) << c.label;
    EXPECT_EQ(selected.size(), c.passes ? 3u : 0u) << c.label;
  }
}

TEST(RectSelect, ExactlyThreeLinesTopFirstAmongOtherBoxes) {
  cv::Mat card = kCard;
  const cv::Rect line1(100, 450, 700, 30), line2(100, 500, 700, 30), line3(100, 550, 700, 30);
  // Noise: short, low, or above the lower 40 % of the card.
  std::vector<cv::Rect> boxes = {line3, {100, 600, 300, 30}, line1, {100, 100, 900, 40}, {50, 640, 800, 10}, line2};
  std::vector<cv::Rect> selected = {cv::Rect(7, 7, 7, 7)};
  ASSERT_EQ(rectSelect2(card, boxes, selected), 0);
  const auto widen = [](cv::Rect r) { return cv::Rect(r.x - 5, r.y - 2, r.width + 10, r.height + 4); };
  EXPECT_EQ(selected, (std::vector<cv::Rect>{{7, 7, 7, 7}, widen(line1), widen(line2), widen(line3)}));
  // The caller's list: widened and sorted by top edge.
  for (std::size_t i = 1; i < boxes.size(); ++i) EXPECT_LE(boxes[i - 1].y, boxes[i].y);

  // A fourth line: none is selected.
  boxes = {line1, line2, line3, {100, 600, 700, 30}};
  selected.clear();
  EXPECT_EQ(rectSelect2(card, boxes, selected), -1);
  EXPECT_TRUE(selected.empty());
}

// Boxes with equal tops keep their order, whatever their number, so a scan
// always takes the same lines.
TEST(RectSelect, EqualTopsKeepTheirOrder) {
  cv::Mat card = kCard;
  std::vector<cv::Rect> boxes;
  for (int i = 0; i < 40; ++i) boxes.emplace_back(10 + i, i % 2 == 0 ? 300 : 200, 100 + i, 20);
  std::vector<cv::Rect> selected;
  EXPECT_EQ(rectSelect2(card, boxes, selected), -1);
  for (std::size_t i = 1; i < boxes.size(); ++i)
    if (boxes[i - 1].y == boxes[i].y) {
      EXPECT_LT(boxes[i - 1].x, boxes[i].x) << i;
    }
}

// Boxes of any values: no arithmetic overflow, nothing outside the image.
TEST(RectSelect, ExtremeBoxesStayInsideTheImage) {
  cv::Mat card = kCard;
  std::vector<cv::Rect> boxes = {{INT_MAX, INT_MAX, INT_MAX, INT_MAX},
                                 {INT_MIN, INT_MIN, INT_MAX, INT_MAX},
                                 {-50, 600, -10, -10},
                                 {0, 500, INT_MAX, 30},
                                 {0, 600, INT_MAX, 30},
                                 {0, 550, INT_MAX, 30}};
  std::vector<cv::Rect> selected;
  ASSERT_EQ(rectSelect2(card, boxes, selected), 0);
  for (const cv::Rect& r : selected) EXPECT_EQ(r & cv::Rect(0, 0, card.cols, card.rows), r) << r;
}

// ---- the card record and the crop along the road ------------------------------------------

class BackEntry : public testing::Test {
 protected:
  void SetUp() override {
    g_cropimg.release();
    clearCardResult();
  }
  int scan(cv::Mat& card, std::vector<cv::Rect> boxes, int oldCamera) {
    int rc = 0;
    log_ = captured([&] { rc = rapidocr_back(card, boxes, oldCamera); });
    return rc;
  }
  std::string log_;
};

TEST_F(BackEntry, FailedSelectionOnlyEmptiesTheTexts) {
  // Every byte set: the entry empties each text's first byte and the layout.
  std::memset(&card_result, 'x', sizeof(card_result));
  card_result.status = 7;
  card_result.cert_type = 5;
  card_result.mrz_state = 9;
  const OCR_RESULT before = card_result;
  const cv::Mat crop(5, 5, CV_8UC3, cv::Scalar(1, 2, 3));
  g_cropimg = crop;
  cv::Mat card = kCard.clone();
  EXPECT_EQ(scan(card, {}, 1), -1);
  EXPECT_EQ(card_result.status, 7);
  EXPECT_EQ(card_result.cert_type, 5);
  EXPECT_EQ(card_result.mrz_state, 9);
  EXPECT_EQ(card_result.mrz_type, 0);
  EXPECT_EQ(std::memcmp(card_result.check_flags, before.check_flags, 8), 0);
  for (const char* text : {card_result.certificate_name, card_result.id, card_result.name, card_result.birthday,
                           card_result.category, card_result.mrz}) {
    EXPECT_EQ(text[0], '\0');
    EXPECT_EQ(text[1], 'x');
  }
  EXPECT_EQ(g_cropimg.data, crop.data);
}

// A card that is no 8-bit BGR image is refused before anything else.
TEST_F(BackEntry, RefusesAnImageOfAnotherKind) {
  const std::vector<cv::Rect> lines = {{100, 450, 700, 30}, {100, 500, 700, 30}, {100, 550, 700, 30}};
  for (cv::Mat card : {cv::Mat(700, 1100, CV_8UC1, cv::Scalar(255)), cv::Mat(700, 1100, CV_8UC4), cv::Mat()}) {
    EXPECT_EQ(scan(card, lines, 1), -1);
    EXPECT_TRUE(g_cropimg.empty());
    EXPECT_NE(log_.find("8-bit BGR"), std::string::npos) << log_;
  }
}

// Lines selected on a card without ink: the crop is cut, segmentation fails,
// and the record is cleared.
TEST_F(BackEntry, CropOfEitherCameraThenSegmentationFails) {
  // Every pixel tells its place.
  cv::Mat card(700, 1100, CV_8UC3);
  for (int y = 0; y < card.rows; ++y)
    for (int x = 0; x < card.cols; ++x) card.at<cv::Vec3b>(y, x) = cv::Vec3b(x % 256, y % 256, (x / 256) * 16 + y / 256);
  const struct {
    cv::Point top;  // the top line's corner after widening
    int camera;
    cv::Rect crop;
  } cases[] = {
      {{60, 500}, 1, {15, 72, 1000, 628}}, {{60, 500}, 0, {10, 138, 870, 544}},
      {{60, 500}, 2, {10, 138, 870, 544}}, {{60, 500}, -1, {10, 138, 870, 544}},
      {{20, 425}, 1, {0, 0, 1000, 630}},
  };
  const cv::Mat before = card.clone();
  const cv::Mat line12 = g_line12_2;
  for (const auto& c : cases) {
    const cv::Point raw = c.top + cv::Point(5, 2);
    const std::vector<cv::Rect> lines = {{raw.x, raw.y, 700, 30}, {raw.x, raw.y + 60, 700, 30},
                                         {raw.x, raw.y + 120, 700, 30}};
    g_cropimg.release();
    std::memset(&card_result, 'x', sizeof(card_result));
    EXPECT_EQ(scan(card, lines, c.camera), -1) << c.camera;
    ASSERT_EQ(g_cropimg.size(), c.crop.size()) << c.camera;
    EXPECT_EQ(cv::norm(g_cropimg, card(c.crop), cv::NORM_INF), 0.0) << c.camera;
    EXPECT_NE(g_cropimg.data, card.data);
    OCR_RESULT cleared;
    clearOcrResult(cleared);
    EXPECT_EQ(std::memcmp(&card_result, &cleared, sizeof(OCR_RESULT)), 0);
    EXPECT_TRUE(g_posRect.empty());
    EXPECT_EQ(g_line12_2.data, line12.data);
  }
  EXPECT_EQ(cv::norm(card, before, cv::NORM_INF), 0.0);
}

// ---- whole card backs ---------------------------------------------------------------------

class Backs : public mrzfx::ZoneTest, public testing::WithParamInterface<BackCase> {
 protected:
  void SetUp() override {
    ZoneTest::SetUp();
    rec_.useBoxes(true);
    g_cropimg.release();
    clearCardResult();
  }
  int scan(CardBack& back, int camera, const std::vector<std::string>& truth) {
    for (std::size_t i = 0; i < 3; ++i) rec_.truth[i + 1] = i < truth.size() ? truth[i] : "";
    int rc = 0;
    log_ = captured([&] { rc = rapidocr_back(back.image, back.lines, camera); });
    return rc;
  }
};

TEST_P(Backs, ReadWithEitherCamera) {
  const BackCase& c = GetParam();
  for (int camera : {1, 0}) {
    SCOPED_TRACE(camera == 1 ? "old camera" : "new camera");
    CardBack back = composeBack(glyphs_, c.lines, camera);
    const cv::Mat before = back.image.clone();
    const cv::Rect top = back.lines[1];
    ASSERT_EQ(scan(back, camera, c.lines), 0) << log_;
    expectCard(card_result, c);
    EXPECT_EQ(cv::norm(back.image, before, cv::NORM_INF), 0.0);
    // The crop from the top MRZ line, widened.
    const int left = camera == 1 ? 45 : 50, up = camera == 1 ? 428 : 362;
    const int x0 = std::max(top.x - 5 - left, 0), y0 = std::max(top.y - 2 - up, 0);
    const cv::Rect crop(x0, y0, std::min(back.image.cols - x0, camera == 1 ? 1000 : 870),
                        std::min(back.image.rows - y0, camera == 1 ? 630 : 544));
    ASSERT_EQ(g_cropimg.size(), crop.size());
    EXPECT_EQ(cv::norm(g_cropimg, back.image(crop), cv::NORM_INF), 0.0);
  }
}

INSTANTIATE_TEST_SUITE_P(Cards, Backs, testing::ValuesIn(backCases()), caseName);

// A reader's failure travels up unchanged and leaves the record cleared.
TEST_F(Backs, ReaderCodesPassThrough) {
  const BackCase& hk = backCases()[0];
  const struct {
    const char* label;
    std::vector<std::string> lines;
    int code;
  } cases[] = {
      {"century D", {hk.lines[0], mrzfx::withChar(hk.lines[1], 18, 'D'), hk.lines[2]}, MRZ_ERR_BIRTHDAY},
      {"document code CA", {mrzfx::withChar(hk.lines[0], 1, 'A'), hk.lines[1], hk.lines[2]}, MRZ_ERR_UNSUPPORTED},
      {"APEC name too short", {kAp1, kAp2, mrzfx::pad("AB", 30)}, MRZ_ERR_NAME},
  };
  for (const auto& c : cases) {
    CardBack back = composeBack(glyphs_, c.lines, 1);
    EXPECT_EQ(scan(back, 1, c.lines), c.code) << c.label << log_;
    EXPECT_EQ(card_result.status, -1) << c.label;
    EXPECT_FALSE(g_cropimg.empty()) << c.label;
  }
}

}  // namespace
