// Rendered machine-readable zones for the MRZ reader tests: OCR-B glyph strips
// composed into lines and published as segmentation hands them over, and a
// scripted stand-in for the text-line recognisers that reads the ground truth
// under each crop unless the test scripts another answer.
#pragma once
#include <algorithm>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "global.h"
#include "matchocr.h"
#include "result.h"
#include "verify.h"
#include "scan_utils.h"

namespace mrzfx {

constexpr int kMargin = 12;
constexpr char kGlyphOrder[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ<";

// "glyphs_<size>.png": 37 cells of one pitch, ink 30 on paper 215.
struct Glyphs {
  cv::Mat strip;
  int pitch = 0;
  int rows = 0;
};

inline Glyphs loadGlyphs(int size) {
  Glyphs g;
  g.strip = cv::imread(std::string(VYR_TEST_DATA_DIR) + "/mrz/glyphs_" + std::to_string(size) + ".png",
                       cv::IMREAD_GRAYSCALE);
  if (g.strip.empty()) return g;
  g.pitch = g.strip.cols / 37;
  g.rows = g.strip.rows;
  return g;
}

// A grey line of `text` at the strip's pitch, with a paper margin each side.
inline cv::Mat drawLine(const Glyphs& g, const std::string& text) {
  cv::Mat line(g.rows, 2 * kMargin + static_cast<int>(text.size()) * g.pitch, CV_8UC1, cv::Scalar(215));
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char* at = std::strchr(kGlyphOrder, text[i]);
    if (at == nullptr || text[i] == '\0') continue;  // anything else stays paper
    const int idx = static_cast<int>(at - kGlyphOrder);
    g.strip.colRange(idx * g.pitch, (idx + 1) * g.pitch)
        .copyTo(line.colRange(kMargin + static_cast<int>(i) * g.pitch, kMargin + static_cast<int>(i + 1) * g.pitch));
  }
  return line;
}

inline std::vector<cv::Rect> cellBoxes(int pitch, int rows, std::size_t n) {
  std::vector<cv::Rect> boxes;
  for (std::size_t i = 0; i < n; ++i) boxes.emplace_back(kMargin + static_cast<int>(i) * pitch, 0, pitch, rows);
  return boxes;
}

// A cell shrunk to its ink in a binarised line (ink 255); the cell when empty.
inline cv::Rect inkBox(const cv::Mat& bin, const cv::Rect& cell) {
  std::vector<cv::Point> ink;
  cv::findNonZero(bin(cell), ink);
  if (ink.empty()) return cell;
  return cv::boundingRect(ink) + cell.tl();
}

// Publishes two lines as segmentation does: the binarised lines side by side
// (ink bright) with the cell boxes and the ink boxes, the pitch, and the
// colour lines with their per-line boxes. `colour1` / `colour2` replace the
// colour lines (with their own boxes) when given.
inline void publishZone(const Glyphs& g, const std::string& l1, const std::string& l2,
                        const cv::Mat& colour1 = cv::Mat(), const std::vector<cv::Rect>& boxes1 = {},
                        const cv::Mat& colour2 = cv::Mat(), const std::vector<cv::Rect>& boxes2 = {}) {
  const cv::Mat grey[2] = {drawLine(g, l1), drawLine(g, l2)};
  const std::string* text[2] = {&l1, &l2};
  g_posRect.clear();
  g_posRect_no_blank.clear();
  std::vector<cv::Mat> bins;
  int offset = 0;
  for (int n = 0; n < 2; ++n) {
    cv::Mat bin;
    cv::threshold(grey[n], bin, 128, 255, cv::THRESH_BINARY_INV);
    for (const cv::Rect& cell : cellBoxes(g.pitch, g.rows, text[n]->size())) {
      g_posRect.push_back(cell + cv::Point(offset, 0));
      g_posRect_no_blank.push_back(inkBox(bin, cell) + cv::Point(offset, 0));
    }
    offset += bin.cols;
    bins.push_back(bin);
  }
  cv::hconcat(bins, g_line12_2);
  cv::bitwise_not(g_line12_2, g_line12);
  g_aCharWidth = g.pitch;
  g_aCharHeight = g.rows;
  if (colour1.empty()) {
    cv::cvtColor(grey[0], g_rapidRec_line_1, cv::COLOR_GRAY2BGR);
    g_posRect1_rgb = cellBoxes(g.pitch, g.rows, l1.size());
  } else {
    g_rapidRec_line_1 = colour1;
    g_posRect1_rgb = boxes1;
  }
  if (colour2.empty()) {
    cv::cvtColor(grey[1], g_rapidRec_line_2, cv::COLOR_GRAY2BGR);
    g_posRect2_rgb = cellBoxes(g.pitch, g.rows, l2.size());
  } else {
    g_rapidRec_line_2 = colour2;
    g_posRect2_rgb = boxes2;
  }
}

// One recogniser call as the stand-in saw it: which engine, which line, the
// cells whose centres the crop covers, and the mode letter.
struct Read {
  bool en;  // English v3, else the MRZ recogniser
  int line;
  int first;
  int count;
  char mode;
};

// Reads the ground truth under each crop of a published line; `script` may
// replace any answer. Installed through the re-reading seam for its lifetime.
class ScriptedRecognisers {
 public:
  explicit ScriptedRecognisers(int pitch = 0) : pitch_(pitch) {
    set_reread_recognisers([this](const cv::Mat& m, char mode) { return answer(m, mode, false); },
                           [this](const cv::Mat& m, char mode) { return answer(m, mode, true); });
  }
  ~ScriptedRecognisers() { set_reread_recognisers(nullptr, nullptr); }
  ScriptedRecognisers(const ScriptedRecognisers&) = delete;
  ScriptedRecognisers& operator=(const ScriptedRecognisers&) = delete;

  void setPitch(int pitch) { pitch_ = pitch; }
  // Finds the cells by the published colour-line boxes (g_posRect1_rgb ...)
  // in place of the pitch: for lines that segmentation cut out of a page or
  // card rather than lines drawn at a known pitch.
  void useBoxes(bool on) { byBoxes_ = on; }
  std::string truth[4];  // per line 1..3
  std::function<std::optional<std::string>(const Read&)> script;
  std::vector<Read> reads;

  int count(bool en) const {
    int n = 0;
    for (const Read& r : reads) n += r.en == en ? 1 : 0;
    return n;
  }

 private:
  TextLine answer(const cv::Mat& img, char mode, bool en) {
    Read r{en, 0, -1, 0, mode};
    if (!img.empty()) {
      if (img.datastart == g_rapidRec_line_1.datastart) r.line = 1;
      else if (img.datastart == g_rapidRec_line_2.datastart) r.line = 2;
      else if (img.datastart == g_rapidRec_line_3.datastart) r.line = 3;
      cv::Size whole;
      cv::Point ofs;
      img.locateROI(whole, ofs);
      const std::vector<cv::Rect>* boxes = r.line == 1   ? &g_posRect1_rgb
                                           : r.line == 2 ? &g_posRect2_rgb
                                                         : &g_posRect3_rgb;
      const int cells = !byBoxes_ ? static_cast<int>(truth[r.line].size())
                                  : std::min(static_cast<int>(truth[r.line].size()), static_cast<int>(boxes->size()));
      for (int i = 0; (pitch_ > 0 || byBoxes_) && r.line > 0 && i < cells; ++i) {
        const cv::Rect* b = byBoxes_ ? &(*boxes)[static_cast<std::size_t>(i)] : nullptr;
        const int centre = b != nullptr ? b->x + b->width / 2 : kMargin + i * pitch_ + pitch_ / 2;
        if (centre < ofs.x || centre >= ofs.x + img.cols) continue;
        if (r.first < 0) r.first = i;
        ++r.count;
      }
    }
    reads.push_back(r);
    TextLine t;
    std::optional<std::string> s;
    if (script) s = script(r);
    if (s)
      t.text = *s;
    else if (r.first >= 0)
      t.text = truth[r.line].substr(static_cast<std::size_t>(r.first), static_cast<std::size_t>(r.count));
    t.scores.assign(t.text.size(), 0.99f);
    return t;
  }
  int pitch_;
  bool byBoxes_ = false;
};

inline std::string captured(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

// The text fields of a successful read; the fields no MRZ holds must be
// empty.
struct Expected {
  int cert_type;
  const char* certificate_name;
  const char* id;
  const char* name;
  const char* name_en;
  const char* nationality;
  const char* birthday;
  const char* sex;
  const char* valid_to;
  const char* issue_country;
  const char* category;
  const char* add_id;
};

inline void expectFields(const OCR_RESULT& r, const Expected& e) {
  EXPECT_EQ(r.cert_type, e.cert_type);
  EXPECT_STREQ(r.certificate_name, e.certificate_name);
  EXPECT_STREQ(r.id, e.id);
  EXPECT_STREQ(r.name, e.name);
  EXPECT_STREQ(r.name_en, e.name_en);
  EXPECT_STREQ(r.nationality, e.nationality);
  EXPECT_STREQ(r.birthday, e.birthday);
  EXPECT_STREQ(r.sex, e.sex);
  EXPECT_STREQ(r.valid_to, e.valid_to);
  EXPECT_STREQ(r.issue_country, e.issue_country);
  EXPECT_STREQ(r.category, e.category);
  EXPECT_STREQ(r.add_id, e.add_id);
  for (const char* empty :
       {r.ethnicity, r.address, r.birth_at, r.valid_from, r.issue_date, r.issue_by, r.issue_at, r.issue_count})
    EXPECT_STREQ(empty, "");
}

// A test that reads rendered zones: the template sheets and nationality
// table loaded once, the glyph strip of size 36, and a scripted recogniser
// reading at its pitch. `log_` keeps what the last read logged.
class ZoneTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    captured([] { loaded_ = match_init(VYR_MODELS_DIR) == 0; });
    init_ncode_map();
    glyphs_ = loadGlyphs(36);
  }
  void SetUp() override {
    ASSERT_TRUE(loaded_) << "template sheets in " << VYR_MODELS_DIR;
    ASSERT_FALSE(glyphs_.strip.empty());
    rec_.setPitch(glyphs_.pitch);
  }

  static inline bool loaded_ = false;
  static inline Glyphs glyphs_;
  ScriptedRecognisers rec_;
  std::string log_;
};

// The zone-editing and scripting helpers of the reader tables.

// s filled up with fillers to n characters.
inline std::string pad(std::string s, std::size_t n) {
  s.resize(n, '<');
  return s;
}

// s with character i replaced by c.
inline std::string withChar(std::string s, std::size_t i, char c) {
  s[i] = c;
  return s;
}

using Script = std::function<std::optional<std::string>(const Read&)>;

// The MRZ recogniser answers `mrz` and the English one `en` on the crop of
// line `line` from cell `first`; everything else reads what is drawn. A
// reading shorter than its run leaves the English reading of the whole run
// to confirm it, so `en` then decides.
inline Script answer(int line, int first, const char* mrz, const char* en) {
  return [=](const Read& r) -> std::optional<std::string> {
    if (r.line != line || r.first != first) return std::nullopt;
    return std::string(r.en ? en : mrz);
  };
}

// A box far outside the line makes template matching fail at that position.
inline std::function<void()> boxOutside(int index) {
  return [index] { g_posRect_no_blank[index] = cv::Rect(g_line12_2.cols + 50, 2, 20, 30); };
}

}  // namespace mrzfx
