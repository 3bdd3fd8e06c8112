// The released models directory (tools/build_models.sh): every recogniser and
// detector loads through the library's own loaders and reads a rendered
// OCR-B page. Skipped when models-release has not been built.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "nn/CrnnNet.h"
#include "nn/DbNet.h"
#include "nn/OcrUtils.h"
#include "vyr_crnn.h"

namespace {

const char* const kLines[] = {
    "PASSPORT  REPUBLIC OF UTOPIA",
    "Surname: ERIKSSON   Given names: ANNA MARIA",
    "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
    "L898902C36UTO7408122F1204159ZE184226B<<<<<10",
};

std::string modelsDir() { return std::string(VYR_SOURCE_DIR) + "/models-release"; }

bool exists(const std::string& p) {
  struct stat st;
  return ::stat(p.c_str(), &st) == 0;
}

cv::Mat fixture(const std::string& name) {
  return cv::imread(std::string(VYR_TEST_DATA_DIR) + "/real_models/" + name, cv::IMREAD_COLOR);
}

class RealModels : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (!exists(modelsDir() + "/ocrv3_mrz.p")) return;
    std::string dir = modelsDir();
    initResult_ = init_crnn(&dir[0], 0);
  }
  static void TearDownTestSuite() { uninit_crnn(); }
  void SetUp() override {
    if (!exists(modelsDir() + "/ocrv3_mrz.p")) GTEST_SKIP() << "models-release not built";
    ASSERT_EQ(initResult_, 0);
  }
  static int initResult_;
};
int RealModels::initResult_ = -1;

TEST_F(RealModels, DictionariesHaveTheLayoutsTheRestrictedModesNeed) {
  ASSERT_NE(g_crnnNet, nullptr);
  ASSERT_NE(g_crnnNet_mrz, nullptr);
  ASSERT_NE(g_crnnNet_cn, nullptr);
  // English: classes 1..43 are '0'..'Z'; the MRZ dictionary: blank, digits, '<', letters.
  ASSERT_GE(g_crnnNet->keys.size(), 45u);
  for (int c = 0; c < 43; ++c) EXPECT_EQ(g_crnnNet->keys[1 + c], std::string(1, char('0' + c)));
  const std::string mrz = "0123456789<ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  ASSERT_EQ(g_crnnNet_mrz->keys.size(), mrz.size() + 2);
  for (size_t i = 0; i < mrz.size(); ++i) EXPECT_EQ(g_crnnNet_mrz->keys[1 + i], mrz.substr(i, 1));
  EXPECT_EQ(g_crnnNet_cn->keys.size(), 6625u);
}

TEST_F(RealModels, MrzRecognisersReadTightLineCrops) {
  struct Case {
    int line;
    int type;
    char mode;
  };
  // The English model is the general one restricted to the MRZ alphabet: it
  // reads the name line exactly (the number line has an O the general model
  // reads as 0, which the system's O/0 rules settle).
  const Case cases[] = {{2, CRNN_TYPE_MRZ, 'O'}, {3, CRNN_TYPE_MRZ, 'O'}, {2, CRNN_TYPE_EN, 'O'},
                        {2, CRNN_TYPE_EN_V3, 'O'}};
  for (const Case& c : cases) {
    cv::Mat img = fixture("line" + std::to_string(c.line) + ".png");
    ASSERT_FALSE(img.empty());
    TextLine t = _crnn_extract(img, c.type, c.mode, 0.f);
    EXPECT_EQ(t.text, kLines[c.line]) << "type " << c.type;
    EXPECT_EQ(t.scores.size(), t.text.size());
  }
}

TEST_F(RealModels, ChineseRecogniserReadsPrintedText) {
  cv::Mat img = fixture("line0.png");
  ASSERT_FALSE(img.empty());
  TextLine t = crnn_extract_cn(img);
  EXPECT_NE(t.text.find("REPUBLIC"), std::string::npos) << t.text;
  EXPECT_NE(t.text.find("PASSPORT"), std::string::npos) << t.text;
}

TEST_F(RealModels, DetectorsFindEveryLineAtSeveralSizesInOneNet) {
  cv::Mat page = fixture("page.png");
  ASSERT_FALSE(page.empty());
  for (DbNet* det : {g_dbNet, g_dbNet_mrz}) {
    ASSERT_NE(det, nullptr);
    // Different sizes through the same net: a wrongly converted detector
    // gives empty maps after the first size without any error.
    for (int target : {640, 448, 640}) {
      ScaleParam s = getScaleParam(page, target);
      std::vector<TextBox> boxes = det->getTextBoxes(page, s, 0.3f, 0.5f, 1.6f);
      const int lineY[] = {30, 100, 170, 225};
      for (int y : lineY) {
        bool found = false;
        for (const TextBox& b : boxes) {
          cv::Rect r = cv::boundingRect(b.points);
          if (r.y <= y + 14 && r.y + r.height >= y + 10 && r.width > 100) found = true;
        }
        EXPECT_TRUE(found) << "line at y " << y << ", size " << target;
      }
    }
  }
}

}  // namespace
