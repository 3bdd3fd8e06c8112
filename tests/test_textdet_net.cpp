// Text detection through the inference layer: DbNet on fixture networks, the
// text-box functions on the detector globals, and the MRZ line search on a
// rendered OCR-B band.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "encode.h"
#include "model_file.h"
#include "nn/DbNet.h"
#include "passport_detect.h"
#include "rotated_rect34.h"
#include "rrnms.h"
#include "vyr_crnn.h"
#include "vyr_textbox.h"

namespace {

const std::string kDataDir = std::string(VYR_TEST_DATA_DIR) + "/textdet";
const std::string kModelDir = std::string(VYR_BINARY_DIR) + "/textdet_models";

std::vector<unsigned char> readFile(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<unsigned char>(std::istreambuf_iterator<char>(f), {});
}

// Written under a private name and renamed, so that test processes running
// side by side never read a half-written file.
void writeFile(const std::string& path, const std::vector<unsigned char>& bytes) {
  const std::string tmp = path + ".tmp" + std::to_string(::getpid());
  {
    std::ofstream f(tmp, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  std::filesystem::rename(tmp, path);
}

// Wraps a body into an enciphered model-file container in kModelDir.
void writeContainer(const std::string& name, std::vector<unsigned char> body) {
  _s_model_head head;
  std::memset(&head, 0, sizeof(head));
  head.magic = kModelMagic;
  std::memcpy(head.v, "0300", 4);
  head.e = 1;
  std::strncpy(head.id, "textdet", sizeof(head.id));
  ASSERT_EQ(encode_model_body(body.data(), static_cast<long>(body.size()), head), 0);
  std::vector<unsigned char> file(reinterpret_cast<unsigned char*>(&head),
                                  reinterpret_cast<unsigned char*>(&head) + sizeof(head));
  file.insert(file.end(), body.begin(), body.end());
  writeFile(kModelDir + "/" + name, file);
}

class ModelFiles : public ::testing::Environment {
 public:
  void SetUp() override {
    std::filesystem::create_directories(kModelDir);
    for (const char* n : {"db_identity", "db_dark", "db_over", "db_half", "db_ink"})
      writeContainer(std::string(n) + ".p", readFile(kDataDir + "/" + n + ".onnx"));
    // a container whose body is no network
    writeContainer("garbage.p", std::vector<unsigned char>(1200, 0x5a));
    // a file without the container's marker
    writeFile(kModelDir + "/plain.p", std::vector<unsigned char>(1200, 0x00));
  }
};
const auto* const kEnv = ::testing::AddGlobalTestEnvironment(new ModelFiles);

// A detector loaded with one of the fixture networks.
std::unique_ptr<DbNet> loadNet(const std::string& name) {
  auto net = std::make_unique<DbNet>();
  std::string dir = kModelDir;
  EXPECT_EQ(net->initModel(dir, name + ".p"), 0) << name;
  return net;
}

// Points the detector globals at test detectors for the length of a test.
class Detectors {
 public:
  Detectors(DbNet* box, DbNet* mrz) : box_(g_dbNet), mrz_(g_dbNet_mrz) {
    g_dbNet = box;
    g_dbNet_mrz = mrz;
  }
  ~Detectors() {
    g_dbNet = box_;
    g_dbNet_mrz = mrz_;
  }

 private:
  DbNet* box_;
  DbNet* mrz_;
};

std::string captureLog(const std::function<void()>& f) {
  ::testing::internal::CaptureStdout();
  f();
  return ::testing::internal::GetCapturedStdout();
}

// ---- loading --------------------------------------------------------------------

TEST(DbNetLoad, ResultsAndMessages) {
  std::string dir = kModelDir;
  DbNet net;
  EXPECT_FALSE(net.isLoaded());
  std::string log = captureLog([&] { EXPECT_EQ(net.initModel(dir, "missing.p"), -1); });
  EXPECT_NE(log.find("Model box file not found: " + kModelDir + "/missing.p"), std::string::npos);
  log = captureLog([&] { EXPECT_EQ(net.initModel(dir, "plain.p"), -1002); });
  EXPECT_NE(log.find("load model " + kModelDir + "/plain.p fail."), std::string::npos);
  EXPECT_EQ(net.initModel(dir, "garbage.p"), -1);
  EXPECT_FALSE(net.isLoaded());
  log = captureLog([&] { EXPECT_EQ(net.initModel(dir, "db_identity.p"), 0); });
  EXPECT_NE(log.find("model [" + kModelDir + "/db_identity.p] loaded"), std::string::npos);
  EXPECT_TRUE(net.isLoaded());
  net.setNumThread(4);
  EXPECT_EQ(net.numThread, 4);
  EXPECT_EQ(net.session->numThread(), 2);
  // a failed reload leaves no half-loaded detector behind
  EXPECT_EQ(net.initModel(dir, "garbage.p"), -1);
  EXPECT_FALSE(net.isLoaded());
}

TEST(DbNetLoad, FreshDetectorValues) {
  DbNet net;
  EXPECT_EQ(net.session, nullptr);
  EXPECT_EQ(net.numThread, 0);
  EXPECT_FLOAT_EQ(net.meanVals[0], 123.675f);
  EXPECT_FLOAT_EQ(net.meanVals[2], 103.53f);
  EXPECT_NEAR(net.normVals[0], 0.017124753f, 1e-9);
  EXPECT_NEAR(net.normVals[1], 0.017507004f, 1e-9);
  EXPECT_NEAR(net.normVals[2], 0.017429194f, 1e-9);
}

// ---- detection -----------------------------------------------------------------

// White bars on a dark ground at the detector's own size (scale 1).
cv::Mat barsImage(cv::Scalar ground, const std::vector<cv::Rect>& bars, cv::Size size = {256, 192}) {
  cv::Mat img(size, CV_8UC3, ground);
  for (const cv::Rect& r : bars) img(r).setTo(cv::Scalar(255, 255, 255));
  return img;
}

TEST(DbNetDetect, BoxesLieAroundTheBars) {
  auto net = loadNet("db_identity");
  const std::vector<cv::Rect> bars = {{20, 30, 150, 14}, {40, 120, 90, 20}};
  for (cv::Scalar ground : {cv::Scalar(0, 0, 0), cv::Scalar(100, 100, 100)}) {
    cv::Mat img = barsImage(ground, bars);
    ScaleParam s = getScaleParam(img, 256);
    auto boxes = net->getTextBoxes(img, s, 0.7f, 0.3f, 2.0f);
    ASSERT_EQ(boxes.size(), 2u);
    for (const TextBox& b : boxes) {
      ASSERT_EQ(b.points.size(), 4u);
      EXPECT_EQ(b.score, 0.f);
      cv::RotatedRect r = minAreaRect34(b.points);
      // whichever bar this is, its centre and the box centre agree
      const cv::Rect& bar = r.center.y < 80 ? bars[0] : bars[1];
      EXPECT_NEAR(r.center.x, bar.x + bar.width / 2.0, 2.0);
      EXPECT_NEAR(r.center.y, bar.y + bar.height / 2.0, 2.0);
      const double d = bar.area() * 2.0 / (2.0 * (bar.width + bar.height));
      EXPECT_NEAR(std::max(r.size.width, r.size.height), bar.width + 2 * d, 4.0);
      EXPECT_NEAR(std::min(r.size.width, r.size.height), bar.height + 2 * d, 4.0);
      EXPECT_LT(b.points[0].x, b.points[1].x);  // clockwise from the top-left
      EXPECT_LT(b.points[1].y, b.points[2].y);
    }
  }
}

TEST(DbNetDetect, GreyAndFourChannelImagesAreConverted) {
  auto net = loadNet("db_identity");
  cv::Mat bgr = barsImage(cv::Scalar(0, 0, 0), {{20, 30, 150, 14}});
  cv::Mat grey, bgra;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  cv::cvtColor(bgr, bgra, cv::COLOR_BGR2BGRA);
  ScaleParam s = getScaleParam(bgr, 256);
  auto want = net->getTextBoxes(bgr, s, 0.7f, 0.3f, 2.0f);
  ASSERT_EQ(want.size(), 1u);
  for (cv::Mat* img : {&grey, &bgra}) {
    auto got = net->getTextBoxes(*img, s, 0.7f, 0.3f, 2.0f);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].points, want[0].points);
  }
  cv::Mat f32;
  bgr.convertTo(f32, CV_32FC3);
  EXPECT_TRUE(net->getTextBoxes(f32, s, 0.7f, 0.3f, 2.0f).empty());
}

TEST(DbNetDetect, PixelThresholdOnTheEightBitMap) {
  auto net = loadNet("db_identity");
  for (auto [value, want] : {std::pair<int, size_t>{178, 0}, {181, 1}}) {
    cv::Mat img(192, 256, CV_8UC3, cv::Scalar(0, 0, 0));
    img(cv::Rect(20, 30, 150, 14)).setTo(cv::Scalar(value, value, value));
    ScaleParam s = getScaleParam(img, 256);
    EXPECT_EQ(net->getTextBoxes(img, s, 0.7f, 0.3f, 2.0f).size(), want) << value;
  }
}

TEST(DbNetDetect, ProbabilitiesAboveOneStillMarkText) {
  auto net = loadNet("db_over");  // 191 gives 1.5, which would wrap to 126 of 255
  cv::Mat img(192, 256, CV_8UC3, cv::Scalar(0, 0, 0));
  img(cv::Rect(20, 30, 150, 14)).setTo(cv::Scalar(191, 191, 191));
  ScaleParam s = getScaleParam(img, 256);
  EXPECT_EQ(net->getTextBoxes(img, s, 0.7f, 0.3f, 2.0f).size(), 1u);
}

TEST(DbNetDetect, RefusalsGiveNoBoxes) {
  cv::Mat img = barsImage(cv::Scalar(0, 0, 0), {{20, 30, 150, 14}});
  ScaleParam s = getScaleParam(img, 256);
  DbNet unloaded;
  EXPECT_TRUE(unloaded.getTextBoxes(img, s, 0.7f, 0.3f, 2.0f).empty());

  auto half = loadNet("db_half");  // its map has half the input's size
  std::string log = captureLog([&] { EXPECT_TRUE(half->getTextBoxes(img, s, 0.7f, 0.3f, 2.0f).empty()); });
  EXPECT_NE(log.find("does not match the input 256x192"), std::string::npos);

  auto net = loadNet("db_identity");
  cv::Mat empty;
  ScaleParam none = getScaleParam(empty, 256);
  EXPECT_TRUE(net->getTextBoxes(empty, none, 0.7f, 0.3f, 2.0f).empty());
  cv::Mat other(100, 100, CV_8UC3, cv::Scalar(0, 0, 0));
  EXPECT_TRUE(net->getTextBoxes(other, s, 0.7f, 0.3f, 2.0f).empty());  // geometry of another image
  cv::Mat blank(192, 256, CV_8UC3, cv::Scalar(0, 0, 0));
  EXPECT_TRUE(net->getTextBoxes(blank, s, 0.7f, 0.3f, 2.0f).empty());
}

TEST(DbNetDetect, LogsInputSizeAndRunTime) {
  auto net = loadNet("db_identity");
  cv::Mat img = barsImage(cv::Scalar(0, 0, 0), {{20, 30, 150, 14}}, {1000, 300});
  ScaleParam s = getScaleParam(img, 256);
  std::string log = captureLog([&] { net->getTextBoxes(img, s, 0.7f, 0.3f, 2.0f); });
  EXPECT_NE(log.find("box: 256,64"), std::string::npos);
  EXPECT_NE(log.find("runsession box: "), std::string::npos);
}

// ---- crnn_detect_textbox (six arguments) ------------------------------------------

// Rectangles of the detector's boxes on img, in detector order.
std::vector<cv::RotatedRect> detectorRects(DbNet* net, cv::Mat& img, int target, float thr) {
  ScaleParam s = getScaleParam(img, target);
  std::vector<cv::RotatedRect> rects;
  for (const TextBox& b : net->getTextBoxes(img, s, thr, 0.3f, 2.0f))
    rects.push_back(minAreaRect34(b.points));
  return rects;
}

void expectSameRect(const cv::RotatedRect& a, const cv::RotatedRect& b) {
  EXPECT_NEAR(a.center.x, b.center.x, 1e-3);
  EXPECT_NEAR(a.center.y, b.center.y, 1e-3);
  EXPECT_NEAR(a.size.width, b.size.width, 1e-3);
  EXPECT_NEAR(a.size.height, b.size.height, 1e-3);
}

struct FilterCase {
  TEXT_BOX_FILTER_TYPE filter;
  int barIndex;  // the bar the filter must pick
};

class TextBoxFilter : public ::testing::TestWithParam<FilterCase> {};

// long and thin / short and thick / biggest, apart from each other
const std::vector<cv::Rect> kFilterBars = {{10, 10, 200, 6}, {30, 60, 50, 50}, {95, 120, 130, 30}};

TEST_P(TextBoxFilter, PicksByLongSideShortSideOrArea) {
  auto net = loadNet("db_identity");
  Detectors use(net.get(), nullptr);
  cv::Mat img = barsImage(cv::Scalar(0, 0, 0), kFilterBars);
  auto rects = detectorRects(net.get(), img, 256, 0.7f);
  ASSERT_EQ(rects.size(), 3u);
  cv::RotatedRect box;
  cv::Mat crop = crnn_detect_textbox(img, 0, 0, GetParam().filter, VISA_ISSUE_NO_BOTTOM, box);
  ASSERT_FALSE(crop.empty());
  const cv::Rect& bar = kFilterBars[GetParam().barIndex];
  EXPECT_NEAR(box.center.x, bar.x + bar.width / 2.0, 2.0);
  EXPECT_NEAR(box.center.y, bar.y + bar.height / 2.0, 2.0);
  EXPECT_LE(box.angle, 0.f);
  // the crop lies (longer side horizontal) and shows the white bar in its middle
  EXPECT_GE(crop.cols, crop.rows);
  EXPECT_EQ(crop.at<cv::Vec3b>(crop.rows / 2, crop.cols / 2), cv::Vec3b(255, 255, 255));
}

INSTANTIATE_TEST_SUITE_P(Filters, TextBoxFilter,
                         ::testing::Values(FilterCase{TEXT_BOX_FILTER_LONG_SIDE, 0},
                                           FilterCase{TEXT_BOX_FILTER_SHORT_SIDE, 1},
                                           FilterCase{TEXT_BOX_FILTER_AREA, 2}));

TEST(TextBoxFunctions, TiesKeepTheFirstBox) {
  auto net = loadNet("db_identity");
  Detectors use(net.get(), nullptr);
  cv::Mat img = barsImage(cv::Scalar(0, 0, 0), {{20, 20, 120, 14}, {60, 100, 120, 14}});
  auto rects = detectorRects(net.get(), img, 256, 0.7f);
  ASSERT_EQ(rects.size(), 2u);
  for (TEXT_BOX_FILTER_TYPE f : {TEXT_BOX_FILTER_LONG_SIDE, TEXT_BOX_FILTER_SHORT_SIDE, TEXT_BOX_FILTER_AREA}) {
    cv::RotatedRect box;
    ASSERT_FALSE(crnn_detect_textbox(img, 0, 0, f, VISA_ISSUE_NO_TOP, box).empty());
    expectSameRect(box, rects[0]);
  }
}

TEST(TextBoxFunctions, LimitsAndUnknownFilterLeaveTheBox) {
  auto net = loadNet("db_identity");
  Detectors use(net.get(), nullptr);
  cv::Mat img = barsImage(cv::Scalar(0, 0, 0), kFilterBars);
  const cv::RotatedRect before({1, 2}, {3, 4}, -5);
  cv::RotatedRect box = before;
  EXPECT_TRUE(crnn_detect_textbox(img, 0, 0, static_cast<TEXT_BOX_FILTER_TYPE>(3), VISA_ISSUE_NO_BOTTOM, box).empty());
  expectSameRect(box, before);
  EXPECT_TRUE(crnn_detect_textbox(img, 1000, 0, TEXT_BOX_FILTER_AREA, VISA_ISSUE_NO_BOTTOM, box).empty());
  expectSameRect(box, before);
  // a short-side limit that only the thick bars meet: the long thin bar drops out
  ASSERT_FALSE(crnn_detect_textbox(img, -5, 40, TEXT_BOX_FILTER_LONG_SIDE, VISA_ISSUE_NO_BOTTOM, box).empty());
  EXPECT_NEAR(box.center.y, 135, 2.0);
}

TEST(TextBoxFunctions, TargetSideIsTheLongerSideAtMost256) {
  auto net = loadNet("db_identity");
  Detectors use(net.get(), nullptr);
  cv::RotatedRect box;
  cv::Mat big = barsImage(cv::Scalar(0, 0, 0), {{100, 100, 600, 60}}, {1000, 300});
  cv::Mat small = barsImage(cv::Scalar(0, 0, 0), {{20, 50, 120, 20}}, {180, 120});
  std::string log = captureLog([&] { crnn_detect_textbox(big, 0, 0, TEXT_BOX_FILTER_AREA, VISA_ISSUE_NO_BOTTOM, box); });
  EXPECT_NE(log.find("box: 256,64"), std::string::npos);
  log = captureLog([&] { crnn_detect_textbox(small, 0, 0, TEXT_BOX_FILTER_AREA, VISA_ISSUE_NO_BOTTOM, box); });
  EXPECT_NE(log.find("box: 160,96"), std::string::npos);  // 180 x 120 at 180
}

TEST(TextBoxFunctions, MissingUnloadedDetectorsAndEmptyImages) {
  cv::Mat img = barsImage(cv::Scalar(0, 0, 0), kFilterBars);
  cv::Mat empty;
  cv::RotatedRect box;
  std::vector<cv::RotatedRect> out = {cv::RotatedRect({5, 5}, {2, 2}, 0)};
  DbNet unloaded;
  auto loaded = loadNet("db_identity");
  for (DbNet* net : {static_cast<DbNet*>(nullptr), &unloaded}) {
    Detectors use(net, net);
    std::string log = captureLog([&] {
      EXPECT_TRUE(crnn_detect_textbox(img, 0, 0, TEXT_BOX_FILTER_AREA, VISA_ISSUE_NO_BOTTOM, box).empty());
      EXPECT_TRUE(crnn_detect_textbox(img, 0, 0).empty());
      EXPECT_EQ(crnn_detect_textbox2(img, 0, 0, 600, out), -1);
    });
    EXPECT_NE(log.find("load textbox model first!"), std::string::npos);
    EXPECT_NE(log.find("load mrz detect model first!"), std::string::npos);
    EXPECT_EQ(out.size(), 1u);
  }
  {
    // the box detector alone does not serve the MRZ search
    Detectors use(loaded.get(), &unloaded);
    EXPECT_EQ(crnn_detect_textbox2(img, 0, 0, 600, out), -1);
    EXPECT_EQ(out.size(), 1u);
  }
  Detectors use(loaded.get(), loaded.get());
  std::string log = captureLog([&] {
    EXPECT_TRUE(crnn_detect_textbox(empty, 0, 0, TEXT_BOX_FILTER_AREA, VISA_ISSUE_NO_BOTTOM, box).empty());
  });
  EXPECT_NE(log.find("crnn_detect_textbox empty"), std::string::npos);
  EXPECT_TRUE(_crnn_detect_textbox(empty, 0, 0, 25).empty());
  EXPECT_EQ(crnn_detect_textbox2(empty, 0, 0, 600, out), -1);
  EXPECT_EQ(out.size(), 1u);
}

// ---- _crnn_detect_textbox -------------------------------------------------------------

struct Measured {
  cv::RotatedRect r;
  int L, S;
};

// The merged rectangles _crnn_detect_textbox works with, measured.
std::vector<Measured> mergedOnBorder(DbNet* net, const cv::Mat& img, int border) {
  cv::Mat padded;
  cv::copyMakeBorder(img, padded, border, border, border, border, cv::BORDER_CONSTANT,
                     cv::Scalar(200, 200, 200));
  auto rects = detectorRects(net, padded, std::min(std::max(img.rows, img.cols), 160) + 2 * border, 0.55f);
  std::vector<cv::RotatedRect> merged;
  RR_NMS(rects, merged, 0.001);
  std::vector<Measured> out;
  for (const auto& r : merged) {
    const int w = static_cast<int>(r.size.width), h = static_cast<int>(r.size.height);
    out.push_back({r, std::max(w, h), std::min(w, h)});
  }
  return out;
}

TEST(BorderedTextBox, PrefersTheThickerBoxUnlessItIsMuchShorter) {
  auto net = loadNet("db_dark");  // dark marks on light paper; the grey border is no text
  Detectors use(net.get(), nullptr);
  struct Case {
    cv::Rect thick;
    bool thickChosen;
  };
  for (const Case& c : {Case{{50, 75, 60, 40}, true}, Case{{60, 80, 40, 34}, false}}) {
    cv::Mat img(130, 160, CV_8UC3, cv::Scalar(255, 255, 255));
    img(cv::Rect(5, 20, 150, 20)).setTo(cv::Scalar(0, 0, 0));  // A: the largest area
    img(c.thick).setTo(cv::Scalar(0, 0, 0));                   // B: the largest short side
    auto m = mergedOnBorder(net.get(), img, 25);
    ASSERT_EQ(m.size(), 2u);
    const int a = m[0].L * m[0].S >= m[1].L * m[1].S ? 0 : 1;
    const int b = 1 - a;
    ASSERT_GT(m[b].S, m[a].S);
    ASSERT_EQ(m[b].L > 0.5 * m[a].L, c.thickChosen);
    const Measured& want = c.thickChosen ? m[b] : m[a];
    cv::Mat crop = crnn_detect_textbox(img, 0, 0);  // border 25
    EXPECT_EQ(crop.cols, cvRound(std::max(want.r.size.width, want.r.size.height)));
    EXPECT_EQ(crop.rows, cvRound(std::min(want.r.size.width, want.r.size.height)));
  }
}

// ---- crnn_detect_textbox2 ----------------------------------------------------------------

TEST(DetectTextbox2, CountsAndLimits) {
  auto net = loadNet("db_identity");
  Detectors use(nullptr, net.get());
  cv::Mat img = barsImage(cv::Scalar(0, 0, 0), kFilterBars, {256, 192});
  std::vector<cv::RotatedRect> out = {cv::RotatedRect({5, 5}, {2, 2}, 0)};
  EXPECT_EQ(crnn_detect_textbox2(img, 0, 0, 600, out), 3);
  EXPECT_EQ(out.size(), 3u);
  EXPECT_EQ(crnn_detect_textbox2(img, 0, 45, 0, out), 2);  // the thin bar fails the short side
  EXPECT_EQ(out.size(), 2u);
  EXPECT_EQ(crnn_detect_textbox2(img, 5000, 0, 600, out), 0);  // found, none passes: emptied
  EXPECT_TRUE(out.empty());
  out = {cv::RotatedRect({5, 5}, {2, 2}, 0)};
  cv::Mat blank(192, 256, CV_8UC3, cv::Scalar(0, 0, 0));
  EXPECT_EQ(crnn_detect_textbox2(blank, 0, 0, 600, out), -1);  // nothing found: untouched
  EXPECT_EQ(out.size(), 1u);
}

TEST(DetectTextbox2, MergesPiecesOfOneLine) {
  auto net = loadNet("db_identity");
  Detectors use(nullptr, net.get());
  // three pieces whose expanded boxes overlap: one line
  cv::Mat img = barsImage(cv::Scalar(0, 0, 0), {{10, 80, 60, 12}, {76, 82, 60, 12}, {142, 80, 60, 12}});
  ASSERT_EQ(detectorRects(net.get(), img, 256, 0.55f).size(), 3u);
  std::vector<cv::RotatedRect> out;
  ASSERT_EQ(crnn_detect_textbox2(img, 0, 0, 600, out), 1);
  EXPECT_NEAR(out[0].center.x, 106, 3.0);
  EXPECT_GT(std::max(out[0].size.width, out[0].size.height), 192.f);
}

TEST(DetectTextbox2, TargetSideCap) {
  auto net = loadNet("db_identity");
  Detectors use(nullptr, net.get());
  cv::Mat img = barsImage(cv::Scalar(0, 0, 0), {{100, 100, 600, 60}}, {1000, 300});
  std::vector<cv::RotatedRect> out;
  std::string log = captureLog([&] { crnn_detect_textbox2(img, 0, 0, 0, out); });
  EXPECT_NE(log.find("box: 992,288"), std::string::npos);
  log = captureLog([&] { crnn_detect_textbox2(img, 0, 0, 600, out); });
  EXPECT_NE(log.find("box: 576,160"), std::string::npos);
}

// ---- detectMrz ----------------------------------------------------------------------

cv::Mat mrzBand() {
  cv::Mat grey = cv::imread(kDataDir + "/mrz_band.png", cv::IMREAD_GRAYSCALE);
  cv::Mat bgr;
  if (!grey.empty()) cv::cvtColor(grey, bgr, cv::COLOR_GRAY2BGR);
  return bgr;
}

// Line centres of the rendered band.
constexpr int kLine1Y = 330, kLine2Y = 386;

class MrzSearch : public ::testing::Test {
 protected:
  void SetUp() override {
    net_ = loadNet("db_ink");
    band_ = mrzBand();
    ASSERT_FALSE(band_.empty());
  }
  std::unique_ptr<DbNet> net_;
  cv::Mat band_;
};

TEST_F(MrzSearch, FindsBothLinesUpperFirst) {
  Detectors use(nullptr, net_.get());
  std::vector<cv::RotatedRect> lines(3, cv::RotatedRect({1, 1}, {1, 1}, 0));
  ASSERT_EQ(detectMrz(band_, lines), 0);
  ASSERT_EQ(lines.size(), 2u);  // replaced, not appended to
  EXPECT_NEAR(lines[1].center.y - lines[0].center.y, kLine2Y - kLine1Y, 8.0);
  const int want[2] = {kLine1Y, kLine2Y};
  for (int i = 0; i < 2; ++i) {
    const cv::RotatedRect& r = lines[i];
    EXPECT_NEAR(r.center.y, want[i], 8.0) << i;
    EXPECT_NEAR(r.center.x, 800, 20.0) << i;
    EXPECT_GT(std::max(r.size.width, r.size.height), 1380.f) << i;  // the glyphs span 96..1504
    EXPECT_LT(std::max(r.size.width, r.size.height), 1600.f) << i;
    // the glyphs are about 31 rows high; the detector's boxes come unclipped
    EXPECT_GT(std::min(r.size.width, r.size.height), 31.f) << i;
    EXPECT_LT(std::min(r.size.width, r.size.height), 120.f) << i;
    EXPECT_GE(r.angle, -90.f);
    EXPECT_LE(r.angle, 0.f);
  }
}

TEST_F(MrzSearch, FailuresLeaveTheListAlone) {
  Detectors use(nullptr, net_.get());
  const cv::Mat paper(480, 1600, CV_8UC3, cv::Scalar(215, 215, 215));
  // one line only
  cv::Mat oneLine = paper.clone();
  band_(cv::Rect(0, 300, 1600, 58)).copyTo(oneLine(cv::Rect(0, 300, 1600, 58)));
  // the same two lines 300 rows apart
  cv::Mat farApart = paper.clone();
  band_(cv::Rect(0, 300, 1600, 58)).copyTo(farApart(cv::Rect(0, 60, 1600, 58)));
  band_(cv::Rect(0, 358, 1600, 58)).copyTo(farApart(cv::Rect(0, 360, 1600, 58)));
  cv::Mat narrow = band_(cv::Rect(0, 0, 599, 480)).clone();
  cv::Mat oneRow = band_(cv::Rect(0, 330, 1600, 1)).clone();
  cv::Mat empty;
  struct Case {
    const char* name;
    cv::Mat* band;
  } cases[] = {{"one line", &oneLine}, {"far apart", &farApart}, {"599 columns", &narrow},
               {"one row", &oneRow},   {"empty", &empty},        {"blank paper", const_cast<cv::Mat*>(&paper)}};
  for (const Case& c : cases) {
    std::vector<cv::RotatedRect> lines = {cv::RotatedRect({7, 7}, {3, 3}, 0)};
    EXPECT_EQ(detectMrz(*c.band, lines), -1) << c.name;
    ASSERT_EQ(lines.size(), 1u) << c.name;
    EXPECT_EQ(lines[0].center, cv::Point2f(7, 7)) << c.name;
  }
}

TEST_F(MrzSearch, NoLoadedDetectorFails) {
  DbNet unloaded;
  for (DbNet* net : {static_cast<DbNet*>(nullptr), &unloaded}) {
    Detectors use(net_.get(), net);  // the box detector does not stand in
    std::vector<cv::RotatedRect> lines;
    EXPECT_EQ(detectMrz(band_, lines), -1);
    EXPECT_TRUE(lines.empty());
  }
}

TEST(MrzSearchSameLine, PiecesOfOneLineAreNotTwoLines) {
  // Pieces A, C, B of one line in the detector's contour order (the lowest top
  // first): A and C stay apart, B merges into both, so two long overlapping
  // boxes of the same line pass the size limits.
  auto net = loadNet("db_identity");
  Detectors use(nullptr, net.get());
  // detector-map geometry of a 1600 x 480 band: 416 x 224 from 444 x 250
  const float sx = 3.6f * 444.f / 416.f, sy = 2.f * 250.f / 224.f;
  auto band = [&](int x, int y, int w, int h) {
    return cv::Rect(cvRound(x * sx), cvRound(y * sy), cvRound(w * sx), cvRound(h * sy));
  };
  cv::Mat img(480, 1600, CV_8UC3, cv::Scalar(0, 0, 0));
  for (const cv::Rect& r : {band(20, 124, 150, 10), band(270, 119, 146, 10), band(180, 114, 80, 10)})
    img(r).setTo(cv::Scalar(255, 255, 255));

  // what the search sees: two boxes on one line that overlap
  cv::Mat reduced, padded;
  cv::resize(img, reduced, cv::Size(444, 240), 0, 0, cv::INTER_LINEAR);
  cv::copyMakeBorder(reduced, padded, 0, 10, 0, 0, cv::BORDER_CONSTANT, cv::Scalar(127, 127, 127));
  std::vector<cv::RotatedRect> found;
  ASSERT_EQ(crnn_detect_textbox2(padded, 244, 10, 600, found), 2);
  EXPECT_LT(std::abs(found[0].center.y - found[1].center.y), 5.f);
  EXPECT_GT(rr_calculateIou(found[0], found[1]), 0.0);

  std::vector<cv::RotatedRect> lines;
  EXPECT_EQ(detectMrz(img, lines), -1);
  EXPECT_TRUE(lines.empty());
}

}  // namespace
