// One card detection and one face detection on a 400-pixel-wide working
// frame, with the fixture models of tests/data/detectors (their outputs are
// fixed arrays, so the timings cover letterbox, conversion, the network run,
// decoding and suppression, not a trained network's cost).
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "detect/centerface.h"
#include "scrfd.h"
#include "vyr_log.h"

namespace {

// A models directory holding the fixtures under the names the loaders expect.
class FixtureModels {
 public:
  FixtureModels() {
    char tmpl[] = "/tmp/vyr_bench_detectors_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    const std::string data = std::string(VYR_TEST_DATA_DIR) + "/detectors/";
    std::error_code ec;
    std::filesystem::copy_file(data + "card_fixture.p", dir_ + "/card.p", ec);
    std::filesystem::copy_file(data + "face_fixture.p", dir_ + "/fd4_2.p", ec);
  }
  ~FixtureModels() {
    std::error_code ec;
    if (!dir_.empty()) std::filesystem::remove_all(dir_, ec);
  }
  const std::string& dir() const { return dir_; }

 private:
  std::string dir_;
};

cv::Mat working_frame() {
  cv::Mat frame(300, 400, CV_8UC3);
  cv::randu(frame, cv::Scalar::all(0), cv::Scalar::all(255));
  return frame;
}

void BM_CardDetection(benchmark::State& state) {
  vyr_set_log_dummy(1);
  FixtureModels models;
  if (init_card_ai(models.dir().c_str()) != 0) {
    state.SkipWithError("card fixture model did not load");
    return;
  }
  cv::Mat frame = working_frame();
  std::vector<BoxfWithLandmarksType> boxes;
  for (auto _ : state) {
    boxes.clear();
    benchmark::DoNotOptimize(detect_card_ai(frame, boxes));
  }
  state.counters["cards"] = static_cast<double>(boxes.size());
  uninit_card_ai();
}
BENCHMARK(BM_CardDetection)->Unit(benchmark::kMillisecond);

void BM_FaceDetection(benchmark::State& state) {
  vyr_set_log_dummy(1);
  FixtureModels models;
  if (vyr_face_init2(models.dir().c_str()) != 0) {
    state.SkipWithError("face fixture model did not load");
    return;
  }
  cv::Mat frame = working_frame();
  std::vector<_s_face_info> faces;
  for (auto _ : state) benchmark::DoNotOptimize(vyr_face_detect2(frame, faces));
  state.counters["faces"] = static_cast<double>(faces.size());
  unload_model_centerface();
}
BENCHMARK(BM_FaceDetection)->Unit(benchmark::kMillisecond);

}  // namespace
