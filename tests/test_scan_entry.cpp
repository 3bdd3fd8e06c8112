// The scan interface around the scan itself: start-up and shut-down with
// their order, failures and repeats; refusal of scans before start-up; the
// NV21 entry's guards; the scan-type table and the path dispatch; the
// counters; the visa-category rules.
#include <gtest/gtest.h>

#include <climits>

#include "fixed_text.h"
#include "global.h"
#include "passport_visa.h"
#include "test_ocr_result.h"
#include "test_scan_fixtures.h"
#include "vyr_crnn.h"
#include "vyr_log.h"
#include "vyrocr.h"

using namespace scanfx;

namespace {

// Every test starts with the interface shut down and the log on.
class ScanEntry : public ::testing::Test {
 protected:
  void SetUp() override {
    vyr_set_log_dummy(1);
    vyrocr_unInit();
    vyr_set_log_dummy(0);
    setDetectMode(0);
    vyrocr_set_scan_type(0);
  }
  void TearDown() override {
    vyr_set_log_dummy(1);
    vyrocr_unInit();
    vyr_set_log_dummy(0);
  }
  std::string init(const std::string& dir, const char* device, int camera, int expected) {
    return captured([&] { EXPECT_EQ(vyrocr_init(dir.c_str(), device, camera), expected); });
  }
};

OCR_RESULT garbage() {
  OCR_RESULT r;
  std::memset(&r, 0x5a, sizeof(r));
  return r;
}

void expectCleared(const OCR_RESULT& r) {
  EXPECT_EQ(r.status, -1);
  EXPECT_EQ(r.cert_type, 0);
  EXPECT_STREQ(r.id, "");
  EXPECT_STREQ(r.mrz, "");
  EXPECT_EQ(r.mrz_type, -1);
  EXPECT_EQ(r.mrz_state, -1);
}

// ---- before start-up ----------------------------------------------------------------

TEST_F(ScanEntry, ScansAreRefusedBeforeStartUp) {
  cv::Mat img(1200, 1600, CV_8UC3, cv::Scalar::all(200));
  OCR_RESULT r = garbage();
  std::string log = captured([&] { EXPECT_EQ(vyrocr_scan_mat(img, 0, r), -1); });
  EXPECT_EQ(log, "vyrocr_init first!\nocr return = -1\n");
  expectCleared(r);

  std::vector<unsigned char> nv21(640 * 720, 128);
  r = garbage();
  log = captured([&] { EXPECT_EQ(vyrocr_scan_yuv(nv21.data(), 640, 480, 0, 0, 0, r), -1); });
  EXPECT_EQ(log, "vyrocr_init first!\n");
  expectCleared(r);
  // Not even a null buffer is looked at before start-up.
  EXPECT_EQ(vyrocr_scan_yuv(nullptr, 0, 0, 0, 0, 0, r), -1);
}

// ---- start-up ------------------------------------------------------------------------

TEST_F(ScanEntry, StartUpLoadsInOrderAndMarksReady) {
  ModelsDir dir;
  ASSERT_TRUE(dir.ok());
  std::memset(&g_next_frame, 0x11, sizeof(g_next_frame));
  const std::string log = init(dir.path(), "", 1, 0);
  EXPECT_EQ(g_init_ok, 1);
  EXPECT_EQ(isNewCamera(), 1);
  EXPECT_EQ(g_next_frame.has_point, 0);
  EXPECT_EQ(g_next_frame.mrz_x, 0.f);
  EXPECT_EQ(g_next_frame.card_y, 0.f);
  // The steps in their order, with their lines.
  std::size_t at = log.find("version: vyrocr v3.5.0c-20231226\n");
  for (const char* line : {">>>> isNewCamera <<<<\n", "init 1 pass.\n", "ocrb [ocrb_34.png] loaded", "init 2 pass.\n",
                           "init 3 pass.\n", "init 5 pass.\n", ">>>> init success <<<<\n"}) {
    at = after(log, line, at);
    EXPECT_NE(at, std::string::npos) << line << "\n" << log;
  }
}

TEST_F(ScanEntry, CameraAndArgumentsAreCheckedBeforeAnythingLoads) {
  ModelsDir dir;
  ASSERT_TRUE(dir.ok());
  for (int camera : {2, -1}) {
    const std::string log = init(dir.path(), "", camera, -1);
    EXPECT_EQ(log, "version: vyrocr v3.5.0c-20231226\nvyrocr_init: isNewCamera=" + std::to_string(camera) +
                       " is not support\n");
  }
  EXPECT_EQ(g_init_ok, 0);
  EXPECT_EQ(g_crnnNet, nullptr);

  const std::string log = captured([&] {
    EXPECT_EQ(vyrocr_init(nullptr, "", 1), -1);
    EXPECT_EQ(vyrocr_init(dir.path().c_str(), nullptr, 1), -1);
  });
  EXPECT_TRUE(contains(log, "vyrocr_init: models directory or device missing"));
  EXPECT_FALSE(contains(log, "isNewCamera"));
  EXPECT_EQ(g_crnnNet, nullptr);

  // A refused camera leaves a working interface as it was.
  init(dir.path(), "", 0, 0);
  init(dir.path(), "", 7, -1);
  EXPECT_EQ(g_init_ok, 1);
  EXPECT_EQ(isOldCamera(), 1);
  EXPECT_NE(g_crnnNet, nullptr);
}

TEST_F(ScanEntry, DeviceOpenclInAnyCaseSelectsTheGpuOption) {
  ModelsDir dir;
  ASSERT_TRUE(dir.ok());
  const struct {
    const char* device;
    int option;
  } cases[] = {{"opencl", 1}, {"OpenCL", 1}, {"OPENCL", 1}, {"", 0}, {"cpu", 0}, {"opencl2", 0}};
  for (const auto& c : cases) {
    init(dir.path(), c.device, 1, 0);
    EXPECT_EQ(g_model_opt, c.option) << c.device;
  }
}

struct StepFailure {
  const char* remove;     // file taken out of the models directory
  int code;               // result of vyrocr_init
  const char* failLine;   // the failing step's line
  const char* lastPass;   // the last step line before it, or nullptr
};

class InitStep : public ScanEntry, public ::testing::WithParamInterface<StepFailure> {};

TEST_P(InitStep, FailsWithTheStepsCodeAndStaysNotReady) {
  const StepFailure& c = GetParam();
  ModelsDir dir;
  ASSERT_TRUE(dir.ok());
  ASSERT_TRUE(fs::remove(dir.file(c.remove)));
  const std::string log = init(dir.path(), "", 1, c.code);
  EXPECT_TRUE(contains(log, c.failLine)) << log;
  if (c.lastPass) {
    EXPECT_LT(log.find(c.lastPass), log.find(c.failLine)) << log;
  } else {
    EXPECT_FALSE(contains(log, "pass.")) << log;
  }
  EXPECT_FALSE(contains(log, "init success"));
  EXPECT_EQ(g_init_ok, 0);

  // Scans are refused until a start-up passes.
  cv::Mat img(1200, 1600, CV_8UC3, cv::Scalar::all(200));
  OCR_RESULT r = garbage();
  EXPECT_EQ(vyrocr_scan_mat(img, 0, r), -1);
  expectCleared(r);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, InitStep,
    ::testing::Values(StepFailure{"ocrv4_en.p", -1, "===> init1 fail <===  -1\n", nullptr},
                      StepFailure{"det_mrz.p", -1, "===> init1 fail <===  -1\n", nullptr},
                      StepFailure{"ocrb_28.png", -1, "===> init2 fail <===  -1\n", "init 1 pass.\n"},
                      StepFailure{"fd4_2.p", -1002, "===> init3 fail <===  -1002\n", "init 2 pass.\n"},
                      StepFailure{"card.p", -1002, "===> init5 fail <===  -1002\n", "init 3 pass.\n"}),
    [](const ::testing::TestParamInfo<StepFailure>& i) {
      std::string n = i.param.remove;
      for (char& ch : n)
        if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return n;
    });

TEST_F(ScanEntry, RepeatedStartUpReplacesTheFirstAndAFailedOneLeavesNotReady) {
  ModelsDir dir;
  ASSERT_TRUE(dir.ok());
  init(dir.path(), "", 1, 0);
  CrnnNet* first = g_crnnNet;
  ASSERT_NE(first, nullptr);
  // A second start-up releases before it loads again (no leak under the
  // sanitizer), and is ready again.
  const std::string log = init(dir.path(), "", 1, 0);
  EXPECT_LT(log.find("unload crnn en model."), log.find("init 1 pass."));
  EXPECT_EQ(g_init_ok, 1);

  // A failing repeat does not leave the interface ready over what it had
  // partly replaced.
  ASSERT_TRUE(fs::remove(dir.file("fd4_2.p")));
  init(dir.path(), "", 1, -1002);
  EXPECT_EQ(g_init_ok, 0);
  cv::Mat img(1200, 1600, CV_8UC3, cv::Scalar::all(200));
  OCR_RESULT r;
  EXPECT_EQ(vyrocr_scan_mat(img, 0, r), -1);
  // What loaded before the failing step stays until shut-down.
  EXPECT_NE(g_crnnNet, nullptr);
  vyrocr_unInit();
  EXPECT_EQ(g_crnnNet, nullptr);
}

// ---- shut-down, reset, counters --------------------------------------------------------

TEST_F(ScanEntry, ShutDownReleasesInOrderAndMayBeRepeated) {
  ModelsDir dir;
  ASSERT_TRUE(dir.ok());
  init(dir.path(), "", 1, 0);
  g_rotated_struct[0].has_inverse = true;
  g_rotated_struct[0].line_rect = cv::Rect_<float>(3, 4, 5, 6);
  std::string log = captured([] { vyrocr_unInit(); });
  std::size_t at = 0;
  for (const char* line : {"unload detect model\n", "unload crnn en model.\n", "unload crnn env3 model.\n",
                           "unload crnn_cn model.\n", "unload crnn_mrz model.\n", "unload crnn_detect model.\n",
                           "unload mrz_detect model.\n"}) {
    at = after(log, line, at);
    EXPECT_NE(at, std::string::npos) << line << "\n" << log;
  }
  EXPECT_EQ(g_init_ok, 0);
  EXPECT_FALSE(g_rotated_struct[0].has_inverse);
  EXPECT_EQ(g_rotated_struct[0].line_rect, cv::Rect_<float>(3, 4, 0, 0));

  log = captured([] {
    vyrocr_unInit();
    vyrocr_unInit();
  });
  EXPECT_FALSE(contains(log, "unload crnn"));
  EXPECT_EQ(g_init_ok, 0);
}

TEST_F(ScanEntry, ResetAndConfReportTheCounters) {
  int a = 7, b = 7, c = 7;
  ocr_sum_conf = 12;
  ocr_min_conf = 3;
  pos_min_conf = 40;
  ocr_mean_conf = 9;
  passport_ocr_result.mrz[0] = 'P';
  EXPECT_EQ(vyrocr_conf(a, b, c), 0);
  EXPECT_EQ(std::vector<int>({a, b, c}), std::vector<int>({12, 3, 40}));
  vyrocr_reset();
  EXPECT_EQ(vyrocr_conf(a, b, c), 0);
  EXPECT_EQ(std::vector<int>({a, b, c}), std::vector<int>({0, 0, -1}));
  EXPECT_EQ(ocr_mean_conf, 0);
  EXPECT_EQ(passport_ocr_result.mrz[0], ' ');
}

// ---- scan types and paths ---------------------------------------------------------------

TEST_F(ScanEntry, ScanTypeTable) {
  const int stored[] = {0, 1, 0, 3, 4, 0, 0, 7, 8, 9, 10, 11, 12};
  for (int t = -2; t <= 14; ++t) {
    const int want = (t >= 0 && t <= 12) ? stored[t] : 0;
    g_detect_mode = 1;
    init_test_info_item();
    const std::string log = captured([&] { vyrocr_set_scan_type(t); });
    EXPECT_EQ(g_scan_type, want) << t;
    EXPECT_EQ(log, "set_scan_type = " + std::to_string(t) + "\nvyrocr_set_scan_type: " + std::to_string(want) + "\t\n");
    EXPECT_EQ(std::string(get_test_info_line()), "vyrocr_set_scan_type: " + std::to_string(want) + "\t");
    EXPECT_EQ(g_detect_mode, 0);
  }
}

TEST_F(ScanEntry, DispatchByScanType) {
  ModelsDir dir;
  ASSERT_TRUE(dir.ok());
  init(dir.path(), "", 1, 0);
  setDetectMode(1);  // no motion gate
  cv::Mat blank(1200, 1600, CV_8UC3, cv::Scalar::all(225));
  const struct {
    int type;
    const char* line;
    bool card;
  } cases[] = {{1, "-----------CERTIFICATE_TYPE_PASSPORT/VISA/RESIDENT-----------", false},
               {12, "-----------CERTIFICATE_TYPE_PASSPORT/VISA/RESIDENT-----------", false},
               {3, "-----------CERTIFICATE_TYPE_FROM_HM/TW-----------", true},
               {11, "-----------CERTIFICATE_TYPE_FROM_HM/TW-----------", true},
               {0, "-----------CERTIFICATE_TYPE_DEFAULT-----------", true},
               {5, "-----------CERTIFICATE_TYPE_DEFAULT-----------", true}};
  for (const auto& c : cases) {
    vyrocr_set_scan_type(c.type);
    OCR_RESULT r;
    init_test_info_item();
    const std::string log = captured([&] { EXPECT_EQ(vyrocr_scan_mat(blank, 0, r), -1); });
    EXPECT_TRUE(contains(log, c.line)) << c.type;
    EXPECT_EQ(contains(log, "vyr_card_scan: \t"), c.card) << c.type;
    // The passport location runs on the passport and mixed paths only.
    EXPECT_EQ(contains(log, "mrz check: -1"), c.type != 3 && c.type != 11) << c.type;
    const std::string items = get_test_info_line();
    if (c.type == 1 || c.type == 12) {
      EXPECT_EQ(items.rfind("vyr_passport_scan: \tvyr_passport_scan: ", 0), 0u) << items;
    }
    EXPECT_TRUE(contains(log, "ocr return = -1\n"));
  }
  setDetectMode(0);
}

// ---- NV21 guards ---------------------------------------------------------------------------

TEST_F(ScanEntry, Nv21FramesOfImpossibleShapeAreRefused) {
  ModelsDir dir;
  ASSERT_TRUE(dir.ok());
  init(dir.path(), "", 1, 0);
  std::vector<unsigned char> buffer(1024 * 1024, 128);
  const struct {
    unsigned char* data;
    int w, h;
  } cases[] = {{nullptr, 640, 480}, {buffer.data(), 641, 480}, {buffer.data(), 640, 481}, {buffer.data(), 0, 480},
               {buffer.data(), 640, 0},  {buffer.data(), -640, 480}, {buffer.data(), 640, -2},
               {buffer.data(), INT_MAX - 1, INT_MAX - 1}};
  for (const auto& c : cases) {
    OCR_RESULT r = garbage();
    const std::string log = captured([&] { EXPECT_EQ(vyrocr_scan_yuv(c.data, c.w, c.h, 0, 0, 0, r), -7); });
    EXPECT_EQ(log, "image size invalid.\nocr return = -7\n") << c.w << "x" << c.h;
    expectCleared(r);
  }
  // A 640 x 480 frame is 720 rows of 640 bytes, enlarged to 1600 x 1200:
  // blank, so the band check finds nothing.
  setDetectMode(1);
  vyrocr_set_scan_type(1);
  OCR_RESULT r;
  const std::string log = captured([&] { EXPECT_EQ(vyrocr_scan_yuv(buffer.data(), 640, 480, 0, 0, 0, r), -1); });
  EXPECT_TRUE(contains(log, "mrz check: -1"));
  setDetectMode(0);
}

// ---- visa categories ------------------------------------------------------------------------

TEST(VisaCategory, NormalisedByTheMrzLetter) {
  const struct {
    char letter;
    const char* read;
    const char* want;
  } cases[] = {
      {'P', "J1", "J2"},  {'P', "", "J2"},    {'J', "J2", "J2"},  {'J', "J1", "J1"},  {'J', "J", "J1"},
      {'J', "", "J1"},    {'J', "JX", "J1"},  {'A', "", "W"},     {'A', "X", "W"},    {'A', "AB", "W"},
      {'L', "L5", "L"},   {'L', "", "L"},     {'M', "N7", "M"},   {'Q', "Q2", "Q2"},  {'Q', "O2", "Q2"},
      {'Q', "Q2X", "Q2"}, {'Q', "O2X", "Q2X"}, {'Q', "Q", "Q"},   {'S', "S1", "S1"},  {'S', "5", "S"},
      {'X', "X2", "X2"},  {'X', "XA", "XA"},  {'<', "L", ""},     {'<', "LX", ""},    {'B', "", ""},
      {'B', "B2", ""},    {'\0', "Q2", ""},
  };
  for (const auto& c : cases) {
    char category[32] = {0};
    vyr::copy_text(category, c.read);
    normalize_visa_category(c.letter, category);
    EXPECT_STREQ(category, c.want) << "'" << c.letter << "' read [" << c.read << "]";
  }
  // A full-length reading stays within the field.
  char category[32];
  std::memset(category, 'Q', 31);
  category[31] = '\0';
  category[0] = 'O';
  normalize_visa_category('Q', category);
  EXPECT_EQ(std::strlen(category), 31u);
  EXPECT_EQ(category[0], 'Q');
  normalize_visa_category('A', nullptr);  // nothing to do, no crash
}

}  // namespace
