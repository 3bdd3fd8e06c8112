// One face detection and one card detection with the released detector
// models ("fd4_2.p", "card.p") on a 400-pixel-wide working frame (a passport
// page with a real photograph, and a synthetic card scene, scaled to 400
// columns), with a process pool of 2 threads. The models directory is $VYR_DETECTOR_MODELS, else
// <source>/models-release; a benchmark whose model is missing or does not
// load is skipped with the reason.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "detect/centerface.h"
#include "scrfd.h"
#include "vyr_log.h"

namespace {

constexpr int kThreads = 2;
constexpr int kFrameWidth = 400;

std::string modelsDir() {
  const char* env = std::getenv("VYR_DETECTOR_MODELS");
  if (env != nullptr && *env != '\0') return env;
  return std::string(VYR_SOURCE_DIR) + "/models-release";
}

bool exists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

// A test image scaled to 400 columns, as the card path shrinks a frame; a
// grey frame of that size when the image is missing.
cv::Mat workingFrame(const char* file) {
  cv::Mat image = cv::imread(std::string(VYR_TEST_DATA_DIR) + "/" + file, cv::IMREAD_COLOR);
  if (image.empty()) return cv::Mat(300, kFrameWidth, CV_8UC3, cv::Scalar::all(200));
  cv::Mat frame;
  cv::resize(image, frame, cv::Size(kFrameWidth, image.rows * kFrameWidth / image.cols), 0, 0, cv::INTER_AREA);
  return frame;
}

// Skips the benchmark (and says why) unless `file` is in the models directory.
bool haveModel(benchmark::State& state, const std::string& file) {
  if (exists(modelsDir() + "/" + file)) return true;
  state.SkipWithError(("no " + file + " in " + modelsDir()).c_str());
  return false;
}

void BM_RealFaceDetection(benchmark::State& state) {
  vyr_set_log_dummy(1);
  cv::setNumThreads(kThreads);
  if (!haveModel(state, "fd4_2.p")) return;
  if (vyr_face_init2(modelsDir().c_str()) != 0) {
    state.SkipWithError("fd4_2.p did not load");
    return;
  }
  cv::Mat frame = workingFrame("real_face/page.jpg");
  std::vector<_s_face_info> faces;
  for (auto _ : state) benchmark::DoNotOptimize(vyr_face_detect2(frame, faces));
  state.counters["faces"] = static_cast<double>(faces.size());
  state.counters["width"] = frame.cols;
  state.counters["threads"] = kThreads;
  unload_model_centerface();
}
BENCHMARK(BM_RealFaceDetection)->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_RealCardDetection(benchmark::State& state) {
  vyr_set_log_dummy(1);
  cv::setNumThreads(kThreads);
  if (!haveModel(state, "card.p")) return;
  if (init_card_ai(modelsDir().c_str()) != 0) {
    state.SkipWithError("card.p did not load");
    uninit_card_ai();
    return;
  }
  cv::Mat frame = workingFrame("real_card/scene0_new.jpg");
  std::vector<BoxfWithLandmarksType> boxes;
  for (auto _ : state) {
    boxes.clear();
    benchmark::DoNotOptimize(detect_card_ai(frame, boxes));
  }
  state.counters["cards"] = static_cast<double>(boxes.size());
  state.counters["width"] = frame.cols;
  state.counters["threads"] = kThreads;
  uninit_card_ai();
}
BENCHMARK(BM_RealCardDetection)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
