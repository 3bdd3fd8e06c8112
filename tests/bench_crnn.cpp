// Time of one line read through the recognition pipeline (blur, scale, run,
// decode) on the fixture recogniser, for a 48 x 800 line.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include <opencv2/core.hpp>

#include "vyr_crnn.h"
#include "vyr_log.h"

namespace fs = std::filesystem;

namespace {

// A models directory of fixture files, loaded once for all runs.
class Models {
 public:
  Models() {
    char tmpl[] = "/tmp/vyr_bench_crnn_XXXXXX";
    if (mkdtemp(tmpl) == nullptr) return;
    dir_ = tmpl;
    const std::string data = std::string(VYR_TEST_DATA_DIR) + "/crnn/";
    for (const char* n : {"ocrv4_en.p", "ocrv3_en.p", "ocrv4_cn.p", "ocrv3_mrz.p"})
      fs::copy_file(data + "crnn45.p", dir_ + "/" + n);
    for (const char* n : {"boxv3.p", "det_mrz.p"}) fs::copy_file(data + "db_stub.p", dir_ + "/" + n);
    for (const char* n : {"ocrv3_en.txt", "ocrv3_mrz.txt", "ocrv3_cn.txt"})
      fs::copy_file(data + n, dir_ + "/" + n);
    vyr_set_log_dummy(1);
    ok_ = init_crnn(&dir_[0], 0) == 0;
  }
  ~Models() {
    uninit_crnn();
    std::error_code ec;
    if (!dir_.empty()) fs::remove_all(dir_, ec);
  }
  bool ok() const { return ok_; }

 private:
  std::string dir_;
  bool ok_ = false;
};

Models& models() {
  static Models m;
  return m;
}

// A line of 200 four-column stripes cycling through the MRZ classes.
cv::Mat line800() {
  cv::Mat img(48, 800, CV_8UC3);
  for (int i = 0; i < 200; ++i) {
    const int k = i % 38;
    const int v = k == 0 ? 250 : 5 * k + 5;
    img.colRange(4 * i, 4 * i + 4).setTo(cv::Scalar(v, v, v));
  }
  return img;
}

void BM_ReadLine48x800(benchmark::State& state) {
  if (!models().ok()) {
    state.SkipWithError("fixture models did not load");
    return;
  }
  const cv::Mat img = line800();
  std::size_t symbols = 0;
  for (auto _ : state) {
    TextLine line = crnn_extract_mrz(img, 'O');
    symbols = line.scores.size();
    benchmark::DoNotOptimize(line);
  }
  state.counters["symbols"] = static_cast<double>(symbols);
}
BENCHMARK(BM_ReadLine48x800)->Unit(benchmark::kMillisecond);

void BM_DecodeWholeDictionary(benchmark::State& state) {
  CrnnNet net;
  net.type = CRNN_TYPE_EN;
  net.keys.assign(45, "x");
  std::vector<float> scores(200 * 45, 0.01f);
  for (int t = 0; t < 200; ++t) scores[t * 45 + (t % 45)] = 0.9f;
  for (auto _ : state) benchmark::DoNotOptimize(net.scoreToTextLine(scores, 200, 45, 'X', 0.3f));
}
BENCHMARK(BM_DecodeWholeDictionary);

}  // namespace
