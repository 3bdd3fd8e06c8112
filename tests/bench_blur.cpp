// Time of each image-quality measure on a rendered 1600 x 1200 passport page
// (argument 0) and on a 400 x 300 crop of it around the MRZ (argument 1). The
// two-image measures compare the image with a copy blurred by sigma 1.
// BM_MrzBandLadder also reports, as the counter "score", what each measure
// gives for the MRZ band of that page blurred by sigma 0, 0.5, 1, 2 and 4
// (the two-image measures against the sharp band).
#include <benchmark/benchmark.h>

#include <array>
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

constexpr std::array<double, 5> kSigmas = {0.0, 0.5, 1.0, 2.0, 4.0};

struct Ladder {
  std::array<cv::Mat, kSigmas.size()> colour, grey;
  bool ok = false;
  Ladder() {
    const Frames& f = frames();
    if (!f.ok) return;
    const cv::Mat band = f.colour[0](cv::Rect(210, 985, 1180, 120));  // both MRZ lines
    for (std::size_t i = 0; i < kSigmas.size(); ++i) {
      colour[i] = band.clone();
      if (kSigmas[i] > 0) cv::GaussianBlur(band, colour[i], cv::Size(), kSigmas[i]);
      cv::cvtColor(colour[i], grey[i], cv::COLOR_BGR2GRAY);
    }
    ok = true;
  }
};

const char* const kLadderMeasures[] = {"blur score", "Laplacian", "NRSS", "SSIM", "PSNR", "GSSIM",
                                       "IQA inverse-blur ratio", "IQA blurred per edge"};

double ladderScore(const Ladder& l, int measure, std::size_t i) {
  float inv = 0, edge = 0;
  switch (measure) {
    case 0: return get_quality_blur(l.colour[i]);
    case 1: return laplacian_blur_detect(l.colour[i]);
    case 2: return getNRSS(l.grey[i]);
    case 3: return getMSSIM(l.colour[0], l.colour[i]);
    case 4: return getPSNR(l.colour[0], l.colour[i]);
    case 5: return getGSSIM(l.grey[0], l.grey[i]);
    default:
      comput_blur_IQA(l.grey[i], inv, edge);
      return measure == 6 ? inv : edge;
  }
}

void BM_MrzBandLadder(benchmark::State& state) {
  static const Ladder ladder;
  if (!ladder.ok) {
    state.SkipWithError("rendered page missing");
    return;
  }
  const int measure = static_cast<int>(state.range(0));
  const std::size_t rung = static_cast<std::size_t>(state.range(1));
  state.SetLabel(std::string(kLadderMeasures[measure]) + ", sigma " + std::to_string(kSigmas[rung]).substr(0, 3));
  double score = 0;
  for (auto _ : state) benchmark::DoNotOptimize(score = ladderScore(ladder, measure, rung));
  state.counters["score"] = score;
}
BENCHMARK(BM_MrzBandLadder)
    ->ArgsProduct({benchmark::CreateDenseRange(0, 7, 1), benchmark::CreateDenseRange(0, 4, 1)})
    ->Unit(benchmark::kMillisecond);

}  // namespace
