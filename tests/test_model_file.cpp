// Model-file readers: size window, header rules and messages, both reader
// forms, the committed fixtures and the vyrmodel packing tool.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "encode.h"
#include "model_file.h"
#include "vyr_log.h"

namespace fs = std::filesystem;

namespace {

using Bytes = std::vector<unsigned char>;

const std::string kModels = std::string(VYR_TEST_DATA_DIR) + "/models/";
const std::string kVyrModel = std::string(VYR_BINARY_DIR) + "/tools/vyrmodel";

Bytes slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

_s_model_head make_head(int e = 0, const char* version = "4.00", const char* id = "test") {
  _s_model_head h;
  std::memset(&h, 0, sizeof(h));
  h.magic = 0x11;
  h.tail_magic = 0x11;
  std::memcpy(h.v, version, std::min<size_t>(4, std::strlen(version)));
  h.e = static_cast<int8_t>(e);
  std::memcpy(h.id, id, std::min<size_t>(15, std::strlen(id)));
  return h;
}

Bytes container(const _s_model_head& h, const Bytes& body) {
  Bytes out(sizeof(h) + body.size());
  std::memcpy(out.data(), &h, sizeof(h));
  std::copy(body.begin(), body.end(), out.begin() + sizeof(h));
  return out;
}

Bytes pattern(size_t n, unsigned seed = 1) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& c : b) c = static_cast<unsigned char>(rng());
  return b;
}

// Runs f with standard output captured; quiet keeps only level-1 lines.
std::string captured(const std::function<void()>& f, bool quiet = false) {
  const int saved = g_log_dummy;
  vyr_set_log_dummy(quiet ? 1 : 0);
  testing::internal::CaptureStdout();
  f();
  std::string out = testing::internal::GetCapturedStdout();
  vyr_set_log_dummy(saved);
  return out;
}

class ModelFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/vyr_model_file_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string write(const std::string& name, const Bytes& data) {
    const std::string path = dir_ + "/" + name;
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
    return path;
  }
  std::string dir_;
};

// ---- failures of files -----------------------------------------------------------

struct FileFailure {
  const char* what;
  int size;           // -1: no file at all
  bool valid_marker;  // marker in place
  const char* message;
};

class ReaderRefuses : public ModelFileTest, public ::testing::WithParamInterface<FileFailure> {};

TEST_P(ReaderRefuses, BothFormsWithTheirLevelOneMessage) {
  const FileFailure& c = GetParam();
  std::string path = dir_ + "/model.p";
  if (c.size >= 0) {
    Bytes data = pattern(static_cast<size_t>(c.size));
    if (c.size >= 29) {
      data[0] = c.valid_marker ? 0x11 : 0x12;
      data[28] = c.valid_marker ? 0x11 : 0x10;
    }
    write("model.p", data);
  }
  char expected[512];
  std::snprintf(expected, sizeof(expected), c.message, path.c_str(), c.size);

  int64_t len = 12345;
  _s_model_head head;
  unsigned char* body = reinterpret_cast<unsigned char*>(1);
  const std::string out1 = captured([&] { body = read_model_from_file(path, len, 1, head); }, true);
  EXPECT_EQ(body, nullptr);
  EXPECT_EQ(len, 0);
  EXPECT_NE(out1.find(expected), std::string::npos) << out1;

  std::unique_ptr<unsigned char[]> holder(new unsigned char[16]);  // stale content
  len = 12345;
  int rc = 0;
  const std::string out2 = captured([&] { rc = read_model_from_file(path, holder, len, 1); }, true);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(holder, nullptr);
  EXPECT_NE(out2.find(expected), std::string::npos) << out2;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReaderRefuses,
    ::testing::Values(FileFailure{"missing", -1, true, "open model file [%s] fail."},
                      FileFailure{"empty", 0, true, "model file [%s] length is invalid = %d."},
                      FileFailure{"shorter than the header", 20, true,
                                  "model file [%s] length is invalid = %d."},
                      FileFailure{"one byte short", 799, true,
                                  "model file [%s] length is invalid = %d."},
                      FileFailure{"no marker", 800, false, "model file format is not valid[%s]"}),
    [](const ::testing::TestParamInfo<FileFailure>& i) {
      std::string n = i.param.what;
      for (char& ch : n)
        if (ch == ' ') ch = '_';
      return n;
    });

// A stream whose measured size and readable bytes differ, as a file that
// shrinks while it is read: the only way to reach the short-read paths.
struct FakeFile {
  Bytes data;
  int64_t claimed = 0;
  int64_t pos = 0;
  bool closed = false;
};

FILE* open_fake(FakeFile& f) {
  cookie_io_functions_t io{};
  io.read = [](void* c, char* buf, size_t n) -> ssize_t {
    auto* f = static_cast<FakeFile*>(c);
    const int64_t avail = std::max<int64_t>(0, static_cast<int64_t>(f->data.size()) - f->pos);
    const size_t k = std::min<size_t>(n, static_cast<size_t>(avail));
    std::memcpy(buf, f->data.data() + f->pos, k);
    f->pos += static_cast<int64_t>(k);
    return static_cast<ssize_t>(k);
  };
  io.seek = [](void* c, off64_t* off, int whence) -> int {
    auto* f = static_cast<FakeFile*>(c);
    const int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? f->pos : f->claimed;
    f->pos = base + *off;
    *off = f->pos;
    return 0;
  };
  io.close = [](void* c) -> int {
    static_cast<FakeFile*>(c)->closed = true;
    return 0;
  };
  return fopencookie(&f, "rb", io);
}

struct ShortRead {
  const char* what;
  size_t readable;
  const char* message;
};

class StreamShortRead : public ::testing::TestWithParam<ShortRead> {};

TEST_P(StreamShortRead, RefusedAndTheStreamClosed) {
  const ShortRead& c = GetParam();
  const Bytes full = container(make_head(0), pattern(1000));
  FakeFile f1{Bytes(full.begin(), full.begin() + static_cast<long>(c.readable)),
              static_cast<int64_t>(full.size())};
  int64_t len = 0;
  _s_model_head head;
  unsigned char* body = nullptr;
  std::string out = captured([&] { body = read_model_from_stream("m.p", open_fake(f1), len, 1, head); }, true);
  EXPECT_EQ(body, nullptr);
  EXPECT_TRUE(f1.closed);
  EXPECT_NE(out.find(c.message), std::string::npos) << out;

  FakeFile f2{f1.data, f1.claimed};
  std::unique_ptr<unsigned char[]> holder;
  int rc = 0;
  out = captured([&] { rc = read_model_from_stream("m.p", open_fake(f2), holder, len, 1); }, true);
  EXPECT_EQ(rc, -1);
  EXPECT_EQ(holder, nullptr);  // no half-read body handed on
  EXPECT_TRUE(f2.closed);
  EXPECT_NE(out.find(c.message), std::string::npos) << out;
}

INSTANTIATE_TEST_SUITE_P(Table, StreamShortRead,
                         ::testing::Values(ShortRead{"header", 20, "read model file [m.p] too short"},
                                           ShortRead{"body", 500, "read model file [m.p] error"}));

TEST_F(ModelFileTest, StreamIsClosedOnSuccessToo) {
  FakeFile f{container(make_head(0), pattern(900)), 929};
  int64_t len = 0;
  _s_model_head head;
  unsigned char* body = read_model_from_stream("m.p", open_fake(f), len, 1, head);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(len, 900);
  EXPECT_TRUE(f.closed);
  free(body);
}

// ---- accepted files ----------------------------------------------------------------

TEST_F(ModelFileTest, SmallestContainerGivesA771ByteBodyInBothForms) {
  const Bytes body = pattern(771, 9);
  const std::string path = write("m.p", container(make_head(0), body));
  int64_t len = 0;
  _s_model_head head;
  std::string out;
  unsigned char* got = nullptr;
  out = captured([&] { got = read_model_from_file(path, len, 1, head); }, true);
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(Bytes(got, got + len), body);  // scheme 0: as stored
  EXPECT_EQ(head.e, 0);
  free(got);
  EXPECT_NE(out.find("load model [" + path + "]=800"), std::string::npos) << out;

  std::unique_ptr<unsigned char[]> holder(new unsigned char[4]);
  len = 0;
  ASSERT_EQ(read_model_from_file(path, holder, len, 1), 0);
  ASSERT_EQ(len, 771);
  EXPECT_EQ(Bytes(holder.get(), holder.get() + len), body);
}

TEST_F(ModelFileTest, EitherMarkerPlaceIsEnough) {
  for (int place : {0, 28}) {
    _s_model_head h = make_head(0);
    h.magic = place == 0 ? 0x11 : 0x00;
    h.tail_magic = place == 28 ? 0x11 : 0x7F;
    const std::string path = write("m" + std::to_string(place) + ".p", container(h, pattern(900)));
    int64_t len = 0;
    _s_model_head got;
    unsigned char* body = read_model_from_file(path, len, 1, got);
    EXPECT_NE(body, nullptr) << place;
    EXPECT_EQ(len, 900);
    free(body);
  }
}

struct HeaderLine {
  const char* version;  // 4 bytes copied as they are
  int e;
  const char* id;       // up to 15 bytes, NUL-padded
  int fw;
  int l;
  const char* line;
};

class HeaderLog : public ModelFileTest, public ::testing::WithParamInterface<HeaderLine> {};

TEST_P(HeaderLog, PrintsTheFieldsAtLevelZero) {
  const HeaderLine& c = GetParam();
  _s_model_head h = make_head(c.e, "", c.id);
  std::memcpy(h.v, c.version, 4);
  h.fw = static_cast<int8_t>(c.fw);
  h.l = static_cast<int8_t>(c.l);
  const std::string path = write("m.p", container(h, pattern(800)));
  int64_t len = 0;
  _s_model_head got;
  unsigned char* body = nullptr;
  const std::string out = captured([&] { body = read_model_from_file(path, len, 1, got); });
  free(body);
  EXPECT_NE(out.find(std::string(c.line) + "\n"), std::string::npos) << out;
  const std::string quiet = captured([&] { free(read_model_from_file(path, len, 1, got)); }, true);
  EXPECT_EQ(quiet.find("v["), std::string::npos) << "the header line is level 0";
}

INSTANTIATE_TEST_SUITE_P(
    Table, HeaderLog,
    ::testing::Values(
        HeaderLine{"3.11", 3, "abc", 0, 0, "v[3.11] e[03] id[abc] fw[00] l[00]"},
        HeaderLine{"3.1\0", 0x83, "ABCDEFGHIJKLMNO", 0x7F, 0x80,
                   "v[3.1] e[ffffff83] id[ABCDEFGHIJKLMNO] fw[7f] l[ffffff80]"}));

TEST_F(ModelFileTest, PlainModeReadsTheWholeFileWithoutAHeader) {
  const Bytes data = container(make_head(3), pattern(971));  // 1,000 bytes
  const std::string path = write("plain.bin", data);
  int64_t len = 0;
  _s_model_head head;
  unsigned char* body = nullptr;
  const std::string out = captured([&] { body = read_model_from_file(path, len, 0, head); });
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(Bytes(body, body + len), data);  // starts with the header bytes, not deciphered
  free(body);
  EXPECT_EQ(out.find("v["), std::string::npos) << out;

  std::unique_ptr<unsigned char[]> holder;
  ASSERT_EQ(read_model_from_file(path, holder, len, 7), 0);
  EXPECT_EQ(Bytes(holder.get(), holder.get() + len), data);
}

TEST_F(ModelFileTest, SizeWindowEndsAtTwoBillionBytes) {
  // Sparse files: the size check never reads the body.
  const struct {
    int64_t size;
    int rc;
  } cases[] = {{2000000000, 0}, {2000000001, -1}};
  for (const auto& c : cases) {
    const std::string path = write("big.p", container(make_head(3), pattern(100)));
    ASSERT_EQ(truncate(path.c_str(), c.size), 0);
    FILE* f = fopen(path.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    _s_model_head head;
    int64_t len = 0;
    int rc = 0;
    const std::string out = captured([&] { rc = get_model_header(path.c_str(), head, len, f, 1); }, true);
    EXPECT_EQ(rc, c.rc) << c.size;
    if (rc == 0) {
      EXPECT_EQ(len, c.size - 29);
      EXPECT_EQ(head.e, 3);
      fclose(f);  // still open on success
    } else {
      EXPECT_NE(out.find("length is invalid = 2000000001."), std::string::npos) << out;
    }
  }
}

// ---- the committed fixtures, packed with every scheme -----------------------------

struct Fixture {
  const char* packed;
  const char* body;
  int scheme;
};

class CommittedFixture : public ::testing::TestWithParam<Fixture> {};

TEST_P(CommittedFixture, DecipherToTheirPlainBody) {
  const Fixture& c = GetParam();
  const Bytes plain = slurp(kModels + c.body);
  const Bytes stored = slurp(kModels + c.packed);
  ASSERT_FALSE(plain.empty());
  ASSERT_EQ(stored.size(), plain.size() + 29);
  EXPECT_NE(Bytes(stored.begin() + 29, stored.end()), plain) << "the stored body is enciphered";

  int64_t len = 0;
  _s_model_head head;
  unsigned char* body = read_model_from_file(kModels + c.packed, len, 1, head);
  ASSERT_NE(body, nullptr);
  EXPECT_EQ(head.e, c.scheme);
  EXPECT_EQ(Bytes(body, body + len), plain);
  free(body);

  std::unique_ptr<unsigned char[]> holder;
  ASSERT_EQ(read_model_from_file(kModels + c.packed, holder, len, 1), 0);
  EXPECT_EQ(Bytes(holder.get(), holder.get() + len), plain);
}

INSTANTIATE_TEST_SUITE_P(
    All, CommittedFixture,
    ::testing::Values(Fixture{"crnn_fixture.p", "crnn_fixture.onnx", 3},
                      Fixture{"crnn40_fixture.p", "crnn40_fixture.onnx", 1},
                      Fixture{"crnn40_v310_fixture.p", "crnn40_fixture.onnx", 2},
                      Fixture{"db_fixture.p", "db_fixture.onnx", 2},
                      Fixture{"card_fixture.p", "card_fixture.onnx", 3},
                      Fixture{"card6_fixture.p", "card6_fixture.onnx", 3},
                      Fixture{"face_fixture.p", "face_fixture.onnx", 3}));

// ---- the packing tool -------------------------------------------------------------

int run_tool(const std::string& args) {
  const std::string cmd = kVyrModel + " " + args + " >/dev/null 2>&1";
  return std::system(cmd.c_str());
}

TEST_F(ModelFileTest, VyrmodelPacksEverySchemeSoTheReaderRestoresTheBody) {
  const Bytes body = pattern(20000, 4);
  const std::string in = write("body.onnx", body);
  // Each run of the tool costs a process start, so one pack per scheme.
  const char* options[] = {"-e 0", "-e 1", "-e 2", "-e 3 -x 5 -d -1"};
  int i = 0;
  for (const char* opt : options) {
    const std::string out = dir_ + "/m" + std::to_string(i++) + ".p";
    ASSERT_EQ(run_tool(std::string("pack -v 3.20 -i id ") + opt + " " + in + " " + out), 0) << opt;
    const Bytes file = slurp(out);
    ASSERT_EQ(file.size(), body.size() + 29);
    EXPECT_EQ(file[0], 0x11);
    EXPECT_EQ(file[28], 0x11);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&file[1]), 4), "3.20");
    int64_t len = 0;
    _s_model_head head;
    unsigned char* got = read_model_from_file(out, len, 1, head);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(Bytes(got, got + len), body) << opt;
    free(got);
  }
  const std::string last = dir_ + "/m3.p", back = dir_ + "/m3.body";
  ASSERT_EQ(run_tool("unpack " + last + " " + back), 0);
  EXPECT_EQ(slurp(back), body);
  EXPECT_EQ(run_tool("show " + last), 0);
}

TEST_F(ModelFileTest, VyrmodelRefusesWhatCannotBeAModelAndLeavesNothingBehind) {
  const std::string small = write("small.onnx", pattern(770));
  const std::string ok = write("ok.onnx", pattern(771));
  EXPECT_NE(run_tool("pack " + small + " " + dir_ + "/out.p"), 0);
  EXPECT_NE(run_tool("pack -x 128 " + ok + " " + dir_ + "/out.p"), 0);
  EXPECT_NE(run_tool("pack " + ok + " " + dir_ + "/no/such/dir/out.p"), 0);
  EXPECT_NE(run_tool("show " + small), 0);
  size_t entries = 0;
  for (const auto& e : fs::directory_iterator(dir_)) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 2u) << "only the two inputs remain";
  EXPECT_EQ(run_tool("pack " + ok + " " + dir_ + "/out.p"), 0);
  EXPECT_EQ(slurp(dir_ + "/out.p").size(), 800u);
}

}  // namespace
