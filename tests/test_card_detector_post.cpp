// Card corners from detector boxes: the size window per camera, the fallback
// to the detection box, the choice among candidates, the corner order and
// rounding, and the motion gate.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "global.h"
#include "postprocess_cardai.h"
#include "test_detector_models.h"

using detector_test::capture_log;
using detector_test::contains;

namespace {

// A record whose keypoints and box both span w x h at (x, y).
BoxfWithLandmarksType card_box(float x, float y, float w, float h) {
  BoxfWithLandmarksType b;
  b.x1 = x;
  b.y1 = y;
  b.x2 = x + w;
  b.y2 = y + h;
  b.score = 0.9f;
  b.label_text = "card";
  b.label = 1;
  b.box_flag = b.landmarks_flag = b.flag = true;
  b.landmarks = {{x, y}, {x + w, y}, {x + w, y + h}, {x, y + h}};
  return b;
}

class CardCorners : public ::testing::Test {
 protected:
  void SetUp() override {
    saved_mode_ = g_set_detect_mode;
    saved_debug_ = g_debug_show;
    saved_frame_ = g_next_frame;
    g_set_detect_mode = 1;  // the motion gate reports no movement unless a test wants it
    g_debug_show = 0;
    g_next_frame = NEXT_FRAME{};
  }
  void TearDown() override {
    g_set_detect_mode = saved_mode_;
    g_debug_show = saved_debug_;
    g_next_frame = saved_frame_;
  }
  int run(std::vector<BoxfWithLandmarksType> boxes, int camera, std::string* log = nullptr,
          float scale = 4.f) {
    int rc = 0;
    const std::string text =
        capture_log([&] { rc = postprocess_card_ai(image_, camera, boxes, corners_, scale); });
    if (log != nullptr) *log = text;
    return rc;
  }
  cv::Mat image_ = cv::Mat(300, 400, CV_8UC3, cv::Scalar(0, 0, 0));
  std::vector<cv::Point> corners_;
  int saved_mode_ = 0, saved_debug_ = 0;
  NEXT_FRAME saved_frame_{};
};

struct SizeCase {
  int camera;
  float w, h;
  int rc;
  const char* line;
};

class CardSizeWindow : public CardCorners, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(CardSizeWindow, AcceptsOnlyTheExpectedCardSize) {
  const SizeCase& c = GetParam();
  std::string log;
  // Half a pixel over: the fit's float noise (253.99998 for 254) must not
  // truncate a side to the next integer down.
  EXPECT_EQ(run({card_box(60, 40, c.w + 0.5f, c.h + 0.5f)}, c.camera, &log), c.rc);
  EXPECT_TRUE(contains(log, c.line)) << log;
  EXPECT_EQ(corners_.size(), c.rc == 0 ? 4u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CardSizeWindow,
    ::testing::Values(SizeCase{1, 234, 142, 0, "card: w=-20/254, h=-17/159 ==> T"},
                      SizeCase{1, 284, 186, 0, "card: w=30/254, h=27/159 ==> T"},
                      SizeCase{1, 233, 150, -1, "card: w=-21/254, h=-9/159 ==> F"},
                      SizeCase{1, 285, 150, -1, "card: w=31/254, h=-9/159 ==> F"},
                      SizeCase{1, 159, 254, 0, "card: w=0/254, h=0/159 ==> T"},  // upright
                      SizeCase{0, 219, 138, 0, "card: w=0/219, h=0/138 ==> T"},
                      SizeCase{2, 254, 159, -1, "card: w=35/219, h=21/138 ==> F"}));

TEST_F(CardCorners, EmptyListAndWrongKeypointCountsFindNothing) {
  EXPECT_EQ(run({}, 1), -1);
  BoxfWithLandmarksType three = card_box(60, 40, 254, 159);
  three.landmarks.pop_back();
  BoxfWithLandmarksType five = card_box(60, 40, 254, 159);
  five.landmarks.push_back({70, 50});
  std::string log;
  EXPECT_EQ(run({three, five}, 1, &log), -1);
  EXPECT_FALSE(contains(log, "card:")) << log;
  EXPECT_TRUE(corners_.empty());
}

TEST_F(CardCorners, CornersComeInPointsOrderRoundedHalfToEven) {
  // an unrotated rectangle: bottom-left, top-left, top-right, bottom-right
  EXPECT_EQ(run({card_box(10.5f, 11.5f, 254, 159)}, 1), 0);
  EXPECT_EQ(corners_, (std::vector<cv::Point>{{10, 170}, {10, 12}, {264, 12}, {264, 170}}));
  // calling again without clearing appends
  EXPECT_EQ(run({card_box(10.5f, 11.5f, 254, 159)}, 1), 0);
  EXPECT_EQ(corners_.size(), 8u);
}

TEST_F(CardCorners, BestFitWinsAndTheFirstOfEqualFits) {
  // fit 10 loses to fit 0; of two fits of 0 the earlier one gives the corners
  EXPECT_EQ(run({card_box(20, 20, 244, 159), card_box(30, 30, 254, 159),
                 card_box(100, 100, 254, 159)},
                1),
            0);
  ASSERT_EQ(corners_.size(), 4u);
  EXPECT_EQ(corners_[1], cv::Point(30, 30));
}

TEST_F(CardCorners, TooSmallKeypointsFallBackToAMatchingDetectionBox) {
  BoxfWithLandmarksType fb = card_box(120, 100, 200, 100);  // keypoints: dl -54, ds -59
  fb.x1 = 50;
  fb.y1 = 50;
  fb.x2 = 300;
  fb.y2 = 205;  // 250 x 155: within 10 of 254 x 159
  std::string log;
  EXPECT_EQ(run({fb}, 1, &log), 0);
  EXPECT_TRUE(contains(log, "card: w=-54/254, h=-59/159 ==> F")) << log;
  EXPECT_TRUE(contains(log, "w=250.00, h=155.00, w/h=1.61 ==> fixed")) << log;
  EXPECT_EQ(corners_, (std::vector<cv::Point>{{50, 205}, {50, 50}, {300, 50}, {300, 205}}));

  // any rectangle accepted by the window beats the fallback (fit 113)
  corners_.clear();
  EXPECT_EQ(run({fb, card_box(60, 40, 284, 186)}, 1), 0);
  EXPECT_EQ(corners_[1], cv::Point(60, 40));
}

TEST_F(CardCorners, FallbackNeedsTheBoxInsideTheImageAndOfTheRightSize) {
  struct Case {
    const char* name;
    float x1, y1, x2, y2;
    const char* line;  // nullptr: no fallback line at all
  };
  const Case cases[] = {
      {"x1 on the border", 1, 50, 251, 205, nullptr},
      {"x2 at width - 1", 149, 50, 399, 205, nullptr},
      {"y1 on the border", 50, 1, 300, 156, nullptr},
      {"zero height", 50, 50, 300, 50, nullptr},
      {"wrong size", 50, 50, 150, 100, "w=100.00, h=50.00, w/h=2.00"},
  };
  for (const Case& c : cases) {
    BoxfWithLandmarksType fb = card_box(120, 100, 200, 100);
    fb.x1 = c.x1;
    fb.y1 = c.y1;
    fb.x2 = c.x2;
    fb.y2 = c.y2;
    std::string log;
    EXPECT_EQ(run({fb}, 1, &log), -1) << c.name;
    if (c.line != nullptr) {
      EXPECT_TRUE(contains(log, c.line)) << c.name << ": " << log;
    } else {
      EXPECT_FALSE(contains(log, "w/h=")) << c.name << ": " << log;
    }
  }
  // deviations above -31 in either direction: no fallback is tried
  BoxfWithLandmarksType near = card_box(120, 100, 224, 100);  // dl -30
  near.x1 = 50;
  near.y1 = 50;
  near.x2 = 300;
  near.y2 = 205;
  std::string log;
  EXPECT_EQ(run({near}, 1, &log), -1);
  EXPECT_FALSE(contains(log, "fixed")) << log;
  EXPECT_TRUE(corners_.empty());
}

TEST_F(CardCorners, MovedCardGivesMinus80WithTheCornersAppended) {
  g_set_detect_mode = 0;
  const BoxfWithLandmarksType at = card_box(60, 40, 254, 159);  // centre (187, 119.5)
  std::string log;
  // the gate's card slot starts at (0, 0): the first card has moved
  EXPECT_EQ(run({at}, 1, &log), -80);
  EXPECT_TRUE(contains(log, "card moved")) << log;
  EXPECT_EQ(corners_.size(), 4u);
  EXPECT_EQ(run({at}, 1), 0);
  EXPECT_EQ(corners_.size(), 8u);
  EXPECT_FLOAT_EQ(g_next_frame.card_x, 187.f * 4);
  EXPECT_FLOAT_EQ(g_next_frame.card_y, 119.5f * 4);
  // a failed call leaves the stored position alone
  EXPECT_EQ(run({}, 1), -1);
  EXPECT_FLOAT_EQ(g_next_frame.card_x, 187.f * 4);
  // 2 pixels of the working image are 8 of the frame at scale 4: moved
  EXPECT_EQ(run({card_box(62, 40, 254, 159)}, 1), -80);
  // at scale 1 the frame position jumps from 756 to 191 (moved), then 2 pixels on is still
  EXPECT_EQ(run({card_box(64, 40, 254, 159)}, 1, nullptr, 1.f), -80);
  EXPECT_EQ(run({card_box(66, 40, 254, 159)}, 1, nullptr, 1.f), 0);
  EXPECT_EQ(corners_.size(), 20u);
}

TEST_F(CardCorners, DebugDisplayWithoutAScreenDoesNotAbort) {
  const char* display = std::getenv("DISPLAY");
  const std::string saved = display != nullptr ? display : "";
  unsetenv("DISPLAY");
  unsetenv("WAYLAND_DISPLAY");
  g_debug_show = 1;
  EXPECT_EQ(run({}, 1), -1);
  EXPECT_EQ(run({card_box(60, 40, 254, 159)}, 1), 0);
  if (display != nullptr) setenv("DISPLAY", saved.c_str(), 1);
}

}  // namespace
