// Card backs read with the released models ("models-release": the MRZ and
// English recognisers and the OCR-B template sheets): MRZ lines drawn in
// OCR-B on a plain card of either camera's size, read by the back-side entry
// into exact fields. Skipped when models-release has not been built.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "card_scan.h"
#include "global.h"
#include "matchocr.h"
#include "test_card_back_fixtures.h"
#include "test_mrz_reader_fixtures.h"
#include "verify.h"
#include "vyr_crnn.h"
#include "vyr_log.h"

namespace {

using namespace cardfx;

const std::string kRelease = std::string(VYR_SOURCE_DIR) + "/models-release";

bool released() {
  struct stat st;
  return ::stat((kRelease + "/ocrv3_mrz.p").c_str(), &st) == 0;
}

class RealBacks : public testing::TestWithParam<BackCase> {
 protected:
  static void SetUpTestSuite() {
    if (!released()) return;
    vyr_set_log_dummy(1);
    std::string dir = kRelease;
    ready_ = init_crnn(&dir[0], 0) == 0 && match_init(dir.c_str()) == 0;
    init_ncode_map();
    glyphs_ = mrzfx::loadGlyphs(36);
  }
  static void TearDownTestSuite() {
    uninit_crnn();
    vyr_set_log_dummy(0);
  }
  void SetUp() override {
    if (!released()) GTEST_SKIP() << "models-release not built";
    ASSERT_TRUE(ready_);
    ASSERT_FALSE(glyphs_.strip.empty());
  }
  static inline bool ready_ = false;
  static inline mrzfx::Glyphs glyphs_;
};

// Each camera's card at another size: characters of 31 and 22 pixels
// pitch, matched with two other template sheets than the 26 of the drawn
// lines.
TEST_P(RealBacks, ReadExactlyWithEitherCamera) {
  const BackCase& c = GetParam();
  for (int camera : {1, 0}) {
    SCOPED_TRACE(camera == 1 ? "old camera" : "new camera");
    CardBack back = composeBack(glyphs_, c.lines, camera);
    scaleBack(back, camera == 1 ? 1.2 : 0.85);
    // A little softness, as a rectified camera frame has.
    cv::GaussianBlur(back.image, back.image, cv::Size(0, 0), 0.7);
    clearCardResult();
    ASSERT_EQ(rapidocr_back(back.image, back.lines, camera), 0);
    expectCard(card_result, c);
  }
}

INSTANTIATE_TEST_SUITE_P(Cards, RealBacks, testing::ValuesIn(backCases()), caseName);

}  // namespace
