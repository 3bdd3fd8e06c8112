// The scan paths around a readable page: frame normalisation and refused
// frames, the motion gate, the mixed path's fallback, the detect mode between
// scans, locate-only mode and the crops of both camera generations.
#include <gtest/gtest.h>

#include "global.h"
#include "test_ocr_result.h"
#include "test_scan_fixtures.h"
#include "vyr_log.h"
#include "vyrocr.h"

using namespace scanfx;

namespace {

const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new ScanEnvironment);

// ---- frame normalisation ----------------------------------------------------------------

// The bottom `rows` rows of a page, scaled to `w` x `h`: the MRZ band survives.
cv::Mat bottomScaled(const Page& p, int rows, int w, int h) {
  cv::Mat img = readPage(p);
  cv::Mat part = img.rowRange(img.rows - rows, img.rows).clone();
  cv::Mat out;
  cv::resize(part, out, cv::Size(w, h), 0, 0, cv::INTER_LINEAR);
  return out;
}

// (1600-column pages are read in place and wider and narrower ones scaled in
// the page tests; here heights at the rounding edges.)
TEST(FrameSize, ScalesToTheWorkingWidth) {
  const Page& p = page("p01_clean");
  FixedMode fixed(0);
  struct Case {
    int w, h, rows;  // frame size, rows of the working frame
  } cases[] = {{3200, 1599, 800}, {3200, 1601, 801}, {1000, 500, 800}, {1920, 1080, 900}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    TruthRecognisers rec(p["mrz1"], p["mrz2"]);
    cv::Mat frame = bottomScaled(p, c.rows, c.w, c.h);
    OCR_RESULT r;
    ASSERT_EQ(vyrocr_scan_mat(frame, 0, r), 0);
    EXPECT_EQ(std::string(r.id), p["id"]);
    EXPECT_EQ(g_cropimg.size(), cv::Size(1360, c.rows - 100));
  }
}

TEST(FrameSize, GreyAndBgraImagesAreRead) {
  const Page& p = page("v01_a_clean");
  FixedMode fixed(0);
  cv::Mat bgr = readPage(p), grey, bgra;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  for (cv::Mat* img : {&grey, &bgra}) {
    TruthRecognisers rec(p["mrz1"], p["mrz2"]);
    OCR_RESULT r;
    ASSERT_EQ(vyrocr_scan_mat(*img, 0, r), 0) << img->channels();
    expectFields(p, r);
  }
}

// Refused frames keep the previous scan's crops and return an empty record.
TEST(FrameSize, RefusedFramesKeepThePreviousCrops) {
  const Page& p = page("p05_blur");
  FixedMode fixed(0);
  TruthRecognisers rec(p["mrz1"], p["mrz2"]);
  cv::Mat img = readPage(p);
  OCR_RESULT r;
  ASSERT_EQ(vyrocr_scan_mat(img, 0, r), 0);
  const uchar* crop = g_cropimg.data;
  const uchar* face = g_faceimg.data;
  ASSERT_NE(crop, nullptr);

  cv::Mat bad[] = {cv::Mat(), cv::Mat(1598, 3200, CV_8UC3, cv::Scalar::all(200)),
                   cv::Mat(1200, 1600, CV_16UC3, cv::Scalar::all(200)),
                   cv::Mat(1200, 1600, CV_8UC2, cv::Scalar::all(200)),
                   cv::Mat(1200, 1600, CV_32FC1, cv::Scalar::all(0.5)),
                   // 10 x 20000 would become 1600 x 3.2 million rows
                   cv::Mat(20000, 10, CV_8UC3, cv::Scalar::all(200))};
  for (cv::Mat& m : bad) {
    SCOPED_TRACE(std::to_string(m.cols) + "x" + std::to_string(m.rows) + " type " + std::to_string(m.type()));
    std::memset(&r, 0x5a, sizeof(r));
    vyr_set_log_dummy(0);
    const std::string log = captured([&] { EXPECT_EQ(vyrocr_scan_mat(m, 0, r), -7); });
    vyr_set_log_dummy(1);
    EXPECT_TRUE(contains(log, "image size invalid.\n"));
    EXPECT_TRUE(contains(log, "ocr return = -7\n"));
    EXPECT_EQ(r.status, -1);
    EXPECT_STREQ(r.id, "");
    EXPECT_EQ(g_cropimg.data, crop);
    EXPECT_EQ(g_faceimg.data, face);
  }
}

// An allocator that refuses large images the way OpenCV reports its own
// failures, with a cv::Exception.
class RefusingAllocator : public cv::MatAllocator {
 public:
  explicit RefusingAllocator(std::size_t limit) : limit_(limit) {}
  cv::UMatData* allocate(int dims, const int* sizes, int type, void* data, size_t* step,
                         cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    std::size_t total = CV_ELEM_SIZE(type);
    for (int i = 0; i < dims; ++i) total *= static_cast<std::size_t>(sizes[i]);
    if (data == nullptr && total >= limit_) CV_Error(cv::Error::StsNoMem, "refused by the test allocator");
    return cv::Mat::getStdAllocator()->allocate(dims, sizes, type, data, step, flags, usage);
  }
  bool allocate(cv::UMatData* u, cv::AccessFlag flags, cv::UMatUsageFlags usage) const override {
    return cv::Mat::getStdAllocator()->allocate(u, flags, usage);
  }
  void deallocate(cv::UMatData* u) const override { cv::Mat::getStdAllocator()->deallocate(u); }

 private:
  std::size_t limit_;
};

TEST(FrameSize, AnOpenCvFailureInsideTheScanIsReportedNotThrown) {
  FixedMode fixed(0);
  cv::Mat img(1500, 2000, CV_8UC3, cv::Scalar::all(200));  // 1600 x 1200 x 3 bytes once scaled
  RefusingAllocator refusing(5 * 1024 * 1024);
  OCR_RESULT r;
  int code = 0;
  vyr_set_log_dummy(0);
  cv::MatAllocator* previous = cv::Mat::getDefaultAllocator();
  cv::Mat::setDefaultAllocator(&refusing);
  const std::string log = captured([&] {
    try {
      code = vyrocr_scan_mat(img, 0, r);
    } catch (...) {
      code = 99;
    }
  });
  cv::Mat::setDefaultAllocator(previous);
  vyr_set_log_dummy(1);
  EXPECT_EQ(code, -1);
  EXPECT_TRUE(contains(log, "vyrocr_scan_mat: ")) << log;
  EXPECT_TRUE(contains(log, "ocr return = -1\n")) << log;
  EXPECT_EQ(r.status, -1);
}

// ---- motion gate and mixed path ------------------------------------------------------------

// The gate's memory as it is right after start-up.
void freshGate() { std::memset(&g_next_frame, 0, sizeof(g_next_frame)); }

cv::Mat shifted(const cv::Mat& img, int dx, int dy) {
  cv::Mat out;
  const cv::Mat m = (cv::Mat_<double>(2, 3) << 1, 0, dx, 0, 1, dy);
  cv::warpAffine(img, out, m, img.size(), cv::INTER_NEAREST, cv::BORDER_REPLICATE);
  return out;
}

TEST(MotionGate, FirstScanAndMovedDocumentGiveMinus80) {
  const Page& p = page("p12_pitch25");
  vyrocr_set_scan_type(1);
  setDetectMode(0);
  freshGate();
  TruthRecognisers rec(p["mrz1"], p["mrz2"]);
  cv::Mat img = readPage(p);
  OCR_RESULT r;
  EXPECT_EQ(vyrocr_scan_mat(img, 0, r), -80);  // measured from the origin
  EXPECT_TRUE(g_cropimg.empty());
  EXPECT_EQ(vyrocr_scan_mat(img, 0, r), 0);  // the same frame again
  expectFields(p, r);
  EXPECT_EQ(g_next_frame.has_point, 0);

  cv::Mat moved = shifted(img, 0, 14);  // 7 mask pixels
  EXPECT_EQ(vyrocr_scan_mat(moved, 0, r), -80);
  EXPECT_EQ(g_detect_mode, 0);
  EXPECT_EQ(vyrocr_scan_mat(moved, 0, r), 0);
  cv::Mat nudged = shifted(moved, 2, 2);  // a pixel at mask scale: still
  EXPECT_EQ(vyrocr_scan_mat(nudged, 0, r), 0);

  // A fixed detect mode switches the gate off.
  setDetectMode(1);
  freshGate();
  EXPECT_EQ(vyrocr_scan_mat(moved, 0, r), 0);
  EXPECT_EQ(vyrocr_scan_mat(img, 0, r), 0);
  setDetectMode(0);
  vyrocr_set_scan_type(0);
}

TEST(MixedPath, PassportLocationFailuresGoToTheCardPath) {
  const Page& p = page("v06_b_tilt");
  vyrocr_set_scan_type(0);
  setDetectMode(0);
  freshGate();
  TruthRecognisers rec(p["mrz1"], p["mrz2"]);
  cv::Mat img = readPage(p);
  OCR_RESULT r;
  vyr_set_log_dummy(0);
  init_test_info_item();
  std::string log = captured([&] { EXPECT_EQ(vyrocr_scan_mat(img, 0, r), -1); });
  EXPECT_TRUE(contains(log, "-----------CERTIFICATE_TYPE_DEFAULT-----------"));
  EXPECT_TRUE(contains(log, "mrz check: -80"));
  EXPECT_TRUE(contains(log, "card detect: -1"));
  EXPECT_EQ(std::string(get_test_info_line()).rfind("vyr_mixed_scan: \tvyr_card_scan: \tvyr_mixed_scan: ", 0), 0u)
      << get_test_info_line();
  EXPECT_EQ(r.status, -1);

  init_test_info_item();
  log = captured([&] { EXPECT_EQ(vyrocr_scan_mat(img, 0, r), 0); });
  vyr_set_log_dummy(1);
  EXPECT_FALSE(contains(log, "vyr_card_scan"));
  expectFields(p, r);

  // A page without an MRZ bar goes to the card path too.
  cv::Mat blank(1200, 1600, CV_8UC3, cv::Scalar(230, 230, 230));
  EXPECT_EQ(vyrocr_scan_mat(blank, 0, r), -1);
}

// ---- detect mode between scans -------------------------------------------------------------

// Locates the lines but fails in the reader: the recognisers read nothing.
class BlindRecognisers {
 public:
  BlindRecognisers() {
    set_reread_recognisers([](const cv::Mat&, char) { return TextLine(); },
                           [](const cv::Mat&, char) { return TextLine(); });
  }
  ~BlindRecognisers() { set_reread_recognisers(nullptr, nullptr); }
};

std::vector<int> loggedModes(const std::string& log) {
  std::vector<int> modes;
  for (std::size_t at = log.find("detect_mode: "); at != std::string::npos; at = log.find("detect_mode: ", at + 1))
    modes.push_back(log[at + 13] - '0');
  return modes;
}

TEST(DetectMode, AlternatesAfterFailedReadsAndRestartsAfterSuccess) {
  const Page& p = page("p03_tilt_m2");
  vyrocr_set_scan_type(1);
  setDetectMode(0);
  freshGate();
  cv::Mat img = readPage(p);
  OCR_RESULT r;
  vyr_set_log_dummy(0);
  std::string log;
  {
    BlindRecognisers blind;
    log = captured([&] {
      EXPECT_EQ(vyrocr_scan_mat(img, 0, r), -80);
      for (int i = 0; i < 3; ++i) EXPECT_LT(vyrocr_scan_mat(img, 0, r), 0);
    });
  }
  EXPECT_EQ(loggedModes(log), (std::vector<int>{0, 1, 0}));
  // The failed reads still leave the page crop, but no face.
  EXPECT_FALSE(g_cropimg.empty());
  EXPECT_TRUE(g_faceimg.empty());

  // Mode 1 comes next; a success in it starts the following scan in mode 0.
  TruthRecognisers rec(p["mrz1"], p["mrz2"]);
  log = captured([&] {
    EXPECT_EQ(vyrocr_scan_mat(img, 0, r), 0);
    EXPECT_EQ(vyrocr_scan_mat(img, 0, r), 0);
  });
  vyr_set_log_dummy(1);
  EXPECT_EQ(loggedModes(log), (std::vector<int>{1, 0}));
  vyrocr_set_scan_type(0);
}

TEST(DetectMode, LocateOnlyStopsAfterTheBandCheck) {
  const Page& p = page("p01_clean");
  FixedMode fixed(0);
  cv::Mat img = readPage(p);
  OCR_RESULT r;
  g_scan_none = 1;
  vyr_set_log_dummy(0);
  const std::string log = captured([&] { EXPECT_EQ(vyrocr_scan_mat(img, 0, r), 0); });
  vyr_set_log_dummy(1);
  g_scan_none = 0;
  EXPECT_TRUE(contains(log, "mrz check: 0"));
  EXPECT_FALSE(contains(log, "detect_mode"));
  EXPECT_FALSE(contains(log, "证件名称"));  // nothing printed
  EXPECT_EQ(r.status, -1);
  EXPECT_TRUE(g_cropimg.empty());
  EXPECT_TRUE(g_faceimg.empty());
}

// ---- crops of the old camera ------------------------------------------------------------

TEST(Crops, OldCameraKeepsAFortyPixelMargin) {
  ASSERT_EQ(vyrocr_init(ScanEnvironment::models()->path().c_str(), "", 0), 0);
  const Page& p = page("v02_a_tilt");
  {
    FixedMode fixed(0);
    TruthRecognisers rec(p["mrz1"], p["mrz2"]);
    cv::Mat img = readPage(p);
    OCR_RESULT r;
    ASSERT_EQ(vyrocr_scan_mat(img, 0, r), 0);
    ASSERT_EQ(g_cropimg.size(), cv::Size(1520, 1120));
    EXPECT_EQ(cv::norm(g_cropimg, img(cv::Rect(40, 40, 1520, 1120)), cv::NORM_INF), 0.0);
    EXPECT_NE(g_cropimg.data, img.data + img.step * 40 + 40 * 3);  // a copy, not a view
  }
  ASSERT_EQ(vyrocr_init(ScanEnvironment::models()->path().c_str(), "", 1), 0);
}

}  // namespace
