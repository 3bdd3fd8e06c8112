// Time of each image-quality measure on a rendered 1600 x 1200 passport page
// (argument 0) and on a 400 x 300 crop of it around the MRZ (argument 1). The
// two-image measures compare the image with a copy blurred by sigma 1.
#include <benchmark/benchmark.h>

#include <string>

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include "blur.h"

namespace {

struct Frames {
  cv::Mat colour[2], grey[2], blurredColour[2], blurredGrey[2];
  bool ok = false;
  Frames() {
    const cv::Mat page = cv::imread(std::string(VYR_TEST_DATA_DIR) + "/pages/p01_clean.png", cv::IMREAD_COLOR);
    if (page.size() != cv::Size(1600, 1200)) return;
    colour[0] = page;
    colour[1] = page(cv::Rect(600, 880, 400, 300)).clone();
    for (int i = 0; i < 2; ++i) {
      cv::cvtColor(colour[i], grey[i], cv::COLOR_BGR2GRAY);
      cv::GaussianBlur(colour[i], blurredColour[i], cv::Size(), 1.0);
      cv::GaussianBlur(grey[i], blurredGrey[i], cv::Size(), 1.0);
    }
    ok = true;
  }
};

const Frames& frames() {
  static const Frames f;
  return f;
}

template <typename Measure>
void run(benchmark::State& state, Measure measure) {
  const Frames& f = frames();
  if (!f.ok) {
    state.SkipWithError("rendered page missing");
    return;
  }
  const int i = static_cast<int>(state.range(0));
  state.SetLabel(i == 0 ? "1600x1200" : "400x300");
  for (auto _ : state) benchmark::DoNotOptimize(measure(f, i));
}

void BM_BlurScore(benchmark::State& s) {
  run(s, [](const Frames& f, int i) { return get_quality_blur(f.colour[i]); });
}
void BM_Laplacian(benchmark::State& s) {
  run(s, [](const Frames& f, int i) { return laplacian_blur_detect(f.colour[i]); });
}
void BM_SSIM(benchmark::State& s) {
  run(s, [](const Frames& f, int i) { return getMSSIM(f.colour[i], f.blurredColour[i]); });
}
void BM_PSNR(benchmark::State& s) {
  run(s, [](const Frames& f, int i) { return getPSNR(f.colour[i], f.blurredColour[i]); });
}
void BM_GSSIM(benchmark::State& s) {
  run(s, [](const Frames& f, int i) { return getGSSIM(f.grey[i], f.blurredGrey[i]); });
}
void BM_NRSS(benchmark::State& s) {
  run(s, [](const Frames& f, int i) { return getNRSS(f.grey[i]); });
}
void BM_EdgeBlurEstimate(benchmark::State& s) {
  run(s, [](const Frames& f, int i) {
    float inv = 0, edge = 0;
    comput_blur_IQA(f.grey[i], inv, edge);
    return inv + edge;
  });
}

BENCHMARK(BM_BlurScore)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Laplacian)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SSIM)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PSNR)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GSSIM)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_NRSS)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EdgeBlurEstimate)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace
