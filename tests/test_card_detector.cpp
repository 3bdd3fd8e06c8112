// Card detector: letterbox, anchors, per-stride decoding, suppression and
// drawing on plain arrays; the life cycle of the library's one detector; and
// whole detections on fixture models whose outputs are known arrays.
#include <gtest/gtest.h>

#include <cfloat>
#include <limits>
#include <string>
#include <vector>

#include <opencv2/imgproc.hpp>

#include "global.h"
#include "scrfd.h"
#include "test_detector_models.h"

using detector_test::capture_log;
using detector_test::contains;
using detector_test::TempModelsDir;

namespace {

vyr::nn::Tensor tensor(std::vector<int> shape, float fill = 0.f) {
  vyr::nn::Tensor t;
  t.reshape(shape);
  std::fill(t.data.begin(), t.data.end(), fill);
  return t;
}

BoxfWithLandmarksType box(float x1, float y1, float x2, float y2, float score) {
  BoxfWithLandmarksType b;
  b.x1 = x1;
  b.y1 = y1;
  b.x2 = x2;
  b.y2 = y2;
  b.score = score;
  b.label_text = "card";
  b.label = 1;
  b.box_flag = true;
  b.flag = true;
  return b;
}

// A detector without model: every decoding step works on arrays.
class CardDecoding : public ::testing::Test {
 protected:
  CardDecoding() : detector_("/nonexistent/vyr/models", 1) {}
  MNNSCRFD detector_;
};

// ---- letterbox ---------------------------------------------------------------

struct LetterboxCase {
  int cols, rows, target_w, target_h;
  int new_w, new_h, dw, dh;
};

class Letterbox : public CardDecoding, public ::testing::WithParamInterface<LetterboxCase> {};

TEST_P(Letterbox, FitsImageIntoCanvasWithPaddingOnTheRightAndBottom) {
  const LetterboxCase& c = GetParam();
  const cv::Mat image(c.rows, c.cols, CV_8UC3, cv::Scalar(255, 255, 255));
  cv::Mat canvas;
  MNNSCRFD::SCRFDScaleParams sp;
  detector_.resize_unscale(image, canvas, c.target_h, c.target_w, sp);
  ASSERT_TRUE(sp.flag);
  EXPECT_EQ(canvas.cols, c.target_w);
  EXPECT_EQ(canvas.rows, c.target_h);
  EXPECT_EQ(sp.dw, c.dw);
  EXPECT_EQ(sp.dh, c.dh);
  // The image covers exactly new_w x new_h pixels at (dw, dh); the rest is black.
  cv::Mat grey;
  cv::cvtColor(canvas, grey, cv::COLOR_BGR2GRAY);
  EXPECT_EQ(cv::boundingRect(grey > 0), cv::Rect(c.dw, c.dh, c.new_w, c.new_h));
  EXPECT_EQ(cv::countNonZero(grey > 0), c.new_w * c.new_h);
  EXPECT_FLOAT_EQ(sp.ratio, std::min(static_cast<float>(c.target_w) / c.cols,
                                     static_cast<float>(c.target_h) / c.rows));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Letterbox,
    ::testing::Values(LetterboxCase{400, 300, 320, 320, 320, 240, 0, 40},
                      LetterboxCase{401, 300, 320, 320, 320, 239, 0, 40},  // extra row at the bottom
                      LetterboxCase{11, 11, 416, 416, 415, 415, 0, 0},     // float truncation
                      LetterboxCase{400, 300, 160, 128, 160, 120, 0, 4},
                      LetterboxCase{300, 400, 320, 320, 240, 320, 40, 0},
                      LetterboxCase{1000, 1, 160, 128, 160, 1, 0, 63}));  // short side kept at 1

TEST_F(CardDecoding, EmptyImageLeavesCanvasAndScaleAlone) {
  cv::Mat canvas(2, 2, CV_8UC3, cv::Scalar(7, 7, 7));
  MNNSCRFD::SCRFDScaleParams sp;
  detector_.resize_unscale(cv::Mat(), canvas, 128, 160, sp);
  EXPECT_FALSE(sp.flag);
  EXPECT_EQ(canvas.cols, 2);
}

// ---- anchors -----------------------------------------------------------------

TEST_F(CardDecoding, AnchorsRunRowsThenColumnsWithTwoPerCellAndAreBuiltOnce) {
  detector_.generate_points(128, 160);
  ASSERT_TRUE(detector_.anchor_centers_ready);
  EXPECT_EQ(detector_.anchor_centers[8].size(), 16u * 20u * 2u);
  EXPECT_EQ(detector_.anchor_centers[16].size(), 8u * 10u * 2u);
  EXPECT_EQ(detector_.anchor_centers[32].size(), 4u * 5u * 2u);
  struct Probe {
    int stride;
    size_t n;
    float cx, cy;
  };
  for (const Probe& p : {Probe{8, 0, 0, 0}, Probe{8, 1, 0, 0}, Probe{8, 42, 1, 1},
                         Probe{8, 43, 1, 1}, Probe{8, 639, 19, 15}, Probe{16, 91, 5, 4},
                         Probe{32, 39, 4, 3}}) {
    const MNNSCRFD::SCRFDPoint& a = detector_.anchor_centers[p.stride][p.n];
    EXPECT_EQ(a.cx, p.cx) << p.stride << "/" << p.n;
    EXPECT_EQ(a.cy, p.cy) << p.stride << "/" << p.n;
    EXPECT_EQ(a.stride, static_cast<float>(p.stride));
  }
  detector_.generate_points(512, 512);  // not rebuilt
  EXPECT_EQ(detector_.anchor_centers[8].size(), 640u);
}

TEST_F(CardDecoding, StrideWithoutCellsGetsNoAnchors) {
  detector_.generate_points(16, 160);
  EXPECT_EQ(detector_.anchor_centers.count(32), 0u);
  EXPECT_EQ(detector_.anchor_centers[8].size(), 2u * 20u * 2u);
}

// ---- single-stride decoding ---------------------------------------------------

class StrideDecoding : public CardDecoding {
 protected:
  void SetUp() override {
    detector_.generate_points(128, 160);
    sp_.ratio = 0.5f;
    sp_.dw = 2;
    sp_.dh = 6;
    sp_.flag = true;
    score_ = tensor({1, 160, 1});
    bbox_ = tensor({1, 160, 4});
    kps_ = tensor({1, 160, 8});
    // anchor 91: cell (5, 4); canvas box (64, 48)-(112, 112) -> image (124, 84)-(220, 212)
    set(91, 0.7f, {1, 1, 2, 3}, {-1, -1, 1, -1, 1, 1, -1, 20});
    // anchor 0: exactly at the threshold, reaching past the left and top edges
    set(0, 0.6f, {2, 2, 1, 1}, {-5, -5, 0, 0, 0, 0, 0, 0});
    // anchor 2: just below the threshold
    set(2, 0.5999f, {1, 1, 1, 1}, {0, 0, 0, 0, 0, 0, 0, 0});
    // anchor 3: a box lying wholly left of the image
    set(3, 0.9f, {9, 0, -5, 1}, {0, 0, 0, 0, 0, 0, 0, 0});
  }
  void set(size_t n, float score, std::vector<float> b, std::vector<float> k) {
    score_.data[n] = score;
    std::copy(b.begin(), b.end(), bbox_.data.begin() + n * 4);
    std::copy(k.begin(), k.end(), kps_.data.begin() + n * 8);
  }
  MNNSCRFD::SCRFDScaleParams sp_;
  vyr::nn::Tensor score_, bbox_, kps_;
};

TEST_F(StrideDecoding, DecodesBoxesAndCornersBackToTheImage) {
  std::vector<BoxfWithLandmarksType> out;
  detector_.generate_bboxes_kps_single_stride(sp_, score_, bbox_, kps_, 16, 0.6f, 200.f, 300.f,
                                              out);
  ASSERT_EQ(out.size(), 3u);  // anchors 0, 3 and 91, in anchor order

  const BoxfWithLandmarksType& edge = out[0];
  EXPECT_FLOAT_EQ(edge.score, 0.6f);  // equal to the threshold passes
  EXPECT_FLOAT_EQ(edge.x1, 0.f);      // raised to 0
  EXPECT_FLOAT_EQ(edge.y1, 0.f);
  EXPECT_FLOAT_EQ(edge.x2, 28.f);
  EXPECT_FLOAT_EQ(edge.y2, 20.f);
  EXPECT_FLOAT_EQ(edge.landmarks[0].x, 0.f);  // corners are limited on both sides
  EXPECT_FLOAT_EQ(edge.landmarks[0].y, 0.f);

  const BoxfWithLandmarksType& left = out[1];
  EXPECT_FLOAT_EQ(left.x1, 0.f);
  EXPECT_FLOAT_EQ(left.x2, -132.f);  // x2 is only limited from above

  const BoxfWithLandmarksType& b = out[2];
  EXPECT_FLOAT_EQ(b.x1, 124.f);
  EXPECT_FLOAT_EQ(b.y1, 84.f);
  EXPECT_FLOAT_EQ(b.x2, 220.f);
  EXPECT_FLOAT_EQ(b.y2, 199.f);  // 212 limited to height - 1
  EXPECT_FLOAT_EQ(b.score, 0.7f);
  EXPECT_STREQ(b.label_text, "card");
  EXPECT_EQ(b.label, 1u);
  EXPECT_TRUE(b.box_flag && b.landmarks_flag && b.flag);
  ASSERT_EQ(b.landmarks.size(), 4u);
  const cv::Point2f want[4] = {{124, 84}, {188, 84}, {188, 148}, {124, 199}};
  for (int k = 0; k < 4; ++k) {
    EXPECT_FLOAT_EQ(b.landmarks[k].x, want[k].x) << k;
    EXPECT_FLOAT_EQ(b.landmarks[k].y, want[k].y) << k;
  }
}

TEST_F(StrideDecoding, NonFiniteScoresAndBoxesAreSkipped) {
  set(5, std::numeric_limits<float>::quiet_NaN(), {1, 1, 1, 1}, {0, 0, 0, 0, 0, 0, 0, 0});
  set(7, 0.9f, {1, std::numeric_limits<float>::infinity(), 1, 1}, {0, 0, 0, 0, 0, 0, 0, 0});
  set(9, 0.9f, {std::numeric_limits<float>::quiet_NaN(), 1, 1, 1}, {0, 0, 0, 0, 0, 0, 0, 0});
  std::vector<BoxfWithLandmarksType> out;
  detector_.generate_bboxes_kps_single_stride(sp_, score_, bbox_, kps_, 16, 0.6f, 200.f, 300.f,
                                              out);
  EXPECT_EQ(out.size(), 3u);
  out.clear();
  detector_.generate_bboxes_single_stride(sp_, score_, bbox_, 16, 0.6f, 200.f, 300.f, out);
  EXPECT_EQ(out.size(), 3u);
}

TEST_F(StrideDecoding, WithoutKeypointsRecordsHaveNoCornersButAreValid) {
  std::vector<BoxfWithLandmarksType> out;
  detector_.generate_bboxes_single_stride(sp_, score_, bbox_, 16, 0.6f, 200.f, 300.f, out);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_FLOAT_EQ(out[2].x1, 124.f);
  EXPECT_TRUE(out[2].landmarks.empty());
  EXPECT_FALSE(out[2].landmarks_flag);
  EXPECT_TRUE(out[2].flag && out[2].box_flag);
}

TEST_F(StrideDecoding, NeverReadsPastTheAnchorsOrTheMaps) {
  // The score map names 500 anchors, the stride has 160 and the box map 100.
  vyr::nn::Tensor score = tensor({1, 500, 1}, 0.9f);
  vyr::nn::Tensor bbox = tensor({1, 100, 4}, 1.f);
  vyr::nn::Tensor kps = tensor({1, 160, 8}, 0.f);
  std::vector<BoxfWithLandmarksType> out;
  detector_.generate_bboxes_kps_single_stride(sp_, score, bbox, kps, 16, 0.6f, 200.f, 300.f, out);
  EXPECT_EQ(out.size(), 100u);

  // A score map without its anchor dimension, and a stride without anchors.
  out.clear();
  detector_.generate_bboxes_kps_single_stride(sp_, tensor({160}, 0.9f), bbox_, kps_, 16, 0.6f,
                                              200.f, 300.f, out);
  detector_.generate_bboxes_kps_single_stride(sp_, score_, bbox_, kps_, 64, 0.6f, 200.f, 300.f,
                                              out);
  EXPECT_TRUE(out.empty());
}

TEST_F(CardDecoding, CollectionIsCutToThePreSuppressionLimitOfEachStride) {
  detector_.generate_points(512, 512);  // 8192 anchors at stride 8, 2048 at 16
  MNNSCRFD::SCRFDScaleParams sp;
  sp.flag = true;
  vyr::nn::Tensor score8 = tensor({1, 8192, 1});
  for (size_t i = 0; i < score8.data.size(); ++i) score8.data[i] = 0.6f + i * 1e-5f;
  std::vector<BoxfWithLandmarksType> out;
  detector_.generate_bboxes_single_stride(sp, score8, tensor({1, 8192, 4}), 8, 0.6f, 512, 512,
                                          out);
  ASSERT_EQ(out.size(), 1000u);
  EXPECT_FLOAT_EQ(out.front().score, score8.data.back());  // the best, sorted first
  EXPECT_FLOAT_EQ(out.back().score, score8.data[8192 - 1000]);

  // 1000 + 600 stays below the stride-16 limit of 2000: nothing is cut
  vyr::nn::Tensor score16 = tensor({1, 2048, 1});
  std::fill(score16.data.begin(), score16.data.begin() + 600, 0.7f);
  detector_.generate_bboxes_single_stride(sp, score16, tensor({1, 2048, 4}), 16, 0.6f, 512, 512,
                                          out);
  EXPECT_EQ(out.size(), 1600u);
  // all 2048 more exceed it
  std::fill(score16.data.begin(), score16.data.end(), 0.7f);
  detector_.generate_bboxes_single_stride(sp, score16, tensor({1, 2048, 4}), 16, 0.6f, 512, 512,
                                          out);
  EXPECT_EQ(out.size(), 2000u);
}

// ---- suppression ------------------------------------------------------------------

struct IouCase {
  float x1, y1, x2, y2;
  float want;
};

class CardIou : public ::testing::TestWithParam<IouCase> {};

TEST_P(CardIou, CountsWidthsInclusively) {
  const IouCase& c = GetParam();
  const float iou = MNNSCRFD::iou_of(box(0, 0, 9, 9, 1.f), box(c.x1, c.y1, c.x2, c.y2, 0.5f));
  EXPECT_FLOAT_EQ(iou, c.want);
}

INSTANTIATE_TEST_SUITE_P(Table, CardIou,
                         ::testing::Values(IouCase{3, 0, 12, 9, 70.f / 130.f},
                                           IouCase{4, 0, 13, 9, 60.f / 140.f},
                                           IouCase{10, 0, 19, 9, FLT_MIN},  // touching
                                           IouCase{0, 10, 9, 19, FLT_MIN},
                                           IouCase{0, 0, 9, 9, 1.f}));

TEST(CardNms, SuppressesAboveThresholdKeepsAtLeastOneAndAppends) {
  struct Case {
    const char* name;
    std::vector<BoxfWithLandmarksType> in;
    unsigned int topk;
    std::vector<float> kept;  // scores, in output order
  };
  const std::vector<Case> cases = {
      {"0.538 suppressed",
       {box(20, 0, 29, 9, 0.7f), box(0, 0, 9, 9, 0.9f), box(3, 0, 12, 9, 0.8f)},
       400,
       {0.9f, 0.7f}},
      {"0.429 kept",
       {box(0, 0, 9, 9, 0.9f), box(4, 0, 13, 9, 0.8f), box(20, 0, 29, 9, 0.7f)},
       400,
       {0.9f, 0.8f, 0.7f}},
      {"identical", {box(0, 0, 9, 9, 0.9f), box(0, 0, 9, 9, 0.8f)}, 400, {0.9f}},
      {"top-k 0 keeps one", {box(0, 0, 9, 9, 0.8f), box(20, 0, 29, 9, 0.9f)}, 0, {0.9f}},
      {"top-k 2", {box(0, 0, 9, 9, 0.8f), box(20, 0, 29, 9, 0.9f), box(40, 0, 49, 9, 0.7f)}, 2,
       {0.9f, 0.8f}},
      {"empty", {}, 400, {}},
  };
  for (const Case& c : cases) {
    std::vector<BoxfWithLandmarksType> in = c.in;
    std::vector<BoxfWithLandmarksType> out = {box(100, 100, 110, 110, 0.1f)};
    MNNSCRFD::nms_bboxes_kps(in, out, 0.45f, c.topk);
    ASSERT_EQ(out.size(), c.kept.size() + 1) << c.name;
    EXPECT_FLOAT_EQ(out[0].score, 0.1f) << c.name;  // earlier records stay first
    for (size_t i = 0; i < c.kept.size(); ++i) EXPECT_FLOAT_EQ(out[i + 1].score, c.kept[i]) << c.name;
  }
}

// ---- configuration, shapes, conversion ----------------------------------------------

TEST_F(CardDecoding, OutputCountChoosesTheDecoder) {
  struct Step {
    int count;
    bool landmarks;
  };
  for (const Step& s : {Step{6, false}, Step{7, false}, Step{9, true}, Step{7, true},
                        Step{1, true}, Step{6, false}}) {
    detector_.output_count = s.count;
    detector_.initial_context();
    EXPECT_EQ(detector_.use_landmarks, s.landmarks) << s.count;
    EXPECT_EQ(detector_.strides, (std::vector<int>{8, 16, 32}));
    EXPECT_EQ(detector_.anchors_per_cell, 2u);
  }
}

TEST(CardHandler, InputDimsFollowTheLayout) {
  struct Case {
    DimensionType type;
    std::vector<int> shape;
    int b, c, h, w;
    std::vector<int> resized;
  };
  const Case cases[] = {
      {DimensionType::CAFFE, {1, 3, 128, 160}, 1, 3, 128, 160, {1, 3, 128, 160}},
      {DimensionType::TENSORFLOW, {1, 128, 160, 3}, 1, 3, 128, 160, {1, 128, 160, 3}},
      {DimensionType::CAFFE_C4, {1, 3, 128, 160}, 1, 3, 128, 160, {}},  // read as NCHW, not resized
      {DimensionType::CAFFE, {3, 128, 160}, 0, 0, 0, 0, {1, 0, 0, 0}},
  };
  for (const Case& c : cases) {
    int b = -1, ch = -1, h = -1, w = -1;
    input_dims_from_shape(c.shape, c.type, b, ch, h, w);
    EXPECT_EQ(b, c.b);
    EXPECT_EQ(ch, c.c);
    EXPECT_EQ(h, c.h);
    EXPECT_EQ(w, c.w);
    if (c.b != 0) {
      EXPECT_EQ(input_shape_for(c.type, b, ch, h, w), c.resized);
    }
  }
}

TEST(CardHandler, ConverterSwapsToRgbAndNormalises) {
  const float mean[3] = {127.5f, 127.5f, 127.5f};
  const float norm[3] = {1.f / 128, 1.f / 128, 1.f / 128};
  auto p = ImageProcess::create(ImageProcess::Format::BGR, ImageProcess::Format::RGB, mean, 3,
                                norm, 3);
  ASSERT_TRUE(p);
  cv::Mat img(1, 3, CV_8UC3);
  img.at<cv::Vec3b>(0, 0) = {255, 255, 255};
  img.at<cv::Vec3b>(0, 1) = {0, 0, 0};
  img.at<cv::Vec3b>(0, 2) = {10, 20, 30};  // B, G, R
  vyr::nn::Tensor t;
  ASSERT_EQ(p->convert(img.data, 3, 1, img.step, t), 0);
  ASSERT_EQ(t.shape, (std::vector<int>{1, 3, 1, 3}));
  EXPECT_FLOAT_EQ(t.data[0], 0.99609375f);   // white, R plane
  EXPECT_FLOAT_EQ(t.data[1], -0.99609375f);  // black
  EXPECT_FLOAT_EQ(t.data[2], (30 - 127.5f) / 128);  // R plane holds the red byte
  EXPECT_FLOAT_EQ(t.data[3 + 2], (20 - 127.5f) / 128);
  EXPECT_FLOAT_EQ(t.data[6 + 2], (10 - 127.5f) / 128);
  // NHWC for a TENSORFLOW input
  ASSERT_EQ(p->convert(img.data, 3, 1, 0, t, DimensionType::TENSORFLOW), 0);
  ASSERT_EQ(t.shape, (std::vector<int>{1, 1, 3, 3}));
  EXPECT_FLOAT_EQ(t.data[6], (30 - 127.5f) / 128);
  EXPECT_FLOAT_EQ(t.data[8], (10 - 127.5f) / 128);
  // no data, no size, a row step shorter than a row
  EXPECT_EQ(p->convert(nullptr, 3, 1, 0, t), -1);
  EXPECT_EQ(p->convert(img.data, 0, 1, 0, t), -1);
  EXPECT_EQ(p->convert(img.data, 3, 1, 4, t), -1);
}

// ---- drawing -------------------------------------------------------------------------

TEST(CardDrawing, DrawsOnlyWhatTheFlagsAllow) {
  struct Case {
    const char* name;
    bool flag, box_flag, landmarks_flag, draw_text, label;
    float score;
    const char* text;  // expected label, nullptr for none
    bool rect, dots;
  };
  const Case cases[] = {
      {"full", true, true, true, true, true, 0.8765f, "card:0.87", true, true},
      {"score 1", true, true, false, true, true, 1.0f, "card:1.00", true, false},
      {"invalid record", false, true, true, true, true, 0.9f, nullptr, false, false},
      {"dots only", true, false, true, true, true, 0.9f, nullptr, false, true},
      {"no text asked", true, true, true, false, true, 0.9f, nullptr, true, true},
      {"no label text", true, true, true, true, false, 0.9f, nullptr, true, true},
  };
  for (const Case& c : cases) {
    BoxfWithLandmarksType b = box(20.7f, 30.2f, 80.9f, 60.5f, c.score);
    b.flag = c.flag;
    b.box_flag = c.box_flag;
    b.landmarks_flag = c.landmarks_flag;
    b.label_text = c.label ? "card" : nullptr;
    b.landmarks = {{10.5f, 11.5f}, {90.f, 12.f}, {90.f, 70.f}, {10.f, 70.f}};
    cv::Mat got = cv::Mat::zeros(100, 120, CV_8UC3);
    draw_boxes_with_landmarks_inplace(got, {b}, c.draw_text);

    cv::Mat want = cv::Mat::zeros(100, 120, CV_8UC3);
    if (c.rect) cv::rectangle(want, cv::Rect(20, 30, 61, 31), cv::Scalar(255, 255, 0), 1, 8, 0);
    if (c.text)
      cv::putText(want, c.text, cv::Point(20, 30), cv::FONT_HERSHEY_SIMPLEX, 0.6,
                  cv::Scalar(0, 255, 0), 1, 8, false);
    if (c.dots)
      for (const cv::Point& p : {cv::Point(10, 12), cv::Point(90, 12), cv::Point(90, 70),
                                 cv::Point(10, 70)})
        cv::circle(want, p, 3, cv::Scalar(0, 255, 0), -1, 8, 0);
    EXPECT_EQ(cv::norm(got, want, cv::NORM_INF), 0.0) << c.name;
  }
}

// ---- life cycle ------------------------------------------------------------------------

class CardLifecycle : public ::testing::Test {
 protected:
  void SetUp() override {
    uninit_card_ai();
    saved_debug_ = g_debug_show;
    g_debug_show = 0;
  }
  void TearDown() override {
    uninit_card_ai();
    g_debug_show = saved_debug_;
  }
  int saved_debug_ = 0;
};

TEST_F(CardLifecycle, DetectWithoutDetectorFailsAndLeavesTheBoxes) {
  cv::Mat image(300, 400, CV_8UC3, cv::Scalar(255, 255, 255));
  std::vector<BoxfWithLandmarksType> boxes = {box(1, 1, 5, 5, 0.9f)};
  int rc = 0;
  const std::string log = capture_log([&] { rc = detect_card_ai(image, boxes); });
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(contains(log, "card model not load.")) << log;
  EXPECT_EQ(boxes.size(), 1u);
  EXPECT_EQ(test_card(image), 0);  // no detector: guarded, not a crash
  uninit_card_ai();
  uninit_card_ai();
  EXPECT_EQ(scrfd_ptr, nullptr);
  EXPECT_EQ(init_card_ai(nullptr), -1);
}

TEST_F(CardLifecycle, MissingModelFailsInitAndLeavesAnUnloadedDetector) {
  TempModelsDir dir;
  int rc = 0;
  const std::string log = capture_log([&] { rc = init_card_ai(dir.path().c_str()); });
  EXPECT_EQ(rc, -1002);
  EXPECT_TRUE(contains(log, "load model " + dir.path() + "/card.p fail.")) << log;
  ASSERT_NE(scrfd_ptr, nullptr);
  EXPECT_FALSE(scrfd_ptr->ready());
  EXPECT_EQ(scrfd_ptr->input_width, 0);
  EXPECT_EQ(scrfd_ptr->input_height, 0);
  EXPECT_EQ(scrfd_ptr->output_count, 1);
  EXPECT_TRUE(scrfd_ptr->use_landmarks);
  EXPECT_EQ(scrfd_ptr->model_dir, dir.path());

  cv::Mat image(300, 400, CV_8UC3, cv::Scalar(255, 255, 255));
  std::vector<BoxfWithLandmarksType> boxes;
  const std::string detect_log = capture_log([&] { rc = detect_card_ai(image, boxes); });
  EXPECT_EQ(rc, -1);
  EXPECT_TRUE(contains(detect_log, "card model not load.")) << detect_log;
  EXPECT_TRUE(boxes.empty());
  EXPECT_EQ(test_card(image), 0);
}

TEST_F(CardLifecycle, DirectoryLongerThanTwoHundredCharactersIsNotCut) {
  TempModelsDir dir;
  const std::string deep = dir.sub(std::string(90, 'a') + "/" + std::string(90, 'b') + "/" +
                                   std::string(60, 'c'));
  ASSERT_GT(deep.size(), 200u);
  const std::string missing_log = capture_log([&] { init_card_ai(deep.c_str()); });
  EXPECT_TRUE(contains(missing_log, deep + "/card.p fail.")) << missing_log;

  std::filesystem::copy_file(detector_test::fixture("detectors/card_fixture.p"), deep + "/card.p");
  EXPECT_EQ(init_card_ai(deep.c_str()), 0);
  EXPECT_TRUE(scrfd_ptr->ready());
}

TEST_F(CardLifecycle, SecondInitReplacesTheFirstDetector) {
  TempModelsDir dir;
  ASSERT_TRUE(dir.put("detectors/card_fixture.p", "card.p"));
  const int before = BasicMNNHandler::live_instances();
  EXPECT_EQ(init_card_ai(dir.path().c_str()), 0);
  EXPECT_EQ(init_card_ai(dir.path().c_str()), 0);
  EXPECT_EQ(BasicMNNHandler::live_instances(), before + 1);
  uninit_card_ai();
  EXPECT_EQ(BasicMNNHandler::live_instances(), before);
}

struct RejectCase {
  const char* fixture;
  const char* reason;
};

class CardModelRejected : public CardLifecycle, public ::testing::WithParamInterface<RejectCase> {};

TEST_P(CardModelRejected, ModelThatDoesNotFitIsNotLoaded) {
  TempModelsDir dir;
  ASSERT_TRUE(dir.put(GetParam().fixture, "card.p"));
  int rc = 0;
  const std::string log = capture_log([&] { rc = init_card_ai(dir.path().c_str()); });
  EXPECT_EQ(rc, -1002);
  EXPECT_TRUE(contains(log, GetParam().reason)) << log;
  EXPECT_TRUE(contains(log, "load model " + dir.path() + "/card.p fail.")) << log;
  ASSERT_NE(scrfd_ptr, nullptr);
  EXPECT_FALSE(scrfd_ptr->ready());
  EXPECT_EQ(scrfd_ptr->input_width, 0);
  cv::Mat image(300, 400, CV_8UC3, cv::Scalar(0, 0, 0));
  std::vector<BoxfWithLandmarksType> boxes;
  EXPECT_EQ(detect_card_ai(image, boxes), -1);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CardModelRejected,
    ::testing::Values(RejectCase{"detectors/card_badgrid.p", "output score_8 holds"},
                      RejectCase{"detectors/card_dynamic.p", "no fixed 3-channel input size"},
                      RejectCase{"models/db_fixture.p", "no fixed 3-channel input size"}));

// ---- detections on fixture models ----------------------------------------------------------

class CardFixture : public CardLifecycle {
 protected:
  void load(const char* fixture) {
    ASSERT_TRUE(dir_.put(fixture, "card.p"));
    ASSERT_EQ(init_card_ai(dir_.path().c_str()), 0);
  }
  TempModelsDir dir_;
};

void expect_near(const cv::Point2f& p, float x, float y) {
  EXPECT_NEAR(p.x, x, 0.01f);
  EXPECT_NEAR(p.y, y, 0.01f);
}

TEST_F(CardFixture, FindsTheCardAndTheBoxAtTheThreshold) {
  load("detectors/card_fixture.p");
  EXPECT_EQ(scrfd_ptr->input_width, 160);
  EXPECT_EQ(scrfd_ptr->input_height, 128);
  EXPECT_EQ(scrfd_ptr->output_count, 9);
  EXPECT_TRUE(scrfd_ptr->use_landmarks);

  cv::Mat frame(300, 400, CV_8UC3, cv::Scalar(90, 120, 150));
  std::vector<BoxfWithLandmarksType> boxes;
  int rc = 0;
  const std::string log = capture_log([&] { rc = detect_card_ai(frame, boxes); });
  EXPECT_EQ(rc, 0);
  EXPECT_TRUE(contains(log, "card_ai: 2, ")) << log;
  // The card (0.95) survives; its twin anchor (0.90) and its stride-32 copy
  // (0.70) are suppressed; the small box at exactly 0.6 stays; 0.59 is dropped.
  ASSERT_EQ(boxes.size(), 2u);
  const BoxfWithLandmarksType& card = boxes[0];
  EXPECT_FLOAT_EQ(card.score, 0.95f);
  EXPECT_NEAR(card.x1, 90.f, 0.01f);
  EXPECT_NEAR(card.y1, 80.f, 0.01f);
  EXPECT_NEAR(card.x2, 309.f, 0.01f);
  EXPECT_NEAR(card.y2, 218.f, 0.01f);
  ASSERT_EQ(card.landmarks.size(), 4u);
  expect_near(card.landmarks[0], 90, 80);
  expect_near(card.landmarks[1], 309, 80);
  expect_near(card.landmarks[2], 309, 218);
  expect_near(card.landmarks[3], 90, 218);
  const BoxfWithLandmarksType& small = boxes[1];
  EXPECT_FLOAT_EQ(small.score, 0.6f);
  EXPECT_NEAR(small.x1, 10.f, 0.01f);
  EXPECT_NEAR(small.y2, 270.f, 0.01f);

  // Appended after what the vector held; grey and BGRA frames give the same.
  std::vector<BoxfWithLandmarksType> more = {box(0, 0, 1, 1, 0.1f)};
  cv::Mat grey(300, 400, CV_8UC1, cv::Scalar(77));
  EXPECT_EQ(detect_card_ai(grey, more), 0);
  ASSERT_EQ(more.size(), 3u);
  EXPECT_FLOAT_EQ(more[1].score, 0.95f);
  cv::Mat bgra(300, 400, CV_8UC4, cv::Scalar(1, 2, 3, 4));
  std::vector<BoxfWithLandmarksType> four;
  EXPECT_EQ(detect_card_ai(bgra, four), 0);
  EXPECT_EQ(four.size(), 2u);

  // Degenerate frames: nothing found, nothing thrown.
  std::vector<BoxfWithLandmarksType> none;
  cv::Mat empty;
  EXPECT_EQ(detect_card_ai(empty, none), -1);
  cv::Mat sliver(1, 1000, CV_8UC3, cv::Scalar(0, 0, 0));
  EXPECT_EQ(detect_card_ai(sliver, none), 0);  // the fixture's arrays do not look at the image
  cv::Mat floats(30, 40, CV_32FC3, cv::Scalar(0, 0, 0));
  std::vector<BoxfWithLandmarksType> unsupported;
  EXPECT_EQ(detect_card_ai(floats, unsupported), -1);

  EXPECT_EQ(test_card(frame), 0);  // debug display off: no window, no wait

  // the converter takes only the canvas of the input size
  EXPECT_EQ(scrfd_ptr->transform(cv::Mat(128, 160, CV_8UC3, cv::Scalar(1, 2, 3))), 0);
  EXPECT_EQ(scrfd_ptr->transform(cv::Mat(10, 10, CV_8UC3, cv::Scalar(1, 2, 3))), -1);
  EXPECT_EQ(scrfd_ptr->transform(cv::Mat(128, 160, CV_8UC1, cv::Scalar(1))), -1);

  // one worker thread; the diagnostic dump names the directory, layout and outputs
  EXPECT_EQ(scrfd_ptr->session->numThread(), 1);
  const std::string dump = capture_log([] { scrfd_ptr->print_debug_string(); });
  EXPECT_TRUE(contains(dump, "LITEMNN_DEBUG LogId: " + dir_.path())) << dump;
  EXPECT_TRUE(contains(dump, "Dimension Type: (CAFFE/PyTorch/ONNX)NCHW")) << dump;
  EXPECT_TRUE(contains(dump, "Output: kps_32: ")) << dump;
}

TEST_F(CardFixture, ModelWithoutKeypointsGivesBoxesWithoutCorners) {
  load("detectors/card_noland.p");
  EXPECT_EQ(scrfd_ptr->output_count, 6);
  EXPECT_FALSE(scrfd_ptr->use_landmarks);
  cv::Mat frame(300, 400, CV_8UC3, cv::Scalar(0, 0, 0));
  std::vector<BoxfWithLandmarksType> boxes;
  EXPECT_EQ(detect_card_ai(frame, boxes), 0);
  ASSERT_EQ(boxes.size(), 2u);
  EXPECT_NEAR(boxes[0].x2, 309.f, 0.01f);
  EXPECT_TRUE(boxes[0].landmarks.empty());
  EXPECT_FALSE(boxes[0].landmarks_flag);
  EXPECT_TRUE(boxes[0].flag);
}

// The fixture of the model files scores the cells by one colour channel each
// (blue at stride 8, green at 16, red at 32, after the converter's swap to
// RGB) and boxes each cell: the stride of the boxes shows which channel the
// network saw.
TEST_F(CardFixture, ConverterFeedsTheNetworkRgb) {
  load("models/card_fixture.p");
  ASSERT_EQ(scrfd_ptr->input_width, 320);
  ASSERT_EQ(scrfd_ptr->input_height, 256);
  struct Case {
    cv::Scalar bgr;
    float cell;  // box width in the frame: stride / 0.8
  };
  for (const Case& c : {Case{cv::Scalar(0, 0, 255), 40.f}, Case{cv::Scalar(0, 255, 0), 20.f},
                        Case{cv::Scalar(255, 0, 0), 10.f}}) {
    cv::Mat frame(300, 400, CV_8UC3, cv::Scalar(0, 0, 0));
    frame(cv::Rect(100, 100, 200, 100)).setTo(c.bgr);
    std::vector<BoxfWithLandmarksType> boxes;
    ASSERT_EQ(detect_card_ai(frame, boxes), 0) << c.bgr;
    for (const BoxfWithLandmarksType& b : boxes) {
      EXPECT_NEAR(b.x2 - b.x1, c.cell, 0.01f) << c.bgr;
      const float cx = (b.x1 + b.x2) / 2, cy = (b.y1 + b.y2) / 2;
      EXPECT_TRUE(cx > 100 && cx < 300 && cy > 100 && cy < 200) << c.bgr << " " << cx << "," << cy;
    }
  }
}

}  // namespace
