// Letter O versus digit 0: the image test, the substring tests, and the two
// repairs of MRZ items (check-digit trials, and the document number with its
// image test).
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "ocr_o_0.h"

namespace {

const std::string kDataDir = std::string(VYR_TEST_DATA_DIR) + "/match/";

// The arguments the document-number repair passes.
int imageTest(const cv::Mat& m) { return distinguish_o_0(m, 0.55f, 0.2466f, 1.71f, false); }

// A ring of stroke 2 inside a w x h box with a margin of 3: an ellipse, or a
// rectangle whose straight sides and corners depart from any ellipse. Colour
// tiles are dark ink on light paper, single-channel ones ink 255 on 0.
enum class Shape { Ellipse, Rectangle };
cv::Mat ringTile(Shape shape, int w, int h, bool colour) {
  cv::Mat m(h + 6, w + 6, CV_8UC1, cv::Scalar(colour ? 215 : 0));
  const cv::Scalar ink(colour ? 30 : 255);
  if (shape == Shape::Rectangle)
    cv::rectangle(m, cv::Rect(3, 3, w, h), ink, 2);
  else
    cv::ellipse(m, cv::Point((w + 6) / 2, (h + 6) / 2), cv::Size(w / 2 - 1, h / 2 - 1), 0, 0, 360,
                ink, 2);
  if (colour) cv::cvtColor(m, m, cv::COLOR_GRAY2BGR);
  return m;
}

// ICAO 9303 check digit of a field, the test's own oracle.
char checkDigit(const std::string& s) {
  static const int w[3] = {7, 3, 1};
  int sum = 0;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const char c = s[i];
    const int v = (c >= '0' && c <= '9') ? c - '0' : (c >= 'A' && c <= 'Z') ? c - 'A' + 10 : 0;
    sum += v * w[i % 3];
  }
  return static_cast<char>('0' + sum % 10);
}

// An MRZ-like text: "P<" + issuing state + filler up to `start`, then the
// item, its check character and a few fillers.
std::string mrzWith(const std::string& country, int start, const std::string& item, char check) {
  std::string t = "P<" + country;
  t.resize(static_cast<std::size_t>(start), '<');
  return t + item + check + "<<<";
}

}  // namespace

// ---- image test -----------------------------------------------------------------------------

struct BandCase {
  float share;
  double area;
  float hw;
  int expected;
};

TEST(O0Decision, ThresholdBands) {
  const std::vector<BandCase> cases = {
      {6.f / 10.f, 0.0, 9.f, 1},       // 0.6000000238 reaches t1 + 0.05 = 0.600000011920929
      {5.f / 10.f, 1.0, 1.f, 0},       // 0.5 is below t1 - 0.05 = 0.500000011920929
      {59.f / 100.f, 0.2470, 9.f, 1},  // middle band: the area ratio decides
      {59.f / 100.f, 0.2460, 1.f, 0},
      {59.f / 100.f, 0.2465, 1.71f, 1},  // narrow area band: height over width decides
      {59.f / 100.f, 0.2467, 1.72f, 0},
      {0.55f, 0.2466, 1.5f, 1},
  };
  for (const auto& c : cases)
    EXPECT_EQ(decide_o_0(c.share, c.area, c.hw, 0.55f, 0.2466f, 1.71f), c.expected)
        << c.share << " " << c.area << " " << c.hw;
}

TEST(O0Image, Undecided) {
  EXPECT_EQ(imageTest(cv::Mat()), -1);
  // A blank tile has no skeleton at all.
  EXPECT_EQ(imageTest(cv::Mat::zeros(30, 20, CV_8UC1)), -1);
  // A short stroke: its outer contour has fewer than 10 points.
  cv::Mat stroke = cv::Mat::zeros(30, 20, CV_8UC1);
  cv::line(stroke, cv::Point(10, 10), cv::Point(10, 13), cv::Scalar(255));
  EXPECT_EQ(imageTest(stroke), -1);
  // A straight stroke: enough points, but the fitted ellipse has no area.
  cv::Mat bar = cv::Mat::zeros(30, 20, CV_8UC1);
  cv::line(bar, cv::Point(10, 5), cv::Point(10, 24), cv::Scalar(255));
  EXPECT_EQ(imageTest(bar), -1);
  // A two-channel picture cannot be taken as colour or as binarised.
  EXPECT_EQ(imageTest(cv::Mat::zeros(30, 20, CV_8UC2)), -1);
}

TEST(O0Image, EllipseIsOAndRectangleIsZero) {
  for (bool colour : {false, true}) {
    for (int h : {20, 26, 32, 40}) {
      SCOPED_TRACE(testing::Message() << "colour " << colour << " h " << h);
      for (int w : {h * 10 / 16, h * 10 / 13}) {
        const cv::Mat ellipse = ringTile(Shape::Ellipse, w, h, colour);
        const cv::Mat before = ellipse.clone();
        EXPECT_EQ(imageTest(ellipse), 1) << w;
        EXPECT_EQ(cv::norm(ellipse, before, cv::NORM_INF), 0);  // not modified
        EXPECT_EQ(imageTest(ringTile(Shape::Rectangle, w, h, colour)), 0) << w;
      }
    }
  }
}

// A single-channel image is taken as binarised: an ellipse ring drawn with ink
// 0 on 255 is not thresholded into ink and reads as a filled plane.
TEST(O0Image, SingleChannelIsNotThresholded) {
  cv::Mat inverted = 255 - ringTile(Shape::Ellipse, 20, 32, false);
  EXPECT_NE(imageTest(inverted), 1);
  // Opening removes a stroke of 1 before thinning: nothing is left to read.
  cv::Mat thin = cv::Mat::zeros(38, 26, CV_8UC1);
  cv::ellipse(thin, cv::Point(13, 19), cv::Size(9, 15), 0, 0, 360, cv::Scalar(255), 1);
  EXPECT_EQ(distinguish_o_0(thin, 0.55f, 0.2466f, 1.71f, false), 1);
  EXPECT_EQ(distinguish_o_0(thin, 0.55f, 0.2466f, 1.71f, true), -1);
}

// Rendered OCR-B glyphs, cut round their ink as the repair cuts a character
// box out of the colour line. The letter reads as O at every size. OCR-B's
// zero is an oval too: with the thresholds the repair passes it departs far
// enough from its ellipse only at the larger sizes, so that the repair's
// neighbour and check-digit rules carry the decision for smaller zeros.
TEST(O0Image, RenderedGlyphs) {
  const std::vector<std::pair<int, int>> zeroAt = {{24, 1}, {28, 1}, {32, 1}, {36, 1},
                                                   {40, 1}, {44, 0}, {48, 0}};
  for (const auto& z : zeroAt) {
    const int size = z.first;
    SCOPED_TRACE(size);
    const cv::Mat letter = cv::imread(kDataDir + "glyph_O_" + std::to_string(size) + ".png");
    const cv::Mat digit = cv::imread(kDataDir + "glyph_0_" + std::to_string(size) + ".png");
    ASSERT_FALSE(letter.empty());
    ASSERT_FALSE(digit.empty());
    EXPECT_EQ(imageTest(letter), 1);
    EXPECT_EQ(imageTest(digit), z.second);
    // Binarised already (ink 255): the letter still reads as O.
    cv::Mat bin;
    cv::cvtColor(letter, bin, cv::COLOR_BGR2GRAY);
    cv::threshold(bin, bin, 128, 255, cv::THRESH_BINARY_INV);
    EXPECT_EQ(imageTest(bin), 1);
  }
}

TEST(O0Image, LongestContourFirst) {
  const std::vector<cv::Point> a(5), b(3);
  EXPECT_TRUE(cmpSize(a, b));
  EXPECT_FALSE(cmpSize(b, a));
  EXPECT_FALSE(cmpSize(a, a));
}

// ---- substring tests -------------------------------------------------------------------------

struct SubCase {
  const char* s;
  int start, len;
  bool numeric, letter;
};

TEST(O0Substring, Table) {
  const std::vector<SubCase> cases = {
      {"12O<34", 0, 6, true, false},
      {"ABO<cd", 0, 6, false, true},
      {"O<O<", 0, 4, true, true},
      {"A1", 0, 2, false, false},
      {"AB12", 2, 2, true, false},
      {"AB12", 0, 0, true, true},
      {"AB12", 4, 0, true, true},
      {"AB12", 5, 0, false, false},
      {"AB12", 2, 3, false, false},
      {"AB12", -1, 1, false, false},
      {"AB12", 0, -1, false, false},
      {"A\xC3"
       "B",
       0, 3, false, false},
      {"0 1", 0, 3, false, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(isNumericSubstring(c.s, c.start, c.len), c.numeric) << c.s << " " << c.start;
    EXPECT_EQ(isLetterSubstring(c.s, c.start, c.len), c.letter) << c.s << " " << c.start;
  }
}

// ---- repair by check-digit trials ---------------------------------------------------------------

struct DiyCase {
  const char* name;
  const char* country;
  const char* item;      // as read
  const char* checkFor;  // the spelling the check digit is computed for; "<" for a filler check
  const char* repaired;  // the item in `text` afterwards
  bool result;
  const char* log;  // expected in the log, "" for no closing line
};

class DiyRepair : public testing::TestWithParam<DiyCase> {};

TEST_P(DiyRepair, Table) {
  const DiyCase c = GetParam();
  const int start = 50;
  const char check = std::string(c.checkFor) == "<" ? '<' : checkDigit(c.checkFor);
  std::string text = mrzWith(c.country, start, c.item, check);
  std::string out = text;
  const std::string before = text;
  testing::internal::CaptureStdout();
  const bool r = correctDiy_o0(&text[0], &out[0], start, static_cast<int>(std::strlen(c.item)));
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, c.result) << log;
  EXPECT_EQ(text.substr(start, std::strlen(c.item)), c.repaired) << log;
  // Only the item changes, and `out` only when the repaired item passes.
  EXPECT_EQ(text.substr(0, start), before.substr(0, start));
  EXPECT_EQ(text.substr(start + std::strlen(c.item)), before.substr(start + std::strlen(c.item)));
  EXPECT_EQ(out, r ? text : before);
  if (*c.log)
    EXPECT_NE(log.find(c.log), std::string::npos) << log;
  else
    EXPECT_EQ(log.find("verify:"), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DiyRepair,
    testing::Values(
        // One O/0 that reads correctly: the baseline passes, nothing changes.
        DiyCase{"one_correct", "UTO", "12A045", "12A045", "12A045", false, "nochange"},
        // One O/0 whose flip makes the check digit pass.
        DiyCase{"one_flipped", "UTO", "12AO45", "12A045", "12A045", true, "modified, "},
        // A filler check character lets every trial pass: kept as read.
        DiyCase{"filler_check", "UTO", "12AO45", "<", "12AO45", false, "nochange"},
        // Digits only: every O/0 becomes 0 without trials.
        DiyCase{"all_digits", "UTO", "1O2O34", "102034", "102034", true, "verify: true"},
        // Letters only: each position is tried as O from the left.
        DiyCase{"all_letters", "UTO", "ABO0CD", "ABOOCD", "ABOOCD", true, "verify: true"},
        // For China a failed O trial leaves 0, and the final trial fails.
        DiyCase{"all_letters_chn", "CHN", "ABO0CD", "ABOOCD", "AB00CD", false, "verify: false"},
        // Mixed: a pair between a digit and a letter gets the four pair trials.
        DiyCase{"mixed_pair_both_O", "UTO", "A1O0B2", "A1OOB2", "A1OOB2", true, "verify: true"},
        DiyCase{"mixed_pair_mixed", "UTO", "A1O0B2", "A10OB2", "A10OB2", true, "verify: true"},
        // A pair at the start followed by a digit: as read, 00, OO, then mixed.
        DiyCase{"pair_at_start", "UTO", "0O1A23", "O01A23", "O01A23", true, "verify: true"},
        // Fillers at the end are neither counted, examined nor written.
        DiyCase{"trailing_fillers", "UTO", "A1O2<<", "A102<<", "A102<<", true, "verify: true"},
        // A lower-case o is a letter, not a candidate.
        DiyCase{"lower_case_o", "UTO", "ABoC12", "ABoC12", "ABoC12", false, "no 0"},
        // More O/0 than other characters: refused silently.
        DiyCase{"too_many", "UTO", "O0O1", "O0O1", "O0O1", false, ""}),
    [](const testing::TestParamInfo<DiyCase>& info) { return std::string(info.param.name); });

TEST(DiyRepairFrame, InvalidRanges) {
  char text[] = "P<UTO<<12AO45<";
  char out[sizeof text];
  std::memcpy(out, text, sizeof text);
  for (const auto& range : std::vector<std::pair<int, int>>{{7, 2}, {-1, 5}, {7, 8}}) {
    testing::internal::CaptureStdout();
    EXPECT_FALSE(correctDiy_o0(text, out, range.first, range.second));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Invalid substring range."),
              std::string::npos);
  }
  EXPECT_STREQ(text, "P<UTO<<12AO45<");
  EXPECT_FALSE(correctDiy_o0(nullptr, out, 0, 3));

  // A text just as long as the item: no issuing state, nothing read past it.
  char tiny[] = "1O3";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(correctDiy_o0(tiny, tiny, 0, 3));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("nochange"), std::string::npos);
  EXPECT_STREQ(tiny, "1O3");
}

// The repair works in place when text and out are one buffer.
TEST(DiyRepairFrame, SameBuffer) {
  std::string text = mrzWith("UTO", 44, "12AO45", checkDigit("12A045"));
  testing::internal::CaptureStdout();
  EXPECT_TRUE(correctDiy_o0(&text[0], &text[0], 44, 6));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(text.substr(44, 7), std::string("12A045") + checkDigit("12A045"));
}

// ---- document-number repair
// ------------------------------------------------------------------------

struct IdCase {
  const char* name;
  const char* country;
  const char* item;   // as read, 9 characters
  const char* tiles;  // per position: 'O' an ellipse ring (the image test says O), '0' a
                      // rectangle ring (it says 0), ' ' a box off the line (undecided)
  const char* repaired;
  bool checkRepaired;  // check digit computed for the repaired number (else for `item`)
  bool result;
  const char* log;
};

class IdRepair : public testing::TestWithParam<IdCase> {
 protected:
  // A colour line of nine cells of 26 x 40 on paper, with the rings drawn in.
  void buildLine(const char* tiles) {
    line_ = cv::Mat(40, 9 * 26, CV_8UC3, cv::Scalar::all(215));
    boxes_.clear();
    for (int k = 0; k < 9; ++k) {
      const cv::Rect cell(k * 26, 0, 26, 40);
      if (tiles[k] == ' ') {
        boxes_.emplace_back(-100, 0, 26, 40);
        continue;
      }
      boxes_.push_back(cell);
      const cv::Mat ring =
          ringTile(tiles[k] == 'O' ? Shape::Ellipse : Shape::Rectangle, 18, 30, true);
      ring.copyTo(line_(cv::Rect(cell.x + 1, 2, ring.cols, ring.rows)));
    }
  }
  cv::Mat line_;
  std::vector<cv::Rect> boxes_;
};

TEST_P(IdRepair, Table) {
  const IdCase c = GetParam();
  buildLine(c.tiles);
  const char check = checkDigit(c.checkRepaired ? c.repaired : c.item);
  std::string text = mrzWith(c.country, 44, c.item, check);
  std::string out = text;
  const std::string before = text;
  testing::internal::CaptureStdout();
  const bool r = correctPassportid_o0(&text[0], &out[0], line_, boxes_, 44, 9);
  const std::string log = testing::internal::GetCapturedStdout();
  EXPECT_EQ(r, c.result) << log;
  EXPECT_EQ(text.substr(44, 9), c.repaired) << log;
  EXPECT_EQ(text[53], check);
  EXPECT_EQ(out, r ? text : before);
  EXPECT_NE(log.find(std::string("id: ") + c.item), std::string::npos) << log;
  EXPECT_NE(log.find(c.log), std::string::npos) << log;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, IdRepair,
    testing::Values(
        // No letter but O: every O/0 from position 1 on becomes 0 without an
        // image test; the first place keeps its O when its image is undecided.
        IdCase{"no_letters", "UTO", "O12O45O78", "   O  O  ", "O12045078", true, true,
               "verify: true"},
        IdCase{"no_letters_first_is_zero", "UTO", "O12O45O78", "0  O  O  ", "012045078", true, true,
               "verify: true"},
        // Korea: an O/0 followed by a digit in the first place is O.
        IdCase{"korea_first", "KOR", "012345678", "0        ", "O12345678", true, true, "modified"},
        IdCase{"other_first", "UTO", "012345678", "0        ", "012345678", false, false,
               "nochange"},
        // Singapore: a number holding a letter and ending in O/0 ends in O.
        IdCase{"singapore_last", "SGP", "S12345670", "        0", "S1234567O", true, true,
               "modified"},
        // Letters present, positions 2 on numeric: the last O becomes 0.
        IdCase{"numeric_tail", "UTO", "E1234567O", "        O", "E12345670", true, true,
               "verify: true"},
        IdCase{"numeric_tail_bad_check", "UTO", "E1234567O", "        O", "E12345670", false, false,
               "verify: false"},
        // A pair between two digits, a letter further on: both 0, one walk step.
        IdCase{"pair_between_digits", "UTO", "G1OO234A5", "  OO     ", "G100234A5", true, true,
               "verify: true"},
        // A single inner O/0 between a digit and a letter: the image decides,
        // an undecided image gives O.
        IdCase{"single_inner_zero_image", "UTO", "AB1OC2345", "   0     ", "AB10C2345", true, true,
               "verify: true"},
        IdCase{"single_inner_letter_image", "UTO", "AB1OC2345", "   O     ", "AB1OC2345", false,
               false, "nochange"},
        IdCase{"single_inner_undecided", "UTO", "AB10C2345", "         ", "AB1OC2345", true, true,
               "modified"},
        // Every O/0 already right: nothing changes even though the number passes.
        IdCase{"already_right", "UTO", "L898902C3", "     0   ", "L898902C3", false, false,
               "nochange"}),
    [](const testing::TestParamInfo<IdCase>& info) { return std::string(info.param.name); });

class IdRepairFrame : public IdRepair {};

TEST_F(IdRepairFrame, EarlyExits) {
  buildLine("         ");
  struct Exit {
    const char* item;
    std::size_t boxes;
    const char* log;
  };
  for (const Exit& e : {Exit{"AB1OC2345", 8, "PosRect length error"},
                        Exit{"AB<<<<<<<", 9, "new len < 3"}, Exit{"AB1234567", 9, "no 0O"}}) {
    std::vector<cv::Rect> boxes(boxes_.begin(), boxes_.begin() + e.boxes);
    std::string text = mrzWith("UTO", 44, e.item, '1');
    const std::string before = text;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(correctPassportid_o0(&text[0], &text[0], line_, boxes, 44, 9));
    const std::string log = testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(e.log), std::string::npos) << log;
    EXPECT_EQ(log.find("verify:"), std::string::npos);
    EXPECT_EQ(text, before);
  }
  std::string shortText = "P<UTO";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(correctPassportid_o0(&shortText[0], &shortText[0], line_, boxes_, 44, 9));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Invalid substring range."),
            std::string::npos);
}

// Boxes reaching past the line image are cut to it: the visible part still
// decides, a box wholly outside leaves the image test undecided.
TEST_F(IdRepairFrame, BoxesOutsideTheLineAreCut) {
  buildLine("   0     ");
  const std::string item = "AB1OC2345";
  struct Boxes {
    cv::Rect box3;
    const char* repaired;
  };
  for (const Boxes& b : {Boxes{cv::Rect(3 * 26, -10, 26, 60), "AB10C2345"},
                         Boxes{cv::Rect(3 * 26, 0, 26, 400), "AB10C2345"},
                         Boxes{cv::Rect(1000, 0, 26, 40), "AB1OC2345"},
                         Boxes{cv::Rect(-40, -40, 26, 40), "AB1OC2345"}}) {
    std::vector<cv::Rect> boxes = boxes_;
    boxes[3] = b.box3;
    std::string text = mrzWith("UTO", 44, item, checkDigit("AB10C2345"));
    testing::internal::CaptureStdout();
    correctPassportid_o0(&text[0], &text[0], line_, boxes, 44, 9);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(text.substr(44, 9), b.repaired) << b.box3;
  }
}
