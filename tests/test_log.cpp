// Logger, log file and error texts.
#include <gtest/gtest.h>

#include <ostream>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#include "error_def.h"
#include "vyr_log.h"

namespace fs = std::filesystem;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

std::string stdout_of(const std::function<void()>& f) {
  CaptureStdout();
  f();
  return GetCapturedStdout();
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void write_file(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

// Every test starts from the logger's load-time settings in its own
// directory, and puts the settings back afterwards.
class LogTest : public testing::Test {
 protected:
  void SetUp() override {
    saved_dummy_ = g_log_dummy;
    saved_file_dummy_ = g_log_file_dummy;
    std::memcpy(saved_name_, g_log_file_name, sizeof(saved_name_));
    g_log_dummy = 0;
    g_log_file_dummy = 1;
    std::memset(g_log_file_name, 0, sizeof(g_log_file_name));
    std::string tmpl = testing::TempDir() + "vyrlogXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    g_log_dummy = saved_dummy_;
    g_log_file_dummy = saved_file_dummy_;
    std::memcpy(g_log_file_name, saved_name_, sizeof(saved_name_));
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

  std::string dir_;

 private:
  int saved_dummy_ = 0;
  int saved_file_dummy_ = 1;
  char saved_name_[sizeof(g_log_file_name)] = {};
};

// ---- levels and quiet mode --------------------------------------------------

struct LevelCase {
  int quiet;
  int level;
  bool shown;
};

void PrintTo(const LevelCase& c, std::ostream* os) {
  *os << "quiet " << c.quiet << " level " << c.level;
}

class LogLevel : public LogTest, public testing::WithParamInterface<LevelCase> {};

TEST_P(LogLevel, QuietModeLetsOnlyLevelOneThrough) {
  const LevelCase& c = GetParam();
  const std::string file = path("log.txt");
  ASSERT_EQ(vyr_set_log_file(file.c_str()), 0);
  vyr_set_log_dummy(c.quiet);
  const std::string out = stdout_of([&] { vyr_log(c.level, "msg %d", 7); });
  const std::string want = c.shown ? "msg 7\n" : "";
  EXPECT_EQ(out, want);
  EXPECT_EQ(read_file(file), want);  // the file gets exactly what is printed
}

INSTANTIATE_TEST_SUITE_P(Levels, LogLevel,
                         testing::Values(LevelCase{0, 0, true}, LevelCase{0, 1, true},
                                         LevelCase{0, 2, true}, LevelCase{0, -1, true},
                                         LevelCase{1, 0, false}, LevelCase{1, 1, true},
                                         LevelCase{1, 2, false}, LevelCase{1, -1, false},
                                         LevelCase{5, 0, false}, LevelCase{5, 1, true}));

// ---- formatting ---------------------------------------------------------------

TEST_F(LogTest, MessageGetsNoPrefixAndExactlyOneNewline) {
  EXPECT_EQ(stdout_of([] { vyr_log(0, "%s=%d %.3f ms", "x", -3, 1.5); }), "x=-3 1.500 ms\n");
  EXPECT_EQ(stdout_of([] { vyr_log(0, "line\n"); }), "line\n\n");
  EXPECT_EQ(stdout_of([] { vyr_log(1, "%s", ""); }), "\n");
  EXPECT_EQ(stdout_of([] { vyr_log(0, "证件名称:%s", "护照"); }), "证件名称:护照\n");
}

struct LongCase {
  std::size_t length;  // of the formatted text
  std::size_t kept;    // characters that reach the output
};

void PrintTo(const LongCase& c, std::ostream* os) { *os << c.length << " chars"; }

class LogLong : public LogTest, public testing::WithParamInterface<LongCase> {};

TEST_P(LogLong, TextBeyond1022CharactersIsCut) {
  const LongCase& c = GetParam();
  std::string text(c.length, 'a');
  for (std::size_t i = 0; i < text.size(); ++i) text[i] = static_cast<char>('a' + i % 26);
  const std::string file = path("long.txt");
  ASSERT_EQ(vyr_set_log_file(file.c_str()), 0);
  const std::string out = stdout_of([&] { vyr_log(0, "%s", text.c_str()); });
  EXPECT_EQ(out, text.substr(0, c.kept) + "\n");
  EXPECT_EQ(read_file(file), out);
}

INSTANTIATE_TEST_SUITE_P(Lengths, LogLong,
                         testing::Values(LongCase{1021, 1021}, LongCase{1022, 1022},
                                         LongCase{1023, 1022}, LongCase{1024, 1022},
                                         LongCase{5000, 1022}, LongCase{100000, 1022}));

TEST_F(LogTest, CutNeverSplitsAUtf8Character) {
  // "中" is three bytes: starting at byte 1021 it would be cut after its first.
  const std::string split = std::string(1021, 'a') + "中文";
  EXPECT_EQ(stdout_of([&] { vyr_log(0, "%s", split.c_str()); }), std::string(1021, 'a') + "\n");
  // Starting at byte 1019 it ends exactly at the limit and stays whole.
  const std::string whole = std::string(1019, 'a') + "中文";
  EXPECT_EQ(stdout_of([&] { vyr_log(0, "%s", whole.c_str()); }),
            std::string(1019, 'a') + "中\n");
}

// ---- log file -----------------------------------------------------------------

TEST_F(LogTest, LogFileCollectsEveryPrintedMessage) {
  const std::string file = path("app.log");
  write_file(file, "old\n");
  ASSERT_EQ(vyr_set_log_file(file.c_str()), 0);
  EXPECT_EQ(g_log_file_dummy, 0);
  EXPECT_STREQ(g_log_file_name, file.c_str());
  stdout_of([] {
    vyr_log(1, "first %d", 1);
    vyr_log(0, "second\n");
  });
  EXPECT_EQ(read_file(file), "old\nfirst 1\nsecond\n\n");
}

TEST_F(LogTest, NullPathSwitchesTheFileOffAndKeepsThePath) {
  const std::string file = path("off.log");
  ASSERT_EQ(vyr_set_log_file(file.c_str()), 0);
  stdout_of([] { vyr_log(0, "kept"); });
  EXPECT_EQ(vyr_set_log_file(nullptr), 1);
  EXPECT_EQ(g_log_file_dummy, 1);
  EXPECT_STREQ(g_log_file_name, file.c_str());
  EXPECT_EQ(stdout_of([] { vyr_log(0, "not kept"); }), "not kept\n");
  EXPECT_EQ(read_file(file), "kept\n");
}

struct RolloverCase {
  long size_before;
  bool emptied;
};

void PrintTo(const RolloverCase& c, std::ostream* os) { *os << c.size_before << " bytes"; }

class LogRollover : public LogTest, public testing::WithParamInterface<RolloverCase> {};

TEST_P(LogRollover, FileStartsAfreshOnlyOnceOverTenMillionBytes) {
  const RolloverCase& c = GetParam();
  const std::string file = path("big.log");
  write_file(file, "");
  ASSERT_EQ(truncate(file.c_str(), c.size_before), 0);  // sparse: costs no disk
  ASSERT_EQ(get_file_size(file.c_str()), c.size_before);
  ASSERT_EQ(vyr_set_log_file(file.c_str()), 0);
  stdout_of([] { vyr_log(0, "next"); });
  if (c.emptied) {
    EXPECT_EQ(read_file(file), "next\n");
  } else {
    EXPECT_EQ(get_file_size(file.c_str()), c.size_before + 5);
    std::ifstream in(file, std::ios::binary);
    in.seekg(c.size_before);
    std::string tail(5, '\0');
    in.read(tail.data(), 5);
    EXPECT_EQ(tail, "next\n");
  }
}

INSTANTIATE_TEST_SUITE_P(Sizes, LogRollover,
                         testing::Values(RolloverCase{0, false}, RolloverCase{9999999, false},
                                         RolloverCase{10000000, false},
                                         RolloverCase{10000001, true},
                                         RolloverCase{12345678, true}));

TEST_F(LogTest, UnopenableFileReportsOnceAfterEachPrintedMessage) {
  const std::string file = path("missing/dir/app.log");
  ASSERT_EQ(vyr_set_log_file(file.c_str()), 0);
  const std::string err = "open log file [" + file + "] error\n";
  EXPECT_EQ(stdout_of([] {
              vyr_log(0, "a");
              vyr_log(1, "b");
            }),
            "a\n" + err + "b\n" + err);
  // In quiet mode the failure line is a level-0 line: not shown.
  vyr_set_log_dummy(1);
  EXPECT_EQ(stdout_of([] {
              vyr_log(0, "hidden");
              vyr_log(1, "shown");
            }),
            "shown\n");
  EXPECT_FALSE(fs::exists(path("missing")));
}

TEST_F(LogTest, OverlongPathIsRefusedAndSettingsStay) {
  const std::string first = path("first.log");
  ASSERT_EQ(vyr_set_log_file(first.c_str()), 0);

  // 199 characters fit the path field exactly.
  const std::string longest = dir_ + "/" + std::string(198 - dir_.size(), 'p');
  ASSERT_EQ(longest.size(), 199u);
  EXPECT_EQ(vyr_set_log_file(longest.c_str()), 0);
  EXPECT_STREQ(g_log_file_name, longest.c_str());
  stdout_of([] { vyr_log(0, "fits"); });
  EXPECT_EQ(read_file(longest), "fits\n");

  ASSERT_EQ(vyr_set_log_file(first.c_str()), 0);
  const std::string too_long = longest + "q";
  EXPECT_NE(stdout_of([&] { EXPECT_NE(vyr_set_log_file(too_long.c_str()), 0); }), "");
  EXPECT_STREQ(g_log_file_name, first.c_str());
  EXPECT_EQ(g_log_file_dummy, 0);
  EXPECT_EQ(g_log_file_name[sizeof(g_log_file_name) - 1], '\0');

  const std::string huge(5000, 'z');
  EXPECT_NE(stdout_of([&] { EXPECT_NE(vyr_set_log_file(huge.c_str()), 0); }), "");
  EXPECT_STREQ(g_log_file_name, first.c_str());
}

TEST_F(LogTest, FileSizeIsZeroWhenTheFileCannotBeExamined) {
  EXPECT_EQ(get_file_size(path("none").c_str()), 0);
  EXPECT_EQ(get_file_size(nullptr), 0);
  const std::string file = path("sized");
  write_file(file, "12345");
  EXPECT_EQ(get_file_size(file.c_str()), 5);
}

// ---- error texts ------------------------------------------------------------------

struct ErrorCase {
  int code;
  const char* printed;
};

void PrintTo(const ErrorCase& c, std::ostream* os) { *os << "code " << c.code; }

class ShowError : public LogTest, public testing::WithParamInterface<ErrorCase> {};

TEST_P(ShowError, LogsTheTextOfLocationCodesOnly) {
  const ErrorCase& c = GetParam();
  EXPECT_EQ(stdout_of([&] { showError(c.code); }), c.printed);
  vyr_set_log_dummy(1);  // a level-0 line
  EXPECT_EQ(stdout_of([&] { showError(c.code); }), "");
}

INSTANTIATE_TEST_SUITE_P(Codes, ShowError,
                         testing::Values(ErrorCase{-8, ""}, ErrorCase{-7, "image size error\n"},
                                         ErrorCase{-6, "rotation error\n"},
                                         ErrorCase{-5, "NO_SAFE_RECT\n"},
                                         ErrorCase{-4, "mrz length invalid\n"},
                                         ErrorCase{-3, "mrz one\n"}, ErrorCase{-2, "mrz none\n"},
                                         ErrorCase{-1, ""}, ErrorCase{0, ""}, ErrorCase{1, ""}));

}  // namespace
