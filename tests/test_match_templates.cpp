// OCR-B template sheets: the glyph index, the sheet choice by pitch, the
// sheets the build generates, and the loader's cut on good and bad sheets.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "matchocr.h"

namespace fs = std::filesystem;

namespace {

const char* const kSheets[kSheetCount] = {"ocrb_24.png", "ocrb_26.png", "ocrb_28.png",
                                          "ocrb_30.png", "ocrb_32.png", "ocrb_34.png"};

// A scratch directory of its own per test, removed afterwards.
class ScratchDir {
 public:
  explicit ScratchDir(const std::string& name)
      : path_(fs::path(VYR_BINARY_DIR) / "test_match_scratch" / name) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~ScratchDir() { fs::remove_all(path_); }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  std::string str() const { return path_.string(); }

 private:
  fs::path path_;
};

// A synthetic sheet: 37 filled bars of w x h at a pitch of `pitch` pixels,
// the first at (x0, y0); an optional extra blob.
cv::Mat barSheet(int w, int h, int pitch, int x0, int y0, int rows, int cols) {
  cv::Mat sheet(rows, cols, CV_8UC3, cv::Scalar::all(0));
  for (int i = 0; i < kGlyphCount; ++i)
    cv::rectangle(sheet, cv::Rect(x0 + i * pitch, y0, w, h), cv::Scalar::all(255), cv::FILLED);
  return sheet;
}

}  // namespace

// ---- glyph index -----------------------------------------------------------------------

TEST(GlyphIndex, CharactersAndIndices) {
  const std::vector<std::pair<char, int>> cases = {{'<', 36}, {'Z', 35}, {'A', 10}, {'0', 0},
                                                   {'9', 9},  {'a', -1}, {' ', -1}, {'\xC3', -1}};
  for (const auto& c : cases) EXPECT_EQ(getIdxOfChar(c.first), c.second) << c.first;
  for (int i = 0; i < kGlyphCount; ++i) EXPECT_EQ(getIdxOfChar(getCharOfIdx(i)), i);

  int out[11];
  EXPECT_EQ(getIdxOfString("0123456789<", out), 0);
  for (int j = 0; j < 10; ++j) EXPECT_EQ(out[j], j);
  EXPECT_EQ(out[10], 36);
}

TEST(SheetChoice, PitchBands) {
  const std::vector<std::pair<int, int>> cases = {{0, 0},  {22, 0}, {23, 1}, {24, 1},
                                                  {25, 2}, {27, 2}, {28, 3}, {29, 3},
                                                  {30, 4}, {31, 4}, {32, 5}, {40, 5}};
  const int saved = g_aCharWidth;
  for (const auto& c : cases) {
    EXPECT_EQ(sheetForPitch(c.first), c.second) << c.first;
    g_aCharWidth = c.first;
    EXPECT_EQ(getTpl(-1, 0), g_tplm[c.second]) << c.first;
  }
  g_aCharWidth = 40;
  EXPECT_EQ(getTpl(3, 0), g_tplm[3]);
  testing::internal::CaptureStdout();
  getTpl(-1, 1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("tpl=5"), std::string::npos);
  g_aCharWidth = saved;
}

// ---- the generated sheets --------------------------------------------------------------

// The loader's own cut on every sheet the build renders: 37 templates of one
// size, glyph ink bright inside a dark frame, growing with the sheet number.
TEST(GeneratedSheets, CutIntoThirtySevenTemplates) {
  int previousArea = 0;
  for (int k = 0; k < kSheetCount; ++k) {
    SCOPED_TRACE(kSheets[k]);
    const std::string path = std::string(VYR_MODELS_DIR) + "/" + kSheets[k];
    cv::Mat tpl[kGlyphCount];
    cv::Size size;
    ASSERT_EQ(getTplArr_d(path.c_str(), tpl, size), 0);
    EXPECT_GT(size.area(), previousArea);
    previousArea = size.area();
    for (int i = 0; i < kGlyphCount; ++i) {
      SCOPED_TRACE(getCharOfIdx(i));
      ASSERT_EQ(tpl[i].size(), size);
      ASSERT_EQ(tpl[i].type(), CV_8UC1);
      // Binary, with ink, and the glyph centred: nothing touches the frame row
      // and column on the left and top, which are at least one pixel wide.
      cv::Mat notBinary = (tpl[i] != 0) & (tpl[i] != 255);
      EXPECT_EQ(cv::countNonZero(notBinary), 0);
      EXPECT_GT(cv::countNonZero(tpl[i]), 20);
      EXPECT_EQ(cv::countNonZero(tpl[i].row(0)), 0);
      EXPECT_EQ(cv::countNonZero(tpl[i].col(0)), 0);
      // One glyph per template: a neighbour's ink would be a second region.
      std::vector<std::vector<cv::Point>> contours;
      cv::findContours(tpl[i].clone(), contours, cv::RETR_EXTERNAL, cv::CHAIN_APPROX_SIMPLE);
      EXPECT_EQ(contours.size(), 1u);
    }
    // The glyphs come in glyph order: '1' is narrow, 'M' and 'W' are wide.
    auto inkWidth = [&](char c) { return cv::boundingRect(tpl[getIdxOfChar(c)]).width; };
    EXPECT_LT(inkWidth('1'), inkWidth('M'));
    EXPECT_LT(inkWidth('I'), inkWidth('W'));
  }
}

TEST(GeneratedSheets, MatchInitLoadsAllInOrder) {
  testing::internal::CaptureStdout();
  ASSERT_EQ(match_init(VYR_MODELS_DIR), 0);
  const std::string log = testing::internal::GetCapturedStdout();
  std::size_t at = 0;
  for (const char* name : kSheets) {
    const std::size_t found = log.find(std::string("ocrb [") + name + "] loaded", at);
    ASSERT_NE(found, std::string::npos) << name;
    at = found;
  }
  for (int k = 0; k < kSheetCount; ++k) {
    EXPECT_GT(g_tpl_size[k].area(), 0);
    for (int i = 0; i < kGlyphCount; ++i) EXPECT_EQ(g_tplm[k][i].size(), g_tpl_size[k]);
    // Every template owns its pixels.
    EXPECT_TRUE(g_tplm[k][0].isContinuous());
    EXPECT_EQ(g_tplm[k][0].u->refcount, 1);
  }
  match_unInit();
  EXPECT_GT(g_tpl_size[5].area(), 0);  // nothing is released
}

TEST(GeneratedSheets, MissingThirdSheetStopsTheLoad) {
  ScratchDir dir("missing_third");
  for (int k = 0; k < kSheetCount; ++k)
    if (k != 2) fs::copy_file(std::string(VYR_MODELS_DIR) + "/" + kSheets[k], dir.file(kSheets[k]));
  testing::internal::CaptureStdout();
  EXPECT_EQ(match_init(dir.str().c_str()), -1);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("ocrb [ocrb_24.png] loaded"), std::string::npos);
  EXPECT_NE(log.find("ocrb [ocrb_26.png] loaded"), std::string::npos);
  EXPECT_NE(log.find("file " + dir.file("ocrb_28.png") + " is not found"), std::string::npos);
  EXPECT_EQ(log.find("ocrb_30.png"), std::string::npos);
  EXPECT_EQ(g_tpl_size[2], cv::Size(0, 0));
  // Leave the loaded state of the other tests intact.
  ASSERT_EQ(match_init(VYR_MODELS_DIR), 0);
}

// ---- the cut on hand-made sheets ---------------------------------------------------------

TEST(SheetCut, TemplateSizeAndPosition) {
  ScratchDir dir("geometry");
  // 36 bars of 8 x 20 and one glyph of 10 x 30 at (100, 5); the widest glyph
  // is 20 wide elsewhere.
  cv::Mat sheet(60, 40 * kGlyphCount + 40, CV_8UC3, cv::Scalar::all(0));
  std::vector<cv::Rect> glyphs;
  for (int i = 0; i < kGlyphCount; ++i) glyphs.emplace_back(20 + 40 * i, 15, 8, 20);
  glyphs[2] = cv::Rect(100, 5, 10, 30);
  glyphs[5] = cv::Rect(220, 10, 20, 12);
  for (const auto& g : glyphs) cv::rectangle(sheet, g, cv::Scalar::all(200), cv::FILLED);
  ASSERT_TRUE(cv::imwrite(dir.file("s.png"), sheet));

  cv::Mat tpl[kGlyphCount];
  cv::Size size;
  ASSERT_EQ(getTplArr_d(dir.file("s.png").c_str(), tpl, size), 0);
  EXPECT_EQ(size, cv::Size(22, 32));
  // The 10 x 30 glyph at (100, 5) is cut at (94, 4): six columns of margin on
  // the left and a frame of one row on top.
  const cv::Rect ink = cv::boundingRect(tpl[2]);
  EXPECT_EQ(ink, cv::Rect(6, 1, 10, 30));
  EXPECT_EQ(cv::countNonZero(tpl[2]), 300);
}

struct BadSheet {
  const char* name;
  std::function<cv::Mat()> make;
  const char* message;
};

class SheetCutRejects : public testing::TestWithParam<BadSheet> {};

TEST_P(SheetCutRejects, LeavesTemplatesAlone) {
  const BadSheet& c = GetParam();
  ScratchDir dir(c.name);
  const cv::Mat sheet = c.make();
  if (!sheet.empty()) {
    ASSERT_TRUE(cv::imwrite(dir.file("s.png"), sheet));
  }
  cv::Mat tpl[kGlyphCount];
  const cv::Mat marker(3, 3, CV_8UC1, cv::Scalar(7));
  for (auto& t : tpl) t = marker;
  cv::Size size(5, 5);
  testing::internal::CaptureStdout();
  EXPECT_EQ(getTplArr_d(dir.file("s.png").c_str(), tpl, size), -1);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find(c.message), std::string::npos) << log;
  EXPECT_EQ(size, cv::Size(0, 0));
  for (const auto& t : tpl) EXPECT_EQ(t.data, marker.data);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SheetCutRejects,
    testing::Values(BadSheet{"stray_blob",
                             [] {
                               cv::Mat s = barSheet(6, 20, 30, 10, 10, 40, 30 * kGlyphCount + 20);
                               cv::rectangle(s, cv::Rect(16 + 30 * 5, 33, 3, 3),
                                             cv::Scalar::all(255), cv::FILLED);
                               return s;
                             },
                             "number of char[38] is not 37"},
                    BadSheet{"missing_glyph",
                             [] {
                               cv::Mat s = barSheet(6, 20, 30, 10, 10, 40, 30 * kGlyphCount + 20);
                               s(cv::Rect(30 * 36, 0, 40, 40)).setTo(0);
                               return s;
                             },
                             "number of char[36] is not 37"},
                    // A glyph on the left border: its template box would start at x = -3.
                    BadSheet{"box_past_left_border",
                             [] {
                               cv::Mat s = barSheet(6, 20, 30, 10, 10, 40, 30 * kGlyphCount + 20);
                               s(cv::Rect(0, 0, 30, 40)).setTo(0);
                               cv::rectangle(s, cv::Rect(0, 10, 6, 20), cv::Scalar::all(255),
                                             cv::FILLED);
                               // One wide glyph sets the template width to 14.
                               cv::rectangle(s, cv::Rect(40, 10, 12, 20), cv::Scalar::all(255),
                                             cv::FILLED);
                               return s;
                             },
                             "reaches past the border"},
                    // Glyphs touching the bottom border.
                    BadSheet{"box_past_bottom",
                             [] { return barSheet(6, 20, 30, 10, 20, 40, 30 * kGlyphCount + 20); },
                             "reaches past the border"},
                    BadSheet{"missing_file", [] { return cv::Mat(); }, "is not found"}),
    [](const testing::TestParamInfo<BadSheet>& info) { return std::string(info.param.name); });

TEST(SheetCut, SpecksAreIgnored) {
  ScratchDir dir("specks");
  cv::Mat s = barSheet(6, 20, 30, 10, 10, 40, 30 * kGlyphCount + 20);
  // Bright specks one pixel wide or high, and dim pixels at the threshold.
  cv::line(s, cv::Point(18 + 30 * 3, 2), cv::Point(18 + 30 * 3, 6), cv::Scalar::all(255));
  cv::line(s, cv::Point(17 + 30 * 7, 35), cv::Point(22 + 30 * 7, 35), cv::Scalar::all(255));
  s(cv::Rect(19 + 30 * 9, 33, 4, 4)).setTo(cv::Scalar::all(10));
  ASSERT_TRUE(cv::imwrite(dir.file("s.png"), s));
  cv::Mat tpl[kGlyphCount];
  cv::Size size;
  EXPECT_EQ(getTplArr_d(dir.file("s.png").c_str(), tpl, size), 0);
  EXPECT_EQ(size, cv::Size(8, 22));
}
