// The MRZ reader on the real recogniser call path: no scripted answers, the
// recognisers loaded by init_crnn from the fixture models. The fixture
// recogniser reads a 48-row line in steps of 4 columns, each step as the class
// whose grey level is nearest; the colour lines are painted in those levels,
// one 8-column stripe per character, while template matching reads the
// rendered OCR-B lines.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "matchocr.h"
#include "passport_scan.h"
#include "result.h"
#include "test_mrz_reader_fixtures.h"
#include "verify.h"
#include "vyr_crnn.h"

namespace fs = std::filesystem;

namespace {

using mrzfx::captured;

const std::string kL1 = "V<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<";
const std::string kL2 = "L8988901C4XXX4009078F9612109<<<<<<<<";

constexpr int kCell = 16;

// Class of a character in the MRZ dictionary ("0".."9", "<", "A".."Z" after
// the blank) and its grey level in the fixture recogniser.
int classOf(char c) {
  if (c >= '0' && c <= '9') return 1 + (c - '0');
  if (c == '<') return 11;
  return 12 + (c - 'A');
}
int level(int k) { return k == 0 ? 250 : 5 * k + 5; }

// One stripe per character (none for a blank) at columns 4..11 of its 16-column cell. Crops of
// runs start 2 left of a box, crops of one character 4 left: boxes start at
// column 2 of their cell, and a box read alone at column 4, so every crop
// begins on a cell boundary and every 4-column step is uniform.
cv::Mat stripes(const std::string& text) {
  cv::Mat img(48, kCell * static_cast<int>(text.size()) + 8, CV_8UC3, cv::Scalar::all(level(0)));
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == ' ') continue;  // a cell left blank
    const int v = level(classOf(text[i]));
    img.colRange(kCell * static_cast<int>(i) + 4, kCell * static_cast<int>(i) + 12).setTo(cv::Scalar::all(v));
  }
  return img;
}

std::vector<cv::Rect> stripeBoxes(std::size_t n, int aloneAt = -1) {
  std::vector<cv::Rect> boxes;
  for (int i = 0; i < static_cast<int>(n); ++i)
    boxes.push_back(i == aloneAt ? cv::Rect(kCell * i + 4, 2, 8, 44) : cv::Rect(kCell * i + 2, 2, 12, 44));
  return boxes;
}

class ReaderWithRecognisers : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    captured([] { templates_ = match_init(VYR_MODELS_DIR) == 0; });
    init_ncode_map();
    char tmpl[] = "/tmp/vyr_mrz_crnn_XXXXXX";
    const char* d = mkdtemp(tmpl);
    dir_ = d ? d : "";
    const std::string data = std::string(VYR_TEST_DATA_DIR) + "/crnn/";
    for (const char* name : {"ocrv4_en.p", "ocrv3_en.p", "ocrv4_cn.p", "ocrv3_mrz.p"})
      fs::copy_file(data + "crnn45.p", dir_ + "/" + name);
    for (const char* name : {"boxv3.p", "det_mrz.p"}) fs::copy_file(data + "db_stub.p", dir_ + "/" + name);
    for (const char* name : {"ocrv3_en.txt", "ocrv3_mrz.txt", "ocrv3_cn.txt"})
      fs::copy_file(data + name, dir_ + "/" + name);
  }
  static void TearDownTestSuite() {
    uninit_crnn();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  void SetUp() override {
    ASSERT_TRUE(templates_);
    set_reread_recognisers(nullptr, nullptr);  // the library's own recognisers
    std::string d = dir_;
    captured([&] { ASSERT_EQ(init_crnn(&d[0], 0), 0); });
    const mrzfx::Glyphs g = mrzfx::loadGlyphs(36);
    ASSERT_FALSE(g.strip.empty());
    mrzfx::publishZone(g, kL1, kL2, stripes(kL1), stripeBoxes(36), stripes(kL2), stripeBoxes(36, 35));
    clearOcrResult(res_);
  }
  int read() {
    cv::Mat unused;
    std::vector<cv::Rect> boxes = g_posRect;
    int rc = 0;
    log_ = captured([&] { rc = passportMatchOcr2(unused, boxes, res_); });
    return rc;
  }

  static bool templates_;
  static std::string dir_;
  OCR_RESULT res_;
  std::string log_;
};
bool ReaderWithRecognisers::templates_ = false;
std::string ReaderWithRecognisers::dir_;

TEST_F(ReaderWithRecognisers, ReadsAnMrvBVisa) {
  // The stripes read back as the lines through the library's recogniser.
  EXPECT_EQ(crnn_extract_mrz(g_rapidRec_line_1(cv::Rect(0, 0, kCell * 5, 48)), 'L').text, "V<UTO");
  ASSERT_EQ(read(), 0) << log_;
  EXPECT_EQ(res_.cert_type, 7);
  EXPECT_STREQ(res_.id, "L8988901C");
  EXPECT_STREQ(res_.name_en, "ERIKSSON  ANNA MARIA");
  EXPECT_STREQ(res_.name, "");
  EXPECT_STREQ(res_.nationality, "XXX");
  EXPECT_STREQ(res_.birthday, "400907");
  EXPECT_STREQ(res_.sex, "女");
  EXPECT_STREQ(res_.valid_to, "961210");
  EXPECT_STREQ(res_.issue_country, "UTO");
  EXPECT_EQ(res_.mrz_type, 1);
}

// Without recognisers the document head cannot be confirmed.
TEST_F(ReaderWithRecognisers, WithoutRecognisersTheHeadFails) {
  uninit_crnn();
  EXPECT_EQ(read(), MRZ_ERR_HEAD);
  EXPECT_NE(log_.find("load  model first!"), std::string::npos) << log_;
}

// A name that the recogniser reads with another length fails the read.
TEST_F(ReaderWithRecognisers, NameReadDifferentlyFails) {
  g_rapidRec_line_1 = stripes("V<UTOERIKSSON<<ANNA<MARI <<<<<<<<<<<");
  EXPECT_EQ(read(), MRZ_ERR_NAME);
  EXPECT_NE(log_.find("scan_num=19 <> ocr_num=20"), std::string::npos) << log_;
}

}  // namespace
