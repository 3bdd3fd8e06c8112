// The walk over the item table of a Chinese visa with scripted readers: which
// records are tried in which order, with which kernels and alphabets, what
// is written into the result, and the early ends.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "global.h"
#include "passport_visa.h"
#include "passport_visa_utils.h"

namespace {

constexpr int kPitch = 26;
constexpr int kEdge = 20;
const char* const kMrz = "VQCHNERIKSSON<<TOBIAS<<<<<<<<<<<<<<<<<<<<<<<S8800222<0AUS6212069F3012084<<<<<<<<<<<<<<<<";

TextLine reading(const std::string& text, float score = 0.99f) {
  TextLine t;
  t.text = text;
  t.scores.assign(text.size(), score);
  return t;
}

// Answers of the readers by item kind, and a record of the calls.
struct Script {
  std::map<int, int> red;                       // location -> red-print result (default -1)
  std::map<int, std::vector<TextLine>> answers;  // location -> readings, in order
  int categoryResult = 0;
  bool emptyBox = false;
  bool boxOnEdge = false;

  std::vector<int> redCalls;
  std::vector<std::pair<int, cv::Size>> categoryCalls;
  std::vector<cv::Size> crops;  // size of each item crop handed to a reader
  std::string modes;
  int current = -1;

  VisaItemReaders readers() {
    VisaItemReaders r;
    r.red_print = [this](cv::Mat& crop, int location) {
      redCalls.push_back(location);
      crops.push_back(crop.size());
      current = location;
      auto it = red.find(location);
      return it == red.end() ? -1 : it->second;
    };
    r.text_box = [this](cv::Mat& crop, int minLong, int minShort, TEXT_BOX_FILTER_TYPE filter, SCAN_LOCATION,
                        cv::RotatedRect& box) {
      EXPECT_EQ(minLong, 5 * kPitch);
      EXPECT_EQ(minShort, 33);
      EXPECT_EQ(filter, TEXT_BOX_FILTER_LONG_SIDE);
      if (emptyBox) return cv::Mat();
      const float w = boxOnEdge ? static_cast<float>(crop.cols) : crop.cols / 2.f;
      box = cv::RotatedRect(cv::Point2f(crop.cols / 2.f, crop.rows / 2.f), cv::Size2f(w, crop.rows / 2.f), 0.f);
      return cv::Mat(crop.rows / 2, crop.cols / 2, CV_8UC3, cv::Scalar::all(128));
    };
    r.category_box = [this](cv::Mat& crop, cv::Mat& box, cv::Size kernel, int location) {
      categoryCalls.push_back({location, kernel});
      crops.push_back(crop.size());
      current = location;
      if (categoryResult == 0) box = crop(cv::Rect(0, 0, 20, 20));
      return categoryResult;
    };
    r.recognise = [this](const cv::Mat&, char mode) {
      modes.push_back(mode);
      std::vector<TextLine>& q = answers[current];
      if (q.empty()) return TextLine();
      TextLine t = q.front();
      q.erase(q.begin());
      return t;
    };
    return r;
  }
};

class VisaWalk : public testing::Test {
 protected:
  void SetUp() override {
    page_ = cv::Mat(1200, 1600, CV_8UC3, cv::Scalar::all(230));
    CUT_SIZE = 480;
    g_line1_edge = kEdge;
    g_aCharWidth = kPitch;
    g_aCharHeight = 33;
    // MRZ line 1 starts at page column 228 with its character tops on page
    // row 1019; line 2 follows in the merged frame. The deskew record of
    // line 1 is the identity.
    g_posRect.clear();
    for (int i = 0; i < 88; ++i) g_posRect.push_back({kEdge + 228 + kPitch * i, kEdge + 300, 24, 33});
    clearVisaIssueInfo();
    g_rotated_struct[0].inverse_mat = (cv::Mat_<double>(2, 3) << 1, 0, 0, 0, 1, 0);
    g_rotated_struct[0].has_inverse = true;
    g_rotated_struct[0].line_rect = cv::Rect_<float>(0.f, 0.f, 1400.f, 60.f);
    clearOcrResult(result_);
    std::memcpy(result_.mrz, kMrz, 88);
    result_.mrz_type = 0;
  }
  void TearDown() override {
    clearVisaIssueInfo();
    g_rotated_struct[0].inverse_mat.release();
    g_get_issue_addr = PASSPORT_ROTATED_STRUCT();
    g_posRect.clear();
    g_aCharWidth = g_aCharHeight = 0;
  }
  int walk(Script& s) { return get_visa_issue_info(page_, result_, s.readers()); }

  cv::Mat page_;
  OCR_RESULT result_;
};

TEST_F(VisaWalk, NumberJustAboveTheMrzThenTheMiddleCategory) {
  Script s;
  s.red = {{0, 0}};
  s.answers = {{0, {reading("AB12O456")}}, {3, {reading("Q2")}}};
  EXPECT_EQ(walk(s), 0);
  EXPECT_STREQ(result_.add_id, "AB120456");  // repaired by the check
  EXPECT_STREQ(result_.category, "Q2");
  EXPECT_EQ(s.redCalls, std::vector<int>{0});  // record 1 never tried
  ASSERT_EQ(s.categoryCalls.size(), 1u);
  EXPECT_EQ(s.categoryCalls[0], std::make_pair(3, cv::Size(11, 5)));
  EXPECT_EQ(s.modes, "OO");
  // The regions in pitches: characters 36 to 47 and 1 to 5 above the line
  // (12 x 4), characters 12 to 16 and 16 to 19 above (4 x 3); bounds inclusive.
  ASSERT_EQ(s.crops.size(), 2u);
  EXPECT_EQ(s.crops[0], cv::Size(12 * kPitch + 1, 4 * kPitch + 1));
  EXPECT_EQ(s.crops[1], cv::Size(4 * kPitch + 1, 3 * kPitch + 1));
  // The corners of the category region are left behind: page rows 1019 - 16
  // and 19 pitches, columns of characters 12 and 16.
  ASSERT_EQ(g_point_list.size(), 4u);
  EXPECT_EQ(g_point_list[0], cv::Point(228 + 11 * kPitch, 1019 - 19 * kPitch));
  EXPECT_EQ(g_point_list[2], cv::Point(228 + 15 * kPitch, 1019 - 16 * kPitch));
  EXPECT_TRUE(g_get_issue_addr.has_inverse);
}

TEST_F(VisaWalk, NumberHighAboveTheMrzThenTheLeftCategory) {
  Script s;
  s.red = {{1, 0}};
  s.answers = {{1, {reading("E1234567")}}, {2, {reading("0I")}}};
  EXPECT_EQ(walk(s), 0);
  EXPECT_STREQ(result_.add_id, "E1234567");
  EXPECT_STREQ(result_.category, "Q1");
  EXPECT_EQ(s.redCalls, (std::vector<int>{0, 1}));
  ASSERT_EQ(s.categoryCalls.size(), 1u);
  EXPECT_EQ(s.categoryCalls[0], std::make_pair(2, cv::Size(13, 9)));
  EXPECT_EQ(s.modes, "AO");  // letter first for the high number
  EXPECT_EQ(s.crops[1], cv::Size(22 * kPitch + kPitch / 2 + 1, 6 * kPitch + 1));
  EXPECT_EQ(s.crops[2], cv::Size(8 * kPitch + 1, 3 * kPitch + 1));
}

TEST_F(VisaWalk, NineDigitNumberEndsTheWalk) {
  Script s;
  s.red = {{0, 0}};
  s.answers = {{0, {reading("123456789"), reading("123456789")}}};
  std::strcpy(result_.category, "kept");
  EXPECT_EQ(walk(s), 0);
  EXPECT_STREQ(result_.add_id, "123456789");
  EXPECT_STREQ(result_.category, "kept");
  EXPECT_TRUE(s.categoryCalls.empty());
  EXPECT_EQ(s.modes, "ON");
}

TEST_F(VisaWalk, OutcomesOfTheOtherPaths) {
  struct Case {
    const char* what;
    Script script;
    int result;
    const char* add_id;
    const char* category;
    std::vector<int> redCalls;
    std::size_t categoryCalls;
  };
  auto script = [](std::map<int, int> red, std::map<int, std::vector<TextLine>> answers) {
    Script s;
    s.red = red;
    s.answers = answers;
    return s;
  };
  std::vector<Case> cases;
  cases.push_back({"no red print anywhere", script({}, {}), -41, "", "old", {0, 1}, 0});
  cases.push_back({"number refused, the high one read",
                   script({{0, 0}, {1, 0}}, {{0, {reading("AB12C456")}}, {1, {reading("E1234567")}}, {2, {reading("S2")}}}),
                   0, "E1234567", "S2", {0, 1}, 1});
  cases.push_back({"seven symbols in both alphabets",
                   script({{0, 0}}, {{0, {reading("AB12345"), reading("1234567")}}}), -41, "", "old", {0, 1}, 0});
  cases.push_back({"category refused", script({{0, 0}}, {{0, {reading("AB123456")}}, {3, {reading("Q3")}}}), 0,
                   "AB123456", "old", {0}, 1});
  cases.push_back({"category of three symbols", script({{0, 0}}, {{0, {reading("AB123456")}}, {3, {reading("Q2X")}}}),
                   0, "AB123456", "old", {0}, 1});
  cases.push_back({"unsure number", script({{0, 0}}, {{0, {reading("AB123456", 0.2f)}}}), -41, "", "old", {0, 1}, 0});
  // A capital split with its lowercase twin is kept; a letter forced onto a
  // digit by the letter-first alphabet (score near 0) is not.
  TextLine split = reading("C1234567");
  split.scores[0] = 0.05f;
  cases.push_back({"capital split between cases", script({{1, 0}}, {{1, {split}}, {2, {reading("Q1")}}}), 0,
                   "C1234567", "Q1", {0, 1}, 1});
  TextLine forced = reading("O7834305");
  forced.scores[0] = 0.001f;
  cases.push_back({"letter forced onto a digit", script({{1, 0}}, {{1, {forced}}}), -41, "", "old", {0, 1}, 0});
  TextLine repaired = reading("AB12O456");
  repaired.scores[4] = 0.3f;  // the O the check turns into 0 is judged as the letter read
  cases.push_back({"O read for 0", script({{0, 0}}, {{0, {repaired}}, {3, {reading("X2")}}}), 0, "AB120456", "X2",
                   {0}, 1});
  cases.push_back({"unsure category",
                   script({{0, 0}}, {{0, {reading("AB123456")}}, {3, {reading("Q2", 0.3f)}}}), 0, "AB123456", "old",
                   {0}, 1});
  Script failedBox = script({{0, 0}}, {{0, {reading("AB123456")}}});
  failedBox.categoryResult = -2;
  cases.push_back({"category box not found", failedBox, -41, "AB123456", "old", {0}, 1});
  Script noBox = script({{0, 0}, {1, 0}}, {{0, {reading("AB123456")}}, {1, {reading("AB123456")}}});
  noBox.emptyBox = true;
  cases.push_back({"no text box", noBox, -41, "", "old", {0, 1}, 0});
  Script edgeBox = noBox;
  edgeBox.emptyBox = false;
  edgeBox.boxOnEdge = true;
  cases.push_back({"text box on the crop's edge", edgeBox, -41, "", "old", {0, 1}, 0});

  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetUp();
    std::strcpy(result_.category, "old");
    EXPECT_EQ(walk(c.script), c.result);
    EXPECT_STREQ(result_.add_id, c.add_id);
    EXPECT_STREQ(result_.category, c.category);
    EXPECT_EQ(c.script.redCalls, c.redCalls);
    EXPECT_EQ(c.script.categoryCalls.size(), c.categoryCalls);
  }
}

TEST_F(VisaWalk, NothingIsReadWithoutAMappingOrForOtherMrzs) {
  // Equal mapping flags, before anything else.
  for (bool both : {false, true}) {
    g_rotated_struct[0].has_inverse = both;
    g_rotated_struct[1].has_inverse = both;
    Script s;
    s.red = {{0, 0}};
    EXPECT_EQ(walk(s), -41);
    EXPECT_TRUE(s.redCalls.empty());
  }
  // Not a visa: the record is still copied, the corner list emptied.
  g_rotated_struct[0].has_inverse = false;
  g_rotated_struct[1].has_inverse = true;
  g_rotated_struct[1].crop_x = 9;
  g_point_list = {cv::Point(1, 1)};
  result_.mrz[0] = 'P';
  Script s;
  s.red = {{0, 0}};
  EXPECT_EQ(walk(s), 0);
  EXPECT_TRUE(s.redCalls.empty());
  EXPECT_TRUE(g_point_list.empty());
  EXPECT_EQ(g_get_issue_addr.crop_x, 9);
  // A visa of two lines of 36 matches no record.
  result_.mrz[0] = 'V';
  result_.mrz_type = 1;
  EXPECT_EQ(walk(s), 0);
  EXPECT_TRUE(s.redCalls.empty());
  EXPECT_STREQ(result_.add_id, "");
  // Too few boxes to place the items by.
  result_.mrz_type = 0;
  g_posRect.resize(40);
  EXPECT_EQ(walk(s), -41);
  EXPECT_TRUE(s.redCalls.empty());
}

TEST_F(VisaWalk, ItemsAboveAShortPageAreNotCut) {
  // A page of 800 rows with the MRZ at the top of its band: the regions of
  // the high number and of both categories (16 to 26 pitches up) lie above
  // row 0, are clamped to nothing and no reader sees them; the low number's
  // region is cut as usual. With no crop to look in, the walk ends with 0.
  page_ = cv::Mat(800, 1600, CV_8UC3, cv::Scalar::all(230));
  for (cv::Rect& b : g_posRect) b.y = kEdge + 20;
  Script s;
  s.red = {{1, 0}};
  EXPECT_EQ(walk(s), 0);
  EXPECT_EQ(s.redCalls, std::vector<int>{0});
  EXPECT_TRUE(s.categoryCalls.empty());
}

}  // namespace
