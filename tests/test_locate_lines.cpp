// Passport page location: the MRZ band check with its motion gate, the line
// candidates, the line check with its parallel deskew, both detect-mode
// drivers and the location driver, on drawn masks, synthetic candidates and
// the rendered pages.
#include <gtest/gtest.h>

#include <omp.h>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "passport_detect_mrz.h"
#include "passport_locate.h"
#include "passport_locate2.h"
#include "passport_visa.h"
#include "passport_visa_utils.h"
#include "test_scan_fixtures.h"
#include "utils.h"
#include "vyr_log.h"
#include "vyrocr.h"

using namespace scanfx;

namespace {

// The text detector of the MRZ lines is needed by detect modes 1 and 2; the
// log stays on for the tests that read it.
class LocateEnv : public ScanEnvironment {
 public:
  void SetUp() override {
    ScanEnvironment::SetUp();
    vyr_set_log_dummy(0);
  }
  void TearDown() override {
    vyr_set_log_dummy(1);
    ScanEnvironment::TearDown();
  }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new LocateEnv);

// Automatic detect mode with the gate as after start-up, or a fixed mode.
void automaticMode() {
  setDetectMode(0);
  g_detect_mode = 0;
  std::memset(&g_next_frame, 0, sizeof(g_next_frame));
}

class FixedModeScope {
 public:
  explicit FixedModeScope(int set = 1) { setDetectMode(set); }
  ~FixedModeScope() { setDetectMode(0); }
};

cv::Mat pageImage(const std::string& name) {
  cv::Mat img = readPage(page(name));
  if (img.channels() == 1) cv::cvtColor(img, img, cv::COLOR_GRAY2BGR);
  return img;
}

// The 480-row band the location cuts from a page.
cv::Mat bandOf(const cv::Mat& page) { return page(cv::Rect(0, page.rows - 481, page.cols, 480)); }

int count(const std::string& log, const std::string& needle) {
  int n = 0;
  for (std::size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
  return n;
}

// ---- MRZ band check -------------------------------------------------------------------------

cv::Mat maskWithBar(cv::Size bar, cv::Point at = {100, 100}) {
  cv::Mat mask = cv::Mat::zeros(240, 800, CV_8UC1);
  if (bar.area() > 0) cv::rectangle(mask, cv::Rect(at, bar), cv::Scalar(255), cv::FILLED);
  return mask;
}

TEST(BandCheck, BarSizeLimits) {
  FixedModeScope fixed;
  // A filled w x h block has a minimum-area rectangle of (w - 1) x (h - 1).
  const struct {
    const char* name;
    cv::Size bar;
    int code;
  } cases[] = {{"no blob", {0, 0}, -1},          {"small blob", {20, 5}, -1},
               {"taller than wide", {100, 200}, -1}, {"short bar", {300, 20}, -2},
               {"short side 13", {600, 14}, -2},  {"short side 14", {600, 15}, 0},
               {"short side 119", {600, 120}, 0}, {"short side 120", {600, 121}, -2},
               {"long side 440", {441, 20}, -2},  {"long side 441", {442, 20}, 0}};
  for (const auto& c : cases) {
    cv::Mat mask = maskWithBar(c.bar);
    cv::Mat none;
    const std::string log = captured([&] { EXPECT_EQ(mrz_detect_rect(none, mask, 20, 0.f), c.code) << c.name; });
    EXPECT_EQ(contains(log, "max_length_mrz_center"), c.code == 0) << c.name;
  }
  // The longest qualifying bar is the one measured.
  cv::Mat mask = maskWithBar({500, 20}, {100, 40});
  cv::rectangle(mask, cv::Rect(50, 150, 651, 20), cv::Scalar(255), cv::FILLED);
  cv::Mat none;
  const std::string log = captured([&] { EXPECT_EQ(mrz_detect_rect(none, mask, 20, 0.f), 0); });
  EXPECT_TRUE(contains(log, ", 159.50\n")) << log;  // the lower bar, not the one at 49.50
}

TEST(BandCheck, MotionGateMeasuresFromThePreviousBar) {
  automaticMode();
  cv::Mat none;
  cv::Mat here = maskWithBar({600, 20}, {100, 100});
  cv::Mat near = maskWithBar({600, 20}, {104, 100});
  cv::Mat far = maskWithBar({600, 20}, {110, 100});
  std::string log = captured([&] { EXPECT_EQ(mrz_detect_rect(none, here, 20, 0.f), -80); });
  EXPECT_TRUE(contains(log, "moved.")) << log;  // the first bar is measured from the origin
  EXPECT_EQ(g_detect_mode, 0);
  log = captured([&] { EXPECT_EQ(mrz_detect_rect(none, here, 20, 0.f), 0); });
  EXPECT_TRUE(contains(log, "dist: 0.00\n")) << log;
  EXPECT_EQ(mrz_detect_rect(none, near, 20, 0.f), 0);  // 4 pixels
  g_detect_mode = 1;
  EXPECT_EQ(mrz_detect_rect(none, far, 20, 0.f), -80);  // 6 pixels from `near`
  EXPECT_EQ(g_detect_mode, 0);
  EXPECT_EQ(mrz_detect_rect(none, far, 20, 0.f), 0);
  // Band-check failures leave the stored point alone.
  cv::Mat blank = maskWithBar({0, 0});
  EXPECT_EQ(mrz_detect_rect(none, blank, 20, 0.f), -1);
  EXPECT_EQ(mrz_detect_rect(none, far, 20, 0.f), 0);

  // A fixed mode neither compares nor stores.
  FixedModeScope fixed;
  const NEXT_FRAME before = g_next_frame;
  EXPECT_EQ(mrz_detect_rect(none, here, 20, 0.f), 0);
  EXPECT_EQ(g_next_frame.mrz_x, before.mrz_x);
}

TEST(BandCheck, RealBandsAndRefusedBands) {
  FixedModeScope fixed;
  cv::Mat page = pageImage("p01_clean");
  cv::Mat band = bandOf(page);
  cv::Mat mask;
  ASSERT_EQ(check_mrz_main(band, mask), 0);
  EXPECT_EQ(mask.size(), cv::Size(800, 240));
  EXPECT_EQ(mask.type(), CV_8UC1);
  EXPECT_GT(cv::countNonZero(mask.rowRange(150, 240)), 1000);  // the MRZ lies in the band's lower part

  cv::Mat grey;
  cv::cvtColor(band, grey, cv::COLOR_BGR2GRAY);
  cv::Mat greyMask;
  EXPECT_EQ(check_mrz_main(grey, greyMask), 0);

  // A dark page takes the brightened path and still finds its bar.
  cv::Mat dark = bandOf(pageImage("p07_dark"));
  cv::Mat darkMask;
  EXPECT_EQ(check_mrz_main(dark, darkMask), 0);

  cv::Mat blank(480, 1600, CV_8UC3, cv::Scalar::all(220));
  cv::Mat kept(2, 2, CV_8UC1, cv::Scalar(9));
  const uchar* data = kept.data;
  EXPECT_EQ(check_mrz_main(blank, kept), -1);
  EXPECT_EQ(kept.data, data);

  // Bands that cannot be scaled are refused, not divided by zero.
  cv::Mat narrow = band.colRange(0, 599);
  cv::Mat low(1, 1600, CV_8UC3, cv::Scalar::all(200));
  cv::Mat deep(480, 1600, CV_16UC3, cv::Scalar::all(200));
  cv::Mat empty;
  for (cv::Mat* m : {&narrow, &low, &deep, &empty}) {
    const std::string log = captured([&] { EXPECT_EQ(check_mrz_main(*m, kept), -7); });
    EXPECT_EQ(log, "image size error\n");
    EXPECT_EQ(kept.data, data);
  }
}

// ---- line candidates ---------------------------------------------------------------------

TEST(LineCandidates, ClosingContourAndShapeRules) {
  auto mask = [](std::initializer_list<cv::Rect> blobs) {
    cv::Mat m = cv::Mat::zeros(240, 800, CV_8UC1);
    for (const cv::Rect& r : blobs) cv::rectangle(m, r, cv::Scalar(255), cv::FILLED);
    return m;
  };
  const struct {
    const char* name;
    cv::Mat m;
    int k;
    std::size_t n;
  } cases[] = {
      {"gap 5, kernel 6", mask({{100, 50, 40, 20}, {145, 50, 40, 20}}), 6, 1},
      {"gap 6, kernel 6", mask({{100, 50, 40, 20}, {146, 50, 40, 20}}), 6, 2},
      {"gap 19, kernel 20", mask({{100, 50, 40, 20}, {159, 50, 40, 20}}), 20, 1},
      {"gap 20, kernel 20", mask({{100, 50, 40, 20}, {160, 50, 40, 20}}), 20, 2},
      {"kernel 1 closes nothing", mask({{100, 50, 40, 20}, {141, 50, 40, 20}}), 1, 2},
      {"100 contour points", mask({{100, 50, 40, 12}}), 6, 0},
      {"102 contour points", mask({{100, 50, 41, 12}}), 6, 1},
      {"square", mask({{100, 50, 30, 30}}), 6, 0},
      {"blank", mask({}), 6, 0},
      {"no vertical joining", mask({{100, 50, 200, 20}, {100, 71, 200, 20}}), 20, 2},
  };
  for (const auto& c : cases) {
    cv::Mat m = c.m;
    const _myTextRect r = detectLettersRect(m, c.k);
    EXPECT_EQ(r.rotated_rects.size(), c.n) << c.name;
    EXPECT_EQ(r.bound_rects.size(), c.n) << c.name;
  }
  // A hole inside a bar adds no candidate; a level bar lies with angle 0.
  cv::Mat holed = mask({{100, 50, 300, 30}});
  cv::rectangle(holed, cv::Rect(200, 60, 20, 10), cv::Scalar(0), cv::FILLED);
  const _myTextRect r = detectLettersRect(holed, 6);
  ASSERT_EQ(r.rotated_rects.size(), 1u);
  EXPECT_EQ(r.bound_rects[0].size(), cv::Size(300, 30));
  EXPECT_EQ(r.rotated_rects[0].angle, 0.f);
  EXPECT_EQ(r.rotated_rects[0].size, cv::Size2f(299, 29));
  // Masks the search cannot use give no candidates.
  cv::Mat empty, colour(240, 800, CV_8UC3, cv::Scalar::all(255));
  EXPECT_TRUE(detectLettersRect(empty, 6).rotated_rects.empty());
  EXPECT_TRUE(detectLettersRect(colour, 6).rotated_rects.empty());
  EXPECT_TRUE(detectLettersRect(holed, 0).rotated_rects.empty());
}

// ---- line check --------------------------------------------------------------------------

cv::RotatedRect line(float cx, float cy, float L, float s, float angle = 0.f) {
  return cv::RotatedRect(cv::Point2f(cx, cy), cv::Size2f(L, s), angle);
}

class LineCheck : public ::testing::Test {
 protected:
  void SetUp() override {
    band_.create(480, 1600, CV_8UC3);
    cv::RNG rng(7);
    rng.fill(band_, cv::RNG::UNIFORM, 60, 250);
    reduced_ = cv::Mat::zeros(240, 800, CV_8UC3);
    clearVisaIssueInfo();
  }
  int check(std::vector<cv::RotatedRect> rects, std::string* log = nullptr) {
    text_.rotated_rects = std::move(rects);
    text_.bound_rects.assign(text_.rotated_rects.size(), cv::Rect());
    int r = 0;
    const std::string l = captured([&] {
      r = checkLettersRect(band_, reduced_, text_, rgb_[0], rgb_[1], gray_[0], gray_[1], 2.f, 800, 0);
    });
    if (log) *log = l;
    return r;
  }
  cv::Rect_<float> safe(const cv::RotatedRect& r) {
    cv::Rect_<float> s;
    EXPECT_TRUE(calcSafeRect(r, reduced_, s));
    return s;
  }
  static cv::Rect_<float> times2(cv::Rect_<float> r) { return {r.x * 2, r.y * 2, r.width * 2, r.height * 2}; }

  cv::Mat band_, reduced_;
  _myTextRect text_;
  cv::Mat rgb_[2], gray_[2];
};

TEST_F(LineCheck, SizeRules) {
  const struct {
    const char* name;
    std::vector<cv::RotatedRect> rects;
    int code;
  } cases[] = {
      {"none", {}, -2},
      {"one line", {line(400, 100, 600, 30)}, -3},
      {"one line too thick", {line(400, 100, 600, 31)}, -2},
      {"one line too thin", {line(400, 100, 600, 10)}, -2},
      {"one line of W - 21", {line(400, 100, 779, 20)}, -3},
      {"one line of W - 20", {line(400, 100, 780, 20)}, -2},
      {"one line too short", {line(400, 100, 500, 20)}, -2},
      {"pair", {line(400, 100, 600, 20), line(400, 140, 620, 20)}, 0},
      {"pair 29 apart in length", {line(400, 100, 600, 20), line(400, 140, 629, 20)}, 0},
      {"pair 30 apart in length", {line(400, 100, 600, 20), line(400, 140, 630, 20)}, -3},
      {"pair of 441", {line(400, 100, 441, 20), line(400, 140, 441, 20)}, 0},
      {"pair with one of 440", {line(400, 100, 441, 20), line(400, 140, 440, 20)}, -2},
      {"thick longest line", {line(400, 100, 620, 57), line(400, 160, 600, 20)}, -2},
      {"pair at W - 20", {line(400, 100, 780, 20), line(400, 140, 770, 20)}, -2},
  };
  for (const auto& c : cases) {
    std::string log;
    EXPECT_EQ(check(c.rects, &log), c.code) << c.name;
    const char* text = c.code == -2 ? "mrz none\n" : c.code == -3 ? "mrz one\n" : nullptr;
    if (text) {
      EXPECT_EQ(log, text) << c.name;
    } else {
      EXPECT_EQ(log, "") << c.name;
    }
  }
}

TEST_F(LineCheck, JoinsTwoPiecesOfTheSecondLine) {
  // Pieces 105..395 and 410..700 join to one line of about 595.
  ASSERT_EQ(check({line(400, 100, 600, 20), line(250, 130, 290, 20), line(555, 130, 290, 20)}), 0);
  const cv::RotatedRect joined = text_.rotated_rects[1];
  EXPECT_NEAR(std::max(joined.size.width, joined.size.height), 595, 2);
  EXPECT_NEAR(joined.center.y, 130, 1);
  EXPECT_EQ(g_rotated_struct[1].line_rect, times2(safe(joined)));

  // 45 rows below the first line the joined piece is no partner, but it has
  // replaced the second entry all the same.
  EXPECT_EQ(check({line(400, 100, 600, 20), line(250, 145, 290, 20), line(555, 145, 290, 20)}), -3);
  EXPECT_NEAR(std::max(text_.rotated_rects[1].size.width, text_.rotated_rects[1].size.height), 595, 2);
  EXPECT_NEAR(text_.rotated_rects[1].center.y, 145, 1);
  // A joined line 20 shorter than the first does not pass; 19 does.
  EXPECT_EQ(check({line(400, 100, 600, 20), line(250, 130, 280, 20), line(550, 130, 280, 20)}), -3);
  EXPECT_EQ(check({line(400, 100, 600, 20), line(250, 130, 282, 20), line(548, 130, 284, 20)}), 0);
}

TEST_F(LineCheck, UpperLineFirstAndOnlyItsRecordMapped) {
  const cv::RotatedRect upper = line(400, 100, 600, 20), lower = line(410, 140, 620, 20);
  ASSERT_EQ(check({upper, lower}), 0);  // sorted: `lower` is the longer
  EXPECT_EQ(g_rotated_struct[0].line_rect, times2(safe(upper)));
  EXPECT_EQ(g_rotated_struct[1].line_rect, times2(safe(lower)));
  EXPECT_TRUE(g_rotated_struct[0].has_inverse);
  EXPECT_FALSE(g_rotated_struct[1].has_inverse);
  for (int k = 0; k < 2; ++k) {
    EXPECT_EQ(rgb_[k].type(), CV_8UC3);
    EXPECT_EQ(gray_[k].type(), CV_8UC1);
    EXPECT_EQ(gray_[k].size(), rgb_[k].size());
  }
  // Deskew size: (long + 8, short + 5) times the scale.
  EXPECT_EQ(rgb_[0].size(), cv::Size(1216, 50));

  // Equal tops: the second entry of the sorted list is the upper line.
  clearVisaIssueInfo();
  const cv::RotatedRect a = line(300, 100, 620, 20), b = line(500, 100, 600, 20);
  ASSERT_EQ(check({a, b}), 0);
  EXPECT_EQ(g_rotated_struct[0].line_rect, times2(safe(b)));
}

TEST_F(LineCheck, RefusalsLeaveImagesAndRecordsAlone) {
  rgb_[0] = cv::Mat(2, 2, CV_8UC3);
  const uchar* data = rgb_[0].data;
  g_rotated_struct[0].line_rect = cv::Rect_<float>(1, 1, 1, 1);
  std::string log;
  EXPECT_EQ(check({line(400, 100, 600, 20), line(-500, -500, 600, 20)}, &log), -5);
  EXPECT_EQ(log, "NO_SAFE_RECT\n");
  EXPECT_EQ(check({line(-500, -500, 620, 20), line(400, 100, 600, 20)}, &log), -5);
  EXPECT_EQ(check({line(400, 100, 600, 20)}), -3);
  EXPECT_EQ(rgb_[0].data, data);
  EXPECT_EQ(g_rotated_struct[0].line_rect, cv::Rect_<float>(1, 1, 1, 1));
  EXPECT_FALSE(g_rotated_struct[0].has_inverse);
}

// A line whose deskew box reaches above its cut fails, whichever thread
// handles it; both lines are still deskewed and recorded.
TEST_F(LineCheck, EitherLineFailingTheBoundGivesRotationError) {
  // Both safe rectangles start at row 0; the thick line's box reaches above
  // its cut, the thin one's does not. The sorted list's second entry is the
  // upper line (index 0) on equal tops.
  const cv::RotatedRect thick = line(400, 20, 620, 40), thin = line(400, 9, 600, 11);
  const cv::RotatedRect thickShort = line(400, 20, 600, 40), thinLong = line(400, 9, 620, 11);
  const struct {
    const char* name;
    std::vector<cv::RotatedRect> rects;
  } cases[] = {{"line 2 fails", {thick, thin}}, {"line 1 fails", {thickShort, thinLong}}};
  for (const auto& c : cases) {
    clearVisaIssueInfo();
    rgb_[0].release();
    rgb_[1].release();
    std::string log;
    EXPECT_EQ(check(c.rects, &log), -6) << c.name;
    EXPECT_EQ(log, "rotation error\n") << c.name;
    EXPECT_FALSE(rgb_[0].empty()) << c.name;
    EXPECT_FALSE(rgb_[1].empty()) << c.name;
    EXPECT_TRUE(g_rotated_struct[0].has_inverse) << c.name;
    EXPECT_GT(g_rotated_struct[1].line_rect.width, 0.f) << c.name;
  }
}

TEST_F(LineCheck, OneThreadGivesTheSameLines) {
  const std::vector<cv::RotatedRect> rects = {line(400, 100, 600, 20, -1.5f), line(410, 140, 620, 22, -1.2f)};
  ASSERT_EQ(check(rects), 0);
  const cv::Mat two[2] = {rgb_[0].clone(), rgb_[1].clone()};
  const PASSPORT_ROTATED_STRUCT rec = g_rotated_struct[0];
  const cv::Mat matrix = rec.inverse_mat.clone();

  const int levels = omp_get_max_active_levels();
  omp_set_max_active_levels(0);  // every parallel region runs on one thread
  clearVisaIssueInfo();
  const int r = check(rects);
  omp_set_max_active_levels(levels);
  ASSERT_EQ(r, 0);
  for (int k = 0; k < 2; ++k) EXPECT_EQ(cv::norm(rgb_[k], two[k], cv::NORM_INF), 0.0) << k;
  EXPECT_EQ(cv::norm(g_rotated_struct[0].inverse_mat, matrix, cv::NORM_INF), 0.0);
  EXPECT_EQ(g_rotated_struct[0].crop_y, rec.crop_y);
}

// ---- detect-mode drivers ----------------------------------------------------------------

TEST(Drivers, NarrowBandsAreRefusedAndBlankBandsFail) {
  cv::Mat narrow(480, 599, CV_8UC3, cv::Scalar::all(200));
  cv::Mat mask = cv::Mat::zeros(480, 599, CV_8UC1);
  cv::Mat a, b, c, d;
  int sz1 = 3, sz2 = 4;
  std::string log = captured([&] { EXPECT_EQ(charDtct(narrow, mask, a, b, c, d, sz1, sz2), -7); });
  EXPECT_EQ(log, "image size error\n");
  log = captured([&] { EXPECT_EQ(charDtct2(narrow, a, b, c, d, sz1, sz2), -7); });
  EXPECT_EQ(log, "image size error\n");
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(sz1 + sz2, 7);

  // 600 columns: scale 1, nothing to find.
  cv::Mat band(480, 600, CV_8UC3, cv::Scalar::all(200));
  cv::Mat zero = cv::Mat::zeros(480, 600, CV_8UC1);
  log = captured([&] { EXPECT_EQ(charDtct(band, zero, a, b, c, d, sz1, sz2), -2); });
  EXPECT_EQ(log, "detect letter: 6\nmrz none\ndetect letter: 20\nmrz none\n");
  cv::Mat wide(480, 1600, CV_8UC3, cv::Scalar::all(200));
  log = captured([&] { EXPECT_EQ(charDtct2(wide, a, b, c, d, sz1, sz2), -1); });
  EXPECT_FALSE(contains(log, "color_mode"));
  EXPECT_EQ(sz1 + sz2, 7);
}

struct DriverRun {
  int code = 0;
  int sz1 = 0, sz2 = 0;
  std::string log;
};

DriverRun runDriver(const std::string& pageName, int mode) {
  FixedModeScope fixed;
  cv::Mat page = pageImage(pageName);
  cv::Mat band = bandOf(page);
  cv::Mat mask;
  EXPECT_EQ(check_mrz_main(band, mask), 0);
  clearVisaIssueInfo();
  DriverRun run;
  cv::Mat a, b, c, d;
  run.log = captured([&] {
    run.code = mode == 0 ? charDtct(band, mask, a, b, c, d, run.sz1, run.sz2)
                         : charDtct2(band, a, b, c, d, run.sz1, run.sz2);
  });
  return run;
}

TEST(Drivers, BothModesSegmentAPage) {
  for (int mode : {0, 1}) {
    const DriverRun run = runDriver("v02_a_tilt", mode);
    EXPECT_EQ(run.code, 0) << mode;
    EXPECT_EQ(run.sz1, 44);
    EXPECT_EQ(run.sz2, 44);
    EXPECT_EQ(g_posRect.size(), 88u);
    EXPECT_TRUE(g_rotated_struct[0].has_inverse);
    EXPECT_FALSE(g_rotated_struct[1].has_inverse);
    EXPECT_GT(g_rotated_struct[0].line_rect.width, 1000.f);
    if (mode == 0) {
      EXPECT_EQ(count(run.log, "detect letter:"), 1) << run.log;
      EXPECT_GT(g_rotated_struct[1].line_rect.width, 1000.f);
    } else {
      EXPECT_EQ(count(run.log, "color_mode:0, threshold:31,17"), 1) << run.log;
      EXPECT_FALSE(contains(run.log, "try threshold"));
    }
  }
}

TEST(Drivers, GeometryRetriesWithTheWiderKernel) {
  // Characters 36 pixels apart do not close into bars with kernel 6.
  DriverRun run = runDriver("v09_b_spaced", 0);
  EXPECT_EQ(run.code, 0);
  EXPECT_EQ(run.sz1, 36);
  EXPECT_TRUE(contains(run.log, "detect letter: 6\nmrz none\ndetect letter: 20\n")) << run.log;
  EXPECT_FALSE(contains(run.log, "try threshold"));

  // Lines of 44 and 40 characters: one MRZ line at most, with either kernel.
  run = runDriver("x02_short_line", 0);
  EXPECT_EQ(run.code, -3);
  EXPECT_EQ(run.log, "detect letter: 6\nmrz one\ndetect letter: 20\nmrz one\n");

  // A worn run of characters: the split fails, the lines are found again with
  // kernel 20 and binarised once more, and the split fails again.
  run = runDriver("p17_worn", 0);
  EXPECT_EQ(run.code, -1);
  const std::size_t a = run.log.find("detect letter: 6"), b = after(run.log, "detect letter: 20", a),
                    c = after(run.log, "try threshold 11", b);
  EXPECT_NE(c, std::string::npos) << run.log;
  EXPECT_EQ(count(run.log, "detect letter: 20"), 1);
}

TEST(Drivers, TextDetectorModeRetriesByTheBoxCounts) {
  // Too many boxes on a line: the larger constant first.
  DriverRun run = runDriver("x01_long_line", 1);
  EXPECT_EQ(run.code, -1);
  EXPECT_EQ(run.sz1, 48);
  std::size_t a = run.log.find("try threshold 25"), b = after(run.log, "try threshold 11", a);
  EXPECT_NE(b, std::string::npos) << run.log;
  EXPECT_EQ(count(run.log, "try threshold"), 2);

  // Too few: the smaller constant first.
  run = runDriver("x02_short_line", 1);
  EXPECT_EQ(run.code, -1);
  EXPECT_EQ(run.sz2, 40);
  a = run.log.find("try threshold 11");
  b = after(run.log, "try threshold 25", a);
  EXPECT_NE(b, std::string::npos) << run.log;
  EXPECT_EQ(count(run.log, "try threshold"), 2);
}

// After a failed split, detect mode 0 finds the lines again; the record of
// line 1 must then describe the crop that was segmented, not the first one.
TEST(Drivers, RedetectedLineKeepsTheMappingOfItsOwnCrop) {
  FixedModeScope fixed;
  cv::Mat page = pageImage("p01_clean");
  cv::Mat band = bandOf(page);
  cv::Mat real;
  ASSERT_EQ(check_mrz_main(band, real), 0);

  // The MRZ blobs cut by gaps of 8 columns every 30: with kernel 6 they stay
  // pieces too small to count, kernel 20 closes them into the two lines.
  cv::Mat mask = real.clone();
  for (int x = 0; x < mask.cols; x += 30) mask.colRange(x, std::min(x + 8, mask.cols)).setTo(0);
  // Two tilted decoy bars high in the band, where nothing can be segmented:
  // the only candidates for kernel 6, shorter than the MRZ lines, and turned
  // so that their deskew stores another mapping than the level MRZ lines.
  mask.rowRange(0, 120).setTo(0);
  for (const cv::RotatedRect& decoy : {cv::RotatedRect({385, 40}, {470, 17}, 1.5f),
                                       cv::RotatedRect({390, 85}, {460, 17}, 1.5f)}) {
    cv::Point2f c[4];
    decoy.points(c);
    const std::vector<cv::Point> poly = {c[0], c[1], c[2], c[3]};
    cv::fillConvexPoly(mask, poly, cv::Scalar(255));
  }

  // What the MRZ lines alone give.
  cv::Mat reduced;
  cv::resize(band, reduced, cv::Size(800, 240));
  clearVisaIssueInfo();
  _myTextRect lines = detectLettersRect(mask, 20);
  cv::Mat r1, r2, g1, g2;
  ASSERT_EQ(checkLettersRect(band, reduced, lines, r1, r2, g1, g2, 2.f, 800, 0), 0);
  const PASSPORT_ROTATED_STRUCT want = g_rotated_struct[0];
  const cv::Mat wantMatrix = want.inverse_mat.clone();
  ASSERT_GT(want.line_rect.y, 240.f);  // the MRZ, not a decoy
  ASSERT_EQ(want.rotate_angle, 0.f);     // level lines: no rotation

  clearVisaIssueInfo();
  cv::Mat a, b, c, d;
  int sz1 = 0, sz2 = 0;
  int code = 1;
  const std::string log = captured([&] { code = charDtct(band, mask, a, b, c, d, sz1, sz2); });
  ASSERT_EQ(code, 0) << log;
  EXPECT_TRUE(contains(log, "detect letter: 6\n")) << log;
  EXPECT_LT(log.find("detect letter: 20"), log.find("try threshold 11")) << log;
  EXPECT_EQ(sz1, 44);
  const PASSPORT_ROTATED_STRUCT& got = g_rotated_struct[0];
  EXPECT_TRUE(got.has_inverse);
  EXPECT_EQ(got.line_rect, want.line_rect);
  EXPECT_EQ(got.crop_x, want.crop_x);
  EXPECT_EQ(got.crop_y, want.crop_y);
  EXPECT_EQ(got.rotate_angle, want.rotate_angle);
  EXPECT_EQ(cv::norm(got.inverse_mat, wantMatrix, cv::NORM_INF), 0.0);
}

// ---- location driver ----------------------------------------------------------------------

TEST(Location, PagesThatCannotHoldTheBandAreRefused) {
  int sz1 = 5, sz2 = 6;
  cv::Mat pages[] = {cv::Mat(), cv::Mat(480, 1600, CV_8UC3, cv::Scalar::all(200)),
                     cv::Mat(1200, 599, CV_8UC3, cv::Scalar::all(200)),
                     cv::Mat(1200, 1600, CV_16UC3, cv::Scalar::all(200))};
  for (cv::Mat& p : pages) {
    g_point_list = {cv::Point(1, 1)};
    const std::string log = captured([&] { EXPECT_EQ(passport_location(p, sz1, sz2), -7); });
    EXPECT_EQ(log, "image size error\n");
    EXPECT_TRUE(g_point_list.empty());  // the records are reset first
  }
  // 481 rows hold the band exactly; a blank one has no bar.
  cv::Mat low(481, 1600, CV_8UC3, cv::Scalar::all(200));
  const std::string log = captured([&] { EXPECT_EQ(passport_location(low, sz1, sz2), -1); });
  EXPECT_TRUE(contains(log, "mrz check: -1\n"));
  EXPECT_FALSE(contains(log, "detect_mode"));
  EXPECT_EQ(sz1, 5);
  EXPECT_EQ(sz2, 6);
}

TEST(Location, DetectModeAdvancesOnlyAfterADriverRan) {
  automaticMode();
  cv::Mat page = pageImage("x02_short_line");
  int sz1 = 0, sz2 = 0;
  // A short text line only: bars, but none of MRZ size.
  cv::Mat shortText(1200, 1600, CV_8UC3, cv::Scalar::all(230));
  cv::putText(shortText, "ABCDEFGHIJKLMN", cv::Point(200, 1100), cv::FONT_HERSHEY_SIMPLEX, 1.4, cv::Scalar::all(20), 3);

  g_detect_mode = 1;
  EXPECT_EQ(passport_location(shortText, sz1, sz2), -2);
  EXPECT_EQ(g_detect_mode, 1);
  g_detect_mode = 0;
  std::string log = captured([&] { EXPECT_EQ(passport_location(page, sz1, sz2), -80); });
  EXPECT_EQ(g_detect_mode, 0);
  EXPECT_FALSE(contains(log, "locat and split char cost"));
  // The driver fails (one MRZ line), the mode still flips and the time is logged.
  log = captured([&] { EXPECT_EQ(passport_location(page, sz1, sz2), -3); });
  EXPECT_TRUE(contains(log, "detect_mode: 0, cut_size: 480\n")) << log;
  EXPECT_TRUE(contains(log, "locat and split char cost")) << log;
  EXPECT_EQ(g_detect_mode, 1);
  log = captured([&] { EXPECT_EQ(passport_location(page, sz1, sz2), -1); });
  EXPECT_TRUE(contains(log, "detect_mode: 1, cut_size: 480\n")) << log;
  EXPECT_EQ(g_detect_mode, 0);

  // A fixed mode 3 runs the text-detector driver on every call.
  FixedModeScope fixed(3);
  for (int i = 0; i < 2; ++i) {
    log = captured([&] { passport_location(page, sz1, sz2); });
    EXPECT_LT(log.find("detect_mode: 2, cut_size: 480\n"), log.find("color_mode:0")) << log;
  }
  EXPECT_EQ(CUT_SIZE, 480);
}

}  // namespace
