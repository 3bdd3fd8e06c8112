// The driver in process: option parsing, the scan-type menu, the image walk,
// the per-image run with scripted scan results, and the copies of failing
// images. The scan itself is replaced through the driver's scan hook, so
// these tests need no models; test_driver_program runs the real thing.
#include <cstring>
#include <deque>
#include <set>

#include <opencv2/imgcodecs.hpp>

#include "card_main.h"
#include "gen_data.h"
#include "global.h"
#include "test.h"
#include "test_driver_fixtures.h"
#include "test_ocr_result.h"
#include "vyr_crnn.h"
#include "vyr_log.h"

using namespace driver_test;

namespace {

// ---- scripted scan ------------------------------------------------------------------

struct Script {
  std::deque<int> codes;  // one per call; 0 when exhausted
  int calls = 0;
  const char* id = "";    // written into the result on success
  bool rotate = false;    // set the rotate status during the scan
};
Script g_script;

int scripted_scan(cv::Mat&, int, OCR_RESULT& result) {
  ++g_script.calls;
  std::memset(&result, 0, sizeof result);
  append_test_info_item("vyr_passport_scan: ", TEST_INFO_NO_VALUE);
  if (g_script.rotate) set_rotate_status();
  int r = 0;
  if (!g_script.codes.empty()) {
    r = g_script.codes.front();
    g_script.codes.pop_front();
  }
  if (r == 0) std::strcpy(result.id, g_script.id);
  append_test_info_item("vyr_passport_scan: ", 5);
  return r;
}

// A small PNG under any file name.
void make_image(const std::string& path, int rows = 40, int cols = 60) {
  std::vector<uchar> png;
  ASSERT_TRUE(cv::imencode(".png", cv::Mat(rows, cols, CV_8UC3, cv::Scalar(200, 100, 50)), png));
  write_file(path, std::string(png.begin(), png.end()));
}

// The image paths named in test_info.txt, one line per classified image.
std::multiset<std::string> scanned_paths() {
  std::multiset<std::string> out;
  for (const std::string& line : lines_of(read_file("test_info.txt"))) {
    if (line.size() < 2) continue;
    const std::string body = line.substr(0, line.size() - 1);  // drop the last tab
    out.insert(body.substr(body.rfind('\t') == std::string::npos ? 0 : body.rfind('\t') + 1));
  }
  return out;
}

class Driver : public ::testing::Test {
 protected:
  void SetUp() override {
    reset_driver_state();
    setDebugShow(0);
    setDetectMode(0);
    vyr_set_log_dummy(1);
    g_scan_none = 0;
    ocr_info_list.clear();
    g_script = Script();
    set_driver_scan_function(scripted_scan);
  }
  void TearDown() override {
    set_driver_scan_function(nullptr);
    setDetectMode(0);
    g_scan_none = 0;
    vyr_set_log_dummy(0);
  }
  int run(const std::string& path, int in_dir) {
    int r = 0;
    out_ = captured([&] { r = main_process(path.c_str(), in_dir); });
    return r;
  }
  TempCwd cwd_;
  std::string out_;
};

// ---- options -----------------------------------------------------------------------

struct ArgsCase {
  const char* name;
  std::vector<const char*> args;
  std::string path;
  std::string scan_type;
  int stop;
  int check;
};

class Options : public Driver, public ::testing::WithParamInterface<ArgsCase> {};

TEST_P(Options, ParseAsTheTableSays) {
  const ArgsCase& c = GetParam();
  std::vector<char*> argv{const_cast<char*>("vyrocr")};
  for (const char* a : c.args) argv.push_back(const_cast<char*>(a));
  std::string path;
  int recursive = 0;
  parse_args(static_cast<int>(argv.size()), argv.data(), path, recursive);
  EXPECT_EQ(path, c.path);
  EXPECT_EQ(std::string(g_set_scan_type), c.scan_type);
  EXPECT_EQ(stop_on_check_error, c.stop);
  EXPECT_EQ(g_check_ocr_result, c.check);
}

INSTANTIATE_TEST_SUITE_P(
    Driver, Options,
    ::testing::Values(
        ArgsCase{"StopBeforeSt", {"-stop", "a"}, "a", "", 1, -2},
        ArgsCase{"StopxIsScanType", {"-stopx", "a"}, "a", "-stopx", 0, -2},
        ArgsCase{"St7", {"-st7", "a"}, "a", "-st7", 0, -2},
        ArgsCase{"BareStThenNumberIsPath", {"-st", "7"}, "7", "-st", 0, -2},
        ArgsCase{"LongStCut", {"-st00000000000000000000000000000007"}, "", "-st0000000000000000", 0, -2},
        ArgsCase{"NotOptionsArePaths", {"-s2", "-det4", "-x"}, "-x", "", 0, -2},
        ArgsCase{"LastPathWins", {"a", "-s0", "b"}, "b", "", 0, -2},
        ArgsCase{"CheckThenNocheck", {"-check", "-nocheck", "a"}, "a", "", 0, -2},
        ArgsCase{"NocheckThenCheck", {"-nocheck", "-check", "a"}, "a", "", 0, -1}),
    [](const ::testing::TestParamInfo<ArgsCase>& i) { return std::string(i.param.name); });

TEST_F(Driver, OptionsSetTheSwitches) {
  const char* args[] = {"vyrocr", "-m0", "-r", "-s1", "-s0", "-d0", "-mrz", "-gpu", "-det2", "-card",
                        "-face", "-none", "-gen", "-ai", "-c2", "dir"};
  std::string path;
  int recursive = 0;
  parse_args(16, const_cast<char**>(args), path, recursive);
  EXPECT_EQ(g_camera, 0);
  EXPECT_EQ(recursive, 1);
  EXPECT_FALSE(isDebugShow());
  EXPECT_EQ(g_log_dummy, 1);
  EXPECT_EQ(g_model_type, 1);
  EXPECT_EQ(g_use_gpu, 1);
  EXPECT_EQ(getDetectMode(), 2);
  EXPECT_EQ(g_test_card, 1);
  EXPECT_EQ(g_test_face, 1);
  EXPECT_EQ(g_scan_none, 1);
  EXPECT_EQ(cardClass, 2);
  EXPECT_EQ(path, "dir");
  const char* c1[] = {"vyrocr", "-c1"};
  parse_args(2, const_cast<char**>(c1), path, recursive);
  EXPECT_EQ(cardClass, 1);
  const std::pair<const char*, int> models[] = {{"-cn", 2}, {"-en", 0}, {"-env3", 4}, {"-mrz", 1}, {"-gbk", 3}};
  for (const auto& m : models) {
    const char* a[] = {"vyrocr", m.first};
    parse_args(2, const_cast<char**>(a), path, recursive);
    EXPECT_EQ(g_model_type, m.second) << m.first;
  }
}

// "-gpu" hands the device "opencl" to vyrocr_init, which puts the
// recognisers on it; the models directory is "../models-release".
TEST_F(Driver, GpuOptionNamesTheOpenclDevice) {
  fill_models_dir(cwd_.path() + "/models-release");
  fs::create_directory("cwd");
  fs::current_path("cwd");
  vyr_set_log_dummy(1);
  for (int gpu : {1, 0}) {
    g_use_gpu = gpu;
    captured([&] { EXPECT_EQ(init(1), 0); });
    EXPECT_EQ(g_model_opt, gpu);
    EXPECT_EQ(uninit(), 0);
  }
  fs::current_path("..");
}

// ---- scan-type menu ----------------------------------------------------------------

struct MenuCase {
  const char* name;
  const char* option;
  const char* input;
  int result;
  const char* item;  // the item vyrocr_set_scan_type leaves, "" for none
  int menus;         // times the menu is shown
};

class Menu : public Driver, public ::testing::WithParamInterface<MenuCase> {};

TEST_P(Menu, AsksUntilAcceptedOrInputEnds) {
  const MenuCase& c = GetParam();
  std::snprintf(g_set_scan_type, sizeof g_set_scan_type, "%s", c.option);
  FILE* in = fmemopen(const_cast<char*>(c.input), std::strlen(c.input), "r");
  if (!in) in = std::fopen("/dev/null", "r");  // fmemopen refuses an empty buffer
  ASSERT_NE(in, nullptr);
  vyr_set_log_dummy(0);
  init_test_info_item();
  int r = 0;
  const std::string out = captured([&] { r = set_scan_type(in); });
  std::fclose(in);
  EXPECT_EQ(r, c.result);
  size_t shown = 0;
  for (size_t p = out.find(" select scan_type from:"); p != std::string::npos;
       p = out.find(" select scan_type from:", p + 1))
    ++shown;
  EXPECT_EQ(shown, static_cast<size_t>(c.menus)) << out;
  if (c.item[0]) {
    EXPECT_EQ(current_test_info_line(), c.item);
  } else {
    EXPECT_EQ(current_test_info_line(), "");
  }
  EXPECT_EQ(contains(out, "no scan type read: standard input ended"), c.result < 0) << out;
  EXPECT_EQ(contains(out, " 8: 外国人居留许可模式\n"), c.menus > 0) << out;
}

INSTANTIATE_TEST_SUITE_P(
    Driver, Menu,
    ::testing::Values(MenuCase{"NoOption", "", "", 0, "", 0},
                      MenuCase{"Number", "-st7", "", 0, "vyrocr_set_scan_type: 7\t", 0},
                      MenuCase{"Unsupported", "-st13", "", 0, "vyrocr_set_scan_type: 0\t", 0},
                      MenuCase{"Negative", "-st-1", "", 0, "vyrocr_set_scan_type: 0\t", 0},
                      MenuCase{"Huge", "-st9999999999999999", "", 0, "vyrocr_set_scan_type: 0\t", 0},
                      MenuCase{"LeadingNumber", "-st8x", "", 0, "vyrocr_set_scan_type: 8\t", 0},
                      MenuCase{"NoDigits", "-stopx", "", 0, "vyrocr_set_scan_type: 0\t", 0},
                      MenuCase{"MenuRetries", "-st", "9\n7\n", 0, "vyrocr_set_scan_type: 7\t", 2},
                      MenuCase{"MenuSkipsText", "-st", "abc\n8\n", 0, "vyrocr_set_scan_type: 8\t", 2},
                      MenuCase{"MenuEmptyInput", "-st", "", -1, "", 1},
                      MenuCase{"MenuEndsAfterRefusal", "-st", "2\n", -1, "", 2},
                      MenuCase{"MenuEndsInText", "-st", "x", -1, "", 2},
                      MenuCase{"MenuHugeNumber", "-st", "99999999999999999999 1", 0, "vyrocr_set_scan_type: 1\t", 2}),
    [](const ::testing::TestParamInfo<MenuCase>& i) { return std::string(i.param.name); });

// ---- walk -----------------------------------------------------------------------------

TEST(Extension, Rule) {
  const std::pair<const char*, bool> cases[] = {
      {"IMG.PNG", true},       {"scan.Jpeg", true},  {"a.bmp", true},       {"a.tiff", true},
      {"a.webp", true},        {".png", true},       {"scan.jpg.txt", false}, {"scan.jp", false},
      {"scan", false},         {"a.jpe", false},     {"a.tif", false},      {"photos.old/scan", false},
      {"a.", false},
  };
  for (const auto& c : cases) EXPECT_EQ(is_image_extension(c.first), c.second) << c.first;
  std::string ext = "x";
  get_extension("dir/Photo.JPG", ext);
  EXPECT_EQ(ext, "jpg");
  get_extension("photos.old/scan", ext);
  EXPECT_EQ(ext, "");
}

TEST_F(Driver, OneFileOnlyWhenItIsAnImage) {
  make_image("in/IMG.PNG");
  write_file("in/scan.jpg.txt", "x");
  std::string out = captured([] { EXPECT_EQ(process_onefile("in/scan.jpg.txt"), -1); });
  EXPECT_EQ(out, "");
  out = captured([] { EXPECT_EQ(process_onefile("in/IMG.PNG"), 0); });
  EXPECT_TRUE(contains(out, "\n" + std::string(41, '-') + "\nin/IMG.PNG\n" + std::string(41, '-') + "\n")) << out;
  EXPECT_EQ(total_count, 1);
  EXPECT_FALSE(fs::exists("output"));  // single files are never copied aside
}

class Walk : public Driver {
 protected:
  void SetUp() override {
    Driver::SetUp();
    make_image("t/IMG.PNG");
    make_image("t/scan.Jpeg");
    make_image("t/.png");
    make_image("t/scan.jpg.txt");
    make_image("t/scan.jp");
    make_image("t/scan");
    make_image("t/.DS_Store");
    make_image("t/sub/deep.png");
    make_image("t/d.png/inner.png");  // a directory named like an image
    fs::create_directories("t/empty");
    fs::create_symlink("IMG.PNG", "t/link.png");
    write_file("t/broken.jpg", "not an image");
  }
};

TEST_F(Walk, FlatWalkScansTheImagesDirectlyInside) {
  const std::string out = captured([] { process_dir("t", 0); });
  EXPECT_EQ(scanned_paths(), (std::multiset<std::string>{"t/IMG.PNG", "t/scan.Jpeg", "t/.png"}));
  EXPECT_TRUE(contains(out, "t/broken.jpg is empty\n")) << out;
  EXPECT_EQ(total_count, 3);
  EXPECT_EQ(g_script.calls, 3);
  EXPECT_TRUE(fs::is_directory("output"));
}

TEST_F(Walk, RecursiveWalkDescendsIntoEveryDirectory) {
  captured([] { process_dir("t", 1); });
  EXPECT_EQ(scanned_paths(), (std::multiset<std::string>{"t/IMG.PNG", "t/scan.Jpeg", "t/.png", "t/sub/deep.png",
                                                         "t/d.png/inner.png"}));
}

TEST_F(Walk, TrailingSlashCopiesStraightIntoOutput) {
  g_script.codes = {-5, -5, -5, -5, -5, -5, -5, -5, -5};
  captured([] { process_dir("t/", 0); });
  EXPECT_EQ(scanned_paths(), (std::multiset<std::string>{"t//IMG.PNG", "t//scan.Jpeg", "t//.png"}));
  EXPECT_TRUE(fs::exists("output/IMG.PNG"));
  EXPECT_TRUE(fs::exists("output/.png"));
  EXPECT_EQ(errcount, 3);
}

TEST_F(Driver, EmptyOrMissingDirectoryScansNothing) {
  fs::create_directory("e");
  captured([] { process_dir("e", 1); });
  EXPECT_TRUE(fs::is_directory("output"));
  EXPECT_EQ(total_count, 0);
  fs::remove("output");
  captured([] { process_dir("missing", 1); });
  EXPECT_FALSE(fs::exists("output"));
}

// ---- per-image run ------------------------------------------------------------------

struct RetryCase {
  const char* name;
  int detect_mode;
  std::deque<int> codes;
  int calls;
  int result;
};

class Retries : public Driver, public ::testing::WithParamInterface<RetryCase> {};

TEST_P(Retries, UpToThreeScansUnlessTheModeIsFixed) {
  const RetryCase& c = GetParam();
  setDetectMode(c.detect_mode);
  g_script.codes = c.codes;
  make_image("img/a.png");
  EXPECT_EQ(run("img/a.png", 1), c.result);
  EXPECT_EQ(g_script.calls, c.calls);
  EXPECT_EQ(errcount, c.result == 0 ? 0 : 1);
  EXPECT_EQ(fs::exists("output/img/a.png"), c.result != 0);
  const std::string line = read_file("test_info.txt");
  EXPECT_TRUE(contains(line, "执行结果: " + std::to_string(c.result) + "\timg/a.png\t\n")) << line;
}

INSTANTIATE_TEST_SUITE_P(Driver, Retries,
                         ::testing::Values(RetryCase{"PassFirst", 0, {0}, 1, 0},
                                           RetryCase{"PassThird", 0, {-80, -80, 0}, 3, 0},
                                           RetryCase{"PassSecond", 0, {-80, 0}, 2, 0},
                                           RetryCase{"FailThrice", 0, {-80, -5, -7}, 3, -7},
                                           RetryCase{"FixedModeOnce", 2, {-80, 0}, 1, -80},
                                           RetryCase{"PositiveIsNoRetry", 0, {3, 0}, 1, 3}),
                         [](const ::testing::TestParamInfo<RetryCase>& i) { return std::string(i.param.name); });

TEST_F(Driver, UnsupportedDocumentPrintsItsMarker) {
  g_script.codes = {-1003, -1003, -1003};
  make_image("img/a.png");
  EXPECT_EQ(run("img/a.png", 0), -1003);
  EXPECT_TRUE(contains(out_, ">>> 证件不支持 <<<\n--------------------\n\n")) << out_;
  g_script.codes = {-5, -5, -5};
  EXPECT_EQ(run("img/a.png", 0), -5);
  EXPECT_FALSE(contains(out_, "证件不支持")) << out_;
  EXPECT_EQ(errcount, 2);
  EXPECT_FALSE(fs::exists("output"));  // single files are not copied
}

TEST_F(Driver, ComparisonFailureIsCopiedTwiceAndCounted) {
  write_file("test_ocr_result.txt", "item_start:\nid:E1\nitem_end.\n");
  g_check_ocr_result = init_check_ocr_1("./");
  ASSERT_EQ(g_check_ocr_result, 0);
  make_image("img/a.png");
  g_script.id = "E2";
  EXPECT_EQ(run("img/a.png", 1), -1111);
  EXPECT_TRUE(contains(out_, "write infoError/img/a.png\n>>> 信息校验错误 <<<\n--------------------\n")) << out_;
  EXPECT_TRUE(fs::exists("infoError/img/a.png"));
  EXPECT_TRUE(fs::exists("output/img/a.png"));
  EXPECT_EQ(info_error_cnt, 1);
  EXPECT_EQ(errcount, 1);
  g_script.id = "E1";
  EXPECT_EQ(run("img/a.png", 1), 0);
  EXPECT_EQ(errcount, 1);
  const std::vector<std::string> lines = lines_of(read_file("test_info.txt"));
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0],
            "vyr_passport_scan: \tvyr_passport_scan: 5\t执行结果: 0\t信息校验失败\timg/a.png\t");
  EXPECT_EQ(lines[1], "vyr_passport_scan: \tvyr_passport_scan: 5\t执行结果: 0\t信息校验成功\timg/a.png\t");
  // Without a comparison nothing is checked.
  g_check_ocr_result = -1;
  g_script.id = "E2";
  EXPECT_EQ(run("img/a.png", 1), 0);
}

TEST_F(Driver, RotateStatusIsCountedAndMarked) {
  g_script.rotate = true;
  make_image("img/a.png");
  run("img/a.png", 0);
  EXPECT_EQ(rotated_count, 1);
  EXPECT_EQ(lines_of(read_file("test_info.txt")).back(),
            "vyr_passport_scan: \tvyr_passport_scan: 5\t执行结果: 0\t字符行定位需要再次校正图片\timg/a.png\t");
  g_script.rotate = false;
  run("img/a.png", 0);
  EXPECT_EQ(rotated_count, 1);  // cleared for every image
  EXPECT_EQ(check_rotate_status(), 0);
}

TEST_F(Driver, UnreadableImageLeavesNoLineAndNoItems) {
  write_file("img/bad.png", "text");
  make_image("img/a.png");
  append_test_info_item("left over: ", 1);
  EXPECT_EQ(run("img/bad.png", 1), -1);
  EXPECT_EQ(out_, "img/bad.png is empty\n");
  EXPECT_EQ(total_count, 0);
  EXPECT_FALSE(fs::exists("test_info.txt"));
  run("img/a.png", 1);
  EXPECT_FALSE(contains(read_file("test_info.txt"), "left over")) << read_file("test_info.txt");
}

TEST_F(Driver, CardAndFaceTestsAreNeverClassified) {
  make_image("img/a.png");
  g_test_card = 1;
  g_test_face = 1;  // the card test wins
  EXPECT_EQ(run("img/a.png", 1), 0);  // no card model: test_card reports and returns 0
  g_test_card = 0;
  EXPECT_EQ(run("img/a.png", 1), -1);  // no face model: -1
  EXPECT_EQ(total_count, 2);
  EXPECT_EQ(errcount, 0);
  EXPECT_EQ(g_script.calls, 0);
  EXPECT_FALSE(fs::exists("test_info.txt"));
}

TEST_F(Driver, SingleLineTestsOnShortImages) {
  make_image("lines/7/a.png", 40, 200);
  make_image("lines/7/tall.png", 100, 200);
  struct Case {
    int model;
    const char* printed;
  };
  // Without loaded recognisers every reading is empty.
  const Case cases[] = {{1, "[]\n"}, {2, "[]\n"}, {3, "[]\n"}, {4, ""}};
  for (const Case& c : cases) {
    g_model_type = c.model;
    EXPECT_EQ(run("lines/7/a.png", 1), -1) << c.model;
    EXPECT_EQ(contains(out_, "[]\n"), c.printed[0] != '\0') << c.model << out_;
    EXPECT_TRUE(contains(out_, "--------------------\n")) << c.model;
  }
  EXPECT_EQ(g_script.calls, 0);
  EXPECT_EQ(errcount, 4);
  g_model_type = 1;
  EXPECT_EQ(run("lines/7/tall.png", 1), 0);  // 100 rows: the scan
  EXPECT_EQ(g_script.calls, 1);
}

// ---- copies ------------------------------------------------------------------------------

TEST_F(Driver, HostileFileNamesAreCopiedNeverRun) {
  const char* names[] = {"x;touch PWNED;.png", "a b.png", "q'uo\"te.png", "$(touch PWNED2).png",
                         "`touch PWNED3`.png", "-rf.png", "dir with space;ls/x y.png"};
  cv::Mat img;
  for (const char* name : names) {
    const std::string src = std::string("in dir/") + name;
    make_image(src);
    const std::string bytes = read_file(src);
    writeOutputFile(img, src.c_str());
    std::string out = captured([&] { writeInfoErrorFile(img, src.c_str()); });
    std::string dir;
    get_last_subdir(src.c_str(), dir);
    const std::string file = fs::path(src).filename().string();
    EXPECT_EQ(read_file("output/" + dir + "/" + file), bytes) << name;
    EXPECT_EQ(read_file("infoError/" + dir + "/" + file), bytes) << name;
    EXPECT_EQ(out, "write infoError/" + dir + "/" + file + "\n");
  }
  for (const char* sentinel : {"PWNED", "PWNED2", "PWNED3", "in dir/PWNED"}) EXPECT_FALSE(fs::exists(sentinel));
}

TEST_F(Driver, LaterCopyWinsAndFailuresAreReported) {
  cv::Mat img;
  write_file("x/scans/a.png", "first");
  write_file("y/scans/a.png", "second");
  writeOutputFile(img, "x/scans/a.png");
  writeOutputFile(img, "y/scans/a.png");
  EXPECT_EQ(read_file("output/scans/a.png"), "second");
  // No directory part: straight into output.
  write_file("top.png", "top");
  writeOutputFile(img, "top.png");
  EXPECT_EQ(read_file("output/top.png"), "top");
  // A copy onto itself (a walk that meets earlier copies) changes nothing.
  writeOutputFile(img, "output/scans/a.png");
  EXPECT_EQ(read_file("output/scans/a.png"), "second");

  testing::internal::CaptureStderr();
  writeOutputFile(img, "x/scans/missing.png");
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_TRUE(contains(err, "copy error: x/scans/missing.png -> output/scans/missing.png")) << err;
}

}  // namespace
