// Post-processing time of the DB text detector: a 960 x 960 probability map
// with 50 text boxes through binarisation, box extraction, unclipping and the
// mapping back; and the merging of 50 rotated rectangles.
#include <benchmark/benchmark.h>

#include <opencv2/imgproc.hpp>

#include "nn/DbNet.h"
#include "nn/OcrUtils.h"
#include "rrnms.h"

namespace {

// 50 bars of varied length on a 960 x 960 map: 5 columns x 10 rows.
cv::Mat fiftyBoxMap() {
  cv::Mat map = cv::Mat::zeros(960, 960, CV_32FC1);
  for (int r = 0; r < 10; ++r)
    for (int c = 0; c < 5; ++c)
      map(cv::Rect(20 + c * 190, 30 + r * 92, 100 + (r * 7 + c * 13) % 70, 18 + r % 3 * 4))
          .setTo(0.6 + 0.04 * ((r + c) % 10));
  return map;
}

void BM_PostProcess960(benchmark::State& state) {
  cv::Mat map = fiftyBoxMap();
  cv::Mat src(1920, 1920, CV_8UC3);
  ScaleParam s = getScaleParam(src, 960);
  size_t boxes = 0;
  for (auto _ : state) {
    auto out = textBoxesFromProbMap(map, s, 0.55f, 0.3f, 2.0f);
    boxes = out.size();
    benchmark::DoNotOptimize(out.data());
  }
  state.counters["boxes"] = static_cast<double>(boxes);
}
BENCHMARK(BM_PostProcess960)->Unit(benchmark::kMillisecond);

void BM_RrNms50(benchmark::State& state) {
  std::vector<cv::RotatedRect> in;
  for (int i = 0; i < 50; ++i)
    in.emplace_back(cv::Point2f(40.f + (i % 10) * 45.f, 30.f + (i / 10) * 60.f),
                    cv::Size2f(60.f, 20.f), static_cast<float>(i % 5) - 2.f);
  for (auto _ : state) {
    std::vector<cv::RotatedRect> out;
    RR_NMS(in, out, 0.001);
    benchmark::DoNotOptimize(out.data());
  }
}
BENCHMARK(BM_RrNms50)->Unit(benchmark::kMicrosecond);

}  // namespace
