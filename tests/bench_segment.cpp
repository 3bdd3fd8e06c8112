// Time of the two-line segmentation of a rendered 2 x 44 passport MRZ, from
// the binarised lines to the published boxes.
#include <benchmark/benchmark.h>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "char_segment.h"
#include "preprocess.h"
#include "vyr_log.h"

namespace {

cv::Mat loadLine(int n) {
  return cv::imread(std::string(VYR_TEST_DATA_DIR) + "/segment/td3_p26_l" + std::to_string(n) +
                        ".png",
                    cv::IMREAD_GRAYSCALE);
}

void BM_CharSegmentTd3(benchmark::State& state) {
  vyr_set_log_dummy(1);
  cv::Mat grey1 = loadLine(1), grey2 = loadLine(2), bin1, bin2, colour1, colour2;
  if (grey1.empty() || grey2.empty()) {
    state.SkipWithError("fixture lines missing");
    return;
  }
  preprocess1(grey1, grey2, bin1, bin2, 31, 17);
  cv::cvtColor(grey1, colour1, cv::COLOR_GRAY2BGR);
  cv::cvtColor(grey2, colour2, cv::COLOR_GRAY2BGR);
  int sz1 = 0, sz2 = 0;
  for (auto _ : state) {
    state.PauseTiming();
    cv::Mat b1 = bin1.clone(), b2 = bin2.clone();  // the driver cleans its lines in place
    state.ResumeTiming();
    benchmark::DoNotOptimize(char_segment(0, b1, b2, colour1, colour2, sz1, sz2));
  }
  if (sz1 != 44 || sz2 != 44) state.SkipWithError("the pair did not segment into 2 x 44");
}
BENCHMARK(BM_CharSegmentTd3)->Unit(benchmark::kMillisecond);

void BM_BinariseAndSegmentTd3(benchmark::State& state) {
  vyr_set_log_dummy(1);
  cv::Mat grey1 = loadLine(1), grey2 = loadLine(2), colour1, colour2;
  if (grey1.empty() || grey2.empty()) {
    state.SkipWithError("fixture lines missing");
    return;
  }
  cv::cvtColor(grey1, colour1, cv::COLOR_GRAY2BGR);
  cv::cvtColor(grey2, colour2, cv::COLOR_GRAY2BGR);
  int sz1 = 0, sz2 = 0;
  for (auto _ : state) {
    cv::Mat b1, b2;
    preprocess1(grey1, grey2, b1, b2, 31, 17);
    benchmark::DoNotOptimize(char_segment(0, b1, b2, colour1, colour2, sz1, sz2));
  }
}
BENCHMARK(BM_BinariseAndSegmentTd3)->Unit(benchmark::kMillisecond);

}  // namespace
