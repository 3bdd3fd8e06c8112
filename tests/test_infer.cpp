// The inference layer on the fixture networks of tests/data/models (see
// tools/make_fixture_models.py for what each one computes).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/core/ocl.hpp>
#include <opencv2/imgproc.hpp>

#include "encode.h"
#include "model_file.h"
#include "nn/infer.h"
#include "vyr_log.h"

using vyr::nn::Device;
using vyr::nn::Network;
using vyr::nn::SessionConfig;
using vyr::nn::Tensor;

namespace {

using Bytes = std::vector<unsigned char>;

const std::string kModels = std::string(VYR_TEST_DATA_DIR) + "/models/";

Bytes slurp(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

std::string captured(const std::function<void()>& f) {
  testing::internal::CaptureStdout();
  f();
  return testing::internal::GetCapturedStdout();
}

std::shared_ptr<Network> load_plain(const std::string& onnx, SessionConfig cfg = SessionConfig()) {
  const Bytes b = slurp(kModels + onnx);
  return b.empty() ? nullptr : Network::fromBuffer(b.data(), b.size(), cfg);
}

std::shared_ptr<Network> load_packed(const std::string& packed) {
  int64_t len = 0;
  _s_model_head head;
  unsigned char* body = read_model_from_file(kModels + packed, len, 1, head);
  if (body == nullptr) return nullptr;
  auto net = Network::fromBuffer(body, static_cast<size_t>(len));
  free(body);
  return net;
}

Tensor random_tensor(std::vector<int> shape, unsigned seed) {
  Tensor t;
  t.reshape(shape);
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-1.f, 1.f);
  for (float& v : t.data) v = u(rng);
  return t;
}

// Value of a [1, C, H, W] tensor.
float at(const Tensor& t, int c, int y, int x) {
  return t.data[(static_cast<size_t>(c) * t.dim(2) + y) * t.dim(3) + x];
}

// ---- small pieces ----------------------------------------------------------------

TEST(Device, OnlyOpenclInAnyCaseSelectsOpencl) {
  for (const char* s : {"opencl", "OpenCL", "OPENCL", "oPeNcL"})
    EXPECT_EQ(vyr::nn::parseDevice(s), Device::OpenCL) << s;
  for (const char* s : {"", "cpu", "open", "opencl ", "opencl2", "gpu", "metal"})
    EXPECT_EQ(vyr::nn::parseDevice(s), Device::CPU) << s;
  EXPECT_EQ(vyr::nn::parseDevice(nullptr), Device::CPU);
}

TEST(TensorShape, CountDimAndReshape) {
  Tensor t;
  EXPECT_EQ(t.count(), 0u);
  EXPECT_TRUE(t.empty());
  t.reshape({1, 3, 4, 5});
  EXPECT_EQ(t.count(), 60u);
  EXPECT_EQ(t.data.size(), 60u);
  EXPECT_EQ(t.dim(3), 5);
  EXPECT_EQ(t.dim(4), 0);
  t.reshape({2, 0, 3});
  EXPECT_EQ(t.count(), 0u);
  t.shape = {2, -1};
  EXPECT_EQ(t.count(), 0u);
}

TEST(ImageToTensor, MeanNormalAndChannelOrder) {
  cv::Mat img(1, 2, CV_8UC3);
  img.at<cv::Vec3b>(0, 0) = cv::Vec3b(10, 20, 30);  // B, G, R
  img.at<cv::Vec3b>(0, 1) = cv::Vec3b(200, 100, 0);
  const float mean[3] = {1.f, 2.f, 3.f};
  const float normal[3] = {0.5f, 0.25f, 2.f};
  Tensor t;
  ASSERT_EQ(vyr::nn::imageToTensor(img, mean, normal, false, t), 0);
  EXPECT_EQ(t.shape, (std::vector<int>{1, 3, 1, 2}));
  const std::vector<float> bgr = {(10 - 1) * .5f, (200 - 1) * .5f, (20 - 2) * .25f,
                                  (100 - 2) * .25f, (30 - 3) * 2.f, (0 - 3) * 2.f};
  EXPECT_EQ(t.data, bgr);
  ASSERT_EQ(vyr::nn::imageToTensor(img, mean, normal, true, t), 0);
  const std::vector<float> rgb = {(30 - 1) * .5f, (0 - 1) * .5f, (20 - 2) * .25f,
                                  (100 - 2) * .25f, (10 - 3) * 2.f, (200 - 3) * 2.f};
  EXPECT_EQ(t.data, rgb);
}

TEST(ImageToTensor, GreyBgraAndRoiInputs) {
  cv::Mat grey(2, 2, CV_8UC1, cv::Scalar(100));
  Tensor t;
  ASSERT_EQ(vyr::nn::imageToTensor(grey, nullptr, nullptr, true, t), 0);
  EXPECT_EQ(t.shape, (std::vector<int>{1, 3, 2, 2}));
  for (float v : t.data) EXPECT_EQ(v, 100.f);

  cv::Mat bgra(1, 1, CV_8UC4, cv::Scalar(1, 2, 3, 255));
  ASSERT_EQ(vyr::nn::imageToTensor(bgra, nullptr, nullptr, false, t), 0);
  EXPECT_EQ(t.data, (std::vector<float>{1, 2, 3}));

  cv::Mat big(6, 8, CV_8UC3, cv::Scalar(0, 0, 0));
  big(cv::Rect(2, 1, 3, 2)).setTo(cv::Scalar(7, 8, 9));
  ASSERT_EQ(vyr::nn::imageToTensor(big(cv::Rect(2, 1, 3, 2)), nullptr, nullptr, false, t), 0);
  EXPECT_EQ(t.shape, (std::vector<int>{1, 3, 2, 3}));
  for (int c = 0; c < 3; ++c)
    for (int i = 0; i < 6; ++i) EXPECT_EQ(t.data[c * 6 + i], 7.f + c);
}

TEST(ImageToTensor, RefusesWhatItCannotConvert) {
  Tensor t;
  EXPECT_EQ(vyr::nn::imageToTensor(cv::Mat(), nullptr, nullptr, false, t), -1);
  EXPECT_EQ(vyr::nn::imageToTensor(cv::Mat(2, 2, CV_16UC3), nullptr, nullptr, false, t), -1);
  EXPECT_EQ(vyr::nn::imageToTensor(cv::Mat(2, 2, CV_8UC2), nullptr, nullptr, false, t), -1);
  EXPECT_EQ(vyr::nn::imageToTensor(cv::Mat(2, 2, CV_32FC3), nullptr, nullptr, false, t), -1);
}

// ---- loading ---------------------------------------------------------------------

TEST(Load, BodiesTheEngineRejectsGiveNullAndALogLine) {
  const Bytes good = slurp(kModels + "crnn_fixture.onnx");
  ASSERT_FALSE(good.empty());
  const Bytes truncated(good.begin(), good.begin() + static_cast<long>(good.size() / 2));
  Bytes garbage(4000);
  std::mt19937 rng(3);
  for (auto& c : garbage) c = static_cast<unsigned char>(rng());
  const Bytes zeros(1000, 0);
  Bytes enciphered = good;  // a body whose scheme was lost: still enciphered
  _s_model_head h{};
  h.e = 1;
  encode_model_body(enciphered.data(), static_cast<long>(enciphered.size()), h);

  for (const Bytes* b : std::vector<const Bytes*>{&truncated, &garbage, &zeros, &enciphered}) {
    std::shared_ptr<Network> net;
    const std::string out = captured([&] { net = Network::fromBuffer(b->data(), b->size()); });
    EXPECT_EQ(net, nullptr);
    EXPECT_NE(out.find("inference:"), std::string::npos) << out;
  }
  EXPECT_EQ(Network::fromBuffer(nullptr, 100), nullptr);
  EXPECT_EQ(Network::fromBuffer(good.data(), 0), nullptr);
}

// OpenCV 4.6's importer dies with SIGSEGV on this graph (a Conv reading a
// weight and a bias that do not exist); the layer must refuse it first.
TEST(Load, DamagedGraphIsRefusedBeforeTheEngineSeesIt) {
  const Bytes body = slurp(kModels + "dangling_conv.onnx");
  ASSERT_FALSE(body.empty());
  std::shared_ptr<Network> net;
  const std::string out = captured([&] { net = Network::fromBuffer(body.data(), body.size()); });
  EXPECT_EQ(net, nullptr);
  EXPECT_NE(out.find("a node reads the unknown value [missing_w]"), std::string::npos) << out;
}

TEST(Load, TheBodyMayBeFreedBeforeTheFirstRun) {
  const Bytes file = slurp(kModels + "db_fixture.onnx");
  auto* body = static_cast<unsigned char*>(malloc(file.size()));
  std::memcpy(body, file.data(), file.size());
  auto net = Network::fromBuffer(body, file.size());
  std::memset(body, 0xEE, file.size());
  free(body);  // under ASan, any later use of the body is reported
  ASSERT_NE(net, nullptr);
  ASSERT_EQ(net->setInput(random_tensor({1, 3, 32, 32}, 1)), 0);
  ASSERT_EQ(net->run(), 0);
  ASSERT_NE(net->output(), nullptr);
  EXPECT_EQ(net->output()->shape, (std::vector<int>{1, 1, 32, 32}));
}

struct Equivalence {
  const char* packed;
  const char* plain;
  std::vector<int> input;
};

class PackedRunsLikePlain : public ::testing::TestWithParam<Equivalence> {};

// A fixture packed with each scheme loads through the reader and gives
// outputs equal to those of its plain body.
TEST_P(PackedRunsLikePlain, SameOutputs) {
  const Equivalence& c = GetParam();
  auto packed = load_packed(c.packed);
  auto plain = load_plain(c.plain);
  ASSERT_NE(packed, nullptr);
  ASSERT_NE(plain, nullptr);
  EXPECT_EQ(packed->outputNames(), plain->outputNames());
  const Tensor in = random_tensor(c.input, 42);
  ASSERT_EQ(packed->setInput(in), 0);
  ASSERT_EQ(plain->setInput(in), 0);
  ASSERT_EQ(packed->run(), 0);
  ASSERT_EQ(plain->run(), 0);
  for (const std::string& name : plain->outputNames()) {
    const Tensor* a = packed->output(name);
    const Tensor* b = plain->output(name);
    ASSERT_NE(a, nullptr) << name;
    ASSERT_NE(b, nullptr) << name;
    EXPECT_EQ(a->shape, b->shape) << name;
    EXPECT_EQ(a->data, b->data) << name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    EveryScheme, PackedRunsLikePlain,
    ::testing::Values(Equivalence{"crnn_fixture.p", "crnn_fixture.onnx", {1, 3, 48, 160}},   // 3
                      Equivalence{"crnn40_fixture.p", "crnn40_fixture.onnx", {1, 3, 48, 96}},  // 1
                      Equivalence{"db_fixture.p", "db_fixture.onnx", {1, 3, 64, 96}},          // 2
                      Equivalence{"card_fixture.p", "card_fixture.onnx", {1, 3, 256, 320}},    // 3
                      Equivalence{"face_fixture.p", "face_fixture.onnx", {1, 3, 128, 128}}));  // 3

// ---- the fixtures through the layer ----------------------------------------------------

TEST(Recogniser, AnyWidthPerRunAndOutputsFollowTheInput) {
  auto net = load_packed("crnn_fixture.p");
  ASSERT_NE(net, nullptr);
  EXPECT_EQ(net->inputNames(), std::vector<std::string>{"x"});
  EXPECT_EQ(net->inputShape(), (std::vector<int>{1, 3, 48, -1}));
  EXPECT_EQ(net->outputNames(), std::vector<std::string>{"softmax"});
  for (int w : {160, 96, 239, 8, 1600}) {
    ASSERT_EQ(net->setInput(random_tensor({1, 3, 48, w}, static_cast<unsigned>(w))), 0);
    ASSERT_EQ(net->run(), 0) << w;
    EXPECT_EQ(net->output()->shape, (std::vector<int>{1, w / 8, 97})) << w;
  }

  // Stripes of grey 255*k/96 read as class k, one per 8 columns.
  const int classes[] = {0, 5, 50, 96, 1, 2, 3, 0};
  cv::Mat line(48, 64, CV_8UC3);
  for (int t = 0; t < 8; ++t)
    line.colRange(8 * t, 8 * t + 8).setTo(cv::Scalar::all(std::round(255.0 * classes[t] / 96)));
  const float mean[3] = {127.5f, 127.5f, 127.5f};
  const float norm[3] = {1 / 127.5f, 1 / 127.5f, 1 / 127.5f};
  Tensor in;
  ASSERT_EQ(vyr::nn::imageToTensor(line, mean, norm, false, in), 0);
  ASSERT_EQ(net->setInput(in), 0);
  ASSERT_EQ(net->run(), 0);
  const Tensor& out = *net->output("softmax");
  ASSERT_EQ(out.shape, (std::vector<int>{1, 8, 97}));
  for (int t = 0; t < 8; ++t) {
    const float* row = &out.data[static_cast<size_t>(t) * 97];
    const int best = static_cast<int>(std::max_element(row, row + 97) - row);
    EXPECT_EQ(best, classes[t]) << t;
    EXPECT_GT(row[best], 0.9f);
  }
}

TEST(Detector, BrightBoxesBecomeHighProbability) {
  auto net = load_packed("db_fixture.p");
  ASSERT_NE(net, nullptr);
  EXPECT_EQ(net->inputShape("x"), (std::vector<int>{1, 3, -1, -1}));
  const float mean[3] = {123.675f, 116.28f, 103.53f};
  const float norm[3] = {0.017124753f, 0.017507004f, 0.017429194f};
  for (const cv::Size size : {cv::Size(96, 64), cv::Size(320, 160)}) {
    cv::Mat img(size, CV_8UC3, cv::Scalar::all(0));
    cv::rectangle(img, cv::Rect(10, 20, 40, 12), cv::Scalar::all(255), cv::FILLED);
    Tensor in;
    ASSERT_EQ(vyr::nn::imageToTensor(img, mean, norm, false, in), 0);
    ASSERT_EQ(net->setInput(in), 0);
    ASSERT_EQ(net->run(), 0);
    const Tensor& p = *net->output();
    ASSERT_EQ(p.shape, (std::vector<int>{1, 1, size.height, size.width}));
    EXPECT_GT(at(p, 0, 25, 30), 0.99f);
    EXPECT_LT(at(p, 0, 5, 5), 0.01f);
    EXPECT_LT(at(p, 0, 25, 60), 0.01f);
  }
}

TEST(CardDetector, NineNamedOutputsWithKnownValues) {
  auto net = load_packed("card_fixture.p");
  ASSERT_NE(net, nullptr);
  EXPECT_EQ(net->inputShape(), (std::vector<int>{1, 3, 256, 320}));
  const std::vector<std::string> names = {"score_8", "score_16", "score_32", "bbox_8", "bbox_16",
                                          "bbox_32", "kps_8",    "kps_16",   "kps_32"};
  EXPECT_EQ(net->outputNames(), names);

  // A pure red 32x32 cell at row 1, column 2: only stride 32 fires, at
  // anchors (1 * 10 + 2) * 2 and the one after it.
  cv::Mat img(256, 320, CV_8UC3, cv::Scalar::all(0));
  img(cv::Rect(64, 32, 32, 32)).setTo(cv::Scalar(0, 0, 255));
  const float mean[3] = {127.5f, 127.5f, 127.5f};
  const float norm[3] = {0.0078125f, 0.0078125f, 0.0078125f};
  Tensor in;
  ASSERT_EQ(vyr::nn::imageToTensor(img, mean, norm, true, in), 0);
  ASSERT_EQ(net->setInput(in), 0);
  ASSERT_EQ(net->run(), 0);
  for (int s : {8, 16, 32}) {
    const int n = (256 / s) * (320 / s) * 2;
    const Tensor* score = net->output("score_" + std::to_string(s));
    const Tensor* bbox = net->output("bbox_" + std::to_string(s));
    const Tensor* kps = net->output("kps_" + std::to_string(s));
    ASSERT_TRUE(score && bbox && kps);
    EXPECT_EQ(score->shape, (std::vector<int>{1, n, 1}));
    EXPECT_EQ(bbox->shape, (std::vector<int>{1, n, 4}));
    EXPECT_EQ(kps->shape, (std::vector<int>{1, n, 8}));
    for (int a = 0; a < n; ++a) {
      const bool fires = s == 32 && (a == 24 || a == 25);
      EXPECT_EQ(score->data[a] > 0.6f, fires) << s << " " << a;
    }
    EXPECT_EQ(std::vector<float>(bbox->data.begin() + 4 * 7, bbox->data.begin() + 4 * 8),
              (std::vector<float>{0, 0, 1, 1}));
    EXPECT_EQ(std::vector<float>(kps->data.end() - 8, kps->data.end()),
              (std::vector<float>{0, 0, 1, 0, 1, 1, 0, 1}));
  }
  EXPECT_NEAR(net->output("score_32")->data[24], 1.f / (1.f + std::exp(-16.f * (127.5f / 128.f - 0.5f))),
              1e-5);

  auto six = load_packed("card6_fixture.p");
  ASSERT_NE(six, nullptr);
  EXPECT_EQ(six->outputNames(), std::vector<std::string>(names.begin(), names.begin() + 6));
}

TEST(FaceDetector, FourPlanarOutputs) {
  auto net = load_packed("face_fixture.p");
  ASSERT_NE(net, nullptr);
  EXPECT_EQ(net->outputNames(), (std::vector<std::string>{"537", "538", "539", "540"}));
  cv::Mat img(128, 128, CV_8UC3, cv::Scalar::all(0));
  img(cv::Rect(60, 40, 4, 4)).setTo(cv::Scalar::all(255));  // cell row 10, column 15
  Tensor in;
  ASSERT_EQ(vyr::nn::imageToTensor(img, nullptr, nullptr, true, in), 0);
  ASSERT_EQ(net->setInput(in), 0);
  ASSERT_EQ(net->run(), 0);
  const Tensor& heat = *net->output("537");
  ASSERT_EQ(heat.shape, (std::vector<int>{1, 1, 32, 32}));
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) EXPECT_EQ(at(heat, 0, y, x) > 0.35f, y == 10 && x == 15);
  const Tensor& scale = *net->output("538");
  EXPECT_EQ(scale.shape, (std::vector<int>{1, 2, 32, 32}));
  EXPECT_NEAR(std::exp(at(scale, 0, 3, 4)) * 4, 32.f, 1e-4);
  EXPECT_NEAR(std::exp(at(scale, 1, 3, 4)) * 4, 24.f, 1e-4);
  EXPECT_EQ(net->output("539")->shape, (std::vector<int>{1, 2, 32, 32}));
  const Tensor& marks = *net->output("540");
  EXPECT_EQ(marks.shape, (std::vector<int>{1, 10, 32, 32}));
  EXPECT_FLOAT_EQ(at(marks, 4, 7, 7), 0.55f);  // point 2, y
  EXPECT_FLOAT_EQ(at(marks, 5, 7, 7), 0.5f);   // point 2, x
}

// ---- misuse and failures ---------------------------------------------------------------

TEST(Run, RefusalsAndFailuresAreResultsNotExceptions) {
  auto net = load_packed("crnn40_fixture.p");
  ASSERT_NE(net, nullptr);
  EXPECT_EQ(net->output(), nullptr);  // nothing run yet
  std::string out = captured([&] { EXPECT_EQ(net->setInput(random_tensor({1, 3, 48, 64}, 1), "y"), -1); });
  EXPECT_NE(out.find("no input named [y]"), std::string::npos) << out;
  EXPECT_EQ(net->setInput(Tensor()), -1);
  Tensor bad;
  bad.shape = {1, 3, 48, 64};  // no data
  EXPECT_EQ(net->setInput(bad), -1);

  // A line lower than the pooling window fails inside the engine.
  ASSERT_EQ(net->setInput(random_tensor({1, 3, 20, 64}, 2)), 0);
  int rc = 0;
  out = captured([&] { rc = net->run(); });
  EXPECT_EQ(rc, -1);
  EXPECT_NE(out.find("inference: run failed"), std::string::npos) << out;
  EXPECT_EQ(net->output(), nullptr);

  // The network stays usable.
  ASSERT_EQ(net->setInput(random_tensor({1, 3, 48, 64}, 3)), 0);
  ASSERT_EQ(net->run(), 0);
  ASSERT_NE(net->output("softmax"), nullptr);
  EXPECT_EQ(net->output("nope"), nullptr);
  EXPECT_EQ(net->output()->shape, (std::vector<int>{1, 8, 40}));
}

TEST(Run, ThreadCountIsPerRunAndRestored) {
  SessionConfig cfg;
  cfg.numThread = 2;
  auto net = load_plain("db_fixture.onnx", cfg);
  ASSERT_NE(net, nullptr);
  EXPECT_EQ(net->numThread(), 2);
  const int before = cv::getNumThreads();
  ASSERT_EQ(net->setInput(random_tensor({1, 3, 32, 32}, 1)), 0);
  ASSERT_EQ(net->run(), 0);
  EXPECT_EQ(cv::getNumThreads(), before);
}

TEST(Run, OpenclFallsBackToTheCpuWhereAbsent) {
  SessionConfig cfg;
  cfg.device = Device::OpenCL;
  std::shared_ptr<Network> gpu;
  const std::string out = captured([&] { gpu = load_plain("crnn40_fixture.onnx", cfg); });
  ASSERT_NE(gpu, nullptr);
  if (!cv::ocl::haveOpenCL()) {
    EXPECT_EQ(gpu->device(), Device::CPU);
    EXPECT_NE(out.find("OpenCL is not available"), std::string::npos) << out;
  }
  auto cpu = load_plain("crnn40_fixture.onnx");
  const Tensor in = random_tensor({1, 3, 48, 96}, 9);
  ASSERT_EQ(gpu->setInput(in), 0);
  ASSERT_EQ(cpu->setInput(in), 0);
  ASSERT_EQ(gpu->run(), 0);
  ASSERT_EQ(cpu->run(), 0);
  ASSERT_EQ(gpu->output()->data.size(), cpu->output()->data.size());
  for (size_t i = 0; i < cpu->output()->data.size(); ++i)
    EXPECT_NEAR(gpu->output()->data[i], cpu->output()->data[i], 1e-3);

  SessionConfig back;
  gpu->configure(back);
  EXPECT_EQ(gpu->device(), Device::CPU);
}

}  // namespace
