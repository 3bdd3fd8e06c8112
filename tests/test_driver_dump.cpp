// The training-data dump: character crops and random runs from a read MRZ,
// written under "gen_data" and labelled in "label.txt"; and the directory
// name rule the driver shares with it.
#include <cstring>
#include <regex>
#include <set>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "gen_data.h"
#include "global.h"
#include "test_driver_fixtures.h"

using namespace driver_test;

namespace {

TEST(DirectoryName, TableOfPaths) {
  struct Case {
    const char* path;
    int length;
    const char* name;
  };
  const Case cases[] = {
      {"images/a.png", 6, "images"},         {"./images/sub/a.png", 3, "sub"},
      {"/data/images/sub/a.png", 3, "sub"},  {"scans//a.png", 0, ""},
      {"a.png", -1, "unchanged"},            {"/a.png", -1, "unchanged"},
      {"x;touch PWNED;/a b.png", 14, "x;touch PWNED;"},
  };
  for (const Case& c : cases) {
    std::string out = "unchanged";
    EXPECT_EQ(get_last_subdir(c.path, out), c.length) << c.path;
    EXPECT_EQ(out, c.name) << c.path;
  }
}

TEST(DumpStem, TableOfPaths) {
  const std::pair<const char*, const char*> cases[] = {
      {"/data/scans/P001.jpg", "P001"}, {"noext", ""},        {"x.y/z", "x"},
      {".png", ""},                     {"dir/.png", ""},     {"a/b.c.jpg", "b.c"},
      {"P002.PNG", "P002"},
  };
  for (const auto& c : cases) EXPECT_EQ(gen_data_stem(c.first), c.second) << c.first;
}

TEST(AppendFile, AppendsLinesAndReportsFailure) {
  TempCwd cwd;
  EXPECT_EQ(append_valid_region_file("x.txt", "one"), 0);
  EXPECT_EQ(append_valid_region_file("x.txt", "two"), 0);
  EXPECT_EQ(read_file("x.txt"), "one\ntwo\n");
  const std::string out = captured([] { EXPECT_EQ(append_valid_region_file("no/such/dir/x.txt", "t"), -1); });
  EXPECT_EQ(out, "write result file error!");
}

// A 44-box MRZ line image: dark glyph blocks at a 20-pixel pitch.
struct Line {
  cv::Mat image;
  std::vector<cv::Rect> boxes;
};

Line make_line(int count, int rows = 40) {
  Line l;
  l.image = cv::Mat(rows, count * 20 + 10, CV_8UC3, cv::Scalar(255, 255, 255));
  for (int i = 0; i < count; ++i) {
    l.boxes.emplace_back(5 + i * 20, 8, 14, 24);
    cv::rectangle(l.image, l.boxes.back(), cv::Scalar(0, 0, 0), cv::FILLED);
  }
  return l;
}

OCR_RESULT result_with_mrz(const std::string& line1, const std::string& line2) {
  OCR_RESULT r{};
  std::memcpy(r.mrz, line1.data(), line1.size());
  std::memcpy(r.mrz + 44, line2.data(), line2.size());
  return r;
}

const std::string kLine1 = "P<UTOERIKSSON<<ANNA<MARIA<<<<<<<<<<<<<<<<<<<";
const std::string kLine2 = "L89KK2C36UTO7408122F1204159ZE184226<<<<<<<<<";  // ends in nine '<'

TEST(CharDump, OneCropPerCharacterAndEveryFourthFiller) {
  TempCwd cwd;
  setDebugShow(0);
  Line line = make_line(44);
  OCR_RESULT r = result_with_mrz(kLine1, kLine2);
  get_valid_char_img(line.image, line.boxes, 2, r, "/data/scans/P001.jpg");

  const std::vector<std::string> labels = lines_of(read_file("label.txt"));
  // 35 characters before the fillers, then fillers 1, 5 and 9 of nine.
  ASSERT_EQ(labels.size(), 35u + 3u);
  EXPECT_EQ(labels[3], "K/P001_2_47.jpg\tK");
  EXPECT_EQ(labels[35], "AA/P001_2_79.jpg\t<");
  EXPECT_EQ(labels[36], "AA/P001_2_83.jpg\t<");
  EXPECT_EQ(labels[37], "AA/P001_2_87.jpg\t<");
  for (const std::string& l : labels) {
    const std::string rel = l.substr(0, l.find('\t'));
    const cv::Mat crop = cv::imread("gen_data/" + rel);
    ASSERT_FALSE(crop.empty()) << rel;
    EXPECT_EQ(crop.rows, 48) << rel;
  }
  EXPECT_FALSE(fs::exists("gen_data/AA/P001_2_80.jpg"));
}

TEST(CharDump, SkipsWhatCannotBeCutOrNamed) {
  TempCwd cwd;
  setDebugShow(0);
  Line line = make_line(6);
  OCR_RESULT r = result_with_mrz("AB D.F", "");  // a blank and a '.' name no folder
  line.boxes[3] = cv::Rect(5000, 5000, 10, 10);  // outside the image: empty crop
  get_valid_char_img(line.image, line.boxes, 1, r, "x.y/z");
  EXPECT_EQ(read_file("label.txt"), "A/x_1_00.jpg\tA\nB/x_1_01.jpg\tB\nF/x_1_05.jpg\tF\n");
  std::set<std::string> folders;
  for (const auto& e : fs::directory_iterator("gen_data")) folders.insert(e.path().filename().string());
  EXPECT_EQ(folders, (std::set<std::string>{"A", "B", "D", "F"}));  // D is made before its crop fails

  // No boxes: only the directory.
  fs::remove("label.txt");
  get_valid_char_img(line.image, {}, 1, r, "x.png");
  EXPECT_TRUE(fs::is_directory("gen_data"));
  EXPECT_FALSE(fs::exists("label.txt"));
}

TEST(RunDump, TwoHundredLabelledRunsThatNeverReachTheLastBox) {
  TempCwd cwd;
  setDebugShow(0);
  Line l1 = make_line(44), l2 = make_line(44);
  OCR_RESULT r = result_with_mrz(kLine1, kLine2);
  const std::string out = captured([&] { get_valid_region_img(l1.image, l1.boxes, l2.image, l2.boxes, r, "a/P7.png"); });
  EXPECT_EQ(out, "");  // quiet with the debug display off

  const std::vector<std::string> labels = lines_of(read_file("label.txt"));
  ASSERT_EQ(labels.size(), 200u);
  const std::regex form(R"(BB/P7_([12])_(\d\d)_(\d\d)\.jpg\t(.*))");
  for (const std::string& l : labels) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, form)) << l;
    const int line = std::stoi(m[1]), pos = std::stoi(m[2]), len = std::stoi(m[3]);
    EXPECT_GE(len, 2);
    EXPECT_LE(len, 15);
    EXPECT_LE(pos + len, 43) << l;  // the last box is never part of a run
    EXPECT_EQ(m[4].str(), (line == 1 ? kLine1 : kLine2).substr(static_cast<size_t>(pos), static_cast<size_t>(len)));
    const cv::Mat crop = cv::imread("gen_data/" + l.substr(0, l.find('\t')));
    ASSERT_FALSE(crop.empty()) << l;
    EXPECT_EQ(crop.rows, 48);
  }
}

TEST(RunDump, ShortLinesStayWithinTheirOwnBoxes) {
  TempCwd cwd;
  setDebugShow(0);
  Line l1 = make_line(5), l2 = make_line(1), none;
  OCR_RESULT r = result_with_mrz(kLine1, kLine2);
  get_valid_region_img(l1.image, l1.boxes, l2.image, l2.boxes, r, "s.png");
  const std::vector<std::string> labels = lines_of(read_file("label.txt"));
  ASSERT_FALSE(labels.empty());
  const std::regex form(R"(BB/s_1_(\d\d)_(\d\d)\.jpg\t.*)");  // one box on line 2: never a run
  for (const std::string& l : labels) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, form)) << l;
    EXPECT_LE(std::stoi(m[1]) + std::stoi(m[2]), 5) << l;
  }
  // No boxes at all, and an MRZ too short for the runs: nothing, no crash.
  fs::remove("label.txt");
  get_valid_region_img(none.image, none.boxes, none.image, none.boxes, r, "s.png");
  OCR_RESULT empty{};
  get_valid_region_img(l1.image, l1.boxes, l1.image, l1.boxes, empty, "s.png");
  EXPECT_FALSE(fs::exists("label.txt"));
}

TEST(RunDump, DebugDisplayPrintsTheDraws) {
  TempCwd cwd;
  setDebugShow(1);
  Line l1 = make_line(44), l2 = make_line(44);
  OCR_RESULT r = result_with_mrz(kLine1, kLine2);
  const std::string out = captured([&] { get_valid_region_img(l1.image, l1.boxes, l2.image, l2.boxes, r, "d.png"); });
  setDebugShow(0);
  EXPECT_TRUE(contains(out, "valid_line=")) << out;
  EXPECT_TRUE(contains(out, ",valid_pos=")) << out;
  EXPECT_TRUE(contains(out, "BB/d_")) << out;
}

}  // namespace
