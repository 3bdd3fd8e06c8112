// The matching passes: argument and box tests, the blank test, the MRZ index
// mapping, the all-or-nothing write, the one-line pass, and rendered ICAO
// specimen zones read with the digit, letter and alphanumeric passes.
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "char_segment.h"
#include "global.h"
#include "matchocr.h"
#include "preprocess.h"
#include "result.h"

namespace {

const std::string kDataDir = std::string(VYR_TEST_DATA_DIR) + "/match/";

const char* const kTd3[2] = {"P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<",
                             "L898902C36UTO7408122F1204159ZE184226B<<<<<10"};
const char* const kTd2[2] = {"I<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<",
                             "D231458907UTO7408122F1204159<<<<<<<6"};
const char* const kApec3 = "ERIKSSON<<ANNA<MARIA<<<<<<<<<<";

// Ink box of a cell of a binarised line (ink 255), the cell itself when empty.
cv::Rect inkBox(const cv::Mat& bin, const cv::Rect& cell) {
  std::vector<cv::Point> ink;
  cv::findNonZero(bin(cell), ink);
  if (ink.empty()) return cell;
  return cv::boundingRect(ink) + cell.tl();
}

// A rendered zone as segmentation hands it over: the binarised lines side by
// side with ink bright, the cell boxes, the boxes shrunk to ink and the pitch.
struct Zone {
  cv::Mat line;  // g_line12_2
  std::vector<cv::Rect> cells;
  std::vector<cv::Rect> ink;
  int pitch = 0;
};

enum class Look { Clean, Blurred };

// Reads "<set>_<size>_l<n>.png" and its box list, binarises at mid-grey.
Zone loadZone(const std::string& set, int size, int lines, Look look = Look::Clean) {
  Zone z;
  std::ifstream boxes(kDataDir + set + "_" + std::to_string(size) + ".txt");
  std::vector<cv::Rect> all;
  for (cv::Rect r; boxes >> r.x >> r.y >> r.width >> r.height;) all.push_back(r);
  const std::size_t perLine = all.size() / lines;
  int offset = 0;
  std::vector<cv::Mat> bins;
  for (int n = 0; n < lines; ++n) {
    cv::Mat grey = cv::imread(
        kDataDir + set + "_" + std::to_string(size) + "_l" + std::to_string(n + 1) + ".png",
        cv::IMREAD_GRAYSCALE);
    if (grey.empty()) return Zone();
    if (look == Look::Blurred) cv::GaussianBlur(grey, grey, cv::Size(0, 0), 0.8);
    cv::Mat bin;
    cv::threshold(grey, bin, 128, 255, cv::THRESH_BINARY_INV);
    for (std::size_t i = 0; i < perLine; ++i) {
      const cv::Rect cell = all[n * perLine + i];
      z.cells.push_back(cell + cv::Point(offset, 0));
      z.ink.push_back(inkBox(bin, cell) + cv::Point(offset, 0));
    }
    offset += bin.cols;
    bins.push_back(bin);
  }
  cv::hconcat(bins, z.line);
  // The pitch as segmentation measures it on the last line.
  const std::size_t first = (lines - 1) * perLine;
  const cv::Rect a = z.cells[first + 1];
  const cv::Rect b = z.cells[first + perLine - 2];
  z.pitch = (b.x + b.width - a.x + 4) / static_cast<int>(perLine - 2);
  return z;
}

void handOver(const Zone& z) {
  g_line12_2 = z.line;
  g_posRect = z.cells;
  g_posRect_no_blank = z.ink;
  g_aCharWidth = z.pitch;
}

std::string mrzText() { return std::string(passport_ocr_result.mrz, 88); }

class Passes : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    testing::internal::CaptureStdout();
    loaded_ = match_init(VYR_MODELS_DIR) == 0;
    testing::internal::GetCapturedStdout();
  }
  void SetUp() override {
    ASSERT_TRUE(loaded_);
    clearResult();
  }
  // Runs the three passes of a two-line zone and returns the text.
  static int readZone(const char* format) {
    int rc = process_matchocr(wl_num, format, "N", -1);
    if (rc == 0) rc = process_matchocr(wl_let, format, "L", -1);
    if (rc == 0) rc = process_matchocr(wl_2, format, "O", -1);
    return rc;
  }
  static bool loaded_;
};
bool Passes::loaded_ = false;

// ---- the strong test: rendered specimen zones --------------------------------------------

struct SpecimenCase {
  int size;   // font size of the rendering
  int sheet;  // the sheet its pitch selects
  Look look;
};

class Specimen : public Passes, public testing::WithParamInterface<SpecimenCase> {};

TEST_P(Specimen, Td3ReadsExactly) {
  const SpecimenCase c = GetParam();
  const Zone z = loadZone("td3", c.size, 2, c.look);
  ASSERT_EQ(z.cells.size(), 88u);
  ASSERT_EQ(sheetForPitch(z.pitch), c.sheet) << "pitch " << z.pitch;
  handOver(z);
  testing::internal::CaptureStdout();
  const int rc = readZone(lineformat);
  const std::string log = testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc, 0) << log;

  // Positions of class X (line-2 positions 34 to 42) are left to an extra pass.
  std::string expected = std::string(kTd3[0]) + kTd3[1];
  for (int i = 77; i <= 85; ++i) expected[i] = ' ';
  EXPECT_EQ(mrzText(), expected);
  EXPECT_NE(log.find("OL0[" + expected + "]"), std::string::npos);
  EXPECT_NE(log.find("2: ==> "), std::string::npos);
  for (int i = 0; i < 88; ++i) {
    if (expected[i] == ' ')
      EXPECT_EQ(passport_ocr_result.char_conf[i], 0) << i;
    else
      EXPECT_GT(passport_ocr_result.char_conf[i], 800) << i << " " << expected[i];
  }

  // The extra pass over the rest of the optional data fills the X positions.
  ASSERT_EQ(process_matchocr(wl_2, lineformat_RO, "O", -1), 0);
  EXPECT_EQ(mrzText(), std::string(kTd3[0]) + kTd3[1]);
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Specimen,
    // Each sheet's own font size, then other sizes in the sheets' pitch bands.
    testing::Values(SpecimenCase{31, 0, Look::Clean}, SpecimenCase{33, 1, Look::Clean},
                    SpecimenCase{36, 2, Look::Clean}, SpecimenCase{40, 3, Look::Clean},
                    SpecimenCase{42, 4, Look::Clean}, SpecimenCase{46, 5, Look::Clean},
                    SpecimenCase{32, 1, Look::Clean}, SpecimenCase{37, 2, Look::Clean},
                    SpecimenCase{39, 3, Look::Clean}, SpecimenCase{43, 4, Look::Clean},
                    SpecimenCase{44, 4, Look::Clean}, SpecimenCase{47, 5, Look::Clean},
                    SpecimenCase{48, 5, Look::Clean}, SpecimenCase{33, 1, Look::Blurred},
                    SpecimenCase{36, 2, Look::Blurred}, SpecimenCase{42, 4, Look::Blurred},
                    SpecimenCase{46, 5, Look::Blurred}),
    [](const testing::TestParamInfo<SpecimenCase>& info) {
      return "font" + std::to_string(info.param.size) +
             (info.param.look == Look::Blurred ? "_blurred" : "");
    });

// 2 x 36: line 2 lands at MRZ index 44; indices 36-43 and 80-87 stay blank.
TEST_F(Passes, Td2ReadsExactlyWithLineTwoAt44) {
  const Zone z = loadZone("td2", 37, 2);
  ASSERT_EQ(z.cells.size(), 72u);
  handOver(z);
  testing::internal::CaptureStdout();
  const int rc = readZone(lineformat_72);
  testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc, 0);
  const std::string expected =
      std::string(kTd2[0]) + std::string(8, ' ') + kTd2[1] + std::string(8, ' ');
  EXPECT_EQ(mrzText(), expected);
  EXPECT_EQ(passport_ocr_result.char_conf[40], 0);
  EXPECT_GT(passport_ocr_result.char_conf[44], 800);
  EXPECT_GT(passport_ocr_result.char_conf[79], 800);
}

// ---- argument and box tests -------------------------------------------------------------

struct ArgCase {
  const char* name;
  const char* whitelist;
  const char* format;  // nullptr: the 88-character lineformat
  const char* chartype;
  std::size_t boxes;     // size of g_posRect
  std::size_t inkBoxes;  // size of g_posRect_no_blank
  int sheet;
  int rc;
  const char* message;
};

class PassArguments : public Passes, public testing::WithParamInterface<ArgCase> {};

TEST_P(PassArguments, AreRefusedBeforeAnythingIsWritten) {
  const ArgCase c = GetParam();
  g_line12_2 = cv::Mat::zeros(60, 2000, CV_8UC1);
  g_posRect.assign(c.boxes, cv::Rect(0, 0, 20, 30));
  g_posRect_no_blank.assign(c.inkBoxes, cv::Rect(0, 0, 20, 30));
  const std::string wl101(101, 'A');
  const char* wl = std::strcmp(c.whitelist, "101") == 0 ? wl101.c_str() : c.whitelist;
  passport_ocr_result.mrz[3] = 'Q';
  testing::internal::CaptureStdout();
  EXPECT_EQ(process_matchocr(wl, c.format ? c.format : lineformat, c.chartype, c.sheet), c.rc);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find(c.message), std::string::npos) << log;
  EXPECT_EQ(passport_ocr_result.mrz[3], 'Q');
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PassArguments,
    testing::Values(
        ArgCase{"empty_whitelist", "", nullptr, "N", 88, 88, -1, -1, "whitelist is not valid"},
        ArgCase{"long_whitelist", "101", nullptr, "N", 88, 88, -1, -1, "whitelist is not valid"},
        ArgCase{"class_code_19", "0123", nullptr, "\x13", 88, 88, -1, -1, "char type is not valid"},
        ArgCase{"class_code_negative", "0123", nullptr, "\xC3", 88, 88, -1, -1,
                "char type is not valid"},
        ArgCase{"87_boxes", "0123", nullptr, "N", 87, 87, -1, -18, "char rect number=87"},
        ArgCase{"no_boxes", "0123", nullptr, "N", 0, 0, -1, -18, "char rect number=0"},
        ArgCase{"format_too_short", "0123",
                "LLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLLOOOOOOOOONLLLNNNNNNNLNNNNNNNOOOOOOON", "N", 88,
                88, -1, -1, "length of format string must be 88"},
        // The ink boxes must pair up with the boxes one for one.
        ArgCase{"fewer_ink_boxes", "0123", nullptr, "N", 88, 44, -1, -18,
                "char rect number=88, ink boxes=44"},
        ArgCase{"sheet_out_of_range", "0123", nullptr, "N", 88, 88, 6, -1,
                "template sheet 6 is not valid"},
        ArgCase{"whitelist_not_glyphs", "01a", nullptr, "N", 88, 88, -1, -1,
                "whitelist is not valid"}),
    [](const testing::TestParamInfo<ArgCase>& info) { return std::string(info.param.name); });

TEST_F(Passes, UnusedClassMatchesNothing) {
  const Zone z = loadZone("td3", 37, 2);
  handOver(z);
  for (const char* cls : {"Q", "\x14", "L"}) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(process_matchocr(wl_2, lineformat_RN, cls, -1), 0) << cls;
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find("2: ==> "), std::string::npos);
    EXPECT_NE(log.find("OL0["), std::string::npos);
    EXPECT_EQ(mrzText(), std::string(88, ' '));
  }
}

// A box that lies partly outside the line image fails its position, and with
// it the whole pass, instead of being read out of bounds.
TEST_F(Passes, BoxOutsideTheLineFailsThePass) {
  Zone z = loadZone("td3", 37, 2);
  handOver(z);
  g_posRect_no_blank[53] = cv::Rect(z.line.cols - 10, 5, 20, 30);  // a check digit
  testing::internal::CaptureStdout();
  EXPECT_EQ(process_matchocr(wl_num, lineformat, "N", -1), -1);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_NE(log.find("pos[53] box"), std::string::npos) << log;
  EXPECT_EQ(mrzText(), std::string(88, ' '));

  g_posRect_no_blank = z.ink;
  g_line12_2 = cv::Mat();
  testing::internal::CaptureStdout();
  EXPECT_EQ(process_matchocr(wl_num, lineformat, "N", -1), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("line image is not valid"),
            std::string::npos);
}

// One position that cannot be matched fails the pass: nothing of it is kept.
TEST_F(Passes, OneFailingPositionWritesNothing) {
  Zone z = loadZone("td3", 37, 2);
  // A line image lower than the templates: no candidate of any glyph fits,
  // while the blank test still sees ink enough to send every box to the
  // matcher.
  handOver(z);
  cv::Mat thin = z.line.rowRange(0, 24).clone();
  thin(cv::Rect(0, 0, 30, 24)).setTo(255);
  g_line12_2 = thin;
  for (auto& r : g_posRect_no_blank) r = cv::Rect(0, 0, 30, 24);
  passport_ocr_result.mrz[0] = 'Q';
  testing::internal::CaptureStdout();
  EXPECT_EQ(process_matchocr(wl_let, lineformat, "L", -1), -1);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(log.find("2: ==> "), std::string::npos);
  EXPECT_EQ(passport_ocr_result.mrz[0], 'Q');
  EXPECT_EQ(passport_ocr_result.char_conf[0], 0);
}

// ---- blank test -----------------------------------------------------------------------------

struct BlankCase {
  cv::Size box;
  int bright;  // bright pixels inside the box
  bool matched;
};

class BlankTest : public Passes, public testing::WithParamInterface<BlankCase> {};

TEST_P(BlankTest, InkAndSizeDecide) {
  const BlankCase c = GetParam();
  // Thirty positions of a 30-box zone, class N on box 3 only.
  cv::Mat line = cv::Mat::zeros(80, 30 * 40, CV_8UC1);
  std::vector<cv::Rect> boxes;
  for (int i = 0; i < 30; ++i) boxes.emplace_back(10 + 40 * i, 20, 20, 30);
  const cv::Rect box(10 + 40 * 3, 20, c.box.width, c.box.height);
  for (int k = 0; k < c.bright; ++k)
    line.at<uchar>(box.y + k / std::max(1, box.width), box.x + k % std::max(1, box.width)) = 255;
  g_line12_2 = line;
  g_posRect = boxes;
  g_posRect_no_blank = boxes;
  g_posRect_no_blank[3] = box;
  g_aCharWidth = 24;
  std::string format(30, 'L');
  format[3] = 'N';
  testing::internal::CaptureStdout();
  const int rc = process_matchocr(wl_num, format.c_str(), "N", -1);
  const std::string log = testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc, 0);
  EXPECT_EQ(log.find("pos[3]=[ ]") == std::string::npos, c.matched) << log;
  EXPECT_EQ(passport_ocr_result.mrz[3] != ' ', c.matched);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BlankTest,
    testing::Values(BlankCase{{12, 19}, 100, false}, BlankCase{{12, 20}, 66, true},
                    BlankCase{{25, 10}, 65, false}, BlankCase{{25, 10}, 66, true},
                    BlankCase{{19, 19}, 200, false}, BlankCase{{0, 30}, 0, false}));

// ---- MRZ index mapping ----------------------------------------------------------------------

TEST_F(Passes, IndexMappingPerBoxCount) {
  for (int n : {88, 72, 60, 30}) {
    SCOPED_TRACE(n);
    clearResult();
    // Every box holds a copy of the '7' template of sheet 2.
    const cv::Mat& seven = g_tplm[2][7];
    cv::Mat line = cv::Mat::zeros(seven.rows + 10, n * (seven.cols + 6), CV_8UC1);
    std::vector<cv::Rect> boxes;
    for (int i = 0; i < n; ++i) {
      const cv::Rect r(3 + i * (seven.cols + 6), 5, seven.cols, seven.rows);
      seven.copyTo(line(r));
      boxes.push_back(r);
    }
    g_line12_2 = line;
    g_posRect = boxes;
    g_posRect_no_blank = boxes;
    testing::internal::CaptureStdout();
    ASSERT_EQ(process_matchocr(wl_num, std::string(n, 'N').c_str(), "N", 2), 0);
    testing::internal::GetCapturedStdout();
    for (int i = 0; i < 88; ++i) {
      const bool line1 = i < n / 2;
      const bool line2 = i >= 44 && i < 44 + n / 2;
      EXPECT_EQ(passport_ocr_result.mrz[i], (line1 || line2) ? '7' : ' ') << i;
      EXPECT_EQ(passport_ocr_result.char_conf[i], (line1 || line2) ? 1000 : 0) << i;
    }
  }
}

// ---- the one-line pass --------------------------------------------------------------------------

TEST_F(Passes, OneLineReadsTheApecThirdLine) {
  const Zone z = loadZone("apec3", 33, 1);
  ASSERT_EQ(z.cells.size(), 30u);
  g_line3 = z.line;
  g_posRect3 = z.ink;
  g_aCharWidth = z.pitch;
  char out[50] = {0};
  std::memset(out + 30, 0, 20);
  testing::internal::CaptureStdout();
  ASSERT_EQ(process_matchocr_one(wl_let, std::string(30, 'L').c_str(), "L", -1, out, sizeof out),
            0);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_STREQ(out, kApec3);
  EXPECT_NE(log.find(std::string("OL0[") + kApec3 + "]"), std::string::npos);
  for (int i = 30; i < 50; ++i) EXPECT_EQ(out[i], 0);
  // The one-line pass keeps no scores.
  EXPECT_EQ(passport_ocr_result.char_conf[0], 0);
}

// The caller's buffer bounds the pass: a line of more boxes than it can take
// (with its terminator) is refused before anything is written.
TEST_F(Passes, OneLineRefusesABufferTooSmall) {
  const Zone z = loadZone("td3", 37, 2);
  g_line3 = z.line;
  g_posRect3 = z.ink;  // 88 boxes
  g_aCharWidth = z.pitch;
  char out[50];
  std::memset(out, 'x', sizeof out);
  testing::internal::CaptureStdout();
  EXPECT_EQ(process_matchocr_one(wl_2, std::string(88, 'O').c_str(), "O", -1, out, sizeof out), -1);
  EXPECT_NE(testing::internal::GetCapturedStdout().find("cannot hold 88 characters"),
            std::string::npos);
  for (char c : out) EXPECT_EQ(c, 'x');

  g_posRect3.resize(30);
  testing::internal::CaptureStdout();
  EXPECT_EQ(process_matchocr_one(wl_2, std::string(30, 'O').c_str(), "O", -1, out, 30), -1);
  EXPECT_EQ(process_matchocr_one(wl_2, std::string(30, 'O').c_str(), "O", -1, nullptr, 50), -1);
  testing::internal::GetCapturedStdout();
  for (char c : out) EXPECT_EQ(c, 'x');
}

// ---- helpers of the matching files
// ----------------------------------------------------------------

TEST(PassHelpers, PositionsAndClearing) {
  char pos[90];
  EXPECT_EQ(fetchcharpos(lineformat, pos, 'N'), 17);
  EXPECT_EQ(pos[0], 54);  // line-2 position 10, the document number's check digit
  EXPECT_EQ(pos[17], 0);
  EXPECT_EQ(fetchcharpos("LLL", pos, 'N'), 0);
  EXPECT_EQ(pos[0], 0);

  clearResult();
  std::memset(passport_ocr_result.mrz, 'A', 88);
  const char some[3] = {1, 54, 88};
  clearCharPos(const_cast<char*>(some), 3);
  EXPECT_EQ(passport_ocr_result.mrz[0], ' ');
  EXPECT_EQ(passport_ocr_result.mrz[53], ' ');
  EXPECT_EQ(passport_ocr_result.mrz[87], ' ');
  EXPECT_EQ(passport_ocr_result.mrz[1], 'A');

  charscore a = {'A', 0.5f}, b = {'B', 0.25f};
  EXPECT_TRUE(compscore(a, b));
  EXPECT_FALSE(compscore(b, a));
  const int saved = g_total_count;
  setTotalCount(1234);
  EXPECT_EQ(g_total_count, 1234);
  g_total_count = saved;
}

TEST(PassHelpers, FormatStrings) {
  for (const char* f : {lineformat, lineformat_RN, lineformat_RO}) EXPECT_EQ(std::strlen(f), 88u);
  EXPECT_EQ(std::strlen(lineformat_72), 72u);
  EXPECT_STREQ(wl_num, "0123456789<");
  EXPECT_STREQ(wl_let, "<ABCDEFGHIJKLMNOPQRSTUVWXYZ");
  EXPECT_STREQ(wl_2, "<ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
}

}  // namespace

// ---- the whole hand-over: binarised and segmented by the segmentation stage
// ----------------------

// Rendered at each sheet's own font size; the pitch the segmentation measures
// selects that sheet.
class SegmentedSpecimen : public Passes, public testing::WithParamInterface<int> {};

TEST_P(SegmentedSpecimen, Td3ReadsExactly) {
  const int sheet = GetParam();
  const int size = std::vector<int>{31, 33, 36, 40, 42, 46}[sheet];
  cv::Mat grey[2];
  for (int n = 0; n < 2; ++n) {
    grey[n] =
        cv::imread(kDataDir + "td3_" + std::to_string(size) + "_l" + std::to_string(n + 1) + ".png",
                   cv::IMREAD_GRAYSCALE);
    ASSERT_FALSE(grey[n].empty());
  }
  cv::Mat colour1, colour2, bin1, bin2;
  cv::cvtColor(grey[0], colour1, cv::COLOR_GRAY2BGR);
  cv::cvtColor(grey[1], colour2, cv::COLOR_GRAY2BGR);
  testing::internal::CaptureStdout();
  preprocess1(grey[0], grey[1], bin1, bin2, 31, 17);
  int sz1 = 0, sz2 = 0;
  const int seg = char_segment(0, bin1, bin2, colour1, colour2, sz1, sz2);
  std::string log = testing::internal::GetCapturedStdout();
  ASSERT_EQ(seg, 0) << log;
  ASSERT_EQ(g_posRect.size(), 88u);
  EXPECT_EQ(sheetForPitch(g_aCharWidth), sheet) << "pitch " << g_aCharWidth;
  g_line12_2 = 255 - g_line12;

  testing::internal::CaptureStdout();
  const int rc = readZone(lineformat);
  const int rc2 = rc == 0 ? process_matchocr(wl_2, lineformat_RO, "O", -1) : rc;
  log = testing::internal::GetCapturedStdout();
  ASSERT_EQ(rc2, 0) << log;
  EXPECT_EQ(mrzText(), std::string(kTd3[0]) + kTd3[1]) << "pitch " << g_aCharWidth;
}

INSTANTIATE_TEST_SUITE_P(Sheets, SegmentedSpecimen, testing::Range(0, kSheetCount));
