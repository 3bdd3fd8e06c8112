// Card location without models: the size window, the rectification from
// given corners, the new camera's band smoothing, the title line of the photo
// side and the text lines of the back side on drawn cards, and the third-line
// rule of the back.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "card_detect.h"
#include "card_locate.h"
#include "global.h"
#include "test_ocr_result.h"
#include "utils.h"
#include "vyr_log.h"

namespace {

struct Quiet : ::testing::Environment {
  void SetUp() override {
    vyr_set_log_dummy(1);
    setDebugShow(0);
  }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new Quiet);

std::vector<cv::Rect> byTop(std::vector<cv::Rect> r) {
  std::sort(r.begin(), r.end(), [](const cv::Rect& a, const cv::Rect& b) { return a.y < b.y; });
  return r;
}

bool sameImage(const cv::Mat& a, const cv::Mat& b) {
  return a.size() == b.size() && a.type() == b.type() && cv::norm(a, b, cv::NORM_INF) == 0;
}

// Tilt in degrees of the title bars of frontCard (0 for a level line).
double inkTilt(const cv::Mat& card) {
  cv::Mat grey, ink;
  cv::cvtColor(card, grey, cv::COLOR_BGR2GRAY);
  cv::threshold(grey, ink, 128, 255, cv::THRESH_BINARY_INV);
  // around the title, clear of the black corners a rotation leaves
  cv::Mat inner = ink(cv::Rect(80, 25, 320, 100));
  std::vector<cv::Point> pts;
  cv::findNonZero(inner, pts);
  cv::Vec4f l;
  cv::fitLine(pts, l, cv::DIST_L2, 0, 0.01, 0.01);
  double a = std::atan2(l[1], l[0]) * 180 / CV_PI;
  return a > 90 ? a - 180 : (a < -90 ? a + 180 : a);
}

cv::Mat turned(const cv::Mat& img, double degrees) {
  cv::Mat out;
  const cv::Mat m = cv::getRotationMatrix2D(cv::Point2f(img.cols / 2.f, img.rows / 2.f), degrees, 1.0);
  cv::warpAffine(img, out, m, img.size(), cv::INTER_LINEAR, cv::BORDER_REPLICATE);
  return out;
}

// ---- size window and rectification ------------------------------------------------------

TEST(CardSize, WindowOfBothCameras) {
  EXPECT_EQ(expectedCardSize(1).longSide, 247);
  EXPECT_EQ(expectedCardSize(1).shortSide, 154);
  for (int camera : {0, 2, -1}) {
    EXPECT_EQ(expectedCardSize(camera).longSide, 210);
    EXPECT_EQ(expectedCardSize(camera).shortSide, 132);
  }
  const struct {
    int camera;
    float w, h;
    int want;
  } cases[] = {
      {0, 260.9f, 150.f, 0},  {0, 261.f, 150.f, -3}, {0, 160.f, 82.f, 0},   {0, 159.9f, 120.f, -3},
      {0, 200.f, 81.9f, -3},  {0, 200.f, 182.9f, 0}, {0, 200.f, 183.f, -3}, {0, 170.f, 170.f, 0},
      {1, 197.f, 104.f, 0},   {1, 297.9f, 204.9f, 0}, {1, 196.9f, 150.f, -3}, {1, 298.f, 150.f, -3},
      {1, 250.f, 103.9f, -3}, {1, 250.f, 205.f, -3},
      // the long side is the longer one, whatever the rectangle calls width
      {0, 150.f, 260.9f, 0},  {0, 150.f, 261.f, -3},
  };
  for (const auto& c : cases) {
    const CardSize e = expectedCardSize(c.camera);
    EXPECT_EQ(checkCardSize(cv::RotatedRect({200, 150}, {c.w, c.h}, 0), e.longSide, e.shortSide), c.want)
        << c.camera << " " << c.w << "x" << c.h;
  }
}

// A 1600 x 1200 frame with a grey card of 880 x 560 at (360, 320) and its
// corners on the 400 x 300 working image.
struct Framed {
  cv::Mat frame{1200, 1600, CV_8UC3, cv::Scalar(90, 110, 70)};
  cv::Mat small, gray;
  std::vector<cv::Point> corners;
  explicit Framed(int cardW = 880, int cardH = 560) {
    cv::rectangle(frame, cv::Rect(360, 320, cardW, cardH), cv::Scalar(225, 230, 235), cv::FILLED);
    cv::line(frame, cv::Point(400, 700), cv::Point(1100, 700), cv::Scalar(20, 20, 20), 6);
    cv::resize(frame, small, cv::Size(400, 300), 0, 0, cv::INTER_LINEAR);
    cv::cvtColor(small, gray, cv::COLOR_BGR2GRAY);
    corners = {{90, 80}, {90 + cardW / 4, 80}, {90 + cardW / 4, 80 + cardH / 4}, {90, 80 + cardH / 4}};
  }
};

TEST(CardRect, CutsTheBackAtFullResolutionAndLeavesTheFrame) {
  Framed f;
  const cv::Mat before = f.frame.clone();
  cv::Mat card;
  bool isfront = true;
  cv::Rect face(1, 2, 3, 4);
  // Without a face detector every card is a back side; the old camera skips the band smoothing.
  ASSERT_EQ(get_card_rect(f.frame, f.small, f.gray, 247, 154, 1, f.corners, card, isfront, face), 0);
  EXPECT_FALSE(isfront);
  EXPECT_EQ(face, cv::Rect(1, 2, 3, 4));
  // (int)(L * 4) x (int)(S * 4), of a rectangle that comes out a hair under 220 x 140
  EXPECT_NEAR(card.cols, 880, 1);
  EXPECT_NEAR(card.rows, 560, 1);
  EXPECT_TRUE(sameImage(f.frame, before));
  // the card's own pixels, the line at its row 380
  EXPECT_NEAR(cv::mean(card(cv::Rect(100, 200, 600, 100)))[2], 235, 2);
  EXPECT_LT(cv::mean(card(cv::Rect(100, 378, 600, 4)))[0], 60);
}

// The new camera's back side: the bands are smoothed in a copy of the frame,
// so the cut card loses a speck in a band while the caller's frame keeps it.
TEST(CardRect, SmoothsTheBandsOfACopy) {
  Framed f;
  cv::rectangle(f.frame, cv::Rect(1480, 339, 30, 30), cv::Scalar::all(250), cv::FILLED);  // bands 346.. and 364..
  f.frame.at<cv::Vec3b>(350, 800) = cv::Vec3b(0, 0, 0);
  f.frame.at<cv::Vec3b>(420, 800) = cv::Vec3b(0, 0, 0);
  const cv::Mat before = f.frame.clone();
  cv::Mat card;
  bool isfront = true;
  cv::Rect face;
  ASSERT_EQ(get_card_rect(f.frame, f.small, f.gray, 210, 132, 0, f.corners, card, isfront, face), 0);
  EXPECT_TRUE(sameImage(f.frame, before));
  // frame (800, 350) is card (440, 30); (800, 420) lies outside the bands
  auto darkest = [&card](int x, int y) {
    cv::Mat grey;
    cv::cvtColor(card(cv::Rect(x - 2, y - 2, 5, 5)), grey, cv::COLOR_BGR2GRAY);
    double lo = 0;
    cv::minMaxLoc(grey, &lo);
    return lo;
  };
  EXPECT_GT(darkest(440, 30), 200);
  EXPECT_LT(darkest(440, 100), 150);
}

TEST(CardRect, RefusesACardOutsideTheWindow) {
  const struct {
    int w, h, camera;
  } cases[] = {{560, 360, 1}, {1240, 700, 0}, {600, 380, 0}};
  for (const auto& c : cases) {
    Framed f(c.w, c.h);
    cv::Mat card;
    bool isfront = true;
    cv::Rect face(1, 2, 3, 4);
    const CardSize e = expectedCardSize(c.camera);
    EXPECT_EQ(get_card_rect(f.frame, f.small, f.gray, e.longSide, e.shortSide, c.camera, f.corners, card, isfront,
                            face),
              -3)
        << c.w;
    EXPECT_TRUE(card.empty());
    EXPECT_TRUE(isfront);
    EXPECT_EQ(face, cv::Rect(1, 2, 3, 4));
  }
}

TEST(CardDetect, FramesItCannotSearchGiveMinusOne) {
  // Narrower than 400 columns: the working scale would be 0.
  cv::Mat narrow(300, 399, CV_8UC3, cv::Scalar::all(200)), empty;
  for (cv::Mat* m : {&narrow, &empty}) {
    cv::Mat card;
    bool isfront = false;
    cv::Rect face;
    EXPECT_EQ(detect_card(*m, card, isfront, face, 0), -1);
  }
}

// ---- band smoothing of the new camera's back side ---------------------------------------

TEST(CardBands, FoundFromTheFirstMark) {
  cv::Mat frame(1200, 1600, CV_8UC3, cv::Scalar::all(40));
  // A bright mark that the opening and the closing (whose 20-row element
  // has its anchor one row off the middle) leave 30 rows tall at window y 40.
  cv::rectangle(frame, cv::Rect(1480, 339, 30, 30), cv::Scalar::all(250), cv::FILLED);
  cv::Rect a, b;
  ASSERT_TRUE(cardBackBands(frame, a, b));
  EXPECT_EQ(a, cv::Rect(0, 346, 1600, 10));  // rows 346 to 355
  EXPECT_EQ(b, cv::Rect(0, 364, 1600, 8));   // rows 364 to 371

  // Smoothing changes the bands only: a speck inside a band goes, one outside stays.
  frame.at<cv::Vec3b>(350, 100) = cv::Vec3b(255, 255, 255);
  frame.at<cv::Vec3b>(400, 100) = cv::Vec3b(255, 255, 255);
  ASSERT_TRUE(smoothCardBackBands(frame));
  EXPECT_EQ(frame.at<cv::Vec3b>(350, 100), cv::Vec3b(40, 40, 40));
  EXPECT_EQ(frame.at<cv::Vec3b>(400, 100), cv::Vec3b(255, 255, 255));
}

TEST(CardBands, NothingWithoutAUsableMark) {
  const struct {
    cv::Rect mark;
    int rows, cols;
  } cases[] = {
      {cv::Rect(1420, 340, 30, 30), 1200, 1600},  // touches the window's left edge
      {cv::Rect(1480, 340, 30, 60), 1200, 1600},  // too tall
      {cv::Rect(1480, 340, 8, 45), 1200, 1600},   // too narrow
      {cv::Rect(1480, 340, 30, 30), 590, 1600},   // the window leaves the frame
      {cv::Rect(100, 340, 30, 30), 1200, 800},    // a frame of another width
  };
  for (const auto& c : cases) {
    cv::Mat frame(c.rows, c.cols, CV_8UC3, cv::Scalar::all(40));
    cv::rectangle(frame, c.mark, cv::Scalar::all(250), cv::FILLED);
    cv::Rect a, b;
    EXPECT_FALSE(cardBackBands(frame, a, b)) << c.mark << " " << c.cols << "x" << c.rows;
    EXPECT_FALSE(smoothCardBackBands(frame));
  }
}

// ---- photo side: title line -------------------------------------------------------------

// An 880 x 560 card with a row of 8 dark bars, w x h, at a 36-pixel pitch from
// (100, 50): the title line as MSER sees it.
cv::Mat frontCard(int w = 12, int h = 40) {
  cv::Mat card(560, 880, CV_8UC3, cv::Scalar::all(235));
  for (int i = 0; i < 8; ++i)
    cv::rectangle(card, cv::Rect(100 + 36 * i, 50, w, h), cv::Scalar::all(20), cv::FILLED);
  return card;
}

TEST(FrontTitle, LevelsTheCardByItsTitleLine) {
  for (double tilt : {0.0, 3.0, -3.0}) {
    SCOPED_TRACE(tilt);
    cv::Mat card = turned(frontCard(), tilt);
    ASSERT_NEAR(inkTilt(card), -tilt, 0.3);
    std::vector<cv::Rect> lines{{1, 2, 3, 4}};
    ASSERT_EQ(check_and_rotated_card_front(card, cv::Rect(), lines, 2, 0), 0);
    EXPECT_NEAR(inkTilt(card), 0.0, 0.6);
    EXPECT_EQ(lines, std::vector<cv::Rect>({{1, 2, 3, 4}}));
  }
}

TEST(FrontTitle, CharacterHeightLimitsByCamera) {
  // Half-size heights 24/25 for the new camera and 27/28 for the old one.
  const struct {
    int oldCamera, height, want;
  } cases[] = {{0, 48, 0}, {0, 50, -1}, {1, 54, 0}, {1, 56, -1}, {2, 48, 0}};
  for (const auto& c : cases) {
    cv::Mat card = frontCard(12, c.height);
    const cv::Mat before = card.clone();
    std::vector<cv::Rect> lines;
    EXPECT_EQ(check_and_rotated_card_front(card, cv::Rect(), lines, 1, c.oldCamera), c.want)
        << c.oldCamera << " " << c.height;
    EXPECT_TRUE(sameImage(card, before));  // level or refused: unchanged
  }
}

TEST(FrontTitle, NoLineLeavesTheCard) {
  cv::Mat blank(560, 880, CV_8UC3, cv::Scalar::all(235));
  // a title hidden under the photograph's blanked area is no title either
  cv::Mat hidden = frontCard();
  for (cv::Mat* card : {&blank, &hidden}) {
    const cv::Mat before = card->clone();
    std::vector<cv::Rect> lines;
    EXPECT_EQ(check_and_rotated_card_front(*card, cv::Rect(150, 100, 200, 100), lines, 1, 0), -1);
    EXPECT_TRUE(sameImage(*card, before));
  }
}

TEST(FrontTitle, PhotoBlankIsClippedToTheCard) {
  const struct {
    cv::Rect face;
    cv::Rect want;
  } cases[] = {
      {{100, 200, 120, 160}, {25, 60, 110, 165}},
      {{20, 200, 120, 160}, {0, 60, 95, 165}},          // starts at x 0
      {{380, 10, 120, 400}, {165, 0, 75, 250}},         // reaches past the right and bottom edges
      {{900, 700, 50, 50}, {}},                         // wholly outside
      {{-400, -400, 100, 100}, {}},
      {{100, 200, 0, 160}, {}},                         // no area
  };
  for (const auto& c : cases) EXPECT_EQ(frontPhotoBlank(c.face, 240, 250), c.want) << c.face;
}

// ---- back side: text lines ---------------------------------------------------------------

// An 880 x 560 card with rows of 30 dark bars (20 x 30 at a 28-pixel pitch)
// at the given heights: the OCR-B lines as MSER sees them.
cv::Mat backCard(const std::vector<int>& rows) {
  cv::Mat card(560, 880, CV_8UC3, cv::Scalar::all(235));
  for (int y : rows)
    for (int i = 0; i < 30; ++i) cv::rectangle(card, cv::Rect(20 + 28 * i, y, 20, 30), cv::Scalar::all(20), cv::FILLED);
  return card;
}

TEST(BackLines, ThreeLongLinesAtTheBottom) {
  for (int oldCamera : {0, 1}) {
    cv::Mat card = backCard({380, 430, 480});
    const cv::Mat before = card.clone();
    std::vector<cv::Rect> lines;
    clear_rotate_status();
    init_test_info_item();
    ASSERT_EQ(detectLettersRect_back(card, lines, oldCamera), 0);
    ASSERT_EQ(lines.size(), 3u);
    lines = byTop(lines);
    // The closing's bright border stretches the lines to the card's edges.
    for (int k = 0; k < 3; ++k) EXPECT_EQ(lines[k], cv::Rect(0, 380 + 50 * k, 880, 30)) << k;
    EXPECT_TRUE(sameImage(card, before));
    EXPECT_EQ(get_rotate_status(), 0);  // level lines turn nothing
    const std::string items = current_test_info_line();
    EXPECT_NE(items.find("---卡片后面有效字符行筛选: "), std::string::npos);
    EXPECT_NE(items.find("--卡片后面字符行定位: "), std::string::npos);
  }
}

TEST(BackLines, AnUpsideDownCardIsTurned) {
  const cv::Mat upright = backCard({380, 430, 480});
  cv::Mat card;
  cv::flip(upright, card, -1);
  std::vector<cv::Rect> lines;
  ASSERT_EQ(detectLettersRect_back(card, lines, 0), 0);
  EXPECT_TRUE(sameImage(card, upright));
  ASSERT_EQ(lines.size(), 3u);
  lines = byTop(lines);
  for (int k = 0; k < 3; ++k) EXPECT_EQ(lines[k], cv::Rect(0, 380 + 50 * k, 880, 30)) << k;
}

TEST(BackLines, ATiltedCardIsLevelled) {
  cv::Mat card = turned(backCard({380, 430, 480}), 2.0);
  std::vector<cv::Rect> lines;
  clear_rotate_status();
  ASSERT_EQ(detectLettersRect_back(card, lines, 0), 0);
  EXPECT_EQ(get_rotate_status(), 1);
  ASSERT_EQ(lines.size(), 3u);
  lines = byTop(lines);
  for (int k = 0; k < 3; ++k) EXPECT_NEAR(lines[k].y, 380 + 50 * k, 6) << k;
  // the bars of the middle line are level again: their row is dark end to end
  const cv::Mat row = card(cv::Rect(60, lines[1].y + 12, 760, 6));
  EXPECT_LT(cv::mean(row)[0], 130);
}

TEST(BackLines, NoLinesLeaveTheCardButAreReported) {
  const struct {
    std::vector<int> rows;
  } cases[] = {{{}}, {{430}}, {{100, 160, 220}}};  // nothing; one line; lines only in the upper part
  for (const auto& c : cases) {
    cv::Mat card = backCard(c.rows);
    const cv::Mat before = card.clone();
    std::vector<cv::Rect> lines;
    init_test_info_item();
    EXPECT_EQ(detectLettersRect_back(card, lines, 0), -1) << c.rows.size();
    EXPECT_TRUE(sameImage(card, before));
    EXPECT_NE(current_test_info_line().find("--卡片后面字符行定位: "), std::string::npos);
  }
}

TEST(BackLines, TwoLongLinesGetTheThirdFromTheBoxesBetween) {
  cv::Mat card = backCard({360, 480});
  // a shorter row between them: 14 bars, 392 pixels, wider than 730 / 2
  for (int i = 0; i < 14; ++i)
    cv::rectangle(card, cv::Rect(300 + 28 * i, 420, 20, 30), cv::Scalar::all(20), cv::FILLED);
  std::vector<cv::Rect> lines;
  ASSERT_EQ(detectLettersRect_back(card, lines, 0), 0);
  ASSERT_EQ(lines.size(), 3u);
  // aligned with the long lines on their left edge and width
  EXPECT_EQ(lines[2], cv::Rect(0, 420, 880, 30));
}

TEST(BackLines, LongLinesShareTheirLeftEdgeAndWidth) {
  using R = cv::Rect;
  const struct {
    std::vector<R> in, out;
  } cases[] = {
      {{{120, 400, 860, 30}, {140, 450, 850, 30}}, {{100, 400, 890, 30}, {100, 450, 890, 30}}},
      {{{60, 400, 800, 56}, {80, 470, 700, 50}}, {{60, 400, 800, 30}, {60, 470, 800, 50}}},
      {{{0, 400, 880, 30}, {0, 450, 880, 51}, {0, 500, 880, 30}},
       {{0, 400, 880, 30}, {0, 450, 880, 30}, {0, 500, 880, 30}}},
  };
  for (const auto& c : cases) {
    std::vector<R> lines = c.in;
    alignLongLines(lines);
    EXPECT_EQ(lines, c.out);
  }
}

// ---- the third line of the back ------------------------------------------------------------

TEST(ThirdLine, SplitsOrJoinsAsTheRulesSay) {
  using R = cv::Rect;
  const struct {
    const char* what;
    std::vector<R> longRects, uncertain;
    int widthLimit;
    int want;
    std::vector<R> after;
  } cases[] = {
      {"tall box split", {{100, 400, 860, 110}, {100, 530, 860, 40}}, {}, 830, 0,
       {{100, 400, 860, 55}, {100, 530, 860, 40}, {100, 455, 860, 55}}},
      {"second tall box split", {{100, 300, 860, 40}, {100, 400, 860, 61}}, {}, 730, 0,
       {{100, 300, 860, 40}, {100, 400, 860, 31}, {100, 431, 860, 31}}},
      {"both tall", {{100, 300, 860, 70}, {100, 400, 860, 70}}, {}, 830, -1,
       {{100, 300, 860, 70}, {100, 400, 860, 70}}},
      {"joined between (old camera)", {{100, 300, 860, 40}, {100, 380, 860, 40}},
       {{120, 340, 200, 20}, {400, 346, 150, 22}}, 830, 0,
       {{100, 300, 860, 40}, {100, 380, 860, 40}, {120, 340, 430, 22}}},
      {"joined between (new camera)", {{100, 300, 860, 40}, {100, 380, 860, 40}},
       {{400, 346, 150, 22}, {120, 340, 200, 20}}, 730, 0,
       {{100, 300, 860, 40}, {100, 380, 860, 40}, {120, 340, 430, 22}}},
      {"too narrow", {{100, 300, 860, 40}, {100, 380, 860, 40}}, {{400, 346, 150, 22}}, 830, 0,
       {{100, 300, 860, 40}, {100, 380, 860, 40}}},
      {"nothing between", {{100, 300, 860, 40}, {100, 380, 860, 40}}, {{400, 200, 150, 22}}, 830, -1,
       {{100, 300, 860, 40}, {100, 380, 860, 40}}},
      {"run above", {{100, 500, 860, 40}, {100, 540, 860, 40}},
       {{300, 380, 100, 20}, {80, 460, 300, 20}, {390, 470, 200, 20}}, 830, 0,
       {{100, 500, 860, 40}, {100, 540, 860, 40}, {80, 460, 510, 20}}},
      {"run broken below", {{100, 500, 860, 40}, {100, 540, 860, 40}},
       {{300, 380, 100, 20}, {80, 460, 300, 20}, {390, 470, 200, 20}, {100, 560, 500, 20}}, 830, -1,
       {{100, 500, 860, 40}, {100, 540, 860, 40}}},
      {"level with a line", {{100, 500, 860, 40}, {100, 540, 860, 40}}, {{100, 500, 700, 20}}, 830, -1,
       {{100, 500, 860, 40}, {100, 540, 860, 40}}},
  };
  for (const auto& c : cases) {
    std::vector<R> longRects = c.longRects, uncertain = c.uncertain;
    EXPECT_EQ(process_indeterminacy_rect_back(longRects, uncertain, 60, c.widthLimit), c.want) << c.what;
    EXPECT_EQ(longRects, c.after) << c.what;
    EXPECT_EQ(uncertain, c.uncertain) << c.what;
  }
}

TEST(DeskewAngle, ClassicConvention) {
  const struct {
    float angle, want;
  } cases[] = {{-88.f, 2.f}, {-3.f, -3.f}, {0.f, 0.f}, {-45.f, -45.f}, {-45.5f, 44.5f}, {-80.f, 10.f}};
  for (const auto& c : cases)
    EXPECT_FLOAT_EQ(lineDeskewAngle(cv::RotatedRect({0, 0}, {10, 100}, c.angle)), c.want) << c.angle;
}

}  // namespace
