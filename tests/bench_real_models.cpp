// Time of one recognition of a 44-character MRZ line with the released models
// (models-release, tools/build_models.sh): the whole pipeline (blur, scale,
// run, decode) on the recogniser's two worker threads, after 1000 warm-up
// calls (20 for the much slower general English recogniser, shown for
// comparison). Skipped when models-release has not been built.
#include <benchmark/benchmark.h>

#include <sys/stat.h>

#include <string>

#include <opencv2/imgcodecs.hpp>

#include "vyr_crnn.h"
#include "vyr_log.h"

namespace {

class Models {
 public:
  Models() {
    std::string dir = std::string(VYR_SOURCE_DIR) + "/models-release";
    struct stat st;
    if (::stat((dir + "/ocrv3_mrz.p").c_str(), &st) != 0) return;
    vyr_set_log_dummy(1);
    ok_ = init_crnn(&dir[0], 0) == 0;
  }
  ~Models() { uninit_crnn(); }
  bool ok() const { return ok_; }

 private:
  bool ok_ = false;
};

Models& models() {
  static Models m;
  return m;
}

void readLine(benchmark::State& state, int type, const char* file, int warmup) {
  if (!models().ok()) {
    state.SkipWithError("models-release not built");
    return;
  }
  const cv::Mat img =
      cv::imread(std::string(VYR_TEST_DATA_DIR) + "/real_models/" + file, cv::IMREAD_COLOR);
  if (img.empty()) {
    state.SkipWithError("fixture missing");
    return;
  }
  for (int i = 0; i < warmup; ++i) benchmark::DoNotOptimize(_crnn_extract(img, type, 'O', 0.f));
  std::size_t symbols = 0;
  for (auto _ : state) {
    TextLine line = _crnn_extract(img, type, 'O', 0.f);
    symbols = line.scores.size();
    benchmark::DoNotOptimize(line);
  }
  state.counters["symbols"] = static_cast<double>(symbols);
  state.counters["width"] = static_cast<double>(static_cast<int>(48.f / img.rows * img.cols));
}

void BM_MrzLine44_MrzModel(benchmark::State& state) { readLine(state, CRNN_TYPE_MRZ, "line2.png", 1000); }
void BM_MrzLine44_EnModel(benchmark::State& state) { readLine(state, CRNN_TYPE_EN, "line2.png", 20); }
BENCHMARK(BM_MrzLine44_MrzModel)->Unit(benchmark::kMillisecond)->Iterations(200);
BENCHMARK(BM_MrzLine44_EnModel)->Unit(benchmark::kMillisecond)->Iterations(20);

}  // namespace
