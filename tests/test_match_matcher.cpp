// The character matcher: the pixel score, the candidate boxes, the choice of
// the best glyph and its behaviour at the image's edges.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "charmatch.h"
#include "matchocr.h"
#include "utils.h"

namespace {

cv::Mat blank10() { return cv::Mat::zeros(10, 10, CV_8UC1); }

// A 10 x 10 template with a 4 x 4 block of ink at (3, 3).
cv::Mat block10() {
  cv::Mat m = blank10();
  m(cv::Rect(3, 3, 4, 4)).setTo(255);
  return m;
}

std::vector<int> indicesOf(const std::string& wl) {
  std::vector<int> idx(wl.size());
  getIdxOfString(wl.c_str(), idx.data());
  return idx;
}

// 37 templates of 12 x 16: glyph i shows a vertical bar and a horizontal line
// whose places depend on i, two pixels apart from glyph to glyph, so that no
// glyph equals another shifted by one pixel.
struct BarTemplates {
  cv::Mat t[kGlyphCount];
  BarTemplates() {
    for (int i = 0; i < kGlyphCount; ++i) {
      t[i] = cv::Mat::zeros(16, 12, CV_8UC1);
      t[i](cv::Rect(1 + 2 * (i % 5), 3, 2, 10)).setTo(255);
      t[i](cv::Rect(0, 1 + 2 * (i / 5), 12, 1)).setTo(255);
    }
  }
};

}  // namespace

// ---- pixel score ----------------------------------------------------------------------------

struct ScoreCase {
  const char* name;
  cv::Mat patch;
  cv::Mat tpl;
  int score;
};

TEST(MatchScore, Table) {
  cv::Mat edgeExtra = block10();
  edgeExtra.at<uchar>(3, 7) = 255;  // touches common ink at (3, 6)
  cv::Mat cornerExtra = block10();
  cornerExtra.at<uchar>(2, 7) = 255;  // touches common ink at (3, 6) by a corner only
  cv::Mat tplExtra = block10();
  tplExtra.at<uchar>(3, 7) = 255;
  cv::Mat inverse = 255 - block10();
  const std::vector<ScoreCase> cases = {
      {"identical", block10(), block10(), 1000},
      {"both empty", blank10(), blank10(), 1000},
      {"patch ink next to common ink", edgeExtra, block10(), 1000},
      {"patch ink at a corner of common ink", cornerExtra, block10(), 990},
      {"template-only ink", block10(), tplExtra, 990},
      {"different everywhere", inverse, block10(), 0},
      {"empty patch", cv::Mat(), block10(), -1},
      {"empty template", block10(), cv::Mat(), -1},
      {"sizes differ", block10(), cv::Mat::zeros(10, 11, CV_8UC1), -1},
      {"three channels", cv::Mat::zeros(10, 10, CV_8UC3), cv::Mat::zeros(10, 10, CV_8UC3), -1},
  };
  for (const auto& c : cases) EXPECT_EQ(matchAChar_d(c.patch, c.tpl), c.score) << c.name;
}

// The tolerance reads the original difference only: a run of patch-only ink
// leading away from common ink is forgiven for its first pixel only.
TEST(MatchScore, ToleranceDoesNotChain) {
  cv::Mat patch = block10();
  patch(cv::Rect(7, 4, 3, 1)).setTo(255);  // (7..9, 4): only (7, 4) touches common ink
  EXPECT_EQ(matchAChar_d(patch, block10()), 980);
}

// The score step by step as the rule reads: D = patch XOR template, a copy D0,
// then clear every D(p) with patch ink that has an edge neighbour n with
// D0(n) = 0 and patch(n) != 0.
int referenceScore(const cv::Mat& patch, const cv::Mat& tpl) {
  cv::Mat d;
  cv::bitwise_xor(patch, tpl, d);
  const cv::Mat d0 = d.clone();
  const int dy[4] = {-1, 0, 0, 1}, dx[4] = {0, -1, 1, 0};
  for (int y = 0; y < d.rows; ++y) {
    for (int x = 0; x < d.cols; ++x) {
      if (d.at<uchar>(y, x) == 0 || patch.at<uchar>(y, x) == 0) continue;
      for (int k = 0; k < 4; ++k) {
        const int ny = y + dy[k], nx = x + dx[k];
        if (ny < 0 || nx < 0 || ny >= d.rows || nx >= d.cols) continue;
        if (d0.at<uchar>(ny, nx) == 0 && patch.at<uchar>(ny, nx) != 0) {
          d.at<uchar>(y, x) = 0;
          break;
        }
      }
    }
  }
  const int n = d.rows * d.cols;
  return (n - cv::countNonZero(d)) * 1000 / n;
}

// Random patches of every width from 1 to 70 columns (both sides of the
// 64-column fast path), binary and with arbitrary grey values.
TEST(MatchScore, AgreesWithTheRuleOnRandomImages) {
  cv::RNG rng(12345);
  for (int cols = 1; cols <= 70; ++cols) {
    for (int trial = 0; trial < 6; ++trial) {
      const int rows = rng.uniform(1, 40);
      cv::Mat patch(rows, cols, CV_8UC1), tpl(rows, cols, CV_8UC1);
      if (trial % 2 == 0) {
        rng.fill(patch, cv::RNG::UNIFORM, 0, 4);  // few values: many equal pixels
        rng.fill(tpl, cv::RNG::UNIFORM, 0, 4);
      } else {
        rng.fill(patch, cv::RNG::UNIFORM, 0, 2);
        rng.fill(tpl, cv::RNG::UNIFORM, 0, 2);
        patch *= 255;
        tpl *= 255;
      }
      ASSERT_EQ(matchAChar_d(patch, tpl), referenceScore(patch, tpl))
          << rows << " x " << cols << " trial " << trial;
    }
  }
}

// ---- candidate boxes ---------------------------------------------------------------------------

TEST(CandidateBoxes, CentredNine) {
  std::vector<cv::Rect> out = {cv::Rect(1, 1, 1, 1)};
  ASSERT_EQ(generateDistRoi(cv::Rect(30, 20, 8, 12), 0, out, 0, 0, 10, 14), 0);
  // x0 = 30 - 5 + 4 = 29, y0 = 20 - 7 + 6 = 19.
  const std::vector<cv::Point> expected = {{29, 19}, {28, 19}, {30, 19}, {29, 18}, {29, 20},
                                           {28, 18}, {28, 20}, {30, 18}, {30, 20}};
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) {
    EXPECT_EQ(out[i].tl(), expected[i]) << i;
    EXPECT_EQ(out[i].size(), cv::Size(10, 14));
  }
}

TEST(CandidateBoxes, AtTheOrigin) {
  std::vector<cv::Rect> out;
  generateDistRoi(cv::Rect(0, 0, 10, 10), 0, out, 0, 0, 10, 10);  // x0 = y0 = 0
  std::vector<cv::Point> expected = {{0, 0}, {1, 0}, {0, 1}, {-1, -1}, {-1, 1}, {1, -1}, {1, 1}};
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].tl(), expected[i]) << i;

  generateDistRoi(cv::Rect(-1, -1, 10, 10), 0, out, 0, 0, 10, 10);  // x0 = y0 = -1
  expected = {{-1, -1}, {0, -1}, {-1, 0}, {-2, -2}, {-2, 0}, {0, -2}, {0, 0}};
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].tl(), expected[i]) << i;
}

TEST(CandidateBoxes, OtherGenerators) {
  std::vector<cv::Rect> out;
  generateDistRoi2(cv::Rect(0, 0, 5, 5), 0, out, 100, 100, 10, 10);
  std::vector<cv::Point> expected = {{0, 0}, {1, 0}, {2, 0}, {0, 1}, {0, 2}};
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].tl(), expected[i]) << i;
  generateDistRoi2(cv::Rect(5, 5, 5, 5), 0, out, 16, 16, 10, 10);  // limits are strict
  expected = {{5, 5}, {4, 5}, {3, 5}, {5, 4}, {5, 3}};
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].tl(), expected[i]) << i;

  generateDistRoi_sign(cv::Rect(0, 0, 10, 10), 0, out, 0, 0, 10, 10);
  expected = {{0, 0}, {-1, 0}, {1, 0}, {0, -1}, {0, 1}};
  ASSERT_EQ(out.size(), expected.size());
  for (std::size_t i = 0; i < out.size(); ++i) EXPECT_EQ(out[i].tl(), expected[i]) << i;

  generateDistRoi_right(cv::Rect(20, 7, 8, 12), 0, out, 0, 0, 10, 14);
  ASSERT_EQ(out.size(), 9u);
  EXPECT_EQ(out[0].tl(), cv::Point(18, 7));  // right and top edges aligned
}

// ---- choosing the glyph ----------------------------------------------------------------------

class CharMatch : public testing::Test {
 protected:
  // A line of 40 x 60 with glyph g of the bar templates pasted at (x, y).
  cv::Mat lineWith(int g, int x, int y, int rows = 40, int cols = 60) {
    cv::Mat line = cv::Mat::zeros(rows, cols, CV_8UC1);
    const cv::Rect dst(x, y, 12, 16);
    const cv::Rect inside = dst & cv::Rect(0, 0, cols, rows);
    tpl_.t[g](inside - dst.tl()).copyTo(line(inside));
    return line;
  }
  BarTemplates tpl_;
};

TEST_F(CharMatch, BestGlyphAndSortedCandidates) {
  const std::string wl = wl_2;
  const std::vector<int> idx = indicesOf(wl);
  const int g = getIdxOfChar('K');
  cv::Mat line = lineWith(g, 20, 10);
  _ocrRslt best = {'?', -5};
  std::vector<_ocrRslt> cands;
  ASSERT_EQ(charMatch_d(line, cv::Rect(20, 10, 12, 16), 0, 0, tpl_.t, wl.c_str(), best, cands,
                        const_cast<int*>(idx.data()), 0),
            0);
  EXPECT_EQ(best.ch, 'K');
  EXPECT_EQ(best.conf, 1000);
  // One entry per whitelist glyph, scores never increasing.
  ASSERT_EQ(cands.size(), wl.size());
  EXPECT_EQ(cands[0].ch, 'K');
  std::string seen;
  for (std::size_t i = 0; i < cands.size(); ++i) {
    seen += cands[i].ch;
    if (i > 0) {
      EXPECT_LE(cands[i].conf, cands[i - 1].conf);
    }
  }
  std::sort(seen.begin(), seen.end());
  std::string all = wl;
  std::sort(all.begin(), all.end());
  EXPECT_EQ(seen, all);
}

TEST_F(CharMatch, EqualScoresGoToTheEarlierWhitelistGlyph) {
  tpl_.t[getIdxOfChar('B')] = tpl_.t[getIdxOfChar('A')].clone();
  cv::Mat line = lineWith(getIdxOfChar('A'), 20, 10);
  for (const std::string wl : {"AB", "BA"}) {
    const std::vector<int> idx = indicesOf(wl);
    _ocrRslt best = {'?', 0};
    std::vector<_ocrRslt> cands;
    ASSERT_EQ(charMatch_d(line, cv::Rect(20, 10, 12, 16), 0, 0, tpl_.t, wl.c_str(), best, cands,
                          const_cast<int*>(idx.data()), 0),
              0);
    EXPECT_EQ(best.ch, wl[0]);
    ASSERT_EQ(cands.size(), 2u);
    EXPECT_EQ(cands[0].conf, cands[1].conf);
  }
  // A whitelist of one glyph: the one candidate is the best.
  const std::vector<int> idx = indicesOf("Q");
  _ocrRslt best = {'?', 0};
  std::vector<_ocrRslt> cands;
  ASSERT_EQ(charMatch_d(line, cv::Rect(20, 10, 12, 16), 0, 0, tpl_.t, "Q", best, cands,
                        const_cast<int*>(idx.data()), 0),
            0);
  ASSERT_EQ(cands.size(), 1u);
  EXPECT_EQ(cands[0].ch, best.ch);
  EXPECT_EQ(cands[0].conf, best.conf);
}

TEST_F(CharMatch, Failures) {
  _ocrRslt best = {'?', 7};
  std::vector<_ocrRslt> cands;
  cv::Mat line = lineWith(3, 20, 10);
  const cv::Rect box(20, 10, 12, 16);

  // Empty whitelist: nothing touched.
  int none = 0;
  EXPECT_EQ(charMatch_d(line, box, 0, 0, tpl_.t, "", best, cands, &none, 0), -1);
  EXPECT_TRUE(cands.empty());

  // A character outside the glyph set is refused, not used as an index.
  int bad[2] = {3, -1};
  EXPECT_EQ(charMatch_d(line, box, 0, 0, tpl_.t, "3a", best, cands, bad, 0), -1);
  cands.clear();

  // No glyph scores above 0: every candidate listed with 0, in whitelist order.
  cv::Mat full[kGlyphCount];
  for (auto& t : full) t = cv::Mat(16, 12, CV_8UC1, cv::Scalar(255));
  const std::vector<int> idx = indicesOf("XY");
  EXPECT_EQ(charMatch_d(cv::Mat::zeros(40, 60, CV_8UC1), box, 0, 0, full, "XY", best, cands,
                        const_cast<int*>(idx.data()), 0),
            -1);
  ASSERT_EQ(cands.size(), 2u);
  EXPECT_EQ(cands[0].ch, 'X');
  EXPECT_EQ(cands[1].ch, 'Y');
  EXPECT_EQ(cands[0].conf + cands[1].conf, 0);
  EXPECT_EQ(best.ch, '?');
  EXPECT_EQ(best.conf, 7);
}

// A glyph against the line's border still reads: the shifted positions that
// leave the image are skipped. Only a glyph that cannot be scored anywhere
// fails.
struct EdgeCase {
  const char* name;
  int x, y;  // where the glyph is pasted
  int rows, cols;
  int expected;
};

class CharMatchEdges : public CharMatch, public testing::WithParamInterface<EdgeCase> {};

TEST_P(CharMatchEdges, ShiftedCandidatesOutsideAreSkipped) {
  const EdgeCase c = GetParam();
  const int g = getIdxOfChar('7');
  cv::Mat line = lineWith(g, c.x, c.y, c.rows, c.cols);
  const std::vector<int> idx = indicesOf(wl_num);
  _ocrRslt best = {'?', 0};
  std::vector<_ocrRslt> cands;
  const int rc = charMatch_d(line, cv::Rect(c.x, c.y, 12, 16), 0, 0, tpl_.t, wl_num, best, cands,
                             const_cast<int*>(idx.data()), 0);
  ASSERT_EQ(rc, c.expected);
  if (rc == 0) {
    EXPECT_EQ(best.ch, '7');
    EXPECT_EQ(best.conf, 1000);
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CharMatchEdges,
                         testing::Values(EdgeCase{"left_border", 0, 10, 40, 60, 0},
                                         EdgeCase{"top_border", 20, 0, 40, 60, 0},
                                         EdgeCase{"right_border", 48, 10, 40, 60, 0},
                                         EdgeCase{"bottom_right_corner", 48, 24, 40, 60, 0},
                                         EdgeCase{"image_just_the_template", 0, 0, 16, 12, 0},
                                         EdgeCase{"image_smaller_than_template", 0, 0, 15, 12, -1}),
                         [](const testing::TestParamInfo<EdgeCase>& info) {
                           return std::string(info.param.name);
                         });

// ---- helpers off the scan path
// --------------------------------------------------------------------

TEST(MatcherHelpers, InkMeasures) {
  cv::Mat five = cv::Mat::zeros(5, 4, CV_8UC1);
  five.at<uchar>(1, 2) = 129;
  five.at<uchar>(3, 0) = 200;
  EXPECT_EQ(tmptplHeight(five), 3);
  cv::Mat empty5 = cv::Mat::zeros(5, 4, CV_8UC1);
  EXPECT_EQ(tmptplHeight(empty5), -3);
  cv::Mat none;
  EXPECT_EQ(tmptplHeight(none), 2);

  five.at<uchar>(2, 2) = 128;  // below the ink level
  EXPECT_EQ(countBlackPoint(five, cv::Rect(0, 0, 4, 5)), 2);
  EXPECT_EQ(countBlackPoint(five, cv::Rect(2, 0, 2, 3)), 1);

  EXPECT_EQ(shadowy(five, 128), 2);
  EXPECT_EQ(shadowy(five, 201), 0);
  EXPECT_EQ(countMatchs_d(five), (20 - 3) * 1000 / 20);
}

TEST(MatcherHelpers, DeskewAngleSearch) {
  // A vertical bar turned by 6 degrees is set upright by turning it back.
  cv::Mat bar = cv::Mat::zeros(80, 80, CV_8UC1);
  bar(cv::Rect(39, 10, 2, 60)).setTo(255);
  for (int angle : {6, -4}) {
    cv::Mat turned = bar.clone();
    imgRotate(turned, static_cast<float>(angle), 1.0f);
    const cv::Mat before = turned.clone();
    EXPECT_EQ(imgAdjust(turned), -angle);
    EXPECT_EQ(cv::countNonZero(turned != before), 0);  // the caller's image is kept
  }
}

TEST(MatcherHelpers, SortOrders) {
  EXPECT_TRUE(compconf({'A', 5}, {'B', 4}));
  EXPECT_FALSE(compconf({'A', 4}, {'B', 4}));
  EXPECT_TRUE(compconf({'A', 0}, {'B', -1}));
  EXPECT_TRUE(compxpoint(cv::Rect(1, 9, 1, 1), cv::Rect(2, 0, 1, 1)));
  EXPECT_FALSE(compxpoint(cv::Rect(2, 0, 1, 1), cv::Rect(2, 9, 1, 1)));
}
