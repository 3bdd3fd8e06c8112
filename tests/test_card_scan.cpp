// The card path end to end on rendered permit card scenes
// (tests/data/cards, tools/render_cards.py) through vyrocr_scan_mat, with
// the released card and face detectors (skipped when models-release has not
// been built) and the fixture recognisers: the photo side is found,
// levelled and cropped; the back side is found, turned upright and its three
// OCR-B lines handed to the back-side reader; cards of the wrong size, no
// card and a moving card are refused.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>

#include "card_main.h"
#include "card_scenes.h"
#include "global.h"
#include "test_ocr_result.h"
#include "test_scan_fixtures.h"
#include "vyr_log.h"
#include "vyrocr.h"
#include "detect/centerface.h"

using namespace scanfx;
using cardfx::CardScene;

namespace {

const std::string kReleased = std::string(VYR_SOURCE_DIR) + "/models-release";
const std::string kCards = kData + "/cards";

// The fixture models directory with the released card and face detectors.
class CardModels {
 public:
  CardModels() {
    ok_ = dir_.ok() && fs::exists(kReleased + "/card.p") && fs::exists(kReleased + "/fd4_2.p");
    if (!ok_) return;
    std::error_code ec;
    for (const char* n : {"card.p", "fd4_2.p"})
      fs::copy_file(kReleased + "/" + n, dir_.file(n), fs::copy_options::overwrite_existing, ec);
    ok_ = !ec;
  }
  bool ok() const { return ok_; }
  const std::string& path() const { return dir_.path(); }

 private:
  ModelsDir dir_;
  bool ok_ = false;
};

// Keeps what the back-side reader is handed; answers 0.
struct BackCapture {
  static BackCapture*& current() {
    static BackCapture* c = nullptr;
    return c;
  }
  BackCapture() {
    current() = this;
    set_card_back_reader([](cv::Mat& card, std::vector<cv::Rect>& lines, int oldCamera) {
      BackCapture* c = current();
      c->calls++;
      c->card = card.clone();
      c->lines = lines;
      c->oldCamera = oldCamera;
      return 0;
    });
  }
  ~BackCapture() {
    set_card_back_reader(nullptr);
    current() = nullptr;
  }
  int calls = 0;
  cv::Mat card;
  std::vector<cv::Rect> lines;
  int oldCamera = -1;
};

class CardScan : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    models_ = new CardModels();
    camera_ = -1;
    vyr_set_log_dummy(1);
    setDebugShow(0);
  }
  static void TearDownTestSuite() {
    vyrocr_unInit();
    delete models_;
    models_ = nullptr;
  }
  void SetUp() override {
    if (!models_->ok()) GTEST_SKIP() << "models-release/card.p or fd4_2.p not built";
  }
  void TearDown() override { setDetectMode(0); }

  // Starts the interface for a camera generation (1 new, 0 old) with the
  // card scan type and the motion gate off.
  static void start(int newCamera, int scanType = 3) {
    if (camera_ != newCamera) {
      ASSERT_EQ(vyrocr_init(models_->path().c_str(), "", newCamera), 0);
      camera_ = newCamera;
    }
    vyrocr_set_scan_type(scanType);
    setDetectMode(1);
  }
  static void startFor(const CardScene& s, int scanType = 3) { start(s.oldCamera() ? 0 : 1, scanType); }
  // Scans a scene with the interface started for its camera; the test-info
  // line starts afresh.
  static int scan(const CardScene& s, OCR_RESULT& r, int scanType = 3) {
    startFor(s, scanType);
    cv::Mat img = cv::imread(s.image());
    init_test_info_item();
    return vyrocr_scan_mat(img, 0, r);
  }

  static std::vector<CardScene> scenes(const std::string& side) {
    std::vector<CardScene> out;
    for (const CardScene& s : cardfx::loadCardScenes(kCards))
      if (s["side"] == side && s["size"].empty()) out.push_back(s);
    return out;
  }
  static CardScene scene(const std::string& name) { return cardfx::loadCardScene(kCards, name); }

  static CardModels* models_;
  static int camera_;  // the generation the interface was started for, -1 before
};
CardModels* CardScan::models_ = nullptr;
int CardScan::camera_ = -1;

TEST_F(CardScan, FrontIsLevelledAndCropped) {
  const std::vector<CardScene> fronts = scenes("front");
  ASSERT_GE(fronts.size(), 3u);
  for (const CardScene& s : fronts) {
    SCOPED_TRACE(s.name);
    BackCapture back;
    OCR_RESULT r;
    ASSERT_EQ(scan(s, r), 0);
    EXPECT_EQ(back.calls, 0);
    // The photo side is not read: the record is the cleared card record.
    EXPECT_EQ(r.status, -1);
    EXPECT_EQ(r.cert_type, 0);
    EXPECT_STREQ(r.id, "");
    EXPECT_NE(current_test_info_line().find("vyr_card_scan: \t--卡片定位时间: "), std::string::npos);
    // The card crop is the card without a 10-pixel margin, level by its title.
    const cv::Size2f size = s.cardSize();
    EXPECT_NEAR(g_cropimg.cols + 20, size.width, 0.06 * size.width);
    EXPECT_NEAR(g_cropimg.rows + 20, size.height, 0.06 * size.height);
    EXPECT_LT(std::fabs(cardfx::titleTilt(g_cropimg, s)), 1.0);
    // The face crop holds the holder's face.
    ASSERT_FALSE(g_faceimg.empty());
    std::vector<_s_face_info> faces;
    EXPECT_GE(vyr_face_detect2(g_faceimg, faces), 1);
  }
}

TEST_F(CardScan, BackIsTurnedUprightAndItsLinesHandedOver) {
  const std::vector<CardScene> backs = scenes("back");
  ASSERT_GE(backs.size(), 3u);
  int upside = 0;
  for (const CardScene& s : backs) {
    SCOPED_TRACE(s.name);
    BackCapture back;
    OCR_RESULT r;
    ASSERT_EQ(scan(s, r), 0);
    ASSERT_EQ(back.calls, 1);
    EXPECT_EQ(back.oldCamera, s.oldCamera());
    EXPECT_TRUE(g_faceimg.empty());
    // Exactly three long lines in the lower part, each holding one whole
    // OCR-B line: on a card left upside down they would lie at its top.
    EXPECT_EQ(cardfx::backLinesHeld(back.card, back.lines), 3);
    upside += s["upside_down"] == "1" ? 1 : 0;
  }
  EXPECT_GE(upside, 1);
}

TEST_F(CardScan, MixedTypeFallsBackToTheCardPath) {
  for (const char* name : {"card_7000030_new_back_CR", "card_7000016_new_front_CR"}) {
    SCOPED_TRACE(name);
    const CardScene s = scene(name);
    BackCapture back;
    OCR_RESULT r;
    ASSERT_EQ(scan(s, r, 0), 0);
    EXPECT_EQ(back.calls, s.front() ? 0 : 1);
    EXPECT_EQ(current_test_info_line().rfind("vyr_mixed_scan: \tvyr_card_scan: ", 0), 0u) << current_test_info_line();
  }
}

TEST_F(CardScan, WithoutTheReaderTheBackFails) {
  const CardScene s = scene("card_7000030_new_back_CR");
  OCR_RESULT r;
  vyr_set_log_dummy(0);
  const std::string log = captured([&] { EXPECT_EQ(scan(s, r), -1); });
  vyr_set_log_dummy(1);
  EXPECT_TRUE(contains(log, "card back scan: -1"));
  EXPECT_FALSE(contains(log, "vyr_card_scan cost"));
  EXPECT_EQ(r.status, -1);
}

// The post-processing's window is narrower than the size check's, so a card
// outside the camera's size is refused there (-1), before the size check
// could give -3; a card of the other camera's size likewise.
TEST_F(CardScan, CardsOfTheWrongSizeAndNoCardAreRefused) {
  const struct {
    const char* name;
    int newCamera;
  } cases[] = {{"small_7000051_new_back_CR", 1},   // 0.8 times the new camera's size
               {"large_7000051_old_front_CR", 0},  // 1.2 times the old camera's size
               {"card_7000011_old_back_CT", 1},    // an old camera's card for the new camera
               {"card_7000030_new_back_CR", 0}};   // and the other way round
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const CardScene s = scene(c.name);
    ASSERT_FALSE(s.truth.empty());
    start(c.newCamera);
    BackCapture back;
    cv::Mat img = cv::imread(s.image());
    OCR_RESULT r;
    vyr_set_log_dummy(0);
    const std::string log = captured([&] { EXPECT_EQ(vyrocr_scan_mat(img, 0, r), -1); });
    vyr_set_log_dummy(1);
    EXPECT_TRUE(contains(log, "card detect: -1"));
    EXPECT_EQ(back.calls, 0);
    EXPECT_TRUE(g_cropimg.empty());
    EXPECT_TRUE(g_faceimg.empty());
  }
  start(1);
  cv::Mat blank(1200, 1600, CV_8UC3, cv::Scalar(120, 140, 90));
  OCR_RESULT r;
  EXPECT_EQ(vyrocr_scan_mat(blank, 0, r), -1);
}

// The card slot of the motion gate: the first frame after start-up and a
// card that moved give -80; the same card again passes.
TEST_F(CardScan, MovingCardGivesMinus80) {
  const CardScene a = scene("card_7000030_new_back_CR");
  const CardScene b = scene("card_7000018_new_back_CT");
  start(1);
  g_next_frame.card_x = g_next_frame.card_y = 0.f;  // as after start-up
  setDetectMode(0);
  BackCapture back;
  cv::Mat imgA = cv::imread(a.image()), imgB = cv::imread(b.image());
  OCR_RESULT r;
  vyr_set_log_dummy(0);
  std::string log = captured([&] { EXPECT_EQ(vyrocr_scan_mat(imgA, 0, r), -80); });
  EXPECT_TRUE(contains(log, "card moved"));
  EXPECT_TRUE(contains(log, "card detect: -80"));
  vyr_set_log_dummy(1);
  EXPECT_EQ(vyrocr_scan_mat(imgA, 0, r), 0);
  EXPECT_EQ(back.calls, 1);
  EXPECT_EQ(vyrocr_scan_mat(imgB, 0, r), -80);
  EXPECT_EQ(back.calls, 1);
}

}  // namespace
