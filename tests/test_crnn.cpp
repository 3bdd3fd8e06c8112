// The line recognisers on real model files: loading (paths, container, version
// gate, dictionaries, session), the instances of init_crnn / uninit_crnn, the
// reading pipeline and every crnn_extract_* function.
//
// The fixture recogniser (tools/make_crnn_fixtures.py) reads a 48-row image in
// steps of 4 columns and emits, per step, the class whose grey level is nearest
// the step's mean: class 0 (the blank) is 250, class k is 5k + 5. Class 44
// carries the weights of class 1, so the two always tie.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "nn/CrnnNet.h"
#include "nn/DbNet.h"
#include "vyr_crnn.h"

namespace fs = std::filesystem;

namespace {

const std::string kData = std::string(VYR_TEST_DATA_DIR) + "/crnn";

int level(int k) { return k == 0 ? 250 : 5 * k + 5; }

// A 48-row line of 4-column stripes, one time step per class.
cv::Mat stripes(const std::vector<int>& classes, int stepWidth = 4) {
  cv::Mat img(48, static_cast<int>(classes.size()) * stepWidth, CV_8UC3);
  for (std::size_t i = 0; i < classes.size(); ++i) {
    const int v = level(classes[i]);
    img.colRange(static_cast<int>(i) * stepWidth, static_cast<int>(i + 1) * stepWidth)
        .setTo(cv::Scalar(v, v, v));
  }
  return img;
}

std::string captured(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

bool contains(const std::string& log, const std::string& text) {
  return log.find(text) != std::string::npos;
}

class TempDir {
 public:
  TempDir() {
    char tmpl[] = "/tmp/vyr_crnn_XXXXXX";
    const char* p = mkdtemp(tmpl);
    path_ = p ? p : "";
  }
  ~TempDir() {
    std::error_code ec;
    if (!path_.empty()) fs::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void copyFile(const std::string& from, const std::string& to) {
  fs::copy_file(from, to, fs::copy_options::overwrite_existing);
}

void writeFile(const std::string& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

// A models directory as init_crnn expects it, built from the fixtures.
void fillModelsDir(const TempDir& dir, const std::string& recogniser = "crnn45.p") {
  for (const char* name : {"ocrv4_en.p", "ocrv3_en.p", "ocrv4_cn.p", "ocrv3_mrz.p"})
    copyFile(kData + "/" + recogniser, dir.file(name));
  for (const char* name : {"boxv3.p", "det_mrz.p"}) copyFile(kData + "/db_stub.p", dir.file(name));
  for (const char* name : {"ocrv3_en.txt", "ocrv3_mrz.txt", "ocrv3_cn.txt"})
    copyFile(kData + "/" + name, dir.file(name));
}

// Overwrites the four version characters of a model file's header.
void setVersion(const std::string& path, const char version[4]) {
  std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
  f.seekp(1);
  f.write(version, 4);
}

// A container with a valid header and a body the engine cannot parse.
std::string garbageContainer() {
  std::string head(29, '\0');
  head[0] = 0x11;
  head.replace(1, 4, "4.00");
  head[28] = 0x11;  // scheme 0: body as stored
  std::string body(1000, '\0');
  for (std::size_t i = 0; i < body.size(); ++i) body[i] = static_cast<char>((i * 37 + 11) & 0xFF);
  return head + body;
}

// ---------------------------------------------------------------------------
// Loading one recogniser
// ---------------------------------------------------------------------------

class CrnnLoad : public ::testing::Test {
 protected:
  void SetUp() override {
    g_model_opt = 0;
    fillModelsDir(dir_);
  }
  TempDir dir_;
};

TEST_F(CrnnLoad, EnglishBuildsDictionaryAndRestrictedLists) {
  CrnnNet net;
  const std::string log = captured([&] { EXPECT_EQ(net.initModel(dir_.path(), CRNN_TYPE_EN), 0); });
  EXPECT_TRUE(contains(log, "model [" + dir_.file("ocrv4_en.p") + "] loaded")) << log;
  EXPECT_TRUE(contains(log, "dict [" + dir_.file("ocrv3_en.txt") + "] loaded")) << log;
  ASSERT_EQ(net.keys.size(), 45u);  // 43 lines + "#" + " "
  EXPECT_EQ(net.keys.front(), "#");
  EXPECT_EQ(net.keys[13], "<");
  EXPECT_EQ(net.keys[18], "A");
  EXPECT_EQ(net.keys.back(), " ");
  EXPECT_EQ(net.keysAlpha.size(), 29u);
  EXPECT_EQ(net.keysAlnum.size(), 39u);
  EXPECT_EQ(net.keysNum.size(), 13u);
  EXPECT_EQ(net.keysAlnum[11], "<");
  EXPECT_EQ(net.keysAlpha[2], "A");
  EXPECT_EQ(net.type, -1);  // only init_crnn writes the type
  EXPECT_TRUE(net.isLoaded());
  EXPECT_EQ(net.getSession(0), net.session);
  EXPECT_NE(net.session, nullptr);
}

TEST_F(CrnnLoad, DictionaryFramingKeepsCarriageReturnAndEmptyLines) {
  copyFile(kData + "/dict_framing.txt", dir_.file("ocrv3_cn.txt"));  // "A\r\nB\n\nC"
  CrnnNet net;
  ASSERT_EQ(net.initModel(dir_.path(), CRNN_TYPE_CN), 0);
  EXPECT_EQ(net.keys, (std::vector<std::string>{"#", "A\r", "B", "", "C", " "}));
  EXPECT_TRUE(net.keysAlpha.empty());
  EXPECT_TRUE(net.keysAlnum.empty());
  EXPECT_TRUE(net.keysNum.empty());
}

TEST_F(CrnnLoad, TrailingNewlineAddsNoEntry) {
  writeFile(dir_.file("ocrv3_cn.txt"), "x\ny\n");
  CrnnNet net;
  ASSERT_EQ(net.initModel(dir_.path(), CRNN_TYPE_CN), 0);
  EXPECT_EQ(net.keys, (std::vector<std::string>{"#", "x", "y", " "}));
}

TEST_F(CrnnLoad, ReloadReplacesDictionaryInsteadOfShiftingIt) {
  CrnnNet net;
  ASSERT_EQ(net.initModel(dir_.path(), CRNN_TYPE_MRZ), 0);
  const auto keys = net.keys;
  ASSERT_EQ(net.initModel(dir_.path(), CRNN_TYPE_MRZ), 0);
  EXPECT_EQ(net.keys, keys);
  EXPECT_EQ(net.keysAlnum.size(), 39u);
  EXPECT_EQ(net.keysAlpha.size(), 29u);
  EXPECT_EQ(net.keysNum.size(), 13u);
  // and the reloaded recogniser still reads
  net.type = CRNN_TYPE_MRZ;
  cv::Mat img = stripes({0, 12, 0, 11, 0});
  ASSERT_EQ(net.resizeShape(0, img.cols), 0);
  EXPECT_EQ(net.getTextLine(img, 0, 'O', 0.3f).text, "A<");
}

struct LoadFailure {
  const char* name;
  std::function<void(const TempDir&)> prepare;
  int type;
  int rc;
  std::function<std::string(const TempDir&)> message;
};

class CrnnLoadFailure : public CrnnLoad, public ::testing::WithParamInterface<LoadFailure> {};

TEST_P(CrnnLoadFailure, ReportsAndLeavesNoUsableRecogniser) {
  const LoadFailure& c = GetParam();
  c.prepare(dir_);
  CrnnNet net;
  int rc = 0;
  const std::string log = captured([&] { rc = net.initModel(dir_.path(), c.type); });
  EXPECT_EQ(rc, c.rc);
  EXPECT_TRUE(contains(log, c.message(dir_))) << log;
  EXPECT_FALSE(net.isLoaded());
  EXPECT_TRUE(net.keys.empty());
  EXPECT_TRUE(net.getTextLine(stripes({0, 5, 0}), 0, 'X', 0.3f).text.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CrnnLoadFailure,
    ::testing::Values(
        LoadFailure{"MissingModel", [](const TempDir& d) { fs::remove(d.file("ocrv4_en.p")); },
                    CRNN_TYPE_EN, -1,
                    [](const TempDir& d) { return "model file not found: " + d.file("ocrv4_en.p"); }},
        LoadFailure{"MissingDictionary",
                    [](const TempDir& d) { fs::remove(d.file("ocrv3_mrz.txt")); }, CRNN_TYPE_MRZ,
                    -1,
                    [](const TempDir& d) { return "keys file not found: " + d.file("ocrv3_mrz.txt"); }},
        LoadFailure{"UnknownType", [](const TempDir&) {}, 7, -1002,
                    [](const TempDir&) { return std::string("load model  fail."); }},
        LoadFailure{"ShortFile",
                    [](const TempDir& d) { writeFile(d.file("ocrv4_cn.p"), std::string(100, 'x')); },
                    CRNN_TYPE_CN, -1002,
                    [](const TempDir& d) { return "load model " + d.file("ocrv4_cn.p") + " fail."; }},
        LoadFailure{"EngineRejectsBody",
                    [](const TempDir& d) { writeFile(d.file("ocrv3_en.p"), garbageContainer()); },
                    CRNN_TYPE_EN_V3, -1,
                    [](const TempDir& d) { return "load model " + d.file("ocrv3_en.p") + " fail."; }},
        // The network loads but cannot run on a line: no session is handed out.
        LoadFailure{"SessionCannotBeCreated",
                    [](const TempDir& d) {
                      copyFile(kData + "/crnn_fixed64.p", d.file("ocrv4_en.p"));
                    },
                    CRNN_TYPE_EN, -1,
                    [](const TempDir& d) { return "load model " + d.file("ocrv4_en.p") + " fail."; }},
        LoadFailure{"DictionaryCannotBeRead",
                    [](const TempDir& d) {
                      fs::remove(d.file("ocrv3_cn.txt"));
                      fs::create_directory(d.file("ocrv3_cn.txt"));
                    },
                    CRNN_TYPE_CN, -1,
                    [](const TempDir& d) {
                      return "The file [" + d.file("ocrv3_cn.txt") + "] was not found";
                    }}),
    [](const ::testing::TestParamInfo<LoadFailure>& info) { return std::string(info.param.name); });

TEST_F(CrnnLoad, MissingDictionaryIsReportedBeforeTheModelIsRead) {
  fs::remove(dir_.file("ocrv3_en.txt"));
  CrnnNet net;
  const std::string log = captured([&] { net.initModel(dir_.path(), CRNN_TYPE_EN); });
  EXPECT_FALSE(contains(log, "load model [")) << log;  // the container reader never ran
}

struct VersionCase {
  const char* version;
  int type;
  bool accepted;
};

class CrnnVersionGate : public CrnnLoad, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(CrnnVersionGate, RefusesOldModels) {
  const VersionCase& c = GetParam();
  copyFile(kData + "/crnn45.p", dir_.file("ocrv3_gbk.p"));
  copyFile(kData + "/ocrv3_cn.txt", dir_.file("ocrv3_gbk.txt"));
  const std::string model = dir_.file(c.type == CRNN_TYPE_GBK ? "ocrv3_gbk.p"
                                      : c.type == CRNN_TYPE_EN ? "ocrv4_en.p"
                                                               : "ocrv3_mrz.p");
  setVersion(model, c.version);
  CrnnNet net;
  int rc = 0;
  const std::string log = captured([&] { rc = net.initModel(dir_.path(), c.type); });
  EXPECT_EQ(rc, c.accepted ? 0 : -1) << c.version;
  EXPECT_EQ(contains(log, "load model " + model + " fail. please upgrade model version"),
            !c.accepted)
      << log;
  EXPECT_EQ(net.isLoaded(), c.accepted);
}

INSTANTIATE_TEST_SUITE_P(Versions, CrnnVersionGate,
                         ::testing::Values(VersionCase{"3.10", CRNN_TYPE_MRZ, false},
                                           VersionCase{"3.11", CRNN_TYPE_MRZ, true},
                                           VersionCase{"3.10", CRNN_TYPE_MRZ_L, false},
                                           VersionCase{"abcd", CRNN_TYPE_MRZ, false},
                                           VersionCase{"3.14", CRNN_TYPE_GBK, false},
                                           VersionCase{"3.15", CRNN_TYPE_GBK, true},
                                           VersionCase{"0.01", CRNN_TYPE_EN, true}));

TEST_F(CrnnLoad, GpuOptionAppliesToEnglishAndMrzOnly) {
  g_model_opt = 1;
  struct {
    int type;
    bool gpu;
  } cases[] = {{CRNN_TYPE_EN, true}, {CRNN_TYPE_EN_V3, true}, {CRNN_TYPE_MRZ, true},
               {CRNN_TYPE_CN, false}};
  for (const auto& c : cases) {
    CrnnNet net;
    int rc = -9;
    const std::string log = captured([&] { rc = net.initModel(dir_.path(), c.type); });
    ASSERT_EQ(rc, 0) << c.type;
    EXPECT_EQ(contains(log, "use gpu: metal"), c.gpu) << c.type;
    EXPECT_EQ(net.interpreter->numThread(), c.gpu ? 1 : 2) << c.type;
    // without a GPU the recogniser falls back to the CPU and still reads
    net.type = c.type;
    cv::Mat img = stripes({0, 2, 0});
    net.resizeShape(0, img.cols);
    EXPECT_EQ(net.getTextLine(img, 0, 'X', 0.3f).text.size(), c.type == CRNN_TYPE_CN ? 3u : 1u);
  }
  g_model_opt = 0;
}

TEST_F(CrnnLoad, SessionFlagRefusesWork) {
  CrnnNet net;
  ASSERT_EQ(net.initModel(dir_.path(), CRNN_TYPE_EN), 0);
  net.type = CRNN_TYPE_EN;
  ASSERT_EQ(net.resizeShape(0, 100), 0);
  EXPECT_EQ(net.getSessionInput().shape, (std::vector<int>{1, 3, 48, 100}));
  EXPECT_EQ(net.resizeShape(1, 200), -1);
  EXPECT_EQ(net.getSessionInput().shape, (std::vector<int>{1, 3, 48, 100}));

  std::string log = captured([&] { EXPECT_EQ(net.getSession(1), nullptr); });
  EXPECT_TRUE(contains(log, "session error")) << log;

  TextLine line;
  log = captured([&] { line = net.getTextLine(stripes({0, 5, 0}), 1, 'X', 0.3f); });
  EXPECT_TRUE(line.text.empty());
  EXPECT_TRUE(line.scores.empty());
  EXPECT_TRUE(contains(log, "session error")) << log;
  EXPECT_FALSE(contains(log, "runsession")) << log;  // nothing ran
}

TEST_F(CrnnLoad, GetTextLineRefusesImagesNotShapedForTheNetwork) {
  CrnnNet net;
  ASSERT_EQ(net.initModel(dir_.path(), CRNN_TYPE_EN), 0);
  net.type = CRNN_TYPE_EN;
  cv::Mat grey(48, 16, CV_8UC1, cv::Scalar(30));
  cv::Mat shortLine(20, 16, CV_8UC3, cv::Scalar(30, 30, 30));
  cv::Mat wide16(48, 16, CV_16UC3, cv::Scalar(30, 30, 30));
  for (const cv::Mat& img : {grey, shortLine, wide16, cv::Mat()}) {
    TextLine line;
    const std::string log = captured([&] { line = net.getTextLine(img, 0, 'X', 0.3f); });
    EXPECT_TRUE(line.text.empty());
    EXPECT_FALSE(contains(log, "runsession")) << log;
  }
}

TEST_F(CrnnLoad, UnloadedRecogniserDoesNotRun) {
  CrnnNet net;
  net.type = CRNN_TYPE_EN;
  EXPECT_EQ(net.resizeShape(0, 100), -1);
  TextLine line;
  const std::string log = captured([&] { line = net.getTextLine(stripes({0, 5, 0}), 0, 'X', 0.3f); });
  EXPECT_TRUE(line.text.empty());
  EXPECT_TRUE(contains(log, "session error")) << log;
}

TEST(NormalizeRun, MapsByteRangeToMinusOneToOne) {
  cv::Mat img(2, 2, CV_8UC3);
  img.at<cv::Vec3b>(0, 0) = {0, 0, 0};
  img.at<cv::Vec3b>(0, 1) = {255, 255, 255};
  img.at<cv::Vec3b>(1, 0) = {0, 51, 255};
  img.at<cv::Vec3b>(1, 1) = {102, 153, 204};
  Normalize_Run(img, mean_, scale_, true);
  ASSERT_EQ(img.type(), CV_32FC3);
  const cv::Vec3f a = img.at<cv::Vec3f>(0, 0), b = img.at<cv::Vec3f>(0, 1),
                  c = img.at<cv::Vec3f>(1, 0), d = img.at<cv::Vec3f>(1, 1);
  for (int i = 0; i < 3; ++i) {
    EXPECT_FLOAT_EQ(a[i], -1.0f);
    EXPECT_FLOAT_EQ(b[i], 1.0f);
  }
  EXPECT_NEAR(c[1], -0.6f, 1e-6);
  EXPECT_NEAR(d[0], -0.2f, 1e-6);
  EXPECT_NEAR(d[2], 0.6f, 1e-6);
}

TEST(NormalizeRun, WithoutFlagUsesRawValuesAndSkipsShortVectors) {
  cv::Mat img(1, 1, CV_8UC1, cv::Scalar(10));
  Normalize_Run(img, {4.0f}, {0.5f}, false);
  ASSERT_EQ(img.type(), CV_32FC1);
  EXPECT_FLOAT_EQ(img.at<float>(0, 0), 3.0f);
  cv::Mat four(1, 1, CV_8UC4, cv::Scalar(1, 2, 3, 4));
  Normalize_Run(four, mean_, scale_, true);  // 3 entries for 4 channels: left alone
  EXPECT_EQ(four.type(), CV_8UC4);
}

// ---------------------------------------------------------------------------
// The instances: init_crnn / uninit_crnn
// ---------------------------------------------------------------------------

class CrnnInit : public ::testing::Test {
 protected:
  void SetUp() override {
    uninit_crnn();
    fillModelsDir(dir_);
  }
  void TearDown() override {
    uninit_crnn();
    g_model_opt = 0;
  }
  int init(int opt = 0) {
    std::string d = dir_.path();
    return init_crnn(&d[0], opt);
  }
  TempDir dir_;
};

bool allCreated() {
  return g_crnnNet && g_crnnNet_v3 && g_crnnNet_cn && g_crnnNet_mrz && g_dbNet && g_dbNet_mrz;
}

TEST_F(CrnnInit, LoadsAllSixAndWritesTypes) {
  std::string log;
  log = captured([&] { EXPECT_EQ(init(), 0); });
  ASSERT_TRUE(allCreated());
  EXPECT_TRUE(g_crnnNet->isLoaded() && g_crnnNet_v3->isLoaded() && g_crnnNet_cn->isLoaded() &&
              g_crnnNet_mrz->isLoaded());
  EXPECT_TRUE(g_dbNet->isLoaded() && g_dbNet_mrz->isLoaded());
  EXPECT_EQ(g_crnnNet->type, CRNN_TYPE_EN);
  EXPECT_EQ(g_crnnNet_v3->type, CRNN_TYPE_EN_V3);
  EXPECT_EQ(g_crnnNet_cn->type, CRNN_TYPE_CN);
  EXPECT_EQ(g_crnnNet_mrz->type, CRNN_TYPE_MRZ);
  EXPECT_EQ(g_crnnNet->numThread, 2);
  EXPECT_EQ(g_dbNet->numThread, 2);
  EXPECT_EQ(g_dbNet_mrz->numThread, 2);
  // loaded in the fixed order
  std::size_t at = 0;
  for (const char* f : {"ocrv4_en.p", "ocrv3_en.p", "ocrv4_cn.p", "ocrv3_mrz.p", "boxv3.p",
                        "det_mrz.p"}) {
    const std::size_t next = log.find("model [" + dir_.file(f) + "] loaded", at);
    ASSERT_NE(next, std::string::npos) << f << "\n" << log;
    at = next;
  }
}

struct InitFailure {
  const char* missing;
  const char* message;
  int loadedRecognisers;  // how many of en, env3, cn, mrz loaded before the stop
  bool boxLoaded;
};

class CrnnInitFailure : public CrnnInit, public ::testing::WithParamInterface<InitFailure> {};

TEST_P(CrnnInitFailure, StopsAtTheFirstFailureAndKeepsTheObjects) {
  const InitFailure& c = GetParam();
  fs::remove(dir_.file(c.missing));
  int rc = 0;
  const std::string log = captured([&] { rc = init(); });
  EXPECT_EQ(rc, -1);
  const std::size_t own = log.find(dir_.file(c.missing));
  const std::size_t step = log.find(c.message);
  ASSERT_NE(own, std::string::npos) << log;
  ASSERT_NE(step, std::string::npos) << log;
  EXPECT_LT(own, step);  // the loader's message comes first
  ASSERT_TRUE(allCreated());
  CrnnNet* order[] = {g_crnnNet, g_crnnNet_v3, g_crnnNet_cn, g_crnnNet_mrz};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(order[i]->isLoaded(), i < c.loadedRecognisers) << i;
    EXPECT_EQ(order[i]->type, -1) << i;  // types are written only after all loads
    EXPECT_EQ(order[i]->numThread, 0) << i;
  }
  EXPECT_EQ(g_dbNet->isLoaded(), c.boxLoaded);
  EXPECT_FALSE(g_dbNet_mrz->isLoaded());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, CrnnInitFailure,
    ::testing::Values(InitFailure{"ocrv4_en.p", "load en model error!\n", 0, false},
                      InitFailure{"ocrv3_en.p", "load en v3 model error!\n", 1, false},
                      InitFailure{"ocrv4_cn.p", "load cn model error!\n", 2, false},
                      InitFailure{"ocrv3_mrz.p", "load mrz model error!\n", 3, false},
                      InitFailure{"boxv3.p", "load box model error!\n", 4, false},
                      InitFailure{"det_mrz.p", "load mrz detect model error!\n", 4, true}));

TEST_F(CrnnInit, UnreadableModelFileGivesItsCode) {
  writeFile(dir_.file("ocrv3_mrz.p"), std::string(799, 'x'));
  const std::string log = captured([&] { EXPECT_EQ(init(), -1002); });
  EXPECT_TRUE(contains(log, "load mrz model error!")) << log;
  EXPECT_FALSE(contains(log, "model [" + dir_.file("boxv3.p") + "] loaded")) << log;
}

TEST_F(CrnnInit, ReadingWithRecogniserThatDidNotLoadIsRefused) {
  fs::remove(dir_.file("ocrv4_cn.p"));
  captured([&] { EXPECT_EQ(init(), -1); });
  ASSERT_NE(g_crnnNet_cn, nullptr);
  TextLine line;
  const std::string log = captured([&] { line = crnn_extract_cn(stripes({0, 1, 0})); });
  EXPECT_TRUE(line.text.empty());
  EXPECT_TRUE(line.scores.empty());
  EXPECT_TRUE(contains(log, "load  model first!\n")) << log;
  EXPECT_FALSE(contains(log, "runsession")) << log;
}

TEST_F(CrnnInit, UninitLogsSixLinesThenNone) {
  captured([&] { ASSERT_EQ(init(), 0); });
  const std::string first = captured([] { uninit_crnn(); });
  EXPECT_EQ(first,
            "unload crnn en model.\nunload crnn env3 model.\nunload crnn_cn model.\n"
            "unload crnn_mrz model.\nunload crnn_detect model.\nunload mrz_detect model.\n");
  EXPECT_EQ(g_crnnNet, nullptr);
  EXPECT_EQ(g_dbNet_mrz, nullptr);
  EXPECT_EQ(captured([] { uninit_crnn(); }), "");
}

TEST_F(CrnnInit, SecondInitReplacesTheFirstObjects) {
  captured([&] { ASSERT_EQ(init(), 0); });
  // Run twice: under LeakSanitizer the first call's six objects would show up.
  const std::string log = captured([&] { ASSERT_EQ(init(), 0); });
  EXPECT_TRUE(contains(log, "unload crnn en model.")) << log;
  EXPECT_EQ(crnn_extract_en(stripes({0, 18, 0}), 'O').text, "A");
}

TEST_F(CrnnInit, NullDirectoryIsRefused) {
  captured([] { EXPECT_EQ(init_crnn(nullptr, 0), -1); });
  EXPECT_EQ(g_crnnNet, nullptr);
}

TEST_F(CrnnInit, DeviceOptionReachesTheRecognisers) {
  std::string log = captured([&] { ASSERT_EQ(init(1), 0); });
  EXPECT_EQ(g_model_opt, 1);
  std::size_t n = 0;
  for (std::size_t at = log.find("use gpu: metal"); at != std::string::npos;
       at = log.find("use gpu: metal", at + 1))
    ++n;
  EXPECT_EQ(n, 3u);  // en, en v3, mrz; never the Chinese recogniser
  EXPECT_EQ(g_crnnNet_cn->interpreter->numThread(), 2);
  EXPECT_EQ(g_crnnNet_mrz->interpreter->numThread(), 1);
  uninit_crnn();
  EXPECT_EQ(g_model_opt, 1);  // kept by uninit
}

// Before any init_crnn every reading is refused.
TEST(CrnnBeforeInit, RefusesEveryReading) {
  uninit_crnn();
  std::string log = captured([] { EXPECT_TRUE(crnn_extract_mrz(cv::Mat(), 'O').text.empty()); });
  EXPECT_TRUE(contains(log, "crnn_extract empty")) << log;
  log = captured([] { EXPECT_TRUE(crnn_extract_mrz(stripes({0, 5}), 'O').text.empty()); });
  EXPECT_TRUE(contains(log, "load  model first!\n")) << log;
  log = captured([] { EXPECT_TRUE(crnn_extract_name(stripes({0, 5}), 1, 'O').text.empty()); });
  EXPECT_TRUE(contains(log, "load  model first!\n")) << log;
}

// ---------------------------------------------------------------------------
// Reading lines with the loaded instances
// ---------------------------------------------------------------------------

class CrnnRead : public CrnnInit {
 protected:
  void SetUp() override {
    CrnnInit::SetUp();
    captured([&] { ASSERT_EQ(init(), 0); });
  }
};

struct ReadCase {
  const char* name;
  std::function<TextLine(cv::Mat)> read;
  std::vector<int> classes;
  std::string text;
};

class CrnnReadFunctions : public CrnnRead, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(CrnnReadFunctions, ReadsTheStripes) {
  const ReadCase& c = GetParam();
  const TextLine line = c.read(stripes(c.classes));
  EXPECT_EQ(line.text, c.text);
  EXPECT_EQ(line.scores.empty(), line.text.empty());
  for (float s : line.scores) {
    EXPECT_GT(s, 0.0f);
    EXPECT_LE(s, 1.0f);
  }
}

// English dictionary: digits at classes 1..10, ':' 11, '<' 13, '>' 15, letters
// at 18..43. A restricted mode reads a stripe as the nearest allowed class:
// ':' (60) as '9' (55), '>' (80) as '<' (70). MRZ dictionary: digits 1..10, '<' 11, letters 12..37. Chinese
// fixture: 中 国 年 月 日 0 1 2 at 1..8.
INSTANTIATE_TEST_SUITE_P(
    Functions, CrnnReadFunctions,
    ::testing::Values(
        ReadCase{"EnWholeDictionary", [](cv::Mat m) { return crnn_extract_en(m, 'X'); },
                 {0, 18, 11, 2, 15, 0}, "A:1>"},
        ReadCase{"EnMrzCharacters", [](cv::Mat m) { return crnn_extract_en(m, 'O'); },
                 {0, 18, 11, 2, 15, 0}, "A91<"},
        ReadCase{"EnOwnThreshold", [](cv::Mat m) { return crnn_extract_en(m, 'O', 0.3f); },
                 {0, 43, 0, 43, 0}, "ZZ"},
        ReadCase{"EnV3Letters", [](cv::Mat m) { return crnn_extract_en_v3(m, 'L'); },
                 {0, 20, 21, 13, 0}, "CD<"},
        ReadCase{"EnV3Digits", [](cv::Mat m) { return crnn_extract_en_v3(m, 'N'); },
                 {0, 5, 5, 0, 5, 15, 0}, "44<"},
        ReadCase{"EnV3LetterThenDigits", [](cv::Mat m) { return crnn_extract_en_v3(m, 'A'); },
                 {0, 20, 0, 3, 4, 0}, "C23"},
        ReadCase{"MrzCharacters", [](cv::Mat m) { return crnn_extract_mrz(m, 'O'); },
                 {0, 12, 11, 37, 1, 10, 0}, "A<Z09"},
        ReadCase{"MrzLetters", [](cv::Mat m) { return crnn_extract_mrz(m, 'L'); },
                 {0, 12, 13, 11, 0}, "AB<"},
        ReadCase{"Chinese", [](cv::Mat m) { return crnn_extract_cn(m); }, {0, 1, 2, 0, 6, 0},
                 "中国0"},
        ReadCase{"ChineseDate", [](cv::Mat m) { return crnn_extract_cn_date(m); },
                 {0, 3, 4, 5, 0}, "年月日"},
        ReadCase{"NameReader", [](cv::Mat m) { return crnn_extract_name(m, CRNN_TYPE_MRZ, 'L'); },
                 {0, 12, 0, 12, 13, 0}, "AAB"}),
    [](const ::testing::TestParamInfo<ReadCase>& info) { return std::string(info.param.name); });

TEST_F(CrnnRead, GbkIsNeverLoaded) {
  TextLine line;
  const std::string log = captured([&] { line = crnn_extract_gbk(stripes({0, 5, 0})); });
  EXPECT_TRUE(line.text.empty());
  EXPECT_TRUE(contains(log, "load  model first!\n")) << log;
}

TEST_F(CrnnRead, RefusedTypes) {
  for (int type : {CRNN_TYPE_GBK, CRNN_TYPE_MRZ_L, -1, 6}) {
    TextLine line;
    std::string log = captured([&] { line = _crnn_extract(stripes({0, 5, 0}), type, 'X', 0.3f); });
    EXPECT_TRUE(line.text.empty()) << type;
    EXPECT_TRUE(contains(log, "load  model first!\n")) << type << log;
    // an empty image is reported first, and only that
    log = captured([&] { line = _crnn_extract(cv::Mat(), type, 'X', 0.3f); });
    EXPECT_TRUE(contains(log, "crnn_extract empty")) << log;
    EXPECT_FALSE(contains(log, "load  model first!")) << log;
  }
}

TEST_F(CrnnRead, TieGoesToTheFirstClass) {
  // class 1 ("0") and class 44 (" ") score exactly alike on this stripe
  const TextLine line = crnn_extract_en(stripes({0, 1, 0}), 'X');
  EXPECT_EQ(line.text, "0");
  ASSERT_EQ(line.scores.size(), 1u);
  EXPECT_LT(line.scores[0], 0.5f);
}

TEST_F(CrnnRead, RepeatedSymbolsCollapseUnlessSeparated) {
  EXPECT_EQ(crnn_extract_en(stripes({0, 5, 5, 5, 0}), 'X').text, "4");
  EXPECT_EQ(crnn_extract_en(stripes({0, 5, 0, 5, 0}), 'X').text, "44");
  // wider stripes span several steps and still read once
  EXPECT_EQ(crnn_extract_en(stripes({0, 5, 0, 6}, 12), 'X').text, "45");
}

struct ModeBCase {
  std::vector<int> classes;
  std::string text;
};

class CrnnModeB : public CrnnRead, public ::testing::WithParamInterface<ModeBCase> {};

TEST_P(CrnnModeB, RedecodesByLength) {
  EXPECT_EQ(crnn_extract_en(stripes(GetParam().classes), 'B').text, GetParam().text);
}

// '>' (class 15) lies nearest to '<' among digits and '<'; 'B' (19) has no
// digit nearby, so a digit step over it stays blank.
INSTANTIATE_TEST_SUITE_P(
    Lengths, CrnnModeB,
    ::testing::Values(ModeBCase{{0, 1, 2, 3, 4, 5, 6, 15, 0}, "012345>"},           // 7: kept
                      ModeBCase{{0, 1, 2, 3, 4, 5, 6, 7, 15, 0}, "0123456<"},       // 8: as "N"
                      ModeBCase{{0, 19, 15, 1, 2, 3, 4, 5, 6, 7, 0}, "B<0123456"},  // 9: as "A"
                      ModeBCase{{0, 19, 15, 1, 2, 3, 4, 5, 6, 7, 8, 0}, "B>01234567"}));  // 10

struct WidthCase {
  int rows, cols, width;
};

class CrnnScaledWidth : public CrnnRead, public ::testing::WithParamInterface<WidthCase> {};

TEST_P(CrnnScaledWidth, ScalesToHeight48) {
  const WidthCase& c = GetParam();
  cv::Mat img(c.rows, c.cols, CV_8UC3, cv::Scalar(250, 250, 250));
  crnn_extract_en(img, 'O');
  EXPECT_EQ(g_crnnNet->getSessionInput().shape, (std::vector<int>{1, 3, 48, c.width}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, CrnnScaledWidth,
                         ::testing::Values(WidthCase{30, 100, 160}, WidthCase{50, 101, 96},
                                           WidthCase{19, 95, 239}, WidthCase{96, 3, 1}));

TEST_F(CrnnRead, WidthZeroIsRefused) {
  cv::Mat tall(100, 2, CV_8UC3, cv::Scalar(30, 30, 30));  // 48 / 100 * 2 = 0.96
  TextLine line;
  const std::string log = captured([&] { line = crnn_extract_en(tall, 'X'); });
  EXPECT_TRUE(line.text.empty());
  EXPECT_FALSE(contains(log, "runsession")) << log;
  EXPECT_TRUE(contains(log, "scales to width 0")) << log;
}

TEST_F(CrnnRead, GreyAndBgraLinesReadLikeBgr) {
  const cv::Mat bgr = stripes({0, 18, 0, 2, 0});
  cv::Mat grey, bgra;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  const std::string want = crnn_extract_en(bgr, 'X').text;
  EXPECT_EQ(want, "A1");
  EXPECT_EQ(crnn_extract_en(grey, 'X').text, want);
  EXPECT_EQ(crnn_extract_en(bgra, 'X').text, want);
}

TEST_F(CrnnRead, OtherDepthsAreRefused) {
  cv::Mat img16, img32;
  stripes({0, 18, 0}).convertTo(img16, CV_16UC3, 257.0);
  stripes({0, 18, 0}).convertTo(img32, CV_32FC3, 1.0 / 255);
  for (const cv::Mat& img : {img16, img32}) {
    TextLine line;
    const std::string log = captured([&] { line = crnn_extract_mrz(img, 'O'); });
    EXPECT_TRUE(line.text.empty());
    EXPECT_TRUE(contains(log, "unsupported image type")) << log;
  }
}

TEST_F(CrnnRead, LogsInferenceResultAndScoreStatistics) {
  std::string log = captured([] { crnn_extract_en_v3(stripes({0, 2, 3, 4, 0}), 'X'); });
  EXPECT_TRUE(contains(log, "runsession: ")) << log;
  EXPECT_TRUE(contains(log, " ms,  ")) << log;
  EXPECT_TRUE(contains(log, "ENV3_inference: [123]")) << log;
  // three scores: a list, each item ending in ", "
  const std::size_t at = log.find("score: ");
  ASSERT_NE(at, std::string::npos) << log;
  const std::string list = log.substr(at + 7, log.find('\n', at) - at - 7);
  EXPECT_EQ(list.size(), 3u * 7u) << list;  // "0.xyz, " three times
  EXPECT_EQ(list.substr(list.size() - 2), ", ");

  std::vector<int> twelve = {0};
  for (int k = 1; k <= 12; ++k) twelve.push_back(k + 17);  // "ABCDEFGHIJKL"
  twelve.push_back(0);
  log = captured([&] { crnn_extract_mrz(stripes(twelve), 'X'); });
  EXPECT_TRUE(contains(log, "MRZ_inference: [")) << log;
  EXPECT_TRUE(contains(log, "min_score: ")) << log;
  EXPECT_TRUE(contains(log, ", locate: ")) << log;
  EXPECT_FALSE(contains(log, "\nscore: ")) << log;

  log = captured([] { crnn_extract_cn(stripes({0, 0, 0})); });
  EXPECT_TRUE(contains(log, "CN_inference: []")) << log;
  EXPECT_FALSE(contains(log, "score")) << log;
  log = captured([] { crnn_extract_en(stripes({0, 18, 0}), 'X'); });
  EXPECT_TRUE(contains(log, "EN_inference: [A]")) << log;
}

TEST_F(CrnnRead, NarrowModelRefusesRestrictedModes) {
  TempDir narrow;
  fillModelsDir(narrow, "crnn40.p");
  CrnnNet net;
  captured([&] { ASSERT_EQ(net.initModel(narrow.path(), CRNN_TYPE_EN), 0); });
  net.type = CRNN_TYPE_EN;
  const cv::Mat img = stripes({0, 18, 0, 2, 0});
  net.resizeShape(0, img.cols);
  TextLine line;
  const std::string log = captured([&] { line = net.getTextLine(img, 0, 'O', 0.3f); });
  EXPECT_TRUE(line.text.empty());
  EXPECT_TRUE(contains(log, "crnn output has 40 classes")) << log;
  EXPECT_EQ(net.getTextLine(img, 0, 'X', 0.3f).text, "A1");
}

TEST_F(CrnnRead, SharesThePixelsWithoutChangingThem) {
  const cv::Mat img = stripes({0, 18, 0});
  const cv::Mat copy = img.clone();
  crnn_extract_en(img, 'O');
  EXPECT_EQ(cv::norm(img, copy, cv::NORM_INF), 0.0);
}

// ---------------------------------------------------------------------------
// patch_image and the name reader
// ---------------------------------------------------------------------------

struct PatchCase {
  int cols, rows;
  int w, outCols;
};

class PatchImage : public ::testing::TestWithParam<PatchCase> {};

TEST_P(PatchImage, ScalesAndPadsNarrowLines) {
  const PatchCase& c = GetParam();
  cv::Mat src(c.rows, c.cols, CV_8UC3, cv::Scalar(10, 20, 30));
  cv::Mat dst;
  const std::string log = captured([&] { patch_image(src, dst, 0, 48); });
  ASSERT_EQ(dst.rows, 48);
  EXPECT_EQ(dst.cols, c.outCols);
  EXPECT_TRUE(contains(log, cv::format("%d, %d => %d, 48 => %d, 48", c.cols, c.rows, c.w,
                                       c.outCols)))
      << log;
  if (c.outCols > c.w) {
    EXPECT_EQ(dst.at<cv::Vec3b>(20, c.outCols - 1), cv::Vec3b(127, 127, 127));
  }
  EXPECT_EQ(dst.at<cv::Vec3b>(20, 0), cv::Vec3b(10, 20, 30));
}

INSTANTIATE_TEST_SUITE_P(Widths, PatchImage,
                         ::testing::Values(PatchCase{60, 48, 60, 64}, PatchCase{64, 48, 64, 64},
                                           PatchCase{69, 48, 69, 72}, PatchCase{70, 48, 70, 70},
                                           PatchCase{50, 31, 77, 77}, PatchCase{5, 48, 5, 8}));

TEST(PatchImageRefusal, WidthZeroLeavesNothing) {
  cv::Mat tall(100, 1, CV_8UC3, cv::Scalar(1, 2, 3));
  cv::Mat dst(4, 4, CV_8UC3);
  captured([&] { patch_image(tall, dst, 0, 48); });
  EXPECT_TRUE(dst.empty());
  captured([&] { patch_image(cv::Mat(), dst, 0, 48); });
  EXPECT_TRUE(dst.empty());
}

TEST_F(CrnnRead, NameReaderRefusesWidthZero) {
  cv::Mat tall(100, 1, CV_8UC3, cv::Scalar(30, 30, 30));
  TextLine line;
  const std::string log = captured([&] { line = crnn_extract_name(tall, CRNN_TYPE_EN, 'L'); });
  EXPECT_TRUE(line.text.empty());
  EXPECT_FALSE(contains(log, "runsession")) << log;
}

TEST_F(CrnnRead, NameReaderPadsNarrowLines) {
  // 3 steps of 4 columns: 12 wide, padded with grey 127 to 16; the pad step
  // reads as class 24 (level 125, 'G')
  const TextLine line = crnn_extract_name(stripes({0, 12, 0}), CRNN_TYPE_EN, 'X');
  EXPECT_EQ(g_crnnNet->getSessionInput().shape, (std::vector<int>{1, 3, 48, 16}));
  EXPECT_EQ(line.text, ";G");
}

}  // namespace
