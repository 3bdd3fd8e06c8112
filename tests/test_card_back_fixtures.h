// Permit card backs for the back-side tests: MRZ lines drawn from the OCR-B
// glyph strips of tests/data/mrz, printed onto a plain card of the size the
// card location rectifies to, with the line boxes a line finder hands over
// (the ink box of every printed line, a short title line among them).
#pragma once
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include "result.h"
#include "test_mrz_reader_fixtures.h"

namespace cardfx {

// Card colour and the text printed above the MRZ.
const cv::Scalar kCardColour(222, 226, 214);
const std::string kTitle = "ABCDEFGHIJKL";

struct CardBack {
  cv::Mat image;                // 8-bit BGR
  std::vector<cv::Rect> lines;  // ink boxes, the title first, then the MRZ lines top first
};

// Where the lines go on the card of one camera generation (1 old, else new):
// the card size, the left edge of the drawn lines, the top of the first MRZ
// line's strip and the step between strips.
struct Layout {
  cv::Size size;
  int left, top, step;
};
inline Layout layoutFor(int oldCamera) {
  return oldCamera == 1 ? Layout{{1000, 630}, 100, 420, 48} : Layout{{870, 544}, 33, 340, 46};
}

// Prints a grey line (dark ink on paper 215) onto the card with its top-left
// corner at `at`: every pixel is darkened by the line's ink, so the paper of
// the strip leaves the card as it was. Returns the ink box on the card.
inline cv::Rect printLine(cv::Mat& card, const cv::Mat& grey, cv::Point at) {
  const cv::Rect where = cv::Rect(at, grey.size()) & cv::Rect(0, 0, card.cols, card.rows);
  cv::Mat shade;
  grey(cv::Rect(cv::Point(0, 0), where.size())).convertTo(shade, CV_32F, 1.0 / 215.0);
  cv::Mat shade3, region;
  cv::cvtColor(shade, shade3, cv::COLOR_GRAY2BGR);
  card(where).convertTo(region, CV_32FC3);
  cv::multiply(region, shade3, region);
  region.convertTo(card(where), CV_8UC3);
  std::vector<cv::Point> ink;
  cv::findNonZero(grey < 128, ink);
  return cv::boundingRect(ink) + at;
}

// A card back holding the title and the MRZ `lines` (two or three of 30
// characters).
inline CardBack composeBack(const mrzfx::Glyphs& g, const std::vector<std::string>& lines, int oldCamera) {
  const Layout l = layoutFor(oldCamera);
  CardBack back;
  back.image = cv::Mat(l.size, CV_8UC3, kCardColour);
  back.lines.push_back(printLine(back.image, mrzfx::drawLine(g, kTitle), {l.left, 60}));
  for (std::size_t i = 0; i < lines.size(); ++i)
    back.lines.push_back(
        printLine(back.image, mrzfx::drawLine(g, lines[i]), {l.left, l.top + static_cast<int>(i) * l.step}));
  return back;
}

// The back resized by `scale`, its line boxes with it: another character
// pitch, as a card rectified at another size gives.
inline void scaleBack(CardBack& back, double scale) {
  cv::resize(back.image, back.image, cv::Size(), scale, scale, cv::INTER_AREA);
  for (cv::Rect& r : back.lines)
    r = cv::Rect(cvRound(r.x * scale), cvRound(r.y * scale), cvRound(r.width * scale), cvRound(r.height * scale));
}

// MRZ vectors: Hong Kong, Macau with an 8-character number, Taiwan (names
// 张三, 王小明, 陈大文 in letter coding), and APEC cards with a 9-digit number
// and with an 8-character one. Permit backs carry a third line that the
// reader cuts out but does not read.
const std::string kHk1 = "CRH1234567830003001019M8501019";
const std::string kHk2 = "NFMFMIPN<<<<<<<<<<B<0000000000";
const std::string kHk3 = "ZHANG<<SAN<<<<<<<<<<<<<<<<<<<<";
const std::string kMo1 = "CRM1234567<00002812313F0501013";
const std::string kMo2 = "MNPFNAKBMDPH<<<<<<C<0000000000";
const std::string kMo3 = "WANG<<XIAO<MING<<<<<<<<<<<<<<<";
const std::string kTw1 = "CT12345678<80002906302F8512316";
const std::string kTw2 = "LDMCLEPDMOME<<<<<<A<0000000000";
const std::string kTw3 = "CHEN<<DA<WEN<<<<<<<<<<<<<<<<<<";
const std::string kAp1 = "CPCHN1234567897000<<<<<<<<<<<<";
const std::string kAp2 = "8501019M2901019CHN000000000000";
const std::string kAp3 = "SMITH<<JOHN<<<<<<<<<<<<<<<<<<<";
const std::string kAq1 = "CPHKG12345678<8000<<<<<<<<<<<<";
const std::string kAq2 = "8512316F2812313CHN<<<<<<<<<<<<";
const std::string kAq3 = "WANG<<XIAO<MING<<<<<<<<<<<<<<<";

struct BackCase {
  const char* label;
  std::vector<std::string> lines;
  mrzfx::Expected e;
};

inline void PrintTo(const BackCase& c, std::ostream* os) { *os << c.label; }

inline const std::vector<BackCase>& backCases() {
  static const std::vector<BackCase> cases = {
      {"HongKong", {kHk1, kHk2, kHk3},
       {3, "港澳居民来往内地通行证", "H12345678", "张三", "", "", "19850101", "男", "300101", "", "其它", ""}},
      {"Macau", {kMo1, kMo2, kMo3},
       {3, "港澳居民来往内地通行证", "M1234567", "王小明", "", "", "20050101", "女", "281231", "", "其它", ""}},
      {"Taiwan", {kTw1, kTw2, kTw3},
       {4, "台湾居民来往大陆通行证", "12345678", "陈大文", "", "", "18851231", "女", "290630", "", "其它", ""}},
      {"Apec", {kAp1, kAp2, kAp3},
       {11, "APEC商务旅行卡", "123456789", "", "SMITH  JOHN", "CHN", "850101", "男", "290101", "CHN",
        "APEC商务旅行卡", ""}},
      {"ApecFiller", {kAq1, kAq2, kAq3},
       {11, "APEC商务旅行卡", "12345678", "", "WANG  XIAO MING", "CHN", "851231", "女", "281231", "HKG",
        "APEC商务旅行卡", ""}},
  };
  return cases;
}

inline std::string caseName(const testing::TestParamInfo<BackCase>& i) { return i.param.label; }

// Every field of a successful back-side read, the MRZ text included.
inline void expectCard(const OCR_RESULT& r, const BackCase& c) {
  EXPECT_EQ(r.status, 1);
  mrzfx::expectFields(r, c.e);
  // Lines 1 and 2 only, each filled up with blanks to 44.
  EXPECT_EQ(std::string(r.mrz), c.lines[0] + std::string(14, ' ') + c.lines[1] + std::string(14, ' '));
  EXPECT_EQ(r.mrz_type, 2);
  const bool apec = c.e.cert_type == CERT_APEC;
  EXPECT_EQ(r.mrz_state, apec ? 0 : -1);
  const uint8_t permitFlags[8] = {1, 1, 1, 0, 0, 1, 0, 0};
  const uint8_t none[8] = {0};
  EXPECT_EQ(std::memcmp(r.check_flags, apec ? none : permitFlags, 8), 0);
}

}  // namespace cardfx
