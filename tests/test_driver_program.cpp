// The built vyrocr program run as a user runs it: in a working directory next
// to a "../models-release" directory (fixture models, dictionaries and the
// OCR-B sheets), over rendered passport pages with an expected-results file.
// Checks what it prints, the files it leaves and its exit status.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include <opencv2/imgcodecs.hpp>

#include "test_driver_fixtures.h"

using namespace driver_test;

namespace {

const std::string kProgram = std::string(VYR_BINARY_DIR) + "/vyrocr";
const std::string kData = VYR_TEST_DATA_DIR;

struct ProgramRun {
  int status = -1;  // exit status, or 128 + signal
  std::string out;
  std::string err;
};

// Runs the program in `cwd` with `input` on standard input and no display.
ProgramRun run_program(const std::string& cwd, const std::vector<std::string>& args, const std::string& input = "") {
  const std::string in_file = cwd + "/.stdin", out_file = cwd + "/.stdout", err_file = cwd + "/.stderr";
  write_file(in_file, input);
  const pid_t pid = fork();
  if (pid == 0) {
    if (chdir(cwd.c_str()) != 0) _exit(126);
    const int in = open(in_file.c_str(), O_RDONLY);
    const int out = open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(126);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    unsetenv("QT_QPA_PLATFORM");  // so a window that slips through aborts the run and shows
    alarm(120);  // a hang ends the run instead of the test suite
    std::vector<char*> argv{const_cast<char*>(kProgram.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(kProgram.c_str(), argv.data());
    _exit(127);
  }
  ProgramRun r;
  int st = 0;
  if (pid > 0 && waitpid(pid, &st, 0) == pid)
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  r.out = read_file(out_file);
  r.err = read_file(err_file);
  std::error_code ec;
  for (const std::string& f : {in_file, out_file, err_file}) fs::remove(f, ec);
  return r;
}

void write_png(const std::string& path, const cv::Mat& image) {
  fs::create_directories(fs::path(path).parent_path());
  ASSERT_TRUE(cv::imwrite(path, image)) << path;
}

bool under_sanitizer() {
#if defined(__SANITIZE_ADDRESS__)
  return true;
#else
  return false;
#endif
}

void copy(const std::string& from, const std::string& to) { copy_into(from, to); }

// <tmp>/models-release with what vyrocr_init loads, and <tmp>/cwd.
class Program : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = cwd_.path();
    cwd = root_ + "/cwd";
    fs::create_directories(cwd);
  }
  void fill_models() { fill_models_dir(root_ + "/models-release"); }
  std::string file(const std::string& rel) const { return cwd + "/" + rel; }

  TempCwd cwd_;  // the test process works there too; the program gets its own cwd
  std::string root_;
  std::string cwd;
};

const char* kUsageLines[] = {
    "Usages: ./vyrocr -m0/-m1 -r -s0/-s1 [file]/[dir] \n",
    "-m: m0,old_camera, m1: new_camera \n",
    "-r: include_subdirectory \n",
    "-s0: no_debug_output, -s1 debug_output \n",
    "-c1: 台湾/香港来大陆通行证, -c2 去往台湾香港通行证 \n",
    "-en/-mrz/-cn/-gbk: 使用指定的字符集识别，输入为一行文本的图像 \n",
    "-gen: 护照识别成功后，将识别的字符分割保存成图片 \n",
    "-ai: 护照识别时强制使用ai算法 \n\n",
};

TEST_F(Program, NoArgumentsPrintsUsage) {
  const ProgramRun r = run_program(cwd, {});
  EXPECT_EQ(r.status, 0);
  std::string usage;
  for (const char* l : kUsageLines) usage += l;
  EXPECT_TRUE(contains(r.out, usage)) << r.out;
}

TEST_F(Program, NoPathInitialisesNothing) {
  fill_models();
  const ProgramRun r = run_program(cwd, {"-s0", "-r", "-check"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "no filename given. \n");
  EXPECT_FALSE(fs::exists(file("test_info.txt")));
}

TEST_F(Program, InitFailureIsTheExitStatus) {
  fs::create_directories(root_ + "/models-release");  // nothing to load
  const ProgramRun r = run_program(cwd, {"-s0", "x.png"});
  std::smatch m;
  const std::regex form("init fail (-?\\d+), exit!\n");
  ASSERT_TRUE(std::regex_search(r.out, m, form)) << r.out;
  const int code = std::stoi(m[1]);
  EXPECT_NE(code, 0);
  EXPECT_EQ(r.status, code & 0xff);
  EXPECT_FALSE(contains(r.out, ">>>> error/total"));
}

TEST_F(Program, MissingInputIsAnError) {
  fill_models();
  const ProgramRun r = run_program(cwd, {"-s0", "-d0", "no/such/dir"});
  EXPECT_EQ(r.status, 1) << r.out << r.err;
  EXPECT_TRUE(contains(r.err, "cannot access no/such/dir")) << r.err;
  EXPECT_TRUE(contains(r.out, ">>>> error/total = 0/0 <<<<\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "end\n")) << r.out;
}

TEST_F(Program, MenuEndsWithStandardInput) {
  fill_models();
  fs::create_directories(file("empty"));
  ProgramRun r = run_program(cwd, {"-s0", "-d0", "-st", "empty"}, "");
  EXPECT_EQ(r.status, 1) << r.out;
  EXPECT_TRUE(contains(r.out, " select scan_type from:\n 0: 自适应模式\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "no scan type read: standard input ended")) << r.out;
  EXPECT_FALSE(contains(r.out, ">>>> error/total")) << r.out;

  r = run_program(cwd, {"-s0", "-d0", "-st", "empty"}, "9\n7\n");
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(r.out.find(" select scan_type from:", r.out.find(" select scan_type from:") + 1) != std::string::npos,
            true)
      << r.out;
  EXPECT_TRUE(contains(r.out, ">>>> error/total = 0/0 <<<<\n")) << r.out;
  EXPECT_TRUE(fs::is_directory(file("output")));
}

TEST_F(Program, FileThatIsNoImageIsAnError) {
  fill_models();
  write_file(file("notes.txt"), "x");
  const ProgramRun r = run_program(cwd, {"-s0", "-d0", "notes.txt"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(contains(r.err, "notes.txt is not an image file")) << r.err;
}

// Location only ("-none"): every rendered page is located, the empty
// record of the expected results agrees with every result, and the run
// shows no failure. Works with the fixture models.
TEST_F(Program, LocatesRenderedPagesWithNoFailure) {
  fill_models();
  for (const auto& e : fs::directory_iterator(kData + "/driver/pages"))
    copy(e.path().string(), file("pages/" + e.path().filename().string()));
  write_file(file("test_ocr_result.txt"), "item_start:\nitem_end.\n");
  const ProgramRun r = run_program(cwd, {"-s0", "-d0", "-check", "-none", "-st1", "pages"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, ">>>> error/total = 0/3 <<<<\n")) << r.out;
  EXPECT_TRUE(contains(r.out, ">>>> info_error_cnt/total = 0/3 <<<<\n")) << r.out;
  EXPECT_TRUE(contains(r.out, ">>>> rotated_count/total = 0/3 <<<<\nend\n")) << r.out;
  const std::vector<std::string> lines = lines_of(read_file(file("test_info.txt")));
  ASSERT_EQ(lines.size(), 3u);
  for (const std::string& l : lines) {
    EXPECT_TRUE(std::regex_match(l, std::regex("(vyr_passport_scan: \\d*\t)+执行结果: 0\t信息校验成功\tpages/p_[a-z]+\\.png\t")))
        << l;
  }
  EXPECT_FALSE(fs::exists(file("infoError")));
  EXPECT_TRUE(fs::is_empty(file("output")));
}

// A located page whose (empty) result disagrees with the only record, and a
// page without an MRZ: both are counted and copied aside, names with shell
// characters included; nothing they name is run.
TEST_F(Program, FailingImagesAreCountedAndCopiedAside) {
  fill_models();
  copy(kData + "/driver/pages/p_chn.png", file("in/x;touch PWNED;.png"));
  write_png(file("in/sub/blank page.png"), cv::Mat(1120, 1600, CV_8UC3, cv::Scalar(230, 230, 230)));
  write_file(file("test_ocr_result.txt"), "item_start:\nid:NOT-THIS\nitem_end.\n");
  const ProgramRun r = run_program(cwd, {"-s0", "-d0", "-check", "-none", "-det1", "-r", "-st1", "in"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, ">>>> error/total = 2/2 <<<<\n")) << r.out;
  EXPECT_TRUE(contains(r.out, ">>>> info_error_cnt/total = 1/2 <<<<\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "write infoError/in/x;touch PWNED;.png\n>>> 信息校验错误 <<<\n")) << r.out;
  EXPECT_EQ(read_file(file("infoError/in/x;touch PWNED;.png")), read_file(kData + "/driver/pages/p_chn.png"));
  EXPECT_TRUE(fs::exists(file("output/in/x;touch PWNED;.png")));
  EXPECT_TRUE(fs::exists(file("output/sub/blank page.png")));
  EXPECT_FALSE(fs::exists(file("PWNED")));
  EXPECT_FALSE(fs::exists(file("in/PWNED")));
  const std::string info = read_file(file("test_info.txt"));
  EXPECT_TRUE(contains(info, "执行结果: 0\t信息校验失败\tin/x;touch PWNED;.png\t\n")) << info;
  EXPECT_TRUE(std::regex_search(info, std::regex("执行结果: -\\d+\tin/sub/blank page.png\t\n"))) << info;
}

// The rendered pages read end to end and agree with their records. Needs the
// released text models (tools/build_models.sh writes models-release); the
// face and card detectors come from the fixtures when the release has none.
TEST_F(Program, ReadsRenderedPagesAndAgreesWithTheExpectedResults) {
  const std::string release = std::string(VYR_SOURCE_DIR) + "/models-release";
  if (!fs::exists(release + "/ocrv3_mrz.p")) GTEST_SKIP() << "no models-release";
  if (under_sanitizer()) GTEST_SKIP() << "the released models are too slow under the sanitizers";
  const std::string m = root_ + "/models-release";
  fs::create_directories(m);
  for (const auto& e : fs::directory_iterator(release)) copy(e.path().string(), m + "/" + e.path().filename().string());
  if (!fs::exists(m + "/fd4_2.p")) copy(kData + "/detectors/face_fixture.p", m + "/fd4_2.p");
  if (!fs::exists(m + "/card.p")) copy(kData + "/detectors/card_fixture.p", m + "/card.p");
  for (const auto& e : fs::directory_iterator(kData + "/driver/pages"))
    copy(e.path().string(), file("pages/" + e.path().filename().string()));
  copy(kData + "/driver/test_ocr_result.txt", file("test_ocr_result.txt"));
  const ProgramRun r = run_program(cwd, {"-s0", "-d0", "-check", "-st1", "pages"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, ">>>> error/total = 0/3 <<<<\n")) << r.out;
  EXPECT_TRUE(contains(r.out, ">>>> info_error_cnt/total = 0/3 <<<<\n")) << r.out;
  const std::string info = read_file(file("test_info.txt"));
  EXPECT_EQ(lines_of(info).size(), 3u) << info;
  for (const std::string& l : lines_of(info)) EXPECT_TRUE(contains(l, "执行结果: 0\t信息校验成功\tpages/")) << l;
}

// Debug windows are on by default; with no display the run neither aborts nor
// waits for a key, whatever the mode.
TEST_F(Program, NoDisplayNeverBlocksOrAborts) {
  fill_models();
  copy(kData + "/driver/pages/p_chn.png", file("pages/p_chn.png"));
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"-d0", "pages"}, {"-d0", "-face", "pages"}, {"-d0", "-card", "pages/p_chn.png"},
        {"-d0", "-stop", "-check", "pages"}}) {
    const ProgramRun r = run_program(cwd, args);
    EXPECT_EQ(r.status, 0) << args[1] << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "no display: debug windows and key waits are off\n")) << r.out;
    EXPECT_TRUE(contains(r.out, "/total = 0/1 <<<<\n")) << r.out;
  }
}

// -mrz reads line images of at most 99 rows with the MRZ recogniser and
// checks them against their label directory. The fixture recogniser reads a
// uniform grey of 5k + 5 as class k, one symbol for the whole line.
TEST_F(Program, MrzLineTestUsesTheLabelDirectory) {
  fill_models();
  const auto grey_line = [](int k) { return cv::Mat(48, 160, CV_8UC3, cv::Scalar::all(5 * k + 5)); };
  write_png(file("lines/7/a.png"), grey_line(8));    // dictionary line 8 is '7'
  write_png(file("lines/AA/b.png"), grey_line(11));  // '<'
  write_png(file("lines/AB/c.png"), grey_line(12));  // 'A', but no label
  write_png(file("lines/8/d.png"), grey_line(8));    // '7' under 8
  const ProgramRun r = run_program(cwd, {"-s0", "-d0", "-mrz", "-r", "lines"});
  EXPECT_EQ(r.status, 0) << r.out << r.err;
  EXPECT_TRUE(contains(r.out, "[7]\n")) << r.out;
  EXPECT_TRUE(contains(r.out, "[<]\n")) << r.out;
  EXPECT_TRUE(contains(r.out, ">>>> error/total = 2/4 <<<<\n")) << r.out;
  const std::string info = read_file(file("test_info.txt"));
  EXPECT_TRUE(contains(info, "执行结果: 0\tlines/7/a.png\t\n")) << info;
  EXPECT_TRUE(contains(info, "执行结果: 0\tlines/AA/b.png\t\n")) << info;
  EXPECT_TRUE(contains(info, "执行结果: -1\tlines/AB/c.png\t\n")) << info;
  EXPECT_TRUE(contains(info, "执行结果: -1\tlines/8/d.png\t\n")) << info;
  EXPECT_TRUE(fs::exists(file("output/AB/c.png")));
}

}  // namespace
